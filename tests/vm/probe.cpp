// Guest side of the contract suite: prints kernel facts on the serial
// console, one "@@fact KEY VALUE" or "@@uevent DATAGRAM" line each (values
// escaped), through the USB layer's own production seam.
//
//   ovprobe device NAME...          attributes of devices and interfaces
//   ovprobe read PATH PREFIX        read sizes of one file
//   ovprobe usbfs NAME              usbfs ioctl answers on NAME's node
//   ovprobe interrupt NAME          interrupt IN data of a keyboard through
//                                   usbfs ("@@submitted" when a key may be
//                                   pressed)
//   ovprobe urb STORAGE KEYBOARD    URB completion on a mass-storage
//                                   device's bulk and a keyboard's
//                                   interrupt endpoints
//   ovprobe readdisk NAME IN OUT MIB CHUNK
//                                   reads a mass-storage disk through usbfs
//                                   alone ("@@rate MB/s", "@@sum HEX": the
//                                   FNV-1a of the disk's first MiB)
//   ovprobe readblock PATH MIB CHUNK
//                                   reads a block device with O_DIRECT
//                                   ("@@rate", "@@sum" as readdisk)
//   ovprobe cycle NAME STALE        uevents of NAME's plug ("@@watching"
//                                   first), its facts, then held descriptors
//                                   ("@@held") and uevents across its removal
//   ovprobe hubport HUB PORT on|off|status
//                                   a hub-class request to a port of the hub
//                                   HUB through its usbfs node: port power
//                                   on or off, or the port status word
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ovusbd/usb/usbsys.h"
#include "tests/vm/kernelfacts.h"
#include "tests/vm/usbfsdisk.h"

namespace {

// One write per line, so lines of concurrent writers on the console do not mix.
void emit(const std::string& line) {
  std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(1, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void emitFacts(const vmfacts::Facts& facts) {
  for (const auto& [key, value] : facts) emit("@@fact " + key + " " + vmfacts::escape(value));
}

int usage() {
  fprintf(stderr, "usage: ovprobe device NAME... | read PATH PREFIX | usbfs NAME | revoke NAME | urb STORAGE KEYBOARD | readdisk NAME IN OUT MIB CHUNK | readblock PATH MIB CHUNK | cycle NAME STALE | hubport HUB PORT on|off|status\n");
  return 2;
}

int cycle(const std::string& name, const std::string& stale) {
  vmfacts::Facts facts;
  std::vector<std::string> added, removed;
  bool ok = vmfacts::cycleFacts(
      name, stale, 60000, [](const char* step) { emit(std::string("@@") + step); }, &facts, &added, &removed);
  for (const std::string& datagram : added) emit("@@uevent add " + vmfacts::escape(datagram));
  for (const std::string& datagram : removed) emit("@@uevent remove " + vmfacts::escape(datagram));
  emitFacts(facts);
  return ok ? 0 : 1;
}

// USB 2.0 11.24.2: SET_FEATURE/CLEAR_FEATURE(PORT_POWER) and GET_STATUS of
// a port, sent as the kernel's hub driver would.
int hubPort(const std::string& hub, int port, const std::string& action) {
  std::string dir = "/sys/bus/usb/devices/" + hub;
  int bus = 0, dev = 0;
  FILE* f = fopen((dir + "/busnum").c_str(), "r");
  if (f) {
    if (fscanf(f, "%d", &bus) != 1) bus = 0;
    fclose(f);
  }
  f = fopen((dir + "/devnum").c_str(), "r");
  if (f) {
    if (fscanf(f, "%d", &dev) != 1) dev = 0;
    fclose(f);
  }
  char node[64];
  snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, dev);
  int fd = usbSys->open(node, O_WRONLY, 0);
  if (fd < 0) {
    emit("@@fact hubport.error " + std::to_string(fd));
    return 1;
  }
  unsigned char status[4] = {};
  usbdevfs_ctrltransfer transfer = {};
  transfer.timeout = 2000;
  transfer.wIndex = static_cast<uint16_t>(port);
  if (action == "status") {
    transfer.bRequestType = 0xa3;
    transfer.wLength = sizeof status;
    transfer.data = status;
  } else {
    transfer.bRequestType = 0x23;
    transfer.bRequest = action == "on" ? 3 : 1;
    transfer.wValue = 8;
  }
  int result = usbSys->ioctl(fd, USBDEVFS_CONTROL, &transfer);
  usbSys->close(fd);
  emit("@@fact hubport.result " + std::to_string(result));
  char word[16];
  snprintf(word, sizeof word, "%04x", status[0] | status[1] << 8);
  if (action == "status") emit(std::string("@@fact hubport.status ") + word);
  return result < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string command = argv[1];
  vmfacts::Facts facts;
  if (command == "device") {
    for (int i = 2; i < argc; ++i) vmfacts::deviceFacts(argv[i], &facts);
  } else if (command == "read" && argc == 4) {
    vmfacts::readFacts(argv[2], argv[3], &facts);
  } else if (command == "usbfs" && argc == 3) {
    vmfacts::usbfsFacts(argv[2], &facts);
  } else if (command == "revoke" && argc == 3) {
    vmfacts::revokeFacts(argv[2], &facts);
  } else if (command == "urb" && argc == 4) {
    vmfacts::urbFacts(argv[2], argv[3], &facts);
  } else if (command == "interrupt" && argc == 3) {
    // 0x04 is the usage of the key 'a' in a boot keyboard report.
    vmfacts::interruptFacts(
        argv[2], 0x04, 30000, [](const char* step) { emit(std::string("@@") + step); }, &facts);
  } else if ((command == "readdisk" && argc == 7) || (command == "readblock" && argc == 5)) {
    double rate = 0;
    uint64_t sum = 0;
    std::string why;
    const bool ok =
        command == "readdisk"
            ? vmdisk::readThroughUsbfs(argv[2], uint8_t(strtoul(argv[3], nullptr, 0)),
                                       uint8_t(strtoul(argv[4], nullptr, 0)), uint32_t(strtoul(argv[5], nullptr, 0)),
                                       uint32_t(strtoul(argv[6], nullptr, 0)), &rate, &sum, &why)
            : vmdisk::readBlockDevice(argv[2], uint32_t(strtoul(argv[3], nullptr, 0)),
                                      uint32_t(strtoul(argv[4], nullptr, 0)), &rate, &sum, &why);
    if (!ok) {
      emit("@@error " + why);
      return 1;
    }
    char line[96];
    snprintf(line, sizeof line, "@@rate %.2f\n@@sum %016llx", rate, static_cast<unsigned long long>(sum));
    emit(line);
    return 0;
  } else if (command == "cycle" && argc == 4) {
    return cycle(argv[2], argv[3]);
  } else if (command == "hubport" && argc == 5) {
    return hubPort(argv[2], atoi(argv[3]), argv[4]);
  } else {
    return usage();
  }
  emitFacts(facts);
  return 0;
}
