#include "host/host_events.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kGuestJoined = 4;
constexpr int32_t kGuestLeft = -13014;  // the guest disconnected itself

HostEvent guest_event(const GuestInfo *guest) {
    HostEvent e;
    memset(&e, 0, sizeof(e));
    e.type = HOST_EVENT_GUEST_STATE;
    e.state.guest = *guest;
    return e;
}

}  // namespace

int32_t host_event_push(HostEventTarget *instance, const HostEvent *event, uint32_t data_id, char *payload) {
    void *slot = VKO_QueueGetInputBuffer(instance->queue);
    if (!slot) {
        VKO_Log("host_event_push", "Failed to push host event to queue");
        VKO_Free(payload);
        return HOST_EVENT_QUEUE_FULL;
    }
    memset(slot, 0, HOST_EVENT_SLOT_SIZE);
    memcpy(slot, event, sizeof(*event));
    if (payload) {
        // Stored before the slot is committed: the poller may look it up at once.
        VKO_MutexLock(instance->user_data_mutex);
        void *old = VKO_HashSetInt(instance->user_data, data_id, payload);
        VKO_MutexUnlock(instance->user_data_mutex);
        if (old != payload) VKO_Free(old);
    }
    VKO_QueuePush(instance->queue, HOST_EVENT_SLOT_SIZE);
    return 0;
}

void host_on_guest_state(const GuestInfo *guest, uint32_t guest_count, int32_t reason, uint64_t connect_time,
                         void *opaque) {
    auto *instance = static_cast<HostEventTarget *>(opaque);
    HostEvent e = guest_event(guest);
    e.state.code = reason == kGuestLeft ? 0 : reason;
    e.state.status = guest->state == kGuestJoined ? HOST_GUEST_CONNECTED : HOST_GUEST_DISCONNECTED;
    e.state.duration = (uint32_t)((uint64_t)time(nullptr) - connect_time);
    host_event_push(instance, &e, 0, nullptr);
    instance->guest_count->store(guest_count);
}

int32_t host_on_user_data(const GuestInfo *guest, uint32_t data_type, char *payload, void *opaque) {
    auto *instance = static_cast<HostEventTarget *>(opaque);
    uint32_t id = instance->next_payload_id->fetch_add(1) + 1;
    HostEvent e;
    memset(&e, 0, sizeof(e));
    e.type = HOST_EVENT_USER_DATA;
    e.data.guest = *guest;
    e.data.data_type = data_type;
    e.data.data_id = id;
    return host_event_push(instance, &e, id, payload);
}

void host_on_local_candidate(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan,
                             uint8_t from_stun, uint8_t sync, void *opaque) {
    HostEvent e;
    memset(&e, 0, sizeof(e));
    e.type = HOST_EVENT_CANDIDATE;
    e.candidate.port = port;
    snprintf(e.candidate.attempt_id, sizeof(e.candidate.attempt_id), "%s", attempt_id ? attempt_id : "");
    snprintf(e.candidate.ip, sizeof(e.candidate.ip), "%s", ip ? ip : "");
    e.candidate.lan = lan;
    e.candidate.from_stun = from_stun;
    e.candidate.sync = sync;
    host_event_push(static_cast<HostEventTarget *>(opaque), &e, 0, nullptr);
}

void host_on_attempt_failed(const GuestInfo *peer, int32_t error, void *opaque) {
    HostEvent e = guest_event(peer);
    e.state.code = error;
    e.state.status = HOST_GUEST_CONNECTED;
    host_event_push(static_cast<HostEventTarget *>(opaque), &e, 0, nullptr);
}
