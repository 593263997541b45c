// The NVENC row against the fake NVENC runtime (loaded by the loader from the
// fake-runtime folder): the records it sends, what it grants, every init
// failure with its log line and code, the per-frame path with FFmpeg decoding
// what it returns, and the device references it trims.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "support/encoded_streams.h"
#include "support/fake_fixture.h"
#include "support/fake_nvenc.h"

namespace {

constexpr uint32_t kH264 = 0x6BC82762, kH265 = 0x790CDC88;

// The line "* op/call[line] = code" (the line number is the source's own).
bool step_logged(EncoderLog &log, const std::string &op, const std::string &call, int32_t code) {
    const std::string head = "* " + op + "/" + call + "[", tail = "] = " + std::to_string(code);
    for (const std::string &l : log.lines())
        if (l.size() > head.size() + tail.size() && l.compare(0, head.size(), head) == 0 &&
            l.compare(l.size() - tail.size(), tail.size(), tail) == 0)
            return true;
    return false;
}

class Nvenc : public ::testing::Test {
   protected:
    void SetUp() override {
        fake = fake_control<FakeNvenc>(FAKE_NVENC_FILE, "fake_nvenc");
        ASSERT_NE(fake, nullptr);
        fake->reset();
        ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
        refs0 = device_refs(dev);
        params = default_rate_params();
    }
    void TearDown() override {
        nve_destroy(&handle);
        EXPECT_EQ(fake->live, 0);
        EXPECT_EQ(device_refs(dev), refs0);
        dev->Release();
    }
    int32_t init(uint32_t w = 320, uint32_t h = 240, uint32_t format = CAPTURE_FORMAT_BGRA) {
        return nve_init(&handle, dev, w, h, format, &params);
    }
    // Encodes one picture and copies the access unit out before after_frame.
    int32_t frame(uint32_t shift, std::vector<uint8_t> *out, uint32_t w = 320, uint32_t h = 240) {
        ID3D11Texture2D *tex = picture_texture(dev, w, h, shift);
        uint8_t *data = (uint8_t *)1;
        uint32_t size = 1;
        int32_t r = nve_encode(handle, tex, &data, &size);
        if (r == 0) {
            out->assign(data, data + size);
            nve_after_frame(handle);
        } else {
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(size, 0u);
        }
        tex->Release();
        return r;
    }

    FakeRuntimes runtimes;
    EncoderLog log;
    FakeNvenc *fake = nullptr;
    ID3D11Device *dev = nullptr;
    uint32_t refs0 = 0;
    RateParams params{};
    void *handle = nullptr;
};

TEST_F(Nvenc, DefaultRecordsFramesDecodeAndBitrateUpdates) {
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(fake->list_version, 0x70020006u);
    EXPECT_EQ(std::make_tuple(fake->open.version, (uint32_t)fake->open.deviceType, fake->open.device,
                              fake->open.apiVersion),
              std::make_tuple(0x70010006u, 0u, (void *)dev, 6u));
    EXPECT_EQ(std::make_tuple(fake->preset_version, fake->preset_cfg_version, fake->preset_codec.Data1,
                              fake->preset_guid.Data1, fake->preset_guid.Data4[7]),
              std::make_tuple(0xF0040006u, 0xF0060006u, kH264, 0x67082A44u, (uint8_t)0x58));
    const NV_ENC_INITIALIZE_PARAMS &in = fake->init;
    EXPECT_EQ(std::make_tuple(in.version, in.encodeGUID.Data1, in.encodeGUID.Data4[7], in.presetGUID.Data1),
              std::make_tuple(0xF0050006u, kH264, (uint8_t)0xBF, 0x67082A44u));
    EXPECT_EQ(std::make_tuple(in.encodeWidth, in.darWidth, in.maxEncodeWidth, in.encodeHeight, in.darHeight,
                              in.maxEncodeHeight, in.frameRateNum, in.frameRateDen, in.enablePTD,
                              in.enableEncodeAsync),
              std::make_tuple(320u, 320u, 320u, 240u, 240u, 240u, 60u, 1u, 1u, 0u));
    // Defaults: 2 Mbit/s start, 10 Mbit/s maximum at 60 fps and 3.1 frames: 516,000 bits.
    const NV_ENC_CONFIG &c = fake->config;
    const NV_ENC_RC_PARAMS &rc = c.rcParams;
    EXPECT_EQ(std::make_tuple((uint32_t)rc.rateControlMode, rc.averageBitRate, rc.maxBitRate,
                              rc.vbvBufferSize, rc.vbvInitialDelay, rc.enableMinQP, rc.enableMaxQP),
              std::make_tuple(1u, 2000000u, 2000000u, 516000u, 516000u, 1u, 1u));
    // Only the P-frame limits are ours; I and B keep the preset's.
    EXPECT_EQ(std::make_tuple(rc.minQP.qpIntra, rc.minQP.qpInterP, rc.minQP.qpInterB, rc.maxQP.qpIntra,
                              rc.maxQP.qpInterP, rc.maxQP.qpInterB),
              std::make_tuple(11u, params.min_qp, 13u, 41u, params.max_qp, 43u));
    const NV_ENC_CONFIG_H264 &h = c.encodeCodecConfig.h264Config;
    EXPECT_EQ(std::make_tuple(c.gopLength, h.idrPeriod, h.maxNumRefFrames, h.outputAUD, h.repeatSPSPPS,
                              h.h264VUIParameters.videoSignalTypePresentFlag, h.sliceMode),
              std::make_tuple(0xFFFFFFFFu, 0xFFFFFFFFu, 1u, 0u, 1u, 0u, 0u));
    EXPECT_EQ(std::make_tuple(fake->buffer.version, fake->buffer.size, (uint32_t)fake->buffer.memoryHeap),
              std::make_tuple(0x70010006u, 0x500000u, 2u));
    EXPECT_EQ(log.choices(), (std::vector<std::string>{"encoder       = nvidia", "input         = rgba",
                                                       "codec         = h264"}));
    EncoderCaps caps = {7, 7, 7, 7};
    nve_caps(handle, &caps);
    EXPECT_EQ(std::make_tuple(caps.first, caps.h265, caps.yuv444, caps.bit10), std::make_tuple(7, 0, 0, 0));

    std::vector<std::vector<uint8_t>> units(4);
    for (uint32_t f = 0; f < 4; f++) {
        ASSERT_EQ(frame(f * 8, &units[f]), 0);
        EXPECT_GT(units[f].size(), 16u);
        if (f == 1) {  // between frames: the new rate without reset or forced IDR
            params.bitrate = 3.5f;
            nve_update_bitrate(handle, &params);
        }
    }
    EXPECT_EQ(decode_buffers(units, false).frames, 4);
    const NV_ENC_REGISTER_RESOURCE &reg = fake->reg;
    EXPECT_EQ(std::make_tuple(reg.version, (uint32_t)reg.resourceType, reg.width, reg.height, reg.pitch,
                              reg.subResourceIndex, (uint32_t)reg.bufferFormat, (uint32_t)reg.bufferUsage),
              std::make_tuple(0x70030006u, 0u, 320u, 240u, 1280u, 0u, 0x1000000u, 0u));
    const NV_ENC_PIC_PARAMS &pic = fake->pic;
    const NV_ENC_PIC_PARAMS_H264 &ph = pic.codecPicParams.h264PicParams;
    EXPECT_EQ(std::make_tuple(pic.version, pic.inputWidth, pic.inputHeight, pic.inputPitch,
                              (uint32_t)pic.pictureStruct, (uint32_t)pic.bufferFmt, pic.encodePicFlags,
                              ph.sliceModeDataUpdate, ph.sliceMode, ph.sliceModeData),
              std::make_tuple(0xF0040006u, 320u, 240u, 1280u, 1u, 0x1000000u, 0u, 1u, 3u, 1u));
    ASSERT_EQ(fake->reconfigs.size(), 1u);
    const NV_ENC_RECONFIGURE_PARAMS &re = fake->reconfigs[0];
    EXPECT_EQ(std::make_tuple(re.version, re.resetEncoder, re.forceIDR, re.reInitEncodeParams.encodeWidth,
                              fake->reconfig_configs[0].rcParams.averageBitRate,
                              fake->reconfig_configs[0].rcParams.maxBitRate,
                              fake->reconfig_configs[0].rcParams.vbvBufferSize),
              std::make_tuple(0xF0010006u, 0u, 0u, 320u, 3500000u, 3500000u, 516000u));
    // A refused reconfiguration is only logged.
    fake->fail("nvEncReconfigureEncoder", 8);
    nve_update_bitrate(handle, &params);
    EXPECT_TRUE(log.contains("* nve_update_bitrate/nvEncReconfigureEncoder[360] = 8"));
    std::vector<uint8_t> again;
    EXPECT_EQ(frame(99, &again), 0);
}

// What is asked against what the runtime offers: the granted format, the
// records that follow from it and the choice lines.
TEST_F(Nvenc, GrantsFollowTheRuntimesH265Capabilities) {
    struct Case {
        uint8_t h265, yuv444, bit10, multipass, full_range;
        uint32_t idr, slices;
        bool no_hevc444;
        uint32_t codec, chroma_idc, depth_minus8, slice_data, gop, rc_mode;
        std::vector<std::string> lines;
    } cases[] = {
        {0,
         0,
         1,
         0,
         0,
         0,
         1,
         false,
         kH265,
         0,
         2,
         1,
         0xFFFFFFFF,
         1,
         {"encoder       = nvidia", "input         = rgba", "codec         = h265"}},
        {0,
         1,
         0,
         0,
         0,
         0,
         2,
         false,
         kH265,
         3,
         0,
         4,
         0xFFFFFFFF,
         1,
         {"chroma        = 4:4:4", "encoder       = nvidia", "input         = rgba", "codec         = h265"}},
        {0,
         1,
         0,
         1,
         1,
         2,
         2,
         true,
         kH264,
         0,
         0,
         2,
         2,
         32,
         {"encoder       = nvidia", "input         = rgba", "codec         = h264", "multipass     = on"}},
        {1,
         0,
         0,
         0,
         1,
         5,
         3,
         false,
         kH265,
         0,
         0,
         3,
         5,
         1,
         {"encoder       = nvidia", "input         = rgba", "codec         = h265"}},
    };
    for (const Case &k : cases) {
        fake->reset();
        log.clear();
        if (k.no_hevc444) fake->caps[{kH265, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE}] = 0;
        params = default_rate_params();
        params.want_h265 = k.h265;
        params.want_444 = k.yuv444;
        params.want_10bit = k.bit10;
        params.multipass = k.multipass;
        params.full_range = k.full_range;
        params.idr_interval = k.idr;
        params.slices = k.slices;
        ASSERT_EQ(init(), 0);
        const NV_ENC_CONFIG &c = fake->config;
        EXPECT_EQ(fake->init.encodeGUID.Data1, k.codec);
        EXPECT_EQ(std::make_tuple(c.gopLength, (uint32_t)c.rcParams.rateControlMode),
                  std::make_tuple(k.gop, k.rc_mode));
        const NV_ENC_CONFIG_H264_VUI_PARAMETERS *vui;
        if (k.codec == kH265) {
            const NV_ENC_CONFIG_HEVC &h = c.encodeCodecConfig.hevcConfig;
            EXPECT_EQ(std::make_tuple(h.chromaFormatIDC, h.pixelBitDepthMinus8, h.idrPeriod,
                                      h.maxNumRefFramesInDPB, h.repeatSPSPPS, h.outputAUD),
                      std::make_tuple(k.chroma_idc, k.depth_minus8, k.gop, 1u, 1u, 0u));
            EXPECT_EQ(std::make_tuple(h.sliceMode, h.sliceModeData),
                      k.slice_data > 1 ? std::make_tuple(3u, k.slice_data) : std::make_tuple(0u, 0u));
            // The preset's flags above the chroma format are cut only for 10-bit.
            EXPECT_EQ(h.enableFillerDataInsertion, k.bit10 ? 0u : 1u);
            EXPECT_EQ(h.disableDeblockAcrossSliceBoundary, 1u);
            vui = &h.hevcVUIParameters;
        } else {
            vui = &c.encodeCodecConfig.h264Config.h264VUIParameters;
            EXPECT_EQ(c.encodeCodecConfig.h264Config.idrPeriod, k.gop);
        }
        EXPECT_EQ(std::make_tuple(vui->videoSignalTypePresentFlag, (uint32_t)vui->videoFormat,
                                  vui->videoFullRangeFlag),
                  k.full_range ? std::make_tuple(1u, 5u, 1u) : std::make_tuple(0u, 0u, 0u));
        EXPECT_EQ(log.choices(), k.lines);
        EncoderCaps caps = {};
        nve_caps(handle, &caps);
        EXPECT_EQ(std::make_tuple(caps.h265, caps.yuv444, caps.bit10),
                  std::make_tuple(k.codec == kH265, k.chroma_idc == 3, k.depth_minus8 == 2));
        std::vector<uint8_t> unit;
        ASSERT_EQ(frame(0, &unit), 0);
        const auto &pp = fake->pic.codecPicParams;
        EXPECT_EQ(k.codec == kH265 ? pp.hevcPicParams.sliceModeData : pp.h264PicParams.sliceModeData,
                  k.slice_data);
        nve_destroy(&handle);
        EXPECT_EQ(fake->live, 0);
    }
    // Source formats and their buffer formats and names.
    for (auto [source, format, name] :
         {std::make_tuple(10u, 1u, "nv12"), std::make_tuple(11u, 0x2000000u, "rgba10"),
          std::make_tuple(8u, 0x1000000u, "rgba")}) {
        log.clear();
        params = default_rate_params();
        ASSERT_EQ(init(320, 240, source), 0);
        std::vector<uint8_t> unit;
        ASSERT_EQ(frame(0, &unit), 0);
        EXPECT_EQ((uint32_t)fake->reg.bufferFormat, format);
        EXPECT_TRUE(log.contains(std::string("input         = ") + name));
        nve_destroy(&handle);
    }
}

TEST_F(Nvenc, EveryInitFailureTearsDownWithItsCodeAndLine) {
    struct Step {
        const char *call;
        int32_t status;
        int32_t code;
        const char *line;
        const char *op;  // logged as "* op/call[line] = status" instead
    } steps[] = {
        {"NvEncodeAPICreateInstance", 15, ENC_ERR_RUNTIME, "NvEncodeAPICreateInstance failed: 15", nullptr},
        {"nvEncOpenEncodeSessionEx", 4, ENC_ERR_SESSION, "nvEncOpenEncodeSessionEx failed: 4", nullptr},
        {"nvEncGetEncodeGUIDCount", 1, ENC_ERR_CAPS, nullptr, "nve_query_caps"},
        {"nvEncGetEncodeGUIDs", 3, ENC_ERR_CAPS, nullptr, "nve_query_caps"},
        {"nvEncGetEncodePresetConfig", 8, ENC_ERR_PRESET, nullptr, "nve_configure"},
        {"nvEncInitializeEncoder", 8, ENC_ERR_INIT, "nvEncInitializeEncoder failed: 8", nullptr},
        {"nvEncCreateBitstreamBuffer", 10, ENC_ERR_BITSTREAM, "nvEncCreateBitstreamBuffer failed: 10",
         nullptr},
    };
    for (const Step &s : steps) {
        fake->reset();
        log.clear();
        fake->fail(s.call, s.status);
        EXPECT_EQ(init(), s.code) << s.call;
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(fake->live, 0) << s.call;
        EXPECT_EQ(device_refs(dev), refs0) << s.call;
        if (s.line) {
            EXPECT_TRUE(log.contains(s.line)) << s.call;
        } else {
            EXPECT_TRUE(step_logged(log, s.op, s.call, s.status)) << testing::PrintToString(log.lines());
        }
        EXPECT_TRUE(log.choices().empty());
        nve_destroy(&handle);  // the caller's destroy after a failed init
    }
    // No codec offered, or a function list with a hole in it.
    fake->reset();
    fake->guids.clear();
    log.clear();
    EXPECT_EQ(init(), ENC_ERR_CAPS);
    EXPECT_TRUE(step_logged(log, "nve_query_caps", "nvEncGetEncodeGUIDCount", ENC_ERR_CAPS));
    fake->reset();
    fake->drop_entry = true;
    log.clear();
    EXPECT_EQ(init(), ENC_ERR_RUNTIME);
    EXPECT_TRUE(log.contains("NvEncodeAPICreateInstance failed: 6"));
    EXPECT_EQ(fake->live, 0);
}

// Per-frame failures give their codes, log the call that failed and release
// everything; the session stays usable. The size limit is 2,097,152 bytes
// inclusive.
TEST_F(Nvenc, FrameFailuresAndTheSizeLimitReleaseEverything) {
    ASSERT_EQ(init(), 0);
    const int64_t live = fake->live;
    std::vector<uint8_t> unit;
    for (auto [call, code] : {std::make_pair("nvEncRegisterResource", ENC_ERR_INPUT),
                              std::make_pair("nvEncMapInputResource", ENC_ERR_INPUT),
                              std::make_pair("nvEncEncodePicture", ENC_ERR_SUBMIT)}) {
        fake->fail(call, 2);
        log.clear();
        EXPECT_EQ(frame(0, &unit), code) << call;
        EXPECT_EQ(fake->live, live) << call;
        EXPECT_TRUE(step_logged(log, "nve_encode", call, 2)) << testing::PrintToString(log.lines());
    }
    fake->out_size = 3000000;
    EXPECT_EQ(frame(0, &unit), ENC_ERR_TOO_LARGE);
    EXPECT_TRUE(step_logged(log, "nve_encode", "nvEncLockBitstream", ENC_ERR_TOO_LARGE));
    EXPECT_EQ(fake->live, live);
    EXPECT_EQ(fake->count("nvEncUnlockBitstream"), 1u);
    fake->out_size = ENC_MAX_FRAME;
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_EQ(unit.size(), ENC_MAX_FRAME);
    // Nothing the codec made was lost so far: the stream starts with its IDR.
    fake->out_size = 0;
    std::vector<std::vector<uint8_t>> units(2);
    ASSERT_EQ(frame(0, &units[0]), 0);
    ASSERT_EQ(frame(8, &units[1]), 0);
    EXPECT_EQ(decode_buffers(units, false).frames, 2);
    fake->fail("nvEncLockBitstream", 1);
    EXPECT_EQ(frame(0, &unit), ENC_ERR_OUTPUT);
    EXPECT_TRUE(step_logged(log, "nve_encode", "nvEncLockBitstream", 1));
    ASSERT_EQ(frame(0, &unit), 0);
    EXPECT_EQ(fake->live, live);
}

// A runtime that keeps device references across map and unmap: the row gives
// them back each frame, so the count stays where it was after init.
TEST_F(Nvenc, DeviceReferencesAreTrimmedBackToTheBaseline) {
    for (bool leaky : {false, true}) {
        fake->reset();
        fake->leaky = leaky;
        ASSERT_EQ(init(), 0);
        const uint32_t after_init = device_refs(dev);
        EXPECT_EQ(after_init, refs0 + 1);  // the session's own
        std::vector<uint8_t> unit;
        for (uint32_t f = 0; f < 5; f++) {
            ASSERT_EQ(frame(f, &unit), 0);
            EXPECT_EQ(device_refs(dev), after_init) << leaky;
        }
        fake->fail("nvEncEncodePicture", 1);
        EXPECT_EQ(frame(0, &unit), ENC_ERR_SUBMIT);
        EXPECT_EQ(device_refs(dev), after_init) << leaky;
        nve_destroy(&handle);
        EXPECT_EQ(device_refs(dev), refs0);
    }
}

}  // namespace
