// Threading model.
// - g_init serialises clipboard_init and clipboard_destroy; g_ready (atomic)
//   is true from a successful init until destroy starts, and every public
//   call checks it first.
// - g.mutex (recursive) guards writing, has_timer, last_poll, last_seq, the
//   outgoing text and the four incoming texts. It is recursive because the
//   listener's change handling and its timer step call the public read and
//   write steps, which take it again.
// - g.running (atomic): set by init, cleared by destroy; the listener loops
//   while it is set.
// - The X connection (t_x) lives on the listener thread alone: only that
//   thread makes X calls, so clipboard_flush_write and clipboard_poll_read do
//   nothing on any other thread. Reads wait for the clipboard's owner without
//   holding the mutex, so a silent owner never blocks the consumers.
// - last_seq is the sequence number the texts reflect: written by the
//   listener after a read (not when the owner did not answer or its answer
//   could not be read whole, so the next step retries) and after its own
//   write (so that write is not read back).
// Always: a consumer's pending text is newer than its handed-over text; the
// handed-over text stays valid until that consumer's next take.
#include "util/clipboard.h"

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/x11/clipboard_x11.h"
#include "util/logger.h"

namespace {

struct Clipboard {
    VKO_Mutex *mutex;
    std::atomic<bool> running;
    VKO_Thread *thread;
    bool writing;
    bool has_timer;
    int64_t last_poll;
    uint32_t last_seq;
    char16_t *out;
    size_t out_size;  // bytes with the terminating unit
    char *pending[2];
    char *handed[2];
};

std::mutex g_init;
std::atomic<bool> g_ready{false};
Clipboard g;

// Listener start-up result, handed to clipboard_init.
std::mutex g_setup_mutex;
std::condition_variable g_setup_cv;
int g_setup;  // 0 waiting, 1 ready, -1 no display

thread_local ClipX11 *t_x;

const int64_t kTicksPerMs = 1000000;

// The received text as clean UTF-8 up to its first zero: invalid bytes become
// U+FFFD; the buffer holds min(4 x UTF-16 units + 1, 102400) bytes and the
// text is cut at the last whole character that fits before the zero.
char *clip_text(const std::string &raw) {
    const unsigned char *p = (const unsigned char *)raw.data();
    size_t n = strnlen(raw.data(), raw.size());

    auto next = [&](size_t *i) -> uint32_t {
        unsigned char c = p[*i];
        size_t len = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 0;
        uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1Fu : len == 3 ? c & 0x0Fu : c & 0x07u;
        if (!len || *i + len > n) {
            (*i)++;
            return 0xFFFD;
        }
        for (size_t k = 1; k < len; k++) {
            if ((p[*i + k] & 0xC0) != 0x80) {
                (*i)++;
                return 0xFFFD;
            }
            cp = cp << 6 | (p[*i + k] & 0x3Fu);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            (*i)++;
            return 0xFFFD;
        }
        *i += len;
        return cp;
    };

    size_t units = 0;
    for (size_t i = 0; i < n;) units += next(&i) >= 0x10000 ? 2 : 1;
    size_t size = units * 4 + 1 < CLIPBOARD_TEXT_MAX ? units * 4 + 1 : CLIPBOARD_TEXT_MAX;

    char *buf = (char *)VKO_Alloc(size, 1);
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        uint32_t cp = next(&i);
        size_t len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (o + len > size - 1) break;
        if (len == 1) {
            buf[o++] = (char)cp;
        } else if (len == 2) {
            buf[o++] = (char)(0xC0 | cp >> 6);
            buf[o++] = (char)(0x80 | (cp & 0x3F));
        } else if (len == 3) {
            buf[o++] = (char)(0xE0 | cp >> 12);
            buf[o++] = (char)(0x80 | (cp >> 6 & 0x3F));
            buf[o++] = (char)(0x80 | (cp & 0x3F));
        } else {
            buf[o++] = (char)(0xF0 | cp >> 18);
            buf[o++] = (char)(0x80 | (cp >> 12 & 0x3F));
            buf[o++] = (char)(0x80 | (cp >> 6 & 0x3F));
            buf[o++] = (char)(0x80 | (cp & 0x3F));
        }
    }
    buf[o] = 0;
    return buf;
}

void free_text(char **t) {
    VKO_Free(*t);
    *t = nullptr;
}

const char *take(int consumer) {
    if (!g_ready.load()) return nullptr;
    VKO_MutexLock(g.mutex);
    const char *r = nullptr;
    if (g.pending[consumer] || g.handed[consumer]) {
        free_text(&g.handed[consumer]);
        g.handed[consumer] = g.pending[consumer];
        g.pending[consumer] = nullptr;
        r = g.handed[consumer];
    }
    VKO_MutexUnlock(g.mutex);
    return r;
}

void set_setup(int result) {
    std::lock_guard<std::mutex> lock(g_setup_mutex);
    g_setup = result;
    g_setup_cv.notify_all();
}

void *listener(void *) {
    ClipX11 *x = clip_x11_open();
    t_x = x;
    if (!x) {
        set_setup(-1);
        return nullptr;
    }
    VKO_MutexLock(g.mutex);
    g.has_timer = true;
    VKO_MutexUnlock(g.mutex);
    set_setup(1);

    int64_t next_step = VKO_GetTime() + CLIPBOARD_TIMER_MS * kTicksPerMs;
    while (g.running.load()) {
        // Owner-change notices: read at once unless we are writing.
        if (clip_x11_dispatch(x)) {
            VKO_MutexLock(g.mutex);
            bool read = !g.writing && clip_x11_sequence(x) != g.last_seq;
            VKO_MutexUnlock(g.mutex);
            if (read) clipboard_poll_read();
        }

        int64_t now = VKO_GetTime();
        if (now >= next_step) {
            clipboard_flush_write();
            clipboard_poll_read();
            now = VKO_GetTime();
            VKO_MutexLock(g.mutex);
            g.last_poll = now;
            VKO_MutexUnlock(g.mutex);
            next_step = now + CLIPBOARD_TIMER_MS * kTicksPerMs;
        }

        // Sleeps until an X event, the next step or the loop's period.
        int64_t wait = (next_step - now) / kTicksPerMs + 1;
        pollfd p = {clip_x11_fd(x), POLLIN, 0};
        poll(&p, 1, (int)(wait < CLIPBOARD_LOOP_MS ? wait : CLIPBOARD_LOOP_MS));
    }

    VKO_MutexLock(g.mutex);
    g.has_timer = false;
    VKO_MutexUnlock(g.mutex);
    clip_x11_close(&x);
    t_x = nullptr;
    return nullptr;
}

void reset_state() {
    VKO_Free(g.out);
    for (int c = 0; c < 2; c++) {
        free_text(&g.pending[c]);
        free_text(&g.handed[c]);
    }
    VKO_MutexDestroy(&g.mutex);
    g.thread = nullptr;
    g.writing = false;
    g.has_timer = false;
    g.last_poll = 0;
    g.last_seq = 0;
    g.out = nullptr;
    g.out_size = 0;
}

}  // namespace

void clipboard_init(void) {
    std::lock_guard<std::mutex> lock(g_init);
    if (g_ready.load()) return;

    g.writing = false;
    g.mutex = VKO_MutexCreate();
    g.running.store(true);
    {
        std::lock_guard<std::mutex> s(g_setup_mutex);
        g_setup = 0;
    }
    g.thread = VKO_ThreadCreate(listener, nullptr);
    if (!g.thread) {
        g.running.store(false);
        reset_state();
        return;
    }

    int result;
    {
        std::unique_lock<std::mutex> s(g_setup_mutex);
        g_setup_cv.wait(s, [] { return g_setup != 0; });
        result = g_setup;
    }
    if (result < 0) {
        // No display to watch stands for a window class that cannot be registered.
        log_forward(1, "Failed to register ZARVEK_CLIP.");
        g.running.store(false);
        VKO_ThreadDestroy(&g.thread);
        reset_state();
        return;
    }
    g_ready.store(true);
}

void clipboard_destroy(void) {
    std::lock_guard<std::mutex> lock(g_init);
    if (!g_ready.load()) return;
    g_ready.store(false);
    g.running.store(false);
    VKO_ThreadDestroy(&g.thread);
    reset_state();
}

void clipboard_set_text(const char *utf8) {
    if (!g_ready.load()) return;
    char16_t *wide = utf8 ? VKO_MultiToWideAlloc(utf8) : nullptr;
    size_t units = 0;
    while (wide && wide[units]) units++;

    VKO_MutexLock(g.mutex);
    VKO_Free(g.out);
    g.out = wide;
    g.out_size = wide ? (units + 1) * sizeof(char16_t) : 0;
    VKO_MutexUnlock(g.mutex);
}

const char *clipboard_take_text(void) {
    return take(0);
}

const char *clipboard_take_text_ui(void) {
    return take(1);
}

void clipboard_poll(void) {
    if (!g_ready.load()) return;
    VKO_MutexLock(g.mutex);
    int64_t now = VKO_GetTime();
    bool due = !g.has_timer && now - g.last_poll >= CLIPBOARD_TIMER_MS * kTicksPerMs;
    if (due) {
        clipboard_flush_write();
        clipboard_poll_read();
        g.last_poll = now;
    }
    VKO_MutexUnlock(g.mutex);
}

int32_t clipboard_flush_write(void) {
    if (!t_x) return 0;
    VKO_MutexLock(g.mutex);
    int32_t written = 0;
    if (g.out) {
        g.writing = true;
        char *utf8 = VKO_WideToMultiAlloc(g.out);
        if (utf8 && clip_x11_own(t_x, utf8, strlen(utf8), CLIPBOARD_READ_WAIT_MS)) {
            VKO_Free(g.out);
            g.out = nullptr;
            g.out_size = 0;
            g.last_seq = clip_x11_sequence(t_x);
            written = 1;
        }
        VKO_Free(utf8);
        g.writing = false;
    }
    VKO_MutexUnlock(g.mutex);
    return written;
}

int32_t clipboard_poll_read(void) {
    if (!t_x) return 0;
    uint32_t seq = clip_x11_sequence(t_x);
    VKO_MutexLock(g.mutex);
    bool same = seq == g.last_seq;
    VKO_MutexUnlock(g.mutex);
    if (same) return 0;

    std::string raw;
    int r = clip_x11_read(t_x, &raw, CLIPBOARD_TEXT_MAX + 16, CLIPBOARD_READ_WAIT_MS);
    if (r < 0) return 0;  // no answer: the next step asks again

    char *text = r > 0 ? clip_text(raw) : nullptr;
    VKO_MutexLock(g.mutex);
    if (text) {
        for (int c = 0; c < 2; c++) free_text(&g.pending[c]);
        g.pending[0] = text;
        g.pending[1] = VKO_Strdup(text);
    }
    g.last_seq = seq;
    VKO_MutexUnlock(g.mutex);
    return 1;
}
