// The host's side of signaling runs the library's host callbacks on the
// host's signaling thread: they announce the host, hand offers, candidates
// and cancels to the host instance's NAT manager, and put each guest that
// asks to connect in the hosting events. The event poller's thread answers
// those as the host's user would.
#include "signaling.h"

#include <cstdio>

#include "app/host_signal.h"
#include "connection/instance.h"

namespace zv {

void signaling_create(Signaling *s, ZarvekInstance *host, ZarvekInstance *client) {
    host_signaling_create(&s->hosting, host, "127.0.0.1", 0, 0, "");
    s->host = s->hosting->signal;
    const SignalCallbacks ccb = sdk_client_signal_callbacks();
    signal_create(&s->client, "client", "127.0.0.1", 0, 0, "", &ccb, client);
}

void signaling_destroy(Signaling *s) {
    signal_destroy(&s->client);
    host_signaling_destroy(&s->hosting);
    s->host = nullptr;
}

// Every guest is approved, with the permissions, owner flag and name the
// signaling server holds for its user. The stand-in server's user is not the
// owner: the owner's session turns to virtual displays, and every stream
// would then take the first output.
void signaling_approve(Signaling *s, int32_t timeout_ms) {
    HostingEvent ask;
    if (!host_signaling_poll(s->hosting, timeout_ms, &ask) || ask.type != HOSTING_EVENT_GUEST_ASKS) return;
    std::printf("guest '%s' (id %u) asks to connect: approved\n", ask.guest.name, ask.guest.id);
    host_signaling_answer(s->hosting, ask.guest.attempt_id, 1);
}

}  // namespace zv
