// The Direct3D 9 row of frame submission on the stand-in: 9Ex (shared render
// target) and plain (lockable target and row copy) devices, failures, and
// the two parties letting go of the record in either order while the
// consumer is blocked in its poll.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/submit_d3d9.h"
#include "support/pattern_tag.h"

namespace {

struct SubmitD3D9 : ::testing::TestWithParam<bool> {
    const SubmitCaptureApi &api = submit_d3d9_api;
    IDirect3D9 *d3d = nullptr;
    IDirect3DDevice9 *dev = nullptr;
    void *app_handle = nullptr;       // the application's copy of the handle
    void *consumer_handle = nullptr;  // the encode thread's copy

    void SetUp() override {
        ASSERT_EQ(Direct3DCreate9Ex(D3D_SDK_VERSION, &d3d), S_OK);
        D3DPRESENT_PARAMETERS pp = {};
        pp.BackBufferFormat = D3DFMT_A8R8G8B8;
        if (GetParam()) {
            IDirect3DDevice9Ex *ex = nullptr;
            ASSERT_EQ(d3d->CreateDeviceEx(0, D3DDEVTYPE_HAL, (HWND)1, 0, &pp, nullptr, &ex), S_OK);
            dev = ex;
        } else {
            ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, (HWND)1, 0, &pp, &dev), S_OK);
        }
    }

    void TearDown() override {
        d3d_clear_faults();
        uint32_t dropped = 0;
        EXPECT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
        EXPECT_EQ(app_handle, nullptr);
        api.destroy(&consumer_handle);
        EXPECT_EQ(consumer_handle, nullptr);
        d3d_release(&dev);
        d3d_release(&d3d);
        EXPECT_EQ(d3d_live_objects(), 0);
    }

    // A surface whose pixels encode (x, y, tag).
    IDirect3DSurface9 *picture(uint32_t w, uint32_t h, uint8_t tag) {
        IDirect3DSurface9 *s = nullptr;
        EXPECT_EQ(dev->CreateRenderTarget(w, h, D3DFMT_A8R8G8B8, 0, 0, 1, &s, nullptr), S_OK);
        D3DLOCKED_RECT r;
        EXPECT_EQ(s->LockRect(&r, nullptr, 0), S_OK);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) {
                uint8_t *p = (uint8_t *)r.pBits + (size_t)y * r.Pitch + x * 4;
                p[0] = (uint8_t)x, p[1] = (uint8_t)y, p[2] = tag, p[3] = 255;
            }
        s->UnlockRect();
        return s;
    }

    int32_t submit(IDirect3DSurface9 *s, uint32_t *dropped) {
        int32_t r = api.submit(&app_handle, dev, nullptr, s, 0, dropped);
        consumer_handle = app_handle;
        return r;
    }

    // The tag of the consumer's BGRA texture after checking every pixel.
    static int frame_tag(ID3D11Texture2D *t, uint32_t w, uint32_t h) { return pattern_tag(t, w, h); }
};

}  // namespace

TEST_P(SubmitD3D9, FramesArriveAndASizeChangeIsReportedOnce) {
    IDirect3DSurface9 *a = picture(40, 20, 7), *b = picture(24, 12, 8);
    uint32_t dropped = 0;
    ASSERT_EQ(submit(a, &dropped), 0);
    ID3D11Texture2D *out = nullptr;
    CaptureFrame f = {};
    ASSERT_EQ(api.poll(consumer_handle, 0, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 1);
    ASSERT_EQ(api.get_texture(consumer_handle, CAPTURE_FORMAT_ASIS, &out), 0);
    EXPECT_EQ(frame_tag(out, 40, 20), 7);
    uint16_t w = 0, h = 0;
    uint32_t fmt = 0;
    api.get_desc(consumer_handle, &w, &h, &fmt);
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 20);
    EXPECT_EQ(fmt, CAPTURE_FORMAT_BGRA);
    EXPECT_EQ(api.check_reinit(consumer_handle), 0);
    EXPECT_FALSE(api.device_differs(consumer_handle, dev));
    EXPECT_TRUE(api.device_differs(consumer_handle, a));
    EXPECT_NE(api.get_device(consumer_handle), nullptr);

    // Not taken yet: counted as dropped.
    ASSERT_EQ(submit(a, &dropped), 0);
    EXPECT_EQ(dropped, 1u);
    f = {};
    ASSERT_EQ(api.poll(consumer_handle, 0, nullptr, &f), 0);
    EXPECT_EQ(f.new_frame, 0);

    ASSERT_EQ(submit(b, &dropped), 0);
    ASSERT_EQ(api.poll(consumer_handle, 0, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 1);
    EXPECT_EQ(api.check_reinit(consumer_handle), CAPTURE_ERR_FRAME);
    EXPECT_EQ(api.check_reinit(consumer_handle), 0);
    ASSERT_EQ(api.get_texture(consumer_handle, CAPTURE_FORMAT_ASIS, &out), 0);
    EXPECT_EQ(frame_tag(out, 24, 12), 8);
    a->Release();
    b->Release();
}

TEST_P(SubmitD3D9, FailuresAnswerTheirCodes) {
    uint32_t dropped = 0;
    IDirect3DSurface9 *a = picture(16, 8, 1);
    d3d_fail("IDirect3DDevice9_GetCreationParameters", E_FAIL);
    EXPECT_EQ(submit(a, &dropped), CAPTURE_ERR_DEVICE);
    ID3D11Texture2D *out = nullptr;
    EXPECT_EQ(api.get_texture(consumer_handle, CAPTURE_FORMAT_ASIS, &out), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_EQ(submit(a, &dropped), CAPTURE_ERR_DEVICE);  // the record has no device
    ASSERT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    api.destroy(&consumer_handle);

    d3d_fail("D3D11CreateDevice", E_FAIL);
    EXPECT_EQ(submit(a, &dropped), CAPTURE_ERR_DEVICE);
    ASSERT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    api.destroy(&consumer_handle);

    d3d_fail("IDirect3DDevice9_CreateRenderTarget", E_FAIL);
    EXPECT_EQ(submit(a, &dropped), SUBMIT_ERR_NO_TEXTURE);
    d3d_fail(GetParam() ? "IDirect3DDevice9_StretchRect" : "IDirect3DSurface9_LockRect", E_FAIL);
    EXPECT_EQ(submit(a, &dropped), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_EQ(submit(nullptr, &dropped), CAPTURE_ERR_DEVICE);
    // After the failures the record still works.
    ASSERT_EQ(submit(a, &dropped), 0);
    CaptureFrame f = {};
    ASSERT_EQ(api.poll(consumer_handle, 0, nullptr, &f), 0);
    EXPECT_EQ(f.new_frame, 1);
    a->Release();
}

// The application lets go while the encode thread waits in its poll: the
// poll returns without a frame and the record lives until the consumer's
// destroy (freed earlier, the waiting poll would touch freed memory).
TEST_P(SubmitD3D9, ApplicationLettingGoWakesTheWaitingConsumer) {
    IDirect3DSurface9 *a = picture(16, 8, 3);
    uint32_t dropped = 0;
    ASSERT_EQ(submit(a, &dropped), 0);
    CaptureFrame f = {};
    ASSERT_EQ(api.poll(consumer_handle, 0, nullptr, &f), 0);
    ASSERT_EQ(f.new_frame, 1);
    std::atomic<bool> polled{false};
    f = {};
    // The thread keeps its own copy: submit() below rewrites consumer_handle.
    std::thread consumer([&, h = consumer_handle] {
        api.poll(h, 60000, nullptr, &f);
        polled = true;
    });
    // Once the consumer waits, the next submit is taken; then let go.
    for (;;) {
        uint32_t before = dropped;
        ASSERT_EQ(submit(a, &dropped), 0);
        if (dropped == before) break;
        std::this_thread::yield();
    }
    consumer.join();
    ASSERT_EQ(f.new_frame, 1);
    consumer = std::thread([&, h = consumer_handle] {
        f = {};
        api.poll(h, 60000, nullptr, &f);
        polled = true;
    });
    polled = false;
    // Wait until the poll is inside its wait: then the mutex is free and
    // consumer_waiting is set.
    for (;;) {
        SubmitRecord *rec = (SubmitRecord *)consumer_handle;
        VKO_MutexLock(rec->mutex);
        bool waiting = rec->consumer_waiting;
        VKO_MutexUnlock(rec->mutex);
        if (waiting) break;
        std::this_thread::yield();
    }
    ASSERT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    EXPECT_EQ(app_handle, nullptr);
    consumer.join();
    EXPECT_TRUE(polled);
    EXPECT_EQ(f.new_frame, 0);
    // Still readable by the consumer, and a poll now returns at once.
    ID3D11Texture2D *out = nullptr;
    ASSERT_EQ(api.get_texture(consumer_handle, CAPTURE_FORMAT_ASIS, &out), 0);
    EXPECT_EQ(frame_tag(out, 16, 8), 3);
    ASSERT_EQ(api.poll(consumer_handle, 60000, nullptr, &f), 0);
    EXPECT_EQ(f.new_frame, 0);
    api.destroy(&consumer_handle);
    a->Release();
}

// The consumer goes first: later submits are dropped, and the application's
// letting go frees the record.
TEST_P(SubmitD3D9, ConsumerGoingFirstLeavesTheRecordToTheApplication) {
    IDirect3DSurface9 *a = picture(16, 8, 4);
    uint32_t dropped = 0;
    ASSERT_EQ(submit(a, &dropped), 0);
    void *copy = consumer_handle;
    api.destroy(&consumer_handle);
    EXPECT_EQ(consumer_handle, nullptr);
    EXPECT_EQ(api.submit(&app_handle, dev, nullptr, a, 0, &dropped), 0);
    EXPECT_EQ(api.submit(&app_handle, dev, nullptr, a, 0, &dropped), 0);
    EXPECT_EQ(dropped, 2u);
    EXPECT_EQ(app_handle, copy);
    a->Release();
}

INSTANTIATE_TEST_SUITE_P(Devices, SubmitD3D9, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "Ex" : "Plain"; });
