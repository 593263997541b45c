#include "app/host_signal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "connection/instance.h"
#include "connection/nat.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "util/logger.h"

namespace {

constexpr uint32_t kStopReasonUnauthorized = 4;

HostSignaling *rec(void *opaque) {
    return static_cast<HostSignaling *>(opaque);
}

void on_connected(void *opaque) {
    signal_send_conn_update(rec(opaque)->signal, rec(opaque)->instance);
}

// The session is no longer valid: hosting ends and the signaling forgets it.
void on_error(int32_t code, void *opaque) {
    if (code == SIGNAL_ERR_UNAUTHORIZED)
        signal_stop_hosting(rec(opaque)->signal, rec(opaque)->instance, kStopReasonUnauthorized);
}

// The peer is told no at once; the attempt is over before it began.
void refuse(HostSignaling *hs, const char *attempt_id, const char *from) {
    signal_map_attempt(hs->signal, attempt_id, from);
    signal_queue_answer(hs->signal, attempt_id, 0, nullptr, 0);
    signal_forget_attempt(hs->signal, attempt_id);
}

void on_offer(const char *attempt_id, uint32_t mode, const Creds *creds, const char *from, const char *name,
              SignalPermissions perms, uint32_t user_id, uint8_t is_owner, uint8_t skip_approval,
              void *opaque) {
    HostSignaling *hs = rec(opaque);
    ZarvekInstance *z = hs->instance;
    if (signal_attempt_ended(hs->signal, attempt_id)) {
        log_message(LOG_LEVEL_INFO, "Offer for attempt %s relayed after it ended", attempt_id);
        return;
    }
    GuestInfo info = {};
    info.state = GUEST_STATE_WAITING;
    info.id = z->next_guest_id.fetch_add(1) + 1;
    info.gamepad = perms.gamepad;
    info.keyboard = perms.keyboard;
    info.mouse = perms.mouse;
    info.userID = user_id;
    info.owner = is_owner;
    snprintf(info.attempt_id, sizeof info.attempt_id, "%s", attempt_id);
    snprintf(info.name, sizeof info.name, "%s", name ? name : "");
    const bool known_mode = mode == SIGNAL_MODE_BUD || mode == SIGNAL_MODE_SCTP;
    // Taken up only while hosting, under the read lock that a stop waits
    // for: a stop then drops and forgets it like every other attempt.
    VKO_RWLockReader(z->host_lock);
    const bool hosting = z->host != nullptr;
    // The level the host context applies to its links when it changes later.
    const uint32_t cg_level = static_cast<uint32_t>(std::max(0, z->host_status.config.cg_level));
    const uint8_t added = hosting && known_mode
                              ? nat_add_peer(z->host_nat, attempt_id, mode, creds, &info, nullptr, cg_level)
                              : 0;
    if (added == 1) signal_map_attempt(hs->signal, attempt_id, from);
    VKO_RWLockUnlock(z->host_lock);
    if (added == 0 && hosting && known_mode) {
        log_message(LOG_LEVEL_INFO, "Offer for attempt %s relayed twice", attempt_id);
        return;
    }
    if (added != 1) {
        log_message(LOG_LEVEL_INFO, "Offer for attempt %s refused: %s", attempt_id,
                    !hosting      ? "not hosting"
                    : !known_mode ? "unknown transport"
                                  : "too many attempts");
        refuse(hs, attempt_id, from);
        return;
    }
    if (skip_approval) {
        host_signaling_answer(hs, attempt_id, 1);
        return;
    }
    void *slot = VKO_QueueGetInputBuffer(hs->events);
    if (!slot) {
        log_message(LOG_LEVEL_INFO, "Failed to push hosting event to queue");
        host_signaling_answer(hs, attempt_id, 0);
        return;
    }
    HostingEvent ev = {};
    ev.type = HOSTING_EVENT_GUEST_ASKS;
    ev.guest = info;
    std::memcpy(slot, &ev, sizeof ev);
    VKO_QueuePush(hs->events, sizeof ev);
}

void on_offer_cancel(const char *attempt_id, void *opaque) {
    nat_set_end_code(rec(opaque)->instance->host_nat, attempt_id, NAT_END_CANCELLED);
}

void on_candex(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
               uint8_t sync, void *opaque) {
    nat_add_candidate(rec(opaque)->instance->host_nat, attempt_id, ip, port, lan, from_stun, sync);
}

void on_sdk_message(const char *payload, void *opaque) {
    ZarvekJSONCall(rec(opaque)->instance, payload);
}

}  // namespace

SignalCallbacks sdk_host_signal_callbacks(void) {
    SignalCallbacks cb = {};
    cb.on_connected = on_connected;
    cb.on_error = on_error;
    cb.on_offer = on_offer;
    cb.on_offer_cancel = on_offer_cancel;
    cb.on_candex = on_candex;
    cb.on_sdk_message = on_sdk_message;
    return cb;
}

void host_signaling_create(HostSignaling **out, ZarvekInstance *instance, const char *server_host,
                           uint32_t loader_v, uint32_t service_v, const char *device_id) {
    auto *hs = new HostSignaling{};
    hs->instance = instance;
    hs->events = VKO_QueueCreate(HOSTING_EVENT_SLOTS, sizeof(HostingEvent));
    const SignalCallbacks cb = sdk_host_signal_callbacks();
    signal_create(&hs->signal, "host", server_host, loader_v, service_v, device_id, &cb, hs);
    sdk_host_set_signal(instance, hs->signal);
    *out = hs;
}

void host_signaling_destroy(HostSignaling **phs) {
    if (!phs || !*phs) return;
    HostSignaling *hs = *phs;
    sdk_host_set_signal(hs->instance, nullptr);
    signal_destroy(&hs->signal);  // no callback runs after this
    VKO_QueueFlush(hs->events, nullptr);
    VKO_QueueDestroy(&hs->events);
    delete hs;
    *phs = nullptr;
}

bool host_signaling_poll(HostSignaling *hs, int32_t timeout_ms, HostingEvent *out) {
    const int64_t end = VKO_GetTime() + int64_t{timeout_ms} * 1000000;
    for (int32_t wait = timeout_ms;;) {
        void *buf = nullptr;
        uint64_t size = 0;
        if (!VKO_QueueGetOutputBuffer(hs->events, wait, &buf, &size)) return false;
        std::memcpy(out, buf, sizeof *out);
        VKO_QueuePop(hs->events);
        // An ask whose attempt ended meanwhile (cancelled, timed out, hosting
        // stopped) has nobody left to answer.
        char *peer = signal_attempt_peer(hs->signal, out->guest.attempt_id);
        const bool live = peer[0] != '\0';
        VKO_Free(peer);
        if (live) return true;
        if (timeout_ms >= 0)
            wait = static_cast<int32_t>(std::max<int64_t>(0, (end - VKO_GetTime()) / 1000000));
    }
}

void host_signaling_answer(HostSignaling *hs, const char *attempt_id, uint8_t approved) {
    signal_send_answer(hs->signal, hs->instance, attempt_id, sdk_config_port("network_server_start_port"),
                       approved);
}
