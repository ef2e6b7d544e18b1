#include "ovusbd/core/certificaterecord.h"

#include <mbedtls/bignum.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>

namespace {

constexpr uint8_t kRecordHandshake = 22;
constexpr uint8_t kHandshakeCertificate = 11;

uint32_t read16(const uint8_t* p) {
    return uint32_t(p[0]) << 8 | p[1];
}

uint32_t read24(const uint8_t* p) {
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

CertificateVerdict checkKey(const mbedtls_pk_context& key, const CertificateLimits& limits) {
    switch (mbedtls_pk_get_type(&key)) {
    case MBEDTLS_PK_RSA: {
        const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(key);
        if (mbedtls_pk_get_bitlen(&key) > limits.maxRsaBits || mbedtls_mpi_bitlen(&rsa->E) > limits.maxRsaExponentBits) {
            return CertificateVerdict::KeyTooLarge;
        }
        return CertificateVerdict::Acceptable;
    }
    case MBEDTLS_PK_ECKEY:
    case MBEDTLS_PK_ECDSA:
        // Only the named curves mbedtls was built with parse at all; each
        // costs a bounded few milliseconds to verify.
        return CertificateVerdict::Acceptable;
    default:
        return CertificateVerdict::KeyTypeRefused;
    }
}

// Parses one DER certificate; mbedtls checks the key's own consistency
// (modulus bounds, exponent odd and below the modulus) without any
// signature work.
CertificateVerdict checkCertificate(const uint8_t* der, size_t length, const CertificateLimits& limits) {
    mbedtls_x509_crt certificate;
    mbedtls_x509_crt_init(&certificate);
    CertificateVerdict verdict = CertificateVerdict::Malformed;
    if (mbedtls_x509_crt_parse_der(&certificate, der, length) == 0) {
        verdict = checkKey(certificate.pk, limits);
    }
    mbedtls_x509_crt_free(&certificate);
    return verdict;
}

} // namespace

CertificateVerdict checkCertificateRecord(const uint8_t* bytes, size_t length, const CertificateLimits& limits,
                                          size_t* recordLength) {
    if (length < kTlsRecordHeader) {
        return CertificateVerdict::NeedMore;
    }
    const size_t body = read16(bytes + 3);
    *recordLength = kTlsRecordHeader + body;
    if (bytes[0] != kRecordHandshake) {
        return CertificateVerdict::OtherRecord;
    }
    if (body > kMaxPlainRecord) {
        return CertificateVerdict::Malformed;
    }
    if (length < *recordLength) {
        return CertificateVerdict::NeedMore;
    }
    const uint8_t* message = bytes + kTlsRecordHeader;
    if (body < 4) {
        return CertificateVerdict::Malformed;
    }
    if (message[0] != kHandshakeCertificate) {
        return CertificateVerdict::NoCertificate;
    }
    const size_t messageLength = read24(message + 1);
    if (messageLength + 4 > body || messageLength < 3) {
        return CertificateVerdict::Malformed;
    }
    const size_t listLength = read24(message + 4);
    if (listLength + 3 != messageLength) {
        return CertificateVerdict::Malformed;
    }
    if (listLength > limits.maxChainBytes) {
        return CertificateVerdict::ChainTooLarge;
    }
    const uint8_t* entry = message + 7;
    const uint8_t* end = entry + listLength;
    // Lengths and count first, so no certificate is parsed of a list that
    // is refused anyway.
    uint32_t count = 0;
    for (const uint8_t* p = entry; p < end;) {
        if (end - p < 3) {
            return CertificateVerdict::Malformed;
        }
        const size_t certificateLength = read24(p);
        if (certificateLength == 0 || certificateLength > size_t(end - p - 3)) {
            return CertificateVerdict::Malformed;
        }
        if (++count > limits.maxCertificates) {
            return CertificateVerdict::TooManyCertificates;
        }
        p += 3 + certificateLength;
    }
    for (const uint8_t* p = entry; p < end;) {
        const size_t certificateLength = read24(p);
        const CertificateVerdict verdict = checkCertificate(p + 3, certificateLength, limits);
        if (verdict != CertificateVerdict::Acceptable) {
            return verdict;
        }
        p += 3 + certificateLength;
    }
    return CertificateVerdict::Acceptable;
}

const char* certificateVerdictText(CertificateVerdict verdict) {
    switch (verdict) {
    case CertificateVerdict::Malformed:
        return "malformed";
    case CertificateVerdict::TooManyCertificates:
        return "too many certificates";
    case CertificateVerdict::ChainTooLarge:
        return "chain too large";
    case CertificateVerdict::KeyTooLarge:
        return "key too large";
    case CertificateVerdict::KeyTypeRefused:
        return "key type not allowed";
    default:
        return "";
    }
}
