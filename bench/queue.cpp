// Records per second through the slot queue, beside a mutex-protected
// std::deque with a condition variable moving the same records. Producers
// retry when the ring is full; the consumer blocks when it is empty and checks
// that each producer's records arrive whole and in order.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "peer.h"
#include "platform/queue.h"

namespace {

struct Record {
    uint64_t producer;
    uint64_t seq;
    uint64_t payload[2];
};

constexpr uint64_t RECORDS = 1 << 20;  // per iteration, all producers together
constexpr uint32_t SLOTS = 1024;

// Follows each producer's sequence; counts records out of order or damaged.
struct Order {
    std::vector<uint64_t> next;
    uint64_t bad = 0;

    explicit Order(uint64_t producers) : next(producers) {}
    void take(const Record &r) {
        if (r.producer >= next.size() || r.seq != next[r.producer] || r.payload[0] != r.seq ||
            r.payload[1] != r.seq) {
            bad++;
            return;
        }
        next[r.producer]++;
    }
    void restart() { std::fill(next.begin(), next.end(), 0); }
};

void BM_SlotQueue(benchmark::State &state) {
    const uint64_t producers = state.range(0), per = RECORDS / producers;
    VKO_Queue *q = VKO_QueueCreate(SLOTS, sizeof(Record));
    Order order(producers);

    for (auto _ : state) {
        order.restart();
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
            order.take(r);
            VKO_QueuePop(q);
        }
        for (auto &t : threads) t.join();
    }

    if (order.bad) state.SkipWithError("records lost, damaged or out of order");
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
    Order order(producers);

    for (auto _ : state) {
        order.restart();
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
            order.take(r);
        }
        for (auto &t : threads) t.join();
    }

    if (order.bad) state.SkipWithError("records lost, damaged or out of order");
    state.SetItemsProcessed(state.iterations() * per * producers);
}

}  // namespace

BENCHMARK(BM_SlotQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MutexDeque)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    const char *names = "VKO_Queue / std::deque with mutex";
    return bench::run_pairs(
        argc, argv,
        {{"1 producer, 1 consumer", "BM_SlotQueue/1/real_time", "BM_MutexDeque/1/real_time", names},
         {"4 producers, 1 consumer", "BM_SlotQueue/4/real_time", "BM_MutexDeque/4/real_time", names}});
}
