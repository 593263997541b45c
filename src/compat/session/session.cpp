#include "compat/session/session.h"

#include <mutex>

namespace {

constexpr SessionInfoEx kConsole = {1, WTS_SESSIONSTATE_UNKNOWN, "Console"};

std::mutex g_mutex;
SessionInfoEx g_info = kConsole;

}  // namespace

bool session_query_info(SessionInfoEx *out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    *out = g_info;
    return true;
}

void session_set_info(const SessionInfoEx *info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_info = info ? *info : kConsole;
}
