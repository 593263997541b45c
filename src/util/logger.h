// The application log: lines go to standard output (unless turned off), to
// log.txt / log_cl.txt through one asynchronous writer thread, to the first
// stream window's console queue and, with the web-view UI, to the page as
// "zarvek_log" events.
#pragma once

#include <cstdarg>
#include <cstdint>

// A line's level: information, debug, forced (never filtered); any other
// number is printed as it is.
typedef uint32_t LogLevel;
#define LOG_LEVEL_INFO 0u
#define LOG_LEVEL_DEBUG 1u
#define LOG_LEVEL_FORCED 0xDEFACEDu

#define LOG_LINE_MAX 1024  // line text incl. terminator
#define LOG_FILE_HOST "log.txt"
#define LOG_FILE_CLIENT "log_cl.txt"
#define LOG_ROTATE_BYTES 0x100000ull
#define FS_ASYNC_SLOTS 1000
#define FS_ASYNC_WARN 900
#define LOG_CONSOLE_EVENT 5u
#define LOG_CONSOLE_SLOT 2200

#define LOG_BANNER_START "===== Zarvek: Started ====="
#define LOG_BANNER_END "===== Zarvek: Shutdown with %d ====="

typedef int32_t (*LogSinkFunc)(LogLevel level, const char *format, va_list args, void *context);
typedef void (*LogLineFunc)(LogLevel level, const char *text, void *context);
typedef void (*LogPlatformFunc)(const char *file, const char *function, int32_t line, uint32_t level,
                                const char *text, int32_t value, uint32_t flags, void *context);

// One queued file write (owned by the queue until written).
struct FsWriteRecord {
    char dir[1280];
    char name[1280];
    char line[1024];
};

// Whether log_write also prints each line that is not forced to standard
// output (on until turned off; a program with output of its own turns it off).
void log_set_console(bool on);

// Sink and line writer pair; null clears.
void log_set_sink(LogSinkFunc sink, void *context);
void log_set_line_writer(LogLineFunc writer);

int32_t log_message(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));
int32_t log_sink_format(LogLevel level, const char *format, va_list args, void *context);
void log_write(LogLevel level, const char *text, void *context);  // context: AppContext or null

// The process-wide callback of log_forward.
void log_set_forward_callback(LogPlatformFunc callback, void *context);
const char *log_forward(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_platform_callback(const char *file, const char *function, int32_t line, uint32_t level,
                           const char *text, int32_t value, uint32_t flags, void *context);

// Adapter installed with VKO_SetLogFunc: platform lines at debug level.
void log_platform_line(const char *message, void *context);

// Asynchronous file writer.
bool fs_async_create(void);  // creates the 1000-slot queue (no thread yet)
bool fs_async_start(void);   // creates the queue if needed and starts the thread once
void fs_async_append(const char *dir, const char *name, const char *line);
void *fs_async_thread(void *opaque);
bool fs_async_flush(uint32_t timeout_ms);  // waits until every queued line is written
void fs_async_stop(void);                  // sets the stop flag, drains, joins, frees the queue

// Host process, at start-up before the first line.
void log_rotate_files(const char *dir);

// Fatal path: drains the file writer so the last line reaches the file.
void log_fatal_drain(void);
