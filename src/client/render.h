// Client rendering for one video stream: a decode thread takes the stream's
// encoded frames and decodes each as it arrives, and a draw thread draws the
// newest picture into one window of the app object through the window's
// graphics, then presents; a picture never waits for the decoding of others.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/app.h"

struct ClientRender;

// What may wait in front of the decoder. Past either bound the units queued
// before the newest key frame are dropped (with none queued, everything up to
// the next key frame that arrives), so a decoder that cannot keep up falls
// behind by at most this much.
constexpr uint32_t CLIENT_RENDER_MAX_QUEUED = 32;
constexpr uint64_t CLIENT_RENDER_MAX_QUEUED_BYTES = 64ull << 20;

struct ClientRenderStats {
    uint64_t received;  // access units handed over
    uint64_t decoded;   // pictures that came out of the decoder
    uint64_t drawn;     // pictures drawn and presented
    uint64_t errors;    // damaged access units
    uint64_t dropped;   // units dropped undecoded to keep within the bounds
    uint32_t queued;    // units waiting for the decoder now
    uint32_t width, height;
    bool idle;  // nothing waiting and no picture being drawn
};

// Starts the threads; the draw thread sets the window's graphics (api, vsync)
// itself, so every use of them stays on that thread. NULL when the window's graphics
// cannot be made.
ClientRender *client_render_start(VKO_App *app, int32_t window, uint32_t api, bool vsync, uint32_t filter);
// Hands over one H.264 access unit (copied). A picture that would only be
// drawn over at once is decoded but not drawn; units past the bounds above
// are dropped whole, up to a key frame.
void client_render_push(ClientRender *r, const uint8_t *data, size_t size);
// Called (on the pushing thread) when units were dropped and no key frame is
// queued to resume from: the owner may ask the host for one.
typedef void (*ClientRenderKeyRequest)(void *opaque);
void client_render_set_key_request(ClientRender *r, ClientRenderKeyRequest fn, void *opaque);
// Draws the last picture again soon (the window was resized or exposed). The
// draw thread also does so by itself whenever no new picture came for a while.
void client_render_redraw(ClientRender *r);
ClientRenderStats client_render_stats(ClientRender *r);
// How long the newest pictures took (at most max, oldest first): decoding
// the units drawn with each (ms), and drawing and presenting it (ms).
uint32_t client_render_timings(ClientRender *r, float *decode_ms, float *draw_ms, uint32_t max);
// The graphics interface the window ended up with (0 before the thread set it).
uint32_t client_render_api(ClientRender *r);
// Stops the threads, removes the window's graphics and frees everything.
// Units still queued are not decoded: the decode thread ends after the unit
// in hand.
void client_render_stop(ClientRender **r);
