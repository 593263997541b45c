// Direct3D 12 present hooks on the stand-in: a swap chain on a command queue
// presenting into a window of the test's Xvfb, the Present detour and the
// eight inline entries (on functions of a separate library), every failure,
// and the allocator reset once the copy's fence has passed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "compat/d3d/d3d12.h"
#include "compat/d3d/dxgi.h"
#include "compat/detour/detour.h"
#include "host/present_hooks_d3d.h"
#include "host/present_hooks_d3d12.h"
#include "support/hook_targets.h"
#include "support/swap_chain_desc.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>

namespace {

struct Seen {
    int frames = 0;
    uint32_t kind = 99;
    void *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
    std::vector<int32_t> errors;
    std::vector<uint8_t> row;  // the copy's first row (the queue carries copies out at once)
    bool read_row = true;
};

void on_frame(uint32_t kind, void *a, void *b, void *c, void *d, void *opaque) {
    Seen *s = (Seen *)opaque;
    s->frames++;
    s->kind = kind, s->a = a, s->b = b, s->c = c, s->d = d;
    auto *copy = (ID3D12Resource *)d;
    if (s->read_row) s->row.assign(copy->data(), copy->data() + 64 * 4);
}

void on_error(int32_t code, void *opaque) {
    ((Seen *)opaque)->errors.push_back(code);
}

// Successful resets of any command allocator, through a hook of the test's own.
std::atomic<int> g_resets{0};
void *g_reset_real = nullptr;
HRESULT counting_reset(ID3D12CommandAllocator *a) {
    HRESULT hr = ((HRESULT(*)(ID3D12CommandAllocator *))g_reset_real)(a);
    if (hr >= 0) g_resets++;
    return hr;
}

void *const kPresents[4] = {(void *)hook_target_present_entry_0, (void *)hook_target_present_entry_1,
                            (void *)hook_target_present_entry_2, (void *)hook_target_present_entry_3};
void *const kPresents1[4] = {(void *)hook_target_present1_entry_0, (void *)hook_target_present1_entry_1,
                             (void *)hook_target_present1_entry_2, (void *)hook_target_present1_entry_3};

struct D3D12Hooks : ::testing::Test {
    Display *dpy = nullptr;
    Window win = 0;
    ID3D12Device *dev = nullptr;
    ID3D12CommandQueue *queue = nullptr;
    IDXGIFactory2 *factory = nullptr;
    IDXGISwapChain *sc = nullptr;
    Seen seen;
    int64_t live = 0;

    void SetUp() override {
        ASSERT_FALSE(xvfb_display().empty());
        live = d3d_live_objects();
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 64, 48, 0, 0, 0);
        XMapWindow(dpy, win);
        XSync(dpy, False);
        ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, &dev), S_OK);
        D3D12_COMMAND_QUEUE_DESC qd = {D3D12_COMMAND_LIST_TYPE_DIRECT, 0, 0, 0};
        ASSERT_EQ(dev->CreateCommandQueue(&qd, &queue), S_OK);
        ASSERT_EQ(CreateDXGIFactory2(0, &factory), S_OK);
        DXGI_X11_WINDOW w = {dpy, win};
        DXGI_SWAP_CHAIN_DESC1 d = flip_chain_desc(64, 48);
        ASSERT_EQ(factory->CreateSwapChainForHwnd(queue, &w, &d, nullptr, nullptr, &sc), S_OK);
    }

    void TearDown() override {
        d3d_clear_faults();
        if (hooks_installed()) {
            EXPECT_EQ(hooks_remove_all(0), 0);
        }
        d3d_release(&sc);
        d3d_release(&factory);
        d3d_release(&queue);
        d3d_release(&dev);
        EXPECT_EQ(d3d_live_objects(), live);
        XDestroyWindow(dpy, win);
        XCloseDisplay(dpy);
    }

    // The current back buffer: column x holds (x, 0x20, tag).
    void draw(uint8_t tag) {
        ID3D12Resource *bb = nullptr;
        ASSERT_EQ(sc->GetBuffer(sc->GetCurrentBackBufferIndex(), &bb), S_OK);
        for (uint32_t y = 0; y < 48; y++)
            for (uint32_t x = 0; x < 64; x++) {
                uint8_t *p = bb->data() + (size_t)y * bb->pitch() + x * 4;
                p[0] = (uint8_t)x, p[1] = 0x20, p[2] = tag, p[3] = 255;
            }
        bb->Release();
    }

    bool row_is(uint8_t tag) const {
        if (seen.row.size() != 64 * 4) return false;
        for (uint32_t x = 0; x < 64; x++)
            if (seen.row[x * 4] != (uint8_t)x || seen.row[x * 4 + 2] != tag) return false;
        return true;
    }
};

}  // namespace

TEST_F(D3D12Hooks, PresentAndEveryEntryHandOnACopyOfTheBackBuffer) {
    ASSERT_EQ(hook_d3d12_install(sc, kPresents, kPresents1, queue, (void *)0x1234, on_frame, on_error, &seen),
              0);
    const uint64_t faults = d3d12_fault_count();
    draw(1);
    ASSERT_EQ(sc->Present(0, 0), S_OK);
    ASSERT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.kind, HOOK_KIND_D3D12);
    EXPECT_EQ(seen.a, (void *)0x1234);
    EXPECT_EQ(seen.b, dev);
    EXPECT_EQ(seen.c, queue);
    EXPECT_TRUE(row_is(1));
    EXPECT_EQ(sc->presents(), 1u);
    // The other buffer is current now; each entry captures it and continues to its own function.
    for (int i = 0; i < 8; i++) {
        SCOPED_TRACE(i);
        draw((uint8_t)(10 + i));
        uint32_t before = hook_target_entry_calls(i);
        if (i < 4)
            ((int32_t(*)(void *, uint32_t, uint32_t))kPresents[i])(sc, 0, 0);
        else
            ((int32_t(*)(void *, uint32_t, uint32_t, const void *))kPresents1[i - 4])(sc, 0, 0, nullptr);
        EXPECT_EQ(hook_target_entry_calls(i), before + 1);
        EXPECT_EQ(seen.frames, 2 + i);
        EXPECT_TRUE(row_is((uint8_t)(10 + i)));
    }
    EXPECT_TRUE(seen.errors.empty());
    EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
}

// Every copy after the first finds the last one carried out and resets the
// allocator; on a queue of its own thread nothing is reset early.
TEST_F(D3D12Hooks, AllocatorIsResetOnceTheCopyHasPassed) {
    ID3D12CommandAllocator *mine = nullptr;
    ASSERT_EQ(dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, &mine), S_OK);
    g_reset_real = detour_method(mine, 2);  // the first method after the destructor's two slots
    mine->Release();
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourAttach(&g_reset_real, (void *)counting_reset);
    ASSERT_EQ(DetourTransactionCommit(), 0);
    VKO_RWLockUnlock(detour_patch_lock());

    ASSERT_EQ(hook_d3d12_install(sc, nullptr, nullptr, queue, nullptr, on_frame, on_error, &seen), 0);
    const uint64_t faults = d3d12_fault_count();
    g_resets = 0;
    for (int i = 0; i < 5; i++) ASSERT_EQ(sc->Present(0, 0), S_OK);
    EXPECT_EQ(g_resets.load(), 5);  // the fresh allocator too
    seen.read_row = false;          // the queue's thread may still be writing the copy
    queue->set_deferred(true);
    for (int i = 0; i < 5; i++) ASSERT_EQ(sc->Present(0, 0), S_OK);
    EXPECT_GE(g_resets.load(), 5);
    EXPECT_EQ(seen.frames, 10);
    EXPECT_TRUE(seen.errors.empty());
    ASSERT_EQ(hooks_remove_all(0), 0);  // waits for the last copy before releasing
    EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();

    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourDetach(&g_reset_real, (void *)counting_reset);
    ASSERT_EQ(DetourTransactionCommit(), 0);
    VKO_RWLockUnlock(detour_patch_lock());
}

TEST_F(D3D12Hooks, EveryFailureIsReportedAndThePresentStillRuns) {
    ASSERT_EQ(hook_d3d12_install(sc, nullptr, nullptr, queue, nullptr, on_frame, on_error, &seen), 0);
    struct Case {
        const char *fault;
        uint32_t skip;
        int32_t code;
    } cases[] = {
        {"ID3D12Device_CreateCommittedResource", 0, HOOK_ERR_D3D12_OBJECTS},
        {"IDXGISwapChain_GetDevice", 0, HOOK_ERR_D3D12_NO_DEVICE},
        {"IDXGISwapChain_GetBuffer", 0, HOOK_ERR_D3D12_GET_BUFFER},
        {"ID3D12GraphicsCommandList_Close", 0, HOOK_ERR_D3D12_CLOSE},
    };
    uint64_t presents = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        seen.errors.clear();
        int frames = seen.frames;
        d3d_fail(c.fault, E_FAIL, c.skip);
        ASSERT_EQ(sc->Present(0, 0), S_OK);
        EXPECT_EQ(sc->presents(), ++presents);
        ASSERT_EQ(seen.errors.size(), 1u);
        EXPECT_EQ(seen.errors[0], c.code);
        EXPECT_EQ(seen.frames, frames);
        d3d_clear_faults();
        seen.errors.clear();
        ASSERT_EQ(sc->Present(0, 0), S_OK);
        ++presents;
        EXPECT_TRUE(seen.errors.empty());
        EXPECT_EQ(seen.frames, frames + 1);
    }
    ASSERT_EQ(hooks_remove_all(0), 0);

    // Without a command queue nothing is captured.
    ASSERT_EQ(hook_d3d12_install(sc, nullptr, nullptr, nullptr, nullptr, on_frame, on_error, &seen), 0);
    int frames = seen.frames;
    ASSERT_EQ(sc->Present(0, 0), S_OK);
    EXPECT_EQ(seen.frames, frames);
    EXPECT_TRUE(seen.errors.empty());
}

// A Direct3D 12 swap chain presented through the Direct3D 11 detour is passed on untouched.
TEST_F(D3D12Hooks, Direct3D11DetourPassesADirect3D12SwapChainOn) {
    ASSERT_EQ(hook_d3d11_install(sc, on_frame, on_error, &seen), 0);
    const uint64_t faults = d3d12_fault_count();
    ASSERT_EQ(sc->Present(0, 0), S_OK);
    ASSERT_EQ(sc->Present1(0, 0, nullptr), S_OK);
    EXPECT_EQ(sc->presents(), 2u);
    EXPECT_EQ(seen.frames, 0);
    EXPECT_TRUE(seen.errors.empty());
    // The one Present function carries one hook.
    EXPECT_EQ(hook_d3d12_install(sc, nullptr, nullptr, queue, nullptr, on_frame, on_error, &seen),
              DETOUR_ERROR_INVALID_OPERATION);
    EXPECT_EQ(d3d12_fault_count(), faults);
}
