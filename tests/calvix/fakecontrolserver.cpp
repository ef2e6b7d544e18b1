#include "tests/calvix/fakecontrolserver.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace fakecalvixd {

namespace {

constexpr uint32_t kMagic = 0x4946534E;  // "NSFI"
const char kSocketName[] = "calvixd.pipe";

// Reads exactly length bytes; false on end of stream or error.
bool ReadExact(int fd, void* buffer, size_t length, std::vector<uint8_t>* log)
{
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        struct pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, 5000);
        if (ready <= 0)
            return false;
        ssize_t n = recv(fd, bytes + done, length - done, 0);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    if (log)
        log->insert(log->end(), bytes, bytes + length);
    return true;
}

bool WriteAll(int fd, const std::vector<uint8_t>& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Request reader over one connection; every byte read is logged.
class CIn {
public:
    CIn(int fd, std::vector<uint8_t>& log) : m_fd(fd), m_log(log) {}
    bool U8(uint8_t& v) { return ReadExact(m_fd, &v, 1, &m_log); }
    bool U16(uint16_t& v)
    {
        uint8_t b[2];
        if (!ReadExact(m_fd, b, 2, &m_log))
            return false;
        v = static_cast<uint16_t>(b[0] | b[1] << 8);
        return true;
    }
    bool U32(uint32_t& v)
    {
        uint8_t b[4];
        if (!ReadExact(m_fd, b, 4, &m_log))
            return false;
        v = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        return true;
    }
    bool Text(std::string& text, uint32_t maxLength)
    {
        uint32_t length = 0;
        if (!U32(length) || length > maxLength)
            return false;
        text.assign(length, '\0');
        return length == 0 || ReadExact(m_fd, text.data(), length, &m_log);
    }

private:
    int m_fd;
    std::vector<uint8_t>& m_log;
};

std::vector<uint8_t> Status(bool ok)
{
    std::vector<uint8_t> out;
    PutU32(out, ok ? 1 : 0);
    return out;
}

std::vector<uint8_t> Failure(const ErrorRecord& record)
{
    std::vector<uint8_t> out;
    PutU32(out, 0);
    PutU16(out, record.module);
    PutU16(out, record.line);
    PutU32(out, record.error);
    return out;
}

void PutRuleList(std::vector<uint8_t>& out, const RuleList& list)
{
    PutU8(out, list.mode);
    PutU32(out, static_cast<uint32_t>(list.rules.size()));
    for (const std::string& rule : list.rules)
        PutText(out, rule);
}

bool ReadTexts(CIn& in, std::vector<std::string>& texts, bool stopOnFailure)
{
    uint32_t count = 0;
    if (!in.U32(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        std::string text;
        if (!in.Text(text, 4096))
            return !stopOnFailure ? false : true;
        if (!text.empty())
            texts.push_back(text);
    }
    return true;
}

} // namespace

bool EnterPrivateNamespaces()
{
    static bool entered = unshare(CLONE_NEWNET | CLONE_NEWIPC) == 0;
    return entered;
}

WireAddress Ipv4(const char* text)
{
    WireAddress bytes(4);
    inet_pton(AF_INET, text, bytes.data());
    return bytes;
}

WireAddress Ipv6(const char* text)
{
    WireAddress bytes(16);
    inet_pton(AF_INET6, text, bytes.data());
    return bytes;
}

void PutU8(std::vector<uint8_t>& out, uint8_t value)
{
    out.push_back(value);
}

void PutU16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutText(std::vector<uint8_t>& out, const std::string& text)
{
    PutU32(out, static_cast<uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

void PutAddress(std::vector<uint8_t>& out, const WireAddress& address)
{
    PutU32(out, static_cast<uint32_t>(address.size()));
    out.insert(out.end(), address.begin(), address.end());
}

static void PutError(std::vector<uint8_t>& out, const ErrorRecord& record)
{
    PutU16(out, record.module);
    PutU16(out, record.line);
    PutU32(out, record.error);
}

std::vector<uint8_t> SnapshotBytes(const Model& model)
{
    std::vector<uint8_t> out;
    PutU32(out, static_cast<uint32_t>(model.connections.size()));
    for (const Connection& c : model.connections) {
        PutU32(out, c.id);
        PutU32(out, c.state);
        PutError(out, c.error);
        PutU32(out, c.platform);
        PutText(out, c.name);
        PutAddress(out, c.address);
        PutU16(out, c.port);
        PutAddress(out, c.secondAddress);
        PutU32(out, c.flags);
        PutU32(out, c.extra);
    }
    PutU32(out, static_cast<uint32_t>(model.devices.size()));
    for (const Device& d : model.devices) {
        PutU32(out, d.id);
        PutU32(out, d.owner);
        PutU32(out, d.state);
        PutError(out, d.error);
        PutU32(out, 0);  // no address list
        PutU32(out, d.flags);
        PutAddress(out, d.clientAddress);
        PutU32(out, d.timeout);
        PutU8(out, d.speed);
        PutU8(out, 0);
        PutU8(out, d.resetMethod);
        PutU8(out, 255);
        PutU16(out, d.vendorId);
        PutU16(out, d.productId);
        PutU16(out, d.bcdDevice);
        PutU8(out, d.deviceClass);
        PutU8(out, d.deviceSubclass);
        PutU8(out, d.deviceProtocol);
        PutText(out, d.product);
        PutText(out, d.nickname);
        PutText(out, d.identity);
        PutText(out, d.serial);
        PutText(out, d.busId);
    }
    PutU32(out, static_cast<uint32_t>(model.usages.size()));
    for (const Usage& u : model.usages) {
        PutU32(out, 0);
        PutU32(out, u.deviceId);
        PutAddress(out, u.address);
        PutText(out, u.clientName);
    }
    return out;
}

Device* Model::FindDevice(uint32_t id)
{
    for (Device& d : devices) {
        if (d.id == id)
            return &d;
    }
    return nullptr;
}

Connection* Model::FindConnection(uint32_t id)
{
    for (Connection& c : connections) {
        if (c.id == id)
            return &c;
    }
    return nullptr;
}

Server::Server() = default;

Server::~Server()
{
    Stop();
}

bool Server::Start()
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, kSocketName, strlen(kSocketName));
    socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + strlen(kSocketName) + 1);
    m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<struct sockaddr*>(&address), length) != 0 ||
        listen(m_listen, 16) != 0) {
        if (m_listen >= 0)
            close(m_listen);
        m_listen = -1;
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this] { AcceptLoop(); });
    return true;
}

void Server::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listen >= 0)
        close(m_listen);
    m_listen = -1;
}

std::vector<Request> Server::Requests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::vector<uint32_t> Server::Codes()
{
    std::vector<uint32_t> codes;
    for (const Request& request : Requests())
        codes.push_back(request.code);
    return codes;
}

void Server::ClearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

void Server::SetAfterRequest(std::function<void(const Request&, Model&)> hook)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_after = std::move(hook);
}

int Server::Notify()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int sent = 0;
    for (int queue : m_model.queues) {
        struct {
            long type;
            char body[1];
        } message = {1, {0}};
        if (msgsnd(queue, &message, 0, IPC_NOWAIT) == 0)
            ++sent;
    }
    return sent;
}

void Server::AcceptLoop()
{
    while (!m_stop) {
        struct pollfd entry = {m_listen, POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0)
            continue;
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        Serve(fd);
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

void Server::Serve(int fd)
{
    uint32_t hello[2];
    if (!ReadExact(fd, hello, sizeof(hello), nullptr) || hello[0] != kMagic)
        return;
    uint32_t granted = With([](Model& m) { return m.grantedFlags; });
    std::vector<uint8_t> grant;
    PutU32(grant, granted);
    WriteAll(fd, grant);
    if ((hello[1] & granted) != granted)
        return;

    Request request;
    CIn in(fd, request.bytes);
    if (!in.U32(request.code))
        return;
    auto logRequest = [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
    };
    bool closeEarly = With([&](Model& m) { return m.closeAfterCode.count(request.code) != 0; });
    if (closeEarly) {
        logRequest();
        return;
    }

    std::vector<uint8_t> reply;
    uint32_t a = 0, b = 0, c = 0;
    uint8_t u8a = 0, u8b = 0;
    bool answered = true;
    std::unique_lock<std::mutex> lock(m_mutex, std::defer_lock);
    auto failWith = [&](uint32_t code) {
        auto found = m_model.failures.find(code);
        if (found == m_model.failures.end())
            return false;
        reply = Failure(found->second);
        return true;
    };
    auto error = [&](uint16_t module, uint16_t line, uint32_t code) { reply = Failure({module, line, code}); };

    switch (request.code) {
    case 0x1002: {
        lock.lock();
        if (failWith(request.code))
            break;
        reply = Status(true);
        std::vector<uint8_t> body =
            m_model.snapshotOverride.empty() ? SnapshotBytes(m_model) : m_model.snapshotOverride;
        reply.insert(reply.end(), body.begin(), body.end());
        break;
    }
    case 0x1007:
        lock.lock();
        if (failWith(request.code))
            break;
        reply = Status(true);
        PutU32(reply, m_model.startupState);
        break;
    case 0x3007:
        lock.lock();
        reply = Status(true);
        PutU32(reply, m_model.version);
        PutText(reply, "USB Calvento for Linux");
        break;
    case 0x1003:
    case 0x1004:
    case 0x1017:
    case 0x1019: {
        if (!in.U32(a))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        if (request.code == 0x1019) {
            auto& list = m_model.connections;
            auto at = std::find_if(list.begin(), list.end(), [&](const Connection& x) { return x.id == a; });
            if (at == list.end()) {
                error(1, 700, 1356);
                break;
            }
            list.erase(at);
            reply = Status(true);
            break;
        }
        Device* d = m_model.FindDevice(a);
        if (!d) {
            error(1, 500, 1354);
            break;
        }
        if (request.code == 0x1003) {
            if (d->state == 3)
                error(1, 510, 1247);
            else
                d->state = 3, reply = Status(true);
        } else if (request.code == 0x1004) {
            if (d->state == 0)
                error(1, 520, 1247);
            else
                d->state = 0, reply = Status(true);
        } else {
            if (d->state != 4 && d->state != 9)
                error(1, 530, 1247);
            else
                d->state = 3, d->owner = 0, reply = Status(true);
        }
        break;
    }
    case 0x1006:
        if (!in.U32(a))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        m_model.tcpPort = static_cast<uint16_t>(a);
        reply = Status(true);
        break;
    case 0x1009:
    case 0x101E:
    case 0x1016:
    case 0x3002:
    case 0x3003: {
        if (!in.U32(a) || !in.U32(b))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        if (request.code == 0x3002 || request.code == 0x3003) {
            Device* d = m_model.FindDevice(b);
            if (!d) {
                error(1, 540, 1354);
                break;
            }
            bool add = request.code == 0x3002;
            if (((d->flags & 2) != 0) == add) {
                error(1, 550, 1247);
                break;
            }
            d->flags = add ? (d->flags | 2) : (d->flags & ~2u);
            reply = Status(true);
            break;
        }
        Device* d = m_model.FindDevice(a);
        if (!d) {
            error(1, 560, 1354);
            break;
        }
        if (request.code == 0x1009) {
            d->timeout = b;
            d->flags = b ? (d->flags | 4) : (d->flags & ~4u);
        } else if (request.code == 0x101E) {
            d->resetMethod = static_cast<uint8_t>(b);
        } else {
            if (d->state == 4 || d->state == 9) {
                error(1, 570, 1247);
                break;
            }
            d->state = 4;
            d->owner = b;
        }
        reply = Status(true);
        break;
    }
    case 0x100A: {
        uint32_t length = 0;
        if (!in.U32(a) || !in.U32(b) || !in.U32(length))
            return;
        std::string text(std::min<uint32_t>(length, 255), '\0');
        if (!text.empty() && !ReadExact(fd, text.data(), text.size(), &request.bytes))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        Device* d = m_model.FindDevice(b);
        if (!d) {
            error(1, 580, 1354);
            break;
        }
        d->nickname = text.c_str();
        d->flags = d->nickname.empty() ? (d->flags & ~0x20u) : (d->flags | 0x20);
        reply = Status(true);
        break;
    }
    case 0x1010:
    case 0x101F:
        if (request.code == 0x101F && !in.U32(a))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        reply = Status(true);
        PutRuleList(reply, request.code == 0x1010 ? m_model.ipFilters : m_model.acls[a]);
        break;
    case 0x1012:
    case 0x1020: {
        if (request.code == 0x1020 && !in.U32(a))
            return;
        RuleList list;
        if (!in.U8(list.mode))
            return;
        bool complete = ReadTexts(in, list.rules, false);
        if (!complete && request.code == 0x1012)
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        if (request.code == 0x1012)
            m_model.ipFilters = list;
        else
            m_model.acls[a] = list;
        reply = Status(true);
        break;
    }
    case 0x1018: {
        std::string text;
        uint16_t port = 0;
        if (!in.Text(text, 254) || !in.U16(port) || !in.U32(a))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        Connection callback;
        callback.id = m_model.nextCallbackId++;
        callback.state = 7;
        callback.flags = 0x2 | (a & 0x1330);
        callback.name = text;
        callback.port = port;
        m_model.connections.push_back(callback);
        reply = Status(true);
        PutU32(reply, callback.id);
        break;
    }
    case 0x101B: {
        uint32_t length = 0;
        if (!in.U32(length) || (length != 4 && length != 16))
            return;
        std::vector<uint8_t> bytes(length);
        if (!ReadExact(fd, bytes.data(), length, &request.bytes))
            return;
        lock.lock();
        reply = Status(true);
        break;
    }
    case 0x1022:
        if (!in.U32(a))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        reply = Status(true);
        {
            const std::vector<uint8_t>& block = m_model.deviceData[a];
            PutU32(reply, static_cast<uint32_t>(block.size()));
            reply.insert(reply.end(), block.begin(), block.end());
        }
        break;
    case 0x1023:
    case 0x3004:
        if (!in.U32(a) || !in.U32(b) || !in.U32(c))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        if (request.code == 0x3004) {
            for (Connection& x : m_model.connections) {
                if (x.id == a)
                    x.flags = a == 0 ? ((x.flags & ~1u) | (c & 1)) : c;
            }
        }
        reply = Status(true);
        break;
    case 0x1024:
    case 0x200E:
        if (!in.U32(a) || !in.U32(b))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        reply = Status(true);
        if (request.code == 0x200E) {
            if (a != 0) {
                error(0, 942, 1349);
                break;
            }
            auto found = m_model.instanceIds.find(b);
            if (found == m_model.instanceIds.end()) {
                error(1, 600, 1351);
                break;
            }
            PutText(reply, found->second);
        }
        break;
    case 0x3008:
    case 0x3009:
        if (!in.U32(a))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        if (request.code == 0x3008)
            m_model.queues.insert(static_cast<int>(a));
        else
            m_model.queues.erase(static_cast<int>(a));
        reply = Status(true);
        break;
    case 0x300B: {
        if (!in.U8(u8a))
            return;
        lock.lock();
        if (failWith(request.code))
            break;
        std::vector<uint8_t> head = Status(true);
        PutU8(head, m_model.policyMode);
        PutU32(head, static_cast<uint32_t>(m_model.policy.size()));
        std::vector<PolicyRule> rules = m_model.policy;
        lock.unlock();
        if (!WriteAll(fd, head))
            return;
        uint32_t wanted = 0;
        if (in.U32(wanted) && wanted != 0) {
            for (const PolicyRule& rule : rules) {
                PutU32(reply, rule.flags);
                PutU16(reply, rule.vendorId);
                PutU16(reply, rule.productId);
                PutU8(reply, rule.deviceClass);
                PutU8(reply, rule.deviceSubclass);
                PutU8(reply, rule.deviceProtocol);
                PutText(reply, rule.port);
                PutText(reply, rule.serial);
                PutText(reply, rule.name);
            }
        }
        lock.lock();
        break;
    }
    case 0x300C: {
        uint32_t count = 0;
        if (!in.U8(u8a) || !in.U8(u8b) || !in.U32(count))
            return;
        std::vector<PolicyRule> rules;
        for (uint32_t i = 0; i < count; ++i) {
            PolicyRule rule;
            if (!in.U32(rule.flags) || !in.U16(rule.vendorId) || !in.U16(rule.productId) ||
                !in.U8(rule.deviceClass) || !in.U8(rule.deviceSubclass) || !in.U8(rule.deviceProtocol) ||
                !in.Text(rule.port, 254) || !in.Text(rule.serial, 254) || !in.Text(rule.name, 254))
                break;
            rules.push_back(rule);
        }
        lock.lock();
        if (failWith(request.code))
            break;
        m_model.policyMode = u8b;
        m_model.policy = rules;
        reply = Status(true);
        break;
    }
    default:
        lock.lock();
        error(13, 2916, 50);
        break;
    }
    (void)answered;
    m_requests.push_back(request);
    if (m_after)
        m_after(request, m_model);
    lock.unlock();
    // A stalled reply ends when the client gives up and closes.
    const size_t statusSize = 4;
    const bool stall = request.code == 0x1002 && stallSnapshots;
    if (stall && stallAfterStatus && reply.size() >= statusSize) {
        WriteAll(fd, std::vector<uint8_t>(reply.begin(), reply.begin() + statusSize));
        reply.erase(reply.begin(), reply.begin() + statusSize);
    }
    while (stall && stallSnapshots && !m_stop) {
        struct pollfd entry = {fd, POLLIN, 0};
        char byte;
        if (poll(&entry, 1, 5) > 0 && recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0)
            return;
    }
    WriteAll(fd, reply);
}

} // namespace fakecalvixd
