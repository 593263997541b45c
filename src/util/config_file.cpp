#include "util/config_file.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>

#include "compat/registry/registry.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "util/config.h"

namespace {

const char *kTag = "CONFIG";

std::mutex g_refused_mutex;
std::set<std::string> g_refused;  // resolved config.json paths that must not be saved over

// --- JSON access -----------------------------------------------------------

bool j_number(const VKO_JSON *item, double *out) {
    if (!item || item->type != VKO_JSON_TYPE_NUMBER) return false;
    *out = item->value2.num;
    return true;
}

bool j_bool(const VKO_JSON *item, bool *out) {
    if (!item || item->type != VKO_JSON_TYPE_BOOL) return false;
    *out = item->value.b;
    return true;
}

const char *j_string(const VKO_JSON *item) {
    return item ? VKO_JSONGetString(item) : nullptr;
}

bool j_is_object(const VKO_JSON *item) {
    return item && item->type == VKO_JSON_TYPE_OBJECT;
}

// Nearest integer, ties to even; false when it does not fit 32 bits.
bool round_to_i32(double d, int32_t *out) {
    if (!std::isfinite(d)) return false;
    double r = std::nearbyint(d);
    if (r < -2147483648.0 || r > 2147483647.0) return false;
    *out = (int32_t)r;
    return true;
}

std::string member_name(const ConfigItem *item, uint32_t stream) {
    std::string n = item->name;
    if (stream > 0) {
        n += '_';
        n += (char)('0' + stream);
    }
    return n;
}

uint32_t stream_count(const ConfigItem *item) {
    return item->multi_stream ? CONFIG_STREAM_COUNT : 1;
}

ConfigItem *find_item(const char *key) {
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *it = config_item_at(i);
        if (it && strcmp(it->name, key) == 0) return it;
    }
    return nullptr;
}

// Leading base-10 number with optional sign, saturated to 32 bits as a
// 32-bit strtol would; false when no digit leads.
bool leading_int(const char *s, int32_t *out) {
    const char *p = s;
    bool neg = false;
    if (*p == '+' || *p == '-') {
        neg = *p == '-';
        p++;
    }
    if (!isdigit((unsigned char)*p)) return false;
    int64_t v = 0;
    while (isdigit((unsigned char)*p)) {
        if (v <= (int64_t)INT32_MAX + 1) v = v * 10 + (*p - '0');
        p++;
    }
    if (neg) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    *out = (int32_t)v;
    return true;
}

std::string join_path(const char *dir, const char *name) {
    std::string p = dir ? dir : ".";
    if (p.empty() || p.back() != '/') p += '/';
    return p + name;
}

// The refusal is keyed by the file itself, so every spelling of the folder
// and every link to the file find it.
std::string refusal_key(const std::string &json_path) {
    char *resolved = vko_file_resolve(json_path.c_str());
    std::string key = resolved ? resolved : json_path;
    VKO_Free(resolved);
    return key;
}

bool is_refused(const std::string &key) {
    std::lock_guard<std::mutex> g(g_refused_mutex);
    return g_refused.count(key) != 0;
}

void set_refused(const std::string &key, bool refused) {
    std::lock_guard<std::mutex> g(g_refused_mutex);
    if (refused)
        g_refused.insert(key);
    else
        g_refused.erase(key);
}

void write_txt_notice(const std::string &txt_path) {
    const char *notice = config_txt_notice();
    if (!vko_file_write_atomic(txt_path.c_str(), notice, strlen(notice)))
        VKO_Log(kTag, "Could not rewrite '%s'", CONFIG_TXT_NAME);
}

VKO_JSON *value_json(const ConfigItem *item, const ConfigSlot *slot) {
    switch (item->type) {
        case CONFIG_TYPE_INT:
            return VKO_JSONIntCreate(slot->value_int);
        case CONFIG_TYPE_BOOL:
            return VKO_JSONBoolCreate(slot->value_bool != 0);
        default:
            return VKO_JSONStringCreate(slot->value_string ? slot->value_string : "");
    }
}

bool apply_json_nolock(uint32_t layer, const VKO_JSON *object, const char *member, bool clear,
                       const char *skip_key) {
    if (layer < CONFIG_LAYER_SERVER_DEFAULT || layer > CONFIG_LAYER_ENFORCED || !object || !member ||
        !config_exists())
        return false;
    bool changed = false;
    if (clear) {
        // the clear "changed" something when any slot of the layer was set
        for (uint32_t i = 0; i < CONFIG_KEY_COUNT && !changed; i++)
            for (uint32_t s = 0; s < CONFIG_STREAM_COUNT; s++)
                if (config_item_at(i)->slots[layer][s].set) changed = true;
        config_clear_layer_nolock(layer);
    }
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *item = config_item_at(i);
        if (layer == CONFIG_LAYER_LAUNCH && item->no_launch_link) continue;
        if (skip_key && strcmp(item->name, skip_key) == 0) continue;
        for (uint32_t s = 0; s < stream_count(item); s++) {
            const VKO_JSON *entry = VKO_JSONObjGetItem(object, member_name(item, s).c_str());
            if (!entry) continue;
            ConfigSlot *slot = &item->slots[layer][s];
            const VKO_JSON *v = j_is_object(entry) ? VKO_JSONObjGetItem(entry, member) : nullptr;
            bool kind_ok = false;
            bool did = false;
            if (item->type == CONFIG_TYPE_INT) {
                double d = 0;
                bool b = false;
                int32_t n = 0;
                bool have = false;
                if (j_number(v, &d)) {
                    kind_ok = true;
                    have = round_to_i32(d, &n);
                } else if (j_bool(v, &b)) {
                    kind_ok = true;
                    have = true;
                    n = b ? 1 : 0;
                }
                if (have && config_int_in_range(item, s, n) && !(slot->set && slot->value_int == n)) {
                    slot->value_int = n;
                    slot->set = 1;
                    did = true;
                }
            } else if (item->type == CONFIG_TYPE_BOOL) {
                bool b = false;
                if (j_bool(v, &b)) {
                    kind_ok = true;
                    uint8_t n = b ? 1 : 0;
                    if (!(slot->set && slot->value_bool == n)) {
                        slot->value_bool = n;
                        slot->set = 1;
                        did = true;
                    }
                }
            } else {
                const char *t = j_string(v);
                if (t) {
                    kind_ok = true;
                    if (config_check_characters(item, s, t) &&
                        !(slot->set && slot->value_string && strcmp(slot->value_string, t) == 0)) {
                        VKO_Free(slot->value_string);
                        slot->value_string = VKO_Strdup(t);
                        slot->set = 1;
                        did = true;
                    }
                }
            }
            if (!kind_ok && slot->set) {
                config_slot_clear(item, slot);
                did = true;
            }
            if (did) {
                config_queue_change(layer, item->name, (uint8_t)s);
                changed = true;
            }
        }
    }
    return changed;
}

}  // namespace

const char *config_json_notice(void) {
    return "See " CONFIG_DOCS_ADDRESS
           " for documentation and example. JSON must be valid before saving or file be will be erased.";
}

const char *config_txt_notice(void) {
    return "# NOTICE: From Zarvek 150-89, the advanced configuration has moved to config.json\n"
           "# The config.json file located in the same folder as config.txt.\n"
           "# You can still add configuration to this file (config.txt) for backwards compatibility.\n"
           "# When you save this file (config.txt) and restart the app, configuration will be migrated to "
           "config.json.\n"
           "# This file (config.txt) will be cleared once the setting(s) have been saved and migrated.\n"
           "# All configuration settings must appear on a new line.\n"
           "# All whitespace, besides the newline character '\\n', is ignored.\n"
           "# See " CONFIG_DOCS_ADDRESS
           " for more information.\n"
           "\n"
           "# Example:\n"
           "# encoder_bitrate = 10\n"
           "\n";
}

bool config_parse_lines_nolock(char *cleaned, uint32_t layer) {
    // layer 0 holds the schema's own texts and 7 is never stored
    if (!cleaned || layer < CONFIG_LAYER_SERVER_DEFAULT || layer > CONFIG_LAYER_ENFORCED) return false;
    bool any_set = false;
    char *save = nullptr;
    for (char *line = strtok_r(cleaned, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
        char *eq = strchr(line, '=');
        char *value = nullptr;
        if (eq) {
            *eq = 0;
            value = eq + 1;
            char *eq2 = strchr(value, '=');
            if (eq2) *eq2 = 0;  // a further "=" ends the value
        }
        char *key = line;
        size_t klen = strlen(key);
        uint32_t stream = 0;
        if (klen >= 3 && klen <= 63 && key[klen - 2] == '_' && isdigit((unsigned char)key[klen - 1])) {
            stream = (uint32_t)(key[klen - 1] - '0');
            key[klen - 2] = 0;
        }
        ConfigItem *item = find_item(key);
        if (!item) continue;
        if (layer == CONFIG_LAYER_LAUNCH && item->no_launch_link) continue;
        if (stream > 2 || (stream > 0 && !item->multi_stream)) continue;
        // A known key without a value is skipped; the lines after it still count.
        if (!value || !value[0]) continue;
        ConfigSlot *slot = &item->slots[layer][stream];
        if (item->type == CONFIG_TYPE_INT) {
            int32_t n = 0;
            if (strcmp(value, "true") == 0)
                n = 1;
            else if (strcmp(value, "false") == 0)
                n = 0;
            else if (!leading_int(value, &n))
                continue;
            slot->value_int = n;
            slot->set = config_int_in_range(item, stream, n) ? 1 : 0;
        } else if (item->type == CONFIG_TYPE_BOOL) {
            int32_t n = 0;
            if (leading_int(value, &n)) {
                slot->value_bool = n != 0;
            } else {
                std::string low = value;
                for (char &c : low) c = (char)tolower((unsigned char)c);
                slot->value_bool = low == "false" ? 0 : 1;
            }
            slot->set = 1;
        } else {
            config_slot_clear(item, slot);
            if (strlen(value) < CONFIG_STRING_LIMIT && config_check_characters(item, stream, value)) {
                slot->value_string = VKO_Strdup(value);
                slot->set = 1;
            }
        }
        if (slot->set) any_set = true;
    }
    return any_set;
}

bool config_parse_text(uint32_t layer, const char *text) {
    if (!config_exists() || !config_lock_exists() || !text || layer < CONFIG_LAYER_SERVER_DEFAULT ||
        layer > CONFIG_LAYER_ENFORCED)
        return false;
    std::string out;
    out.reserve(strlen(text));
    bool comment = false;
    for (const char *p = text; *p; p++) {
        char c = *p;
        if (c == '\t' || c == '\v' || c == '\f' || c == ' ') continue;
        if (c == '\n') {
            comment = false;
            out += c;
            continue;
        }
        if (comment) continue;
        if (c == '#') {
            comment = true;
            continue;
        }
        if (c == '\r' || c == '&' || c == ':' || c == ';') c = '\n';
        out += c;
    }
    return config_parse_lines_nolock(out.data(), layer);
}

void config_apply_launch_url(const char *text) {
    if (!config_lock_exists() || !text) return;
    const char *start = strstr(text, "zarvek://");
    if (start)
        start += strlen("zarvek://");
    else if ((start = strstr(text, "zarvek:")))
        start += strlen("zarvek:");
    else
        start = text;
    config_lock_write();
    config_parse_text(CONFIG_LAYER_LAUNCH, start);
    config_unlock_notify();
}

void config_strip_silent_arg(char *text) {
    if (!text) return;
    char *p = strstr(text, "app_silent=");
    if (!p) return;
    char *colon = strchr(p, ':');
    if (!colon) {
        *p = 0;
        return;
    }
    memmove(p, colon + 1, strlen(colon + 1) + 1);
}

bool config_apply_json_nolock(uint32_t layer, const VKO_JSON *object, const char *member, bool clear) {
    return apply_json_nolock(layer, object, member, clear, nullptr);
}

bool config_apply_json(uint32_t layer, const VKO_JSON *object, const char *member, bool clear) {
    if (!config_lock_exists()) return false;
    config_lock_write();
    bool r = apply_json_nolock(layer, object, member, clear, nullptr);
    config_unlock_notify();
    return r;
}

bool config_load(uint32_t layer, const char *dir, bool clear) {
    if (!config_lock_exists() || layer < CONFIG_LAYER_SERVER_DEFAULT || layer > CONFIG_LAYER_ENFORCED)
        return false;
    std::string json_path = join_path(dir, CONFIG_JSON_NAME);
    std::string txt_path = join_path(dir, CONFIG_TXT_NAME);
    bool changed = false;

    config_lock_write();
    if (clear) config_clear_layer_nolock(layer);

    // config.json: a file that is there but cannot be used is kept as it is
    // and not saved over, so a hand edit with a typo loses nothing. (The data
    // folder is the user's own, so a linked config.json is simply followed.)
    struct stat st;
    bool refused = false;
    if (stat(json_path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            VKO_Log(kTag, "'%s' is not a regular file; it is ignored and kept", CONFIG_JSON_NAME);
            refused = true;
        } else if (st.st_size == 0) {
            VKO_Log(kTag, "'%s' is empty; no user settings were loaded", CONFIG_JSON_NAME);
        } else if ((uint64_t)st.st_size > CONFIG_JSON_MAX_BYTES) {
            VKO_Log(kTag, "'%s' is too large (%lld bytes); it is ignored and kept", CONFIG_JSON_NAME,
                    (long long)st.st_size);
            refused = true;
        } else {
            VKO_JSON *doc = VKO_JSONReadFile(json_path.c_str());
            const VKO_JSON *settings = doc ? VKO_JSONArrayGetItem(doc, 1) : nullptr;
            if (!j_is_object(settings)) {
                VKO_Log(kTag, "'%s' is not valid; it is ignored and kept", CONFIG_JSON_NAME);
                refused = true;
            } else if (config_apply_json(layer, settings, "value", false)) {
                changed = true;
            }
            VKO_JSONDestroy(&doc);
        }
    }
    set_refused(refusal_key(json_path), refused);

    struct stat tst;
    if (stat(txt_path.c_str(), &tst) == 0 && S_ISREG(tst.st_mode)) {
        size_t size = 0;
        char *text = (char *)VKO_ReadFile(txt_path.c_str(), &size);
        if (text && config_parse_text(layer, text)) changed = true;
        bool had_settings = text != nullptr;
        VKO_Free(text);
        if (config_unlock_notify() > 0) changed = true;
        // config.txt is reset to the notice only once its settings are safe
        // in config.json.
        if (!had_settings || config_save(dir))
            write_txt_notice(txt_path);
        else
            VKO_Log(kTag, "'%s' was kept because '%s' could not be saved", CONFIG_TXT_NAME, CONFIG_JSON_NAME);
    } else {
        write_txt_notice(txt_path);
        if (config_unlock_notify() > 0) changed = true;
    }
    return changed;
}

// Not to be called under the store's lock: the file's writer lock is taken
// first and the layer read under it, so the last save holds the newest values.
bool config_save(const char *dir) {
    if (!config_lock_exists()) return false;
    std::string path = refusal_key(join_path(dir, CONFIG_JSON_NAME));
    VKO_FileGuard *guard = vko_file_guard_acquire(path.c_str());
    bool ok = false;
    if (is_refused(path)) {
        VKO_Log(kTag, "'%s' was not saved: the file on disk could not be read and is kept", CONFIG_JSON_NAME);
    } else if (VKO_JSON *layer2 = config_layer_output_json(CONFIG_LAYER_USER, nullptr, nullptr, false)) {
        VKO_JSON *doc = VKO_JSONArrayCreate(2);
        VKO_JSONArraySetItem(doc, 0, VKO_JSONStringCreate(config_json_notice()));
        VKO_JSONArraySetItem(doc, 1, layer2);
        ok = vko_json_write_atomic(path.c_str(), doc);
        VKO_JSONDestroy(&doc);
    }
    vko_file_guard_release(&guard);
    return ok;
}

VKO_JSON *config_layer_output_json(uint32_t layer, VKO_JSON *object, void *unused, bool with_source) {
    (void)unused;
    if (!config_exists()) {
        VKO_Log(kTag, "Attempted to access the config before it was ready (%s)", "config_layer_output_json");
        return nullptr;
    }
    if (layer > CONFIG_LAYER_MERGED) return object;
    VKO_JSON *out = object ? object : VKO_JSONObjCreate();
    config_lock_read();
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *item = config_item_at(i);
        if (layer == CONFIG_LAYER_LAUNCH && item->no_launch_link) {
            uint32_t l = layer;
            config_get_item(item, &l, 0);  // logs the barred key once
            continue;
        }
        for (uint32_t s = 0; s < stream_count(item); s++) {
            uint32_t l = layer;
            ConfigSlot *slot = config_get_item(item, &l, s);
            if (!slot || !slot->set) continue;
            VKO_JSON *entry = VKO_JSONObjCreate();
            VKO_JSONObjSetItem(entry, "value", value_json(item, slot));
            if (with_source) VKO_JSONObjSetItem(entry, "source", VKO_JSONIntCreate((int32_t)l));
            VKO_JSONObjSetItem(out, member_name(item, s).c_str(), entry);
        }
    }
    config_unlock();
    return out;
}

VKO_JSON *config_schema_output_json(void) {
    if (!config_exists()) {
        VKO_Log(kTag, "Attempted to access the config before it was ready (%s)", "config_schema_output_json");
        return nullptr;
    }
    static const char *const friendly[] = {"", "int", "bool", "string"};
    VKO_JSON *out = VKO_JSONObjCreate();
    config_lock_read();
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *item = config_item_at(i);
        for (uint32_t s = 0; s < stream_count(item); s++) {
            VKO_JSON *e = VKO_JSONObjCreate();
            VKO_JSONObjSetItem(e, "key", VKO_JSONStringCreate(item->name));
            VKO_JSONObjSetItem(e, "index", VKO_JSONIntCreate((int32_t)s));
            VKO_JSONObjSetItem(e, "type_friendly", VKO_JSONStringCreate(friendly[item->type & 3]));
            VKO_JSONObjSetItem(e, "type", VKO_JSONIntCreate((int32_t)item->type));
            const ConfigSlot *l1 = &item->slots[CONFIG_LAYER_SERVER_DEFAULT][s];
            VKO_JSONObjSetItem(e, "default", value_json(item, l1->set ? l1 : &item->slots[0][s]));
            const ConfigRange &r =
                item->server_range[s].present ? item->server_range[s] : item->schema_range[s];
            if (item->type == CONFIG_TYPE_INT) {
                VKO_JSONObjSetItem(e, "minimum", VKO_JSONIntCreate(r.minimum));
                VKO_JSONObjSetItem(e, "maximum", VKO_JSONIntCreate(r.maximum));
            } else if (item->type == CONFIG_TYPE_STRING) {
                VKO_JSONObjSetItem(e, "is_whitelist", VKO_JSONBoolCreate(r.is_whitelist != 0));
                VKO_JSONObjSetItem(e, "characters", VKO_JSONStringCreate(r.characters ? r.characters : ""));
            }
            VKO_JSONObjSetItem(out, member_name(item, s).c_str(), e);
        }
    }
    config_unlock();
    return out;
}

void config_apply_constraints(const VKO_JSON *object) {
    if (!object || !config_exists()) return;
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *item = config_item_at(i);
        if (item->type == CONFIG_TYPE_BOOL) continue;
        for (uint32_t s = 0; s < stream_count(item); s++) {
            const VKO_JSON *m = VKO_JSONObjGetItem(object, member_name(item, s).c_str());
            if (!j_is_object(m)) continue;
            ConfigRange &b = item->server_range[s];
            if (item->type == CONFIG_TYPE_INT) {
                double dmin = 0, dmax = 0;
                bool hmin = j_number(VKO_JSONObjGetItem(m, "minimum"), &dmin);
                bool hmax = j_number(VKO_JSONObjGetItem(m, "maximum"), &dmax);
                if (!hmin && !hmax) continue;
                int32_t lo = item->schema_range[s].minimum, hi = item->schema_range[s].maximum;
                if (hmin && !round_to_i32(dmin, &lo)) lo = dmin < 0 ? INT32_MIN : INT32_MAX;
                if (hmax && !round_to_i32(dmax, &hi)) hi = dmax < 0 ? INT32_MIN : INT32_MAX;
                if (b.present && b.minimum == lo && b.maximum == hi) continue;
                b.minimum = lo;
                b.maximum = hi;
                b.present = 1;
            } else {
                bool wl = false;
                const char *chars = j_string(VKO_JSONObjGetItem(m, "characters"));
                if (!j_bool(VKO_JSONObjGetItem(m, "is_whitelist"), &wl) || !chars) continue;
                if (b.present && b.is_whitelist == (wl ? 1 : 0) && b.characters &&
                    strcmp(b.characters, chars) == 0)
                    continue;
                VKO_Free(b.characters);
                b.characters = VKO_Strdup(chars);
                b.is_whitelist = wl ? 1 : 0;
                b.present = 1;
            }
            config_queue_change(CONFIG_LAYER_SERVER_DEFAULT, item->name, (uint8_t)s);
        }
    }
}

bool config_apply_remote(const VKO_JSON *settings, bool reset, bool keep_local_ws, bool typed) {
    if (!config_lock_exists()) return false;
    config_lock_write();
    if (reset) {
        config_clear_layer_nolock(CONFIG_LAYER_ENFORCED);
        config_clear_layer_nolock(CONFIG_LAYER_SERVER_DEFAULT);
        for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
            ConfigItem *item = config_item_at(i);
            for (uint32_t s = 0; s < CONFIG_STREAM_COUNT; s++) {
                ConfigRange &b = item->server_range[s];
                if (b.present) config_queue_change(CONFIG_LAYER_SERVER_DEFAULT, item->name, (uint8_t)s);
                VKO_Free(b.characters);
                b = ConfigRange{};
            }
        }
    }
    // The fixed user set keeps its own websocket host on both paths.
    const char *skip = keep_local_ws ? "ws_host" : nullptr;
    if (settings && typed) {
        apply_json_nolock(CONFIG_LAYER_ENFORCED, settings, "value", false, skip);
        apply_json_nolock(CONFIG_LAYER_SERVER_DEFAULT, settings, "default", false, skip);
        config_apply_constraints(settings);
    } else if (settings) {
        std::string text;
        uint64_t iter = 0;
        const char *name = nullptr;
        while (VKO_JSONObjGetNextKey(settings, &iter, &name)) {
            if (skip && strcmp(name, skip) == 0) continue;
            const VKO_JSON *m = VKO_JSONObjGetItem(settings, name);
            const char *v = j_is_object(m) ? j_string(VKO_JSONObjGetItem(m, "value")) : nullptr;
            if (!v || strlen(v) > 255) continue;
            std::string entry = std::string(name) + "=" + v + ":";
            if (text.size() + entry.size() + 1 > CONFIG_REMOTE_TEXT_MAX) continue;
            text += entry;
        }
        config_parse_text(CONFIG_LAYER_ENFORCED, text.c_str());
    }
    return config_unlock_notify() > 0;
}

bool config_load_registry(uint32_t layer) {
    if (!config_lock_exists()) return false;
    std::string text;
    RegKey *key = nullptr;
    if (reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_READ | REG_KEY_WOW64_64KEY, &key) ==
        REG_ERROR_SUCCESS) {
        uint32_t type = 0;
        char16_t buf[CONFIG_REGISTRY_MAX_BYTES / 2 + 1] = {};
        uint32_t size = CONFIG_REGISTRY_MAX_BYTES;
        if (reg_query_value(key, "Configuration", &type, buf, &size) == REG_ERROR_SUCCESS && type == REG_SZ) {
            buf[CONFIG_REGISTRY_MAX_BYTES / 2] = 0;
            char *utf8 = VKO_WideToMultiAlloc(buf);
            if (utf8) text = utf8;
            VKO_Free(utf8);
        }
        reg_close_key(key);
    }
    config_lock_write();
    config_clear_layer_nolock(layer);
    bool r = !text.empty() && config_parse_text(layer, text.c_str());
    config_unlock_notify();
    return r;
}

VKO_Frame *config_load_window(VKO_Frame *out, const char *dir, uint32_t index) {
    memset(out, 0, sizeof(*out));
    VKO_JSON *doc = VKO_JSONReadFile(join_path(dir, CONFIG_WINDOW_NAME).c_str());
    char name[16];
    snprintf(name, sizeof(name), "%u", index);
    const VKO_JSON *w = j_is_object(doc) ? VKO_JSONObjGetItem(doc, name) : nullptr;
    if (j_is_object(w)) {
        double d = 0;
        int32_t n = 0;
        if (j_number(VKO_JSONObjGetItem(w, "type"), &d) && round_to_i32(d, &n)) out->flags = (uint32_t)n;
        if (const char *s = j_string(VKO_JSONObjGetItem(w, "screen")))
            snprintf(out->screen, sizeof(out->screen), "%s", s);
        if (j_number(VKO_JSONObjGetItem(w, "x"), &d) && round_to_i32(d, &n)) out->x = n;
        if (j_number(VKO_JSONObjGetItem(w, "y"), &d) && round_to_i32(d, &n)) out->y = n;
        if (j_number(VKO_JSONObjGetItem(w, "w"), &d) && round_to_i32(d, &n)) out->width = (uint32_t)n;
        if (j_number(VKO_JSONObjGetItem(w, "h"), &d) && round_to_i32(d, &n)) out->height = (uint32_t)n;
    }
    VKO_JSONDestroy(&doc);
    return out;
}

bool config_save_window(const char *dir, uint32_t index, const VKO_Frame *frame) {
    if (!frame) return false;
    // Read, change and write under the file's lock, so two windows saving at
    // once both keep their placement.
    std::string path = join_path(dir, CONFIG_WINDOW_NAME);
    VKO_FileGuard *guard = vko_file_guard_acquire(path.c_str());
    VKO_JSON *doc = VKO_JSONReadFile(path.c_str());
    if (!j_is_object(doc)) {
        VKO_JSONDestroy(&doc);
        doc = VKO_JSONObjCreate();
    }
    char name[16];
    snprintf(name, sizeof(name), "%u", index);
    VKO_JSON *w = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(w, "type", VKO_JSONIntCreate((int32_t)frame->flags));
    VKO_JSONObjSetItem(
        w, "screen",
        VKO_JSONStringCreate(
            std::string(frame->screen, strnlen(frame->screen, sizeof(frame->screen))).c_str()));
    VKO_JSONObjSetItem(w, "x", VKO_JSONIntCreate(frame->x));
    VKO_JSONObjSetItem(w, "y", VKO_JSONIntCreate(frame->y));
    VKO_JSONObjSetItem(w, "w", VKO_JSONIntCreate((int32_t)frame->width));
    VKO_JSONObjSetItem(w, "h", VKO_JSONIntCreate((int32_t)frame->height));
    VKO_JSONObjSetItem(doc, name, w);
    bool ok = vko_json_write_atomic(path.c_str(), doc);
    vko_file_guard_release(&guard);
    VKO_JSONDestroy(&doc);
    return ok;
}
