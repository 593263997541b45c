// Client rendering for one video stream: a decode thread takes the stream's
// encoded frames and decodes each as it arrives, and a draw thread draws the
// newest picture into one window of the app object through the window's
// graphics, then presents; a picture never waits for the decoding of others.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/app.h"

struct ClientRender;

struct ClientRenderStats {
    uint64_t received;  // access units handed over
    uint64_t decoded;   // pictures that came out of the decoder
    uint64_t drawn;     // pictures drawn and presented
    uint64_t errors;    // damaged access units
    uint32_t width, height;
    bool idle;  // nothing waiting and no picture being drawn
};

// Starts the threads; the draw thread sets the window's graphics (api, vsync)
// itself, so every use of them stays on that thread. NULL when the window's graphics
// cannot be made.
ClientRender *client_render_start(VKO_App *app, int32_t window, uint32_t api, bool vsync, uint32_t filter);
// Hands over one H.264 access unit (copied). Never drops: a picture that
// would only be drawn over at once is decoded but not drawn.
void client_render_push(ClientRender *r, const uint8_t *data, size_t size);
ClientRenderStats client_render_stats(ClientRender *r);
// How long the newest pictures took (at most max, oldest first): decoding
// the units drawn with each (ms), and drawing and presenting it (ms).
uint32_t client_render_timings(ClientRender *r, float *decode_ms, float *draw_ms, uint32_t max);
// The graphics interface the window ended up with (0 before the thread set it).
uint32_t client_render_api(ClientRender *r);
// Stops the threads, removes the window's graphics and frees everything.
void client_render_stop(ClientRender **r);
