// The stub device of one device that the `ravel` driver has claimed
// ("/dev/raveld_cdev_%u"): the driver's messages for the client are read
// from it, the client's messages written to it, and the device's reset mode,
// flags and resets set through it.
//
// Used by at most two threads at a time: one reads (WaitReadable,
// ReadMessage, the read buffer), the other writes (WriteMessage, the write
// buffer); the setters run while neither buffer changes hands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sys/thread"

// ReadMessage results.
constexpr int STUB_READ_OK = 0;
constexpr int STUB_READ_FAILED = 1;
constexpr int STUB_READ_TOO_SMALL = 7;
constexpr int STUB_READ_NONE = 8;
// WriteMessage results.
constexpr int STUB_WRITE_OK = 0;
constexpr int STUB_WRITE_FAILED = 1;

class CStubApi {
public:
    explicit CStubApi(uint32_t stubNumber) : m_stubNumber(stubNumber) {}
    virtual ~CStubApi() {}
    CStubApi(const CStubApi&) = delete;
    CStubApi& operator=(const CStubApi&) = delete;

    uint32_t GetStubNumber() const { return m_stubNumber; }

    // A buffer of size bytes whose message sits head bytes in, with tail
    // bytes kept free at the end. Null (and the old buffer kept) when head,
    // tail or their sum is not below size or fewer than 24 bytes remain;
    // null and no buffer when the allocation fails. The object owns it.
    virtual uint8_t* AllocReadBuffer(size_t size, size_t head, size_t tail) = 0;
    virtual uint8_t* AllocWriteBuffer(size_t size, size_t head, size_t tail) = 0;
    // Start of the buffers (not of the messages); null when none.
    virtual uint8_t* GetReadBuffer() = 0;
    virtual uint8_t* GetWriteBuffer() = 0;
    // Waits until the driver has a message: SYNC_OK, SYNC_TIMEOUT, SYNC_ABORTED
    // (abort set before a slice) or SYNC_ERROR. ms < 0 waits without limit.
    virtual int WaitReadable(CEvent* abort, int ms) = 0;
    // STUB_READ_*: on success the message is in the read buffer with its
    // status mapped to the client's code; on STUB_READ_TOO_SMALL its length
    // word holds the length the driver needs.
    virtual int ReadMessage() = 0;
    // Writes the message in the write buffer. STUB_WRITE_*.
    virtual int WriteMessage() = 0;
    // The ioctl's result or -errno.
    virtual int FlushRequests() = 0;
    virtual bool SetFlags(uint32_t flags) = 0;
    // Modes 0 to 3; another value fails with errno EINVAL without a request.
    virtual bool SetResetMode(uint8_t mode) = 0;
    virtual bool NeedsReset() = 0;
    virtual bool ResetDevice() = 0;

protected:
    uint32_t m_stubNumber;
};

class CStubApiKmod : public CStubApi {
public:
    // Opens the stub device (through ravelSys, waiting for a node that is
    // created late). Throws CExceptionEx* (module 9, errno).
    explicit CStubApiKmod(uint32_t stubNumber);
    ~CStubApiKmod() override;

    uint8_t* AllocReadBuffer(size_t size, size_t head, size_t tail) override;
    uint8_t* AllocWriteBuffer(size_t size, size_t head, size_t tail) override;
    uint8_t* GetReadBuffer() override { return m_readBuffer; }
    uint8_t* GetWriteBuffer() override { return m_writeBuffer; }
    int WaitReadable(CEvent* abort, int ms) override;
    int ReadMessage() override;
    int WriteMessage() override;
    int FlushRequests() override;
    bool SetFlags(uint32_t flags) override;
    bool SetResetMode(uint8_t mode) override;
    bool NeedsReset() override;
    bool ResetDevice() override;

    // The messages and their capacities (size - head - tail).
    uint8_t* GetReadMessage() { return m_readMessage; }
    uint8_t* GetWriteMessage() { return m_writeMessage; }
    size_t GetReadCapacity() const { return m_readCapacity; }
    size_t GetWriteCapacity() const { return m_writeCapacity; }

private:
    static bool Allocate(size_t size, size_t head, size_t tail, uint8_t** buffer, uint8_t** message,
                         size_t* capacity);
    // ioctl repeated while the driver answers ERESTART: result or -errno.
    int Request(unsigned long request, void* block);

    int m_fd = -1;
    std::string m_path;
    uint8_t* m_writeBuffer = nullptr;
    uint8_t* m_readBuffer = nullptr;
    uint8_t* m_writeMessage = nullptr;
    uint8_t* m_readMessage = nullptr;
    size_t m_writeCapacity = 0;
    size_t m_readCapacity = 0;
};
