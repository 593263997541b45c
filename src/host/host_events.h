// What the host half of a connection instance reports to the application:
// guests connecting and leaving, user data they send, local candidates and
// failed attempts, as records in the instance's host event queue, which the
// hosting loop polls. User-data payloads wait in the instance's user-data map
// under their payload id until the application takes them.
//
// Threads: the callbacks run on guest message threads and on the NAT thread.
// The queue serialises the producers; the user-data map is changed only under
// its mutex (taken inside the queue's producer lock, never the other way
// round); payload ids and the guest count are atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/guest_info.h"
#include "connection/signal.h"

struct VKO_Hash;
struct VKO_Mutex;
struct VKO_Queue;

constexpr uint32_t HOST_EVENT_SLOTS = 100;
constexpr uint32_t HOST_EVENT_SLOT_SIZE = 360;
constexpr int32_t HOST_EVENT_QUEUE_FULL = 10;

constexpr uint32_t HOST_EVENT_GUEST_STATE = 1;
constexpr uint32_t HOST_EVENT_USER_DATA = 2;
constexpr uint32_t HOST_EVENT_CANDIDATE = 3;

constexpr uint32_t HOST_GUEST_CONNECTED = 1;
constexpr uint32_t HOST_GUEST_DISCONNECTED = 2;

struct HostEvent {
    uint32_t type;
    union {
        struct {
            GuestInfo guest;
            int32_t code;       // leave reason or attempt error; the guest's own disconnect is 0
            uint32_t status;    // HOST_GUEST_CONNECTED / _DISCONNECTED
            uint32_t duration;  // seconds since the guest connected
        } state;
        struct {
            GuestInfo guest;
            uint32_t data_type;
            uint32_t data_id;  // payload id in the user-data map
        } data;
        Candidate candidate;
    };
};
static_assert(sizeof(HostEvent) <= HOST_EVENT_SLOT_SIZE);

// The parts of the connection instance the host events fill. The instance
// owns them and passes this record as the opaque of the host context's
// callbacks and of the host NAT manager's listener.
struct HostEventTarget {
    VKO_Queue *queue;  // HOST_EVENT_SLOTS slots of HOST_EVENT_SLOT_SIZE bytes
    VKO_Mutex *user_data_mutex;
    VKO_Hash *user_data;  // payload id -> payload (VKO_Alloc'd text)
    std::atomic<uint32_t> *next_payload_id;
    std::atomic<uint32_t> *guest_count;  // the host status's guest count
};

// 0, or HOST_EVENT_QUEUE_FULL (the payload is then freed). Takes the payload.
int32_t host_event_push(HostEventTarget *instance, const HostEvent *event, uint32_t data_id, char *payload);

// The host context's guest-state and user-data callbacks.
void host_on_guest_state(const GuestInfo *guest, uint32_t guest_count, int32_t reason, uint64_t connect_time,
                         void *instance);
int32_t host_on_user_data(const GuestInfo *guest, uint32_t data_type, char *payload, void *instance);

// The host NAT manager's candidate and failed-attempt callbacks.
void host_on_local_candidate(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan,
                             uint8_t from_stun, uint8_t sync, void *instance);
void host_on_attempt_failed(const GuestInfo *peer, int32_t error, void *instance);
