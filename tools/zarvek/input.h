// The input demonstration: a click and a key sent through the stream.
#pragma once

#include <cstdint>
#include <string>

#include "connection/protocol.h"

struct ZarvekInstance;

namespace zv {

// Sends a control message on the client's session; -1 without one.
int32_t client_send(ZarvekInstance *z, ControlHeader h);

// Opens a small window on the first display, then the client clicks into
// it and types 'z' through the stream's input path; one line says what the
// window received.
std::string input_demo(ZarvekInstance *client);

}  // namespace zv
