// The client's windows: one per streamed display, each drawing what arrives.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "options.h"

struct VKO_App;
struct ClientRender;
struct ZarvekInstance;
struct _XDisplay;  // Xlib's Display, without its macros

namespace zv {

struct Viewer {
    std::thread ui;
    VKO_App *app = nullptr;
    std::atomic<bool> running{true};
    std::atomic<int> ready{0};  // 1 windows made, -1 they could not be
    int32_t windows[kMaxDisplays] = {-1, -1, -1};
    ClientRender *render[kMaxDisplays] = {};
    uint32_t width = 0, height = 0;  // of each window
};
extern Viewer g_viewer;

// Makes the windows and their renderers; false when they could not be made.
bool viewer_start(const Options &o, bool own_display);
void viewer_stop();
// A window that had to drop frames asks the client's host for a key frame;
// nullptr: no one to ask any more.
void viewer_ask_key_frames(ZarvekInstance *client);

// Window k's X window.
unsigned long viewer_window(uint32_t k);

const char *gfx_name(uint32_t api);

struct Likeness {
    double psnr = -1;       // RGB
    double luma_psnr = -1;  // BT.709 luma, which 4:2:0 sampling leaves whole
    bool written = false;   // the PNG file
};

// Writes window k as PNG and compares it with the painted display shrunk to
// the window's size by 2 x 2 averages (what the window's linear filter does
// at half size).
Likeness viewer_screenshot(uint32_t k, const std::string &path);

// RGB of a window or a root rectangle.
std::vector<uint8_t> grab_rgb(_XDisplay *dpy, unsigned long w, int x, int y, uint32_t width, uint32_t height);
// Writes a PNG file; false, said on the output, when it could not.
bool save_png(const std::string &path, const std::vector<uint8_t> &rgb, uint32_t w, uint32_t h);

// The picture files that could not be written so far (main thread).
extern uint32_t g_pictures_not_written;

}  // namespace zv
