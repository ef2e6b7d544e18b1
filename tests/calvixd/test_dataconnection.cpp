// Device data connections against a scripted stub device and a test client
// over an abstract pipe: the capability exchange, the identification
// blocks, the relay both ways, configuration requests, buffer growth,
// pings, silence and inactivity on a test clock, and stops.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "calvixd/net/dataconnection.h"
#include "calvixd/net/pipesocket.h"
#include "tests/support/calvixwire.h"
#include "tests/support/netns.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using calvixwire::Connection;
using calvixwire::recordBytes;

const int g_netns = [] {
    std::string error;
    int result = netns::enterPrivateNetwork(&error);
    if (result != 0)
        fprintf(stderr, "private network namespace: %s\n", error.c_str());
    return result;
}();

uint32_t Get32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// A stub message of the driver layout: length at 8, kind at 12, status at 16.
std::vector<uint8_t> Message(uint32_t length, uint32_t kind, uint32_t status, uint8_t fill = 0x5A)
{
    std::vector<uint8_t> m(length, fill);
    memcpy(&m[8], &length, 4);
    memcpy(&m[12], &kind, 4);
    memcpy(&m[16], &status, 4);
    return m;
}

// The stub device as the data connection sees it: messages the test queues
// come out of ReadMessage; written messages are recorded.
class FakeStub : public CStubApi {
public:
    FakeStub() : CStubApi(1) {}
    ~FakeStub() override
    {
        free(m_read);
        free(m_write);
    }
    uint8_t* AllocReadBuffer(size_t size, size_t head, size_t) override
    {
        free(m_read);
        m_read = static_cast<uint8_t*>(calloc(1, size));
        m_readHead = head;
        m_readCapacity = size - head;
        return m_read;
    }
    uint8_t* AllocWriteBuffer(size_t size, size_t head, size_t) override
    {
        free(m_write);
        m_write = static_cast<uint8_t*>(calloc(1, size));
        m_writeHead = head;
        m_writeCapacity = size - head;
        return m_write;
    }
    uint8_t* GetReadBuffer() override { return m_read; }
    uint8_t* GetWriteBuffer() override { return m_write; }
    int WaitReadable(CEvent* abort, int ms) override
    {
        // A driver call that does not heed the abort event while held.
        while (hold) {
            inHold = true;
            std::this_thread::sleep_for(5ms);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            waits.push_back(ms);
        }
        ++waitCalls;
        for (int slept = 0;; slept += 5) {
            if (abort && abort->IsSet())
                return SYNC_ABORTED;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!m_queue.empty())
                    return SYNC_OK;
            }
            // Real time stands in for the slice; the test clock decides
            // what is due.
            if (slept >= 20 || (ms >= 0 && slept >= ms))
                return SYNC_TIMEOUT;
            std::this_thread::sleep_for(5ms);
        }
    }
    int ReadMessage() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty())
            return STUB_READ_NONE;
        std::vector<uint8_t>& m = m_queue.front();
        uint8_t* message = m_read + m_readHead;
        if (m.size() > m_readCapacity) {
            uint32_t needed = static_cast<uint32_t>(m.size());
            memcpy(message + 8, &needed, 4);
            ++tooSmall;
            return STUB_READ_TOO_SMALL;
        }
        memcpy(message, m.data(), m.size());
        m_queue.pop_front();
        return STUB_READ_OK;
    }
    int WriteMessage() override
    {
        uint8_t* message = m_write + m_writeHead;
        uint32_t length = Get32(message + 8);
        if (length > m_writeCapacity)
            return STUB_WRITE_FAILED;
        std::lock_guard<std::mutex> lock(m_mutex);
        written.emplace_back(message, message + length);
        return STUB_WRITE_OK;
    }
    int FlushRequests() override
    {
        ++flushes;
        return 0;
    }
    bool SetFlags(uint32_t) override { return true; }
    bool SetResetMode(uint8_t) override { return true; }
    bool NeedsReset() override { return false; }
    bool ResetDevice() override { return true; }

    void Push(std::vector<uint8_t> message)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(message));
    }
    std::mutex& Mutex() { return m_mutex; }
    size_t Written()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return written.size();
    }
    std::vector<uint8_t> WrittenAt(size_t i)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return written.at(i);
    }

    std::vector<std::vector<uint8_t>> written;
    std::vector<int> waits; // under m_mutex
    std::atomic<int> waitCalls{0};
    std::atomic<int> flushes{0};
    std::atomic<int> tooSmall{0};
    std::atomic<bool> hold{false};
    std::atomic<bool> inHold{false};

private:
    std::mutex m_mutex;
    std::deque<std::vector<uint8_t>> m_queue;
    uint8_t* m_read = nullptr;
    uint8_t* m_write = nullptr;
    size_t m_readHead = 0, m_writeHead = 0, m_readCapacity = 0, m_writeCapacity = 0;
};

class Events : public CDataConnectionEvents {
public:
    uint32_t GetTickMs() override { return now.load(); }
    void LogDebug(uint16_t, uint32_t, uint32_t error) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        debugErrors.push_back(error);
    }
    bool Logged(uint32_t error)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::find(debugErrors.begin(), debugErrors.end(), error) != debugErrors.end();
    }
    CEventLog* GetEventLog() override { return nullptr; }
    void SetDeviceConfiguration(uint32_t deviceId, int value) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        configurations.push_back({deviceId, value});
    }
    void SetInactive(bool inactive) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        activity.push_back(inactive);
    }
    std::vector<bool> Activity()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return activity;
    }
    std::atomic<uint32_t> now{50000};
    std::mutex mutex;
    std::vector<std::pair<uint32_t, int>> configurations;
    std::vector<bool> activity;
    std::vector<uint32_t> debugErrors;
};

class DataConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(g_netns, 0);
        ASSERT_EQ(listener.Listen("pipe://data.pipe"), SOCK_OK);
        memcpy(block + 256, "USB\\VID_1234\0USB\\X\0", 20);
        memcpy(block + 512, "USB\\Class_03\0", 13);
        params.deviceId = 7;
        params.textBlock = block;
        connection = std::make_unique<CDataConnection>(&stub, &events, params);
    }
    void TearDown() override
    {
        client.close();
        if (runner.joinable())
            runner.join();
    }

    // Starts Run on a thread with the accepted server side of the pipe.
    void Start()
    {
        ASSERT_TRUE(client.connectPipe("data.pipe"));
        CSocket* accepted = nullptr;
        ASSERT_EQ(listener.Accept(&accepted, nullptr), SOCK_OK);
        server.reset(accepted);
        runner = std::thread([this] {
            answer = connection->Run(server.get(), gate.GetStopEvent(), &code);
            finished = true;
        });
    }

    // The client side of the exchange; returns false when it did not end
    // with the descriptor blocks.
    bool Negotiate(uint32_t first, uint32_t second, uint32_t final, uint32_t* proposal)
    {
        if (client.receive(1) != std::vector<uint8_t>{'6'})
            return false;
        if (!client.sendBytes(recordBytes({first})))
            return false;
        auto reply = client.receive(5);
        if (reply != std::vector<uint8_t>{'4', 0x10, 0, 0, 0})
            return false;
        auto round = std::vector<uint8_t>{'4'};
        auto value = recordBytes({second});
        round.insert(round.end(), value.begin(), value.end());
        if (!client.sendBytes(round))
            return false;
        auto p = client.receive(4);
        if (p.size() != 4)
            return false;
        *proposal = Get32(p.data());
        return client.sendBytes(recordBytes({final}));
    }

    bool ReadBlocks(std::vector<uint8_t>* hardware, std::vector<uint8_t>* compatible)
    {
        auto head = client.receive(9);
        if (head.size() != 9 || head[0] != '2')
            return false;
        *hardware = client.receive(Get32(&head[1]));
        *compatible = client.receive(Get32(&head[5]));
        return true;
    }

    bool ReadRecord(uint32_t* type, std::vector<uint8_t>* body)
    {
        auto header = client.receive(8);
        if (header.size() != 8)
            return false;
        *type = Get32(header.data());
        *body = client.receive(Get32(&header[4]));
        return true;
    }

    std::vector<uint8_t> Wide(const char* text, size_t size)
    {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < size; ++i) {
            out.push_back(static_cast<uint8_t>(text[i]));
            out.push_back(0);
        }
        return out;
    }

    CPipeSocket listener;
    std::unique_ptr<CSocket> server;
    Connection client;
    FakeStub stub;
    Events events;
    uint8_t block[768] = {};
    DataConnectionParams params;
    CDataConnectionGate gate;
    std::unique_ptr<CDataConnection> connection;
    std::thread runner;
    std::atomic<bool> finished{false};
    uint8_t answer = 0;
    uint32_t code = 0;
};

TEST_F(DataConnectionTest, FullExchangeAndRelayBothWays)
{
    ASSERT_TRUE(gate.Begin());
    Start();
    uint32_t proposal = 0;
    ASSERT_TRUE(Negotiate(0x10, 0x10, 0x10, &proposal));
    EXPECT_EQ(proposal, 0x210u);
    std::vector<uint8_t> hardware, compatible;
    ASSERT_TRUE(ReadBlocks(&hardware, &compatible));
    EXPECT_EQ(hardware, Wide("USB\\VID_1234\0USB\\X\0\0", 20));
    EXPECT_EQ(compatible, Wide("USB\\Class_03\0\0", 14));

    // Driver to client: header {3, length} and the message as it is.
    auto fromDriver = Message(40, 1, 11);
    stub.Push(fromDriver);
    uint32_t type;
    std::vector<uint8_t> body;
    ASSERT_TRUE(ReadRecord(&type, &body));
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(body, fromDriver);

    // A configuration request is handled, not forwarded.
    auto config = Message(25, 2, 1);
    config[24] = 2;
    stub.Push(config);
    ASSERT_TRUE(testwait::waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(events.mutex);
            return events.configurations.size() == 1;
        },
        5s));
    EXPECT_EQ(events.configurations[0], std::make_pair(7u, 2));

    // Client to driver: the smallest message passes, pings are skipped.
    auto toDriver = Message(24, 1, 0, 0x33);
    auto record = recordBytes({4, 0, 3, 24});
    record.insert(record.end(), toDriver.begin(), toDriver.end());
    ASSERT_TRUE(client.sendBytes(record));
    ASSERT_TRUE(testwait::waitUntil([&] { return stub.Written() == 1; }, 5s));
    EXPECT_EQ(stub.WrittenAt(0), toDriver);

    // A message of 23 bytes ends the connection.
    auto shortRecord = recordBytes({3, 23});
    shortRecord.resize(8 + 23);
    ASSERT_TRUE(client.sendBytes(shortRecord));
    runner.join();
    EXPECT_EQ(answer, '2');
    EXPECT_EQ(stub.Written(), 1u);
    gate.End();
}

TEST_F(DataConnectionTest, UnsupportedCapabilitiesAreRefused)
{
    ASSERT_TRUE(gate.Begin());
    Start();
    EXPECT_EQ(client.receive(1), std::vector<uint8_t>{'6'});
    ASSERT_TRUE(client.sendBytes(recordBytes({0x400})));
    EXPECT_EQ(client.receive(5), (std::vector<uint8_t>{'5', 0, 0, 0, 0}));
    runner.join();
    EXPECT_EQ(answer, '3');
    EXPECT_EQ(code, 13u);
    gate.End();
}

// A client that stalls in the capability exchange, and one that stops
// taking what the driver sends, lose the connection after the stall time
// in real time, whatever the test clock says.
TEST_F(DataConnectionTest, StalledClientsLoseTheConnection)
{
    params.stallMs = 1000;
    connection = std::make_unique<CDataConnection>(&stub, &events, params);
    struct Case {
        const char* name;
        bool negotiate;
    } cases[] = {{"stalls after '6'", false}, {"takes nothing after the blocks", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        finished = false;
        ASSERT_TRUE(gate.Begin());
        Start();
        if (c.negotiate) {
            uint32_t proposal;
            ASSERT_TRUE(Negotiate(0x10, 0x10, 0x10, &proposal));
            std::vector<uint8_t> hw, cp;
            ASSERT_TRUE(ReadBlocks(&hw, &cp));
            // More than the socket buffers hold, never read.
            for (int i = 0; i < 400; ++i)
                stub.Push(Message(4000, 1, 0));
        } else {
            EXPECT_EQ(client.receive(1), std::vector<uint8_t>{'6'});
        }
        EXPECT_TRUE(testwait::waitUntil([&] { return finished.load(); }, 20s))
            << "waiting for the stalled connection to end";
        if (!finished.load())
            gate.RequestStop();
        runner.join();
        EXPECT_EQ(answer, c.negotiate ? '2' : '3');
        gate.End();
        client.close();
        server.reset();
    }
}

TEST_F(DataConnectionTest, LengthWordMustMatchTheRecord)
{
    struct Case {
        uint32_t recordLength;
        uint32_t wordLength;
    } cases[] = {{40, 32}, {40, 48}, {40, 12}};
    for (const auto& c : cases) {
        ASSERT_TRUE(gate.Begin());
        finished = false;
        Start();
        uint32_t proposal;
        ASSERT_TRUE(Negotiate(0x10, 0x10, 0x10, &proposal));
        std::vector<uint8_t> hw, cp;
        ASSERT_TRUE(ReadBlocks(&hw, &cp));
        auto message = Message(c.recordLength, 1, 0);
        memcpy(&message[8], &c.wordLength, 4);
        auto record = recordBytes({3, c.recordLength});
        record.insert(record.end(), message.begin(), message.end());
        ASSERT_TRUE(client.sendBytes(record));
        // The connection ends on its own; closing the client only ends a
        // connection that went on.
        EXPECT_TRUE(testwait::waitUntil([&] { return finished.load(); }, 5s)) << c.wordLength;
        client.close();
        runner.join();
        EXPECT_EQ(answer, '2');
        EXPECT_EQ(stub.Written(), 0u) << c.wordLength;
        gate.End();
        client.close();
    }
}

TEST_F(DataConnectionTest, LargeModeGrowsBothBuffers)
{
    ASSERT_TRUE(gate.Begin());
    Start();
    uint32_t proposal;
    ASSERT_TRUE(Negotiate(0x200, 0x200, 0x210, &proposal));
    std::vector<uint8_t> hw, cp;
    ASSERT_TRUE(ReadBlocks(&hw, &cp));
    EXPECT_TRUE(connection->IsLargeMode());

    // Larger than the first read buffer: the driver says EMSGSIZE first.
    auto big = Message(0x300000, 1, 0, 0x77);
    stub.Push(big);
    uint32_t type;
    std::vector<uint8_t> body;
    ASSERT_TRUE(ReadRecord(&type, &body));
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(body, big);
    EXPECT_EQ(stub.tooSmall.load(), 1);

    auto toDriver = Message(0x200000, 1, 0, 0x44);
    auto record = recordBytes({3, 0x200000});
    record.insert(record.end(), toDriver.begin(), toDriver.end());
    ASSERT_TRUE(client.sendBytes(record));
    ASSERT_TRUE(testwait::waitUntil([&] { return stub.Written() == 1; }, 5s));
    EXPECT_EQ(stub.WrittenAt(0), toDriver);
    client.close();
    runner.join();
    EXPECT_FALSE(connection->IsLargeMode());
    gate.End();
}

TEST_F(DataConnectionTest, WithoutLargeModeAnOversizedRecordEnds)
{
    ASSERT_TRUE(gate.Begin());
    Start();
    uint32_t proposal;
    ASSERT_TRUE(Negotiate(0x200, 0x200, 0x010, &proposal)); // cleared in the final round
    std::vector<uint8_t> hw, cp;
    ASSERT_TRUE(ReadBlocks(&hw, &cp));
    EXPECT_FALSE(connection->IsLargeMode());
    ASSERT_TRUE(client.sendBytes(recordBytes({3, 0x200000})));
    runner.join();
    EXPECT_EQ(stub.Written(), 0u);
    gate.End();
}

TEST_F(DataConnectionTest, PingsSilenceAndInactivityOnTheTestClock)
{
    params.inactivitySeconds = 5;
    connection = std::make_unique<CDataConnection>(&stub, &events, params);
    ASSERT_TRUE(gate.Begin());
    Start();
    uint32_t proposal;
    ASSERT_TRUE(Negotiate(0x10, 0x10, 0x10, &proposal));
    std::vector<uint8_t> hw, cp;
    ASSERT_TRUE(ReadBlocks(&hw, &cp));
    // The pump reads the clock once it has sent the blocks.
    ASSERT_TRUE(testwait::waitUntil([&] { return stub.waitCalls.load() > 0; }, 5s));

    // Five seconds without a driver message: inactive, told once.
    events.now += 5000;
    ASSERT_TRUE(testwait::waitUntil([&] { return events.Activity().size() == 1; }, 5s));
    EXPECT_EQ(events.Activity(), std::vector<bool>{true});
    // The next driver message makes it active again, once.
    stub.Push(Message(24, 1, 0));
    uint32_t type;
    std::vector<uint8_t> body;
    ASSERT_TRUE(ReadRecord(&type, &body));
    ASSERT_TRUE(testwait::waitUntil([&] { return events.Activity().size() == 2; }, 5s));
    EXPECT_EQ(events.Activity(), (std::vector<bool>{true, false}));

    // Ten seconds: a ping {4, 0}.
    events.now += 10000;
    ASSERT_TRUE(ReadRecord(&type, &body));
    EXPECT_EQ(type, 4u);
    EXPECT_TRUE(body.empty());

    // The client keeps silent past 30 s: the connection ends although the
    // server pinged it.
    events.now += 15001;
    EXPECT_FALSE(finished.load());
    events.now += 5000;
    ASSERT_TRUE(testwait::waitUntil([&] { return finished.load(); }, 5s));
    EXPECT_EQ(answer, '2');
    gate.End();
    std::lock_guard<std::mutex> lock(stub.Mutex());
    for (int wait : stub.waits) {
        EXPECT_GE(wait, 0);
        EXPECT_LE(wait, 10000);
    }
}

TEST_F(DataConnectionTest, PingWaitIsClampedNeverUnlimited)
{
    struct Case {
        uint32_t lastPing, now;
        int wait;
    } cases[] = {
        {1000, 1000, 10000}, {1000, 4000, 7000}, {1000, 11000, 0}, {1000, 50000, 0},
        {0xFFFFF000u, 0x00000100u, 5648}, // across the wrap of the tick
        {5000, 4000, 0},                   // elapsed time wraps to "long ago": ping at once
    };
    for (const auto& c : cases)
        EXPECT_EQ(CDataConnection::PingWait(c.lastPing, c.now), c.wait) << c.lastPing << " " << c.now;
}

TEST_F(DataConnectionTest, StopBetweenConnectionsDoesNotRefuseTheNext)
{
    // Nothing runs: the stop is not kept for the next connection.
    gate.RequestStop();
    EXPECT_FALSE(gate.GetStopEvent()->IsSet());
    ASSERT_TRUE(gate.Begin());
    Start();
    uint32_t proposal;
    EXPECT_TRUE(Negotiate(0x10, 0x10, 0x10, &proposal));
    std::vector<uint8_t> hw, cp;
    ASSERT_TRUE(ReadBlocks(&hw, &cp));
    // While it runs a stop ends it, even with the client reading nothing
    // and the driver flooding it.
    for (int i = 0; i < 64; ++i)
        stub.Push(Message(0x10000, 1, 0));
    std::this_thread::sleep_for(100ms);
    gate.RequestStop();
    // A pump send that does not heed the stop would hang here until the
    // client goes.
    ASSERT_TRUE(testwait::waitUntil([&] { return finished.load(); }, 30s));
    runner.join();
    EXPECT_EQ(answer, '2');
    gate.End();
    EXPECT_FALSE(gate.GetStopEvent()->IsSet());
    gate.Close();
    EXPECT_FALSE(gate.Begin());
}

TEST_F(DataConnectionTest, EndWaitsForAPumpStuckInTheDriver)
{
    // The pump uses the socket and this object until it returns: the end
    // of the connection must outwait a driver call that ignores the stop,
    // past any join slice.
    params.pumpJoinSliceMs = 20;
    connection = std::make_unique<CDataConnection>(&stub, &events, params);
    ASSERT_TRUE(gate.Begin());
    Start();
    uint32_t proposal;
    ASSERT_TRUE(Negotiate(0x10, 0x10, 0x10, &proposal));
    std::vector<uint8_t> hw, cp;
    ASSERT_TRUE(ReadBlocks(&hw, &cp));
    stub.hold = true;
    ASSERT_TRUE(testwait::waitUntil([&] { return stub.inHold.load(); }, 10s));
    client.close();
    ASSERT_TRUE(testwait::waitUntil([&] { return events.Logged(ERROR_TIMEOUT); }, 10s));
    EXPECT_FALSE(finished);
    stub.hold = false;
    runner.join();
    EXPECT_EQ(answer, '2');
    gate.End();
}

TEST(DataConnectionBlocks, MultiStringsWidenWithBothTerminators)
{
    struct Case {
        std::vector<uint8_t> narrow;
        std::vector<uint8_t> expected; // narrow form of the result
    } cases[] = {
        {{'A', 0, 'B', 0, 0, 'x'}, {'A', 0, 'B', 0, 0}},
        {{0, 0, 0}, {0}},
        {{'A', 'B'}, {'A', 'B', 0, 0}},
        {{'A', 0}, {'A', 0, 0}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> wide = CDataConnection::WidenMultiString(c.narrow.data(), c.narrow.size());
        std::vector<uint8_t> expected;
        for (uint8_t b : c.expected) {
            expected.push_back(b);
            expected.push_back(0);
        }
        EXPECT_EQ(wide, expected);
    }
}

} // namespace
