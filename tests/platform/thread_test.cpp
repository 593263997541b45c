#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/thread.h"
#include "support/log_capture.h"

namespace {
// Waits until the thread sleeps in the kernel (blocked on a lock or
// condition), seen twice in a row so a passing stall does not count.
void wait_until_blocked(VKO_Thread *t) {
    std::string path = "/proc/self/task/" + std::to_string(VKO_ThreadGetID(t)) + "/stat";
    for (int seen = 0; seen < 2;) {
        VKO_Sleep(5);
        std::stringstream ss;
        ss << std::ifstream(path).rdbuf();
        std::string s = ss.str();
        size_t close = s.rfind(')');
        seen = close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'S' ? seen + 1 : 0;
    }
}

// Runs f(index) on n threads released together.
template <typename F>
void run_threads(int n, F f) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; t++)
        threads.emplace_back([&, t] {
            ready++;
            while (ready < n) std::this_thread::yield();
            f(t);
        });
    for (auto &t : threads) t.join();
}
}  // namespace

TEST(AtomicAndMutex, ConcurrentAddsCasAndRecursiveLock) {
    int32_t v32 = 0, cas_wins = 0, flag = 0;
    int64_t v64 = 0;
    int counter = 0;
    VKO_Mutex *m = VKO_MutexCreate();
    run_threads(4, [&](int) {
        for (int i = 0; i < 5000; i++) {
            VKO_AtomicAdd32(&v32, 1);
            VKO_AtomicAdd64(&v64, 2);
            VKO_MutexLock(m);
            VKO_MutexLock(m);
            counter++;
            VKO_MutexUnlock(m);
            VKO_MutexUnlock(m);
        }
        if (VKO_AtomicCAS32(&flag, 0, 1)) VKO_AtomicAdd32(&cas_wins, 1);
    });
    EXPECT_EQ(VKO_AtomicGet32(&v32), 20000);
    EXPECT_EQ(VKO_AtomicGet64(&v64), 40000);
    EXPECT_EQ(VKO_AtomicGet32(&cas_wins), 1);
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(VKO_AtomicAdd32(&v32, -5), 19995);
    VKO_AtomicSet32(&v32, 7);
    EXPECT_FALSE(VKO_AtomicCAS32(&v32, 8, 9));
    EXPECT_EQ(VKO_AtomicGet32(&v32), 7);
    VKO_MutexDestroy(&m);
}

struct CondShared {
    VKO_Mutex *m;
    VKO_Cond *c;
    bool ready;
    bool woke;
};

TEST(Cond, TimeoutAndInfiniteWait) {
    CondShared sh{VKO_MutexCreate(), VKO_CondCreate(), false, false};
    VKO_MutexLock(sh.m);
    EXPECT_FALSE(VKO_CondWait(sh.c, sh.m, 0));
    int64_t begin = VKO_GetTime();
    EXPECT_FALSE(VKO_CondWait(sh.c, sh.m, 20));
    EXPECT_GE(VKO_TimeDiff(begin, VKO_GetTime()), 20.0);
    VKO_MutexUnlock(sh.m);

    // -1 waits without limit: only the signal ends it.
    VKO_Thread *waiter = VKO_ThreadCreate(
        [](void *opaque) -> void * {
            CondShared *s = (CondShared *)opaque;
            VKO_MutexLock(s->m);
            while (!s->ready) s->woke = VKO_CondWait(s->c, s->m, -1);
            VKO_MutexUnlock(s->m);
            return NULL;
        },
        &sh);
    wait_until_blocked(waiter);
    VKO_MutexLock(sh.m);
    sh.ready = true;
    VKO_CondSignal(sh.c);
    VKO_MutexUnlock(sh.m);
    VKO_ThreadDestroy(&waiter);
    EXPECT_TRUE(sh.woke);

    VKO_CondDestroy(&sh.c);
    VKO_MutexDestroy(&sh.m);
}

// Threads

static void *return_opaque(void *opaque) {
    return opaque;
}

static void *wait_then_return(void *opaque) {
    VKO_WaitableWait((VKO_Waitable *)opaque, -1);
    return opaque;
}

static void *sleep_long(void *) {
    for (;;) VKO_Sleep(100000);
}

TEST(Thread, ResultIdsJoinWithTimeoutCancelAndAbandon) {
    int64_t inside = 0;
    VKO_Thread *t = VKO_ThreadCreate(
        [](void *opaque) -> void * {
            *(int64_t *)opaque = (int64_t)syscall(SYS_gettid);
            return opaque;
        },
        &inside);
    int64_t id = VKO_ThreadGetID(t);
    EXPECT_EQ(VKO_ThreadDestroy(&t), &inside);
    EXPECT_EQ(id, inside);
    EXPECT_EQ(VKO_ThreadGetID(NULL), (int64_t)syscall(SYS_gettid));

    VKO_Waitable *w = VKO_WaitableCreate();
    t = VKO_ThreadCreate(wait_then_return, w);
    void *result = &result;
    EXPECT_FALSE(VKO_ThreadJoinTimeout(&t, 20, &result));
    EXPECT_NE(t, nullptr);
    VKO_WaitableSignal(w);
    EXPECT_TRUE(VKO_ThreadJoinTimeout(&t, 10000, &result));
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(result, w);

    // A thread stuck in a sleep ends at its cancellation point.
    t = VKO_ThreadCreate(sleep_long, NULL);
    wait_until_blocked(t);
    VKO_ThreadCancel(t);
    EXPECT_TRUE(VKO_ThreadJoinTimeout(&t, -1, &result));
    EXPECT_EQ(result, nullptr);

    // Abandoned threads free their record whether they end before or after.
    VKO_Waitable *relay[2] = {w, VKO_WaitableCreate()};
    t = VKO_ThreadCreate(
        [](void *opaque) -> void * {
            VKO_Waitable **r = (VKO_Waitable **)opaque;
            VKO_WaitableWait(r[0], -1);
            VKO_WaitableSignal(r[1]);
            return NULL;
        },
        relay);
    VKO_ThreadAbandon(&t);
    VKO_WaitableSignal(w);
    EXPECT_TRUE(VKO_WaitableWait(relay[1], -1));
    t = VKO_ThreadCreate(return_opaque, NULL);
    VKO_ThreadGetID(t);
    VKO_Sleep(20);
    VKO_ThreadAbandon(&t);
    VKO_WaitableDestroy(&relay[1]);
    VKO_WaitableDestroy(&w);
}

// Global locks

TEST(GlobalLock, RaceBindsOnceAndSerialises) {
    static uint32_t word, other;
    int counter = 0;
    run_threads(8, [&](int) {
        for (int i = 0; i < 2000; i++) {
            VKO_GlobalLock(&word);
            counter++;
            VKO_GlobalUnlock(&word);
        }
    });
    EXPECT_EQ(counter, 16000);
    EXPECT_GE(word, 2u);

    // A second word binds to a different lock, so both can be held at once.
    VKO_GlobalLock(&word);
    VKO_GlobalLock(&other);
    EXPECT_NE(word, other);
    VKO_GlobalUnlock(&other);
    VKO_GlobalUnlock(&word);
}

TEST(ThreadDeathTest, GlobalLockIndexesAndRWLockSlotsRunOut) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_FATAL(
        {
            static uint32_t words[254];
            for (int i = 0; i < 253; i++) {
                VKO_GlobalLock(&words[i]);
                VKO_GlobalUnlock(&words[i]);
            }
            fprintf(stderr, "253 bound\n");
            VKO_GlobalLock(&words[253]);
        },
        "253 bound\nVKO_GlobalLock: Global lock index of 255 exceeded");

    EXPECT_FATAL(
        {
            static VKO_RWLock *locks[VKO_LOCK_SLOTS];
            for (auto &l : locks) l = VKO_RWLockCreate();
            // Destroying one frees its slot, which starts clean for this thread.
            VKO_RWLockDestroy(&locks[100]);
            locks[100] = VKO_RWLockCreate();
            if (VKO_RWLockTryReader(locks[100])) fprintf(stderr, "255 made\n");
            VKO_RWLockCreate();
        },
        "255 made\nthread_rwlock_index: Could not find a free rwlock slot, maximum is 255");
}

// Reader/writer locks

TEST(RWLock, ReentryAndUpgradeNeedOneUnlockEach) {
    VKO_RWLock *l = VKO_RWLockCreate();
    auto other_can_read = [l] {
        bool got = false;
        std::thread([&] {
            got = VKO_RWLockTryReader(l);
            if (got) VKO_RWLockUnlock(l);
        }).join();
        return got;
    };

    // Read twice, then write: three unlocks before another reader gets in (a
    // failed try by the other thread releases nothing of ours).
    VKO_RWLockReader(l);
    VKO_RWLockReader(l);
    EXPECT_TRUE(other_can_read());
    VKO_RWLockWriter(l);
    for (int i = 0; i < 3; i++) {
        EXPECT_FALSE(other_can_read());
        VKO_RWLockUnlock(l);
    }
    EXPECT_TRUE(other_can_read());

    // A writer re-enters as reader and writer alike.
    VKO_RWLockWriter(l);
    VKO_RWLockReader(l);
    VKO_RWLockWriter(l);
    EXPECT_TRUE(VKO_RWLockTryReader(l));
    for (int i = 0; i < 4; i++) {
        EXPECT_FALSE(other_can_read());
        VKO_RWLockUnlock(l);
    }
    EXPECT_TRUE(other_can_read());
    VKO_RWLockDestroy(&l);
}

struct WriterArgs {
    VKO_RWLock *lock;
    std::atomic<bool> wrote;
};

TEST(RWLock, QueuedWriterGoesBeforeNewReaders) {
    WriterArgs args{VKO_RWLockCreate(), false};
    VKO_RWLockReader(args.lock);
    VKO_Thread *writer = VKO_ThreadCreate(
        [](void *opaque) -> void * {
            WriterArgs *a = (WriterArgs *)opaque;
            VKO_RWLockWriter(a->lock);
            a->wrote = true;
            VKO_RWLockUnlock(a->lock);
            return NULL;
        },
        &args);
    wait_until_blocked(writer);

    // The holder re-enters without waiting for the queued writer.
    VKO_RWLockReader(args.lock);

    // A new reader waits for the writer, so it sees its write.
    std::atomic<bool> reader_saw{false};
    std::thread reader([&] {
        VKO_RWLockReader(args.lock);
        reader_saw = args.wrote.load();
        VKO_RWLockUnlock(args.lock);
    });
    VKO_Sleep(20);
    EXPECT_FALSE(args.wrote);
    VKO_RWLockUnlock(args.lock);
    VKO_RWLockUnlock(args.lock);

    reader.join();
    VKO_ThreadDestroy(&writer);
    EXPECT_TRUE(reader_saw);
    VKO_RWLockDestroy(&args.lock);
}

TEST(RWLock, ExclusionUnderContention) {
    VKO_RWLock *l = VKO_RWLockCreate();
    long a = 0, b = 0;
    std::atomic<int> bad{0};
    run_threads(6, [&](int t) {
        for (int i = 0; i < 3000; i++) {
            if (t < 2 || i % 50 == 0) {
                VKO_RWLockWriter(l);
                a++;
                b++;
                VKO_RWLockUnlock(l);
            } else {
                VKO_RWLockReader(l);
                VKO_RWLockReader(l);  // re-entry while writers queue
                if (a != b) bad++;
                VKO_RWLockUnlock(l);
                VKO_RWLockUnlock(l);
            }
        }
    });
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(a, 2 * 3000 + 4 * 60);
    EXPECT_EQ(a, b);
    VKO_RWLockDestroy(&l);
}

// Thread pool

struct Job {
    VKO_Waitable *release;
    std::atomic<int> *ran;
};

static void blocking_job(void *opaque) {
    Job *j = (Job *)opaque;
    VKO_WaitableWait(j->release, -1);
    (*j->ran)++;
}

static void count_detach(void *opaque) {
    (*((Job *)opaque)->ran) += 100;
}

static void wait_for_state(VKO_ThreadPool *pool, uint32_t index, VKO_ThreadState state) {
    while (VKO_ThreadPoolPoll(pool, index, NULL) != state) VKO_Sleep(1);
}

TEST(ThreadPool, FullPoolRefusesThenRecoversAfterDetach) {
    LogCapture log;
    std::atomic<int> ran{0};
    Job a{VKO_WaitableCreate(), &ran}, b{VKO_WaitableCreate(), &ran}, c{VKO_WaitableCreate(), &ran};

    VKO_ThreadPool *pool = VKO_ThreadPoolCreate(2);
    uint32_t ia = VKO_ThreadPoolDispatch(pool, blocking_job, &a);
    uint32_t ib = VKO_ThreadPoolDispatch(pool, blocking_job, &b);
    EXPECT_EQ(ia, 1u);
    EXPECT_EQ(ib, 2u);
    EXPECT_EQ(VKO_ThreadPoolDispatch(pool, blocking_job, &c), 0u);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"VKO_ThreadPoolDispatch: Could not find available index"});
    void *opaque = NULL;
    EXPECT_EQ(VKO_ThreadPoolPoll(pool, ia, &opaque), VKO_THREAD_STATE_RUNNING);
    EXPECT_EQ(opaque, &a);

    // A finished job stays finished, its opaque readable, until detached.
    VKO_WaitableSignal(a.release);
    wait_for_state(pool, ia, VKO_THREAD_STATE_FINISHED);
    EXPECT_EQ(VKO_ThreadPoolPoll(pool, ia, &opaque), VKO_THREAD_STATE_FINISHED);
    EXPECT_EQ(opaque, &a);
    EXPECT_EQ(VKO_ThreadPoolDispatch(pool, blocking_job, &c), 0u);
    VKO_ThreadPoolDetach(pool, ia, count_detach);
    EXPECT_EQ(ran, 101);
    EXPECT_EQ(VKO_ThreadPoolDispatch(pool, blocking_job, &c), ia);

    // Detaching a running job hands its end to the worker, with or without
    // a function; either way the slot frees itself.
    VKO_ThreadPoolDetach(pool, ib, count_detach);
    VKO_WaitableSignal(b.release);
    wait_for_state(pool, ib, VKO_THREAD_STATE_FREE);
    EXPECT_EQ(ran, 202);
    EXPECT_EQ(VKO_ThreadPoolDispatch(pool, blocking_job, &b), ib);
    VKO_ThreadPoolDetach(pool, ib, NULL);
    VKO_WaitableSignal(b.release);
    wait_for_state(pool, ib, VKO_THREAD_STATE_FREE);
    EXPECT_EQ(ran, 203);

    // Indexes outside the pool read as free and are ignored.
    EXPECT_EQ(VKO_ThreadPoolPoll(pool, 5, &opaque), VKO_THREAD_STATE_FREE);
    EXPECT_EQ(opaque, nullptr);
    VKO_ThreadPoolDetach(pool, 5, count_detach);

    // Destroy waits for the running job and detaches it.
    VKO_WaitableSignal(c.release);
    VKO_ThreadPoolDestroy(&pool, count_detach);
    EXPECT_EQ(ran, 304);
    for (Job *j : {&a, &b, &c}) VKO_WaitableDestroy(&j->release);
}

TEST(ThreadPool, ManyJobsThroughFewSlots) {
    VKO_ThreadPool *pool = VKO_ThreadPoolCreate(4);
    std::atomic<int> done{0};
    for (int dispatched = 0; dispatched < 400;) {
        uint32_t i = VKO_ThreadPoolDispatch(
            pool, [](void *o) { ((std::atomic<int> *)o)->fetch_add(1); }, &done);
        if (i) {
            VKO_ThreadPoolDetach(pool, i, NULL);
            dispatched++;
        } else {
            VKO_Sleep(0);
        }
    }
    VKO_ThreadPoolDestroy(&pool, NULL);
    EXPECT_EQ(done, 400);
}

// Waitables

TEST(Waitable, SignalsCoalesceAndAreConsumed) {
    VKO_Waitable *w = VKO_WaitableCreate();
    EXPECT_FALSE(VKO_WaitableWait(w, 0));
    VKO_WaitableSignal(w);
    VKO_WaitableSignal(w);
    EXPECT_TRUE(VKO_WaitableWait(w, 0));
    EXPECT_FALSE(VKO_WaitableWait(w, 0));

    int64_t begin = VKO_GetTime();
    EXPECT_FALSE(VKO_WaitableWait(w, 30));
    EXPECT_GE(VKO_TimeDiff(begin, VKO_GetTime()), 30.0);
    VKO_WaitableDestroy(&w);
}

TEST(Waitable, InfiniteWaitSurvivesAStolenWake) {
    for (int round = 0; round < 50; round++) {
        VKO_Waitable *w = VKO_WaitableCreate();
        VKO_Thread *t = VKO_ThreadCreate(
            [](void *o) -> void * { return (void *)(uintptr_t)VKO_WaitableWait((VKO_Waitable *)o, -1); }, w);
        wait_until_blocked(t);

        // The signal wakes the waiter, but this thread may consume it first:
        // the waiter must then keep waiting rather than report nothing.
        VKO_WaitableSignal(w);
        if (VKO_WaitableWait(w, 0)) VKO_WaitableSignal(w);

        EXPECT_EQ(VKO_ThreadDestroy(&t), (void *)1);
        VKO_WaitableDestroy(&w);
    }
}

TEST(Waitable, DestroyRightAfterTheWaitReturns) {
    // The signaler may still be inside Signal when the waiter wakes; the
    // waiter must not get ahead of it.
    for (int round = 0; round < 300; round++) {
        VKO_Waitable *w = VKO_WaitableCreate();
        VKO_Thread *t = VKO_ThreadCreate(
            [](void *o) -> void * {
                VKO_WaitableSignal((VKO_Waitable *)o);
                return NULL;
            },
            w);
        EXPECT_TRUE(VKO_WaitableWait(w, -1));
        VKO_WaitableDestroy(&w);
        VKO_ThreadDestroy(&t);
    }
}

TEST(Waitable, PingPongLosesNoSignal) {
    VKO_Waitable *ping = VKO_WaitableCreate();
    VKO_Waitable *pong = VKO_WaitableCreate();
    const int rounds = 2000;
    int got = 0;
    std::thread responder([&] {
        for (int i = 0; i < rounds; i++) {
            if (VKO_WaitableWait(ping, -1)) got++;
            VKO_WaitableSignal(pong);
        }
    });
    for (int i = 0; i < rounds; i++) {
        VKO_WaitableSignal(ping);
        EXPECT_TRUE(VKO_WaitableWait(pong, -1));
    }
    responder.join();
    EXPECT_EQ(got, rounds);
    VKO_WaitableDestroy(&ping);
    VKO_WaitableDestroy(&pong);
}
