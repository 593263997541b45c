// Draws a texture of one device into shared textures that a second (capture)
// device opens: a BGRA copy, and NV12 in two passes (luma, then chroma),
// leaving the caller's pipeline state as it was.
#pragma once

#include <cstdint>

#include "compat/d3d/d3d.h"

#define D3D11_CONVERT_BGRA 1u
#define D3D11_CONVERT_NV12 2u

struct D3D11Converter {
    uint8_t nv12_available;
    ID3D11Device *device;
    ID3D11DeviceContext *context;
    ID3D11PixelShader *ps_luma;
    ID3D11PixelShader *ps_chroma;
    ID3D11PixelShader *ps_copy;
    ID3D11Texture2D *nv12_shared;
    ID3D11Texture2D *bgra_shared;
    ID3D11Texture2D *nv12_opened;  // on the capture device
    ID3D11Texture2D *bgra_opened;
    ID3D11RenderTargetView *rtv_luma;
    ID3D11RenderTargetView *rtv_chroma;
    ID3D11RenderTargetView *rtv_bgra;
    uint8_t flip;  // the quad's vertex colour
};

// The context state a draw changes, with the references the getters gave.
struct D3D11SavedState {
    uint32_t viewports;
    D3D11_VIEWPORT viewport;
    ID3D11RenderTargetView *rtv;
    ID3D11PixelShader *ps;
    ID3D11ShaderResourceView *srv;
    bool flip;
};

HRESULT d3d11_convert_create(D3D11Converter **out, ID3D11Device *device, ID3D11Device *capture_device,
                             uint32_t width, uint32_t height, bool flip);
// What the passes read as colour: 8-bit BGRA and RGBA, 10-bit RGB, half and
// single floats, and their typeless forms as the typed ones.
bool d3d11_convert_reads(DXGI_FORMAT f);

void d3d11_convert_draw(D3D11Converter *conv, ID3D11DeviceContext *saved, ID3D11Texture2D *texture,
                        uint32_t mode);
void d3d11_convert_destroy(D3D11Converter **conv);

HRESULT d3d11_create_rtv(ID3D11Device *device, ID3D11Texture2D *texture, DXGI_FORMAT format,
                         ID3D11RenderTargetView **view);
HRESULT d3d11_open_shared(ID3D11Device *capture_device, ID3D11Texture2D *texture, ID3D11Texture2D **out);
void d3d11_state_save(ID3D11DeviceContext *context, D3D11SavedState *state);
void d3d11_state_restore(ID3D11DeviceContext *context, D3D11SavedState *state);
