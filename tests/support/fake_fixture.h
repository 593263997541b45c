// What the vendor-row tests share: the fake-runtime folder handed to the
// loader, the lines the encoder logs, and stand-in textures with a picture.
#pragma once

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "compat/d3d/d3d.h"
#include "support/fake_core.h"
#include "support/media_frames.h"
#include "util/logger.h"

// Points the loader at the fake runtimes (or at nothing) for its lifetime.
class FakeRuntimes {
   public:
    explicit FakeRuntimes(bool present = true) {
        if (present)
            setenv("ZARVEK_SO_PATH", ZARVEK_FAKE_RUNTIME_DIR, 1);
        else
            unsetenv("ZARVEK_SO_PATH");
    }
    ~FakeRuntimes() { unsetenv("ZARVEK_SO_PATH"); }
};

// Collects what log_message writes, one string per line.
class EncoderLog {
   public:
    EncoderLog() {
        self() = this;
        log_set_line_writer([](uint32_t, const char *text, void *) {
            std::lock_guard<std::mutex> g(self()->mutex_);
            self()->lines_.emplace_back(text);
        });
        log_set_sink(log_sink_format, nullptr);
    }
    ~EncoderLog() {
        log_set_sink(nullptr, nullptr);
        log_set_line_writer(nullptr);
        self() = nullptr;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> g(mutex_);
        return lines_;
    }
    bool contains(const std::string &line) {
        for (const std::string &l : lines())
            if (l == line) return true;
        return false;
    }
    // The "name = value" lines, in order.
    std::vector<std::string> choices() {
        std::vector<std::string> out;
        for (const std::string &l : lines())
            if (l.size() > 16 && l.compare(13, 3, " = ") == 0) out.push_back(l);
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> g(mutex_);
        lines_.clear();
    }

   private:
    static EncoderLog *&self() {
        static EncoderLog *p = nullptr;
        return p;
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A device's reference count (without changing it).
inline uint32_t device_refs(ID3D11Device *dev) {
    dev->AddRef();
    return dev->Release();
}

// A BGRA texture holding the desktop picture scrolled by `shift` rows.
inline ID3D11Texture2D *picture_texture(ID3D11Device *dev, uint32_t w, uint32_t h, uint32_t shift,
                                        DXGI_FORMAT format = DXGI_FORMAT_B8G8R8A8_UNORM) {
    D3D11_TEXTURE2D_DESC d = {w, h, 1, 1, format, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET,
                              0, 0};
    ID3D11Texture2D *tex = nullptr;
    if (dev->CreateTexture2D(&d, nullptr, &tex) != S_OK) return nullptr;
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint32_t px = desktop_pixel(x, y, shift);
            std::memcpy(tex->data() + (size_t)y * tex->pitch() + 4 * x, &px, 4);
        }
    return tex;
}
