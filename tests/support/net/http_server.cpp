#include "support/net/http_server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <zlib.h>

std::string gzip_compress(const std::string &data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = (Bytef *)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef *)out.data();
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

bool HttpServer::start(const TestCA *ca, bool tls12) {
    tls_ = ca != nullptr;
    return server_.start([this](TcpConn &c) { serve(c); }, ca ? ca->server_ctx(tls12) : nullptr);
}

void HttpServer::route(const std::string &path, const HttpReply &reply) {
    std::lock_guard<std::mutex> g(mutex_);
    routes_[path] = reply;
}

std::string HttpServer::url(const std::string &path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(server_.port()) + path;
}

std::vector<HttpSeen> HttpServer::seen() {
    std::lock_guard<std::mutex> g(mutex_);
    return seen_;
}

void HttpServer::serve(TcpConn &c) {
    std::string head;
    if (!c.read_until(head, "\r\n\r\n")) return;
    HttpSeen req;
    size_t eol = head.find("\r\n");
    std::string line = head.substr(0, eol);
    size_t s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 <= s1) return;
    req.method = line.substr(0, s1);
    req.target = line.substr(s1 + 1, s2 - s1 - 1);
    for (size_t at = eol + 2; at < head.size();) {
        size_t end = head.find("\r\n", at);
        std::string h = head.substr(at, end - at);
        at = end + 2;
        size_t colon = h.find(':');
        if (colon == std::string::npos) continue;
        std::string name = h.substr(0, colon), value = h.substr(colon + 1);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        value.erase(0, value.find_first_not_of(' '));
        req.headers[name] = value;
    }
    if (req.headers.count("content-length")) {
        req.body.resize(std::stoul(req.headers["content-length"]));
        if (!c.read_full(req.body.data(), req.body.size(), 5000)) return;
    }

    HttpReply reply;
    reply.status = 404;
    reply.body = "no such path";
    {
        std::lock_guard<std::mutex> g(mutex_);
        std::string path = req.target.substr(0, req.target.find('?'));
        if (routes_.count(path)) reply = routes_[path];
        seen_.push_back(req);
    }

    for (int waited = 0; waited < reply.stall_ms && !server_.stopping(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (reply.drop || server_.stopping()) {
        c.reset();
        return;
    }

    std::string body = reply.gzip ? gzip_compress(reply.body) : reply.body;
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nConnection: close\r\n";
    for (const std::string &h : reply.headers) out += h + "\r\n";
    if (reply.gzip) out += "Content-Encoding: gzip\r\n";
    if (reply.chunked) {
        out += "Transfer-Encoding: chunked\r\n\r\n";
        for (size_t at = 0; at < body.size(); at += 7) {
            std::string part = body.substr(at, 7);
            char size[16];
            snprintf(size, sizeof size, "%zx\r\n", part.size());
            out += size + part + "\r\n";
        }
        out += "0\r\n\r\n";
        c.write(out);
        return;
    }
    out += "Content-Length: " + std::to_string(body.size() + reply.filler) + "\r\n\r\n" + body;
    if (!c.write(out)) return;
    std::string filler(1 << 16, 'x');
    for (uint64_t left = reply.filler; left > 0 && !server_.stopping();) {
        size_t n = (size_t)std::min<uint64_t>(left, filler.size());
        if (!c.write(filler.data(), n)) return;
        left -= n;
    }
}
