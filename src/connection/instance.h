// The connection instance: the application's handle for connecting to a host
// (and, later, hosting). It owns one NAT manager per role, the outgoing
// client connection with the client session built on it, the client event
// queue the application polls, and the payloads that ride with events.
//
// Threads and locks:
// - client_lock (reader/writer) guards client_state, attempt_id, config,
//   attempt_start, client_fixed_addr and the session pointer. Senders and the status call read;
//   connect, close and the NAT manager's connected callback write.
// - client_control serialises the application's connect and close. It is
//   held while the client NAT manager is started or stopped (both join its
//   thread), and the NAT callbacks never take it; they run outside the NAT
//   manager's mutex and take only client_lock. Nobody joins the NAT thread
//   while holding client_lock, so a late callback can always finish.
// - A late NAT callback belongs to an earlier attempt when its attempt id is
//   not the instance's; its link is torn down.
// - end_code is written by the session's control thread (the host ended the
//   connection) and read by anyone: atomic.
// - The client event queue has many producers (NAT, session and signaling
//   threads) and the application as its one consumer. Payloads sit in the
//   user-data map (own mutex) under ids from the atomic next_payload_id; an
//   event the full queue refuses takes its payload with it.
// - host_lock guards the host context pointer, host_status and host_signal;
//   operations on guests take the host's three stream locks after it, in
//   their order. The host NAT manager's connected callback hands links to the
//   host context under the read lock; start and stop join the NAT thread
//   outside it. An offer is taken up, and an answer starts its attempt, only
//   under the read lock while hosting; stop clears hosting under the write
//   lock first, so once it has joined the NAT thread and dropped the attempts
//   left, no attempt of that hosting remains and none starts.
// - host_signal, when set, is the host-role signaling context whose attempt
//   map names the host NAT manager's attempts: an attempt is forgotten there
//   when it connects or fails, and every one when hosting stops.
// - The running host's whitelist (document and per-window cache) is replaced
//   under the read lock and the whitelist's own mutex, which its readers take.
// - present_hooks_installed and second_hook_set_installed are set by whoever
//   installs hooks into this process and cleared by ZarvekRemoveHooks, under
//   the host write lock; hook_removal_wait_ms is set before use.
#pragma once

#include <atomic>
#include <cstdint>

#include "client/client.h"
#include "connection/signal.h"
#include "host/host_events.h"
#include "util/config_records.h"

struct HostContext;
struct NatManager;
struct VKO_Hash;
struct VKO_Mutex;
struct VKO_Queue;
struct VKO_RWLock;

constexpr int32_t ZARVEK_ERR_NONE = -3;  // no client, session or host
constexpr int32_t ZARVEK_ERR_BUSY = -4;
constexpr int32_t ZARVEK_QUEUE_FULL = 10;

constexpr int32_t ZARVEK_CLIENT_IDLE = -3;
constexpr int32_t ZARVEK_CLIENT_CONNECTING = 20;
constexpr int32_t ZARVEK_CLIENT_CONNECTED = 0;

constexpr uint32_t ZARVEK_PHASE_CONNECT = 4;  // outcome of connecting
constexpr uint32_t ZARVEK_PHASE_DISCONNECT = 8;

constexpr uint32_t ZARVEK_EVENT_SLOTS = 100;

enum ClientEventType : uint32_t {
    CLIENT_EVENT_CURSOR = 1,
    CLIENT_EVENT_RUMBLE = 2,
    CLIENT_EVENT_USER_DATA = 3,
    CLIENT_EVENT_HOST_FLAG_ON = 4,
    CLIENT_EVENT_HOST_FLAG_OFF = 5,
    CLIENT_EVENT_STREAM_STATUS = 6,
    CLIENT_EVENT_STATUS = 7,
    CLIENT_EVENT_LOCAL_CANDIDATE = 8,
    CLIENT_EVENT_PAYLOAD = 9,
};

// Events carrying a payload name it by payload id; the application takes it
// with ZarvekTakeUserData.
struct ClientEvent {
    uint32_t type;
    union {
        struct {
            ClientCursor cursor;  // image of cursor.size bytes when cursor.image
            uint32_t payload_id;
        } cursor;
        struct {
            uint32_t gamepad;
            uint8_t motor1;
            uint8_t motor2;
        } rumble;
        struct {
            uint32_t message_id;
            uint32_t payload_id;  // NUL-terminated text
        } user_data;
        struct {
            uint32_t value;
            uint8_t stream;
        } stream_status;
        struct {
            uint32_t phase;
            int32_t code;
            uint32_t seconds;  // since the attempt began, rounded
            char attempt_id[SIGNAL_ATTEMPT_ID_SIZE];
        } status;
        Candidate candidate;
        struct {
            uint32_t payload_id;
            uint32_t size;
            uint32_t value1;
            uint32_t value2;
        } payload;
    };
};

struct ZarvekHostStatus {
    uint32_t mode;  // 1 while hosting
    uint32_t guests;
    uint32_t stream_guests[3];
    HostConfig config;
    uint32_t players;
    uint32_t hosting;
};

struct ZarvekInstance {
    ZarvekNetConfig net;
    VKO_Mutex *user_data_mutex;
    VKO_Hash *user_data;  // payload id -> payload (VKO_Alloc)
    std::atomic<uint32_t> next_payload_id;
    uint8_t client_flags[2];
    ClientContext *session;
    NatManager *client_nat;
    VKO_RWLock *client_lock;
    std::atomic<uint8_t> client_active;
    VKO_Queue *client_events;
    int32_t client_state;
    char attempt_id[SIGNAL_ATTEMPT_ID_SIZE];
    ClientConfig config;
    std::atomic<int32_t> end_code;
    int64_t attempt_start;
    HostContext *host;
    NatManager *host_nat;
    VKO_RWLock *host_lock;
    VKO_Queue *host_events;
    HostEventTarget host_target;  // what the host events fill of this instance
    std::atomic<uint32_t> host_guest_count;
    ZarvekHostStatus host_status;
    std::atomic<uint32_t> next_guest_id;
    VKO_Mutex *mutex;
    uint8_t present_hooks_installed;
    uint8_t second_hook_set_installed;
    VKO_Mutex *client_control;
    uint32_t hook_removal_wait_ms;  // how long detours still running get before the states are freed (2000)
    char client_fixed_addr[64];     // the client's fixed public address, "" for none (under client_lock)
    SignalContext *host_signal;     // the host-role signaling context, or null (under host_lock)
};

int32_t ZarvekInit(const ZarvekNetConfig *net, ZarvekInstance **out);
void ZarvekDestroy(ZarvekInstance **instance);
// {"function": name, ...}: "ZarvekHostKickGuest" with "guestID", and
// "ZarvekHostSetPermissions" with "guestID" and "perms" {"gamepad",
// "keyboard", "mouse"}; anything else, or a missing member, is ignored.
void ZarvekJSONCall(ZarvekInstance *instance, const char *json);

// Client half.
void ZarvekClientDisconnect(ZarvekInstance *instance);
// take_lock 0: the caller holds the client write lock on the client NAT
// manager's own thread.
void ZarvekClientClose(ZarvekInstance *instance, int32_t code, uint8_t take_lock);
// -3 with no client, 20 connecting, the close code after a close; while
// connected the host's end code when it ended the session, else the session's state.
int32_t ZarvekClientGetStatus(ZarvekInstance *instance, ClientStatus *out);
// The client's fixed public address (NULL or "" for none): an approved
// attempt hands it out as a local candidate (event 8) at the client start
// port, lan 1, from_stun 0, sync 0, for the application to send as candex.
void ZarvekClientSetFixedAddress(ZarvekInstance *instance, const char *address);
int32_t ZarvekClientSendControllerReport(ZarvekInstance *instance, uint32_t controller, const void *bytes,
                                         uint32_t size);
int32_t ZarvekClientSendTabletReport(ZarvekInstance *instance, uint8_t tablet, const uint8_t *report);
int32_t ZarvekClientEnableStream(ZarvekInstance *instance, uint8_t stream, uint8_t enable);
int32_t ZarvekClientSendUserData(ZarvekInstance *instance, uint32_t id, const char *text);
void ZarvekClientPushStatus(ZarvekInstance *instance, int32_t code, uint32_t phase);
// The payload (may be null) is stored under payload_id; 10 when the queue is
// full, and then the payload is freed.
int32_t sdk_client_push_event(ZarvekInstance *instance, const ClientEvent *event, uint32_t payload_id,
                              void *payload);

// The application's side of the event queue: the oldest event within
// timeout_ms (negative waits without limit); false when none came.
bool ZarvekClientPollEvents(ZarvekInstance *instance, int32_t timeout_ms, ClientEvent *out);
// Takes a stored payload (free with VKO_Free); null when unknown.
void *ZarvekTakeUserData(ZarvekInstance *instance, uint32_t payload_id);

// Callbacks of the client signaling context, opaque = the instance. The
// host role's set is the shell's (app/host_signal.h).
SignalCallbacks sdk_client_signal_callbacks(void);

// A start port setting of the merged configuration ("network_client_start_port",
// "network_server_start_port"): 0, any port, without a store or outside 1..65535.
uint16_t sdk_config_port(const char *key);

// The host-role signaling context whose attempt map names the host's
// attempts (null: none); its attempts are forgotten as they end.
void sdk_host_set_signal(ZarvekInstance *instance, SignalContext *ctx);

// Host half. Start: 0, or -4 when hosting already; config null: the defaults.
int32_t ZarvekHostStart(ZarvekInstance *instance, void *unused, const HostConfig *config);
void ZarvekHostStop(ZarvekInstance *instance, uint32_t reason);
void ZarvekHostSetConfig(ZarvekInstance *instance, const HostConfig *config);
void ZarvekHostGetStatus(ZarvekInstance *instance, ZarvekHostStatus *out);
// The oldest host event within timeout_ms; false when none came.
bool ZarvekHostPollEvents(ZarvekInstance *instance, int32_t timeout_ms, HostEvent *out);
// Guests of a running host context: -3 without one, -13011 for an unknown guest.
int32_t ZarvekHostKickGuest(ZarvekInstance *instance, uint32_t guest_id, int32_t reason);
int32_t ZarvekHostSetPermissions(ZarvekInstance *instance, uint32_t guest_id, SignalPermissions perms);
int32_t ZarvekHostSendUserData(ZarvekInstance *instance, uint32_t guest_id, uint32_t id, const char *text);
// mask 4: the connected guests (not leaving); mask 1: the pending attempts
// of the host NAT manager. Connected first; *out (VKO_Free) only when given.
uint32_t ZarvekHostGetGuests(ZarvekInstance *instance, uint32_t mask, GuestInfo **out);
// Replaces the running host's document of executable paths that may be
// streamed (an empty object for none, unparsable text or anything but an
// object) and forgets the answers cached per window.
void ZarvekHostSetGuestStateJSON(ZarvekInstance *instance, const char *json);
// Detaches every present hook of the process, waits hook_removal_wait_ms and
// frees the hook states: 0, or -1517 when no hooks were installed.
int32_t ZarvekRemoveHooks(ZarvekInstance *instance);

// Signaling operations on the instance.
// 0, or -4 when a client attempt is already running. The instance's previous
// attempt is forgotten in ctx's attempt map.
int32_t signal_client_connect(SignalContext *ctx, ZarvekInstance *instance, const ClientConfig *config,
                              const char *peer, const char *session_id, const char *secret_or_link);
void signal_client_cancel(SignalContext *ctx, ZarvekInstance *instance);
// Only while hosting; otherwise the attempt is forgotten and nothing is sent.
void signal_send_answer(SignalContext *ctx, ZarvekInstance *instance, const char *attempt_id,
                        uint16_t start_port, uint8_t approved);
void signal_send_conn_update(SignalContext *ctx, ZarvekInstance *instance);
// Ends hosting and the session: every attempt is dropped and forgotten, and
// nothing queued before is sent on a later session.
void signal_stop_hosting(SignalContext *ctx, ZarvekInstance *instance, uint32_t reason);
