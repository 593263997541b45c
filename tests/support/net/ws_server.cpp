#include "support/net/ws_server.h"

#include <algorithm>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace {

std::string accept_key(const std::string &key) {
    std::string material = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1((const unsigned char *)material.data(), material.size(), digest);
    unsigned char out[64];
    int n = EVP_EncodeBlock(out, digest, sizeof digest);
    return std::string((char *)out, (size_t)n);
}

}  // namespace

bool WsPeer::send_frame(uint8_t opcode, const std::string &payload, bool fin, bool mask, uint8_t rsv) {
    std::string f;
    f += (char)((fin ? 0x80 : 0) | (rsv << 4) | opcode);
    uint8_t m = mask ? 0x80 : 0;
    uint64_t n = payload.size();
    if (n <= 125) {
        f += (char)(m | n);
    } else if (n <= 65535) {
        f += (char)(m | 126);
        f += (char)(n >> 8);
        f += (char)n;
    } else {
        f += (char)(m | 127);
        for (int shift = 56; shift >= 0; shift -= 8) f += (char)(n >> shift);
    }
    if (!mask) {
        f += payload;
        return conn_.write(f);
    }
    const char key[4] = {0x11, 0x22, 0x33, 0x44};
    f.append(key, 4);
    for (size_t i = 0; i < payload.size(); i++) f += (char)(payload[i] ^ key[i % 4]);
    return conn_.write(f);
}

bool WsPeer::send_text(const std::string &text, size_t fragment, bool ping_inside) {
    if (fragment == 0 || text.size() <= fragment) return send_frame(1, text);
    for (size_t at = 0; at < text.size(); at += fragment) {
        bool last = at + fragment >= text.size();
        if (!send_frame(at == 0 ? 1 : 0, text.substr(at, fragment), last)) return false;
        if (at == 0 && ping_inside && !send_frame(9, "inside")) return false;
    }
    return true;
}

bool WsPeer::send_close(uint16_t code, const std::string &reason) {
    std::string p;
    p += (char)(code >> 8);
    p += (char)code;
    return send_frame(8, p + reason);
}

bool WsPeer::read_frame(uint8_t &opcode, bool &fin, std::string &payload, int timeout_ms) {
    uint8_t h[2];
    long first = conn_.read(h, 1, timeout_ms);
    if (first <= 0) {
        timed_out_ = first < 0;
        return false;
    }
    // Once a frame has begun, the rest follows soon whatever the caller's wait.
    timeout_ms = std::max(timeout_ms, 5000);
    if (!conn_.read_full(h + 1, 1, timeout_ms)) return false;
    fin = h[0] & 0x80;
    opcode = h[0] & 0x0F;
    uint64_t n = h[1] & 0x7F;
    if (n == 126 || n == 127) {
        uint8_t ext[8];
        size_t len = n == 126 ? 2 : 8;
        if (!conn_.read_full(ext, len, timeout_ms)) return false;
        n = 0;
        for (size_t i = 0; i < len; i++) n = n << 8 | ext[i];
    }
    // Clients must mask every frame.
    if (!(h[1] & 0x80) || (h[0] & 0x70) || n > (1ull << 31)) {
        opcode = 0xFF;
        return true;
    }
    uint8_t key[4];
    if (!conn_.read_full(key, 4, timeout_ms)) return false;
    payload.resize(n);
    if (!conn_.read_full(payload.data(), n, timeout_ms)) return false;
    // Unmask eight bytes at a time: the key repeats every four.
    uint64_t k8;
    memcpy(&k8, key, 4);
    memcpy((char *)&k8 + 4, key, 4);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        memcpy(&v, &payload[i], 8);
        v ^= k8;
        memcpy(&payload[i], &v, 8);
    }
    for (; i < n; i++) payload[i] ^= key[i % 4];
    return true;
}

WsPeer::Kind WsPeer::recv(std::string &payload, int timeout_ms) {
    payload.clear();
    int first = -1;
    for (;;) {
        uint8_t op = 0;
        bool fin = false;
        std::string part;
        timed_out_ = false;
        if (!read_frame(op, fin, part, timeout_ms)) return timed_out_ ? TIMEOUT : GONE;
        if (op == 0xFF) return BAD;
        switch (op) {
            case 8:
                close_code = part.size() >= 2 ? (uint16_t)((uint8_t)part[0] << 8 | (uint8_t)part[1]) : 0;
                payload = part;
                return CLOSE;
            case 9:
                send_frame(10, part);
                payload = part;
                return PING;
            case 10:
                payload = part;
                return PONG;
            case 1:
            case 2:
                if (first != -1) return BAD;
                first = op;
                break;
            case 0:
                if (first == -1) return BAD;
                break;
            default:
                return BAD;
        }
        payload += part;
        if (fin) return (Kind)first;
    }
}

bool WsServer::start(Handler handler, const TestCA *ca, Gate gate) {
    tls_ = ca != nullptr;
    return server_.start(
        [this, handler, gate](TcpConn &c) {
            std::string head;
            if (!c.read_until(head, "\r\n\r\n")) return;
            WsPeer peer(c);
            size_t s1 = head.find(' '), s2 = head.find(' ', s1 + 1);
            peer.target = head.substr(s1 + 1, s2 - s1 - 1);
            for (size_t at = head.find("\r\n"); at + 4 < head.size();) {
                size_t end = head.find("\r\n", at + 2);
                std::string line = head.substr(at + 2, end - at - 2);
                at = end;
                size_t colon = line.find(':');
                if (colon == std::string::npos) continue;
                std::string name = line.substr(0, colon);
                std::transform(name.begin(), name.end(), name.begin(), ::tolower);
                peer.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
            }
            int status = gate ? gate(peer) : 101;
            std::string key = peer.headers["sec-websocket-key"];
            if (status != 101 || key.empty() || peer.headers["sec-websocket-version"] != "13") {
                if (status == 101) status = 400;
                c.write("HTTP/1.1 " + std::to_string(status) + " Refused\r\nContent-Length: 0\r\n\r\n");
                return;
            }
            c.write(
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " +
                accept_key(key) + "\r\n\r\n");
            handler(peer);
        },
        ca ? ca->server_ctx() : nullptr);
}

std::string WsServer::url(const std::string &path) const {
    return std::string(tls_ ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(server_.port()) + path;
}

void ws_echo(WsPeer &peer) {
    std::string msg;
    for (;;) {
        WsPeer::Kind k = peer.recv(msg, 60000);
        if (k == WsPeer::TEXT && peer.send_frame(1, msg)) continue;
        if (k == WsPeer::PING || k == WsPeer::PONG) continue;
        if (k == WsPeer::CLOSE) peer.send_close(peer.close_code);
        return;
    }
}
