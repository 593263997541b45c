// The Direct3D 9 row of frame submission. The record's threading model,
// with its two holders, is the core's (submit.h). The application's
// Direct3D 9 objects are touched only on its thread, and released when it
// lets go; the own device, copy and converter live until the last party.
#include "host/submit_d3d9.h"

#include <cstring>

#include "platform/log.h"
#include "platform/memory.h"

namespace {

struct D3D9Submit {
    SubmitRecord core;  // first: the shared texture and description operations read it
    bool ex;
    IDirect3DSurface9 *target;  // on the application's device: shared (9Ex) or lockable
    uint32_t target_w, target_h;
};

void free_record(D3D9Submit *s) {
    submit_record_release(&s->core);
    VKO_Free(s);
}

int32_t make_targets(D3D9Submit *s, IDirect3DDevice9 *dev, uint32_t w, uint32_t h) {
    d3d_release(&s->target);
    d3d_release(&s->core.copy);
    s->target_w = s->target_h = 0;
    if (s->ex) {
        void *shared = nullptr;
        if (dev->CreateRenderTarget(w, h, D3DFMT_A8R8G8B8, 0, 0, 0, &s->target, &shared) < 0 || !s->target ||
            s->core.device->OpenSharedResource(shared, &s->core.copy) < 0) {
            d3d_release(&s->target);
            return SUBMIT_ERR_NO_TEXTURE;
        }
    } else {
        D3D11_TEXTURE2D_DESC d = {w,
                                  h,
                                  1,
                                  1,
                                  DXGI_FORMAT_B8G8R8A8_UNORM,
                                  {1, 0},
                                  D3D11_USAGE_DYNAMIC,
                                  D3D11_BIND_SHADER_RESOURCE,
                                  D3D11_CPU_ACCESS_WRITE,
                                  0};
        if (dev->CreateRenderTarget(w, h, D3DFMT_A8R8G8B8, 0, 0, 1, &s->target, nullptr) < 0 || !s->target ||
            s->core.device->CreateTexture2D(&d, nullptr, &s->core.copy) < 0) {
            d3d_release(&s->target);
            s->core.copy = nullptr;
            return SUBMIT_ERR_NO_TEXTURE;
        }
    }
    s->target_w = w;
    s->target_h = h;
    return 0;
}

// The application's surface into the copy the converter draws from.
int32_t copy_frame(D3D9Submit *s, IDirect3DDevice9 *dev, IDirect3DSurface9 *surface) {
    D3DSURFACE_DESC sd;
    if (surface->GetDesc(&sd) < 0 || sd.Width == 0 || sd.Height == 0) return SUBMIT_ERR_NO_TEXTURE;
    if (!s->target || sd.Width != s->target_w || sd.Height != s->target_h) {
        if (int32_t r = make_targets(s, dev, sd.Width, sd.Height)) return r;
    }
    if (dev->StretchRect(surface, nullptr, s->target, nullptr, D3DTEXF_NONE) < 0)
        return SUBMIT_ERR_NO_TEXTURE;
    if (s->ex) return 0;
    D3DLOCKED_RECT locked;
    if (s->target->LockRect(&locked, nullptr, D3DLOCK_READONLY) < 0) return SUBMIT_ERR_NO_TEXTURE;
    ID3D11DeviceContext *ctx = nullptr;
    s->core.device->GetImmediateContext(&ctx);
    D3D11_MAPPED_SUBRESOURCE m;
    int32_t r = SUBMIT_ERR_NO_TEXTURE;
    if (ctx->Map(s->core.copy, 0, D3D11_MAP_WRITE_DISCARD, 0, &m) >= 0) {
        for (uint32_t y = 0; y < s->target_h; y++)
            std::memcpy((uint8_t *)m.pData + (size_t)y * m.RowPitch,
                        (const uint8_t *)locked.pBits + (size_t)y * (uint32_t)locked.Pitch,
                        (size_t)s->target_w * 4);
        ctx->Unmap(s->core.copy, 0);
        r = 0;
    }
    ctx->Release();
    s->target->UnlockRect();
    return r;
}

// The application lets go: its objects go now, the rest with the last party.
void app_release(D3D9Submit *s) {
    VKO_MutexLock(s->core.mutex);
    d3d_release(&s->target);
    VKO_MutexUnlock(s->core.mutex);
    if (submit_app_let_go(&s->core)) free_record(s);
}

}  // namespace

void cap_d3d9_destroy(void **handle) {
    D3D9Submit *s = (D3D9Submit *)*handle;
    if (!s) return;
    *handle = nullptr;
    if (submit_consumer_let_go(&s->core)) free_record(s);
}

int32_t cap_d3d9_poll(void *handle, uint32_t timeout_ms, uint8_t *, CaptureFrame *frame) {
    return submit_poll(&((D3D9Submit *)handle)->core, timeout_ms, frame);
}

ID3D11Device *cap_d3d9_get_device(void *handle) {
    return ((D3D9Submit *)handle)->core.device;
}

int32_t cap_d3d9_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out) {
    return submit_get_texture((SubmitRecord *)handle, format, out);
}

void cap_d3d9_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format) {
    submit_get_desc((SubmitRecord *)handle, width, height, format);
}

int32_t cap_d3d9_submit(void **handle, void *app_device, void *, void *app_image, uint8_t flip,
                        uint32_t *dropped) {
    D3D9Submit *s = (D3D9Submit *)*handle;
    IDirect3DDevice9 *dev = (IDirect3DDevice9 *)app_device;
    if (!dev) {
        if (s) app_release(s);
        *handle = nullptr;
        return 0;
    }
    if (!s) {
        s = (D3D9Submit *)VKO_Alloc(1, sizeof(D3D9Submit));
        submit_record_init(&s->core);
        s->core.app_device = app_device;
        *handle = s;
        // The stand-in has one adapter, the one the creation parameters name.
        D3DDEVICE_CREATION_PARAMETERS cp;
        if (dev->GetCreationParameters(&cp) < 0) return CAPTURE_ERR_DEVICE;
        IDirect3DDevice9Ex *ex = nullptr;
        s->ex = dev->QueryInterface(&ex) >= 0 && ex;
        if (ex) ex->Release();
        if (int32_t r = submit_own_device(&s->core.device)) return r;
    }
    if (!s->core.device || !app_image || s->core.app_released) return CAPTURE_ERR_DEVICE;
    if (!submit_lock_wanted(&s->core, dropped)) return 0;
    return submit_copied_draw_unlock(&s->core, copy_frame(s, dev, (IDirect3DSurface9 *)app_image), flip);
}

int32_t cap_d3d9_check_reinit(void *handle) {
    return submit_check_reinit(&((D3D9Submit *)handle)->core);
}

bool cap_d3d9_device_differs(void *handle, void *app_device) {
    return submit_device_differs(&((D3D9Submit *)handle)->core, app_device);
}

const SubmitCaptureApi submit_d3d9_api = {
    cap_d3d9_destroy, cap_d3d9_poll, cap_d3d9_get_device,   cap_d3d9_get_texture,    cap_d3d9_get_desc,
    cap_d3d9_submit,  nullptr,       cap_d3d9_check_reinit, cap_d3d9_device_differs, nullptr,
};
