// The Direct3D 12 row of frame submission. The record's threading model,
// with its two holders, is the core's (submit.h); the Direct3D 12 objects
// (allocator, list, fence, event, readback buffer) are touched only by
// submit, on the application's thread, and released when it lets go.
#include "host/submit_d3d12.h"

#include <cstring>

#include "compat/d3d/dxgi.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

struct D3D12Submit {
    SubmitRecord core;
    ID3D12CommandAllocator *allocator;
    ID3D12GraphicsCommandList *list;
    ID3D12Fence *fence;
    HANDLE event;
    uint64_t value;  // the last value signalled
    ID3D12Resource *readback;
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT footprint;
    uint32_t width, height;
    DXGI_FORMAT format;
};

D3D12_RESOURCE_BARRIER transition(ID3D12Resource *r, uint32_t before, uint32_t after) {
    D3D12_RESOURCE_BARRIER b = {};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Transition = {r, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, before, after};
    return b;
}

// Readback buffer and stand-in texture of the image's size and format.
int32_t make_copies(D3D12Submit *s, ID3D12Device *dev, const D3D12_RESOURCE_DESC &d) {
    d3d_release(&s->readback);
    d3d_release(&s->core.copy);
    s->width = s->height = 0;
    uint32_t rows = 0;
    uint64_t row_bytes = 0, total = 0;
    dev->GetCopyableFootprints(&d, 0, 1, 0, &s->footprint, &rows, &row_bytes, &total);
    D3D12_HEAP_PROPERTIES heap = {D3D12_HEAP_TYPE_READBACK, 0, 0, 1, 1};
    D3D12_RESOURCE_DESC b = {D3D12_RESOURCE_DIMENSION_BUFFER,
                             0,
                             total,
                             1,
                             1,
                             1,
                             DXGI_FORMAT_UNKNOWN,
                             {1, 0},
                             D3D12_TEXTURE_LAYOUT_ROW_MAJOR,
                             D3D12_RESOURCE_FLAG_NONE};
    if (!total || dev->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &b,
                                               D3D12_RESOURCE_STATE_COPY_DEST, nullptr, &s->readback) < 0)
        return SUBMIT_ERR_NO_TEXTURE;
    D3D11_TEXTURE2D_DESC t = {
        (uint32_t)d.Width,          d.Height, 1, 1, d.Format, {1, 0}, D3D11_USAGE_DEFAULT,
        D3D11_BIND_SHADER_RESOURCE, 0,        0};
    if (s->core.device->CreateTexture2D(&t, nullptr, &s->core.copy) < 0) {
        s->core.copy = nullptr;
        return SUBMIT_ERR_NO_TEXTURE;
    }
    s->width = (uint32_t)d.Width, s->height = d.Height, s->format = d.Format;
    return 0;
}

// The image into the stand-in texture, through the readback buffer.
int32_t copy_frame(D3D12Submit *s, ID3D12Device *dev, ID3D12CommandQueue *queue, ID3D12Resource *image) {
    D3D12_RESOURCE_DESC d;
    image->GetDesc(&d);
    if (d.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D || d.Width == 0 || d.Height == 0 ||
        d.Width > 16384 || d.Height > 16384 || !d3d11_convert_reads(d.Format))
        return SUBMIT_ERR_NO_TEXTURE;
    if (!s->readback || d.Width != s->width || d.Height != s->height || d.Format != s->format) {
        if (int32_t r = make_copies(s, dev, d)) return r;
    }
    if (s->list->Reset(s->allocator, nullptr) < 0) return CAPTURE_ERR_DEVICE;
    D3D12_RESOURCE_BARRIER to_copy =
        transition(image, D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_COPY_SOURCE);
    D3D12_RESOURCE_BARRIER back =
        transition(image, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_PRESENT);
    D3D12_TEXTURE_COPY_LOCATION dst = {}, src = {};
    dst.pResource = s->readback;
    dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    dst.PlacedFootprint = s->footprint;
    src.pResource = image;
    src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    src.SubresourceIndex = 0;
    s->list->ResourceBarrier(1, &to_copy);
    s->list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    s->list->ResourceBarrier(1, &back);
    if (s->list->Close() < 0) return CAPTURE_ERR_DEVICE;
    ID3D12CommandList *list = nullptr;
    s->list->QueryInterface(&list);
    queue->ExecuteCommandLists(1, &list);
    if (list) list->Release();
    if (queue->Signal(s->fence, ++s->value) < 0) return CAPTURE_ERR_DEVICE;
    if (s->fence->GetCompletedValue() < s->value) {
        ResetEvent(s->event);
        s->fence->SetEventOnCompletion(s->value, s->event);
        WaitForSingleObjectEx(s->event, INFINITE, false);
    }
    s->allocator->Reset();

    const uint8_t *px = nullptr;
    D3D12_RANGE read = {0, (size_t)s->readback->bytes()};
    if (s->readback->Map(0, &read, (void **)&px) < 0 || !px) return SUBMIT_ERR_NO_TEXTURE;
    // Texels as they are: the converter reads the format.
    uint8_t *out = s->core.copy->data();
    const uint32_t pitch = s->core.copy->pitch(), src_pitch = s->footprint.Footprint.RowPitch;
    const size_t row_bytes = (size_t)s->width * d3d_format_bpp(s->format);
    for (uint32_t y = 0; y < s->height; y++)
        std::memcpy(out + (size_t)y * pitch, px + s->footprint.Offset + (size_t)y * src_pitch, row_bytes);
    D3D12_RANGE none = {0, 0};
    s->readback->Unmap(0, &none);
    return 0;
}

// The application's objects, on its thread. Every copy was waited for in
// submit, so nothing is in flight.
void release_app_objects(D3D12Submit *s) {
    d3d_release(&s->readback);
    d3d_release(&s->list);
    d3d_release(&s->allocator);
    d3d_release(&s->fence);
    if (s->event) CloseHandle(s->event);
    s->event = nullptr;
}

void free_d3d12(D3D12Submit *s) {
    submit_record_release(&s->core);
    VKO_Free(s);
}

}  // namespace

void cap_d3d12_destroy(void **handle) {
    D3D12Submit *s = (D3D12Submit *)*handle;
    if (!s) return;
    *handle = nullptr;
    if (submit_consumer_let_go(&s->core)) free_d3d12(s);
}

int32_t cap_d3d12_poll(void *handle, uint32_t timeout_ms, uint8_t *, CaptureFrame *frame) {
    return submit_poll(&((D3D12Submit *)handle)->core, timeout_ms, frame);
}

ID3D11Device *cap_d3d12_get_device(void *handle) {
    return ((D3D12Submit *)handle)->core.device;
}

int32_t cap_d3d12_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out) {
    return submit_get_texture(&((D3D12Submit *)handle)->core, format, out);
}

void cap_d3d12_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format) {
    submit_get_desc(&((D3D12Submit *)handle)->core, width, height, format);
}

int32_t cap_d3d12_submit(void **handle, void *app_device, void *queue, void *app_image, uint8_t flip,
                         uint32_t *dropped) {
    D3D12Submit *s = (D3D12Submit *)*handle;
    ID3D12Device *dev = (ID3D12Device *)app_device;
    if (!dev) {
        *handle = nullptr;
        if (!s) return 0;
        release_app_objects(s);
        if (submit_app_let_go(&s->core)) free_d3d12(s);
        return 0;
    }
    if (!s) {
        s = (D3D12Submit *)VKO_Alloc(1, sizeof(D3D12Submit));
        submit_record_init(&s->core);
        s->core.app_device = app_device;
        *handle = s;
        // The stand-in has one adapter: the own device is made on it.
        ID3D11Device *own = nullptr;
        if (int32_t r = submit_own_device(&own)) return r;
        if (dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, &s->allocator) < 0 ||
            dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, s->allocator, nullptr, &s->list) < 0 ||
            s->list->Close() < 0 || dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, &s->fence) < 0 ||
            !(s->event = CreateEventW(nullptr, true, false, nullptr))) {
            own->Release();
            return CAPTURE_ERR_DEVICE;
        }
        s->core.device = own;
    }
    if (!s->core.device || !queue || !app_image) return CAPTURE_ERR_DEVICE;
    if (!submit_lock_wanted(&s->core, dropped)) return 0;
    return submit_copied_draw_unlock(
        &s->core, copy_frame(s, dev, (ID3D12CommandQueue *)queue, (ID3D12Resource *)app_image), flip);
}

int32_t cap_d3d12_check_reinit(void *handle) {
    return submit_check_reinit(&((D3D12Submit *)handle)->core);
}

bool cap_d3d12_device_differs(void *handle, void *app_device) {
    return submit_device_differs(&((D3D12Submit *)handle)->core, app_device);
}

const SubmitCaptureApi submit_d3d12_api = {
    cap_d3d12_destroy, cap_d3d12_poll, cap_d3d12_get_device,   cap_d3d12_get_texture,    cap_d3d12_get_desc,
    cap_d3d12_submit,  nullptr,        cap_d3d12_check_reinit, cap_d3d12_device_differs, nullptr,
};
