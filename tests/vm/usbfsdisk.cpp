#include "tests/vm/usbfsdisk.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
                      uint32_t chunk, double* rate, uint64_t* checksum, std::string* why) {
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
  bool ok = disk.readThroughput(mib, chunk, rate, checksum);
  if (!ok) *why = "disk: " + disk.error();
  usbSys->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
  usbSys->close(fd);
  return ok;
}

bool readBlockDevice(const std::string& path, uint32_t mib, uint32_t chunk, double* rate, uint64_t* checksum,
                     std::string* why) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (fd < 0) {
    *why = "open " + path + ": " + strerror(errno);
    return false;
  }
  uint64_t size = 0;
  void* buffer = nullptr;
  // O_DIRECT wants the buffer, offsets and lengths aligned to the logical block.
  if (ioctl(fd, BLKGETSIZE64, &size) < 0 || chunk == 0 || chunk % 4096 != 0 || size < chunk ||
      size < bulkonly::kChecksumBytes || posix_memalign(&buffer, 4096, chunk) != 0) {
    *why = "the device (" + std::to_string(size) + " bytes) does not suit reads of " + std::to_string(chunk);
    close(fd);
    return false;
  }
  const uint64_t total = uint64_t(mib) << 20;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  uint64_t hash = bulkonly::kFnvStart, offset = 0;
  std::chrono::steady_clock::duration hashing{};
  bool ok = true;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t done = 0; done < total && ok; done += chunk) {
    if (offset + chunk > size) offset = 0;
    ssize_t n = pread(fd, buffer, chunk, off_t(offset));
    if (n != ssize_t(chunk)) {
      *why = "read at " + std::to_string(offset) + ": " + (n < 0 ? strerror(errno) : std::to_string(n) + " bytes");
      ok = false;
      break;
    }
    offset += chunk;
    if (done < bulkonly::kChecksumBytes) {
      const auto from = std::chrono::steady_clock::now();
      hash = bulkonly::fnv1a(hash, bytes, size_t(std::min<uint64_t>(chunk, bulkonly::kChecksumBytes - done)));
      hashing += std::chrono::steady_clock::now() - from;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start - hashing).count();
  free(buffer);
  close(fd);
  if (!ok) return false;
  *rate = double(total) / seconds / 1e6;
  *checksum = hash;
  return true;
}

}  // namespace vmdisk
