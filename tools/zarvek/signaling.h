// The host's and client's signaling contexts, and the host's answers.
#pragma once

#include "connection/signal.h"

struct ZarvekInstance;

namespace zv {

struct Signaling {
    SignalContext *host = nullptr, *client = nullptr;
    ZarvekInstance *host_instance = nullptr;
};

// The host's signaling callbacks; their opaque is the Signaling.
SignalCallbacks host_signal_callbacks();

}  // namespace zv
