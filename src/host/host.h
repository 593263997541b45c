// The host half of a hosting connection: the host context with its three
// video streams, the guests and their message threads, the delivery of media
// and cursor to the guests, and the moving of pending settings into the
// active ones.
//
// Locks: the three stream locks (recursive) are always taken in the order
// 0, 1, 2 and released in reverse, after the instance's host lock when that
// is held. Lock 0 guards the guest list for video and the cursor state,
// lock 1 is taken alone for audio, lock 2 alone for gamepad feedback; guest
// join, guest leave, stream-end notices and the configuration of video
// guests hold all three, so a walker holding any one sees only live guests.
// The guest list changes only under all three.
//
// Counters and flags shared between threads:
//   guest_count            joined guests; atomic; changed by join and leave
//   streams[i].video_guests guests wanting video of stream i; atomic; recounted
//                          under all three locks
//   streams[i].encoder_kind 1 hardware, 2 software; atomic; encode thread
//   privacy_active         atomic; first and last guest
//   stop                   set once by host_destroy; every host thread polls it
//   restart_request, capture_restart, rates_dirty, display_dirty, output_changed:
//                          raised by any thread, cleared by the stream's encode thread
//   streams[i].saved_mode  the output's mode at the session's start; taken by
//                          the encode thread at each capture start, under lock 0
//   Guest.reason           0 while the guest runs; set by anyone (first setter
//                          wins only in the sense that any nonzero value ends
//                          the guest's thread); the guest's own thread frees it
//   Guest.joined           set once by the guest's own thread under all three
//                          locks; until then the guest may only join or leave
//   Guest.paused, no_audio, host_paused, dormant, wants_video: single bytes
//                          written by the message thread (or the video sender
//                          under lock 0) and read by media threads
// Message-thread slots: msg_state 0 free, 1 busy, 2 finished (to be joined);
// changed under slot_lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "connection/guest_info.h"
#include "connection/mp4.h"
#include "connection/protocol.h"
#include "host/display.h"
#include "host/audio_thread.h"
#include "util/config_records.h"
#include "vdev/vdev.h"

struct VKO_Hash;
struct VKO_List;
struct VKO_Mutex;
struct VKO_Queue;
struct VKO_Thread;
struct VKO_JSON;
struct CaptureRecord;
struct InputState;
struct CaptureApi;
struct EncoderApi;
struct RateParams;

constexpr uint32_t HOST_MAX_GUESTS = 64;
constexpr uint32_t HOST_CURSOR_BUFFER = 0xFFFDE;
constexpr uint32_t HOST_MODE_DESKTOP = 1;

constexpr int32_t HOST_ERR_NO_GUEST = -13011;
constexpr int32_t HOST_ERR_STREAM_END = -13013;
constexpr int32_t HOST_ERR_GUEST_LEFT = -13014;
constexpr int32_t HOST_ERR_JOIN_TIMEOUT = -13015;
constexpr int32_t HOST_REASON_STOPPING = 4;
constexpr int32_t HOST_REASON_FULL = 11;
constexpr int32_t HOST_REASON_OWNER_LEFT = 13;

constexpr uint8_t MSG_CURSOR = 9;
constexpr uint8_t MSG_CAPS = 13;
constexpr uint8_t MSG_APP_PAUSE = 16;
constexpr uint8_t MSG_PAUSE = 19;
constexpr uint8_t MSG_LATENCY = 21;
constexpr uint8_t MSG_PAUSE_RESUME = 22;
constexpr uint8_t MSG_RELEASE_INPUT = 24;
constexpr uint8_t MSG_WANTS_VIDEO = 27;
constexpr uint8_t MSG_JOINED = 28;
constexpr uint8_t MSG_NEW_ENCODER = 29;
constexpr uint8_t MSG_PAD_OUTPUT = 33;
constexpr uint8_t MSG_TIMING = 34;
constexpr uint8_t MSG_DISPLAY_SIZE = 36;

struct HostContext;
struct MouseControl;

struct GuestStream {
    std::atomic<uint8_t> wants_video;
    uint32_t caps;  // bit 0 H.265, 1 4:4:4, 3 full range, 4 10-bit
};

struct Guest {
    TransportRecord *conn;
    ClientConfig client_config;
    uint32_t max_w, max_h, flags;
    GuestInfo info;     // metrics fields refreshed under the lock of their stream
    uint64_t times[5];  // connected, keyboard, mouse, gamepad, pen (s since 1970)
    VKO_Hash *cursor_cache;
    std::atomic<int32_t> reason;
    int32_t slot;
    uint32_t cursor_count;
    uint8_t cache_reset;
    uint8_t dormant[3];
    uint8_t joined;
    std::atomic<uint8_t> switch_desktop;
    uint8_t host_paused;
    std::atomic<uint8_t> paused;
    std::atomic<uint8_t> no_audio;
    uint8_t cache_cursor;
    GuestStream streams[3];
    Mp4VideoState *container[3];  // one MP4 writer per video stream
    InputState *input;            // the message thread's own
};

struct HostStream {
    VKO_Thread *encode_thread;
    std::atomic<uint32_t> caps;  // written under all three locks, read by the encode thread
    std::atomic<uint8_t> output_changed;
    CaptureRecord *capture;
    std::atomic<uint8_t> restart_request;
    std::atomic<uint8_t> encoder_running;
    std::atomic<uint32_t> encoder_kind;
    int32_t output[4];  // left, top, right, bottom of the output in use
    std::atomic<uint8_t> capture_restart;
    std::atomic<uint8_t> rates_dirty;
    std::atomic<uint32_t> video_guests;
    uint32_t client_width, client_height;
    std::atomic<uint8_t> display_dirty;
    // The mode the output had when the session began (under stream lock 0):
    // a copy, since the saved map is replaced by the next owner's save and
    // freed when the last guest leaves. Empty device: none taken yet.
    DisplayMode saved_mode;
    char saved_mode_device[128];
};

// The cursor record sent in message 9 (host byte order until sent).
struct HostCursor {
    uint32_t a, b;
    uint8_t reserved[8];
    uint32_t size;
    uint16_t width, height, x, y, hot_x, hot_y;
};

// Made by the gamepad set-up when the adapter is present; its notification
// thread runs until `stop` (set by host_destroy) and is the only producer of
// `notifications` (5 slots of a 4-byte code). The tablet and microphone
// fields are shared by every guest's message thread (first use makes the
// device), the join and leave of guests and the instance's settings: they
// change and are used only under `devices`, taken after any stream lock, so
// at most one tablet and one microphone exist and neither goes while in use.
struct VirtualUsbHost {
    std::mutex devices;
    uint32_t tablet_mode;
    VirtualTablet *tablet;
    uint32_t microphone_mode;  // 0 off, 1 while a guest is connected, 2 persistent
    uint8_t microphone;
    uint32_t major, minor;
    VKO_Thread *notification_thread;
    VKO_Queue *notifications;
    std::atomic<uint8_t> stop;
};
// Reads the adapter's notifications into the record's queue every 100 ms.
void *vusb_notification_thread(void *vusb);

typedef struct _XDisplay Display;

// X reuses the ids of a closed program's windows for the next program, so an
// answer is kept only while its window lives: the connection watches every
// cached window and forgets it when it goes. Everything under `mutex`.
constexpr uint32_t HOST_WHITELIST_CACHE_MAX = 1000;
struct Whitelist {
    VKO_JSON *paths;  // executable path -> anything
    VKO_Hash *cache;  // live window -> class + 1
    uint32_t cached;  // entries in cache, at most HOST_WHITELIST_CACHE_MAX
    VKO_Mutex *mutex;
    Display *dpy;  // opened on first use, kept for the context's life
};

typedef void (*HostGuestStateFn)(const GuestInfo *guest, uint32_t guest_count, int32_t reason,
                                 uint64_t connect_time, void *instance);
typedef int32_t (*HostUserDataFn)(const GuestInfo *guest, uint32_t data_type, char *payload, void *instance);
typedef void (*HostEncodeThreadFn)(HostContext *ctx, uint32_t stream);

struct HostCallbacks {
    HostGuestStateFn guest_state;
    HostUserDataFn user_data;
};

struct HostContext {
    HostStream streams[3];
    uint32_t mode;
    HostConfig config;   // active: the media threads read it
    HostConfig pending;  // written by the instance under its host lock and all three stream locks
    VKO_Mutex *stream_locks[3];
    VKO_Thread *audio_thread;
    void *opaque;
    HostCallbacks callbacks;
    std::atomic<uint8_t> relative_mouse;
    // Cursor state, under stream lock 0.
    uint8_t *cursor_image;
    uint32_t cursor_crc;
    uint32_t cursor_stream;
    HostCursor cursor;
    uint16_t cursor_flags;
    uint16_t cursor_last_flags;
    int64_t cursor_flags_time;
    std::atomic<uint32_t> guest_count;
    std::atomic<uint32_t> privacy_active;
    uint32_t target_width, target_height;
    HostAudio audio;
    AudioCapture *audio_capture;
    VKO_List *guests;
    Whitelist whitelist;
    ControllerManager *gamepads;
    VirtualUsbHost *vusb;
    VirtualMouse *vmouse;
    uint8_t vdd;  // virtual displays are up
    VKO_Mutex *slot_lock;
    VKO_Thread *msg_threads[HOST_MAX_GUESTS];
    uint32_t msg_state[HOST_MAX_GUESTS];
    VKO_Hash *saved_modes;  // output name -> saved mode
    void *saved_primary_mode;
    uint32_t tablet_owner;
    uint32_t guest_width, guest_height;
    std::atomic<uint8_t> stop;
    std::atomic<uint8_t> container_guest;
    uint8_t admin_mute;
    std::atomic<uint8_t> virtual_displays_on;
    std::atomic<uint8_t> timing_video;
    std::atomic<uint8_t> timing_audio;
    uint8_t lock_on_leave;
    std::atomic<uint32_t> foreground_class;
    VKO_Thread *vdd_watchdog;
    uint8_t vdd_adapter;  // the watchdog made the virtual display adapter (watchdog only)
    VKO_Thread *vusb_output_thread;
    MouseControl *mouse_control;  // also the process-wide record while the context lives
    VKO_Thread *mouse_hook_thread;
    uint32_t locked_workstation;  // times the workstation was locked
};

// Test and platform hooks of the context, set before host_create.
struct HostHooks {
    HostEncodeThreadFn encode;   // null: the built-in encode thread
    uint8_t no_audio_thread;     // the host sends no sound
    const CaptureApi *capture;   // null: the desktop row
    const EncoderApi *encoders;  // null: the built-in rows
    uint32_t encoder_count;
};
void host_set_hooks(const HostHooks *hooks);
// Locks the local session in place of the login manager (null: loginctl).
void host_set_session_lock(void (*lock)(void));
const HostHooks *host_hooks(void);
// Waits of the context, shortened by tests (null: the defaults).
struct HostTimes {
    uint32_t join_timeout_ms;  // 60000: the time a guest has to join
    uint32_t watchdog_ms;      // 1000: the virtual display watchdog's period
};
void host_set_times(const HostTimes *times);
const HostTimes *host_times(void);

// Host context and lifecycle
void host_create(const HostConfig *pending, const HostCallbacks *callbacks, void *opaque, HostContext **out);
// Ends every guest with reason (4 when 0) and frees the context.
void host_destroy(HostContext **ctx, int32_t reason);
void host_lock_streams(HostContext *ctx);
void host_unlock_streams(HostContext *ctx);
void host_count_video_guests(HostContext *ctx);
bool host_stream_caps_update(HostContext *ctx, uint32_t stream, uint32_t lock_mask);
void host_first_guest(HostContext *ctx, Guest *guest, uint32_t max_width, uint32_t max_height);
void host_last_guest(HostContext *ctx);
// Saves every output's mode (the owner's session may change them) and puts
// back those that differ when the last guest leaves.
void host_display_modes_save(HostContext *ctx);
void host_display_modes_restore(void *saved_primary, VKO_Hash *saved);
// Stream 0's output back to the target resolution (the virtual display
// client calls it, with the context, after it changed the monitors).
void host_display_mode_reapply(void *ctx);
void host_gamepad_init(HostContext *ctx);
void host_set_virtual_microphone(HostContext *ctx, uint32_t mode);
// 1: the window may be streamed to everybody, 2: only to the owner.
uint32_t host_app_class(Whitelist *whitelist, unsigned long window);
// The window that has the keyboard focus (0 none), asked through the
// whitelist's connection (a connection of its own without one).
unsigned long host_foreground_window(Whitelist *whitelist = nullptr);
// The top-level window under the pointer (0 none).
unsigned long host_window_under_cursor(Whitelist *whitelist);
// The instance's set-config call: overwrites the pending settings.
void host_set_config(HostContext *ctx, const HostConfig *pending);

// Guests
// Thread procedure of one guest (argument: {context, guest}, freed by the thread).
void *host_msg_thread(void *arg);
void host_on_accept(const GuestInfo *peer, TransportRecord *conn, void *ctx);
int32_t host_handle_message(HostContext *ctx, Guest *guest, const ControlHeader *header, const uint8_t *raw,
                            uint32_t length);
int32_t host_guest_join(HostContext *ctx, Guest *guest, uint32_t max_width, uint32_t max_height,
                        uint32_t caps);
void host_guest_leave(HostContext *ctx, Guest *guest);
int32_t host_set_guest_reason(HostContext *ctx, uint32_t guest_id, int32_t reason, bool take_locks);
void host_stream_end(HostContext *ctx, uint32_t stream, int32_t code);
void host_get_guest_metrics(TransportRecord *conn, uint8_t stream, uint8_t full, StreamMetrics *out);
void host_send_guest_list(HostContext *ctx);
// Message-thread slots in use (busy or finished), for tests.
uint32_t host_busy_slots(HostContext *ctx);

// Delivery of media, cursor and feedback
struct VideoTiming {
    float pass, poll, capture, interval;  // ms
};
int32_t proto_video_write(HostContext *ctx, const uint8_t *data, uint32_t size, uint32_t *fast_rts,
                          uint32_t *slow_rts, uint32_t *cg_events, float *bitrate, uint32_t *largest,
                          uint32_t width, uint32_t height, uint32_t frame, float latency_ms,
                          uint32_t generation, uint32_t stream, uint8_t announce, uint32_t rotation,
                          uint8_t ten_bit, const VideoTiming *timing);
void host_send_audio(void *ctx, const uint8_t *opus, uint32_t opus_size, const int16_t *raw,
                     uint32_t raw_size, uint32_t samples, uint32_t packet, float latency_ms,
                     const HostAudioTiming *timing);
// One cursor observation of a pass of stream `stream` (under stream lock 0).
struct HostCursorInput {
    int32_t x, y;         // desktop position
    uint8_t hidden;       // pointer not visible
    uint8_t suppressed;   // capture says the cursor is suppressed
    uint8_t changed;      // shape or visibility changed since the last pass
    uint16_t flags;       // capture flags of the shape (0x200, 0x400)
    const uint8_t *rgba;  // new image or null
    uint16_t width, height, hot_x, hot_y;
};
void host_cursor_update(HostContext *ctx, uint32_t stream, const HostCursorInput *in);
void host_send_cursor(HostContext *ctx, const HostCursor *cursor, uint16_t flags, const uint8_t *image,
                      uint32_t stream, uint32_t hash);
void host_gamepad_feedback_send(const uint8_t *header, uint32_t guest_id, void *ctx);

// Threads of the context (argument: the context).
void *host_vdd_watchdog_thread(void *ctx);
void *host_vusb_output_thread(void *ctx);

// The outputs an encode thread chooses from (its own).
struct OutputList {
    DisplayOutput outputs[DISPLAY_MAX_OUTPUTS];
    uint32_t count;
    int32_t chosen;
    uint8_t failed[DISPLAY_MAX_OUTPUTS];
    uint32_t starts;  // encoder generation
    char last[128];   // id of the output used last
};
// Lists the outputs and picks one: with prefer_primary the first at the
// desktop's origin, else the one named `wanted`, else the last used, else
// the first usable; outputs marked failed are skipped. The index or -1.
int32_t host_select_output(OutputList *list, const char *wanted, bool prefer_primary);
// Stream 0 prefers the primary output unless the session is locked.
bool host_prefer_primary(void);

// The encode thread of one stream (runs until the context stops).
void host_encode_thread(HostContext *ctx, uint32_t stream);

// Pending settings into the active ones, with their side effects. The
// applied_* values are what the stream's encoder was built with.
void host_apply_stream_config(HostContext *ctx, RateParams *rp, uint32_t *applied_vbv_max,
                              uint32_t *applied_min_qp, uint32_t stream, uint8_t apply_display);
void host_apply_audio_config(HostContext *ctx, HostAudioSettings *live);
