// Shared pieces of the USB layer tests: a log capture, a deadline wait and a
// fixture with the simulated bus installed, an empty configuration, the
// device list and the connection list.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/deviceannounce.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/networkserver.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/tcpservice.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/discovery.h"
#include "ovusbd/usb/usbevents.h"
#include "ovusbd/usb/usbsettings.h"
#include "tests/support/ovclient.h"
#include "tests/support/simbus.h"
#include "tests/support/wait.h"

namespace usbtest {

// Polls cond until it holds or timeoutMs pass: the deadline is only a
// guard, generous for a loaded machine.
inline bool waitUntil(const std::function<bool()>& cond, int timeoutMs = 20000) {
  return testwait::waitUntil(cond, std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(2));
}

// Routes the log to a temporary file for the test's lifetime.
class LogCapture {
 public:
  LogCapture() : file_(tmpfile()) { setLogFile(file_); }
  ~LogCapture() {
    setLogFile(nullptr);
    fclose(file_);
  }
  std::string text() const {
    pthread_mutex_lock(&logMutex);
    fflush(file_);
    std::string out;
    char buffer[4096];
    off_t offset = 0;
    ssize_t got;
    while ((got = pread(fileno(file_), buffer, sizeof buffer, offset)) > 0) {
      out.append(buffer, static_cast<size_t>(got));
      offset += got;
    }
    pthread_mutex_unlock(&logMutex);
    return out;
  }
  bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
  size_t count(const std::string& needle) const {
    std::string all = text();
    size_t n = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  FILE* file_;
};

// A client on one end of a loopback TCP connection, the server's link on
// the other, handed to the connection list as the listener would. Returns
// the client's socket, -1 when any step failed.
inline int connectLoopbackClient(int sendTimeoutSeconds = 5) {
  uint16_t port = 0;
  int listener = ovclient::listenLoopback(&port);
  if (listener < 0) return -1;
  int fd = ovclient::connectTcp("127.0.0.1", port, 5000);
  sockaddr_in remote{};
  socklen_t length = sizeof remote;
  int accepted = fd < 0 ? -1 : accept(listener, reinterpret_cast<sockaddr*>(&remote), &length);
  close(listener);
  NetworkConnection* link = accepted < 0 ? nullptr : createTcpConnection(accepted, sendTimeoutSeconds);
  if (link == nullptr || !addClientConnection(link, reinterpret_cast<sockaddr*>(&remote))) {
    if (link == nullptr && accepted >= 0) close(accepted);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

inline size_t deviceCount() { return deviceList ? countLockedList(deviceList) : 0; }

inline bool hasDevice(uint32_t address) {
  char path[255] = {};
  getDeviceSysfsPath(address, path);
  return path[0] != '\0';
}

inline std::string devicePath(uint32_t address) {
  char path[255] = {};
  getDeviceSysfsPath(address, path);
  return path;
}

class UsbFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    bus.install();
    bus.addRootHub(1);
    installUsbSettings(&settings);
    installUsbEventCallbacks(&deviceAnnouncementCallbacks);
    configPath = "/tmp/usb1-test-config-" + std::to_string(getpid()) + ".ini";
    unlink(configPath.c_str());
    ASSERT_TRUE(loadConfig(configPath.c_str(), true));
    ASSERT_EQ(createConnectionList(coreSettings, &protocolConnectionCallbacks), 0);
    ASSERT_EQ(createDeviceList(), 0);
    ASSERT_EQ(createBindingList(), 0);
  }
  void TearDown() override {
    stopUsbDiscoveryThreads();
    stopDeviceManager();
    destroyConnectionList();
    destroyBindingList();
    installUsbEventCallbacks(nullptr);
    installUsbSettings(nullptr);
    freeConfigStore();
    unlink(configPath.c_str());
    bus.uninstall();
  }
  // Waits until every datagram sent so far was read by the monitor and every
  // event it queued was handled by the worker.
  bool drainUevents(int timeoutMs = 5000) {
    return waitUntil(
        [this] {
          UeventCounters c = ueventCounters();
          return bus.datagramsPending() == 0 &&
                 c.queued + c.skipped + c.refused == bus.datagramsReceived() - receivedBefore &&
                 c.handled == c.queued;
        },
        timeoutMs);
  }
  // Starts discovery and waits for the monitor's socket.
  void startDiscovery() {
    receivedBefore = bus.datagramsReceived();
    ASSERT_EQ(startUsbDiscoveryThreads(), 0);
    ASSERT_TRUE(waitUntil([this] { return bus.boundUeventSockets() == 1; }));
  }

  simbus::SimBus bus;
  // What start-up would settle; a test sets fields before it starts discovery.
  UsbSettings settings;
  // The connection list's settings; a fixture's constructor may change them.
  CoreSettings coreSettings;
  LogCapture log;
  std::string configPath;
  unsigned long receivedBefore = 0;  // datagrams received before this discovery ran
};

inline simbus::SimDevice device(const std::string& name, uint16_t vendor = 0x1234, uint16_t product = 0x5678) {
  simbus::SimDevice d;
  d.name = name;
  d.vendorId = vendor;
  d.productId = product;
  return d;
}

}  // namespace usbtest
