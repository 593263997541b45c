#include "util/textbuf.h"

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/winutil.h"

// Moves the text into a larger block. The old block is handed back through
// `old` (when asked for) instead of freed, so a source that lies inside it
// stays readable until the caller has copied from it.
static bool text_grow(TextBuffer *tb, size_t need, char **old = nullptr) {
    if (old) *old = nullptr;
    if (need <= text_capacity(tb)) return true;
    if (need > TEXT_MAX_CAPACITY) return false;

    size_t cap = std::bit_ceil(need);
    if (cap < TEXT_MIN_CAPACITY) cap = TEXT_MIN_CAPACITY;

    char *p;
    if (old) {
        p = (char *)malloc(cap);
        if (!p) return false;
        if (tb->length) memcpy(p, tb->data, tb->length);
        *old = tb->data;
    } else {
        p = (char *)realloc(tb->data, cap);
        if (!p) return false;
    }

    tb->data = p;
    tb->end = p + cap;
    return true;
}

bool text_reserve(TextBuffer *tb, size_t bytes) {
    if (!tb || bytes > TEXT_MAX_CAPACITY) return false;
    return text_grow(tb, (size_t)tb->length + bytes);
}

bool text_append(TextBuffer *tb, const void *bytes, size_t count) {
    if (!tb || (count && !bytes)) return false;
    if (!count) return true;
    if (count > TEXT_MAX_CAPACITY) return false;

    // The source may lie inside this buffer: keep the old block until copied.
    char *old;
    if (!text_grow(tb, (size_t)tb->length + count, &old)) return false;
    memmove(tb->data + tb->length, bytes, count);
    free(old);
    tb->length += (uint32_t)count;
    return true;
}

bool text_appendf(TextBuffer *tb, const char *format, ...) {
    if (!tb || !format) return false;

    va_list args, again;
    va_start(args, format);
    va_copy(again, args);

    // Into the free room first; most texts fit and are formatted once.
    size_t room = text_capacity(tb) - tb->length;
    int n = vsnprintf(room ? tb->data + tb->length : NULL, room, format, args);
    va_end(args);

    bool ok = n >= 0;
    if (ok && (size_t)n >= room) {
        // A "%s" argument may point into this buffer: the old block stays
        // alive until the second formatting has read it.
        char *old;
        ok = text_grow(tb, (size_t)tb->length + 1 + (size_t)n, &old);
        if (ok) {
            room = text_capacity(tb) - tb->length;
            int m = vsnprintf(tb->data + tb->length, room, format, again);
            if (m < 0 || (size_t)m >= room)
                util_logfatal("text.c", 56, "vsnprintf should always succeed, the second time");
            n = m;
            free(old);
        }
    }
    va_end(again);

    if (ok) tb->length += (uint32_t)n;
    return ok;
}

void text_free(TextBuffer *tb) {
    if (!tb) return;
    free(tb->data);
    *tb = TextBuffer{};
}
