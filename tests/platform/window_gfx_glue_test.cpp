// The window glue's own rules, seen through counting rows put in place of the
// Direct3D 11 and 12 rows of the dispatch tables: which interface a request
// gets and the one fallback, the order of every call in a frame, the
// teardown when the context reports another device, and frames skipped
// without a surface or a lock.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/app_harness.h"
#include "platform/gfx/gfx.h"

namespace {

// What the fake rows do and what they saw. Objects name their device and
// layer so the log shows which device each call used.
struct Fake {
    bool create_ok[VKO_GFX_ROWS] = {};
    bool lock_ok = true;
    bool have_surface = true;
    int device = 1;  // what get device reports: &devices[device]
    int devices[3] = {};
    uint64_t generation = 0;  // what the context says of its device's making
    uint32_t width = 640, height = 360;
    std::vector<std::string> log;
    VKO_RenderDesc drawn{};
    VKO_DrawData drawn_ui{};
    int live_ctx = 0, live_renderers = 0, live_uis = 0, live_textures = 0;

    int device_no(void *d) const { return int(static_cast<int *>(d) - devices); }
    void add(const std::string &s) { log.push_back(s); }
} * fake;

struct Ctx {
    uint32_t row;
    int surface;
};
struct Renderer {
    uint8_t layer;
    int device;
};
struct Ui {
    int device;
};
struct Texture {
    uint32_t width;
    int device;
};

template <uint32_t Row>
void *ctx_create(void *, bool) {
    fake->add("create context " + std::to_string(Row));
    if (!fake->create_ok[Row]) return nullptr;
    fake->live_ctx++;
    return new Ctx{Row, 0};
}
void ctx_destroy(void **ctx) {
    fake->add("destroy context");
    delete static_cast<Ctx *>(*ctx);
    *ctx = nullptr;
    fake->live_ctx--;
}
void ctx_present(void *) {
    fake->add("present");
}
void ctx_size(void *, uint32_t *w, uint32_t *h) {
    fake->add("size");
    *w = fake->width;
    *h = fake->height;
}
void *ctx_device(void *) {
    fake->add("device");
    return &fake->devices[fake->device];
}
void *ctx_context(void *) {
    fake->add("context");
    return nullptr;
}
void *ctx_surface(void *ctx) {
    fake->add("surface");
    return fake->have_surface ? &static_cast<Ctx *>(ctx)->surface : nullptr;
}
void ctx_sync(void *, uint32_t) {}
bool ctx_lock(void *) {
    fake->add("lock");
    return fake->lock_ok;
}
void ctx_unlock(void *) {
    fake->add("unlock");
}
uint64_t ctx_generation(void *) {
    return fake->generation;
}

void *frame_create(void *device, uint8_t layer) {
    const int d = fake->device_no(device);
    fake->add("create renderer " + std::to_string(layer) + " on " + std::to_string(d));
    fake->live_renderers++;
    return new Renderer{layer, d};
}
void frame_destroy(void **r, void *device) {
    auto *x = static_cast<Renderer *>(*r);
    EXPECT_EQ(x->device, fake->device_no(device)) << "destroyed with the device it was made with";
    fake->add("destroy renderer " + std::to_string(x->layer) + " on " +
              std::to_string(fake->device_no(device)));
    delete x;
    *r = nullptr;
    fake->live_renderers--;
}
bool frame_render(void *r, void *device, void *, const void *, const VKO_RenderDesc *desc, void *surface) {
    EXPECT_NE(surface, nullptr);
    fake->drawn = *desc;
    fake->add("render " + std::to_string(static_cast<Renderer *>(r)->layer) + " on " +
              std::to_string(fake->device_no(device)));
    return true;
}
bool frame_unused(void *, void *, void **) {
    ADD_FAILURE() << "the glue never tests shared handles";
    return false;
}
bool frame_clear(void *, void *, void *, uint32_t, uint32_t, float, float, float, float, void *) {
    ADD_FAILURE() << "the glue never clears";
    return false;
}

void *ui_create(void *device) {
    fake->add("create ui on " + std::to_string(fake->device_no(device)));
    fake->live_uis++;
    return new Ui{fake->device_no(device)};
}
void ui_destroy(void **ui, void *device) {
    EXPECT_EQ(static_cast<Ui *>(*ui)->device, fake->device_no(device));
    fake->add("destroy ui on " + std::to_string(fake->device_no(device)));
    delete static_cast<Ui *>(*ui);
    *ui = nullptr;
    fake->live_uis--;
}
bool ui_render(void *, void *device, void *, const VKO_DrawData *data, void *map, void *surface) {
    EXPECT_NE(map, nullptr);
    EXPECT_NE(surface, nullptr);
    fake->drawn_ui = *data;
    fake->add("render ui on " + std::to_string(fake->device_no(device)));
    return true;
}
void *ui_texture(void *, void *device, const void *, uint32_t width, uint32_t) {
    fake->add("create texture " + std::to_string(width) + " on " + std::to_string(fake->device_no(device)));
    fake->live_textures++;
    return new Texture{width, fake->device_no(device)};
}
void ui_texture_destroy(void *, void **t, void *device) {
    auto *x = static_cast<Texture *>(*t);
    EXPECT_EQ(x->device, fake->device_no(device));
    fake->add("destroy texture " + std::to_string(x->width) + " on " +
              std::to_string(fake->device_no(device)));
    delete x;
    *t = nullptr;
    fake->live_textures--;
}

template <uint32_t Row>
constexpr vko_gfx_ctx_api kCtxRow = {ctx_create<Row>, ctx_destroy, ctx_present,   ctx_size,
                                     ctx_device,      ctx_context, ctx_surface,   ctx_sync,
                                     ctx_lock,        ctx_unlock,  ctx_generation};
constexpr vko_gfx_api kFrameRow = {frame_create, frame_destroy, frame_unused, frame_render, frame_clear};
constexpr vko_gfx_ui_api kUiRow = {ui_create, ui_destroy, ui_render, ui_texture, ui_texture_destroy};

class WindowGfxGlue : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { ASSERT_FALSE(xvfb_display().empty()); }
    void SetUp() override {
        fake = &state_;
        for (uint32_t row : {uint32_t(VKO_GFX_D3D11), uint32_t(VKO_GFX_D3D12)}) {
            saved_[row] = {vko_gfx_ctx_apis[row], vko_gfx_apis[row], vko_gfx_ui_apis[row]};
            vko_gfx_apis[row] = kFrameRow;
            vko_gfx_ui_apis[row] = kUiRow;
            state_.create_ok[row] = true;
        }
        vko_gfx_ctx_apis[VKO_GFX_D3D11] = kCtxRow<VKO_GFX_D3D11>;
        vko_gfx_ctx_apis[VKO_GFX_D3D12] = kCtxRow<VKO_GFX_D3D12>;
        h_ = std::make_unique<AppHarness>();
        index_ = h_->open_window();
        ASSERT_GE(index_, 0);
    }
    void TearDown() override {
        h_.reset();
        EXPECT_EQ(state_.live_ctx, 0) << "the window's end destroys its context";
        EXPECT_EQ(state_.live_renderers + state_.live_uis + state_.live_textures, 0);
        for (uint32_t row : {uint32_t(VKO_GFX_D3D11), uint32_t(VKO_GFX_D3D12)}) {
            vko_gfx_ctx_apis[row] = saved_[row].ctx;
            vko_gfx_apis[row] = saved_[row].frames;
            vko_gfx_ui_apis[row] = saved_[row].uis;
        }
        fake = nullptr;
    }
    // The calls since the last look.
    std::vector<std::string> calls() {
        std::vector<std::string> out;
        out.swap(state_.log);
        return out;
    }
    void quad(uint8_t layer) {
        VKO_RenderDesc d{};
        d.format = VKO_COLOR_FORMAT_BGRA;
        d.image_width = d.stride = 4;
        d.image_height = d.plane_height = 4;
        d.view_width = d.view_height = 9;
        d.layer = layer;
        const uint8_t pixels[64] = {};
        VKO_WindowDrawQuad(h_->app, index_, pixels, &d);
        EXPECT_EQ(d.view_width, 9u) << "the caller's description is left alone";
    }
    void ui() {
        VKO_DrawData data{};
        data.display_width = data.display_height = 1;
        VKO_WindowDrawUI(h_->app, index_, &data);
    }
    bool texture(uint32_t id, uint32_t width) {
        const uint8_t rgba[4] = {1, 2, 3, 4};
        return VKO_WindowSetUITexture(h_->app, index_, id, width ? rgba : nullptr, width, 1);
    }
    using Log = std::vector<std::string>;

    struct Saved {
        vko_gfx_ctx_api ctx;
        vko_gfx_api frames;
        vko_gfx_ui_api uis;
    } saved_[VKO_GFX_ROWS] = {};
    Fake state_;
    std::unique_ptr<AppHarness> h_;
    int32_t index_ = -1;
};

TEST_F(WindowGfxGlue, RequestsMapToRowsAndDirect3D12FallsBackOnce) {
    // OpenGL, Metal and unknown values mean Direct3D 11; each new request
    // first destroys the context before.
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_OPENGL, true));
    EXPECT_EQ(calls(), (Log{"create context 3"}));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_D3D11));
    for (uint32_t api : {uint32_t(VKO_GFX_METAL), 6u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, api, false)) << api;
        EXPECT_EQ(calls(), (Log{"destroy context", "create context 3"})) << api;
        EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_D3D11));
    }
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D12, true));
    EXPECT_EQ(calls(), (Log{"destroy context", "create context 4"}));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_D3D12));

    // Direct3D 12 failing: Direct3D 11 once.
    state_.create_ok[VKO_GFX_D3D12] = false;
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D12, true));
    EXPECT_EQ(calls(), (Log{"destroy context", "create context 4", "create context 3"}));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_D3D11));
    // Both failing: no second round, no graphics.
    state_.create_ok[VKO_GFX_D3D11] = false;
    EXPECT_FALSE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D12, true));
    EXPECT_EQ(calls(), (Log{"destroy context", "create context 4", "create context 3"}));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_NONE));
    // A failing Direct3D 11 is not retried as anything.
    EXPECT_FALSE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D11, true));
    EXPECT_EQ(calls(), (Log{"create context 3"}));
    // None: no context made, calls on the window do nothing.
    state_.create_ok[VKO_GFX_D3D11] = true;
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D11, true));
    EXPECT_FALSE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_NONE, true));
    EXPECT_EQ(calls(), (Log{"create context 3", "destroy context"}));
    quad(0);
    ui();
    VKO_WindowPresent(h_->app, index_);
    EXPECT_FALSE(texture(1, 2));
    EXPECT_TRUE(calls().empty());
}

TEST_F(WindowGfxGlue, FrameOrderAndDeviceChangeTeardown) {
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D11, true));
    calls();
    quad(0);
    EXPECT_EQ(calls(), (Log{"surface", "lock", "size", "device", "create renderer 0 on 1", "context",
                            "render 0 on 1", "unlock"}));
    EXPECT_EQ(state_.drawn.view_width, 640u) << "the view is the context's size";
    EXPECT_EQ(state_.drawn.view_height, 360u);
    quad(1);
    EXPECT_EQ(calls(), (Log{"surface", "lock", "size", "device", "create renderer 1 on 1", "context",
                            "render 1 on 1", "unlock"}));
    quad(0);  // renderers are kept
    EXPECT_EQ(calls(), (Log{"surface", "lock", "size", "device", "context", "render 0 on 1", "unlock"}));
    quad(2);  // no such layer: nothing drawn
    EXPECT_EQ(calls(), (Log{"surface", "lock", "size", "device", "unlock"}));
    ui();
    EXPECT_EQ(calls(), (Log{"surface", "lock", "size", "device", "create ui on 1", "context",
                            "render ui on 1", "unlock"}));
    EXPECT_EQ(state_.drawn_ui.display_width, 640.0f);
    EXPECT_EQ(state_.drawn_ui.display_height, 360.0f);
    VKO_WindowPresent(h_->app, index_);
    EXPECT_EQ(calls(), (Log{"present"}));

    // Textures: replaced, removed by NULL pixels (false), looked up under the lock.
    EXPECT_TRUE(texture(7, 70));
    EXPECT_TRUE(texture(8, 80));
    EXPECT_TRUE(texture(7, 71));
    EXPECT_FALSE(texture(8, 0));
    EXPECT_EQ(calls(), (Log{"lock", "device", "create texture 70 on 1", "unlock", "lock", "device",
                            "create texture 80 on 1", "unlock", "lock", "device", "destroy texture 70 on 1",
                            "create texture 71 on 1", "unlock", "lock", "device", "destroy texture 80 on 1",
                            "unlock"}));
    EXPECT_TRUE(VKO_WindowHasUITexture(h_->app, index_, 7));
    EXPECT_FALSE(VKO_WindowHasUITexture(h_->app, index_, 8));
    EXPECT_EQ(calls(), (Log{"lock", "unlock", "lock", "unlock"}));

    // The context reports another device: everything made with the old one
    // goes, with the old one, before the new one is used.
    state_.device = 2;
    quad(0);
    EXPECT_EQ(calls(), (Log{"surface", "lock", "size", "device", "destroy renderer 0 on 1",
                            "destroy renderer 1 on 1", "destroy texture 71 on 1", "destroy ui on 1",
                            "create renderer 0 on 2", "context", "render 0 on 2", "unlock"}));
    EXPECT_FALSE(VKO_WindowHasUITexture(h_->app, index_, 7)) << "textures must be set again";
    EXPECT_EQ(calls(), (Log{"lock", "unlock"}));
    ui();
    EXPECT_EQ(calls(), (Log{"surface", "lock", "size", "device", "create ui on 2", "context",
                            "render ui on 2", "unlock"}));
    EXPECT_EQ(state_.live_renderers, 1);
    EXPECT_EQ(state_.live_textures, 0);

    // A new interface tears the old context down in the same order, then the context.
    EXPECT_TRUE(texture(9, 90));
    calls();
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D12, true));
    EXPECT_EQ(calls(), (Log{"destroy renderer 0 on 2", "destroy texture 90 on 2", "destroy ui on 2",
                            "destroy context", "create context 4"}));
    quad(0);
    texture(3, 30);
    calls();
    VKO_WindowDestroy(h_->app, index_);  // the window's end releases them too
    EXPECT_EQ(calls(), (Log{"destroy renderer 0 on 2", "destroy texture 30 on 2", "destroy ui on 2",
                            "destroy context"}));
}

// A device made again after a loss can come back at the lost one's address:
// the context's generation still tells the glue to start over.
TEST_F(WindowGfxGlue, NewDeviceAtTheOldAddressStillTearsDown) {
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D11, true));
    quad(0);
    EXPECT_TRUE(texture(7, 70));
    VKO_WindowPresent(h_->app, index_);
    calls();
    state_.generation++;
    quad(0);
    EXPECT_EQ(calls(),
              (Log{"surface", "lock", "size", "device", "destroy renderer 0 on 1", "destroy texture 70 on 1",
                   "destroy ui on 1", "create renderer 0 on 1", "context", "render 0 on 1", "unlock"}));
    EXPECT_FALSE(VKO_WindowHasUITexture(h_->app, index_, 7));
    quad(0);
    EXPECT_EQ(calls(), (Log{"lock", "unlock", "surface", "lock", "size", "device", "context", "render 0 on 1",
                            "unlock"}))
        << "the same generation keeps them";
}

// The commands of an open frame run at present: a texture replaced or
// removed in between is destroyed only after it.
TEST_F(WindowGfxGlue, TextureOutOfTheMapLivesUntilThePresent) {
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D11, true));
    EXPECT_TRUE(texture(7, 70));
    EXPECT_TRUE(texture(8, 80));
    quad(0);
    ui();
    calls();
    EXPECT_TRUE(texture(7, 71));
    EXPECT_FALSE(texture(8, 0));
    EXPECT_EQ(calls(),
              (Log{"lock", "device", "create texture 71 on 1", "unlock", "lock", "device", "unlock"}));
    EXPECT_EQ(state_.live_textures, 3);
    VKO_WindowPresent(h_->app, index_);
    EXPECT_EQ(calls(),
              (Log{"present", "lock", "destroy texture 70 on 1", "destroy texture 80 on 1", "unlock"}));
    // Between frames nothing can use it: destroyed at once.
    EXPECT_TRUE(texture(7, 72));
    EXPECT_EQ(calls(),
              (Log{"lock", "device", "destroy texture 71 on 1", "create texture 72 on 1", "unlock"}));
    // Still waiting when the context goes: destroyed with the rest.
    quad(0);
    EXPECT_TRUE(texture(7, 73));
    calls();
    EXPECT_FALSE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_NONE, true));
    EXPECT_EQ(calls(), (Log{"destroy texture 72 on 1", "destroy renderer 0 on 1", "destroy texture 73 on 1",
                            "destroy ui on 1", "destroy context"}));
}

TEST_F(WindowGfxGlue, NoSurfaceOrNoLockSkipsTheFrame) {
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D11, true));
    calls();
    state_.have_surface = false;
    quad(0);
    ui();
    EXPECT_EQ(calls(), (Log{"surface", "surface"})) << "no lock, no device, no renderer";
    VKO_WindowPresent(h_->app, index_);
    EXPECT_EQ(calls(), (Log{"present"})) << "the context decides what a present without a surface does";

    state_.have_surface = true;
    state_.lock_ok = false;
    quad(0);
    ui();
    EXPECT_FALSE(texture(1, 10));
    EXPECT_FALSE(VKO_WindowHasUITexture(h_->app, index_, 1));
    EXPECT_EQ(calls(), (Log{"surface", "lock", "surface", "lock", "lock", "lock"})) << "nothing to unlock";
    EXPECT_EQ(state_.live_renderers + state_.live_uis + state_.live_textures, 0);

    state_.lock_ok = true;
    quad(0);
    EXPECT_EQ(state_.live_renderers, 1) << "the next frame draws";
}

}  // namespace
