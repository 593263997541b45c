// Signaling messages of any kind into the host callbacks of an instance that
// hosts: offers, cancels, candidates, answers, sdk calls and closes built
// from the input (or the input as raw text) go through the dispatcher, a
// round's end code goes to on_error as the thread would hand it, the host's
// user answers every request as the input says, and hosting starts again
// when a close ended it. Nothing may crash, and what the host holds stays
// bounded however many messages come. The process runs in a network
// namespace of its own with only loopback up, so no attempt reaches out.
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/host_signal.h"
#include "connection/instance.h"
#include "connection/nat.h"
#include "host/host.h"
#include "platform/json.h"
#include "platform/memory.h"
#include "vdev/vdev.h"

namespace {

struct Hosting {
    ZarvekInstance *z = nullptr;
    HostSignaling *hs = nullptr;
};

void loopback_only() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET): the target needs a network namespace of its own");
        std::abort();
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    std::snprintf(req.ifr_name, sizeof req.ifr_name, "lo");
    if (ioctl(fd, SIOCGIFFLAGS, &req) == 0) {
        req.ifr_flags |= IFF_UP;
        ioctl(fd, SIOCSIFFLAGS, &req);
    }
    close(fd);
}

Hosting &hosting() {
    static Hosting h = [] {
        loopback_only();
        static HostHooks hooks{};
        hooks.no_audio_thread = 1;
        host_set_hooks(&hooks);
        static const HostTimes times{60000, 10};  // a stop does not wait a whole watchdog period
        host_set_times(&times);
        vdev_set_backend(&vdev_recording_backend);
        nat_set_builtin_servers("127.0.0.1", 9, "", 0);  // nothing answers there
        Hosting r;
        ZarvekInit(nullptr, &r.z);
        ZarvekHostStart(r.z, nullptr, nullptr);
        // No session: the signaling thread idles; the target dispatches.
        host_signaling_create(&r.hs, r.z, "127.0.0.1", 0, 0, "");
        return r;
    }();
    return h;
}

// Reads the input a byte at a time; zeros once it is used up.
struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    uint16_t u16() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    std::string rest() {
        std::string s(reinterpret_cast<const char *>(p), n);
        n = 0;
        return s;
    }
};

// A few attempt ids, so that offers, cancels and candidates meet, and now
// and then one that is too long or not ASCII.
std::string attempt_id(uint8_t b) {
    if (b == 255) return std::string(70, 'L');
    if (b == 254) return "\xC3\xA9-attempt";
    return "A" + std::to_string(b % 48);
}

void put_str(VKO_JSON *o, const char *k, const std::string &v) {
    VKO_JSONObjSetItem(o, k, VKO_JSONStringCreate(v.c_str()));
}
void put_int(VKO_JSON *o, const char *k, int32_t v) {
    VKO_JSONObjSetItem(o, k, VKO_JSONIntCreate(v));
}
void put_bool(VKO_JSON *o, const char *k, bool v) {
    VKO_JSONObjSetItem(o, k, VKO_JSONBoolCreate(v));
}

std::string message(Input &in) {
    const uint8_t kind = in.byte() % 8;
    if (kind == 0) return in.rest();
    static const char *kActions[] = {
        "",    "offer_relay", "offer_cancel_relay", "candex_relay", "answer_relay",
        "sdk", "close",       "offer_relay"};
    VKO_JSON *msg = VKO_JSONObjCreate();
    put_int(msg, "version", 1);
    put_str(msg, "action", kActions[kind]);
    VKO_JSON *payload = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(msg, "payload", payload);
    const uint8_t from = in.byte();
    put_str(payload, "from", from == 255 ? std::string(40, 'F') : "P" + std::to_string(from % 4));
    put_str(payload, "attempt_id", attempt_id(in.byte()));
    VKO_JSON *data = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(payload, "data", data);
    if (kind == 1 || kind == 7 || kind == 4) {
        const uint8_t flags = in.byte();
        VKO_JSON *creds = VKO_JSONObjCreate();
        put_str(creds, "ice_ufrag", "uf" + std::to_string(flags));
        put_str(creds, "ice_pwd", "password-password-password-12345");
        put_str(creds, "fingerprint", std::string(64, 'a'));
        if (flags & 1) put_str(creds, "aes256", std::string(254, 'b'));
        VKO_JSONObjSetItem(data, "creds", creds);
        put_bool(payload, "approved", flags & 2);
        // Mostly the two transports, sometimes any number.
        const uint8_t mode = in.byte();
        put_int(data, "mode", mode < 224 ? 1 + (mode & 1) : static_cast<int32_t>(mode) - 230);
        put_bool(payload, "is_owner", flags & 4);
        put_bool(payload, "skip_approval", flags & 8);
        VKO_JSON *perms = VKO_JSONObjCreate();
        put_bool(perms, "gamepad", flags & 16);
        put_bool(perms, "keyboard", flags & 32);
        put_int(perms, "mouse", flags >> 6);
        VKO_JSONObjSetItem(payload, "permissions", perms);
        VKO_JSON *user = VKO_JSONObjCreate();
        put_int(user, "id", in.byte());
        put_str(user, "name", in.rest());
        VKO_JSONObjSetItem(payload, "user", user);
    } else if (kind == 3) {
        // Loopback only (and text that is no address): the namespace has nothing else.
        static const char *kIps[] = {"127.0.0.1",      "::1", "::ffff:127.0.0.1", "127.0.0.2",
                                     "not an address", ""};
        const uint8_t flags = in.byte();
        put_str(data, "ip", kIps[flags % 6]);
        put_int(data, "port", in.u16() + ((flags & 0x80) ? 65536 : 0));
        put_bool(data, "lan", flags & 8);
        put_bool(data, "from_stun", flags & 16);
        put_bool(data, "sync", flags & 32);
    } else if (kind == 5) {
        const uint8_t f = in.byte();
        put_str(payload, "function", f & 1 ? "ZarvekHostKickGuest" : "ZarvekHostSetPermissions");
        put_int(payload, "guestID", in.byte());
        VKO_JSON *perms = VKO_JSONObjCreate();
        put_bool(perms, "gamepad", f & 2);
        put_bool(perms, "keyboard", f & 4);
        put_bool(perms, "mouse", f & 8);
        VKO_JSONObjSetItem(payload, "perms", perms);
    } else if (kind == 6) {
        static const char *kReasons[] = {"INVALID_SESSION", "HOST_NOT_FOUND", "TEAM_DEACTIVATED",
                                         "INVALID_MSG", "SOMETHING ELSE"};
        put_str(payload, "reason", kReasons[in.byte() % 5]);
    }
    char *text = VKO_JSONSerialize(msg);
    VKO_JSONDestroy(&msg);
    std::string s = text ? text : "";
    VKO_Free(text);
    return s;
}

}  // namespace

// The instance lives for the whole run and its threads allocate and free
// across inputs (and still hold their memory at exit), which the leak checks
// take for leaks: they are off here (ASAN_OPTIONS can turn them on), and
// what the host holds is checked below and in the run's RSS.
extern "C" const char *__asan_default_options() {
    return "detect_leaks=0";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Hosting &h = hosting();
    Input in{data, size};
    const uint8_t answers = in.byte();  // bit i: approve the i-th request now waiting
    const std::string text = message(in);

    const int32_t code = signal_event_dispatch(h.hs->signal, text.c_str());
    if (code != 0) {
        const SignalCallbacks cb = sdk_host_signal_callbacks();
        cb.on_error(code, h.hs);  // as the thread reports the round's end
    }

    HostingEvent ask;
    for (uint32_t i = 0; host_signaling_poll(h.hs, 0, &ask); i++)
        host_signaling_answer(h.hs, ask.guest.attempt_id, (answers >> (i % 8)) & 1);
    HostEvent ev;
    while (ZarvekHostPollEvents(h.z, 0, &ev)) {
    }
    // Nobody is connected to send the queue: what was queued is dropped.
    signal_clear_queue(h.hs->signal);

    if (ZarvekHostGetGuests(h.z, 1, nullptr) > NAT_MAX_ATTEMPTS) std::abort();

    ZarvekHostStatus st;
    ZarvekHostGetStatus(h.z, &st);
    if (!st.hosting) {  // a close ended the session and hosting with it
        ZarvekHostStart(h.z, nullptr, nullptr);
        vdev_recorder_clear();
    }
    return 0;
}
