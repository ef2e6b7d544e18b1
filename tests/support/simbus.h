// A simulated USB bus behind the USB layer's system-call seam (UsbSys): a
// virtual /sys tree in the kernel's formats, usbfs device nodes under
// /dev/bus/usb, and the kernel's uevent netlink socket carrying kernel and
// libudev datagrams. It is written from how Linux behaves:
//
//   - sysfs attributes hand out at most 4096 bytes per read(2); "descriptors"
//     is a binary attribute (stat size 65553) holding the device descriptor
//     followed by every raw configuration descriptor; text attributes end in
//     "\n": speed "480\n", version " 2.00\n" ("%2x.%02x"), busnum "1\n",
//     idVendor "046d\n", manufacturer/product/serial only when the device has
//     that string; opening a read-only attribute for writing fails EACCES;
//     reading an attribute of a removed device fails ENODEV.
//   - a device's "uevent" file holds MAJOR, MINOR, DEVNAME (relative,
//     "bus/usb/001/002"), DEVTYPE, DRIVER (once bound), PRODUCT
//     ("%x/%x/%x"), TYPE ("%d/%d/%d"), BUSNUM and DEVNUM ("%03d"); an
//     interface's holds DEVTYPE=usb_interface, PRODUCT, TYPE, INTERFACE,
//     MODALIAS. usb_device nodes are char 189:((bus-1)*128 + dev-1).
//   - /sys/bus/usb/devices holds a link per device and interface to its
//     directory under /sys/devices/pci0000:00/0000:00:14.0/usbN/...; a
//     device's "driver" link names its driver, the generic "usb" one from
//     the start.
//   - kernel datagrams (netlink group 1) are "action@devpath\0" then
//     "KEY=value\0" for ACTION, DEVPATH, SUBSYSTEM, the uevent file, SEQNUM;
//     libudev datagrams (group 2) start with the 40-byte libudev header
//     ("libudev\0", magic 0xfeedcafe big-endian, header size, properties
//     offset 40, properties length, hashes) and carry ACTION, DEVPATH,
//     SUBSYSTEM first. recv(2) cuts a datagram to the buffer and reports its
//     full length with MSG_TRUNC; MSG_DONTWAIT on an empty socket is EAGAIN.
//   - eventfd(2) descriptors count writes and wake poll(2) with POLLIN.
//   - plugging a device sends: add of the device, add of each interface, add
//     of a HID child for HID interfaces, bind of each interface, bind of the
//     device. Unplugging sends the reverse with unbind and remove.
//
// One SimBus at a time is installed as usbSys. Every call is thread-safe.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ovusbd/usb/usbsys.h"
#include "tests/support/simurb.h"

namespace simbus {

struct SimInterface {
  uint8_t interfaceClass = 0xff;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
};

struct SimDevice {
  std::string name;  // kernel name: "1-1", "1-1.2"; its parent must exist
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0x5678;
  uint16_t bcdDevice = 0x0100;
  uint16_t bcdUSB = 0x0200;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  std::string speed = "480";  // without the newline
  std::optional<std::string> manufacturer = std::string("Acme");
  std::optional<std::string> product = std::string("Widget");
  std::optional<std::string> serial;
  std::vector<SimInterface> interfaces = {SimInterface{}};
  int maxchild = 0;                  // hubs: number of ports
  std::vector<uint8_t> descriptors;  // empty: built from the fields above
  bool withNode = true;              // udev made /dev/bus/usb/BBB/DDD
  int devnum = 0;                    // 0: the next free number on the bus
};

// A hub device with one hub interface.
SimDevice hubDevice(const std::string& name, int ports = 4);

enum class Format { Kernel, Udev, Both };

struct NodeInfo {
  bool exists = false;
  mode_t mode = 0;  // type and permission bits
  dev_t rdev = 0;
};

class SimBus {
 public:
  SimBus();
  ~SimBus();
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  // Makes this bus the USB layer's usbSys (and puts the old one back).
  void install();
  void uninstall();

  // --- the device tree ---
  // A root hub "usbN" of the given speed (480 gives version " 2.00").
  void addRootHub(int bus, const std::string& speed = "480", int ports = 15);
  // Adds the device's directories, attributes, links and node; returns its
  // devpath ("/devices/.../usb1/1-1"). No uevent is sent.
  std::string addDevice(const SimDevice& device);
  // Removes the device (and everything below it) from the tree and /dev.
  void removeDevice(const std::string& name);
  // addDevice/removeDevice plus the uevents the kernel sends.
  std::string plug(const SimDevice& device, Format format = Format::Both);
  void unplug(const std::string& name, Format format = Format::Both);

  std::string devpath(const std::string& name) const;  // "/devices/..."
  std::string sysfsDir(const std::string& name) const;  // "/sys/devices/..."
  std::string nodePath(const std::string& name) const;  // "/dev/bus/usb/BBB/DDD"

  // --- files ---
  void addDirectory(const std::string& path);
  void writeFile(const std::string& path, const std::string& content, mode_t mode = 0444, bool writable = false);
  void setAttribute(const std::string& name, const std::string& attribute, const std::string& content);
  void removePath(const std::string& path);  // file, node, link or whole directory
  std::string fileContent(const std::string& path) const;
  NodeInfo node(const std::string& path) const;
  void setExePath(const std::string& path);  // target of /proc/self/exe
  // A symbolic link holding target (relative targets as sysfs has them).
  void addLink(const std::string& path, const std::string& target);

  // Failures: the next calls on the path fail with -error until cleared.
  void failOpen(const std::string& path, int error);
  void failRead(const std::string& path, int error);
  void failMknod(int error);
  void failSocket(int error);
  void failBind(int error);
  void clearFailures();

  // --- uevents ---
  void emitUevent(const std::string& action, const std::string& name, Format format = Format::Both);
  void sendDatagram(const std::vector<uint8_t>& bytes, uint32_t group);
  static std::vector<uint8_t> kernelDatagram(const std::string& action, const std::string& devpath,
                                             const std::string& subsystem, const std::string& ueventText,
                                             unsigned long seqnum);
  static std::vector<uint8_t> udevDatagram(const std::string& action, const std::string& devpath,
                                           const std::string& subsystem, const std::string& ueventText,
                                           unsigned long seqnum);
  // Datagrams sent, and taken by recv, over all sockets.
  unsigned long datagramsDelivered() const;
  unsigned long datagramsReceived() const;
  unsigned long datagramsPending() const;  // queued on open sockets, not yet received
  int boundUeventSockets() const;

  // --- USB transfers (simurb.cpp) ---
  // The model that answers the device's URBs; a device without one stalls
  // control requests and never answers other URBs.
  void setModel(const std::string& name, std::shared_ptr<UsbModel> model);
  // Changes a model under the bus's lock, then lets it answer what waits.
  void withModel(const std::string& name, const std::function<void(UsbModel&)>& change);
  // Halts an endpoint: its pending and later URBs fail -EPIPE until
  // CLEAR_HALT.
  void stallEndpoint(const std::string& name, uint8_t endpoint);
  // Completes the index-th pending URB of the device (in submit order) with
  // a status, as the host controller would after an error.
  void completePendingUrb(const std::string& name, size_t index, int status);
  // The n-th SUBMITURB from now on (1 = the next) fails with -error.
  void failSubmit(unsigned long n, int error);
  // While held, completed URBs wait aside instead of becoming reapable;
  // release hands them over in the given order of their completion index
  // (empty: in completion order).
  void holdCompletions();
  size_t heldCompletions() const;
  void releaseCompletions(const std::vector<size_t>& order = {});
  // Host drivers of interfaces: GETDRIVER names them, a CLAIMINTERFACE of
  // a held interface fails EBUSY, USBDEVFS_DISCONNECT unbinds them. An
  // empty driver unbinds.
  void setHostDriver(const std::string& name, unsigned interface, const std::string& driver);
  std::string hostDriver(const std::string& name, unsigned interface) const;
  // The driver the kernel binds to the free interface when it probes it:
  // a new configuration while drivers_autoprobe is 1, a drivers_probe
  // write, the rebind after a reset.
  void setProbeDriver(const std::string& name, unsigned interface, const std::string& driver);
  // bConfigurationValue, 0 while unconfigured.
  int configuration(const std::string& name) const;
  // URBs and SETINTERFACE calls that used an interface their descriptor had
  // not claimed (usbfs claimed it for them, with its warning).
  size_t unclaimedUses(const std::string& name) const;
  // While held, ioctls with this request number wait (as a synchronous
  // request to a slow device does); heldIoctls counts the callers waiting.
  void holdIoctl(unsigned long request);
  void releaseIoctl();
  int heldIoctls() const;
  // usbfs mappings: whether the device offers them, and a failure of mmap.
  void setMmapCapable(const std::string& name, bool capable);
  void failMmap(int error);
  size_t mappings() const;
  // Every URB submitted so far, and those pending or reapable now.
  std::vector<SubmittedUrb> submitted() const;
  size_t pendingUrbs() const;
  size_t completedUrbs() const;
  // Streams requests that reached a device, in order.
  std::vector<StreamsRequest> streamsRequests() const;
  // Requests seen on the device's node (ioctl numbers), in order.
  std::vector<unsigned long> nodeRequests(const std::string& name) const;

  // --- the generic usb driver ---
  // The generic usb driver lets go of the device (a write of its name to
  // the driver's unbind file does the same; binding a device driver such as
  // usbip-host starts with it). As
  // generic_disconnect does: usbdev_remove revokes every open descriptor of
  // the device (its pending URBs are killed, -ENOENT, and stay reapable;
  // from then on every other ioctl fails -ENODEV, the reap too once
  // drained, and poll gives POLLHUP | POLLERR, for good), then the device
  // is unconfigured: its interfaces lose their drivers and usbfs claims.
  // DRIVER= leaves its uevent file, the device's "driver" link goes, and
  // an "unbind" uevent is sent. The node stays, and a new open of it works
  // as before.
  void unbindGenericDriver(const std::string& name, Format format = Format::Both);
  // The driver takes the device again (a write of its name to the bind
  // file does the same): generic_probe sets configuration 1, whose
  // interfaces get their probe drivers while drivers_autoprobe holds 1;
  // DRIVER=usb, the "driver" link and a "bind" uevent. Revoked
  // descriptors stay revoked.
  void bindGenericDriver(const std::string& name, Format format = Format::Both);
  // Another device driver takes the device (usbip-host): the generic driver
  // lets go first, as above, then the device's "driver" link names the
  // other one, which keeps the device to itself (the generic driver's bind
  // is refused EBUSY). Its own uevent is not sent.
  void bindDeviceDriver(const std::string& name, const std::string& driver, Format format = Format::Both);
  // poll calls that were given a revoked descriptor.
  unsigned long revokedPolls() const;

  // --- hubs ---
  // USBDEVFS_CONTROL on a hub's node is answered as a USB 2.0 hub would
  // (11.24.2): GET_STATUS of a port gives wPortStatus (power 0x0100 while
  // the port is powered; connection 0x0001, enable 0x0002 and the speed
  // bits while a device is plugged into it and the port is powered) and
  // wPortChange 0; SET_FEATURE/CLEAR_FEATURE switch PORT_POWER (8) and
  // count PORT_RESET (4); GET_DESCRIPTOR of the hub descriptor (0x29) and of
  // the BOS (standard, 0x0F; it stalls unless setBos gave one). A port
  // outside 1..maxchild, and any other request, stalls (-EPIPE). Switching
  // the power does not unplug the device behind the port.
  // USBDEVFS_CONTROL on other devices goes to their model (a held answer
  // times out, -ETIMEDOUT). USBDEVFS_CLAIM_PORT and RELEASE_PORT: a port
  // outside 1..maxchild is -EINVAL, one claimed through any descriptor
  // -EBUSY; closing the descriptor releases its ports.
  // Every ioctl needs a descriptor opened for writing (-EPERM otherwise).
  void setBos(const std::string& name, const std::vector<uint8_t>& bos);
  // The next USBDEVFS_CONTROL on the device fails with -error.
  void failControl(const std::string& name, int error);
  struct ControlRecord {
    std::string device;
    uint8_t setup[8];
    int result;
    std::chrono::steady_clock::time_point at;
  };
  // Every USBDEVFS_CONTROL so far, in order.
  std::vector<ControlRecord> controls() const;
  bool portPowered(const std::string& hub, unsigned port) const;
  unsigned portResets(const std::string& hub, unsigned port) const;
  std::set<unsigned> claimedPorts(const std::string& hub) const;

  // --- observation ---
  int openDescriptors() const;                       // of any kind
  std::vector<std::string> openPaths() const;        // files and nodes
  std::vector<std::string> madeNodes() const;        // mknod calls that succeeded
  size_t largestRead(const std::string& path) const; // biggest single read result
  std::vector<std::string> commands() const;         // runCommand calls
  // runCommand of a command starting with prefix returns this wait status
  // (or -errno) from now on; other commands give 0, a clean exit.
  void setCommandStatus(const std::string& prefix, int status);

 private:
  struct Entry;
  struct Descriptor;
  struct Socket;
  struct Plugged;
  struct UrbState;

  friend struct SimCalls;
  int resolve(const std::string& path, bool followLast, std::string* out) const;
  const Entry* lookup(const std::string& canonical) const;
  void putEntry(const std::string& path, const Entry& entry);
  void eraseTree(const std::string& canonical);
  std::string ueventText(const std::string& name) const;
  std::string subsystemOf(const std::string& name) const;
  std::vector<std::string> listChildren(const std::string& canonical) const;
  void deliver(const std::vector<uint8_t>& bytes, uint32_t group);
  void emitLocked(const std::string& action, const std::string& name, Format format);

  // System calls, under mutex_.
  int doOpen(const char* path, int flags);
  int doClose(int fd);
  int doIoctl(int fd, unsigned long request, void* argument);
  int doPoll(struct pollfd* fds, nfds_t count, int timeoutMs);
  ssize_t doRead(int fd, void* buffer, size_t count);
  ssize_t doWrite(int fd, const void* buffer, size_t count);
  int doList(const char* path, UsbSysDirectoryVisitor visit, void* context);
  int doStat(const char* path, struct stat* status);
  int doMknod(const char* path, mode_t mode, dev_t device);
  int doUnlink(const char* path);
  ssize_t doReadlink(const char* path, char* buffer, size_t size);
  int doSocket(int domain, int type, int protocol);
  int doBind(int fd, const struct sockaddr* address, socklen_t length);
  ssize_t doRecv(int fd, void* buffer, size_t length, int flags);
  int doRunCommand(const char* command);
  int doEventfd(unsigned int initial, int flags);
  int doMmap(size_t length, int protection, int flags, int fd, off_t offset, void** mapped);
  int doMunmap(void* address, size_t length);

  // The URB engine, under mutex_ (simurb.cpp).
  static UrbState* newUrbState();
  static void deleteUrbState(UrbState* state);
  int urbIoctl(int fd, const std::string& device, bool connected, unsigned long request, void* argument);
  int controlIoctl(const std::string& device, void* argument);
  UrbAnswer modelControl(const std::string& device, const uint8_t setup[8], const std::string& out);
  int hubControl(const std::string& hub, const uint8_t setup[8], uint8_t* data);
  int portIoctl(int fd, const std::string& device, unsigned long request, void* argument);
  bool urbReady(int fd) const;
  int urbMmap(const std::string& device, size_t length, int protection, int flags, off_t offset, void** mapped);
  void urbDeviceGone(const std::string& device);
  void urbCloseFd(int fd);
  void urbRevokeFd(int fd);
  void urbUnbindHostDrivers(const std::string& device);
  void unbindGenericLocked(const std::string& name, Format format);
  void bindGenericLocked(const std::string& name, Format format);
  void urbPump(const std::string& device);
  // Pieces of the tree the URB engine needs (simbus.cpp), under mutex_.
  std::string deviceOfFd(int fd) const;
  bool isPlugged(const std::string& device) const;
  bool autoprobeOn() const;
  void setConfigurationAttribute(const std::string& device, int value);
  int& urbConfiguration(const std::string& device);
  bool urbInterfaceClaimed(const std::string& device, unsigned interface) const;
  void urbProbeInterface(const std::string& device, unsigned interface);
  int urbUseInterface(int fd, const std::string& device, unsigned interface);
  unsigned urbInterfaces(const std::string& device) const;
  ssize_t urbDriversProbe(const std::string& text);
  std::string deviceOfNode(dev_t rdev) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Entry>* tree_;
  std::map<int, Descriptor>* descriptors_;
  std::map<int, Socket>* sockets_;
  std::map<std::string, Plugged>* plugged_;  // by kernel name
  UrbState* urb_;
  std::map<std::string, int> openFailures_, readFailures_;
  std::map<std::string, size_t> largestRead_;
  std::vector<std::string> madeNodes_, commands_;
  std::vector<std::pair<std::string, int>> commandStatus_;
  int mknodFailure_ = 0, socketFailure_ = 0, bindFailure_ = 0;
  int nextFd_ = 1 << 20;
  int hidCounter_ = 0;
  unsigned long revokedPolls_ = 0;
  std::map<int, uint64_t> eventCounters_;  // eventfd descriptors
  unsigned long seqnum_ = 1000;
  unsigned long delivered_ = 0, received_ = 0;
  std::map<int, int> nextDevnum_;
  struct HubPort {
    bool powered = true;
    unsigned resets = 0;
    int claimedBy = -1;  // descriptor, -1 when not claimed
  };
  std::map<std::string, std::map<unsigned, HubPort>> hubPorts_;
  std::map<std::string, std::vector<uint8_t>> bos_;
  std::map<std::string, int> controlFailures_;
  std::vector<ControlRecord> controls_;
  unsigned long heldRequest_ = 0;  // holdIoctl; 0 = none
  int heldCallers_ = 0;
  const UsbSys* previous_ = nullptr;
  bool installed_ = false;
};

}  // namespace simbus
