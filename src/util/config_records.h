// Settings records filled from the configuration store's merged view.
#pragma once

#include <cstdint>

struct WsConfig {
    char host_name[256];
    char desc[512];
    char game_id[72];
    char secret[32];
    uint8_t is_public;
};

struct ZarvekNetConfig {
    uint32_t cg_level;
    char host_servers[512];
    char client_servers[512];
    uint32_t relay_mode;
    uint32_t fast;
};

struct ClientStreamSettings {
    int32_t decoder_index;
    int32_t resolution_x;
    int32_t resolution_y;
    uint8_t decoder_h265;
    uint8_t decoder_444;
    uint8_t decoder_10bit;
};

struct ClientConfig {
    ClientStreamSettings stream[3];
    int32_t video_container;
    int32_t protocol;
    int32_t audio_poll_rate;
    int32_t bad_decoders;
    uint8_t png_cursor;
    uint8_t raw_audio;
    uint8_t mic_passthrough;
    uint8_t mic_muted;
    char mic_id[128];
};

struct HostVideoConfig {
    int32_t resolutionX;
    int32_t resolutionY;
    int32_t encoderFPS;
    int32_t encoderMaxBitrate;
    char output[128];
    uint8_t rotated;
    uint8_t fullFPS;
};

struct HostConfig {
    HostVideoConfig video[3];
    int32_t gamepad_mode;
    int32_t gamepad_type;
    int32_t encoder_min_qp;
    int32_t cg_level;
    int32_t audio_cancel;
    int32_t virtual_tablet;
    int32_t virtual_microphone;
    int32_t virtual_mouse;
    int32_t max_clients;
    int32_t capture_timeout;
    int32_t vbv_max;
    int32_t vbv_initial;
    int32_t vbv_multi;
    int32_t max_qp;
    int32_t min_bitrate;
    int32_t idr_interval;
    int32_t slices;
    int32_t audio_poll_rate;
    int32_t audio_bitrate;
    int32_t virtual_monitors;
    int32_t exclusive_timeout;
    char audio_id[128];
    char echo_app[256];
    uint8_t admin_mute;
    uint8_t exclusive_input;
    uint8_t prevent_sleep;
    uint8_t require_whitelist;
    uint8_t privacy_mode;
    uint8_t lock_desktop;
    uint8_t protective_mode;
    uint8_t aspect_16x10;
    uint8_t frame_flip;
    uint8_t software_encode;
    uint8_t virtual_monitor_fallback;
};
