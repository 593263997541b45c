// Growing text buffer: the output of the JSON writer and other text builders.
// No terminating zero is kept; read `length` bytes from `data`.
#pragma once

#include <cstddef>
#include <cstdint>

#define TEXT_FLAG_PRETTY 2u      // the JSON writer indents with tabs
#define TEXT_MIN_CAPACITY 4096u  // smallest capacity once the buffer holds anything
#define TEXT_MAX_CAPACITY 0x80000000u

struct TextBuffer {
    char *data;  // heap, null until the first growth
    char *end;   // end of capacity
    uint32_t length;
    uint32_t flags;  // TEXT_FLAG_*
    uint32_t depth;  // nesting level while the JSON writer runs
};

// Makes room for `bytes` more bytes: capacity becomes max(next power of two at
// or above length + bytes, 4096) when that exceeds it. False when the buffer
// cannot grow (it stays as it was).
bool text_reserve(TextBuffer *tb, size_t bytes);
bool text_append(TextBuffer *tb, const void *bytes, size_t count);
// printf-style; a formatting error appends nothing (false).
bool text_appendf(TextBuffer *tb, const char *format, ...) __attribute__((format(printf, 2, 3)));
inline uint32_t text_capacity(const TextBuffer *tb) {
    return (uint32_t)(tb->end - tb->data);
}
// Frees the data and clears the record.
void text_free(TextBuffer *tb);
