// The port mapper against a real gateway (miniupnpd in a namespace), whose
// permission rules refuse one port so that the mapper's stop at the first
// refusal shows.
#include "connection/upnp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/thread.h"
#include "support/net/upnp_gateway.h"

// miniupnpc parses HTTP numbers with strtol on a buffer without a terminator;
// strtol stops at the first non-digit, but strict string checks measure the
// whole buffer.
extern "C" const char *__asan_default_suppressions() {
    return "interceptor_via_lib:libminiupnpc.so\n";
}

namespace {

struct Mapper {
    UpnpMapRequest request{};
    Mapper(UpnpGateway &g, uint16_t base, uint8_t count) {
        request.base = base;
        request.count = count;
        request.wake = VKO_WaitableCreate();
        g.lab.in_ns(g.lan, [&] { request.thread = VKO_ThreadCreate(upnp_map_thread, &request); });
    }
    ~Mapper() {
        upnp_map_stop(&request);
        VKO_WaitableDestroy(&request.wake);
    }
};

bool eventually_mapped(UpnpGateway &g, uint16_t port) {
    for (int i = 0; i < 20; i++) {
        if (!g.mapping(port).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

TEST(UpnpMapper, MapsEveryPortUntilTheFirstRefusal) {
    UpnpGateway g;
    if (!g.lab.available()) GTEST_SKIP() << "no network namespaces: " << g.lab.why();
    if (std::system("command -v miniupnpd >/dev/null") != 0) GTEST_SKIP() << "miniupnpd is not installed";
    ASSERT_TRUE(g.start()) << "miniupnpd did not start in its namespace";

    Mapper refused(g, 20000, 4);
    ASSERT_TRUE(eventually_mapped(g, 20000));
    EXPECT_EQ(g.mapping(20000), "10.9.0.2");

    // A gateway that takes every port: all four, in the time the first mapper's round took.
    Mapper all(g, 21000, 4);
    ASSERT_TRUE(eventually_mapped(g, 21003));
    for (uint16_t p = 21000; p < 21004; p++) EXPECT_EQ(g.mapping(p), "10.9.0.2") << p;

    // The refusal of 20001 ended the first round: 20002 and 20003 were never asked for.
    EXPECT_EQ(g.mapping(20001), "");
    EXPECT_EQ(g.mapping(20002), "");
    EXPECT_EQ(g.mapping(20003), "");
}

}  // namespace
