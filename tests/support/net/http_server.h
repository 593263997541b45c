// A loopback HTTP/1.1 server (plain or TLS) answering each request from a
// table of replies by path, one request per connection. Replies can stall,
// drop the connection, come chunked or gzip-compressed, or stream a body of
// any length.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/net/tcp_server.h"

struct HttpReply {
    int status = 200;
    std::string body;
    std::vector<std::string> headers;  // extra "Name: value" lines
    bool chunked = false;
    bool gzip = false;
    int stall_ms = 0;     // silence before the reply (cut short by stop)
    bool drop = false;    // reset the connection instead of answering
    uint64_t filler = 0;  // stream this many bytes of 'x' after body
};

struct HttpSeen {
    std::string method, target, body;
    std::map<std::string, std::string> headers;  // names in lower case
};

class HttpServer {
   public:
    // ca NULL serves plain HTTP.
    bool start(const TestCA *ca = nullptr, bool tls12 = true);
    void stop() { server_.stop(); }
    void route(const std::string &path, const HttpReply &reply);
    std::string url(const std::string &path) const;
    std::vector<HttpSeen> seen();

   private:
    void serve(TcpConn &c);
    TcpServer server_;
    bool tls_ = false;
    std::mutex mutex_;
    std::map<std::string, HttpReply> routes_;
    std::vector<HttpSeen> seen_;
};

// gzip member of the data (for replies and checks).
std::string gzip_compress(const std::string &data);
