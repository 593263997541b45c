#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>
#include <atomic>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/glx.h>
#include <GL/glxext.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "compat/detour/detour.h"
#include "connection/instance.h"
#include "host/gl_functions.h"
#include "host/gl_interop.h"
#include "host/present_hooks.h"
#include "host/submit.h"
#include "platform/image.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "support/pin_drivers.h"
#include "support/ximage_rgba.h"
#include "support/xvfb.h"

namespace {

// Both holders let go of a record: the application (a submit with no
// device), then the consumer.
// Hands the texture to the GL submission as its next frame, once the consumer
// has taken the one before (it then waits again).
int submit_texture(void **handle, GLXContext ctx, GLuint tex) {
    uint32_t dropped = 0;
    CaptureFrame ready = {};
    if (*handle) submit_gl_api.poll(*handle, 0, nullptr, &ready);
    return submit_gl_api.submit(handle, ctx, nullptr, (void *)(uintptr_t)tex, 0, &dropped);
}

inline void both_let_go(const SubmitCaptureApi &api, void **handle) {
    void *app = *handle;
    EXPECT_EQ(api.submit(&app, nullptr, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(app, nullptr);
    api.destroy(handle);
}

struct Frame {
    int calls = 0;
    uint32_t kind = 99;
    void *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr, *opaque = nullptr;
    uint32_t width = 0, height = 0, pitch = 0;
    std::vector<uint8_t> pixels;   // the window's bottom row first, as GL counts
    std::vector<uint8_t> texture;  // the texture's level 0, RGBA, its row 0 first
};

struct Errors {
    std::vector<int32_t> codes;
};

// While set, each captured frame is also handed to the OpenGL submission
// (as an embedding application chains the two).
struct Chain {
    void *handle = nullptr;
    uint32_t dropped = 0;
    int32_t result = 1;
};
Chain *g_chain = nullptr;

void on_frame(uint32_t kind, void *a, void *b, void *c, void *d, void *opaque) {
    if (g_chain)
        g_chain->result = submit_gl_api.submit(&g_chain->handle, b, nullptr,
                                               (void *)(uintptr_t) * (GLuint *)d, 0, &g_chain->dropped);
    Frame *f = (Frame *)opaque;
    f->calls++;
    f->kind = kind, f->a = a, f->b = b, f->c = c, f->d = d, f->opaque = opaque;
    const uint8_t *px = hook_gl_frame_pixels(&f->pitch);
    GLint w = 0, h = 0;
    // The texture name the callback was given is a live texture of the copy's size.
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glBindTexture(GL_TEXTURE_2D, *(GLuint *)d);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
    f->width = (uint32_t)w, f->height = (uint32_t)h;
    f->pixels.assign(px, px ? px + (size_t)f->pitch * h : px);
    // What a callback that uses the texture sees (the pixel-pack buffer the
    // pixels are mapped from stays bound for the hook).
    GLint pack = 0, align = 0;
    glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &pack);
    glGetIntegerv(GL_PACK_ALIGNMENT, &align);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    f->texture.assign((size_t)w * h * 4, 0);
    // The callback leaves no GL error: OpenGL ES reads textures only through
    // a framebuffer.
    if (std::strncmp((const char *)glGetString(GL_VERSION), "OpenGL ES", 9) == 0) {
        GLint read = 0;
        GLuint fb = 0;
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &read);
        glGenFramebuffers(1, &fb);
        glBindFramebuffer(GL_READ_FRAMEBUFFER, fb);
        glFramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, *(GLuint *)d, 0);
        glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, f->texture.data());
        glBindFramebuffer(GL_READ_FRAMEBUFFER, (GLuint)read);
        glDeleteFramebuffers(1, &fb);
    } else {
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, f->texture.data());
    }
    glPixelStorei(GL_PACK_ALIGNMENT, align);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, (GLuint)pack);
    glBindTexture(GL_TEXTURE_2D, (GLuint)bound);
}

Errors *g_errors = nullptr;
void on_error(int32_t code, void *) {
    if (g_errors) g_errors->codes.push_back(code);
}

// Writes the RGBA pixels as `name` into the folder ZARVEK_SCREENSHOTS names,
// if it is set.
void save_screenshot(const std::vector<uint8_t> &rgba, uint32_t w, uint32_t h, const char *name) {
    const char *dir = getenv("ZARVEK_SCREENSHOTS");
    if (!dir) return;
    size_t size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba.data(), w, h, &size);
    if (FILE *fp = fopen((std::string(dir) + "/" + name).c_str(), "wb")) {
        if (png) fwrite(png, 1, size, fp);
        fclose(fp);
    }
    VKO_Free(png);
}

// What the server shows in the window (RGBA), once its pixel (x, y) is
// `rgb`: a swap reaches the screen after the call returns. Empty if it
// never is within 2 s.
std::vector<uint8_t> shown(Display *dpy, Window win, int w, int h, int x, int y, uint32_t rgb) {
    XSync(dpy, False);
    for (int tries = 0; tries < 200; tries++) {
        if (XImage *img = XGetImage(dpy, win, 0, 0, w, h, AllPlanes, ZPixmap)) {
            bool there = (XGetPixel(img, x, y) & 0xFFFFFF) == rgb;
            std::vector<uint8_t> rgba = there ? ximage_rgba(img, w, h) : std::vector<uint8_t>();
            XDestroyImage(img);
            if (there) return rgba;
        }
        usleep(10000);
    }
    return {};
}

// Counts the real swaps by standing between the detour and the original.
void *g_original_swap = nullptr;
int g_real_swaps = 0;
void counting_swap(Display *dpy, GLXDrawable d) {
    g_real_swaps++;
    ((void (*)(Display *, GLXDrawable))g_original_swap)(dpy, d);
}

int g_real_egl_swaps = 0;
void *g_original_egl_swap = nullptr;
EGLBoolean counting_egl_swap(EGLDisplay dpy, EGLSurface surface) {
    g_real_egl_swaps++;
    return ((EGLBoolean(*)(EGLDisplay, EGLSurface))g_original_egl_swap)(dpy, surface);
}

struct PresentHooksTest : ::testing::Test {
    Display *dpy = nullptr;
    Window win = 0;
    GLXContext ctx = nullptr;
    Frame frame;
    Errors errors;

    void SetUp() override {
        ASSERT_FALSE(xvfb_display().empty());
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        int attrs[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8,
                       None};
        XVisualInfo *vi = glXChooseVisual(dpy, DefaultScreen(dpy), attrs);
        ASSERT_NE(vi, nullptr);
        XSetWindowAttributes swa = {};
        swa.colormap = XCreateColormap(dpy, RootWindow(dpy, vi->screen), vi->visual, AllocNone);
        win = XCreateWindow(dpy, RootWindow(dpy, vi->screen), 0, 0, 64, 48, 0, vi->depth, InputOutput,
                            vi->visual, CWColormap, &swa);
        XMapWindow(dpy, win);
        ctx = glXCreateContext(dpy, vi, nullptr, True);
        XFree(vi);
        ASSERT_NE(ctx, nullptr);
        ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
        pin_gpu_drivers();
        XSync(dpy, False);
        g_real_swaps = 0;
        g_errors = &errors;
        ASSERT_EQ(hook_gl_install(on_frame, on_error, &frame), 0);
        g_original_swap = hook_gl_swap_buffers_a_real;
        hook_gl_swap_buffers_a_real = (void *)counting_swap;
        g_real_egl_swaps = 0;
        g_original_egl_swap = hook_gl_swap_buffers_b_real;
        hook_gl_swap_buffers_b_real = (void *)counting_egl_swap;
    }

    void TearDown() override {
        hook_gl_use_pack_invert(true);
        if (g_original_swap) hook_gl_swap_buffers_a_real = g_original_swap;
        if (g_original_egl_swap) hook_gl_swap_buffers_b_real = g_original_egl_swap;
        EXPECT_EQ(hooks_remove_all(0), 0);
        EXPECT_FALSE(hooks_installed());
        EXPECT_EQ(hooks_remove_all(0), HOOK_ERR_NO_HOOKS);
        g_errors = nullptr;
        glXMakeCurrent(dpy, None, nullptr);
        if (ctx) glXDestroyContext(dpy, ctx);
        if (win) XDestroyWindow(dpy, win);
        XCloseDisplay(dpy);
    }

    // Top half red, bottom half blue, a green pixel at the top-left corner.
    void draw_picture(int w, int h) {
        glViewport(0, 0, w, h);
        glEnable(GL_SCISSOR_TEST);
        glScissor(0, 0, w, h / 2);
        glClearColor(0, 0, 1, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glScissor(0, h / 2, w, h - h / 2);
        glClearColor(1, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glScissor(0, h - 1, 1, 1);
        glClearColor(0, 1, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
    }

    // The read-back pixel and the texture's texel at (x, y), y from the top:
    // both hold the back buffer as it is, row 0 at the bottom.
    static bool pixel_is(const Frame &f, uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
        size_t row = f.height - 1 - y;
        const uint8_t *p = &f.pixels[row * f.pitch + x * 4];
        const uint8_t *t = &f.texture[(row * f.width + x) * 4];
        return p[0] == r && p[1] == g && p[2] == b && p[3] == 255 && t[0] == r && t[1] == g && t[2] == b &&
               t[3] == 255;
    }

    // The frame holds draw_picture's picture of w x h: the green top-left
    // pixel, the red top half and the blue bottom half at their far corners.
    static ::testing::AssertionResult is_picture(const Frame &f, uint32_t w, uint32_t h) {
        if (f.width != w || f.height != h)
            return ::testing::AssertionFailure()
                   << "the frame is " << f.width << "x" << f.height << ", not " << w << "x" << h;
        if (f.pixels.size() < (size_t)f.pitch * h || f.texture.size() < (size_t)w * h * 4)
            return ::testing::AssertionFailure() << "the frame's pixels are short";
        const struct {
            uint32_t x, y;
            uint8_t r, g, b;
        } want[] = {{0, 0, 0, 255, 0},
                    {w - 1, h / 2 - 1, 255, 0, 0},
                    {0, h / 2, 0, 0, 255},
                    {w - 1, h - 1, 0, 0, 255}};
        for (const auto &p : want)
            if (!pixel_is(f, p.x, p.y, p.r, p.g, p.b))
                return ::testing::AssertionFailure()
                       << "pixel (" << p.x << ", " << p.y << ") is not the picture's";
        return ::testing::AssertionSuccess();
    }

    // One present of the picture with the program's own state set to values
    // the capture step must neither depend on nor disturb.
    void capture_and_check();
    // One GL submission of a texture with a row and column pattern.
    void gl_submission_check();
};

}  // namespace

void PresentHooksTest::capture_and_check() {
    draw_picture(64, 48);
    // The program's own state the step must leave alone.
    GLuint tex = 0, fbo[2] = {}, buf[2] = {};
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glGenFramebuffers(2, fbo);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, fbo[0]);
    glFramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, tex, 0);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    glScissor(1, 2, 3, 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ROW_LENGTH, 7);
    glPixelStorei(GL_PACK_SKIP_ROWS, 2);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 2);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 5);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 3);
    glGenBuffers(2, buf);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, buf[1]);
    glBufferData(GL_PIXEL_UNPACK_BUFFER, 64, nullptr, GL_STREAM_DRAW);

    glXSwapBuffers(dpy, win);  // through this binary's import slot

    EXPECT_EQ(g_real_swaps, 1);
    EXPECT_TRUE(errors.codes.empty());
    ASSERT_EQ(frame.calls, 1);
    EXPECT_EQ(frame.kind, HOOK_KIND_GL);
    EXPECT_EQ((uintptr_t)frame.a, (uintptr_t)win);
    EXPECT_EQ(frame.b, (void *)ctx);
    EXPECT_EQ(frame.c, nullptr);
    EXPECT_EQ(frame.opaque, &frame);
    ASSERT_EQ(frame.width, 64u);
    ASSERT_EQ(frame.height, 48u);
    ASSERT_EQ(frame.pitch, 64u * 4);
    ASSERT_EQ(frame.pixels.size(), 64u * 4 * 48);
    // Row 0 of the read-back and of the texture is the window's bottom row.
    EXPECT_TRUE(pixel_is(frame, 0, 0, 0, 255, 0));
    EXPECT_TRUE(pixel_is(frame, 1, 0, 255, 0, 0));
    EXPECT_TRUE(pixel_is(frame, 10, 10, 255, 0, 0));
    EXPECT_TRUE(pixel_is(frame, 63, 23, 255, 0, 0));
    EXPECT_TRUE(pixel_is(frame, 0, 24, 0, 0, 255));
    EXPECT_TRUE(pixel_is(frame, 10, 30, 0, 0, 255));
    EXPECT_TRUE(pixel_is(frame, 63, 47, 0, 0, 255));

    GLint v = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &v);
    EXPECT_EQ((GLuint)v, tex);
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &v);
    EXPECT_EQ((GLuint)v, fbo[0]);
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &v);
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(glIsEnabled(GL_SCISSOR_TEST));
    GLint box[4];
    glGetIntegerv(GL_SCISSOR_BOX, box);
    EXPECT_EQ(box[0], 1);
    EXPECT_EQ(box[3], 4);
    const std::pair<GLenum, GLint> stores[] = {
        {GL_PACK_ALIGNMENT, 1},   {GL_PACK_ROW_LENGTH, 7},    {GL_PACK_SKIP_ROWS, 2},
        {GL_PACK_SKIP_PIXELS, 0}, {GL_UNPACK_ALIGNMENT, 2},   {GL_UNPACK_ROW_LENGTH, 5},
        {GL_UNPACK_SKIP_ROWS, 0}, {GL_UNPACK_SKIP_PIXELS, 3}, {GL_PACK_INVERT_MESA, 0},
    };
    for (auto [name, want] : stores) {
        v = -1;
        glGetIntegerv(name, &v);
        EXPECT_EQ(v, want) << "pixel store 0x" << std::hex << name;
    }
    glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &v);
    EXPECT_EQ(v, 0);
    glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &v);
    EXPECT_EQ((GLuint)v, buf[1]);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glGetIntegerv(GL_READ_BUFFER, &v);
    EXPECT_EQ(v, GL_BACK);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);

    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    glDeleteBuffers(2, buf);
    glDeleteFramebuffers(2, fbo);
    glDeleteTextures(1, &tex);
}

// Mesa reads the back buffer once and fills the texture from it.
TEST_F(PresentHooksTest, CapturesBackBufferAsItIsAndRestoresState) {
    capture_and_check();
}

// The blit that drivers without the inverted read-back get: the same frame.
TEST_F(PresentHooksTest, BlitCaptureGivesTheSameFrame) {
    hook_gl_use_pack_invert(false);
    capture_and_check();
}

TEST_F(PresentHooksTest, ResizeRemakesTheCopy) {
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 1);
    XResizeWindow(dpy, win, 80, 40);
    XSync(dpy, False);
    draw_picture(80, 40);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 2);
    EXPECT_EQ(g_real_swaps, 2);
    EXPECT_EQ(frame.width, 80u);
    EXPECT_EQ(frame.height, 40u);
    ASSERT_EQ(frame.pixels.size(), 80u * 4 * 40);
    EXPECT_TRUE(pixel_is(frame, 0, 0, 0, 255, 0));
    EXPECT_TRUE(pixel_is(frame, 79, 5, 255, 0, 0));
    EXPECT_TRUE(pixel_is(frame, 79, 39, 0, 0, 255));
}

TEST_F(PresentHooksTest, NoContextReportsAndStillSwaps) {
    glXMakeCurrent(dpy, None, nullptr);
    glXSwapBuffers(dpy, win);
    EXPECT_EQ(frame.calls, 0);
    ASSERT_EQ(errors.codes.size(), 1u);
    EXPECT_EQ(errors.codes[0], HOOK_ERR_GL_NO_CONTEXT);
    EXPECT_EQ(g_real_swaps, 1);
    glXMakeCurrent(dpy, win, ctx);
}

TEST_F(PresentHooksTest, RemovalRestoresTheImportAndRefusesTwice) {
    EXPECT_TRUE(hooks_installed());
    EXPECT_EQ(hook_gl_install(on_frame, on_error, &frame), 4317);
    hook_gl_swap_buffers_a_real = g_original_swap;
    g_original_swap = nullptr;
    hook_gl_swap_buffers_b_real = g_original_egl_swap;
    g_original_egl_swap = nullptr;
    void *egl_swap = dlsym(RTLD_DEFAULT, "eglSwapBuffers");
    EXPECT_GT(detour_patched_slots(egl_swap), 0u);
    ASSERT_EQ(hooks_remove_all(0), 0);
    EXPECT_EQ(hook_gl_swap_buffers_a_real, nullptr);
    EXPECT_EQ(hook_gl_swap_buffers_b_real, nullptr);
    EXPECT_EQ(detour_patched_slots(egl_swap), 0u);
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);  // straight to the library now
    EXPECT_EQ(frame.calls, 0);
    // Installed again for the fixture's tear-down.
    ASSERT_EQ(hook_gl_install(on_frame, on_error, &frame), 0);
}

TEST_F(PresentHooksTest, InstanceRemovesHooksAfterItsWait) {
    ZarvekInstance *z = nullptr;
    ASSERT_EQ(ZarvekInit(nullptr, &z), 0);
    EXPECT_EQ(z->hook_removal_wait_ms, 2000u);
    z->hook_removal_wait_ms = 150;
    z->present_hooks_installed = 1;
    hook_gl_swap_buffers_a_real = g_original_swap;
    g_original_swap = nullptr;
    int64_t start = VKO_GetTime();
    ASSERT_EQ(ZarvekRemoveHooks(z), 0);
    EXPECT_GE(VKO_TimeDiff(start, VKO_GetTime()), 0.14);
    EXPECT_EQ(z->present_hooks_installed, 0);
    EXPECT_FALSE(hooks_installed());
    EXPECT_EQ(ZarvekRemoveHooks(z), HOOK_ERR_NO_HOOKS);
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);
    EXPECT_EQ(frame.calls, 0);
    ZarvekDestroy(&z);
    ASSERT_EQ(hook_gl_install(on_frame, on_error, &frame), 0);
}

// Frame submission from an OpenGL program: the texture comes out top row
// first, read inverted on Mesa and through the blit elsewhere.
TEST_F(PresentHooksTest, GlSubmissionCopiesTextureTopRowFirst) {
    for (bool inverted : {true, false}) {
        SCOPED_TRACE(inverted ? "inverted read-back" : "blit");
        hook_gl_use_pack_invert(inverted);
        gl_submission_check();
    }
}

void PresentHooksTest::gl_submission_check() {
    const uint32_t w = 40, h = 20;
    std::vector<uint8_t> rgba(w * h * 4);
    for (uint32_t y = 0; y < h; y++)  // GL row 0 is the bottom one
        for (uint32_t x = 0; x < w; x++) {
            uint8_t *p = &rgba[(y * w + x) * 4];
            p[0] = (uint8_t)(y * 10), p[1] = 50, p[2] = (uint8_t)(x * 5), p[3] = 255;
        }
    GLuint tex = 0, other = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    glGenTextures(1, &other);
    glBindTexture(GL_TEXTURE_2D, other);
    // An unpack buffer of the application's, too small for any texture.
    GLuint unpack = 0;
    glGenBuffers(1, &unpack);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, unpack);
    glBufferData(GL_PIXEL_UNPACK_BUFFER, 16, nullptr, GL_STREAM_DRAW);

    const SubmitCaptureApi &api = submit_gl_api;
    void *handle = nullptr;
    uint32_t dropped = 0;
    ASSERT_EQ(api.submit(&handle, ctx, nullptr, (void *)(uintptr_t)tex, 0, &dropped), 0);
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ((GLuint)bound, other);
    glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &bound);
    EXPECT_EQ((GLuint)bound, unpack);
    glGetIntegerv(GL_PACK_INVERT_MESA, &bound);
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);

    CaptureFrame f = {};
    ASSERT_EQ(api.poll(handle, 1000, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 1);
    ID3D11Texture2D *out = nullptr;
    ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), 0);
    int bad = 0;
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            const uint8_t *p = out->data() + (size_t)y * out->pitch() + x * 4;  // BGRA
            uint32_t gl_row = h - 1 - y;
            if (p[2] != (uint8_t)(gl_row * 10) || p[1] != 50 || p[0] != (uint8_t)(x * 5)) bad++;
        }
    EXPECT_EQ(bad, 0);
    EXPECT_FALSE(api.device_differs(handle, ctx));
    EXPECT_EQ(api.check_reinit(handle), 0);

    // Not the context the record was made on: refused.
    glXMakeCurrent(dpy, None, nullptr);
    EXPECT_EQ(api.submit(&handle, ctx, nullptr, (void *)(uintptr_t)tex, 0, &dropped), GL_INTEROP_ERR_CONTEXT);
    glXMakeCurrent(dpy, win, ctx);
    // The consumer lets go first: the application's submits are dropped until
    // it lets go itself.
    void *app_handle = handle;
    api.destroy(&handle);
    EXPECT_EQ(handle, nullptr);
    uint32_t before = dropped;
    EXPECT_EQ(api.submit(&app_handle, ctx, nullptr, (void *)(uintptr_t)tex, 0, &dropped), 0);
    EXPECT_EQ(dropped, before + 1);
    EXPECT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    EXPECT_EQ(app_handle, nullptr);
    EXPECT_EQ(handle, nullptr);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    glDeleteBuffers(1, &unpack);
    glDeleteTextures(1, &tex);
    glDeleteTextures(1, &other);
}

namespace {

// An X window of its own with an EGL surface and a context current on it,
// for the tests of EGL programs; close() before the fixture's GLX context is
// made current again (one current context per thread).
struct EglWindow {
    Display *dpy = nullptr;
    EGLDisplay edpy = EGL_NO_DISPLAY;
    Window win = 0;
    EGLSurface surface = EGL_NO_SURFACE;
    EGLContext ctx = EGL_NO_CONTEXT;
    EGLConfig cfg = nullptr;

    // api: what eglBindAPI takes; attrs: eglChooseConfig's, one config must
    // match; cattrs: eglCreateContext's (may be null).
    void make(Display *d, EGLenum api, const EGLint *attrs, const EGLint *cattrs, int w, int h) {
        dpy = d;
        glXMakeCurrent(dpy, None, nullptr);  // one current context per thread
        edpy = eglGetPlatformDisplay(EGL_PLATFORM_X11_KHR, dpy, nullptr);
        ASSERT_NE(edpy, EGL_NO_DISPLAY);
        ASSERT_TRUE(eglInitialize(edpy, nullptr, nullptr));
        ASSERT_TRUE(eglBindAPI(api));
        EGLint n = 0;
        ASSERT_TRUE(eglChooseConfig(edpy, attrs, &cfg, 1, &n));
        ASSERT_EQ(n, 1);
        EGLint visual_id = 0;
        eglGetConfigAttrib(edpy, cfg, EGL_NATIVE_VISUAL_ID, &visual_id);
        XVisualInfo want = {};
        want.visualid = (VisualID)visual_id;
        int count = 0;
        XVisualInfo *vi = XGetVisualInfo(dpy, VisualIDMask, &want, &count);
        ASSERT_NE(vi, nullptr);
        XSetWindowAttributes swa = {};
        swa.colormap = XCreateColormap(dpy, RootWindow(dpy, vi->screen), vi->visual, AllocNone);
        win = XCreateWindow(dpy, RootWindow(dpy, vi->screen), 100, 0, w, h, 0, vi->depth, InputOutput,
                            vi->visual, CWColormap, &swa);
        XFree(vi);
        XMapWindow(dpy, win);
        XSync(dpy, False);
        surface = eglCreateWindowSurface(edpy, cfg, (EGLNativeWindowType)win, nullptr);
        ASSERT_NE(surface, EGL_NO_SURFACE);
        ctx = eglCreateContext(edpy, cfg, EGL_NO_CONTEXT, cattrs);
        ASSERT_NE(ctx, EGL_NO_CONTEXT);
        ASSERT_TRUE(eglMakeCurrent(edpy, surface, surface, ctx));
    }
    void close() {
        if (edpy == EGL_NO_DISPLAY) return;
        eglMakeCurrent(edpy, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        if (ctx != EGL_NO_CONTEXT) eglDestroyContext(edpy, ctx);
        if (surface != EGL_NO_SURFACE) eglDestroySurface(edpy, surface);
        eglTerminate(edpy);
        if (win) XDestroyWindow(dpy, win);
        edpy = EGL_NO_DISPLAY, ctx = EGL_NO_CONTEXT, surface = EGL_NO_SURFACE, win = 0;
    }
    ~EglWindow() { close(); }
};

}  // namespace

// An EGL program on the same X server: eglSwapBuffers is hooked as the GLX
// swap is, the surface's picture reaches the callback as it is, the
// program's state is put back, the real swap runs once and the picture
// reaches the window.
TEST_F(PresentHooksTest, EglSwapCapturesTheSurface) {
    ASSERT_NE(hook_gl_swap_buffers_b_real, nullptr);
    const EGLint attrs[] = {EGL_SURFACE_TYPE,
                            EGL_WINDOW_BIT,
                            EGL_RENDERABLE_TYPE,
                            EGL_OPENGL_BIT,
                            EGL_RED_SIZE,
                            8,
                            EGL_GREEN_SIZE,
                            8,
                            EGL_BLUE_SIZE,
                            8,
                            EGL_NONE};
    const int w = 50, h = 30;  // unlike the GLX window
    EglWindow egl;
    ASSERT_NO_FATAL_FAILURE(egl.make(dpy, EGL_OPENGL_API, attrs, nullptr, w, h));

    draw_picture(w, h);
    GLuint tex = 0, fbo = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, fbo);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    for (bool inverted : {true, false}) {
        SCOPED_TRACE(inverted ? "inverted read-back" : "blit");
        hook_gl_use_pack_invert(inverted);
        frame = Frame{};
        g_real_egl_swaps = 0;
        // Through this binary's import slot.
        EXPECT_EQ(eglSwapBuffers(egl.edpy, egl.surface), (EGLBoolean)EGL_TRUE);
        EXPECT_EQ(g_real_egl_swaps, 1);
        EXPECT_TRUE(errors.codes.empty());
        ASSERT_EQ(frame.calls, 1);
        EXPECT_EQ(frame.kind, HOOK_KIND_GL);
        EXPECT_EQ(frame.a, (void *)egl.surface);
        EXPECT_EQ(frame.b, (void *)egl.ctx);
        ASSERT_EQ(frame.width, (uint32_t)w);
        ASSERT_EQ(frame.height, (uint32_t)h);
        ASSERT_EQ(frame.pixels.size(), (size_t)w * 4 * h);
        EXPECT_TRUE(is_picture(frame, w, h));
        EXPECT_TRUE(pixel_is(frame, 1, 0, 255, 0, 0));
        GLint v = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &v);
        EXPECT_EQ((GLuint)v, tex);
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &v);
        EXPECT_EQ((GLuint)v, fbo);
        glGetIntegerv(GL_PACK_ALIGNMENT, &v);
        EXPECT_EQ(v, 1);
        EXPECT_TRUE(glIsEnabled(GL_SCISSOR_TEST));
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
        draw_picture(w, h);  // the next frame of a double-buffered surface
    }

    // What the server shows: the picture the callback was given.
    std::vector<uint8_t> shot = shown(dpy, egl.win, w, h, 1, 0, 0xFF0000);
    ASSERT_FALSE(shot.empty());
    EXPECT_EQ(shot[0], 0);
    EXPECT_EQ(shot[1], 255);
    EXPECT_EQ(shot[((size_t)(h - 1) * w) * 4 + 2], 255);
    save_screenshot(shot, w, h, "egl_swap.png");

    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fbo);
    glDeleteTextures(1, &tex);
    egl.close();
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

namespace {

void *real_lookup(const char *name) {
    return (void *)glXGetProcAddressARB((const GLubyte *)name);
}
const char *g_hidden = nullptr;
void *hiding_lookup(const char *name) {
    return g_hidden && std::strcmp(name, g_hidden) == 0 ? nullptr : real_lookup(name);
}
const GLubyte *old_version(GLenum) {
    return (const GLubyte *)"2.1 Mesa 22.3.6";
}
void *old_context_lookup(const char *name) {
    return std::strcmp(name, "glGetString") == 0 ? (void *)old_version : real_lookup(name);
}

}  // namespace

// The GL function table: complete on a 3.0 context, all empty when the
// context is older or any entry is missing.
TEST_F(PresentHooksTest, GlFunctionsLoadWholeOrNotAtAll) {
    const size_t slots = sizeof(GlFunctions) / sizeof(void *);
    auto filled = [&](const GlFunctions &f) {
        size_t n = 0;
        void *p[slots];
        std::memcpy(p, &f, sizeof(p));
        for (void *q : p) n += q != nullptr;
        return n;
    };
    GlFunctions fn;
    ASSERT_TRUE(gl_load_functions(&fn, real_lookup));
    EXPECT_EQ(filled(fn), slots);
    EXPECT_GE(fn.GetString(GL_VERSION)[0], '3');

    for (const char *name : {"glGetString", "glBlitFramebuffer", "glMapBufferRange", "glFinish"}) {
        SCOPED_TRACE(name);
        g_hidden = name;
        std::memset((void *)&fn, 0x5A, sizeof(fn));
        EXPECT_FALSE(gl_load_functions(&fn, hiding_lookup));
        EXPECT_EQ(filled(fn), 0u);
    }
    g_hidden = nullptr;
    std::memset((void *)&fn, 0x5A, sizeof(fn));
    EXPECT_FALSE(gl_load_functions(&fn, old_context_lookup));
    EXPECT_EQ(filled(fn), 0u);
    EXPECT_FALSE(gl_load_functions(&fn, nullptr));

    // No current context: glGetString answers nothing, so nothing loads.
    glXMakeCurrent(dpy, None, nullptr);
    EXPECT_FALSE(gl_load_functions(&fn, real_lookup));
    EXPECT_EQ(filled(fn), 0u);
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));

    ASSERT_TRUE(gl_load_functions(&fn, real_lookup));
    gl_clear_functions(&fn);
    EXPECT_EQ(filled(fn), 0u);

    const std::pair<const char *, bool> versions[] = {
        {"4.5 (Compatibility Profile) Mesa 22.3.6", true},
        {"3.0 Mesa", true},
        {"10.1", true},
        {"OpenGL ES 3.2 Mesa 22.3.6", true},
        {"2.1 Mesa 22.3.6", false},
        {"OpenGL ES 2.0 Mesa", false},
        {"OpenGL ES-CM 1.1 Mesa", false},
        {"OpenGL ES", false},
        {"", false},
        {"3", false},
        {"3.", false},
        {".3", false},
        {"99999.0", false},
        {"Mesa", false},
    };
    for (auto [text, want] : versions) EXPECT_EQ(gl_version_at_least_3(text), want) << text;
    EXPECT_FALSE(gl_version_at_least_3(nullptr));
}

// The interop record on a context of its own sharing the program's lists:
// the registered texture reaches the stand-in texture top row first, live
// changes included, and the program's context and bindings are untouched.
TEST_F(PresentHooksTest, GlInteropCopiesTheSharedTextureTopRowFirst) {
    const int64_t live = d3d_live_objects();
    const uint32_t tw = 41, th = 21;  // copied as 40 x 20
    std::vector<uint8_t> rgba(tw * th * 4);
    for (uint32_t y = 0; y < th; y++)
        for (uint32_t x = 0; x < tw; x++) {
            uint8_t *p = &rgba[(y * tw + x) * 4];
            p[0] = (uint8_t)(y * 10), p[1] = 50, p[2] = (uint8_t)(x * 5), p[3] = 255;
        }
    GLuint tex = 0, other = 0, fbo[2] = {};
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, tw, th, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    glGenTextures(1, &other);
    glBindTexture(GL_TEXTURE_2D, other);
    glGenFramebuffers(2, fbo);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, fbo[0]);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, fbo[1]);
    auto program_state_kept = [&] {
        EXPECT_EQ(glXGetCurrentContext(), ctx);
        EXPECT_EQ(glXGetCurrentDrawable(), win);
        GLint v = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &v);
        EXPECT_EQ((GLuint)v, other);
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &v);
        EXPECT_EQ((GLuint)v, fbo[0]);
        glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &v);
        EXPECT_EQ((GLuint)v, fbo[1]);
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    };

    GlInterop *rec = nullptr;
    ASSERT_EQ(gl_interop_create(&rec), 0);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->dc.display, (void *)dpy);
    EXPECT_EQ(rec->dc.drawable, (uintptr_t)win);
    EXPECT_NE(rec->context, nullptr);
    EXPECT_NE(rec->context, (void *)ctx);
    EXPECT_EQ(rec->app_context, (void *)ctx);
    EXPECT_NE(rec->device, nullptr);
    EXPECT_NE(rec->interop_device, nullptr);
    EXPECT_EQ(rec->object, nullptr);
    program_state_kept();

    EXPECT_EQ(gl_interop_copy(rec), SUBMIT_ERR_NO_TEXTURE);  // nothing registered
    ASSERT_EQ(gl_interop_register_object(rec, tex), 0);
    ASSERT_NE(rec->object, nullptr);
    EXPECT_EQ(rec->object->app_texture, tex);
    EXPECT_EQ(rec->object->width, 40u);
    EXPECT_EQ(rec->object->height, 20u);
    ASSERT_NE(rec->object->texture, nullptr);
    program_state_kept();

    auto copy_is = [&](uint8_t green) {
        ASSERT_EQ(gl_interop_copy(rec), 0);
        program_state_kept();
        ID3D11Texture2D *out = rec->object->texture;
        int bad = 0;
        for (uint32_t y = 0; y < 20; y++)
            for (uint32_t x = 0; x < 40; x++) {
                const uint8_t *p = out->data() + (size_t)y * out->pitch() + x * 4;  // BGRA
                uint32_t gl_row = 19 - y;
                if (p[2] != (uint8_t)(gl_row * 10) || p[1] != green || p[0] != (uint8_t)(x * 5) ||
                    p[3] != 255)
                    bad++;
            }
        EXPECT_EQ(bad, 0);
    };
    copy_is(50);
    // The program draws into its texture again: the next copy sees it.
    for (size_t i = 1; i < rgba.size(); i += 4) rgba[i] = 200;
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, tw, th, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    glBindTexture(GL_TEXTURE_2D, other);
    copy_is(200);

    // Bad textures are refused and leave nothing registered.
    EXPECT_EQ(gl_interop_register_object(rec, 0), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_EQ(rec->object, nullptr);
    EXPECT_EQ(gl_interop_register_object(rec, 54321), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_FALSE(glIsTexture(54321));
    EXPECT_EQ(gl_interop_register_object(rec, other), SUBMIT_ERR_NO_TEXTURE);  // no storage
    EXPECT_EQ(rec->object, nullptr);
    program_state_kept();

    ASSERT_EQ(gl_interop_register_object(rec, tex), 0);
    const int64_t with_object = d3d_live_objects();
    gl_interop_release_object(rec);
    EXPECT_EQ(rec->object, nullptr);
    EXPECT_EQ(d3d_live_objects(), with_object - 1);
    gl_interop_release_object(rec);  // twice is harmless
    ASSERT_EQ(gl_interop_register_object(rec, tex), 0);
    gl_interop_destroy(&rec);
    EXPECT_EQ(rec, nullptr);
    gl_interop_destroy(&rec);
    program_state_kept();
    EXPECT_EQ(d3d_live_objects(), live);

    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(2, fbo);
    glDeleteTextures(1, &tex);
    glDeleteTextures(1, &other);
}

// Making the record: its context needs the program's, and the device walk
// passes over failed adapters to the next.
TEST_F(PresentHooksTest, GlInteropNeedsAContextAndWalksTheAdapters) {
    const int64_t live = d3d_live_objects();
    GlInterop *rec = (GlInterop *)&rec;
    glXMakeCurrent(dpy, None, nullptr);
    EXPECT_EQ(gl_interop_create(&rec), GL_INTEROP_ERR_CONTEXT);
    EXPECT_EQ(rec, nullptr);
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));

    d3d_fail("CreateDXGIFactory2", E_FAIL);
    EXPECT_EQ(gl_interop_create(&rec), CAPTURE_ERR_FACTORY);
    d3d_fail("D3D11CreateDevice", E_FAIL);
    EXPECT_EQ(gl_interop_create(&rec), CAPTURE_ERR_DEVICE);  // the only adapter failed
    d3d_fail("IDXGIFactory2_EnumAdapters", E_FAIL);
    EXPECT_EQ(gl_interop_create(&rec), CAPTURE_ERR_DEVICE);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(glXGetCurrentContext(), ctx);
    EXPECT_EQ(d3d_live_objects(), live);

    dxgi_set_adapter_count(3);
    d3d_fail("D3D11CreateDevice", E_FAIL);
    EXPECT_EQ(gl_interop_create(&rec), 0);  // on the second adapter
    ASSERT_NE(rec, nullptr);
    EXPECT_NE(rec->device, nullptr);
    gl_interop_destroy(&rec);
    dxgi_set_adapter_count(1);
    d3d_clear_faults();
    EXPECT_EQ(glXGetCurrentContext(), ctx);
    EXPECT_EQ(d3d_live_objects(), live);
}

namespace {

// A window of its own with a context made for it from a GLX visual or
// framebuffer configuration, for the tests that need more than the fixture's.
struct ExtraWindow {
    Display *dpy = nullptr;
    Window win = 0;
    GLXWindow glx_win = 0;
    GLXContext ctx = nullptr;

    // attrs: glXChooseFBConfig attributes; glx_window: present through a
    // GLXWindow made with glXCreateWindow rather than the X window itself;
    // share: the context whose objects the new one shares; core: a 4.5
    // core-profile context.
    bool make(Display *d, const int *attrs, int w, int h, bool glx_window, GLXContext share = nullptr,
              bool core = false) {
        dpy = d;
        int n = 0;
        GLXFBConfig *cfgs = glXChooseFBConfig(dpy, DefaultScreen(dpy), attrs, &n);
        if (!cfgs || n < 1) return false;
        GLXFBConfig cfg = cfgs[0];
        XFree(cfgs);
        XVisualInfo *vi = glXGetVisualFromFBConfig(dpy, cfg);
        if (!vi) return false;
        XSetWindowAttributes swa = {};
        swa.colormap = XCreateColormap(dpy, RootWindow(dpy, vi->screen), vi->visual, AllocNone);
        win = XCreateWindow(dpy, RootWindow(dpy, vi->screen), 0, 0, w, h, 0, vi->depth, InputOutput,
                            vi->visual, CWColormap, &swa);
        XFree(vi);
        XMapWindow(dpy, win);
        if (glx_window) glx_win = glXCreateWindow(dpy, cfg, win, nullptr);
        if (core) {
            auto create = (PFNGLXCREATECONTEXTATTRIBSARBPROC)glXGetProcAddressARB(
                (const GLubyte *)"glXCreateContextAttribsARB");
            const int cattrs[] = {GLX_CONTEXT_MAJOR_VERSION_ARB,
                                  4,
                                  GLX_CONTEXT_MINOR_VERSION_ARB,
                                  5,
                                  GLX_CONTEXT_PROFILE_MASK_ARB,
                                  GLX_CONTEXT_CORE_PROFILE_BIT_ARB,
                                  None};
            ctx = create ? create(dpy, cfg, share, True, cattrs) : nullptr;
        } else {
            ctx = glXCreateNewContext(dpy, cfg, GLX_RGBA_TYPE, share, True);
        }
        XSync(dpy, False);
        return ctx && current();
    }
    GLXDrawable drawable() const { return glx_win ? glx_win : win; }
    bool current() { return glXMakeContextCurrent(dpy, drawable(), drawable(), ctx); }
    ~ExtraWindow() {
        if (!dpy) return;
        if (glXGetCurrentContext() == ctx) glXMakeContextCurrent(dpy, None, None, nullptr);
        if (ctx) glXDestroyContext(dpy, ctx);
        if (glx_win) glXDestroyWindow(dpy, glx_win);
        if (win) XDestroyWindow(dpy, win);
        XSync(dpy, False);
    }
};

const int kDoubleBufferedRgba[] = {GLX_DRAWABLE_TYPE,
                                   GLX_WINDOW_BIT,
                                   GLX_RENDER_TYPE,
                                   GLX_RGBA_BIT,
                                   GLX_DOUBLEBUFFER,
                                   True,
                                   GLX_RED_SIZE,
                                   8,
                                   GLX_GREEN_SIZE,
                                   8,
                                   GLX_BLUE_SIZE,
                                   8,
                                   None};

// The same configuration, sRGB-capable and with `samples` samples if asked.
std::vector<int> window_config(bool srgb, int samples) {
    std::vector<int> a(kDoubleBufferedRgba,
                       kDoubleBufferedRgba + sizeof(kDoubleBufferedRgba) / sizeof(int) - 1);
    if (srgb) a.insert(a.end(), {GLX_FRAMEBUFFER_SRGB_CAPABLE_ARB, True});
    if (samples) a.insert(a.end(), {GLX_SAMPLE_BUFFERS, 1, GLX_SAMPLES, samples});
    a.push_back(None);
    return a;
}

}  // namespace

// A program presenting a GLXWindow (the GLX 1.3 way, no X drawable of its
// own): captured, its size asked of GLX.
TEST_F(PresentHooksTest, GlxWindowIsCapturedAndTheProgramLives) {
    ExtraWindow ew;
    ASSERT_TRUE(ew.make(dpy, kDoubleBufferedRgba, 56, 40, true));
    draw_picture(56, 40);
    glXSwapBuffers(dpy, ew.drawable());
    EXPECT_EQ(g_real_swaps, 1);
    EXPECT_TRUE(errors.codes.empty());
    ASSERT_EQ(frame.calls, 1);
    EXPECT_EQ((uintptr_t)frame.a, (uintptr_t)ew.glx_win);
    ASSERT_EQ(frame.width, 56u);
    ASSERT_EQ(frame.height, 40u);
    EXPECT_TRUE(is_picture(frame, 56, 40));
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// Two windows with a context each, presenting in turn: each context keeps
// one texture, framebuffer and buffer of the hook's, made on its first
// present, however many frames follow.
TEST_F(PresentHooksTest, TwoContextsPresentingInTurnKeepTheirObjects) {
    ExtraWindow other;
    ASSERT_TRUE(other.make(dpy, kDoubleBufferedRgba, 40, 30, false));
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
    std::vector<GLuint> mine, theirs;
    for (int i = 0; i < 6; i++) {
        ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
        draw_picture(64, 48);
        glXSwapBuffers(dpy, win);
        ASSERT_EQ(frame.width, 64u);
        mine.push_back(*(GLuint *)frame.d);
        ASSERT_TRUE(other.current());
        draw_picture(40, 30);
        glXSwapBuffers(dpy, other.win);
        ASSERT_EQ(frame.width, 40u);
        EXPECT_TRUE(is_picture(frame, 40, 30));
        theirs.push_back(*(GLuint *)frame.d);
    }
    EXPECT_EQ(frame.calls, 12);
    EXPECT_TRUE(errors.codes.empty());
    for (size_t i = 1; i < mine.size(); i++) {
        EXPECT_EQ(mine[i], mine[0]) << i;
        EXPECT_EQ(theirs[i], theirs[0]) << i;
    }
    // The textures the context made early are still the only ones of the hook's.
    EXPECT_FALSE(glIsTexture(theirs[0] + 8));
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// A multisampled back buffer, read both ways: resolved first, the frame is
// the picture; the program's state and its own pending GL error are as it
// left them, and no error of the hook's stays behind.
TEST_F(PresentHooksTest, MultisampledBackBufferIsResolvedAndNoErrorIsLeft) {
    const std::vector<int> attrs = window_config(false, 4);
    ExtraWindow ms;
    ASSERT_TRUE(ms.make(dpy, attrs.data(), 48, 32, false));
    GLint samples = 0;
    glGetIntegerv(GL_SAMPLES, &samples);
    ASSERT_GT(samples, 1);
    for (bool inverted : {true, false}) {
        SCOPED_TRACE(inverted ? "inverted read-back" : "blit");
        hook_gl_use_pack_invert(inverted);
        frame = Frame{};
        draw_picture(48, 32);
        glXSwapBuffers(dpy, ms.win);
        EXPECT_TRUE(errors.codes.empty());
        ASSERT_EQ(frame.calls, 1);
        ASSERT_EQ(frame.width, 48u);
        ASSERT_EQ(frame.height, 32u);
        EXPECT_TRUE(is_picture(frame, 48, 32));
        EXPECT_TRUE(glIsEnabled(GL_SCISSOR_TEST));
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);

        // An error the program made and has not fetched yet is still its own.
        draw_picture(48, 32);
        glEnable(0);
        glXSwapBuffers(dpy, ms.win);
        EXPECT_EQ(glGetError(), (GLenum)GL_INVALID_ENUM);
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    }
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// A swap right after the window was resized presents the back buffer the
// program drew, at its old size: the frame is that picture, not the window's
// new size with the picture shifted into a corner. The next frame, drawn
// after the resize, has the new size.
TEST_F(PresentHooksTest, SwapRightAfterAResizeIsCapturedAtTheBackBuffersSize) {
    draw_picture(64, 48);
    XResizeWindow(dpy, win, 96, 72);
    XSync(dpy, False);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 1);
    EXPECT_TRUE(errors.codes.empty());
    ASSERT_EQ(frame.width, 64u);
    ASSERT_EQ(frame.height, 48u);
    EXPECT_TRUE(is_picture(frame, 64, 48));

    draw_picture(96, 72);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 2);
    ASSERT_EQ(frame.width, 96u);
    ASSERT_EQ(frame.height, 72u);
    EXPECT_TRUE(is_picture(frame, 96, 72));

    // Smaller: the back buffer is larger than the window at the swap.
    draw_picture(96, 72);
    XResizeWindow(dpy, win, 40, 30);
    XSync(dpy, False);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 3);
    ASSERT_EQ(frame.width, 96u);
    ASSERT_EQ(frame.height, 72u);
    EXPECT_TRUE(is_picture(frame, 96, 72));

    draw_picture(40, 30);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 4);
    ASSERT_EQ(frame.width, 40u);
    ASSERT_EQ(frame.height, 30u);
    EXPECT_TRUE(is_picture(frame, 40, 30));
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

// Another thread presents all along while the hook is removed and attached
// again: the detour reads its trampoline slot while attach and removal write
// it (the thread-sanitizer build checks the accesses).
TEST_F(PresentHooksTest, AttachAndRemovalWhileAnotherThreadPresents) {
    hook_gl_swap_buffers_a_real = g_original_swap;
    g_original_swap = nullptr;
    hook_gl_swap_buffers_b_real = g_original_egl_swap;
    g_original_egl_swap = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread presenter([&] {
        Display *d = XOpenDisplay(nullptr);
        if (!d) return;
        {
            ExtraWindow ew;
            if (ew.make(d, kDoubleBufferedRgba, 32, 24, false)) {
                while (!stop) {
                    glClearColor(1, 0, 0, 1);
                    glClear(GL_COLOR_BUFFER_BIT);
                    glXSwapBuffers(d, ew.win);
                    swaps++;
                }
            }
        }
        XCloseDisplay(d);
    });
    // Each round waits (bounded) until the other thread has presented again.
    for (int i = 0; i < 5; i++) {
        int before = swaps;
        for (int tries = 0; tries < 20000 && swaps < before + 2; tries++) usleep(1000);
        EXPECT_GE(swaps, before + 2);
        EXPECT_EQ(hooks_remove_all(0), 0);
        EXPECT_EQ(hook_gl_install(on_frame, on_error, &frame), 0);
    }
    stop = true;
    presenter.join();
}

// An OpenGL ES 3 program (no inverted read-back there) with a multisampled
// surface: resolved before the flip, the frame is the picture, and the
// program's next glGetError answers only what it made itself.
TEST_F(PresentHooksTest, MultisampledOpenGlEsSurfaceIsResolved) {
    const EGLint attrs[] = {EGL_SURFACE_TYPE,
                            EGL_WINDOW_BIT,
                            EGL_RENDERABLE_TYPE,
                            EGL_OPENGL_ES3_BIT,
                            EGL_RED_SIZE,
                            8,
                            EGL_GREEN_SIZE,
                            8,
                            EGL_BLUE_SIZE,
                            8,
                            EGL_ALPHA_SIZE,
                            8,
                            EGL_SAMPLE_BUFFERS,
                            1,
                            EGL_SAMPLES,
                            4,
                            EGL_NONE};
    const EGLint cattrs[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_NONE};
    const int w = 44, h = 28;
    EglWindow egl;
    ASSERT_NO_FATAL_FAILURE(egl.make(dpy, EGL_OPENGL_ES_API, attrs, cattrs, w, h));
    ASSERT_EQ(std::strncmp((const char *)glGetString(GL_VERSION), "OpenGL ES 3", 11), 0);
    GLint samples = 0;
    glGetIntegerv(GL_SAMPLE_BUFFERS, &samples);
    EXPECT_EQ(samples, 1);

    auto px_is = [&](uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
        const uint8_t *p = &frame.pixels[(size_t)(h - 1 - y) * frame.pitch + x * 4];
        return p[0] == r && p[1] == g && p[2] == b;
    };
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        frame = Frame{};
        draw_picture(w, h);
        if (round == 1) glEnable(0);  // an error of the program's own
        eglSwapBuffers(egl.edpy, egl.surface);
        EXPECT_TRUE(errors.codes.empty());
        ASSERT_EQ(frame.calls, 1);
        ASSERT_EQ(frame.pitch, (uint32_t)w * 4);
        ASSERT_EQ(frame.pixels.size(), (size_t)w * 4 * h);
        EXPECT_TRUE(px_is(0, 0, 0, 255, 0));
        EXPECT_TRUE(px_is(w - 1, h / 2 - 1, 255, 0, 0));
        EXPECT_TRUE(px_is(0, h / 2, 0, 0, 255));
        EXPECT_TRUE(px_is(w - 1, h - 1, 0, 0, 255));
        EXPECT_TRUE(glIsEnabled(GL_SCISSOR_TEST));
        if (round == 1) {
            EXPECT_EQ(glGetError(), (GLenum)GL_INVALID_ENUM);
        }
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    }

    egl.close();
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// A program that fetched libGL's glXSwapBuffers itself (before or after the
// attach) is captured too: with GLVND that export forwards through libGLX,
// whose swap is hooked.
TEST_F(PresentHooksTest, SwapThroughAPointerToLibGlsExportIsCaptured) {
    void *lib = dlopen("libGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    auto swap = (void (*)(Display *, GLXDrawable))dlsym(lib, "glXSwapBuffers");
    dlclose(lib);
    ASSERT_NE(swap, nullptr);
    draw_picture(64, 48);
    swap(dpy, win);
    EXPECT_TRUE(errors.codes.empty());
    ASSERT_EQ(frame.calls, 1);
    EXPECT_TRUE(is_picture(frame, 64, 48));
}

// A swap fetched through glXGetProcAddress(ARB) after the attach is the
// hook's; fetched after the removal, the library's own again.
TEST_F(PresentHooksTest, SwapFetchedThroughGetProcAddressAfterTheAttachIsCaptured) {
    for (auto lookup : {glXGetProcAddressARB, glXGetProcAddress}) {
        frame = Frame{};
        auto swap = (void (*)(Display *, GLXDrawable))lookup((const GLubyte *)"glXSwapBuffers");
        ASSERT_NE(swap, nullptr);
        draw_picture(64, 48);
        swap(dpy, win);
        EXPECT_TRUE(errors.codes.empty());
        ASSERT_EQ(frame.calls, 1);
        EXPECT_TRUE(is_picture(frame, 64, 48));
        // Other names are the library's answers.
        EXPECT_EQ((void *)lookup((const GLubyte *)"glClear"), (void *)real_lookup("glClear"));
    }
    hook_gl_swap_buffers_a_real = g_original_swap;
    g_original_swap = nullptr;
    hook_gl_swap_buffers_b_real = g_original_egl_swap;
    g_original_egl_swap = nullptr;
    ASSERT_EQ(hooks_remove_all(0), 0);
    auto swap = (void (*)(Display *, GLXDrawable))glXGetProcAddressARB((const GLubyte *)"glXSwapBuffers");
    EXPECT_NE((void *)swap, (void *)hook_gl_swap_buffers_a);
    ASSERT_EQ(hook_gl_install(on_frame, on_error, &frame), 0);
}

// The hook's objects gone from its context (as when a context made at the
// address of a destroyed one presents): they are made anew, the frame is
// whole.
TEST_F(PresentHooksTest, ObjectsGoneFromTheContextAreMadeAgain) {
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 1);
    GLuint texture = *(GLuint *)frame.d;
    glDeleteTextures(1, &texture);
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 2);
    EXPECT_TRUE(errors.codes.empty());
    EXPECT_TRUE(is_picture(frame, 64, 48));
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

// A GL submission of a texture that cannot be read as colour (a depth
// texture) is refused, and the copy leaves no error of its own behind while
// the application's pending one stays.
TEST_F(PresentHooksTest, GlSubmissionOfAnUnreadableTextureIsRefusedCleanly) {
    GLuint depth = 0, colour = 0;
    glGenTextures(1, &depth);
    glBindTexture(GL_TEXTURE_2D, depth);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT24, 16, 8, 0, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT,
                 nullptr);
    glGenTextures(1, &colour);
    glBindTexture(GL_TEXTURE_2D, colour);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 16, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    ASSERT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    const SubmitCaptureApi &api = submit_gl_api;
    void *handle = nullptr;
    uint32_t dropped = 0;
    for (bool inverted : {true, false}) {
        SCOPED_TRACE(inverted ? "inverted read-back" : "blit");
        hook_gl_use_pack_invert(inverted);
        EXPECT_EQ(submit_texture(&handle, ctx, depth), SUBMIT_ERR_NO_TEXTURE);
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
        glEnable(0);  // the application's own
        EXPECT_EQ(api.submit(&handle, ctx, nullptr, (void *)(uintptr_t)colour, 0, &dropped), 0);
        EXPECT_EQ(glGetError(), (GLenum)GL_INVALID_ENUM);
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
        CaptureFrame f = {};
        ASSERT_EQ(api.poll(handle, 1000, nullptr, &f), 0);
        EXPECT_EQ(f.new_frame, 1);
    }
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ((GLuint)bound, colour);
    both_let_go(api, &handle);
    glDeleteTextures(1, &depth);
    glDeleteTextures(1, &colour);
}

// The hook's texture handed to the OpenGL submission, as an embedding
// application chains them: the window's top-left pixel arrives as the
// frame's top-left pixel, whichever read-back the two take.
TEST_F(PresentHooksTest, HookedFramesStreamUprightThroughTheGlSubmission) {
    const SubmitCaptureApi &api = submit_gl_api;
    for (bool inverted : {true, false}) {
        SCOPED_TRACE(inverted ? "inverted read-back" : "blit");
        hook_gl_use_pack_invert(inverted);
        Chain chain;
        g_chain = &chain;
        draw_picture(64, 48);
        glXSwapBuffers(dpy, win);
        g_chain = nullptr;
        ASSERT_EQ(chain.result, 0);
        CaptureFrame f = {};
        ASSERT_EQ(api.poll(chain.handle, 1000, nullptr, &f), 0);
        ASSERT_EQ(f.new_frame, 1);
        ID3D11Texture2D *out = nullptr;
        ASSERT_EQ(api.get_texture(chain.handle, CAPTURE_FORMAT_ASIS, &out), 0);
        uint16_t w = 0, h = 0;
        uint32_t format = 0;
        api.get_desc(chain.handle, &w, &h, &format);
        ASSERT_EQ(w, 64);
        ASSERT_EQ(h, 48);
        auto bgr_at = [&](uint32_t x, uint32_t y) {
            const uint8_t *p = out->data() + (size_t)y * out->pitch() + x * 4;
            return (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
        };
        EXPECT_EQ(bgr_at(0, 0), 0x00FF00u);  // the green top-left pixel
        EXPECT_EQ(bgr_at(1, 0), 0xFF0000u);  // the red top half
        EXPECT_EQ(bgr_at(63, 23), 0xFF0000u);
        EXPECT_EQ(bgr_at(0, 24), 0x0000FFu);  // the blue bottom half
        EXPECT_EQ(bgr_at(63, 47), 0x0000FFu);
        std::vector<uint8_t> rgba((size_t)w * h * 4);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) {
                const uint8_t *p = out->data() + (size_t)y * out->pitch() + x * 4;
                uint8_t *q = &rgba[((size_t)y * w + x) * 4];
                q[0] = p[2], q[1] = p[1], q[2] = p[0], q[3] = 255;
            }
        save_screenshot(rgba, w, h, inverted ? "gl_chain_inverted.png" : "gl_chain_blit.png");
        both_let_go(api, &chain.handle);
    }
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

namespace {

int g_program_errors = 0;
bool g_swap_handler_once = false;
XErrorHandler g_saved_handler = nullptr;

// The program's X error handler; on its first call it saves whatever handler
// is installed and puts itself in its place, as another thread of the
// program that saves and later restores its handler does.
int program_error_handler(Display *, XErrorEvent *) {
    g_program_errors++;
    if (g_swap_handler_once) {
        g_swap_handler_once = false;
        g_saved_handler = XSetErrorHandler(program_error_handler);
    }
    return 0;
}

}  // namespace

// An error of the program's own arrives while the hook's X error trap is in
// place, and the program saves the trap as its handler and restores it after
// the trap ended: the hook's next trap must not take itself for the
// program's handler, so the program's next error still reaches its handler
// (it used to recurse until the stack overflowed).
TEST_F(PresentHooksTest, XErrorTrapNeverForwardsToItself) {
    XErrorHandler original = XSetErrorHandler(program_error_handler);
    g_program_errors = 0;
    g_saved_handler = nullptr;
    g_swap_handler_once = true;
    const Window bogus = 0x3FFFFFF0;
    {
        ExtraWindow first;  // a drawable new to its context: its size is asked of GLX
        ASSERT_TRUE(first.make(dpy, kDoubleBufferedRgba, 32, 24, false));
        draw_picture(32, 24);
        XMapWindow(dpy, bogus);  // its error comes back during the size query
        glXSwapBuffers(dpy, first.win);
    }
    ASSERT_EQ(g_program_errors, 1);
    ASSERT_NE(g_saved_handler, nullptr);
    ASSERT_NE(g_saved_handler, (XErrorHandler)program_error_handler);  // the trap's
    XSetErrorHandler(g_saved_handler);
    {
        ExtraWindow second;
        ASSERT_TRUE(second.make(dpy, kDoubleBufferedRgba, 32, 24, false));
        draw_picture(32, 24);
        glXSwapBuffers(dpy, second.win);
    }
    XMapWindow(dpy, bogus);
    XSync(dpy, False);
    EXPECT_EQ(g_program_errors, 2);
    XSetErrorHandler(original);
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
    EXPECT_TRUE(errors.codes.empty());
}

// The lookups taken while hooked (a pointer read through the program's
// import slot) answer as the library's after the removal.
TEST_F(PresentHooksTest, LookupPointerTakenWhileHookedAnswersAfterTheRemoval) {
    auto held_arb = glXGetProcAddressARB;
    auto held = glXGetProcAddress;
    void *glx = dlopen("libGLX.so.0", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(glx, nullptr);
    void *real_arb = dlsym(glx, "glXGetProcAddressARB");
    void *real_swap = dlsym(glx, "glXSwapBuffers");
    dlclose(glx);
    ASSERT_NE((void *)held_arb, real_arb);  // the hook's
    hook_gl_swap_buffers_a_real = g_original_swap;
    g_original_swap = nullptr;
    hook_gl_swap_buffers_b_real = g_original_egl_swap;
    g_original_egl_swap = nullptr;
    ASSERT_EQ(hooks_remove_all(0), 0);
    for (auto lookup : {held_arb, held}) {
        EXPECT_EQ((void *)lookup((const GLubyte *)"glClear"), real_lookup("glClear"));
        EXPECT_EQ((void *)lookup((const GLubyte *)"glXSwapBuffers"), real_swap);
    }
    ASSERT_EQ(hook_gl_install(on_frame, on_error, &frame), 0);
}

// Integer texels cannot be read as colour: the submission refuses them and
// hands on no frame, leaving no error behind.
TEST_F(PresentHooksTest, GlSubmissionRefusesIntegerTextures) {
    const SubmitCaptureApi &api = submit_gl_api;
    void *handle = nullptr;
    uint32_t dropped = 0;
    std::vector<uint8_t> texels(16 * 8 * 16, 7);
    const struct {
        GLenum internal, format, type;
    } kinds[] = {{GL_RGBA8UI, GL_RGBA_INTEGER, GL_UNSIGNED_BYTE},
                 {GL_RGBA32I, GL_RGBA_INTEGER, GL_INT},
                 {GL_R16UI, GL_RED_INTEGER, GL_UNSIGNED_SHORT}};
    for (bool inverted : {true, false}) {
        hook_gl_use_pack_invert(inverted);
        for (const auto &k : kinds) {
            SCOPED_TRACE(std::to_string(k.internal) + (inverted ? " inverted read-back" : " blit"));
            GLuint tex = 0;
            glGenTextures(1, &tex);
            glBindTexture(GL_TEXTURE_2D, tex);
            glTexImage2D(GL_TEXTURE_2D, 0, (GLint)k.internal, 16, 8, 0, k.format, k.type, texels.data());
            ASSERT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
            EXPECT_EQ(api.submit(&handle, ctx, nullptr, (void *)(uintptr_t)tex, 0, &dropped),
                      SUBMIT_ERR_NO_TEXTURE);
            EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
            CaptureFrame f = {};
            ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
            EXPECT_EQ(f.new_frame, 0);
            glDeleteTextures(1, &tex);
        }
    }
    EXPECT_EQ(dropped, 0u);
    both_let_go(api, &handle);
}

namespace {

// Makes each kind of GL error a program can leave pending; fixes up what
// the failing call did not undo itself.
struct PendingError {
    const char *name;
    GLenum code;
    void (*make)();
    void (*after)();
};

// The program's own objects that a case leaves bound across the swap.
GLuint g_case_object = 0;

const PendingError kPendingErrors[] = {
    {"invalid enum", GL_INVALID_ENUM, [] { glEnable(0); }, [] {}},
    // Raised again by a call that fails whatever the program has bound.
    {"invalid operation, an incomplete framebuffer bound", GL_INVALID_OPERATION,
     [] {
         glEnd();
         glGenFramebuffers(1, &g_case_object);
         glBindFramebuffer(GL_FRAMEBUFFER, g_case_object);
     },
     [] {
         glBindFramebuffer(GL_FRAMEBUFFER, 0);
         glDeleteFramebuffers(1, &g_case_object);
     }},
    // No call raises it at will: it must never be fetched.
    {"out of memory", GL_OUT_OF_MEMORY,
     [] {
         glGenTextures(1, &g_case_object);
         glBindTexture(GL_TEXTURE_2D, g_case_object);
         glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, 16384, 16384, 0, GL_RGBA, GL_FLOAT, nullptr);
     },
     [] { glDeleteTextures(1, &g_case_object); }},
    {"invalid value", GL_INVALID_VALUE, [] { glGenTextures(-1, nullptr); }, [] {}},
    {"invalid operation", GL_INVALID_OPERATION, [] { glEnd(); }, [] {}},
    {"invalid framebuffer operation", GL_INVALID_FRAMEBUFFER_OPERATION,
     [] {
         GLuint fb = 0;
         glGenFramebuffers(1, &fb);
         glBindFramebuffer(GL_FRAMEBUFFER, fb);
         glClear(GL_COLOR_BUFFER_BIT);  // nothing attached
         glBindFramebuffer(GL_FRAMEBUFFER, 0);
         glDeleteFramebuffers(1, &fb);
     },
     [] {}},
    {"stack underflow", GL_STACK_UNDERFLOW, [] { glPopMatrix(); }, [] {}},
    {"stack overflow", GL_STACK_OVERFLOW,
     [] {
         GLint max = 0;
         glGetIntegerv(GL_MAX_MODELVIEW_STACK_DEPTH, &max);
         for (GLint i = 0; i < max; i++) glPushMatrix();
     },
     [] {
         GLint depth = 0;
         glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth);
         for (GLint i = 1; i < depth; i++) glPopMatrix();
     }},
};

}  // namespace

// Every kind of error the program left pending is still its own after the
// hooked swap and after a submission, and the stacks the hook raised them
// with are as they were.
TEST_F(PresentHooksTest, EveryPendingErrorKindSurvivesTheSwapAndTheSubmission) {
    GLuint tex = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 16, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    const SubmitCaptureApi &api = submit_gl_api;
    void *handle = nullptr;
    for (const PendingError &e : kPendingErrors) {
        for (bool submission : {false, true}) {
            SCOPED_TRACE(std::string(e.name) + (submission ? " submission" : " swap"));
            ASSERT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
            GLint depths[2] = {-1, -1};
            draw_picture(64, 48);
            e.make();
            if (submission) {
                EXPECT_EQ(submit_texture(&handle, ctx, tex), 0);
            } else {
                glXSwapBuffers(dpy, win);
            }
            EXPECT_EQ(glGetError(), e.code);
            EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
            glGetIntegerv(GL_CLIENT_ATTRIB_STACK_DEPTH, &depths[0]);
            glGetIntegerv(GL_DEBUG_GROUP_STACK_DEPTH, &depths[1]);
            EXPECT_EQ(depths[0], 0);
            EXPECT_EQ(depths[1], 1);
            e.after();
        }
    }
    EXPECT_TRUE(errors.codes.empty());
    both_let_go(api, &handle);
    glDeleteTextures(1, &tex);
}

// A context that presented nothing for a long time keeps its record while
// more contexts than there are records present: its objects are never left
// behind in it for new ones (the context beyond the records gets objects for
// its frames only).
TEST_F(PresentHooksTest, AnIdleContextKeepsItsObjectsWhileMoreContextsPresent) {
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 1);
    const GLuint texture = *(GLuint *)frame.d;
    // Longer than records used to be kept for idle contexts.
    usleep(5200 * 1000);
    std::vector<std::unique_ptr<ExtraWindow>> others;
    for (int i = 0; i < 16; i++) {
        others.push_back(std::make_unique<ExtraWindow>());
        ASSERT_TRUE(others.back()->make(dpy, kDoubleBufferedRgba, 40, 30, false));
        draw_picture(40, 30);
        glXSwapBuffers(dpy, others.back()->win);
        ASSERT_EQ(frame.width, 40u);
        EXPECT_TRUE(is_picture(frame, 40, 30));
    }
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);
    EXPECT_EQ(*(GLuint *)frame.d, texture);
    EXPECT_TRUE(is_picture(frame, 64, 48));
    EXPECT_TRUE(errors.codes.empty());
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

namespace {

// The program's pixel state that a blit or a read-back obeys, as programs
// that render gamma-correctly or adjust colours leave it on; checked and
// turned off again by expect_pixel_state_kept.
void set_pixel_state() {
    glEnable(GL_FRAMEBUFFER_SRGB);
    glPixelTransferf(GL_RED_SCALE, 0.5f);
    glPixelTransferf(GL_GREEN_BIAS, 0.25f);
}

void expect_pixel_state_kept() {
    EXPECT_TRUE(glIsEnabled(GL_FRAMEBUFFER_SRGB));
    GLfloat scale = 0, bias = 0;
    glGetFloatv(GL_RED_SCALE, &scale);
    glGetFloatv(GL_GREEN_BIAS, &bias);
    EXPECT_EQ(scale, 0.5f);
    EXPECT_EQ(bias, 0.25f);
    glDisable(GL_FRAMEBUFFER_SRGB);
    glPixelTransferf(GL_RED_SCALE, 1);
    glPixelTransferf(GL_GREEN_BIAS, 0);
}

// How many of the RGBA pixels' colours are not grey 0x80.
size_t not_grey(const uint8_t *px, size_t count, size_t stride) {
    size_t bad = 0;
    for (size_t i = 0; i < count; i++, px += stride) bad += px[0] != 0x80 || px[1] != 0x80 || px[2] != 0x80;
    return bad;
}

// Objects carrying the hook's label among the first names of each kind in
// the current context (and its share group).
int hook_objects() {
    int n = 0;
    for (GLuint name = 1; name < 256; name++) {
        const std::pair<GLenum, GLboolean> kinds[] = {{GL_TEXTURE, glIsTexture(name)},
                                                      {GL_FRAMEBUFFER, glIsFramebuffer(name)},
                                                      {GL_BUFFER, glIsBuffer(name)}};
        for (auto [kind, is] : kinds) {
            char text[64] = {};
            GLsizei length = 0;
            if (is) glGetObjectLabel(kind, name, sizeof(text), &length, text);
            n += std::strncmp(text, "zarvek present hook", 19) == 0;
        }
    }
    return n;
}

int g_debug_errors = 0;
void GLAPIENTRY count_debug_errors(GLenum, GLenum type, GLuint, GLenum, GLsizei, const GLchar *message,
                                   const void *) {
    if (type != GL_DEBUG_TYPE_ERROR) return;
    g_debug_errors++;
    std::fprintf(stderr, "GL error seen by the program's debug callback: %s\n", message);
}

}  // namespace

// A program that renders gamma-correctly leaves its sRGB writes on, and one
// that adjusts colours its pixel transfer: the frame still holds the bytes
// the window holds (grey 0x80, not 0x37), single- or multisampled, by either
// read-back, and the program's settings stay.
TEST_F(PresentHooksTest, SrgbWritesAndPixelTransferLeaveTheFrameAsTheWindowHoldsIt) {
    for (int samples : {0, 4}) {
        ExtraWindow ew;
        ASSERT_TRUE(ew.make(dpy, window_config(true, samples).data(), 48, 32, false));
        GLint encoding = 0;
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_BACK_LEFT,
                                              GL_FRAMEBUFFER_ATTACHMENT_COLOR_ENCODING, &encoding);
        ASSERT_EQ(encoding, GL_SRGB);
        for (bool inverted : {true, false}) {
            SCOPED_TRACE(std::string(samples ? "multisampled" : "single-sampled") +
                         (inverted ? ", inverted read-back" : ", blit"));
            hook_gl_use_pack_invert(inverted);
            frame = Frame{};
            glClearColor(128 / 255.0f, 128 / 255.0f, 128 / 255.0f, 1);
            glClear(GL_COLOR_BUFFER_BIT);
            set_pixel_state();
            glXSwapBuffers(dpy, ew.win);
            ASSERT_EQ(frame.calls, 1);
            ASSERT_EQ(frame.width, 48u);
            ASSERT_EQ(frame.pixels.size(), 48u * 32 * 4);
            EXPECT_EQ(not_grey(frame.pixels.data(), 48 * 32, 4), 0u) << (int)frame.pixels[0];
            EXPECT_EQ(not_grey(frame.texture.data(), 48 * 32, 4), 0u) << (int)frame.texture[0];
            expect_pixel_state_kept();
            EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
            // The grey the server shows.
            std::vector<uint8_t> shot = shown(dpy, ew.win, 48, 32, 0, 0, 0x808080);
            EXPECT_FALSE(shot.empty());
            if (!samples && inverted) save_screenshot(shot, 48, 32, "srgb_window.png");
            glClearColor(0, 0, 0, 1);  // the next frame shows otherwise
            glClear(GL_COLOR_BUFFER_BIT);
            glXSwapBuffers(dpy, ew.win);
        }
    }
    EXPECT_TRUE(errors.codes.empty());
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// The same for a GL_SRGB8_ALPHA8 texture handed to the GL submission.
TEST_F(PresentHooksTest, GlSubmissionOfAnSrgbTextureKeepsItsBytes) {
    const uint32_t w = 16, h = 8;
    std::vector<uint8_t> grey(w * h * 4, 0x80);
    GLuint tex = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_SRGB8_ALPHA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, grey.data());
    const SubmitCaptureApi &api = submit_gl_api;
    void *handle = nullptr;
    for (bool inverted : {true, false}) {
        SCOPED_TRACE(inverted ? "inverted read-back" : "blit");
        hook_gl_use_pack_invert(inverted);
        set_pixel_state();
        ASSERT_EQ(submit_texture(&handle, ctx, tex), 0);
        expect_pixel_state_kept();
        CaptureFrame f = {};
        ASSERT_EQ(api.poll(handle, 1000, nullptr, &f), 0);
        ASSERT_EQ(f.new_frame, 1);
        ID3D11Texture2D *out = nullptr;
        ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), 0);
        size_t bad = 0;
        for (uint32_t y = 0; y < h; y++) bad += not_grey(out->data() + (size_t)y * out->pitch(), w, 4);
        EXPECT_EQ(bad, 0u) << (int)out->data()[0];
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    }
    both_let_go(api, &handle);
    glDeleteTextures(1, &tex);
}

// Capture stopped and started again, as a host does when its guests come
// and go: the context takes its objects back, none is left behind.
TEST_F(PresentHooksTest, StopAndStartOfCaptureLeavesNoObjectsBehind) {
    draw_picture(64, 48);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 1);
    EXPECT_EQ(hook_objects(), 3);  // texture, framebuffer, pixel buffer
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        hook_gl_swap_buffers_a_real = g_original_swap;
        hook_gl_swap_buffers_b_real = g_original_egl_swap;
        ASSERT_EQ(hooks_remove_all(0), 0);
        ASSERT_EQ(hook_gl_install(on_frame, on_error, &frame), 0);
        g_original_swap = hook_gl_swap_buffers_a_real;
        hook_gl_swap_buffers_a_real = (void *)counting_swap;
        g_original_egl_swap = hook_gl_swap_buffers_b_real;
        hook_gl_swap_buffers_b_real = (void *)counting_egl_swap;
        frame = Frame{};
        draw_picture(64, 48);
        glXSwapBuffers(dpy, win);
        ASSERT_EQ(frame.calls, 1);
        EXPECT_TRUE(is_picture(frame, 64, 48));
        EXPECT_EQ(hook_objects(), 3);
    }
    EXPECT_TRUE(errors.codes.empty());
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

// A program that made 16 contexts (in one share group) and destroyed them:
// the next context keeps its objects from frame to frame (one texture and
// one pixel buffer made in all), and the gone contexts' textures and
// buffers, which their share group kept, are deleted.
TEST_F(PresentHooksTest, RecordsOfGoneContextsAreTakenBack) {
    ExtraWindow last;  // made first, so that it cannot take a gone context's address
    ASSERT_TRUE(last.make(dpy, kDoubleBufferedRgba, 40, 30, false));
    {
        std::vector<std::unique_ptr<ExtraWindow>> gone;
        for (int i = 0; i < 16; i++) {
            gone.push_back(std::make_unique<ExtraWindow>());
            ASSERT_TRUE(gone.back()->make(dpy, kDoubleBufferedRgba, 40, 30, false, last.ctx));
            draw_picture(40, 30);
            glXSwapBuffers(dpy, gone.back()->win);
            ASSERT_TRUE(is_picture(frame, 40, 30));
        }
    }
    ASSERT_TRUE(last.current());
    const uint64_t made = hook_gl_objects_made();
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        draw_picture(40, 30);
        glXSwapBuffers(dpy, last.win);
        EXPECT_TRUE(is_picture(frame, 40, 30));
        EXPECT_TRUE(glIsTexture(*(GLuint *)frame.d));  // still there after the swap
    }
    EXPECT_EQ(hook_gl_objects_made() - made, 2u);
    EXPECT_EQ(hook_objects(), 3);
    EXPECT_TRUE(errors.codes.empty());
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// The hook's and the submission's own calls raise no GL error, so a
// program's debug callback sees none: in a core-profile context (which
// refuses the older queries) with a multisampled back buffer, after the
// program deleted the hook's objects, and for a texture that is no 2-D one.
TEST_F(PresentHooksTest, HookAndSubmissionRaiseNoErrorOfTheirOwn) {
    const std::vector<int> attrs = window_config(false, 4);
    ExtraWindow core;
    ASSERT_TRUE(core.make(dpy, attrs.data(), 48, 32, false, nullptr, true));
    GLint mask = 0;
    glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &mask);
    ASSERT_EQ(mask, GL_CONTEXT_CORE_PROFILE_BIT);
    g_debug_errors = 0;
    glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
    glEnable(GL_DEBUG_OUTPUT);
    glDebugMessageCallback(count_debug_errors, nullptr);
    GLuint tex = 0, volume = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 16, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glGenTextures(1, &volume);
    glBindTexture(GL_TEXTURE_3D, volume);
    glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA8, 4, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    const SubmitCaptureApi &api = submit_gl_api;
    void *handle = nullptr;
    uint32_t dropped = 0;
    for (bool inverted : {true, false}) {
        SCOPED_TRACE(inverted ? "inverted read-back" : "blit");
        hook_gl_use_pack_invert(inverted);
        for (int i = 0; i < 2; i++) {
            frame = Frame{};
            draw_picture(48, 32);
            glXSwapBuffers(dpy, core.win);
            ASSERT_EQ(frame.calls, 1);
            EXPECT_TRUE(is_picture(frame, 48, 32));
            GLuint hooks = *(GLuint *)frame.d;
            if (i == 0) glDeleteTextures(1, &hooks);  // made again at the next present
        }
        EXPECT_EQ(submit_texture(&handle, core.ctx, tex), 0);
        CaptureFrame ready = {};
        ASSERT_EQ(api.poll(handle, 1000, nullptr, &ready), 0);
        EXPECT_EQ(ready.new_frame, 1);
        api.poll(handle, 0, nullptr, &ready);
        EXPECT_EQ(api.submit(&handle, core.ctx, nullptr, (void *)(uintptr_t)volume, 0, &dropped),
                  SUBMIT_ERR_NO_TEXTURE);
    }
    EXPECT_EQ(g_debug_errors, 0);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    EXPECT_TRUE(errors.codes.empty());
    glDisable(GL_DEBUG_OUTPUT);
    both_let_go(api, &handle);
    glDeleteTextures(1, &tex);
    glDeleteTextures(1, &volume);
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// GLX lets a program swap a window other than the one its context draws
// to: that swap presents nothing the hook could read, so no frame is
// reported (not the current window's picture at the other's size); the
// real swap still runs.
TEST_F(PresentHooksTest, SwapOfAWindowThatIsNotTheCurrentDrawableIsNotCaptured) {
    ExtraWindow other;
    ASSERT_TRUE(other.make(dpy, kDoubleBufferedRgba, 40, 30, false));
    draw_picture(40, 30);
    glXSwapBuffers(dpy, other.win);
    ASSERT_EQ(frame.calls, 1);
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
    frame = Frame{};
    g_real_swaps = 0;
    draw_picture(64, 48);
    glXSwapBuffers(dpy, other.win);
    EXPECT_EQ(g_real_swaps, 1);
    EXPECT_EQ(frame.calls, 0);
    glXSwapBuffers(dpy, win);
    ASSERT_EQ(frame.calls, 1);
    EXPECT_EQ((uintptr_t)frame.a, (uintptr_t)win);
    EXPECT_TRUE(is_picture(frame, 64, 48));
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);

    // EGL refuses the swap of a surface the context does not draw to.
    const EGLint attrs[] = {EGL_SURFACE_TYPE, EGL_WINDOW_BIT | EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE,
                            EGL_OPENGL_BIT, EGL_NONE};
    EglWindow egl;
    ASSERT_NO_FATAL_FAILURE(egl.make(dpy, EGL_OPENGL_API, attrs, nullptr, 64, 48));
    const EGLint size[] = {EGL_WIDTH, 40, EGL_HEIGHT, 30, EGL_NONE};
    EGLSurface pbuffer = eglCreatePbufferSurface(egl.edpy, egl.cfg, size);
    ASSERT_NE(pbuffer, EGL_NO_SURFACE);
    frame = Frame{};
    draw_picture(64, 48);
    EXPECT_FALSE(eglSwapBuffers(egl.edpy, pbuffer));
    EXPECT_EQ(frame.calls, 0);
    EXPECT_TRUE(eglSwapBuffers(egl.edpy, egl.surface));
    ASSERT_EQ(frame.calls, 1);
    EXPECT_TRUE(is_picture(frame, 64, 48));
    EXPECT_TRUE(errors.codes.empty());
    eglDestroySurface(egl.edpy, pbuffer);
    egl.close();
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}

// Records of EGL contexts destroyed while their display lives on are taken
// back the same way.
TEST_F(PresentHooksTest, RecordsOfGoneEglContextsAreTakenBack) {
    const EGLint attrs[] = {EGL_SURFACE_TYPE, EGL_WINDOW_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    EglWindow last;
    ASSERT_NO_FATAL_FAILURE(last.make(dpy, EGL_OPENGL_API, attrs, nullptr, 40, 30));
    // All live until all presented, so that none takes another's address.
    EGLContext gone[16];
    for (EGLContext &g : gone) {
        g = eglCreateContext(last.edpy, last.cfg, EGL_NO_CONTEXT, nullptr);
        ASSERT_NE(g, EGL_NO_CONTEXT);
        ASSERT_TRUE(eglMakeCurrent(last.edpy, last.surface, last.surface, g));
        draw_picture(40, 30);
        eglSwapBuffers(last.edpy, last.surface);
        ASSERT_TRUE(is_picture(frame, 40, 30));
    }
    ASSERT_TRUE(eglMakeCurrent(last.edpy, last.surface, last.surface, last.ctx));
    for (EGLContext g : gone) ASSERT_TRUE(eglDestroyContext(last.edpy, g));
    const uint64_t made = hook_gl_objects_made();
    for (int i = 0; i < 4; i++) {
        draw_picture(40, 30);
        eglSwapBuffers(last.edpy, last.surface);
        EXPECT_TRUE(is_picture(frame, 40, 30));
    }
    EXPECT_EQ(hook_gl_objects_made() - made, 2u);
    EXPECT_TRUE(errors.codes.empty());
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    last.close();
    ASSERT_TRUE(glXMakeCurrent(dpy, win, ctx));
}
