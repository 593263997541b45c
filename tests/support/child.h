// Runs a test body in a forked child, for what must not touch the test
// process: crashes, signals, other user ids, process-wide locks.
#pragma once

#include <functional>
#include <string>

// Runs body in a child whose standard error goes to a pipe; the child ends
// with exit code 0 if body returns. Gives back what the child wrote to
// standard error and sets *status to its wait status.
std::string run_child(const std::function<void()> &body, int *status);
