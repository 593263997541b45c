// A loopback STUN server that answers each 20-byte Binding Request with exactly
// one XOR-MAPPED-ADDRESS: 32 bytes for an IPv4 requester, 44 for IPv6. Written
// from the RFC, not from the library's own builder.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class StunServer {
   public:
    StunServer();
    ~StunServer();
    // Dual-stack on [::]:port (0 = any); false when the port cannot be bound.
    bool start(uint16_t port = 0);
    void stop();
    uint16_t port() const { return port_; }
    uint64_t answered() const { return answered_.load(); }

   private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> answered_{0};
    std::thread thread_;
};
