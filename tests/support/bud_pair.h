// Two BUD links on loopback, directly or through the lossy relay.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>

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

    // A is the host, B the client.
    bool open(bool via_relay, uint64_t seed = 1, uint32_t level = 1,
              const std::string &key = wire_test_key256()) {
        int hs, cs;
        if (network_udp_socket(&hs, 0) != 0 || network_udp_socket(&cs, 0) != 0) return false;
        grow_buffers(hs);
        grow_buffers(cs);
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

    void close() {
        if (host) bud_close(host);
        if (client) bud_close(client);
        host = client = nullptr;
        if (relay) relay->stop();
    }

    ~BudPair() { close(); }
};
