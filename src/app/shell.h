// Services of the application shell that the lower layers call: the crash
// callback, the internal-access flag and console-user impersonation.
#pragma once

#include <cstdint>

#define CRASH_FRAMES_MAX 32
#define CRASH_MODULE_MAX 256

struct CrashFrame {
    char module[CRASH_MODULE_MAX];  // path of the module holding the address, "" when unknown
    uint64_t offset;                // address minus the module's load address
    uint64_t address;
};

struct CrashRecord {
    uint32_t count;
    CrashFrame frames[CRASH_FRAMES_MAX];
};

// Installed with VKO_SetCrashFunc. With terminate false it captures the
// crashing thread's stack into the process's crash record and writes it to
// standard error; then it ends the watched child processes (the process is
// about to end by the signal and nothing after the callback runs). The
// library then re-raises the signal.
void crash_callback(bool terminate, void *opaque);

// Processes the program started that must not outlive it (an X server, a
// player). False when all APP_CHILDREN_MAX places are taken.
#define APP_CHILDREN_MAX 8
bool app_watch_child(int pid);
void app_unwatch_child(int pid);
// SIGTERM to each watched process; async-signal-safe.
void app_end_children(void);

// Captures the calling thread's stack (signal-safe after the first call).
void crash_capture(CrashRecord *record);

// Writes one line per frame, "crash frame N: <module>+0x<offset>", to fd.
void crash_report(const CrashRecord *record, int fd);

// The process's crash record, filled by crash_callback.
const CrashRecord *crash_record(void);

// Internal-access flag, set by the shell.
void app_set_internal_access(bool on);
bool app_internal_access(void);

// Impersonation stand-in: "impersonating" selects whose registry hive the
// current-user calls open on this thread. start true ends any impersonation
// (reporting whether there was one) and impersonates the console user when
// it differs from the process's user; start false ends it again.
bool process_impersonate_console_user(bool start, bool *was_impersonating);

// The console user (negative: the process's own user) and a failure switch.
void process_set_console_user(int64_t uid);
void process_set_impersonation_fails(bool fail);
