// The mapper thread touches only its request; stop is written by the starter
// and read by the thread between steps (atomically), and the wake event cuts
// the five-minute wait short.
#include "connection/upnp.h"

#include <atomic>
#include <cstdio>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include "platform/thread.h"

namespace {

bool stopping(UpnpMapRequest *r) {
    return std::atomic_ref<uint8_t>(r->stop).load() != 0;
}

// One round: discovery, the gateway, then each port until the first refusal.
void map_round(UpnpMapRequest *r) {
    int error = 0;
    UPNPDev *devices = upnpDiscover(UPNP_DISCOVER_MS, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    if (devices && error != 0) {
        freeUPNPDevlist(devices);
        devices = nullptr;
    }
    if (!devices) return;

    UPNPUrls urls{};
    IGDdatas data{};
    char lan[64] = "unset";
    int igd = UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof lan);
    if (igd == 1) {
        for (uint32_t i = 0; i < r->count; i++) {
            if (stopping(r)) break;
            char port[8];
            std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(r->base + i));
            if (UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, port, port, lan,
                                    UPNP_DESCRIPTION, "UDP", nullptr, UPNP_LEASE) != UPNPCOMMAND_SUCCESS)
                break;
        }
    }
    if (igd != 0) FreeUPNPUrls(&urls);
    freeUPNPDevlist(devices);
}

}  // namespace

void *upnp_map_thread(void *request) {
    UpnpMapRequest *r = static_cast<UpnpMapRequest *>(request);
    while (!stopping(r)) {
        map_round(r);
        if (stopping(r) || VKO_WaitableWait(r->wake, UPNP_ROUND_MS)) break;
    }
    return nullptr;
}

void upnp_map_stop(UpnpMapRequest *request) {
    std::atomic_ref<uint8_t>(request->stop).store(1);
    VKO_WaitableSignal(request->wake);
    VKO_ThreadDestroy(&request->thread);
}
