// The encode thread on a real X screen (Xvfb) with the fake vendor runtimes
// in the loader's folder: the first row that initialises takes the stream and
// what the guest receives decodes with FFmpeg; rows whose runtime refuses are
// passed over down to the software row; frames an encoder had no output for
// are not sent.
#include <gtest/gtest.h>

#include <vector>

#include "host/encoder_vendor.h"
#include "host/host.h"
#include "platform/memory.h"
#include "support/bud_pair.h"
#include "support/encoded_streams.h"
#include "support/fake_amf.h"
#include "support/fake_fixture.h"
#include "support/fake_mfx.h"
#include "support/fake_nvenc.h"
#include "support/xvfb.h"
#include "util/config.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::atomic<uint32_t> g_calls{0};

class VendorStream : public ::testing::Test {
   protected:
    HostContext *ctx = nullptr;
    HostConfig cfg{};
    BudPair pair;
    FakeRuntimes runtimes;
    FakeNvenc *nvenc = nullptr;
    FakeAmf *amf = nullptr;
    FakeMfx *mfx = nullptr;
    int32_t container = 0;  // the guest's video container

    void SetUp() override {
        ASSERT_FALSE(xvfb_display(320, 240).empty());
        config_create();
        config_read_host(&cfg);
        config_destroy();
        cfg.video[0].fullFPS = 1;  // a still screen still gives frames
        nvenc = fake_control<FakeNvenc>(FAKE_NVENC_FILE, "fake_nvenc");
        amf = fake_control<FakeAmf>(FAKE_AMF_FILE, "fake_amf");
        mfx = fake_control<FakeMfx>(FAKE_MFX_FILE, "fake_mfx");
        ASSERT_TRUE(nvenc && amf && mfx);
        nvenc->reset();
        amf->reset();
        mfx->reset();
    }
    void start(const HostHooks &hooks) {
        host_set_hooks(&hooks);
        host_create(&cfg, nullptr, nullptr, &ctx);
        ASSERT_TRUE(pair.open(false));
        GuestInfo info{};
        info.id = 1;
        info.owner = 1;
        TransportRecord *t = proto_create(TRANSPORT_BUD, pair.host, bud_recv, bud_send, bud_close);
        pair.host = nullptr;
        host_on_accept(&info, t, ctx);
        ClientConfig cc{};
        proto_client_config_defaults(&cc);
        cc.video_container = container;
        char *json = proto_client_config_to_json(&cc, 0, 1920, 1080, 0x8);
        std::string text(json);
        VKO_Free(json);
        Bytes m(PROTO_HEADER_SIZE);
        proto_write_header(m.data(), {static_cast<uint32_t>(text.size() + 1), 0, 0, MSG_CLIENT_CONFIG});
        m.insert(m.end(), text.begin(), text.end());
        m.push_back(0);
        ASSERT_EQ(send_all(pair.client, 0, m), 0);
    }
    void start() { start(HostHooks{nullptr, 1, nullptr, nullptr, 0}); }
    void stop() {
        host_destroy(&ctx, 0);
        host_set_hooks(nullptr);
    }
    void TearDown() override {
        stop();
        EXPECT_EQ(nvenc->live + amf->live + mfx->live, 0);
    }
    // The next n video frames' access units; each must carry one.
    std::vector<Bytes> frames(int n) {
        std::vector<Bytes> out;
        for (int i = 0; i < n; i++) {
            Bytes v = recv_one(pair.client, 1, 1 << 22);
            EXPECT_GT(v.size(), 10u);
            if (v.size() <= 10) break;
            out.emplace_back(v.begin() + 10, v.end());
        }
        return out;
    }
};

TEST_F(VendorStream, NvencTakesTheStream) {
    start();
    std::vector<Bytes> got = frames(5);
    EXPECT_EQ(decode_buffers(got, false).frames, 5);
    stop();  // the fakes' records are read once the encode thread is gone
    EXPECT_GE(nvenc->count("nvEncEncodePicture"), 5u);
    EXPECT_EQ(amf->count("AMFInit"), 0u);
}

// Each runtime refuses at its own step: the walk goes on, down to the software row.
TEST_F(VendorStream, RefusingRuntimesPassTheStreamOn) {
    nvenc->fail("nvEncOpenEncodeSessionEx", 4, 0, -1);
    start();
    std::vector<Bytes> got = frames(4);
    EXPECT_EQ(decode_buffers(got, false).frames, 4);
    stop();
    EXPECT_GE(amf->count("SubmitInput"), 4u);

    amf->fail("InitDX11", 1, 0, -1);
    pair.close();
    start();
    got = frames(4);
    EXPECT_EQ(decode_buffers(got, false).frames, 4);
    stop();
    EXPECT_GE(mfx->count("MFXVideoENCODE_EncodeFrameAsync"), 4u);

    mfx->fail("MFXVideoENCODE_Init", MFX_ERR_UNSUPPORTED, 0, -1);
    const size_t encoded = mfx->count("MFXVideoENCODE_EncodeFrameAsync");
    pair.close();
    start();
    got = frames(4);
    EXPECT_EQ(decode_buffers(got, false).frames, 4);  // the software row's
    stop();
    EXPECT_EQ(mfx->count("MFXVideoENCODE_EncodeFrameAsync"), encoded);
    EXPECT_GT(mfx->count("MFXVideoENCODE_Init"), 1u);
}

// An encoder that has no output for every other frame: only the frames that
// carry an access unit reach the guest (in MP4 fragments here, which an empty
// frame could not be wrapped in), and they decode.
int32_t every_other(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size) {
    if (g_calls++ % 2) {
        *data = nullptr;
        *size = 0;
        return 0;
    }
    return nve_encode(handle, texture, data, size);
}

TEST_F(VendorStream, FramesWithoutOutputAreNotSent) {
    static const EncoderApi rows[1] = {{nve_destroy, nve_init, nve_update_bitrate, nve_after_frame,
                                        every_other, nve_accepts_rgb, nullptr, nve_caps}};
    EncoderLog log;
    container = 2;
    start(HostHooks{nullptr, 1, nullptr, rows, 1});
    std::vector<Bytes> got = frames(4);
    stop();
    EXPECT_GE(g_calls.load(), 7u);
    for (const std::string &l : log.lines())
        EXPECT_EQ(l.rfind("* proto_video_write", 0), std::string::npos) << l;
    EXPECT_EQ(nvenc->count("nvEncUnlockBitstream"), nvenc->count("nvEncLockBitstream"));
}

}  // namespace
