// Windows of the app object: up to eight top-level X windows addressed by a
// small index, their placement through the VKO_Frame record (kept by callers
// in window.json), the tray icon with its menu and balloon messages, and two
// utilities (message box, image crop). App thread only, except
// VKO_ShowMessageBox and VKO_CropImage.
#pragma once

#include <cstdint>

#include "platform/app.h"

#define VKO_WINDOW_MAX 8

#ifndef VKO_FRAME_DEFINED
#define VKO_FRAME_DEFINED
struct VKO_Frame {
    uint32_t flags;  // 0x1 hidden, 0x2 fullscreen, 0x4 maximized
    uint32_t width;  // client size in unscaled units (pixels at 96 DPI)
    uint32_t height;
    char screen[32];  // monitor name, empty = primary
    int32_t x;        // client position, unscaled, from the work area's corner
    int32_t y;
};
#endif

#define VKO_FRAME_HIDDEN 0x1u
#define VKO_FRAME_FULLSCREEN 0x2u
#define VKO_FRAME_MAXIMIZED 0x4u

struct VKO_TrayItem {
    bool (*checked)(void *opaque);  // NULL: never checked
    const char *label;              // empty: a separator
    uint32_t id;
};

int32_t VKO_WindowCreate(VKO_App *app, const char *title, const VKO_Frame *frame, int32_t index);
void VKO_WindowDestroy(VKO_App *app, int32_t index);
bool VKO_WindowExists(VKO_App *app, int32_t index);
// The X window id, or NULL.
void *VKO_WindowGetNative(VKO_App *app, int32_t index);
VKO_Frame VKO_WindowGetFrame(VKO_App *app, int32_t index);
void VKO_WindowSetFrame(VKO_App *app, int32_t index, const VKO_Frame *frame);
void VKO_WindowSetFullscreen(VKO_App *app, int32_t index, bool fullscreen);
bool VKO_WindowIsFullscreen(VKO_App *app, int32_t index);
bool VKO_WindowIsVisible(VKO_App *app, int32_t index);
void VKO_WindowActivate(VKO_App *app, int32_t index, bool active);
void VKO_WindowGetSize(VKO_App *app, int32_t index, uint32_t *width, uint32_t *height);
void VKO_WindowGetScreenSize(VKO_App *app, int32_t index, uint32_t *width, uint32_t *height);
float VKO_WindowGetScreenScale(VKO_App *app, int32_t index);
void VKO_WindowSetMinSize(VKO_App *app, int32_t index, uint32_t width, uint32_t height);
void VKO_WindowMoveCursor(VKO_App *app, int32_t index, int32_t x, int32_t y);
// Graphics of a window: a swap-chain context of one interface (VKO_GFX; a
// value outside 2..4 other than 0 means Direct3D 11, a Direct3D 12 context
// that cannot be made falls back to Direct3D 11 once) and its renderers.
// API 0 removes them. Drawing calls run on the one thread that draws the
// window and do nothing without a context.
bool VKO_WindowSetGFX(VKO_App *app, int32_t index, uint32_t api, bool vsync);
uint32_t VKO_WindowGetGFX(VKO_App *app, int32_t index);
void VKO_WindowDrawQuad(VKO_App *app, int32_t index, const void *image, const struct VKO_RenderDesc *desc);
void VKO_WindowDrawUI(VKO_App *app, int32_t index, const struct VKO_DrawData *data);
void VKO_WindowPresent(VKO_App *app, int32_t index);
// Stores an overlay texture under an id (replacing and freeing an older one);
// NULL pixels only remove it. True when a new texture was stored.
bool VKO_WindowSetUITexture(VKO_App *app, int32_t index, uint32_t id, const void *rgba, uint32_t width,
                            uint32_t height);
bool VKO_WindowHasUITexture(VKO_App *app, int32_t index, uint32_t id);
// The window's web view: an embedded browser over the client area, hidden
// until shown, exchanging texts with its page (VKO_EVENT_WEBVIEW_*). Create
// only when the window has none yet (data folder NULL: "webview-data"; debug:
// developer tools and context menus). These may be called from any thread:
// off the app thread they are carried to it (create waits for its result).
bool VKO_WebViewCreate(VKO_App *app, int32_t index, const char *data_folder, bool debug);
void VKO_WebViewDestroy(VKO_App *app, int32_t index);
void VKO_WebViewNavigate(VKO_App *app, int32_t index, const char *source, bool is_url);
void VKO_WebViewSendText(VKO_App *app, int32_t index, const char *text);
void VKO_WebViewSetInputPassthrough(VKO_App *app, int32_t index, bool enable);
void VKO_WebViewShow(VKO_App *app, int32_t index, bool show);

VKO_Frame VKO_MakeDefaultFrame(int32_t x, int32_t y, uint32_t width, uint32_t height, float max_height);

void VKO_AppSetTray(VKO_App *app, const char *tooltip, const VKO_TrayItem *items, uint32_t count);
void VKO_AppRemoveTray(VKO_App *app);
void VKO_AppSendNotification(VKO_App *app, const char *title, const char *message);

void VKO_ShowMessageBox(const char *title, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The centre of an RGBA image cut to the target's aspect; NULL when nothing
// is cut. *width and *height are updated.
void *VKO_CropImage(const void *rgba, uint32_t target_width, uint32_t target_height, uint32_t *width,
                    uint32_t *height);
