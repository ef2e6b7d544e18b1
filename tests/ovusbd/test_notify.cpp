// notifyServiceManager: one datagram to the socket named by NOTIFY_SOCKET.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "ovusbd/core/notify.h"

namespace {

class Notify : public testing::Test {
 protected:
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  // Binds a datagram socket; a name starting with '@' is abstract.
  void bindTo(const std::string& name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd_, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, name.data(), name.size());
    if (name[0] == '@') a.sun_path[0] = '\0';
    else path_ = name;
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), offsetof(sockaddr_un, sun_path) + name.size()), 0);
  }
  std::string receive() {
    char buffer[512];
    ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<size_t>(n));
  }
  int fd_ = -1;
  std::string path_;
};

TEST_F(Notify, PathAndAbstractSockets) {
  std::string names[] = {"/tmp/notify-test-" + std::to_string(getpid()),
                         "@notify-test-" + std::to_string(getpid())};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    bindTo(name);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    EXPECT_EQ(notifyServiceManager("STATUS=Successfully started\nREADY=1\nMAINPID=%lu", 1234ul), 1);
    EXPECT_EQ(receive(), "STATUS=Successfully started\nREADY=1\nMAINPID=1234");
    TearDown();
    fd_ = -1;
    path_.clear();
  }
}

TEST_F(Notify, ResultsWithoutADatagram) {
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(notifyServiceManager("READY=1"), 0);
  for (const char* bad : {"relative/name", "@", "/", ""}) {
    SCOPED_TRACE(bad);
    setenv("NOTIFY_SOCKET", bad, 1);
    EXPECT_EQ(notifyServiceManager("READY=1"), -22);
  }
  setenv("NOTIFY_SOCKET", "/nonexistent-dir/notify", 1);
  EXPECT_EQ(notifyServiceManager("READY=1"), -ENOENT);
}

}  // namespace
