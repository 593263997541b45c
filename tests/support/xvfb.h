// One Xvfb per test binary: started on first use (-displayfd, depth 24,
// -noreset so RandR monitors and modes outlive the clients that set them),
// DISPLAY set for the whole process, stopped when the process exits.
#pragma once

#include <cstdint>
#include <string>

// The display name (":N"), or an empty string when Xvfb could not start.
// Later calls return the same server whatever size they ask for.
const std::string &xvfb_display(uint32_t width = 3840, uint32_t height = 1200);

// Runs a command with the test display's DISPLAY; returns its exit status.
int xvfb_run(const std::string &command);
