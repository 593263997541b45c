// Records per second through the slot queue, beside a mutex-protected
// std::deque with a condition variable moving the same records. Producers
// retry when the ring is full; the consumer blocks when it is empty.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/queue.h"

namespace {

struct Record {
    uint64_t producer;
    uint64_t seq;
    uint64_t payload[2];
};

constexpr uint64_t RECORDS = 1 << 20;  // per iteration, all producers together
constexpr uint32_t SLOTS = 1024;

void BM_SlotQueue(benchmark::State &state) {
    const uint64_t producers = state.range(0), per = RECORDS / producers;
    VKO_Queue *q = VKO_QueueCreate(SLOTS, sizeof(Record));
    uint64_t sum = 0;

    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (uint64_t p = 0; p < producers; p++) {
            threads.emplace_back([=] {
                for (uint64_t i = 0; i < per;) {
                    void *buf = VKO_QueueGetInputBuffer(q);
                    if (!buf) {
                        std::this_thread::yield();
                        continue;
                    }
                    Record r{p, i, {i, i}};
                    memcpy(buf, &r, sizeof(r));
                    VKO_QueuePush(q, sizeof(r));
                    i++;
                }
            });
        }
        for (uint64_t n = 0; n < per * producers; n++) {
            void *buf;
            VKO_QueueGetOutputBuffer(q, -1, &buf, nullptr);
            Record r;
            memcpy(&r, buf, sizeof(r));
            sum += r.seq;
            VKO_QueuePop(q);
        }
        for (auto &t : threads) t.join();
    }

    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * per * producers);
    VKO_QueueDestroy(&q);
}

struct DequeQueue {
    std::mutex mutex;
    std::condition_variable cond;
    std::deque<Record> records;
};

void BM_MutexDeque(benchmark::State &state) {
    const uint64_t producers = state.range(0), per = RECORDS / producers;
    DequeQueue q;
    uint64_t sum = 0;

    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (uint64_t p = 0; p < producers; p++) {
            threads.emplace_back([=, &q] {
                for (uint64_t i = 0; i < per; i++) {
                    {
                        std::lock_guard<std::mutex> lock(q.mutex);
                        q.records.push_back(Record{p, i, {i, i}});
                    }
                    q.cond.notify_one();
                }
            });
        }
        for (uint64_t n = 0; n < per * producers; n++) {
            std::unique_lock<std::mutex> lock(q.mutex);
            q.cond.wait(lock, [&] { return !q.records.empty(); });
            Record r = q.records.front();
            q.records.pop_front();
            lock.unlock();
            sum += r.seq;
        }
        for (auto &t : threads) t.join();
    }

    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * per * producers);
}

}  // namespace

BENCHMARK(BM_SlotQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MutexDeque)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
