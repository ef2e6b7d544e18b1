#include "tests/vm/usbfsdisk.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "ovusbd/usb/usbsys.h"
#include "tests/support/bulkonly.h"

namespace vmdisk {

namespace {

int readNumber(const std::string& path) {
  std::ifstream in(path);
  int value = -1;
  in >> value;
  return value;
}

// One bulk URB, submitted and reaped; its status or the length moved.
int bulkUrb(int fd, uint8_t endpoint, void* buffer, uint32_t length) {
  struct usbdevfs_urb urb;
  memset(&urb, 0, sizeof urb);
  urb.type = USBDEVFS_URB_TYPE_BULK;
  urb.endpoint = endpoint;
  urb.buffer = buffer;
  urb.buffer_length = int(length);
  int rc = usbSys->ioctl(fd, USBDEVFS_SUBMITURB, &urb);
  if (rc < 0) return rc;
  void* done = nullptr;
  do {
    rc = usbSys->ioctl(fd, USBDEVFS_REAPURB, &done);
  } while (rc == -EINTR);
  if (rc < 0) return rc;
  return urb.status < 0 ? urb.status : urb.actual_length;
}

}  // namespace

bool readThroughUsbfs(const std::string& name, uint8_t endpointIn, uint8_t endpointOut, uint32_t mib,
                      uint32_t chunk, double* rate, std::string* why) {
  const std::string sys = "/sys/bus/usb/devices/" + name;
  char node[64];
  snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", readNumber(sys + "/busnum"), readNumber(sys + "/devnum"));
  int fd = usbSys->open(node, O_RDWR, 0);
  if (fd < 0) {
    *why = std::string("open ") + node + ": " + strerror(-fd);
    return false;
  }
  struct usbdevfs_ioctl command;
  memset(&command, 0, sizeof command);
  command.ifno = 0;
  command.ioctl_code = USBDEVFS_DISCONNECT;
  usbSys->ioctl(fd, USBDEVFS_IOCTL, &command);  // no driver bound is fine
  unsigned int interface = 0;
  int rc = usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface);
  if (rc < 0) {
    *why = std::string("claim: ") + strerror(-rc);
    usbSys->close(fd);
    return false;
  }
  std::vector<uint8_t> buffer;
  auto transfer = [fd, &buffer](uint8_t endpoint, uint32_t length, std::string* failure) {
    if (buffer.size() < length) buffer.resize(length);
    int n = bulkUrb(fd, endpoint, buffer.data(), length);
    if (n < 0) *failure = strerror(-n);
    return n;
  };
  bulkonly::Transport pipes;
  pipes.out = [&](const std::vector<uint8_t>& data, std::string* failure) {
    buffer.assign(data.begin(), data.end());
    return transfer(endpointOut, uint32_t(data.size()), failure) == int(data.size());
  };
  pipes.in = [&](uint32_t length, std::vector<uint8_t>* data, std::string* failure) {
    int n = transfer(endpointIn, length, failure);
    if (n < 0) return false;
    data->assign(buffer.begin(), buffer.begin() + n);
    return true;
  };
  bulkonly::Session disk(pipes);
  bool ok = disk.readThroughput(mib, chunk, rate);
  if (!ok) *why = "disk: " + disk.error();
  usbSys->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
  usbSys->close(fd);
  return ok;
}

}  // namespace vmdisk
