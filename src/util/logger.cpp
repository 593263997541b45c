#include "util/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "app/context.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "util/winutil.h"
#include "web/bridge.h"

namespace {

// The sink and its context change together: a caller never sees one without
// the other.
std::mutex g_sink_mutex;
LogSinkFunc g_sink;
void *g_sink_ctx;
std::atomic<LogLineFunc> g_writer{nullptr};
std::atomic<bool> g_console{true};  // lines to standard output too

std::mutex g_forward_mutex;
LogPlatformFunc g_forward;
void *g_forward_ctx;

// File writer state.
std::mutex g_fs_mutex;  // creation, stop and the pending count
std::condition_variable g_fs_cv;
std::atomic<VKO_Queue *> g_fs_queue{nullptr};
std::atomic<bool> g_fs_stop{false};
VKO_Thread *g_fs_thread;
uint64_t g_fs_pending;  // queued and not yet written (under g_fs_mutex)
thread_local bool t_is_writer;

void pending_done() {
    std::lock_guard<std::mutex> g(g_fs_mutex);
    if (g_fs_pending) g_fs_pending--;
    if (!g_fs_pending) g_fs_cv.notify_all();
}

void free_record(void *p) {
    VKO_Free(p);
}

// Appends one line without following a link planted at the log path, then
// opens the file up to every local user as the log's access rule asks.
void append_record(const FsWriteRecord *r) {
    std::string path = std::string(r->dir) + "/" + r->name;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;  // the line is lost; nothing is retried
    std::string line = std::string(r->line) + "\n";
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= (size_t)n;
    }
    if (!util_change_permissions_everyone_fd(fd)) {
        if (util_take_ownership(path.c_str())) util_change_permissions_everyone(path.c_str());
    }
    close(fd);
}

void copy_cut(char *dst, size_t size, const char *src) {
    snprintf(dst, size, "%s", src ? src : "");
}

}  // namespace

void log_set_sink(LogSinkFunc sink, void *context) {
    std::lock_guard<std::mutex> g(g_sink_mutex);
    g_sink = sink;
    g_sink_ctx = sink ? context : nullptr;
}

void log_set_console(bool on) {
    g_console.store(on);
}

void log_set_line_writer(LogLineFunc writer) {
    g_writer.store(writer);
}

int32_t log_message(LogLevel level, const char *format, ...) {
    LogSinkFunc sink;
    void *ctx;
    {
        std::lock_guard<std::mutex> g(g_sink_mutex);
        sink = g_sink;
        ctx = g_sink_ctx;
    }
    if (!sink) return 0;
    va_list args;
    va_start(args, format);
    int32_t r = sink(level, format, args, ctx);
    va_end(args);
    return r;
}

int32_t log_sink_format(LogLevel level, const char *format, va_list args, void *context) {
    LogLineFunc writer = g_writer.load();
    if (!writer || !format) return 0;
    va_list copy;
    va_copy(copy, args);
    char *text = VKO_VsprintfAlloc(format, copy);
    va_end(copy);
    writer(level, text, context);
    VKO_Free(text);
    return 0;
}

void log_write(LogLevel level, const char *text, void *context) {
    if (!text) text = "";
    char time_text[32] = {0};
    time_t now = time(nullptr);
    struct tm tm_local;
    if (localtime_r(&now, &tm_local)) strftime(time_text, sizeof(time_text), "%Y-%m-%d %H:%M:%S", &tm_local);

    char line[LOG_LINE_MAX];
    if (level == LOG_LEVEL_INFO || level == LOG_LEVEL_DEBUG)
        snprintf(line, sizeof(line), "[%c %s] %s", level == LOG_LEVEL_INFO ? 'I' : 'D', time_text, text);
    else if (level == LOG_LEVEL_FORCED)
        snprintf(line, sizeof(line), "[F %s] %s", time_text, text);
    else
        snprintf(line, sizeof(line), "[%u %s] %s", level, time_text, text);

    if (level != LOG_LEVEL_FORCED && g_console.load()) {
        std::string out = std::string(line) + "\n";
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
    }

    AppContext *ctx = (AppContext *)context;
    if (!ctx) return;
    if (level != LOG_LEVEL_FORCED && level > app_context_log_level(ctx)) return;

    fs_async_append(ctx->data_dir, ctx->is_host ? LOG_FILE_HOST : LOG_FILE_CLIENT, line);

    if (ctx->stream_window_queue) {
        uint8_t *slot = (uint8_t *)VKO_QueueGetInputBuffer(ctx->stream_window_queue);
        if (slot) {
            uint32_t type = LOG_CONSOLE_EVENT;
            memcpy(slot, &type, sizeof(type));
            copy_cut((char *)slot + sizeof(type), LOG_LINE_MAX, line);
            VKO_QueuePush(ctx->stream_window_queue, LOG_CONSOLE_SLOT);
        }
    }

    if (ctx->web_ui && ctx->bridge) {
        VKO_JSON *data = VKO_JSONObjCreate();
        VKO_JSONObjSetItem(data, "level", VKO_JSONNumberCreate((double)level));
        VKO_JSONObjSetItem(data, "time", VKO_JSONStringCreate(time_text));
        VKO_JSONObjSetItem(data, "msg", VKO_JSONStringCreate(text));
        VKO_JSON *holder = VKO_JSONObjCreate();
        VKO_JSONObjSetItem(holder, "data", data);
        webview_send_event(ctx->bridge, 0, "zarvek_log", holder);
        VKO_JSONDestroy(&holder);
    }
}

void log_set_forward_callback(LogPlatformFunc callback, void *context) {
    std::lock_guard<std::mutex> g(g_forward_mutex);
    g_forward = callback;
    g_forward_ctx = context;
}

const char *log_forward(LogLevel level, const char *format, ...) {
    LogPlatformFunc cb;
    void *ctx;
    {
        std::lock_guard<std::mutex> g(g_forward_mutex);
        cb = g_forward;
        ctx = g_forward_ctx;
    }
    if (!cb) return format;
    va_list args;
    va_start(args, format);
    char *text = VKO_VsprintfAlloc(format, args);
    va_end(args);
    cb("", "", 0, level, text, 0, 1, ctx);
    VKO_Free(text);
    return nullptr;
}

void log_platform_callback(const char *file, const char *function, int32_t line, uint32_t level,
                           const char *text, int32_t value, uint32_t flags, void *context) {
    (void)file;
    (void)function;
    (void)line;
    if (flags & 8) {
        char buf[128];
        snprintf(buf, sizeof(buf), "%s=%d", text ? text : "", value);
        log_write(level, buf, context);
        return;
    }
    log_write(level, text, context);
}

void log_platform_line(const char *message, void *context) {
    log_write(LOG_LEVEL_DEBUG, message, context);
}

bool fs_async_create(void) {
    std::lock_guard<std::mutex> g(g_fs_mutex);
    if (!g_fs_queue.load()) g_fs_queue.store(VKO_QueueCreate(FS_ASYNC_SLOTS, sizeof(void *)));
    g_fs_stop.store(false);
    return g_fs_queue.load() != nullptr;
}

bool fs_async_start(void) {
    if (!fs_async_create()) return false;
    std::lock_guard<std::mutex> g(g_fs_mutex);
    if (!g_fs_thread) g_fs_thread = VKO_ThreadCreate(fs_async_thread, nullptr);
    return g_fs_thread != nullptr;
}

void fs_async_append(const char *dir, const char *name, const char *line) {
    if (!g_fs_queue.load() || g_fs_stop.load()) return;
    FsWriteRecord *r = (FsWriteRecord *)VKO_Alloc(1, sizeof(FsWriteRecord));
    copy_cut(r->dir, sizeof(r->dir), dir);
    copy_cut(r->name, sizeof(r->name), name);
    copy_cut(r->line, sizeof(r->line), line);
    // The push happens under the lock that stop takes before it frees the
    // queue, so a line logged during shutdown never reaches a freed queue.
    std::lock_guard<std::mutex> g(g_fs_mutex);
    VKO_Queue *q = g_fs_queue.load();
    if (q && !g_fs_stop.load() && VKO_QueuePushPtr(q, r, sizeof(FsWriteRecord)))
        g_fs_pending++;
    else
        VKO_Free(r);  // stopped, or full: the line is lost rather than waiting
}

void *fs_async_thread(void *opaque) {
    (void)opaque;
    t_is_writer = true;
    VKO_DisableThreadLog(true);
    VKO_Queue *q = g_fs_queue.load();
    bool warned = false;
    while (q) {
        void *p = nullptr;
        bool got = VKO_QueuePopPtr(q, 32, &p, nullptr);
        if (!got) {
            if (g_fs_stop.load()) break;
            continue;
        }
        append_record((FsWriteRecord *)p);
        VKO_Free(p);
        pending_done();
        if (!warned && VKO_QueueGetLength(q) > FS_ASYNC_WARN) {
            warned = true;
            VKO_DisableThreadLog(false);
            VKO_Log("fs_async_thread", "FS async queue is almost full");
            VKO_DisableThreadLog(true);
        }
    }
    t_is_writer = false;
    return nullptr;
}

bool fs_async_flush(uint32_t timeout_ms) {
    if (t_is_writer) return false;  // the writer cannot wait for itself
    std::unique_lock<std::mutex> g(g_fs_mutex);
    if (!g_fs_thread) return g_fs_pending == 0;
    return g_fs_cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [] { return g_fs_pending == 0; });
}

void fs_async_stop(void) {
    VKO_Thread *t;
    {
        std::lock_guard<std::mutex> g(g_fs_mutex);
        g_fs_stop.store(true);
        t = g_fs_thread;
        g_fs_thread = nullptr;
    }
    if (t) VKO_ThreadDestroy(&t);
    VKO_Queue *q;
    {
        std::lock_guard<std::mutex> g(g_fs_mutex);
        q = g_fs_queue.exchange(nullptr);
    }
    if (q) {
        VKO_QueueFlush(q, free_record);
        VKO_QueueDestroy(&q);
    }
    std::lock_guard<std::mutex> g(g_fs_mutex);
    g_fs_pending = 0;
    g_fs_cv.notify_all();
}

void log_rotate_files(const char *dir) {
    static const char *const names[2][2] = {{"log.txt", "log.1.txt"}, {"log_cl.txt", "log_cl.1.txt"}};
    for (const auto &n : names) {
        std::string path = std::string(dir ? dir : ".") + "/" + n[0];
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;  // missing, or a link we do not follow
        if ((unsigned long long)st.st_size >= LOG_ROTATE_BYTES) {
            std::string to = std::string(dir ? dir : ".") + "/" + n[1];
            rename(path.c_str(), to.c_str());
        } else {
            int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                ssize_t w = write(fd, "\n", 1);
                (void)w;
                close(fd);
            }
        }
    }
}

void log_fatal_drain(void) {
    fs_async_flush(2000);
}
