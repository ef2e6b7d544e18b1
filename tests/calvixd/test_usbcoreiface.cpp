#include "calvixd/core/usbcoreiface.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

// Abstract socket names belong to the network namespace: use a private one.
bool EnterPrivateNetworkNamespace()
{
    static bool entered = unshare(CLONE_NEWNET) == 0;
    return entered;
}

int Connect(const std::string& name)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size() + 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(ControlServer, ClaimsItsNameAndAnswersNothing)
{
    if (!EnterPrivateNetworkNamespace())
        GTEST_SKIP() << "needs root for a private network namespace";
    CUsbCoreIface server(nullptr, "calvixd.pipe", "calvusr", "calvusradm");
    EXPECT_EQ(Connect("calvixd.pipe"), -1);
    ASSERT_EQ(server.Start(), 1);
    EXPECT_EQ(server.Start(), 1); // running already

    // The name is taken: a second server cannot start.
    CUsbCoreIface second(nullptr, "calvixd.pipe", "calvusr", "calvusradm");
    EXPECT_EQ(second.Start(), 0);

    // A client is never answered: it sees the connection end.
    int client = Connect("calvixd.pipe");
    ASSERT_GE(client, 0);
    uint32_t hello[2] = {0x4946534E, 0};
    (void)!send(client, hello, sizeof(hello), MSG_NOSIGNAL);
    struct pollfd entry = {client, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 10000), 1);
    char byte;
    EXPECT_LE(recv(client, &byte, 1, 0), 0);
    close(client);

    server.Stop();
    EXPECT_EQ(Connect("calvixd.pipe"), -1);
    EXPECT_EQ(second.Start(), 1);
}

TEST(ControlServer, NameThatDoesNotFitIsRefused)
{
    std::string longest(CORE_SOCKET_ADDRESS_LIMIT - offsetof(struct sockaddr_un, sun_path) - 3, 'n');
    std::string tooLong = longest + "n";
    if (!EnterPrivateNetworkNamespace())
        GTEST_SKIP() << "needs root for a private network namespace";
    CUsbCoreIface fits(nullptr, longest.c_str(), "", "");
    EXPECT_EQ(fits.Start(), 1);
    CUsbCoreIface refused(nullptr, tooLong.c_str(), "", "");
    EXPECT_EQ(refused.Start(), 0);
}
