#include "host/d3d11_convert.h"

#include <cstring>
#include <vector>

#include "host/nv12.h"
#include "platform/memory.h"

namespace {

float half_to_float(uint16_t h) {
    uint32_t sign = (uint32_t)(h >> 15) << 31, exp = (h >> 10) & 0x1F, man = h & 0x3FF, bits;
    if (exp == 0x1F) {
        bits = sign | 0x7F800000u | (man << 13);  // infinity or NaN
    } else if (exp != 0) {
        bits = sign | ((exp + 112) << 23) | (man << 13);
    } else {
        float f = (float)man / 16777216.0f;  // subnormal: man x 2^-24
        return sign ? -f : f;
    }
    float f;
    memcpy(&f, &bits, 4);
    return f;
}

// A sampled channel in 0..1 as the 8-bit value the passes take.
uint8_t unorm8(float v) {
    if (!(v > 0.0f)) return 0;  // NaN too
    return v >= 1.0f ? 255 : (uint8_t)(v * 255.0f + 0.5f);
}

// 10-bit and float texels, read as the sampler reads them, as BGRA bytes of
// the part the passes can reach. Reused per thread: no allocation per frame.
bool widen(const uint8_t *data, uint32_t pitch, DXGI_FORMAT f, uint32_t w, uint32_t h,
           std::vector<uint8_t> *out) {
    out->resize((size_t)w * h * 4);
    for (uint32_t y = 0; y < h; y++) {
        const uint8_t *row = data + (size_t)y * pitch;
        uint8_t *o = out->data() + (size_t)y * w * 4;
        for (uint32_t x = 0; x < w; x++, o += 4) {
            float c[4];
            if (f == DXGI_FORMAT_R10G10B10A2_UNORM) {
                uint32_t v;
                memcpy(&v, row + x * 4, 4);
                c[0] = (float)(v & 0x3FF) / 1023.0f;
                c[1] = (float)((v >> 10) & 0x3FF) / 1023.0f;
                c[2] = (float)((v >> 20) & 0x3FF) / 1023.0f;
                c[3] = (float)(v >> 30) / 3.0f;
            } else if (f == DXGI_FORMAT_R16G16B16A16_FLOAT) {
                uint16_t v[4];
                memcpy(v, row + x * 8, 8);
                for (int i = 0; i < 4; i++) c[i] = half_to_float(v[i]);
            } else if (f == DXGI_FORMAT_R32G32B32A32_FLOAT) {
                memcpy(c, row + x * 16, 16);
            } else {
                return false;
            }
            o[0] = unorm8(c[2]);
            o[1] = unorm8(c[1]);
            o[2] = unorm8(c[0]);
            o[3] = unorm8(c[3]);
        }
    }
    return true;
}

// The three pixel passes. The viewport is the source extent; the target
// plane clips what lies beyond it.
bool source_of(const ID3D11View *view, uint32_t vw, uint32_t vh, bool flip, Nv12Source *src) {
    uint32_t pitch, w, h;
    const uint8_t *data = view->plane(&pitch, &w, &h);
    DXGI_FORMAT f = view->format();
    // Texels past the source clamp to its edge; the quad never reaches them
    // unless the viewport is larger than the source.
    w = vw < w ? vw : w;
    h = vh < h ? vh : h;
    if (f == DXGI_FORMAT_B8G8R8A8_UNORM || f == DXGI_FORMAT_B8G8R8X8_UNORM ||
        f == DXGI_FORMAT_R8G8B8A8_UNORM) {
        *src = {data, pitch, w, h, f == DXGI_FORMAT_R8G8B8A8_UNORM, flip};
        return true;
    }
    thread_local std::vector<uint8_t> wide;
    if (!widen(data, pitch, f, w, h, &wide)) return false;
    *src = {wide.data(), w * 4, w, h, false, flip};
    return true;
}

uint32_t min3(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t m = a < b ? a : b;
    return m < c ? m : c;
}

void pass_luma(const ID3D11View *in, const ID3D11View *out, uint32_t vw, uint32_t vh, bool flip) {
    Nv12Source src;
    if (!source_of(in, vw, vh, flip, &src)) return;
    uint32_t pitch, w, h;
    uint8_t *dst = out->plane(&pitch, &w, &h);
    nv12_luma(src, dst, pitch, min3(w, vw, src.width), min3(h, vh, src.height));
}

void pass_chroma(const ID3D11View *in, const ID3D11View *out, uint32_t vw, uint32_t vh, bool flip) {
    Nv12Source src;
    if (!source_of(in, vw, vh, flip, &src)) return;
    uint32_t pitch, w, h;
    uint8_t *dst = out->plane(&pitch, &w, &h);
    nv12_chroma(src, dst, pitch, min3(w, vw, src.width / 2), min3(h, vh, src.height / 2));
}

void pass_copy(const ID3D11View *in, const ID3D11View *out, uint32_t vw, uint32_t vh, bool flip) {
    Nv12Source src;
    if (!source_of(in, vw, vh, flip, &src)) return;
    uint32_t pitch, w, h;
    uint8_t *dst = out->plane(&pitch, &w, &h);
    nv12_copy_bgra(src, dst, pitch, min3(w, vw, src.width), min3(h, vh, src.height));
}

DXGI_FORMAT typed_format(DXGI_FORMAT f) {
    switch ((uint32_t)f) {
        case 1:
            // Its unsigned integer form cannot be sampled: the float form.
            return DXGI_FORMAT_R32G32B32A32_FLOAT;
        case 9:
            return DXGI_FORMAT_R16G16B16A16_FLOAT;
        case 23:
            return DXGI_FORMAT_R10G10B10A2_UNORM;
        case 27:
            return DXGI_FORMAT_R8G8B8A8_UNORM;
        case 90:
            return DXGI_FORMAT_B8G8R8A8_UNORM;
        case 92:
            return DXGI_FORMAT_B8G8R8X8_UNORM;
        default:
            return f;
    }
}

HRESULT shared_texture(ID3D11Device *device, uint32_t w, uint32_t h, DXGI_FORMAT format,
                       ID3D11Texture2D **out) {
    D3D11_TEXTURE2D_DESC d = {};
    d.Width = w;
    d.Height = h;
    d.MipLevels = 1;
    d.ArraySize = 1;
    d.Format = format;
    d.SampleDesc.Count = 1;
    d.Usage = D3D11_USAGE_DEFAULT;
    d.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    d.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
    return device->CreateTexture2D(&d, nullptr, out);
}

void draw_pass(ID3D11DeviceContext *ctx, ID3D11RenderTargetView *rtv, ID3D11PixelShader *ps,
               ID3D11ShaderResourceView *srv) {
    ctx->OMSetRenderTargets(1, &rtv, nullptr);
    ctx->PSSetShader(ps);
    ctx->PSSetShaderResources(0, 1, &srv);
    ctx->DrawIndexed(6, 0, 0);
}

}  // namespace

HRESULT d3d11_create_rtv(ID3D11Device *device, ID3D11Texture2D *texture, DXGI_FORMAT format,
                         ID3D11RenderTargetView **view) {
    return device->CreateRenderTargetView(texture, format, view);
}

HRESULT d3d11_open_shared(ID3D11Device *capture_device, ID3D11Texture2D *texture, ID3D11Texture2D **out) {
    *out = nullptr;
    if (!capture_device) {
        texture->AddRef();
        *out = texture;
        return S_OK;
    }
    void *handle = nullptr;
    HRESULT hr = texture->GetSharedHandle(&handle);
    if (hr < 0) return hr;
    return capture_device->OpenSharedResource(handle, out);
}

HRESULT d3d11_convert_create(D3D11Converter **out, ID3D11Device *device, ID3D11Device *capture_device,
                             uint32_t width, uint32_t height, bool flip) {
    D3D11Converter *c = (D3D11Converter *)VKO_Alloc(1, sizeof(D3D11Converter));
    *out = nullptr;
    device->AddRef();
    c->device = device;
    device->GetImmediateContext(&c->context);
    c->flip = flip;
    uint32_t w = width & ~1u, h = height & ~1u;

    c->nv12_available = shared_texture(device, w, h, DXGI_FORMAT_NV12, &c->nv12_shared) >= 0;
    HRESULT hr = shared_texture(device, w, h, DXGI_FORMAT_B8G8R8A8_UNORM, &c->bgra_shared);
    if (hr >= 0 && c->nv12_available) {
        hr = d3d11_open_shared(capture_device, c->nv12_shared, &c->nv12_opened);
        if (hr >= 0) hr = d3d11_create_rtv(device, c->nv12_shared, DXGI_FORMAT_R8_UNORM, &c->rtv_luma);
        if (hr >= 0) hr = d3d11_create_rtv(device, c->nv12_shared, DXGI_FORMAT_R8G8_UNORM, &c->rtv_chroma);
    }
    if (hr >= 0) hr = d3d11_open_shared(capture_device, c->bgra_shared, &c->bgra_opened);
    if (hr >= 0) hr = d3d11_create_rtv(device, c->bgra_shared, DXGI_FORMAT_B8G8R8A8_UNORM, &c->rtv_bgra);
    if (hr >= 0) hr = device->CreatePixelShader(pass_luma, &c->ps_luma);
    if (hr >= 0) hr = device->CreatePixelShader(pass_chroma, &c->ps_chroma);
    if (hr >= 0) hr = device->CreatePixelShader(pass_copy, &c->ps_copy);
    if (hr < 0) {
        d3d11_convert_destroy(&c);
        return hr;
    }
    *out = c;
    return S_OK;
}

void d3d11_state_save(ID3D11DeviceContext *ctx, D3D11SavedState *s) {
    s->viewports = 1;
    ctx->RSGetViewports(&s->viewports, &s->viewport);
    ctx->OMGetRenderTargets(1, &s->rtv, nullptr);
    ctx->PSGetShader(&s->ps);
    ctx->PSGetShaderResources(0, 1, &s->srv);
    s->flip = ctx->IAGetQuadFlip();
}

void d3d11_state_restore(ID3D11DeviceContext *ctx, D3D11SavedState *s) {
    ctx->RSSetViewports(s->viewports, &s->viewport);
    ctx->OMSetRenderTargets(1, &s->rtv, nullptr);
    ctx->PSSetShader(s->ps);
    ctx->PSSetShaderResources(0, 1, &s->srv);
    ctx->IASetQuadFlip(s->flip);
    d3d_release(&s->rtv);
    d3d_release(&s->ps);
    d3d_release(&s->srv);
}

bool d3d11_convert_reads(DXGI_FORMAT f) {
    switch ((uint32_t)typed_format(f)) {
        case DXGI_FORMAT_B8G8R8A8_UNORM:
        case DXGI_FORMAT_B8G8R8X8_UNORM:
        case DXGI_FORMAT_R8G8B8A8_UNORM:
        case DXGI_FORMAT_R10G10B10A2_UNORM:
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
            return true;
        default:
            return false;
    }
}

void d3d11_convert_draw(D3D11Converter *c, ID3D11DeviceContext *saved, ID3D11Texture2D *texture,
                        uint32_t mode) {
    D3D11_TEXTURE2D_DESC d;
    texture->GetDesc(&d);
    ID3D11ShaderResourceView *srv = nullptr;
    if (c->device->CreateShaderResourceView(texture, typed_format(d.Format), &srv) < 0) return;

    D3D11SavedState state = {};
    if (saved) {
        saved->Flush();
        d3d11_state_save(saved, &state);
    }
    ID3D11DeviceContext *ctx = c->context;
    D3D11_VIEWPORT vp = {0, 0, (float)d.Width, (float)d.Height, 0, 1};
    ctx->RSSetViewports(1, &vp);
    ctx->IASetQuadFlip(c->flip);
    if (mode == D3D11_CONVERT_BGRA) {
        draw_pass(ctx, c->rtv_bgra, c->ps_copy, srv);
    } else if (mode == D3D11_CONVERT_NV12 && c->nv12_available) {
        draw_pass(ctx, c->rtv_luma, c->ps_luma, srv);
        draw_pass(ctx, c->rtv_chroma, c->ps_chroma, srv);
    }
    // Unbind, so the draw keeps no reference to the caller's texture.
    ID3D11ShaderResourceView *none = nullptr;
    ctx->PSSetShaderResources(0, 1, &none);
    srv->Release();
    if (saved) {
        saved->Flush();
        d3d11_state_restore(saved, &state);
    }
}

void d3d11_convert_destroy(D3D11Converter **conv) {
    D3D11Converter *c = conv ? *conv : nullptr;
    if (!c) return;
    d3d_release(&c->rtv_luma);
    d3d_release(&c->rtv_chroma);
    d3d_release(&c->rtv_bgra);
    d3d_release(&c->ps_luma);
    d3d_release(&c->ps_chroma);
    d3d_release(&c->ps_copy);
    d3d_release(&c->nv12_opened);
    d3d_release(&c->bgra_opened);
    d3d_release(&c->nv12_shared);
    d3d_release(&c->bgra_shared);
    d3d_release(&c->context);
    d3d_release(&c->device);
    VKO_Free(c);
    *conv = nullptr;
}
