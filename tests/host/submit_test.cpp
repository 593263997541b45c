#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "host/submit.h"
#include "support/pattern_tag.h"

namespace {

// Both holders let go of a record: the application (a submit with no
// device), then the consumer.
inline void both_let_go(const SubmitCaptureApi &api, void **handle) {
    void *app = *handle;
    EXPECT_EQ(api.submit(&app, nullptr, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(app, nullptr);
    api.destroy(handle);
}

// A BGRA texture of the application's device whose pixels encode (x, y, tag).
ID3D11Texture2D *pattern_texture(ID3D11Device *dev, uint32_t w, uint32_t h, uint8_t tag) {
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint8_t *p = &px[((size_t)y * w + x) * 4];
            p[0] = (uint8_t)x, p[1] = (uint8_t)y, p[2] = tag, p[3] = 255;
        }
    D3D11_TEXTURE2D_DESC d = {
        w, h, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE,
        0, 0};
    ID3D11Texture2D *t = nullptr;
    EXPECT_EQ(dev->CreateTexture2D(&d, px.data(), &t), S_OK);
    return t;
}

// The tag of the frame the consumer's BGRA texture holds, after checking
// every pixel against the pattern.
int frame_tag(ID3D11Texture2D *t, uint32_t w, uint32_t h) {
    return pattern_tag(t, w, h);
}

struct SubmitTest : ::testing::Test {
    const SubmitCaptureApi &api = submit_d3d11_api;
    ID3D11Device *app = nullptr;
    void *handle = nullptr;
    void SetUp() override { ASSERT_EQ(D3D11CreateDevice(&app), S_OK); }
    void TearDown() override {
        both_let_go(api, &handle);
        EXPECT_EQ(handle, nullptr);
        d3d_release(&app);
        EXPECT_EQ(d3d_live_objects(), 0);
    }
    // One submit on a thread of its own, as the application's render thread.
    int32_t submit_from_thread(ID3D11Texture2D *t, uint32_t *dropped) {
        int32_t r = 1;
        std::thread th([&] { r = api.submit(&handle, app, nullptr, t, 0, dropped); });
        th.join();
        return r;
    }
};

}  // namespace

TEST_F(SubmitTest, TableShape) {
    EXPECT_EQ(sizeof(SubmitCaptureApi), 10 * sizeof(void *));
    EXPECT_EQ(api.unused6, nullptr);
    EXPECT_EQ(api.unused9, nullptr);
}

TEST_F(SubmitTest, TwoSubmitsBeforeOnePollDropOne) {
    ID3D11Texture2D *a = pattern_texture(app, 64, 32, 1), *b = pattern_texture(app, 64, 32, 2);
    uint32_t dropped = 0;
    ASSERT_EQ(submit_from_thread(a, &dropped), 0);
    ASSERT_EQ(submit_from_thread(b, &dropped), 0);
    EXPECT_EQ(dropped, 1u);

    CaptureFrame f = {};
    ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
    EXPECT_EQ(f.new_frame, 1);
    ID3D11Texture2D *out = nullptr;
    ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), 0);
    EXPECT_EQ(frame_tag(out, 64, 32), 2);  // the newest frame
    uint16_t w = 0, h = 0;
    uint32_t fmt = 0;
    api.get_desc(handle, &w, &h, &fmt);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 32);
    EXPECT_EQ(fmt, CAPTURE_FORMAT_BGRA);

    // While the consumer holds its frame every submit is dropped.
    ASSERT_EQ(submit_from_thread(a, &dropped), 0);
    EXPECT_EQ(dropped, 2u);
    EXPECT_EQ(frame_tag(out, 64, 32), 2);
    f = {};
    ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
    EXPECT_EQ(f.new_frame, 0);

    EXPECT_FALSE(api.device_differs(handle, app));
    EXPECT_TRUE(api.device_differs(handle, a));
    EXPECT_EQ(api.get_device(handle) != nullptr, true);
    EXPECT_NE((void *)api.get_device(handle), (void *)app);
    a->Release();
    b->Release();
}

// A texture the converter cannot read as colour is refused, and no frame
// stands for it: the last picture is not handed on as a new one.
TEST_F(SubmitTest, UnreadableFormatIsRefusedAndMakesNoFrame) {
    ID3D11Texture2D *good = pattern_texture(app, 16, 8, 7);
    uint32_t dropped = 0;
    ASSERT_EQ(submit_from_thread(good, &dropped), 0);
    CaptureFrame f = {};
    ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 1);
    // The consumer is done with that frame and waits for the next.
    f = {};
    ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 0);

    for (DXGI_FORMAT fmt : {DXGI_FORMAT_R16G16B16A16_UNORM, DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_NV12}) {
        SCOPED_TRACE((int)fmt);
        D3D11_TEXTURE2D_DESC d = {16, 8, 1, 1, fmt, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE,
                                  0,  0};
        ID3D11Texture2D *t = nullptr;
        ASSERT_EQ(app->CreateTexture2D(&d, nullptr, &t), S_OK);
        EXPECT_EQ(submit_from_thread(t, &dropped), SUBMIT_ERR_NO_TEXTURE);
        f = {};
        ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
        EXPECT_EQ(f.new_frame, 0);
        t->Release();
    }
    // The record still works for a readable texture.
    ASSERT_EQ(submit_from_thread(good, &dropped), 0);
    f = {};
    ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
    EXPECT_EQ(f.new_frame, 1);
    EXPECT_EQ(dropped, 0u);
    good->Release();
}

TEST_F(SubmitTest, TextureBeforeFirstFrameAndSizeChange) {
    ID3D11Texture2D *small = pattern_texture(app, 32, 16, 3), *big = pattern_texture(app, 48, 24, 4);
    uint32_t dropped = 0;
    // The record exists only after the first submit; make it with a frame the
    // consumer has not taken, then ask for a texture of a fresh handle.
    void *fresh = nullptr;
    ASSERT_EQ(api.submit(&fresh, app, nullptr, nullptr, 0, &dropped), CAPTURE_ERR_DEVICE);
    ID3D11Texture2D *out = nullptr;
    EXPECT_EQ(api.get_texture(fresh, CAPTURE_FORMAT_ASIS, &out), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(api.check_reinit(fresh), 0);
    both_let_go(api, &fresh);

    CaptureFrame f = {};
    ASSERT_EQ(submit_from_thread(small, &dropped), 0);
    EXPECT_EQ(api.check_reinit(handle), 0);  // the first converter is no size change
    ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 1);

    f = {};
    std::thread consumer([&] { api.poll(handle, 10000, nullptr, &f); });
    // The next submit is taken by the waiting poll once it is waiting.
    for (;;) {
        uint32_t before = dropped;
        ASSERT_EQ(api.submit(&handle, app, nullptr, big, 0, &dropped), 0);
        if (dropped == before) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    consumer.join();
    EXPECT_EQ(f.new_frame, 1);
    EXPECT_EQ(api.check_reinit(handle), CAPTURE_ERR_FRAME);
    EXPECT_EQ(api.check_reinit(handle), 0);  // once
    ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), 0);
    EXPECT_EQ(frame_tag(out, 48, 24), 4);
    uint16_t w = 0, h = 0;
    uint32_t fmt = 0;
    api.get_desc(handle, &w, &h, &fmt);
    EXPECT_EQ(w, 48);
    EXPECT_EQ(h, 24);
    // NV12 is drawn from the next submit on.
    ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_NV12, &out), 0);
    D3D11_TEXTURE2D_DESC d;
    out->GetDesc(&d);
    EXPECT_EQ(d.Format, DXGI_FORMAT_NV12);
    small->Release();
    big->Release();
}

// A render thread submitting as fast as it can and an encode thread polling:
// every submitted frame is taken, counted as dropped, or still pending.
TEST_F(SubmitTest, RealSubmitterAndConsumerAccountForEveryFrame) {
    ID3D11Texture2D *frames[4];
    for (int i = 0; i < 4; i++) frames[i] = pattern_texture(app, 16, 8, (uint8_t)(10 + i));
    uint32_t dropped = 0;
    ASSERT_EQ(api.submit(&handle, app, nullptr, frames[0], 0, &dropped), 0);  // makes the record
    const int kSubmits = 2000;
    std::atomic<bool> done{false};
    int taken = 0, bad = 0;
    std::thread consumer([&] {
        for (;;) {
            bool last = done.load();
            CaptureFrame f = {};
            api.poll(handle, 5, nullptr, &f);
            if (f.new_frame) {
                taken++;
                ID3D11Texture2D *out = nullptr;
                if (api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out) != 0)
                    bad++;
                else if (int tag = frame_tag(out, 16, 8); tag < 10 || tag > 13)
                    bad++;
            } else if (last) {
                break;
            }
        }
    });
    std::thread producer([&] {
        for (int i = 1; i < kSubmits; i++) api.submit(&handle, app, nullptr, frames[i % 4], 0, &dropped);
        done = true;
    });
    producer.join();
    consumer.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(taken, 0);
    EXPECT_EQ((uint32_t)taken + dropped, (uint32_t)kSubmits);
    for (auto *t : frames) t->Release();
}

// The consumer lets go first while the application still holds the handle:
// the record stays for it, its submits are counted as dropped, and its own
// letting go frees the record (freed by the consumer, the next submit would
// touch freed memory). Letting go the other way round, a waiting poll
// returns at once.
TEST_F(SubmitTest, EachHolderLetsGoInTurn) {
    ID3D11Texture2D *t = pattern_texture(app, 16, 8, 1);
    uint32_t dropped = 0;
    ASSERT_EQ(api.submit(&handle, app, nullptr, t, 0, &dropped), 0);
    void *app_handle = handle;
    api.destroy(&handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(api.submit(&app_handle, app, nullptr, t, 0, &dropped), 0);
    EXPECT_EQ(api.submit(&app_handle, app, nullptr, t, 0, &dropped), 0);
    EXPECT_EQ(dropped, 2u);
    EXPECT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    EXPECT_EQ(app_handle, nullptr);

    ASSERT_EQ(api.submit(&handle, app, nullptr, t, 0, &dropped), 0);
    app_handle = handle;
    CaptureFrame f = {};
    ASSERT_EQ(api.poll(handle, 0, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 1);
    std::thread consumer([&, h = handle] {
        f = {};
        api.poll(h, 60000, nullptr, &f);
    });
    for (;;) {  // until the poll waits
        SubmitRecord *rec = (SubmitRecord *)handle;
        VKO_MutexLock(rec->mutex);
        bool waiting = rec->consumer_waiting;
        VKO_MutexUnlock(rec->mutex);
        if (waiting) break;
        std::this_thread::yield();
    }
    EXPECT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    consumer.join();
    EXPECT_EQ(f.new_frame, 0);
    ASSERT_EQ(api.poll(handle, 60000, nullptr, &f), 0);  // at once now
    EXPECT_EQ(f.new_frame, 0);
    api.destroy(&handle);
    t->Release();
}
