#include "compat/xinput/xinput.h"

#include <atomic>

namespace {

uint32_t none_state(void *, uint32_t, XInputState *) {
    return XINPUT_ERROR_DEVICE_NOT_CONNECTED;
}

uint32_t none_set(void *, uint32_t, uint16_t, uint16_t) {
    return XINPUT_ERROR_DEVICE_NOT_CONNECTED;
}

const XInputSource kNone = {none_state, none_set, nullptr, nullptr};
std::atomic<const XInputSource *> g_source{&kNone};

}  // namespace

void xinput_set_source(const XInputSource *source) {
    g_source.store(source ? source : &kNone);
}

const XInputSource *xinput_source(void) {
    return g_source.load();
}
