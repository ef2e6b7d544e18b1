#include "tests/vm/kernelfacts.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "ovusbd/usb/usbsys.h"

namespace vmfacts {

namespace {

constexpr size_t kBigBuffer = 65536;
const char kDevices[] = "/sys/bus/usb/devices/";

std::string failed(int error) { return "!" + errnoName(error); }

// One read(2) of up to 64 KiB from a fresh descriptor: what a reader that
// trusts a single read gets.
std::string readOnce(const std::string& path) {
  int fd = usbSys->open(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return failed(-fd);
  std::vector<char> buffer(kBigBuffer);
  ssize_t n = usbSys->read(fd, buffer.data(), buffer.size());
  usbSys->close(fd);
  if (n < 0) return failed(static_cast<int>(-n));
  return std::string(buffer.data(), static_cast<size_t>(n));
}

// Reads to the end; firstRead gets the size of the first read.
int readAll(const std::string& path, std::string* content, ssize_t* firstRead) {
  int fd = usbSys->open(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return fd;
  std::vector<char> buffer(kBigBuffer);
  content->clear();
  *firstRead = -1;
  for (;;) {
    ssize_t n = usbSys->read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      usbSys->close(fd);
      return static_cast<int>(n);
    }
    if (*firstRead < 0) *firstRead = n;
    if (n == 0) break;
    content->append(buffer.data(), static_cast<size_t>(n));
  }
  usbSys->close(fd);
  return 0;
}

std::string statSize(const std::string& path) {
  struct stat status;
  int result = usbSys->stat(path.c_str(), &status);
  if (result < 0) return failed(-result);
  return std::to_string(static_cast<long long>(status.st_size));
}

std::string openForWriting(const std::string& path) {
  int fd = usbSys->open(path.c_str(), O_WRONLY, 0);
  if (fd < 0) return failed(-fd);
  usbSys->close(fd);
  return "ok";
}

// The device descriptor then wTotalLength bytes per configuration, nothing
// else: "1" when the attribute is laid out so.
std::string descriptorsWellFormed(const std::string& bytes) {
  if (bytes.size() < 18 || bytes[0] != 18 || bytes[1] != 1) return "0";
  size_t offset = 18;
  unsigned configurations = static_cast<uint8_t>(bytes[17]);
  for (unsigned i = 0; i < configurations; ++i) {
    if (offset + 4 > bytes.size() || bytes[offset + 1] != 2) return "0";
    size_t total = static_cast<uint8_t>(bytes[offset + 2]) | static_cast<uint8_t>(bytes[offset + 3]) << 8;
    if (total < 9) return "0";
    offset += total;
  }
  return offset == bytes.size() ? "1" : "0";
}

int collectName(void* context, const char* name) {
  static_cast<std::vector<std::string>*>(context)->push_back(name);
  return 0;
}

std::vector<std::string> interfacesOf(const std::string& name) {
  std::vector<std::string> entries, interfaces;
  usbSys->listDirectory(kDevices, collectName, &entries);
  // Root hub "usbN" has interface "N-0:1.0".
  std::string base = name.rfind("usb", 0) == 0 ? name.substr(3) + "-0" : name;
  for (const std::string& entry : entries) {
    if (entry.rfind(base + ":", 0) == 0) interfaces.push_back(entry);
  }
  return interfaces;
}

std::string nodePathOf(const std::string& name) {
  std::string bus = readOnce(kDevices + name + "/busnum");
  std::string dev = readOnce(kDevices + name + "/devnum");
  if (bus.empty() || bus[0] == '!' || dev.empty() || dev[0] == '!') return "";
  char path[64];
  snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", atoi(bus.c_str()), atoi(dev.c_str()));
  return path;
}

std::string ioctlResult(int result) { return result < 0 ? failed(-result) : "ok"; }

std::string pollText(short revents) {
  std::string text;
  const struct {
    short bit;
    const char* name;
  } bits[] = {{POLLIN, "POLLIN"}, {POLLOUT, "POLLOUT"}, {POLLERR, "POLLERR"}, {POLLHUP, "POLLHUP"}, {POLLNVAL, "POLLNVAL"}};
  for (const auto& bit : bits) {
    if (revents & bit.bit) text += (text.empty() ? "" : "|") + std::string(bit.name);
  }
  return text.empty() ? "0" : text;
}

long long nowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// "KEY=value" fields of a kernel datagram ("action@devpath\0KEY=value\0...").
std::string field(const std::string& datagram, const std::string& key) {
  size_t start = 0;
  while (start < datagram.size()) {
    size_t end = datagram.find('\0', start);
    if (end == std::string::npos) end = datagram.size();
    if (datagram.compare(start, key.size() + 1, key + "=") == 0) {
      return datagram.substr(start + key.size() + 1, end - start - key.size() - 1);
    }
    start = end + 1;
  }
  return "";
}

// Takes interface 0 from its host driver, if one is bound, and claims it.
int takeInterface(int fd) {
  struct usbdevfs_ioctl command;
  memset(&command, 0, sizeof command);
  command.ifno = 0;
  command.ioctl_code = USBDEVFS_DISCONNECT;
  usbSys->ioctl(fd, USBDEVFS_IOCTL, &command);
  unsigned interface = 0;
  return usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface);
}

// Releases interface 0 and lets its host driver bind again.
void giveBackInterface(int fd) {
  unsigned interface = 0;
  usbSys->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
  struct usbdevfs_ioctl command;
  memset(&command, 0, sizeof command);
  command.ifno = 0;
  command.ioctl_code = USBDEVFS_CONNECT;
  usbSys->ioctl(fd, USBDEVFS_IOCTL, &command);
}

// Reaps one URB, waiting up to timeoutMs for one to be done: usbfs signals
// a reapable URB as POLLOUT.
int reapWithin(int fd, int timeoutMs, struct usbdevfs_urb** done) {
  long long deadline = nowMs() + timeoutMs;
  for (;;) {
    int result = usbSys->ioctl(fd, USBDEVFS_REAPURBNDELAY, done);
    long long left = deadline - nowMs();
    if (result != -EAGAIN || left <= 0) return result;
    struct pollfd entry = {fd, POLLOUT, 0};
    usbSys->poll(&entry, 1, static_cast<int>(left));
  }
}

void prepareUrb(struct usbdevfs_urb* urb, unsigned char type, uint8_t endpoint, void* buffer, int length,
                unsigned flags) {
  memset(urb, 0, sizeof *urb);
  urb->type = type;
  urb->endpoint = endpoint;
  urb->buffer = buffer;
  urb->buffer_length = length;
  urb->flags = flags;
}

std::string statusAndLength(const struct usbdevfs_urb& urb) {
  return std::to_string(urb.status) + " " + std::to_string(urb.actual_length);
}

// Bulk-only transport: a command block wrapper for INQUIRY with 36 bytes
// of data in, and the check of the 13-byte status wrapper answering it
// ("USBS", the same tag): its bCSWStatus, or "bad".
void inquiryCbw(uint8_t cbw[31], uint32_t tag) {
  memset(cbw, 0, 31);
  memcpy(cbw, "USBC", 4);
  memcpy(cbw + 4, &tag, 4);
  cbw[8] = 36;     // dCBWDataTransferLength
  cbw[12] = 0x80;  // data in
  cbw[14] = 6;     // bCBWCBLength
  cbw[15] = 0x12;  // INQUIRY
  cbw[19] = 36;    // allocation length
}

std::string cswResult(const uint8_t* csw, int length, uint32_t tag) {
  if (length != 13 || memcmp(csw, "USBS", 4) != 0 || memcmp(csw + 4, &tag, 4) != 0) return "bad";
  return std::to_string(csw[12]);
}

// One INQUIRY on the bulk endpoints; the data URB asks for 512 bytes with
// dataFlags. Both IN URBs are submitted before any is reaped when
// statusUpFront, else the status URB follows the data URB's reap. Facts
// under "urb/PREFIX-...".
void inquiryExchange(int fd, uint32_t tag, unsigned dataFlags, bool statusUpFront, const std::string& prefix,
                     Facts* out) {
  uint8_t cbw[31];
  inquiryCbw(cbw, tag);
  // Static: an URB the kernel did not give back may write here until the
  // descriptor is closed.
  static uint8_t data[512], csw[512];
  memset(data, 0, sizeof data);
  memset(csw, 0, sizeof csw);
  struct usbdevfs_urb urbs[3];
  const char* const labels[] = {"command", "data", "status"};
  prepareUrb(&urbs[0], USBDEVFS_URB_TYPE_BULK, 0x02, cbw, sizeof cbw, 0);
  prepareUrb(&urbs[1], USBDEVFS_URB_TYPE_BULK, 0x81, data, sizeof data, dataFlags);
  prepareUrb(&urbs[2], USBDEVFS_URB_TYPE_BULK, 0x81, csw, statusUpFront ? 512 : 13, 0);
  bool submitted[3] = {false, false, false};
  auto submit = [&](int i) {
    int result = usbSys->ioctl(fd, USBDEVFS_SUBMITURB, &urbs[i]);
    submitted[i] = result == 0;
    if (result < 0) (*out)["urb/" + prefix + "-submit"] = failed(-result);
    return result == 0;
  };
  std::string order;
  bool ok = submit(0) && submit(1) && (!statusUpFront || submit(2));
  for (int reaped = 0; ok && reaped < (statusUpFront ? 3 : 2);) {
    struct usbdevfs_urb* done = nullptr;
    int result = reapWithin(fd, 10000, &done);
    if (result < 0) {
      (*out)["urb/" + prefix + "-reap"] = failed(-result);
      ok = false;
      break;
    }
    int i = static_cast<int>(done - urbs);
    submitted[i] = false;
    ++reaped;
    if (i > 0) order += (order.empty() ? "" : " ") + std::string(labels[i]);
    if (i == 1 && !statusUpFront) ok = submit(2);
  }
  if (!statusUpFront && ok) {
    struct usbdevfs_urb* done = nullptr;
    int result = reapWithin(fd, 10000, &done);
    if (result < 0) {
      (*out)["urb/" + prefix + "-reap"] = failed(-result);
      ok = false;
    } else {
      submitted[2] = false;
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (!submitted[i]) continue;
    // Take back what is still in flight before the interface goes.
    usbSys->ioctl(fd, USBDEVFS_DISCARDURB, &urbs[i]);
    struct usbdevfs_urb* done = nullptr;
    reapWithin(fd, 5000, &done);
  }
  if (!ok) return;
  if (statusUpFront) (*out)["urb/" + prefix + "-reap-order"] = order;
  (*out)["urb/" + prefix + "-command"] = statusAndLength(urbs[0]);
  (*out)["urb/" + prefix + "-data"] = statusAndLength(urbs[1]);
  (*out)["urb/" + prefix + "-status"] = statusAndLength(urbs[2]);
  (*out)["urb/" + prefix + "-csw"] = cswResult(csw, urbs[2].actual_length, tag);
}

}  // namespace

std::string escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == 0) {
      out += "\\0";
    } else if (c > ' ' && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

bool unescape(const std::string& text, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes->push_back(text[i]);
      continue;
    }
    if (++i >= text.size()) return false;
    if (text[i] == 'n') {
      bytes->push_back('\n');
    } else if (text[i] == '0') {
      bytes->push_back('\0');
    } else if (text[i] == 'x' && i + 2 < text.size()) {
      bytes->push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

std::string errnoName(int error) {
  switch (error) {
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EIO: return "EIO";
    case EBADF: return "EBADF";
    case EAGAIN: return "EAGAIN";
    case EACCES: return "EACCES";
    case EBUSY: return "EBUSY";
    case ENODEV: return "ENODEV";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EINVAL: return "EINVAL";
    case ENOTTY: return "ENOTTY";
    case EPIPE: return "EPIPE";
    case ENODATA: return "ENODATA";
    case ENOTSOCK: return "ENOTSOCK";
    case ETIMEDOUT: return "ETIMEDOUT";
    case EEXIST: return "EEXIST";
    case ENOSYS: return "ENOSYS";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    default: return "E" + std::to_string(error);
  }
}

void deviceFacts(const std::string& name, Facts* out) {
  std::string dir = kDevices + name;
  static const char* const attributes[] = {
      "speed",     "version",    "busnum",        "devnum",           "devpath",         "idVendor",
      "idProduct", "bcdDevice",  "bDeviceClass",  "bDeviceSubClass",  "bDeviceProtocol", "bNumInterfaces",
      "bConfigurationValue",     "bMaxPacketSize0", "bNumConfigurations", "maxchild",   "manufacturer",
      "product",   "serial",     "uevent"};
  for (const char* attribute : attributes) (*out)[name + "/attr/" + attribute] = readOnce(dir + "/" + attribute);

  std::string descriptors;
  ssize_t first = 0;
  int result = readAll(dir + "/descriptors", &descriptors, &first);
  if (result < 0) {
    (*out)[name + "/descriptors/read"] = failed(-result);
  } else {
    (*out)[name + "/descriptors/firstread"] = std::to_string(first);
    (*out)[name + "/descriptors/total"] = std::to_string(descriptors.size());
    (*out)[name + "/descriptors/onepass"] = static_cast<size_t>(first) == descriptors.size() ? "1" : "0";
    char head[8] = "";
    if (descriptors.size() >= 2) {
      snprintf(head, sizeof head, "%02x%02x", static_cast<uint8_t>(descriptors[0]), static_cast<uint8_t>(descriptors[1]));
    }
    (*out)[name + "/descriptors/head"] = head;
    (*out)[name + "/descriptors/wellformed"] = descriptorsWellFormed(descriptors);
  }
  (*out)[name + "/descriptors/stat"] = statSize(dir + "/descriptors");
  (*out)[name + "/speed/stat"] = statSize(dir + "/speed");
  (*out)[name + "/speed/openwrite"] = openForWriting(dir + "/speed");

  std::string node = nodePathOf(name);
  struct stat status;
  int nodeResult = node.empty() ? -ENOENT : usbSys->stat(node.c_str(), &status);
  if (nodeResult < 0) {
    (*out)[name + "/node"] = failed(-nodeResult);
  } else {
    char text[64];
    snprintf(text, sizeof text, "%s %u:%u", S_ISCHR(status.st_mode) ? "char" : "other", major(status.st_rdev),
             minor(status.st_rdev));
    (*out)[name + "/node"] = text;
  }

  for (const std::string& interface : interfacesOf(name)) {
    std::string idir = kDevices + interface;
    for (const char* attribute :
         {"uevent", "bInterfaceClass", "bInterfaceSubClass", "bInterfaceProtocol", "bInterfaceNumber"}) {
      (*out)[interface + "/attr/" + attribute] = readOnce(idir + "/" + attribute);
    }
  }
}

void readFacts(const std::string& path, const std::string& prefix, Facts* out) {
  std::string content;
  ssize_t first = 0;
  int result = readAll(path, &content, &first);
  if (result < 0) {
    (*out)[prefix + "/firstread"] = failed(-result);
    return;
  }
  (*out)[prefix + "/firstread"] = std::to_string(first);
  (*out)[prefix + "/total"] = std::to_string(content.size());
}

void usbfsFacts(const std::string& name, Facts* out) {
  std::string node = nodePathOf(name);
  int fd = usbSys->open(node.c_str(), O_RDWR, 0);
  (*out)["usbfs/open"] = fd < 0 ? failed(-fd) : "ok";
  if (fd < 0) return;
  auto getDriver = [fd](unsigned interface) {
    struct usbdevfs_getdriver query;
    memset(&query, 0, sizeof query);
    query.interface = interface;
    int result = usbSys->ioctl(fd, USBDEVFS_GETDRIVER, &query);
    return result < 0 ? failed(-result) : std::string(query.driver);
  };
  auto claim = [fd](unsigned interface) {
    return ioctlResult(usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface));
  };
  auto release = [fd](unsigned interface) {
    return ioctlResult(usbSys->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface));
  };
  auto perInterface = [fd](int code) {
    struct usbdevfs_ioctl command;
    memset(&command, 0, sizeof command);
    command.ifno = 0;
    command.ioctl_code = code;
    return ioctlResult(usbSys->ioctl(fd, USBDEVFS_IOCTL, &command));
  };
  (*out)["usbfs/getdriver-bound"] = getDriver(0);
  (*out)["usbfs/getdriver-missing"] = getDriver(7);
  (*out)["usbfs/claim-bound"] = claim(0);
  (*out)["usbfs/claim-missing"] = claim(7);
  (*out)["usbfs/claim-out-of-range"] = claim(200);
  (*out)["usbfs/release-unclaimed"] = release(0);
  struct usbdevfs_connectinfo info;
  memset(&info, 0, sizeof info);
  (*out)["usbfs/connectinfo"] = ioctlResult(usbSys->ioctl(fd, USBDEVFS_CONNECTINFO, &info));
  (*out)["usbfs/unknown-request"] = ioctlResult(usbSys->ioctl(fd, _IO('U', 0xf0), nullptr));
  (*out)["usbfs/disconnect"] = perInterface(USBDEVFS_DISCONNECT);
  (*out)["usbfs/getdriver-unbound"] = getDriver(0);
  (*out)["usbfs/disconnect-unbound"] = perInterface(USBDEVFS_DISCONNECT);
  (*out)["usbfs/claim-free"] = claim(0);
  (*out)["usbfs/claim-again"] = claim(0);
  (*out)["usbfs/getdriver-claimed"] = getDriver(0);
  (*out)["usbfs/release-claimed"] = release(0);
  // Hand the interface back to its host driver.
  (*out)["usbfs/connect"] = perInterface(USBDEVFS_CONNECT);
  (*out)["usbfs/getdriver-reconnected"] = getDriver(0);
  usbSys->close(fd);
}

void interruptFacts(const std::string& name, uint8_t keyCode, int timeoutMs,
                    const std::function<void(const char* step)>& step, Facts* out) {
  std::string node = nodePathOf(name);
  int fd = usbSys->open(node.c_str(), O_RDWR, 0);
  (*out)["interrupt/open"] = fd < 0 ? failed(-fd) : "ok";
  if (fd < 0) return;
  struct usbdevfs_ioctl command;
  memset(&command, 0, sizeof command);
  command.ifno = 0;
  command.ioctl_code = USBDEVFS_DISCONNECT;
  usbSys->ioctl(fd, USBDEVFS_IOCTL, &command);
  unsigned interface = 0;
  (*out)["interrupt/claim"] = ioctlResult(usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface));
  uint8_t buffer[8];
  struct usbdevfs_urb urb;
  auto submit = [&] {
    memset(&urb, 0, sizeof urb);
    memset(buffer, 0xee, sizeof buffer);
    urb.type = USBDEVFS_URB_TYPE_INTERRUPT;
    urb.endpoint = 0x81;
    urb.buffer = buffer;
    urb.buffer_length = sizeof buffer;
    return usbSys->ioctl(fd, USBDEVFS_SUBMITURB, &urb);
  };
  int result = submit();
  (*out)["interrupt/submit"] = ioctlResult(result);
  if (result == 0) {
    step("submitted");
    long long deadline = nowMs() + timeoutMs;
    bool found = false;
    while (!found && nowMs() < deadline) {
      // usbfs signals a reapable URB as POLLOUT.
      struct pollfd entry = {fd, POLLOUT, 0};
      int ready = usbSys->poll(&entry, 1, static_cast<int>(std::max(1LL, deadline - nowMs())));
      if (ready <= 0) continue;
      struct usbdevfs_urb* done = nullptr;
      result = usbSys->ioctl(fd, USBDEVFS_REAPURBNDELAY, &done);
      if (result < 0) {
        (*out)["interrupt/reap"] = failed(-result);
        break;
      }
      (*out)["interrupt/status"] = std::to_string(done->status);
      (*out)["interrupt/length"] = std::to_string(done->actual_length);
      found = done->status == 0 && done->actual_length >= 3 && buffer[2] == keyCode;
      if (found) {
        char hex[3 * sizeof buffer + 1] = "";
        for (int i = 0; i < done->actual_length && i < static_cast<int>(sizeof buffer); ++i) {
          snprintf(hex + 2 * i, 3, "%02x", buffer[i]);
        }
        (*out)["interrupt/report"] = hex;
      } else if (submit() < 0) {
        break;
      }
    }
    if (!found) {
      // Take back the URB still in flight before the interface goes.
      usbSys->ioctl(fd, USBDEVFS_DISCARDURB, &urb);
      struct usbdevfs_urb* done = nullptr;
      usbSys->ioctl(fd, USBDEVFS_REAPURB, &done);
      (*out)["interrupt/report"] = "none";
    }
  }
  usbSys->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
  command.ioctl_code = USBDEVFS_CONNECT;
  usbSys->ioctl(fd, USBDEVFS_IOCTL, &command);
  usbSys->close(fd);
}

void urbFacts(const std::string& storage, const std::string& keyboard, Facts* out) {
  int fd = usbSys->open(nodePathOf(storage).c_str(), O_RDWR, 0);
  (*out)["urb/storage-open"] = fd < 0 ? failed(-fd) : "ok";
  if (fd >= 0) {
    int result = takeInterface(fd);
    (*out)["urb/storage-claim"] = ioctlResult(result);
    if (result == 0) {
      struct usbdevfs_urb* done = nullptr;
      (*out)["urb/storage-reap-idle"] = ioctlResult(usbSys->ioctl(fd, USBDEVFS_REAPURBNDELAY, &done));
      inquiryExchange(fd, 1, 0, true, "inquiry", out);
      inquiryExchange(fd, 2, USBDEVFS_URB_SHORT_NOT_OK, false, "short-not-ok", out);
    }
    giveBackInterface(fd);
    usbSys->close(fd);
  }

  fd = usbSys->open(nodePathOf(keyboard).c_str(), O_RDWR, 0);
  (*out)["urb/keyboard-open"] = fd < 0 ? failed(-fd) : "ok";
  if (fd < 0) return;
  int result = takeInterface(fd);
  (*out)["urb/keyboard-claim"] = ioctlResult(result);
  if (result == 0) {
    uint8_t report[8];
    struct usbdevfs_urb urb;
    prepareUrb(&urb, USBDEVFS_URB_TYPE_INTERRUPT, 0x81, report, sizeof report, 0);
    result = usbSys->ioctl(fd, USBDEVFS_SUBMITURB, &urb);
    (*out)["urb/interrupt-submit"] = ioctlResult(result);
    if (result == 0) {
      struct usbdevfs_urb* done = nullptr;
      (*out)["urb/interrupt-reap-pending"] = ioctlResult(usbSys->ioctl(fd, USBDEVFS_REAPURBNDELAY, &done));
      (*out)["urb/discard"] = ioctlResult(usbSys->ioctl(fd, USBDEVFS_DISCARDURB, &urb));
      result = reapWithin(fd, 5000, &done);
      (*out)["urb/discarded"] = result < 0 ? failed(-result) : statusAndLength(*done);
      (*out)["urb/discard-reaped"] = ioctlResult(usbSys->ioctl(fd, USBDEVFS_DISCARDURB, &urb));
    }
  }
  giveBackInterface(fd);
  usbSys->close(fd);
}

namespace {

// Writes the text to a sysfs file: "ok", or the error.
std::string writeText(const std::string& path, const std::string& text) {
  int fd = usbSys->open(path.c_str(), O_WRONLY, 0);
  if (fd < 0) return failed(-fd);
  ssize_t written = usbSys->write(fd, text.data(), text.size());
  usbSys->close(fd);
  if (written < 0) return failed(static_cast<int>(-written));
  return written == static_cast<ssize_t>(text.size()) ? "ok" : "short";
}

std::string linkTarget(const std::string& path) {
  char target[512];
  ssize_t length = usbSys->readlink(path.c_str(), target, sizeof target);
  return length < 0 ? failed(static_cast<int>(-length)) : std::string(target, static_cast<size_t>(length));
}

}  // namespace

void revokeFacts(const std::string& name, Facts* out) {
  const std::string node = nodePathOf(name), dir = kDevices + name;
  int old = usbSys->open(node.c_str(), O_RDWR, 0);
  (*out)["revoked/open"] = old < 0 ? failed(-old) : "ok";
  if (old < 0) return;
  auto claimMissing = [](int fd) {
    unsigned interface = 7;
    return ioctlResult(usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface));
  };
  (*out)["revoked/unbind"] = writeText("/sys/bus/usb/drivers/usb/unbind", name);
  (*out)["revoked/old-claim-missing"] = claimMissing(old);
  usbdevfs_urb* urb = nullptr;
  (*out)["revoked/old-reap"] = ioctlResult(usbSys->ioctl(old, USBDEVFS_REAPURBNDELAY, &urb));
  struct pollfd entry = {old, POLLOUT, 0};
  int ready = usbSys->poll(&entry, 1, 0);
  (*out)["revoked/old-poll"] = ready < 0 ? failed(-ready) : pollText(entry.revents);
  (*out)["revoked/configuration"] = readOnce(dir + "/bConfigurationValue");
  (*out)["revoked/driver"] = linkTarget(dir + "/driver");
  int fresh = usbSys->open(node.c_str(), O_RDWR, 0);
  (*out)["revoked/new-open"] = fresh < 0 ? failed(-fresh) : "ok";
  (*out)["rebound/bind"] = writeText("/sys/bus/usb/drivers/usb/bind", name);
  (*out)["rebound/configuration"] = readOnce(dir + "/bConfigurationValue");
  (*out)["rebound/driver"] = linkTarget(dir + "/driver");
  (*out)["rebound/old-claim-missing"] = claimMissing(old);
  entry = {old, POLLOUT, 0};
  ready = usbSys->poll(&entry, 1, 0);
  (*out)["rebound/old-poll"] = ready < 0 ? failed(-ready) : pollText(entry.revents);
  if (fresh >= 0) {
    (*out)["rebound/new-claim-missing"] = claimMissing(fresh);
    usbSys->close(fresh);
  }
  usbSys->close(old);
}

void holdDevice(const std::string& name, const std::string& stalePath, Held* held, Facts* out) {
  held->name = name;
  held->sysfsPath = kDevices + name;
  held->attributePath = held->sysfsPath + "/speed";
  held->nodePath = nodePathOf(name);
  held->stalePath = stalePath;
  held->attributeFd = usbSys->open(held->attributePath.c_str(), O_RDONLY, 0);
  (*out)["held/attribute"] = held->attributeFd < 0 ? failed(-held->attributeFd) : "ok";
  held->nodeFd = usbSys->open(held->nodePath.c_str(), O_RDWR, 0);
  (*out)["held/node"] = held->nodeFd < 0 ? failed(-held->nodeFd) : "ok";
  struct stat status;
  int result = usbSys->stat(held->nodePath.c_str(), &status);
  if (result == 0) {
    usbSys->unlink(stalePath.c_str());
    result = usbSys->mknod(stalePath.c_str(), S_IFCHR | 0600, status.st_rdev);
  }
  (*out)["held/stale"] = ioctlResult(result);
}

bool deviceGone(const std::string& name) {
  struct stat status;
  return usbSys->stat((kDevices + name).c_str(), &status) == -ENOENT;
}

void afterRemoval(Held* held, Facts* out) {
  if (held->attributeFd >= 0) {
    char buffer[64];
    ssize_t n = usbSys->read(held->attributeFd, buffer, sizeof buffer);
    (*out)["removed/attribute-read"] = n < 0 ? failed(static_cast<int>(-n)) : "read " + std::to_string(n);
    usbSys->close(held->attributeFd);
    held->attributeFd = -1;
  }
  if (held->nodeFd >= 0) {
    struct pollfd entry = {held->nodeFd, POLLOUT, 0};
    int ready = usbSys->poll(&entry, 1, 0);
    (*out)["removed/node-poll"] = ready < 0 ? failed(-ready) : pollText(entry.revents);
    struct usbdevfs_connectinfo info;
    (*out)["removed/node-ioctl"] = ioctlResult(usbSys->ioctl(held->nodeFd, USBDEVFS_CONNECTINFO, &info));
    usbSys->close(held->nodeFd);
    held->nodeFd = -1;
  }
  int fd = usbSys->open(held->stalePath.c_str(), O_RDWR, 0);
  (*out)["removed/stale-open"] = fd < 0 ? failed(-fd) : "ok";
  if (fd >= 0) usbSys->close(fd);
  usbSys->unlink(held->stalePath.c_str());
  fd = usbSys->open(held->nodePath.c_str(), O_RDWR, 0);
  (*out)["removed/node-open"] = fd < 0 ? failed(-fd) : "ok";
  if (fd >= 0) usbSys->close(fd);
  struct stat status;
  int result = usbSys->stat(held->sysfsPath.c_str(), &status);
  (*out)["removed/sysfs"] = result < 0 ? failed(-result) : "present";
}

int openUeventSockets(UeventSockets* sockets) {
  for (int* fd : {&sockets->main, &sockets->spare}) {
    *fd = usbSys->socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
    if (*fd < 0) return *fd;
    struct sockaddr_nl address;
    memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;
    int result = usbSys->bind(*fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address);
    if (result < 0) return result;
  }
  return 0;
}

void closeUeventSockets(UeventSockets* sockets) {
  for (int* fd : {&sockets->main, &sockets->spare}) {
    if (*fd >= 0) usbSys->close(*fd);
    *fd = -1;
  }
}

bool recordUevents(UeventSockets* sockets, const std::string& name, const std::string& action, int timeoutMs,
                   std::vector<std::string>* datagrams, Facts* out) {
  long long deadline = nowMs() + timeoutMs;
  std::vector<char> buffer(16384);
  bool done = false;
  bool first = true;
  while (!done) {
    long long left = deadline - nowMs();
    if (left <= 0) return false;
    struct pollfd entry = {sockets->main, POLLIN, 0};
    int ready = usbSys->poll(&entry, 1, static_cast<int>(left));
    if (ready <= 0) continue;
    ssize_t n = usbSys->recv(sockets->main, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) continue;
    std::string datagram(buffer.data(), static_cast<size_t>(n));
    if (first) {
      // The spare socket has a datagram too (maybe not this one, it was
      // bound a moment later): with MSG_TRUNC a 16-byte buffer still
      // reports the datagram's whole length.
      char small[16];
      ssize_t cut = usbSys->recv(sockets->spare, small, sizeof small, MSG_DONTWAIT | MSG_TRUNC);
      (*out)["uevent/trunc-return"] = cut < 0                                        ? failed(static_cast<int>(-cut))
                                      : cut > static_cast<ssize_t>(sizeof small) ? "whole length"
                                                                                   : std::to_string(cut);
      first = false;
    }
    if (field(datagram, "SUBSYSTEM") != "usb") continue;
    datagrams->push_back(datagram);
    std::string devpath = field(datagram, "DEVPATH");
    done = field(datagram, "ACTION") == action && devpath.size() > name.size() &&
           devpath.compare(devpath.size() - name.size() - 1, name.size() + 1, "/" + name) == 0;
  }
  // Empty the spare socket; then it must answer EAGAIN.
  char scratch[16384];
  ssize_t n;
  while ((n = usbSys->recv(sockets->spare, scratch, sizeof scratch, MSG_DONTWAIT)) >= 0) {
  }
  (*out)["uevent/empty-recv"] = failed(static_cast<int>(-n));
  return true;
}

bool cycleFacts(const std::string& name, const std::string& stalePath, int timeoutMs,
                const std::function<void(const char* step)>& step, Facts* out, std::vector<std::string>* added,
                std::vector<std::string>* removed) {
  UeventSockets sockets;
  int result = openUeventSockets(&sockets);
  if (result < 0) {
    (*out)["uevent/socket"] = failed(-result);
    closeUeventSockets(&sockets);
    return false;
  }
  step("watching");
  if (!recordUevents(&sockets, name, "bind", timeoutMs, added, out)) {
    closeUeventSockets(&sockets);
    return false;
  }
  deviceFacts(name, out);
  Held held;
  holdDevice(name, stalePath, &held, out);
  step("held");
  Facts removal;
  bool ok = recordUevents(&sockets, name, "remove", timeoutMs, removed, &removal);
  for (const auto& [key, value] : removal) (*out)["remove-" + key] = value;
  // The kernel deletes the sysfs entries before it sends the remove.
  long long deadline = nowMs() + timeoutMs;
  while (!deviceGone(name) && nowMs() < deadline) {
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  afterRemoval(&held, out);
  closeUeventSockets(&sockets);
  return ok;
}

}  // namespace vmfacts
