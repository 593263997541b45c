// In-process lossy UDP relay on loopback: sits between two peers and, per
// direction, loses (random and in bursts), delays with jitter, reorders,
// duplicates, flips bits, caps the bandwidth behind a bounded queue, and drops
// datagrams a test singles out. Every decision comes from one seeded generator.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <thread>

struct RelayRules {
    double loss = 0.0;         // independent loss probability
    double burst_start = 0.0;  // good -> bad state probability per datagram
    double burst_end = 0.3;    // bad -> good state probability per datagram
    double burst_loss = 1.0;   // loss probability in the bad state
    uint32_t delay_us = 0;     // fixed one-way delay
    uint32_t jitter_us = 0;    // uniform extra delay 0..jitter
    double reorder = 0.0;      // fraction held back by reorder_us
    uint32_t reorder_us = 2000;
    double duplicate = 0.0;             // fraction sent twice
    double bitflip = 0.0;               // fraction with one bit flipped
    uint64_t rate_bps = 0;              // bandwidth cap, 0 = none
    uint32_t queue_bytes = 256 * 1024;  // bound of the queue in front of the cap
    // Return true to drop this datagram (runs on the relay's thread).
    std::function<bool(const uint8_t *data, size_t length)> drop;
};

class LossyRelay {
   public:
    enum Direction { AtoB = 0, BtoA = 1 };

    explicit LossyRelay(uint64_t seed);
    ~LossyRelay();
    LossyRelay(const LossyRelay &) = delete;
    LossyRelay &operator=(const LossyRelay &) = delete;

    // Forwards between peer A and peer B (both [::1] or v4-mapped 127.0.0.1).
    bool start(const sockaddr_in6 &peer_a, const sockaddr_in6 &peer_b);
    void stop();

    // Where peer A sends to reach B, and where B sends to reach A.
    sockaddr_in6 address_for_a() const;
    sockaddr_in6 address_for_b() const;

    void set_rules(Direction d, const RelayRules &rules);

   private:
    struct Impl;
    Impl *impl_;
};

// Loopback address helpers.
sockaddr_in6 loopback6(uint16_t port);
uint16_t socket_port(int fd);
