// Runs a shell command and collects what it writes to standard output.
#pragma once

#include <string>

// The command's standard output; *status gets pclose's wait status (left
// alone when the command could not be started).
std::string output_of(const std::string &command, int *status);
