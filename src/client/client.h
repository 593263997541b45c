// The least client session: on a connected link it sends the stream
// configuration, reads the host's control messages into the connection's
// callbacks, and drains the media streams into a sink the program may set
// (no decoder, viewer or playback here).
//
// Threads: one control thread (stream 0), one receiver per video stream
// (transport streams 1, 3, 4), one for audio (stream 2), and a microphone
// thread that idles. All of them run while `running` is set; the owner clears
// it and then calls client_destroy, which joins them. `host_ended`, `end_code`
// and `state` are written by the control thread only and read by anyone;
// `status` is written under status_lock: each media thread writes its
// stream's picture size (from each message's prefix) and, every 100 ms, its
// stream's metrics; senders on the control stream refresh its metrics with
// client_refresh_metrics.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/protocol.h"
#include "util/config_records.h"

struct AppContext;
struct VKO_ControllerEvent;
struct VKO_Mutex;
struct VKO_Thread;

// The cursor as the client hands it on (28 bytes, host byte order), built from
// the 34-byte wire form of message 9.
struct ClientCursor {
    uint32_t size;  // 0: image size in bytes
    uint16_t width;
    uint16_t height;
    int32_t x;  // 8
    int32_t y;  // 12
    uint16_t hot_x;
    uint16_t hot_y;
    uint16_t flags;       // 20: wire flags
    uint8_t image;        // 22: an image of `size` bytes follows
    uint8_t relative;     // 23: flags 0x100
    uint8_t hidden;       // 24: flags 0x200
    uint8_t cache_reset;  // 25: flags 0x20
    uint8_t cached;       // 26: flags 0x10, the image bytes are a cache key
    uint8_t reserved;
};
static_assert(sizeof(ClientCursor) == 28);

typedef void (*ClientOnCursor)(const ClientCursor *cursor, const uint8_t *image, void *opaque);
typedef void (*ClientOnRumble)(uint32_t gamepad, uint8_t low, uint8_t high, void *opaque);
typedef void (*ClientOnPayload)(uint32_t value1, const uint8_t *bytes, uint32_t size, uint32_t value2,
                                void *opaque);
typedef void (*ClientOnStreamStatus)(uint8_t stream, uint32_t value, void *opaque);
// text is NUL-terminated and owned by the callee from then on (VKO_Free).
typedef void (*ClientOnUserData)(uint32_t id, char *text, void *opaque);
typedef void (*ClientOnHostFlag)(bool flag, void *opaque);
typedef void (*ClientOnEnd)(int32_t code, void *opaque);

struct ClientCallbacks {
    ClientOnCursor on_cursor;
    ClientOnRumble on_rumble;
    ClientOnPayload on_payload;
    ClientOnStreamStatus on_stream_status;
    ClientOnUserData on_user_data;
    ClientOnHostFlag on_host_flag;
    ClientOnEnd on_end;
};

// Client status record, copied out by the instance's status call:
//   attempt_id   the attempt this session belongs to (NUL-terminated)
//   streams[i]   video stream i: picture width and height of the last message
//                received, and the decoder index asked for
//   metrics[t]   StreamMetrics of transport stream t (0 control, 1 video 0,
//                2 audio, 3 video 1, 4 video 2), refreshed by client_refresh_metrics
struct ClientStatus {
    char attempt_id[56];
    struct {
        uint32_t width;
        uint32_t height;
        int32_t decoder_index;
    } streams[3];
    StreamMetrics metrics[TRANSPORT_STREAMS];
};

// Where received media goes: the transport stream (1, 3, 4 video; 2 audio)
// and one whole message as the host sent it (prefix included).
typedef void (*ClientMediaSink)(uint8_t stream, const uint8_t *data, uint32_t size, void *opaque);

struct ClientContext {
    TransportRecord *transport;
    std::atomic<bool> running;
    std::atomic<bool> host_ended;  // message 10 received: no disconnect goes back
    uint8_t client_flags[2];
    std::atomic<int32_t> end_code;  // the host's reason when it ended the session
    std::atomic<int32_t> state;     // 0 running, else the receive error that stopped it
    ClientStatus status;
    VKO_Mutex *status_lock;
    ClientConfig config;
    ClientCallbacks callbacks;
    void *opaque;
    VKO_Thread *video[3];
    VKO_Thread *control;
    VKO_Thread *audio;
    VKO_Thread *microphone;
};

// Starts a session on a connected transport (which it owns from then on) and
// sends the stream configuration of each video stream. 0 or the send's error
// (then *out stays null and the transport is the caller's).
int32_t client_create(TransportRecord *transport, const ClientConfig *config,
                      const ClientCallbacks *callbacks, void *opaque, ClientContext **out);
// Joins the threads (the caller cleared `running`), frees the transport with
// proto_destroy and the session.
void client_destroy(ClientContext **session);

// One control message from the host into the session's callbacks (the
// control thread's step); a message shorter than its fields is dropped.
void client_handle_message(ClientContext *session, const uint8_t *message, uint32_t length);

// Media sink for every session of the process; null drops the media.
void client_set_media_sink(ClientMediaSink sink, void *opaque);

// Refreshes and fills the metrics of one transport stream.
void client_get_metrics(TransportRecord *transport, uint8_t stream, uint8_t full, StreamMetrics *out);
// The same into the session's status record (under status_lock).
void client_refresh_metrics(ClientContext *session, uint8_t stream);

// One pen-tablet HID report (PROTO_TABLET_REPORT_SIZE bytes) as message 32.
int32_t client_send_tablet_report(ClientContext *session, uint8_t tablet, uint8_t kind, uint16_t vendor,
                                  uint16_t product, const uint8_t *report);

// Stores the two client flag bytes (in `stored`, the instance's copy, and in
// the session) and, with a session, sends them as message 35.
int32_t client_set_flags(uint8_t stored[2], ClientContext *session, bool flag0, bool flag1);

// A controller state mapped to the wire gamepad state (built-in default mapping).
void gpmap_apply(AppContext *app, const VKO_ControllerEvent *state, GamepadState *out);
