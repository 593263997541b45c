// A fake Media SDK dispatcher over the shared fake codec core: the entry
// points the Quick Sync encoder calls, each journaled and able to fail on
// demand. The input picture is reached through the encoder's own frame
// allocator, as a runtime reaches it.
#include "support/fake_mfx.h"

#include <cstring>

namespace {

FakeMfx g_fake;

struct Session {
    mfxFrameAllocator allocator = {};
    bool has_allocator = false;
    bool encoder = false;
    FakeCodec codec;
    std::vector<uint8_t> out;
    mfxVideoParam params = {};
};

struct Sync {};
Sync g_sync;

mfxStatus status(const char *call) {
    return (mfxStatus)g_fake.hit(call);
}

FakeMfx::Params copy(const mfxVideoParam *vp) {
    FakeMfx::Params p;
    p.vp = *vp;
    for (mfxU16 i = 0; vp->ExtParam && i < vp->NumExtParam; i++) {
        mfxExtBuffer *b = vp->ExtParam[i];
        p.ext_ids.push_back(b->BufferId);
        if (b->BufferId == MFX_EXTBUFF_CODING_OPTION && b->BufferSz == sizeof p.cdop)
            std::memcpy(&p.cdop, b, sizeof p.cdop);
        if (b->BufferId == MFX_EXTBUFF_CODING_OPTION2 && b->BufferSz == sizeof p.cdo2)
            std::memcpy(&p.cdo2, b, sizeof p.cdo2);
        if (b->BufferId == MFX_EXTBUFF_CODING_OPTION3 && b->BufferSz == sizeof p.cdo3)
            std::memcpy(&p.cdo3, b, sizeof p.cdo3);
    }
    p.vp.ExtParam = nullptr;
    return p;
}

uint32_t kbps(const mfxInfoMFX &m) {
    return (uint32_t)m.TargetKbps * (m.BRCParamMultiplier ? m.BRCParamMultiplier : 1);
}

}  // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT FakeMfx *fake_mfx(void) {
    return &g_fake;
}

FAKE_EXPORT mfxStatus MFXInit(mfxIMPL impl, mfxVersion *ver, mfxSession *session) {
    g_fake.impls.push_back(impl);
    g_fake.versions.push_back(ver ? *ver : mfxVersion{});
    if (mfxStatus st = status("MFXInit")) return st;
    if (!session) return MFX_ERR_NULL_PTR;
    g_fake.live++;
    *session = (mfxSession) new Session();
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXClose(mfxSession session) {
    g_fake.hit("MFXClose");
    Session *s = (Session *)session;
    if (!s) return MFX_ERR_INVALID_HANDLE;
    if (s->encoder) g_fake.live--;
    g_fake.live--;
    delete s;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXQueryVersion(mfxSession, mfxVersion *v) {
    if (mfxStatus st = status("MFXQueryVersion")) return st;
    *v = g_fake.version;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXSetPriority(mfxSession, mfxPriority p) {
    g_fake.priorities.push_back(p);
    return status("MFXSetPriority");
}

FAKE_EXPORT mfxStatus MFXVideoCORE_QueryPlatform(mfxSession, mfxPlatform *p) {
    if (mfxStatus st = status("MFXVideoCORE_QueryPlatform")) return st;
    std::memset(p, 0, sizeof *p);
    p->CodeName = g_fake.code_name;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoCORE_SetHandle(mfxSession, mfxHandleType type, mfxHDL hdl) {
    g_fake.handle_type = type;
    g_fake.handle = hdl;
    return status("MFXVideoCORE_SetHandle");
}

FAKE_EXPORT mfxStatus MFXVideoCORE_SetFrameAllocator(mfxSession session, mfxFrameAllocator *a) {
    if (mfxStatus st = status("MFXVideoCORE_SetFrameAllocator")) return st;
    Session *s = (Session *)session;
    s->allocator = *a;
    s->has_allocator = true;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoENCODE_Query(mfxSession, mfxVideoParam *in, mfxVideoParam *out) {
    g_fake.queries.push_back(copy(in));
    if (mfxStatus st = status("MFXVideoENCODE_Query")) return st;
    if (in->mfx.CodecId == MFX_CODEC_HEVC) {
        auto it = g_fake.hevc_query.find(in->mfx.FrameInfo.FourCC);
        if (it != g_fake.hevc_query.end() && it->second) return it->second;
    }
    if (out != in) *out = *in;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoENCODE_QueryIOSurf(mfxSession, mfxVideoParam *vp, mfxFrameAllocRequest *r) {
    g_fake.io_surf = copy(vp);
    if (mfxStatus st = status("MFXVideoENCODE_QueryIOSurf")) return st;
    std::memset(r, 0, sizeof *r);
    r->Info = vp->mfx.FrameInfo;
    r->NumFrameMin = r->NumFrameSuggested = g_fake.surfaces;
    r->Type = MFX_MEMTYPE_FROM_ENCODE | MFX_MEMTYPE_VIDEO_MEMORY_DECODER_TARGET | MFX_MEMTYPE_EXTERNAL_FRAME;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoENCODE_Init(mfxSession session, mfxVideoParam *vp) {
    g_fake.init = copy(vp);
    if (mfxStatus st = status("MFXVideoENCODE_Init")) return st;
    Session *s = (Session *)session;
    if (!s->has_allocator) return MFX_ERR_INVALID_VIDEO_PARAM;
    // The runtime asks the allocator for its surfaces.
    mfxFrameAllocRequest req = {};
    req.Info = vp->mfx.FrameInfo;
    req.NumFrameSuggested = g_fake.surfaces;
    mfxFrameAllocResponse resp = {};
    if (s->allocator.Alloc(s->allocator.pthis, &req, &resp) != MFX_ERR_NONE ||
        resp.NumFrameActual != g_fake.surfaces)
        return MFX_ERR_MEMORY_ALLOC;
    const mfxFrameInfo &f = vp->mfx.FrameInfo;
    if (!s->codec.open(f.CropW, f.CropH, f.FrameRateExtN, kbps(vp->mfx) * 1000, vp->mfx.NumSlice))
        return MFX_ERR_UNSUPPORTED;
    s->params = *vp;
    s->params.ExtParam = nullptr;
    s->params.NumExtParam = 0;
    s->encoder = true;
    g_fake.live++;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoENCODE_GetVideoParam(mfxSession session, mfxVideoParam *vp) {
    if (mfxStatus st = status("MFXVideoENCODE_GetVideoParam")) return st;
    Session *s = (Session *)session;
    if (!s->encoder) return MFX_ERR_NOT_INITIALIZED;
    *vp = s->params;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoENCODE_Reset(mfxSession session, mfxVideoParam *vp) {
    g_fake.resets.push_back(copy(vp));
    if (mfxStatus st = status("MFXVideoENCODE_Reset")) return st;
    Session *s = (Session *)session;
    s->codec.set_bitrate(kbps(vp->mfx) * 1000);
    s->params.mfx = vp->mfx;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoENCODE_EncodeFrameAsync(mfxSession session, mfxEncodeCtrl *,
                                                      mfxFrameSurface1 *surface, mfxBitstream *bs,
                                                      mfxSyncPoint *sync) {
    if (mfxStatus st = status("MFXVideoENCODE_EncodeFrameAsync")) return st;
    if (!g_fake.encode_script.empty()) {
        mfxStatus st = g_fake.encode_script.front();
        g_fake.encode_script.pop_front();
        if (st) return st;
    }
    Session *s = (Session *)session;
    if (!s->encoder || !surface || !bs || !sync) return MFX_ERR_NULL_PTR;
    mfxHDLPair pair = {};
    g_fake.get_hdl_calls++;
    if (s->allocator.GetHDL(s->allocator.pthis, surface->Data.MemId, (mfxHDL *)&pair) != MFX_ERR_NONE)
        return MFX_ERR_INVALID_HANDLE;
    if (!s->codec.encode((ID3D11Texture2D *)pair.first, g_fake.out_size, &s->out))
        return MFX_ERR_DEVICE_FAILED;
    uint32_t room = bs->MaxLength - bs->DataOffset - bs->DataLength;
    if (s->out.size() > room && !g_fake.claimed_size) return MFX_ERR_NOT_ENOUGH_BUFFER;
    uint32_t n = s->out.size() < room ? (uint32_t)s->out.size() : room;
    std::memcpy(bs->Data + bs->DataOffset + bs->DataLength, s->out.data(), n);
    bs->DataLength += g_fake.claimed_size ? g_fake.claimed_size : n;
    if (g_fake.hold_surfaces) surface->Data.Locked++;
    *sync = (mfxSyncPoint)&g_sync;
    return MFX_ERR_NONE;
}

FAKE_EXPORT mfxStatus MFXVideoCORE_SyncOperation(mfxSession, mfxSyncPoint sync, mfxU32) {
    if (mfxStatus st = status("MFXVideoCORE_SyncOperation")) return st;
    return sync == (mfxSyncPoint)&g_sync ? MFX_ERR_NONE : MFX_ERR_NULL_PTR;
}

FAKE_EXPORT mfxStatus MFXVideoENCODE_Close(mfxSession session) {
    g_fake.hit("MFXVideoENCODE_Close");
    Session *s = (Session *)session;
    if (!s->encoder) return MFX_ERR_NOT_INITIALIZED;
    s->encoder = false;
    s->codec.close();
    g_fake.live--;
    return MFX_ERR_NONE;
}
