#include "platform/map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"

namespace {

std::vector<std::string> keys_in_order(VKO_Hash *h) {
    std::vector<std::string> out;
    uint64_t iter = 0;
    const char *key = nullptr;
    while (VKO_HashGetNextKey(h, &iter, &key)) out.push_back(key);
    EXPECT_EQ(key, nullptr);
    return out;
}

void *val(uintptr_t v) {
    return (void *)v;
}

int g_freed = 0;
void count_free(void *) {
    g_freed++;
}

}  // namespace

TEST(Hash, SetGetReplacePop) {
    VKO_Hash *h = VKO_HashCreate(0);
    EXPECT_EQ(VKO_HashSet(h, "alpha", val(1)), nullptr);
    EXPECT_EQ(VKO_HashSet(h, "beta", val(2)), nullptr);
    EXPECT_EQ(VKO_HashGet(h, "alpha"), val(1));
    EXPECT_EQ(VKO_HashGet(h, "gamma"), nullptr);

    // A second set returns the first value and keeps one entry.
    EXPECT_EQ(VKO_HashSet(h, "alpha", val(3)), val(1));
    EXPECT_EQ(VKO_HashGet(h, "alpha"), val(3));
    EXPECT_EQ(keys_in_order(h).size(), 2u);

    EXPECT_EQ(VKO_HashPop(h, "alpha"), val(3));
    EXPECT_EQ(VKO_HashPop(h, "alpha"), nullptr);
    EXPECT_EQ(VKO_HashGet(h, "alpha"), nullptr);
    EXPECT_EQ(keys_in_order(h), std::vector<std::string>{"beta"});

    // Keys are copied: the caller's buffer may change afterwards.
    char key[] = "temp";
    VKO_HashSet(h, key, val(9));
    key[0] = 'x';
    EXPECT_EQ(VKO_HashGet(h, "temp"), val(9));

    VKO_HashDestroy(&h, nullptr);
    EXPECT_EQ(h, nullptr);
    VKO_HashDestroy(&h, nullptr);
    VKO_HashDestroy(nullptr, nullptr);
}

TEST(Hash, IterationFollowsBucketThenEntryOrder) {
    // Keys come in order of DJB2 % bucket count, ties in insertion order; 0
    // buckets means 100.
    for (uint32_t buckets : {0u, 1u, 3u, 64u, 1000u, 65537u}) {
        VKO_Hash *h = VKO_HashCreate(buckets);
        uint32_t n = buckets == 0 ? 100 : buckets;
        std::vector<std::pair<uint32_t, std::string>> expect;
        for (int i = 0; i < 2000; i++) {
            std::string k = "key" + std::to_string(i * 7919);
            VKO_HashSet(h, k.c_str(), val(i + 1));
            expect.push_back({VKO_DJB2(k.c_str()) % n, k});
        }
        std::stable_sort(expect.begin(), expect.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });

        std::vector<std::string> want;
        for (auto &e : expect) want.push_back(e.second);
        EXPECT_EQ(keys_in_order(h), want) << buckets;
        VKO_HashDestroy(&h, nullptr);
    }

    // The 64-bucket map of a JSON object orders {"b", "a"} as a, b.
    VKO_Hash *j = VKO_HashCreate(64);
    VKO_HashSet(j, "b", val(1));
    VKO_HashSet(j, "a", val(2));
    EXPECT_EQ(keys_in_order(j), (std::vector<std::string>{"a", "b"}));
    VKO_HashDestroy(&j, nullptr);
}

TEST(Hash, HolesAreReusedByLaterKeysOfTheBucket) {
    VKO_Hash *h = VKO_HashCreate(1);
    VKO_HashSet(h, "a", val(1));
    VKO_HashSet(h, "b", val(2));
    VKO_HashPop(h, "a");
    VKO_HashSet(h, "c", val(3));
    EXPECT_EQ(keys_in_order(h), (std::vector<std::string>{"c", "b"}));

    // With several holes the last one met is taken.
    VKO_HashSet(h, "d", val(4));
    VKO_HashPop(h, "c");
    VKO_HashPop(h, "b");
    VKO_HashSet(h, "e", val(5));
    EXPECT_EQ(keys_in_order(h), (std::vector<std::string>{"e", "d"}));

    // Setting a key that sits after a hole replaces it, not the hole.
    VKO_HashPop(h, "e");
    EXPECT_EQ(VKO_HashSet(h, "d", val(6)), val(4));
    EXPECT_EQ(keys_in_order(h), std::vector<std::string>{"d"});

    VKO_HashDestroy(&h, nullptr);
}

TEST(Hash, IntegerKeys) {
    VKO_Hash *h = VKO_HashCreate(16);
    VKO_HashSetInt(h, 255, val(1));
    VKO_HashSetInt(h, 0, val(2));
    EXPECT_EQ(VKO_HashGet(h, "#ff"), val(1));
    EXPECT_EQ(VKO_HashGet(h, "#0"), val(2));
    EXPECT_EQ(VKO_HashGetInt(h, 255), val(1));

    std::map<uint64_t, int> seen;
    uint64_t iter = 0, key = 99;
    while (VKO_HashGetNextKeyInt(h, &iter, &key)) seen[key]++;
    EXPECT_EQ(seen, (std::map<uint64_t, int>{{0, 1}, {255, 1}}));

    EXPECT_EQ(VKO_HashPopInt(h, 255), val(1));
    EXPECT_EQ(VKO_HashGetInt(h, 255), nullptr);

    // Above 2^63 - 1 the key still works for get, but iterates back saturated.
    VKO_HashPopInt(h, 0);
    VKO_HashSetInt(h, UINT64_MAX, val(3));
    EXPECT_EQ(VKO_HashGet(h, "#ffffffffffffffff"), val(3));
    EXPECT_EQ(VKO_HashGetInt(h, UINT64_MAX), val(3));
    iter = 0;
    ASSERT_TRUE(VKO_HashGetNextKeyInt(h, &iter, &key));
    EXPECT_EQ(key, (uint64_t)INT64_MAX);
    VKO_HashPopInt(h, UINT64_MAX);

    VKO_HashSetInt(h, INT64_MAX, val(4));
    iter = 0;
    ASSERT_TRUE(VKO_HashGetNextKeyInt(h, &iter, &key));
    EXPECT_EQ(key, (uint64_t)INT64_MAX);
    EXPECT_FALSE(VKO_HashGetNextKeyInt(h, &iter, &key));

    // A text key stops integer iteration.
    VKO_Hash *one = VKO_HashCreate(1);
    VKO_HashSetInt(one, 1, val(1));
    VKO_HashSet(one, "name", val(2));
    VKO_HashSetInt(one, 2, val(3));
    iter = 0;
    EXPECT_TRUE(VKO_HashGetNextKeyInt(one, &iter, &key));
    EXPECT_EQ(key, 1u);
    EXPECT_FALSE(VKO_HashGetNextKeyInt(one, &iter, &key));

    VKO_HashDestroy(&h, nullptr);
    VKO_HashDestroy(&one, nullptr);
}

TEST(Hash, EmptyIterationAndRestart) {
    VKO_Hash *h = VKO_HashCreate(8);
    uint64_t iter = 0;
    const char *key = "x";
    EXPECT_FALSE(VKO_HashGetNextKey(h, &iter, &key));
    EXPECT_EQ(key, nullptr);

    VKO_HashSet(h, "k", val(1));
    iter = 0;
    EXPECT_TRUE(VKO_HashGetNextKey(h, &iter, &key));
    EXPECT_FALSE(VKO_HashGetNextKey(h, &iter, &key));
    EXPECT_FALSE(VKO_HashGetNextKey(h, &iter, &key));
    iter = 0;
    EXPECT_TRUE(VKO_HashGetNextKey(h, &iter, &key));
    EXPECT_STREQ(key, "k");
    VKO_HashDestroy(&h, nullptr);
}

TEST(Hash, PopWhileIterating) {
    // Popping the key just returned leaves a hole, so the walk visits every
    // remaining key once; keys popped ahead of the walk are not visited.
    VKO_Hash *h = VKO_HashCreate(7);
    for (int i = 0; i < 1000; i++) VKO_HashSetInt(h, i, val(i + 1));

    std::map<uint64_t, int> seen;
    uint64_t iter = 0;
    const char *key;
    while (VKO_HashGetNextKey(h, &iter, &key)) {
        std::string k = key;
        uint64_t n = std::stoull(k.substr(1), nullptr, 16);
        seen[n]++;
        EXPECT_EQ(VKO_HashPop(h, k.c_str()), val(n + 1));
        if (n % 2 == 0 && n + 1 < 1000 && !seen.count(n + 1)) VKO_HashPopInt(h, n + 1);
    }

    for (auto &[n, count] : seen) EXPECT_EQ(count, 1) << n;
    for (uint64_t n = 0; n < 1000; n += 2) EXPECT_EQ(seen.count(n), 1u) << n;
    EXPECT_TRUE(keys_in_order(h).empty());

    // Holes are reused; nothing is lost on refilling.
    for (int i = 0; i < 1000; i++) VKO_HashSetInt(h, i, val(i + 1));
    for (int i = 0; i < 1000; i++) EXPECT_EQ(VKO_HashGetInt(h, i), val(i + 1));
    EXPECT_EQ(keys_in_order(h).size(), 1000u);

    VKO_HashDestroy(&h, nullptr);
}

TEST(Hash, GrowsAndMatchesModel) {
    // Random sets, replaces and pops against std::map, in maps whose buckets
    // grow long (1 bucket) and short.
    for (uint32_t buckets : {1u, 64u, 1000u}) {
        VKO_Hash *h = VKO_HashCreate(buckets);
        std::map<std::string, uintptr_t> model;
        std::mt19937 rng(buckets);

        int ops = buckets == 1 ? 20000 : 100000;
        for (int i = 0; i < ops; i++) {
            std::string k = std::to_string(rng() % 3000);
            if (rng() % 3 == 0) k = "#" + k;  // text that looks like an integer key
            uintptr_t v = i + 1;
            if (rng() % 4 == 0) {
                auto it = model.find(k);
                EXPECT_EQ(VKO_HashPop(h, k.c_str()), it == model.end() ? nullptr : val(it->second));
                if (it != model.end()) model.erase(it);
            } else {
                auto it = model.find(k);
                EXPECT_EQ(VKO_HashSet(h, k.c_str(), val(v)), it == model.end() ? nullptr : val(it->second));
                model[k] = v;
            }
        }

        std::map<std::string, uintptr_t> got;
        for (auto &k : keys_in_order(h)) {
            EXPECT_EQ(got.count(k), 0u) << k;
            got[k] = (uintptr_t)VKO_HashGet(h, k.c_str());
        }
        EXPECT_EQ(got, model);

        g_freed = 0;
        VKO_HashDestroy(&h, count_free);
        EXPECT_EQ(g_freed, (int)model.size());
    }
}

TEST(Hash, DestroyFreesStoredValuesOnly) {
    VKO_Hash *h = VKO_HashCreate(4);
    VKO_HashSet(h, "a", VKO_Strdup("one"));
    VKO_HashSet(h, "b", nullptr);
    VKO_HashSet(h, "c", VKO_Strdup("three"));
    VKO_Free(VKO_HashPop(h, "c"));
    // ASan reports a leak or a double free if the wrong values are freed.
    VKO_HashDestroy(&h, VKO_Free);
    EXPECT_EQ(h, nullptr);
}

TEST(List, AppendWalkRemove) {
    VKO_List *l = VKO_ListCreate();
    EXPECT_EQ(VKO_ListGetFirst(l), nullptr);

    VKO_ListNode *nodes[4];
    for (uintptr_t i = 0; i < 4; i++) nodes[i] = VKO_ListAppend(l, val(i + 1));
    EXPECT_EQ(l->first, nodes[0]);
    EXPECT_EQ(l->last, nodes[3]);

    auto values = [&]() {
        std::vector<uintptr_t> out;
        for (VKO_ListNode *n = VKO_ListGetFirst(l); n; n = n->next) out.push_back((uintptr_t)n->value);
        std::vector<uintptr_t> back;
        for (VKO_ListNode *n = l->last; n; n = n->prev) back.insert(back.begin(), (uintptr_t)n->value);
        EXPECT_EQ(out, back);
        return out;
    };
    EXPECT_EQ(values(), (std::vector<uintptr_t>{1, 2, 3, 4}));

    EXPECT_EQ(VKO_ListRemove(l, nodes[1]), val(2));
    EXPECT_EQ(values(), (std::vector<uintptr_t>{1, 3, 4}));
    EXPECT_EQ(VKO_ListRemove(l, nodes[0]), val(1));
    EXPECT_EQ(values(), (std::vector<uintptr_t>{3, 4}));
    EXPECT_EQ(VKO_ListRemove(l, nodes[3]), val(4));
    EXPECT_EQ(values(), (std::vector<uintptr_t>{3}));

    // Removing the only node empties the list; it can be filled again.
    EXPECT_EQ(VKO_ListRemove(l, nodes[2]), val(3));
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    VKO_ListAppend(l, val(5));
    EXPECT_EQ(values(), (std::vector<uintptr_t>{5}));

    VKO_ListDestroy(&l, nullptr);
    EXPECT_EQ(l, nullptr);
}

TEST(List, DestroyCallsFreeOnEveryValue) {
    VKO_List *l = VKO_ListCreate();
    VKO_ListAppend(l, val(1));
    VKO_ListAppend(l, nullptr);
    VKO_ListAppend(l, val(3));
    g_freed = 0;
    VKO_ListDestroy(&l, count_free);
    EXPECT_EQ(g_freed, 3);
    EXPECT_EQ(l, nullptr);
}
