// The hardware rows on this machine, with no vendor runtime installed: each
// fails cleanly with its log line and code, leaks nothing, and the walk ends
// at the software row.
#include <gtest/gtest.h>

#include "compat/mfplat/mfplat.h"
#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "support/fake_fixture.h"
#include "support/temp_dir.h"

#include <unistd.h>

namespace {

TEST(VendorRows, WithoutRuntimesEachFailsAndTheSoftwareRowWins) {
    FakeRuntimes none(false);
    EncoderLog log;
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    const uint32_t refs = device_refs(dev);
    const int64_t d3d_live = d3d_live_objects();
    RateParams p = default_rate_params();

    void *h = nullptr;
    EXPECT_EQ(nve_init(&h, dev, 1280, 720, CAPTURE_FORMAT_BGRA, &p), ENC_ERR_RUNTIME);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(log.contains("LoadLibrary failed to load nvEncodeAPI64.dll"));
    nve_destroy(&h);

    EXPECT_EQ(amf_init(&h, dev, 1280, 720, CAPTURE_FORMAT_BGRA, &p), ENC_ERR_RUNTIME);
    EXPECT_EQ(h, nullptr);
    bool amf_logged = false;
    for (const std::string &l : log.lines())
        amf_logged |= l.rfind("* amf_init/LoadLibrary[", 0) == 0 && l.find("] = -15101") != std::string::npos;
    EXPECT_TRUE(amf_logged);
    amf_destroy(&h);

    // The real dispatcher finds no Intel runtime.
    EXPECT_FALSE(mfxe_accepts_rgb());
    EXPECT_EQ(mfxe_init(&h, dev, 1280, 720, CAPTURE_FORMAT_NV12, &p), ENC_ERR_SESSION);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(log.contains("* mfxe_init/MFXInit[332] = -15007"));
    mfxe_destroy(&h);

    Encoder *enc = nullptr;
    ASSERT_EQ(encoder_open(&enc, encoder_table, ENC_ROWS, dev, 1280, 720, CAPTURE_FORMAT_BGRA, &p), 0);
    EXPECT_EQ(enc->api.init, mfte_init);
    EXPECT_EQ(p.software, 1);
    encoder_close(&enc);
    EXPECT_EQ(device_refs(dev), refs);
    EXPECT_EQ(d3d_live_objects(), d3d_live);
    dev->Release();
}

// A library under a runtime's name that lacks its entry points (another
// runtime's file): each row fails at its symbol step.
TEST(VendorRows, RuntimesWithoutTheirEntryPointsFail) {
    TempDir dir;
    std::string fakes = ZARVEK_FAKE_RUNTIME_DIR;
    ASSERT_EQ(symlink((fakes + "/libamfrt64.so.1").c_str(), dir.file("libnvidia-encode.so.1").c_str()), 0);
    ASSERT_EQ(symlink((fakes + "/libmfx.so.1").c_str(), dir.file("libamfrt64.so.1").c_str()), 0);
    ASSERT_EQ(symlink((fakes + "/libnvidia-encode.so.1").c_str(), dir.file("libmfx.so.1").c_str()), 0);
    setenv("ZARVEK_SO_PATH", dir.path.c_str(), 1);
    EncoderLog log;
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    RateParams p = default_rate_params();
    void *h = nullptr;
    EXPECT_EQ(nve_init(&h, dev, 640, 480, CAPTURE_FORMAT_BGRA, &p), ENC_ERR_RUNTIME);
    EXPECT_TRUE(log.contains("GetProcAddress failed to find NvEncodeAPICreateInstance"));
    EXPECT_EQ(amf_init(&h, dev, 640, 480, CAPTURE_FORMAT_BGRA, &p), ENC_ERR_RUNTIME);
    bool amf_logged = false;
    for (const std::string &l : log.lines())
        amf_logged |=
            l.rfind("* amf_init/GetProcAddress[", 0) == 0 && l.find("] = -15101") != std::string::npos;
    EXPECT_TRUE(amf_logged);
    EXPECT_FALSE(mfxe_accepts_rgb());
    EXPECT_EQ(mfxe_init(&h, dev, 640, 480, CAPTURE_FORMAT_BGRA, &p), ENC_ERR_SESSION);
    EXPECT_TRUE(log.contains("* mfxe_init/MFXInit[332] = -15007"));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(device_refs(dev), 1u);
    dev->Release();
    unsetenv("ZARVEK_SO_PATH");
}

}  // namespace
