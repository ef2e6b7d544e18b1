// Bounds on the certificate chain a TLS client presents, checked on the
// record that carries it before mbedtls sees it: mbedtls verifies every
// certificate of the chain, and the client's signature, at whatever cost
// the keys make (an RSA key with a huge public exponent costs a second of
// CPU per signature), so what it is given must be bounded first.
//
// checkCertificateRecord is a pure function of the bytes of one TLS record
// as received while the server waits for the client's Certificate message.
// Order of checks: whole record header; record type (anything but a
// handshake record is not ours to judge); record length within the largest
// plaintext record; whole record; handshake type (a message other than
// Certificate: the client sent none); handshake length within the record
// (TLS handshake messages are not fragmented across records here);
// certificate list length exact; list within the byte bound; each entry's
// length within the list; entry count; each certificate parsed; each key's
// type and size.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct CertificateLimits {
    uint32_t maxCertificates;
    uint32_t maxChainBytes;      // the certificate list, entry lengths included
    uint32_t maxRsaBits;         // modulus
    uint32_t maxRsaExponentBits;
};

// A chain of up to four certificates (a client certificate and its
// intermediates) in 12 KiB, RSA keys up to 4096 bits with an exponent below
// 2^32 (65537 is 17 bits), EC keys on the curves mbedtls offers.
constexpr CertificateLimits kClientCertificateLimits = {4, 12288, 4096, 32};

// A record's plaintext is at most 2^14 bytes (RFC 5246, 6.2.1).
constexpr size_t kTlsRecordHeader = 5;
constexpr size_t kMaxPlainRecord = 16384;

enum class CertificateVerdict {
    NeedMore,         // the record is not complete yet
    OtherRecord,      // not a handshake record: judge the next one
    NoCertificate,    // a handshake message other than Certificate
    Acceptable,
    Malformed,
    TooManyCertificates,
    ChainTooLarge,
    KeyTooLarge,
    KeyTypeRefused,
};

// Judges the record that starts at bytes. *recordLength gets the record's
// whole length (header included) once the header is complete.
CertificateVerdict checkCertificateRecord(const uint8_t* bytes, size_t length, const CertificateLimits& limits,
                                          size_t* recordLength);

// Text for a refusing verdict ("more than 4 certificates"); "" otherwise.
const char* certificateVerdictText(CertificateVerdict verdict);
