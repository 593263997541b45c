// A real association between two SCTP links inside real DTLS on loopback:
// exact ordered delivery on all five streams up to 4 MiB, through loss, with
// the peer's fingerprint checked, a full buffer that waits instead of losing
// data, unread streams that push back on the sender (after a bounded count
// of small messages too), memory wanting on the link's thread that delays a
// message without losing it, a close that delivers what was sent before it
// without waiting for the peer's backlog, silence that ends the link, and
// links made and closed on several threads at once.
#include "connection/sctp.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "platform/dtls.h"
#include "support/bud_pair.h"
#include "support/log_capture.h"
#include "support/lossy_relay.h"

namespace {
// While set, every allocation of at least this many bytes fails.
std::atomic<size_t> g_fail_from{0};
}  // namespace

// The replaced operators pair malloc with free; GCC, inlining them, takes
// the free for one of memory from new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(size_t size) {
    size_t from = g_fail_from.load(std::memory_order_relaxed);
    void *p = from != 0 && size >= from ? nullptr : std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

std::vector<uint8_t> pattern(uint32_t seed, uint32_t size) {
    std::vector<uint8_t> v(size);
    uint32_t x = seed * 2654435761u + size;
    for (uint8_t &b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

std::string fingerprint(VKO_Cert *cert) {
    char fp[VKO_FINGERPRINT_SIZE];
    VKO_CertGetFingerprint(cert, fp, sizeof fp);
    return fp;
}

// The client listens (and is the DTLS server); the host connects.
struct SctpPair {
    SctpTransport *client = nullptr;
    SctpTransport *host = nullptr;
    VKO_Cert *client_cert = VKO_CertCreate();
    VKO_Cert *host_cert = VKO_CertCreate();
    std::unique_ptr<LossyRelay> relay;
    int client_sock = -1, host_sock = -1;

    // wrong: 1 the client expects a wrong fingerprint, 2 the host does.
    bool open(bool via_relay, int wrong = 0, uint64_t seed = 1) {
        if (network_udp_socket(&client_sock, 0) != 0 || network_udp_socket(&host_sock, 0) != 0) return false;
        grow_buffers(client_sock);
        grow_buffers(host_sock);
        sockaddr_in6 to_client = loopback6(socket_port(client_sock)),
                     to_host = loopback6(socket_port(host_sock));
        if (via_relay) {
            relay = std::make_unique<LossyRelay>(seed);
            if (!relay->start(to_host, to_client)) return false;
            to_client = relay->address_for_a();
            to_host = relay->address_for_b();
        }
        std::string host_fp = fingerprint(wrong == 1 ? client_cert : host_cert);
        std::string client_fp = fingerprint(wrong == 2 ? host_cert : client_cert);
        return sctpp_create(&client, client_sock, client_cert, &to_host, nullptr, 1, "clientpwd",
                            host_fp.c_str()) == 0 &&
               sctpp_create(&host, host_sock, host_cert, &to_client, nullptr, 0, "hostpwd",
                            client_fp.c_str()) == 0;
    }

    bool wait_connected() {
        return eventually([&] { return sctpp_connected(client) && sctpp_connected(host); });
    }

    // The links close gracefully, through the relay with its rules lifted.
    ~SctpPair() {
        if (relay) {
            relay->set_rules(LossyRelay::AtoB, RelayRules{});
            relay->set_rules(LossyRelay::BtoA, RelayRules{});
        }
        if (client) sctpp_destroy(client);
        if (host) sctpp_destroy(host);
        if (relay) relay->stop();
        VKO_CertDestroy(&client_cert);
        VKO_CertDestroy(&host_cert);
    }
};

int32_t send_until_done(SctpTransport *t, uint8_t stream, const std::vector<uint8_t> &m, uint8_t prefix) {
    int32_t r;
    do {
        r = sctpp_send(t, stream, m.data(), prefix, m.data() + prefix,
                       static_cast<uint32_t>(m.size() - prefix), 1000);
    } while (r == SCTP_TIMEOUT);
    return r;
}

std::vector<uint8_t> recv_message(SctpTransport *t, uint8_t stream, int32_t *result) {
    std::vector<uint8_t> buf(5 << 20);
    uint32_t len = 0;
    int32_t r;
    int tries = 0;
    do {
        r = sctpp_recv(t, stream, buf.data(), static_cast<uint32_t>(buf.size()), &len, 1000);
    } while (r == SCTP_TIMEOUT && ++tries < 30);
    *result = r;
    buf.resize(r == 0 ? len : 0);
    return buf;
}

// Every stream at once, both with and without prefixes, checked byte for byte.
// big is added as the last message of stream 1.
void exchange_all_streams(SctpPair &p, std::vector<uint32_t> common, uint32_t big) {
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (uint8_t s = 0; s < TRANSPORT_STREAMS; s++) {
        std::vector<uint32_t> sizes = common;
        if (s == 1) sizes.push_back(big);
        threads.emplace_back([&, s, sizes] {
            for (uint32_t i = 0; i < sizes.size(); i++) {
                std::vector<uint8_t> m = pattern(s * 100 + i, sizes[i]);
                uint8_t prefix = m.size() >= 15 ? static_cast<uint8_t>(10 + s) : 0;
                if (send_until_done(p.host, s, m, prefix) != 0) bad++;
            }
        });
        threads.emplace_back([&, s, sizes] {
            for (uint32_t i = 0; i < sizes.size(); i++) {
                int32_t r;
                if (recv_message(p.client, s, &r) != pattern(s * 100 + i, sizes[i]) || r != 0) {
                    ADD_FAILURE() << "stream " << int(s) << " message " << i << " result " << r;
                    bad++;
                    return;
                }
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(SctpLink, FiveStreamsUpTo4MiBExactAndInOrder) {
    SctpPair p;
    ASSERT_TRUE(p.open(false));
    // Sent before the association is up: queued, then delivered without a later send.
    std::vector<uint8_t> early = pattern(7, 300);
    ASSERT_EQ(sctpp_send(p.host, 0, early.data(), 13, early.data() + 13, 287, 0), 0);
    ASSERT_TRUE(p.wait_connected());
    int32_t r;
    EXPECT_EQ(recv_message(p.client, 0, &r), early);

    exchange_all_streams(p, {1, 1188, 1189, 5000, 65537, 300000, 1u << 20}, 4u << 20);

    // The other direction.
    std::vector<uint8_t> back = pattern(9, 4 << 20);
    EXPECT_EQ(send_until_done(p.client, 2, back, 15), 0);
    EXPECT_EQ(recv_message(p.host, 2, &r), back);

    // Larger than the reader's buffer: refused, and still there for a larger one.
    ASSERT_EQ(send_until_done(p.host, 1, early, 10), 0);
    uint32_t len = 0;
    do {
        r = sctpp_recv(p.client, 1, back.data(), 299, &len, 1000);
    } while (r == SCTP_TIMEOUT);
    EXPECT_EQ(r, SCTP_ERR_BUFFER);
    EXPECT_EQ(len, 300u);  // the size a reader must grow to
    EXPECT_EQ(recv_message(p.client, 1, &r), early);
    EXPECT_EQ(sctpp_recv(p.client, 7, back.data(), 299, &len, 0), -12008);
}

TEST(SctpLink, FiveStreamsThroughFivePercentLoss) {
    SctpPair p;
    ASSERT_TRUE(p.open(true));
    RelayRules rules;
    rules.loss = 0.05;
    rules.duplicate = 0.01;
    rules.reorder = 0.02;
    p.relay->set_rules(LossyRelay::AtoB, rules);
    p.relay->set_rules(LossyRelay::BtoA, rules);
    ASSERT_TRUE(p.wait_connected());
    exchange_all_streams(p, {1, 1200, 40000, 250000}, 4u << 20);
}

// True once count has not moved for a second (false after 20 s).
bool quiet(const std::atomic<int> &count) {
    auto now = std::chrono::steady_clock::now();
    auto deadline = now + std::chrono::seconds(20), since = now;
    for (int last = count.load(); now < deadline; now = std::chrono::steady_clock::now()) {
        if (count.load() != last) {
            last = count.load();
            since = now;
        } else if (now - since >= std::chrono::seconds(1)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Two seconds of messages on every stream, sent as an application sends
// them, on a path whose delay flaps between none and 100 ms each way: the
// retransmission timers set for one delay expire in the other while
// acknowledgements arrive and senders send. Every message arrives, in order.
void busy_phase(SctpPair &p) {
    std::atomic<bool> sending{true};
    std::thread flap([&] {
        for (int k = 0; sending; k++) {
            RelayRules r;
            r.loss = 0.005;
            r.delay_us = k % 2 ? 100000 : 0;
            p.relay->set_rules(LossyRelay::AtoB, r);
            p.relay->set_rules(LossyRelay::BtoA, r);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
    // Threads that keep the cores busy, so the link's threads and the library's
    // timer thread are preempted often, as on a loaded machine.
    std::vector<std::thread> load;
    for (int i = 0; i < 3; i++)
        load.emplace_back([&] {
            while (sending) {
            }
        });
    constexpr uint32_t kSizes[] = {100, 600, 1200, 3000};
    std::atomic<uint32_t> sent[TRANSPORT_STREAMS] = {};
    std::vector<std::thread> threads;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (uint8_t s = 0; s < TRANSPORT_STREAMS; s++) {
        threads.emplace_back([&, s] {
            for (uint32_t i = 0; std::chrono::steady_clock::now() < end; i++) {
                std::vector<uint8_t> m = pattern(s * 100000 + i, kSizes[(i + s) % 4]);
                ASSERT_EQ(send_until_done(p.host, s, m, 0), 0);
                sent[s]++;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    for (auto &t : threads) t.join();
    sending = false;
    flap.join();
    for (auto &t : load) t.join();
    threads.clear();
    for (uint8_t s = 0; s < TRANSPORT_STREAMS; s++) {
        threads.emplace_back([&, s] {
            std::vector<uint8_t> buf(4096);
            for (uint32_t i = 0; i < sent[s]; i++) {
                uint32_t len = 0;
                int32_t r;
                int tries = 0;
                do {
                    r = sctpp_recv(p.client, s, buf.data(), static_cast<uint32_t>(buf.size()), &len, 1000);
                } while (r == SCTP_TIMEOUT && ++tries < 30);
                if (r != 0 || std::vector<uint8_t>(buf.begin(), buf.begin() + len) !=
                                  pattern(s * 100000 + i, kSizes[(i + s) % 4])) {
                    ADD_FAILURE() << "stream " << int(s) << " message " << i << " result " << r;
                    return;
                }
            }
        });
    }
    for (auto &t : threads) t.join();
}

// Busy phases on a path whose delay flaps between none and 100 ms each way,
// each followed by a path of 200 ms on which the last three datagrams of a
// message are lost once, with nothing sent after it: the sender must send them
// again. (The library's retransmission timer, raced by the timers', the
// link's and the senders' threads, could be left unarmed with data
// outstanding.)
void lost_tails_after_busy_phases(uint64_t seed) {
    SctpPair p;
    ASSERT_TRUE(p.open(true, 0, seed));
    ASSERT_TRUE(p.wait_connected());
    // Datagrams carrying data towards the client are counted; those numbered
    // drop_from and the two after it are lost.
    std::atomic<int> counted{0}, drop_from{-1};
    RelayRules tail;
    tail.drop = [&](const uint8_t *, size_t length) {
        if (length < 600) return false;
        int i = counted++, from = drop_from.load();
        return from >= 0 && i >= from && i < from + 3;
    };
    p.relay->set_rules(LossyRelay::AtoB, tail);
    // How many datagrams carry the message, learnt on the fast path, where
    // nothing is sent twice (the least of two tries, should one be).
    std::vector<uint8_t> m = pattern(static_cast<uint32_t>(seed), 8800);
    std::vector<uint8_t> buf(m.size());
    uint32_t len = 0;
    int per_message = 1 << 20;
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(quiet(counted));
        counted = 0;
        ASSERT_EQ(send_until_done(p.host, 4, m, 10), 0);
        ASSERT_EQ(sctpp_recv(p.client, 4, buf.data(), static_cast<uint32_t>(buf.size()), &len, 10000), 0);
        ASSERT_TRUE(quiet(counted));
        per_message = std::min(per_message, counted.load());
    }
    ASSERT_GE(per_message, 4);

    RelayRules slow_tail = tail, slow;
    slow_tail.delay_us = slow.delay_us = 100000;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        busy_phase(p);
        p.relay->set_rules(LossyRelay::AtoB, slow_tail);
        p.relay->set_rules(LossyRelay::BtoA, slow);
        ASSERT_TRUE(quiet(counted));
        counted = 0;
        drop_from = per_message - 3;
        ASSERT_EQ(send_until_done(p.host, 4, m, 10), 0);
        ASSERT_EQ(sctpp_recv(p.client, 4, buf.data(), static_cast<uint32_t>(buf.size()), &len, 10000), 0)
            << "seed " << seed << ", " << per_message << " datagrams a message, " << counted.load()
            << " sent";
        EXPECT_EQ(buf, m);
        EXPECT_GT(counted.load(), per_message);  // the tail was lost, then sent again
        drop_from = -1;
    }
}

TEST(SctpLink, LostTailsAfterBusyPhasesAreSentAgain) {
    // Several links at once share the library's timers, as in a loaded process.
    std::vector<std::thread> links;
    for (uint64_t seed = 21; seed < 24; seed++) links.emplace_back(lost_tails_after_busy_phases, seed);
    for (auto &t : links) t.join();
}

// Links made, used and closed on several threads at once, some closed while
// their handshake runs: the process's first link starts the library and its
// last finishes it while others are being made, and every link's thread,
// its senders and the library's timer share the library's lock.
TEST(SctpLink, LinksMadeAndClosedOnSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    for (uint32_t k = 0; k < 4; k++)
        threads.emplace_back([k] {
            for (uint32_t round = 0; round < 4; round++) {
                SCOPED_TRACE(testing::Message() << "thread " << k << " round " << round);
                SctpPair p;
                ASSERT_TRUE(p.open(false));
                if ((k + round) % 2) continue;  // closed at once
                ASSERT_TRUE(p.wait_connected());
                uint8_t stream = static_cast<uint8_t>((k + round) % TRANSPORT_STREAMS);
                std::vector<uint8_t> there = pattern(k * 10 + round, 70000), back = pattern(k, 3000);
                int32_t r;
                ASSERT_EQ(send_until_done(p.host, stream, there, 5), 0);
                EXPECT_EQ(recv_message(p.client, stream, &r), there);
                ASSERT_EQ(send_until_done(p.client, stream, back, 0), 0);
                EXPECT_EQ(recv_message(p.host, stream, &r), back);
            }
        });
    for (auto &t : threads) t.join();
}

TEST(SctpLink, WrongFingerprintEndsTheLink) {
    for (int wrong : {1, 2}) {
        SctpPair p;
        ASSERT_TRUE(p.open(false, wrong));
        SctpTransport *checker = wrong == 1 ? p.client : p.host;
        std::vector<uint8_t> buf(16);
        uint32_t len;
        int32_t r;
        int tries = 0;
        do {
            r = sctpp_recv(checker, 0, buf.data(), 16, &len, 200);
        } while (r == SCTP_TIMEOUT && ++tries < 50);
        EXPECT_EQ(r, SCTP_ERR_HANDSHAKE) << "side " << wrong;
        EXPECT_FALSE(sctpp_connected(p.client));
        EXPECT_FALSE(sctpp_connected(p.host));
    }
}

TEST(SctpLink, FullBufferAnswersTimeoutAndLosesNothing) {
    SctpPair p;
    ASSERT_TRUE(p.open(true));
    ASSERT_TRUE(p.wait_connected());
    // Everything towards the client is lost until the buffer has filled.
    std::atomic<bool> blocked{true};
    RelayRules rules;
    rules.drop = [&](const uint8_t *, size_t) { return blocked.load(); };
    p.relay->set_rules(LossyRelay::AtoB, rules);
    std::vector<std::vector<uint8_t>> sent;
    int32_t r = 0;
    for (uint32_t i = 0; i < 20 && r == 0; i++) {
        std::vector<uint8_t> m = pattern(i, 1 << 20);
        r = sctpp_send(p.host, 3, m.data(), 10, m.data() + 10, static_cast<uint32_t>(m.size() - 10), 50);
        if (r == 0) sent.push_back(std::move(m));
    }
    EXPECT_EQ(r, SCTP_TIMEOUT);
    EXPECT_LT(sent.size(), 20u);
    blocked = false;
    for (const auto &m : sent) {
        int32_t rr;
        EXPECT_EQ(recv_message(p.client, 3, &rr), m);
    }
}

// A guest that sends on streams the host never reads: the host holds at most
// a window per stream, the guest's sends answer 2000 and stay refused, and
// every message accepted still arrives once the streams are read.
TEST(SctpLink, UnreadStreamsPushBackWithoutLosingData) {
    SctpPair p;
    ASSERT_TRUE(p.open(false));
    ASSERT_TRUE(p.wait_connected());
    constexpr uint32_t kSize = 256 << 10;
    uint32_t count[TRANSPORT_STREAMS] = {};
    uint64_t accepted = 0;
    int32_t r = 0;
    int refusals = 0;
    for (uint32_t i = 0; accepted < (96u << 20) && refusals < 3;) {
        uint8_t s = static_cast<uint8_t>(1 + i % 4);
        std::vector<uint8_t> m = pattern(s * 10000 + count[s], kSize);
        r = sctpp_send(p.client, s, nullptr, 0, m.data(), kSize, 500);
        if (r == SCTP_TIMEOUT) {
            refusals++;
            continue;
        }
        ASSERT_EQ(r, 0);
        refusals = 0;
        count[s]++;
        accepted += kSize;
        i++;
    }
    EXPECT_EQ(r, SCTP_TIMEOUT);
    // Four windows, the receive window and the guest's own send buffer.
    EXPECT_LT(accepted, 64u << 20);
    std::vector<std::thread> readers;
    for (uint8_t s = 1; s < TRANSPORT_STREAMS; s++)
        readers.emplace_back([&, s] {
            for (uint32_t i = 0; i < count[s]; i++) {
                int32_t rr;
                if (recv_message(p.host, s, &rr) != pattern(s * 10000 + i, kSize)) {
                    ADD_FAILURE() << "stream " << int(s) << " message " << i << " result " << rr;
                    return;
                }
            }
        });
    for (auto &t : readers) t.join();
}

// One-byte messages on a stream the host never reads, each charged a
// fragment: the host takes a window of 4000, its library (its window closed)
// and the guest's (its send space charged alike) hold a bounded count more,
// then the guest's sends answer 2000. Every one arrives, in order, once the
// stream is read, and the stream takes more.
TEST(SctpLink, OneByteMessagesOnAnUnreadStreamArePushedBackAfterABoundedCount) {
    SctpPair p;
    ASSERT_TRUE(p.open(false));
    ASSERT_TRUE(p.wait_connected());
    uint32_t accepted = 0;
    for (int refusals = 0; refusals < 3 && accepted < 200000;) {
        uint8_t b = static_cast<uint8_t>(accepted % 251);
        int32_t r = sctpp_send(p.client, 1, nullptr, 0, &b, 1, 200);
        if (r == SCTP_TIMEOUT) {
            refusals++;
            continue;
        }
        ASSERT_EQ(r, 0);
        accepted++;
    }
    // 4000, about 4096 and 8789.
    EXPECT_LT(accepted, 20000u);
    uint8_t b[2];
    uint32_t len;
    for (uint32_t i = 0; i < accepted; i++) {
        ASSERT_EQ(sctpp_recv(p.host, 1, b, 2, &len, 10000), 0) << i;
        ASSERT_EQ(len, 1u);
        ASSERT_EQ(b[0], i % 251) << i;
    }
    // Read, the stream has room again.
    uint8_t more = static_cast<uint8_t>(accepted % 251);
    ASSERT_EQ(sctpp_send(p.client, 1, nullptr, 0, &more, 1, 10000), 0);
    ASSERT_EQ(sctpp_recv(p.host, 1, b, 2, &len, 10000), 0);
    EXPECT_EQ(b[0], more);
}

// Memory wanting for a message on the link's thread: it says so and queues
// the message once memory is there again; nothing is lost, the process goes
// on.
TEST(SctpLink, MemoryWantingDelaysAMessageWithoutLosingIt) {
    SctpPair p;
    ASSERT_TRUE(p.open(false));
    ASSERT_TRUE(p.wait_connected());
    std::vector<uint8_t> m = pattern(3, 3 << 20), got(m.size());
    LogCapture log;
    auto said = [&] {
        for (const std::string &l : log.lines())
            if (l.find("* sctpp_on_receive/operator new[") != std::string::npos) return true;
        return false;
    };
    g_fail_from = 2 << 20;
    int32_t sent = sctpp_send(p.host, 2, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 10000);
    bool told = eventually(said);
    g_fail_from = 0;
    ASSERT_EQ(sent, 0);
    EXPECT_TRUE(told);
    uint32_t len = 0;
    ASSERT_EQ(sctpp_recv(p.client, 2, got.data(), static_cast<uint32_t>(got.size()), &len, 10000), 0);
    EXPECT_EQ(len, m.size());
    EXPECT_EQ(got, m);
}

// Either side sends, then closes at once: the other reads every message,
// the last one large, and only then the link's end.
TEST(SctpLink, CloseDeliversWhatWasSentBeforeIt) {
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE(round);
        SctpPair p;
        ASSERT_TRUE(p.open(false));
        ASSERT_TRUE(p.wait_connected());
        SctpTransport *&sender = round % 2 ? p.client : p.host;
        SctpTransport *receiver = round % 2 ? p.host : p.client;
        std::vector<std::vector<uint8_t>> sent;
        for (uint32_t i = 0; i < 20; i++) sent.push_back(pattern(round * 100 + i, 13 + i));
        sent.push_back(pattern(round, 1 << 20));
        for (const auto &m : sent) ASSERT_EQ(send_until_done(sender, 0, m, 13), 0);
        sctpp_destroy(sender);
        sender = nullptr;
        int32_t r;
        for (const auto &m : sent) {
            ASSERT_EQ(recv_message(receiver, 0, &r), m);
            ASSERT_EQ(r, 0);
        }
        recv_message(receiver, 0, &r);
        EXPECT_EQ(r, SCTP_ERR_SILENT);
    }
}

// A close waits until the peer holds what was sent, not until the peer has
// sent all it still has: here a slow link would take seconds to carry that.
TEST(SctpLink, CloseDoesNotWaitForThePeersBacklog) {
    SctpPair p;
    ASSERT_TRUE(p.open(true));
    ASSERT_TRUE(p.wait_connected());
    RelayRules slow;
    slow.rate_bps = 2'000'000;
    p.relay->set_rules(LossyRelay::AtoB, slow);
    p.relay->set_rules(LossyRelay::BtoA, slow);
    const std::vector<uint8_t> backlog = pattern(1, 64 * 1024), last = pattern(2, 100);
    for (int i = 0; i < 32; i++) ASSERT_EQ(send_until_done(p.host, 1, backlog, 0), 0);
    ASSERT_EQ(send_until_done(p.client, 0, last, 0), 0);
    const auto begin = std::chrono::steady_clock::now();
    sctpp_destroy(p.client);
    p.client = nullptr;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 2.5);
    int32_t r;
    EXPECT_EQ(recv_message(p.host, 0, &r), last);
    EXPECT_EQ(r, 0);
}

size_t open_descriptors() {
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

// The client side needs a certificate to be the DTLS server: without one
// creation fails, and leaves nothing open.
TEST(SctpLink, FailedCreationLeavesNoDescriptors) {
    sockaddr_in6 to = loopback6(9);
    auto fail_once = [&] {
        int sock = -1;
        ASSERT_EQ(network_udp_socket(&sock, 0), 0);
        SctpTransport *t = reinterpret_cast<SctpTransport *>(1);
        EXPECT_EQ(sctpp_create(&t, sock, nullptr, &to, nullptr, 1, "pwd", "fp"), SCTP_ERR_SETUP);
        EXPECT_EQ(t, nullptr);
        close(sock);
    };
    fail_once();
    size_t before = open_descriptors();
    for (int i = 0; i < 20; i++) fail_once();
    EXPECT_EQ(open_descriptors(), before);
}

TEST(SctpLink, SilenceEndsTheLink) {
    struct Row {
        uint64_t advance_ms;
        int32_t expected;
    };
    for (Row row : {Row{60000, SCTP_ERR_SILENT}, Row{120000, SCTP_ERR_DEAD}}) {
        SctpPair p;
        ASSERT_TRUE(p.open(true));
        ASSERT_TRUE(p.wait_connected());
        RelayRules rules;
        rules.loss = 1.0;
        p.relay->set_rules(LossyRelay::AtoB, rules);
        sctpp_advance_clock(p.client, row.advance_ms);
        std::vector<uint8_t> buf(16);
        uint32_t len;
        int32_t r;
        int tries = 0;
        do {
            r = sctpp_recv(p.client, 0, buf.data(), 16, &len, 100);
        } while (r == SCTP_TIMEOUT && ++tries < 50);
        EXPECT_EQ(r, row.expected);
        EXPECT_EQ(sctpp_send(p.client, 0, nullptr, 0, buf.data(), 16, 0), row.expected);
    }
}

}  // namespace
