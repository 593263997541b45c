#include "support/fake_core.h"

#include <x264.h>

#include <cstring>

#include "host/nv12.h"

bool FakeCodec::open(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_bps, uint32_t slices) {
    close();
    x264_param_t p;
    if (x264_param_default_preset(&p, "ultrafast", "zerolatency") < 0) return false;
    p.i_threads = 1;
    p.i_width = (int)width;
    p.i_height = (int)height;
    p.i_csp = X264_CSP_NV12;
    p.i_fps_num = fps ? fps : 60;
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = p.i_fps_num;
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_bframe = 0;
    p.b_annexb = 1;
    p.b_repeat_headers = 1;
    p.i_slice_count = slices > 1 && slices <= 32 ? (int)slices : 0;
    p.i_log_level = X264_LOG_NONE;
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = bitrate_bps >= 1000 ? (int)(bitrate_bps / 1000) : 1000;
    p.rc.i_vbv_max_bitrate = p.rc.i_bitrate;
    p.rc.i_vbv_buffer_size = p.rc.i_bitrate / (int)p.i_fps_num * 3 + 1;
    if (x264_param_apply_profile(&p, "high") < 0) return false;
    enc_ = x264_encoder_open(&p);
    width_ = width;
    height_ = height;
    pts_ = 0;
    nv12_.assign((size_t)width * height * 3 / 2, 0);
    return enc_ != nullptr;
}

void FakeCodec::set_bitrate(uint32_t bitrate_bps) {
    if (!enc_) return;
    x264_param_t p;
    x264_encoder_parameters(enc_, &p);
    p.rc.i_bitrate = bitrate_bps >= 1000 ? (int)(bitrate_bps / 1000) : 1000;
    p.rc.i_vbv_max_bitrate = p.rc.i_bitrate;
    x264_encoder_reconfig(enc_, &p);
}

bool FakeCodec::encode(ID3D11Texture2D *texture, uint32_t synthetic, std::vector<uint8_t> *out) {
    out->clear();
    if (synthetic) {
        // Start code, a non-IDR slice header byte, then filler.
        out->assign(synthetic, 0xA5);
        static const uint8_t head[] = {0, 0, 0, 1, 0x41};
        std::memcpy(out->data(), head, synthetic < sizeof head ? synthetic : sizeof head);
        return true;
    }
    if (!enc_ || !texture) return false;
    D3D11_TEXTURE2D_DESC d;
    texture->GetDesc(&d);
    if (d.Width < width_ || d.Height < height_) return false;
    const uint8_t *px = texture->data();
    uint32_t pitch = texture->pitch();
    uint32_t w = width_, h = height_;
    if (d.Format == DXGI_FORMAT_NV12) {
        for (uint32_t y = 0; y < h; y++) std::memcpy(&nv12_[(size_t)y * w], px + (size_t)y * pitch, w);
        const uint8_t *uv = px + (size_t)pitch * d.Height;
        for (uint32_t y = 0; y < h / 2; y++)
            std::memcpy(&nv12_[(size_t)w * h + (size_t)y * w], uv + (size_t)y * pitch, w);
    } else if (d3d_format_bpp(d.Format) == 4) {
        bool rgba = d.Format == DXGI_FORMAT_R8G8B8A8_UNORM || d.Format == DXGI_FORMAT_R8G8B8A8_TYPELESS;
        Nv12Source src = {px, pitch, d.Width, d.Height, rgba, false};
        nv12_luma(src, nv12_.data(), w, w, h);
        nv12_chroma(src, nv12_.data() + (size_t)w * h, w, w / 2, h / 2);
    } else {
        return false;
    }
    x264_picture_t pic, res;
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_NV12;
    pic.img.i_plane = 2;
    pic.img.plane[0] = nv12_.data();
    pic.img.i_stride[0] = (int)w;
    pic.img.plane[1] = nv12_.data() + (size_t)w * h;
    pic.img.i_stride[1] = (int)w;
    pic.i_pts = pts_++;
    x264_nal_t *nals = nullptr;
    int n = 0;
    int size = x264_encoder_encode(enc_, &nals, &n, &pic, &res);
    if (size < 0) return false;
    if (size > 0) out->assign(nals[0].p_payload, nals[0].p_payload + size);
    return true;
}

void FakeCodec::close() {
    if (enc_) x264_encoder_close(enc_);
    enc_ = nullptr;
}
