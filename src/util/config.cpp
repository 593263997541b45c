#include "util/config.h"

#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"

namespace {

struct Store {
    VKO_RWLock *lock;
    VKO_Hash *map;
    VKO_Queue *queue;
    ConfigItem *order[CONFIG_KEY_COUNT];
};

Store g_store;

// The change callback. g_cb_mutex guards the pair, its generation and the
// delivery counts and is never held while the callback runs. g_cb_gen grows
// by one with every change of the pair; g_running[gen] counts the deliveries
// of that generation's callback now running on some thread (an entry goes
// when its count reaches 0). t_delivering lists the generations this thread
// is delivering, innermost last. A thread that changes the pair waits until
// no delivery of an older generation runs, leaving its own out and taking them
// out of the count meanwhile ("parked"), so a callback that changes the pair,
// even on two threads at once, never waits for itself.
std::mutex g_cb_mutex;
std::condition_variable g_cb_idle;
ConfigChangeFunc g_cb;
void *g_cb_ctx;
uint64_t g_cb_gen;
std::map<uint64_t, uint32_t> g_running;
thread_local std::vector<uint64_t> t_delivering;

void running_add(uint64_t gen, int delta) {
    uint32_t &n = g_running[gen];
    n = (uint32_t)((int)n + delta);
    if (n == 0) g_running.erase(gen);
}

const char *kTag = "CONFIG";

void free_notice(void *p) {
    ConfigNotice *n = (ConfigNotice *)p;
    if (!n) return;
    VKO_Free(n->key);
    VKO_Free(n);
}

void free_item(void *p) {
    ConfigItem *it = (ConfigItem *)p;
    if (!it) return;
    if (it->type == CONFIG_TYPE_STRING) {
        for (int s = 0; s < CONFIG_STREAM_COUNT; s++) {
            for (int l = 1; l < CONFIG_LAYER_COUNT; l++) VKO_Free(it->slots[l][s].value_string);
            VKO_Free(it->server_range[s].characters);
        }
    }
    VKO_Free(it);
}

ConfigSlot *lower_default(ConfigItem *item, uint32_t stream) {
    ConfigSlot *l1 = &item->slots[CONFIG_LAYER_SERVER_DEFAULT][stream];
    return l1->set ? l1 : &item->slots[CONFIG_LAYER_DEFAULT][stream];
}

bool chars_pass(const char *list, uint8_t whitelist, const char *text) {
    for (const char *p = text; *p; p++) {
        bool listed = strchr(list, *p) != nullptr;
        if (whitelist && !listed) return false;
        if (!whitelist && listed) return false;
    }
    return true;
}

// Merged-view slot for the record fillers (caller holds the read lock).
const ConfigSlot *merged_slot(const char *key, uint32_t stream, uint32_t type) {
    ConfigItem *item = config_lookup_item(CONFIG_LAYER_MERGED, key, stream, type);
    uint32_t layer = CONFIG_LAYER_MERGED;
    return item ? config_get_item(item, &layer, stream) : nullptr;
}

int32_t merged_int(const char *key, uint32_t stream) {
    const ConfigSlot *slot = merged_slot(key, stream, CONFIG_TYPE_INT);
    return slot ? slot->value_int : 0;
}

uint8_t merged_bool(const char *key, uint32_t stream) {
    const ConfigSlot *slot = merged_slot(key, stream, CONFIG_TYPE_BOOL);
    return slot ? slot->value_bool : 0;
}

// Copies the merged text into a fixed field, always terminated and bounded.
void merged_text(const char *key, uint32_t stream, char *out, size_t size) {
    out[0] = 0;
    const ConfigSlot *slot = merged_slot(key, stream, CONFIG_TYPE_STRING);
    if (slot && slot->set && slot->value_string) snprintf(out, size, "%s", slot->value_string);
}

// Zero-fills a settings record and takes the read lock; false (lock not
// taken) when the store is missing.
bool begin_record(void *out, size_t size, const char *what) {
    memset(out, 0, size);
    if (!g_store.lock) {
        VKO_Log(kTag, "Attempted to access the config in a bad state (%s)", what);
        return false;
    }
    config_lock_read();
    return true;
}

// Steps 3-5 shared by the integer and boolean setters: an unchanged set value
// is no change; a user value equal to the lower default clears the slot.
template <typename T>
bool store_scalar(ConfigItem *item, ConfigSlot *slot, uint32_t layer, uint32_t stream, T ConfigSlot::*field,
                  T value) {
    if (slot->set && slot->*field == value) return false;
    if (layer == CONFIG_LAYER_USER && value == lower_default(item, stream)->*field) {
        slot->*field = 0;
        slot->set = 0;
    } else {
        slot->*field = value;
        slot->set = 1;
    }
    config_queue_change(layer, item->name, (uint8_t)stream);
    return true;
}

char *prefixed(const char *prefix, const char *domain) {
    return VKO_SprintfAlloc("%s%s", prefix, domain);
}

const char *known_domain(const char *env) {
    for (int i = 0; i < CONFIG_SERVICE_DOMAIN_COUNT; i++)
        if (strcmp(env, config_service_domains[i]) == 0) return config_service_domains[i];
    return nullptr;
}

}  // namespace

bool config_exists(void) {
    return g_store.map != nullptr;
}

bool config_lock_exists(void) {
    return g_store.lock != nullptr;
}

void config_lock_write(void) {
    if (g_store.lock) VKO_RWLockWriter(g_store.lock);
}

void config_lock_read(void) {
    if (g_store.lock) VKO_RWLockReader(g_store.lock);
}

void config_unlock(void) {
    if (g_store.lock) VKO_RWLockUnlock(g_store.lock);
}

void config_set_change_callback(ConfigChangeFunc func, void *context) {
    std::unique_lock<std::mutex> g(g_cb_mutex);
    g_cb = func;
    g_cb_ctx = func ? context : nullptr;
    uint64_t gen = ++g_cb_gen;
    for (uint64_t own : t_delivering) running_add(own, -1);
    if (!g_running.empty()) g_cb_idle.notify_all();  // other parked waiters may now go on
    g_cb_idle.wait(g, [gen] { return g_running.empty() || g_running.begin()->first >= gen; });
    for (uint64_t own : t_delivering) running_add(own, 1);
}

bool config_destroy(void) {
    config_set_change_callback(nullptr, nullptr);
    if (g_store.queue) {
        VKO_QueueFlush(g_store.queue, free_notice);
        VKO_QueueDestroy(&g_store.queue);
    }
    if (g_store.lock) VKO_RWLockDestroy(&g_store.lock);
    if (g_store.map) VKO_HashDestroy(&g_store.map, free_item);
    memset(g_store.order, 0, sizeof(g_store.order));
    return !g_store.lock && !g_store.map;
}

bool config_create(void) {
    config_destroy();
    g_store.lock = VKO_RWLockCreate();
    g_store.map = VKO_HashCreate(0);
    g_store.queue = VKO_QueueCreate(CONFIG_NOTICE_SLOTS, sizeof(void *));
    if (!g_store.lock || !g_store.map || !g_store.queue) {
        config_destroy();
        return false;
    }
    const ConfigItem *rows = config_schema_items();
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *item = (ConfigItem *)VKO_Alloc(1, sizeof(ConfigItem));
        memcpy(item, &rows[i], sizeof(ConfigItem));
        void *previous = VKO_HashSet(g_store.map, item->name, item);
        if (previous) {
            // a duplicate name would leave two owners of one entry
            free_item(previous);
            config_destroy();
            return false;
        }
        g_store.order[i] = item;
    }
    return true;
}

ConfigItem *config_item_at(uint32_t index) {
    if (!g_store.map || index >= CONFIG_KEY_COUNT) return nullptr;
    return g_store.order[index];
}

ConfigSlot *config_slot_raw(ConfigItem *item, uint32_t layer, uint32_t stream) {
    if (!item || layer >= CONFIG_LAYER_COUNT || stream >= CONFIG_STREAM_COUNT) return nullptr;
    return &item->slots[layer][stream];
}

void config_slot_clear(const ConfigItem *item, ConfigSlot *slot) {
    if (item->type == CONFIG_TYPE_STRING) {
        VKO_Free(slot->value_string);
        slot->value_string = nullptr;
    }
    slot->set = 0;
    slot->value_int = 0;
    slot->value_bool = 0;
}

ConfigItem *config_lookup_item(uint32_t layer, const char *key, uint32_t stream, uint32_t expected_type) {
    if (!g_store.map) {
        VKO_Log(kTag, "Attempted to access the config before it was created");
        return nullptr;
    }
    if (layer > CONFIG_LAYER_MERGED) {
        VKO_Log(kTag, "A bad config layer '%u' was provided", layer);
        return nullptr;
    }
    if (!key || !key[0]) {
        VKO_Log(kTag, "A bad key was provided");
        return nullptr;
    }
    if (stream >= CONFIG_STREAM_COUNT) {
        VKO_Log(kTag, "A bad stream value '%u' was provided.", stream);
        return nullptr;
    }
    ConfigItem *item = (ConfigItem *)VKO_HashGet(g_store.map, key);
    if (!item) {
        VKO_Log(kTag, "A bad key '%s' was provided.", key);
        return nullptr;
    }
    if (expected_type != CONFIG_TYPE_ANY && expected_type != item->type) {
        VKO_Log(kTag, "A bad type '%u' was used for key '%s'.", expected_type, key);
        return nullptr;
    }
    return item;
}

ConfigSlot *config_get_item(ConfigItem *item, uint32_t *layer, uint32_t stream) {
    if (!item) {
        VKO_Log(kTag, "No setting was given to config_get_item()");
        return nullptr;
    }
    if (stream >= CONFIG_STREAM_COUNT || (stream > 0 && !item->multi_stream)) {
        VKO_Log(kTag, "A bad stream value '%u' was provided for key '%s'.", stream, item->name);
        return nullptr;
    }
    uint32_t l = layer ? *layer : CONFIG_LAYER_MERGED;
    if (l > CONFIG_LAYER_MERGED || (l == CONFIG_LAYER_LAUNCH && item->no_launch_link)) {
        VKO_Log(kTag, "A bad config layer '%u' was provided for key '%s'.", l, item->name);
        return nullptr;
    }
    if (l < CONFIG_LAYER_MERGED) return &item->slots[l][stream];
    uint32_t chosen = CONFIG_LAYER_DEFAULT;
    for (uint32_t k = CONFIG_LAYER_ENFORCED; k >= CONFIG_LAYER_SERVER_DEFAULT; k--) {
        if (item->slots[k][stream].set) {
            chosen = k;
            break;
        }
    }
    if (layer) *layer = chosen;
    return &item->slots[chosen][stream];
}

// Runs fn on the slot of (layer, key, stream) under the read lock.
template <typename F>
static void read_slot(uint32_t layer, const char *key, uint32_t stream, uint32_t type, F fn) {
    config_lock_read();
    ConfigItem *item = config_lookup_item(layer, key, stream, type);
    ConfigSlot *slot = item ? config_get_item(item, &layer, stream) : nullptr;
    if (slot) fn(slot);
    config_unlock();
}

int32_t config_get_int(uint32_t layer, const char *key, uint32_t stream) {
    int32_t value = 0;
    read_slot(layer, key, stream, CONFIG_TYPE_INT, [&](ConfigSlot *slot) { value = slot->value_int; });
    return value;
}

char *config_get_string(uint32_t layer, const char *key, uint32_t stream) {
    char *text = nullptr;
    read_slot(layer, key, stream, CONFIG_TYPE_STRING, [&](ConfigSlot *slot) {
        if (slot->set && slot->value_string) text = VKO_Strdup(slot->value_string);
    });
    return text ? text : VKO_Strdup("");
}

uint8_t config_get_bool(uint32_t layer, const char *key, uint32_t stream) {
    (void)layer;  // always the merged view
    uint8_t value = 0;
    read_slot(CONFIG_LAYER_MERGED, key, stream, CONFIG_TYPE_BOOL,
              [&](ConfigSlot *slot) { value = slot->value_bool; });
    return value;
}

bool config_int_in_range(const ConfigItem *item, uint32_t stream, int32_t value) {
    const ConfigRange &a = item->schema_range[stream];
    if (value < a.minimum || value > a.maximum) return false;
    const ConfigRange &b = item->server_range[stream];
    if (b.present && (value < b.minimum || value > b.maximum)) return false;
    return true;
}

bool config_check_characters(const ConfigItem *item, uint32_t stream, const char *text) {
    if (!item || stream >= CONFIG_STREAM_COUNT) return false;
    if (!text || !text[0]) return true;
    const ConfigRange &a = item->schema_range[stream];
    if (a.characters && a.characters[0] && !chars_pass(a.characters, a.is_whitelist, text)) return false;
    const ConfigRange &b = item->server_range[stream];
    if (b.present && b.characters && b.characters[0] && !chars_pass(b.characters, b.is_whitelist, text))
        return false;
    return true;
}

static ConfigSlot *writable_slot(uint32_t layer, const char *key, uint32_t stream, uint32_t type,
                                 ConfigItem **out_item) {
    if (layer < CONFIG_LAYER_SERVER_DEFAULT || layer > CONFIG_LAYER_ENFORCED) return nullptr;
    ConfigItem *item = config_lookup_item(layer, key, stream, type);
    if (!item) return nullptr;
    uint32_t l = layer;
    ConfigSlot *slot = config_get_item(item, &l, stream);
    if (slot && out_item) *out_item = item;
    return slot;
}

bool config_set_int_nolock(uint32_t layer, const char *key, uint32_t stream, int32_t value) {
    ConfigItem *item = nullptr;
    ConfigSlot *slot = writable_slot(layer, key, stream, CONFIG_TYPE_INT, &item);
    if (!slot || !config_int_in_range(item, stream, value)) return false;
    return store_scalar(item, slot, layer, stream, &ConfigSlot::value_int, value);
}

bool config_set_bool_nolock(uint32_t layer, const char *key, uint32_t stream, uint8_t value) {
    ConfigItem *item = nullptr;
    ConfigSlot *slot = writable_slot(layer, key, stream, CONFIG_TYPE_BOOL, &item);
    if (!slot) return false;
    return store_scalar(item, slot, layer, stream, &ConfigSlot::value_bool, (uint8_t)(value ? 1 : 0));
}

bool config_set_string_nolock(uint32_t layer, const char *key, uint32_t stream, const char *text) {
    if (!text || !text[0]) return config_clear_slot_nolock(layer, key, stream);
    ConfigItem *item = nullptr;
    ConfigSlot *slot = writable_slot(layer, key, stream, CONFIG_TYPE_STRING, &item);
    if (!slot || !config_check_characters(item, stream, text)) return false;
    if (slot->set && slot->value_string && strcmp(slot->value_string, text) == 0) return false;
    VKO_Free(slot->value_string);
    slot->value_string = nullptr;
    slot->set = 0;
    const ConfigSlot *low = lower_default(item, stream);
    if (layer == CONFIG_LAYER_USER && low->value_string && strcmp(low->value_string, text) == 0) {
        config_queue_change(layer, item->name, (uint8_t)stream);
        return true;
    }
    slot->value_string = VKO_Strdup(text);
    slot->set = 1;
    config_queue_change(layer, item->name, (uint8_t)stream);
    return true;
}

bool config_clear_slot_nolock(uint32_t layer, const char *key, uint32_t stream) {
    ConfigItem *item = nullptr;
    ConfigSlot *slot =
        layer >= CONFIG_LAYER_USER ? writable_slot(layer, key, stream, CONFIG_TYPE_ANY, &item) : nullptr;
    if (!slot) return false;
    bool was_set = slot->set != 0;
    config_slot_clear(item, slot);
    // a cleared value is a change like any other, so the UI hears of it
    if (was_set) config_queue_change(layer, item->name, (uint8_t)stream);
    return true;
}

bool config_clear_layer_nolock(uint32_t layer) {
    if (layer < CONFIG_LAYER_SERVER_DEFAULT || layer > CONFIG_LAYER_ENFORCED || !g_store.map) return false;
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *item = g_store.order[i];
        for (uint32_t s = 0; s < CONFIG_STREAM_COUNT; s++) {
            ConfigSlot *slot = &item->slots[layer][s];
            if (slot->set) config_queue_change(layer, item->name, (uint8_t)s);
            config_slot_clear(item, slot);
        }
    }
    return true;
}

static bool bad_state(const char *key) {
    if (g_store.lock) return false;
    VKO_Log(kTag, "Attempted to access the config in a bad state (key '%s')", key ? key : "");
    return true;
}

// Write lock, the unlocked step, then the notices; refused without a lock.
template <typename F>
static bool locked(const char *key, F fn) {
    if (bad_state(key)) return false;
    config_lock_write();
    bool r = fn();
    config_unlock_notify();
    return r;
}

bool config_set_int(uint32_t layer, const char *key, uint32_t stream, int32_t value) {
    return locked(key, [&] { return config_set_int_nolock(layer, key, stream, value); });
}

bool config_set_bool(uint32_t layer, const char *key, uint32_t stream, uint8_t value) {
    return locked(key, [&] { return config_set_bool_nolock(layer, key, stream, value); });
}

bool config_set_string(uint32_t layer, const char *key, uint32_t stream, const char *text) {
    return locked(key, [&] { return config_set_string_nolock(layer, key, stream, text); });
}

bool config_set_user_int(void *unused, const char *key, uint32_t stream, int32_t value) {
    (void)unused;
    return config_set_int(CONFIG_LAYER_USER, key, stream, value);
}

bool config_clear_value(uint32_t layer, const char *key, uint32_t stream) {
    return locked(key, [&] { return config_clear_slot_nolock(layer, key, stream); });
}

bool config_reset_key(const char *key, uint32_t stream) {
    return locked(key, [&] {
        bool any = false;
        ConfigItem *item = config_lookup_item(CONFIG_LAYER_USER, key, stream, CONFIG_TYPE_ANY);
        for (uint32_t l = CONFIG_LAYER_USER; item && l <= CONFIG_LAYER_ENFORCED; l++) {
            // a key barred from the launch link has no layer-3 value to clear
            if (l == CONFIG_LAYER_LAUNCH && item->no_launch_link) continue;
            if (config_clear_slot_nolock(l, key, stream)) any = true;
        }
        return any;
    });
}

bool config_clear_layer(uint32_t layer) {
    if (!g_store.lock) {
        VKO_Log(kTag, "Attempted to access the config in a bad state (layer %u)", layer);
        return false;
    }
    config_lock_write();
    bool r = config_clear_layer_nolock(layer);
    config_unlock_notify();
    return r;
}

bool config_set_resolution(uint32_t layer, uint32_t stream, int32_t x, int32_t y, uint8_t client) {
    if (!g_store.lock) {
        VKO_Log(kTag, "Attempted to access the config in a bad state (client resolution)");
        return false;
    }
    config_lock_write();
    bool a = config_set_int_nolock(layer, client ? "client_resolution_x" : "server_resolution_x", stream, x);
    bool b = config_set_int_nolock(layer, client ? "client_resolution_y" : "server_resolution_y", stream, y);
    config_unlock_notify();
    return a || b;
}

void config_queue_change(uint32_t layer, const char *key, uint8_t stream) {
    if (!g_store.queue || !key) return;
    ConfigNotice *n = (ConfigNotice *)VKO_Alloc(1, sizeof(ConfigNotice));
    n->layer = layer;
    n->key = VKO_Strdup(key);
    n->stream = stream;
    if (!VKO_QueuePushPtr(g_store.queue, n, sizeof(ConfigNotice))) free_notice(n);  // full: dropped
}

uint32_t config_unlock_notify(void) {
    if (!g_store.queue) {
        config_unlock();
        return 0;
    }
    // Take everything queued, not a count read beforehand: a count that reads
    // a full ring as empty would leave it full and drop every later notice.
    std::vector<ConfigNotice *> taken;
    taken.reserve(16);
    void *p = nullptr;
    while (taken.size() < CONFIG_NOTICE_SLOTS && VKO_QueuePopPtr(g_store.queue, 0, &p, nullptr)) {
        taken.push_back((ConfigNotice *)p);
        p = nullptr;
    }
    uint32_t count = (uint32_t)taken.size();
    ConfigNotice **array = (ConfigNotice **)VKO_Alloc(count ? count : 1, sizeof(ConfigNotice *));
    for (uint32_t i = 0; i < count; i++) array[i] = taken[i];
    config_unlock();

    ConfigChangeFunc cb;
    void *ctx;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> g(g_cb_mutex);
        cb = g_cb;
        ctx = g_cb_ctx;
        gen = g_cb_gen;
        if (cb) running_add(gen, 1);
    }
    if (cb) {
        t_delivering.push_back(gen);
        cb(array, count, ctx);
        t_delivering.pop_back();
        std::lock_guard<std::mutex> g(g_cb_mutex);
        running_add(gen, -1);
        g_cb_idle.notify_all();
    }
    for (uint32_t i = 0; i < count; i++) free_notice(array[i]);
    VKO_Free(array);
    return count;
}

void config_read_ws(WsConfig *out) {
    if (!begin_record(out, sizeof(*out), "wscfg")) return;
    merged_text("host_name", 0, out->host_name, sizeof(out->host_name));
    merged_text("ws_desc", 0, out->desc, sizeof(out->desc));
    merged_text("ws_gameID", 0, out->game_id, sizeof(out->game_id));
    merged_text("ws_secret", 0, out->secret, sizeof(out->secret));
    out->is_public = merged_bool("ws_public", 0);
    config_unlock();
}

void config_read_network(ZarvekNetConfig *out) {
    if (!begin_record(out, sizeof(*out), "wscfg")) return;
    out->cg_level = (uint32_t)merged_int("network_cg_level", 0);
    merged_text("app_stun_address", 0, out->host_servers, sizeof(out->host_servers));
    merged_text("app_client_stun_address", 0, out->client_servers, sizeof(out->client_servers));
    out->relay_mode = (uint32_t)merged_int("app_force_relay", 0);
    out->fast = merged_bool("network_fast_relay_ping", 0);
    config_unlock();
}

void config_read_client(void *unused, ClientConfig *out) {
    (void)unused;
    if (!begin_record(out, sizeof(*out), "clientcfg")) return;
    for (uint32_t s = 0; s < 3; s++) {
        ClientStreamSettings &b = out->stream[s];
        b.decoder_index = merged_int("client_decoder_index", s);
        b.resolution_x = merged_int("client_resolution_x", s);
        b.resolution_y = merged_int("client_resolution_y", s);
        b.decoder_h265 = merged_bool("client_decoder_h265", s);
        b.decoder_444 = merged_bool("client_decoder_444", s);
        b.decoder_10bit = merged_bool("client_decoder_10bit", s);
    }
    out->video_container = merged_int("network_video_container", 0);
    out->protocol = merged_int("network_protocol", 0);
    out->audio_poll_rate = merged_int("client_audio_poll_rate", 0);
    out->bad_decoders = merged_int("client_bad_decoders", 0);
    out->png_cursor = merged_bool("client_png_cursor", 0);
    out->raw_audio = merged_bool("network_raw_audio", 0);
    out->mic_passthrough = merged_bool("client_mic_passthrough", 0);
    out->mic_muted = merged_bool("client_mic_muted", 0);
    merged_text("client_mic_id", 0, out->mic_id, sizeof(out->mic_id));
    config_unlock();
}

namespace {

struct HostField {
    const char *key;
    size_t offset;
};

#define VIDEO_FIELD(key, field) \
    { key, offsetof(HostVideoConfig, field) }
const HostField kVideoInts[] = {
    VIDEO_FIELD("server_resolution_x", resolutionX),
    VIDEO_FIELD("server_resolution_y", resolutionY),
    VIDEO_FIELD("encoder_fps", encoderFPS),
    VIDEO_FIELD("encoder_bitrate", encoderMaxBitrate),
};
const HostField kVideoBools[] = {
    VIDEO_FIELD("host_rotated", rotated),
    VIDEO_FIELD("host_full_fps", fullFPS),
};
#undef VIDEO_FIELD

#define HOST_FIELD(key, field) \
    { key, offsetof(HostConfig, field) }
const HostField kHostInts[] = {
    HOST_FIELD("host_gamepad_mode", gamepad_mode),
    HOST_FIELD("host_gamepad_type", gamepad_type),
    HOST_FIELD("encoder_min_qp", encoder_min_qp),
    HOST_FIELD("network_cg_level", cg_level),
    HOST_FIELD("host_audio_cancel", audio_cancel),
    HOST_FIELD("host_virtual_tablet", virtual_tablet),
    HOST_FIELD("host_virtual_microphone", virtual_microphone),
    HOST_FIELD("host_virtual_mouse", virtual_mouse),
    HOST_FIELD("server_max_clients", max_clients),
    HOST_FIELD("host_capture_timeout", capture_timeout),
    HOST_FIELD("encoder_vbv_max", vbv_max),
    HOST_FIELD("encoder_vbv_initial", vbv_initial),
    HOST_FIELD("encoder_vbv_multi", vbv_multi),
    HOST_FIELD("encoder_max_qp", max_qp),
    HOST_FIELD("host_encoder_min_bitrate", min_bitrate),
    HOST_FIELD("encoder_idr_interval", idr_interval),
    HOST_FIELD("encoder_slices", slices),
    HOST_FIELD("host_audio_poll_rate", audio_poll_rate),
    HOST_FIELD("host_audio_bitrate", audio_bitrate),
    HOST_FIELD("host_virtual_monitors", virtual_monitors),
    HOST_FIELD("host_exclusive_timeout", exclusive_timeout),
};
const HostField kHostTexts[] = {
    HOST_FIELD("host_audio_id", audio_id),
    HOST_FIELD("echo_app_selection", echo_app),
};
const size_t kHostTextSizes[] = {sizeof(HostConfig::audio_id), sizeof(HostConfig::echo_app)};
const HostField kHostBools[] = {
    HOST_FIELD("server_admin_mute", admin_mute),
    HOST_FIELD("host_exclusive_input", exclusive_input),
    HOST_FIELD("host_prevent_sleep", prevent_sleep),
    HOST_FIELD("host_require_whitelist", require_whitelist),
    HOST_FIELD("host_privacy_mode", privacy_mode),
    HOST_FIELD("host_lock_desktop", lock_desktop),
    HOST_FIELD("host_protective_mode", protective_mode),
    HOST_FIELD("host_aspect_16x10", aspect_16x10),
    HOST_FIELD("host_frame_flip", frame_flip),
    HOST_FIELD("host_software_encode", software_encode),
    HOST_FIELD("host_virtual_monitor_fallback", virtual_monitor_fallback),
};
#undef HOST_FIELD

template <typename T>
T &field_at(void *base, size_t off) {
    return *(T *)((char *)base + off);
}
template <typename T>
T field_at(const void *base, size_t off) {
    return *(const T *)((const char *)base + off);
}

// Where the host record's values come from: the merged view, or the
// schema's layer-0 defaults.
struct HostSource {
    int32_t (*int_of)(const char *key, uint32_t stream);
    uint8_t (*bool_of)(const char *key, uint32_t stream);
    void (*text_of)(const char *key, uint32_t stream, char *out, size_t size);
};

const ConfigSlot *default_slot(const char *key, uint32_t stream) {
    const ConfigItem *items = config_schema_items();
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++)
        if (!strcmp(items[i].name, key))
            return &items[i].slots[CONFIG_LAYER_DEFAULT][items[i].multi_stream ? stream : 0];
    return nullptr;
}
int32_t default_int(const char *key, uint32_t stream) {
    const ConfigSlot *s = default_slot(key, stream);
    return s ? s->value_int : 0;
}
uint8_t default_bool(const char *key, uint32_t stream) {
    const ConfigSlot *s = default_slot(key, stream);
    return s ? s->value_bool : 0;
}
void default_text(const char *key, uint32_t stream, char *out, size_t size) {
    const ConfigSlot *s = default_slot(key, stream);
    snprintf(out, size, "%s", s && s->value_string ? s->value_string : "");
}

const HostSource kMerged = {merged_int, merged_bool, merged_text};
const HostSource kDefaults = {default_int, default_bool, default_text};

// Fills one group of the host record for stream s.
void read_fields(const HostSource &src, void *base, uint32_t s, const HostField *ints, size_t n_ints,
                 const HostField *bools, size_t n_bools) {
    for (size_t i = 0; i < n_ints; i++) field_at<int32_t>(base, ints[i].offset) = src.int_of(ints[i].key, s);
    for (size_t i = 0; i < n_bools; i++)
        field_at<uint8_t>(base, bools[i].offset) = src.bool_of(bools[i].key, s);
}

// Stores into the user layer the fields where `in` differs from `cur`.
void write_ints(const void *in, const void *cur, uint32_t s, const HostField *fs, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (field_at<int32_t>(in, fs[i].offset) != field_at<int32_t>(cur, fs[i].offset))
            config_set_int_nolock(CONFIG_LAYER_USER, fs[i].key, s, field_at<int32_t>(in, fs[i].offset));
}

void write_bools(const void *in, const void *cur, uint32_t s, const HostField *fs, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (field_at<uint8_t>(in, fs[i].offset) != field_at<uint8_t>(cur, fs[i].offset))
            config_set_bool_nolock(CONFIG_LAYER_USER, fs[i].key, s, field_at<uint8_t>(in, fs[i].offset));
}

// A fixed text field, bounded by the field even when unterminated.
void write_text(const char *in, const char *cur, size_t size, const char *key, uint32_t s) {
    std::string want(in, strnlen(in, size));
    if (want != std::string(cur, strnlen(cur, size)))
        config_set_string_nolock(CONFIG_LAYER_USER, key, s, want.c_str());
}

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

void fill_host(const HostSource &src, HostConfig *out) {
    for (uint32_t s = 0; s < 3; s++) {
        HostVideoConfig &v = out->video[s];
        read_fields(src, &v, s, kVideoInts, COUNT(kVideoInts), kVideoBools, COUNT(kVideoBools));
        src.text_of("host_output", s, v.output, sizeof(v.output));
    }
    read_fields(src, out, 0, kHostInts, COUNT(kHostInts), nullptr, 0);
    for (size_t i = 0; i < COUNT(kHostTexts); i++)
        src.text_of(kHostTexts[i].key, 0, (char *)out + kHostTexts[i].offset, kHostTextSizes[i]);
    read_fields(src, out, 0, nullptr, 0, kHostBools, COUNT(kHostBools));
    if (out->privacy_mode && out->virtual_monitors == 0) out->virtual_monitors = 1;
}

}  // namespace

void config_read_host(HostConfig *out) {
    if (!begin_record(out, sizeof(*out), "ZarvekHostConfig")) return;
    fill_host(kMerged, out);
    config_unlock();
}

void config_host_defaults(HostConfig *out) {
    memset(out, 0, sizeof(*out));
    fill_host(kDefaults, out);
}

bool config_write_host(const HostConfig *in) {
    if (!g_store.lock || !in) {
        VKO_Log(kTag, "Attempted to access the config in a bad state (ZarvekHostConfig)");
        return false;
    }
    config_lock_write();
    // Only what the caller changed goes to the user layer: values that come
    // from the enforced, registry or start-up layers, or the derived monitor
    // count, stay where they are and are not frozen into config.json.
    HostConfig cur;
    config_read_host(&cur);
    for (uint32_t s = 0; s < 3; s++) {
        const HostVideoConfig &v = in->video[s], &c = cur.video[s];
        write_ints(&v, &c, s, kVideoInts, COUNT(kVideoInts));
        write_text(v.output, c.output, sizeof(v.output), "host_output", s);
        write_bools(&v, &c, s, kVideoBools, COUNT(kVideoBools));
    }
    write_ints(in, &cur, 0, kHostInts, COUNT(kHostInts));
    for (size_t i = 0; i < COUNT(kHostTexts); i++)
        write_text((const char *)in + kHostTexts[i].offset, (const char *)&cur + kHostTexts[i].offset,
                   kHostTextSizes[i], kHostTexts[i].key, 0);
    write_bools(in, &cur, 0, kHostBools, COUNT(kHostBools));
    config_unlock_notify();
    return true;
}

char *config_get_api_host(void) {
    char *env = config_get_string(CONFIG_LAYER_MERGED, "app_environment", 0);
    const char *d = known_domain(env);
    char *r = prefixed(CONFIG_API_HOST_PREFIX, d ? d : config_service_domains[0]);
    VKO_Free(env);
    return r;
}

char *config_get_ws_host(void) {
    char *ws = config_get_string(CONFIG_LAYER_MERGED, "ws_host", 0);
    if (ws[0]) {
        size_t wl = strlen(ws);
        for (int i = 0; i < CONFIG_SERVICE_DOMAIN_COUNT; i++) {
            std::string needle = std::string(".") + config_service_domains[i];
            const char *hit = strstr(ws, needle.c_str());
            if (hit && (size_t)(hit - ws) + needle.size() == wl) return ws;
        }
    }
    VKO_Free(ws);
    char *env = config_get_string(CONFIG_LAYER_MERGED, "app_environment", 0);
    const char *d = known_domain(env);
    char *r = prefixed(CONFIG_WS_HOST_PREFIX, d ? d : config_service_domains[0]);
    VKO_Free(env);
    return r;
}
