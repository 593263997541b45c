// The hardware rows over their fake runtimes at 1920x1080 (desktop pictures
// in BGRA stand-in textures) beside the fakes' codec core called directly on
// the same textures: what each row adds per frame (with real H.264, and with
// a synthetic 60 kB access unit that leaves only the plumbing). Then the walk of the
// encoder table on this machine, where no vendor runtime is installed: the
// three hardware rows failing, and the whole walk up to the software row
// having initialised. Ends with the "ours / peer" speed ratios.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "peer.h"
#include "support/fake_amf.h"
#include "support/fake_core.h"
#include "support/fake_mfx.h"
#include "support/fake_nvenc.h"
#include "support/media_frames.h"

namespace {

constexpr uint32_t W = 1920, H = 1080, kPictures = 8;

struct Pictures {
    ID3D11Device *dev = nullptr;
    std::vector<ID3D11Texture2D *> tex;
    Pictures() {
        D3D11CreateDevice(&dev);
        D3D11_TEXTURE2D_DESC d = {
            W, H, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET,
            0, 0};
        for (uint32_t i = 0; i < kPictures; i++) {
            ID3D11Texture2D *t = nullptr;
            dev->CreateTexture2D(&d, nullptr, &t);
            for (uint32_t y = 0; y < H; y++) {
                uint32_t *row = (uint32_t *)(t->data() + (size_t)y * t->pitch());
                for (uint32_t x = 0; x < W; x++) row[x] = desktop_pixel(x, y, i * 12);
            }
            tex.push_back(t);
        }
    }
    ~Pictures() {
        for (ID3D11Texture2D *t : tex) t->Release();
        dev->Release();
    }
};

Pictures &pictures() {
    static Pictures p;
    return p;
}

// The fakes' core on its own: the work every fake does per frame. Arg: 0
// real H.264, else a synthetic access unit of that many bytes.
void BM_CoreDirect(benchmark::State &state) {
    Pictures &p = pictures();
    FakeCodec codec;
    if (!codec.open(W, H, 60, 2000000, 1)) {
        state.SkipWithError("codec");
        return;
    }
    std::vector<uint8_t> out;
    uint32_t i = 0;
    for (auto _ : state) {
        codec.encode(p.tex[i++ % kPictures], (uint32_t)state.range(0), &out);
        benchmark::DoNotOptimize(out.data());
    }
}

const EncoderApi kRows[3] = {
    {nve_destroy, nve_init, nve_update_bitrate, nve_after_frame, nve_encode, nve_accepts_rgb, nullptr,
     nve_caps},
    {amf_destroy, amf_init, amf_update_bitrate, amf_after_frame, amf_encode, nve_accepts_rgb, nullptr,
     amf_caps},
    {mfxe_destroy, mfxe_init, mfxe_update_bitrate, mfxe_after_frame, mfxe_encode, mfxe_accepts_rgb, nullptr,
     mfxe_caps},
};

// The fake runtimes' output-size knobs.
uint32_t *out_size(int row) {
    switch (row) {
        case 0:
            return &fake_control<FakeNvenc>(FAKE_NVENC_FILE, "fake_nvenc")->out_size;
        case 1:
            return &fake_control<FakeAmf>(FAKE_AMF_FILE, "fake_amf")->out_size;
        default:
            return &fake_control<FakeMfx>(FAKE_MFX_FILE, "fake_mfx")->out_size;
    }
}

// Args: 0 NVENC, 1 AMF, 2 Quick Sync, each over its fake; then the output as
// for BM_CoreDirect.
void BM_RowOverFake(benchmark::State &state) {
    setenv("ZARVEK_SO_PATH", ZARVEK_FAKE_RUNTIME_DIR, 1);
    *out_size((int)state.range(0)) = (uint32_t)state.range(1);
    Pictures &p = pictures();
    const EncoderApi &row = kRows[state.range(0)];
    RateParams params = default_rate_params();
    void *h = nullptr;
    if (row.init(&h, p.dev, W, H, CAPTURE_FORMAT_BGRA, &params) != 0) {
        state.SkipWithError("init");
        row.destroy(&h);
        return;
    }
    uint32_t i = 0;
    for (auto _ : state) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        if (row.encode(h, p.tex[i++ % kPictures], &data, &size) != 0) {
            state.SkipWithError("encode");
            break;
        }
        benchmark::DoNotOptimize(data);
        row.after_frame(h);
    }
    row.destroy(&h);
    *out_size((int)state.range(0)) = 0;
    unsetenv("ZARVEK_SO_PATH");
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Arg: rows walked, 4 (the three hardware rows fail; the walk reports -15000)
// or 5 (up to the software row, initialised).
void BM_Walk(benchmark::State &state) {
    unsetenv("ZARVEK_SO_PATH");
    Pictures &p = pictures();
    const uint32_t rows = (uint32_t)state.range(0);
    for (auto _ : state) {
        RateParams params = default_rate_params();
        Encoder *enc = nullptr;
        auto t0 = std::chrono::steady_clock::now();
        int32_t r = encoder_open(&enc, encoder_table, rows, p.dev, W, H, CAPTURE_FORMAT_BGRA, &params);
        state.SetIterationTime(seconds_since(t0));
        if ((rows == ENC_ROWS) != (r == 0)) state.SkipWithError("walk");
        encoder_close(&enc);
    }
}

BENCHMARK(BM_CoreDirect)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreDirect)->Arg(60000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RowOverFake)->Args({0, 0})->Args({1, 0})->Args({2, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowOverFake)
    ->Args({0, 60000})
    ->Args({1, 60000})
    ->Args({2, 60000})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Walk)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

}  // namespace

int main(int argc, char **argv) {
    return bench::run_pairs(
        argc, argv,
        {{"encode 1080p", "BM_RowOverFake/0/0", "BM_CoreDirect/0", "NVENC row over fake / core"},
         {"encode 1080p", "BM_RowOverFake/1/0", "BM_CoreDirect/0", "AMF row over fake / core"},
         {"encode 1080p", "BM_RowOverFake/2/0", "BM_CoreDirect/0", "Quick Sync row over fake / core"}});
}
