// A device of the simulated bus under the transfer engine: the fixture
// makes its record with all three threads, starts the device layer's
// service threads with time-outs scaled down, and records completions.
#pragma once

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ovusbd/usb/controltransfer.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/removedqueue.h"
#include "ovusbd/usb/uevent.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbname.h"
#include "ovusbd/usb/usbsettings.h"
#include "tests/ovusbd/test_usb_support.h"

namespace usbtest {

// Every completion a transfer or an operation got.
struct Completions {
  struct Call {
    int status;
    int32_t length;
    int32_t errors;
    uint16_t connection;
  };
  mutable std::mutex mutex;
  std::vector<Call> calls;

  static void transfer(void* context, int status, int32_t length, int32_t errors, uint32_t reserved,
                       uint16_t connection) {
    Completions* self = static_cast<Completions*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    EXPECT_EQ(reserved, 0u);
    self->calls.push_back(Call{status, length, errors, connection});
  }
  static void operation(int result, void* context) { transfer(context, result, 0, 0, 0, 0); }
  static void streams(void* context, int result, uint16_t connection) {
    transfer(context, result, 0, 0, 0, connection);
  }
  size_t count() const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
  Call at(size_t i) const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.at(i);
  }
  bool waitFor(size_t n, int timeoutMs = 5000) const {
    return waitUntil([this, n] { return count() >= n; }, timeoutMs);
  }
};

class TransferFixture : public UsbFixture {
 protected:
  static constexpr uint32_t kAddress = 11;  // "1-1"

  void SetUp() override {
    UsbFixture::SetUp();
    // Long enough never to fire while a test holds URBs on purpose; the
    // watchdog's own test shortens it.
    settings.controlTimeoutMs = 60000;
    settings.nonResponsiveMs = 150;
    settings.collectorSleepMs = collectorSleepMs;
    settings.unplugSettleMs = 20;
    settings.unplugExtraSettleMs = 20;
    ASSERT_EQ(startDeviceManagerThreads(), 0);
  }
  void TearDown() override {
    stopDeviceManager();
    stopDeviceManagerThreads();
    UsbFixture::TearDown();
  }

  // Plugs "1-1" with the model and makes its record.
  void plug(std::shared_ptr<simbus::UsbModel> model, const std::string& name = "1-1") {
    bus.addDevice(device(name));
    if (model) bus.setModel(name, model);
    std::string path = "/sys/bus/usb/devices/" + name;
    std::string uevent = bus.fileContent(path + "/uevent");
    char* product = ueventValue(uevent.c_str(), "PRODUCT");
    pthread_mutex_lock(&deviceLifecycleMutex);
    int result = createManagedDevice(deviceAddressFromPath(path.c_str()), path.c_str(), product, "",
                                     bus.nodePath(name).c_str(), nullptr, nullptr, nullptr, 0);
    pthread_mutex_unlock(&deviceLifecycleMutex);
    free(product);
    ASSERT_EQ(result, 0);
  }

  static DeviceOperation* newOperation(uint32_t code, uint32_t endpoint, Completions* done) {
    DeviceOperation* op = static_cast<DeviceOperation*>(calloc(1, sizeof(DeviceOperation)));
    op->address = kAddress;
    op->code = code;
    op->endpoint = endpoint;
    op->completion = Completions::operation;
    op->streamsCompletion = Completions::streams;
    op->transferCompletion = Completions::transfer;
    op->isoCompletion = Completions::transfer;
    op->completionContext = done;
    op->connectionId = 7;
    return op;
  }

  // A bulk (or interrupt) transfer on `endpoint` of `buffer`.
  void bulk(uint32_t endpoint, std::vector<uint8_t>& buffer, int32_t length, Completions* done,
            uint8_t type = USBDEVFS_URB_TYPE_BULK, int32_t flags = 0, uint32_t streamId = 0) {
    DeviceOperation* op = newOperation(kOpTransfer, endpoint, done);
    op->urbType = type;
    op->length = length;
    op->transferFlags = flags;
    op->streamId = streamId;
    op->transferBufferLength = buffer.size();
    if (endpoint & 0x80) {
      op->inBuffer = buffer.data();
    } else {
      op->outBuffer = buffer.data();
    }
    enqueueDeviceOperation(op);
  }

  // An isochronous transfer of packets of these lengths.
  struct Iso {
    std::vector<uint8_t> descriptors, data, results;
  };
  void iso(uint32_t endpoint, const std::vector<uint32_t>& lengths, Iso* iso, Completions* done) {
    iso->descriptors.assign(lengths.size() * 12, 0);
    uint32_t total = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
      memcpy(&iso->descriptors[i * 12], &lengths[i], 4);
      total += lengths[i];
    }
    iso->data.assign(total, 0);
    iso->results.assign(lengths.size() * 12, 0xee);
    DeviceOperation* op = newOperation(kOpIsoTransfer, endpoint, done);
    op->isoPacketCount = static_cast<uint16_t>(lengths.size());
    op->isoLength = static_cast<int32_t>(total);
    op->isoPackets = iso->descriptors.data();
    op->isoPacketsLength = iso->descriptors.size();
    op->isoResults = iso->results.data();
    op->isoResultsLength = iso->results.size();
    op->isoBufferLength = iso->data.size();
    if (endpoint & 0x80) {
      op->isoInBuffer = iso->data.data();
    } else {
      op->isoOutBuffer = iso->data.data();
    }
    enqueueDeviceOperation(op);
  }

  void control(const std::vector<uint8_t>& setup, std::vector<uint8_t>& data, Completions* done, int32_t flags = 0) {
    bool in = setup[0] & 0x80;
    submitControlTransfer(kAddress, 0, setup.data(), in ? nullptr : data.data(), in ? data.data() : nullptr, flags,
                          Completions::transfer, done, 7);
  }

  // The URBs submitted since `from`.
  std::vector<simbus::SubmittedUrb> submittedSince(size_t from) const {
    std::vector<simbus::SubmittedUrb> all = bus.submitted();
    return std::vector<simbus::SubmittedUrb>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
  }

  // The collector's pause, fixed before its thread starts.
  int collectorSleepMs = 40;

  // No URB of the device is listed in flight any more.
  bool idle() { return countInflightUrbs(kAddress, -1) == 0; }
};

}  // namespace usbtest
