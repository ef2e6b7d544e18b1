// A device data connection: the capability exchange with the client, the
// device's identification blocks, then the relay of stub messages between
// the client and the stub device, driver to client on a pump thread and
// client to driver on the connection's own thread, with pings, the 30 s
// silence limit and the inactivity time-out.
//
// Records on the wire: {u32 type, u32 length} with the length counting only
// what follows; type 3 carries a stub message, type 4 is a ping.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "calvixd/core/eventlog.h"
#include "calvixd/net/socket.h"
#include "calvixd/net/stubapi.h"

// Capability bits of the exchange.
constexpr uint32_t DATA_CAPS_SUPPORTED = 0x210;
constexpr uint32_t DATA_CAPS_FIRST_ANSWER = 0x10;
constexpr uint32_t DATA_CAPS_LARGE = 0x200;

// Buffer sizes: the first size of both buffers, and the largest message.
constexpr uint32_t DATA_FIRST_SIZE = 0x101000;
constexpr uint32_t DATA_LARGEST = 0x101000;
constexpr uint32_t DATA_FIRST_SIZE_LARGE = 0x21000;
constexpr uint32_t DATA_LARGEST_LARGE = 0x1002000;

constexpr uint32_t DATA_RECORD_MESSAGE = 3;
constexpr uint32_t DATA_RECORD_PING = 4;
constexpr uint32_t DATA_PING_INTERVAL_MS = 10000;
constexpr uint32_t DATA_SILENCE_LIMIT_MS = 30000;

// Refusal codes of RunDataConnection.
constexpr uint32_t DATA_REFUSED_STOPPED = 4;
constexpr uint32_t DATA_REFUSED_NO_THREAD = 12;
constexpr uint32_t DATA_REFUSED_CAPABILITIES = 13;

// What a data connection reports to the owner of its device. Called on the
// connection's threads with no lock of the data connection held.
class CDataConnectionEvents {
public:
    virtual ~CDataConnectionEvents() {}
    virtual uint32_t GetTickMs() { return GetTickCountMs(); }
    virtual void LogDebug(uint16_t module, uint32_t line, uint32_t error) = 0;
    // Null when the event log is off.
    virtual CEventLog* GetEventLog() = 0;
    // The driver asks for a USB configuration of the device.
    virtual void SetDeviceConfiguration(uint32_t deviceId, int value) = 0;
    // The device became inactive (true) or active (false). Must not block:
    // it runs on the pump thread.
    virtual void SetInactive(bool inactive) = 0;
};

// The stop of a device's data connections. A stop acts only on a connection
// that runs: one requested between two connections would otherwise refuse
// every later one.
class CDataConnectionGate {
public:
    // False when the gate is closed; otherwise the stop event is clear and a
    // connection runs until End.
    bool Begin();
    void End();
    // Ends the running connection, if any.
    void RequestStop();
    // No connection starts after this; a running one is stopped.
    void Close();
    bool IsRunning();
    CEvent* GetStopEvent() { return &m_stop; }

private:
    std::mutex m_lock; // guards both flags and the changes of m_stop
    bool m_running = false;
    bool m_closed = false;
    CEvent m_stop;
};

struct DataConnectionParams {
    uint32_t deviceId = 0;
    const uint8_t* textBlock = nullptr; // 768 bytes, copied
    uint32_t inactivitySeconds = 0;     // 0: off
    // The end of a connection waits for its pump however long it takes, in
    // slices of this length with a debug line after each.
    int pumpJoinSliceMs = 60000;
    // Real time: the whole capability exchange, and a send of which the
    // client takes nothing, end the connection after this long.
    uint32_t stallMs = DATA_SILENCE_LIMIT_MS;
};

class CDataConnection {
public:
    // api is the device's stub device, used by this object only while Run
    // runs. Throws std::bad_alloc.
    CDataConnection(CStubApi* api, CDataConnectionEvents* events, const DataConnectionParams& params);
    ~CDataConnection();
    CDataConnection(const CDataConnection&) = delete;
    CDataConnection& operator=(const CDataConnection&) = delete;

    // Runs one data connection to its end on the calling thread: '2' when
    // it ran, '3' with *code when it was refused. stop ends it from another
    // thread.
    uint8_t Run(CSocket* socket, CEvent* stop, uint32_t* code);

    void SetInactivityTimeout(uint32_t seconds);
    uint32_t GetNegotiated() const { return m_negotiated; }
    bool IsLargeMode() const { return m_large; }

    // The identification block of a 256-byte multi-string, widened to
    // UTF-16LE with its final empty text.
    static std::vector<uint8_t> WidenMultiString(const uint8_t* text, size_t size);
    // The wait of the pump before its next ping, clamped to [0, 10000] ms.
    static int PingWait(uint32_t lastPing, uint32_t now);

private:
    static int PumpThread(void* self);
    bool Negotiate(CSocket* socket, CEvent* stop);
    void ApplyCapabilities(uint32_t caps);
    void SendDescriptorsAndPump();
    // start: the tick the inactivity count starts from.
    void PumpDriverToNetwork(uint32_t start);
    void PumpNetworkToDriver();
    // Read and write buffers of at least size bytes of message; false when
    // above the largest message or out of memory.
    bool EnsureReadBuffer(uint32_t size);
    bool EnsureWriteBuffer(uint32_t size);
    void MarkActive();
    void NoMemory();
    void Debug(uint32_t line, uint32_t error) { m_events->LogDebug(MODULE_USBSTUB, line, error); }
    uint32_t FirstSize() const { return m_large ? DATA_FIRST_SIZE_LARGE : DATA_FIRST_SIZE; }
    uint32_t Largest() const { return m_large ? DATA_LARGEST_LARGE : DATA_LARGEST; }

    CStubApi* m_api;
    CDataConnectionEvents* m_events;
    uint32_t m_deviceId;
    int m_pumpJoinSliceMs;
    uint32_t m_stallMs;
    std::vector<uint8_t> m_hardwareIds;
    std::vector<uint8_t> m_compatibleIds;
    std::atomic<uint32_t> m_timeout;

    // Set by Run before the pump starts; read by both threads.
    CSocket* m_socket = nullptr;
    CEvent* m_stop = nullptr;
    uint32_t m_negotiated = 0;
    std::atomic<bool> m_large{false};
    // Capacities of the two message areas; each buffer belongs to one thread.
    size_t m_readCapacity = 0;
    size_t m_writeCapacity = 0;
    // Written by the client-to-driver thread, read by the pump.
    std::atomic<uint32_t> m_lastReceive{0};
    // Pump thread only.
    uint32_t m_lastActivity = 0;
    bool m_inactive = false;
    // The driver's answer to a configuration request the client relayed.
    CEvent m_configuration;
    std::atomic<bool> m_configurationHandled{false};
};
