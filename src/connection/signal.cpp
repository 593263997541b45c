// Signaling client: rounds of one WebSocket connection each, the outgoing
// queue, the message envelope and the dispatch of incoming actions.
#include "connection/signal.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "connection/nat.h"
#include "platform/build_info.h"
#include "platform/crypto.h"
#include "platform/dtls.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "platform/websocket.h"
#include "util/logger.h"
#include "util/winutil.h"

#define SIGNAL_ACCESS_LINK_LEN 27
static const char SIGNAL_ACCESS_LINK_CHARS[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// A queued message: the text, whether it is a candidate (logged when sent),
// and the queue's epoch when it was queued (an older one is dropped).
struct SignalMessage {
    bool candex;
    uint32_t epoch;
    char text[1];
};

static void signal_copy(char *dst, size_t size, const char *src) {
    snprintf(dst, size, "%s", src ? src : "");
}

// A text cut to the field's size at a character boundary: a UTF-8 character
// that does not fit is left out whole.
static void signal_copy_cut(char *dst, size_t size, const char *src) {
    size_t n = strnlen(src, size);
    if (n == size) {
        n = size - 1;
        while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80) n--;
    }
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// --- building messages ---------------------------------------------------------

static void obj_str(VKO_JSON *obj, const char *name, const char *value) {
    VKO_JSONObjSetItem(obj, name, VKO_JSONStringCreate(value ? value : ""));
}

static void obj_int(VKO_JSON *obj, const char *name, int32_t value) {
    VKO_JSONObjSetItem(obj, name, VKO_JSONIntCreate(value));
}

// {"version": 1, "action": action, "payload": {"to": peer, "data": {"ver_data": 1,
// "versions": {...}}}}; "to" only with a peer, "data" only when asked for.
// Returns the envelope; *payload and *data point inside it.
static VKO_JSON *signal_build_envelope(const char *action, const char *peer, bool with_data,
                                       VKO_JSON **payload, VKO_JSON **data) {
    VKO_JSON *msg = VKO_JSONObjCreate();
    obj_int(msg, "version", 1);
    obj_str(msg, "action", action);
    *payload = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(msg, "payload", *payload);
    if (peer && peer[0]) obj_str(*payload, "to", peer);

    if (data) *data = NULL;
    if (with_data) {
        VKO_JSON *d = VKO_JSONObjCreate();
        obj_int(d, "ver_data", 1);
        VKO_JSON *versions = VKO_JSONObjCreate();
        for (const char *name : {"p2p", "bud", "init", "video", "audio", "control"})
            obj_int(versions, name, 1);
        VKO_JSONObjSetItem(d, "versions", versions);
        VKO_JSONObjSetItem(*payload, "data", d);
        if (data) *data = d;
    }
    return msg;
}

static void signal_add_creds(VKO_JSON *data, const Creds *creds) {
    VKO_JSON *c = VKO_JSONObjCreate();
    obj_str(c, "ice_ufrag", creds->ice_ufrag);
    obj_str(c, "ice_pwd", creds->ice_pwd);
    obj_str(c, "fingerprint", creds->fingerprint);
    obj_str(c, "aes256", creds->aes256);
    VKO_JSONObjSetItem(data, "creds", c);
}

// Serialises and queues the message (and destroys it); false when the queue is full.
static bool signal_push(SignalContext *ctx, VKO_JSON **msg, bool candex) {
    char *text = VKO_JSONSerialize(*msg);
    VKO_JSONDestroy(msg);
    if (!text) return false;

    size_t len = strlen(text);
    SignalMessage *m = (SignalMessage *)VKO_Alloc(1, sizeof(SignalMessage) + len);
    m->candex = candex;
    m->epoch = ctx->epoch.load();
    memcpy(m->text, text, len + 1);
    VKO_Free(text);

    if (!VKO_QueuePushPtr(ctx->queue, m, sizeof(SignalMessage) + len)) {
        VKO_Free(m);
        return false;
    }
    return true;
}

bool signal_queue_offer(SignalContext *ctx, const char *peer, const char *attempt_id, uint32_t mode,
                        const Creds *creds, const char *secret_or_link) {
    VKO_JSON *payload, *data;
    VKO_JSON *msg = signal_build_envelope("offer", peer, true, &payload, &data);

    // An access link is exactly 27 letters and digits; anything else is a secret.
    const char *s = secret_or_link ? secret_or_link : "";
    bool link =
        strlen(s) == SIGNAL_ACCESS_LINK_LEN && strspn(s, SIGNAL_ACCESS_LINK_CHARS) == SIGNAL_ACCESS_LINK_LEN;
    obj_str(payload, "attempt_id", attempt_id);
    obj_str(payload, "secret", link ? "" : s);
    obj_str(payload, "access_link_id", link ? s : "");
    signal_add_creds(data, creds);
    obj_int(data, "mode", (int32_t)mode);

    return signal_push(ctx, &msg, false);
}

bool signal_queue_offer_cancel(SignalContext *ctx, const char *attempt_id) {
    char *peer = signal_attempt_peer(ctx, attempt_id);
    bool ok = false;
    if (peer[0]) {
        VKO_JSON *payload;
        VKO_JSON *msg = signal_build_envelope("offer_cancel", peer, false, &payload, NULL);
        obj_str(payload, "attempt_id", attempt_id);
        ok = signal_push(ctx, &msg, false);
    }
    VKO_Free(peer);
    return ok;
}

// The answer to peer (looked up by the caller: the attempt may end, and be
// forgotten, while its answer is built).
static bool signal_queue_answer_to(SignalContext *ctx, const char *peer, const char *attempt_id,
                                   uint8_t approved, const Creds *creds, uint16_t port) {
    VKO_JSON *payload, *data;
    VKO_JSON *msg = signal_build_envelope("answer", peer, true, &payload, &data);
    obj_str(payload, "attempt_id", attempt_id);
    VKO_JSONObjSetItem(payload, "approved", VKO_JSONBoolCreate(approved != 0));
    if (approved && creds) signal_add_creds(data, creds);
    bool ok = signal_push(ctx, &msg, false);

    Candidate c = {};
    VKO_MutexLock(ctx->session_mutex);
    signal_copy(c.ip, sizeof(c.ip), ctx->public_addr);
    VKO_MutexUnlock(ctx->session_mutex);
    if (ok && approved && c.ip[0] && port) {
        c.port = port;
        signal_copy(c.attempt_id, sizeof(c.attempt_id), attempt_id);
        c.lan = 1;
        signal_send_candex(ctx, &c);
    }
    return ok;
}

bool signal_queue_answer(SignalContext *ctx, const char *attempt_id, uint8_t approved, const Creds *creds,
                         uint16_t port) {
    char *peer = signal_attempt_peer(ctx, attempt_id);
    bool ok = peer[0] && signal_queue_answer_to(ctx, peer, attempt_id, approved, creds, port);
    VKO_Free(peer);
    return ok;
}

void signal_send_candex(SignalContext *ctx, const Candidate *cand) {
    char *peer = signal_attempt_peer(ctx, cand->attempt_id);
    if (!peer[0]) {
        log_message(2, "No peer ID for attempt ID %s", cand->attempt_id);
        VKO_Free(peer);
        return;
    }

    VKO_JSON *payload, *data;
    VKO_JSON *msg = signal_build_envelope("candex", peer, true, &payload, &data);
    obj_str(payload, "attempt_id", cand->attempt_id);
    obj_str(data, "ip", cand->ip);
    obj_int(data, "port", cand->port);
    VKO_JSONObjSetItem(data, "lan", VKO_JSONBoolCreate(cand->lan != 0));
    VKO_JSONObjSetItem(data, "from_stun", VKO_JSONBoolCreate(cand->from_stun != 0));
    VKO_JSONObjSetItem(data, "sync", VKO_JSONBoolCreate(cand->sync != 0));
    VKO_Free(peer);

    if (signal_push(ctx, &msg, true))
        log_message(3, "Sent candidate.");
    else
        log_message(2, "Failed to push candidate to queue");
}

bool signal_queue_conn_update(SignalContext *ctx, const SignalHostStatus *st) {
    VKO_JSON *payload;
    VKO_JSON *msg = signal_build_envelope("conn_update", NULL, false, &payload, NULL);

    // The platform reports itself as it is: the OS name and version of this system.
    uint32_t platform = VKO_GetPlatform();
    char os_v[16];
    snprintf(os_v, sizeof(os_v), "%u.%u", platform >> 8 & 0xFF, platform & 0xFF);
    VKO_MutexLock(ctx->session_mutex);  // the announcement fields
    obj_int(payload, "loader_v", (int32_t)ctx->loader_v);
    obj_int(payload, "service_v", (int32_t)ctx->service_v);
    obj_str(payload, "os", VKO_GetPlatformString(platform & 0xFF000000u));
    obj_str(payload, "os_v", os_v);
    obj_str(payload, "platform", "linux");
    obj_str(payload, "app_v", zarvek_version());
    obj_int(payload, "sdk_v", (int32_t)SIGNAL_SDK_VERSION);
    obj_str(payload, "device_id", ctx->device_id);
    obj_str(payload, "mode", st->mode == 1 ? "desktop" : "game");
    obj_str(payload, "name", ctx->name[0] ? ctx->name : VKO_GetHostname());
    obj_str(payload, "desc", ctx->desc);
    obj_str(payload, "game_id", ctx->game_id);
    obj_str(payload, "secret", strlen(ctx->secret) >= 8 ? ctx->secret : "");
    obj_int(payload, "max_players", (int32_t)st->max_players);
    obj_int(payload, "players", (int32_t)st->players);
    VKO_JSONObjSetItem(payload, "public", VKO_JSONBoolCreate(ctx->is_public != 0));
    VKO_MutexUnlock(ctx->session_mutex);
    VKO_JSON *guests = VKO_JSONArrayCreate(st->num_guests);
    for (uint32_t i = 0; i < st->num_guests; i++) {
        const SignalGuest *g = &st->guests[i];
        VKO_JSON *o = VKO_JSONObjCreate();
        obj_int(o, "guest_id", (int32_t)g->guest_id);
        obj_int(o, "user_id", (int32_t)g->user_id);
        VKO_JSONObjSetItem(o, "gamepad", VKO_JSONBoolCreate(g->perms.gamepad != 0));
        VKO_JSONObjSetItem(o, "keyboard", VKO_JSONBoolCreate(g->perms.keyboard != 0));
        VKO_JSONObjSetItem(o, "mouse", VKO_JSONBoolCreate(g->perms.mouse != 0));
        VKO_JSONArraySetItem(guests, i, o);
    }
    VKO_JSONObjSetItem(payload, "guests", guests);

    return signal_push(ctx, &msg, false);
}

static void signal_free_message(void *m) {
    VKO_Free(m);
}

void signal_clear_queue(SignalContext *ctx) {
    ctx->epoch++;
}

// The thread's side: drops the messages queued before the last clear, which
// wait at the head of the queue.
static void signal_drop_cleared(SignalContext *ctx) {
    void *slot = NULL;
    uint64_t size = 0;
    while (VKO_QueueGetOutputBuffer(ctx->queue, 0, &slot, &size)) {
        SignalMessage *m;
        memcpy(&m, slot, sizeof(m));
        if (m->epoch == ctx->epoch.load()) break;
        VKO_QueuePop(ctx->queue);
        VKO_Free(m);
    }
}

// Writes every queued message; false when a write fails.
static bool signal_flush_queue(SignalContext *ctx, VKO_WebSocket *ws) {
    void *ptr = NULL;
    uint64_t size = 0;
    while (VKO_QueuePopPtr(ctx->queue, 0, &ptr, &size)) {
        SignalMessage *m = (SignalMessage *)ptr;
        if (m->epoch != ctx->epoch.load()) {  // queued before a clear
            VKO_Free(m);
            continue;
        }
        bool ok = VKO_WebSocketWrite(ws, m->text);
        if (m->candex) log_message(3, "%s: %s", ok ? "sent" : "fail", m->text);
        VKO_Free(m);
        if (!ok) return false;
    }
    return true;
}

// --- the connection attempt on the NAT managers ------------------------------------

int32_t signal_offer_attempt(SignalContext *ctx, NatManager *nat, uint32_t proto, uint32_t cg_level,
                             const char *peer, const char *session_id, const char *secret_or_link,
                             char attempt_id[SIGNAL_ATTEMPT_ID_SIZE]) {
    Creds creds;
    VKO_Cert *cert = NULL;

    signal_new_attempt_id(attempt_id);
    if (!sdk_generate_creds(proto, &creds, &cert)) return SIGNAL_ERR_BAD_MESSAGE;
    // The attempt takes the certificate over; its id comes back with its outcome.
    GuestInfo info = {};
    signal_copy(info.attempt_id, sizeof(info.attempt_id), attempt_id);
    if (nat_add_peer(nat, attempt_id, proto, &creds, &info, cert, cg_level) != 1) {
        VKO_SecureZero(&creds, sizeof(creds));
        return SIGNAL_ERR_BAD_MESSAGE;
    }
    signal_map_attempt(ctx, attempt_id, peer);
    signal_set_session(ctx, session_id);
    bool queued = signal_queue_offer(ctx, peer, attempt_id, proto, &creds, secret_or_link);
    VKO_SecureZero(&creds, sizeof(creds));
    return queued ? 0 : SIGNAL_ERR_WRITE;
}

void signal_answer_attempt(SignalContext *ctx, NatManager *nat, const char *attempt_id, uint16_t start_port,
                           uint8_t approved) {
    char *peer = signal_attempt_peer(ctx, attempt_id);
    Creds creds = {};
    uint32_t proto = 0;

    if (peer[0]) {
        // Only an attempt the NAT manager still knows, with creds of its own,
        // can be started; anything else is refused.
        VKO_Cert *cert = NULL;
        if (approved &&
            (!nat_get_peer_proto(nat, attempt_id, &proto) || !sdk_generate_creds(proto, &creds, &cert)))
            approved = 0;
        // The fixed-address candidate carries the port bound, which the
        // start port is only the first choice of (0: any).
        uint16_t bound = 0;
        if (approved) {
            nat_begin_p2p(nat, attempt_id, start_port, &creds, cert);
            // No socket: the attempt fails with its bind error, the peer is refused.
            if (!nat_get_peer_port(nat, attempt_id, &bound)) approved = 0;
        } else {
            nat_set_end_code(nat, attempt_id, NAT_END_REFUSED);
        }
        signal_queue_answer_to(ctx, peer, attempt_id, approved, &creds, bound);
        VKO_SecureZero(&creds, sizeof(creds));
    }
    VKO_Free(peer);
}

// --- credentials ---------------------------------------------------------------

bool sdk_generate_creds(uint32_t mode, Creds *creds, VKO_Cert **cert) {
    uint8_t bytes[127];
    memset(creds, 0, sizeof(*creds));
    if (cert) *cert = NULL;
    if (mode != SIGNAL_MODE_BUD && mode != SIGNAL_MODE_SCTP) return false;

    VKO_GetRandomBytes(bytes, 4);
    VKO_BytesToBase64(bytes, 4, creds->ice_ufrag, sizeof(creds->ice_ufrag));
    VKO_GetRandomBytes(bytes, 24);
    VKO_BytesToBase64(bytes, 24, creds->ice_pwd, sizeof(creds->ice_pwd));

    if (mode == SIGNAL_MODE_BUD) {
        VKO_GetRandomBytes(bytes, 32);
        VKO_BytesToHex(bytes, 32, creds->fingerprint, sizeof(creds->fingerprint));
        VKO_GetRandomBytes(bytes, 127);
        VKO_BytesToHex(bytes, 127, creds->aes256, sizeof(creds->aes256));
    } else {
        VKO_Cert *c = VKO_CertCreate();
        VKO_CertGetFingerprint(c, creds->fingerprint, sizeof(creds->fingerprint));
        if (cert && creds->fingerprint[0])
            *cert = c;
        else
            VKO_CertDestroy(&c);
    }
    VKO_SecureZero(bytes, sizeof(bytes));
    // A certificate that could not be made leaves no fingerprint.
    if (!creds->fingerprint[0]) {
        VKO_SecureZero(creds, sizeof(*creds));
        return false;
    }
    return true;
}

void signal_new_attempt_id(char id[SIGNAL_ATTEMPT_ID_SIZE]) {
    uint32_t r[6];
    VKO_GetRandomBytes(r, sizeof(r));
    snprintf(id, SIGNAL_ATTEMPT_ID_SIZE, "%08x-%08x-%08x-%08x-%08x-%08x", r[0], r[1], r[2], r[3], r[4], r[5]);
}

// --- attempts and session ------------------------------------------------------------

char *signal_attempt_peer(SignalContext *ctx, const char *attempt_id) {
    VKO_MutexLock(ctx->map_mutex);
    const char *peer = (const char *)VKO_HashGet(ctx->attempts, attempt_id ? attempt_id : "");
    char *copy = VKO_Strdup(peer ? peer : "");
    VKO_MutexUnlock(ctx->map_mutex);
    return copy;
}

void signal_map_attempt(SignalContext *ctx, const char *attempt_id, const char *peer) {
    VKO_MutexLock(ctx->map_mutex);
    void *old = peer && peer[0] ? VKO_HashSet(ctx->attempts, attempt_id, VKO_Strdup(peer))
                                : VKO_HashPop(ctx->attempts, attempt_id);
    VKO_MutexUnlock(ctx->map_mutex);
    VKO_Free(old);
}

// Under map_mutex.
static bool ended_locked(const SignalContext *ctx, const char *attempt_id) {
    for (const auto &e : ctx->ended)
        if (e[0] && strcmp(e, attempt_id) == 0) return true;
    return false;
}

static void forget_locked(SignalContext *ctx, const char *attempt_id) {
    VKO_Free(VKO_HashPop(ctx->attempts, attempt_id));
    if (ended_locked(ctx, attempt_id)) return;
    signal_copy(ctx->ended[ctx->ended_next], SIGNAL_ATTEMPT_ID_SIZE, attempt_id);
    ctx->ended_next = (ctx->ended_next + 1) % SIGNAL_ENDED_ATTEMPTS;
}

void signal_forget_attempt(SignalContext *ctx, const char *attempt_id) {
    if (!attempt_id || !attempt_id[0]) return;
    VKO_MutexLock(ctx->map_mutex);
    forget_locked(ctx, attempt_id);
    VKO_MutexUnlock(ctx->map_mutex);
}

void signal_forget_attempts(SignalContext *ctx) {
    VKO_MutexLock(ctx->map_mutex);
    uint64_t iter = 0;
    const char *key = NULL;
    while (VKO_HashGetNextKey(ctx->attempts, &iter, &key)) {
        char id[SIGNAL_ATTEMPT_ID_SIZE];
        signal_copy(id, sizeof(id), key);
        forget_locked(ctx, id);  // pops the key just returned
    }
    VKO_MutexUnlock(ctx->map_mutex);
}

bool signal_attempt_ended(SignalContext *ctx, const char *attempt_id) {
    if (!attempt_id || !attempt_id[0]) return false;
    VKO_MutexLock(ctx->map_mutex);
    bool ended = ended_locked(ctx, attempt_id);
    VKO_MutexUnlock(ctx->map_mutex);
    return ended;
}

void signal_set_public_addr(SignalContext *ctx, const char *addr) {
    VKO_MutexLock(ctx->session_mutex);
    signal_copy(ctx->public_addr, sizeof(ctx->public_addr), addr);
    VKO_MutexUnlock(ctx->session_mutex);
}

void signal_set_session(SignalContext *ctx, const char *session_id) {
    if (!session_id || !session_id[0]) return;
    VKO_MutexLock(ctx->session_mutex);
    if (strcmp(ctx->session_id, session_id) != 0) {
        signal_copy(ctx->session_id, sizeof(ctx->session_id), session_id);
        ctx->session_active = 0;
    }
    VKO_MutexUnlock(ctx->session_mutex);
}

void signal_set_server(SignalContext *ctx, const char *host, uint16_t port, uint8_t secure) {
    VKO_MutexLock(ctx->session_mutex);
    signal_copy(ctx->host, sizeof(ctx->host), host);
    ctx->port = port;
    ctx->secure = secure;
    VKO_MutexUnlock(ctx->session_mutex);
}

void signal_set_backoff(SignalContext *ctx, uint32_t min_ms) {
    VKO_MutexLock(ctx->session_mutex);
    ctx->backoff_min = min_ms ? min_ms : SIGNAL_BACKOFF_MIN;
    VKO_MutexUnlock(ctx->session_mutex);
}

// --- dispatch ------------------------------------------------------------------

int32_t signal_close_code(const char *reason) {
    static const struct {
        const char *reason;
        int32_t code;
    } table[] = {
        {"HOST_NOT_FOUND", 99},
        {"USER_UNCONFIRMED", 100},
        {"TFA_REQUIRED", 101},
        {"OUT_OF_COMPLIANCE", 102},
        {"NO_PERMISSION", 112},
        {"ACCESSLINK_INVALID", 200},
        {"ACCESSLINK_INACTIVE", 201},
        {"ACCESSLINK_EXPIRED", 202},
        {"ACCESSLINK_NOT_STARTED", 203},
        {"ACCESSLINK_TEAM_INVALID", 204},
        {"INVALID_MSG", SIGNAL_ERR_INVALID_MSG},
        {"TEAM_DEACTIVATED", SIGNAL_ERR_TEAM_DEACTIVATED},
        {"INVALID_SESSION", SIGNAL_ERR_UNAUTHORIZED},
    };
    for (const auto &t : table)
        if (strcmp(reason, t.reason) == 0) return t.code;
    return SIGNAL_ERR_CLOSED;
}

// Typed reads of required members; false when missing or of another type.
static bool get_str(const VKO_JSON *obj, const char *name, char *out, size_t size) {
    const VKO_JSON *item = VKO_JSONObjGetItem(obj, name);
    if (!item || item->type != VKO_JSON_TYPE_STRING) return false;
    // Longer texts are cut to the field's size.
    signal_copy_cut(out, size, VKO_JSONGetString(item));
    return true;
}

static bool get_u8(const VKO_JSON *obj, const char *name, uint8_t *out) {
    const VKO_JSON *item = VKO_JSONObjGetItem(obj, name);
    bool b = false;
    int32_t i = 0;
    if (item && item->type == VKO_JSON_TYPE_BOOL && VKO_JSONToBool(item, &b)) {
        *out = b;
        return true;
    }
    if (item && item->type == VKO_JSON_TYPE_NUMBER && VKO_JSONToInt(item, &i)) {
        *out = i != 0;
        return true;
    }
    return false;
}

static bool get_u32(const VKO_JSON *obj, const char *name, uint32_t *out) {
    const VKO_JSON *item = VKO_JSONObjGetItem(obj, name);
    int32_t i = 0;
    if (!item || item->type != VKO_JSON_TYPE_NUMBER || !VKO_JSONToInt(item, &i)) return false;
    *out = (uint32_t)i;
    return true;
}

static const VKO_JSON *get_obj(const VKO_JSON *obj, const char *name) {
    const VKO_JSON *item = obj ? VKO_JSONObjGetItem(obj, name) : NULL;
    return item && item->type == VKO_JSON_TYPE_OBJECT ? item : NULL;
}

static int32_t signal_parse_creds(const VKO_JSON *data, Creds *creds) {
    memset(creds, 0, sizeof(*creds));
    const VKO_JSON *c = get_obj(data, "creds");
    if (!c || !get_str(c, "ice_ufrag", creds->ice_ufrag, sizeof(creds->ice_ufrag)) ||
        !get_str(c, "ice_pwd", creds->ice_pwd, sizeof(creds->ice_pwd)) ||
        !get_str(c, "fingerprint", creds->fingerprint, sizeof(creds->fingerprint)))
        return SIGNAL_ERR_BAD_MESSAGE;
    get_str(c, "aes256", creds->aes256, sizeof(creds->aes256));
    return 0;
}

namespace {
struct SignalOffer {
    char from[SIGNAL_PEER_ID_SIZE];
    char attempt_id[SIGNAL_ATTEMPT_ID_SIZE];
    char name[SIGNAL_NAME_SIZE];
    uint32_t user_id;
    uint32_t mode;
    uint8_t is_owner, skip_approval;
    SignalPermissions perms;
    Creds creds;
};
}  // namespace

static int32_t signal_parse_offer(const VKO_JSON *payload, SignalOffer *o) {
    const VKO_JSON *perms = get_obj(payload, "permissions");
    const VKO_JSON *user = get_obj(payload, "user");
    const VKO_JSON *data = get_obj(payload, "data");
    if (!get_str(payload, "from", o->from, sizeof(o->from)) ||
        !get_str(payload, "attempt_id", o->attempt_id, sizeof(o->attempt_id)) ||
        !get_u8(payload, "is_owner", &o->is_owner) || !get_u8(payload, "skip_approval", &o->skip_approval) ||
        !perms || !get_u8(perms, "gamepad", &o->perms.gamepad) ||
        !get_u8(perms, "keyboard", &o->perms.keyboard) || !get_u8(perms, "mouse", &o->perms.mouse) || !user ||
        !get_str(user, "name", o->name, sizeof(o->name)) || !get_u32(user, "id", &o->user_id) || !data ||
        !get_u32(data, "mode", &o->mode))
        return SIGNAL_ERR_BAD_MESSAGE;
    // The name is shown and logged: no control characters.
    for (char *c = o->name; *c; c++)
        if ((unsigned char)*c < 32) *c = '?';
    return signal_parse_creds(data, &o->creds);
}

static void signal_log_bad(int32_t line) {
    log_message(1, "* %s[%d] = %d", "signal_event_dispatch", line, SIGNAL_ERR_BAD_MESSAGE);
}

int32_t signal_event_dispatch(SignalContext *ctx, const char *text) {
    const SignalCallbacks *cb = &ctx->callbacks;
    char action[32];
    int32_t r = 0, bad_line = 0;

    VKO_JSON *json = VKO_JSONParse(text);
    if (!json) {
        log_message(3, "signal_event_dispatch: Not a valid JSON String %s.", text);
        signal_log_bad(__LINE__);
        return 0;
    }
    const VKO_JSON *payload = get_obj(json, "payload");

    if (!get_str(json, "action", action, sizeof(action))) {
        log_message(3, "signal_event_dispatch: action not found in JSON %s", text);
        bad_line = __LINE__;

    } else if (strcmp(action, "sdk") == 0) {
        const VKO_JSON *p = VKO_JSONObjGetItem(json, "payload");
        char *s = p ? VKO_JSONSerialize(p) : NULL;
        if (cb->on_sdk_message) cb->on_sdk_message(s ? s : "null", ctx->opaque);
        VKO_Free(s);

    } else if (strcmp(action, "close") == 0) {
        char reason[64];
        if (payload && get_str(payload, "reason", reason, sizeof(reason)))
            r = signal_close_code(reason);
        else
            bad_line = __LINE__;

    } else if (strcmp(action, "offer_relay") == 0) {
        SignalOffer o = {};
        if (!payload || signal_parse_offer(payload, &o) != 0)
            bad_line = __LINE__;
        else if (cb->on_offer)
            cb->on_offer(o.attempt_id, o.mode, &o.creds, o.from, o.name, o.perms, o.user_id, o.is_owner,
                         o.skip_approval, ctx->opaque);
        VKO_SecureZero(&o.creds, sizeof(o.creds));

    } else if (strcmp(action, "offer_cancel_relay") == 0) {
        char from[SIGNAL_PEER_ID_SIZE], attempt[SIGNAL_ATTEMPT_ID_SIZE];
        if (!payload || !get_str(payload, "from", from, sizeof(from)) ||
            !get_str(payload, "attempt_id", attempt, sizeof(attempt)))
            bad_line = __LINE__;
        else if (cb->on_offer_cancel)
            cb->on_offer_cancel(attempt, ctx->opaque);

    } else if (strcmp(action, "answer_relay") == 0) {
        char from[SIGNAL_PEER_ID_SIZE], attempt[SIGNAL_ATTEMPT_ID_SIZE];
        uint8_t approved = 0;
        Creds creds = {};
        if (!payload || !get_str(payload, "from", from, sizeof(from)) ||
            !get_str(payload, "attempt_id", attempt, sizeof(attempt)) ||
            !get_u8(payload, "approved", &approved) ||
            (approved && signal_parse_creds(get_obj(payload, "data"), &creds) != 0))
            bad_line = __LINE__;
        else if (cb->on_answer)
            cb->on_answer(attempt, approved, &creds, ctx->opaque);
        VKO_SecureZero(&creds, sizeof(creds));

    } else if (strcmp(action, "candex_relay") == 0) {
        char from[SIGNAL_PEER_ID_SIZE];
        Candidate c = {};
        uint32_t port = 0;
        const VKO_JSON *data = payload ? get_obj(payload, "data") : NULL;
        if (!payload || !get_str(payload, "from", from, sizeof(from)) ||
            !get_str(payload, "attempt_id", c.attempt_id, sizeof(c.attempt_id)) || !data ||
            !get_str(data, "ip", c.ip, sizeof(c.ip)) || !get_u32(data, "port", &port) || port > 0xFFFF ||
            !get_u8(data, "lan", &c.lan) || !get_u8(data, "from_stun", &c.from_stun) ||
            !get_u8(data, "sync", &c.sync)) {
            log_message(1, "CANDEX ERR: %d", SIGNAL_ERR_BAD_MESSAGE);
        } else {
            c.port = (uint16_t)port;
            log_message(3, "CANDEX: %s %s:%d", c.lan ? "LAN" : "WAN", c.ip, c.port);
            if (cb->on_candex)
                cb->on_candex(c.attempt_id, c.ip, c.port, c.lan, c.from_stun, c.sync, ctx->opaque);
        }

    } else {
        log_message(3, "signal_event_dispatch: Unknown action: %s", action);
        bad_line = __LINE__;
    }

    if (bad_line) signal_log_bad(bad_line);
    VKO_JSONDestroy(&json);
    return r;
}

// --- the thread ----------------------------------------------------------------------

// One connection round: 0 when the session changed (or stop), else the code
// that ended it. *connected tells whether the socket was opened; *status is
// the upgrade reply's status (0 when none arrived).
static int32_t signal_round(SignalContext *ctx, char *buf, bool *connected, uint16_t *status) {
    char path[512], url[1024], proxy[PROXY_ADDRESS_SIZE];
    int32_t code = 0;

    VKO_MutexLock(ctx->session_mutex);
    snprintf(path, sizeof(path), "/?session_id=%s&role=%s&version=1&build=%s&sdk_version=%u", ctx->session_id,
             ctx->role, zarvek_version(), SIGNAL_SDK_VERSION);
    char port[8];
    snprintf(port, sizeof(port), ":%u", (unsigned)ctx->port);
    snprintf(url, sizeof(url), "%s%s://%s%s%s", "ws", ctx->secure ? "s" : "", ctx->host, port, path);
    ctx->session_active = 1;
    VKO_MutexUnlock(ctx->session_mutex);

    proxy_get(proxy, sizeof(proxy));
    VKO_WebSocket *ws = VKO_WebSocketConnect(url, NULL, proxy, SIGNAL_CONNECT_TIMEOUT, status);
    *connected = ws != NULL;
    if (!ws) return SIGNAL_ERR_CONNECT;

    if (ctx->callbacks.on_connected) ctx->callbacks.on_connected(ctx->opaque);

    while (ctx->session_active && !ctx->stop) {
        if (!signal_flush_queue(ctx, ws)) {
            code = SIGNAL_ERR_WRITE;
            break;
        }
        int32_t r = VKO_WebSocketRead(ws, SIGNAL_READ_TIMEOUT, buf, SIGNAL_READ_SIZE);
        if (r == VKO_WS_OK) {
            code = signal_event_dispatch(ctx, buf);
            if (code != 0) break;
        } else if (r == VKO_WS_CLOSED) {
            code = VKO_WebSocketGetCloseCode(ws) == 1001 ? SIGNAL_ERR_GOING_AWAY : SIGNAL_ERR_CLOSED;
            break;
        } else if (r == VKO_WS_ERROR) {
            code = SIGNAL_ERR_READ;
            break;
        }
    }
    // Stopping or a new session: what is queued still goes out on this socket.
    if (code == 0) signal_flush_queue(ctx, ws);

    VKO_WebSocketDestroy(&ws);
    return code;
}

// Waits ms, cut short only by stop (a stale wake-up does not end a back-off).
static void signal_wait(SignalContext *ctx, uint32_t ms) {
    int64_t end = VKO_GetTime() + (int64_t)ms * 1000000;
    for (int64_t now = VKO_GetTime(); !ctx->stop && now < end; now = VKO_GetTime())
        VKO_WaitableWait(ctx->wake, (int32_t)((end - now + 999999) / 1000000));
}

static void *signal_thread(void *opaque) {
    SignalContext *ctx = (SignalContext *)opaque;
    char *buf = (char *)VKO_Alloc(SIGNAL_READ_SIZE, 1);
    // The next back-off; 0 while at the first one (backoff_min, which tests may change).
    uint32_t backoff = 0, failures = 0;

    while (!ctx->stop) {
        signal_drop_cleared(ctx);  // also while no session: the queue keeps room
        VKO_MutexLock(ctx->session_mutex);
        bool have_session = ctx->session_id[0] != '\0';
        uint32_t base = backoff ? backoff : ctx->backoff_min;
        VKO_MutexUnlock(ctx->session_mutex);
        if (!have_session) {
            signal_wait(ctx, 100);
            continue;
        }

        bool connected = false;
        uint16_t status = 0;
        int32_t code = signal_round(ctx, buf, &connected, &status);
        if (connected) {
            backoff = 0;
            failures = 0;
        }

        if (code != 0 && code != SIGNAL_ERR_GOING_AWAY && ctx->callbacks.on_error) {
            if (status == 401) {
                code = SIGNAL_ERR_UNAUTHORIZED;
            } else if (status == 412) {
                code = SIGNAL_ERR_PRECONDITION;
            } else if (status != 0 && status != 101) {
                log_message(1, "Websocket upgrade request returned status code %u", status);
            }
            log_message(0, "* %s[%d] = %d", "signal_thread", __LINE__, code);
            ctx->callbacks.on_error(code, ctx->opaque);
        }

        // A failed connection, and also a round that ended with an error,
        // waits before the next try: a server that accepts and then ends
        // every round must not be reconnected to in a tight loop. Only a new
        // session reconnects at once.
        if (code != 0 && !ctx->stop) {
            if (connected) base = ctx->backoff_min;
            signal_wait(ctx, VKO_GetRandomUInt(base, base * 2));
            if (!connected) {
                failures++;
                backoff = failures <= SIGNAL_BACKOFF_DOUBLINGS
                              ? (base * 2 > SIGNAL_BACKOFF_MAX ? SIGNAL_BACKOFF_MAX : base * 2)
                              : SIGNAL_BACKOFF_LONG;
            }
        }
    }

    VKO_Free(buf);
    return NULL;
}

// --- lifecycle -----------------------------------------------------------------------

void signal_create(SignalContext **out, const char *role, const char *host, uint32_t loader_v,
                   uint32_t service_v, const char *device_id, const SignalCallbacks *callbacks,
                   void *opaque) {
    SignalContext *ctx = new SignalContext();
    signal_copy(ctx->role, sizeof(ctx->role), role);
    signal_copy(ctx->host, sizeof(ctx->host), host);
    signal_copy(ctx->device_id, sizeof(ctx->device_id), device_id);
    ctx->port = SIGNAL_DEFAULT_PORT;
    ctx->secure = 1;
    ctx->backoff_min = SIGNAL_BACKOFF_MIN;
    ctx->loader_v = loader_v;
    ctx->service_v = service_v;
    if (callbacks) ctx->callbacks = *callbacks;
    ctx->opaque = opaque;
    ctx->session_mutex = VKO_MutexCreate();
    ctx->map_mutex = VKO_MutexCreate();
    ctx->queue = VKO_QueueCreate(SIGNAL_QUEUE_SLOTS, sizeof(void *));
    ctx->wake = VKO_WaitableCreate();
    ctx->attempts = VKO_HashCreate(0);
    ctx->thread = VKO_ThreadCreate(signal_thread, ctx);
    *out = ctx;
}

void signal_destroy(SignalContext **pctx) {
    if (!pctx || !*pctx) return;
    SignalContext *ctx = *pctx;

    ctx->stop = 1;
    VKO_WaitableSignal(ctx->wake);
    VKO_ThreadDestroy(&ctx->thread);

    VKO_QueueFlush(ctx->queue, signal_free_message);  // the thread is gone: this one reads
    VKO_QueueDestroy(&ctx->queue);
    VKO_HashDestroy(&ctx->attempts, VKO_Free);
    VKO_WaitableDestroy(&ctx->wake);
    VKO_MutexDestroy(&ctx->map_mutex);
    VKO_MutexDestroy(&ctx->session_mutex);
    delete ctx;
    *pctx = NULL;
}
