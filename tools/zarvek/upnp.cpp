// The host's UPnP mapper on a thread of its own. Its gateway search
// (upnpDiscover) cannot be woken, so a stop does not wait for it: the stop
// flag and the wake are set, the thread is joined only if it ends at once,
// else it is left to run out on its own. Model: `g_mapper` lives as long as
// the process (the thread reads its request to the end); `done` is set by the
// mapper's thread as it ends and read by the main thread; the main thread
// alone starts and stops.
#include "upnp.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "connection/upnp.h"
#include "platform/thread.h"
#include "util/config.h"

namespace zv {
namespace {

using namespace std::chrono_literals;

struct Mapper {
    UpnpMapRequest req{};
    std::atomic<bool> done{false};
    std::thread thread;
} g_mapper;

}  // namespace

int upnp_start() {
    if (!config_get_bool(CONFIG_LAYER_MERGED, "network_upnp", 0)) {
        std::printf("upnp: off (network_upnp)\n");
        return 0;
    }
    const int32_t base = config_get_int(CONFIG_LAYER_MERGED, "network_server_start_port", 0);
    if (base < 1 || base > 65535 - 3) {
        std::fprintf(stderr, "zarvek: --upnp needs network_server_start_port from 1 to 65532 (it is %d)\n",
                     base);
        return 2;
    }
    UpnpMapRequest &req = g_mapper.req;
    req.base = static_cast<uint16_t>(base);
    req.count = 4;
    req.wake = VKO_WaitableCreate();
    if (!req.wake) return 1;
    g_mapper.thread = std::thread([] {
        upnp_map_thread(&g_mapper.req);
        g_mapper.done = true;
    });
    std::printf("upnp: mapping UDP ports %d to %d\n", base, base + 3);
    return 0;
}

void upnp_stop() {
    if (!g_mapper.thread.joinable()) return;
    std::atomic_ref<uint8_t>(g_mapper.req.stop).store(1);
    VKO_WaitableSignal(g_mapper.req.wake);
    // Between two rounds it ends at once; in a search it would take seconds.
    for (int i = 0; i < 25 && !g_mapper.done.load(); i++) std::this_thread::sleep_for(10ms);
    if (!g_mapper.done.load()) {
        std::printf("upnp: the gateway search goes on; not waiting for it\n");
        g_mapper.thread.detach();
        return;
    }
    g_mapper.thread.join();
    VKO_WaitableDestroy(&g_mapper.req.wake);
}

}  // namespace zv
