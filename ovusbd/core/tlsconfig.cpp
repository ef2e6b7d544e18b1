#include "ovusbd/core/tlsconfig.h"

#include <mbedtls/error.h>
#include <string.h>

#include "ovusbd/core/log.h"

namespace {

int magnitude(int code) {
    return code < 0 ? -code : code;
}

} // namespace

const char* tlsErrorText(int code, char* buffer, size_t size) {
    mbedtls_strerror(code, buffer, size < 256 ? size : 256);
    return buffer;
}

bool loadTlsConfig(TlsConfig* tls, const TlsSettings* settings) {
    char text[256];
    mbedtls_entropy_init(&tls->entropy);
    mbedtls_ctr_drbg_init(&tls->generator);
    mbedtls_ssl_config_init(&tls->config);
    mbedtls_x509_crt_init(&tls->serverChain);
    mbedtls_x509_crt_init(&tls->caChain);
    mbedtls_x509_crl_init(&tls->crl);
    mbedtls_pk_init(&tls->key);
    tls->initialised = true;

    // A positive result counts certificates that could not be parsed: a
    // chain with holes is not served.
    int rc = mbedtls_x509_crt_parse_file(&tls->serverChain, settings->certPath);
    if (rc != 0) {
        logMessage(3, "Error -0x%04x loading SSL Certificate file %s, %s", magnitude(rc), settings->certPath,
                   tlsErrorText(rc, text, sizeof text));
        return false;
    }
    if (settings->caPath != nullptr) {
        rc = mbedtls_x509_crt_parse_file(&tls->caChain, settings->caPath);
        if (rc != 0) {
            logMessage(3, "Error %d loading SSL CA file %s, %s", magnitude(rc), settings->caPath,
                       tlsErrorText(rc, text, sizeof text));
            return false;
        }
        bool withCrl = false;
        if (settings->crlPath != nullptr) {
            rc = mbedtls_x509_crl_parse_file(&tls->crl, settings->crlPath);
            if (rc != 0) {
                logMessage(3, "Error -0x%04x loading SSL CRL file %s, %s", magnitude(rc), settings->crlPath,
                           tlsErrorText(rc, text, sizeof text));
                return false;
            }
            withCrl = true;
        }
        mbedtls_ssl_conf_ca_chain(&tls->config, &tls->caChain, withCrl ? &tls->crl : nullptr);
    }
    rc = mbedtls_pk_parse_keyfile(&tls->key, settings->certPath, nullptr);
    if (rc == 0) {
        rc = mbedtls_ctr_drbg_seed(&tls->generator, mbedtls_entropy_func, &tls->entropy, nullptr, 0);
    }
    if (rc != 0) {
        logMessage(3, "Error -0x%04x loading SSL Certificate (key) file %s, %s", magnitude(rc), settings->certPath,
                   tlsErrorText(rc, text, sizeof text));
        return false;
    }
    rc = mbedtls_ssl_config_defaults(&tls->config, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                     MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0) {
        logMessage(3, "Error -0x%04x setting SSL config defaults, %s", magnitude(rc),
                   tlsErrorText(rc, text, sizeof text));
        return false;
    }
    mbedtls_ssl_conf_rng(&tls->config, mbedtls_ctr_drbg_random, &tls->generator);
    rc = mbedtls_ssl_conf_own_cert(&tls->config, &tls->serverChain, &tls->key);
    if (rc != 0) {
        logMessage(3, "Error -0x%04x setting SSL config own cert, %s", magnitude(rc),
                   tlsErrorText(rc, text, sizeof text));
        return false;
    }
    return true;
}

void releaseTlsConfig(TlsConfig* tls) {
    if (!tls->initialised) {
        return;
    }
    mbedtls_x509_crt_free(&tls->serverChain);
    mbedtls_x509_crt_free(&tls->caChain);
    mbedtls_x509_crl_free(&tls->crl);
    mbedtls_ssl_config_free(&tls->config);
    mbedtls_ctr_drbg_free(&tls->generator);
    mbedtls_entropy_free(&tls->entropy);
    mbedtls_pk_free(&tls->key);
    tls->initialised = false;
}
