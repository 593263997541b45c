// The command line: the options, each held to its range, and the key=value
// settings for the start-up layer, each key known to the store; then the
// values the command line left open, read from the merged settings and held
// to what the program can do. Main thread only, before anything starts.
#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

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

const ConfigItem *find_item(const std::string &key) {
    const ConfigItem *items = config_schema_items();
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++)
        if (key == items[i].name) return &items[i];
    return nullptr;
}

// A whole number in int32_t, nothing before or after it.
bool whole_number(const std::string &v, int32_t *out) {
    if (v.empty() || v.size() > 12) return false;
    size_t at = v[0] == '+' || v[0] == '-' ? 1 : 0;
    if (at == v.size()) return false;
    for (size_t i = at; i < v.size(); i++)
        if (v[i] < '0' || v[i] > '9') return false;
    const long long n = std::strtoll(v.c_str(), nullptr, 10);
    if (n < INT32_MIN || n > INT32_MAX) return false;
    *out = static_cast<int32_t>(n);
    return true;
}

// Why one "key=value" line of a settings argument would not be stored as
// written ("" when it would): an unknown key or stream, no value, or a value
// of the wrong kind or outside the key's range.
std::string line_fault(const std::string &line) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) return "'" + line + "' is not key=value";
    std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    // As the store reads it: a last "_N" names the stream.
    uint32_t stream = 0;
    if (key.size() >= 3 && key.size() <= 63 && key[key.size() - 2] == '_' && std::isdigit(key.back())) {
        stream = static_cast<uint32_t>(key.back() - '0');
        key.resize(key.size() - 2);
    }
    const ConfigItem *item = find_item(key);
    if (!item || stream >= CONFIG_STREAM_COUNT || (stream > 0 && !item->multi_stream))
        return "unknown setting '" + line.substr(0, eq) + "'";
    const std::string name = line.substr(0, eq), what = "the value '" + value + "' of " + name + " ";
    if (value.empty()) return name + " has no value";
    if (value.find('=') != std::string::npos) return what + "holds a '='";
    int32_t n = 0;
    if (item->type == CONFIG_TYPE_INT) {
        const ConfigRange &r = item->schema_range[stream];
        if (value != "true" && value != "false" && !whole_number(value, &n))
            return what + "is not a whole number";
        if (value == "true") n = 1;
        if (!config_int_in_range(item, stream, n))
            return what + "is outside " + std::to_string(r.minimum) + " to " + std::to_string(r.maximum);
    } else if (item->type == CONFIG_TYPE_BOOL) {
        std::string low = value;
        for (char &c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (low != "true" && low != "false" && !whole_number(value, &n))
            return what + "is not true, false or a number";
    } else if (value.size() >= CONFIG_STRING_LIMIT || !config_check_characters(item, stream, value.c_str())) {
        return what + "is too long or holds characters the setting does not allow";
    }
    return "";
}

// Why a settings argument would not be stored as written, "" when it would.
// It is split into lines as the store splits its start-up text: blanks are
// dropped, '#' starts a comment, and '&', ':', ';' and line ends separate.
std::string setting_fault(const std::string &arg) {
    std::string line;
    bool comment = false;
    for (size_t i = 0; i <= arg.size(); i++) {
        const char c = i < arg.size() ? arg[i] : '\n';
        if (c == '\t' || c == '\v' || c == '\f' || c == ' ') continue;
        if (c == '\n') comment = false;
        if (comment) continue;
        if (c == '#') {
            comment = true;
            continue;
        }
        if (c != '\n' && c != '\r' && c != '&' && c != ':' && c != ';') {
            line += c;
            continue;
        }
        std::string fault = line.empty() ? "" : line_fault(line);
        if (!fault.empty()) return fault;
        line.clear();
    }
    return "";
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
                "(e.g. encoder_bitrate=20, each key known, each value readable and in its range),\n"
                "then the machine's registry value; the options below go over them. It prints its\n"
                "own lines, warnings and errors; the log's lines go to log.txt in the data folder.\n"
                "Ctrl-C (or SIGTERM, SIGHUP) ends the stream early and cleanly, a second one ends\n"
                "the program at once.\n"
                "Exit status: 0 streamed, 1 failed, 2 an option or setting refused, 3 the X display\n"
                "was lost, 4 the FFmpeg peer could not be measured, 128 + N stopped by signal N.\n\n"
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
                "  --fixed-address  both sides announce 127.0.0.1 as their fixed public address and\n"
                "                 only those candidates are exchanged (as with a forwarded port)\n"
                "  --upnp         ask the local Internet gateway to forward the host's UDP ports\n"
                "                 (network_server_start_port and the three after it; needs network_upnp)\n"
                "  --out DIR      output folder, made when missing (a new zarvek-<date>-<time> folder\n"
                "                 here, -2, -3, ... after the name when taken)\n"
                "  --data DIR     data folder with config.json and log.txt (Zarvek in the user's\n"
                "                 application-data folder)\n"
                "  --verbose      print the log's lines too\n"
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
        } else if (a == "--fixed-address") {
            o->fixed = true;
            continue;
        } else if (a == "--verbose") {
            o->verbose = true;
            continue;
        } else if (a.rfind("--", 0) != 0 && a.find('=') != std::string::npos) {
            const std::string fault = setting_fault(a);
            if (!fault.empty()) {
                std::fprintf(stderr, "zarvek: bad setting '%s': %s\n", a.c_str(), fault.c_str());
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
    // The relay stands between the candidates the sides announce, which a
    // fixed address goes around.
    if (o->fixed && (o->loss > 0 || o->delay >= 0)) {
        std::fprintf(stderr, "zarvek: --fixed-address does not go with the lossy relay (--loss, --delay)\n");
        return false;
    }
    return true;
}

int settle_options(Options *o) {
    // What the program can do with each setting it reads, for every stream of
    // those kept per stream; an option given on the command line goes over
    // the setting for every stream.
    struct Limit {
        const char *key;
        int32_t low, high;
        bool skip;
        const char *unit;
    };
    const Limit limits[] = {
        {"encoder_fps", 0, 240, o->fps != 0, "frames per second (0: 30)"},
        {"encoder_bitrate", 1, 1000, o->bitrate != 0, "Mbit/s"},
        {"network_server_start_port", 0, 65535 - 3, false, "(0: any port; the host binds up to four)"},
        {"network_client_start_port", 0, 65535, false, "(0: any port)"},
        {"server_max_clients", 1, INT32_MAX, false, "guests (the client needs room)"},
    };
    for (const Limit &l : limits) {
        const ConfigItem *item = find_item(l.key);
        const uint32_t streams = item && item->multi_stream ? CONFIG_STREAM_COUNT : 1;
        for (uint32_t s = 0; s < streams && !l.skip; s++) {
            const int32_t v = config_get_int(CONFIG_LAYER_MERGED, l.key, s);
            if (v >= l.low && v <= l.high) continue;
            std::fprintf(stderr, "zarvek: the setting %s%s=%d is outside %d to %d %s\n", l.key,
                         s ? ("_" + std::to_string(s)).c_str() : "", v, l.low, l.high, l.unit);
            return 2;
        }
    }
    if (!o->fps) {
        const int32_t fps = config_get_int(CONFIG_LAYER_MERGED, "encoder_fps", 0);
        o->fps = fps ? static_cast<uint32_t>(fps) : 30;
    }
    if (o->sctp < 0)
        o->sctp = config_get_int(CONFIG_LAYER_MERGED, "network_protocol", 0) == int32_t(SIGNAL_MODE_SCTP);
    return 0;
}

}  // namespace zv
