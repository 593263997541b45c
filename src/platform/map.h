// Containers of the platform layer: a chained hash map from text keys (or
// 64-bit integer keys kept as the text "#<hex>") to opaque pointers, and a
// doubly linked list of opaque pointers. Neither locks; callers serialise.
#pragma once

#include <cstdint>

// Hash map. The bucket count is fixed at creation; iteration runs in bucket
// order, then in entry order within a bucket.
struct VKO_Hash;

// 0 buckets means 100.
VKO_Hash *VKO_HashCreate(uint32_t num_buckets);

// Frees keys and the map; calls free_func (when given) on every stored non-NULL
// value. Clears *hash. NULL or *hash NULL is ignored.
void VKO_HashDestroy(VKO_Hash **hash, void (*free_func)(void *value));

// Stores value under a copy of key; returns the value it replaces, or NULL.
void *VKO_HashSet(VKO_Hash *hash, const char *key, void *value);
void *VKO_HashSetInt(VKO_Hash *hash, uint64_t key, void *value);

void *VKO_HashGet(VKO_Hash *hash, const char *key);
void *VKO_HashGetInt(VKO_Hash *hash, uint64_t key);

// Removes the entry and returns its value (NULL when absent).
void *VKO_HashPop(VKO_Hash *hash, const char *key);
void *VKO_HashPopInt(VKO_Hash *hash, uint64_t key);

// Iteration: start *iter at 0. The key text belongs to the map. Popping the key
// just returned does not disturb the iteration; inserting may.
bool VKO_HashGetNextKey(VKO_Hash *hash, uint64_t *iter, const char **key);

// For maps of integer keys only: false at the end or at the first key that is
// not an integer key. Keys above 2^63 - 1 come back as 2^63 - 1.
bool VKO_HashGetNextKeyInt(VKO_Hash *hash, uint64_t *iter, uint64_t *key);

// Doubly linked list. Values are not owned.
struct VKO_ListNode {
    VKO_ListNode *prev;
    VKO_ListNode *next;
    void *value;
};

struct VKO_List {
    VKO_ListNode *first;
    VKO_ListNode *last;
};

VKO_List *VKO_ListCreate(void);

// Returns the new tail node.
VKO_ListNode *VKO_ListAppend(VKO_List *list, void *value);

VKO_ListNode *VKO_ListGetFirst(VKO_List *list);

// Unlinks and frees node; returns its value.
void *VKO_ListRemove(VKO_List *list, VKO_ListNode *node);

// Frees every node, calling free_func (when given) on each value, NULL values
// included. Clears *list.
void VKO_ListDestroy(VKO_List **list, void (*free_func)(void *value));
