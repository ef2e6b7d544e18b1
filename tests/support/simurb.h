// The USB side of the simulated bus: device models that answer URBs, as a
// device on the wire would. The URB engine itself (simurb.cpp) plays usbfs
// from <linux/usbdevice_fs.h> and the kernel's devio.c behaviour:
//
//   - SUBMITURB queues the URB; a model answers it now or later. Completed
//     URBs are reaped in completion order (REAPURBNDELAY, -EAGAIN when none
//     is done); poll reports POLLOUT while one waits.
//   - DISCARDURB kills a pending URB of the same descriptor: it completes
//     with -ENOENT; an URB that is not pending gives -EINVAL.
//   - a short IN packet completes the URB with its bytes, -EREMOTEIO when the
//     URB has SHORT_NOT_OK. A bulk URB that fails (not -ENOENT/-ECONNRESET)
//     cancels the pending BULK_CONTINUATION URBs of its endpoint with
//     -ECONNRESET, and later continuation submits fail -EREMOTEIO until a
//     URB without the flag starts a new transfer.
//   - a halted endpoint fails its URBs with -EPIPE until CLEAR_HALT.
//   - after an unplug every ioctl but the reap fails -ENODEV; pending URBs
//     complete with -ENOENT and can still be reaped, then the reap gives
//     -ENODEV. The same holds for good for a descriptor that usbfs revoked
//     (SimBus::unbindGenericDriver). Closing the descriptor drops its URBs.
//   - the device has a configuration (bConfigurationValue "1\n" at first;
//     every value is taken, each with the same interfaces), or none (""):
//     SETCONFIGURATION is refused EBUSY while any interface has a
//     driver, usbfs claims included; a new configuration binds the probe
//     driver of each interface (setProbeDriver) while drivers_autoprobe
//     holds 1; the unconfigured device has no interfaces to claim, set or
//     submit to. The interface directories in sysfs stay.
//   - a bulk, interrupt or isochronous URB, and SETINTERFACE, on an
//     interface the descriptor has not claimed claims it on the way
//     (devio.c checkintf, "did not claim interface before use", counted
//     by unclaimedUses), or fails EBUSY when a driver holds it.
//   - RESET takes the descriptor's interface claims away (usbfs has no
//     pre_reset) and probes the interfaces again, as the kernel's rebind
//     does.
//   - a write of "name:c.n" to drivers_probe fails ENODEV unless the
//     device has configuration c and interface n; a free interface gets its
//     probe driver.
//   - usbfs mappings (GET_CAPABILITIES 0x20) are anonymous memory here. An
//     URB whose buffer starts in a mapping but runs past its end is refused
//     with -EINVAL, as devio.c's find_memory_area does.
//
// Models run under the bus's lock and must not call the bus.
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace simbus {

// A model's answer to one URB.
struct UrbAnswer {
  bool hold = false;  // no answer yet: the URB stays pending
  int status = 0;     // a negative errno fails the URB (e.g. -EPIPE, a stall)
  std::string data;   // IN: the bytes the device sends (at most the URB's length)
};

class UsbModel {
 public:
  virtual ~UsbModel() = default;
  // Control transfer: the setup packet and, host-to-device, its data.
  virtual UrbAnswer control(const uint8_t setup[8], const std::string& out);
  // Bulk or interrupt IN of up to `length` bytes.
  virtual UrbAnswer in(uint8_t endpoint, size_t length);
  // Bulk or interrupt OUT.
  virtual UrbAnswer out(uint8_t endpoint, const std::string& data);
  // Isochronous: per packet, the bytes IN (or the bytes taken OUT) and a
  // status. Default: every packet moves all its bytes.
  virtual UrbAnswer isoPacket(uint8_t endpoint, bool in, size_t length, int* packetStatus);
  // Isochronous OUT: the bytes of one packet as the host sent them, before
  // isoPacket decides what the device takes.
  virtual void isoOutData(uint8_t, const std::string&) {}
  // True keeps an isochronous URB pending.
  virtual bool holdIso(uint8_t) { return false; }
  // Streams granted for ALLOC_STREAMS, or a negative errno.
  virtual int allocStreams(unsigned int requested) { return static_cast<int>(requested); }
  // Interfaces of the configuration.
  virtual unsigned interfaceCount() const { return 1; }
  // The interface an endpoint (other than 0) belongs to.
  virtual unsigned interfaceOfEndpoint(uint8_t) const { return 0; }
};

// Answers nothing: every URB stays pending until it is discarded.
class SilentDevice : public UsbModel {
 public:
  UrbAnswer control(const uint8_t*, const std::string&) override { return UrbAnswer{true, 0, {}}; }
  bool holdIso(uint8_t) override { return true; }
};

// Control requests answered from a table keyed by the setup packet's first
// six bytes (wLength is the URB's own); unknown requests stall.
class ControlResponder : public UsbModel {
 public:
  void answer(const std::vector<uint8_t>& setupFirstSix, const std::string& reply, int status = 0);
  UrbAnswer control(const uint8_t setup[8], const std::string& out) override;
  std::vector<std::string> outData;  // host-to-device data stages received

 private:
  std::map<std::string, UrbAnswer> table_;
};

// A HID device: interrupt IN on 0x81 answers with queued reports.
class HidDevice : public UsbModel {
 public:
  std::deque<std::string> reports;
  UrbAnswer in(uint8_t endpoint, size_t length) override;
};

// A bulk-only mass-storage device (OUT 0x02, IN 0x81) over a RAM disk of
// 512-byte blocks: INQUIRY, TEST UNIT READY, READ CAPACITY(10), READ(10),
// WRITE(10); other commands fail in the status wrapper.
class MassStorageDevice : public UsbModel {
 public:
  explicit MassStorageDevice(uint32_t blocks);
  std::string disk;
  UrbAnswer in(uint8_t endpoint, size_t length) override;
  UrbAnswer out(uint8_t endpoint, const std::string& data) override;

 private:
  void command(const std::string& cbw);
  void status(uint32_t residue, uint8_t result);
  std::deque<std::string> replies_;  // data stage, then status wrapper
  uint32_t tag_ = 0;
  size_t writeOffset_ = 0;
  size_t writeRemaining_ = 0;
};

// Holds every URB until opened, then answers each in full (IN bytes 0xA5).
class GateDevice : public UsbModel {
 public:
  bool open = false;
  UrbAnswer control(const uint8_t setup[8], const std::string& out) override;
  UrbAnswer in(uint8_t endpoint, size_t length) override;
  UrbAnswer out(uint8_t endpoint, const std::string& data) override;
  bool holdIso(uint8_t) override { return !open; }
};

// One URB as submitted, for tests to check the splitting.
struct SubmittedUrb {
  std::string device;
  uint8_t type = 0;
  uint8_t endpoint = 0;
  unsigned int flags = 0;
  int length = 0;
  int packets = 0;  // isochronous
  unsigned int streamId = 0;
  int result = 0;  // of the submit
  // The buffer lies in a usbfs mapping of the device: the kernel moves the
  // data there in place instead of through a bounce buffer.
  bool inMapping = false;
};

// One ALLOC_STREAMS or FREE_STREAMS request as the kernel received it.
struct StreamsRequest {
  std::string device;
  bool allocate = false;
  unsigned int streams = 0;
  std::vector<uint8_t> endpoints;
};

}  // namespace simbus
