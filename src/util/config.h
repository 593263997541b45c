// The process-wide configuration store: seven layers per key and stream, a
// merged view, one reentrant reader/writer lock and queued change notices.
#pragma once

#include <cstdint>

#include "util/config_records.h"
#include "util/config_schema.h"

struct ConfigNotice {
    uint32_t layer;
    char *key;
    uint8_t stream;
};

#define CONFIG_NOTICE_SLOTS 363  // 121 keys x 3 streams

// Called after the write lock is released with the notices of that write.
typedef void (*ConfigChangeFunc)(ConfigNotice **notices, uint32_t count, void *context);

// Lifecycle (the application shell creates the store at start-up).
bool config_create(void);
bool config_destroy(void);
bool config_exists(void);
// Clearing or replacing the callback returns once no delivery of the old one
// runs on another thread, so its context may then be freed.
void config_set_change_callback(ConfigChangeFunc func, void *context);

// Locking for callers of the *_nolock functions. config_unlock_notify releases
// one write level and delivers the notices.
void config_lock_write(void);
void config_lock_read(void);
void config_unlock(void);
bool config_lock_exists(void);

// Lookup (callers hold the lock).
ConfigItem *config_lookup_item(uint32_t layer, const char *key, uint32_t stream, uint32_t expected_type);
ConfigSlot *config_get_item(ConfigItem *item, uint32_t *layer, uint32_t stream);

// Typed readers (take the read lock).
int32_t config_get_int(uint32_t layer, const char *key, uint32_t stream);
char *config_get_string(uint32_t layer, const char *key, uint32_t stream);  // caller frees; never null
uint8_t config_get_bool(uint32_t layer, const char *key, uint32_t stream);

// Setters without locking (layers 1-6).
bool config_set_int_nolock(uint32_t layer, const char *key, uint32_t stream, int32_t value);
bool config_set_bool_nolock(uint32_t layer, const char *key, uint32_t stream, uint8_t value);
bool config_set_string_nolock(uint32_t layer, const char *key, uint32_t stream, const char *text);
bool config_clear_slot_nolock(uint32_t layer, const char *key, uint32_t stream);
bool config_clear_layer_nolock(uint32_t layer);
bool config_check_characters(const ConfigItem *item, uint32_t stream, const char *text);
// True when the number lies in the stream's schema range and, when set, its server range.
bool config_int_in_range(const ConfigItem *item, uint32_t stream, int32_t value);

// Locked operations.
bool config_set_int(uint32_t layer, const char *key, uint32_t stream, int32_t value);
bool config_set_bool(uint32_t layer, const char *key, uint32_t stream, uint8_t value);
bool config_set_string(uint32_t layer, const char *key, uint32_t stream, const char *text);
bool config_set_user_int(void *unused, const char *key, uint32_t stream, int32_t value);
bool config_clear_value(uint32_t layer, const char *key, uint32_t stream);
bool config_reset_key(const char *key, uint32_t stream);
bool config_clear_layer(uint32_t layer);
bool config_set_resolution(uint32_t layer, uint32_t stream, int32_t x, int32_t y, uint8_t client);

// Change notices.
void config_queue_change(uint32_t layer, const char *key, uint8_t stream);
uint32_t config_unlock_notify(void);

// Record readers (merged view).
void config_read_ws(WsConfig *out);
void config_read_network(ZarvekNetConfig *out);
void config_read_client(void *unused, ClientConfig *out);
void config_read_host(HostConfig *out);
// The host record as the schema's defaults give it (no store needed).
void config_host_defaults(HostConfig *out);
bool config_write_host(const HostConfig *in);

// Service addresses (new heap text, caller frees).
char *config_get_api_host(void);
char *config_get_ws_host(void);

// Internal walk helpers shared with the file forms (callers hold the lock).
ConfigItem *config_item_at(uint32_t index);  // schema order, null past the end
ConfigSlot *config_slot_raw(ConfigItem *item, uint32_t layer, uint32_t stream);
void config_slot_clear(const ConfigItem *item, ConfigSlot *slot);  // frees a text, unsets; no notice
