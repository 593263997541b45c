// The command line and the settings the program reads from the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zv {

constexpr uint32_t kMaxDisplays = 3;

struct Options {
    double duration = 5;
    uint32_t width = 1280, height = 720, fps = 0, bitrate = 0;  // fps, bitrate 0: the configured value
    uint32_t displays = 1;
    double loss = 0;       // percent, each way, through the relay
    double delay = -1;     // ms one way through the relay; negative: no relay unless --loss
    int sctp = -1;         // 1 SCTP, 0 BUD, -1 the configured protocol
    bool upnp = false;     // map the host's ports on the local gateway
    bool fixed = false;    // only the fixed-address candidates, 127.0.0.1 on both sides
    bool verbose = false;  // the log's lines on the output too
    std::string out;
    std::string data;                   // the data folder: config.json, log.txt
    std::string gfx = "auto";           // the client windows' graphics: auto, d3d11, d3d12, vulkan or none
    bool peer = false;                  // then the same pattern through FFmpeg's programs
    std::vector<std::string> settings;  // key=value lines for the start-up layer
};

// Reads the command line. False when the program is to end at once with
// *exit_code (0 after --help or --version; left as it was after a message).
bool parse(int argc, char **argv, Options *o, int *exit_code);

// Values the command line left open come from the merged settings; 0, or 2
// with a message when a setting is outside what the program can do.
int settle_options(Options *o);

}  // namespace zv
