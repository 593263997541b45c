// The schema table against a plain copy of the published key list.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "util/config_schema.h"

namespace {

// Published key list: index, key, type, streams, launch link, range, default.
const char *kKeyList = R"KEYS(
| 0 | `app_changelog_ver` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 1 | `app_flags` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 2 | `app_run_level` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 3 | `app_host_peer_id` | string | 1 | no | any characters | empty |
| 4 | `app_saml_team_id` | string | 1 | no | any characters | empty |
| 5 | `session_id` | string | 1 | yes | any characters | empty |
| 6 | `app_environment` | string | 1 | no | any characters | a host name chosen by the implementer |
| 7 | `ws_host` | string | 1 | no | any characters | empty |
| 8 | `app_channel` | string | 1 | no | only a-z, A-Z, 0-9, "-" and "_" | "release" |
| 9 | `app_ui_channel` | string | 1 | no | only a-z, A-Z, 0-9, "-" and "_" | "release-ui" |
| 10 | `app_custom_address` | string | 1 | no | any characters | empty |
| 11 | `network_server_start_port` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 12 | `network_client_start_port` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 13 | `network_upnp` | boolean | 1 | no | - | true |
| 14 | `app_proxy` | boolean | 1 | no | - | false |
| 15 | `app_proxy_address` | string | 1 | no | any characters | empty |
| 16 | `app_proxy_path` | string | 1 | no | any characters | empty |
| 17 | `app_proxy_port` | integer | 1 | no | 0 .. 2147483647 | 443 |
| 18 | `app_proxy_scheme` | string | 1 | no | any characters | empty |
| 19 | `host_name` | string | 1 | no | any characters | empty |
| 20 | `ws_secret` | string | 1 | yes | any characters | empty |
| 21 | `ws_desc` | string | 1 | no | any characters | empty |
| 22 | `ws_gameID` | string | 1 | no | any characters | empty |
| 23 | `ws_public` | boolean | 1 | no | - | false |
| 24 | `connection_name` | string | 1 | yes | any characters | empty |
| 25 | `host_secret` | string | 1 | yes | any characters | empty |
| 26 | `peer_id` | string | 1 | yes | any characters | empty |
| 27 | `ignore_downtime` | boolean | 1 | no | - | false |
| 28 | `app_can_logout` | boolean | 1 | no | - | true |
| 29 | `app_client` | boolean | 1 | no | - | true |
| 30 | `app_copy_paste` | boolean | 1 | no | - | true |
| 31 | `app_friends` | boolean | 1 | no | - | true |
| 32 | `app_host` | boolean | 1 | no | - | true |
| 33 | `app_visibility` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 34 | `app_daisychaining` | integer | 1 | no | 0 .. 2 | 1 |
| 35 | `app_no_crashhandler` | boolean | 1 | no | - | false |
| 36 | `app_write_minidump` | boolean | 1 | no | - | false |
| 37 | `app_alt_fs` | boolean | 1 | no | - | false |
| 38 | `app_debug` | boolean | 1 | no | - | false |
| 39 | `app_hid_keyboard` | boolean | 1 | no | - | true |
| 40 | `app_silent` | boolean | 1 | no | - | false |
| 41 | `client_renderer` | integer | 1 | no | -1 .. 5 | 3 |
| 42 | `client_vsync` | boolean | 1 | no | - | true |
| 43 | `client_web_ui` | boolean | 1 | no | - | false |
| 44 | `app_log_level` | integer | 1 | yes | -1 .. 2147483647 | 1 |
| 45 | `app_filter` | integer | 1 | no | 0 .. 1 | 1 |
| 46 | `client_audio_max_buffer_ms` | integer | 1 | no | 0 .. 2147483647 | 150 |
| 47 | `client_audio_min_buffer_ms` | integer | 1 | no | -1 .. 2147483647 | -1 |
| 48 | `client_enhanced_pen` | boolean | 1 | no | - | true |
| 49 | `client_immersive` | integer | 1 | yes | 0 .. 3 | 0 |
| 50 | `client_macos_key_swap` | boolean | 1 | no | - | true |
| 51 | `client_overlay` | boolean | 1 | no | - | true |
| 52 | `client_overlay_button_x` | integer | 3 | no | 0 .. 1000000000 | 60000000 |
| 53 | `client_overlay_button_y` | integer | 3 | no | 0 .. 1000000000 | 80000000 |
| 54 | `client_overlay_warnings` | boolean | 1 | no | - | true |
| 55 | `client_poll` | integer | 1 | no | 0 .. 2147483647 | 1 |
| 56 | `client_soft_button` | boolean | 1 | no | - | true |
| 57 | `client_windowed` | boolean | 1 | no | - | false |
| 58 | `host_idle_kick_time` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 59 | `app_watermark` | string | 1 | no | any characters | empty |
| 60 | `network_cg_level` | integer | 1 | no | 0 .. 2 | 1 |
| 61 | `app_stun_address` | string | 1 | no | any characters | a host name chosen by the implementer |
| 62 | `app_client_stun_address` | string | 1 | no | any characters | a host name chosen by the implementer |
| 63 | `app_force_relay` | integer | 1 | no | 0 .. 2 | 0 |
| 64 | `network_fast_relay_ping` | boolean | 1 | no | - | false |
| 65 | `client_decoder_index` | integer | 3 | no | 0 .. 2147483647 | 1 |
| 66 | `client_resolution_x` | integer | 3 | yes | 0 .. 2147483647 | 0 |
| 67 | `client_resolution_y` | integer | 3 | yes | 0 .. 2147483647 | 0 |
| 68 | `client_decoder_h265` | boolean | 3 | no | - | true |
| 69 | `client_decoder_444` | boolean | 3 | no | - | false |
| 70 | `client_decoder_10bit` | boolean | 3 | no | - | false |
| 71 | `client_bad_decoders` | integer | 3 | yes | 0 .. 2147483647 | 0 |
| 72 | `network_video_container` | integer | 1 | no | 0 .. 2 | 0 |
| 73 | `network_protocol` | integer | 1 | no | 1 .. 2 | 1 |
| 74 | `network_raw_audio` | boolean | 1 | no | - | false |
| 75 | `client_audio_poll_rate` | integer | 1 | yes | 0 .. 2147483647 | 10 |
| 76 | `client_png_cursor` | boolean | 1 | yes | - | false |
| 77 | `client_mic_passthrough` | boolean | 1 | yes | - | false |
| 78 | `client_mic_muted` | boolean | 1 | yes | - | false |
| 79 | `client_mic_id` | string | 1 | yes | any characters | empty |
| 80 | `server_resolution_x` | integer | 3 | no | 0 .. 2147483647 | 0 |
| 81 | `server_resolution_y` | integer | 3 | no | 0 .. 2147483647 | 0 |
| 82 | `encoder_fps` | integer | 3 | no | 0 .. 2147483647 | 0 |
| 83 | `encoder_bitrate` | integer | 3 | no | 0 .. 2147483647 | 10 |
| 84 | `host_output` | string | 3 | no | any characters | "none" |
| 85 | `host_rotated` | boolean | 3 | no | - | false |
| 86 | `host_full_fps` | boolean | 3 | no | - | false |
| 87 | `host_gamepad_mode` | integer | 1 | no | 1 .. 2 | 2 |
| 88 | `host_gamepad_type` | integer | 1 | no | 1 .. 3 | 1 |
| 89 | `encoder_min_qp` | integer | 1 | no | 0 .. 114 | 5 |
| 90 | `host_audio_cancel` | integer | 1 | no | 0 .. 2 | 2 |
| 91 | `host_virtual_tablet` | integer | 1 | no | 0 .. 2 | 0 |
| 92 | `host_virtual_microphone` | integer | 1 | no | 0 .. 2 | 1 |
| 93 | `host_virtual_mouse` | integer | 1 | no | 0 .. 1 | 1 |
| 94 | `server_max_clients` | integer | 1 | no | 0 .. 2147483647 | 20 |
| 95 | `host_capture_timeout` | integer | 1 | no | 0 .. 2147483647 | 60 |
| 96 | `encoder_vbv_max` | integer | 1 | no | 0 .. 2147483647 | 768 |
| 97 | `encoder_vbv_initial` | integer | 1 | no | 0 .. 2147483647 | 100 |
| 98 | `encoder_vbv_multi` | integer | 1 | no | 0 .. 2147483647 | 31 |
| 99 | `encoder_max_qp` | integer | 1 | no | 0 .. 2147483647 | 51 |
| 100 | `host_encoder_min_bitrate` | integer | 1 | no | 0 .. 2147483647 | 2 |
| 101 | `encoder_idr_interval` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 102 | `encoder_slices` | integer | 1 | no | 0 .. 2147483647 | 1 |
| 103 | `host_audio_poll_rate` | integer | 1 | no | 0 .. 2147483647 | 10 |
| 104 | `host_audio_bitrate` | integer | 1 | no | 0 .. 2147483647 | 128 |
| 105 | `host_virtual_monitors` | integer | 1 | no | 0 .. 2147483647 | 0 |
| 106 | `host_exclusive_timeout` | integer | 1 | no | 0 .. 2147483647 | 1000 |
| 107 | `host_audio_id` | string | 1 | no | any characters | empty |
| 108 | `echo_app_selection` | string | 1 | no | any characters | "discord.exe" |
| 109 | `server_admin_mute` | boolean | 1 | no | - | true |
| 110 | `host_exclusive_input` | boolean | 1 | no | - | false |
| 111 | `host_prevent_sleep` | boolean | 1 | no | - | false |
| 112 | `host_require_whitelist` | boolean | 1 | no | - | false |
| 113 | `host_privacy_mode` | boolean | 1 | no | - | false |
| 114 | `host_privacy_kick` | boolean | 1 | no | - | false |
| 115 | `host_lock_desktop` | boolean | 1 | no | - | false |
| 116 | `host_protective_mode` | boolean | 1 | no | - | false |
| 117 | `host_aspect_16x10` | boolean | 1 | no | - | false |
| 118 | `host_frame_flip` | boolean | 1 | no | - | false |
| 119 | `host_software_encode` | boolean | 1 | no | - | false |
| 120 | `host_virtual_monitor_fallback` | boolean | 1 | no | - | true |
)KEYS";

// Splits "| a | b | ... |" into its trimmed cells, back-quotes removed.
std::vector<std::string> cells(const std::string &line) {
    std::vector<std::string> out;
    std::istringstream ls(line.substr(1));
    for (std::string c; std::getline(ls, c, '|');) {
        size_t a = c.find_first_not_of(" `"), b = c.find_last_not_of(" `");
        out.push_back(a == std::string::npos ? "" : c.substr(a, b - a + 1));
    }
    return out;
}

}  // namespace

TEST(ConfigSchema, MatchesThePublishedKeyList) {
    std::istringstream in(kKeyList);
    const ConfigItem *items = config_schema_items();
    size_t i = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        std::vector<std::string> r = cells(line);  // index, key, type, streams, launch link, range, default
        ASSERT_LT(i, (size_t)CONFIG_KEY_COUNT);
        const ConfigItem &it = items[i];
        SCOPED_TRACE(r[1]);
        EXPECT_EQ(r[0], std::to_string(i++));
        EXPECT_EQ(it.name, r[1]);
        uint32_t type = r[2] == "integer"   ? CONFIG_TYPE_INT
                        : r[2] == "boolean" ? CONFIG_TYPE_BOOL
                                            : CONFIG_TYPE_STRING;
        EXPECT_EQ(it.type, type);
        EXPECT_EQ(it.multi_stream, r[3] == "3" ? 1 : 0);
        EXPECT_EQ(it.no_launch_link, r[4] == "no" ? 1 : 0);
        for (int s = 0; s < 3; s++) {
            const ConfigSlot &d = it.slots[0][s];
            EXPECT_EQ(d.set, 1);
            for (int l = 1; l < CONFIG_LAYER_COUNT; l++) EXPECT_EQ(it.slots[l][s].set, 0);
            EXPECT_EQ(it.server_range[s].present, 0);
            const ConfigRange &a = it.schema_range[s];
            if (type == CONFIG_TYPE_INT) {
                EXPECT_EQ(std::to_string(a.minimum) + " .. " + std::to_string(a.maximum), r[5]);
                EXPECT_EQ(std::to_string(d.value_int), r[6]);
            } else if (type == CONFIG_TYPE_BOOL) {
                EXPECT_EQ(r[5], "-");
                EXPECT_EQ(d.value_bool ? "true" : "false", r[6]);
            } else {
                bool any = r[5] == "any characters";
                EXPECT_EQ(a.is_whitelist, any ? 0 : 1);
                EXPECT_STREQ(a.characters, any ? "" : CONFIG_CHANNEL_CHARACTERS);
                if (r[6].rfind("a host name", 0) == 0)
                    EXPECT_GT(strlen(d.value_string), 0u);
                else
                    EXPECT_EQ(r[6], d.value_string[0] ? '"' + std::string(d.value_string) + '"' : "empty");
            }
        }
    }
    EXPECT_EQ(i, (size_t)CONFIG_KEY_COUNT);
    // the default environment is the first service domain
    EXPECT_STREQ(items[6].slots[0][0].value_string, config_service_domains[0]);
}
