// The X11 side of the clipboard bridge: one display connection with an
// unmapped window that watches the CLIPBOARD selection through XFixes owner
// notices (each foreign change raises a sequence number, as the Windows
// clipboard's does), reads it with XConvertSelection and owns it to write.
// While it owns the selection it keeps its own copy of the text and serves
// TARGETS, UTF8_STRING, STRING, TEXT and TIMESTAMP until another client takes
// the selection. Every call must come from one thread, the one that opened it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ClipX11;

// Null when the display cannot be opened or has no XFixes.
ClipX11 *clip_x11_open(void);
void clip_x11_close(ClipX11 **x);
int clip_x11_fd(const ClipX11 *x);

// Handles every waiting event; true when a foreign owner change was seen.
bool clip_x11_dispatch(ClipX11 *x);
uint32_t clip_x11_sequence(const ClipX11 *x);

// Longest an incremental transfer may take in all, however steadily its
// pieces come.
#define CLIP_X11_INCR_MAX_MS 5000

// The clipboard's text as UTF-8 (at most max bytes of it): 1 text, 0 no text
// (no owner, our own text, or no text form offered), -1 the owner did not
// answer within timeout_ms (each wait: for a reply, for each piece of an
// incremental transfer) or its answer could not be read; -1 delivers nothing.
int clip_x11_read(ClipX11 *x, std::string *out, size_t max, int timeout_ms);

// Takes the selection with a real server timestamp and serves text from then
// on; raises the sequence number itself, so its own notice is not a change.
bool clip_x11_own(ClipX11 *x, const char *utf8, size_t size, int timeout_ms);
