// TLS client side for the tests, written with mbedTLS: test certificates
// made at run time with the openssl tool, and a relay that runs the client
// side of TLS on a connected socket and offers the plain stream on a local
// socket, so the protocol client (ovclient) speaks through it unchanged.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace tlsclient {

// Files made by makeTestCertificates in one directory.
struct TestCertificates {
    std::string dir;
    std::string caCert;        // "Test CA", self-signed
    std::string serverPem;     // server certificate and its key in one PEM file, signed by the CA
    std::string serverCertOnly;  // the server certificate without its key
    std::string clientCert, clientKey;    // signed by the CA (serial 3)
    std::string strangerCert, strangerKey;  // signed by another CA
    std::string emptyCrl;      // the CA's CRL with no entries
    std::string revokedCrl;    // the CA's CRL that revokes the client certificate
    // Signed by the CA, an RSA key with the public exponent 2^64 + 1.
    std::string hugeExponentCert, hugeExponentKey;
    // Client certificates under CA:TRUE intermediates, each file the leaf
    // followed by its intermediates: two certificates, and five.
    std::string shortChain, shortChainKey;
    std::string deepChain, deepChainKey;
};

// Makes the files in dir (which must exist). False, with the failing
// command in *error, when the openssl tool fails.
bool makeTestCertificates(const std::string& dir, TestCertificates* out, std::string* error);
// One set per process, made at the first call in a directory removed at
// exit. Every path is empty when making them failed.
const TestCertificates& sharedTestCertificates();

struct ClientOptions {
    std::string caCert;     // verify the server against it; empty: no verification
    std::string certFile;   // client certificate; empty: none
    std::string keyFile;
    int handshakeTimeoutMs = 5000;
    // False: no relay thread; the test drives the session itself with
    // rawFd, write and closeNotify.
    bool relay = true;
};

// Runs the client handshake on a connected socket and relays between it and
// a local stream socket (plainFd) on a thread of its own.
class TlsRelay {
public:
    // Takes the socket over. Null after a failed handshake, with the mbedtls
    // code and text in *error.
    static std::unique_ptr<TlsRelay> start(int socket, const ClientOptions& options, std::string* error);
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    // The plain end, to hand to OvClient::adopt (which then owns it). -1
    // after it was taken.
    int takePlainFd();
    // The server asked for a client certificate in the handshake.
    bool certificateRequested() const;
    // The server ended the session with close_notify (not merely EOF).
    bool sawCloseNotify() const { return closeNotify_.load(); }
    // The relay has ended (server closed, error, or our side closed).
    bool ended() const { return ended_.load(); }

    // Without the relay thread only: the TCP socket under the session, one
    // TLS write (mbedtls result), one close_notify.
    int rawFd() const;
    int write(const void* data, size_t length);
    void closeNotify();
    // Closes the socket with a reset (SO_LINGER 0).
    void reset();

private:
    struct State;
    TlsRelay() = default;
    void run();
    std::unique_ptr<State> state_;
    int plainFd_ = -1;
    int innerFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> closeNotify_{false};
    std::atomic<bool> ended_{false};
};

} // namespace tlsclient
