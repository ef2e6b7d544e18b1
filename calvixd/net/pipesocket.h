// Local stream sockets in the abstract Unix namespace: URLs "pipe://name".
// The address is always the whole sockaddr_un, zero-padded after the name,
// so peers must use the same padded form.
#pragma once

#include "calvixd/net/socket.h"

class CPipeSocket : public CSocketBase {
public:
    CPipeSocket();
    ~CPipeSocket() override;
    CPipeSocket(const CPipeSocket&) = delete;
    CPipeSocket& operator=(const CPipeSocket&) = delete;

    int GetKind() override { return SOCKET_KIND_PIPE; }
    int GetHandle() override { return m_handle.Get(); }
    void SetDeadline(uint32_t ms) override { m_handle.SetDeadline(ms); }
    void SetSendIdleLimit(uint32_t ms) override { m_handle.SetSendIdleLimit(ms); }

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

private:
    CPipeSocket(int fd, const std::string& name);
    void UpdateNames();
    int MakeDescriptor();

    CSocketHandle m_handle{MODULE_PIPESOCKET};
    std::string m_name;
};
