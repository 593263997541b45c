// Pictures and settings shared by the media tests and benchmarks.
#pragma once

#include <cstdint>

#include "host/encoder.h"
#include "util/config.h"

// A desktop-like picture: flat panels, a gradient and sharp-edged bars,
// scrolled down by `shift` rows.
inline uint32_t desktop_pixel(uint32_t x, uint32_t y, uint32_t shift) {
    y += shift;
    if ((x / 64 + y / 48) % 5 == 0) return 0x2060A0;
    if (y % 96 < 8 && x % 200 < 150) return 0xF0F0F0;
    return ((x % 1920 * 255 / 1920) << 16) | ((y % 256) << 8) | 0x40;
}

// Rate parameters from the settings' defaults, at the starting bitrate.
inline RateParams default_rate_params() {
    HostConfig host;
    config_host_defaults(&host);
    RateParams p = {};
    encoder_rate_params_fill(&p, &host.video[0], &host);
    p.bitrate = p.min_bitrate;
    return p;
}
