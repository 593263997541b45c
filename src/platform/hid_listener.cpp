#include <cstring>

#include "platform/hid.h"
#include "platform/memory.h"

struct VKO_HIDListener {
    VKO_HIDCallbacks cb;
};

VKO_HIDListener *vko_hid_listener_create(const VKO_HIDCallbacks *callbacks) {
    auto *l = (VKO_HIDListener *)VKO_Alloc(1, sizeof(VKO_HIDListener));
    if (l && callbacks) l->cb = *callbacks;
    return l;
}

void vko_hid_listener_destroy(VKO_HIDListener **listener) {
    if (!listener || !*listener) return;
    VKO_Free(*listener);
    *listener = nullptr;
}

bool vko_hid_listen(VKO_HIDListener *) {
    return false;
}

void vko_hid_listener_poll(VKO_HIDListener *) {}

bool vko_hid_listener_write(VKO_HIDListener *, uint32_t, const void *, size_t) {
    return false;
}

VKO_CType vko_hid_listener_type(VKO_HIDListener *, uint32_t) {
    return VKO_CTYPE_HID;
}

const char *vko_hid_listener_name(VKO_HIDListener *, uint32_t) {
    return nullptr;
}

void vko_hid_listener_rumble(VKO_HIDListener *, uint32_t, uint16_t, uint16_t) {}
