// USB mass storage bulk-only transport (command block wrapper, data stage,
// command status wrapper) with the few SCSI commands the VM suite and the
// disk benchmark need. The bulk pipes are the caller's: the protocol client
// over ovusbd, or usbfs directly.
//
//   bulkonly::Session disk(transport);
//   disk.waitReady(20);                     // TEST UNIT READY, sense on failure
//   disk.capacity(&blocks, &blockSize);
//   disk.read(lba, count, &bytes);          // READ(10)
//   disk.write(lba, bytes);                 // WRITE(10)
#pragma once

#include <cstdint>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bulkonly {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;

// A command block wrapper: tag, data length, direction, LUN and the CDB
// (1 to 16 bytes).
std::vector<uint8_t> commandBlockWrapper(uint32_t tag, uint32_t dataLength, bool in, uint8_t lun,
                                         const std::vector<uint8_t>& cdb);

struct CommandStatus {
    uint32_t tag = 0, residue = 0;
    uint8_t status = 0;  // 0 passed, 1 failed, 2 phase error
};
// False unless the bytes are exactly one wrapper with the right signature.
bool parseCommandStatus(const std::vector<uint8_t>& bytes, CommandStatus* out);

std::vector<uint8_t> testUnitReady();
std::vector<uint8_t> requestSense(uint8_t length);
std::vector<uint8_t> readCapacity10();
std::vector<uint8_t> read10(uint32_t lba, uint16_t blocks);
std::vector<uint8_t> write10(uint32_t lba, uint16_t blocks);

// FNV-1a (64 bit), continued from hash. The disk benchmark's rows each hash
// the first kChecksumBytes of the disk they read and compare with the image.
constexpr uint64_t kFnvStart = 0xcbf29ce484222325ull;
constexpr uint32_t kChecksumBytes = 1u << 20;
uint64_t fnv1a(uint64_t hash, const uint8_t* bytes, size_t n);

// The two bulk pipes. in() receives at most length bytes into data; both
// return false when the transfer failed (the text says why).
struct Transport {
    std::function<bool(const std::vector<uint8_t>& data, std::string* why)> out;
    std::function<bool(uint32_t length, std::vector<uint8_t>* data, std::string* why)> in;
};

class Session {
public:
    explicit Session(Transport transport) : transport_(std::move(transport)) {}

    // One command: wrapper, data stage (IN into inData, or OUT from outData),
    // status wrapper whose tag must match. False on a transport failure or a
    // malformed status; a failed command is status.status != 0.
    bool command(const std::vector<uint8_t>& cdb, bool in, uint32_t dataLength, std::vector<uint8_t>* inData,
                 const std::vector<uint8_t>* outData, CommandStatus* status);
    // TEST UNIT READY until it passes (clearing unit attentions with
    // REQUEST SENSE), at most tries times.
    bool waitReady(int tries);
    bool capacity(uint32_t* blocks, uint32_t* blockSize);
    bool read(uint32_t lba, uint16_t blocks, std::vector<uint8_t>* data);
    bool write(uint32_t lba, const std::vector<uint8_t>& data);
    // Waits for the unit, then reads mib MiB with READ(10) commands of chunk
    // bytes each, from the start of the disk and wrapping at its end; the
    // rate of the reads alone in MB/s. With checksum, also the FNV-1a of the
    // first kChecksumBytes read (or all, when fewer), its time left out of
    // the rate.
    bool readThroughput(uint32_t mib, uint32_t chunk, double* megabytesPerSecond, uint64_t* checksum = nullptr);

    uint32_t blockSize = 512;
    // Bulk transfers made through the transport so far.
    uint64_t transfers = 0;
    const std::string& error() const { return error_; }

private:
    Transport transport_;
    uint32_t tag_ = 1;
    std::string error_;
};

} // namespace bulkonly
