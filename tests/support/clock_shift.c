// Preloaded into a program (a test's X server) to run its monotonic clocks
// ahead: by the milliseconds in the first 8 bytes (an int64) of the file that
// ZARVEK_CLOCK_SHIFT names, read at every call, so a test moves the clock
// while the program runs (only ahead: the clocks never go back).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int (*real_clock_gettime)(clockid_t, struct timespec *);
static const volatile int64_t *shift_ms;

// At load, before the program has threads.
__attribute__((constructor)) static void open_shift(void) {
    real_clock_gettime = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    const char *path = getenv("ZARVEK_CLOCK_SHIFT");
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    struct stat st;
    if (fd < 0) return;
    if (fstat(fd, &st) == 0 && st.st_size >= (off_t)sizeof(int64_t)) {
        void *p = mmap(NULL, sizeof(int64_t), PROT_READ, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) shift_ms = (const volatile int64_t *)p;
    }
    close(fd);
}

int clock_gettime(clockid_t id, struct timespec *ts) {
    int r = real_clock_gettime(id, ts);
    if (r != 0 || !shift_ms ||
        (id != CLOCK_MONOTONIC && id != CLOCK_MONOTONIC_COARSE && id != CLOCK_MONOTONIC_RAW &&
         id != CLOCK_BOOTTIME))
        return r;
    int64_t ms = *shift_ms;
    ts->tv_sec += ms / 1000;
    ts->tv_nsec += (ms % 1000) * 1000000;
    if (ts->tv_nsec >= 1000000000) ts->tv_sec++, ts->tv_nsec -= 1000000000;
    return r;
}
