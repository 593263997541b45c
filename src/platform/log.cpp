#include "platform/log.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/memory.h"

// Logging

namespace {
struct LogThread {
    bool in_callback;
    bool disabled;
    const char *last;
    double freq;
    bool freq_set;
};

// The callback and its opaque are read as one pair: a sequence counter lets a
// logging thread retry when it raced an install, so it never pairs a new
// function with an old opaque.
struct LogTarget {
    std::atomic<uint32_t> seq{0};
    std::atomic<VKO_LogFunc> func{nullptr};
    std::atomic<void *> opaque{nullptr};
    std::mutex install;
};
}  // namespace

static thread_local LogThread LOG_THREAD;
static LogTarget LOG_TARGET;

static void log_default(const char *msg, void *opaque) {
    (void)msg;
    (void)opaque;
}

void VKO_SetLogFunc(VKO_LogFunc func, void *opaque) {
    std::lock_guard<std::mutex> guard(LOG_TARGET.install);

    LOG_TARGET.seq.fetch_add(1);
    LOG_TARGET.func.store(func);
    LOG_TARGET.opaque.store(opaque);
    LOG_TARGET.seq.fetch_add(1);
}

static VKO_LogFunc log_target(void **opaque) {
    for (;;) {
        uint32_t s0 = LOG_TARGET.seq.load();
        if (s0 & 1) {
            sched_yield();
            continue;
        }

        VKO_LogFunc func = LOG_TARGET.func.load();
        *opaque = LOG_TARGET.opaque.load();

        if (LOG_TARGET.seq.load() == s0) return func ? func : log_default;
    }
}

void VKO_DisableThreadLog(bool disable) {
    LOG_THREAD.disabled = disable;
}

static void log_deliver(const char *tag, const char *fmt, va_list args) {
    LogThread *lt = &LOG_THREAD;

    // A message logged while delivering one is dropped.
    if (lt->in_callback) return;

    // Most lines fit on the stack; longer ones are measured and go through
    // the heap once. The tag is copied as text, never read as a format.
    char stack[1024];
    size_t tlen = strlen(tag) + 2;
    const char *msg = stack;
    char *heap = NULL;

    int mlen = -1;
    if (tlen < sizeof(stack)) {
        memcpy(stack, tag, tlen - 2);
        memcpy(stack + tlen - 2, ": ", 3);

        va_list first;
        va_copy(first, args);
        mlen = vsnprintf(stack + tlen, sizeof(stack) - tlen, fmt, first);
        va_end(first);

    } else {
        va_list measure;
        va_copy(measure, args);
        mlen = vsnprintf(NULL, 0, fmt, measure);
        va_end(measure);
    }

    if (mlen < 0) {
        mlen = 0;
        if (tlen < sizeof(stack)) stack[tlen] = '\0';
    }

    if (tlen + (size_t)mlen >= sizeof(stack)) {
        size_t total = tlen + (size_t)mlen + 1;
        heap = (char *)VKO_Alloc(total, 1);
        memcpy(heap, tag, tlen - 2);
        memcpy(heap + tlen - 2, ": ", 3);

        va_list second;
        va_copy(second, args);
        if (vsnprintf(heap + tlen, total - tlen, fmt, second) < 0) heap[tlen] = '\0';
        va_end(second);
        msg = heap;
    }

    lt->last = vko_tlocal_strdup(msg);
    VKO_Free(heap);

    if (lt->disabled) return;

    void *opaque = NULL;
    VKO_LogFunc func = log_target(&opaque);

    lt->in_callback = true;
    func(lt->last, opaque);
    lt->in_callback = false;
}

void VKO_Log(const char *tag, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log_deliver(tag, fmt, args);
    va_end(args);
}

void VKO_LogFatal(const char *tag, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log_deliver(tag, fmt, args);
    va_end(args);

    // exit rather than _exit: the application's exit handlers drain its log.
    // exit may run only once: a second fatal thread waits for the first to
    // end the process, and a fatal inside an exit handler ends it at once.
    static std::atomic<int64_t> exiting{0};
    int64_t self = (int64_t)syscall(SYS_gettid);
    int64_t expected = 0;
    if (exiting.compare_exchange_strong(expected, self)) exit(1);

    if (expected == self) _exit(1);

    for (;;) pause();
}

// Time

int64_t VKO_GetTime(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);

    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

double VKO_TimeDiff(int64_t begin, int64_t end) {
    LogThread *lt = &LOG_THREAD;

    if (!lt->freq_set) {
        // Ticks are nanoseconds whatever the clock's granularity.
        lt->freq = 1000000000.0 / 1000.0;
        lt->freq_set = true;
    }

    return (double)(end - begin) / lt->freq;
}

void VKO_Sleep(uint32_t timeout) {
    if (timeout == 0) {
        sched_yield();
        return;
    }

    // An absolute deadline keeps the total right across interruptions.
    struct timespec due;
    if (clock_gettime(CLOCK_MONOTONIC, &due) != 0) {
        VKO_Log("time_create_timer", "'CreateWaitableTimer' faled with error 0x%X", (unsigned)errno);
        return;
    }
    due.tv_sec += timeout / 1000;
    due.tv_nsec += (long)(timeout % 1000) * 1000000;
    if (due.tv_nsec >= 1000000000) {
        due.tv_sec++;
        due.tv_nsec -= 1000000000;
    }

    for (;;) {
        int e = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL);
        if (e == 0) break;

        if (e != EINTR) {
            VKO_Log("time_wait", "'SetWaitableTimer' failed with error 0x%X", (unsigned)e);
            break;
        }
    }
}

void VKO_SetTimerResolution(uint32_t res) {
    // Timer slack is the Linux knob that trades wake-up precision for power;
    // asking for a resolution asks for the tightest slack.
    (void)res;
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0)
        VKO_Log("VKO_SetTimerResolution", "'timeBeginPeriod' returned %d", errno);
}

void VKO_RevertTimerResolution(uint32_t res) {
    // A slack of 0 restores the thread's default.
    (void)res;
    if (prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL) != 0)
        VKO_Log("VKO_RevertTimerResolution", "'timeEndPeriod' returned %d", errno);
}
