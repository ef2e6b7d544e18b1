// The 90-byte datagrams of the rendezvous protocol: reading one that came
// from outside (a pure function of the bytes) and building the ones this
// server sends. Multi-byte numbers are big-endian; bytes not named are 0.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t kTrovixDatagramSize = 90;
constexpr size_t kTrovixKeySize = 32;
constexpr size_t kTrovixIdSize = 16;
constexpr size_t kTrovixPinSize = 4;
constexpr size_t kTrovixSerialSize = 37;   // hello bytes 53-89, NUL-terminated text
constexpr size_t kTrovixNoticeFirst = 16;  // notice text at byte 5, up to byte 20
constexpr size_t kTrovixNoticeSecond = 69; // notice text at byte 21, up to byte 89

// Byte 0 of every datagram. Types 1 and 2 travel in clear, the rest
// enciphered with the key named in the protocol.
enum TrovixDatagramType : uint8_t {
    kTrovixKeyOffer = 1,
    kTrovixKeyAnswer = 2,
    kTrovixRegistration = 3,
    kTrovixRegistrationAnswer = 4,
    kTrovixKeepAlive = 5,
    kTrovixPeerAnnouncement = 7,
    kTrovixHello = 8,
    kTrovixHelloAnswer = 9,
    kTrovixKeepAliveAnswer = 10,
    kTrovixAcknowledgement = 11,
    kTrovixNotice = 12,
};

// A received datagram, with the fields of its type filled and the rest zero.
struct TrovixDatagram {
    TrovixDatagramType type;
    uint32_t cookie;                     // 2, 8, 9, 11
    uint8_t key[kTrovixKeySize];         // 2: server key; 7: client key; 8, 9: sender key
    uint8_t id[kTrovixIdSize];           // 8, 9: sender id
    uint8_t serial[kTrovixSerialSize];   // 8: sender serial; 9: the echoed serial field
    uint16_t portA, portB;               // 7, host order
    uint32_t addressA, addressB;         // 7, network order (as in in_addr)
    char noticeFirst[kTrovixNoticeFirst + 1];   // 12, always NUL-terminated
    char noticeSecond[kTrovixNoticeSecond + 1];
};

// Reads the plain text of one datagram of length bytes. Checks in order:
// at least 90 bytes (bytes past 90 are not read); a type this server
// receives (2, 4, 7, 8, 9, 10, 11, 12); then the fields. Returns 0, -EMSGSIZE
// for a short datagram, -ENOMSG for any other type.
int parseTrovixDatagram(const uint8_t* bytes, size_t length, TrovixDatagram* out);

// Builders: each fills all 90 bytes of out.
void buildTrovixKeyOffer(const uint8_t publicKey[kTrovixKeySize], uint8_t out[kTrovixDatagramSize]);
// localPort host order, localAddress network order; both 0 when not IPv4.
void buildTrovixRegistration(uint32_t cookie, const uint8_t id[kTrovixIdSize], const uint8_t pin[kTrovixPinSize],
                             uint8_t role, uint16_t localPort, uint32_t localAddress,
                             uint8_t out[kTrovixDatagramSize]);
void buildTrovixKeepAlive(uint32_t cookie, uint8_t out[kTrovixDatagramSize]);
// serial: a text, cut to 36 characters.
void buildTrovixHello(uint32_t cookie, const uint8_t id[kTrovixIdSize], const uint8_t key[kTrovixKeySize],
                      const char* serial, uint8_t out[kTrovixDatagramSize]);
void buildTrovixHelloAnswer(uint32_t cookie, const uint8_t id[kTrovixIdSize],
                            const uint8_t serialField[kTrovixSerialSize], const uint8_t key[kTrovixKeySize],
                            uint8_t out[kTrovixDatagramSize]);
void buildTrovixAcknowledgement(uint32_t cookie, uint8_t out[kTrovixDatagramSize]);
