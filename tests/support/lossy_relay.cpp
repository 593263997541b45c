#include "lossy_relay.h"  // also built into the BUD benchmark, from its own folder

#include "connection/udp.h"

#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <queue>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

uint64_t mono_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int open_socket() {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

sockaddr_in6 loopback6(uint16_t port) {
    sockaddr_in6 a{};
    network_make_addr("::1", port, &a);
    return a;
}

uint16_t socket_port(int fd) {
    sockaddr_in6 a{};
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
    return ntohs(a.sin6_port);
}

struct LossyRelay::Impl {
    struct Held {
        uint64_t release_us;
        uint64_t order;
        int dir;
        std::vector<uint8_t> data;
        bool operator>(const Held &o) const {
            return release_us != o.release_us ? release_us > o.release_us : order > o.order;
        }
    };
    std::mt19937_64 rng;
    int fd[2] = {-1, -1};  // fd[0] faces A (receives A->B), fd[1] faces B
    sockaddr_in6 peer[2];
    std::mutex rules_mutex;
    RelayRules rules[2];
    bool bad[2] = {false, false};
    uint64_t link_free_us[2] = {0, 0};
    uint64_t queued_bytes[2] = {0, 0};
    std::priority_queue<Held, std::vector<Held>, std::greater<Held>> held;
    uint64_t order = 0;
    std::atomic<bool> stop{false};
    std::thread thread;

    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); }

    void deliver(int dir, const uint8_t *data, size_t len) {
        // A->B leaves from the socket facing B.
        int out = dir == AtoB ? fd[1] : fd[0];
        const sockaddr_in6 &to = dir == AtoB ? peer[1] : peer[0];
        for (int tries = 0; tries < 100; tries++) {
            ssize_t n = sendto(out, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            if (n >= 0 || (errno != EAGAIN && errno != ENOBUFS)) break;
            pollfd p{out, POLLOUT, 0};
            poll(&p, 1, 1);
        }
    }

    void arrive(int dir, uint8_t *data, size_t len, uint64_t now) {
        RelayRules r;
        {
            std::lock_guard<std::mutex> lock(rules_mutex);
            r = rules[dir];
        }
        if (r.drop && r.drop(data, len)) return;
        if (r.burst_start > 0) {
            if (bad[dir]) {
                if (uniform() < r.burst_end) bad[dir] = false;
            } else if (uniform() < r.burst_start) {
                bad[dir] = true;
            }
            if (bad[dir] && uniform() < r.burst_loss) return;
        }
        if (r.loss > 0 && uniform() < r.loss) return;
        int copies = (r.duplicate > 0 && uniform() < r.duplicate) ? 2 : 1;
        if (r.bitflip > 0 && uniform() < r.bitflip && len > 0) {
            size_t byte = std::uniform_int_distribution<size_t>(0, len - 1)(rng);
            data[byte] ^= static_cast<uint8_t>(1u << std::uniform_int_distribution<int>(0, 7)(rng));
        }
        for (int k = 0; k < copies; k++) {
            uint64_t depart = now;
            if (r.rate_bps > 0) {
                // Drain what already left the bounded queue, then tail-drop.
                if (link_free_us[dir] < now) link_free_us[dir] = now;
                uint64_t backlog_us = link_free_us[dir] - now;
                uint64_t backlog_bytes = backlog_us * r.rate_bps / 8 / 1000000;
                if (backlog_bytes + len > r.queue_bytes) continue;
                link_free_us[dir] += len * 8 * 1000000 / r.rate_bps;
                depart = link_free_us[dir];
            }
            uint64_t release = depart + r.delay_us;
            if (r.jitter_us) release += std::uniform_int_distribution<uint32_t>(0, r.jitter_us)(rng);
            if (r.reorder > 0 && uniform() < r.reorder) release += r.reorder_us;
            if (release <= now && held.empty()) {
                deliver(dir, data, len);
            } else {
                held.push(Held{release, order++, dir, std::vector<uint8_t>(data, data + len)});
            }
        }
    }

    void run() {
        std::vector<uint8_t> buf(65536);
        while (!stop.load()) {
            uint64_t now = mono_us();
            while (!held.empty() && held.top().release_us <= now) {
                const Held &h = held.top();
                deliver(h.dir, h.data.data(), h.data.size());
                held.pop();
            }
            int timeout_ms = 20;
            if (!held.empty()) {
                uint64_t wait = held.top().release_us - now;
                timeout_ms = static_cast<int>(std::min<uint64_t>(wait / 1000, 20));
            }
            pollfd p[2] = {{fd[0], POLLIN, 0}, {fd[1], POLLIN, 0}};
            if (poll(p, 2, timeout_ms) <= 0) continue;
            for (int side = 0; side < 2; side++) {
                if (!(p[side].revents & POLLIN)) continue;
                for (int i = 0; i < 64; i++) {
                    ssize_t n = recv(fd[side], buf.data(), buf.size(), 0);
                    if (n < 0) break;
                    arrive(side == 0 ? AtoB : BtoA, buf.data(), static_cast<size_t>(n), mono_us());
                }
            }
        }
    }
};

LossyRelay::LossyRelay(uint64_t seed) : impl_(new Impl) {
    impl_->rng.seed(seed);
}

LossyRelay::~LossyRelay() {
    stop();
    delete impl_;
}

bool LossyRelay::start(const sockaddr_in6 &peer_a, const sockaddr_in6 &peer_b) {
    impl_->peer[0] = peer_a;
    impl_->peer[1] = peer_b;
    impl_->fd[0] = open_socket();
    impl_->fd[1] = open_socket();
    if (impl_->fd[0] < 0 || impl_->fd[1] < 0) return false;
    impl_->thread = std::thread([this] { impl_->run(); });
    return true;
}

void LossyRelay::stop() {
    if (impl_->thread.joinable()) {
        impl_->stop.store(true);
        impl_->thread.join();
    }
    for (int &f : impl_->fd) {
        if (f >= 0) close(f);
        f = -1;
    }
}

sockaddr_in6 LossyRelay::address_for_a() const {
    return loopback6(socket_port(impl_->fd[0]));
}

sockaddr_in6 LossyRelay::address_for_b() const {
    return loopback6(socket_port(impl_->fd[1]));
}

void LossyRelay::set_rules(Direction d, const RelayRules &rules) {
    std::lock_guard<std::mutex> lock(impl_->rules_mutex);
    impl_->rules[d] = rules;
}
