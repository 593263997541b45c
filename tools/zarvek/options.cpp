// The command line: the options, each held to its range, and the key=value
// settings for the start-up layer, each key known to the store; then the
// values the command line left open, read from the merged settings and held
// to what the program can do. Main thread only, before anything starts.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "connection/signal.h"
#include "host/encoder.h"
#include "platform/build_info.h"
#include "util/config.h"
#include "util/config_schema.h"

namespace zv {
namespace {

// The numeric options: each one's range and whether it takes whole numbers
// only (the sizes, the rate and the counts are whole where they are used).
struct Range {
    const char *name;
    double low, high;
    bool whole;
    const char *unit;
};
constexpr Range kRanges[] = {
    {"--duration", 1, 86400, false, "seconds"},
    {"--width", 640, ENC_MAX_WIDTH, true, "pixels"},
    {"--height", 360, ENC_MAX_HEIGHT, true, "pixels"},
    {"--fps", 1, 240, true, "frames per second"},
    {"--bitrate", 1, 1000, true, "Mbit/s"},
    {"--displays", 1, kMaxDisplays, true, "displays"},
    {"--loss", 0, 100, false, "percent"},
    {"--delay", 0, 1000, false, "ms"},
};

// A settings line "key=value" or "key_N=value" whose key the store knows.
bool known_setting(const std::string &line) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    std::string key = line.substr(0, eq);
    const ConfigItem *items = config_schema_items();
    auto find = [&](const std::string &k) -> const ConfigItem * {
        for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++)
            if (k == items[i].name) return &items[i];
        return nullptr;
    };
    if (find(key)) return true;
    if (key.size() > 2 && key[key.size() - 2] == '_' && key.back() >= '0' && key.back() <= '2') {
        const ConfigItem *item = find(key.substr(0, key.size() - 2));
        return item && (item->multi_stream || key.back() == '0');
    }
    return false;
}

}  // namespace

bool parse(int argc, char **argv, Options *o, int *exit_code) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zarvek: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char *v = nullptr;
        if (a == "--help" || a == "-h") {
            std::printf(
                "usage: zarvek [options] [setting=value ...]\n\n"
                "Streams displays from a host to a client on this machine: both connect through\n"
                "local signaling and STUN stand-ins, NAT traversal and BUD (or SCTP) on loopback.\n"
                "Without $DISPLAY it starts its own Xvfb and paints a moving test pattern.\n"
                "The client shows each stream in a window, writes a screenshot of it (window0.png, ...)\n"
                "and the received video as fragmented MP4 (video0.mp4, ...), measures\n"
                "capture-to-receive latency per frame and, on its own display, glass-to-glass latency\n"
                "(a frame counter in the pattern read back from the client windows), and clicks and\n"
                "types into a small window the program opens on the host display.\n"
                "Settings come from config.json in the data folder, then the settings given here\n"
                "(e.g. encoder_bitrate=20), then the machine's registry value; the options below\n"
                "go over them. Ctrl-C (or SIGTERM) ends the stream early and cleanly.\n\n"
                "  --duration S   seconds to stream, 1 to 86400 (5)\n"
                "  --width W      display width without $DISPLAY, a whole number from 640 to 3840 (1280)\n"
                "  --height H     display height without $DISPLAY, a whole number from 360 to 2160 (720)\n"
                "  --fps N        frame rate, a whole number from 1 to 240 (encoder_fps, else 30)\n"
                "  --bitrate M    largest bitrate in Mbit/s, a whole number from 1 to 1000 "
                "(encoder_bitrate)\n"
                "  --displays N   displays to stream, 1 to 3 (1)\n"
                "  --loss P       lose P percent (0 to 100) of the datagrams each way (through the lossy\n"
                "                 relay)\n"
                "  --delay MS     delay every datagram by MS milliseconds (0 to 1000) each way (lossy "
                "relay)\n"
                "  --sctp         SCTP instead of BUD (network_protocol)\n"
                "  --peer         then the same for FFmpeg's programs: ffmpeg grabs display 0 (x11grab),\n"
                "                 encodes it with libx264 and sends it over loopback UDP to ffplay,\n"
                "                 whose window's glass-to-glass latency is measured as the client's\n"
                "  --gfx NAME     the client windows' graphics: d3d11, d3d12, vulkan, or none for no\n"
                "                 windows (auto: Direct3D 11, else Vulkan)\n"
                "  --upnp         ask the local Internet gateway to forward the host's UDP ports\n"
                "                 (network_server_start_port and the three after it; needs network_upnp)\n"
                "  --out DIR      output folder (a new zarvek-<time> folder here)\n"
                "  --data DIR     data folder with config.json and log.txt (Zarvek in the user's\n"
                "                 application-data folder)\n"
                "  --version      print the version and exit\n"
                "  --help         show this text\n");
            *exit_code = 0;
            return false;
        } else if (a == "--version") {
            std::printf("zarvek %s\n", zarvek_version());
            *exit_code = 0;
            return false;
        } else if (a == "--sctp") {
            o->sctp = 1;
            continue;
        } else if (a == "--peer") {
            o->peer = true;
            continue;
        } else if (a == "--upnp") {
            o->upnp = true;
            continue;
        } else if (a.rfind("--", 0) != 0 && a.find('=') != std::string::npos) {
            if (!known_setting(a)) {
                std::fprintf(stderr, "zarvek: unknown setting '%s'\n", a.c_str());
                return false;
            }
            o->settings.push_back(a);
            continue;
        } else if (a == "--out" || a == "--data" || a == "--gfx") {
            if (!(v = value(a.c_str()))) return false;
            if (!*v) {
                std::fprintf(stderr, "zarvek: %s needs a value\n", a.c_str());
                return false;
            }
            if (a == "--out") {
                o->out = v;
            } else if (a == "--data") {
                o->data = v;
            } else {
                o->gfx = v;
                if (o->gfx != "auto" && o->gfx != "d3d11" && o->gfx != "d3d12" && o->gfx != "vulkan" &&
                    o->gfx != "none") {
                    std::fprintf(
                        stderr, "zarvek: bad value '%s' for --gfx (auto, d3d11, d3d12, vulkan or none)\n", v);
                    return false;
                }
            }
            continue;
        }
        const Range *range = nullptr;
        for (const Range &r : kRanges)
            if (a == r.name) range = &r;
        if (!range) {
            std::fprintf(stderr, "zarvek: unknown option '%s' (see zarvek --help)\n", a.c_str());
            return false;
        }
        if (!(v = value(a.c_str()))) return false;
        char *end = nullptr;
        errno = 0;
        double d = std::strtod(v, &end);
        if (end == v || *end || errno == ERANGE || !std::isfinite(d) || d < range->low || d > range->high ||
            (range->whole && d != std::floor(d))) {
            std::fprintf(stderr, "zarvek: bad value '%s' for %s (%s from %g to %g %s)\n", v, a.c_str(),
                         range->whole ? "a whole number" : "a number", range->low, range->high, range->unit);
            return false;
        }
        if (a == "--duration")
            o->duration = d;
        else if (a == "--width")
            o->width = static_cast<uint32_t>(d);
        else if (a == "--height")
            o->height = static_cast<uint32_t>(d);
        else if (a == "--fps")
            o->fps = static_cast<uint32_t>(d);
        else if (a == "--displays")
            o->displays = static_cast<uint32_t>(d);
        else if (a == "--loss")
            o->loss = d;
        else if (a == "--delay")
            o->delay = d;
        else
            o->bitrate = static_cast<uint32_t>(d);
    }
    return true;
}

int settle_options(Options *o) {
    if (!o->fps) {
        const int32_t fps = config_get_int(CONFIG_LAYER_MERGED, "encoder_fps", 0);
        if (fps < 0 || fps > 240) {
            std::fprintf(stderr, "zarvek: the setting encoder_fps=%d is outside 1 to 240 frames per second\n",
                         fps);
            return 2;
        }
        o->fps = fps ? static_cast<uint32_t>(fps) : 30;
    }
    if (!o->bitrate) {
        const int32_t mbit = config_get_int(CONFIG_LAYER_MERGED, "encoder_bitrate", 0);
        if (mbit < 1 || mbit > 1000) {
            std::fprintf(stderr, "zarvek: the setting encoder_bitrate=%d is outside 1 to 1000 Mbit/s\n",
                         mbit);
            return 2;
        }
    }
    if (o->sctp < 0)
        o->sctp = config_get_int(CONFIG_LAYER_MERGED, "network_protocol", 0) == int32_t(SIGNAL_MODE_SCTP);
    return 0;
}

}  // namespace zv
