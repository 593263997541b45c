// Incoming WebSocket frames: a loopback server completes the upgrade, then
// sends the input as raw bytes and ends the stream; the client reads until
// it reports the socket closed. The first input byte picks the read buffer
// size so that the too-small-buffer path is reached too.
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "platform/log.h"
#include "platform/websocket.h"

namespace {

int listener(uint16_t *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr *)&a, sizeof a);
    listen(fd, 16);
    socklen_t l = sizeof a;
    getsockname(fd, (sockaddr *)&a, &l);
    *port = ntohs(a.sin_port);
    return fd;
}

void serve(int lfd, const uint8_t *data, size_t size) {
    int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        head.append(buf, (size_t)n);
    }
    size_t k = head.find("Sec-WebSocket-Key: ");
    std::string key = k == std::string::npos ? "" : head.substr(k + 19, 24);
    std::string material = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH], accept[64];
    SHA1((const unsigned char *)material.data(), material.size(), digest);
    EVP_EncodeBlock(accept, digest, sizeof digest);
    std::string reply =
        "HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
        std::string((char *)accept) + "\r\n\r\n";
    reply.append((const char *)data, size);
    send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    shutdown(c, SHUT_WR);
    // Drain what the client answers (pongs, its close) until it hangs up.
    pollfd p{c, POLLIN, 0};
    while (poll(&p, 1, 2000) > 0 && recv(c, buf, sizeof buf, 0) > 0) {
    }
    close(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static uint16_t port = 0;
    static int lfd = listener(&port);
    static std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/";
    static bool quiet = (VKO_SetLogFunc(nullptr, nullptr), true);
    (void)quiet;
    if (size < 1) return 0;

    uint32_t bufsize = 1 + data[0] * 64;
    std::thread server(serve, lfd, data + 1, size - 1);
    VKO_WebSocket *ws = VKO_WebSocketConnect(url.c_str(), nullptr, nullptr, 2000, nullptr);
    if (ws) {
        char *buf = new char[bufsize];
        for (int i = 0; i < 10000; i++) {
            int32_t r = VKO_WebSocketRead(ws, 2000, buf, bufsize);
            if (r == VKO_WS_CLOSED || r == VKO_WS_TIMEOUT) break;
            if (r == VKO_WS_ERROR) {
                if (bufsize > VKO_WS_MAX_MESSAGE) break;
                delete[] buf;
                bufsize = VKO_WS_MAX_MESSAGE + 1;
                buf = new char[bufsize];
            }
        }
        delete[] buf;
        VKO_WebSocketDestroy(&ws);
    }
    server.join();
    return 0;
}
