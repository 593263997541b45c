#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/thread.h"
#include "support/log_capture.h"

static void *return_opaque(void *opaque) { return opaque; }

TEST(Thread, DestroyReturnsResult)
{
    int x = 0;
    VKO_Thread *t = VKO_ThreadCreate(return_opaque, &x);
    EXPECT_GT(VKO_ThreadGetID(t), 0);
    EXPECT_EQ(VKO_ThreadDestroy(&t), &x);
    EXPECT_EQ(t, nullptr);
}

TEST(Waitable, SignalConsumedOnce)
{
    VKO_Waitable *w = VKO_WaitableCreate();
    VKO_WaitableSignal(w);
    VKO_WaitableSignal(w);
    EXPECT_TRUE(VKO_WaitableWait(w, 0));
    EXPECT_FALSE(VKO_WaitableWait(w, 0));
    VKO_WaitableDestroy(&w);
}

TEST(RWLock, ReadTwiceThenWriteNeedsThreeUnlocks)
{
    VKO_RWLock *l = VKO_RWLockCreate();
    VKO_RWLockReader(l);
    VKO_RWLockReader(l);
    VKO_RWLockWriter(l);
    VKO_RWLockUnlock(l);
    VKO_RWLockUnlock(l);
    VKO_RWLockUnlock(l);
    EXPECT_TRUE(VKO_RWLockTryReader(l));
    VKO_RWLockUnlock(l);
    VKO_RWLockDestroy(&l);
}

static void noop(void *opaque) { (void)opaque; }

TEST(ThreadPool, FullPoolReturnsZero)
{
    LogCapture log;
    VKO_ThreadPool *pool = VKO_ThreadPoolCreate(0);
    EXPECT_EQ(VKO_ThreadPoolDispatch(pool, noop, NULL), 0u);
    EXPECT_TRUE(log.contains("VKO_ThreadPoolDispatch: Could not find available index"));
    VKO_ThreadPoolDestroy(&pool, NULL);
}
