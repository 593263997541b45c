// The OpenGL interop record: what lets the OpenGL submission side hand an
// application's GL texture to a Direct3D 11 device of its own. Here there is
// no GL/Direct3D interop extension, so the record keeps a GLX context of its
// own that shares lists with the application's and runs on the same
// drawable; "registering" a texture makes an even-sized BGRA stand-in
// texture, and each copy reads the application's texture on the own context
// into it, top row first. Every call is made on the application's render
// thread with the application's context current, and leaves it current.
#pragma once

#include <cstdint>

#include "compat/d3d/dxgi.h"
#include "host/gl_functions.h"

// The GLX display and drawable the application's context is current on.
struct GlDeviceContext {
    void *display;
    uintptr_t drawable;
    uintptr_t read_drawable;
};

// A registered application texture and where its pixels go.
struct GlInteropObject {
    uint32_t app_texture;
    ID3D11Texture2D *texture;  // BGRA, row 0 the picture's top row
    uint32_t width, height;    // of the copy, each even
    uint32_t own_texture;      // of the own context: the upside-down blit's target
    uint32_t read_fb, draw_fb;
};

struct GlInterop {
    GlDeviceContext dc;
    void *context;      // own GLX context, sharing lists with app_context
    void *app_context;  // the application's, current when the record was made
    ID3D11Device *device;
    IDXGIAdapter *interop_device;  // the adapter the own device was made on
    GlInteropObject *object;       // the registered texture, or none
    GlFunctions fn;                // of the own context
};

// Makes the record for the application context current on this thread.
// -7007 without the GLX entry points, -7000 without a current context or when
// the own context cannot be made or made current, -22007 without a DXGI
// factory, -22004 when no adapter gives a multithread-protected device (each
// failed adapter is passed over for the next).
int32_t gl_interop_create(GlInterop **out);
// Registers the application's texture: a stand-in texture of its size, each
// side rounded down to even. A registered object is released first. -22000
// when the texture has no size, or the stand-in texture or the own GL
// objects cannot be made.
int32_t gl_interop_register_object(GlInterop *rec, uint32_t app_texture);
// Copies the registered texture into its stand-in texture. -22000 when none
// is registered or the read failed; -7000 when the own context cannot be made
// current.
int32_t gl_interop_copy(GlInterop *rec);
// Unregisters the object and releases its texture.
void gl_interop_release_object(GlInterop *rec);
// Releases the object, makes the application context current again, closes
// the device and deletes the own context; clears *rec.
void gl_interop_destroy(GlInterop **rec);
