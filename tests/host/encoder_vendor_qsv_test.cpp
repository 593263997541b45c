// The Quick Sync row against the fake Media SDK dispatcher (loaded by the
// loader from the fake-runtime folder): the version answer, the capability
// probes, the parameter records with their coding-option buffers, every init
// failure with its log line and code, and the per-frame path with FFmpeg
// decoding what it returns.
#include <gtest/gtest.h>

#include <tuple>

#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "support/encoded_streams.h"
#include "support/fake_fixture.h"
#include "support/fake_mfx.h"

namespace {

class Qsv : public ::testing::Test {
   protected:
    void SetUp() override {
        fake = fake_control<FakeMfx>(FAKE_MFX_FILE, "fake_mfx");
        ASSERT_NE(fake, nullptr);
        fake->reset();
        ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
        refs0 = device_refs(dev);
        params = default_rate_params();
    }
    void TearDown() override {
        mfxe_destroy(&handle);
        EXPECT_EQ(fake->live, 0);
        EXPECT_EQ(device_refs(dev), refs0);
        dev->Release();
    }
    int32_t init(uint32_t w = 320, uint32_t h = 240, uint32_t format = CAPTURE_FORMAT_BGRA) {
        return mfxe_init(&handle, dev, w, h, format, &params);
    }
    int32_t frame(uint32_t shift, std::vector<uint8_t> *out) {
        ID3D11Texture2D *tex = picture_texture(dev, 320, 240, shift);
        uint8_t *data = (uint8_t *)1;
        uint32_t size = 1;
        int32_t r = mfxe_encode(handle, tex, &data, &size);
        if (r == 0) {
            out->assign(data, data + size);
            mfxe_after_frame(handle);
        } else {
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(size, 0u);
        }
        tex->Release();
        return r;
    }
    // The H.265 probe queries, as (FourCC, chroma format, luma depth, low power).
    std::vector<std::tuple<uint32_t, int, int, int>> probes() {
        std::vector<std::tuple<uint32_t, int, int, int>> out;
        for (const FakeMfx::Params &q : fake->queries)
            if (q.vp.mfx.CodecId == MFX_CODEC_HEVC && q.ext_ids.empty())
                out.emplace_back(q.vp.mfx.FrameInfo.FourCC, q.vp.mfx.FrameInfo.ChromaFormat,
                                 q.vp.mfx.FrameInfo.BitDepthLuma, q.vp.mfx.LowPower);
        return out;
    }

    FakeRuntimes runtimes;
    EncoderLog log;
    FakeMfx *fake = nullptr;
    ID3D11Device *dev = nullptr;
    uint32_t refs0 = 0;
    RateParams params{};
    void *handle = nullptr;
};

TEST_F(Qsv, AcceptsRgbFromApi116On) {
    EXPECT_TRUE(mfxe_accepts_rgb());
    EXPECT_EQ(std::make_tuple(fake->impls.at(0), fake->versions.at(0).Major, fake->versions.at(0).Minor),
              std::make_tuple((mfxIMPL)0x304, (mfxU16)1, (mfxU16)0));
    fake->version = {{15, 1}};
    EXPECT_FALSE(mfxe_accepts_rgb());
    fake->version = {{16, 1}};
    EXPECT_TRUE(mfxe_accepts_rgb());
    fake->fail("MFXInit", MFX_ERR_UNSUPPORTED);
    EXPECT_FALSE(mfxe_accepts_rgb());
    EXPECT_EQ(fake->live, 0);
}

TEST_F(Qsv, ProbesDecideWhatIsGranted) {
    constexpr uint32_t NV12 = MFX_FOURCC_NV12, AYUV = MFX_FOURCC_AYUV, Y410 = MFX_FOURCC_Y410;
    using P = std::vector<std::tuple<uint32_t, int, int, int>>;
    struct Case {
        mfxU16 code_name, minor;
        std::map<uint32_t, mfxStatus> refused;
        uint8_t h265, yuv444, bit10;
        P probes;
        uint32_t codec;
        uint8_t got444, got10;
    } cases[] = {
        {30, 27, {}, 0, 1, 1, {{NV12, 1, 8, 16}, {AYUV, 3, 8, 16}}, MFX_CODEC_HEVC, 1, 0},
        {40, 27, {}, 0, 0, 1, {{NV12, 1, 8, 16}, {AYUV, 3, 8, 16}, {Y410, 3, 10, 16}}, MFX_CODEC_HEVC, 0, 1},
        {40, 26, {}, 1, 0, 1, {{NV12, 1, 8, 16}, {AYUV, 3, 8, 16}}, MFX_CODEC_HEVC, 0, 0},
        {20, 35, {}, 0, 1, 0, {{NV12, 1, 8, 0}}, MFX_CODEC_AVC, 0, 0},
        // 4:4:4 needs H.265 to work as well.
        {30,
         35,
         {{NV12, MFX_ERR_UNSUPPORTED}},
         1,
         1,
         0,
         {{NV12, 1, 8, 16}, {AYUV, 3, 8, 16}},
         MFX_CODEC_AVC,
         0,
         0},
    };
    for (const Case &k : cases) {
        fake->reset();
        fake->code_name = k.code_name;
        fake->version.Minor = k.minor;
        fake->hevc_query = k.refused;
        params = default_rate_params();
        params.want_h265 = k.h265;
        params.want_444 = k.yuv444;
        params.want_10bit = k.bit10;
        ASSERT_EQ(init(320, 240, CAPTURE_FORMAT_RGBA10), 0);
        EXPECT_EQ(probes(), k.probes) << k.code_name;
        const mfxVideoParam &vp = fake->init.vp;
        EXPECT_EQ(vp.mfx.CodecId, k.codec);
        EXPECT_EQ(vp.mfx.LowPower, k.code_name >= 30 ? 16 : 0);
        EXPECT_EQ(
            std::make_tuple(vp.mfx.FrameInfo.BitDepthLuma, vp.mfx.FrameInfo.BitDepthChroma,
                            fake->init.cdo3.TargetChromaFormatPlus1, fake->init.cdo3.TargetBitDepthLuma),
            std::make_tuple(k.got10 ? 10 : 0, k.got10 ? 10 : 0, k.got444 ? 4 : 2, k.got10 ? 10 : 0));
        EncoderCaps caps = {};
        mfxe_caps(handle, &caps);
        EXPECT_EQ(std::make_tuple(caps.h265, caps.yuv444, caps.bit10),
                  std::make_tuple(k.codec == MFX_CODEC_HEVC, k.got444, k.got10));
        mfxe_destroy(&handle);
        EXPECT_EQ(fake->live, 0);
    }
}

TEST_F(Qsv, GoldenRecordFramesDecodeAndRates) {
    params.bitrate = 2.5f;
    ASSERT_EQ(init(1366, 768), 0);
    EXPECT_EQ(fake->priorities, std::vector<mfxPriority>{MFX_PRIORITY_HIGH});
    EXPECT_EQ(std::make_tuple(fake->handle_type, fake->handle),
              std::make_tuple(MFX_HANDLE_D3D11_DEVICE, (mfxHDL)dev));
    ID3D10Multithread *mt = nullptr;
    ASSERT_EQ(dev->QueryMultithread(&mt), S_OK);
    EXPECT_TRUE(mt->GetMultithreadProtected());
    mt->Release();
    const mfxVideoParam &vp = fake->init.vp;
    const mfxInfoMFX &m = vp.mfx;
    EXPECT_EQ(std::make_tuple(vp.AsyncDepth, vp.IOPattern, m.CodecId, m.TargetUsage, m.GopPicSize,
                              m.GopRefDist, m.RateControlMethod, m.BufferSizeInKB, m.TargetKbps, m.MaxKbps,
                              m.BRCParamMultiplier, m.NumSlice, m.LowPower),
              std::make_tuple(1, 1, (mfxU32)MFX_CODEC_AVC, 7, 65535, 1, 2, 512, 2000, 2000, 0, 1, 16));
    const mfxFrameInfo &f = m.FrameInfo;
    EXPECT_EQ(std::make_tuple(f.FourCC, f.ChromaFormat, f.BitDepthLuma, f.CropW, f.CropH, f.Width, f.Height,
                              f.FrameRateExtN, f.FrameRateExtD, f.PicStruct),
              std::make_tuple((mfxU32)MFX_FOURCC_RGB4, 3, 0, 1366, 768, 1376, 768, 60u, 1u, 1));
    EXPECT_EQ(fake->init.ext_ids,
              (std::vector<uint32_t>{MFX_EXTBUFF_CODING_OPTION, MFX_EXTBUFF_CODING_OPTION2,
                                     MFX_EXTBUFF_CODING_OPTION3}));
    EXPECT_EQ(std::make_tuple(fake->init.cdop.NalHrdConformance, fake->init.cdop.AUDelimiter,
                              fake->init.cdo2.BitrateLimit, fake->init.cdo2.RepeatPPS,
                              fake->init.cdo3.TargetChromaFormatPlus1),
              std::make_tuple(32, 32, 32, 32, 2));
    EXPECT_EQ(log.choices(), (std::vector<std::string>{"encoder       = intel", "input         = rgba",
                                                       "codec         = h264"}));
    // Source formats: FourCC and chroma format.
    for (auto [source, fourcc, chroma, name] : {std::make_tuple(10u, (mfxU32)MFX_FOURCC_NV12, 1, "nv12"),
                                                std::make_tuple(11u, (mfxU32)MFX_FOURCC_Y410, 3, "rgba10")}) {
        void *h2 = nullptr;
        log.clear();
        ASSERT_EQ(mfxe_init(&h2, dev, 320, 240, source, &params), 0);
        EXPECT_EQ(std::make_tuple(fake->init.vp.mfx.FrameInfo.FourCC,
                                  (int)fake->init.vp.mfx.FrameInfo.ChromaFormat),
                  std::make_tuple(fourcc, chroma));
        EXPECT_TRUE(log.contains(std::string("input         = ") + name));
        mfxe_destroy(&h2);
    }
    mfxe_destroy(&handle);

    ASSERT_EQ(init(), 0);
    std::vector<std::vector<uint8_t>> units(3);
    for (uint32_t i = 0; i < 3; i++) ASSERT_EQ(frame(i * 8, &units[i]), 0);
    EXPECT_EQ(decode_buffers(units, false).frames, 3);
    EXPECT_EQ(fake->get_hdl_calls, 3u);  // the picture came through the row's allocator

    // 2.5 Mbit/s: whole Mbit/s at init, kbit/s on update, with the coding options 2 only.
    mfxe_update_bitrate(handle, &params);
    ASSERT_EQ(fake->resets.size(), 1u);
    const FakeMfx::Params &r = fake->resets[0];
    EXPECT_EQ(std::make_tuple(r.vp.mfx.TargetKbps, r.vp.mfx.MaxKbps, r.vp.mfx.BufferSizeInKB,
                              r.vp.mfx.BRCParamMultiplier),
              std::make_tuple(2500, 2500, 512, 0));
    EXPECT_EQ(r.ext_ids, std::vector<uint32_t>{MFX_EXTBUFF_CODING_OPTION2});
    fake->fail("MFXVideoENCODE_Reset", MFX_ERR_INVALID_VIDEO_PARAM);
    mfxe_update_bitrate(handle, &params);
    EXPECT_TRUE(log.contains("* mfxe_update_bitrate/MFXVideoENCODE_Reset[440] = -15"));
    std::vector<uint8_t> unit;
    EXPECT_EQ(frame(30, &unit), 0);
}

// Rates of 65,536 kbit/s and more go through the multiplier instead of
// wrapping in the 16-bit fields.
TEST_F(Qsv, HighRatesFitThroughTheMultiplier) {
    params.bitrate = 100.0f;
    ASSERT_EQ(init(), 0);
    const mfxInfoMFX &m = fake->init.vp.mfx;
    EXPECT_EQ(std::make_tuple(m.BRCParamMultiplier, m.TargetKbps, m.MaxKbps, m.BufferSizeInKB),
              std::make_tuple(2, 50000, 50000, 256));
    params.bitrate = 65.536f;
    mfxe_update_bitrate(handle, &params);
    const mfxInfoMFX &u = fake->resets.back().vp.mfx;
    EXPECT_EQ((uint32_t)u.TargetKbps * u.BRCParamMultiplier, 65536u);
    EXPECT_EQ(u.BufferSizeInKB * u.BRCParamMultiplier, 512);
    params.bitrate = 65.535f;
    mfxe_update_bitrate(handle, &params);
    EXPECT_EQ(
        std::make_tuple(fake->resets.back().vp.mfx.TargetKbps, fake->resets.back().vp.mfx.BRCParamMultiplier),
        std::make_tuple(65535, 0));
}

TEST_F(Qsv, EveryInitFailureTearsDownWithItsCodeAndLine) {
    struct Step {
        const char *call;
        int64_t skip;
        D3DCall d3d;
        int32_t code;
        const char *line;
    } steps[] = {
        {"MFXInit", 1, D3D_CALL_COUNT, ENC_ERR_SESSION, "* mfxe_init/MFXInit[332] = -15007"},
        {nullptr, 0, D3D_CALL_QUERY_MULTITHREAD, ENC_ERR_MULTITHREAD,
         "* d3d10_set_mt/ID3D11Device_QueryInterface:ID3D10Multithread[113] = -22005"},
        {nullptr, 0, D3D_CALL_SET_MULTITHREAD, ENC_ERR_MULTITHREAD,
         "* d3d10_set_mt/ID3D10Multithread_SetMultithreadProtected[121] = -22005"},
        {"MFXVideoCORE_SetHandle", 0, D3D_CALL_COUNT, ENC_ERR_DEVICE,
         "* mfxe_init/MFXVideoCORE_SetHandle[356] = -15109"},
        {"MFXVideoCORE_SetFrameAllocator", 0, D3D_CALL_COUNT, ENC_ERR_COMPONENT,
         "* mfxe_init/MFXVideoCORE_SetFrameAllocator[371] = -15103"},
        {"MFXVideoENCODE_QueryIOSurf", 0, D3D_CALL_COUNT, ENC_ERR_SURFACE_QUERY,
         "* mfxe_init/MFXVideoENCODE_QueryIOSurf[384] = -15104"},
        {"MFXVideoENCODE_Init", 0, D3D_CALL_COUNT, ENC_ERR_INIT,
         "* mfxe_init/MFXVideoENCODE_Init[399] = -15000"},
    };
    for (const Step &s : steps) {
        // A fresh device each time, so its protection starts off.
        ID3D11Device *d = nullptr;
        ASSERT_EQ(D3D11CreateDevice(&d), S_OK);
        fake->reset();
        log.clear();
        if (s.call) fake->fail(s.call, MFX_ERR_UNSUPPORTED, s.skip);
        if (s.d3d != D3D_CALL_COUNT) d->fail_call(s.d3d, E_FAIL);
        EXPECT_EQ(mfxe_init(&handle, d, 320, 240, CAPTURE_FORMAT_BGRA, &params), s.code) << s.line;
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(fake->live, 0) << s.line;
        EXPECT_TRUE(log.contains(s.line)) << s.line;
        EXPECT_TRUE(log.choices().empty());
        EXPECT_EQ(device_refs(d), 1u);
        d->Release();
    }
    // An unknown platform on the session, while the probe's failures only withhold H.265.
    fake->reset();
    fake->code_name = 0;
    params.want_h265 = 1;
    EXPECT_EQ(init(), ENC_ERR_PLATFORM);
    EXPECT_TRUE(log.contains("* mfxe_init/MFXVideoCORE_QueryPlatform[344] = -15108"));
    fake->reset();
    fake->fail("MFXInit", MFX_ERR_UNSUPPORTED);
    ASSERT_EQ(init(), 0);
    EncoderCaps caps = {};
    mfxe_caps(handle, &caps);
    EXPECT_EQ(caps.h265, 0);
    mfxe_destroy(&handle);
    // A refused parameter query is only logged.
    fake->reset();
    fake->fail("MFXVideoENCODE_Query", MFX_ERR_INVALID_VIDEO_PARAM, 1);  // after the H.265 probe
    fake->code_name = 20;
    ASSERT_EQ(init(), 0);
    EXPECT_TRUE(log.contains("* mfxe_set_properties/MFXVideoENCODE_Query[215] = -15"));
}

TEST_F(Qsv, FrameFailuresRetriesAndTheSizeLimit) {
    fake->surfaces = 2;
    ASSERT_EQ(init(), 0);
    std::vector<uint8_t> unit;
    // Eleven refusals are retried; the twelfth gives up.
    fake->encode_script.assign(11, MFX_WRN_DEVICE_BUSY);
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_FALSE(unit.empty());
    fake->encode_script.assign(12, MFX_ERR_MORE_DATA);
    log.clear();
    EXPECT_EQ(frame(0, &unit), ENC_ERR_SUBMIT);
    EXPECT_EQ(log.lines().size(), 12u);
    EXPECT_TRUE(log.contains("* mfxe_encode/MFXVideoENCODE_EncodeFrameAsync[477] = -10"));
    fake->encode_script.clear();
    fake->fail("MFXVideoCORE_SyncOperation", MFX_ERR_DEVICE_FAILED);
    EXPECT_EQ(frame(0, &unit), ENC_ERR_SUBMIT);
    EXPECT_TRUE(log.contains("* mfxe_encode/MFXVideoCORE_SyncOperation[482] = -15002"));
    fake->claimed_size = ENC_MAX_FRAME + 1;
    EXPECT_EQ(frame(0, &unit), ENC_ERR_TOO_LARGE);
    fake->claimed_size = 0;
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_LT(unit.size(), 100000u);  // the failed frames left nothing behind
    // A runtime that keeps every surface: the row runs out of free ones.
    fake->hold_surfaces = true;
    ASSERT_EQ(frame(0, &unit), 0);
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_EQ(frame(0, &unit), ENC_ERR_OUTPUT);
}

}  // namespace
