// A real UPnP gateway for tests: miniupnpd (nftables back-end) in a gateway
// namespace between a LAN namespace (10.9.0.2, where mappers run) and a WAN
// namespace. Its rules allow ports 20000, 20002-20003 and 21000-21003 to the
// LAN, and refuse 20001. The daemon ends with the fixture, or on its own
// after two minutes when the test process dies first.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

#include "support/net/netns.h"

struct UpnpGateway {
    NetnsLab lab;
    std::string lan, gw, wan, dir;
    pid_t pid = 0;

    // False when the namespaces or the daemon could not be set up.
    bool start();
    ~UpnpGateway();
    // The gateway's mapping of a UDP port made by our mapper: the internal
    // client, or "" when none.
    std::string mapping(uint16_t port);
};
