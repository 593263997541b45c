// The host's and client's signaling contexts, and the host's answers.
#pragma once

#include "connection/signal.h"

struct HostSignaling;
struct ZarvekInstance;

namespace zv {

struct Signaling {
    HostSignaling *hosting = nullptr;                  // the library's host callbacks and hosting events
    SignalContext *host = nullptr, *client = nullptr;  // host: the hosting's context
};

// The host's signaling on host (the library's host callbacks) and the
// client's on client, both idle until a session is set.
void signaling_create(Signaling *s, ZarvekInstance *host, ZarvekInstance *client);
// Ends both contexts; no callback runs afterwards.
void signaling_destroy(Signaling *s);
// The host's user: approves a guest that asks to connect, when one asks
// within timeout_ms.
void signaling_approve(Signaling *s, int32_t timeout_ms);

}  // namespace zv
