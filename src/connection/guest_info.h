// The public record of one guest or pending connection attempt, and the
// per-stream metrics it carries.
#pragma once

#include <cstdint>

struct StreamMetrics {
    uint32_t packetsSent;
    uint32_t fastRTs;
    uint32_t slowRTs;
    uint32_t cgEvents;
    uint32_t queued;  // received and not yet read
    float encodeLatency;
    float decodeLatency;
    float networkLatency;
    float bitrate;
};

constexpr uint32_t GUEST_STATE_WAITING = 1;  // the host's user has not approved yet
constexpr uint32_t GUEST_STATE_CONNECTING = 2;
constexpr uint32_t GUEST_STATE_FAILED = 16;

struct GuestInfo {
    uint8_t gamepad;
    uint8_t keyboard;
    uint8_t mouse;
    StreamMetrics video[3];
    StreamMetrics audio;
    StreamMetrics control;
    uint32_t state;
    uint32_t id;
    uint32_t userID;
    char attempt_id[56];
    char name[32];
    uint8_t owner;
};
