// The host's side of signaling: it announces itself, approves every guest
// that asks and takes their candidates. The callbacks run on the host's
// signaling thread; they reach the host instance's NAT manager (its own
// locking) and the host's signaling context (queued messages).
#include "signaling.h"

#include <cstdio>

#include "connection/instance.h"
#include "connection/nat.h"
#include "util/config.h"

namespace zv {
namespace {

// The host approves every guest that asks, with keyboard and mouse. Not as
// the owner: the owner's session turns to virtual displays, and every
// stream would then take the first output.
void on_offer(const char *attempt, uint32_t mode, const Creds *creds, const char *from, const char *,
              SignalPermissions, uint32_t, uint8_t, uint8_t, void *o) {
    auto *s = static_cast<Signaling *>(o);
    GuestInfo info = {};
    info.id = 1;
    info.keyboard = info.mouse = 1;
    snprintf(info.attempt_id, sizeof info.attempt_id, "%s", attempt);
    snprintf(info.name, sizeof info.name, "guest");
    nat_add_peer(s->host_instance->host_nat, attempt, mode, creds, &info, nullptr, 1);
    signal_map_attempt(s->host, attempt, from);
    // From the configured server port (which --upnp maps), else any port.
    const int32_t port = config_get_int(CONFIG_LAYER_MERGED, "network_server_start_port", 0);
    signal_send_answer(s->host, s->host_instance, attempt, port > 0 && port <= 65532 ? uint16_t(port) : 0, 1);
}

void on_candex(const char *attempt, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
               uint8_t sync, void *o) {
    nat_add_candidate(static_cast<Signaling *>(o)->host_instance->host_nat, attempt, ip, port, lan, from_stun,
                      sync);
}

}  // namespace

SignalCallbacks host_signal_callbacks() {
    SignalCallbacks hcb = {};
    hcb.on_connected = [](void *o) {  // the host announces itself, with its guests
        auto *sg = static_cast<Signaling *>(o);
        signal_send_conn_update(sg->host, sg->host_instance);
    };
    hcb.on_offer = on_offer;
    hcb.on_candex = on_candex;
    return hcb;
}

}  // namespace zv
