// The Quick Sync row: H.264 or H.265 on Intel graphics through the Media SDK
// dispatcher (libmfx.so.1), reached through one function table filled by the
// loader, so a fake implementation under the same file name can stand in. The
// captured texture is the encoder's input surface: the row's frame allocator
// hands the texture itself to the runtime as the surface's memory.
//
// Sessions are opened with implementation 0x304 (hardware, any adapter,
// Direct3D 11) and API 1.0, and the device is given as a Direct3D 11 handle
// (type 3), as the encoder is written for; a Linux runtime, which works
// through VA-API, refuses these, as it does on a machine without an Intel GPU.
#include <mfx/mfxvideo.h>

#include <cmath>
#include <cstddef>
#include <cstring>

#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "platform/log.h"
#include "util/logger.h"

namespace {

// Record sizes and the fields written, as in the packaged headers.
static_assert(sizeof(mfxExtCodingOption) == 64);
static_assert(sizeof(mfxExtCodingOption2) == 68);
static_assert(sizeof(mfxExtCodingOption3) == 512);
static_assert(sizeof(mfxVideoParam) == 208 && offsetof(mfxVideoParam, mfx) == 16);
static_assert(offsetof(mfxInfoMFX, LowPower) == 28 && offsetof(mfxInfoMFX, BRCParamMultiplier) == 30);
static_assert(offsetof(mfxInfoMFX, TargetKbps) == 126);
static_assert(sizeof(mfxFrameSurface1) == 184 && sizeof(mfxBitstream) == 72);
static_assert(MFX_EXTBUFF_CODING_OPTION == MFX_MAKEFOURCC('C', 'D', 'O', 'P') &&
              MFX_EXTBUFF_CODING_OPTION2 == MFX_MAKEFOURCC('C', 'D', 'O', '2') &&
              MFX_EXTBUFF_CODING_OPTION3 == MFX_MAKEFOURCC('C', 'D', 'O', '3'));
static_assert(MFX_CODINGOPTION_ON == 16 && MFX_CODINGOPTION_OFF == 32 && MFX_HANDLE_D3D11_DEVICE == 3);

constexpr mfxIMPL kImpl = 0x304;  // hardware, any adapter, via Direct3D 11
constexpr uint32_t kOutputSize = 2097152;
constexpr uint16_t kBufferKB = 512;

struct MfxApi {
    mfxStatus (*Init)(mfxIMPL, mfxVersion *, mfxSession *);
    mfxStatus (*Close)(mfxSession);
    mfxStatus (*QueryVersion)(mfxSession, mfxVersion *);
    mfxStatus (*SetPriority)(mfxSession, mfxPriority);
    mfxStatus (*QueryPlatform)(mfxSession, mfxPlatform *);
    mfxStatus (*SetHandle)(mfxSession, mfxHandleType, mfxHDL);
    mfxStatus (*SetFrameAllocator)(mfxSession, mfxFrameAllocator *);
    mfxStatus (*SyncOperation)(mfxSession, mfxSyncPoint, mfxU32);
    mfxStatus (*Query)(mfxSession, mfxVideoParam *, mfxVideoParam *);
    mfxStatus (*QueryIOSurf)(mfxSession, mfxVideoParam *, mfxFrameAllocRequest *);
    mfxStatus (*EncInit)(mfxSession, mfxVideoParam *);
    mfxStatus (*Reset)(mfxSession, mfxVideoParam *);
    mfxStatus (*GetVideoParam)(mfxSession, mfxVideoParam *);
    mfxStatus (*EncodeFrameAsync)(mfxSession, mfxEncodeCtrl *, mfxFrameSurface1 *, mfxBitstream *,
                                  mfxSyncPoint *);
    mfxStatus (*EncClose)(mfxSession);
};

// Loads the dispatcher and fills the table; false (nothing kept) when the
// library or one of its entry points is missing.
bool mfx_load(void **module, MfxApi *api) {
    static const char *const kNames[] = {
        "MFXInit",
        "MFXClose",
        "MFXQueryVersion",
        "MFXSetPriority",
        "MFXVideoCORE_QueryPlatform",
        "MFXVideoCORE_SetHandle",
        "MFXVideoCORE_SetFrameAllocator",
        "MFXVideoCORE_SyncOperation",
        "MFXVideoENCODE_Query",
        "MFXVideoENCODE_QueryIOSurf",
        "MFXVideoENCODE_Init",
        "MFXVideoENCODE_Reset",
        "MFXVideoENCODE_GetVideoParam",
        "MFXVideoENCODE_EncodeFrameAsync",
        "MFXVideoENCODE_Close",
    };
    static_assert(sizeof(MfxApi) == sizeof kNames / sizeof kNames[0] * sizeof(void *));
    *module = VKO_SOLoad("libmfx.so.1");
    if (!*module) return false;
    void *slots[sizeof kNames / sizeof kNames[0]];
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; i++) {
        slots[i] = VKO_SOGetSymbol(*module, kNames[i]);
        if (!slots[i]) {
            VKO_SOUnload(module);
            return false;
        }
    }
    std::memcpy((void *)api, slots, sizeof slots);
    return true;
}

struct MfxeState {
    uint8_t open, h265, yuv444, bit10;
    void *module;
    MfxApi api;
    mfxSession session;
    mfxFrameAllocResponse response;
    uint16_t surface_count;
    mfxFrameSurface1 *surfaces;
    mfxBitstream bs;
    mfxExtCodingOption cdop;
    mfxExtCodingOption2 cdo2;
    mfxExtCodingOption3 cdo3;
    mfxExtBuffer *ext[3];
    mfxFrameAllocator allocator;
};

#define LOG_STEP(op, call, line, code) \
    log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", op, call, line, (int)(code))

mfxStatus MFX_CDECL mfxe_alloc(mfxHDL pthis, mfxFrameAllocRequest *, mfxFrameAllocResponse *response) {
    *response = ((MfxeState *)pthis)->response;
    return MFX_ERR_NONE;
}
mfxStatus MFX_CDECL mfxe_lock(mfxHDL, mfxMemId, mfxFrameData *) {
    return MFX_ERR_NONE;
}
mfxStatus MFX_CDECL mfxe_unlock(mfxHDL, mfxMemId, mfxFrameData *) {
    return MFX_ERR_NONE;
}
mfxStatus MFX_CDECL mfxe_free(mfxHDL, mfxFrameAllocResponse *) {
    return MFX_ERR_NONE;
}
// The surface's memory is the texture itself.
mfxStatus MFX_CDECL mfxe_get_hdl(mfxHDL, mfxMemId mid, mfxHDL *handle) {
    mfxHDLPair *pair = (mfxHDLPair *)handle;
    pair->first = mid;
    pair->second = nullptr;
    return MFX_ERR_NONE;
}

uint16_t align16(uint32_t v) {
    return (uint16_t)((v + 15) & ~15u);
}

// Rates go into 16-bit kbit/s fields; above 65,535 kbit/s the multiplier
// scales them (and the buffer size) so they fit.
void set_kbps(mfxInfoMFX *mfx, uint32_t kbps) {
    uint32_t mult = kbps > 0xFFFF ? kbps / 0x10000 + 1 : 0;
    uint32_t div = mult ? mult : 1;
    mfx->BRCParamMultiplier = (mfxU16)mult;
    mfx->TargetKbps = mfx->MaxKbps = (mfxU16)(kbps / div);
    mfx->BufferSizeInKB = (mfxU16)((kBufferKB + div - 1) / div);
}

uint32_t kbps_of(double kbps) {
    return !(kbps > 0) ? 0 : kbps >= 4294967295.0 ? 0xFFFFFFFFu : (uint32_t)kbps;
}

void mfxe_set_properties(MfxeState *s, const RateParams *params, mfxVideoParam *vp, uint32_t source_format,
                         uint32_t width, uint32_t height, bool low_power) {
    std::memset(vp, 0, sizeof *vp);
    vp->AsyncDepth = 1;
    vp->IOPattern = MFX_IOPATTERN_IN_VIDEO_MEMORY;
    mfxInfoMFX &m = vp->mfx;
    m.CodecId = s->h265 ? MFX_CODEC_HEVC : MFX_CODEC_AVC;
    m.TargetUsage = MFX_TARGETUSAGE_7;
    m.GopPicSize = 65535;
    m.GopRefDist = 1;
    m.RateControlMethod = MFX_RATECONTROL_VBR;
    set_kbps(&m, kbps_of(std::trunc((double)params->bitrate) * 1000.0));  // whole Mbit/s
    m.NumSlice = 1;
    if (low_power) m.LowPower = MFX_CODINGOPTION_ON;
    mfxFrameInfo &f = m.FrameInfo;
    f.FourCC = source_format == CAPTURE_FORMAT_NV12     ? MFX_FOURCC_NV12
               : source_format == CAPTURE_FORMAT_RGBA10 ? MFX_FOURCC_Y410
                                                        : MFX_FOURCC_RGB4;
    f.ChromaFormat = source_format == CAPTURE_FORMAT_NV12 ? MFX_CHROMAFORMAT_YUV420 : MFX_CHROMAFORMAT_YUV444;
    if (s->bit10) f.BitDepthLuma = f.BitDepthChroma = 10;
    f.CropW = (mfxU16)width;
    f.CropH = (mfxU16)height;
    f.Width = align16(width);
    f.Height = align16(height);
    f.FrameRateExtN = params->fps;
    f.FrameRateExtD = 1;
    f.PicStruct = MFX_PICSTRUCT_PROGRESSIVE;

    std::memset(&s->cdop, 0, sizeof s->cdop);
    s->cdop.Header = {MFX_EXTBUFF_CODING_OPTION, sizeof s->cdop};
    s->cdop.NalHrdConformance = MFX_CODINGOPTION_OFF;
    s->cdop.AUDelimiter = MFX_CODINGOPTION_OFF;
    std::memset(&s->cdo2, 0, sizeof s->cdo2);
    s->cdo2.Header = {MFX_EXTBUFF_CODING_OPTION2, sizeof s->cdo2};
    s->cdo2.BitrateLimit = MFX_CODINGOPTION_OFF;
    s->cdo2.RepeatPPS = MFX_CODINGOPTION_OFF;
    std::memset(&s->cdo3, 0, sizeof s->cdo3);
    s->cdo3.Header = {MFX_EXTBUFF_CODING_OPTION3, sizeof s->cdo3};
    s->cdo3.TargetChromaFormatPlus1 = s->yuv444 ? 4 : 2;
    if (s->bit10) s->cdo3.TargetBitDepthLuma = s->cdo3.TargetBitDepthChroma = 10;
    s->ext[0] = &s->cdop.Header;
    s->ext[1] = &s->cdo2.Header;
    s->ext[2] = &s->cdo3.Header;
    vp->ExtParam = s->ext;
    vp->NumExtParam = 3;

    mfxStatus st = s->api.Query(s->session, vp, vp);
    if (st < 0) LOG_STEP("mfxe_set_properties", "MFXVideoENCODE_Query", 215, st);
}

// One probe query: the same record in and out; true when the runtime takes it.
bool probe(MfxeState *s, mfxSession session, uint32_t fourcc, uint16_t chroma, uint16_t depth, uint32_t width,
           uint32_t height, bool low_power) {
    mfxVideoParam vp = {};
    vp.mfx.CodecId = MFX_CODEC_HEVC;
    if (low_power) vp.mfx.LowPower = MFX_CODINGOPTION_ON;
    mfxFrameInfo &f = vp.mfx.FrameInfo;
    f.FourCC = fourcc;
    f.PicStruct = MFX_PICSTRUCT_PROGRESSIVE;
    f.ChromaFormat = chroma;
    f.BitDepthLuma = f.BitDepthChroma = depth;
    f.CropW = (mfxU16)width;
    f.CropH = (mfxU16)height;
    f.Width = align16(width);
    f.Height = align16(height);
    f.FrameRateExtN = 60;
    f.FrameRateExtD = 1;
    return s->api.Query(session, &vp, &vp) == MFX_ERR_NONE;
}

void teardown(MfxeState *s) {
    if (s->session) {
        if (s->open) s->api.EncClose(s->session);
        s->api.Close(s->session);
    }
    s->session = nullptr;
    s->open = 0;
    VKO_Free(s->surfaces);
    s->surfaces = nullptr;
    VKO_Free(s->bs.Data);
    s->bs.Data = nullptr;
    VKO_SOUnload(&s->module);
}

// ID3D10Multithread protection on, so the runtime may use the device from its threads.
int32_t d3d10_set_mt(ID3D11Device *device) {
    ID3D10Multithread *mt = nullptr;
    if (!device || device->QueryMultithread(&mt) != S_OK || !mt) {
        LOG_STEP("d3d10_set_mt", "ID3D11Device_QueryInterface:ID3D10Multithread", 113, ENC_ERR_MULTITHREAD);
        return ENC_ERR_MULTITHREAD;
    }
    int32_t r = 0;
    if (!mt->GetMultithreadProtected()) {
        mt->SetMultithreadProtected(true);
        if (!mt->GetMultithreadProtected()) {
            LOG_STEP("d3d10_set_mt", "ID3D10Multithread_SetMultithreadProtected", 121, ENC_ERR_MULTITHREAD);
            r = ENC_ERR_MULTITHREAD;
        }
    }
    mt->Release();
    return r;
}

int32_t init_steps(MfxeState *s, ID3D11Device *device, uint32_t width, uint32_t height,
                   uint32_t source_format, const RateParams *params) {
    if (!mfx_load(&s->module, &s->api)) {
        LOG_STEP("mfxe_init", "MFXInit", 332, ENC_ERR_SESSION);
        return ENC_ERR_SESSION;
    }
    mfxVersion version = {{0, 1}};  // API 1.0

    // What the runtime can do, asked on a session of its own.
    bool h265 = false, yuv444 = false, bit10 = false;
    mfxSession probe_session = nullptr;
    if (s->api.Init(kImpl, &version, &probe_session) == MFX_ERR_NONE) {
        mfxVersion v = {};
        mfxPlatform pf = {};
        if (s->api.QueryVersion(probe_session, &v) == MFX_ERR_NONE &&
            s->api.QueryPlatform(probe_session, &pf) == MFX_ERR_NONE) {
            bool newer = pf.CodeName >= 30;
            h265 = probe(s, probe_session, MFX_FOURCC_NV12, MFX_CHROMAFORMAT_YUV420, 8, width, height, newer);
            if (newer) {
                yuv444 = probe(s, probe_session, MFX_FOURCC_AYUV, MFX_CHROMAFORMAT_YUV444, 8, width, height,
                               newer);
                if (v.Minor >= 27 && pf.CodeName >= 40)
                    bit10 = probe(s, probe_session, MFX_FOURCC_Y410, MFX_CHROMAFORMAT_YUV444, 10, width,
                                  height, newer);
            }
        }
        s->api.Close(probe_session);
    }
    s->h265 = params->want_h265 && h265;
    s->yuv444 = params->want_444 && yuv444 && h265;
    s->bit10 = params->want_10bit && bit10 && h265;
    if (s->yuv444 || s->bit10) s->h265 = 1;

    if (s->api.Init(kImpl, &version, &s->session) != MFX_ERR_NONE) {
        s->session = nullptr;
        LOG_STEP("mfxe_init", "MFXInit", 332, ENC_ERR_SESSION);
        return ENC_ERR_SESSION;
    }
    s->api.SetPriority(s->session, MFX_PRIORITY_HIGH);
    mfxPlatform platform = {};
    if (s->api.QueryPlatform(s->session, &platform) == MFX_ERR_NONE && platform.CodeName == 0) {
        LOG_STEP("mfxe_init", "MFXVideoCORE_QueryPlatform", 344, ENC_ERR_PLATFORM);
        return ENC_ERR_PLATFORM;
    }
    if (int32_t r = d3d10_set_mt(device)) return r;
    if (s->api.SetHandle(s->session, MFX_HANDLE_D3D11_DEVICE, device) < 0) {
        LOG_STEP("mfxe_init", "MFXVideoCORE_SetHandle", 356, ENC_ERR_DEVICE);
        return ENC_ERR_DEVICE;
    }
    s->allocator.pthis = s;
    s->allocator.Alloc = mfxe_alloc;
    s->allocator.Lock = mfxe_lock;
    s->allocator.Unlock = mfxe_unlock;
    s->allocator.GetHDL = mfxe_get_hdl;
    s->allocator.Free = mfxe_free;
    if (s->api.SetFrameAllocator(s->session, &s->allocator) < 0) {
        LOG_STEP("mfxe_init", "MFXVideoCORE_SetFrameAllocator", 371, ENC_ERR_COMPONENT);
        return ENC_ERR_COMPONENT;
    }

    mfxVideoParam vp;
    mfxe_set_properties(s, params, &vp, source_format, width, height, platform.CodeName >= 30);

    mfxFrameAllocRequest request = {};
    if (s->api.QueryIOSurf(s->session, &vp, &request) < 0) {
        LOG_STEP("mfxe_init", "MFXVideoENCODE_QueryIOSurf", 384, ENC_ERR_SURFACE_QUERY);
        return ENC_ERR_SURFACE_QUERY;
    }
    s->surface_count = request.NumFrameSuggested;
    s->response.NumFrameActual = s->surface_count;
    s->response.mids = nullptr;
    s->surfaces = (mfxFrameSurface1 *)VKO_Alloc(s->surface_count, sizeof(mfxFrameSurface1));
    for (uint16_t i = 0; i < s->surface_count; i++) s->surfaces[i].Info = request.Info;

    if (s->api.EncInit(s->session, &vp) < 0) {
        LOG_STEP("mfxe_init", "MFXVideoENCODE_Init", 399, ENC_ERR_INIT);
        return ENC_ERR_INIT;
    }
    s->open = 1;
    s->bs.Data = (mfxU8 *)VKO_Alloc(kOutputSize, 1);
    s->bs.MaxLength = kOutputSize;

    log_message(LOG_LEVEL_INFO, "%-13s = %s", "encoder", "intel");
    log_message(LOG_LEVEL_INFO, "%-13s = %s", "input",
                source_format == CAPTURE_FORMAT_NV12     ? "nv12"
                : source_format == CAPTURE_FORMAT_RGBA10 ? "rgba10"
                                                         : "rgba");
    log_message(LOG_LEVEL_INFO, "%-13s = %s", "codec", s->h265 ? "h265" : "h264");
    return 0;
}

}  // namespace

bool mfxe_accepts_rgb(void) {
    void *module = nullptr;
    MfxApi api;
    if (!mfx_load(&module, &api)) return false;
    mfxVersion version = {{0, 1}};
    mfxSession session = nullptr;
    bool rgb = false;
    if (api.Init(kImpl, &version, &session) == MFX_ERR_NONE) {
        mfxVersion v = {};
        if (api.QueryVersion(session, &v) == MFX_ERR_NONE) rgb = v.Minor >= 16 && v.Major >= 1;
        api.Close(session);
    }
    VKO_SOUnload(&module);
    return rgb;
}

void mfxe_destroy(void **handle) {
    MfxeState *s = handle ? (MfxeState *)*handle : nullptr;
    if (!s) return;
    teardown(s);
    VKO_Free(s);
    *handle = nullptr;
}

int32_t mfxe_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height,
                  uint32_t source_format, RateParams *params) {
    MfxeState *s = (MfxeState *)VKO_Alloc(1, sizeof(MfxeState));
    *handle = s;
    int32_t r = init_steps(s, device, width, height, source_format, params);
    if (r) mfxe_destroy(handle);
    return r;
}

int32_t mfxe_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size) {
    MfxeState *s = (MfxeState *)handle;
    *data = nullptr;
    *size = 0;
    if (!s || !s->open) return ENC_ERR_SUBMIT;
    mfxFrameSurface1 *surface = nullptr;
    for (uint16_t i = 0; i < s->surface_count && !surface; i++)
        if (s->surfaces[i].Data.Locked == 0) surface = &s->surfaces[i];
    if (!surface) return ENC_ERR_OUTPUT;
    surface->Data.MemId = texture;

    int32_t r = 0;
    mfxSyncPoint sync = nullptr;
    for (int attempt = 1;; attempt++) {
        mfxStatus st = s->api.EncodeFrameAsync(s->session, nullptr, surface, &s->bs, &sync);
        if (st == MFX_ERR_NONE) break;
        LOG_STEP("mfxe_encode", "MFXVideoENCODE_EncodeFrameAsync", 477, st);
        if (attempt == 12) {
            r = ENC_ERR_SUBMIT;
            break;
        }
        VKO_Sleep(1);
    }
    if (r == 0 && s->api.SyncOperation(s->session, sync, 0xFFFFFFFF) != MFX_ERR_NONE) {
        LOG_STEP("mfxe_encode", "MFXVideoCORE_SyncOperation", 482, ENC_ERR_SUBMIT);
        r = ENC_ERR_SUBMIT;
    }
    if (r == 0 && s->bs.DataLength > kOutputSize) r = ENC_ERR_TOO_LARGE;
    if (r) {
        s->bs.DataLength = 0;
        return r;
    }
    *size = s->bs.DataLength;
    *data = s->bs.Data;
    return 0;
}

void mfxe_after_frame(void *handle) {
    MfxeState *s = (MfxeState *)handle;
    if (s) s->bs.DataLength = 0;
}

void mfxe_update_bitrate(void *handle, RateParams *params) {
    MfxeState *s = (MfxeState *)handle;
    if (!s || !s->open) return;
    mfxVideoParam vp = {};
    mfxStatus st = s->api.GetVideoParam(s->session, &vp);
    if (st < 0) LOG_STEP("mfxe_update_bitrate", "MFXVideoENCODE_GetVideoParam", 427, st);
    mfxExtBuffer *ext[1] = {&s->cdo2.Header};
    vp.ExtParam = ext;
    vp.NumExtParam = 1;
    set_kbps(&vp.mfx, kbps_of((double)params->bitrate * 1000.0));
    st = s->api.Reset(s->session, &vp);
    if (st < 0) LOG_STEP("mfxe_update_bitrate", "MFXVideoENCODE_Reset", 440, st);
}

void mfxe_caps(void *handle, EncoderCaps *report) {
    MfxeState *s = (MfxeState *)handle;
    if (!s || !report) return;
    report->h265 = s->h265;
    report->yuv444 = s->yuv444;
    report->bit10 = s->bit10;
}
