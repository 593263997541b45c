// Present hooks: detours on a program's buffer-swap calls that, at every
// present, copy the finished back buffer into a texture of their own, hand it
// to a frame callback and then continue to the hooked call. On this platform
// the OpenGL detours sit on glXSwapBuffers and eglSwapBuffers (the "device
// context" is the GLX display and drawable, or the EGL display and surface;
// the window's client area is the back buffer's own size: what GLX
// (glXQueryDrawable) or EGL reports, checked against the buffer where reads
// are clipped to it; entry points come from glXGetProcAddressARB or
// eglGetProcAddress). Only a swap of the current context's draw drawable or
// surface is captured (another window's swap presents nothing the context
// could read). A multisampled back buffer is resolved first. The program's
// GL state is as it left it, and so are its pending GL errors: the step
// raises none of its own, and fetches the program's only to take back the
// error of an allocation of its own that the driver failed (the frame
// callback must leave no error either). Where the
// driver packs pixels inverted on request (Mesa), the back buffer is read
// once into a pixel-buffer object and the own texture filled from that
// buffer; elsewhere a blit into an own framebuffer is read back into it.
// Either way the texture is the back buffer as it is, (0, 0, w, h) to
// (0, 0, w, h): its row 0 and the pixels' first row are the window's bottom
// row, as GL counts, so the OpenGL submission, which turns the picture over
// once, streams it upright. Every piece of GL state the step touches is put
// back, and the program's state that a blit or read-back obeys (the scissor
// test, sRGB writes, the pixel transfer) is set aside around them. Each
// context's objects carry a label of the hook's, which tells them from the
// program's when a new context gets a gone one's address; without labels a
// context's objects are made for one frame only. The records of the
// contexts' objects outlive hooks_remove_all, so the next install takes the
// objects back; a record whose context is found gone (EGL, or GLX through
// GLVND) is freed at the first present of a context new to the hook. Hooks
// are attached through the code-patching transactions under the
// process-wide patch lock and removed by hooks_remove_all.
#pragma once

#include <cstdint>

#include "platform/thread.h"

#define HOOK_ERR_GL_NO_CONTEXT (-1500)
#define HOOK_ERR_GL_ENTRY_POINTS (-1501)
#define HOOK_ERR_GL_CLIENT_RECT (-1502)
#define HOOK_ERR_D3D9_NO_WINDOW (-1503)
#define HOOK_ERR_D3D9_BACK_BUFFER (-1504)
#define HOOK_ERR_D3D9_RENDER_TARGET (-1505)
#define HOOK_ERR_D3D9_NOT_DEVICE (-1506)
#define HOOK_ERR_D3D11_NO_DEVICE (-1507)
#define HOOK_ERR_D3D11_GET_BUFFER (-1508)
#define HOOK_ERR_D3D11_COPY_TEXTURE (-1509)
#define HOOK_ERR_D3D11_COPY_RESOURCE (-1510)
#define HOOK_ERR_D3D11_BACK_RESOURCE (-1511)
#define HOOK_ERR_D3D11_RTV (-1512)
#define HOOK_ERR_D3D10 (-1514)
#define HOOK_ERR_D3D11_LEVEL (-1515)
#define HOOK_ERR_NO_HOOKS (-1517)
#define HOOK_ERR_D3D12_NO_DEVICE (-1518)
#define HOOK_ERR_D3D12_GET_BUFFER (-1519)
#define HOOK_ERR_D3D12_OBJECTS (-1520)
#define HOOK_ERR_D3D12_CLOSE (-1521)

#define HOOK_KIND_GL 0u
#define HOOK_KIND_D3D9 2u
#define HOOK_KIND_D3D11 3u
#define HOOK_KIND_D3D12 4u
#define HOOK_KIND_GENERIC 5u

typedef void (*HookFrameCallback)(uint32_t kind, void *a, void *b, void *c, void *d, void *opaque);
typedef void (*HookErrorCallback)(int32_t code, void *opaque);

struct HookGlContext;

// The OpenGL hook state. `mutex` is held by the detour for the whole capture
// step and by the removal; the other fields change only under it. Each GL
// context that presents keeps its own texture, framebuffer and pixel buffer
// (and function table) in `contexts`, the process's table of
// `context_count` records, which outlives the state; the texture to height
// fields name those of the context that presented last.
struct HookGlState {
    VKO_Mutex *mutex;
    uintptr_t window;  // the GLX drawable last presented
    void *context;     // the GLX context the texture and framebuffer belong to
    uint32_t texture;
    uint32_t framebuffer;
    uint32_t width, height;
    uint8_t entry_points;  // the GL functions were found for this context
    void *opaque;
    HookErrorCallback on_error;
    HookFrameCallback on_frame;
    uint32_t pbo;  // pixel-pack buffer the frame is read back into
    uint8_t pbo_filled;
    uint8_t pack_invert;  // the context's driver has GL_MESA_pack_invert
    HookGlContext *contexts;
    uint32_t context_count;
};

// Trampoline slots of the glXSwapBuffers and eglSwapBuffers detours: empty
// while not installed.
extern void *hook_gl_swap_buffers_a_real;
extern void *hook_gl_swap_buffers_b_real;

// Sits on glXSwapBuffers(Display *, GLXDrawable).
void hook_gl_swap_buffers_a(void *display, uintptr_t drawable);
// Sits on eglSwapBuffers(EGLDisplay, EGLSurface) and answers its result; the
// frame callback's window value is the EGL surface.
unsigned hook_gl_swap_buffers_b(void *display, void *surface);

// Inside the frame callback of an OpenGL capture: the frame's pixels, RGBA,
// in the texture's order, the window's bottom row first (mapped from the
// pixel-buffer object on first use); null outside a callback or when the
// read-back failed.
const uint8_t *hook_gl_frame_pixels(uint32_t *pitch);

// How many frame-sized objects (textures and pixel buffers) the OpenGL
// present hook has made in this process: for tests and benchmarks.
uint64_t hook_gl_objects_made(void);

// Whether OpenGL captures and submissions may take the read-back of drivers
// that read inverted on request (on by default); off, they take the blit
// that all drivers have.
void hook_gl_use_pack_invert(bool on);

// The installer: makes the OpenGL state with its callbacks and attaches the
// glXSwapBuffers and eglSwapBuffers detours of the loaded GLX and EGL
// libraries, each in a transaction of its own under the patch lock (with
// GLVND both libGL's and libGLX's glXSwapBuffers). 0 when at least one was
// attached to a call of the program's own (not one inside the GL libraries
// or this one), else the patching code (4317 when already installed, 9 when
// the program's own swap could not be redirected), or -1501 when neither
// library is loaded.
int32_t hook_gl_install(HookFrameCallback on_frame, HookErrorCallback on_error, void *opaque);

// Serialises installers, attaches made by detours and the removal.
void hooks_install_lock(void);
void hooks_install_unlock(void);

// Whether any hook is installed.
bool hooks_installed(void);
// Detaches every installed hook, waits wait_ms for detours still running,
// then frees the states (the OpenGL contexts' records stay, with their
// objects). -1517 when none was installed.
int32_t hooks_remove_all(uint32_t wait_ms);
