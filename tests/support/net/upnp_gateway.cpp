#include "support/net/upnp_gateway.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "connection/upnp.h"

bool UpnpGateway::start() {
    lan = lab.add("lan");
    gw = lab.add("gw");
    wan = lab.add("wan");
    // miniupnpd refuses a gateway whose outside address is private or reserved.
    if (lan.empty() || gw.empty() || wan.empty() ||
        !lab.link(gw, "int0", "10.9.0.1/24", lan, "lan0", "10.9.0.2/24") ||
        !lab.link(gw, "ext0", "11.22.33.1/24", wan, "wan0", "11.22.33.2/24") ||
        !lab.run(lan, "ip route add default via 10.9.0.1"))
        return false;
    const char *nft =
        "nft add table inet filter && "
        "nft add chain inet filter miniupnpd && "
        "nft add chain inet filter prerouting_miniupnpd && "
        "nft add chain inet filter postrouting_miniupnpd && "
        "nft add chain inet filter forward { type filter hook forward priority 0 \\; } && "
        "nft add rule inet filter forward jump miniupnpd && "
        "nft add chain inet filter prerouting { type nat hook prerouting priority -100 \\; } && "
        "nft add rule inet filter prerouting jump prerouting_miniupnpd && "
        "nft add chain inet filter postrouting { type nat hook postrouting priority 100 \\; } && "
        "nft add rule inet filter postrouting jump postrouting_miniupnpd";
    if (!lab.run(gw, nft)) return false;
    char tmpl[] = "/tmp/zk-upnp-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    std::ofstream(dir + "/miniupnpd.conf") << "ext_ifname=ext0\n"
                                           << "listening_ip=int0\nport=0\nenable_natpmp=no\n"
                                           << "enable_upnp=yes\nsecure_mode=yes\nsystem_uptime=yes\n"
                                           << "uuid=3f1b7a52-64e4-4d2c-9d0b-7c1f5e2a8b90\n"
                                           << "allow 20000 10.9.0.0/24 20000\n"
                                           << "deny 20001 10.9.0.0/24 20001\n"
                                           << "allow 20002-20003 10.9.0.0/24 20002-20003\n"
                                           << "allow 21000-21003 10.9.0.0/24 21000-21003\n"
                                           << "deny 0-65535 0.0.0.0/0 0-65535\n";
    // timeout ends the daemon even when this process dies first.
    std::string cmd = "ip netns exec " + gw + " timeout 120 miniupnpd -d -f " + dir + "/miniupnpd.conf -P " +
                      dir + "/miniupnpd.pid >" + dir + "/log 2>&1 & echo $! >" + dir + "/pid";
    if (std::system(cmd.c_str()) != 0) return false;
    std::ifstream(dir + "/pid") >> pid;
    // Ready once its HTTP side listens.
    for (int i = 0; i < 200; i++) {
        std::stringstream log;
        log << std::ifstream(dir + "/log").rdbuf();
        if (log.str().find("HTTP listening on port") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

UpnpGateway::~UpnpGateway() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        for (int i = 0; i < 100 && kill(pid, 0) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kill(pid, SIGKILL);
    }
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
}

std::string UpnpGateway::mapping(uint16_t port) {
    std::string client;
    lab.in_ns(lan, [&] {
        int error = 0;
        UPNPDev *devices = upnpDiscover(250, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (!devices) return;
        UPNPUrls urls{};
        IGDdatas data{};
        char lan_addr[64];
        if (UPNP_GetValidIGD(devices, &urls, &data, lan_addr, sizeof lan_addr) == 1) {
            char ext[8], in_client[40] = "", in_port[8], desc[80] = "", enabled[8], lease[16];
            std::snprintf(ext, sizeof ext, "%u", port);
            if (UPNP_GetSpecificPortMappingEntry(urls.controlURL, data.first.servicetype, ext, "UDP", nullptr,
                                                 in_client, in_port, desc, enabled, lease) == 0 &&
                std::string(desc) == UPNP_DESCRIPTION && std::string(in_port) == ext)
                client = in_client;
            FreeUPNPUrls(&urls);
        }
        freeUPNPDevlist(devices);
    });
    return client;
}
