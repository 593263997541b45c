#include "connection/udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

thread_local int32_t t_socket_error = 0;

int32_t fail_code(int err) {
    int32_t code = network_error_code(err);
    t_socket_error = code;
    return NET_ERROR_BASE - code;
}

struct ErrnoRow {
    int err;
    int32_t code;
};

// errno to the socket error numbers the result codes have always carried.
constexpr ErrnoRow kErrnoTable[] = {
    {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},       {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},       {ENOTCONN, 10057},     {ESHUTDOWN, 10058},       {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},  {ELOOP, 10062},        {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},  {EPERM, 10013},
};

void close_failed(int *out, int fd) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    *out = NET_INVALID_SOCKET;
}

}  // namespace

int32_t network_error_code(int err) {
    for (const ErrnoRow &row : kErrnoTable)
        if (row.err == err) return row.code;
    return err > 0 ? err : NET_SYSCALLFAILURE;
}

int network_set_last_error(void) {
    t_socket_error = NET_SYSCALLFAILURE;
    return -1;
}

int32_t network_last_error(void) {
    return t_socket_error;
}

int32_t network_udp_socket(int *out, uint16_t port) {
    *out = NET_INVALID_SOCKET;
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return fail_code(errno);

    int off = 0, on = 1;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        int32_t r = fail_code(errno);
        close_failed(out, fd);
        return r;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        int32_t r = fail_code(errno);
        close_failed(out, fd);
        return r;
    }
    // Port-unreachable replies never reach an unconnected Linux UDP socket's
    // receives and there is no edge-traversal level to set: nothing to do here.

    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
        int32_t r = fail_code(errno);
        close_failed(out, fd);
        return r;
    }
    *out = fd;
    return 0;
}

int32_t network_sendmsg(int sock, const void *data, uint32_t length, const sockaddr_in6 *remote,
                        const PacketInfo *local) {
    return network_sendmsg_ttl(sock, data, length, remote, local, -1);
}

namespace {

int32_t send_with_options(int sock, const iovec *iov, uint32_t count, const sockaddr_in6 *remote,
                          const PacketInfo *local, int ttl, uint16_t segment);

}  // namespace

int32_t network_sendmsg_ttl(int sock, const void *data, uint32_t length, const sockaddr_in6 *remote,
                            const PacketInfo *local, int ttl) {
    iovec iov{const_cast<void *>(data), length};
    return send_with_options(sock, &iov, 1, remote, local, ttl, 0);
}

int32_t network_sendmsg_segments(int sock, const void *data, uint32_t length, uint16_t segment,
                                 const sockaddr_in6 *remote, const PacketInfo *local) {
    iovec iov{const_cast<void *>(data), length};
    return network_sendmsg_segments_iov(sock, &iov, 1, segment, remote, local);
}

int32_t network_sendmsg_segments_iov(int sock, const iovec *iov, uint32_t count, uint16_t segment,
                                     const sockaddr_in6 *remote, const PacketInfo *local) {
    int32_t r = send_with_options(sock, iov, count, remote, local, -1, segment);
    // EIO: the route's device cannot segment; EINVAL/ENOPROTOOPT: a kernel without it.
    if (r == NET_ERROR_BASE - network_error_code(EIO) ||
        r == NET_ERROR_BASE - network_error_code(ENOPROTOOPT) ||
        r == NET_ERROR_BASE - network_error_code(EINVAL))
        return NET_ERROR_BASE - 10045;
    return r;
}

namespace {

int32_t send_with_options(int sock, const iovec *iov, uint32_t count, const sockaddr_in6 *remote,
                          const PacketInfo *local, int ttl, uint16_t segment) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec *>(iov);
    msg.msg_iovlen = count;
    if (remote) {
        msg.msg_name = const_cast<sockaddr_in6 *>(remote);
        msg.msg_namelen = sizeof(sockaddr_in6);
    }
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo)) + 2 * CMSG_SPACE(sizeof(int))] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *cm = CMSG_FIRSTHDR(&msg);
    size_t used = 0;
    if (local && local->family != 0) {
        if (local->family == NET_FAMILY_IPV6) {
            in6_pktinfo pi{};
            std::memcpy(&pi.ipi6_addr, local->ipv6.addr, 16);
            pi.ipi6_ifindex = local->ipv6.ifindex;
            cm->cmsg_level = IPPROTO_IPV6;
            cm->cmsg_type = IPV6_PKTINFO;
            cm->cmsg_len = CMSG_LEN(sizeof pi);
            std::memcpy(CMSG_DATA(cm), &pi, sizeof pi);
            used += CMSG_SPACE(sizeof pi);
        } else {
            // Linux picks the IPv4 source from spec_dst, not from addr.
            in_pktinfo pi{};
            std::memcpy(&pi.ipi_spec_dst, local->ipv4.addr, 4);
            pi.ipi_ifindex = static_cast<int>(local->ipv4.ifindex);
            cm->cmsg_level = IPPROTO_IP;
            cm->cmsg_type = IP_PKTINFO;
            cm->cmsg_len = CMSG_LEN(sizeof pi);
            std::memcpy(CMSG_DATA(cm), &pi, sizeof pi);
            used += CMSG_SPACE(sizeof pi);
        }
        cm = reinterpret_cast<cmsghdr *>(control + used);
    }
    if (ttl >= 0) {
        // Per-packet TTL, so concurrent sends on the socket keep their own.
        bool v4 = remote && IN6_IS_ADDR_V4MAPPED(&remote->sin6_addr);
        cm->cmsg_level = v4 ? IPPROTO_IP : IPPROTO_IPV6;
        cm->cmsg_type = v4 ? IP_TTL : IPV6_HOPLIMIT;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cm), &ttl, sizeof ttl);
        used += CMSG_SPACE(sizeof(int));
    }
    if (segment > 0) {
        cm = reinterpret_cast<cmsghdr *>(control + used);
        cm->cmsg_level = SOL_UDP;
        cm->cmsg_type = UDP_SEGMENT;
        cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        std::memcpy(CMSG_DATA(cm), &segment, sizeof segment);
        used += CMSG_SPACE(sizeof(uint16_t));
    }
    msg.msg_controllen = used;
    if (used == 0) msg.msg_control = nullptr;
    ssize_t n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n < 0) return fail_code(errno);
    if (n == 0) return NET_ERROR_BASE;
    return static_cast<int32_t>(n);
}

}  // namespace

int32_t network_recvmsg(int sock, void *buf, uint32_t capacity, sockaddr_in6 *from, PacketInfo *local) {
    iovec iov{buf, capacity};
    sockaddr_in6 src{};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_name = &src;
    msg.msg_namelen = sizeof src;
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(sock, &msg, 0);
    if (n < 0) return fail_code(errno);

    if (from) {
        *from = src;
        if (msg.msg_namelen < sizeof src) std::memset(from, 0, sizeof *from);
    }
    if (local) {
        std::memset(local, 0, sizeof *local);
        bool have4 = false;
        for (cmsghdr *cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
            if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO &&
                cm->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
                in_pktinfo pi;
                std::memcpy(&pi, CMSG_DATA(cm), sizeof pi);
                local->family = NET_FAMILY_IPV4;
                std::memcpy(local->ipv4.addr, &pi.ipi_addr, 4);
                local->ipv4.ifindex = static_cast<uint32_t>(pi.ipi_ifindex);
                have4 = true;
            } else if (!have4 && cm->cmsg_level == IPPROTO_IPV6 && cm->cmsg_type == IPV6_PKTINFO &&
                       cm->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
                in6_pktinfo pi;
                std::memcpy(&pi, CMSG_DATA(cm), sizeof pi);
                if (IN6_IS_ADDR_V4MAPPED(&pi.ipi6_addr)) {
                    // A v4-mapped arrival is reported as IPv4 whichever header carried it.
                    local->family = NET_FAMILY_IPV4;
                    std::memcpy(local->ipv4.addr, pi.ipi6_addr.s6_addr + 12, 4);
                    local->ipv4.ifindex = pi.ipi6_ifindex;
                } else {
                    local->family = NET_FAMILY_IPV6;
                    std::memcpy(local->ipv6.addr, &pi.ipi6_addr, 16);
                    local->ipv6.ifindex = pi.ipi6_ifindex;
                }
            }
        }
    }
    return static_cast<int32_t>(n);
}

float network_link_speed(uint64_t tx, uint64_t rx) {
    uint64_t s = tx;
    if (tx == 0 || (rx > 0 && rx < tx)) s = rx;
    return static_cast<float>(static_cast<double>(s) / 1000000.0);
}

namespace {

bool read_sys(const char *ifname, const char *leaf, char *out, size_t size) {
    char path[256];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/%s", ifname, leaf);
    FILE *f = std::fopen(path, "r");
    if (!f) return false;
    bool ok = std::fgets(out, static_cast<int>(size), f) != nullptr;
    std::fclose(f);
    return ok;
}

bool sys_exists(const char *ifname, const char *leaf) {
    char path[256];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/%s", ifname, leaf);
    return access(path, F_OK) == 0;
}

// Interface of the IPv4 default route, else of the IPv6 one; 0 when none.
uint32_t best_interface() {
    char line[512], name[64];
    if (FILE *f = std::fopen("/proc/net/route", "r")) {
        unsigned dest = 1, mask = 1;
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "%63s %x %*x %*x %*d %*d %*d %x", name, &dest, &mask) == 3 && dest == 0 &&
                mask == 0) {
                std::fclose(f);
                return if_nametoindex(name);
            }
        }
        std::fclose(f);
    }
    if (FILE *f = std::fopen("/proc/net/ipv6_route", "r")) {
        char dst[40];
        unsigned plen = 1;
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "%39s %x %*s %*s %*s %*s %*s %*s %*s %63s", dst, &plen, name) == 3 &&
                plen == 0 && std::strcmp(dst, "00000000000000000000000000000000") == 0 &&
                std::strcmp(name, "lo") != 0) {
                std::fclose(f);
                return if_nametoindex(name);
            }
        }
        std::fclose(f);
    }
    return 0;
}

}  // namespace

uint32_t network_get_interface_info(NetInterfaceInfo rows[8]) {
    std::memset(rows, 0, sizeof(NetInterfaceInfo) * 8);
    uint32_t best = best_interface();
    struct if_nameindex *list = if_nameindex();
    if (!list) return 0;
    uint32_t n = 0;
    for (struct if_nameindex *it = list; it->if_index != 0 && it->if_name && n < 8; ++it) {
        if (best != 0 && it->if_index != best) continue;
        NetInterfaceInfo &row = rows[n++];
        std::snprintf(row.name, sizeof row.name, "%s", it->if_name);
        row.index = it->if_index;
        char text[128] = {};
        if (read_sys(it->if_name, "ifalias", text, sizeof text) && text[0] != '\n' && text[0] != 0) {
            text[std::strcspn(text, "\n")] = 0;
            std::snprintf(row.description, sizeof row.description, "%s", text);
        } else {
            std::snprintf(row.description, sizeof row.description, "%s", it->if_name);
        }
        row.wireless = sys_exists(it->if_name, "wireless") || sys_exists(it->if_name, "phy80211");
        long mbit = 0;
        if (read_sys(it->if_name, "speed", text, sizeof text)) mbit = std::strtol(text, nullptr, 10);
        uint64_t bits = mbit > 0 ? static_cast<uint64_t>(mbit) * 1000000u : 0;
        row.speed = network_link_speed(bits, bits);
    }
    if_freenameindex(list);
    return n;
}

bool network_make_addr(const char *text, uint16_t port, sockaddr_in6 *out) {
    std::memset(out, 0, sizeof *out);
    out->sin6_family = AF_INET6;
    out->sin6_port = htons(port);
    char buf[96];
    if (std::strchr(text, ':'))
        std::snprintf(buf, sizeof buf, "%s", text);
    else
        std::snprintf(buf, sizeof buf, "::ffff:%s", text);
    return inet_pton(AF_INET6, buf, &out->sin6_addr) == 1;
}

void network_addr_text(const sockaddr_in6 *addr, char *text, uint32_t size, bool unmap) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (unmap && IN6_IS_ADDR_V4MAPPED(&addr->sin6_addr))
        inet_ntop(AF_INET, addr->sin6_addr.s6_addr + 12, buf, sizeof buf);
    else
        inet_ntop(AF_INET6, &addr->sin6_addr, buf, sizeof buf);
    std::snprintf(text, size, "%s", buf);
}
