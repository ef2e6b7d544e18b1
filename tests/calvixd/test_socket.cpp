// Socket classes: URL texts, the factory, the state word, transfers and
// closes across threads on loopback TCP and abstract pipes, and the socket
// set past descriptor 1024. Each test process runs in a private network
// namespace of its own.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "calvixd/net/pipesocket.h"
#include "calvixd/net/socketfactory.h"
#include "calvixd/net/socketurl.h"
#include "calvixd/net/tcpsocket.h"
#include "tests/support/netns.h"
#include "tests/support/wait.h"

namespace {

const int g_netns = [] {
    std::string error;
    int result = netns::enterPrivateNetwork(&error);
    if (result != 0)
        fprintf(stderr, "private network namespace: %s\n", error.c_str());
    return result;
}();

using namespace std::chrono_literals;

// A connected pair: a listener, a client connected to
// it, the accepted server side.
struct Pair {
    std::unique_ptr<CSocketBase> listener;
    std::unique_ptr<CSocket> client;
    std::unique_ptr<CSocket> server;
};

Pair MakeTcpPair(const std::string& listenUrl, const std::string& scheme)
{
    Pair pair;
    pair.listener = std::make_unique<CTcpSocket>();
    EXPECT_EQ(pair.listener->Listen(listenUrl), SOCK_OK);
    std::string url = pair.listener->GetUrl(); // tcp://host:port with the real port
    pair.client = std::make_unique<CTcpSocket>();
    EXPECT_EQ(pair.client->Connect(scheme + url.substr(url.find("://")), nullptr), SOCK_OK);
    CSocket* accepted = nullptr;
    EXPECT_EQ(pair.listener->Accept(&accepted, nullptr), SOCK_OK);
    pair.server.reset(accepted);
    return pair;
}

Pair MakePipePair(const std::string& name)
{
    Pair pair;
    pair.listener = std::make_unique<CPipeSocket>();
    EXPECT_EQ(pair.listener->Listen("pipe://" + name), SOCK_OK);
    pair.client = std::make_unique<CPipeSocket>();
    EXPECT_EQ(pair.client->Connect("pipe://" + name, nullptr), SOCK_OK);
    CSocket* accepted = nullptr;
    EXPECT_EQ(pair.listener->Accept(&accepted, nullptr), SOCK_OK);
    pair.server.reset(accepted);
    return pair;
}

TEST(SocketUrl, TcpUrlTexts)
{
    struct Case {
        const char* url;
        int result;
        const char* host;
        const char* port;
        int family;
    } cases[] = {
        {"tcp://[::1]:80", 0, "::1", "80", FAMILY_IPV4_ONLY},
        {"tcp4://127.0.0.1:32032", 0, "127.0.0.1", "32032", FAMILY_IPV4_ONLY},
        {"tcp6://[fe80::1%lo]:1", 0, "fe80::1%lo", "1", FAMILY_IPV6_ONLY},
        {"host.example:65535", 0, "host.example", "65535", FAMILY_IPV4_ONLY},
        {"tcp://h:0000080", 0, "h", "0000080", FAMILY_IPV4_ONLY},
        {"tcp://::1:80", 64, "", "", 0},
        {"tcp://h:0", 64, "", "", 0},
        {"tcp://h:65536", 64, "", "", 0},
        {"tcp://h:99999999999999999999", 64, "", "", 0},
        {"tcp://h:8a", 64, "", "", 0},
        {"tcp://:80", 64, "", "", 0},
        {"tcp://h:", 64, "", "", 0},
        {"tcp://h", 64, "", "", 0},
        {"udp://h:80", 64, "", "", 0},
        {"tcp://[::1:80", 64, "", "", 0},
        {"tcp://]::1[:80", 64, "", "", 0},
        {"tcp://[::1]x:80", 64, "", "", 0},
        {"tcp://[]:80", 64, "", "", 0},
        {"tcp://h:[1]:80", 64, "", "", 0},
    };
    for (const auto& c : cases) {
        std::string host, port;
        int family = -1;
        EXPECT_EQ(SplitTcpUrl(c.url, FAMILY_IPV4_ONLY, &host, &port, &family), c.result) << c.url;
        if (c.result == 0) {
            EXPECT_EQ(host, c.host) << c.url;
            EXPECT_EQ(port, c.port) << c.url;
            EXPECT_EQ(family, c.family) << c.url;
        }
    }
}

TEST(SocketUrl, FamilyChoiceDecidesResolution)
{
    struct Case {
        int preference;
        const char* url;
        int error; // 0: resolves
        int family;
    } cases[] = {
        {FAMILY_IPV4_ONLY, "tcp://[::1]:80", SOCK_ADDRESS_NOT_AVAILABLE, 0},
        {FAMILY_IPV4_ONLY, "[::1]:80", SOCK_ADDRESS_NOT_AVAILABLE, 0},
        {FAMILY_IPV4_ONLY, "tcp6://[::1]:80", 0, AF_INET6},
        {FAMILY_IPV6_ONLY, "tcp4://127.0.0.1:80", 0, AF_INET},
        {FAMILY_ANY, "tcp6://127.0.0.1:80", SOCK_ADDRESS_NOT_AVAILABLE, 0},
        {FAMILY_ANY, "tcp://[::1]:80", 0, AF_INET6},
        {FAMILY_ANY, "udp://[::1]:80", SOCK_INVALID_ARGUMENT, 0},
    };
    int saved = AddressFamilyPreference.load();
    for (const auto& c : cases) {
        AddressFamilyPreference = c.preference;
        try {
            ENDPOINT_ADDRESS endpoint = ParseTcpUrl(c.url, MODULE_TCPSOCKET);
            EXPECT_EQ(c.error, 0) << c.url;
            EXPECT_EQ(endpoint.GetFamily(), c.family) << c.url;
            EXPECT_EQ(endpoint.GetPort(), 80) << c.url;
        } catch (CExceptionEx* e) {
            EXPECT_EQ(e->GetError(), static_cast<uint32_t>(c.error)) << c.url;
            delete e;
        }
    }
    AddressFamilyPreference = saved;
}

TEST(SocketUrl, PipeNameLimits)
{
    std::string name;
    EXPECT_EQ(ParsePipeUrl("pipe://" + std::string(106, 'a'), &name), 0);
    EXPECT_EQ(name.size(), 106u);
    EXPECT_EQ(ParsePipeUrl("pipe://" + std::string(107, 'a'), &name), 64);
    EXPECT_EQ(ParsePipeUrl("pipe://", &name), 64);
    EXPECT_EQ(ParsePipeUrl("tcp://x", &name), 64);
    EXPECT_EQ(ParsePipeUrl("bare", &name), 0);
    EXPECT_EQ(name, "bare");

    // The longest name really binds and connects.
    ASSERT_EQ(g_netns, 0);
    Pair pair = MakePipePair(std::string(106, 'n'));
    ASSERT_NE(pair.server, nullptr);
    CPipeSocket tooLong;
    EXPECT_EQ(tooLong.Listen("pipe://" + std::string(107, 'n')), SOCK_INVALID_ARGUMENT);
}

TEST(SocketFactory, SchemesAndErrors)
{
    CGenericSocketFactory factory;
    struct Case {
        const char* url;
        int kind;   // -1: raises
        int error;
    } cases[] = {
        {"tcp://127.0.0.1:1", SOCKET_KIND_TCP, 0}, {"tcp4://h:1", SOCKET_KIND_TCP, 0},
        {"tcp6://[::1]:1", SOCKET_KIND_TCP, 0},    {"pipe://x", SOCKET_KIND_PIPE, 0},
        {"", -1, 64},                              {"://x", -1, 64},
        {"udp://h:1", -1, 5},                      {"127.0.0.1:1", -1, 5},
    };
    for (const auto& c : cases) {
        try {
            std::unique_ptr<CSocket> socket(factory.Create(c.url));
            EXPECT_EQ(socket->GetKind(), c.kind) << c.url;
            EXPECT_EQ(socket->GetHandle(), -1) << c.url;
        } catch (CExceptionEx* e) {
            EXPECT_EQ(c.kind, -1) << c.url;
            EXPECT_EQ(e->GetModule(), MODULE_SOCKETFACTORY);
            EXPECT_EQ(e->GetError(), static_cast<uint32_t>(c.error)) << c.url;
            delete e;
        }
    }
}

TEST(Socket, StateWordRefusesWrongOperations)
{
    ASSERT_EQ(g_netns, 0);
    char byte = 0;
    size_t count = 0;
    CTcpSocket fresh;
    EXPECT_EQ(fresh.Receive(&byte, 1, nullptr), SOCK_WRONG_STATE);
    EXPECT_EQ(fresh.Send(&byte, 1, nullptr), SOCK_WRONG_STATE);
    EXPECT_EQ(fresh.ReceiveSome(nullptr, 1, &count), SOCK_INVALID_ARGUMENT);
    EXPECT_EQ(fresh.SendSome(&byte, 1, nullptr), SOCK_INVALID_ARGUMENT);
    EXPECT_EQ(fresh.GetUrl(), "");

    // A failed listen leaves a failed socket without a descriptor.
    CTcpSocket first;
    ASSERT_EQ(first.Listen("tcp4://127.0.0.1:32032"), SOCK_OK);
    CTcpSocket second;
    EXPECT_EQ(second.Listen(first.GetUrl()), SOCK_ADDRESS_IN_USE);
    EXPECT_EQ(second.GetState(), SOCKET_STATE_FAILED);
    EXPECT_EQ(second.GetHandle(), -1);
    EXPECT_EQ(second.Listen(first.GetUrl()), SOCK_WRONG_STATE);
    EXPECT_EQ(second.Close(), SOCK_OK);

    CTcpSocket badUrl;
    EXPECT_EQ(badUrl.Connect("tcp://::1:80", nullptr), SOCK_INVALID_ARGUMENT);
    EXPECT_EQ(badUrl.GetState(), SOCKET_STATE_FAILED);

    // Closed is final.
    EXPECT_EQ(first.Close(), SOCK_OK);
    EXPECT_EQ(first.Close(), SOCK_CLOSED);
    CSocket* accepted = nullptr;
    EXPECT_EQ(first.Accept(&accepted, nullptr), SOCK_CLOSED);
    EXPECT_EQ(first.Listen("tcp4://127.0.0.1:32032"), SOCK_CLOSED);

    // Nothing listens: refused at once.
    CTcpSocket refused;
    EXPECT_EQ(refused.Connect("tcp4://127.0.0.1:1", nullptr), SOCK_CONNECT_FAILED);
}

TEST(Socket, TransfersOverTcpBothFamiliesAndPipes)
{
    ASSERT_EQ(g_netns, 0);
    struct Case {
        const char* what;
        std::function<Pair()> make;
        const char* peerPrefix;
    } cases[] = {
        {"tcp4", [] { return MakeTcpPair("tcp4://127.0.0.1:32032", "tcp4"); }, "127.0.0.1:"},
        {"tcp6", [] { return MakeTcpPair("tcp6://[::1]:32032", "tcp6"); }, "[::1]:"},
        {"pipe", [] { return MakePipePair("calvixd-test.pipe"); }, "calvixd-test.pipe"},
    };
    for (const auto& c : cases) {
        Pair pair = c.make();
        ASSERT_NE(pair.server, nullptr) << c.what;
        EXPECT_EQ(pair.server->GetPeerName().rfind(c.peerPrefix, 0), 0u) << c.what << pair.server->GetPeerName();
        EXPECT_EQ(pair.client->GetPeerName().rfind(c.peerPrefix, 0), 0u) << c.what;

        std::vector<uint8_t> big(1 << 20);
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<uint8_t>(i * 7);
        std::vector<uint8_t> got(big.size());
        std::thread sender([&] { EXPECT_EQ(pair.client->Send(big.data(), big.size(), nullptr), SOCK_OK); });
        EXPECT_EQ(pair.server->Receive(got.data(), got.size(), nullptr), SOCK_OK);
        sender.join();
        EXPECT_EQ(got, big) << c.what;

        // Zero bytes: done without a receive.
        EXPECT_EQ(pair.server->Receive(got.data(), 0, nullptr), SOCK_OK);
        size_t count = 99;
        EXPECT_EQ(pair.server->ReceiveSome(got.data(), 16, &count), SOCK_OK);
        EXPECT_EQ(count, 0u) << c.what;

        // The peer closes in the middle of a whole-length receive.
        EXPECT_EQ(pair.client->Send("abc", 3, nullptr), SOCK_OK);
        EXPECT_EQ(pair.client->Close(), SOCK_OK);
        EXPECT_EQ(pair.server->Receive(got.data(), 10, nullptr), SOCK_CLOSED) << c.what;
    }
}

TEST(Socket, CloseAndAbortEndBlockedReceive)
{
    ASSERT_EQ(g_netns, 0);
    Pair pair = MakeTcpPair("tcp4://127.0.0.1:32032", "tcp4");
    ASSERT_NE(pair.server, nullptr);
    char buffer[4];
    std::atomic<int> result{-1};
    std::thread receiver([&] { result = pair.server->Receive(buffer, sizeof buffer, nullptr); });
    EXPECT_TRUE(testwait::waitUntil([&] { return pair.server->GetHandle() >= 0; }, 1s));
    EXPECT_EQ(pair.server->Close(), SOCK_OK);
    receiver.join();
    EXPECT_EQ(result.load(), SOCK_CLOSED);
    EXPECT_EQ(pair.server->Close(), SOCK_CLOSED);
    EXPECT_TRUE(testwait::waitUntil([&] { return pair.server->GetHandle() == -1; }, 1s));

    // A pair whose peer stays open: only the abort event ends the wait.
    pair = Pair();
    Pair open = MakePipePair("abort-test.pipe");
    ASSERT_NE(open.server, nullptr);
    CEvent abort;
    std::atomic<int> aborted{-1};
    size_t count = 0;
    std::thread waiter([&] { aborted = open.client->ReceiveSomeAbortable(buffer, 4, &count, &abort); });
    abort.Set();
    waiter.join();
    EXPECT_EQ(aborted.load(), SOCK_ABORTED);
}

TEST(Socket, SecondSendOfTheSameKindIsBusy)
{
    ASSERT_EQ(g_netns, 0);
    Pair pair = MakeTcpPair("tcp4://127.0.0.1:32032", "tcp4");
    ASSERT_NE(pair.server, nullptr);
    // The peer never reads: a large send fills both socket buffers and blocks.
    std::vector<uint8_t> big(64 << 20);
    std::atomic<int> first{-1};
    std::atomic<bool> started{false};
    std::thread sender([&] {
        started = true;
        first = pair.client->Send(big.data(), big.size(), nullptr);
    });
    ASSERT_TRUE(testwait::waitUntil([&] { return started.load(); }, 1s));
    // The first send holds the send bit until it ends.
    EXPECT_TRUE(testwait::waitUntil([&] { return pair.client->Send("x", 1, nullptr) == SOCK_BUSY; }, 2s));
    // A receive is another kind and may run beside it.
    size_t count = 0;
    char byte;
    EXPECT_EQ(pair.client->ReceiveSome(&byte, 1, &count), SOCK_OK);
    EXPECT_EQ(pair.client->Close(), SOCK_OK);
    sender.join();
    EXPECT_EQ(first.load(), SOCK_CLOSED);
}

// Stands for a socket whose descriptor number is all the set looks at.
class NumberedSocket : public CTcpSocket {
public:
    explicit NumberedSocket(int fd) : m_fd(fd) {}
    int GetHandle() override { return m_fd; }

private:
    int m_fd;
};

TEST(SocketSet, HoldsAtMost1024EntriesPerDirection)
{
    std::vector<std::unique_ptr<NumberedSocket>> sockets;
    for (int i = 0; i < 1025; ++i)
        sockets.push_back(std::make_unique<NumberedSocket>(3000 + i));
    SocketSet set;
    for (int i = 0; i < 1024; ++i) {
        ASSERT_TRUE(set.AddRead(sockets[i].get()));
        ASSERT_TRUE(set.AddWrite(sockets[i].get()));
    }
    EXPECT_FALSE(set.AddRead(sockets[1024].get()));
    EXPECT_FALSE(set.AddWrite(sockets[1024].get()));
    EXPECT_EQ(set.GetReadCount(), 1024u);
    EXPECT_EQ(set.GetHighest(), 3000 + 1023);
    NumberedSocket none(-1);
    set.Reset();
    EXPECT_FALSE(set.AddRead(&none));
    EXPECT_EQ(set.GetHighest(), -1);
}

TEST(SocketSet, WaitsOnSocketsAboveDescriptor1024)
{
    ASSERT_EQ(g_netns, 0);
    rlimit limit = {4096, 4096};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    // Push the next descriptors past what an fd_set can hold.
    std::vector<int> fillers;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 1100)
        fillers.push_back(fd);
    if (fd >= 0)
        fillers.push_back(fd);
    Pair pair = MakeTcpPair("tcp4://127.0.0.1:32032", "tcp4");
    ASSERT_NE(pair.server, nullptr);
    ASSERT_GT(pair.server->GetHandle(), 1100);

    SocketSet set;
    ASSERT_TRUE(set.AddRead(pair.server.get()));
    EXPECT_EQ(set.Wait(50), SYNC_TIMEOUT);
    EXPECT_FALSE(set.IsReadable(pair.server.get()));
    ASSERT_EQ(pair.client->Send("hello", 5, nullptr), SOCK_OK);
    set.Reset();
    ASSERT_TRUE(set.AddRead(pair.server.get()));
    ASSERT_TRUE(set.AddWrite(pair.server.get()));
    EXPECT_EQ(set.Wait(-1), 0);
    EXPECT_TRUE(set.IsReadable(pair.server.get()));
    EXPECT_TRUE(set.IsWritable(pair.server.get()));
    EXPECT_FALSE(set.IsReadable(pair.client.get()));
    char buffer[5];
    EXPECT_EQ(pair.server->Receive(buffer, 5, nullptr), SOCK_OK);
    EXPECT_EQ(memcmp(buffer, "hello", 5), 0);
    for (int f : fillers)
        close(f);
}

} // namespace
