// The codec core shared by the fake vendor runtimes (NVENC, AMF, Quick Sync),
// which are built as loadable modules and reached by tests and programs
// through the same loader as the real runtimes. The core turns a stand-in
// texture into real H.264 (libx264), or into a synthetic access unit of a
// chosen size, and keeps what every fake offers its tests: a journal of
// calls, failure injection by call name and occurrence, and a count of live
// objects.
//
// Threading: a fake runtime and its control record are used by one thread at
// a time (the encode thread, or the test between encoder calls).
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "compat/d3d/d3d.h"

struct FakeRuntime {
    struct Fault {
        int64_t skip;  // uses to let through first
        int32_t status;
        int64_t times;  // failures in a row, -1 for good
    };
    std::vector<std::string> calls;       // every entry point in the order called
    std::map<std::string, Fault> faults;  // by call name
    uint32_t out_size = 0;                // > 0: each access unit is synthetic, of this many bytes
    int64_t live = 0;                     // runtime objects created and not released

    // The call answers status on its (skip + 1)-th use from now on, `times`
    // times in a row (-1: from then on).
    void fail(const std::string &call, int32_t status, int64_t skip = 0, int64_t times = 1) {
        faults[call] = {skip, status, times};
    }
    // Journals the call; the injected status or 0.
    int32_t hit(const char *call) {
        calls.emplace_back(call);
        auto it = faults.find(call);
        if (it == faults.end()) return 0;
        if (it->second.skip-- > 0) return 0;
        int32_t status = it->second.status;
        if (it->second.times > 0 && --it->second.times == 0) faults.erase(it);
        return status;
    }
    size_t count(const std::string &call) const {
        size_t n = 0;
        for (const std::string &c : calls) n += c == call;
        return n;
    }
};

typedef struct x264_t x264_t;

class FakeCodec {
   public:
    FakeCodec() = default;
    FakeCodec(const FakeCodec &) = delete;
    FakeCodec &operator=(const FakeCodec &) = delete;
    ~FakeCodec() { close(); }

    bool open(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_bps, uint32_t slices);
    void set_bitrate(uint32_t bitrate_bps);
    // One access unit from the texture's picture (BGRA, RGBA or NV12); a
    // synthetic one of `synthetic` bytes when that is not 0.
    bool encode(ID3D11Texture2D *texture, uint32_t synthetic, std::vector<uint8_t> *out);
    void close();
    bool is_open() const { return enc_ != nullptr; }

   private:
    x264_t *enc_ = nullptr;
    uint32_t width_ = 0, height_ = 0;
    int64_t pts_ = 0;
    std::vector<uint8_t> nv12_;
};

#ifdef ZARVEK_FAKE_RUNTIME_DIR
// The control record a fake module exports (the loader's later loads of the
// same file share it while this handle stays open).
template <typename T>
T *fake_control(const char *file, const char *symbol) {
    std::string path = std::string(ZARVEK_FAKE_RUNTIME_DIR) + "/" + file;
    void *so = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!so) return nullptr;
    auto get = reinterpret_cast<T *(*)()>(dlsym(so, symbol));
    return get ? get() : nullptr;
}
#endif
