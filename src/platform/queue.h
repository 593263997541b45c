// Slot queue: the hand-off between threads. A ring of fixed-size buffers that
// any number of producers fill in place and exactly one consumer reads in place,
// with no allocation per message. A slot carries either bytes or one pointer to
// a heap object that the consumer takes over. A full queue is not an error: the
// producer gets NULL / false and drops or retries; the ring never grows.
#pragma once

#include <cstdint>

struct VKO_Queue;

// Buffer sizes below 8 are raised to 8 so that a pointer always fits.
VKO_Queue *VKO_QueueCreate(uint32_t num_slots, uint64_t buffer_size);

// Stored pointers are not freed (flush first). Clears *queue.
void VKO_QueueDestroy(VKO_Queue **queue);

// Producer: returns the next slot's buffer with the producer lock held, or NULL
// (lock released) when the queue is full. Every non-NULL result must be followed
// by VKO_QueuePush, which commits `size` bytes (0 commits nothing) and unlocks.
void *VKO_QueueGetInputBuffer(VKO_Queue *queue);
void VKO_QueuePush(VKO_Queue *queue, uint64_t size);

// Producer: queues a pointer; false when full (the caller keeps the object).
bool VKO_QueuePushPtr(VKO_Queue *queue, const void *ptr, uint64_t size);

// Consumer: the oldest queued slot's buffer and size; it stays queued until
// VKO_QueuePop. timeout is in ms, negative waits without limit, 0 never waits.
bool VKO_QueueGetOutputBuffer(VKO_Queue *queue, int32_t timeout, void **buffer, uint64_t *size);

// Consumer: releases every queued slot but the newest and returns that one (it
// stays queued until VKO_QueuePop). Dropped pointers are not freed: for byte
// queues only.
bool VKO_QueueGetLastOutputBuffer(VKO_Queue *queue, int32_t timeout, void **buffer, uint64_t *size);

// Consumer: releases the slot returned by the two calls above.
void VKO_QueuePop(VKO_Queue *queue);

// Consumer: takes the oldest stored pointer and releases its slot at once.
bool VKO_QueuePopPtr(VKO_Queue *queue, int32_t timeout, void **ptr, uint64_t *size);

// Consumer: releases every queued slot, calling free_func (when given) on each
// stored pointer.
void VKO_QueueFlush(VKO_Queue *queue, void (*free_func)(void *ptr));

// Number of queued slots; a full queue reports its slot count.
uint32_t VKO_QueueGetLength(VKO_Queue *queue);
