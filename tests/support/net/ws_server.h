// A loopback WebSocket server (plain or TLS) with framing of its own, written
// from RFC 6455 apart from the client's code so one mistake cannot hide in
// both. A gate decides the upgrade (101, or a refusal status); each accepted
// connection then runs a handler that scripts what the server sends.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "support/net/tcp_server.h"

class WsPeer {
   public:
    enum Kind { TEXT = 1, BINARY = 2, CLOSE = 8, PING = 9, PONG = 10, GONE = 0, TIMEOUT = -1, BAD = -2 };

    WsPeer(TcpConn &conn) : conn_(conn) {}
    // One frame as given; mask applies a (forbidden) masking key.
    bool send_frame(uint8_t opcode, const std::string &payload, bool fin = true, bool mask = false,
                    uint8_t rsv = 0);
    // A text message, split into fragments of `fragment` bytes when nonzero,
    // with a ping between the first two fragments when ping_inside is set.
    bool send_text(const std::string &text, size_t fragment = 0, bool ping_inside = false);
    bool send_close(uint16_t code, const std::string &reason = "");
    // The next message or control frame from the client (fragments joined;
    // pings answered and reported). BAD for a frame the RFC forbids a client.
    Kind recv(std::string &payload, int timeout_ms = 5000);

    std::string target;                          // request target, e.g. "/?a=b"
    std::map<std::string, std::string> headers;  // request headers, names in lower case
    uint16_t close_code = 0;                     // from the client's close frame
    TcpConn &conn() { return conn_; }

   private:
    bool read_frame(uint8_t &opcode, bool &fin, std::string &payload, int timeout_ms);
    TcpConn &conn_;
    bool timed_out_ = false;
};

class WsServer {
   public:
    // Answers the upgrade request: 101 accepts; any other status refuses.
    using Gate = std::function<int(const WsPeer &)>;
    using Handler = std::function<void(WsPeer &)>;

    // ca NULL serves plain ws.
    bool start(Handler handler, const TestCA *ca = nullptr, Gate gate = nullptr);
    void stop() { server_.stop(); }
    bool stopping() const { return server_.stopping(); }
    std::string url(const std::string &path = "/") const;
    uint16_t port() const { return server_.port(); }

   private:
    TcpServer server_;
    bool tls_ = false;
};

// Echoes every text message until the client closes (for benchmarks).
void ws_echo(WsPeer &peer);
