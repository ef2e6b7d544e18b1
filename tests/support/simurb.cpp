#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "tests/support/simbus.h"

namespace simbus {

namespace {

constexpr size_t kSetupSize = 8;
constexpr unsigned kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

std::string key(const uint8_t* bytes, size_t length) { return std::string(reinterpret_cast<const char*>(bytes), length); }

void put32le(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}
void put32be(std::string& out, uint32_t value) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}
uint32_t get32le(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
                               static_cast<uint8_t>(s[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
}
uint32_t get32be(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 | static_cast<uint8_t>(s[at + 1]) << 16 |
                               static_cast<uint8_t>(s[at + 2]) << 8 | static_cast<uint8_t>(s[at + 3]));
}

}  // namespace

// --- models ---------------------------------------------------------------

UrbAnswer UsbModel::control(const uint8_t*, const std::string&) { return UrbAnswer{false, -EPIPE, ""}; }
UrbAnswer UsbModel::in(uint8_t, size_t) { return UrbAnswer{true, 0, {}}; }
UrbAnswer UsbModel::out(uint8_t, const std::string&) { return UrbAnswer{true, 0, {}}; }
UrbAnswer UsbModel::isoPacket(uint8_t, bool in, size_t length, int* packetStatus) {
  *packetStatus = 0;
  UrbAnswer answer;
  if (in) answer.data.assign(length, '\x5a');
  answer.status = static_cast<int>(length);
  return answer;
}

void ControlResponder::answer(const std::vector<uint8_t>& setupFirstSix, const std::string& reply, int status) {
  table_[key(setupFirstSix.data(), 6)] = UrbAnswer{false, status, reply};
}

UrbAnswer ControlResponder::control(const uint8_t setup[8], const std::string& out) {
  if (!(setup[0] & 0x80)) outData.push_back(out);
  auto it = table_.find(key(setup, 6));
  if (it == table_.end()) return UrbAnswer{false, -EPIPE, ""};
  return it->second;
}

UrbAnswer HidDevice::in(uint8_t endpoint, size_t length) {
  if (endpoint != 0x81 || reports.empty()) return UrbAnswer{true, 0, {}};
  UrbAnswer answer;
  answer.data = reports.front().substr(0, length);
  reports.pop_front();
  return answer;
}

UrbAnswer GateDevice::control(const uint8_t setup[8], const std::string&) {
  if (!open) return UrbAnswer{true, 0, {}};
  size_t length = static_cast<size_t>(setup[6] | setup[7] << 8);
  return UrbAnswer{false, 0, std::string(length, '\xa5')};
}
UrbAnswer GateDevice::in(uint8_t, size_t length) {
  if (!open) return UrbAnswer{true, 0, {}};
  return UrbAnswer{false, 0, std::string(length, '\xa5')};
}
UrbAnswer GateDevice::out(uint8_t, const std::string&) { return UrbAnswer{!open, 0, {}}; }

MassStorageDevice::MassStorageDevice(uint32_t blocks) : disk(static_cast<size_t>(blocks) * 512, '\0') {}

void MassStorageDevice::status(uint32_t residue, uint8_t result) {
  std::string csw;
  put32le(csw, 0x53425355);  // "USBS"
  put32le(csw, tag_);
  put32le(csw, residue);
  csw.push_back(static_cast<char>(result));
  replies_.push_back(csw);
}

void MassStorageDevice::command(const std::string& cbw) {
  tag_ = get32le(cbw, 4);
  uint32_t transferLength = get32le(cbw, 8);
  const uint8_t* cdb = reinterpret_cast<const uint8_t*>(cbw.data()) + 15;
  uint32_t blocks = static_cast<uint32_t>(disk.size() / 512);
  auto dataIn = [&](std::string data) {
    if (data.size() > transferLength) data.resize(transferLength);
    if (!data.empty()) replies_.push_back(data);
    status(transferLength - static_cast<uint32_t>(data.size()), 0);
  };
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
      status(transferLength, 0);
      break;
    case 0x12: {  // INQUIRY
      std::string inquiry(36, '\0');
      inquiry[2] = 0x06;
      inquiry[3] = 0x02;
      inquiry[4] = 31;
      memcpy(&inquiry[8], "SIMBUS  ", 8);
      memcpy(&inquiry[16], "RAM DISK        ", 16);
      memcpy(&inquiry[32], "1.00", 4);
      dataIn(inquiry);
      break;
    }
    case 0x25: {  // READ CAPACITY(10)
      std::string capacity;
      put32be(capacity, blocks - 1);
      put32be(capacity, 512);
      dataIn(capacity);
      break;
    }
    case 0x28:    // READ(10)
    case 0x2a: {  // WRITE(10)
      std::string c(reinterpret_cast<const char*>(cdb), 10);
      uint32_t lba = get32be(c, 2);
      uint32_t count = static_cast<uint32_t>(cdb[7] << 8 | cdb[8]);
      if (static_cast<uint64_t>(lba) + count > blocks) {
        status(transferLength, 1);
        break;
      }
      if (cdb[0] == 0x28) {
        dataIn(disk.substr(static_cast<size_t>(lba) * 512, static_cast<size_t>(count) * 512));
      } else {
        writeOffset_ = static_cast<size_t>(lba) * 512;
        writeRemaining_ = static_cast<size_t>(count) * 512;
        if (!writeRemaining_) status(transferLength, 0);
      }
      break;
    }
    default:
      status(transferLength, 1);
      break;
  }
}

UrbAnswer MassStorageDevice::out(uint8_t endpoint, const std::string& data) {
  if (endpoint != 0x02) return UrbAnswer{false, -EPIPE, ""};
  if (writeRemaining_) {
    size_t take = std::min(writeRemaining_, data.size());
    disk.replace(writeOffset_, take, data.substr(0, take));
    writeOffset_ += take;
    writeRemaining_ -= take;
    if (!writeRemaining_) status(0, 0);
    return UrbAnswer{false, static_cast<int>(take), ""};
  }
  if (data.size() != 31 || get32le(data, 0) != 0x43425355) return UrbAnswer{false, -EPIPE, ""};
  command(data);
  return UrbAnswer{false, 31, ""};
}

UrbAnswer MassStorageDevice::in(uint8_t endpoint, size_t length) {
  if (endpoint != 0x81 || replies_.empty()) return UrbAnswer{true, 0, {}};
  UrbAnswer answer;
  std::string& front = replies_.front();
  answer.data = front.substr(0, length);
  front.erase(0, answer.data.size());
  if (front.empty()) replies_.pop_front();
  return answer;
}

// --- the engine --------------------------------------------------------------

struct SimBus::UrbState {
  struct Pending {
    int fd;
    usbdevfs_urb* urb;
    std::string device;
    int bulkAddr;  // 0: not bulk; else endpoint number | direction << 4, + 1
    bool continuation;
  };
  std::deque<Pending> pending;  // in submit order
  std::map<int, std::deque<usbdevfs_urb*>> completed;
  bool holding = false;
  std::vector<std::pair<int, usbdevfs_urb*>> held;
  std::map<std::string, std::shared_ptr<UsbModel>> models;
  std::map<std::string, std::set<uint8_t>> halted;
  std::map<int, uint32_t> disabledBulkEps;
  std::map<int, std::set<unsigned>> claimed;
  // Host drivers bound to interfaces, by device and interface number.
  std::map<std::string, std::map<unsigned, std::string>> hostDrivers;
  std::map<std::string, std::map<unsigned, std::string>> probeDrivers;
  std::map<std::string, int> configuration;  // absent: 1
  std::map<std::string, size_t> unclaimedUses;
  unsigned long submits = 0;
  std::map<unsigned long, int> failAt;
  std::map<std::string, bool> mmapCapable;
  int mmapFailure = 0;
  std::map<void*, size_t> mappings;
  std::vector<SubmittedUrb> submitted;
  std::map<std::string, std::vector<unsigned long>> requests;
  std::vector<StreamsRequest> streams;
};

SimBus::UrbState* SimBus::newUrbState() { return new UrbState(); }

void SimBus::deleteUrbState(UrbState* state) {
  for (auto& [address, length] : state->mappings) ::munmap(address, length);
  delete state;
}

void SimBus::setHostDriver(const std::string& name, unsigned interface, const std::string& driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (driver.empty()) {
    urb_->hostDrivers[name].erase(interface);
  } else {
    urb_->hostDrivers[name][interface] = driver;
  }
}

std::string SimBus::hostDriver(const std::string& name, unsigned interface) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto device = urb_->hostDrivers.find(name);
  if (device == urb_->hostDrivers.end()) return "";
  auto driver = device->second.find(interface);
  return driver == device->second.end() ? "" : driver->second;
}

void SimBus::setProbeDriver(const std::string& name, unsigned interface, const std::string& driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  urb_->probeDrivers[name][interface] = driver;
}

int SimBus::configuration(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = urb_->configuration.find(name);
  return it == urb_->configuration.end() ? 1 : it->second;
}

size_t SimBus::unclaimedUses(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = urb_->unclaimedUses.find(name);
  return it == urb_->unclaimedUses.end() ? 0 : it->second;
}

void SimBus::holdIoctl(unsigned long request) {
  std::lock_guard<std::mutex> lock(mutex_);
  heldRequest_ = request;
}

void SimBus::releaseIoctl() {
  std::lock_guard<std::mutex> lock(mutex_);
  heldRequest_ = 0;
  changed_.notify_all();
}

int SimBus::heldIoctls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heldCallers_;
}

int& SimBus::urbConfiguration(const std::string& device) {
  auto it = urb_->configuration.find(device);
  if (it == urb_->configuration.end()) it = urb_->configuration.emplace(device, 1).first;
  return it->second;
}

unsigned SimBus::urbInterfaces(const std::string& device) const {
  auto model = urb_->models.find(device);
  return model == urb_->models.end() ? 1 : model->second->interfaceCount();
}

// A driver holds the interface: a host driver, or usbfs for any descriptor.
bool SimBus::urbInterfaceClaimed(const std::string& device, unsigned interface) const {
  auto drivers = urb_->hostDrivers.find(device);
  if (drivers != urb_->hostDrivers.end() && drivers->second.count(interface)) return true;
  for (const auto& [fd, interfaces] : urb_->claimed) {
    if (interfaces.count(interface) && deviceOfFd(fd) == device) return true;
  }
  return false;
}

void SimBus::urbProbeInterface(const std::string& device, unsigned interface) {
  if (urbInterfaceClaimed(device, interface)) return;
  auto drivers = urb_->probeDrivers.find(device);
  if (drivers == urb_->probeDrivers.end()) return;
  auto driver = drivers->second.find(interface);
  if (driver != drivers->second.end()) urb_->hostDrivers[device][interface] = driver->second;
}

// devio.c checkintf: an interface the descriptor has not claimed is claimed
// for the call, with a warning.
int SimBus::urbUseInterface(int fd, const std::string& device, unsigned interface) {
  if (urb_->claimed[fd].count(interface)) return 0;
  if (urbInterfaceClaimed(device, interface)) return -EBUSY;
  urb_->claimed[fd].insert(interface);
  ++urb_->unclaimedUses[device];
  return 0;
}

ssize_t SimBus::urbDriversProbe(const std::string& text) {
  size_t colon = text.rfind(':'), dot = text.rfind('.');
  if (colon == std::string::npos || dot == std::string::npos || dot < colon) return -ENODEV;
  std::string device = text.substr(0, colon);
  int configuration = atoi(text.substr(colon + 1, dot - colon - 1).c_str());
  int interface = atoi(text.substr(dot + 1).c_str());
  if (!isPlugged(device) || configuration == 0 || urbConfiguration(device) != configuration || interface < 0 ||
      unsigned(interface) >= urbInterfaces(device)) {
    return -ENODEV;
  }
  urbProbeInterface(device, unsigned(interface));
  return static_cast<ssize_t>(text.size());
}

void SimBus::setModel(const std::string& name, std::shared_ptr<UsbModel> model) {
  std::lock_guard<std::mutex> lock(mutex_);
  urb_->models[name] = std::move(model);
  urbPump(name);
}

void SimBus::withModel(const std::string& name, const std::function<void(UsbModel&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = urb_->models.find(name);
  if (it == urb_->models.end()) throw std::logic_error("no model for " + name);
  change(*it->second);
  urbPump(name);
}

void SimBus::stallEndpoint(const std::string& name, uint8_t endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  urb_->halted[name].insert(endpoint);
  urbPump(name);
}

void SimBus::failSubmit(unsigned long n, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  urb_->failAt[urb_->submits + n] = error;
}

void SimBus::holdCompletions() {
  std::lock_guard<std::mutex> lock(mutex_);
  urb_->holding = true;
}

size_t SimBus::heldCompletions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return urb_->held.size();
}

void SimBus::releaseCompletions(const std::vector<size_t>& order) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<int, usbdevfs_urb*>> held;
  held.swap(urb_->held);
  urb_->holding = false;
  std::vector<size_t> sequence = order;
  if (sequence.empty()) {
    for (size_t i = 0; i < held.size(); ++i) sequence.push_back(i);
  }
  if (sequence.size() != held.size()) throw std::logic_error("release order does not name every held URB");
  for (size_t index : sequence) {
    auto [fd, urb] = held.at(index);
    urb_->completed[fd].push_back(urb);
  }
  changed_.notify_all();
}

void SimBus::setMmapCapable(const std::string& name, bool capable) {
  std::lock_guard<std::mutex> lock(mutex_);
  urb_->mmapCapable[name] = capable;
}

void SimBus::failMmap(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  urb_->mmapFailure = error;
}

size_t SimBus::mappings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return urb_->mappings.size();
}

std::vector<StreamsRequest> SimBus::streamsRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return urb_->streams;
}

std::vector<SubmittedUrb> SimBus::submitted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return urb_->submitted;
}

size_t SimBus::pendingUrbs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return urb_->pending.size();
}

size_t SimBus::completedUrbs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = urb_->held.size();
  for (const auto& [fd, queue] : urb_->completed) count += queue.size();
  return count;
}

std::vector<unsigned long> SimBus::nodeRequests(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = urb_->requests.find(name);
  return it == urb_->requests.end() ? std::vector<unsigned long>{} : it->second;
}

int SimBus::urbMmap(const std::string& device, size_t length, int protection, int flags, off_t offset,
                    void** mapped) {
  if (device.empty()) return -ENODEV;
  if (urb_->mmapFailure) return -urb_->mmapFailure;
  // usbfs maps only shared, from offset 0, and only with mmap support.
  if (!urb_->mmapCapable[device]) return -ENODEV;
  if (!(flags & MAP_SHARED) || offset != 0) return -EINVAL;
  void* address = ::mmap(nullptr, length, protection, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) return -ENOMEM;
  // usbfs hands out zeroed memory.
  urb_->mappings[address] = length;
  *mapped = address;
  return 0;
}

int SimBus::doMunmap(void* address, size_t length) {
  auto it = urb_->mappings.find(address);
  if (it == urb_->mappings.end() || it->second != length) return -EINVAL;
  ::munmap(address, length);
  urb_->mappings.erase(it);
  return 0;
}

namespace {

// The kernel's bulk_addr: endpoint number, direction in bit 4; +1 so 0 means
// "not bulk".
int bulkAddress(uint8_t endpoint) { return (endpoint & 0x0f) + ((endpoint & 0x80) >> 3) + 1; }

}  // namespace

void SimBus::urbPump(const std::string& device) {
  UrbState& s = *urb_;
  auto modelIt = s.models.find(device);
  UsbModel fallback;
  UsbModel& model = modelIt == s.models.end() ? fallback : *modelIt->second;

  auto enqueue = [&](int fd, usbdevfs_urb* urb) {
    if (s.holding) {
      s.held.emplace_back(fd, urb);
    } else {
      s.completed[fd].push_back(urb);
    }
  };
  auto complete = [&](std::deque<UrbState::Pending>::iterator it, int status, int actual) {
    UrbState::Pending done = *it;
    s.pending.erase(it);
    done.urb->status = status;
    done.urb->actual_length = actual;
    enqueue(done.fd, done.urb);
    if (status < 0 && done.bulkAddr && status != -ECONNRESET && status != -ENOENT) {
      // devio.c cancel_bulk_urbs: the endpoint refuses continuations until a
      // new transfer starts; pending continuations are unlinked.
      s.disabledBulkEps[done.fd] |= 1u << done.bulkAddr;
      for (auto other = s.pending.begin(); other != s.pending.end();) {
        if (other->fd == done.fd && other->bulkAddr == done.bulkAddr && other->continuation) {
          other->urb->status = -ECONNRESET;
          other->urb->actual_length = 0;
          enqueue(other->fd, other->urb);
          other = s.pending.erase(other);
        } else {
          ++other;
        }
      }
    }
    changed_.notify_all();
  };

  bool progress = true;
  while (progress) {
    progress = false;
    std::set<uint8_t> busy;  // endpoints whose first pending URB holds
    for (auto it = s.pending.begin(); it != s.pending.end(); ++it) {
      if (it->device != device) continue;
      usbdevfs_urb* urb = it->urb;
      uint8_t endpoint = urb->endpoint;
      bool in = endpoint & 0x80;
      if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        const uint8_t* setup = static_cast<const uint8_t*>(urb->buffer);
        in = setup[0] & 0x80;
      }
      if (busy.count(endpoint)) continue;
      if (s.halted[device].count(endpoint)) {
        complete(it, -EPIPE, 0);
        progress = true;
        break;
      }
      int length = urb->buffer_length;
      uint8_t* buffer = static_cast<uint8_t*>(urb->buffer);
      UrbAnswer answer;
      int actual = 0;
      if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        size_t dataLength = static_cast<size_t>(length) - kSetupSize;
        std::string out = in ? "" : std::string(reinterpret_cast<char*>(buffer) + kSetupSize, dataLength);
        answer = model.control(buffer, out);
        if (!answer.hold && answer.status >= 0) {
          if (in) {
            actual = static_cast<int>(std::min(answer.data.size(), dataLength));
            memcpy(buffer + kSetupSize, answer.data.data(), static_cast<size_t>(actual));
            if (static_cast<size_t>(actual) < dataLength && (urb->flags & USBDEVFS_URB_SHORT_NOT_OK)) {
              answer.status = -EREMOTEIO;
            }
          } else {
            actual = static_cast<int>(dataLength);
          }
        }
      } else if (urb->type == USBDEVFS_URB_TYPE_ISO) {
        if (model.holdIso(endpoint)) {
          busy.insert(endpoint);
          continue;
        }
        int total = 0, errors = 0;
        size_t offset = 0;
        for (int p = 0; p < urb->number_of_packets; ++p) {
          int packetStatus = 0;
          size_t packetLength = urb->iso_frame_desc[p].length;
          if (!in && buffer) model.isoOutData(endpoint, std::string(reinterpret_cast<char*>(buffer) + offset, packetLength));
          UrbAnswer packet = model.isoPacket(endpoint, in, packetLength, &packetStatus);
          size_t moved = in ? std::min(packet.data.size(), packetLength) : std::min<size_t>(packetLength, packet.status > 0 ? static_cast<size_t>(packet.status) : 0);
          if (in && buffer) memcpy(buffer + offset, packet.data.data(), moved);
          urb->iso_frame_desc[p].actual_length = static_cast<unsigned int>(moved);
          urb->iso_frame_desc[p].status = static_cast<unsigned int>(packetStatus);
          if (packetStatus) ++errors;
          total += static_cast<int>(moved);
          offset += packetLength;
        }
        urb->error_count = errors;
        answer.status = 0;
        actual = total;
      } else if (in) {
        answer = model.in(endpoint, static_cast<size_t>(length));
        if (!answer.hold && answer.status >= 0) {
          actual = static_cast<int>(std::min(answer.data.size(), static_cast<size_t>(length)));
          if (actual) memcpy(buffer, answer.data.data(), static_cast<size_t>(actual));
          if (actual < length && (urb->flags & USBDEVFS_URB_SHORT_NOT_OK)) answer.status = -EREMOTEIO;
        }
      } else {
        answer = model.out(endpoint, std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(length)));
        if (!answer.hold && answer.status >= 0) actual = length;
      }
      if (answer.hold) {
        busy.insert(endpoint);
        continue;
      }
      // A short packet fails with its bytes still counted.
      complete(it, answer.status < 0 ? answer.status : 0, actual);
      progress = true;
      break;
    }
  }
}

void SimBus::completePendingUrb(const std::string& name, size_t index, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t seen = 0;
  for (auto it = urb_->pending.begin(); it != urb_->pending.end(); ++it) {
    if (it->device != name || seen++ != index) continue;
    UrbState::Pending done = *it;
    urb_->pending.erase(it);
    done.urb->status = status;
    done.urb->actual_length = 0;
    if (urb_->holding) {
      urb_->held.emplace_back(done.fd, done.urb);
    } else {
      urb_->completed[done.fd].push_back(done.urb);
    }
    changed_.notify_all();
    return;
  }
  throw std::logic_error("no such pending URB");
}

UrbAnswer SimBus::modelControl(const std::string& device, const uint8_t setup[8], const std::string& out) {
  auto model = urb_->models.find(device);
  UsbModel fallback;
  return (model == urb_->models.end() ? fallback : *model->second).control(setup, out);
}

bool SimBus::urbReady(int fd) const {
  auto it = urb_->completed.find(fd);
  return it != urb_->completed.end() && !it->second.empty();
}

void SimBus::urbDeviceGone(const std::string& device) {
  // devio.c usbdev_remove: every pending URB is killed (-ENOENT) and stays
  // reapable.
  for (auto it = urb_->pending.begin(); it != urb_->pending.end();) {
    if (it->device != device) {
      ++it;
      continue;
    }
    it->urb->status = -ENOENT;
    it->urb->actual_length = 0;
    urb_->completed[it->fd].push_back(it->urb);
    it = urb_->pending.erase(it);
  }
  urb_->halted.erase(device);
  changed_.notify_all();
}

void SimBus::urbRevokeFd(int fd) {
  // devio.c usbdev_remove, destroy_all_async: the descriptor's pending URBs
  // are killed and stay reapable; its claims go with the interfaces.
  for (auto it = urb_->pending.begin(); it != urb_->pending.end();) {
    if (it->fd != fd) {
      ++it;
      continue;
    }
    it->urb->status = -ENOENT;
    it->urb->actual_length = 0;
    urb_->completed[fd].push_back(it->urb);
    it = urb_->pending.erase(it);
  }
  urb_->claimed.erase(fd);
  urb_->disabledBulkEps.erase(fd);
}

void SimBus::urbUnbindHostDrivers(const std::string& device) { urb_->hostDrivers.erase(device); }

void SimBus::urbCloseFd(int fd) {
  // usbdev_release: the descriptor's URBs are killed and freed, never reaped.
  for (auto it = urb_->pending.begin(); it != urb_->pending.end();) {
    it = it->fd == fd ? urb_->pending.erase(it) : std::next(it);
  }
  urb_->completed.erase(fd);
  urb_->held.erase(std::remove_if(urb_->held.begin(), urb_->held.end(),
                                  [fd](const std::pair<int, usbdevfs_urb*>& h) { return h.first == fd; }),
                   urb_->held.end());
  urb_->disabledBulkEps.erase(fd);
  urb_->claimed.erase(fd);
}

int SimBus::urbIoctl(int fd, const std::string& device, bool connected, unsigned long request, void* argument) {
  UrbState& s = *urb_;
  if (connected) s.requests[device].push_back(request);
  if (request == USBDEVFS_REAPURBNDELAY) {
    auto it = s.completed.find(fd);
    if (it != s.completed.end() && !it->second.empty()) {
      *static_cast<void**>(argument) = it->second.front();
      it->second.pop_front();
      return 0;
    }
    return connected ? -EAGAIN : -ENODEV;
  }
  if (!connected) return -ENODEV;
  auto modelIt = s.models.find(device);
  unsigned interfaces = modelIt == s.models.end() ? 1 : modelIt->second->interfaceCount();
  switch (request) {
    case USBDEVFS_SUBMITURB: {
      usbdevfs_urb* urb = static_cast<usbdevfs_urb*>(argument);
      SubmittedUrb record;
      record.device = device;
      record.type = urb->type;
      record.endpoint = urb->endpoint;
      record.flags = urb->flags;
      record.length = urb->buffer_length;
      record.packets = urb->type == USBDEVFS_URB_TYPE_ISO ? urb->number_of_packets : 0;
      record.streamId = urb->type == USBDEVFS_URB_TYPE_ISO ? 0 : urb->stream_id;
      int result = 0;
      bool pastMapping = false;
      for (const auto& [address, length] : s.mappings) {
        const uint8_t* start = static_cast<const uint8_t*>(address);
        const uint8_t* buffer = static_cast<const uint8_t*>(urb->buffer);
        if (buffer < start || buffer >= start + length) continue;
        record.inMapping = true;
        pastMapping = urb->buffer_length > 0 && size_t(urb->buffer_length) > size_t(start + length - buffer);
      }
      unsigned long n = ++s.submits;
      auto failure = s.failAt.find(n);
      bool bulk = urb->type == USBDEVFS_URB_TYPE_BULK;
      int bulkAddr = bulk ? bulkAddress(urb->endpoint) : 0;
      if (failure != s.failAt.end()) {
        result = -failure->second;
        s.failAt.erase(failure);
      } else if (urb->type > USBDEVFS_URB_TYPE_BULK || urb->buffer_length < 0 ||
                 (urb->buffer_length > 0 && !urb->buffer)) {
        result = -EINVAL;
      } else if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length < static_cast<int>(kSetupSize)) {
        result = -EINVAL;
      } else if (urb->type == USBDEVFS_URB_TYPE_ISO) {
        if (urb->number_of_packets < 1 || urb->number_of_packets > 128) {
          result = -EINVAL;
        } else {
          long total = 0;
          for (int p = 0; p < urb->number_of_packets; ++p) total += urb->iso_frame_desc[p].length;
          if (total > urb->buffer_length) result = -EINVAL;
        }
      }
      if (result == 0 && pastMapping) result = -EINVAL;
      if (result == 0 && urb->type != USBDEVFS_URB_TYPE_CONTROL) {
        unsigned interface = modelIt == s.models.end() ? 0 : modelIt->second->interfaceOfEndpoint(urb->endpoint);
        result = urbConfiguration(device) == 0 ? -ENOENT : urbUseInterface(fd, device, interface);
      }
      if (result == 0 && bulk) {
        if (!(urb->flags & USBDEVFS_URB_BULK_CONTINUATION)) s.disabledBulkEps[fd] &= ~(1u << bulkAddr);
        if (s.disabledBulkEps[fd] & (1u << bulkAddr)) result = -EREMOTEIO;
      }
      record.result = result;
      s.submitted.push_back(record);
      if (result < 0) return result;
      urb->status = -EINPROGRESS;
      urb->actual_length = 0;
      s.pending.push_back(UrbState::Pending{fd, urb, device, bulkAddr,
                                            bulk && (urb->flags & USBDEVFS_URB_BULK_CONTINUATION) != 0});
      urbPump(device);
      return 0;
    }
    case USBDEVFS_DISCARDURB: {
      for (auto it = s.pending.begin(); it != s.pending.end(); ++it) {
        if (it->fd == fd && it->urb == argument) {
          usbdevfs_urb* urb = it->urb;
          s.pending.erase(it);
          urb->status = -ENOENT;
          urb->actual_length = 0;
          if (s.holding) {
            s.held.emplace_back(fd, urb);
          } else {
            s.completed[fd].push_back(urb);
          }
          changed_.notify_all();
          urbPump(device);
          return 0;
        }
      }
      return -EINVAL;
    }
    case USBDEVFS_CLEAR_HALT:
      s.halted[device].erase(static_cast<uint8_t>(*static_cast<unsigned int*>(argument)));
      return 0;
    case USBDEVFS_RESETEP:
      return 0;
    case USBDEVFS_RESET: {
      std::set<unsigned> rebind;
      rebind.swap(s.claimed[fd]);
      for (unsigned interface : rebind) urbProbeInterface(device, interface);
      return 0;
    }
    case USBDEVFS_SETCONFIGURATION: {
      int value = *static_cast<int*>(argument);
      for (unsigned interface = 0; interface < interfaces; ++interface) {
        if (urbInterfaceClaimed(device, interface)) return -EBUSY;
      }
      int& current = urbConfiguration(device);
      if (value > 0 && value == current) return 0;  // usb_reset_configuration
      current = value > 0 ? value : 0;
      setConfigurationAttribute(device, current);
      if (current && autoprobeOn()) {
        for (unsigned interface = 0; interface < interfaces; ++interface) urbProbeInterface(device, interface);
      }
      return 0;
    }
    case USBDEVFS_SETINTERFACE: {
      const usbdevfs_setinterface* setting = static_cast<const usbdevfs_setinterface*>(argument);
      if (urbConfiguration(device) == 0) return -EHOSTUNREACH;
      if (setting->interface >= interfaces) return -EINVAL;
      return urbUseInterface(fd, device, setting->interface);
    }
    case USBDEVFS_CLAIMINTERFACE: {
      unsigned interface = *static_cast<unsigned*>(argument);
      if (interface >= interfaces || urbConfiguration(device) == 0) return -ENOENT;
      // The kernel refuses an interface that a driver holds.
      if (s.hostDrivers[device].count(interface)) return -EBUSY;
      s.claimed[fd].insert(interface);
      return 0;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      unsigned interface = *static_cast<unsigned*>(argument);
      return s.claimed[fd].erase(interface) ? 0 : -EINVAL;
    }
    case USBDEVFS_GETDRIVER: {
      usbdevfs_getdriver* query = static_cast<usbdevfs_getdriver*>(argument);
      if (query->interface >= interfaces) return -EINVAL;
      if (s.claimed[fd].count(query->interface)) {
        snprintf(query->driver, sizeof query->driver, "usbfs");
        return 0;
      }
      auto driver = s.hostDrivers[device].find(query->interface);
      if (driver == s.hostDrivers[device].end()) return -ENODATA;
      snprintf(query->driver, sizeof query->driver, "%s", driver->second.c_str());
      return 0;
    }
    case USBDEVFS_IOCTL: {
      const usbdevfs_ioctl* command = static_cast<const usbdevfs_ioctl*>(argument);
      if (command->ioctl_code != static_cast<int>(USBDEVFS_DISCONNECT)) return -ENOTTY;
      return s.hostDrivers[device].erase(static_cast<unsigned>(command->ifno)) ? 0 : -ENODATA;
    }
    case USBDEVFS_ALLOC_STREAMS: {
      const usbdevfs_streams* streams = static_cast<const usbdevfs_streams*>(argument);
      s.streams.push_back(StreamsRequest{device, true, streams->num_streams,
                                         std::vector<uint8_t>(streams->eps, streams->eps + streams->num_eps)});
      if (streams->num_eps == 0 || streams->num_streams < 2) return -EINVAL;
      return modelIt == s.models.end() ? -EINVAL : modelIt->second->allocStreams(streams->num_streams);
    }
    case USBDEVFS_FREE_STREAMS: {
      const usbdevfs_streams* streams = static_cast<const usbdevfs_streams*>(argument);
      s.streams.push_back(StreamsRequest{device, false, streams->num_streams,
                                         std::vector<uint8_t>(streams->eps, streams->eps + streams->num_eps)});
      return streams->num_eps == 0 ? -EINVAL : 0;
    }
    case USBDEVFS_GET_CAPABILITIES:
      *static_cast<uint32_t*>(argument) = kCapabilities | (s.mmapCapable[device] ? USBDEVFS_CAP_MMAP : 0);
      return 0;
    default:
      return -ENOTTY;
  }
}

}  // namespace simbus
