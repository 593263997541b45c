#include "platform/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform/memory.h"

namespace {

// ThreadSanitizer runs the loops below many times slower.
#if defined(__SANITIZE_THREAD__)
constexpr uint32_t SLOWDOWN = 10;
#else
constexpr uint32_t SLOWDOWN = 1;
#endif

bool push_u32(VKO_Queue *q, uint32_t v) {
    void *buf = VKO_QueueGetInputBuffer(q);
    if (!buf) return false;
    memcpy(buf, &v, sizeof(v));
    VKO_QueuePush(q, sizeof(v));
    return true;
}

// Reads the slot without waiting; UINT32_MAX when none.
uint32_t peek_u32(VKO_Queue *q, bool last = false) {
    void *buf = nullptr;
    uint64_t size = 0;
    bool ok =
        last ? VKO_QueueGetLastOutputBuffer(q, 0, &buf, &size) : VKO_QueueGetOutputBuffer(q, 0, &buf, &size);
    if (!ok) return UINT32_MAX;
    EXPECT_EQ(size, sizeof(uint32_t));
    uint32_t v;
    memcpy(&v, buf, sizeof(v));
    return v;
}

uint32_t pop_u32(VKO_Queue *q) {
    uint32_t v = peek_u32(q);
    VKO_QueuePop(q);
    return v;
}

}  // namespace

TEST(Queue, WrapsAroundAndReportsAFullRing) {
    // Every fill level over many turns of a 3-slot ring.
    VKO_Queue *q = VKO_QueueCreate(3, 8);
    uint32_t next_in = 0, next_out = 0;
    for (int round = 0; round < 40; round++) {
        uint32_t fill = round % 4;
        for (uint32_t i = 0; i < fill; i++) ASSERT_TRUE(push_u32(q, next_in++));
        // A full ring reports its slot count, never 0, so a drain by length empties it.
        EXPECT_EQ(VKO_QueueGetLength(q), fill);
        if (fill == 3) {
            EXPECT_EQ(VKO_QueueGetInputBuffer(q), nullptr);
            EXPECT_FALSE(VKO_QueuePushPtr(q, q, 0));
            // The refusal released the producer lock: another thread gets through.
            std::thread other([&] { EXPECT_EQ(VKO_QueueGetInputBuffer(q), nullptr); });
            other.join();
        }
        uint32_t n = VKO_QueueGetLength(q);
        for (uint32_t i = 0; i < n; i++) EXPECT_EQ(pop_u32(q), next_out++);
        EXPECT_EQ(peek_u32(q), UINT32_MAX);
    }

    // A push of 0 bytes commits nothing and unlocks.
    ASSERT_NE(VKO_QueueGetInputBuffer(q), nullptr);
    VKO_QueuePush(q, 0);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    std::thread other([&] { EXPECT_TRUE(push_u32(q, 5)); });
    other.join();
    EXPECT_EQ(pop_u32(q), 5u);

    // A pop with nothing queued changes nothing.
    VKO_QueuePop(q);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    VKO_QueueDestroy(&q);
}

TEST(Queue, LastOutputBufferAndFlush) {
    VKO_Queue *q = VKO_QueueCreate(4, 8);
    for (uint32_t i = 1; i <= 3; i++) push_u32(q, i);
    EXPECT_EQ(peek_u32(q, true), 3u);
    VKO_QueuePop(q);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    for (uint32_t i = 4; i <= 7; i++) push_u32(q, i);  // full, across the wrap
    EXPECT_EQ(peek_u32(q, true), 7u);
    VKO_QueuePop(q);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);

    // Pointers in a queue created with 1-byte buffers; bytes in between are
    // released without a call. ASan reports a pointer leaked or freed twice.
    VKO_Queue *p = VKO_QueueCreate(4, 1);
    ASSERT_TRUE(VKO_QueuePushPtr(p, VKO_Strdup("a"), 2));
    push_u32(p, 77);
    ASSERT_TRUE(VKO_QueuePushPtr(p, VKO_Strdup("b"), 2));
    VKO_QueueFlush(p, VKO_Free);
    EXPECT_EQ(VKO_QueueGetLength(p), 0u);

    // A ring of 0 slots acts as one of 1.
    VKO_Queue *one = VKO_QueueCreate(0, 8);
    EXPECT_TRUE(push_u32(one, 1));
    EXPECT_FALSE(push_u32(one, 2));
    EXPECT_EQ(VKO_QueueGetLength(one), 1u);
    EXPECT_EQ(peek_u32(one, true), 1u);

    VKO_QueueDestroy(&q);
    VKO_QueueDestroy(&p);
    VKO_QueueDestroy(&one);
}

namespace {

struct Record {
    uint32_t producer;
    uint32_t seq;
    uint64_t check;
};

uint64_t check_of(uint32_t producer, uint32_t seq) {
    return ((uint64_t)producer << 32 | seq) * 0x9E3779B97F4A7C15ull;
}

// Producers push numbered records as fast as they can, retrying on a full ring;
// one consumer checks each producer's records arrive whole, once and in order.
// timeout -1 blocks, 0 polls; a finite wait failing means a lost wake-up.
void run_mpsc(uint32_t producers, uint32_t per_producer, uint32_t slots, int32_t timeout, bool pointers) {
    per_producer /= SLOWDOWN;
    VKO_Queue *q = VKO_QueueCreate(slots, sizeof(Record));
    std::atomic<bool> failed{false};

    std::vector<std::thread> threads;
    for (uint32_t p = 0; p < producers; p++) {
        threads.emplace_back([=, &failed] {
            uint32_t misses = 0;
            for (uint32_t seq = 0; seq < per_producer && !failed;) {
                Record r{p, seq, check_of(p, seq)};
                bool ok;
                if (pointers) {
                    Record *heap = (Record *)VKO_Dup(&r, sizeof(r));
                    ok = VKO_QueuePushPtr(q, heap, sizeof(r));
                    if (!ok) VKO_Free(heap);
                } else if (void *buf = VKO_QueueGetInputBuffer(q)) {
                    memcpy(buf, &r, sizeof(r));
                    VKO_QueuePush(q, sizeof(r));
                    ok = true;
                } else {
                    ok = false;
                }
                // On a full ring, yield a few times, then sleep briefly: on an
                // oversubscribed machine spinning producers starve the consumer.
                if (ok) {
                    seq++;
                    misses = 0;
                } else if (++misses < 16) {
                    std::this_thread::yield();
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
        });
    }

    std::vector<uint32_t> next(producers, 0);
    for (uint64_t got = 0; got < (uint64_t)producers * per_producer && !failed;) {
        Record r;
        uint64_t size = 0;
        void *ptr = nullptr;
        bool ok = pointers ? VKO_QueuePopPtr(q, timeout, &ptr, &size)
                           : VKO_QueueGetOutputBuffer(q, timeout, &ptr, &size);
        if (!ok) {
            if (timeout != 0) {
                ADD_FAILURE() << "consumer wait failed after " << got << " records";
                failed = true;
            } else {
                std::this_thread::yield();  // a polling consumer leaves the core to the producers
            }
            continue;
        }
        memcpy(&r, ptr, sizeof(r));
        if (pointers)
            VKO_Free(ptr);
        else
            VKO_QueuePop(q);

        if (size != sizeof(Record) || r.producer >= producers || r.check != check_of(r.producer, r.seq) ||
            r.seq != next[r.producer]) {
            ADD_FAILURE() << "record " << got << ": producer " << r.producer << " seq " << r.seq;
            failed = true;
            break;
        }
        next[r.producer]++;
        got++;
    }

    for (auto &t : threads) t.join();
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    VKO_QueueFlush(q, VKO_Free);
    VKO_QueueDestroy(&q);
}

// Busy-waits a few microseconds, so that a hand-off lands before, during or
// after the moment the other side gives up spinning and goes to sleep.
void short_delay(std::mt19937 &rng) {
    auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(rng() % 30000);
    while (std::chrono::steady_clock::now() < until) {
    }
}

}  // namespace

TEST(QueueConcurrency, ProducersAndOneConsumer) {
    // A million through a roomy ring; the small-ring runs hand over nearly every
    // record by a wake-up, which on a busy machine costs a time slice each.
    run_mpsc(4, 250000, 64, -1, false);
    run_mpsc(3, 30000, 4, 10000, false);
    run_mpsc(4, 20000, 16, 0, false);
    run_mpsc(4, 20000, 32, 10000, true);
}

TEST(QueueConcurrency, PingPongNeverLosesAWakeup) {
    // A wait of 10 s failing is a lost wake-up.
    VKO_Queue *there = VKO_QueueCreate(2, 8);
    VKO_Queue *back = VKO_QueueCreate(2, 8);
    const uint32_t rounds = 20000 / SLOWDOWN;

    std::thread echo([&] {
        std::mt19937 rng(1);
        for (uint32_t i = 0; i < rounds; i++) {
            void *buf;
            if (!VKO_QueueGetOutputBuffer(there, 10000, &buf, nullptr)) break;
            uint32_t v;
            memcpy(&v, buf, 4);
            VKO_QueuePop(there);
            short_delay(rng);
            push_u32(back, v + 1);
        }
    });

    std::mt19937 rng(2);
    uint32_t i = 0;
    for (; i < rounds; i++) {
        short_delay(rng);
        if (!push_u32(there, i)) break;
        void *buf;
        if (!VKO_QueueGetOutputBuffer(back, 10000, &buf, nullptr)) break;
        uint32_t v;
        memcpy(&v, buf, 4);
        VKO_QueuePop(back);
        if (v != i + 1) break;
    }
    EXPECT_EQ(i, rounds);

    echo.join();
    VKO_QueueDestroy(&there);
    VKO_QueueDestroy(&back);
}
