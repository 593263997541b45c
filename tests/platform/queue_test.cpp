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

// ThreadSanitizer runs these loops many times slower.
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

uint32_t pop_u32(VKO_Queue *q) {
    void *buf = nullptr;
    uint64_t size = 0;
    EXPECT_TRUE(VKO_QueueGetOutputBuffer(q, 0, &buf, &size));
    EXPECT_EQ(size, sizeof(uint32_t));
    uint32_t v = 0;
    if (buf) memcpy(&v, buf, sizeof(v));
    VKO_QueuePop(q);
    return v;
}

}  // namespace

TEST(Queue, SmallBuffersStillHoldAPointer) {
    VKO_Queue *q = VKO_QueueCreate(2, 1);
    int obj = 7;
    ASSERT_TRUE(VKO_QueuePushPtr(q, &obj, 4));
    void *ptr = nullptr;
    uint64_t size = 0;
    ASSERT_TRUE(VKO_QueuePopPtr(q, 0, &ptr, &size));
    EXPECT_EQ(ptr, &obj);
    EXPECT_EQ(size, 4u);

    // Eight bytes fit in a slot of a queue created with a size of 4.
    VKO_Queue *q4 = VKO_QueueCreate(1, 4);
    void *buf = VKO_QueueGetInputBuffer(q4);
    ASSERT_NE(buf, nullptr);
    uint64_t eight = 0x0102030405060708ull;
    memcpy(buf, &eight, 8);
    VKO_QueuePush(q4, 8);
    ASSERT_TRUE(VKO_QueueGetOutputBuffer(q4, 0, &buf, &size));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(memcmp(buf, &eight, 8), 0);

    VKO_QueueDestroy(&q);
    VKO_QueueDestroy(&q4);
    EXPECT_EQ(q, nullptr);
    VKO_QueueDestroy(&q);
}

TEST(Queue, FullQueueRefusesAndReportsItsSlotCount) {
    VKO_Queue *q = VKO_QueueCreate(2, 16);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    ASSERT_TRUE(push_u32(q, 1));
    EXPECT_EQ(VKO_QueueGetLength(q), 1u);
    ASSERT_TRUE(push_u32(q, 2));

    // Full: reported as 2 slots, never as 0, so a drain by length empties it.
    EXPECT_EQ(VKO_QueueGetLength(q), 2u);
    EXPECT_EQ(VKO_QueueGetInputBuffer(q), nullptr);
    EXPECT_FALSE(VKO_QueuePushPtr(q, q, 0));

    // The refusal left the producer lock free for other threads.
    std::thread other([&] { EXPECT_EQ(VKO_QueueGetInputBuffer(q), nullptr); });
    other.join();

    uint32_t n = VKO_QueueGetLength(q);
    for (uint32_t i = 0; i < n; i++) EXPECT_EQ(pop_u32(q), i + 1);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    EXPECT_TRUE(push_u32(q, 3));
    EXPECT_EQ(pop_u32(q), 3u);

    VKO_QueueDestroy(&q);
}

TEST(Queue, PushOfZeroCommitsNothingAndUnlocks) {
    VKO_Queue *q = VKO_QueueCreate(4, 16);
    ASSERT_NE(VKO_QueueGetInputBuffer(q), nullptr);
    VKO_QueuePush(q, 0);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    EXPECT_FALSE(VKO_QueueGetOutputBuffer(q, 0, nullptr, nullptr));

    std::thread other([&] { EXPECT_TRUE(push_u32(q, 5)); });
    other.join();
    EXPECT_EQ(pop_u32(q), 5u);
    VKO_QueueDestroy(&q);
}

TEST(Queue, WrapsAroundInOrder) {
    // Lengths and contents across many turns of a 3-slot ring, at every fill level.
    VKO_Queue *q = VKO_QueueCreate(3, 8);
    uint32_t next_in = 0, next_out = 0;
    for (int round = 0; round < 100; round++) {
        uint32_t fill = round % 4;
        for (uint32_t i = 0; i < fill; i++) ASSERT_TRUE(push_u32(q, next_in++));
        EXPECT_EQ(VKO_QueueGetLength(q), fill);
        if (fill == 3) {
            EXPECT_FALSE(push_u32(q, 999));
        }
        for (uint32_t i = 0; i < fill; i++) EXPECT_EQ(pop_u32(q), next_out++);
        EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    }
    VKO_QueueDestroy(&q);
}

TEST(Queue, GetOutputBufferKeepsTheSlotUntilPop) {
    VKO_Queue *q = VKO_QueueCreate(4, 8);
    push_u32(q, 10);
    void *a = nullptr, *b = nullptr;
    ASSERT_TRUE(VKO_QueueGetOutputBuffer(q, 0, &a, nullptr));
    ASSERT_TRUE(VKO_QueueGetOutputBuffer(q, 0, &b, nullptr));
    EXPECT_EQ(a, b);
    EXPECT_EQ(VKO_QueueGetLength(q), 1u);
    VKO_QueuePop(q);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);

    // A pop with nothing queued changes nothing.
    VKO_QueuePop(q);
    push_u32(q, 11);
    EXPECT_EQ(VKO_QueueGetLength(q), 1u);
    EXPECT_EQ(pop_u32(q), 11u);
    VKO_QueueDestroy(&q);
}

TEST(Queue, EmptyQueueTimeouts) {
    VKO_Queue *q = VKO_QueueCreate(4, 8);
    void *buf = nullptr;
    EXPECT_FALSE(VKO_QueueGetOutputBuffer(q, 0, &buf, nullptr));
    EXPECT_FALSE(VKO_QueueGetOutputBuffer(q, 20, &buf, nullptr));
    EXPECT_FALSE(VKO_QueueGetLastOutputBuffer(q, 0, &buf, nullptr));
    void *ptr = nullptr;
    EXPECT_FALSE(VKO_QueuePopPtr(q, 20, &ptr, nullptr));
    VKO_QueueDestroy(&q);
}

TEST(Queue, WaitingConsumerWakesOnPush) {
    VKO_Queue *q = VKO_QueueCreate(4, 8);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        push_u32(q, 42);
    });
    void *buf = nullptr;
    ASSERT_TRUE(VKO_QueueGetOutputBuffer(q, 10000, &buf, nullptr));
    uint32_t v;
    memcpy(&v, buf, 4);
    EXPECT_EQ(v, 42u);
    VKO_QueuePop(q);
    producer.join();
    VKO_QueueDestroy(&q);
}

TEST(Queue, LastOutputBufferDropsOlderSlots) {
    VKO_Queue *q = VKO_QueueCreate(4, 8);
    for (uint32_t i = 1; i <= 3; i++) push_u32(q, i);
    void *buf = nullptr;
    uint64_t size = 0;
    ASSERT_TRUE(VKO_QueueGetLastOutputBuffer(q, 0, &buf, &size));
    uint32_t v;
    memcpy(&v, buf, 4);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(size, 4u);
    VKO_QueuePop(q);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);

    // Across the wrap of a full ring, and in a ring of one slot.
    for (uint32_t i = 4; i <= 7; i++) push_u32(q, i);
    ASSERT_TRUE(VKO_QueueGetLastOutputBuffer(q, 0, &buf, nullptr));
    memcpy(&v, buf, 4);
    EXPECT_EQ(v, 7u);
    VKO_QueuePop(q);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);

    VKO_Queue *one = VKO_QueueCreate(1, 8);
    push_u32(one, 9);
    EXPECT_EQ(VKO_QueueGetLength(one), 1u);
    ASSERT_TRUE(VKO_QueueGetLastOutputBuffer(one, 0, &buf, nullptr));
    memcpy(&v, buf, 4);
    EXPECT_EQ(v, 9u);
    VKO_QueuePop(one);
    EXPECT_EQ(VKO_QueueGetLength(one), 0u);

    VKO_QueueDestroy(&q);
    VKO_QueueDestroy(&one);
}

TEST(Queue, ZeroSlotsActsAsOne) {
    VKO_Queue *q = VKO_QueueCreate(0, 8);
    EXPECT_TRUE(push_u32(q, 1));
    EXPECT_FALSE(push_u32(q, 2));
    EXPECT_EQ(VKO_QueueGetLength(q), 1u);
    EXPECT_EQ(pop_u32(q), 1u);
    VKO_QueueDestroy(&q);
}

TEST(Queue, FlushFreesStoredPointers) {
    VKO_Queue *q = VKO_QueueCreate(8, 8);
    // Start past slot 0 so the flush crosses the wrap.
    for (int i = 0; i < 5; i++) {
        push_u32(q, i);
        pop_u32(q);
    }
    for (int i = 0; i < 6; i++) ASSERT_TRUE(VKO_QueuePushPtr(q, VKO_Strdup("payload"), 8));
    push_u32(q, 77);  // bytes in between are released without a call
    ASSERT_TRUE(VKO_QueuePushPtr(q, VKO_Strdup("last"), 5));
    EXPECT_EQ(VKO_QueueGetLength(q), 8u);

    // ASan reports any pointer left unfreed or freed twice.
    VKO_QueueFlush(q, VKO_Free);
    EXPECT_EQ(VKO_QueueGetLength(q), 0u);
    EXPECT_FALSE(VKO_QueueGetOutputBuffer(q, 0, nullptr, nullptr));
    EXPECT_TRUE(push_u32(q, 1));
    EXPECT_EQ(pop_u32(q), 1u);
    VKO_QueueDestroy(&q);
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

enum class ConsumerMode { Blocking, Timed, Polling };

// Several producers push numbered records as fast as they can, retrying when
// the ring is full; one consumer checks that each producer's records arrive
// whole, once and in order.
void run_mpsc(uint32_t producers, uint32_t per_producer, uint32_t slots, ConsumerMode mode, bool pointers) {
    VKO_Queue *q = VKO_QueueCreate(slots, sizeof(Record));
    std::atomic<bool> failed{false};

    std::vector<std::thread> threads;
    for (uint32_t p = 0; p < producers; p++) {
        threads.emplace_back([=, &failed] {
            for (uint32_t seq = 0; seq < per_producer && !failed;) {
                Record r{p, seq, check_of(p, seq)};
                bool ok;
                if (pointers) {
                    Record *heap = (Record *)VKO_Dup(&r, sizeof(r));
                    ok = VKO_QueuePushPtr(q, heap, sizeof(r));
                    if (!ok) VKO_Free(heap);
                } else {
                    void *buf = VKO_QueueGetInputBuffer(q);
                    ok = buf != nullptr;
                    if (ok) {
                        memcpy(buf, &r, sizeof(r));
                        VKO_QueuePush(q, sizeof(r));
                    }
                }
                if (ok)
                    seq++;
                else
                    std::this_thread::yield();
            }
        });
    }

    std::vector<uint32_t> next(producers, 0);
    uint64_t total = (uint64_t)producers * per_producer;
    for (uint64_t got = 0; got < total && !failed;) {
        Record r;
        uint64_t size = 0;
        bool ok;
        if (pointers) {
            void *ptr = nullptr;
            ok = VKO_QueuePopPtr(q, mode == ConsumerMode::Polling ? 0 : 10000, &ptr, &size);
            if (ok) {
                memcpy(&r, ptr, sizeof(r));
                VKO_Free(ptr);
            }
        } else {
            void *buf = nullptr;
            int32_t timeout = mode == ConsumerMode::Blocking ? -1 : mode == ConsumerMode::Polling ? 0 : 10000;
            ok = VKO_QueueGetOutputBuffer(q, timeout, &buf, &size);
            if (ok) {
                memcpy(&r, buf, sizeof(r));
                VKO_QueuePop(q);
            }
        }
        if (!ok) {
            // Only polling may come back empty-handed; a timed wait of 10 s
            // failing means a lost wake-up.
            if (mode != ConsumerMode::Polling) {
                ADD_FAILURE() << "consumer wait failed after " << got << " records";
                failed = true;
            }
            continue;
        }

        if (size != sizeof(Record) || r.producer >= producers || r.check != check_of(r.producer, r.seq) ||
            r.seq != next[r.producer]) {
            ADD_FAILURE() << "record " << got << ": producer " << r.producer << " seq " << r.seq << " size "
                          << size;
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

uint32_t scaled(uint32_t n) {
    return n / SLOWDOWN;
}

}  // namespace

TEST(QueueConcurrency, ManyProducersBlockingConsumer) {
    run_mpsc(4, scaled(500000), 64, ConsumerMode::Blocking, false);
}

TEST(QueueConcurrency, ManyProducersTimedConsumerSmallRing) {
    run_mpsc(3, scaled(300000), 4, ConsumerMode::Timed, false);
}

TEST(QueueConcurrency, ManyProducersPollingConsumer) {
    run_mpsc(4, scaled(200000), 16, ConsumerMode::Polling, false);
}

TEST(QueueConcurrency, PointerRecords) {
    run_mpsc(4, scaled(200000), 32, ConsumerMode::Timed, true);
}

namespace {

// Busy-waits a few microseconds, so that a hand-off lands before, during or
// after the moment the other side gives up spinning and goes to sleep.
void short_delay(std::mt19937 &rng) {
    auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(rng() % 30000);
    while (std::chrono::steady_clock::now() < until) {
    }
}

}  // namespace

TEST(QueueConcurrency, PingPongNeverLosesAWakeup) {
    // Each hand-off finds the other side spinning or asleep, where a lost
    // wake-up would show. A wait of 10 s failing is a lost wake-up.
    VKO_Queue *there = VKO_QueueCreate(2, 8);
    VKO_Queue *back = VKO_QueueCreate(2, 8);
    const uint32_t rounds = scaled(20000);

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
        ASSERT_TRUE(push_u32(there, i));
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
