// TCP stream sockets: URLs "tcp://host:port", "tcp4://", "tcp6://" and
// "host:port" without a scheme (then AddressFamilyPreference decides).
#pragma once

#include "calvixd/net/socket.h"

// Resolves a TCP URL into a socket address. Throws CExceptionEx*(module,
// line, 64 or 32).
ENDPOINT_ADDRESS ParseTcpUrl(const std::string& url, uint16_t module);

class CTcpSocket : public CSocketBase {
public:
    CTcpSocket();
    ~CTcpSocket() override;
    CTcpSocket(const CTcpSocket&) = delete;
    CTcpSocket& operator=(const CTcpSocket&) = delete;

    int GetKind() override { return SOCKET_KIND_TCP; }
    int GetHandle() override { return m_handle.Get(); }
    void SetDeadline(uint32_t ms) override { m_handle.SetDeadline(ms); }
    void SetSendIdleLimit(uint32_t ms) override { m_handle.SetSendIdleLimit(ms); }
    void GetPeerAddress(ADDRESS* address, uint16_t* port) override;

protected:
    void DoConnect(const std::string& url, CEvent* abort) override;
    void DoListen(const std::string& url) override;
    CSocket* DoAccept(CEvent* abort) override;
    void DoClose() override { m_handle.Close(); }
    void DoReceive(void* buffer, size_t length, CEvent* abort) override { m_handle.Receive(buffer, length, abort); }
    size_t DoReceiveSome(void* buffer, size_t length) override
    {
        return m_handle.ReceiveSome(buffer, length, false, nullptr);
    }
    size_t DoReceiveSomeAbortable(void* buffer, size_t length, CEvent* abort) override
    {
        return m_handle.ReceiveSome(buffer, length, true, abort);
    }
    void DoSend(const void* buffer, size_t length, CEvent* abort) override { m_handle.Send(buffer, length, abort); }
    size_t DoSendSome(const void* buffer, size_t length) override
    {
        return m_handle.SendSome(buffer, length, false, nullptr);
    }
    size_t DoSendSomeAbortable(const void* buffer, size_t length, CEvent* abort) override
    {
        return m_handle.SendSome(buffer, length, true, abort);
    }
    void DoSetNoDelay() override;

private:
    // An accepted connection.
    CTcpSocket(int fd, const ENDPOINT_ADDRESS& peer);
    void UpdateNames();
    // A new non-blocking socket of the endpoint's family.
    int MakeDescriptor();

    CSocketHandle m_handle{MODULE_TCPSOCKET};
    // Guarded by the connect/listen operation bit while it is written; read
    // only in later states.
    ENDPOINT_ADDRESS m_endpoint;
};
