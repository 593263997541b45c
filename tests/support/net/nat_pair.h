// Two NAT managers, a host and a client, running one connection attempt
// against each other. Candidates travel through a queue drained by a thread of
// its own, as signaling would carry them, never by one manager's callback
// calling the other. Each side may run inside a network namespace.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "connection/nat.h"

struct VKO_Cert;

// Runs fn where a side lives (its namespace); the default runs it in place.
using NatPlace = std::function<void(const std::function<void()> &fn)>;

class NatPair {
   public:
    struct Side {
        NatPair *pair;
        bool host;
        NatManager *nat = nullptr;
        TransportRecord *record = nullptr;
        int32_t failed = 0;
        int64_t first_candidate_ns = 0;  // when the first candidate from the peer arrived
        NatPlace place;
    };

    NatPair();
    ~NatPair();

    // servers: each manager's server list. proto: NAT_PROTO_BUD or NAT_PROTO_SCTP.
    bool start(uint32_t proto, const std::string &servers, const NatPlace &host_place = {},
               const NatPlace &client_place = {});
    // Both links up, or either side failed (both ended with every_side), within timeout_ms.
    bool wait(uint32_t timeout_ms, bool every_side = false);
    // Each side has received a candidate from the other.
    bool candidates_exchanged();
    // A message each way on stream 0; true when both arrive intact.
    bool exchange();
    void close();

    Side host{this, true, nullptr, nullptr, 0, 0, {}};
    Side client{this, false, nullptr, nullptr, 0, 0, {}};
    int64_t begin_ns = 0;   // nat_begin_p2p of the second side
    int64_t opened_ns = 0;  // both links up

   private:
    struct Cand {
        Side *to;
        std::string ip;
        uint16_t port;
        uint8_t lan, from_stun, sync;
    };
    static void on_candidate(const char *attempt, const char *ip, uint16_t port, uint8_t lan,
                             uint8_t from_stun, uint8_t sync, void *opaque);
    static void on_connected(const GuestInfo *peer, TransportRecord *record, void *opaque);
    static void on_failed(const GuestInfo *peer, int32_t code, void *opaque);
    void pump();

    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<Cand> queue_;
    std::atomic<bool> stop_{false};
    std::thread pump_;
    VKO_Cert *client_cert_ = nullptr;
    VKO_Cert *host_cert_ = nullptr;
    std::string attempt_ = "4f2a9c1e-5b7d3a80-c6e1f2a4-9d8b7c6e-1a2b3c4d-5e6f7a8b";
};

// Frees a record that nobody else holds (closes its transport).
void nat_pair_free_record(TransportRecord **record);
