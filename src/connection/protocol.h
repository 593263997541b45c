// Control messages on stream 0 of a link (a 13-byte big-endian header and an
// optional payload), the JSON records they carry (client stream configuration,
// guest list, metrics), the audio prefix of stream 2, the per-stream pacing
// figures of the host's senders and the orderly end of a connection. Works on a
// TransportRecord only, never on a socket.
//
// Counters: TransportRecord.streams[0] is changed only under send_lock (every
// control send, and the rate sample of proto_stream_mbps); streams[2] only by the host's audio thread;
// streams 1, 3, 4 by the host's video sender under its stream locks. BUD window positions are read with
// atomic loads and no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "connection/guest_info.h"
#include "connection/udp.h"

struct ClientConfig;
struct VKO_JSON;

constexpr uint32_t PROTO_HEADER_SIZE = 13;
constexpr uint32_t PROTO_USER_DATA_MAX = 0x100000;  // text with its NUL
// A receive buffer that holds every message a peer may legally send.
constexpr uint32_t PROTO_RECV_BUFFER = PROTO_HEADER_SIZE + PROTO_USER_DATA_MAX;
constexpr uint32_t PROTO_CONFIG_BUFFER = 5120;
constexpr uint32_t PROTO_GAMEPAD_SIZE = 28;
constexpr uint32_t PROTO_TABLET_REPORT_SIZE = 1932;
constexpr uint32_t PROTO_AUDIO_PREFIX_SIZE = 15;
constexpr uint32_t PROTO_CONTAINER_MP4 = 2;
constexpr uint8_t PROTO_CODEC_OPUS = 1;
constexpr uint8_t PROTO_CODEC_PCM = 2;
constexpr int32_t PROTO_ERR_TOO_LONG = -12011;

constexpr uint8_t MSG_DISCONNECT = 10;
constexpr uint8_t MSG_CLIENT_CONFIG = 11;
constexpr uint8_t MSG_USER_DATA = 17;
constexpr uint8_t MSG_GAMEPAD_STATE = 23;
constexpr uint8_t MSG_GUEST_LIST = 25;
constexpr uint8_t MSG_STREAM_STATUS = 27;
constexpr uint8_t MSG_CONTROLLER_REPORT = 31;
constexpr uint8_t MSG_TABLET_REPORT = 32;
constexpr uint8_t MSG_CLIENT_FLAGS = 35;

struct ControlHeader {
    uint32_t field0;  // payload length when a payload follows
    uint32_t field1;
    uint32_t field2;
    uint8_t type;
};

// The gamepad state of message 23, host byte order (16 bytes).
struct GamepadState {
    uint32_t id;
    uint16_t buttons;  // XInput button word
    int16_t lx, ly, rx, ry;
    uint8_t lt, rt;
};

// Senders: the transport's send on stream 0 with a 0 ms timeout under
// send_lock, so a full window answers 2000 at once.
int32_t proto_send_message(TransportRecord *conn, uint8_t type, uint32_t field1, uint32_t field2,
                           const void *payload, uint32_t length);
int32_t proto_send_header(TransportRecord *conn, ControlHeader header);
int32_t proto_send_disconnect(TransportRecord *conn, uint32_t reason);
int32_t proto_send_flags(TransportRecord *conn, bool flag0, bool flag1);

void proto_write_header(uint8_t out[PROTO_HEADER_SIZE], ControlHeader header);
ControlHeader proto_read_header(const uint8_t *message);

// 13 + payload length with the payload copied, or 0 (nothing copied).
uint32_t proto_parse_message(const uint8_t *message, uint32_t length, void *payload, uint32_t capacity);
GamepadState proto_parse_gamepad_state(GamepadState *out, const uint8_t *message, uint32_t length);

// The client's type-11 JSON for one video stream (caller frees with VKO_Free).
char *proto_client_config_to_json(const ClientConfig *cfg, uint32_t stream, uint32_t max_w, uint32_t max_h,
                                  uint32_t flags);
// Consumed bytes, 0 when the message or a required key is missing (the record
// is reset to its defaults first and keeps what was read).
uint32_t proto_parse_client_config(const uint8_t *message, uint32_t length, ClientConfig *cfg,
                                   uint32_t *max_w, uint32_t *max_h, uint32_t *flags, uint8_t *cache_cursor);
void proto_client_config_defaults(ClientConfig *cfg);

VKO_JSON *proto_metrics_to_json(const StreamMetrics *metrics);
bool proto_metrics_from_json(const VKO_JSON *obj, StreamMetrics *out);
// Text of the guest list (caller frees with VKO_Free).
char *proto_guest_to_json(const GuestInfo *guests, uint32_t count);
// Count of guests read into a new array (VKO_Free), 0 and no array on failure.
uint32_t proto_guests_from_json(const char *text, GuestInfo **out);

// One encoded audio packet on stream 2: with the 15-byte prefix, or as an MP4
// fragment in container mode 2. The send's result or a container error.
int32_t proto_audio_write(TransportRecord *conn, const void *data, uint32_t length, uint32_t container,
                          uint8_t codec, uint32_t samples);

float proto_stream_mbps(TransportRecord *conn, uint8_t stream);
int32_t proto_stream_queued(TransportRecord *conn, uint8_t stream);
bool proto_stream_saturated(TransportRecord *conn, uint8_t stream, uint64_t frame_bytes);

// One stream's figures: with BUD the transport's packet, retransmission and
// congestion counts, round trip and send rate, and for stream 0 without
// `full` the messages waiting to be read; other transports give zeros.
void proto_stream_metrics(TransportRecord *conn, uint8_t stream, uint8_t full, StreamMetrics *out);

// A record for a transport's operations, with its send lock and the counters'
// sample time set to now (new'd: proto_destroy, or delete after its close and lock).
TransportRecord *proto_create(uint32_t kind, void *ctx, TransportRecvFn recv, TransportSendFn send,
                              TransportCloseFn close);
// Lets the BUD peer acknowledge what is in flight (at most 5 s), closes the
// transport and frees the record.
void proto_destroy(TransportRecord **conn);
