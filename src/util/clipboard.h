// Process-wide clipboard bridge for sharing text between the two ends of a
// session: a listener thread watches the clipboard (the X11 CLIPBOARD
// selection), keeps each new text as UTF-8 for two independent consumers
// until they take it, and writes text queued by the program without reading
// it back as a change. Only text is handled.
#pragma once

#include <cstdint>

#define CLIPBOARD_CLASS "ZARVEK_CLIP"
#define CLIPBOARD_TIMER_MS 50       // write-and-read step of the listener
#define CLIPBOARD_LOOP_MS 16        // longest sleep of the listener loop
#define CLIPBOARD_TEXT_MAX 102400   // bytes of a received text, its zero included
#define CLIPBOARD_READ_WAIT_MS 100  // longest wait for the clipboard's owner

// Once per process; no effect when already initialised.
void clipboard_init(void);
void clipboard_destroy(void);
// Queues text for the clipboard (null: nothing queued).
void clipboard_set_text(const char *utf8);
// The newest text not yet taken, or null; valid until the consumer's next take.
const char *clipboard_take_text(void);     // first consumer (the hosting side)
const char *clipboard_take_text_ui(void);  // second consumer (the application's frame)
// The 50 ms step for other threads when the listener has no timer of its own.
void clipboard_poll(void);
// Listener-thread steps: 1 when the clipboard was written / a change was taken in.
int32_t clipboard_flush_write(void);
int32_t clipboard_poll_read(void);
