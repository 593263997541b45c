#include "platform/map.h"

#include <cstdlib>
#include <cstring>

#include "platform/memory.h"

namespace {

// key NULL marks a hole left by a removal. The full hash is kept so that a
// scan compares text only for entries that can match.
struct HashEntry {
    char *key;
    void *value;
    uint32_t hash;
    uint32_t count;  // in a bucket's first entry: the bucket's entries, holes included
};

// The first entry lives in the bucket itself, so most lookups touch one
// 32-byte bucket and the key text; later entries go to an array that grows by
// doubling, its capacity the power of two that holds them.
struct HashBucket {
    HashEntry first;
    HashEntry *more;
};
static_assert(sizeof(HashBucket) == 32);

HashEntry *entry_at(HashBucket *b, uint32_t i) {
    return i == 0 ? &b->first : &b->more[i - 1];
}

// Integer keys are the text "#" + lower-case hex without leading zeros.
constexpr size_t INT_KEY_SIZE = 32;

void int_key(uint64_t key, char out[INT_KEY_SIZE]) {
    static const char digits[] = "0123456789abcdef";
    char tmp[16];
    size_t n = 0;
    do {
        tmp[n++] = digits[key & 0xf];
        key >>= 4;
    } while (key != 0);

    out[0] = '#';
    for (size_t i = 0; i < n; i++) out[1 + i] = tmp[n - 1 - i];
    out[1 + n] = '\0';
}

}  // namespace

struct VKO_Hash {
    uint32_t num_buckets;
    uint64_t mod_magic;   // turns "hash % num_buckets" into two multiplications
    HashBucket *buckets;  // aligned so that no bucket straddles two cache lines
    void *block;
};

// Exact remainder of a 32-bit hash by the bucket count (Lemire's method): a
// division would sit in the middle of every lookup.
static HashBucket *bucket_of(VKO_Hash *hash, uint32_t h) {
    uint64_t low = hash->mod_magic * h;
    uint32_t index = (uint32_t)(((unsigned __int128)low * hash->num_buckets) >> 64);
    return &hash->buckets[index];
}

static HashEntry *hash_find(VKO_Hash *hash, const char *key, uint32_t h) {
    HashBucket *b = bucket_of(hash, h);
    for (uint32_t i = 0; i < b->first.count; i++) {
        HashEntry *e = entry_at(b, i);
        if (e->key && e->hash == h && strcmp(e->key, key) == 0) return e;
    }
    return nullptr;
}

VKO_Hash *VKO_HashCreate(uint32_t num_buckets) {
    VKO_Hash *hash = (VKO_Hash *)VKO_Alloc(1, sizeof(VKO_Hash));
    hash->num_buckets = num_buckets == 0 ? 100 : num_buckets;
    hash->mod_magic = UINT64_MAX / hash->num_buckets + 1;
    hash->block = VKO_Alloc(hash->num_buckets + (size_t)1, sizeof(HashBucket));
    hash->buckets =
        (HashBucket *)(((uintptr_t)hash->block + sizeof(HashBucket) - 1) & ~(sizeof(HashBucket) - 1));
    return hash;
}

void VKO_HashDestroy(VKO_Hash **hash, void (*free_func)(void *value)) {
    if (!hash || !*hash) return;
    VKO_Hash *h = *hash;

    for (uint32_t x = 0; x < h->num_buckets; x++) {
        HashBucket *b = &h->buckets[x];
        for (uint32_t i = 0; i < b->first.count; i++) {
            HashEntry *e = entry_at(b, i);
            if (!e->key) continue;
            if (free_func && e->value) free_func(e->value);
            VKO_Free(e->key);
        }
        VKO_Free(b->more);
    }

    VKO_Free(h->block);
    VKO_Free(h);
    *hash = nullptr;
}

void *VKO_HashSet(VKO_Hash *hash, const char *key, void *value) {
    if (!hash || !key) return nullptr;

    uint32_t h = VKO_DJB2(key);
    HashBucket *b = bucket_of(hash, h);
    HashEntry *hole = nullptr;

    for (uint32_t i = 0; i < b->first.count; i++) {
        HashEntry *e = entry_at(b, i);
        if (!e->key) {
            hole = e;
        } else if (e->hash == h && strcmp(e->key, key) == 0) {
            void *prev = e->value;
            e->value = value;
            return prev;
        }
    }

    if (!hole) {
        // The array doubles when what it holds is 0 or a power of two: growing
        // by one would copy it on every insert into a long bucket.
        uint32_t held = b->first.count - 1;
        if (b->first.count > 0 && (held & (held - 1)) == 0)
            b->more = (HashEntry *)VKO_Realloc(b->more, held == 0 ? 1 : held * (size_t)2, sizeof(HashEntry));
        hole = entry_at(b, b->first.count++);
    }

    hole->key = VKO_Strdup(key);
    hole->value = value;
    hole->hash = h;
    return nullptr;
}

void *VKO_HashSetInt(VKO_Hash *hash, uint64_t key, void *value) {
    char text[INT_KEY_SIZE];
    int_key(key, text);
    return VKO_HashSet(hash, text, value);
}

void *VKO_HashGet(VKO_Hash *hash, const char *key) {
    if (!hash || !key) return nullptr;
    HashEntry *e = hash_find(hash, key, VKO_DJB2(key));
    return e ? e->value : nullptr;
}

void *VKO_HashGetInt(VKO_Hash *hash, uint64_t key) {
    char text[INT_KEY_SIZE];
    int_key(key, text);
    return VKO_HashGet(hash, text);
}

void *VKO_HashPop(VKO_Hash *hash, const char *key) {
    if (!hash || !key) return nullptr;
    HashEntry *e = hash_find(hash, key, VKO_DJB2(key));
    if (!e) return nullptr;

    void *value = e->value;
    VKO_Free(e->key);
    e->key = nullptr;
    e->value = nullptr;
    e->hash = 0;
    return value;
}

void *VKO_HashPopInt(VKO_Hash *hash, uint64_t key) {
    char text[INT_KEY_SIZE];
    int_key(key, text);
    return VKO_HashPop(hash, text);
}

bool VKO_HashGetNextKey(VKO_Hash *hash, uint64_t *iter, const char **key) {
    if (key) *key = nullptr;
    if (!hash || !iter) return false;

    uint32_t x = (uint32_t)(*iter & 0xffffffff);
    uint32_t i = (uint32_t)(*iter >> 32);

    for (; x < hash->num_buckets; x++, i = 0) {
        HashBucket *b = &hash->buckets[x];
        for (; i < b->first.count; i++) {
            HashEntry *e = entry_at(b, i);
            if (!e->key) continue;
            if (key) *key = e->key;
            *iter = ((uint64_t)(i + 1) << 32) | x;
            return true;
        }
    }

    *iter = hash->num_buckets;
    return false;
}

bool VKO_HashGetNextKeyInt(VKO_Hash *hash, uint64_t *iter, uint64_t *key) {
    const char *text = nullptr;
    if (!VKO_HashGetNextKey(hash, iter, &text) || text[0] != '#') return false;

    // Read as a signed 64-bit number: larger keys saturate at 2^63 - 1.
    uint64_t v = 0;
    for (const char *c = text + 1; *c; c++) {
        uint32_t d;
        if (*c >= '0' && *c <= '9')
            d = *c - '0';
        else if (*c >= 'a' && *c <= 'f')
            d = *c - 'a' + 10;
        else if (*c >= 'A' && *c <= 'F')
            d = *c - 'A' + 10;
        else
            break;

        if (v > ((uint64_t)INT64_MAX - d) / 16) {
            v = INT64_MAX;
            break;
        }
        v = v * 16 + d;
    }

    if (key) *key = v;
    return true;
}

VKO_List *VKO_ListCreate(void) {
    return (VKO_List *)VKO_Alloc(1, sizeof(VKO_List));
}

VKO_ListNode *VKO_ListAppend(VKO_List *list, void *value) {
    VKO_ListNode *node = (VKO_ListNode *)VKO_Alloc(1, sizeof(VKO_ListNode));
    node->value = value;
    node->prev = list->last;

    if (list->last)
        list->last->next = node;
    else
        list->first = node;
    list->last = node;

    return node;
}

VKO_ListNode *VKO_ListGetFirst(VKO_List *list) {
    return list ? list->first : nullptr;
}

void *VKO_ListRemove(VKO_List *list, VKO_ListNode *node) {
    if (!list || !node) return nullptr;

    if (node->prev)
        node->prev->next = node->next;
    else
        list->first = node->next;

    if (node->next)
        node->next->prev = node->prev;
    else
        list->last = node->prev;

    void *value = node->value;
    VKO_Free(node);
    return value;
}

void VKO_ListDestroy(VKO_List **list, void (*free_func)(void *value)) {
    if (!list || !*list) return;

    for (VKO_ListNode *n = (*list)->first; n;) {
        VKO_ListNode *next = n->next;
        if (free_func) free_func(n->value);
        VKO_Free(n);
        n = next;
    }

    VKO_Free(*list);
    *list = nullptr;
}
