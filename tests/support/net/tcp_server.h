// A loopback TCP server, plain or TLS, with one thread per connection: the base
// of the HTTP, WebSocket and signaling stand-ins. TLS certificates come from a
// test CA made at run time; clients trust it through SSL_CERT_FILE.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// A CA and a server certificate for 127.0.0.1, ::1 and localhost, made in
// memory. The CA certificate is written to a PEM file for clients.
class TestCA {
   public:
    TestCA();
    ~TestCA();
    // Writes the CA to path and points SSL_CERT_FILE at it.
    bool install(const std::string &path);
    // A server context; max_tls12 false allows only TLS 1.3.
    SSL_CTX *server_ctx(bool tls12 = true) const;
    const std::string &ca_pem() const { return ca_pem_; }

   private:
    struct Keys;
    std::unique_ptr<Keys> keys_;
    std::string ca_pem_;
};

// One accepted connection; reads and writes go through TLS when the server has it.
class TcpConn {
   public:
    TcpConn(int fd, SSL *ssl) : fd_(fd), ssl_(ssl) {}
    ~TcpConn();
    // Whole buffer or false.
    bool write(const void *data, size_t size);
    bool write(const std::string &s) { return write(s.data(), s.size()); }
    // Up to size bytes; 0 on end or error, -1 on time-out (timeout_ms < 0 waits).
    long read(void *data, size_t size, int timeout_ms = -1);
    // Exactly size bytes, or false.
    bool read_full(void *data, size_t size, int timeout_ms = -1);
    // Bytes up to and including the terminator (kept), at most max bytes.
    bool read_until(std::string &out, const std::string &term, size_t max = 65536, int timeout_ms = 5000);
    void shutdown_write();
    // Drops the connection without a TLS close or FIN handshake (RST).
    void reset();
    int fd() const { return fd_; }

    std::string pending;  // bytes received and not yet consumed

   private:
    int fd_;
    SSL *ssl_;
};

class TcpServer {
   public:
    using Handler = std::function<void(TcpConn &)>;
    TcpServer() = default;
    virtual ~TcpServer();
    // Listens on 127.0.0.1:port (0: any free port); ctx NULL serves plain TCP
    // (the server takes the context over).
    bool start(Handler handler, SSL_CTX *ctx = nullptr, uint16_t port = 0);
    void stop();
    uint16_t port() const { return port_; }
    bool stopping() const { return stop_.load(); }
    uint64_t accepted() const { return accepted_.load(); }

   private:
    int fd_ = -1;
    uint16_t port_ = 0;
    SSL_CTX *ctx_ = nullptr;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> accepted_{0};
    std::thread thread_;
    std::mutex mutex_;
    std::list<std::thread> conns_;
    std::list<int> open_fds_;
};
