// Stand-in for the terminal-services session query (the WTSSessionInfoEx
// level of WTSQuerySessionInformationW). This system streams one X session,
// the console's, and no interface here reports whether it is locked: the
// answer is that session, "Console", lock state unknown. Tests may set
// another answer. Calls may come from any thread.
#pragma once

#include <cstdint>

constexpr int32_t WTS_SESSIONSTATE_LOCK = 0;
constexpr int32_t WTS_SESSIONSTATE_UNLOCK = 1;
constexpr int32_t WTS_SESSIONSTATE_UNKNOWN = -1;

struct SessionInfoEx {
    uint32_t SessionId;
    int32_t SessionFlags;  // WTS_SESSIONSTATE_*
    char WinStationName[33];
};

// The process's session; false when it cannot be read.
bool session_query_info(SessionInfoEx *out);
// The answer from now on (null: the default one).
void session_set_info(const SessionInfoEx *info);
