#include "tests/support/tlsclient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

namespace tlsclient {

namespace {

bool run(const std::string& dir, const std::string& command, std::string* error) {
    const std::string full = "cd '" + dir + "' && (" + command + ") >>openssl.log 2>&1";
    if (std::system(full.c_str()) != 0) {
        if (error) *error = command;
        return false;
    }
    return true;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string errorText(int code) {
    char text[256];
    mbedtls_strerror(code, text, sizeof text);
    char line[320];
    snprintf(line, sizeof line, "-0x%04x %s", code < 0 ? -code : code, text);
    return line;
}

} // namespace

const TestCertificates& sharedTestCertificates() {
    static TestCertificates made = [] {
        TestCertificates certs;
        char dir[] = "/tmp/tlscerts.XXXXXX";
        if (mkdtemp(dir) == nullptr) return certs;
        std::string error;
        if (!makeTestCertificates(dir, &certs, &error)) {
            fprintf(stderr, "test certificates: %s\n", error.c_str());
            certs = TestCertificates{};
        }
        static std::string removeAtExit;
        removeAtExit = dir;
        atexit([] { std::filesystem::remove_all(removeAtExit); });
        return certs;
    }();
    return made;
}

bool makeTestCertificates(const std::string& dir, TestCertificates* out, std::string* error) {
    const char* steps[] = {
        "openssl ecparam -name prime256v1 -genkey -noout -out ca.key",
        "openssl req -x509 -new -key ca.key -out ca.crt -days 3 -subj '/CN=Test CA' -sha256",
        "openssl ecparam -name prime256v1 -genkey -noout -out other.key",
        "openssl req -x509 -new -key other.key -out other.crt -days 3 -subj '/CN=Other CA' -sha256",
        "openssl ecparam -name prime256v1 -genkey -noout -out server.key",
        "openssl req -new -key server.key -out server.csr -subj '/CN=localhost'",
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -set_serial 2 -out server.crt -days 3 -sha256",
        "cat server.crt server.key > server.pem",
        "openssl ecparam -name prime256v1 -genkey -noout -out client.key",
        "openssl req -new -key client.key -out client.csr -subj '/CN=client'",
        "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -set_serial 3 -out client.crt -days 3 -sha256",
        "openssl ecparam -name prime256v1 -genkey -noout -out stranger.key",
        "openssl req -new -key stranger.key -out stranger.csr -subj '/CN=stranger'",
        "openssl x509 -req -in stranger.csr -CA other.crt -CAkey other.key -set_serial 4 -out stranger.crt -days 3 "
        "-sha256",
        "printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index.txt\\ncrlnumber=crlnumber\\ndefault_md=sha256\\n"
        "default_crl_days=3\\n' > ca.cnf && : > index.txt && echo 01 > crlnumber",
        "openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.crt -out empty.crl",
        "openssl ca -config ca.cnf -revoke client.crt -keyfile ca.key -cert ca.crt",
        "openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.crt -out revoked.crl",
        "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -pkeyopt "
        "rsa_keygen_pubexp:18446744073709551617 -out hugeexp.key",
        "openssl req -new -key hugeexp.key -out hugeexp.csr -subj '/CN=huge exponent'",
        "openssl x509 -req -in hugeexp.csr -CA ca.crt -CAkey ca.key -set_serial 5 -out hugeexp.crt -days 3 -sha256",
        "printf 'basicConstraints=critical,CA:TRUE\\n' > intermediate.cnf",
        "prev=ca; for i in 1 2 3 4; do openssl ecparam -name prime256v1 -genkey -noout -out i$i.key && "
        "openssl req -new -key i$i.key -out i$i.csr -subj \"/CN=Intermediate $i\" && "
        "openssl x509 -req -in i$i.csr -CA $prev.crt -CAkey $prev.key -set_serial 1$i -out i$i.crt -days 3 "
        "-sha256 -extfile intermediate.cnf || exit 1; prev=i$i; done",
        "for leaf in short:i1 deep:i4; do name=${leaf%:*}; issuer=${leaf#*:}; serial=2${issuer#i}; "
        "openssl ecparam -name prime256v1 -genkey -noout -out $name.key && "
        "openssl req -new -key $name.key -out $name.csr -subj \"/CN=$name\" && "
        "openssl x509 -req -in $name.csr -CA $issuer.crt -CAkey $issuer.key -set_serial $serial -out $name.crt "
        "-days 3 -sha256 || exit 1; done",
        "cat short.crt i1.crt > shortchain.crt && cat deep.crt i4.crt i3.crt i2.crt i1.crt > deepchain.crt",
    };
    for (const char* step : steps) {
        if (!run(dir, step, error)) {
            if (error) *error += "\n" + slurp(dir + "/openssl.log");
            return false;
        }
    }
    out->dir = dir;
    out->caCert = dir + "/ca.crt";
    out->serverPem = dir + "/server.pem";
    out->serverCertOnly = dir + "/server.crt";
    out->clientCert = dir + "/client.crt";
    out->clientKey = dir + "/client.key";
    out->strangerCert = dir + "/stranger.crt";
    out->strangerKey = dir + "/stranger.key";
    out->emptyCrl = dir + "/empty.crl";
    out->revokedCrl = dir + "/revoked.crl";
    out->hugeExponentCert = dir + "/hugeexp.crt";
    out->hugeExponentKey = dir + "/hugeexp.key";
    out->shortChain = dir + "/shortchain.crt";
    out->shortChainKey = dir + "/short.key";
    out->deepChain = dir + "/deepchain.crt";
    out->deepChainKey = dir + "/deep.key";
    return true;
}

struct TlsRelay::State {
    mbedtls_net_context net;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config config;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context generator;
    mbedtls_x509_crt ca;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    State() {
        mbedtls_net_init(&net);
        mbedtls_ssl_init(&ssl);
        mbedtls_ssl_config_init(&config);
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&generator);
        mbedtls_x509_crt_init(&ca);
        mbedtls_x509_crt_init(&cert);
        mbedtls_pk_init(&key);
    }
    ~State() {
        mbedtls_ssl_free(&ssl);
        mbedtls_net_free(&net);
        mbedtls_ssl_config_free(&config);
        mbedtls_ctr_drbg_free(&generator);
        mbedtls_entropy_free(&entropy);
        mbedtls_x509_crt_free(&ca);
        mbedtls_x509_crt_free(&cert);
        mbedtls_pk_free(&key);
    }
};

std::unique_ptr<TlsRelay> TlsRelay::start(int socket, const ClientOptions& options, std::string* error) {
    std::unique_ptr<TlsRelay> relay(new TlsRelay);
    relay->state_ = std::make_unique<State>();
    State& s = *relay->state_;
    s.net.fd = socket;
    auto fail = [&](const std::string& what, int code) {
        if (error) *error = what + " " + errorText(code);
        return nullptr;
    };
    int rc = mbedtls_ctr_drbg_seed(&s.generator, mbedtls_entropy_func, &s.entropy, nullptr, 0);
    if (rc != 0) return fail("seed", rc);
    rc = mbedtls_ssl_config_defaults(&s.config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                     MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0) return fail("defaults", rc);
    mbedtls_ssl_conf_rng(&s.config, mbedtls_ctr_drbg_random, &s.generator);
    if (!options.caCert.empty()) {
        if ((rc = mbedtls_x509_crt_parse_file(&s.ca, options.caCert.c_str())) != 0) return fail("ca", rc);
        mbedtls_ssl_conf_ca_chain(&s.config, &s.ca, nullptr);
        mbedtls_ssl_conf_authmode(&s.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    } else {
        mbedtls_ssl_conf_authmode(&s.config, MBEDTLS_SSL_VERIFY_NONE);
    }
    if (!options.certFile.empty()) {
        if ((rc = mbedtls_x509_crt_parse_file(&s.cert, options.certFile.c_str())) != 0) return fail("cert", rc);
        if ((rc = mbedtls_pk_parse_keyfile(&s.key, options.keyFile.c_str(), nullptr)) != 0) return fail("key", rc);
        if ((rc = mbedtls_ssl_conf_own_cert(&s.config, &s.cert, &s.key)) != 0) return fail("own cert", rc);
    }
    mbedtls_ssl_conf_read_timeout(&s.config, uint32_t(options.handshakeTimeoutMs));
    if ((rc = mbedtls_ssl_setup(&s.ssl, &s.config)) != 0) return fail("setup", rc);
    if (!options.caCert.empty() && (rc = mbedtls_ssl_set_hostname(&s.ssl, "localhost")) != 0) {
        return fail("hostname", rc);
    }
    mbedtls_net_set_block(&s.net);
    mbedtls_ssl_set_bio(&s.ssl, &s.net, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
    while ((rc = mbedtls_ssl_handshake(&s.ssl)) != 0) {
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) return fail("handshake", rc);
    }
    if (!options.relay) {
        return relay;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 || pipe2(relay->stopPipe_, O_CLOEXEC) != 0) {
        if (error) *error = "socketpair";
        return nullptr;
    }
    relay->plainFd_ = pair[0];
    relay->innerFd_ = pair[1];
    // Reads wait at most this long for the rest of a record that poll
    // announced.
    mbedtls_ssl_conf_read_timeout(&s.config, 5000);
    relay->thread_ = std::thread([r = relay.get()] { r->run(); });
    return relay;
}

TlsRelay::~TlsRelay() {
    if (stopPipe_[1] >= 0) {
        char byte = 1;
        if (::write(stopPipe_[1], &byte, 1) < 0) {
        }
    }
    if (thread_.joinable()) thread_.join();
    if (plainFd_ >= 0) ::close(plainFd_);
    if (innerFd_ >= 0) ::close(innerFd_);
    for (int fd : stopPipe_) {
        if (fd >= 0) ::close(fd);
    }
}

bool TlsRelay::certificateRequested() const {
    return state_->ssl.client_auth != 0;
}

int TlsRelay::rawFd() const {
    return state_->net.fd;
}

int TlsRelay::write(const void* data, size_t length) {
    int rc;
    do {
        rc = mbedtls_ssl_write(&state_->ssl, static_cast<const unsigned char*>(data), length);
    } while (rc == MBEDTLS_ERR_SSL_WANT_WRITE || rc == MBEDTLS_ERR_SSL_WANT_READ);
    return rc;
}

void TlsRelay::reset() {
    linger abortive{1, 0};
    setsockopt(state_->net.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(state_->net.fd);
    state_->net.fd = -1;
}

void TlsRelay::closeNotify() {
    mbedtls_ssl_close_notify(&state_->ssl);
}

int TlsRelay::takePlainFd() {
    int fd = plainFd_;
    plainFd_ = -1;
    return fd;
}

// Ends when either side ends or the relay is destroyed; then shuts both
// streams down so each peer sees the end. What the server sends is buffered
// (up to a bound) toward the plain side without blocking, so a test that
// does not read holds up only that direction, as a real client would.
void TlsRelay::run() {
    State& s = *state_;
    constexpr size_t kBound = 1 << 20;
    std::vector<unsigned char> toPlain;
    size_t toPlainStart = 0;
    unsigned char buffer[16384];
    bool going = true;
    while (going) {
        const size_t buffered = toPlain.size() - toPlainStart;
        const bool pending = buffered < kBound && mbedtls_ssl_check_pending(&s.ssl) != 0;
        pollfd fds[3] = {{s.net.fd, short(buffered < kBound ? POLLIN : 0), 0},
                         {innerFd_, short(POLLIN | (buffered > 0 ? POLLOUT : 0)), 0},
                         {stopPipe_[0], POLLIN, 0}};
        int ready = poll(fds, 3, pending ? 0 : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[2].revents != 0) {
            toPlain.clear();
            toPlainStart = 0;
            break;
        }
        if (pending || (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            int rc = mbedtls_ssl_read(&s.ssl, buffer, sizeof buffer);
            if (rc > 0) {
                toPlain.insert(toPlain.end(), buffer, buffer + rc);
            } else if (rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
                closeNotify_ = true;
                going = false;
            } else if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE &&
                       rc != MBEDTLS_ERR_SSL_TIMEOUT) {
                going = false;
            }
        }
        if (toPlain.size() > toPlainStart) {
            ssize_t n = ::send(innerFd_, toPlain.data() + toPlainStart, toPlain.size() - toPlainStart,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                toPlainStart += size_t(n);
                if (toPlainStart == toPlain.size()) {
                    toPlain.clear();
                    toPlainStart = 0;
                }
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                going = false;
            }
        }
        if (going && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = ::recv(innerFd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                mbedtls_ssl_close_notify(&s.ssl);
                going = false;
            } else if (n > 0) {
                size_t done = 0;
                while (going && done < size_t(n)) {
                    int rc = mbedtls_ssl_write(&s.ssl, buffer + done, size_t(n) - done);
                    if (rc > 0) {
                        done += size_t(rc);
                    } else if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
                        going = false;
                    }
                }
            }
        }
    }
    // What the server sent before it ended still reaches the plain side.
    while (toPlain.size() > toPlainStart) {
        pollfd out{innerFd_, POLLOUT, 0};
        if (poll(&out, 1, 1000) != 1) break;
        ssize_t n = ::send(innerFd_, toPlain.data() + toPlainStart, toPlain.size() - toPlainStart, MSG_NOSIGNAL);
        if (n <= 0) break;
        toPlainStart += size_t(n);
    }
    ::shutdown(s.net.fd, SHUT_RDWR);
    ::shutdown(innerFd_, SHUT_RDWR);
    ended_ = true;
}

} // namespace tlsclient
