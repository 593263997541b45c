// The application context: the fields the logger reads, and the start-up steps
// that build the configuration store and start logging.
//
// Threads: every logging thread reads log_level (relaxed atomic loads); it is
// written at start-up and by the store's change callback, which runs on
// whichever thread wrote a setting, after the store's lock is released. The
// other fields are set before logging starts and read only afterwards.
// Lines logged from app_context_init until app_logging_start (the store's
// complaints about config.json or config.txt) are held process-wide, in
// order, under one mutex: any thread may add one; app_logging_start takes
// them all once and writes them to the log; app_context_shutdown drops what
// is still held. At most APP_HELD_LINES_MAX are held; later ones are counted.
#pragma once

#include <cstdint>

#include "platform/queue.h"

struct WebViewBridge;

#define APP_FLAG_HOST 0x1u  // the host process (log.txt, rotation)
#define APP_LOG_LEVEL_UNSET 2147483647u
#define APP_WINDOW_QUEUE_SLOTS 200
#define APP_WINDOW_QUEUE_SLOT_SIZE 2200
#define APP_DATA_DIR_MAX 1280
#define APP_HELD_LINES_MAX 256

struct AppContext {
    uint32_t log_level;  // level limit, compared unsigned; read with app_context_log_level
    char data_dir[APP_DATA_DIR_MAX];
    uint8_t is_host;
    VKO_Queue *stream_window_queue;  // first stream window's events (type 5 = console line)
    uint8_t web_ui;
    WebViewBridge *bridge;
    // The app object's side (app/frame.h); owned by the app thread.
    const struct AppShellHooks *shell_hooks;
    bool quit;
    uint64_t frames;
};

uint32_t app_context_log_level(const AppContext *ctx);
void app_context_set_log_level(AppContext *ctx, uint32_t level);

// Whether the context and the log's writer keep the data folder's path whole
// (shorter than APP_DATA_DIR_MAX bytes).
bool app_data_dir_fits(const char *data_dir);

// Refuses a data folder whose path does not fit. Holds what is logged from
// here until logging starts, then builds the store (destroying any previous
// one), loads layer 2 from config.json, layer 4 from the start-up arguments
// and layer 5 from the machine registry value, then takes the log level from
// the merged view.
bool app_context_init(AppContext *ctx, int argc, const char *const *argv, const char *data_dir,
                      uint32_t flags);

// Calls fn with each line held since app_context_init, in order; they stay
// held (a program may also say them to its user).
void app_context_held_lines(void (*fn)(const char *line, void *opaque), void *opaque);

// Logging start of the process main: in the host process log rotation, the
// file-write queue and writer thread (once per process), the log_forward
// callback, the sink/line writer pair and the platform log function; then the
// held lines are written to the log, debug ones (the platform's) at the
// information level, so that the level limit does not hide them.
bool app_logging_start(AppContext *ctx);

// Makes the process follow its settings: applies the proxy address now
// (proxy_configure with the merged proxy keys) and registers a change
// callback with the store that, after each write, takes the log level limit
// from the merged app_log_level and re-applies the proxy when one of its keys
// changed. Changes reach the web view too when the context has a bridge.
void app_context_follow_config(AppContext *ctx);
// The change callback that app_context_follow_config registers.
void app_config_changed(struct ConfigNotice **notices, uint32_t count, void *ctx);
// proxy_configure with the merged app_proxy_scheme, _address, _path and _port.
void app_proxy_apply(void);

// Clears the log callbacks, drains and stops the writer, destroys the store.
// A later app_logging_start starts a new writer.
void app_context_shutdown(AppContext *ctx);
