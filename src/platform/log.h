// Logging and time. Every library function reports through VKO_Log with its
// own name as the tag; the finished line "tag: text" goes to one process-wide
// callback installed by the application.
#pragma once

#include <cstdint>

typedef void (*VKO_LogFunc)(const char *msg, void *opaque);

// Formats "tag: text" (cut to 8,191 characters) and hands it to the callback.
// A message logged from inside the callback on the same thread is dropped.
void VKO_Log(const char *tag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// As VKO_Log, then ends the process with exit code 1.
[[noreturn]] void VKO_LogFatal(const char *tag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// NULL installs the default callback, which does nothing.
void VKO_SetLogFunc(VKO_LogFunc func, void *opaque);

// Calling thread only: messages are still formatted but not delivered.
void VKO_DisableThreadLog(bool disable);

// Monotonic clock in ticks (nanoseconds; 1,000,000 ticks per millisecond).
int64_t VKO_GetTime(void);
double VKO_TimeDiff(int64_t begin, int64_t end);

// Sleeps on the monotonic clock; 0 yields the processor.
void VKO_Sleep(uint32_t timeout);

// Timer resolution requests; Linux timers are already precise, so these only
// tighten or restore the calling thread's timer slack.
void VKO_SetTimerResolution(uint32_t res);
void VKO_RevertTimerResolution(uint32_t res);
