// The check of the record that carries a client's certificate chain, on
// records built from the test certificates.
#include <gtest/gtest.h>

#include <mbedtls/x509_crt.h>

#include <string>
#include <vector>

#include "ovusbd/core/certificaterecord.h"
#include "tests/support/tlsclient.h"

namespace {

using Bytes = std::vector<uint8_t>;

const tlsclient::TestCertificates& certs = tlsclient::sharedTestCertificates();

// The DER of every certificate in a PEM file, in file order.
std::vector<Bytes> derOf(const std::string& path) {
    mbedtls_x509_crt chain;
    mbedtls_x509_crt_init(&chain);
    std::vector<Bytes> out;
    if (mbedtls_x509_crt_parse_file(&chain, path.c_str()) == 0) {
        for (const mbedtls_x509_crt* c = &chain; c != nullptr && c->raw.len > 0; c = c->next) {
            out.emplace_back(c->raw.p, c->raw.p + c->raw.len);
        }
    }
    mbedtls_x509_crt_free(&chain);
    return out;
}

void put24(Bytes& out, size_t value) {
    out.push_back(uint8_t(value >> 16));
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

Bytes record(uint8_t type, const Bytes& body) {
    Bytes out = {type, 3, 3, uint8_t(body.size() >> 8), uint8_t(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A handshake record with one Certificate message holding the chain.
Bytes certificateRecord(const std::vector<Bytes>& chain) {
    Bytes list;
    for (const Bytes& der : chain) {
        put24(list, der.size());
        list.insert(list.end(), der.begin(), der.end());
    }
    Bytes message = {11};
    put24(message, list.size() + 3);
    put24(message, list.size());
    message.insert(message.end(), list.begin(), list.end());
    return record(22, message);
}

CertificateVerdict check(const Bytes& bytes, size_t* recordLength = nullptr) {
    size_t length = 0;
    const CertificateVerdict verdict =
        checkCertificateRecord(bytes.data(), bytes.size(), kClientCertificateLimits, &length);
    if (recordLength != nullptr) *recordLength = length;
    return verdict;
}

TEST(CertificateRecord, Verdicts) {
    ASSERT_FALSE(certs.clientCert.empty());
    const std::vector<Bytes> client = derOf(certs.clientCert);
    const std::vector<Bytes> shortChain = derOf(certs.shortChain);
    const std::vector<Bytes> deepChain = derOf(certs.deepChain);
    const std::vector<Bytes> hugeExponent = derOf(certs.hugeExponentCert);
    ASSERT_EQ(client.size(), 1u);
    ASSERT_EQ(shortChain.size(), 2u);
    ASSERT_EQ(deepChain.size(), 5u);
    ASSERT_EQ(hugeExponent.size(), 1u);

    Bytes wholeClient = certificateRecord(client);
    Bytes listTooShort = wholeClient;
    listTooShort[11]--;  // the list length no longer matches the message
    Bytes entryPastList = certificateRecord({Bytes(40, 0x30)});
    entryPastList[12] = 41;
    Bytes notDer = certificateRecord({Bytes(40, 0x30)});
    Bytes oversized = {22, 3, 3, 0x40, 0x01};  // 16385 bytes of body
    Bytes clientKeyExchange = record(22, {16, 0, 0, 2, 1, 2});
    std::vector<Bytes> bulky(4, Bytes(3100, 0x30));  // over 12 KiB in all

    struct Row {
        const char* what;
        Bytes bytes;
        CertificateVerdict verdict;
    };
    const std::vector<Row> rows = {
        {"header incomplete", {22, 3, 3, 0}, CertificateVerdict::NeedMore},
        {"body incomplete", Bytes(wholeClient.begin(), wholeClient.end() - 1), CertificateVerdict::NeedMore},
        {"alert", record(21, {1, 0}), CertificateVerdict::OtherRecord},
        {"record over 16 KiB", oversized, CertificateVerdict::Malformed},
        {"handshake header cut", record(22, {11, 0}), CertificateVerdict::Malformed},
        {"no certificate sent", clientKeyExchange, CertificateVerdict::NoCertificate},
        {"empty list", certificateRecord({}), CertificateVerdict::Acceptable},
        {"one EC certificate", wholeClient, CertificateVerdict::Acceptable},
        {"leaf and intermediate", certificateRecord(shortChain), CertificateVerdict::Acceptable},
        {"five certificates", certificateRecord(deepChain), CertificateVerdict::TooManyCertificates},
        {"RSA exponent 2^64+1", certificateRecord(hugeExponent), CertificateVerdict::KeyTooLarge},
        {"list length mismatch", listTooShort, CertificateVerdict::Malformed},
        {"entry past the list", entryPastList, CertificateVerdict::Malformed},
        {"entry not DER", notDer, CertificateVerdict::Malformed},
        {"list over 12 KiB", certificateRecord(bulky), CertificateVerdict::ChainTooLarge},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(int(check(row.bytes)), int(row.verdict)) << row.what;
    }
    size_t length = 0;
    EXPECT_EQ(check(record(21, {1, 0}), &length), CertificateVerdict::OtherRecord);
    EXPECT_EQ(length, 7u) << "an other record's length, so the caller can pass over it";
}

} // namespace
