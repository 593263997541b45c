#include "support/net/tcp_server.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

// --- test CA ---------------------------------------------------------------

struct TestCA::Keys {
    EVP_PKEY *ca_key = nullptr, *leaf_key = nullptr;
    X509 *ca = nullptr, *leaf = nullptr;
    ~Keys() {
        EVP_PKEY_free(ca_key);
        EVP_PKEY_free(leaf_key);
        X509_free(ca);
        X509_free(leaf);
    }
};

static void add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

static X509 *make_cert(EVP_PKEY *key, const char *cn, X509 *issuer, EVP_PKEY *issuer_key, long serial) {
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 30);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)cn, -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
    X509 *signer = issuer ? issuer : cert;
    if (!issuer) {
        add_ext(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        add_ext(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_ext(cert, signer, NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost");
        add_ext(cert, signer, NID_ext_key_usage, "serverAuth");
    }
    add_ext(cert, signer, NID_subject_key_identifier, "hash");
    X509_sign(cert, issuer_key, EVP_sha256());
    return cert;
}

TestCA::TestCA() : keys_(new Keys) {
    keys_->ca_key = EVP_EC_gen("P-256");
    keys_->leaf_key = EVP_EC_gen("P-256");
    keys_->ca = make_cert(keys_->ca_key, "Loopback Test CA", nullptr, keys_->ca_key, 1);
    keys_->leaf = make_cert(keys_->leaf_key, "127.0.0.1", keys_->ca, keys_->ca_key, 2);
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, keys_->ca);
    char *data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    ca_pem_.assign(data, (size_t)n);
    BIO_free(bio);
}

TestCA::~TestCA() = default;

bool TestCA::install(const std::string &path) {
    std::ofstream f(path, std::ios::binary);
    f << ca_pem_;
    f.close();
    return f.good() && setenv("SSL_CERT_FILE", path.c_str(), 1) == 0;
}

SSL_CTX *TestCA::server_ctx(bool tls12) const {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx, tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL_CTX_use_certificate(ctx, keys_->leaf);
    SSL_CTX_use_PrivateKey(ctx, keys_->leaf_key);
    return ctx;
}

// --- connections -----------------------------------------------------------

TcpConn::~TcpConn() {
    if (ssl_) {
        SSL_shutdown(ssl_);
        SSL_free(ssl_);
    }
}

bool TcpConn::write(const void *data, size_t size) {
    const char *p = (const char *)data;
    while (size > 0) {
        long n = ssl_ ? SSL_write(ssl_, p, (int)std::min<size_t>(size, 1 << 30))
                      : ::send(fd_, p, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        size -= (size_t)n;
    }
    return true;
}

long TcpConn::read(void *data, size_t size, int timeout_ms) {
    if (pending.empty()) {
        // Read ahead: frames arrive in small pieces, one system call for many.
        if (!(ssl_ && SSL_pending(ssl_) > 0)) {
            pollfd p{fd_, POLLIN, 0};
            int r = poll(&p, 1, timeout_ms);
            if (r == 0) return -1;
            if (r < 0) return 0;
        }
        char buf[65536];
        long n = ssl_ ? SSL_read(ssl_, buf, sizeof buf) : ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return 0;
        pending.append(buf, (size_t)n);
    }
    size_t n = std::min(size, pending.size());
    memcpy(data, pending.data(), n);
    pending.erase(0, n);
    return (long)n;
}

bool TcpConn::read_full(void *data, size_t size, int timeout_ms) {
    char *p = (char *)data;
    while (size > 0) {
        long n = read(p, size, timeout_ms);
        if (n <= 0) return false;
        p += n;
        size -= (size_t)n;
    }
    return true;
}

bool TcpConn::read_until(std::string &out, const std::string &term, size_t max, int timeout_ms) {
    out.clear();
    for (;;) {
        size_t at = pending.find(term);
        if (at != std::string::npos) {
            out = pending.substr(0, at + term.size());
            pending.erase(0, at + term.size());
            return true;
        }
        if (pending.size() > max) return false;
        // Take everything buffered, then let read() fetch more behind it.
        std::string have;
        have.swap(pending);
        char c;
        long n = read(&c, 1, timeout_ms);
        if (n <= 0) {
            pending.swap(have);
            return false;
        }
        have += c;
        have += pending;
        pending.swap(have);
    }
}

void TcpConn::shutdown_write() {
    if (ssl_) SSL_shutdown(ssl_);
    ::shutdown(fd_, SHUT_WR);
}

void TcpConn::reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    if (ssl_) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    ::shutdown(fd_, SHUT_RDWR);
}

// --- server ----------------------------------------------------------------

TcpServer::~TcpServer() {
    stop();
}

bool TcpServer::start(Handler handler, SSL_CTX *ctx, uint16_t port) {
    handler_ = std::move(handler);
    ctx_ = ctx;
    // OpenSSL writes TLS records with plain send(): a client that hung up must
    // not end the whole test process with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (bind(fd_, (sockaddr *)&a, sizeof a) != 0 || listen(fd_, 64) != 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    socklen_t l = sizeof a;
    getsockname(fd_, (sockaddr *)&a, &l);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
        while (!stop_.load()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            int nodelay = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
            accepted_++;
            std::lock_guard<std::mutex> g(mutex_);
            open_fds_.push_back(c);
            conns_.emplace_back([this, c] {
                SSL *ssl = nullptr;
                bool ok = true;
                if (ctx_) {
                    ssl = SSL_new(ctx_);
                    SSL_set_fd(ssl, c);
                    ok = SSL_accept(ssl) == 1;
                    ERR_clear_error();
                }
                if (ok) {
                    TcpConn conn(c, ssl);
                    handler_(conn);
                } else {
                    SSL_free(ssl);
                }
                ERR_clear_error();
                std::lock_guard<std::mutex> g2(mutex_);
                open_fds_.remove(c);
                close(c);
            });
        }
    });
    return true;
}

void TcpServer::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (int c : open_fds_) ::shutdown(c, SHUT_RDWR);
    }
    for (std::thread &t : conns_) t.join();
    conns_.clear();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
}
