// Costs of the platform core's hot paths: locks, waitable hand-offs, the
// thread pool, logging, scratch text and CRC-32. The locks run beside
// std::mutex and std::shared_mutex; the ratio lines at the end compare them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "peer.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"

static void BM_MutexLockUnlock(benchmark::State &state) {
    static VKO_Mutex *m;
    if (state.thread_index() == 0) m = VKO_MutexCreate();
    for (auto _ : state) {
        VKO_MutexLock(m);
        VKO_MutexUnlock(m);
    }
    if (state.thread_index() == 0) VKO_MutexDestroy(&m);
}
BENCHMARK(BM_MutexLockUnlock)->Threads(1)->Threads(2)->Threads(4);

static void BM_StdMutexLockUnlock(benchmark::State &state) {
    static std::mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_StdMutexLockUnlock)->Threads(1)->Threads(2)->Threads(4);

static void BM_GlobalLock(benchmark::State &state) {
    static uint32_t word;
    for (auto _ : state) {
        VKO_GlobalLock(&word);
        VKO_GlobalUnlock(&word);
    }
}
BENCHMARK(BM_GlobalLock)->Threads(1)->Threads(2)->Threads(4);

static VKO_RWLock *RW;

static void BM_RWLockReader(benchmark::State &state) {
    if (state.thread_index() == 0) RW = VKO_RWLockCreate();
    for (auto _ : state) {
        VKO_RWLockReader(RW);
        VKO_RWLockUnlock(RW);
    }
    if (state.thread_index() == 0) VKO_RWLockDestroy(&RW);
}
BENCHMARK(BM_RWLockReader)->Threads(1)->Threads(2)->Threads(4);

static std::shared_mutex SHARED;

static void BM_SharedMutexReader(benchmark::State &state) {
    for (auto _ : state) {
        SHARED.lock_shared();
        SHARED.unlock_shared();
    }
}
BENCHMARK(BM_SharedMutexReader)->Threads(1)->Threads(2)->Threads(4);

static void BM_RWLockReentrantReader(benchmark::State &state) {
    VKO_RWLock *l = VKO_RWLockCreate();
    VKO_RWLockReader(l);
    for (auto _ : state) {
        VKO_RWLockReader(l);
        VKO_RWLockUnlock(l);
    }
    VKO_RWLockUnlock(l);
    VKO_RWLockDestroy(&l);
}
BENCHMARK(BM_RWLockReentrantReader);

// One writer in four operations, the rest readers.
static void BM_RWLockMixed(benchmark::State &state) {
    if (state.thread_index() == 0) RW = VKO_RWLockCreate();
    uint64_t i = 0;
    for (auto _ : state) {
        if (i++ % 4 == 0) {
            VKO_RWLockWriter(RW);
        } else {
            VKO_RWLockReader(RW);
        }
        VKO_RWLockUnlock(RW);
    }
    if (state.thread_index() == 0) VKO_RWLockDestroy(&RW);
}
BENCHMARK(BM_RWLockMixed)->Threads(2)->Threads(4);

static void BM_SharedMutexMixed(benchmark::State &state) {
    uint64_t i = 0;
    for (auto _ : state) {
        if (i++ % 4 == 0) {
            SHARED.lock();
            SHARED.unlock();
        } else {
            SHARED.lock_shared();
            SHARED.unlock_shared();
        }
    }
}
BENCHMARK(BM_SharedMutexMixed)->Threads(2)->Threads(4);

// Round trip: signal the other thread, wait for its answer.
static void BM_WaitablePingPong(benchmark::State &state) {
    VKO_Waitable *ping = VKO_WaitableCreate();
    VKO_Waitable *pong = VKO_WaitableCreate();
    std::atomic<bool> stop{false};

    std::thread responder([&] {
        for (;;) {
            VKO_WaitableWait(ping, -1);
            if (stop) break;
            VKO_WaitableSignal(pong);
        }
    });

    for (auto _ : state) {
        VKO_WaitableSignal(ping);
        VKO_WaitableWait(pong, -1);
    }

    stop = true;
    VKO_WaitableSignal(ping);
    responder.join();
    VKO_WaitableDestroy(&ping);
    VKO_WaitableDestroy(&pong);
}
BENCHMARK(BM_WaitablePingPong)->UseRealTime();

static void noop_job(void *opaque) {
    (void)opaque;
}

// Dispatch a job, wait for it to finish, detach: one job's full life.
static void BM_ThreadPoolJob(benchmark::State &state) {
    VKO_ThreadPool *pool = VKO_ThreadPoolCreate(4);
    for (auto _ : state) {
        uint32_t i = VKO_ThreadPoolDispatch(pool, noop_job, NULL);
        while (VKO_ThreadPoolPoll(pool, i, NULL) != VKO_THREAD_STATE_FINISHED) VKO_Sleep(0);
        VKO_ThreadPoolDetach(pool, i, NULL);
    }
    VKO_ThreadPoolDestroy(&pool, NULL);
}
BENCHMARK(BM_ThreadPoolJob)->UseRealTime();

static void log_discard(const char *msg, void *opaque) {
    benchmark::DoNotOptimize(msg);
    (void)opaque;
}

static void BM_Log(benchmark::State &state) {
    VKO_SetLogFunc(log_discard, NULL);
    for (auto _ : state) VKO_Log("BM_Log", "value %d of %s", 42, "something");
    VKO_SetLogFunc(NULL, NULL);
}
BENCHMARK(BM_Log);

static void BM_SprintfTLocal(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(VKO_SprintfTLocal("%s/%u", "folder", 7u));
}
BENCHMARK(BM_SprintfTLocal);

static void BM_CRC32(benchmark::State &state) {
    std::vector<uint8_t> data((size_t)state.range(0), 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(VKO_CRC32(0, data.data(), data.size()));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_CRC32)->Arg(1500)->Arg(65536);

static void BM_MultiToWide(benchmark::State &state) {
    const char *text = "C:/Users/someone/AppData/Roaming/Zarvek/config.json \xC3\xA9\xE2\x82\xAC";
    char16_t wide[128];
    for (auto _ : state) benchmark::DoNotOptimize(VKO_MultiToWide(text, wide, 128));
}
BENCHMARK(BM_MultiToWide);

int main(int argc, char **argv) {
    const char *mutex = "VKO_Mutex / std::mutex", *rw = "VKO_RWLock / std::shared_mutex";
    return bench::run_pairs(
        argc, argv,
        {{"lock and unlock, 1 thread", "BM_MutexLockUnlock/threads:1", "BM_StdMutexLockUnlock/threads:1",
          mutex},
         {"lock and unlock, 2 threads", "BM_MutexLockUnlock/threads:2", "BM_StdMutexLockUnlock/threads:2",
          mutex},
         {"lock and unlock, 4 threads", "BM_MutexLockUnlock/threads:4", "BM_StdMutexLockUnlock/threads:4",
          mutex},
         {"read lock, 1 thread", "BM_RWLockReader/threads:1", "BM_SharedMutexReader/threads:1", rw},
         {"read lock, 2 threads", "BM_RWLockReader/threads:2", "BM_SharedMutexReader/threads:2", rw},
         {"read lock, 4 threads", "BM_RWLockReader/threads:4", "BM_SharedMutexReader/threads:4", rw},
         {"1 write in 4, 2 threads", "BM_RWLockMixed/threads:2", "BM_SharedMutexMixed/threads:2", rw},
         {"1 write in 4, 4 threads", "BM_RWLockMixed/threads:4", "BM_SharedMutexMixed/threads:4", rw}});
}
