#include "tests/support/bulkonly.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace bulkonly {

namespace {

void put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out[at + i] = uint8_t(value >> (8 * i));
    }
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t getBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// SCSI CDBs are big-endian.
std::vector<uint8_t> rw10(uint8_t op, uint32_t lba, uint16_t blocks) {
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
            uint8_t(blocks >> 8), uint8_t(blocks), 0};
}

} // namespace

std::vector<uint8_t> commandBlockWrapper(uint32_t tag, uint32_t dataLength, bool in, uint8_t lun,
                                         const std::vector<uint8_t>& cdb) {
    std::vector<uint8_t> cbw(kCbwSize, 0);
    put32(cbw, 0, kCbwSignature);
    put32(cbw, 4, tag);
    put32(cbw, 8, dataLength);
    cbw[12] = in ? 0x80 : 0x00;
    cbw[13] = lun & 0x0f;
    const size_t n = cdb.size() > 16 ? 16 : cdb.size();
    cbw[14] = uint8_t(n);
    for (size_t i = 0; i < n; i++) {
        cbw[15 + i] = cdb[i];
    }
    return cbw;
}

bool parseCommandStatus(const std::vector<uint8_t>& bytes, CommandStatus* out) {
    if (bytes.size() != kCswSize || get32(bytes.data()) != kCswSignature) {
        return false;
    }
    out->tag = get32(bytes.data() + 4);
    out->residue = get32(bytes.data() + 8);
    out->status = bytes[12];
    return true;
}

std::vector<uint8_t> testUnitReady() {
    return std::vector<uint8_t>(6, 0);
}

std::vector<uint8_t> requestSense(uint8_t length) {
    return {0x03, 0, 0, 0, length, 0};
}

std::vector<uint8_t> readCapacity10() {
    return std::vector<uint8_t>{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

std::vector<uint8_t> read10(uint32_t lba, uint16_t blocks) {
    return rw10(0x28, lba, blocks);
}

std::vector<uint8_t> write10(uint32_t lba, uint16_t blocks) {
    return rw10(0x2a, lba, blocks);
}

uint64_t fnv1a(uint64_t hash, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; i++) {
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    }
    return hash;
}

bool Session::command(const std::vector<uint8_t>& cdb, bool in, uint32_t dataLength, std::vector<uint8_t>* inData,
                      const std::vector<uint8_t>* outData, CommandStatus* status) {
    const uint32_t tag = tag_++;
    std::string why;
    transfers += dataLength > 0 ? 3 : 2;
    if (!transport_.out(commandBlockWrapper(tag, dataLength, in, 0, cdb), &why)) {
        error_ = "command wrapper: " + why;
        return false;
    }
    if (dataLength > 0) {
        bool ok = in ? transport_.in(dataLength, inData, &why) : transport_.out(*outData, &why);
        if (!ok) {
            error_ = "data stage: " + why;
            return false;
        }
    }
    std::vector<uint8_t> csw;
    if (!transport_.in(kCswSize, &csw, &why)) {
        error_ = "status wrapper: " + why;
        return false;
    }
    if (!parseCommandStatus(csw, status) || status->tag != tag) {
        error_ = "malformed status wrapper (" + std::to_string(csw.size()) + " bytes)";
        return false;
    }
    return true;
}

bool Session::waitReady(int tries) {
    for (int i = 0; i < tries; i++) {
        CommandStatus status;
        if (!command(testUnitReady(), false, 0, nullptr, nullptr, &status)) {
            return false;
        }
        if (status.status == 0) {
            return true;
        }
        std::vector<uint8_t> sense;
        if (!command(requestSense(18), true, 18, &sense, nullptr, &status)) {
            return false;
        }
    }
    error_ = "the unit never became ready";
    return false;
}

bool Session::capacity(uint32_t* blocks, uint32_t* size) {
    std::vector<uint8_t> data;
    CommandStatus status;
    if (!command(readCapacity10(), true, 8, &data, nullptr, &status)) {
        return false;
    }
    if (status.status != 0 || data.size() != 8) {
        error_ = "READ CAPACITY failed";
        return false;
    }
    *blocks = getBe32(data.data()) + 1;
    *size = getBe32(data.data() + 4);
    blockSize = *size;
    return true;
}

bool Session::read(uint32_t lba, uint16_t blocks, std::vector<uint8_t>* data) {
    CommandStatus status;
    const uint32_t length = uint32_t(blocks) * blockSize;
    if (!command(read10(lba, blocks), true, length, data, nullptr, &status)) {
        return false;
    }
    if (status.status != 0 || status.residue != 0 || data->size() != length) {
        char text[96];
        snprintf(text, sizeof text, "READ(10) status %u residue %u, %zu of %u bytes", status.status,
                 status.residue, data->size(), length);
        error_ = text;
        return false;
    }
    return true;
}

bool Session::write(uint32_t lba, const std::vector<uint8_t>& data) {
    CommandStatus status;
    const uint16_t blocks = uint16_t(data.size() / blockSize);
    if (!command(write10(lba, blocks), false, uint32_t(data.size()), nullptr, &data, &status)) {
        return false;
    }
    if (status.status != 0 || status.residue != 0) {
        error_ = "WRITE(10) status " + std::to_string(status.status) + " residue " + std::to_string(status.residue);
        return false;
    }
    return true;
}

bool Session::readThroughput(uint32_t mib, uint32_t chunk, double* rate, uint64_t* checksum) {
    uint32_t blocks = 0, size = 0;
    if (!waitReady(20) || !capacity(&blocks, &size)) {
        return false;
    }
    if (chunk == 0 || chunk % size != 0 || chunk / size > 0xffff || chunk / size > blocks) {
        error_ = "chunk of " + std::to_string(chunk) + " bytes does not suit the disk";
        return false;
    }
    const uint16_t perRead = uint16_t(chunk / size);
    const uint64_t total = uint64_t(mib) << 20;
    std::vector<uint8_t> data;
    uint32_t lba = 0;
    uint64_t hash = kFnvStart;
    std::chrono::steady_clock::duration hashing{};
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t done = 0; done < total; done += chunk) {
        if (lba + perRead > blocks) {
            lba = 0;
        }
        if (!read(lba, perRead, &data)) {
            return false;
        }
        lba += perRead;
        if (checksum != nullptr && done < kChecksumBytes) {
            const auto from = std::chrono::steady_clock::now();
            hash = fnv1a(hash, data.data(), size_t(std::min<uint64_t>(chunk, kChecksumBytes - done)));
            hashing += std::chrono::steady_clock::now() - from;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start - hashing).count();
    if (checksum != nullptr) {
        *checksum = hash;
    }
    *rate = double(total) / seconds / 1e6;
    return true;
}

} // namespace bulkonly
