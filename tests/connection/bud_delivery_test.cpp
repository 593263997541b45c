// Exact, ordered delivery on all five streams through loss, reordering and
// duplication; fast and timed retransmission; a reader a whole window behind.
#include <gtest/gtest.h>

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "connection/bud.h"
#include "support/bud_pair.h"

namespace {

// Deterministic content of message i on stream s.
std::vector<uint8_t> message_bytes(uint32_t s, uint32_t i, uint32_t size) {
    std::vector<uint8_t> v(size);
    uint32_t x = s * 7919u + i * 104729u + size;
    for (uint8_t &b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

// The edge sizes around one fragment, half a megabyte, then random sizes up to total.
std::vector<uint32_t> plan_sizes(uint32_t stream, uint32_t total) {
    std::vector<uint32_t> sizes = {1, 1189, 1190, 1193, 2386, 512 * 1024};
    uint32_t sum = 516 * 1024, x = stream + 17;
    while (sum < total) {
        x = x * 1103515245u + 12345u;
        sizes.push_back((x >> 8) % 60000);
        sum += sizes.back();
    }
    return sizes;
}

// Sends the planned messages on every stream at once from host to client and
// checks that each arrives exactly and in order.
void run_all_streams(BudPair &p, uint32_t total_per_stream) {
    std::vector<std::thread> threads;
    std::atomic<uint32_t> bad[BUD_STREAMS] = {};
    for (uint8_t s = 0; s < BUD_STREAMS; s++) {
        std::vector<uint32_t> sizes = plan_sizes(s, total_per_stream);
        threads.emplace_back([&p, s, sizes, &bad] {
            for (uint32_t i = 0; i < sizes.size(); i++) {
                std::vector<uint8_t> m = message_bytes(s, i, sizes[i]);
                // control messages carry their header as the prefix
                if (send_all(p.host, s, m, s == 0 && m.size() >= 13 ? 13 : 0) != 0) {
                    bad[s]++;
                    return;
                }
            }
        });
        threads.emplace_back([&p, s, sizes, &bad] {
            for (uint32_t i = 0; i < sizes.size(); i++) {
                if (recv_one(p.client, s) != message_bytes(s, i, sizes[i])) {
                    bad[s]++;
                    return;
                }
            }
        });
    }
    for (auto &t : threads) t.join();
    for (uint32_t s = 0; s < BUD_STREAMS; s++) EXPECT_EQ(bad[s].load(), 0u) << "stream " << s;
}

// Directly: the kernel batches records both ways (segmented sends, receive offload).
TEST(BudDelivery, DirectAllStreams) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    run_all_streams(p, 2 << 20);
    BudLinkStats ls;
    bud_link_stats(p.client, &ls);
    EXPECT_EQ(ls.state, 0);
    EXPECT_EQ(ls.dropped_auth + ls.dropped_messages, 0u);
    // Five senders at once send fragments themselves while the budget has room;
    // which of them get that room depends on timing.
    uint32_t direct = 0;
    for (uint8_t s = 0; s < BUD_STREAMS; s++) direct += stream_stats(p.host, s).direct_sent;
    EXPECT_GT(direct, 0u);
}

class BudLoss : public ::testing::TestWithParam<double> {};

TEST_P(BudLoss, AllStreamsExactThroughRelay) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 42 + static_cast<uint64_t>(GetParam() * 100)));
    RelayRules r;
    r.loss = GetParam();
    r.reorder = 0.05;
    r.reorder_us = 3000;
    r.duplicate = 0.02;
    r.jitter_us = 300;
    bool flips = GetParam() == 0.05;  // with bursts of loss and flipped bits as well
    r.burst_start = flips ? 0.01 : 0.0;
    r.bitflip = flips ? 0.01 : 0.0;
    p.relay->set_rules(LossyRelay::AtoB, r);
    p.relay->set_rules(LossyRelay::BtoA, r);
    run_all_streams(p, GetParam() >= 0.2 ? (1 << 20) : (2 << 20));
    uint32_t resent = 0;
    for (uint8_t s = 0; s < BUD_STREAMS; s++) {
        BudStreamStats st = stream_stats(p.host, s);
        resent += st.fast_retransmissions + st.slow_retransmissions;
    }
    EXPECT_TRUE(resent > 0 || GetParam() == 0.0);
    BudLinkStats ls;
    bud_link_stats(p.client, &ls);
    EXPECT_EQ(ls.state, 0);
    EXPECT_EQ(ls.dropped_auth > 0, flips);  // a flipped record fails authentication, the link lives on
    EXPECT_GT(stream_stats(p.client, 1).duplicates, 0u);
}

INSTANTIATE_TEST_SUITE_P(Loss, BudLoss, ::testing::Values(0.0, 0.01, 0.05, 0.20));

// Drops data fragment (stream, seq) with the given flags while keep() says so.
RelayRules drop_fragment(uint8_t stream, uint32_t seq, uint8_t mask, uint8_t flags,
                         std::function<bool()> keep, std::shared_ptr<std::atomic<int>> dropped) {
    auto key = std::make_shared<WireKey>();
    wire_key(wire_test_key256(), true, key.get());
    RelayRules r;
    r.drop = [=](const uint8_t *d, size_t n) {
        WirePlain w;
        if (!keep() || !wire_open(*key, d, n, &w) || w.plain.size() < 7 || w.stream != stream ||
            w.seq != seq || (w.flags & mask) != flags)
            return false;
        dropped->fetch_add(1);
        return true;
    };
    return r;
}

// Drops everything in one direction until the flag is cleared.
std::shared_ptr<std::atomic<bool>> block_all(LossyRelay &relay, LossyRelay::Direction d) {
    auto block = std::make_shared<std::atomic<bool>>(true);
    RelayRules r;
    r.drop = [block](const uint8_t *, size_t) { return block->load(); };
    relay.set_rules(d, r);
    return block;
}

// Up to the in-flight budget a sender seals its fragments into their slots and
// sends them itself; beyond it they are held back plain and the link thread
// seals and sends them once there is room; a resend of either kind is sealed
// afresh. With every ack held back the budget fills, the rest waits, and the
// timer resends what went out.
TEST(BudSendPaths, BeyondTheBudgetTheLinkThreadSendsWhatSendersHeldBack) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 6));
    auto block = block_all(*p.relay, LossyRelay::BtoA);
    std::vector<uint8_t> m = message_bytes(1, 0, 1500 * 1193);
    ASSERT_EQ(send_all(p.host, 1, m), 0);
    BudLinkStats ls;
    bud_link_stats(p.host, &ls);
    BudStreamStats st = stream_stats(p.host, 1);
    EXPECT_GT(st.direct_sent, 0u);
    EXPECT_LE(st.direct_sent, ls.budget);
    EXPECT_GT(st.deferred, 0u);
    EXPECT_TRUE(eventually([&] { return stream_stats(p.host, 1).slow_retransmissions > 0; }));
    block->store(false);
    EXPECT_EQ(recv_one(p.client, 1, 2 << 20), m);
    EXPECT_TRUE(eventually([&] { return stream_stats(p.host, 1).in_flight == 0; }));
    st = stream_stats(p.host, 1);
    EXPECT_EQ(st.packets_sent, (1500 * 1193 + 4 + 1192) / 1193);
    EXPECT_GT(st.packets_sent - st.direct_sent, 0u);
    EXPECT_EQ(st.deferred, 0u);
}

// A kernel that refuses segmented sends (here: a socket without UDP checksums,
// to an IPv4 peer) gets one datagram per send, and nothing is lost on the way.
TEST(BudSendPaths, RefusedSegmentationFallsBackToOneDatagramPerSend) {
    int hs, cs;
    ASSERT_EQ(network_udp_socket(&hs, 0), 0);
    ASSERT_EQ(network_udp_socket(&cs, 0), 0);
    grow_buffers(hs);
    grow_buffers(cs);
    int on = 1;
    ASSERT_EQ(setsockopt(hs, SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
    sockaddr_in6 to_client{}, to_host{};
    ASSERT_TRUE(network_make_addr("::ffff:127.0.0.1", socket_port(cs), &to_client));
    ASSERT_TRUE(network_make_addr("::ffff:127.0.0.1", socket_port(hs), &to_host));
    BudPair p;
    const std::string key = wire_test_key256();
    ASSERT_EQ(bud_create(&p.host, hs, &to_client, nullptr, key.c_str(), 1, 1, "h", 1), 0);
    ASSERT_EQ(bud_create(&p.client, cs, &to_host, nullptr, key.c_str(), 1, 0, "c", 1), 0);
    run_all_streams(p, 1 << 20);
    BudLinkStats ls;
    bud_link_stats(p.host, &ls);
    EXPECT_EQ(ls.segments_refused, 1u);
    EXPECT_EQ(ls.state, 0);
    uint32_t direct = 0;
    for (uint8_t s = 0; s < BUD_STREAMS; s++) direct += stream_stats(p.host, s).direct_sent;
    EXPECT_GT(direct, 0u);
}

TEST(BudRetransmit, FastRetransmissionOnGapReport) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 3));
    // Fragment 5 gets through only once the sender has resent it on a gap
    // report, however late that report comes; no timer can win that race.
    auto dropped = std::make_shared<std::atomic<int>>(0);
    BUD *host = p.host;
    p.relay->set_rules(
        LossyRelay::AtoB,
        drop_fragment(
            1, 5, 0x03, 0x01, [host] { return stream_stats(host, 1).fast_retransmissions == 0; }, dropped));
    std::vector<uint8_t> m = message_bytes(1, 0, 30 * 1193);
    ASSERT_EQ(send_all(p.host, 1, m), 0);
    EXPECT_EQ(recv_one(p.client, 1), m);
    EXPECT_GE(dropped->load(), 1);
    EXPECT_GE(stream_stats(p.host, 1).fast_retransmissions, 1u);
    // Every fragment more than two past the hole (8 to 29) was acknowledged at
    // once with a gap report, counted among the receiver's acks.
    BudLinkStats ls;
    bud_link_stats(p.client, &ls);
    EXPECT_GE(ls.gap_acks_sent, 22u);
    EXPECT_GE(ls.acks_sent, ls.gap_acks_sent);
}

TEST(BudRetransmit, TimedRetransmissionOfLastFragment) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 4));
    // The last fragment has no successor to reveal its loss: only the timer finds it.
    auto dropped = std::make_shared<std::atomic<int>>(0);
    p.relay->set_rules(LossyRelay::AtoB, drop_fragment(
                                             3, 2, 0x21, 0x21, [dropped] { return *dropped < 2; }, dropped));
    std::vector<uint8_t> m = message_bytes(3, 0, 3000);
    ASSERT_EQ(send_all(p.host, 3, m), 0);
    EXPECT_EQ(recv_one(p.client, 3), m);
    BudStreamStats st = stream_stats(p.host, 3);
    EXPECT_EQ(dropped->load(), 2);
    EXPECT_GE(st.slow_retransmissions, 2u);
    EXPECT_EQ(st.fast_retransmissions, 0u);
}

TEST(BudRetransmit, EveryAckLostForAWhile) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 5));
    auto block = block_all(*p.relay, LossyRelay::BtoA);
    std::vector<uint8_t> m = message_bytes(2, 0, 50000);
    ASSERT_EQ(send_all(p.host, 2, m), 0);
    EXPECT_EQ(recv_one(p.client, 2), m);
    // Without acks the sender can only resend on its timer.
    EXPECT_TRUE(eventually([&] { return stream_stats(p.host, 2).slow_retransmissions > 0; }));
    block->store(false);
    EXPECT_TRUE(eventually([&] { return stream_stats(p.host, 2).in_flight == 0; }));
}

TEST(BudWindow, ReaderAWholeWindowBehindGetsExactData) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    // 3 x 2 MB is well past one window of 4000 fragments; nobody reads meanwhile.
    std::vector<std::vector<uint8_t>> msgs;
    for (uint32_t i = 0; i < 3; i++) msgs.push_back(message_bytes(1, i, 2 << 20));
    std::thread sender([&] {
        for (auto &m : msgs) EXPECT_EQ(send_all(p.host, 1, m), 0);
    });
    EXPECT_TRUE(eventually([&] { return stream_stats(p.client, 1).complete >= BUD_WINDOW; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the sender pushes on meanwhile
    BudStreamStats st = stream_stats(p.client, 1);
    EXPECT_LE(st.complete - st.read, BUD_WINDOW);
    for (auto &m : msgs) EXPECT_TRUE(recv_one(p.client, 1, 4 << 20) == m);
    sender.join();
}

TEST(BudWindow, MessageTooLargeForBufferStaysReadable) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    std::vector<uint8_t> m = message_bytes(0, 1, 5000);
    ASSERT_EQ(send_all(p.host, 0, m, 13), 0);
    uint8_t small[100];
    uint32_t len = 0;
    int32_t r;
    do {
        r = bud_recv(p.client, 0, small, sizeof small, &len, 1000);
    } while (r == BUD_TIMEOUT);
    EXPECT_EQ(r, BUD_ERR_BUFFER);
    EXPECT_EQ(len, 5000u);
    EXPECT_EQ(recv_one(p.client, 0, 5000), m);
    // A message too long for any window is refused; the link lives on.
    std::vector<uint8_t> big(BUD_MAX_MESSAGE + 1);
    EXPECT_EQ(bud_send(p.host, 1, nullptr, 0, big.data(), static_cast<uint32_t>(big.size()), 0),
              BUD_ERR_LENGTH);
    ASSERT_EQ(send_all(p.host, 1, {7}), 0);
    EXPECT_EQ(recv_one(p.client, 1), std::vector<uint8_t>{7});
}

TEST(BudWindow, FullWindowTimesOutThenFrees) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 9));
    auto block = block_all(*p.relay, LossyRelay::AtoB);
    std::vector<uint8_t> m(1193 * 2000 - 4);  // exactly half a window
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 0), 0);
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 0), 0);
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), 10, 0), BUD_TIMEOUT);
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), 10, 50), BUD_TIMEOUT);
    block->store(false);
    EXPECT_EQ(recv_one(p.client, 4, 4 << 20).size(), m.size());
    EXPECT_EQ(recv_one(p.client, 4, 4 << 20).size(), m.size());
    ASSERT_EQ(send_all(p.host, 4, std::vector<uint8_t>(10)), 0);
    EXPECT_EQ(recv_one(p.client, 4).size(), 10u);
}

// Messages with their sender and number inside, so a torn or misplaced one shows.
std::vector<uint8_t> tagged(uint32_t sender, uint32_t i) {
    std::vector<uint8_t> m = message_bytes(sender, i, 100 + (i * 997) % 4000);
    m[0] = static_cast<uint8_t>(sender);
    m[1] = static_cast<uint8_t>(i);
    m[2] = static_cast<uint8_t>(i >> 8);
    return m;
}

TEST(BudContract, TwoSendersOnOneStreamNeverShareANonce) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    const uint32_t kEach = 200;
    std::vector<std::thread> senders;
    for (uint32_t t = 0; t < 2; t++)
        senders.emplace_back([&p, t] {
            for (uint32_t i = 0; i < kEach; i++) EXPECT_EQ(send_all(p.host, 1, tagged(t, i)), 0);
        });
    // The contract allows one sender per stream; a second one only waits its turn.
    uint32_t seen[2] = {0, 0};
    for (uint32_t n = 0; n < 2 * kEach; n++) {
        std::vector<uint8_t> m = recv_one(p.client, 1);
        ASSERT_GE(m.size(), 100u);
        uint32_t t = m[0] & 1;
        ASSERT_EQ(m, tagged(t, seen[t])) << "message " << n;
        seen[t]++;
    }
    for (auto &t : senders) t.join();
    BudLinkStats ls;
    bud_link_stats(p.client, &ls);
    EXPECT_EQ(ls.dropped_auth, 0u);
}

// A signal handler that keeps a sender where the signal found it (inside
// bud_send, or it declines) until released.
sem_t g_release;
std::atomic<bool> g_in_call{false}, g_held{false};
void hold_here(int) {
    if (!g_in_call.load() || g_held.exchange(true)) return;
    while (sem_wait(&g_release) != 0) {
    }
}

TEST(BudClose, WaitsForSendersStillInside) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    sem_init(&g_release, 0, 0);
    g_held.store(false);
    struct sigaction hold {
    }, old{};
    hold.sa_handler = hold_here;
    sigaction(SIGUSR1, &hold, &old);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<uint8_t> buf(1 << 16);
        uint32_t len;
        while (!stop.load()) bud_recv(p.client, 1, buf.data(), 1 << 16, &len, 5);
    });
    std::thread sender([&] {
        std::vector<uint8_t> m(1 << 16, 7);
        while (!stop.load()) {
            g_in_call.store(true);
            bud_send(p.host, 1, nullptr, 0, m.data(), 1 << 16, 0);
            g_in_call.store(false);
        }
    });
    // Stop the sender midway through a message, then close under it.
    ASSERT_TRUE(eventually([&] {
        pthread_kill(sender.native_handle(), SIGUSR1);
        return g_held.load();
    }));
    stop.store(true);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        bud_close(p.host);
        closed.store(true);
    });
    for (int i = 0; i < 40 && !closed.load(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(closed.load());
    sem_post(&g_release);
    closer.join();
    sender.join();
    reader.join();
    p.host = nullptr;
    sigaction(SIGUSR1, &old, nullptr);
    sem_destroy(&g_release);
}

// Stream 1 saturates a 50 ms, 200 Mbit/s, lossy path, with the system's default
// socket buffers. The in-flight limit grows past what the socket buffer sets
// (such a path holds about 1000 datagrams; the buffer gives 64), and
// every other stream with data moves meanwhile: its small messages all arrive
// while the bulk is still far from done.
TEST(BudShare, LimitFollowsThePathAndEveryStreamProgresses) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 21, 1, wire_test_key256(), false));
    RelayRules r;
    r.delay_us = 25000;
    r.loss = 0.01;
    p.relay->set_rules(LossyRelay::BtoA, r);
    r.rate_bps = 200000000;
    r.queue_bytes = 1 << 20;
    p.relay->set_rules(LossyRelay::AtoB, r);
    BudLinkStats ls;
    bud_link_stats(p.host, &ls);
    [[maybe_unused]] uint32_t from_socket = ls.budget;  // unused under the thread sanitizer
    const uint32_t kBulk = 6;
    std::atomic<uint32_t> bulk_read{0};
    std::thread bulk_sender([&] {
        for (uint32_t i = 0; i < kBulk; i++) EXPECT_EQ(send_all(p.host, 1, message_bytes(1, i, 1 << 20)), 0);
    });
    std::thread bulk_reader([&] {
        for (uint32_t i = 0; i < kBulk; i++) {
            EXPECT_EQ(recv_one(p.client, 1), message_bytes(1, i, 1 << 20));
            bulk_read++;
        }
    });
    EXPECT_TRUE(eventually([&] { return stream_stats(p.host, 1).deferred > 0; }));
    std::vector<std::thread> small;
    uint32_t bulk_when_done[BUD_STREAMS] = {};
    for (uint8_t s : {0, 2, 3, 4}) {
        small.emplace_back([&, s] {
            for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(send_all(p.host, s, message_bytes(s, i, 2000)), 0);
        });
        small.emplace_back([&, s] {
            for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(recv_one(p.client, s), message_bytes(s, i, 2000));
            bulk_when_done[s] = bulk_read.load();
        });
    }
    for (auto &t : small) t.join();
    bulk_sender.join();
    bulk_reader.join();
    for (uint8_t s : {0, 2, 3, 4}) EXPECT_LT(bulk_when_done[s], kBulk / 2) << "stream " << int(s);
    bud_link_stats(p.host, &ls);
#ifndef __SANITIZE_THREAD__  // which slows the sender far below this path's rate
    // The path's rate times its round trip is far above what the socket
    // queues, but a busy machine's slowed sender measures a lower rate (88
    // against 64 at a load of 20 on six cores): any growth shows the limit
    // follows the path.
    EXPECT_GT(ls.budget, from_socket);
#endif
}

// A harsh path (a quarter of the datagrams lost, mostly in bursts, reordered
// and duplicated) with large messages on all five streams and slow readers on
// streams 1 to 4, while the control stream keeps a backlog of its own. Control
// goes first, but never alone: every other stream gets its data through while
// stream 0 is still far from done with its own.
TEST(BudShare, ControlBacklogNeverStarvesTheOtherStreams) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 77));
    RelayRules r;
    r.loss = 0.15;
    r.burst_start = 0.03;
    r.burst_end = 0.25;  // with the above, about 25% lost
    r.reorder = 0.1;
    r.reorder_us = 3000;
    r.duplicate = 0.03;
    r.jitter_us = 500;
    p.relay->set_rules(LossyRelay::AtoB, r);
    p.relay->set_rules(LossyRelay::BtoA, r);
    const uint32_t kSize = 256 << 10;
    const uint32_t kCount[BUD_STREAMS] = {16, 1, 1, 1, 1};
    std::atomic<uint32_t> read[BUD_STREAMS] = {};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (uint8_t s = 0; s < BUD_STREAMS; s++) {
        threads.emplace_back([&, s] {
            for (uint32_t i = 0; i < kCount[s] && !stop.load(); i++) {
                std::vector<uint8_t> m = message_bytes(s, i, kSize);
                uint8_t prefix = s == 0 ? 13 : 0;
                while (!stop.load() && bud_send(p.host, s, m.data(), prefix, m.data() + prefix,
                                                kSize - prefix, 100) == BUD_TIMEOUT) {
                }
            }
        });
        threads.emplace_back([&, s] {
            std::vector<uint8_t> buf(kSize);
            uint32_t len = 0;
            while (read[s].load() < kCount[s] && !stop.load()) {
                // Slow readers on streams 1 to 4.
                if (s != 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
                int32_t res;
                while ((res = bud_recv(p.client, s, buf.data(), kSize, &len, 100)) == BUD_TIMEOUT &&
                       !stop.load()) {
                }
                if (res != 0) break;
                EXPECT_TRUE(len == kSize && buf == message_bytes(s, read[s].load(), kSize))
                    << "stream " << int(s);
                read[s]++;
            }
        });
    }
    // Progress, not speed, is the condition; the time-out only ends a starved run.
    uint32_t control_when_done[BUD_STREAMS] = {};
    auto others_done = [&] {
        bool all = true;
        for (uint8_t s = 1; s < BUD_STREAMS; s++) {
            if (read[s].load() == kCount[s] && control_when_done[s] == 0)
                control_when_done[s] = read[0].load() + 1;
            all &= read[s].load() == kCount[s];
        }
        return all;
    };
    // (A starved run ends too: the others move once the control stream is done.)
    for (int i = 0; i < 12000 && !others_done(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bool finished = others_done();
    stop.store(true);
    for (auto &t : threads) t.join();
    ASSERT_TRUE(finished);
    // One more than the control messages read when the stream's last one arrived:
    // the control stream's share is half the room, each other's an eighth.
    for (uint8_t s = 1; s < BUD_STREAMS; s++) EXPECT_LE(control_when_done[s], 10u) << "stream " << int(s);
}

}  // namespace
