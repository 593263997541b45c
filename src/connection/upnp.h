// UPnP port mapper: asks the local Internet gateway to forward the UDP ports
// NAT traversal binds, at start and every five minutes, through miniupnpc.
#pragma once

#include <cstdint>

struct VKO_Thread;
struct VKO_Waitable;

constexpr uint32_t UPNP_ROUND_MS = 300000;
constexpr uint32_t UPNP_DISCOVER_MS = 2000;
constexpr const char *UPNP_LEASE = "2700";
constexpr const char *UPNP_DESCRIPTION = "Zarvek";

// Owned by the starter: it sets base and count (base + count - 1 <= 65535),
// creates wake, starts upnp_map_thread with the request. To end it: set stop,
// signal wake, join; the thread ends within the current library call's time.
struct UpnpMapRequest {
    VKO_Thread *thread;
    VKO_Waitable *wake;
    uint16_t base;
    uint8_t count;
    uint8_t stop;
};

void *upnp_map_thread(void *request);

// Asks a running mapper to end and joins it; frees nothing else.
void upnp_map_stop(UpnpMapRequest *request);
