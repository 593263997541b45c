// Signaling client: one persistent WebSocket per process role ("host" or
// "client") to the signaling server, which relays offers, answers and
// candidates between the two machines of a connection attempt. A thread per
// context owns the socket, reconnects with back-off, writes queued messages
// and turns incoming ones into callbacks.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/stun.h"

struct NatManager;
struct VKO_Cert;
struct VKO_Hash;
struct VKO_Mutex;
struct VKO_Queue;
struct VKO_Thread;
struct VKO_Waitable;

// Round results and errors
constexpr int32_t SIGNAL_ERR_READ = -3002;
constexpr int32_t SIGNAL_ERR_WRITE = -3003;
constexpr int32_t SIGNAL_ERR_UNAUTHORIZED = -3008;  // upgrade status 401 or "INVALID_SESSION"
constexpr int32_t SIGNAL_ERR_GOING_AWAY = -3009;    // close 1001; not reported
constexpr int32_t SIGNAL_ERR_TEAM_DEACTIVATED = -3010;
constexpr int32_t SIGNAL_ERR_CONNECT = -6101;
constexpr int32_t SIGNAL_ERR_CLOSED = -6105;
constexpr int32_t SIGNAL_ERR_INVALID_MSG = -6106;
constexpr int32_t SIGNAL_ERR_PRECONDITION = -6107;  // upgrade status 412
constexpr int32_t SIGNAL_ERR_BAD_MESSAGE = -8000;   // logged only

constexpr uint32_t SIGNAL_SDK_VERSION = 393216;
constexpr uint32_t SIGNAL_QUEUE_SLOTS = 100;
constexpr uint32_t SIGNAL_READ_SIZE = 16384;
constexpr int32_t SIGNAL_CONNECT_TIMEOUT = 10000;
constexpr int32_t SIGNAL_READ_TIMEOUT = 20;
constexpr uint32_t SIGNAL_BACKOFF_MIN = 5000;
constexpr uint32_t SIGNAL_BACKOFF_MAX = 300000;
constexpr uint32_t SIGNAL_BACKOFF_LONG = 3600000;
constexpr uint32_t SIGNAL_BACKOFF_DOUBLINGS = 51;  // failures before the long back-off
constexpr uint16_t SIGNAL_DEFAULT_PORT = 443;

// Attempt modes (the transport an attempt builds)
constexpr uint32_t SIGNAL_MODE_BUD = 1;
constexpr uint32_t SIGNAL_MODE_SCTP = 2;

#define SIGNAL_ATTEMPT_ID_SIZE 56
#define SIGNAL_PEER_ID_SIZE 32  // "from" is kept to 31 characters
#define SIGNAL_NAME_SIZE 32
// Attempts ended lately that the context remembers (a repeated offer for
// one is not taken up again).
#define SIGNAL_ENDED_ATTEMPTS 256

// A candidate carried by signaling for NAT traversal.
struct Candidate {
    uint16_t port;
    char attempt_id[SIGNAL_ATTEMPT_ID_SIZE];
    char ip[72];
    uint8_t lan;
    uint8_t from_stun;
    uint8_t sync;
};

struct SignalPermissions {
    uint8_t gamepad;
    uint8_t keyboard;
    uint8_t mouse;
};

// Any slot may be NULL. Callbacks run on the signaling thread.
struct SignalCallbacks {
    void (*on_connected)(void *opaque);
    void (*on_error)(int32_t code, void *opaque);
    void (*on_offer)(const char *attempt_id, uint32_t mode, const Creds *creds, const char *from,
                     const char *name, SignalPermissions perms, uint32_t user_id, uint8_t is_owner,
                     uint8_t skip_approval, void *opaque);
    void (*on_offer_cancel)(const char *attempt_id, void *opaque);
    void (*on_answer)(const char *attempt_id, uint8_t approved, const Creds *creds, void *opaque);
    void (*on_candex)(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
                      uint8_t sync, void *opaque);
    void (*on_sdk_message)(const char *payload, void *opaque);
};

// Threads: the session fields (session_id, session_active) are guarded by
// session_mutex and read by the signaling thread at the start of each round;
// session_active is also polled by the thread while connected, so it is
// atomic; clearing it ends the round without error (a new session). The
// fixed public address and the announcement fields are guarded by
// session_mutex too: stopping hosting clears them while answers and
// announcements may be built on other threads. The attempt map (attempt id
// -> peer id, only attempts still running: an attempt is forgotten when it
// ends) and the ring of attempts ended lately (ended, ended_next: the slot
// the next one takes) are guarded by map_mutex. stop is set once by
// signal_destroy. Other threads only queue messages; the signaling thread
// alone reads the queue, writes the socket and runs the callbacks. epoch
// (atomic) is raised by every clear of the queue: each message carries the
// epoch it was queued in, and the thread drops, unsent, those of an older
// one. The server address is set before use, while no round depends on it
// changing.
struct SignalContext {
    char session_id[65];
    char role[256];
    VKO_Thread *thread;
    VKO_Mutex *session_mutex;
    VKO_Mutex *map_mutex;
    VKO_Queue *queue;
    VKO_Waitable *wake;
    VKO_Hash *attempts;
    char ended[SIGNAL_ENDED_ATTEMPTS][SIGNAL_ATTEMPT_ID_SIZE];
    uint32_t ended_next;
    SignalCallbacks callbacks;
    void *opaque;
    uint16_t port;
    char host[256];
    std::atomic<uint8_t> stop;
    std::atomic<uint8_t> session_active;
    std::atomic<uint32_t> epoch;
    // Host announcement
    uint32_t loader_v;
    uint32_t service_v;
    char device_id[256];
    char public_addr[64];  // fixed public address announced with answers
    char name[256];
    char desc[512];
    char game_id[72];
    char secret[32];
    uint8_t is_public;
    // Where the server is: wss unless secure is cleared; the first back-off.
    uint8_t secure;
    uint32_t backoff_min;
};

// Host side of "conn_update": what the instance knows of its hosting.
struct SignalGuest {
    uint32_t guest_id;
    uint32_t user_id;
    SignalPermissions perms;
};
struct SignalHostStatus {
    uint32_t mode;  // 1 desktop, else game
    uint32_t max_players;
    uint32_t players;
    const SignalGuest *guests;
    uint32_t num_guests;
};

void signal_create(SignalContext **out, const char *role, const char *host, uint32_t loader_v,
                   uint32_t service_v, const char *device_id, const SignalCallbacks *callbacks, void *opaque);
void signal_destroy(SignalContext **ctx);

// The server: host name, port, and wss (secure 1) or ws. Tests and the
// tools point this at a local server; the next round uses it.
void signal_set_server(SignalContext *ctx, const char *host, uint16_t port, uint8_t secure);
// The first back-off wait in ms (tests shorten it); 0 restores 5,000 ms.
void signal_set_backoff(SignalContext *ctx, uint32_t min_ms);

// Takes a new session id; a different one ends the current round at once, so
// the thread reconnects with it. NULL or "" leaves the server.
void signal_set_session(SignalContext *ctx, const char *session_id);

// Attempt map: a new copy of the peer id (free with VKO_Free), "" when unknown.
char *signal_attempt_peer(SignalContext *ctx, const char *attempt_id);
// Maps the attempt to a peer, or removes it when peer is NULL or "".
void signal_map_attempt(SignalContext *ctx, const char *attempt_id, const char *peer);
// The attempt ended: its peer is forgotten and the attempt remembered among
// the last SIGNAL_ENDED_ATTEMPTS ended.
void signal_forget_attempt(SignalContext *ctx, const char *attempt_id);
// Every attempt of the map ended (hosting stopped).
void signal_forget_attempts(SignalContext *ctx);
// True when the attempt is one of the last SIGNAL_ENDED_ATTEMPTS that ended.
bool signal_attempt_ended(SignalContext *ctx, const char *attempt_id);
// The fixed public address announced with approved answers; NULL or "" for none.
void signal_set_public_addr(SignalContext *ctx, const char *addr);

// Messages queued for the thread to send.
bool signal_queue_offer(SignalContext *ctx, const char *peer, const char *attempt_id, uint32_t mode,
                        const Creds *creds, const char *secret_or_link);
bool signal_queue_offer_cancel(SignalContext *ctx, const char *attempt_id);
// Also queues a candex for the fixed public address with port (the port the
// attempt bound) when approved, the address is set and port is not 0.
bool signal_queue_answer(SignalContext *ctx, const char *attempt_id, uint8_t approved, const Creds *creds,
                         uint16_t port);
void signal_send_candex(SignalContext *ctx, const Candidate *cand);
bool signal_queue_conn_update(SignalContext *ctx, const SignalHostStatus *status);
// Drops every message queued so far: none of them is sent (any thread).
void signal_clear_queue(SignalContext *ctx);

// The two ends of a connection attempt on the NAT managers (what the
// instance's client connect and the host's answer do besides their own state).
// Client: fresh creds for proto (SIGNAL_MODE_BUD or SIGNAL_MODE_SCTP), the
// attempt added to the client NAT manager, mapped to the peer, the session
// taken and the "offer" queued; 0 or a negative code.
int32_t signal_offer_attempt(SignalContext *ctx, NatManager *nat, uint32_t proto, uint32_t cg_level,
                             const char *peer, const char *session_id, const char *secret_or_link,
                             char attempt_id[SIGNAL_ATTEMPT_ID_SIZE]);
// Host: approved starts the attempt in the host NAT manager with fresh creds
// at start_port, refused ends it with the refusal code; then the "answer" is
// queued. An approval whose attempt is unknown, whose creds cannot be made
// or whose socket cannot be bound goes out as a refusal. Nothing happens for
// an attempt without a peer.
void signal_answer_attempt(SignalContext *ctx, NatManager *nat, const char *attempt_id, uint16_t start_port,
                           uint8_t approved);

// Fresh per-attempt credentials; for SCTP a new certificate whose
// fingerprint goes into the creds is handed back through cert (may be NULL,
// then it is freed). False for an unknown mode.
bool sdk_generate_creds(uint32_t mode, Creds *creds, VKO_Cert **cert);
// 24 random bytes as six "%08x" groups joined by '-'.
void signal_new_attempt_id(char id[SIGNAL_ATTEMPT_ID_SIZE]);

// Inner operations, exposed for tests and fuzzing.
// One received message: 0 keeps the connection, else the code that ends the round.
int32_t signal_event_dispatch(SignalContext *ctx, const char *text);
// The close reason's code.
int32_t signal_close_code(const char *reason);
