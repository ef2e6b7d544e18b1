// Facts about the USB tree as the USB layer sees it through its system-call
// seam (usbSys): attribute texts, read sizes, open and ioctl errors, uevent
// datagrams. The same code runs inside the qemu guest against the real
// kernel (tests/vm/probe.cpp, through productionUsbSys) and in-process
// against the simulated bus, so the two answers can be compared key by key.
//
// A fact is a key ("1-1/attr/speed") and a value: the bytes read, a number,
// or "!" and the errno name ("!ENOENT") when the call failed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vmfacts {

using Facts = std::map<std::string, std::string>;

// Printable ASCII stays (but space and backslash), the rest becomes \n, \0
// or \xNN, so a value is one word on a console line.
std::string escape(const std::string& bytes);
bool unescape(const std::string& text, std::string* bytes);
std::string errnoName(int error);  // "ENOENT"; "E<number>" for the rare rest

// Attributes of /sys/bus/usb/devices/NAME and of its interfaces, each read
// once with a 64 KiB buffer, under "NAME/attr/..." and "NAME:1.0/attr/...";
// plus the descriptors attribute's stat size, first read and layout, a text
// attribute's stat size and its answer to an open for writing, and the
// usbfs node's device number.
void deviceFacts(const std::string& name, Facts* out);

// How a file reads with a 64 KiB buffer: "PREFIX/firstread" (bytes of the
// first read) and "PREFIX/total".
void readFacts(const std::string& path, const std::string& prefix, Facts* out);

// Answers of usbfs ioctls on NAME's node, interface 0 bound to a host
// driver: claim, release, driver query, disconnect and reconnect.
void usbfsFacts(const std::string& name, Facts* out);

// Interrupt IN data of a HID device's interface 0, taken from its host
// driver and claimed through usbfs: submits URBs on endpoint 0x81, calls
// step("submitted") (a key is to be pressed now), and reaps until a report
// carries keyCode or timeoutMs pass; then hands the interface back. Facts
// under "interrupt/...".
void interruptFacts(const std::string& name, uint8_t keyCode, int timeoutMs,
                    const std::function<void(const char* step)>& step, Facts* out);

// URB completion on usbfs, each interface taken from its host driver and
// handed back after. On the mass-storage device STORAGE (bulk OUT 0x02, IN
// 0x81): an INQUIRY whose data and status IN URBs are both submitted at
// once, each 512 bytes (reap order, short packets), then one whose data URB
// has SHORT_NOT_OK. On the keyboard KEYBOARD, with no key pressed: an
// interrupt IN URB that stays pending, discarded. Facts under "urb/...".
void urbFacts(const std::string& storage, const std::string& keyboard, Facts* out);

// usbfs revocation: NAME's node opened, then the generic usb driver
// unbound from the device through sysfs and bound again. Facts under
// "revoked/..." (the old descriptor and a new one while unbound) and
// "rebound/..." (both after the bind).
void revokeFacts(const std::string& name, Facts* out);

// Descriptors kept open across the removal of a device.
struct Held {
  std::string name;
  std::string nodePath, stalePath, attributePath, sysfsPath;
  int attributeFd = -1;
  int nodeFd = -1;
};
// Opens NAME's speed attribute and usbfs node and makes a second node with
// the same device number at stalePath. Facts under "held/...".
void holdDevice(const std::string& name, const std::string& stalePath, Held* held, Facts* out);
// After the device is gone: reading the held attribute, polling and ioctl on
// the held node, opening the stale and the old node. Facts under
// "removed/..."; closes what holdDevice opened.
void afterRemoval(Held* held, Facts* out);
// True once /sys/bus/usb/devices/NAME is gone.
bool deviceGone(const std::string& name);

// Kernel uevents (netlink group 1). openUeventSockets binds two sockets; the
// second one only shows how recv cuts a datagram (MSG_TRUNC) and answers
// when empty (MSG_DONTWAIT).
struct UeventSockets {
  int main = -1;
  int spare = -1;
};
int openUeventSockets(UeventSockets* sockets);
void closeUeventSockets(UeventSockets* sockets);
// Collects datagrams of the usb subsystem until one carries ACTION=action
// for the device or interface NAME, or timeoutMs pass. Returns false on
// time-out. Adds the spare socket's facts under "uevent/...".
bool recordUevents(UeventSockets* sockets, const std::string& name, const std::string& action, int timeoutMs,
                   std::vector<std::string>* datagrams, Facts* out);

// A device's whole life: binds the uevent sockets, calls step("watching")
// (the device is to be plugged now), records until the device's bind, takes
// its facts and holds it, calls step("held") (the device is to be removed
// now), records until its remove, then takes the facts after removal.
// Datagrams of the plug go to added, those of the removal to removed; the
// removal's socket facts are keyed "remove-uevent/...". False when a uevent
// did not come within timeoutMs.
bool cycleFacts(const std::string& name, const std::string& stalePath, int timeoutMs,
                const std::function<void(const char* step)>& step, Facts* out, std::vector<std::string>* added,
                std::vector<std::string>* removed);

}  // namespace vmfacts
