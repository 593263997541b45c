// Two BUD links on loopback, directly or through the lossy relay.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection/bud.h"
#include "connection/udp.h"
#include "support/bud_wire.h"
#include "support/lossy_relay.h"

inline void grow_buffers(int fd) {
    int size = 0x500000;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

struct BudPair {
    BUD *host = nullptr;  // accepted the link
    BUD *client = nullptr;
    std::unique_ptr<LossyRelay> relay;

    // A is the host, B the client. Without big buffers the sockets keep the system's defaults.
    bool open(bool via_relay, uint64_t seed = 1, uint32_t level = 1,
              const std::string &key = wire_test_key256(), bool big_buffers = true) {
        int hs, cs;
        if (network_udp_socket(&hs, 0) != 0 || network_udp_socket(&cs, 0) != 0) return false;
        if (big_buffers) {
            grow_buffers(hs);
            grow_buffers(cs);
        }
        sockaddr_in6 to_client = loopback6(socket_port(cs)), to_host = loopback6(socket_port(hs));
        if (via_relay) {
            relay = std::make_unique<LossyRelay>(seed);
            if (!relay->start(to_host, to_client)) return false;
            to_client = relay->address_for_a();
            to_host = relay->address_for_b();
        }
        bool aes = key.size() >= 72;
        if (bud_create(&host, hs, &to_client, nullptr, key.c_str(), aes, 1, "hostpwd", level) != 0)
            return false;
        if (bud_create(&client, cs, &to_host, nullptr, key.c_str(), aes, 0, "clientpwd", level) != 0)
            return false;
        return true;
    }

    // The relay first: its rules may look at the links.
    void close() {
        if (relay) relay->stop();
        if (host) bud_close(host);
        if (client) bud_close(client);
        host = client = nullptr;
    }

    ~BudPair() { close(); }
};

// One whole message, waiting as long as the window needs; the send's result.
inline int32_t send_all(BUD *link, uint8_t stream, const std::vector<uint8_t> &m, uint8_t prefix = 0) {
    int32_t r;
    do {
        r = bud_send(link, stream, m.data(), prefix, m.data() + prefix,
                     static_cast<uint32_t>(m.size() - prefix), 1000);
    } while (r == BUD_TIMEOUT);
    return r;
}

// The next whole message of the stream (empty when the read failed or none
// came within 30 s).
inline std::vector<uint8_t> recv_one(BUD *link, uint8_t stream, uint32_t cap = 1 << 20) {
    std::vector<uint8_t> buf(cap);
    uint32_t len = 0;
    int32_t r;
    int waits = 0;
    do {
        r = bud_recv(link, stream, buf.data(), cap, &len, 1000);
    } while (r == BUD_TIMEOUT && ++waits < 30);
    EXPECT_EQ(r, 0);
    buf.resize(r == 0 ? len : 0);
    return buf;
}

inline BudStreamStats stream_stats(BUD *link, uint8_t stream) {
    BudStreamStats st{};
    bud_stream_stats(link, stream, &st);
    return st;
}

// Polls cond every 5 ms for up to about 10 s (progress, not speed, is what is waited for).
template <class F>
bool eventually(F cond) {
    for (int i = 0; i < 2000; i++) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}
