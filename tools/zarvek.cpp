// Command-line entry to the library's demonstrations: two peers on loopback
// prove their path with a STUN check, then move data over a BUD link.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connection/bud.h"
#include "connection/stun.h"
#include "connection/udp.h"
#include "platform/build_info.h"
#include "platform/crypto.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uint16_t port_of(int fd) {
    sockaddr_in6 a{};
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
    return ntohs(a.sin6_port);
}

int32_t recv_wait(int fd, uint8_t *buf, uint32_t cap, sockaddr_in6 *from, PacketInfo *pi) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return -1;
    return network_recvmsg(fd, buf, cap, from, pi);
}

void make_creds(Creds *c) {
    std::memset(c, 0, sizeof *c);
    uint8_t r[127];
    VKO_GetRandomBytes(r, 4);
    VKO_BytesToBase64(r, 4, c->ice_ufrag, sizeof c->ice_ufrag);
    VKO_GetRandomBytes(r, 24);
    VKO_BytesToBase64(r, 24, c->ice_pwd, sizeof c->ice_pwd);
    VKO_GetRandomBytes(r, 127);
    VKO_BytesToHex(r, 127, c->aes256, sizeof c->aes256);
}

// Both peers log the same settings as they start; each is shown once.
void print_log(const char *msg, void *) {
    static std::set<std::string> shown;
    if (shown.insert(msg).second) std::printf("  log: %s\n", msg);
}

uint8_t pattern(uint32_t stream, uint32_t i) {
    return static_cast<uint8_t>(i * 131 + stream * 17 + (i >> 9));
}

int demo() {
    VKO_SetLogFunc(print_log, nullptr);
    int host_sock, client_sock;
    if (network_udp_socket(&host_sock, 0) != 0 || network_udp_socket(&client_sock, 0) != 0) {
        std::printf("could not open sockets\n");
        return 1;
    }
    int size = 0x500000;
    for (int fd : {host_sock, client_sock}) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    Creds host{}, client{};
    make_creds(&host);
    make_creds(&client);
    std::printf("peers: host [::1]:%u, client [::1]:%u\n", port_of(host_sock), port_of(client_sock));

    // The client checks the path to the host, keyed with the host's password.
    char txid[25];
    int32_t n = stun_send_request(client_sock, "::1", port_of(host_sock), nullptr, 128, &client, &host,
                                  host.ice_pwd, txid);
    uint8_t buf[2048];
    sockaddr_in6 from{};
    PacketInfo pi{};
    int32_t got = recv_wait(host_sock, buf, sizeof buf, &from, &pi);
    bool valid = got > 0 && stun_check_request(buf, static_cast<uint32_t>(got), host.ice_pwd);
    std::printf("STUN check: %d-byte request, valid at the host: %s\n", n, valid ? "yes" : "no");
    if (!valid) return 1;
    stun_send_success(host_sock, buf, static_cast<uint32_t>(got), &from, &pi, host.ice_pwd);
    got = recv_wait(client_sock, buf, sizeof buf, nullptr, nullptr);
    char answer_tx[25] = {};
    if (got > 0) stun_txid_hex(buf, answer_tx);
    bool answered = got == 76 && std::strcmp(answer_tx, txid) == 0 &&
                    stun_check_request(buf, static_cast<uint32_t>(got), host.ice_pwd);
    std::printf("STUN answer: %d bytes, same transaction: %s, integrity: %s\n", got,
                std::strcmp(answer_tx, txid) == 0 ? "yes" : "no", answered ? "ok" : "bad");
    if (!answered) return 1;

    sockaddr_in6 to_client{}, to_host{};
    network_make_addr("::1", port_of(client_sock), &to_client);
    network_make_addr("::1", port_of(host_sock), &to_host);
    BUD *h = nullptr, *c = nullptr;
    if (bud_create(&h, host_sock, &to_client, &pi, client.aes256, 1, 1, host.ice_pwd, 1) != 0 ||
        bud_create(&c, client_sock, &to_host, nullptr, client.aes256, 1, 0, client.ice_pwd, 1) != 0) {
        std::printf("could not start the link\n");
        return 1;
    }

    const uint32_t per_stream = 4000000, msg = 250000;
    std::atomic<int> bad{0};
    std::atomic<uint64_t> delivered{0};
    std::vector<std::thread> th;
    double t0 = now_s();
    for (uint32_t s = 0; s < BUD_STREAMS; s++) {
        th.emplace_back([&, s] {
            std::vector<uint8_t> m(msg);
            for (uint32_t off = 0; off < per_stream; off += msg) {
                for (uint32_t i = 0; i < msg; i++) m[i] = pattern(s, off + i);
                while (bud_send(h, static_cast<uint8_t>(s), nullptr, 0, m.data(), msg, 1000) == BUD_TIMEOUT) {
                }
            }
        });
        th.emplace_back([&, s] {
            std::vector<uint8_t> m(msg);
            uint32_t len = 0;
            for (uint32_t off = 0; off < per_stream;) {
                int32_t r = bud_recv(c, static_cast<uint8_t>(s), m.data(), msg, &len, 1000);
                if (r == BUD_TIMEOUT) continue;
                if (r != 0 || len != msg) {
                    bad++;
                    return;
                }
                for (uint32_t i = 0; i < len; i++)
                    if (m[i] != pattern(s, off + i)) {
                        bad++;
                        return;
                    }
                off += len;
                delivered += len;
            }
        });
    }
    for (auto &t : th) t.join();
    double secs = now_s() - t0;
    std::printf("BUD link: %.1f MB on %u streams in %.3f s = %.2f Gbit/s, exact and in order: %s\n",
                static_cast<double>(delivered.load()) / 1e6, BUD_STREAMS, secs,
                static_cast<double>(delivered.load()) * 8 / secs / 1e9, bad.load() == 0 ? "yes" : "NO");
    for (uint8_t s = 0; s < BUD_STREAMS; s++) {
        BudStreamStats st;
        bud_stream_stats(h, s, &st);
        std::printf("  stream %u: %u packets, %u fast and %u timed retransmissions\n", s, st.packets_sent,
                    st.fast_retransmissions, st.slow_retransmissions);
    }
    BudLinkStats ls;
    bud_link_stats(h, &ls);
    std::printf("  round trip %.3f ms\n", ls.rtt_us / 1000.0);
    bud_close(h);
    bud_close(c);
    VKO_SetLogFunc(nullptr, nullptr);
    return bad.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf(
                "usage: zarvek [--help] [--version]\n\n"
                "Runs a demonstration on this machine: two peers on loopback check their path\n"
                "with STUN, then move 20 MB over an encrypted BUD link on %u streams and check\n"
                "every byte. Exits 0 when all of it arrived intact and in order.\n\n"
                "  --help     show this text\n"
                "  --version  print the version and exit\n",
                BUD_STREAMS);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zarvek %s\n", zarvek_version());
            return 0;
        }
        std::fprintf(stderr, "zarvek: unknown option '%s' (see zarvek --help)\n", argv[i]);
        return 2;
    }
    std::printf("zarvek %s\n", zarvek_version());
    return demo();
}
