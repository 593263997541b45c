// Incoming signaling messages: any text handed to the dispatcher must give a
// code or a logged refusal, never a crash. Callbacks are set so that every
// parsed field is read.
#include <cstdint>
#include <cstring>
#include <string>

#include "connection/signal.h"

namespace {

volatile size_t sink;

void touch(const char *s) {
    sink = sink + strlen(s);
}

SignalContext *context() {
    SignalCallbacks cb = {};
    cb.on_offer = [](const char *attempt, uint32_t, const Creds *c, const char *from, const char *name,
                     SignalPermissions, uint32_t, uint8_t, uint8_t, void *) {
        touch(attempt), touch(from), touch(name), touch(c->ice_ufrag), touch(c->ice_pwd),
            touch(c->fingerprint), touch(c->aes256);
    };
    cb.on_offer_cancel = [](const char *attempt, void *) { touch(attempt); };
    cb.on_answer = [](const char *attempt, uint8_t, const Creds *c, void *) {
        touch(attempt), touch(c->ice_ufrag), touch(c->aes256);
    };
    cb.on_candex = [](const char *attempt, const char *ip, uint16_t, uint8_t, uint8_t, uint8_t, void *) {
        touch(attempt), touch(ip);
    };
    cb.on_sdk_message = [](const char *payload, void *) { touch(payload); };
    SignalContext *ctx = nullptr;
    // No session: the thread only idles.
    signal_create(&ctx, "host", "127.0.0.1", 0, 0, "", &cb, nullptr);
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static SignalContext *ctx = context();
    std::string text((const char *)data, size);
    signal_event_dispatch(ctx, text.c_str());
    return 0;
}
