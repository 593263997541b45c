// The connection instance: its creation, the client connection's life
// (connect, connected, failed, cancel, close), the events the application
// polls, and the signaling operations that need the instance.
#include "connection/instance.h"

#include <algorithm>
#include <utility>
#include <vector>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "connection/nat.h"
#include "connection/protocol.h"
#include "host/host.h"
#include "host/present_hooks.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "util/config.h"

namespace {

constexpr uint32_t kUserDataBuckets = 100;
constexpr uint16_t kTabletVendor = 0x056A;
constexpr uint16_t kTabletProduct = 0x0357;
constexpr uint32_t kHostStopReasonDestroy = 4;
constexpr int32_t kKickReasonJson = 5;
constexpr uint32_t kGuestsConnected = 4;
constexpr uint32_t kGuestsPending = 1;

void copy_text(char *dst, size_t size, const char *src) {
    snprintf(dst, size, "%s", src ? src : "");
}

uint32_t new_payload_id(ZarvekInstance *z) {
    return z->next_payload_id.fetch_add(1) + 1;
}

// A copy of bytes from the session; null for none.
void *copy_payload(const void *bytes, uint32_t size) {
    if (!bytes || size == 0) return nullptr;
    void *p = VKO_Alloc(1, size);
    std::memcpy(p, bytes, size);
    return p;
}

// The caller holds client_lock (either side).
void push_status_locked(ZarvekInstance *z, int32_t code, uint32_t phase) {
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_STATUS;
    ev.status.phase = phase;
    ev.status.code = code;
    double ms = VKO_TimeDiff(z->attempt_start, VKO_GetTime());
    ev.status.seconds = ms > 0 ? static_cast<uint32_t>(std::lround(ms / 1000.0)) : 0;
    copy_text(ev.status.attempt_id, sizeof ev.status.attempt_id, z->attempt_id);
    sdk_client_push_event(z, &ev, 0, nullptr);
}

// The oldest event of a queue, copied out.
bool poll_event(VKO_Queue *queue, int32_t timeout_ms, void *out, size_t size) {
    void *buf = nullptr;
    uint64_t got = 0;
    if (!VKO_QueueGetOutputBuffer(queue, timeout_ms, &buf, &got)) return false;
    std::memcpy(out, buf, size);
    VKO_QueuePop(queue);
    return true;
}

bool is_current_attempt(const ZarvekInstance *z, const char *attempt_id) {
    return z->client_state == ZARVEK_CLIENT_CONNECTING && attempt_id && z->attempt_id[0] &&
           std::strcmp(attempt_id, z->attempt_id) == 0;
}

// Under the client write lock: the new state; a session to end is handed back
// for client_teardown once the lock is released.
ClientContext *close_locked(ZarvekInstance *z, int32_t code) {
    z->client_state = code;
    z->client_active = 0;
    ClientContext *s = nullptr;
    if (code != 0) {
        s = z->session;
        z->session = nullptr;
    }
    return s;
}

void client_teardown(ClientContext *s) {
    if (!s) return;
    s->running.store(false);
    if (!s->host_ended.load()) {
        proto_send_disconnect(s->transport, 0);
        client_refresh_metrics(s, 0);
    }
    client_destroy(&s);
}

// The application's close: serialised with connect by client_control; the
// NAT manager is stopped (joined) after client_lock is released.
void close_from_app(ZarvekInstance *z, int32_t code, bool push_disconnect, const char *only_attempt,
                    int32_t push_code) {
    VKO_MutexLock(z->client_control);
    VKO_RWLockWriter(z->client_lock);
    ClientContext *s = nullptr;
    bool closed = !only_attempt || is_current_attempt(z, only_attempt);
    if (closed) {
        if (push_disconnect && z->client_state == ZARVEK_CLIENT_CONNECTED && z->end_code.load() == 0)
            push_status_locked(z, 0, ZARVEK_PHASE_DISCONNECT);
        s = close_locked(z, code);
        if (only_attempt) push_status_locked(z, push_code, ZARVEK_PHASE_CONNECT);
    }
    VKO_RWLockUnlock(z->client_lock);
    if (closed) nat_stop(z->client_nat);
    VKO_MutexUnlock(z->client_control);
    client_teardown(s);
}

// --- callbacks of the client session (on its threads) ------------------------------

void sdk_client_on_cursor(const ClientCursor *cursor, const uint8_t *image, void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_CURSOR;
    ev.cursor.cursor = *cursor;
    // The session bounded size by the bytes received.
    void *payload = cursor->image ? copy_payload(image, cursor->size) : nullptr;
    if (payload) ev.cursor.payload_id = new_payload_id(z);
    sdk_client_push_event(z, &ev, ev.cursor.payload_id, payload);
}

void sdk_client_on_rumble(uint32_t gamepad, uint8_t motor1, uint8_t motor2, void *opaque) {
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_RUMBLE;
    ev.rumble.gamepad = gamepad;
    ev.rumble.motor1 = motor1;
    ev.rumble.motor2 = motor2;
    sdk_client_push_event(static_cast<ZarvekInstance *>(opaque), &ev, 0, nullptr);
}

void sdk_client_on_payload(uint32_t value1, const uint8_t *bytes, uint32_t size, uint32_t value2,
                           void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_PAYLOAD;
    ev.payload.size = size;
    ev.payload.value1 = value1;
    ev.payload.value2 = value2;
    void *payload = copy_payload(bytes, size);
    if (payload) ev.payload.payload_id = new_payload_id(z);
    sdk_client_push_event(z, &ev, ev.payload.payload_id, payload);
}

void sdk_client_on_stream_status(uint8_t stream, uint32_t value, void *opaque) {
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_STREAM_STATUS;
    ev.stream_status.value = value;
    ev.stream_status.stream = stream;
    sdk_client_push_event(static_cast<ZarvekInstance *>(opaque), &ev, 0, nullptr);
}

void sdk_client_on_user_data(uint32_t id, char *text, void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_USER_DATA;
    ev.user_data.message_id = id;
    ev.user_data.payload_id = new_payload_id(z);
    sdk_client_push_event(z, &ev, ev.user_data.payload_id, text);
}

void sdk_client_on_host_flag(bool flag, void *opaque) {
    ClientEvent ev{};
    ev.type = flag ? CLIENT_EVENT_HOST_FLAG_ON : CLIENT_EVENT_HOST_FLAG_OFF;
    sdk_client_push_event(static_cast<ZarvekInstance *>(opaque), &ev, 0, nullptr);
}

// Under host_lock and the stream locks: the guest of that id that is not leaving.
Guest *find_guest(HostContext *host, uint32_t guest_id) {
    for (VKO_ListNode *n = VKO_ListGetFirst(host->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        if (g->info.id == guest_id && g->reason.load() == 0) return g;
    }
    return nullptr;
}

// --- callbacks of the host NAT manager (on its thread) -----------------------------

void host_nat_candidate(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
                        uint8_t sync, void *opaque) {
    host_on_local_candidate(attempt_id, ip, port, lan, from_stun, sync,
                            &static_cast<ZarvekInstance *>(opaque)->host_target);
}

// Under host_lock: the attempt's messages are over.
void forget_host_attempt(ZarvekInstance *z, const GuestInfo *peer) {
    if (z->host_signal) signal_forget_attempt(z->host_signal, peer->attempt_id);
}

void host_nat_connected(const GuestInfo *peer, TransportRecord *record, void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    VKO_RWLockReader(z->host_lock);
    forget_host_attempt(z, peer);
    if (z->host) {
        host_on_accept(peer, record, z->host);
        record = nullptr;
    }
    VKO_RWLockUnlock(z->host_lock);
    if (record) proto_destroy(&record);  // hosting stopped meanwhile
}

void host_nat_failed(const GuestInfo *peer, int32_t code, void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    VKO_RWLockReader(z->host_lock);
    forget_host_attempt(z, peer);
    VKO_RWLockUnlock(z->host_lock);
    host_on_attempt_failed(peer, code, &z->host_target);
}

const NatCallbacks kHostNatCallbacks = {host_nat_candidate, host_nat_connected, host_nat_failed};

void host_config_or_defaults(const HostConfig *config, HostConfig *out) {
    if (config)
        *out = *config;
    else
        config_host_defaults(out);
}

bool json_u32(const VKO_JSON *obj, const char *name, uint32_t *out) {
    int32_t v;
    if (!VKO_JSONToInt(VKO_JSONObjGetItem(obj, name), &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// A permission as a boolean or a number.
bool json_flag(const VKO_JSON *obj, const char *name, uint8_t *out) {
    const VKO_JSON *item = VKO_JSONObjGetItem(obj, name);
    bool b;
    int32_t v;
    if (VKO_JSONToBool(item, &b))
        v = b;
    else if (!VKO_JSONToInt(item, &v))
        return false;
    *out = v != 0;
    return true;
}

void sdk_client_on_end(int32_t code, void *opaque) {
    static_cast<ZarvekInstance *>(opaque)->end_code.store(code);
}

const ClientCallbacks kSessionCallbacks = {
    sdk_client_on_cursor,    sdk_client_on_rumble,    sdk_client_on_payload, sdk_client_on_stream_status,
    sdk_client_on_user_data, sdk_client_on_host_flag, sdk_client_on_end};

// --- callbacks of the client NAT manager (on its thread) ---------------------------

void sdk_client_on_local_candidate(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan,
                                   uint8_t from_stun, uint8_t sync, void *opaque) {
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_LOCAL_CANDIDATE;
    ev.candidate.port = port;
    copy_text(ev.candidate.attempt_id, sizeof ev.candidate.attempt_id, attempt_id);
    copy_text(ev.candidate.ip, sizeof ev.candidate.ip, ip);
    ev.candidate.lan = lan;
    ev.candidate.from_stun = from_stun;
    ev.candidate.sync = sync;
    sdk_client_push_event(static_cast<ZarvekInstance *>(opaque), &ev, 0, nullptr);
}

void sdk_client_on_connected(const GuestInfo *peer, TransportRecord *record, void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    TransportRecord *orphan = nullptr;
    VKO_RWLockWriter(z->client_lock);
    if (!is_current_attempt(z, peer->attempt_id)) {
        orphan = record;  // cancelled, or an earlier attempt's
    } else {
        ClientContext *s = nullptr;
        int32_t r = client_create(record, &z->config, &kSessionCallbacks, z, &s);
        if (r != 0) {
            orphan = record;
            close_locked(z, r);
            push_status_locked(z, r, ZARVEK_PHASE_CONNECT);
        } else {
            s->client_flags[0] = z->client_flags[0];
            s->client_flags[1] = z->client_flags[1];
            proto_send_flags(record, z->client_flags[0], z->client_flags[1]);
            z->session = s;
            z->client_state = ZARVEK_CLIENT_CONNECTED;
            z->client_active = 0;
            push_status_locked(z, 0, ZARVEK_PHASE_CONNECT);
        }
        nat_stop(z->client_nat);  // its own thread: only asks it to end
    }
    VKO_RWLockUnlock(z->client_lock);
    if (orphan) proto_destroy(&orphan);
}

void sdk_client_on_failed(const GuestInfo *peer, int32_t code, void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    VKO_RWLockWriter(z->client_lock);
    bool current = is_current_attempt(z, peer->attempt_id);
    if (current) {
        close_locked(z, code);  // no session while connecting
        push_status_locked(z, code, ZARVEK_PHASE_CONNECT);
        nat_stop(z->client_nat);
    }
    VKO_RWLockUnlock(z->client_lock);
}

const NatCallbacks kNatCallbacks = {sdk_client_on_local_candidate, sdk_client_on_connected,
                                    sdk_client_on_failed};

// --- callbacks of the client signaling context (on its thread) -------------------

void signal_on_candex(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
                      uint8_t sync, void *opaque) {
    nat_add_candidate(static_cast<ZarvekInstance *>(opaque)->client_nat, attempt_id, ip, port, lan, from_stun,
                      sync);
}

void signal_on_answer(const char *attempt_id, uint8_t approved, const Creds *creds, void *opaque) {
    auto *z = static_cast<ZarvekInstance *>(opaque);
    if (!approved) {
        close_from_app(z, NAT_END_REFUSED, false, attempt_id, NAT_END_REFUSED);
        return;
    }
    const uint16_t port = sdk_config_port("network_client_start_port");
    VKO_RWLockReader(z->client_lock);
    const bool current = is_current_attempt(z, attempt_id);
    // The fixed-address candidate carries the port bound, which the start
    // port is only the first choice of (0: any).
    uint16_t bound = 0;
    if (current) {
        nat_begin_p2p(z->client_nat, attempt_id, port, creds, nullptr);
        nat_get_peer_port(z->client_nat, attempt_id, &bound);
    }
    char fixed[sizeof z->client_fixed_addr];
    copy_text(fixed, sizeof fixed, z->client_fixed_addr);
    VKO_RWLockUnlock(z->client_lock);
    if (current && fixed[0] && bound) sdk_client_on_local_candidate(attempt_id, fixed, bound, 1, 0, 0, z);
}

void signal_on_sdk_message(const char *payload, void *opaque) {
    ZarvekJSONCall(static_cast<ZarvekInstance *>(opaque), payload);
}

void signal_on_error(int32_t code, void *opaque) {
    if (code != SIGNAL_ERR_UNAUTHORIZED) return;
    auto *z = static_cast<ZarvekInstance *>(opaque);
    VKO_RWLockReader(z->client_lock);
    bool connected = z->client_state == ZARVEK_CLIENT_CONNECTED;
    VKO_RWLockUnlock(z->client_lock);
    if (connected) ZarvekClientDisconnect(z);
}

}  // namespace

// --- instance --------------------------------------------------------------------

int32_t ZarvekInit(const ZarvekNetConfig *net, ZarvekInstance **out) {
    auto *z = new ZarvekInstance{};
    z->client_state = ZARVEK_CLIENT_IDLE;
    if (net) {
        z->net = *net;
        z->net.host_servers[sizeof z->net.host_servers - 1] = '\0';
        z->net.client_servers[sizeof z->net.client_servers - 1] = '\0';
    } else {
        z->net.cg_level = 1;  // empty server lists: the NAT managers add the built-in server
    }
    VKO_SetTimerResolution(1);
    z->user_data_mutex = VKO_MutexCreate();
    z->mutex = VKO_MutexCreate();
    z->client_control = VKO_MutexCreate();
    z->client_lock = VKO_RWLockCreate();
    z->host_lock = VKO_RWLockCreate();
    z->client_events = VKO_QueueCreate(ZARVEK_EVENT_SLOTS, sizeof(ClientEvent));
    z->host_events = VKO_QueueCreate(HOST_EVENT_SLOTS, HOST_EVENT_SLOT_SIZE);
    z->user_data = VKO_HashCreate(kUserDataBuckets);
    z->host_target = HostEventTarget{z->host_events, z->user_data_mutex, z->user_data, &z->next_payload_id,
                                     &z->host_guest_count};
    host_config_or_defaults(nullptr, &z->host_status.config);
    z->hook_removal_wait_ms = 2000;
    uint8_t fast = z->net.fast != 0;
    nat_create(&z->client_nat, NAT_MODE_CLIENT, z->net.client_servers, z->net.relay_mode, fast);
    nat_create(&z->host_nat, NAT_MODE_HOST, z->net.host_servers, z->net.relay_mode, fast);
    *out = z;
    return 0;
}

void ZarvekDestroy(ZarvekInstance **instance) {
    if (!instance || !*instance) return;
    ZarvekInstance *z = *instance;
    close_from_app(z, ZARVEK_ERR_NONE, true, nullptr, 0);
    ZarvekRemoveHooks(z);
    ZarvekHostStop(z, kHostStopReasonDestroy);
    nat_destroy(&z->client_nat);
    nat_destroy(&z->host_nat);
    VKO_QueueFlush(z->client_events, nullptr);  // events hold no pointers
    VKO_QueueDestroy(&z->client_events);
    VKO_QueueFlush(z->host_events, nullptr);
    VKO_QueueDestroy(&z->host_events);
    VKO_HashDestroy(&z->user_data, VKO_Free);
    VKO_RWLockDestroy(&z->client_lock);
    VKO_RWLockDestroy(&z->host_lock);
    VKO_MutexDestroy(&z->client_control);
    VKO_MutexDestroy(&z->mutex);
    VKO_MutexDestroy(&z->user_data_mutex);
    VKO_RevertTimerResolution(1);
    delete z;
    *instance = nullptr;
}

int32_t ZarvekRemoveHooks(ZarvekInstance *z) {
    if (!z) return HOOK_ERR_NO_HOOKS;
    VKO_RWLockWriter(z->host_lock);
    int32_t r = HOOK_ERR_NO_HOOKS;
    if (z->present_hooks_installed || z->second_hook_set_installed || hooks_installed()) {
        hooks_remove_all(z->hook_removal_wait_ms);
        z->present_hooks_installed = 0;
        z->second_hook_set_installed = 0;
        r = 0;
    }
    VKO_RWLockUnlock(z->host_lock);
    return r;
}

void ZarvekJSONCall(ZarvekInstance *z, const char *json) {
    VKO_JSON *doc = json ? VKO_JSONParse(json) : nullptr;
    const char *fn = VKO_JSONGetString(VKO_JSONObjGetItem(doc, "function"));
    uint32_t guest = 0;
    if (fn && json_u32(doc, "guestID", &guest)) {
        if (std::strcmp(fn, "ZarvekHostKickGuest") == 0) {
            ZarvekHostKickGuest(z, guest, kKickReasonJson);
        } else if (std::strcmp(fn, "ZarvekHostSetPermissions") == 0) {
            const VKO_JSON *p = VKO_JSONObjGetItem(doc, "perms");
            SignalPermissions perms;
            if (json_flag(p, "gamepad", &perms.gamepad) && json_flag(p, "keyboard", &perms.keyboard) &&
                json_flag(p, "mouse", &perms.mouse))
                ZarvekHostSetPermissions(z, guest, perms);
        }
    }
    VKO_JSONDestroy(&doc);
}

// --- client half -------------------------------------------------------------------

void ZarvekClientDisconnect(ZarvekInstance *z) {
    close_from_app(z, ZARVEK_ERR_NONE, true, nullptr, 0);
}

void ZarvekClientClose(ZarvekInstance *z, int32_t code, uint8_t take_lock) {
    if (take_lock) {
        close_from_app(z, code, false, nullptr, 0);
        return;
    }
    ClientContext *s = close_locked(z, code);
    nat_stop(z->client_nat);
    client_teardown(s);
}

int32_t ZarvekClientGetStatus(ZarvekInstance *z, ClientStatus *out) {
    VKO_RWLockReader(z->client_lock);
    int32_t r = z->client_state;
    ClientContext *s = z->session;
    if (out) {
        if (r == ZARVEK_CLIENT_CONNECTED && s) {
            VKO_MutexLock(s->status_lock);
            *out = s->status;
            VKO_MutexUnlock(s->status_lock);
        }
        copy_text(out->attempt_id, sizeof out->attempt_id, z->attempt_id);
    }
    if (r == ZARVEK_CLIENT_CONNECTED && s) r = s->host_ended.load() ? s->end_code.load() : s->state.load();
    VKO_RWLockUnlock(z->client_lock);
    return r;
}

void ZarvekClientSetFixedAddress(ZarvekInstance *z, const char *address) {
    VKO_RWLockWriter(z->client_lock);
    copy_text(z->client_fixed_addr, sizeof z->client_fixed_addr, address);
    VKO_RWLockUnlock(z->client_lock);
}

int32_t ZarvekClientSendControllerReport(ZarvekInstance *z, uint32_t controller, const void *bytes,
                                         uint32_t size) {
    VKO_RWLockReader(z->client_lock);
    int32_t r = ZARVEK_ERR_NONE;
    if (z->session) {
        r = proto_send_message(z->session->transport, MSG_CONTROLLER_REPORT, controller, 0, bytes, size);
        client_refresh_metrics(z->session, 0);
    }
    VKO_RWLockUnlock(z->client_lock);
    return r;
}

int32_t ZarvekClientSendTabletReport(ZarvekInstance *z, uint8_t tablet, const uint8_t *report) {
    VKO_RWLockReader(z->client_lock);
    int32_t r = z->session
                    ? client_send_tablet_report(z->session, tablet, 0, kTabletVendor, kTabletProduct, report)
                    : ZARVEK_ERR_NONE;
    VKO_RWLockUnlock(z->client_lock);
    return r;
}

int32_t ZarvekClientEnableStream(ZarvekInstance *z, uint8_t stream, uint8_t enable) {
    VKO_RWLockReader(z->client_lock);
    int32_t r = z->session ? proto_send_header(z->session->transport,
                                               ControlHeader{stream, enable, 0, MSG_STREAM_STATUS})
                           : ZARVEK_ERR_NONE;
    VKO_RWLockUnlock(z->client_lock);
    return r;
}

int32_t ZarvekClientSendUserData(ZarvekInstance *z, uint32_t id, const char *text) {
    if (!text) text = "";
    size_t size = std::strlen(text) + 1;
    if (size > PROTO_USER_DATA_MAX) return PROTO_ERR_TOO_LONG;
    VKO_RWLockReader(z->client_lock);
    int32_t r = z->session ? proto_send_message(z->session->transport, MSG_USER_DATA, id, 0, text,
                                                static_cast<uint32_t>(size))
                           : ZARVEK_ERR_NONE;
    VKO_RWLockUnlock(z->client_lock);
    return r;
}

void ZarvekClientPushStatus(ZarvekInstance *z, int32_t code, uint32_t phase) {
    VKO_RWLockReader(z->client_lock);
    push_status_locked(z, code, phase);
    VKO_RWLockUnlock(z->client_lock);
}

int32_t sdk_client_push_event(ZarvekInstance *z, const ClientEvent *event, uint32_t payload_id,
                              void *payload) {
    // Stored before the event is visible, so the application always finds it.
    if (payload) {
        VKO_MutexLock(z->user_data_mutex);
        VKO_Free(VKO_HashSetInt(z->user_data, payload_id, payload));
        VKO_MutexUnlock(z->user_data_mutex);
    }
    void *slot = VKO_QueueGetInputBuffer(z->client_events);
    if (!slot) {
        if (payload) VKO_Free(ZarvekTakeUserData(z, payload_id));
        return ZARVEK_QUEUE_FULL;
    }
    std::memcpy(slot, event, sizeof *event);
    VKO_QueuePush(z->client_events, sizeof *event);
    return 0;
}

bool ZarvekClientPollEvents(ZarvekInstance *z, int32_t timeout_ms, ClientEvent *out) {
    return poll_event(z->client_events, timeout_ms, out, sizeof *out);
}

void *ZarvekTakeUserData(ZarvekInstance *z, uint32_t payload_id) {
    VKO_MutexLock(z->user_data_mutex);
    void *p = VKO_HashPopInt(z->user_data, payload_id);
    VKO_MutexUnlock(z->user_data_mutex);
    return p;
}

SignalCallbacks sdk_client_signal_callbacks(void) {
    SignalCallbacks cb = {};
    cb.on_error = signal_on_error;
    cb.on_answer = signal_on_answer;
    cb.on_candex = signal_on_candex;
    cb.on_sdk_message = signal_on_sdk_message;
    return cb;
}

uint16_t sdk_config_port(const char *key) {
    const int32_t port = config_lock_exists() ? config_get_int(CONFIG_LAYER_MERGED, key, 0) : 0;
    return port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

// --- host half ---------------------------------------------------------------------

int32_t ZarvekHostStart(ZarvekInstance *z, void *, const HostConfig *config) {
    HostConfig c;
    host_config_or_defaults(config, &c);
    VKO_RWLockWriter(z->host_lock);
    if (z->host) {
        VKO_RWLockUnlock(z->host_lock);
        return ZARVEK_ERR_BUSY;
    }
    VKO_QueueFlush(z->host_events, nullptr);
    z->host_status.config = c;
    const HostCallbacks callbacks = {host_on_guest_state, host_on_user_data};
    host_create(&c, &callbacks, &z->host_target, &z->host);
    // The client flag bytes: per-frame timing messages for video and for sound.
    z->host->timing_video.store(z->client_flags[0] != 0);
    z->host->timing_audio.store(z->client_flags[1] != 0);
    z->host->audio.timing_audio.store(z->client_flags[1] != 0);
    z->host_status.mode = 1;
    z->host_status.hosting = 1;
    VKO_RWLockUnlock(z->host_lock);
    // Joins an earlier NAT thread, whose callbacks take host_lock.
    nat_start(z->host_nat, &kHostNatCallbacks, z);
    return 0;
}

void ZarvekHostSetConfig(ZarvekInstance *z, const HostConfig *config) {
    HostConfig c;
    host_config_or_defaults(config, &c);
    VKO_RWLockWriter(z->host_lock);
    uint32_t old_mic = static_cast<uint32_t>(z->host_status.config.virtual_microphone);
    z->host_status.config = c;
    if (z->host) {
        uint32_t mic = static_cast<uint32_t>(c.virtual_microphone);
        if (mic != old_mic || mic == 2) host_set_virtual_microphone(z->host, mic);
        host_set_config(z->host, &c);
    }
    VKO_RWLockUnlock(z->host_lock);
}

void ZarvekHostGetStatus(ZarvekInstance *z, ZarvekHostStatus *out) {
    VKO_RWLockReader(z->host_lock);
    *out = z->host_status;
    if (z->host) {
        out->guests = z->host->guest_count.load();
        for (uint32_t i = 0; i < 3; i++)
            out->stream_guests[i] =
                z->host->streams[i].encoder_running.load() ? z->host->streams[i].video_guests.load() : 0;
    } else {
        out->guests = 0;
        for (uint32_t &n : out->stream_guests) n = 0;
    }
    VKO_RWLockUnlock(z->host_lock);
}

bool ZarvekHostPollEvents(ZarvekInstance *z, int32_t timeout_ms, HostEvent *out) {
    return poll_event(z->host_events, timeout_ms, out, sizeof *out);
}

void ZarvekHostStop(ZarvekInstance *z, uint32_t reason) {
    VKO_RWLockWriter(z->host_lock);
    z->host_status.hosting = 0;
    z->host_status.mode = 0;
    HostContext *host = z->host;
    z->host = nullptr;
    if (z->host_signal) signal_forget_attempts(z->host_signal);
    VKO_RWLockUnlock(z->host_lock);
    // Joins the NAT thread outside host_lock, which its callbacks take, and
    // drops the attempts left (also any added while not hosting).
    nat_stop(z->host_nat);
    host_destroy(&host, static_cast<int32_t>(reason));
}

void sdk_host_set_signal(ZarvekInstance *z, SignalContext *ctx) {
    VKO_RWLockWriter(z->host_lock);
    z->host_signal = ctx;
    VKO_RWLockUnlock(z->host_lock);
}

int32_t ZarvekHostKickGuest(ZarvekInstance *z, uint32_t guest_id, int32_t reason) {
    VKO_RWLockReader(z->host_lock);
    int32_t r = z->host ? host_set_guest_reason(z->host, guest_id, reason, true) : ZARVEK_ERR_NONE;
    VKO_RWLockUnlock(z->host_lock);
    return r;
}

int32_t ZarvekHostSetPermissions(ZarvekInstance *z, uint32_t guest_id, SignalPermissions perms) {
    VKO_RWLockReader(z->host_lock);
    int32_t r = ZARVEK_ERR_NONE;
    if (z->host) {
        host_lock_streams(z->host);
        Guest *g = find_guest(z->host, guest_id);
        if (g) {
            g->info.gamepad = perms.gamepad;
            g->info.keyboard = perms.keyboard;
            g->info.mouse = perms.mouse;
        }
        r = g ? 0 : HOST_ERR_NO_GUEST;
        host_unlock_streams(z->host);
    }
    VKO_RWLockUnlock(z->host_lock);
    return r;
}

int32_t ZarvekHostSendUserData(ZarvekInstance *z, uint32_t guest_id, uint32_t id, const char *text) {
    if (!text) text = "";
    size_t size = std::strlen(text) + 1;
    if (size > PROTO_USER_DATA_MAX) return PROTO_ERR_TOO_LONG;
    VKO_RWLockReader(z->host_lock);
    int32_t r = ZARVEK_ERR_NONE;
    if (z->host) {
        host_lock_streams(z->host);
        Guest *g = find_guest(z->host, guest_id);
        r = g ? proto_send_message(g->conn, MSG_USER_DATA, id, 0, text, static_cast<uint32_t>(size))
              : HOST_ERR_NO_GUEST;
        host_unlock_streams(z->host);
    }
    VKO_RWLockUnlock(z->host_lock);
    return r;
}

uint32_t ZarvekHostGetGuests(ZarvekInstance *z, uint32_t mask, GuestInfo **out) {
    if (out) *out = nullptr;
    VKO_RWLockReader(z->host_lock);
    HostContext *host = (mask & kGuestsConnected) ? z->host : nullptr;
    if (host) host_lock_streams(host);
    uint32_t connected = 0, pending = 0;
    for (VKO_ListNode *n = host ? VKO_ListGetFirst(host->guests) : nullptr; n; n = n->next)
        connected += static_cast<Guest *>(n->value)->reason.load() == 0;
    if (mask & kGuestsPending) pending = nat_get_peers(z->host_nat, nullptr, 0);
    GuestInfo *list = out && connected + pending
                          ? static_cast<GuestInfo *>(VKO_Alloc(connected + pending, sizeof(GuestInfo)))
                          : nullptr;
    uint32_t k = 0;
    for (VKO_ListNode *n = list && host ? VKO_ListGetFirst(host->guests) : nullptr; n && k < connected;
         n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        if (g->reason.load() == 0) list[k++] = g->info;
    }
    if (host) host_unlock_streams(host);
    // Attempts may have ended since they were counted.
    if (list && pending) k += std::min(pending, nat_get_peers(z->host_nat, list + k, pending));
    VKO_RWLockUnlock(z->host_lock);
    if (out) *out = list;
    return out ? k : connected + pending;
}

void ZarvekHostSetGuestStateJSON(ZarvekInstance *z, const char *json) {
    VKO_JSON *doc = json ? VKO_JSONParse(json) : nullptr;
    if (doc && doc->type != VKO_JSON_TYPE_OBJECT) VKO_JSONDestroy(&doc);
    if (!doc) doc = VKO_JSONObjCreate();
    VKO_RWLockReader(z->host_lock);
    if (z->host) {
        // Answers cached per window were read from the old document.
        Whitelist &w = z->host->whitelist;
        VKO_Hash *cache = VKO_HashCreate(1000);
        VKO_MutexLock(w.mutex);
        std::swap(w.paths, doc);
        std::swap(w.cache, cache);
        VKO_MutexUnlock(w.mutex);
        VKO_HashDestroy(&cache, nullptr);
    }
    VKO_RWLockUnlock(z->host_lock);
    VKO_JSONDestroy(&doc);
}

// --- signaling operations on the instance ---------------------------------------------

int32_t signal_client_connect(SignalContext *ctx, ZarvekInstance *z, const ClientConfig *config,
                              const char *peer, const char *session_id, const char *secret_or_link) {
    ClientConfig cfg;
    if (config)
        cfg = *config;
    else
        proto_client_config_defaults(&cfg);
    uint32_t proto =
        cfg.protocol == static_cast<int32_t>(SIGNAL_MODE_SCTP) ? SIGNAL_MODE_SCTP : SIGNAL_MODE_BUD;

    VKO_MutexLock(z->client_control);
    VKO_RWLockWriter(z->client_lock);
    if (z->client_state != ZARVEK_CLIENT_IDLE) {
        VKO_RWLockUnlock(z->client_lock);
        VKO_MutexUnlock(z->client_control);
        return ZARVEK_ERR_BUSY;
    }
    z->client_state = ZARVEK_CLIENT_CONNECTING;
    z->end_code.store(0);
    z->attempt_start = VKO_GetTime();
    z->config = cfg;
    signal_forget_attempt(ctx, z->attempt_id);
    z->attempt_id[0] = '\0';  // a late callback of an earlier attempt matches nothing
    z->client_active = 1;
    VKO_RWLockUnlock(z->client_lock);

    // Joins the thread of an earlier attempt, whose callbacks may still want client_lock.
    nat_start(z->client_nat, &kNatCallbacks, z);

    VKO_RWLockWriter(z->client_lock);
    char attempt[SIGNAL_ATTEMPT_ID_SIZE];
    int32_t r = signal_offer_attempt(ctx, z->client_nat, proto, z->net.cg_level, peer, session_id,
                                     secret_or_link, attempt);
    copy_text(z->attempt_id, sizeof z->attempt_id, attempt);
    if (r != 0) close_locked(z, r);
    VKO_RWLockUnlock(z->client_lock);
    if (r != 0) nat_stop(z->client_nat);
    VKO_MutexUnlock(z->client_control);
    return r;
}

void signal_client_cancel(SignalContext *ctx, ZarvekInstance *z) {
    char attempt[SIGNAL_ATTEMPT_ID_SIZE];
    VKO_RWLockReader(z->client_lock);
    copy_text(attempt, sizeof attempt, z->attempt_id);
    VKO_RWLockUnlock(z->client_lock);
    signal_queue_offer_cancel(ctx, attempt);  // only when the attempt has a peer
    signal_forget_attempt(ctx, attempt);
    close_from_app(z, ZARVEK_ERR_NONE, true, nullptr, 0);
}

void signal_send_answer(SignalContext *ctx, ZarvekInstance *z, const char *attempt_id, uint16_t start_port,
                        uint8_t approved) {
    VKO_RWLockReader(z->host_lock);
    if (z->host)
        signal_answer_attempt(ctx, z->host_nat, attempt_id, start_port, approved);
    else
        signal_forget_attempt(ctx, attempt_id);  // hosting ended it
    VKO_RWLockUnlock(z->host_lock);
}

void signal_send_conn_update(SignalContext *ctx, ZarvekInstance *z) {
    VKO_RWLockReader(z->host_lock);
    if (z->host_status.mode != 0) {
        // The guests connected now (not those leaving), each with its permissions.
        std::vector<SignalGuest> guests;
        if (HostContext *host = z->host) {
            host_lock_streams(host);
            for (VKO_ListNode *n = VKO_ListGetFirst(host->guests); n; n = n->next) {
                auto *g = static_cast<Guest *>(n->value);
                if (g->reason.load() == 0)
                    guests.push_back(
                        {g->info.id, g->info.userID, {g->info.gamepad, g->info.keyboard, g->info.mouse}});
            }
            host_unlock_streams(host);
        }
        SignalHostStatus st{};
        st.mode = z->host_status.mode;
        st.max_players = static_cast<uint32_t>(z->host_status.config.max_clients);
        st.players = static_cast<uint32_t>(guests.size());
        st.guests = guests.data();
        st.num_guests = static_cast<uint32_t>(guests.size());
        signal_queue_conn_update(ctx, &st);
    }
    VKO_RWLockUnlock(z->host_lock);
}

void signal_stop_hosting(SignalContext *ctx, ZarvekInstance *z, uint32_t reason) {
    VKO_MutexLock(ctx->session_mutex);
    ctx->session_id[0] = '\0';
    ctx->session_active = 0;
    VKO_MutexUnlock(ctx->session_mutex);
    ZarvekHostStop(z, reason);
    signal_forget_attempts(ctx);
    // After the stop: no answer or candidate of this hosting is queued any more.
    signal_clear_queue(ctx);
    VKO_MutexLock(ctx->session_mutex);
    ctx->public_addr[0] = '\0';
    ctx->loader_v = 0;
    ctx->service_v = 0;
    ctx->name[0] = '\0';
    ctx->desc[0] = '\0';
    ctx->game_id[0] = '\0';
    ctx->secret[0] = '\0';
    ctx->is_public = 0;
    VKO_MutexUnlock(ctx->session_mutex);
}
