// Network namespaces a test makes for itself: names unique to the process,
// every namespace removed again when the lab ends (also after a failure).
// Needs root and iproute2; available() says why not when it cannot work.
#pragma once

#include <functional>
#include <string>
#include <vector>

class NetnsLab {
   public:
    NetnsLab();
    ~NetnsLab();
    NetnsLab(const NetnsLab &) = delete;
    NetnsLab &operator=(const NetnsLab &) = delete;

    // False (with the reason in why()) when namespaces cannot be made here.
    bool available();
    const std::string &why() const { return why_; }

    // A new namespace with lo up; answers its full name ("" on failure).
    std::string add(const std::string &tag);
    // A veth pair: if_a with addr_a (CIDR) in ns_a, if_b with addr_b in ns_b, both up.
    bool link(const std::string &ns_a, const std::string &if_a, const std::string &addr_a,
              const std::string &ns_b, const std::string &if_b, const std::string &addr_b);
    // A shell command inside ns; true when it exits 0.
    bool run(const std::string &ns, const std::string &command);
    // Runs fn on a thread that has entered ns (threads it starts stay there).
    bool in_ns(const std::string &ns, const std::function<void()> &fn);

   private:
    std::vector<std::string> made_;
    std::string prefix_;
    std::string why_;
    int checked_ = -1;
};
