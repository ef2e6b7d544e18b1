#include "calvixd/net/dataconnection.h"

#include <cstring>

#include "calvixd/net/ravelblocks.h"

namespace {

// The buffers keep RECORD_HEAD bytes in front of each message for the
// record header, so header and message go out in one send without a copy.
constexpr size_t RECORD_HEAD = 8;
constexpr uint8_t STUB_KIND_DRIVER_REQUEST = 2;
constexpr uint32_t STUB_STATUS_SELECT_CONFIGURATION = 1;

uint32_t Get32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

void Put32(uint8_t* at, uint32_t value)
{
    memcpy(at, &value, sizeof value);
}

// Whole pages, with the record head in front.
size_t BufferSizeFor(uint32_t size)
{
    return (static_cast<size_t>(size) / 4096 + 1) * 4096;
}

} // namespace

bool CDataConnectionGate::Begin()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_closed)
        return false;
    m_stop.Reset();
    m_running = true;
    return true;
}

void CDataConnectionGate::End()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_running = false;
    if (!m_closed)
        m_stop.Reset();
}

void CDataConnectionGate::RequestStop()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_running)
        m_stop.Set();
}

void CDataConnectionGate::Close()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_closed = true;
    m_stop.Set();
}

bool CDataConnectionGate::IsRunning()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_running;
}

std::vector<uint8_t> CDataConnection::WidenMultiString(const uint8_t* text, size_t size)
{
    // Texts ended by a zero byte, the list by an empty text: everything up
    // to and including that empty text. A list that runs to the end of its
    // part is ended there.
    std::vector<uint8_t> narrow;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        narrow.push_back(text[i]);
        if (text[i] != 0)
            continue;
        if (i == start)
            break;
        start = i + 1;
    }
    if (narrow.empty() || narrow.back() != 0 || start == narrow.size()) {
        if (narrow.empty() || narrow.back() != 0)
            narrow.push_back(0);
        if (narrow.size() < 2 || narrow[narrow.size() - 2] != 0)
            narrow.push_back(0);
    }
    std::vector<uint8_t> wide;
    wide.reserve(2 * narrow.size());
    for (uint8_t c : narrow) {
        wide.push_back(c);
        wide.push_back(0);
    }
    return wide;
}

int CDataConnection::PingWait(uint32_t lastPing, uint32_t now)
{
    // Signed: a ping that is overdue gives a negative wait, which must mean
    // "at once", never "without limit".
    int64_t wait = static_cast<int64_t>(DATA_PING_INTERVAL_MS) - static_cast<int64_t>(static_cast<uint32_t>(now - lastPing));
    if (wait < 0)
        return 0;
    if (wait > static_cast<int64_t>(DATA_PING_INTERVAL_MS))
        return static_cast<int>(DATA_PING_INTERVAL_MS);
    return static_cast<int>(wait);
}

CDataConnection::CDataConnection(CStubApi* api, CDataConnectionEvents* events, const DataConnectionParams& params)
    : m_api(api), m_events(events), m_deviceId(params.deviceId), m_pumpJoinSliceMs(params.pumpJoinSliceMs),
      m_stallMs(params.stallMs),
      m_timeout(params.inactivitySeconds)
{
    uint8_t block[768] = {};
    if (params.textBlock)
        memcpy(block, params.textBlock, sizeof block);
    m_hardwareIds = WidenMultiString(block + 256, 256);
    m_compatibleIds = WidenMultiString(block + 512, 256);
}

CDataConnection::~CDataConnection() {}

void CDataConnection::SetInactivityTimeout(uint32_t seconds)
{
    m_timeout = seconds;
}

void CDataConnection::NoMemory()
{
    if (CEventLog* log = m_events->GetEventLog())
        log->Print("Error, can not allocate memory for device.\n");
}

void CDataConnection::ApplyCapabilities(uint32_t caps)
{
    if (caps & DATA_CAPS_LARGE)
        m_large = true;
}

bool CDataConnection::Negotiate(CSocket* socket, CEvent* stop)
{
    uint8_t open = '6';
    uint32_t requested = 0;
    if (socket->Send(&open, 1, stop) != SOCK_OK || socket->Receive(&requested, 4, stop) != SOCK_OK)
        return Debug(__LINE__, 0), false;
    uint8_t answer[5];
    if (requested & ~DATA_CAPS_SUPPORTED) {
        answer[0] = '5';
        Put32(answer + 1, requested & DATA_CAPS_SUPPORTED);
        socket->Send(answer, sizeof answer, stop);
        return false;
    }
    ApplyCapabilities(requested);
    m_negotiated |= requested;
    answer[0] = '4';
    Put32(answer + 1, DATA_CAPS_FIRST_ANSWER);
    uint8_t reply[5];
    if (socket->Send(answer, sizeof answer, stop) != SOCK_OK || socket->Receive(reply, sizeof reply, stop) != SOCK_OK)
        return Debug(__LINE__, 0), false;
    if (reply[0] != '4')
        return false;
    uint32_t proposal = (Get32(reply + 1) & DATA_CAPS_SUPPORTED) | DATA_CAPS_LARGE;
    ApplyCapabilities(proposal);
    uint32_t final = 0;
    if (socket->Send(&proposal, 4, stop) != SOCK_OK || socket->Receive(&final, 4, stop) != SOCK_OK)
        return Debug(__LINE__, 0), false;
    m_negotiated |= final;
    if ((final ^ proposal) & DATA_CAPS_LARGE)
        m_large = false;
    return true;
}

uint8_t CDataConnection::Run(CSocket* socket, CEvent* stop, uint32_t* code)
{
    m_negotiated = 0;
    m_large = false;
    if (stop->IsSet()) {
        *code = DATA_REFUSED_STOPPED;
        return '3';
    }
    // A client that stalls in the exchange, or later takes nothing we
    // send, would hold the device for ever: the pump's silence rule is
    // never reached while it blocks in a send.
    socket->SetSendIdleLimit(m_stallMs);
    socket->SetDeadline(m_stallMs);
    bool negotiated = Negotiate(socket, stop);
    socket->SetDeadline(0);
    if (!negotiated) {
        *code = DATA_REFUSED_CAPABILITIES;
        return '3';
    }
    m_socket = socket;
    m_stop = stop;
    m_lastReceive = m_events->GetTickMs();
    m_api->FlushRequests();
    CThread* pump = CThread::Create(PumpThread, this, CTHREAD_JOINABLE);
    if (!pump) {
        *code = DATA_REFUSED_NO_THREAD;
        m_large = false;
        return '3';
    }
    PumpNetworkToDriver();
    stop->Set();
    m_api->FlushRequests();
    // The pump uses this object and the socket: wait for it as long as it
    // takes. Its sends abort on the stop event, so it ends soon.
    while (pump->Join(m_pumpJoinSliceMs) == SYNC_TIMEOUT)
        Debug(__LINE__, ERROR_TIMEOUT);
    delete pump;
    if (m_api->NeedsReset())
        m_api->ResetDevice();
    m_large = false;
    m_socket = nullptr;
    return '2';
}

int CDataConnection::PumpThread(void* self)
{
    CDataConnection* connection = static_cast<CDataConnection*>(self);
    try {
        connection->SendDescriptorsAndPump();
    } catch (...) {
        connection->Debug(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
    }
    // Either direction ending ends the other.
    connection->m_stop->Set();
    return 0;
}

bool CDataConnection::EnsureReadBuffer(uint32_t size)
{
    if (size > Largest())
        return false;
    if (m_api->GetReadBuffer() && m_readCapacity >= size)
        return true;
    size_t capacity = BufferSizeFor(size);
    if (!m_api->AllocReadBuffer(capacity + RECORD_HEAD, RECORD_HEAD, 0)) {
        m_readCapacity = 0;
        return false;
    }
    m_readCapacity = capacity;
    return true;
}

bool CDataConnection::EnsureWriteBuffer(uint32_t size)
{
    if (size > Largest())
        return false;
    if (m_api->GetWriteBuffer() && m_writeCapacity >= size)
        return true;
    // The head of a message that is being received stays.
    uint8_t kept[RECORD_HEAD + 32] = {};
    bool keep = m_api->GetWriteBuffer() != nullptr;
    if (keep)
        memcpy(kept, m_api->GetWriteBuffer(), std::min(sizeof kept, RECORD_HEAD + m_writeCapacity));
    size_t capacity = BufferSizeFor(size);
    uint8_t* buffer = m_api->AllocWriteBuffer(capacity + RECORD_HEAD, RECORD_HEAD, 0);
    if (!buffer) {
        m_writeCapacity = 0;
        return false;
    }
    if (keep)
        memcpy(buffer, kept, sizeof kept);
    m_writeCapacity = capacity;
    return true;
}

void CDataConnection::SendDescriptorsAndPump()
{
    if (m_stop->IsSet())
        return;
    // The device's silence is counted from before the client hears the
    // blocks, so what the client sees next is already within the count.
    uint32_t start = m_events->GetTickMs();
    // '2', the two lengths, the two blocks.
    std::vector<uint8_t> block(9 + m_hardwareIds.size() + m_compatibleIds.size());
    block[0] = '2';
    Put32(&block[1], static_cast<uint32_t>(m_hardwareIds.size()));
    Put32(&block[5], static_cast<uint32_t>(m_compatibleIds.size()));
    memcpy(&block[9], m_hardwareIds.data(), m_hardwareIds.size());
    memcpy(&block[9 + m_hardwareIds.size()], m_compatibleIds.data(), m_compatibleIds.size());
    if (m_socket->Send(block.data(), block.size(), m_stop) != SOCK_OK)
        return Debug(__LINE__, 0);
    PumpDriverToNetwork(start);
}

void CDataConnection::MarkActive()
{
    if (m_inactive) {
        m_inactive = false;
        m_events->SetInactive(false);
    }
}

void CDataConnection::PumpDriverToNetwork(uint32_t start)
{
    uint32_t now = m_events->GetTickMs();
    m_lastReceive = now;
    uint32_t lastPing = now;
    m_lastActivity = start;
    m_inactive = false;
    if (!EnsureReadBuffer(FirstSize()))
        return NoMemory();
    int wait = static_cast<int>(DATA_PING_INTERVAL_MS);
    for (;;) {
        int ready = m_api->WaitReadable(m_stop, wait);
        if (ready == SYNC_ABORTED)
            return;
        if (ready == SYNC_OK) {
            int result = m_api->ReadMessage();
            if (result == STUB_READ_TOO_SMALL) {
                uint32_t needed = Get32(m_api->GetReadBuffer() + RECORD_HEAD + STUB_MESSAGE_LENGTH_OFFSET);
                if (!EnsureReadBuffer(needed))
                    return NoMemory();
                result = m_api->ReadMessage();
            }
            if (result == STUB_READ_OK) {
                uint8_t* buffer = m_api->GetReadBuffer();
                uint8_t* message = buffer + RECORD_HEAD;
                uint32_t length = Get32(message + STUB_MESSAGE_LENGTH_OFFSET);
                if (length < STUB_MESSAGE_MIN || length > m_readCapacity)
                    return Debug(__LINE__, length);
                bool forward = true;
                if (Get32(message + STUB_MESSAGE_KIND_OFFSET) == STUB_KIND_DRIVER_REQUEST) {
                    if (Get32(message + STUB_MESSAGE_STATUS_OFFSET) == STUB_STATUS_SELECT_CONFIGURATION) {
                        m_events->SetDeviceConfiguration(m_deviceId, message[STUB_MESSAGE_CONFIG_OFFSET]);
                        m_configurationHandled = true;
                        forward = false;
                    } else {
                        m_configurationHandled = false;
                    }
                    m_configuration.Set();
                }
                if (forward) {
                    Put32(buffer, DATA_RECORD_MESSAGE);
                    Put32(buffer + 4, length);
                    if (m_socket->Send(buffer, RECORD_HEAD + length, m_stop) != SOCK_OK)
                        return Debug(__LINE__, 0);
                }
                MarkActive();
                m_lastActivity = lastPing = m_events->GetTickMs();
            } else if (result != STUB_READ_NONE) {
                return Debug(__LINE__, static_cast<uint32_t>(result));
            }
        }
        now = m_events->GetTickMs();
        if (now - m_lastReceive.load() > DATA_SILENCE_LIMIT_MS - 1)
            return Debug(__LINE__, 0);
        if (now - lastPing > DATA_PING_INTERVAL_MS - 1) {
            uint32_t ping[2] = {DATA_RECORD_PING, 0};
            if (m_socket->Send(ping, sizeof ping, m_stop) != SOCK_OK)
                return Debug(__LINE__, 0);
            lastPing = now;
        }
        uint32_t timeout = m_timeout.load();
        if (timeout != 0 && !m_inactive && now - m_lastActivity >= timeout * 1000) {
            m_inactive = true;
            m_events->SetInactive(true);
        }
        wait = PingWait(lastPing, now);
    }
}

void CDataConnection::PumpNetworkToDriver()
{
    if (!EnsureWriteBuffer(FirstSize()))
        return NoMemory();
    for (;;) {
        uint8_t header[RECORD_HEAD];
        if (m_socket->Receive(header, sizeof header, m_stop) != SOCK_OK)
            return Debug(__LINE__, 0);
        m_lastReceive = m_events->GetTickMs();
        uint32_t type = Get32(header);
        uint32_t length = Get32(header + 4);
        if (type == DATA_RECORD_PING)
            continue;
        if (type != DATA_RECORD_MESSAGE || length < STUB_MESSAGE_MIN)
            return Debug(__LINE__, type);
        if (length > m_writeCapacity) {
            if (!m_large)
                return Debug(__LINE__, length);
            if (!EnsureWriteBuffer(length))
                return NoMemory();
        }
        uint8_t* message = m_api->GetWriteBuffer() + RECORD_HEAD;
        if (m_socket->Receive(message, length, m_stop) != SOCK_OK)
            return Debug(__LINE__, 0);
        // The driver reads as many bytes as the message's own length word
        // says: one that differs from what arrived would make it read
        // bytes of an earlier message.
        if (Get32(message + STUB_MESSAGE_LENGTH_OFFSET) != length)
            return Debug(__LINE__, length);
        for (;;) {
            if (m_api->WriteMessage() != STUB_WRITE_OK)
                return Debug(__LINE__, 0);
            if (Get32(message + STUB_MESSAGE_KIND_OFFSET) != STUB_KIND_DRIVER_REQUEST)
                break;
            if (m_configuration.WaitAbortable(m_stop, -1) != SYNC_OK)
                return;
            m_configuration.Reset();
            if (!m_configurationHandled)
                break;
        }
    }
}
