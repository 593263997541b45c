// A Direct3D 12 stand-in device with its queue, allocator, open list and
// fence, and a BGRA render target in RENDER_TARGET with its RTV: what the
// tests that record and execute lists share.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "compat/d3d/d3d12.h"

struct D3D12Rig {
    ID3D12Device *dev = nullptr;
    ID3D12CommandQueue *queue = nullptr;
    ID3D12CommandAllocator *alloc = nullptr;
    ID3D12GraphicsCommandList *list = nullptr;
    ID3D12Fence *fence = nullptr;
    ID3D12Resource *rt = nullptr;
    ID3D12DescriptorHeap *rtv_heap = nullptr;
    D3D12_CPU_DESCRIPTOR_HANDLE rtv{};
    uint64_t value = 0;
    uint32_t w, h;

    D3D12Rig(uint32_t width, uint32_t height) : w(width), h(height) {
        EXPECT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, &dev), S_OK);
        const D3D12_COMMAND_QUEUE_DESC qd = {D3D12_COMMAND_LIST_TYPE_DIRECT, 0, 0, 0};
        EXPECT_EQ(dev->CreateCommandQueue(&qd, &queue), S_OK);
        EXPECT_EQ(dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, &alloc), S_OK);
        EXPECT_EQ(dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, alloc, nullptr, &list), S_OK);
        EXPECT_EQ(dev->CreateFence(0, 0, &fence), S_OK);
        D3D12_RESOURCE_DESC rd{};
        rd.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
        rd.Width = w;
        rd.Height = h;
        rd.DepthOrArraySize = 1;
        rd.MipLevels = 1;
        rd.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        rd.SampleDesc = {1, 0};
        rd.Flags = D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET;
        rt = committed(D3D12_HEAP_TYPE_DEFAULT, rd, D3D12_RESOURCE_STATE_RENDER_TARGET);
        const D3D12_DESCRIPTOR_HEAP_DESC hd = {D3D12_DESCRIPTOR_HEAP_TYPE_RTV, 1, 0, 0};
        EXPECT_EQ(dev->CreateDescriptorHeap(&hd, &rtv_heap), S_OK);
        rtv = rtv_heap->GetCPUDescriptorHandleForHeapStart();
        dev->CreateRenderTargetView(rt, nullptr, rtv);
    }
    ~D3D12Rig() {
        d3d_release(&rtv_heap);
        d3d_release(&rt);
        d3d_release(&fence);
        d3d_release(&list);
        d3d_release(&alloc);
        d3d_release(&queue);
        d3d_release(&dev);
    }
    D3D12Rig(const D3D12Rig &) = delete;
    D3D12Rig &operator=(const D3D12Rig &) = delete;

    ID3D12Resource *committed(uint32_t heap, const D3D12_RESOURCE_DESC &d, uint32_t state) {
        const D3D12_HEAP_PROPERTIES hp = {heap, 0, 0, 1, 1};
        ID3D12Resource *r = nullptr;
        EXPECT_EQ(dev->CreateCommittedResource(&hp, 0, &d, state, nullptr, &r), S_OK);
        return r;
    }
    // Close, execute, signal and wait; then open the list again.
    void submit() {
        ASSERT_EQ(list->Close(), S_OK);
        ID3D12CommandList *l = list;
        queue->ExecuteCommandLists(1, &l);
        ASSERT_EQ(queue->Signal(fence, ++value), S_OK);
        if (fence->GetCompletedValue() < value) {
            ASSERT_EQ(fence->SetEventOnCompletion(value, nullptr), S_OK);
        }
        ASSERT_EQ(alloc->Reset(), S_OK);
        ASSERT_EQ(list->Reset(alloc, nullptr), S_OK);
    }
    // B, G, R, A of a render-target pixel.
    const uint8_t *px(uint32_t x, uint32_t y) const { return rt->data() + size_t(y) * rt->pitch() + x * 4; }
};
