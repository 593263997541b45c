#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/log.h"
#include "platform/memory.h"

// Atomics

int32_t VKO_AtomicAdd32(int32_t *value, int32_t delta) {
    return std::atomic_ref<int32_t>(*value).fetch_add(delta) + delta;
}

int64_t VKO_AtomicAdd64(int64_t *value, int64_t delta) {
    return std::atomic_ref<int64_t>(*value).fetch_add(delta) + delta;
}

bool VKO_AtomicCAS32(int32_t *value, int32_t expected, int32_t desired) {
    return std::atomic_ref<int32_t>(*value).compare_exchange_strong(expected, desired);
}

int32_t VKO_AtomicGet32(const int32_t *value) {
    return std::atomic_ref<int32_t>(*const_cast<int32_t *>(value)).load();
}

int64_t VKO_AtomicGet64(const int64_t *value) {
    return std::atomic_ref<int64_t>(*const_cast<int64_t *>(value)).load();
}

void VKO_AtomicSet32(int32_t *value, int32_t desired) {
    std::atomic_ref<int32_t>(*value).exchange(desired);
}

// Deadline timeout ms from now; waits use the monotonic clock where the call
// allows, so they do not jump with the wall clock.
static struct timespec deadline_after(int32_t timeout, clockid_t clock = CLOCK_MONOTONIC) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    ts.tv_sec += timeout / 1000;
    ts.tv_nsec += (long)(timeout % 1000) * 1000000;
    if (ts.tv_nsec >= 1000000000) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000;
    }

    return ts;
}

static void cond_init_monotonic(pthread_cond_t *cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

// Mutex

struct VKO_Mutex {
    pthread_mutex_t mutex;
};

VKO_Mutex *VKO_MutexCreate(void) {
    VKO_Mutex *ctx = (VKO_Mutex *)VKO_Alloc(1, sizeof(VKO_Mutex));

    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&ctx->mutex, &attr);
    pthread_mutexattr_destroy(&attr);

    return ctx;
}

void VKO_MutexDestroy(VKO_Mutex **mutex) {
    if (!mutex || !*mutex) return;

    pthread_mutex_destroy(&(*mutex)->mutex);
    VKO_Free(*mutex);
    *mutex = NULL;
}

void VKO_MutexLock(VKO_Mutex *mutex) {
    pthread_mutex_lock(&mutex->mutex);
}

void VKO_MutexUnlock(VKO_Mutex *mutex) {
    pthread_mutex_unlock(&mutex->mutex);
}

// Condition variable

struct VKO_Cond {
    pthread_cond_t cond;
};

VKO_Cond *VKO_CondCreate(void) {
    VKO_Cond *ctx = (VKO_Cond *)VKO_Alloc(1, sizeof(VKO_Cond));
    cond_init_monotonic(&ctx->cond);

    return ctx;
}

void VKO_CondDestroy(VKO_Cond **cond) {
    if (!cond || !*cond) return;

    pthread_cond_destroy(&(*cond)->cond);
    VKO_Free(*cond);
    *cond = NULL;
}

void VKO_CondSignal(VKO_Cond *cond) {
    pthread_cond_signal(&cond->cond);
}

bool VKO_CondWait(VKO_Cond *cond, VKO_Mutex *mutex, int32_t timeout) {
    int e = 0;
    if (timeout < 0) {
        e = pthread_cond_wait(&cond->cond, &mutex->mutex);

    } else {
        struct timespec due = deadline_after(timeout);
        e = pthread_cond_timedwait(&cond->cond, &mutex->mutex, &due);
    }

    if (e == ETIMEDOUT) return false;

    if (e != 0)
        VKO_LogFatal("VKO_CondWait", "'SleepConditionVariableCS' failed with error 0x%X", (unsigned)e);

    return true;
}

// Threads

namespace {
enum ThreadLife : int32_t { THREAD_RUNNING = 0, THREAD_ENDED = 1, THREAD_ABANDONED = 2 };
}

struct VKO_Thread {
    pthread_t handle;
    VKO_ThreadFunc func;
    void *opaque;
    void *ret;
    std::atomic<int64_t> tid;
    std::atomic<int32_t> life;
};

static int64_t thread_self_id(void) {
    return (int64_t)syscall(SYS_gettid);
}

// Runs when the thread exits, by return or by cancellation: whoever comes
// second of the thread's end and its abandonment frees the record. A key
// destructor rather than an unwinding guard keeps cancellation free of
// landing pads in our frames.
static void thread_end(void *opaque) {
    VKO_Thread *ctx = (VKO_Thread *)opaque;
    if (ctx->life.exchange(THREAD_ENDED) == THREAD_ABANDONED) VKO_Free(ctx);
}

static pthread_key_t THREAD_END_KEY;
static pthread_once_t THREAD_END_ONCE = PTHREAD_ONCE_INIT;

static void thread_end_key_init(void) {
    pthread_key_create(&THREAD_END_KEY, thread_end);
}

static void *thread_trampoline(void *opaque) {
    VKO_Thread *ctx = (VKO_Thread *)opaque;
    pthread_setspecific(THREAD_END_KEY, ctx);

    ctx->tid.store(thread_self_id());
    ctx->ret = ctx->func(ctx->opaque);

    return NULL;
}

VKO_Thread *VKO_ThreadCreate(VKO_ThreadFunc func, void *opaque) {
    pthread_once(&THREAD_END_ONCE, thread_end_key_init);

    VKO_Thread *ctx = (VKO_Thread *)VKO_Alloc(1, sizeof(VKO_Thread));
    ctx->func = func;
    ctx->opaque = opaque;

    int e = pthread_create(&ctx->handle, NULL, thread_trampoline, ctx);
    if (e != 0) VKO_LogFatal("thread_create", "'CreateThread' failed with error 0x%X", (unsigned)e);

    return ctx;
}

void *VKO_ThreadDestroy(VKO_Thread **thread) {
    if (!thread || !*thread) return NULL;

    VKO_Thread *ctx = *thread;

    // Joining also releases the thread's resources: the handle is closed here.
    int e = pthread_join(ctx->handle, NULL);
    if (e != 0)
        VKO_LogFatal("VKO_ThreadDestroy", "'WaitForSingleObject' failed with error 0x%X", (unsigned)e);

    void *ret = ctx->ret;
    VKO_Free(ctx);
    *thread = NULL;

    return ret;
}

bool VKO_ThreadJoinTimeout(VKO_Thread **thread, int32_t timeout, void **result) {
    if (result) *result = NULL;

    if (!thread || !*thread) return true;

    if (timeout < 0) {
        void *ret = VKO_ThreadDestroy(thread);
        if (result) *result = ret;
        return true;
    }

    VKO_Thread *ctx = *thread;

    struct timespec due = deadline_after(timeout, CLOCK_REALTIME);
    int e = pthread_timedjoin_np(ctx->handle, NULL, &due);
    if (e == ETIMEDOUT) return false;

    if (e != 0)
        VKO_LogFatal("VKO_ThreadDestroy", "'WaitForSingleObject' failed with error 0x%X", (unsigned)e);

    if (result) *result = ctx->ret;

    VKO_Free(ctx);
    *thread = NULL;

    return true;
}

void VKO_ThreadCancel(VKO_Thread *thread) {
    if (thread) pthread_cancel(thread->handle);
}

void VKO_ThreadAbandon(VKO_Thread **thread) {
    if (!thread || !*thread) return;

    VKO_Thread *ctx = *thread;
    pthread_detach(ctx->handle);

    if (ctx->life.exchange(THREAD_ABANDONED) == THREAD_ENDED) VKO_Free(ctx);

    *thread = NULL;
}

int64_t VKO_ThreadGetID(VKO_Thread *thread) {
    if (!thread) return thread_self_id();

    // The new thread records its id as its first step.
    int64_t tid = 0;
    while ((tid = thread->tid.load()) == 0) VKO_Sleep(0);

    return tid;
}

// Global locks

static std::mutex GLOBAL_LOCKS[VKO_LOCK_SLOTS];
static std::atomic<uint32_t> GLOBAL_INDEX{1};

static uint32_t global_lock_bind(uint32_t *lock) {
    std::atomic_ref<uint32_t> word(*lock);

    for (uint32_t v = word.load();; v = word.load()) {
        if (v >= 2) return v;

        uint32_t expected = 0;
        if (v == 0 && word.compare_exchange_strong(expected, 1)) {
            uint32_t index = GLOBAL_INDEX.fetch_add(1) + 1;
            if (index >= VKO_LOCK_SLOTS)
                VKO_LogFatal("VKO_GlobalLock", "Global lock index of %u exceeded", VKO_LOCK_SLOTS);

            word.store(index);
            return index;
        }

        // Another thread is binding this word.
        VKO_Sleep(0);
    }
}

void VKO_GlobalLock(uint32_t *lock) {
    GLOBAL_LOCKS[global_lock_bind(lock)].lock();
}

void VKO_GlobalUnlock(uint32_t *lock) {
    GLOBAL_LOCKS[std::atomic_ref<uint32_t>(*lock).load()].unlock();
}

// Reader/writer locks

struct VKO_RWLock {
    pthread_rwlock_t rwlock;
    std::atomic<int32_t> writers;
    uint8_t index;
};

namespace {
struct RWState {
    uint16_t count;
    uint8_t read;
    uint8_t write;
};
}  // namespace

static std::atomic<uint32_t> RW_SLOTS[VKO_LOCK_SLOTS];
static thread_local RWState RW_STATE[VKO_LOCK_SLOTS];

VKO_RWLock *VKO_RWLockCreate(void) {
    VKO_RWLock *ctx = (VKO_RWLock *)VKO_Alloc(1, sizeof(VKO_RWLock));

    bool found = false;
    for (uint32_t i = 0; i < VKO_LOCK_SLOTS && !found; i++) {
        uint32_t expected = 0;
        if (RW_SLOTS[i].compare_exchange_strong(expected, 1)) {
            ctx->index = (uint8_t)i;
            found = true;
        }
    }

    if (!found)
        VKO_LogFatal("thread_rwlock_index", "Could not find a free rwlock slot, maximum is %u",
                     VKO_LOCK_SLOTS);

    // Writers queue ahead of new readers in the lock itself too, so a
    // steady stream of readers cannot starve a writer between yields.
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&ctx->rwlock, &attr);
    pthread_rwlockattr_destroy(&attr);

    return ctx;
}

void VKO_RWLockDestroy(VKO_RWLock **rwlock) {
    if (!rwlock || !*rwlock) return;

    VKO_RWLock *ctx = *rwlock;
    RW_STATE[ctx->index] = RWState{};
    RW_SLOTS[ctx->index].store(0);

    pthread_rwlock_destroy(&ctx->rwlock);
    VKO_Free(ctx);
    *rwlock = NULL;
}

// New readers let queued writers go first. A reader gives up yielding after
// a while and blocks in the lock instead, which queues it behind the writers
// anyway, so a long write does not burn a core per waiting reader.
static void rwlock_wait_writers(VKO_RWLock *ctx, bool bounded) {
    for (uint32_t spins = 0; ctx->writers.load() > 0; spins++) {
        if (bounded && spins >= 4) return;

        VKO_Sleep(0);
    }
}

void VKO_RWLockReader(VKO_RWLock *rwlock) {
    RWState *s = &RW_STATE[rwlock->index];

    if (s->count == 0) {
        rwlock_wait_writers(rwlock, true);
        pthread_rwlock_rdlock(&rwlock->rwlock);
        s->read = 1;
    }

    s->count++;
}

bool VKO_RWLockTryReader(VKO_RWLock *rwlock) {
    RWState *s = &RW_STATE[rwlock->index];

    if (s->count == 0) {
        rwlock_wait_writers(rwlock, false);
        if (pthread_rwlock_tryrdlock(&rwlock->rwlock) != 0) return false;

        s->read = 1;
    }

    s->count++;

    return true;
}

void VKO_RWLockWriter(VKO_RWLock *rwlock) {
    RWState *s = &RW_STATE[rwlock->index];

    // Upgrade: not atomic, another writer may enter in between.
    bool released = false;
    if (s->read) {
        pthread_rwlock_unlock(&rwlock->rwlock);
        s->read = 0;
        released = true;
    }

    if (s->count > 0 && !released) {
        s->count++;
        return;
    }

    rwlock->writers.fetch_add(1);
    pthread_rwlock_wrlock(&rwlock->rwlock);
    rwlock->writers.fetch_sub(1);

    s->write = 1;
    s->count++;
}

void VKO_RWLockUnlock(VKO_RWLock *rwlock) {
    RWState *s = &RW_STATE[rwlock->index];

    if (s->count == 0) return;

    if (--s->count == 0) {
        if (s->read) {
            pthread_rwlock_unlock(&rwlock->rwlock);
            s->read = 0;

        } else if (s->write) {
            pthread_rwlock_unlock(&rwlock->rwlock);
            s->write = 0;
        }
    }
}

// Thread pool

namespace {
struct PoolSlot {
    VKO_ThreadState state;
    VKO_AnonFunc func;
    VKO_AnonFunc detach;
    bool detached;
    void *opaque;
    VKO_Thread *thread;
    VKO_Mutex *mutex;
};
}  // namespace

struct VKO_ThreadPool {
    uint32_t num;
    PoolSlot *slots;
};

VKO_ThreadPool *VKO_ThreadPoolCreate(uint32_t maxThreads) {
    VKO_ThreadPool *ctx = (VKO_ThreadPool *)VKO_Alloc(1, sizeof(VKO_ThreadPool));
    ctx->num = maxThreads + 1;
    ctx->slots = (PoolSlot *)VKO_Alloc(ctx->num, sizeof(PoolSlot));

    for (uint32_t i = 0; i < ctx->num; i++) {
        ctx->slots[i].state = VKO_THREAD_STATE_FREE;
        ctx->slots[i].mutex = VKO_MutexCreate();
    }

    return ctx;
}

static void *pool_worker(void *opaque) {
    PoolSlot *slot = (PoolSlot *)opaque;

    slot->func(slot->opaque);

    VKO_MutexLock(slot->mutex);

    if (slot->detached) {
        if (slot->detach) slot->detach(slot->opaque);

        slot->state = VKO_THREAD_STATE_FREE;

    } else {
        slot->state = VKO_THREAD_STATE_FINISHED;
    }

    VKO_MutexUnlock(slot->mutex);

    return NULL;
}

uint32_t VKO_ThreadPoolDispatch(VKO_ThreadPool *pool, VKO_AnonFunc func, void *opaque) {
    for (uint32_t i = 1; i < pool->num; i++) {
        PoolSlot *slot = &pool->slots[i];

        VKO_MutexLock(slot->mutex);

        if (slot->state == VKO_THREAD_STATE_FREE) {
            // The previous job has ended: reap its thread.
            VKO_ThreadDestroy(&slot->thread);

            slot->func = func;
            slot->opaque = opaque;
            slot->detach = NULL;
            slot->detached = false;
            slot->state = VKO_THREAD_STATE_RUNNING;
            slot->thread = VKO_ThreadCreate(pool_worker, slot);

            VKO_MutexUnlock(slot->mutex);
            return i;
        }

        VKO_MutexUnlock(slot->mutex);
    }

    VKO_Log("VKO_ThreadPoolDispatch", "Could not find available index");

    return 0;
}

void VKO_ThreadPoolDetach(VKO_ThreadPool *pool, uint32_t index, VKO_AnonFunc detach) {
    if (index >= pool->num) return;

    PoolSlot *slot = &pool->slots[index];

    VKO_MutexLock(slot->mutex);

    if (slot->state == VKO_THREAD_STATE_RUNNING) {
        // Detached even without a function: the slot frees itself at the end.
        slot->detach = detach;
        slot->detached = true;

    } else if (slot->state == VKO_THREAD_STATE_FINISHED) {
        if (detach) detach(slot->opaque);

        slot->state = VKO_THREAD_STATE_FREE;
    }

    VKO_MutexUnlock(slot->mutex);
}

VKO_ThreadState VKO_ThreadPoolPoll(VKO_ThreadPool *pool, uint32_t index, void **opaque) {
    if (index >= pool->num) {
        if (opaque) *opaque = NULL;

        return VKO_THREAD_STATE_FREE;
    }

    PoolSlot *slot = &pool->slots[index];

    VKO_MutexLock(slot->mutex);
    VKO_ThreadState state = slot->state;
    if (opaque) *opaque = slot->opaque;
    VKO_MutexUnlock(slot->mutex);

    return state;
}

void VKO_ThreadPoolDestroy(VKO_ThreadPool **pool, VKO_AnonFunc detach) {
    if (!pool || !*pool) return;

    VKO_ThreadPool *ctx = *pool;

    for (uint32_t i = 0; i < ctx->num; i++) {
        VKO_ThreadPoolDetach(ctx, i, detach);
        VKO_ThreadDestroy(&ctx->slots[i].thread);
        VKO_MutexDestroy(&ctx->slots[i].mutex);
    }

    VKO_Free(ctx->slots);
    VKO_Free(ctx);
    *pool = NULL;
}

// Waitables

struct VKO_Waitable {
    std::atomic<bool> signaled;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

VKO_Waitable *VKO_WaitableCreate(void) {
    VKO_Waitable *ctx = (VKO_Waitable *)VKO_Alloc(1, sizeof(VKO_Waitable));
    pthread_mutex_init(&ctx->mutex, NULL);
    cond_init_monotonic(&ctx->cond);

    return ctx;
}

void VKO_WaitableDestroy(VKO_Waitable **waitable) {
    if (!waitable || !*waitable) return;

    VKO_Waitable *ctx = *waitable;
    pthread_cond_destroy(&ctx->cond);
    pthread_mutex_destroy(&ctx->mutex);
    VKO_Free(ctx);
    *waitable = NULL;
}

void VKO_WaitableSignal(VKO_Waitable *waitable) {
    pthread_mutex_lock(&waitable->mutex);

    if (!waitable->signaled.exchange(true)) pthread_cond_signal(&waitable->cond);

    pthread_mutex_unlock(&waitable->mutex);
}

// A signal that arrives within a short spin saves a sleep in the kernel. It
// is still taken under the mutex: the signaling thread may be inside
// VKO_WaitableSignal until it unlocks, and a waiter commonly destroys the
// waitable right after its wait returns.
static void waitable_spin(VKO_Waitable *waitable, uint32_t spins) {
    for (uint32_t i = 0; i < spins && !waitable->signaled.load(std::memory_order_relaxed); i++)
        __builtin_ia32_pause();
}

bool VKO_WaitableWait(VKO_Waitable *waitable, int32_t timeout) {
    if (timeout != 0) waitable_spin(waitable, 200);

    pthread_mutex_lock(&waitable->mutex);

    // Wake-ups that find no signal (spurious, or taken by another waiter)
    // wait again, against the original deadline.
    if (timeout < 0) {
        while (!waitable->signaled.load()) {
            int e = pthread_cond_wait(&waitable->cond, &waitable->mutex);
            if (e != 0)
                VKO_LogFatal("VKO_CondWait", "'SleepConditionVariableCS' failed with error 0x%X",
                             (unsigned)e);
        }

    } else if (timeout > 0) {
        struct timespec due = deadline_after(timeout);

        while (!waitable->signaled.load()) {
            int e = pthread_cond_timedwait(&waitable->cond, &waitable->mutex, &due);
            if (e == ETIMEDOUT) break;

            if (e != 0)
                VKO_LogFatal("VKO_CondWait", "'SleepConditionVariableCS' failed with error 0x%X",
                             (unsigned)e);
        }
    }

    bool signaled = waitable->signaled.exchange(false);

    pthread_mutex_unlock(&waitable->mutex);

    return signaled;
}
