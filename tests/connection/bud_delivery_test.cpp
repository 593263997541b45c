// Exact, ordered delivery on all five streams through loss, reordering and
// duplication; fast and timed retransmission; a reader a whole window behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "connection/bud.h"
#include "support/bud_pair.h"

namespace {

// Deterministic content of message i on stream s.
std::vector<uint8_t> message_bytes(uint32_t s, uint32_t i, uint32_t size) {
    std::vector<uint8_t> v(size);
    uint32_t x = s * 7919u + i * 104729u + size;
    for (uint32_t k = 0; k < size; k++) {
        x = x * 1664525u + 1013904223u;
        v[k] = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

std::vector<uint32_t> plan_sizes(uint32_t stream, uint32_t total) {
    std::vector<uint32_t> sizes = {0, 1, 1189, 1190, 1193, 2386};
    uint32_t sum = 0, x = stream + 17;
    sizes.push_back(512 * 1024);
    for (uint32_t s : sizes) sum += s;
    while (sum < total) {
        x = x * 1103515245u + 12345u;
        uint32_t s = (x >> 8) % 60000;
        sizes.push_back(s);
        sum += s;
    }
    return sizes;
}

struct StreamResult {
    std::atomic<uint32_t> delivered{0};
    std::atomic<bool> mismatch{false};
    std::atomic<int32_t> error{0};
};

// Sends the planned messages on every stream from A to B (and a smaller flow
// back), and checks every message arrives exactly and in order.
void run_all_streams(BudPair &p, uint32_t total_per_stream) {
    std::vector<std::thread> threads;
    StreamResult res[BUD_STREAMS];
    for (uint32_t s = 0; s < BUD_STREAMS; s++) {
        std::vector<uint32_t> sizes = plan_sizes(s, total_per_stream);
        // prefix on control messages, as the control path sends its header that way
        threads.emplace_back([&p, s, sizes, &res] {
            for (uint32_t i = 0; i < sizes.size(); i++) {
                std::vector<uint8_t> m = message_bytes(s, i, sizes[i]);
                uint8_t plen = (s == 0 && m.size() >= 13) ? 13 : 0;
                int32_t r;
                do {
                    r = bud_send(p.host, static_cast<uint8_t>(s), m.data(), plen, m.data() + plen,
                                 static_cast<uint32_t>(m.size() - plen), 1000);
                } while (r == BUD_TIMEOUT);
                if (r != 0) {
                    res[s].error = r;
                    return;
                }
            }
        });
        threads.emplace_back([&p, s, sizes, &res] {
            std::vector<uint8_t> buf(1 << 20);
            for (uint32_t i = 0; i < sizes.size(); i++) {
                uint32_t len = 0;
                int32_t r;
                do {
                    r = bud_recv(p.client, static_cast<uint8_t>(s), buf.data(),
                                 static_cast<uint32_t>(buf.size()), &len, 1000);
                } while (r == BUD_TIMEOUT);
                if (r != 0) {
                    res[s].error = r;
                    return;
                }
                std::vector<uint8_t> want = message_bytes(s, i, sizes[i]);
                if (len != want.size() || (len && std::memcmp(buf.data(), want.data(), len) != 0))
                    res[s].mismatch = true;
                res[s].delivered++;
            }
        });
    }
    for (auto &t : threads) t.join();
    for (uint32_t s = 0; s < BUD_STREAMS; s++) {
        EXPECT_EQ(res[s].error.load(), 0) << "stream " << s;
        EXPECT_FALSE(res[s].mismatch.load()) << "stream " << s;
        EXPECT_EQ(res[s].delivered.load(), plan_sizes(s, total_per_stream).size()) << "stream " << s;
    }
}

TEST(BudDelivery, DirectAllStreams) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    run_all_streams(p, 2 << 20);
    BudLinkStats ls;
    bud_link_stats(p.client, &ls);
    EXPECT_EQ(ls.state, 0);
    EXPECT_EQ(ls.dropped_auth, 0u);
    EXPECT_EQ(ls.dropped_messages, 0u);
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
    p.relay->set_rules(LossyRelay::AtoB, r);
    p.relay->set_rules(LossyRelay::BtoA, r);
    run_all_streams(p, GetParam() >= 0.2 ? (1 << 20) : (2 << 20));
    if (GetParam() > 0) {
        uint32_t fast = 0, slow = 0;
        for (uint8_t s = 0; s < BUD_STREAMS; s++) {
            BudStreamStats st;
            bud_stream_stats(p.host, s, &st);
            fast += st.fast_retransmissions;
            slow += st.slow_retransmissions;
        }
        EXPECT_GT(fast + slow, 0u);
        EXPECT_GT(p.relay->counters(LossyRelay::AtoB).lost.load(), 0u);
    }
    BudStreamStats st;
    bud_stream_stats(p.client, 1, &st);
    EXPECT_GT(st.duplicates, 0u);
}

INSTANTIATE_TEST_SUITE_P(Loss, BudLoss, ::testing::Values(0.0, 0.01, 0.05, 0.20));

TEST(BudDelivery, BurstLossAndBitFlips) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 7));
    RelayRules r;
    r.burst_start = 0.01;
    r.burst_end = 0.3;
    r.bitflip = 0.01;
    p.relay->set_rules(LossyRelay::AtoB, r);
    p.relay->set_rules(LossyRelay::BtoA, r);
    run_all_streams(p, 1 << 20);
    BudLinkStats ls;
    bud_link_stats(p.client, &ls);
    EXPECT_GT(ls.dropped_auth, 0u);  // flipped records fail authentication, the link lives on
    EXPECT_EQ(ls.state, 0);
}

// Picks data fragments out of the ciphertext with the test's own decryptor.
struct Picker {
    WireKey key;
    Picker() { wire_key(wire_test_key256(), true, &key); }
    bool is(const uint8_t *d, size_t n, uint8_t stream, uint32_t seq, uint8_t flags_mask, uint8_t flags) {
        WirePlain w;
        return wire_open(key, d, n, &w) && w.plain.size() >= 7 && w.stream == stream && w.seq == seq &&
               (w.flags & flags_mask) == flags;
    }
};

std::vector<uint8_t> recv_one(BUD *link, uint8_t stream, uint32_t cap = 1 << 20) {
    std::vector<uint8_t> buf(cap);
    uint32_t len = 0;
    int32_t r;
    do {
        r = bud_recv(link, stream, buf.data(), cap, &len, 1000);
    } while (r == BUD_TIMEOUT);
    EXPECT_EQ(r, 0);
    buf.resize(r == 0 ? len : 0);
    return buf;
}

TEST(BudRetransmit, FastRetransmissionOnGapReport) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 3));
    auto picker = std::make_shared<Picker>();
    auto dropped = std::make_shared<std::atomic<int>>(0);
    auto gap_acks = std::make_shared<std::atomic<int>>(0);
    RelayRules a;
    a.drop = [picker, dropped](const uint8_t *d, size_t n) {
        if (dropped->load() == 0 && picker->is(d, n, 1, 5, 0x03, 0x01)) {
            dropped->store(1);
            return true;
        }
        return false;
    };
    RelayRules b;
    b.drop = [picker, gap_acks](const uint8_t *d, size_t n) {
        WirePlain w;
        if (wire_open(picker->key, d, n, &w) && w.plain.size() == 27 && w.flags == 0x12)
            gap_acks->fetch_add(1);
        return false;
    };
    p.relay->set_rules(LossyRelay::AtoB, a);
    p.relay->set_rules(LossyRelay::BtoA, b);
    std::vector<uint8_t> m = message_bytes(1, 0, 30 * 1193);
    ASSERT_EQ(bud_send(p.host, 1, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 1000), 0);
    EXPECT_EQ(recv_one(p.client, 1), m);
    BudStreamStats st;
    bud_stream_stats(p.host, 1, &st);
    EXPECT_EQ(dropped->load(), 1);
    EXPECT_GT(gap_acks->load(), 0);
    EXPECT_GE(st.fast_retransmissions, 1u);
}

TEST(BudRetransmit, TimedRetransmissionOfLastFragment) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 4));
    auto picker = std::make_shared<Picker>();
    auto dropped = std::make_shared<std::atomic<int>>(0);
    RelayRules a;
    // The last fragment has no successor to reveal its loss: only the timer finds it.
    a.drop = [picker, dropped](const uint8_t *d, size_t n) {
        if (dropped->load() < 2 && picker->is(d, n, 3, 2, 0x21, 0x21)) {
            dropped->fetch_add(1);
            return true;
        }
        return false;
    };
    p.relay->set_rules(LossyRelay::AtoB, a);
    std::vector<uint8_t> m = message_bytes(3, 0, 3000);
    ASSERT_EQ(bud_send(p.host, 3, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 1000), 0);
    EXPECT_EQ(recv_one(p.client, 3), m);
    BudStreamStats st;
    bud_stream_stats(p.host, 3, &st);
    EXPECT_EQ(dropped->load(), 2);
    EXPECT_GE(st.slow_retransmissions, 2u);
    EXPECT_EQ(st.fast_retransmissions, 0u);
}

TEST(BudRetransmit, EveryAckLostForAWhile) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 5));
    auto block = std::make_shared<std::atomic<bool>>(true);
    RelayRules b;
    b.drop = [block](const uint8_t *, size_t) { return block->load(); };
    p.relay->set_rules(LossyRelay::BtoA, b);
    std::vector<uint8_t> m = message_bytes(2, 0, 50000);
    ASSERT_EQ(bud_send(p.host, 2, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 1000), 0);
    EXPECT_EQ(recv_one(p.client, 2), m);
    // Without acks the sender can only resend on its timer.
    BudStreamStats st;
    for (int i = 0; i < 200; i++) {
        bud_stream_stats(p.host, 2, &st);
        if (st.slow_retransmissions > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(st.slow_retransmissions, 0u);
    block->store(false);
    for (int i = 0; i < 500 && st.in_flight != 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bud_stream_stats(p.host, 2, &st);
    }
    EXPECT_EQ(st.in_flight, 0u);
}

TEST(BudWindow, ReaderAWholeWindowBehindGetsExactData) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    // 3 x 2 MB is well past one window of 4000 fragments; nobody reads meanwhile.
    std::vector<std::vector<uint8_t>> msgs;
    for (uint32_t i = 0; i < 3; i++) msgs.push_back(message_bytes(1, i, 2 << 20));
    std::thread sender([&] {
        for (auto &m : msgs) {
            int32_t r;
            do {
                r = bud_send(p.host, 1, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 1000);
            } while (r == BUD_TIMEOUT);
            ASSERT_EQ(r, 0);
        }
    });
    BudStreamStats st;
    for (int i = 0; i < 500; i++) {
        bud_stream_stats(p.client, 1, &st);
        if (st.complete >= BUD_WINDOW) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bud_stream_stats(p.client, 1, &st);
    EXPECT_LE(st.complete - st.read, BUD_WINDOW);
    for (auto &m : msgs) EXPECT_TRUE(recv_one(p.client, 1, 4 << 20) == m);
    sender.join();
}

TEST(BudWindow, MessageTooLargeForBufferStaysReadable) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    std::vector<uint8_t> m = message_bytes(0, 1, 5000);
    ASSERT_EQ(bud_send(p.host, 0, m.data(), 13, m.data() + 13, 5000 - 13, 1000), 0);
    std::vector<uint8_t> small(100);
    uint32_t len = 0;
    int32_t r;
    do {
        r = bud_recv(p.client, 0, small.data(), 100, &len, 1000);
    } while (r == BUD_TIMEOUT);
    EXPECT_EQ(r, BUD_ERR_BUFFER);
    EXPECT_EQ(len, 5000u);
    EXPECT_EQ(recv_one(p.client, 0, 5000), m);
}

TEST(BudWindow, OversizedMessageRefusedLinkLivesOn) {
    BudPair p;
    ASSERT_TRUE(p.open(false));
    std::vector<uint8_t> big(BUD_MAX_MESSAGE + 1);
    EXPECT_EQ(bud_send(p.host, 1, nullptr, 0, big.data(), static_cast<uint32_t>(big.size()), 0),
              BUD_ERR_LENGTH);
    uint8_t x = 7;
    EXPECT_EQ(bud_send(p.host, 1, nullptr, 0, &x, 1, 1000), 0);
    EXPECT_EQ(recv_one(p.client, 1), std::vector<uint8_t>{7});
}

TEST(BudWindow, FullWindowTimesOutThenFrees) {
    BudPair p;
    ASSERT_TRUE(p.open(true, 9));
    auto block = std::make_shared<std::atomic<bool>>(true);
    RelayRules a;
    a.drop = [block](const uint8_t *, size_t) { return block->load(); };
    p.relay->set_rules(LossyRelay::AtoB, a);
    std::vector<uint8_t> m(1193 * 2000 - 4);  // exactly half a window
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 0), 0);
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), static_cast<uint32_t>(m.size()), 0), 0);
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), 10, 0), BUD_TIMEOUT);
    EXPECT_EQ(bud_send(p.host, 4, nullptr, 0, m.data(), 10, 50), BUD_TIMEOUT);
    block->store(false);
    EXPECT_EQ(recv_one(p.client, 4, 4 << 20).size(), m.size());
    EXPECT_EQ(recv_one(p.client, 4, 4 << 20).size(), m.size());
    int32_t r;
    do {
        r = bud_send(p.host, 4, nullptr, 0, m.data(), 10, 1000);
    } while (r == BUD_TIMEOUT);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(recv_one(p.client, 4).size(), 10u);
}

}  // namespace
