#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/thread.h"
#include "support/log_capture.h"

namespace {
class ThreadDeathTest : public ::testing::Test {
   protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// True once the thread sleeps in the kernel (blocked on a lock or condition).
bool thread_is_blocked(int64_t tid) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return false;
    char buf[512] = {0};
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    std::string s(buf, n);
    size_t close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'S';
}

void wait_until_blocked(VKO_Thread *t) {
    // Seen blocked twice in a row, so a passing stall does not count.
    int64_t tid = VKO_ThreadGetID(t);
    for (int seen = 0; seen < 2;) {
        VKO_Sleep(5);
        seen = thread_is_blocked(tid) ? seen + 1 : 0;
    }
}
}  // namespace

// Atomics

TEST(Atomic, ConcurrentAddsAndCas) {
    int32_t v32 = 0;
    int64_t v64 = 0;
    int32_t cas_wins = 0;
    int32_t flag = 0;

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; i++) {
                VKO_AtomicAdd32(&v32, 1);
                VKO_AtomicAdd64(&v64, 2);
            }
            if (VKO_AtomicCAS32(&flag, 0, 1)) VKO_AtomicAdd32(&cas_wins, 1);
        });
    for (auto &t : threads) t.join();

    EXPECT_EQ(VKO_AtomicGet32(&v32), 40000);
    EXPECT_EQ(VKO_AtomicGet64(&v64), 80000);
    EXPECT_EQ(VKO_AtomicGet32(&cas_wins), 1);
    EXPECT_EQ(VKO_AtomicAdd32(&v32, -5), 39995);
    VKO_AtomicSet32(&v32, 7);
    EXPECT_EQ(VKO_AtomicGet32(&v32), 7);
    EXPECT_FALSE(VKO_AtomicCAS32(&v32, 8, 9));
    EXPECT_EQ(VKO_AtomicGet32(&v32), 7);
}

// Mutex and condition variable

TEST(Mutex, RecursiveAndExclusive) {
    VKO_Mutex *m = VKO_MutexCreate();
    VKO_MutexLock(m);
    VKO_MutexLock(m);
    VKO_MutexUnlock(m);
    VKO_MutexUnlock(m);

    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; i++) {
                VKO_MutexLock(m);
                counter++;
                VKO_MutexUnlock(m);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 20000);

    VKO_MutexDestroy(&m);
    EXPECT_EQ(m, nullptr);
    VKO_MutexDestroy(&m);
}

TEST(Cond, TimeoutAndInfiniteWait) {
    VKO_Mutex *m = VKO_MutexCreate();
    VKO_Cond *c = VKO_CondCreate();

    VKO_MutexLock(m);
    EXPECT_FALSE(VKO_CondWait(c, m, 0));
    int64_t begin = VKO_GetTime();
    EXPECT_FALSE(VKO_CondWait(c, m, 20));
    EXPECT_GE(VKO_TimeDiff(begin, VKO_GetTime()), 20.0);
    VKO_MutexUnlock(m);

    // -1 waits without limit: only the signal ends it.
    struct Shared {
        VKO_Mutex *m;
        VKO_Cond *c;
        bool ready;
        bool woke;
    } shared{m, c, false, false};
    VKO_Thread *waiter = VKO_ThreadCreate(
        [](void *opaque) -> void * {
            Shared *sh = (Shared *)opaque;
            VKO_MutexLock(sh->m);
            while (!sh->ready) sh->woke = VKO_CondWait(sh->c, sh->m, -1);
            VKO_MutexUnlock(sh->m);
            return NULL;
        },
        &shared);
    wait_until_blocked(waiter);
    VKO_Sleep(50);
    VKO_MutexLock(m);
    shared.ready = true;
    VKO_CondSignal(c);
    VKO_MutexUnlock(m);
    VKO_ThreadDestroy(&waiter);
    EXPECT_TRUE(shared.woke);

    VKO_CondDestroy(&c);
    VKO_MutexDestroy(&m);
    EXPECT_EQ(c, nullptr);
}

// Threads

static void *return_opaque(void *opaque) {
    return opaque;
}

static void *own_tid(void *opaque) {
    *(int64_t *)opaque = (int64_t)syscall(SYS_gettid);
    return NULL;
}

TEST(Thread, DestroyReturnsResultAndIds) {
    int x = 0;
    VKO_Thread *t = VKO_ThreadCreate(return_opaque, &x);
    EXPECT_EQ(VKO_ThreadDestroy(&t), &x);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(VKO_ThreadDestroy(&t), nullptr);

    int64_t inside = 0;
    t = VKO_ThreadCreate(own_tid, &inside);
    int64_t id = VKO_ThreadGetID(t);
    VKO_ThreadDestroy(&t);
    EXPECT_EQ(id, inside);
    EXPECT_NE(id, VKO_ThreadGetID(NULL));
    EXPECT_EQ(VKO_ThreadGetID(NULL), (int64_t)syscall(SYS_gettid));
}

static void *wait_then_return(void *opaque) {
    VKO_WaitableWait((VKO_Waitable *)opaque, -1);
    return opaque;
}

struct Relay {
    VKO_Waitable *in;
    VKO_Waitable *out;
};

static void *relay(void *opaque) {
    Relay *r = (Relay *)opaque;
    VKO_WaitableWait(r->in, -1);
    VKO_WaitableSignal(r->out);
    return NULL;
}

static void *sleep_long(void *opaque) {
    (void)opaque;
    for (;;) VKO_Sleep(100000);
    return NULL;
}

TEST(Thread, JoinWithTimeoutCancelAndAbandon) {
    VKO_Waitable *w = VKO_WaitableCreate();
    VKO_Thread *t = VKO_ThreadCreate(wait_then_return, w);
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

    // Abandoned threads run to their end on their own, before or after.
    Relay r{w, VKO_WaitableCreate()};
    t = VKO_ThreadCreate(relay, &r);
    VKO_ThreadAbandon(&t);
    EXPECT_EQ(t, nullptr);
    VKO_WaitableSignal(w);
    EXPECT_TRUE(VKO_WaitableWait(r.out, -1));

    t = VKO_ThreadCreate(return_opaque, NULL);
    VKO_ThreadGetID(t);
    VKO_Sleep(20);
    VKO_ThreadAbandon(&t);

    VKO_WaitableDestroy(&r.out);
    VKO_WaitableDestroy(&w);
}

// Global locks

TEST(GlobalLock, RaceBindsOnceAndSerialises) {
    static uint32_t word;
    int counter = 0;
    std::atomic<bool> go{false};

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 2000; i++) {
                VKO_GlobalLock(&word);
                counter++;
                VKO_GlobalUnlock(&word);
            }
        });
    go = true;
    for (auto &t : threads) t.join();

    EXPECT_EQ(counter, 16000);
    EXPECT_GE(word, 2u);
    EXPECT_LT(word, 255u);

    // A second word binds to a different lock, so both can be held at once.
    static uint32_t other;
    VKO_GlobalLock(&word);
    VKO_GlobalLock(&other);
    EXPECT_NE(word, other);
    VKO_GlobalUnlock(&other);
    VKO_GlobalUnlock(&word);
}

TEST_F(ThreadDeathTest, GlobalLockIndexesRunOut) {
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            static uint32_t words[300];
            for (int i = 0; i < 253; i++) {
                VKO_GlobalLock(&words[i]);
                VKO_GlobalUnlock(&words[i]);
            }
            fprintf(stderr, "253 bound\n");
            VKO_GlobalLock(&words[253]);
        },
        ::testing::ExitedWithCode(1), "253 bound\nVKO_GlobalLock: Global lock index of 255 exceeded");
}

// Reader/writer locks

TEST(RWLock, ReadTwiceThenWriteNeedsThreeUnlocks) {
    VKO_RWLock *l = VKO_RWLockCreate();
    auto other_can_read = [l] {
        bool got = false;
        std::thread([&] {
            got = VKO_RWLockTryReader(l);
            if (got) VKO_RWLockUnlock(l);
        }).join();
        return got;
    };

    VKO_RWLockReader(l);
    VKO_RWLockReader(l);
    EXPECT_TRUE(other_can_read());
    VKO_RWLockWriter(l);
    EXPECT_FALSE(other_can_read());
    VKO_RWLockUnlock(l);
    EXPECT_FALSE(other_can_read());
    VKO_RWLockUnlock(l);
    EXPECT_FALSE(other_can_read());
    VKO_RWLockUnlock(l);
    EXPECT_TRUE(other_can_read());

    VKO_RWLockDestroy(&l);
    EXPECT_EQ(l, nullptr);
}

TEST(RWLock, WriterReentersAsReaderAndWriter) {
    VKO_RWLock *l = VKO_RWLockCreate();
    VKO_RWLockWriter(l);
    VKO_RWLockReader(l);
    VKO_RWLockWriter(l);
    EXPECT_TRUE(VKO_RWLockTryReader(l));
    for (int i = 0; i < 4; i++) VKO_RWLockUnlock(l);

    bool got = false;
    std::thread([&] {
        VKO_RWLockWriter(l);
        got = true;
        VKO_RWLockUnlock(l);
    }).join();
    EXPECT_TRUE(got);
    VKO_RWLockDestroy(&l);
}

TEST(RWLock, FailedTryReaderChangesNothing) {
    VKO_RWLock *l = VKO_RWLockCreate();
    VKO_RWLockWriter(l);

    std::atomic<bool> released{false};
    std::thread other([&] {
        EXPECT_FALSE(VKO_RWLockTryReader(l));
        // Blocks until the owner lets go; must not release the owner's lock.
        VKO_RWLockWriter(l);
        EXPECT_TRUE(released.load());
        VKO_RWLockUnlock(l);
    });
    VKO_Sleep(20);
    released = true;
    VKO_RWLockUnlock(l);
    other.join();

    EXPECT_TRUE(VKO_RWLockTryReader(l));
    VKO_RWLockUnlock(l);
    VKO_RWLockDestroy(&l);
}

struct WriterArgs {
    VKO_RWLock *lock;
    std::atomic<bool> wrote;
};

static void *take_write(void *opaque) {
    WriterArgs *a = (WriterArgs *)opaque;
    VKO_RWLockWriter(a->lock);
    a->wrote = true;
    VKO_RWLockUnlock(a->lock);
    return NULL;
}

TEST(RWLock, QueuedWriterGoesBeforeNewReaders) {
    WriterArgs args;
    args.lock = VKO_RWLockCreate();
    args.wrote = false;

    VKO_RWLockReader(args.lock);
    VKO_Thread *writer = VKO_ThreadCreate(take_write, &args);
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
    EXPECT_TRUE(args.wrote);
    EXPECT_TRUE(reader_saw);
    VKO_RWLockDestroy(&args.lock);
}

TEST(RWLock, ExclusionUnderContention) {
    VKO_RWLock *l = VKO_RWLockCreate();
    long a = 0, b = 0;
    std::atomic<int> bad{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++)
        threads.emplace_back([&, t] {
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
    for (auto &t : threads) t.join();

    EXPECT_EQ(bad, 0);
    EXPECT_EQ(a, 2 * 3000 + 4 * 60);
    EXPECT_EQ(a, b);
    VKO_RWLockDestroy(&l);
}

TEST(RWLock, SlotsAreReused) {
    std::vector<VKO_RWLock *> locks(VKO_LOCK_SLOTS);
    for (auto &l : locks) l = VKO_RWLockCreate();
    VKO_RWLockDestroy(&locks[100]);
    locks[100] = VKO_RWLockCreate();

    // The reused slot starts clean for this thread.
    EXPECT_TRUE(VKO_RWLockTryReader(locks[100]));
    VKO_RWLockUnlock(locks[100]);
    for (auto &l : locks) VKO_RWLockDestroy(&l);
}

TEST_F(ThreadDeathTest, RWLockSlotsRunOut) {
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            static VKO_RWLock *locks[VKO_LOCK_SLOTS];
            for (int i = 0; i < VKO_LOCK_SLOTS; i++) locks[i] = VKO_RWLockCreate();
            fprintf(stderr, "%s made\n", locks[VKO_LOCK_SLOTS - 1] ? "255" : "not");
            VKO_RWLockCreate();
        },
        ::testing::ExitedWithCode(1),
        "255 made\nthread_rwlock_index: Could not find a free rwlock slot, maximum is 255");
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
    EXPECT_EQ(VKO_ThreadPoolPoll(pool, 1, NULL), VKO_THREAD_STATE_FREE);
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
    EXPECT_EQ(VKO_ThreadPoolPoll(pool, ia, NULL), VKO_THREAD_STATE_FREE);
    EXPECT_EQ(VKO_ThreadPoolDispatch(pool, blocking_job, &c), ia);

    // Detaching a running job hands its end to the worker.
    VKO_ThreadPoolDetach(pool, ib, count_detach);
    VKO_WaitableSignal(b.release);
    wait_for_state(pool, ib, VKO_THREAD_STATE_FREE);
    EXPECT_EQ(ran, 202);

    // Destroy waits for the running job and detaches it.
    VKO_WaitableSignal(c.release);
    VKO_ThreadPoolDestroy(&pool, count_detach);
    EXPECT_EQ(pool, nullptr);
    EXPECT_EQ(ran, 303);

    VKO_WaitableDestroy(&a.release);
    VKO_WaitableDestroy(&b.release);
    VKO_WaitableDestroy(&c.release);
}

TEST(ThreadPool, RunningJobDetachedWithoutFunctionFreesItsSlot) {
    std::atomic<int> ran{0};
    Job a{VKO_WaitableCreate(), &ran};
    VKO_ThreadPool *pool = VKO_ThreadPoolCreate(1);

    uint32_t i = VKO_ThreadPoolDispatch(pool, blocking_job, &a);
    VKO_ThreadPoolDetach(pool, i, NULL);
    VKO_WaitableSignal(a.release);
    wait_for_state(pool, i, VKO_THREAD_STATE_FREE);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(VKO_ThreadPoolDispatch(pool, blocking_job, &a), i);
    VKO_WaitableSignal(a.release);

    VKO_ThreadPoolDestroy(&pool, NULL);
    EXPECT_EQ(ran, 2);
    VKO_WaitableDestroy(&a.release);
}

static void add_one(void *opaque) {
    ((std::atomic<int> *)opaque)->fetch_add(1);
}

TEST(ThreadPool, ManyJobsThroughFewSlots) {
    VKO_ThreadPool *pool = VKO_ThreadPoolCreate(4);
    std::atomic<int> done{0};

    int dispatched = 0;
    while (dispatched < 400) {
        uint32_t i = VKO_ThreadPoolDispatch(pool, add_one, &done);
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

TEST(ThreadPool, IndexesOutsideThePoolAreFree) {
    VKO_ThreadPool *pool = VKO_ThreadPoolCreate(1);
    void *opaque = &opaque;
    EXPECT_EQ(VKO_ThreadPoolPoll(pool, 5, &opaque), VKO_THREAD_STATE_FREE);
    EXPECT_EQ(opaque, nullptr);
    EXPECT_EQ(VKO_ThreadPoolPoll(pool, 0, NULL), VKO_THREAD_STATE_FREE);
    VKO_ThreadPoolDetach(pool, 5, count_detach);
    VKO_ThreadPoolDestroy(&pool, NULL);
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
    EXPECT_EQ(w, nullptr);
}

static void *wait_forever(void *opaque) {
    return (void *)(uintptr_t)VKO_WaitableWait((VKO_Waitable *)opaque, -1);
}

TEST(Waitable, InfiniteWaitSurvivesAStolenWake) {
    for (int round = 0; round < 50; round++) {
        VKO_Waitable *w = VKO_WaitableCreate();
        VKO_Thread *t = VKO_ThreadCreate(wait_forever, w);
        wait_until_blocked(t);

        // The signal wakes the waiter, but this thread may consume it first:
        // the waiter must then keep waiting rather than report nothing.
        VKO_WaitableSignal(w);
        if (VKO_WaitableWait(w, 0)) VKO_WaitableSignal(w);

        EXPECT_EQ(VKO_ThreadDestroy(&t), (void *)1);
        VKO_WaitableDestroy(&w);
    }
}

static void *signal_it(void *opaque) {
    VKO_WaitableSignal((VKO_Waitable *)opaque);
    return NULL;
}

TEST(Waitable, DestroyRightAfterTheWaitReturns) {
    // The signaler may still be inside Signal when the waiter wakes; the
    // waiter must not get ahead of it.
    for (int round = 0; round < 300; round++) {
        VKO_Waitable *w = VKO_WaitableCreate();
        VKO_Thread *t = VKO_ThreadCreate(signal_it, w);
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
