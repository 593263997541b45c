// One Xvfb per test binary: started on first use (-displayfd, depth 24,
// -noreset so RandR monitors and modes outlive the clients that set them),
// DISPLAY set for the whole process, stopped when the process exits, also
// when it aborts or is killed. A start that fails is tried once more, and
// what the server said is printed to standard error. A child forked without
// exec (a death test) may start servers too: they end with the child, and the
// child leaves the display it inherited to the process that started it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The display name (":N"), or an empty string when Xvfb could not start.
// Later calls return the same server whatever size they ask for.
const std::string &xvfb_display(uint32_t width = 3840, uint32_t height = 1200);

// Runs a command with the test display's DISPLAY; returns its exit status.
int xvfb_run(const std::string &command);

// The test display's server process, or -1 when none runs.
int xvfb_pid();

// Stops the test display's server now (xvfb_display starts no other and
// still names it). Safe in a signal handler: it only signals the server and
// waits for it.
void xvfb_shutdown();

// A further server with options of its own (e.g. "-extension", "MIT-SHM" to
// leave an extension out) and variables added to its environment ("NAME=value"),
// for a test that needs one; DISPLAY is left alone. The display is empty when
// it could not start. Stop it with xvfb_stop.
struct XvfbServer {
    int pid = -1;
    std::string display;
};
XvfbServer xvfb_start_other(const std::vector<std::string> &options, uint32_t width, uint32_t height,
                            const std::vector<std::string> &env = {});
void xvfb_stop(XvfbServer *server);
