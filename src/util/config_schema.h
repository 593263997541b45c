// Configuration schema: the 121 keys the store knows, their types, stream
// counts, launch-link bar, ranges and layer-0 defaults, in walk order.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t ConfigType;
enum : uint32_t {
    CONFIG_TYPE_ANY = 0,
    CONFIG_TYPE_INT = 1,
    CONFIG_TYPE_BOOL = 2,
    CONFIG_TYPE_STRING = 3,
};

typedef uint32_t ConfigLayer;
enum : uint32_t {
    CONFIG_LAYER_DEFAULT = 0,
    CONFIG_LAYER_SERVER_DEFAULT = 1,
    CONFIG_LAYER_USER = 2,
    CONFIG_LAYER_LAUNCH = 3,
    CONFIG_LAYER_STARTUP = 4,
    CONFIG_LAYER_REGISTRY = 5,
    CONFIG_LAYER_ENFORCED = 6,
    CONFIG_LAYER_MERGED = 7,
};

#define CONFIG_LAYER_COUNT 7  // stored layers 0-6
#define CONFIG_STREAM_COUNT 3
#define CONFIG_KEY_COUNT 121
#define CONFIG_STRING_LIMIT 512  // string values are shorter than this

struct ConfigRange {
    uint8_t present;
    int32_t minimum;
    int32_t maximum;
    uint8_t is_whitelist;
    char *characters;  // schema lists are static, server lists are owned copies
};

struct ConfigSlot {
    uint8_t set;
    int32_t value_int;
    uint8_t value_bool;
    char *value_string;  // layer 0 points at the schema's text, layers 1-6 own theirs
};

struct ConfigItem {
    const char *name;
    ConfigType type;
    uint8_t multi_stream;
    uint8_t no_launch_link;
    ConfigRange schema_range[CONFIG_STREAM_COUNT];
    ConfigRange server_range[CONFIG_STREAM_COUNT];
    ConfigSlot slots[CONFIG_LAYER_COUNT][CONFIG_STREAM_COUNT];
};

// The 121 complete item images in schema order (built once, read only).
const ConfigItem *config_schema_items(void);

// Service domains: six exact-match environments; row 0 is the default domain
// and also the default of `app_environment`.
#define CONFIG_SERVICE_DOMAIN_COUNT 6
extern const char *const config_service_domains[CONFIG_SERVICE_DOMAIN_COUNT];
#define CONFIG_DEFAULT_DOMAIN "zarvek.test"
#define CONFIG_API_HOST_PREFIX "api."
#define CONFIG_WS_HOST_PREFIX "ws."
#define CONFIG_DEFAULT_STUN_HOST "stun.zarvek.test"
#define CONFIG_DEFAULT_CLIENT_STUN_HOST "stun-client.zarvek.test"
#define CONFIG_DOCS_ADDRESS "https://docs.zarvek.test/configuration"

// Characters allowed in the channel keys.
#define CONFIG_CHANNEL_CHARACTERS "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"
