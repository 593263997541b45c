// Control messages and connection records from a hostile peer: the first byte
// picks the parser. Nothing reads outside the message (ASan watches an
// exact-size copy), and a guest list that reads back writes and reads again
// to the same count. Host messages go through the client's handler too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/client.h"
#include "connection/protocol.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "util/config_records.h"

static void quiet(const char *, void *) {}

// Callbacks that read every byte they are handed, so ASan sees any overrun.
static volatile uint32_t g_sum;
static void touch(const uint8_t *p, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) g_sum = g_sum + p[i];
}
static const ClientCallbacks kTouch = {
    [](const ClientCursor *c, const uint8_t *image, void *) { touch(image, image ? c->size : 0); },
    nullptr,
    [](uint32_t, const uint8_t *bytes, uint32_t size, uint32_t, void *) { touch(bytes, size); },
    nullptr,
    [](uint32_t, char *text, void *) {
        touch(reinterpret_cast<const uint8_t *>(text), static_cast<uint32_t>(std::strlen(text)));
        VKO_Free(text);
    },
    nullptr,
    nullptr,
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool init = (VKO_SetLogFunc(quiet, nullptr), true);
    (void)init;
    if (size < 1) return 0;
    std::vector<uint8_t> m(data + 1, data + size);
    uint32_t len = static_cast<uint32_t>(m.size());
    switch (data[0] % 5) {
        case 4: {
            static ClientContext session{};
            session.callbacks = kTouch;
            client_handle_message(&session, m.data(), len);
            break;
        }
        case 0: {
            std::vector<uint8_t> out(64);
            uint32_t n = proto_parse_message(m.data(), len, out.data(), static_cast<uint32_t>(out.size()));
            if (n != 0 && (n < PROTO_HEADER_SIZE || n > len || n - PROTO_HEADER_SIZE > out.size())) abort();
            proto_parse_gamepad_state(nullptr, m.data(), len);
            break;
        }
        case 1: {
            ClientConfig cfg;
            uint32_t w = 0, h = 0, flags = 0;
            uint8_t cache = 0;
            uint32_t n = proto_parse_client_config(m.data(), len, &cfg, &w, &h, &flags, &cache);
            if (n > len) abort();
            break;
        }
        default: {
            std::string text(m.begin(), m.end());
            GuestInfo *guests = nullptr;
            uint32_t n = proto_guests_from_json(text.c_str(), &guests);
            if (n) {
                char *again = proto_guest_to_json(guests, n);
                GuestInfo *back = nullptr;
                if (proto_guests_from_json(again, &back) != n) abort();
                VKO_Free(back);
                VKO_Free(again);
            }
            VKO_Free(guests);
            break;
        }
    }
    return 0;
}
