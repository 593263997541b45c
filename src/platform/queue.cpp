#include "platform/queue.h"

#include <atomic>
#include <cstring>

#include "platform/memory.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t SLOT_EMPTY = 0;
constexpr uint32_t SLOT_FULL = 1;
constexpr uint64_t CACHE_LINE = 64;

// A slot is its header followed by its buffer, starting on a cache line, so a
// small record and its state travel between cores as one line and neighbouring
// slots never share one.
struct QueueSlot {
    uint32_t state;  // atomic: published after buffer and size, released after use
    uint8_t holds_ptr;
    uint8_t pad[3];
    uint64_t size;
};
constexpr uint64_t SLOT_HEADER = sizeof(QueueSlot);
static_assert(SLOT_HEADER == 16);

uint32_t load(const uint32_t &v, std::memory_order mo) {
    return std::atomic_ref<uint32_t>((uint32_t &)v).load(mo);
}
void store(uint32_t &v, uint32_t x, std::memory_order mo) {
    std::atomic_ref<uint32_t>(v).store(x, mo);
}
uint64_t load64(const uint64_t &v, std::memory_order mo) {
    return std::atomic_ref<uint64_t>((uint64_t &)v).load(mo);
}
void store64(uint64_t &v, uint64_t x, std::memory_order mo) {
    std::atomic_ref<uint64_t>(v).store(x, mo);
}

uint8_t *align_up(uint8_t *p) {
    return (uint8_t *)(((uintptr_t)p + CACHE_LINE - 1) & ~(uintptr_t)(CACHE_LINE - 1));
}

// How often the consumer looks again before it sleeps: a stream of records
// then costs no wake-up per record. About a few microseconds.
constexpr int SPIN_COUNT = 200;

// How many slots ahead a producer fetches the slot it will fill.
constexpr uint32_t PREFETCH_AHEAD = 2;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Fetches a line ready for writing (the default prefetch fetches it shared and
// the write then waits again). Older x86 processors run PREFETCHW as a no-op.
inline void prefetch_for_write(const void *p) {
#if defined(__x86_64__)
    asm volatile("prefetchw %0" : : "m"(*(const char *)p));
#else
    __builtin_prefetch(p, 1);
#endif
}

}  // namespace

// The padding keeps what producers write, what the consumer writes and the
// read-mostly fields on separate cache lines.
struct VKO_Queue {
    uint64_t buffer_size;
    uint32_t num_slots;
    uint64_t stride;  // bytes from one slot to the next
    uint8_t *slots;
    void *block;
    VKO_Waitable *waitable;
    VKO_Mutex *mutex;

    uint8_t pad0[CACHE_LINE];
    uint32_t input;    // next slot to fill; written under the mutex
    uint64_t commits;  // slots ever committed; written under the mutex

    uint8_t pad1[CACHE_LINE];
    uint32_t output;  // next slot to read; written by the consumer only

    uint8_t pad2[CACHE_LINE];
    uint32_t waiting;  // the consumer may be waiting on the waitable

    uint8_t pad3[CACHE_LINE];
};

static QueueSlot *slot_at(VKO_Queue *q, uint32_t index) {
    return (QueueSlot *)(q->slots + index * q->stride);
}
static uint8_t *slot_buffer(QueueSlot *s) {
    return (uint8_t *)s + SLOT_HEADER;
}
static uint32_t next_index(VKO_Queue *q, uint32_t index) {
    return index + 1 == q->num_slots ? 0 : index + 1;
}

VKO_Queue *VKO_QueueCreate(uint32_t num_slots, uint64_t buffer_size) {
    VKO_Queue *q = (VKO_Queue *)VKO_Alloc(1, sizeof(VKO_Queue));

    // A ring of 0 slots has no slot to index; it acts as a ring of 1.
    q->num_slots = num_slots == 0 ? 1 : num_slots;
    q->buffer_size = buffer_size < 8 ? 8 : buffer_size;

    // Sizes that overflow are passed on as impossible ones, so the allocator
    // ends the process with its usual message.
    uint64_t stride = 0, total = 0;
    bool overflow = __builtin_add_overflow(q->buffer_size, SLOT_HEADER + CACHE_LINE - 1, &stride);
    stride &= ~(CACHE_LINE - 1);
    overflow |= __builtin_mul_overflow(stride, (uint64_t)q->num_slots, &total);
    overflow |= __builtin_add_overflow(total, CACHE_LINE, &total);
    q->block = VKO_Alloc(1, overflow || total > SIZE_MAX ? SIZE_MAX : (size_t)total);

    q->stride = stride;
    q->slots = align_up((uint8_t *)q->block);
    q->waitable = VKO_WaitableCreate();
    q->mutex = VKO_MutexCreate();
    return q;
}

void VKO_QueueDestroy(VKO_Queue **queue) {
    if (!queue || !*queue) return;
    VKO_Queue *q = *queue;

    VKO_MutexDestroy(&q->mutex);
    VKO_WaitableDestroy(&q->waitable);
    VKO_Free(q->block);
    VKO_Free(q);
    *queue = nullptr;
}

// True when the queue was full at one instant, seen without the lock. The
// commit count never repeats, so an unchanged count around the state read
// means the input slot was that slot at that moment.
static bool queue_seen_full(VKO_Queue *q) {
    uint64_t before = load64(q->commits, std::memory_order_acquire);
    QueueSlot *s = slot_at(q, (uint32_t)(before % q->num_slots));
    bool full = load(s->state, std::memory_order_acquire) != SLOT_EMPTY;
    return full && load64(q->commits, std::memory_order_acquire) == before;
}

// Producer side, mutex held: publish the input slot and advance. The index and
// count move first: a length read in between counts this slot already, rather
// than taking a ring with one queued slot for a full one.
static void queue_commit(VKO_Queue *q, QueueSlot *s, uint64_t size, uint8_t holds_ptr) {
    s->size = size;
    s->holds_ptr = holds_ptr;

    uint32_t next = next_index(q, q->input);
    store(q->input, next, std::memory_order_release);
    store64(q->commits, q->commits + 1, std::memory_order_release);
    store(s->state, SLOT_FULL, std::memory_order_seq_cst);

    // The consumer last wrote the slots ahead; fetching one now keeps that
    // cache miss out of a later producer's time under the lock.
    if (q->num_slots > 2 * PREFETCH_AHEAD) {
        uint32_t ahead = next + PREFETCH_AHEAD;
        prefetch_for_write(slot_at(q, ahead >= q->num_slots ? ahead - q->num_slots : ahead));
    }
}

// After a commit, outside the lock: wakes the consumer if it may be waiting.
// Pairs with queue_wait: either the consumer sees the slot full or this sees
// its waiting flag.
static void queue_signal(VKO_Queue *q) {
    if (load(q->waiting, std::memory_order_seq_cst)) VKO_WaitableSignal(q->waitable);
}

void *VKO_QueueGetInputBuffer(VKO_Queue *queue) {
    // Producers retrying on a full ring do not fight over the lock.
    if (queue_seen_full(queue)) return nullptr;

    VKO_MutexLock(queue->mutex);

    QueueSlot *s = slot_at(queue, queue->input);
    if (load(s->state, std::memory_order_acquire) != SLOT_EMPTY) {
        VKO_MutexUnlock(queue->mutex);
        return nullptr;
    }

    return slot_buffer(s);
}

void VKO_QueuePush(VKO_Queue *queue, uint64_t size) {
    if (size > 0) queue_commit(queue, slot_at(queue, queue->input), size, 0);
    VKO_MutexUnlock(queue->mutex);

    if (size > 0) queue_signal(queue);
}

bool VKO_QueuePushPtr(VKO_Queue *queue, const void *ptr, uint64_t size) {
    void *buf = VKO_QueueGetInputBuffer(queue);
    if (!buf) return false;

    memcpy(buf, &ptr, sizeof(ptr));
    queue_commit(queue, slot_at(queue, queue->input), size, 1);
    VKO_MutexUnlock(queue->mutex);

    queue_signal(queue);
    return true;
}

// Consumer: waits until the output slot is full. Each wait is given the whole
// timeout; a wake whose slot was already taken waits again.
static bool queue_wait(VKO_Queue *q, int32_t timeout) {
    QueueSlot *s = slot_at(q, q->output);

    if (load(s->state, std::memory_order_acquire) == SLOT_FULL) return true;
    if (timeout == 0) return false;

    for (int i = 0; i < SPIN_COUNT; i++) {
        cpu_relax();
        if (load(s->state, std::memory_order_acquire) == SLOT_FULL) return true;
    }

    while (true) {
        store(q->waiting, 1, std::memory_order_seq_cst);
        if (load(s->state, std::memory_order_seq_cst) == SLOT_FULL) break;

        bool signaled = VKO_WaitableWait(q->waitable, timeout);
        if (!signaled || load(s->state, std::memory_order_acquire) == SLOT_FULL) {
            store(q->waiting, 0, std::memory_order_relaxed);
            return signaled;
        }
    }

    store(q->waiting, 0, std::memory_order_relaxed);
    return true;
}

static void queue_release(VKO_Queue *q) {
    uint32_t out = q->output;
    store(slot_at(q, out)->state, SLOT_EMPTY, std::memory_order_release);
    store(q->output, next_index(q, out), std::memory_order_release);
}

bool VKO_QueueGetOutputBuffer(VKO_Queue *queue, int32_t timeout, void **buffer, uint64_t *size) {
    if (!queue_wait(queue, timeout)) return false;

    QueueSlot *s = slot_at(queue, queue->output);
    if (buffer) *buffer = slot_buffer(s);
    if (size) *size = s->size;
    return true;
}

bool VKO_QueueGetLastOutputBuffer(VKO_Queue *queue, int32_t timeout, void **buffer, uint64_t *size) {
    if (!queue_wait(queue, timeout)) return false;

    while (true) {
        uint32_t out = queue->output, next = next_index(queue, out);

        // In a ring of one slot the next slot is this one: nothing newer exists.
        if (next == out || load(slot_at(queue, next)->state, std::memory_order_acquire) != SLOT_FULL) break;
        queue_release(queue);
    }

    return VKO_QueueGetOutputBuffer(queue, 0, buffer, size);
}

void VKO_QueuePop(VKO_Queue *queue) {
    // Popping an empty slot would let the output index run ahead of the input.
    if (load(slot_at(queue, queue->output)->state, std::memory_order_acquire) != SLOT_FULL) return;
    queue_release(queue);
}

bool VKO_QueuePopPtr(VKO_Queue *queue, int32_t timeout, void **ptr, uint64_t *size) {
    if (!queue_wait(queue, timeout)) return false;

    QueueSlot *s = slot_at(queue, queue->output);
    if (ptr) memcpy(ptr, slot_buffer(s), sizeof(*ptr));
    if (size) *size = s->size;
    queue_release(queue);
    return true;
}

void VKO_QueueFlush(VKO_Queue *queue, void (*free_func)(void *ptr)) {
    while (true) {
        QueueSlot *s = slot_at(queue, queue->output);
        if (load(s->state, std::memory_order_acquire) != SLOT_FULL) break;

        if (s->holds_ptr && free_func) {
            void *ptr;
            memcpy(&ptr, slot_buffer(s), sizeof(ptr));
            free_func(ptr);
        }
        queue_release(queue);
    }
}

uint32_t VKO_QueueGetLength(VKO_Queue *queue) {
    uint32_t out = load(queue->output, std::memory_order_acquire);
    uint32_t in = load(queue->input, std::memory_order_acquire);

    // Equal indices mean either empty or full; the slot's state tells which.
    if (in == out)
        return load(slot_at(queue, out)->state, std::memory_order_acquire) == SLOT_FULL ? queue->num_slots
                                                                                        : 0;

    return in > out ? in - out : queue->num_slots - out + in;
}
