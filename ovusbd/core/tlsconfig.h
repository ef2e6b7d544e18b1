// The server side TLS configuration shared by every link of one service:
// certificate chain and key from one PEM file, optional CA chain and
// revocation list, entropy and CTR-DRBG. Built once when the service
// listens, released with the service.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crl.h>
#include <mbedtls/x509_crt.h>

// The TLS settings start-up reads once ("SSLCert", "SSLCAFile",
// "SSLCRLFile", "SSLUseClientCerts"). The texts are owned by whoever made
// the structure; null when not set.
struct TlsSettings {
    const char* certPath;      // PEM file holding the server certificate and its private key
    const char* caPath;        // CA chain; optional
    const char* crlPath;       // revocation list; read only together with caPath
    bool requireClientCerts;   // as read at start-up; each handshake reads the key again
    int handshakeTimeoutMs;    // bound of one handshake; a peer that says nothing is dropped after it
    int firstByteTimeoutMs;    // a peer that sends nothing at all is dropped after this, sooner
};

constexpr int kTlsHandshakeTimeoutMs = 10000;
constexpr int kTlsFirstByteTimeoutMs = 3000;

struct TlsConfig {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context generator;
    mbedtls_ssl_config config;
    mbedtls_x509_crt serverChain;
    mbedtls_x509_crt caChain;
    mbedtls_x509_crl crl;
    mbedtls_pk_context key;
    bool initialised;  // the objects above were initialised and must be freed
};

// Initialises every object and loads the configuration in the fixed order
// (certificate, CA and CRL, key, generator, defaults, generator hook, own
// certificate). Each failure logs its one line at level 3 and returns false;
// releaseTlsConfig frees what was made either way.
bool loadTlsConfig(TlsConfig* tls, const TlsSettings* settings);
void releaseTlsConfig(TlsConfig* tls);

// mbedtls_strerror into buffer (at most 255 characters).
const char* tlsErrorText(int code, char* buffer, size_t size);
