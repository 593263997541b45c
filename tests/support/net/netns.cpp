#include "support/net/netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<int> g_labs{0};

bool shell(const std::string &command) {
    std::string quiet = command + " >/dev/null 2>&1";
    return std::system(quiet.c_str()) == 0;
}

// Namespaces of labs whose process died without cleaning up (a crash).
void remove_stale() {
    DIR *d = opendir("/var/run/netns");
    if (!d) return;
    while (dirent *e = readdir(d)) {
        int pid = 0;
        if (std::sscanf(e->d_name, "zk%d-", &pid) == 1 && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            shell(std::string("ip netns del ") + e->d_name);
    }
    closedir(d);
}

}  // namespace

NetnsLab::NetnsLab() {
    prefix_ = "zk" + std::to_string(getpid()) + "-" + std::to_string(g_labs++) + "-";
    if (geteuid() == 0) remove_stale();
}

NetnsLab::~NetnsLab() {
    for (const std::string &ns : made_) shell("ip netns del " + ns);
}

bool NetnsLab::available() {
    if (checked_ >= 0) return checked_ == 1;
    checked_ = 0;
    if (geteuid() != 0) {
        why_ = "network namespaces need root";
        return false;
    }
    std::string probe = add("probe");
    if (probe.empty()) {
        why_ = "'ip netns add' failed (no iproute2 or no namespace support)";
        return false;
    }
    checked_ = 1;
    return true;
}

std::string NetnsLab::add(const std::string &tag) {
    std::string name = prefix_ + tag;
    if (!shell("ip netns add " + name)) return "";
    made_.push_back(name);
    if (!shell("ip -n " + name + " link set lo up")) return "";
    return name;
}

bool NetnsLab::link(const std::string &ns_a, const std::string &if_a, const std::string &addr_a,
                    const std::string &ns_b, const std::string &if_b, const std::string &addr_b) {
    return shell("ip -n " + ns_a + " link add " + if_a + " type veth peer name " + if_b + " netns " + ns_b) &&
           shell("ip -n " + ns_a + " addr add " + addr_a + " dev " + if_a) &&
           shell("ip -n " + ns_b + " addr add " + addr_b + " dev " + if_b) &&
           shell("ip -n " + ns_a + " link set " + if_a + " up") &&
           shell("ip -n " + ns_b + " link set " + if_b + " up");
}

bool NetnsLab::run(const std::string &ns, const std::string &command) {
    return shell("ip netns exec " + ns + " sh -c '" + command + "'");
}

bool NetnsLab::in_ns(const std::string &ns, const std::function<void()> &fn) {
    bool ok = false;
    std::thread t([&] {
        int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        ok = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (ok) fn();
    });
    t.join();
    return ok;
}
