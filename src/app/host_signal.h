// The shell's side of hosting over signaling: the callbacks installed on the
// host-role signaling context, and the queue of hosting events through which
// the host's user approves or refuses a guest that asks to connect.
//
// Threads and state:
// - instance and signal are set by host_signaling_create and never change;
//   the signaling context's thread is the only caller of the callbacks (they
//   only start once a session id is set, after creation returned). The
//   instance knows signal as its host signaling context until destroy.
// - Guest ids come from the instance's atomic next_guest_id, one per offer,
//   so every guest and pending attempt has an id of its own.
// - An offer is taken up only while the instance hosts, with a known
//   transport, while the host NAT manager has room, and when its attempt has
//   not ended already (a repeated relay); otherwise it is refused at once
//   (or, repeated, ignored). A taken-up attempt is in signal's attempt map
//   until it ends.
// - The hosting event queue has the signaling thread as its one producer and
//   the application as its one consumer. An offer the full queue cannot take
//   is refused at once, so its guest is not left waiting for an approval no
//   one can give. The consumer drops asks whose attempt ended meanwhile
//   (no longer in the attempt map), so a stop leaves no ask to answer.
// - The application answers from any thread: signal_send_answer takes the
//   instance's host lock and only queues the message for the signaling
//   thread; when not hosting it starts and sends nothing.
#pragma once

#include <cstdint>

#include "connection/guest_info.h"
#include "connection/signal.h"

struct VKO_Queue;
struct ZarvekInstance;

constexpr uint32_t HOSTING_EVENT_GUEST_ASKS = 3;  // a guest asks to connect
constexpr uint32_t HOSTING_EVENT_SLOTS = 100;

struct HostingEvent {
    uint32_t type;
    // The asking guest as the host NAT manager holds it: state 1 (waiting),
    // its guest id, permissions, user id, owner flag, attempt id and name.
    GuestInfo guest;
};

struct HostSignaling {
    ZarvekInstance *instance;
    SignalContext *signal;  // the role "host", its opaque this record
    VKO_Queue *events;      // HOSTING_EVENT_SLOTS hosting events
};

// The host-role signaling context (server host, versions and device id as for
// signal_create) with the host callbacks, for hosting on instance.
void host_signaling_create(HostSignaling **out, ZarvekInstance *instance, const char *server_host,
                           uint32_t loader_v, uint32_t service_v, const char *device_id);
// Destroys the signaling context (its thread ends first), then the queue;
// before the instance.
void host_signaling_destroy(HostSignaling **hs);

// The host callbacks; opaque = a HostSignaling whose signal they answer on.
SignalCallbacks sdk_host_signal_callbacks(void);

// The oldest hosting event within timeout_ms (negative waits without limit);
// false when none came.
bool host_signaling_poll(HostSignaling *hs, int32_t timeout_ms, HostingEvent *out);
// The user's answer to a guest's request: approved starts the attempt at the
// configured server start port, refused ends it with code 8.
void host_signaling_answer(HostSignaling *hs, const char *attempt_id, uint8_t approved);
