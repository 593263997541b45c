// Candidate routing between the two instances, and the lossy relay.
#pragma once

#include <memory>

#include "connection/signal.h"
#include "signaling.h"
#include "support/lossy_relay.h"

namespace zv {

// Candidates go only to loopback. With the relay, the first loopback
// candidate of each side is held until both are known, then each side is
// given the relay's address for the other instead; with fixed addresses
// only, only the fixed-address candidates pass (the host's goes with its
// answer, not through here). The end-of-candidates marks pass as they are.
struct CandidateRoute {
    Signaling *sig = nullptr;
    bool relay_on = false;
    bool fixed_only = false;
    RelayRules rules;
    std::unique_ptr<LossyRelay> relay;
    bool have_host = false, have_client = false, started = false;
    Candidate host, client;  // as the sides announced them

    void from_client(const Candidate &c);
    void from_host(const Candidate &c);

   private:
    void start();
};

}  // namespace zv
