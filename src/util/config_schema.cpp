#include "util/config_schema.h"

#include <mutex>

const char *const config_service_domains[CONFIG_SERVICE_DOMAIN_COUNT] = {
    CONFIG_DEFAULT_DOMAIN, "staging.zarvek.test", "dev.zarvek.test",
    "qa.zarvek.test",      "beta.zarvek.test",    "local.zarvek.test",
};

namespace {

struct Row {
    const char *name;
    ConfigType type;
    bool multi;
    bool no_launch;
    int32_t minimum;
    int32_t maximum;
    const char *characters;  // string keys: whitelist, or null for any
    int32_t def_int;         // integers and booleans
    const char *def_string;  // strings
};

constexpr Row I(const char *n, bool multi, bool nll, int64_t lo, int64_t hi, int64_t d) {
    return Row{n, CONFIG_TYPE_INT, multi, nll, (int32_t)lo, (int32_t)hi, nullptr, (int32_t)d, nullptr};
}
constexpr Row B(const char *n, bool multi, bool nll, int d) {
    return Row{n, CONFIG_TYPE_BOOL, multi, nll, 0, 0, nullptr, d, nullptr};
}
constexpr Row S(const char *n, bool multi, bool nll, const char *chars, const char *d) {
    return Row{n, CONFIG_TYPE_STRING, multi, nll, 0, 0, chars, 0, d};
}

constexpr const char *kChannelChars = CONFIG_CHANNEL_CHARACTERS;

constexpr Row kRows[] = {
    I("app_changelog_ver", false, true, 0, 2147483647, 0),
    I("app_flags", false, true, 0, 2147483647, 0),
    I("app_run_level", false, true, 0, 2147483647, 0),
    S("app_host_peer_id", false, true, nullptr, ""),
    S("app_saml_team_id", false, true, nullptr, ""),
    S("session_id", false, false, nullptr, ""),
    S("app_environment", false, true, nullptr, CONFIG_DEFAULT_DOMAIN),
    S("ws_host", false, true, nullptr, ""),
    S("app_channel", false, true, kChannelChars, "release"),
    S("app_ui_channel", false, true, kChannelChars, "release-ui"),
    S("app_custom_address", false, true, nullptr, ""),
    I("network_server_start_port", false, true, 0, 2147483647, 0),
    I("network_client_start_port", false, true, 0, 2147483647, 0),
    B("network_upnp", false, true, 1),
    B("app_proxy", false, true, 0),
    S("app_proxy_address", false, true, nullptr, ""),
    S("app_proxy_path", false, true, nullptr, ""),
    I("app_proxy_port", false, true, 0, 2147483647, 443),
    S("app_proxy_scheme", false, true, nullptr, ""),
    S("host_name", false, true, nullptr, ""),
    S("ws_secret", false, false, nullptr, ""),
    S("ws_desc", false, true, nullptr, ""),
    S("ws_gameID", false, true, nullptr, ""),
    B("ws_public", false, true, 0),
    S("connection_name", false, false, nullptr, ""),
    S("host_secret", false, false, nullptr, ""),
    S("peer_id", false, false, nullptr, ""),
    B("ignore_downtime", false, true, 0),
    B("app_can_logout", false, true, 1),
    B("app_client", false, true, 1),
    B("app_copy_paste", false, true, 1),
    B("app_friends", false, true, 1),
    B("app_host", false, true, 1),
    I("app_visibility", false, true, 0, 2147483647, 0),
    I("app_daisychaining", false, true, 0, 2, 1),
    B("app_no_crashhandler", false, true, 0),
    B("app_write_minidump", false, true, 0),
    B("app_alt_fs", false, true, 0),
    B("app_debug", false, true, 0),
    B("app_hid_keyboard", false, true, 1),
    B("app_silent", false, true, 0),
    I("client_renderer", false, true, -1, 5, 3),
    B("client_vsync", false, true, 1),
    B("client_web_ui", false, true, 0),
    I("app_log_level", false, false, -1, 2147483647, 1),
    I("app_filter", false, true, 0, 1, 1),
    I("client_audio_max_buffer_ms", false, true, 0, 2147483647, 150),
    I("client_audio_min_buffer_ms", false, true, -1, 2147483647, -1),
    B("client_enhanced_pen", false, true, 1),
    I("client_immersive", false, false, 0, 3, 0),
    B("client_macos_key_swap", false, true, 1),
    B("client_overlay", false, true, 1),
    I("client_overlay_button_x", true, true, 0, 1000000000, 60000000),
    I("client_overlay_button_y", true, true, 0, 1000000000, 80000000),
    B("client_overlay_warnings", false, true, 1),
    I("client_poll", false, true, 0, 2147483647, 1),
    B("client_soft_button", false, true, 1),
    B("client_windowed", false, true, 0),
    I("host_idle_kick_time", false, true, 0, 2147483647, 0),
    S("app_watermark", false, true, nullptr, ""),
    I("network_cg_level", false, true, 0, 2, 1),
    S("app_stun_address", false, true, nullptr, CONFIG_DEFAULT_STUN_HOST),
    S("app_client_stun_address", false, true, nullptr, CONFIG_DEFAULT_CLIENT_STUN_HOST),
    I("app_force_relay", false, true, 0, 2, 0),
    B("network_fast_relay_ping", false, true, 0),
    I("client_decoder_index", true, true, 0, 2147483647, 1),
    I("client_resolution_x", true, false, 0, 2147483647, 0),
    I("client_resolution_y", true, false, 0, 2147483647, 0),
    B("client_decoder_h265", true, true, 1),
    B("client_decoder_444", true, true, 0),
    B("client_decoder_10bit", true, true, 0),
    I("client_bad_decoders", true, false, 0, 2147483647, 0),
    I("network_video_container", false, true, 0, 2, 0),
    I("network_protocol", false, true, 1, 2, 1),
    B("network_raw_audio", false, true, 0),
    I("client_audio_poll_rate", false, false, 0, 2147483647, 10),
    B("client_png_cursor", false, false, 0),
    B("client_mic_passthrough", false, false, 0),
    B("client_mic_muted", false, false, 0),
    S("client_mic_id", false, false, nullptr, ""),
    I("server_resolution_x", true, true, 0, 2147483647, 0),
    I("server_resolution_y", true, true, 0, 2147483647, 0),
    I("encoder_fps", true, true, 0, 2147483647, 0),
    I("encoder_bitrate", true, true, 0, 2147483647, 10),
    S("host_output", true, true, nullptr, "none"),
    B("host_rotated", true, true, 0),
    B("host_full_fps", true, true, 0),
    I("host_gamepad_mode", false, true, 1, 2, 2),
    I("host_gamepad_type", false, true, 1, 3, 1),
    I("encoder_min_qp", false, true, 0, 114, 5),
    I("host_audio_cancel", false, true, 0, 2, 2),
    I("host_virtual_tablet", false, true, 0, 2, 0),
    I("host_virtual_microphone", false, true, 0, 2, 1),
    I("host_virtual_mouse", false, true, 0, 1, 1),
    I("server_max_clients", false, true, 0, 2147483647, 20),
    I("host_capture_timeout", false, true, 0, 2147483647, 60),
    I("encoder_vbv_max", false, true, 0, 2147483647, 768),
    I("encoder_vbv_initial", false, true, 0, 2147483647, 100),
    I("encoder_vbv_multi", false, true, 0, 2147483647, 31),
    I("encoder_max_qp", false, true, 0, 2147483647, 51),
    I("host_encoder_min_bitrate", false, true, 0, 2147483647, 2),
    I("encoder_idr_interval", false, true, 0, 2147483647, 0),
    I("encoder_slices", false, true, 0, 2147483647, 1),
    I("host_audio_poll_rate", false, true, 0, 2147483647, 10),
    I("host_audio_bitrate", false, true, 0, 2147483647, 128),
    I("host_virtual_monitors", false, true, 0, 2147483647, 0),
    I("host_exclusive_timeout", false, true, 0, 2147483647, 1000),
    S("host_audio_id", false, true, nullptr, ""),
    S("echo_app_selection", false, true, nullptr, "discord.exe"),
    B("server_admin_mute", false, true, 1),
    B("host_exclusive_input", false, true, 0),
    B("host_prevent_sleep", false, true, 0),
    B("host_require_whitelist", false, true, 0),
    B("host_privacy_mode", false, true, 0),
    B("host_privacy_kick", false, true, 0),
    B("host_lock_desktop", false, true, 0),
    B("host_protective_mode", false, true, 0),
    B("host_aspect_16x10", false, true, 0),
    B("host_frame_flip", false, true, 0),
    B("host_software_encode", false, true, 0),
    B("host_virtual_monitor_fallback", false, true, 1),
};

static_assert(sizeof(kRows) / sizeof(kRows[0]) == CONFIG_KEY_COUNT, "the schema has 121 keys");

ConfigItem g_items[CONFIG_KEY_COUNT];
std::once_flag g_once;

void build_items() {
    for (size_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        const Row &r = kRows[i];
        ConfigItem &it = g_items[i];
        it = ConfigItem{};
        it.name = r.name;
        it.type = r.type;
        it.multi_stream = r.multi ? 1 : 0;
        it.no_launch_link = r.no_launch ? 1 : 0;
        for (int s = 0; s < CONFIG_STREAM_COUNT; s++) {
            ConfigRange &a = it.schema_range[s];
            ConfigSlot &d = it.slots[CONFIG_LAYER_DEFAULT][s];
            d.set = 1;
            if (r.type == CONFIG_TYPE_INT) {
                a.present = 1;
                a.minimum = r.minimum;
                a.maximum = r.maximum;
                d.value_int = r.def_int;
            } else if (r.type == CONFIG_TYPE_BOOL) {
                d.value_bool = (uint8_t)r.def_int;
            } else {
                a.present = 1;
                a.is_whitelist = r.characters ? 1 : 0;
                a.characters = const_cast<char *>(r.characters ? r.characters : "");
                d.value_string = const_cast<char *>(r.def_string);
            }
        }
    }
}

}  // namespace

const ConfigItem *config_schema_items(void) {
    std::call_once(g_once, build_items);
    return g_items;
}
