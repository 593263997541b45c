#include "app/context.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/log.h"
#include "platform/memory.h"
#include "util/config.h"
#include "util/config_file.h"
#include "util/logger.h"
#include "util/winutil.h"
#include "web/bridge.h"

uint32_t app_context_log_level(const AppContext *ctx) {
    return __atomic_load_n(&ctx->log_level, __ATOMIC_RELAXED);
}

void app_context_set_log_level(AppContext *ctx, uint32_t level) {
    __atomic_store_n(&ctx->log_level, level, __ATOMIC_RELAXED);
}

namespace {

struct HeldLine {
    LogLevel level;
    std::string text;
};

struct HeldLog {
    std::mutex lock;
    std::vector<HeldLine> lines;
    uint64_t dropped = 0;
} g_held;

void hold(LogLevel level, const char *text) {
    std::lock_guard<std::mutex> l(g_held.lock);
    if (g_held.lines.size() < APP_HELD_LINES_MAX)
        g_held.lines.push_back({level, text ? text : ""});
    else
        g_held.dropped++;
}

// The platform's lines are debug lines once logging runs; held, they are the
// store's start-up complaints, which the log keeps whatever its limit.
void hold_platform_line(const char *msg, void *) {
    hold(LOG_LEVEL_INFO, msg);
}

void hold_line(LogLevel level, const char *text, void *) {
    hold(level == LOG_LEVEL_DEBUG ? LOG_LEVEL_INFO : level, text);
}

std::vector<HeldLine> take_held(uint64_t *dropped) {
    std::lock_guard<std::mutex> l(g_held.lock);
    *dropped = std::exchange(g_held.dropped, 0);
    return std::exchange(g_held.lines, {});
}

}  // namespace

bool app_data_dir_fits(const char *data_dir) {
    return strlen(data_dir ? data_dir : ".") < APP_DATA_DIR_MAX;
}

bool app_context_init(AppContext *ctx, int argc, const char *const *argv, const char *data_dir,
                      uint32_t flags) {
    if (!ctx) return false;
    memset(ctx, 0, sizeof(*ctx));
    ctx->log_level = APP_LOG_LEVEL_UNSET;
    // A cut path would name an ancestor folder, whose settings would be read
    // and written.
    if (!app_data_dir_fits(data_dir)) {
        VKO_Log("app_context_init", "The data folder's path is %zu bytes long, more than %d",
                strlen(data_dir), APP_DATA_DIR_MAX - 1);
        return false;
    }
    snprintf(ctx->data_dir, sizeof(ctx->data_dir), "%s", data_dir ? data_dir : ".");
    ctx->is_host = (flags & APP_FLAG_HOST) ? 1 : 0;

    {
        uint64_t dropped;
        take_held(&dropped);  // a previous run's, never written
    }
    VKO_SetLogFunc(hold_platform_line, nullptr);
    log_set_line_writer(hold_line);
    log_set_sink(log_sink_format, nullptr);

    if (!config_create()) return false;
    config_load(CONFIG_LAYER_USER, ctx->data_dir, true);

    std::string startup;
    for (int i = 1; i < argc && argv; i++) {
        if (!argv[i]) continue;
        startup += argv[i];
        startup += '\n';
    }
    config_lock_write();
    config_clear_layer_nolock(CONFIG_LAYER_STARTUP);
    config_parse_text(CONFIG_LAYER_STARTUP, startup.c_str());
    config_unlock_notify();

    config_load_registry(CONFIG_LAYER_REGISTRY);

    app_context_set_log_level(ctx, (uint32_t)config_get_int(CONFIG_LAYER_MERGED, "app_log_level", 0));
    return true;
}

void app_context_held_lines(void (*fn)(const char *line, void *opaque), void *opaque) {
    std::vector<HeldLine> lines;
    {
        std::lock_guard<std::mutex> l(g_held.lock);
        lines = g_held.lines;
    }
    for (const HeldLine &line : lines) fn(line.text.c_str(), opaque);  // fn may log
}

namespace {

std::once_flag g_atexit_once;

void drain_at_exit(void) {
    log_fatal_drain();
}

}  // namespace

bool app_logging_start(AppContext *ctx) {
    if (!ctx) return false;
    // rotate before the first line of this run reaches the files
    if (ctx->is_host) log_rotate_files(ctx->data_dir);
    // a fatal exit drains the writer, so its line reaches the file
    std::call_once(g_atexit_once, [] { atexit(drain_at_exit); });
    bool started = fs_async_start();
    log_set_forward_callback(log_platform_callback, ctx);
    log_set_line_writer(log_write);
    log_set_sink(log_sink_format, ctx);
    VKO_SetLogFunc(log_platform_line, ctx);
    uint64_t dropped;
    for (const HeldLine &line : take_held(&dropped)) log_write(line.level, line.text.c_str(), ctx);
    if (dropped) {
        char text[96];
        snprintf(text, sizeof(text), "%llu more lines logged before logging started were lost",
                 (unsigned long long)dropped);
        log_write(LOG_LEVEL_INFO, text, ctx);
    }
    return started;
}

void app_proxy_apply(void) {
    char *scheme = config_get_string(CONFIG_LAYER_MERGED, "app_proxy_scheme", 0);
    char *address = config_get_string(CONFIG_LAYER_MERGED, "app_proxy_address", 0);
    char *path = config_get_string(CONFIG_LAYER_MERGED, "app_proxy_path", 0);
    const int32_t port = config_get_int(CONFIG_LAYER_MERGED, "app_proxy_port", 0);
    proxy_configure(scheme, address, path, (uint32_t)port);
    VKO_Free(scheme);
    VKO_Free(address);
    VKO_Free(path);
}

void app_config_changed(ConfigNotice **notices, uint32_t count, void *opaque) {
    auto *ctx = static_cast<AppContext *>(opaque);
    if (!ctx) return;
    // Called after every locked write, also with no notice; the merged level
    // is read each time, as a notice may have been dropped by a full queue.
    app_context_set_log_level(ctx, (uint32_t)config_get_int(CONFIG_LAYER_MERGED, "app_log_level", 0));
    bool proxy = false;
    for (uint32_t i = 0; i < count && notices; i++)
        if (notices[i] && notices[i]->key && strncmp(notices[i]->key, "app_proxy_", 10) == 0) proxy = true;
    if (proxy) app_proxy_apply();
    webview_config_changed(notices, count, ctx->bridge);
}

void app_context_follow_config(AppContext *ctx) {
    if (!ctx) return;
    app_proxy_apply();
    config_set_change_callback(app_config_changed, ctx);
}

void app_context_shutdown(AppContext *ctx) {
    (void)ctx;
    VKO_SetLogFunc(nullptr, nullptr);
    log_set_sink(nullptr, nullptr);
    log_set_line_writer(nullptr);
    log_set_forward_callback(nullptr, nullptr);
    fs_async_stop();  // drains what is queued, then joins the writer
    config_destroy();
    uint64_t dropped;
    take_held(&dropped);
}
