// The hand-off core of the frame-submission back-ends and the Direct3D 11
// row. The record's threading model is stated with SubmitRecord in submit.h.
#include "host/submit.h"

#include "platform/log.h"
#include "platform/memory.h"

void submit_record_init(SubmitRecord *rec) {
    rec->draw_mode = D3D11_CONVERT_BGRA;
    rec->consumer_waiting = 1;
    rec->refs = 2;
    rec->mutex = VKO_MutexCreate();
    rec->cond = VKO_CondCreate();
}

void submit_record_release(SubmitRecord *rec) {
    d3d11_convert_destroy(&rec->conv);
    d3d_release(&rec->copy);
    d3d_release(&rec->device);
    if (rec->mutex) VKO_MutexDestroy(&rec->mutex);
    if (rec->cond) VKO_CondDestroy(&rec->cond);
}

bool submit_consumer_let_go(SubmitRecord *rec) {
    VKO_MutexLock(rec->mutex);
    rec->consumer_waiting = 0;
    bool last = --rec->refs == 0;
    VKO_MutexUnlock(rec->mutex);
    return last;
}

bool submit_app_let_go(SubmitRecord *rec) {
    VKO_MutexLock(rec->mutex);
    rec->app_released = 1;
    bool last = --rec->refs == 0;
    // A poll waiting for a frame returns. Signalled under the mutex: once it
    // is released, the consumer may let go and free the record.
    VKO_CondSignal(rec->cond);
    VKO_MutexUnlock(rec->mutex);
    return last;
}

bool submit_lock_wanted(SubmitRecord *rec, uint32_t *dropped) {
    VKO_MutexLock(rec->mutex);
    // A submit from another thread still drawing owns the converter's textures.
    if (rec->consumer_waiting && !rec->drawing) {
        // A frame not taken yet is replaced by this one: it is lost, so counted.
        if (rec->frame_available && dropped) (*dropped)++;
        return true;
    }
    if (dropped) (*dropped)++;
    VKO_MutexUnlock(rec->mutex);
    return false;
}

int32_t submit_draw_unlock(SubmitRecord *rec, ID3D11Device *src, ID3D11DeviceContext *saved,
                           ID3D11Texture2D *texture, uint8_t flip) {
    D3D11_TEXTURE2D_DESC d;
    texture->GetDesc(&d);
    if (!d3d11_convert_reads(d.Format)) {
        // Drawn, it would leave the last picture standing as a new frame.
        VKO_MutexUnlock(rec->mutex);
        return SUBMIT_ERR_NO_TEXTURE;
    }
    if (!rec->conv || d.Width != rec->width || d.Height != rec->height) {
        rec->width = d.Width;
        rec->height = d.Height;
        rec->size_changed = rec->conv != nullptr;
        // The consumer waits, so nothing reads the old converter's textures.
        d3d11_convert_destroy(&rec->conv);
        HRESULT hr = d3d11_convert_create(&rec->conv, src, rec->device, d.Width, d.Height, flip != 0);
        if (hr < 0) {
            rec->size_changed = 0;
            VKO_MutexUnlock(rec->mutex);
            return hr;
        }
    }
    // The draw runs unlocked: a frame not taken yet is withdrawn first, so the
    // consumer cannot take the textures half drawn, and it keeps waiting.
    D3D11Converter *conv = rec->conv;
    uint32_t mode = rec->draw_mode;
    rec->frame_available = 0;
    rec->drawing = 1;
    VKO_MutexUnlock(rec->mutex);
    d3d11_convert_draw(conv, saved, texture, mode);
    VKO_MutexLock(rec->mutex);
    rec->drawing = 0;
    rec->frame_available = 1;
    VKO_MutexUnlock(rec->mutex);
    // Woken after the unlock, the consumer does not block on the mutex again.
    VKO_CondSignal(rec->cond);
    return 0;
}

int32_t submit_poll(SubmitRecord *rec, uint32_t timeout_ms, CaptureFrame *frame) {
    VKO_MutexLock(rec->mutex);
    if (rec->app_released) {
        // No frame will come.
        VKO_MutexUnlock(rec->mutex);
        frame->time = (uint64_t)VKO_GetTime();
        return 0;
    }
    rec->consumer_waiting = 1;
    if (!rec->frame_available) VKO_CondWait(rec->cond, rec->mutex, (int32_t)timeout_ms);
    frame->time = (uint64_t)VKO_GetTime();
    if (rec->frame_available) {
        rec->consumer_waiting = 0;
        frame->new_frame = 1;
    }
    rec->frame_available = 0;
    VKO_MutexUnlock(rec->mutex);
    return 0;
}

int32_t submit_get_texture(SubmitRecord *rec, uint32_t format, ID3D11Texture2D **out) {
    VKO_MutexLock(rec->mutex);
    int32_t r = SUBMIT_ERR_NO_TEXTURE;
    *out = nullptr;
    if (rec->conv) {
        // The mode takes effect at the next submit.
        if (format == CAPTURE_FORMAT_NV12) {
            rec->draw_mode = D3D11_CONVERT_NV12;
            *out = rec->conv->nv12_opened;
        } else {
            rec->draw_mode = D3D11_CONVERT_BGRA;
            *out = rec->conv->bgra_opened;
        }
        if (*out) r = 0;
    }
    VKO_MutexUnlock(rec->mutex);
    return r;
}

void submit_get_desc(SubmitRecord *rec, uint16_t *width, uint16_t *height, uint32_t *format) {
    VKO_MutexLock(rec->mutex);
    *width = (uint16_t)rec->width;
    *height = (uint16_t)rec->height;
    *format = CAPTURE_FORMAT_BGRA;
    VKO_MutexUnlock(rec->mutex);
}

int32_t submit_check_reinit(SubmitRecord *rec) {
    VKO_MutexLock(rec->mutex);
    int32_t r = rec->size_changed ? CAPTURE_ERR_FRAME : 0;
    rec->size_changed = 0;
    VKO_MutexUnlock(rec->mutex);
    return r;
}

bool submit_device_differs(SubmitRecord *rec, void *app_device) {
    return rec->app_device != app_device;
}

int32_t submit_copied_draw_unlock(SubmitRecord *rec, int32_t copied, uint8_t flip) {
    if (copied != 0) {
        VKO_MutexUnlock(rec->mutex);
        return copied;
    }
    return submit_draw_unlock(rec, rec->device, nullptr, rec->copy, flip);
}

int32_t submit_own_device(ID3D11Device **out) {
    ID3D11Device *dev = nullptr;
    ID3D10Multithread *mt = nullptr;
    if (D3D11CreateDevice(&dev) < 0) return CAPTURE_ERR_DEVICE;
    if (dev->QueryMultithread(&mt) < 0) {
        dev->Release();
        return CAPTURE_ERR_DEVICE;
    }
    mt->SetMultithreadProtected(true);
    mt->Release();
    *out = dev;
    return 0;
}

// --- Direct3D 11 ---

namespace {

struct D3D11Submit {
    SubmitRecord core;
};

void free_d3d11(D3D11Submit *s) {
    submit_record_release(&s->core);
    VKO_Free(s);
}

}  // namespace

void cap_d3d11_destroy(void **handle) {
    D3D11Submit *s = (D3D11Submit *)*handle;
    if (!s) return;
    *handle = nullptr;
    if (submit_consumer_let_go(&s->core)) free_d3d11(s);
}

int32_t cap_d3d11_poll(void *handle, uint32_t timeout_ms, uint8_t *, CaptureFrame *frame) {
    return submit_poll(&((D3D11Submit *)handle)->core, timeout_ms, frame);
}

ID3D11Device *cap_d3d11_get_device(void *handle) {
    return ((D3D11Submit *)handle)->core.device;
}

int32_t cap_d3d11_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out) {
    return submit_get_texture(&((D3D11Submit *)handle)->core, format, out);
}

void cap_d3d11_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format) {
    submit_get_desc(&((D3D11Submit *)handle)->core, width, height, format);
}

int32_t cap_d3d11_submit(void **handle, void *app_device, void *context, void *app_texture, uint8_t flip,
                         uint32_t *dropped) {
    D3D11Submit *s = (D3D11Submit *)*handle;
    if (!app_device) {
        *handle = nullptr;
        if (s && submit_app_let_go(&s->core)) free_d3d11(s);
        return 0;
    }
    if (!s) {
        // The stand-in has one adapter: the own device is made on it.
        s = (D3D11Submit *)VKO_Alloc(1, sizeof(D3D11Submit));
        submit_record_init(&s->core);
        s->core.app_device = app_device;
        *handle = s;
        if (int32_t r = submit_own_device(&s->core.device)) return r;
    }
    if (!s->core.device || !app_texture) return CAPTURE_ERR_DEVICE;
    if (!submit_lock_wanted(&s->core, dropped)) return 0;
    return submit_draw_unlock(&s->core, (ID3D11Device *)app_device, (ID3D11DeviceContext *)context,
                              (ID3D11Texture2D *)app_texture, flip);
}

int32_t cap_d3d11_check_reinit(void *handle) {
    return submit_check_reinit(&((D3D11Submit *)handle)->core);
}

bool cap_d3d11_device_differs(void *handle, void *app_device) {
    return submit_device_differs(&((D3D11Submit *)handle)->core, app_device);
}

const SubmitCaptureApi submit_d3d11_api = {
    cap_d3d11_destroy, cap_d3d11_poll, cap_d3d11_get_device,   cap_d3d11_get_texture,    cap_d3d11_get_desc,
    cap_d3d11_submit,  nullptr,        cap_d3d11_check_reinit, cap_d3d11_device_differs, nullptr,
};
