#include "support/net/stun_server.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

StunServer::StunServer() = default;

StunServer::~StunServer() {
    stop();
}

bool StunServer::start(uint16_t port) {
    fd_ = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int off = 0;
    setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    socklen_t l = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &l);
    port_ = ntohs(a.sin6_port);
    thread_ = std::thread([this] {
        uint8_t in[1500], out[44];
        static const uint8_t cookie[4] = {0x21, 0x12, 0xA4, 0x42};
        while (!stop_.load()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            sockaddr_in6 from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(fd_, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &fl);
            // Binding Request with the magic cookie and no attributes.
            if (n != 20 || in[0] != 0x00 || in[1] != 0x01 || std::memcmp(in + 4, cookie, 4) != 0) continue;
            bool v4 = IN6_IS_ADDR_V4MAPPED(&from.sin6_addr);
            std::memset(out, 0, sizeof out);
            out[0] = 0x01;
            out[1] = 0x01;
            out[3] = v4 ? 12 : 24;
            std::memcpy(out + 4, in + 4, 16);  // cookie and transaction id
            out[21] = 0x20;
            out[23] = v4 ? 8 : 20;
            out[25] = v4 ? 1 : 2;
            uint16_t xport = static_cast<uint16_t>(ntohs(from.sin6_port) ^ 0x2112);
            out[26] = static_cast<uint8_t>(xport >> 8);
            out[27] = static_cast<uint8_t>(xport);
            if (v4) {
                for (int i = 0; i < 4; i++) out[28 + i] = from.sin6_addr.s6_addr[12 + i] ^ cookie[i];
            } else {
                for (int i = 0; i < 16; i++) out[28 + i] = from.sin6_addr.s6_addr[i] ^ in[4 + i];
            }
            answered_++;  // before the answer leaves, so a requester that has it sees the count
            sendto(fd_, out, v4 ? 32 : 44, 0, reinterpret_cast<sockaddr *>(&from), fl);
        }
    });
    return true;
}

void StunServer::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}
