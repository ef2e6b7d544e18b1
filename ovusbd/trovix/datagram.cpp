#include "ovusbd/trovix/datagram.h"

#include <errno.h>
#include <string.h>

namespace {

uint32_t readBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t readBe16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void putBe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// A text field that need not hold its NUL: cut at the field's end.
void copyText(char* out, const uint8_t* field, size_t width) {
    const size_t n = strnlen(reinterpret_cast<const char*>(field), width);
    memcpy(out, field, n);
    out[n] = 0;
}

} // namespace

int parseTrovixDatagram(const uint8_t* bytes, size_t length, TrovixDatagram* out) {
    memset(out, 0, sizeof *out);
    if (length < kTrovixDatagramSize) return -EMSGSIZE;
    const uint8_t* d = bytes;
    switch (d[0]) {
    case kTrovixKeyAnswer:
        out->cookie = readBe32(d + 1);
        memcpy(out->key, d + 5, kTrovixKeySize);
        break;
    case kTrovixRegistrationAnswer:
    case kTrovixKeepAliveAnswer:
        break;
    case kTrovixPeerAnnouncement:
        memcpy(out->key, d + 5, kTrovixKeySize);
        out->portA = readBe16(d + 37);
        memcpy(&out->addressA, d + 39, 4);
        out->portB = readBe16(d + 43);
        memcpy(&out->addressB, d + 45, 4);
        break;
    case kTrovixHello:
        out->cookie = readBe32(d + 1);
        memcpy(out->id, d + 5, kTrovixIdSize);
        memcpy(out->key, d + 21, kTrovixKeySize);
        memcpy(out->serial, d + 53, kTrovixSerialSize);
        break;
    case kTrovixHelloAnswer:
        out->cookie = readBe32(d + 1);
        memcpy(out->id, d + 5, kTrovixIdSize);
        memcpy(out->serial, d + 21, kTrovixSerialSize);
        memcpy(out->key, d + 58, kTrovixKeySize);
        break;
    case kTrovixAcknowledgement:
        out->cookie = readBe32(d + 1);
        break;
    case kTrovixNotice:
        copyText(out->noticeFirst, d + 5, kTrovixNoticeFirst);
        copyText(out->noticeSecond, d + 21, kTrovixNoticeSecond);
        break;
    default:
        return -ENOMSG;
    }
    out->type = TrovixDatagramType(d[0]);
    return 0;
}

void buildTrovixKeyOffer(const uint8_t publicKey[kTrovixKeySize], uint8_t out[kTrovixDatagramSize]) {
    memset(out, 0, kTrovixDatagramSize);
    out[0] = kTrovixKeyOffer;
    memcpy(out + 5, publicKey, kTrovixKeySize);
}

void buildTrovixRegistration(uint32_t cookie, const uint8_t id[kTrovixIdSize], const uint8_t pin[kTrovixPinSize],
                             uint8_t role, uint16_t localPort, uint32_t localAddress,
                             uint8_t out[kTrovixDatagramSize]) {
    memset(out, 0, kTrovixDatagramSize);
    out[0] = kTrovixRegistration;
    putBe32(out + 1, cookie);
    memcpy(out + 5, id, kTrovixIdSize);
    memcpy(out + 21, pin, kTrovixPinSize);
    out[29] = role;
    putBe16(out + 30, localPort);
    memcpy(out + 32, &localAddress, 4);
}

void buildTrovixKeepAlive(uint32_t cookie, uint8_t out[kTrovixDatagramSize]) {
    memset(out, 0, kTrovixDatagramSize);
    out[0] = kTrovixKeepAlive;
    putBe32(out + 1, cookie);
}

void buildTrovixHello(uint32_t cookie, const uint8_t id[kTrovixIdSize], const uint8_t key[kTrovixKeySize],
                      const char* serial, uint8_t out[kTrovixDatagramSize]) {
    memset(out, 0, kTrovixDatagramSize);
    out[0] = kTrovixHello;
    putBe32(out + 1, cookie);
    memcpy(out + 5, id, kTrovixIdSize);
    memcpy(out + 21, key, kTrovixKeySize);
    if (serial != nullptr) memcpy(out + 53, serial, strnlen(serial, kTrovixSerialSize - 1));
}

void buildTrovixHelloAnswer(uint32_t cookie, const uint8_t id[kTrovixIdSize],
                            const uint8_t serialField[kTrovixSerialSize], const uint8_t key[kTrovixKeySize],
                            uint8_t out[kTrovixDatagramSize]) {
    memset(out, 0, kTrovixDatagramSize);
    out[0] = kTrovixHelloAnswer;
    putBe32(out + 1, cookie);
    memcpy(out + 5, id, kTrovixIdSize);
    memcpy(out + 21, serialField, kTrovixSerialSize);
    memcpy(out + 58, key, kTrovixKeySize);
}

void buildTrovixAcknowledgement(uint32_t cookie, uint8_t out[kTrovixDatagramSize]) {
    memset(out, 0, kTrovixDatagramSize);
    out[0] = kTrovixAcknowledgement;
    putBe32(out + 1, cookie);
}
