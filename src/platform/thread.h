// Threads, locks, waitables and the thread pool. Failures of system calls
// that should never fail end the process.
#pragma once

#include <cstdint>

struct VKO_Mutex;
struct VKO_Cond;
struct VKO_Thread;
struct VKO_RWLock;
struct VKO_ThreadPool;
struct VKO_Waitable;

typedef void *(*VKO_ThreadFunc)(void *opaque);
typedef void (*VKO_AnonFunc)(void *opaque);

// Thread pool slot states.
enum VKO_ThreadState : uint32_t {
    VKO_THREAD_STATE_FINISHED = 0,
    VKO_THREAD_STATE_FREE = 1,
    VKO_THREAD_STATE_RUNNING = 2,
};

// How many global locks and reader/writer locks can exist at once.
#define VKO_LOCK_SLOTS 255

// Atomics: sequentially consistent; Add returns the new value.
int32_t VKO_AtomicAdd32(int32_t *value, int32_t delta);
int64_t VKO_AtomicAdd64(int64_t *value, int64_t delta);
bool VKO_AtomicCAS32(int32_t *value, int32_t expected, int32_t desired);
int32_t VKO_AtomicGet32(const int32_t *value);
int64_t VKO_AtomicGet64(const int64_t *value);
void VKO_AtomicSet32(int32_t *value, int32_t desired);

// Recursive mutex.
VKO_Mutex *VKO_MutexCreate(void);
void VKO_MutexDestroy(VKO_Mutex **mutex);
void VKO_MutexLock(VKO_Mutex *mutex);
void VKO_MutexUnlock(VKO_Mutex *mutex);

// Condition variable. Wait: mutex locked once by the caller; timeout in ms,
// negative waits without limit; false on time-out.
VKO_Cond *VKO_CondCreate(void);
void VKO_CondDestroy(VKO_Cond **cond);
void VKO_CondSignal(VKO_Cond *cond);
bool VKO_CondWait(VKO_Cond *cond, VKO_Mutex *mutex, int32_t timeout);

// Threads: Destroy joins and returns the thread function's result.
VKO_Thread *VKO_ThreadCreate(VKO_ThreadFunc func, void *opaque);
void *VKO_ThreadDestroy(VKO_Thread **thread);
int64_t VKO_ThreadGetID(VKO_Thread *thread);

// For ending threads that do not stop on their own. JoinTimeout: as Destroy
// when the thread ends within timeout ms (result through *result, may be
// NULL); on time-out returns false and keeps the record. Cancel requests
// cancellation at the thread's next cancellation point. Abandon lets the
// thread run on unjoined; its record is freed when it ends; NULLs the pointer.
bool VKO_ThreadJoinTimeout(VKO_Thread **thread, int32_t timeout, void **result);
void VKO_ThreadCancel(VKO_Thread *thread);
void VKO_ThreadAbandon(VKO_Thread **thread);

// Global locks: a static uint32_t word of 0 binds itself on first use.
void VKO_GlobalLock(uint32_t *lock);
void VKO_GlobalUnlock(uint32_t *lock);

// Reentrant reader/writer lock, writers favoured. Every Reader, successful
// TryReader and Writer call is matched by one Unlock.
VKO_RWLock *VKO_RWLockCreate(void);
void VKO_RWLockDestroy(VKO_RWLock **rwlock);
void VKO_RWLockReader(VKO_RWLock *rwlock);
bool VKO_RWLockTryReader(VKO_RWLock *rwlock);
void VKO_RWLockWriter(VKO_RWLock *rwlock);
void VKO_RWLockUnlock(VKO_RWLock *rwlock);

// Thread pool of n slots (indexes 1..n); jobs are polled by index.
VKO_ThreadPool *VKO_ThreadPoolCreate(uint32_t maxThreads);
void VKO_ThreadPoolDestroy(VKO_ThreadPool **pool, VKO_AnonFunc detach);
uint32_t VKO_ThreadPoolDispatch(VKO_ThreadPool *pool, VKO_AnonFunc func, void *opaque);
void VKO_ThreadPoolDetach(VKO_ThreadPool *pool, uint32_t index, VKO_AnonFunc detach);
VKO_ThreadState VKO_ThreadPoolPoll(VKO_ThreadPool *pool, uint32_t index, void **opaque);

// Self-resetting event: signals before a wait are kept, several count as one.
VKO_Waitable *VKO_WaitableCreate(void);
void VKO_WaitableDestroy(VKO_Waitable **waitable);
void VKO_WaitableSignal(VKO_Waitable *waitable);
bool VKO_WaitableWait(VKO_Waitable *waitable, int32_t timeout);
