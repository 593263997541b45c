// The shell's process-wide services. Model: the crash record is written only
// by crash_callback, which the platform library runs once per process from a
// signal handler. The watched children are a fixed array of atomic process
// ids (0: free): any thread adds and removes its own with compare-exchange,
// and the crash path reads them lock-free, so it may interrupt either. The
// internal-access flag is an atomic; impersonation is per thread.
#include "app/shell.h"

#include <atomic>
#include <cstring>

#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include "compat/registry/registry.h"

// Crash capture

static CrashRecord CRASH_RECORD;

void crash_capture(CrashRecord *record) {
    void *addrs[CRASH_FRAMES_MAX];
    int n = backtrace(addrs, CRASH_FRAMES_MAX);

    record->count = 0;

    for (int i = 0; i < n; i++) {
        CrashFrame *f = &record->frames[record->count++];
        uintptr_t a = (uintptr_t)addrs[i];
        Dl_info info = {};

        f->address = a;
        f->module[0] = '\0';
        f->offset = a;

        if (dladdr(addrs[i], &info) && info.dli_fname) {
            size_t len = strnlen(info.dli_fname, CRASH_MODULE_MAX - 1);
            memcpy(f->module, info.dli_fname, len);
            f->module[len] = '\0';
            f->offset = a - (uintptr_t)info.dli_fbase;
        }
    }
}

static size_t put_text(char *buf, size_t at, size_t cap, const char *s) {
    while (*s && at < cap) buf[at++] = *s++;

    return at;
}

static size_t put_hex(char *buf, size_t at, size_t cap, uint64_t v) {
    char tmp[16];
    int n = 0;
    do {
        tmp[n++] = "0123456789abcdef"[v & 0xF];
        v >>= 4;
    } while (v);

    while (n > 0 && at < cap) buf[at++] = tmp[--n];

    return at;
}

void crash_report(const CrashRecord *record, int fd) {
    // Runs in a signal handler: no allocation, no stdio.
    for (uint32_t i = 0; i < record->count; i++) {
        char line[CRASH_MODULE_MAX + 64];
        size_t at = put_text(line, 0, sizeof(line), "crash frame ");
        char num[4] = {(char)('0' + i / 10), (char)('0' + i % 10), '\0'};
        at = put_text(line, at, sizeof(line), i < 10 ? num + 1 : num);
        at = put_text(line, at, sizeof(line), ": ");
        at = put_text(line, at, sizeof(line), record->frames[i].module[0] ? record->frames[i].module : "?");
        at = put_text(line, at, sizeof(line), "+0x");
        at = put_hex(line, at, sizeof(line) - 1, record->frames[i].offset);
        line[at++] = '\n';

        for (size_t done = 0; done < at;) {
            ssize_t w = write(fd, line + done, at - done);
            if (w <= 0) break;
            done += (size_t)w;
        }
    }
}

const CrashRecord *crash_record(void) {
    return &CRASH_RECORD;
}

// Watched children

static std::atomic<int> CHILDREN[APP_CHILDREN_MAX];

bool app_watch_child(int pid) {
    if (pid <= 0) return false;
    for (std::atomic<int> &c : CHILDREN) {
        int free_slot = 0;
        if (c.compare_exchange_strong(free_slot, pid)) return true;
    }
    return false;
}

void app_unwatch_child(int pid) {
    if (pid <= 0) return;
    for (std::atomic<int> &c : CHILDREN) {
        int mine = pid;
        if (c.compare_exchange_strong(mine, 0)) return;
    }
}

void app_end_children(void) {
    for (std::atomic<int> &c : CHILDREN) {
        int pid = c.load();
        if (pid > 0) kill(pid, SIGTERM);
    }
}

void crash_callback(bool terminate, void *opaque) {
    (void)opaque;

    // The report first: ending a child can make other threads fail at once.
    if (!terminate) {
        crash_capture(&CRASH_RECORD);
        crash_report(&CRASH_RECORD, STDERR_FILENO);
    }
    app_end_children();
}

// Internal access

static std::atomic<bool> INTERNAL_ACCESS;

void app_set_internal_access(bool on) {
    INTERNAL_ACCESS.store(on);
}

bool app_internal_access(void) {
    return INTERNAL_ACCESS.load();
}

// Impersonation

static std::atomic<int64_t> CONSOLE_USER{-1};
static std::atomic<bool> IMPERSONATION_FAILS;
static thread_local bool IMPERSONATING;

void process_set_console_user(int64_t uid) {
    CONSOLE_USER.store(uid < 0 ? -1 : uid);
}

void process_set_impersonation_fails(bool fail) {
    IMPERSONATION_FAILS.store(fail);
}

bool process_impersonate_console_user(bool start, bool *was_impersonating) {
    if (was_impersonating) *was_impersonating = IMPERSONATING;

    IMPERSONATING = false;
    reg_set_thread_user(-1);

    if (!start) return true;

    int64_t console = CONSOLE_USER.load();
    if (console < 0 || console == (int64_t)getuid()) return true;

    if (IMPERSONATION_FAILS.load()) return false;

    reg_set_thread_user(console);
    IMPERSONATING = true;

    return true;
}
