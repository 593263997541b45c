// Text and JSON forms of the configuration store: the key=value text form
// (start-up text, launch link, registry value, legacy config.txt, plain
// service settings), config.json, the layer and schema JSON, the service's
// settings answer and window.json.
#pragma once

#include <cstdint>

#include "platform/json.h"

// Window placement record kept in window.json (fields in the window module's order).
#ifndef VKO_FRAME_DEFINED
#define VKO_FRAME_DEFINED
struct VKO_Frame {
    uint32_t flags;  // 0x1 hidden, 0x2 fullscreen, 0x4 maximized
    uint32_t width;
    uint32_t height;
    char screen[32];
    int32_t x;
    int32_t y;
};
#endif

#define CONFIG_JSON_NAME "config.json"
#define CONFIG_TXT_NAME "config.txt"
#define CONFIG_WINDOW_NAME "window.json"
#define CONFIG_JSON_MAX_BYTES (4u * 1024u * 1024u)  // a larger config.json is refused
#define CONFIG_REMOTE_TEXT_MAX 2048
#define CONFIG_REGISTRY_MAX_BYTES 8192

// The notice strings written into config.json and config.txt.
const char *config_json_notice(void);
const char *config_txt_notice(void);

bool config_parse_text(uint32_t layer, const char *text);
bool config_parse_lines_nolock(char *cleaned, uint32_t layer);
void config_apply_launch_url(const char *text);
void config_strip_silent_arg(char *text);

bool config_apply_json_nolock(uint32_t layer, const VKO_JSON *object, const char *member, bool clear);
bool config_apply_json(uint32_t layer, const VKO_JSON *object, const char *member, bool clear);

bool config_load(uint32_t layer, const char *dir, bool clear);
bool config_save(const char *dir);

VKO_JSON *config_layer_output_json(uint32_t layer, VKO_JSON *object, void *unused, bool with_source);
VKO_JSON *config_schema_output_json(void);

void config_apply_constraints(const VKO_JSON *object);
bool config_apply_remote(const VKO_JSON *settings, bool reset, bool keep_local_ws, bool typed);

// Layer 5: REG_SZ "Configuration" under HKLM "SOFTWARE\Zarvek" (clear, parse, notify).
bool config_load_registry(uint32_t layer);

VKO_Frame *config_load_window(VKO_Frame *out, const char *dir, uint32_t index);
bool config_save_window(const char *dir, uint32_t index, const VKO_Frame *frame);
