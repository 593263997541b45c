// The Direct3D 12 row of frame submission on the stand-in: frames copied on
// the application's queue (also one that works on its own thread, so the
// fence wait matters), both byte orders and 10-bit RGB, size changes and
// failures.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/submit_d3d12.h"
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

struct SubmitD3D12 : ::testing::Test {
    const SubmitCaptureApi &api = submit_d3d12_api;
    ID3D12Device *dev = nullptr;
    ID3D12CommandQueue *queue = nullptr;
    void *handle = nullptr;
    int64_t live = 0;
    uint64_t faults = 0;

    void SetUp() override {
        live = d3d_live_objects();
        ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, &dev), S_OK);
        D3D12_COMMAND_QUEUE_DESC qd = {D3D12_COMMAND_LIST_TYPE_DIRECT, 0, 0, 0};
        ASSERT_EQ(dev->CreateCommandQueue(&qd, &queue), S_OK);
        faults = d3d12_fault_count();
    }

    void TearDown() override {
        d3d_clear_faults();
        both_let_go(api, &handle);
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        d3d_release(&queue);
        d3d_release(&dev);
        EXPECT_EQ(d3d_live_objects(), live);
    }

    // A texture in the PRESENT state whose pixels encode (x, y, tag) in the
    // given byte order.
    ID3D12Resource *picture(uint32_t w, uint32_t h, uint8_t tag, DXGI_FORMAT format) {
        D3D12_HEAP_PROPERTIES heap = {D3D12_HEAP_TYPE_DEFAULT, 0, 0, 1, 1};
        D3D12_RESOURCE_DESC d = {D3D12_RESOURCE_DIMENSION_TEXTURE2D,
                                 0,
                                 w,
                                 h,
                                 1,
                                 1,
                                 format,
                                 {1, 0},
                                 D3D12_TEXTURE_LAYOUT_UNKNOWN,
                                 D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET};
        ID3D12Resource *r = nullptr;
        EXPECT_EQ(dev->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &d, D3D12_RESOURCE_STATE_PRESENT,
                                               nullptr, &r),
                  S_OK);
        bool bgra = format == DXGI_FORMAT_B8G8R8A8_UNORM;
        auto ten = [](uint32_t v) { return (v & 0xFF) << 2 | (v & 0xFF) >> 6; };  // 8 bits widened to 10
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) {
                uint8_t *p = r->data() + (size_t)y * r->pitch() + x * 4;
                uint32_t rgb10 = ten(tag) | ten(y) << 10 | ten(x) << 20 | 3u << 30;
                if (format == DXGI_FORMAT_R10G10B10A2_UNORM)
                    memcpy(p, &rgb10, 4);
                else
                    p[bgra ? 0 : 2] = (uint8_t)x, p[1] = (uint8_t)y, p[bgra ? 2 : 0] = tag, p[3] = 255;
            }
        return r;
    }

    // The tag of the consumer's BGRA texture after checking every pixel.
    int frame_tag(uint32_t w, uint32_t h) {
        ID3D11Texture2D *t = nullptr;
        if (api.get_texture(handle, CAPTURE_FORMAT_ASIS, &t) != 0) return -4;
        return pattern_tag(t, w, h);
    }

    int32_t submit(ID3D12Resource *r, uint32_t *dropped) {
        return api.submit(&handle, dev, queue, r, 0, dropped);
    }
    bool take() {
        CaptureFrame f = {};
        return api.poll(handle, 0, nullptr, &f) == 0 && f.new_frame == 1;
    }
};

}  // namespace

TEST_F(SubmitD3D12, FramesOfBothByteOrdersArriveAndASizeChangeIsReportedOnce) {
    ID3D12Resource *a = picture(40, 20, 5, DXGI_FORMAT_B8G8R8A8_UNORM);
    ID3D12Resource *b = picture(40, 20, 6, DXGI_FORMAT_R8G8B8A8_UNORM);
    ID3D12Resource *c = picture(24, 12, 7, DXGI_FORMAT_B8G8R8A8_UNORM);
    uint32_t dropped = 0;
    ASSERT_EQ(submit(a, &dropped), 0);
    ASSERT_TRUE(take());
    EXPECT_EQ(frame_tag(40, 20), 5);
    EXPECT_EQ(a->state(), D3D12_RESOURCE_STATE_PRESENT);  // handed back as it came
    EXPECT_NE(api.get_device(handle), nullptr);
    EXPECT_FALSE(api.device_differs(handle, dev));
    EXPECT_TRUE(api.device_differs(handle, queue));

    // The queue works on its own thread from here: the fence wait keeps the copy whole.
    queue->set_deferred(true);
    EXPECT_FALSE(take());  // the consumer waits again
    ASSERT_EQ(submit(b, &dropped), 0);
    ASSERT_TRUE(take());
    EXPECT_EQ(frame_tag(40, 20), 6);
    EXPECT_EQ(api.check_reinit(handle), 0);

    EXPECT_FALSE(take());
    ASSERT_EQ(submit(c, &dropped), 0);
    ASSERT_EQ(submit(c, &dropped), 0);  // replaces the one not taken yet: dropped
    EXPECT_EQ(dropped, 1u);
    ASSERT_TRUE(take());
    EXPECT_EQ(api.check_reinit(handle), CAPTURE_ERR_FRAME);
    EXPECT_EQ(api.check_reinit(handle), 0);
    EXPECT_EQ(frame_tag(24, 12), 7);
    uint16_t w = 0, h = 0;
    uint32_t fmt = 0;
    api.get_desc(handle, &w, &h, &fmt);
    EXPECT_EQ(w, 24);
    EXPECT_EQ(h, 12);
    EXPECT_EQ(fmt, CAPTURE_FORMAT_BGRA);
    // An image of its own format, 10-bit RGB as the Direct3D 11 row takes it.
    ID3D12Resource *deep = picture(24, 12, 8, DXGI_FORMAT_R10G10B10A2_UNORM);
    EXPECT_FALSE(take());
    ASSERT_EQ(submit(deep, &dropped), 0);
    ASSERT_TRUE(take());
    EXPECT_EQ(frame_tag(24, 12), 8);
    a->Release();
    b->Release();
    c->Release();
    deep->Release();
}

TEST_F(SubmitD3D12, FailuresAnswerTheirCodes) {
    uint32_t dropped = 0;
    ID3D12Resource *a = picture(16, 8, 1, DXGI_FORMAT_B8G8R8A8_UNORM);
    d3d_fail("D3D11CreateDevice", E_FAIL);
    EXPECT_EQ(submit(a, &dropped), CAPTURE_ERR_DEVICE);
    ID3D11Texture2D *out = nullptr;
    EXPECT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_EQ(submit(a, &dropped), CAPTURE_ERR_DEVICE);
    both_let_go(api, &handle);

    d3d_fail("ID3D12Device_CreateFence", E_FAIL);
    EXPECT_EQ(submit(a, &dropped), CAPTURE_ERR_DEVICE);
    both_let_go(api, &handle);

    // A format the converter cannot take, and a missing queue.
    ID3D12Resource *odd = nullptr;
    D3D12_HEAP_PROPERTIES heap = {D3D12_HEAP_TYPE_DEFAULT, 0, 0, 1, 1};
    D3D12_RESOURCE_DESC d = {D3D12_RESOURCE_DIMENSION_TEXTURE2D,
                             0,
                             16,
                             8,
                             1,
                             1,
                             DXGI_FORMAT_R16G16B16A16_UNORM,
                             {1, 0},
                             D3D12_TEXTURE_LAYOUT_UNKNOWN,
                             D3D12_RESOURCE_FLAG_NONE};
    ASSERT_EQ(dev->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &d, D3D12_RESOURCE_STATE_PRESENT,
                                           nullptr, &odd),
              S_OK);
    EXPECT_EQ(submit(odd, &dropped), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_EQ(api.submit(&handle, dev, nullptr, a, 0, &dropped), CAPTURE_ERR_DEVICE);
    // The record still works.
    EXPECT_FALSE(take());
    ASSERT_EQ(submit(a, &dropped), 0);
    ASSERT_TRUE(take());
    EXPECT_EQ(frame_tag(16, 8), 1);
    odd->Release();
    a->Release();
}

// The consumer lets go first: the record and the application's Direct3D 12
// objects stay for the application, whose submits are dropped until its own
// letting go frees them.
TEST_F(SubmitD3D12, ConsumerGoingFirstLeavesTheRecordToTheApplication) {
    ID3D12Resource *a = picture(16, 8, 1, DXGI_FORMAT_B8G8R8A8_UNORM);
    uint32_t dropped = 0;
    ASSERT_EQ(submit(a, &dropped), 0);
    void *app_handle = handle;
    api.destroy(&handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(api.submit(&app_handle, dev, queue, a, 0, &dropped), 0);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    EXPECT_EQ(app_handle, nullptr);
    a->Release();
}
