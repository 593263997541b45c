// Settings text (start-up text, launch link, registry value, config.txt) and
// settings JSON (config.json, the service's answer) from untrusted bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/json.h"
#include "platform/log.h"
#include "util/config.h"
#include "util/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = [] {
        VKO_SetLogFunc(nullptr, nullptr);
        return config_create();
    }();
    if (!ready || size == 0) return 0;
    std::string text((const char *)data + 1, size - 1);
    uint32_t layer = 1 + data[0] % 6;

    config_lock_write();
    config_parse_text(layer, text.c_str());
    config_unlock_notify();
    config_apply_launch_url(text.c_str());

    VKO_JSON *doc = VKO_JSONParse(text.c_str());
    if (doc) {
        config_apply_json(layer, doc, "value", data[0] & 0x80);
        config_apply_remote(doc, data[0] & 0x40, data[0] & 0x20, data[0] & 0x10);
        VKO_JSONDestroy(&doc);
    }
    HostConfig h;
    config_read_host(&h);
    VKO_JSON *out = config_layer_output_json(7, nullptr, nullptr, true);
    VKO_JSONDestroy(&out);
    if (data[0] == 0xFF) {
        config_clear_layer(layer);
        config_apply_remote(nullptr, true, false, true);
    }
    return 0;
}
