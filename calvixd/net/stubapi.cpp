#include "calvixd/net/stubapi.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "calvixd/net/ravelblocks.h"
#include "calvixd/net/ravelsys.h"

namespace {

constexpr int WAIT_SLICE_MS = 500;
constexpr uint8_t RESET_MODE_MAX = 3;

} // namespace

CStubApiKmod::CStubApiKmod(uint32_t stubNumber) : CStubApi(stubNumber)
{
    char path[64];
    snprintf(path, sizeof(path), RAVEL_STUB_NODE_FORMAT, stubNumber);
    m_path = path;
    int fd = OpenRavelNode(path);
    if (fd < 0)
        throw new CExceptionEx(MODULE_STUBAPIKMOD, __LINE__, static_cast<uint32_t>(-fd));
    m_fd = fd;
}

CStubApiKmod::~CStubApiKmod()
{
    if (m_fd >= 0)
        ravelSys->close(m_fd);
    free(m_readBuffer);
    free(m_writeBuffer);
}

bool CStubApiKmod::Allocate(size_t size, size_t head, size_t tail, uint8_t** buffer, uint8_t** message,
                            size_t* capacity)
{
    if (head >= size || tail >= size || head + tail >= size || size - head - tail < STUB_MESSAGE_MIN)
        return false;
    free(*buffer);
    *buffer = static_cast<uint8_t*>(malloc(size));
    if (!*buffer) {
        *message = nullptr;
        *capacity = 0;
        return false;
    }
    *message = *buffer + head;
    *capacity = size - head - tail;
    return true;
}

uint8_t* CStubApiKmod::AllocReadBuffer(size_t size, size_t head, size_t tail)
{
    if (!Allocate(size, head, tail, &m_readBuffer, &m_readMessage, &m_readCapacity))
        return nullptr;
    return m_readBuffer;
}

uint8_t* CStubApiKmod::AllocWriteBuffer(size_t size, size_t head, size_t tail)
{
    if (!Allocate(size, head, tail, &m_writeBuffer, &m_writeMessage, &m_writeCapacity))
        return nullptr;
    return m_writeBuffer;
}

int CStubApiKmod::WaitReadable(CEvent* abort, int ms)
{
    uint32_t start = GetTickCountMs();
    for (;;) {
        if (abort && abort->IsSet())
            return SYNC_ABORTED;
        int slice = WAIT_SLICE_MS;
        if (ms >= 0) {
            uint32_t spent = GetTickCountMs() - start;
            if (spent >= static_cast<uint32_t>(ms))
                return SYNC_TIMEOUT;
            if (static_cast<uint32_t>(ms) - spent < static_cast<uint32_t>(slice))
                slice = static_cast<int>(static_cast<uint32_t>(ms) - spent);
        }
        // poll, not select: the descriptor may be numbered above FD_SETSIZE.
        struct pollfd entry = {m_fd, POLLIN, 0};
        int ready = poll(&entry, 1, slice);
        if (ready > 0)
            return (entry.revents & (POLLERR | POLLNVAL)) ? SYNC_ERROR : SYNC_OK;
        if (ready < 0 && errno != EINTR)
            return SYNC_ERROR;
    }
}

int CStubApiKmod::Request(unsigned long request, void* block)
{
    int result;
    do {
        result = ravelSys->ioctl(m_fd, request, block);
    } while (result == -ERESTART);
    if (result < 0)
        errno = -result;
    return result;
}

int CStubApiKmod::ReadMessage()
{
    if (!m_readMessage)
        return STUB_READ_FAILED;
    WriteU32(m_readMessage + STUB_MESSAGE_LENGTH_OFFSET, static_cast<uint32_t>(m_readCapacity));
    int result = Request(RAVEL_READ_MESSAGE, m_readMessage);
    if (result == -ENODATA)
        return STUB_READ_NONE;
    if (result == -EMSGSIZE)
        return STUB_READ_TOO_SMALL;
    if (result < 0)
        return STUB_READ_FAILED;
    // The length is the driver's word: a message that does not fit what was
    // offered, or is shorter than its own header, is not passed on.
    uint32_t length = ReadU32(m_readMessage + STUB_MESSAGE_LENGTH_OFFSET);
    if (length < STUB_MESSAGE_MIN || length > m_readCapacity)
        return STUB_READ_FAILED;
    uint8_t* status = m_readMessage + STUB_MESSAGE_STATUS_OFFSET;
    WriteU32(status, MapStubStatus(static_cast<int32_t>(ReadU32(status))));
    return STUB_READ_OK;
}

int CStubApiKmod::WriteMessage()
{
    if (!m_writeMessage)
        return STUB_WRITE_FAILED;
    if (ReadU32(m_writeMessage + STUB_MESSAGE_LENGTH_OFFSET) > m_writeCapacity)
        return STUB_WRITE_FAILED;
    return Request(RAVEL_WRITE_MESSAGE, m_writeMessage) < 0 ? STUB_WRITE_FAILED : STUB_WRITE_OK;
}

int CStubApiKmod::FlushRequests()
{
    uint8_t block[4];
    WriteU32(block, sizeof(block));
    return Request(RAVEL_FLUSH_REQUESTS, block);
}

bool CStubApiKmod::SetFlags(uint32_t flags)
{
    uint8_t block[8];
    WriteU32(block, sizeof(block));
    WriteU32(block + 4, flags);
    return Request(RAVEL_SET_FLAGS, block) >= 0;
}

bool CStubApiKmod::SetResetMode(uint8_t mode)
{
    if (mode > RESET_MODE_MAX) {
        errno = EINVAL;
        return false;
    }
    uint8_t block[8];
    WriteU32(block, sizeof(block));
    WriteU32(block + 4, mode);
    return Request(RAVEL_SET_RESET_MODE, block) >= 0;
}

bool CStubApiKmod::NeedsReset()
{
    uint8_t block[8];
    WriteU32(block, sizeof(block));
    WriteU32(block + 4, 0);
    if (Request(RAVEL_NEEDS_RESET, block) < 0)
        return false;
    return ReadU32(block + 4) != 0;
}

bool CStubApiKmod::ResetDevice()
{
    uint8_t block[4];
    WriteU32(block, sizeof(block));
    return Request(RAVEL_RESET_DEVICE, block) >= 0;
}
