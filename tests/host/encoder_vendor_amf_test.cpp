// The AMD row against the fake AMF runtime (loaded by the loader from the
// fake-runtime folder; it shares the row's interface declarations, so this
// proves the row and the declarations agree, not the runtime's ABI): the
// exact property sequences, the low-latency fallback, every init failure
// with its log line and code, output polling, and FFmpeg decoding what the
// row returns.
#include <gtest/gtest.h>

#include <tuple>

#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "support/encoded_streams.h"
#include "support/fake_amf.h"
#include "support/fake_fixture.h"

namespace {

using Prop = FakeAmf::Prop;

Prop I(const char *n, int64_t v) {
    return {n, AMF_VARIANT_INT64, v};
}
Prop B(const char *n, bool v) {
    return {n, AMF_VARIANT_BOOL, v};
}
Prop S(const char *n, int64_t a, int64_t b, AMF_VARIANT_TYPE t) {
    return {n, t, a << 32 | b};
}

class Amf : public ::testing::Test {
   protected:
    void SetUp() override {
        fake = fake_control<FakeAmf>(FAKE_AMF_FILE, "fake_amf");
        ASSERT_NE(fake, nullptr);
        fake->reset();
        ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
        params = default_rate_params();
    }
    void TearDown() override {
        amf_destroy(&handle);
        EXPECT_EQ(fake->live, 0);
        dev->Release();
    }
    int32_t init(uint32_t format = CAPTURE_FORMAT_BGRA) {
        return amf_init(&handle, dev, 320, 240, format, &params);
    }
    int32_t frame(uint32_t shift, std::vector<uint8_t> *out) {
        ID3D11Texture2D *tex = picture_texture(dev, 320, 240, shift);
        uint8_t stale[4];
        uint8_t *data = stale;  // what the caller's variables held before
        uint32_t size = sizeof stale;
        int32_t r = amf_encode(handle, tex, &data, &size);
        if (r == 0 && size) {
            out->assign(data, data + size);
            amf_after_frame(handle);
        } else {
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(size, 0u);
            out->clear();
        }
        tex->Release();
        return r;
    }
    // A logged line "* op/call[<any line>] = code".
    bool logged(const std::string &op_call, int code) {
        std::string tail = "] = " + std::to_string(code);
        for (const std::string &l : log.lines())
            if (l.rfind("* " + op_call + "[", 0) == 0 && l.size() > tail.size() &&
                l.compare(l.size() - tail.size(), tail.size(), tail) == 0)
                return true;
        return false;
    }

    FakeRuntimes runtimes;
    EncoderLog log;
    FakeAmf *fake = nullptr;
    ID3D11Device *dev = nullptr;
    RateParams params{};
    void *handle = nullptr;
};

TEST_F(Amf, PropertySequencesForEachCodec) {
    const int64_t lo = params.min_qp, hi = params.max_qp;
    ASSERT_EQ(init(), 0);
    std::vector<Prop> h264 = {I("Usage", 1),
                              I("QualityPreset", 1),
                              S("FrameSize", 320, 240, AMF_VARIANT_SIZE),
                              I("MaxNumRefFrames", 1),
                              S("FrameRate", 60, 1, AMF_VARIANT_RATE),
                              B("RateControlSkipFrameEnable", false),
                              B("FillerDataEnable", false),
                              I("RateControlMethod", 2),
                              I("TargetBitrate", 2000000),
                              I("PeakBitrate", 2000000),
                              I("VBVBufferSize", 516000),
                              I("InitialVBVBufferFullness", 64),
                              I("InColorPrimaries", 1),
                              I("OutColorPrimaries", 1),
                              I("InColorTransferChar", 1),
                              I("OutColorTransferChar", 1),
                              I("InColorProfile", 1),
                              I("OutColorProfile", 1),
                              I("Profile", 100),
                              I("IDRPeriod", 0),
                              B("BReferenceEnable", false),
                              I("MinQP", lo),
                              I("MaxQP", hi)};
    EXPECT_EQ(fake->props, h264);
    EXPECT_EQ(fake->components, (std::vector<std::string>{"AMFVideoEncoderVCE_AVC", "AMFVideoEncoderHW_HEVC",
                                                          "AMFVideoEncoderVCE_AVC"}));
    EXPECT_EQ(std::make_tuple(fake->dx11_device, fake->dx_version, fake->init_version),
              std::make_tuple((void *)dev, 110, fake->version));
    EXPECT_EQ(std::make_tuple(fake->init_format, fake->init_width, fake->init_height),
              std::make_tuple(3, 320, 240));
    EXPECT_EQ(log.choices(), (std::vector<std::string>{"encoder       = amd", "input         = rgba",
                                                       "codec         = h264"}));
    amf_destroy(&handle);

    // H.265 with multipass and an IDR every 2 GOPs; the pre-analysis is H.264's alone.
    fake->reset();
    log.clear();
    params.want_h265 = 1;
    params.multipass = 1;
    params.idr_interval = 2;
    params.vbv_initial = 50;
    ASSERT_EQ(init(CAPTURE_FORMAT_NV12), 0);
    std::vector<Prop> h265 = {I("HevcUsage", 1),
                              I("HevcQualityPreset", 10),
                              S("HevcFrameSize", 320, 240, AMF_VARIANT_SIZE),
                              I("HevcMaxNumRefFrames", 1),
                              S("HevcFrameRate", 60, 1, AMF_VARIANT_RATE),
                              B("HevcRateControlSkipFrameEnable", false),
                              B("HevcFillerDataEnable", false),
                              I("HevcRateControlMethod", 2),
                              I("HevcTargetBitrate", 2000000),
                              I("HevcPeakBitrate", 2000000),
                              I("HevcVBVBufferSize", 516000),
                              I("HevcInitialVBVBufferFullness", 32),
                              I("HevcInColorPrimaries", 1),
                              I("HevcOutColorPrimaries", 1),
                              I("HevcInColorTransferChar", 1),
                              I("HevcOutColorTransferChar", 1),
                              I("HevcInColorProfile", 1),
                              I("HevcOutColorProfile", 1),
                              I("HevcGOPSPerIDR", 2),
                              I("HevcGOPSize", 0),
                              I("HevcHeaderInsertionMode", 2),
                              I("HevcMinQP_I", lo),
                              I("HevcMaxQP_I", hi),
                              I("HevcMinQP_P", lo),
                              I("HevcMaxQP_P", hi),
                              I("HevcProfile", 1)};
    EXPECT_EQ(fake->props, h265);
    EXPECT_EQ(fake->components.back(), "AMFVideoEncoderHW_HEVC");
    EXPECT_EQ(fake->init_format, 1);
    EXPECT_EQ(log.choices(), (std::vector<std::string>{"encoder       = amd", "input         = nv12",
                                                       "codec         = h265", "multipass     = on"}));
    EncoderCaps caps = {};
    amf_caps(handle, &caps);
    EXPECT_EQ(std::make_tuple(caps.h265, caps.yuv444, caps.bit10), std::make_tuple(1, 0, 0));
    amf_destroy(&handle);

    // An IDR interval of 1 sets no GOPs per IDR; multipass on H.264 turns pre-analysis on.
    fake->reset();
    params.idr_interval = 1;
    ASSERT_EQ(init(), 0);
    for (const Prop &p : fake->props) EXPECT_NE(p.name, "HevcGOPSPerIDR");
    amf_destroy(&handle);
    fake->reset();
    params.want_h265 = 0;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(fake->props.at(8), B("RateControlPreanalysisEnable", true));
    amf_destroy(&handle);

    // 10-bit is never granted (the probe reads no such capability); formats and their surfaces.
    for (auto [source, format, name] : {std::make_tuple(11u, 13, "rgba10"), std::make_tuple(8u, 5, "rgba")}) {
        fake->reset();
        log.clear();
        params = default_rate_params();
        params.want_10bit = 1;
        ASSERT_EQ(init(source), 0);
        EXPECT_EQ(fake->init_format, format);
        EXPECT_TRUE(log.contains(std::string("input         = ") + name));
        EXPECT_TRUE(log.contains("codec         = h264"));
        amf_destroy(&handle);
    }
}

TEST_F(Amf, UltraLowLatencyFallsBackOnlyWhenACountingPropertyFails) {
    fake->refuse["Usage"] = 1;
    ASSERT_EQ(init(), 0);
    EXPECT_TRUE(logged("amf_log_if_error/AMF_VIDEO_ENCODER_USAGE_ULTRA_LOW_LATENCY", AMF_INVALID_ARG));
    EXPECT_TRUE(
        log.contains("WARNING: Couldn't configure AMD encoder for ultra-low latency mode. Switching to low "
                     "latency mode."));
    ASSERT_EQ(fake->props.size(), 46u);  // the whole list again
    EXPECT_EQ(fake->props[23], I("Usage", 2));
    amf_destroy(&handle);

    fake->reset();
    log.clear();
    fake->refuse["QualityPreset"] = std::nullopt;
    fake->refuse["TargetBitrate"] = std::nullopt;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(fake->props.size(), 23u);
    EXPECT_TRUE(logged("amf_log_if_error/AMF_VIDEO_ENCODER_QUALITY_PRESET", AMF_INVALID_ARG));
    EXPECT_TRUE(log.contains("* amf_update_bitrate/AMF_VIDEO_ENCODER_TARGET_BITRATE[401] = 4"));
    for (const std::string &l : log.lines()) EXPECT_EQ(l.find("WARNING"), std::string::npos);

    // Bitrate updates: target and peak, a refusal only logged.
    params.bitrate = 3.5f;
    fake->props.clear();
    amf_update_bitrate(handle, &params);
    EXPECT_EQ(fake->props, (std::vector<Prop>{I("TargetBitrate", 3500000), I("PeakBitrate", 3500000)}));
    fake->refuse["PeakBitrate"] = std::nullopt;
    amf_update_bitrate(handle, &params);
    EXPECT_TRUE(log.contains("* amf_update_bitrate/AMF_VIDEO_ENCODER_PEAK_BITRATE[404] = 4"));
}

TEST_F(Amf, EveryInitFailureTearsDownWithItsCodeAndLine) {
    struct Step {
        const char *call;
        int64_t skip;
        int32_t code;
        const char *logged;
    } steps[] = {
        {"AMFQueryVersion", 0, ENC_ERR_RUNTIME, "amf_init/AMFQueryVersion"},
        {"AMFInit", 0, ENC_ERR_RUNTIME, "amf_init/AMFInit"},
        {"CreateContext", 0, ENC_ERR_SESSION, "amf_init/AMFFactory_CreateContext"},
        {"InitDX11", 0, ENC_ERR_DEVICE, "amf_init/AMFContext_Init"},
        {"CreateComponent", 2, ENC_ERR_COMPONENT, "amf_init/AMFFactory_CreateComponent"},
        {"Init", 0, ENC_ERR_INIT, "amf_init/AMFComponent_Init"},
    };
    for (const Step &s : steps) {
        fake->reset();
        log.clear();
        fake->fail(s.call, AMF_FAIL, s.skip);
        EXPECT_EQ(init(), s.code) << s.call;
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(fake->live, 0) << s.call;
        EXPECT_TRUE(logged(s.logged, s.code)) << s.call;
        EXPECT_TRUE(log.choices().empty());
    }
    EXPECT_EQ(fake->count("Terminate"), 1u);  // the component that failed Init
    // Probe failures only withhold H.265.
    params.want_h265 = 1;
    for (auto [call, line] :
         {std::make_pair("CreateComponent", "amf_get_caps/AMFFactory_CreateComponent[75] = 1"),
          std::make_pair("GetCaps", "amf_get_caps/AMFComponent_GetCaps[81] = 1"),
          std::make_pair("GetInputCaps", "amf_get_caps/AMFCaps_GetInputCaps[89] = 1")}) {
        fake->reset();
        log.clear();
        fake->fail(call, AMF_FAIL, 1);  // the H.265 probe
        ASSERT_EQ(init(), 0) << call;
        EXPECT_TRUE(log.contains(std::string("* ") + line));
        EXPECT_TRUE(log.contains("codec         = h264"));
        amf_destroy(&handle);
        EXPECT_EQ(fake->live, 0);
    }
    fake->reset();
    fake->caps["AMFVideoEncoderHW_HEVC"].accel = 2;  // software only
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(fake->components.back(), "AMFVideoEncoderVCE_AVC");
}

TEST_F(Amf, FramesPollingFailuresAndTheSizeLimit) {
    ASSERT_EQ(init(), 0);
    const int64_t live = fake->live;
    std::vector<std::vector<uint8_t>> units(3);
    fake->repeats = 5;
    for (uint32_t i = 0; i < 3; i++) {
        fake->polls = 0;
        ASSERT_EQ(frame(i * 8, &units[i]), 0);
        EXPECT_EQ(fake->polls, 6u);
        EXPECT_FALSE(units[i].empty());
    }
    EXPECT_EQ(decode_buffers(units, false).frames, 3);
    EXPECT_EQ(fake->frame_props.back(), B("InsertAUD", false));
    EXPECT_EQ(fake->frame_props.size(), 3u);
    EXPECT_EQ(fake->live, live);
    fake->repeats = 0;

    std::vector<uint8_t> unit;
    fake->out_size = 3000000;
    EXPECT_EQ(frame(0, &unit), ENC_ERR_TOO_LARGE);
    EXPECT_EQ(fake->live, live);
    fake->out_size = ENC_MAX_FRAME;
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_EQ(unit.size(), ENC_MAX_FRAME);
    fake->out_size = 0;
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_EQ(fake->live, live);

    struct Fail {
        const char *call;
        int32_t code;
        const char *logged;
    } fails[] = {
        {"CreateSurfaceFromDX11Native", ENC_ERR_INPUT,
         "* amf_encode/AMFContext_CreateSurfaceFromDX11Native[433] = -15106"},
        {"QueryInterface:AMFData", ENC_ERR_SUBMIT, "* amf_encode/AMF_QueryInterface:AMFData[440] = -15002"},
        {"SubmitInput", ENC_ERR_SUBMIT, "* amf_encode/AMFComponent_SubmitInput[452] = -15002"},
        {"QueryInterface:AMFBuffer", ENC_ERR_OUTPUT,
         "* amf_encode/AMF_QueryInterface:AMFBuffer[474] = -15107"},
        {"QueryOutput", ENC_ERR_OUTPUT, "* amf_encode/AMFComponent_QueryOutput[467] = -15107"},
    };
    int64_t queued = 0;  // outputs a failed poll left in the runtime's queue
    for (const Fail &f : fails) {
        fake->fail(f.call, AMF_FAIL);
        EXPECT_EQ(frame(0, &unit), f.code) << f.call;
        EXPECT_TRUE(log.contains(f.logged)) << f.call;
        queued += f.call == std::string("QueryOutput");
        EXPECT_EQ(fake->live, live + queued) << f.call;
    }
    // The session goes on: the next poll hands out what the failed one left queued.
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_FALSE(unit.empty());
}

// Polling that ends without output is a frame of size 0 with no data, never
// the caller's stale pointer and length.
TEST_F(Amf, NoOutputAfterAllPollsIsAnEmptyFrame) {
    ASSERT_EQ(init(), 0);
    fake->never_output = true;
    fake->polls = 0;
    std::vector<uint8_t> unit(1);
    EXPECT_EQ(frame(0, &unit), 0);
    EXPECT_TRUE(unit.empty());
    EXPECT_EQ(fake->polls, 2000u);
}

}  // namespace
