#include "platform/map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

TEST(Hash, MatchesModelAndIteratesInBucketOrder) {
    for (uint32_t buckets : {0u, 1u, 64u, 65537u}) {
        VKO_Hash *h = VKO_HashCreate(buckets);
        uint32_t n = buckets == 0 ? 100 : buckets;

        // Fresh keys come in order of DJB2 % bucket count, ties in insertion order.
        std::vector<std::pair<uint32_t, std::string>> expect;
        for (int i = 0; i < 2000; i++) {
            std::string k = "key" + std::to_string(i * 7919);
            VKO_HashSet(h, k.c_str(), val(i + 1));
            expect.push_back({VKO_DJB2(k.c_str()) % n, k});
        }
        std::stable_sort(expect.begin(), expect.end(), [](auto &a, auto &b) { return a.first < b.first; });
        std::vector<std::string> want;
        for (auto &e : expect) want.push_back(e.second);
        EXPECT_EQ(keys_in_order(h), want) << buckets;

        // Random sets, replaces and pops against std::map.
        std::map<std::string, uintptr_t> model;
        for (auto &e : expect) model[e.second] = (uintptr_t)VKO_HashGet(h, e.second.c_str());
        std::mt19937 rng(buckets);
        for (uintptr_t i = 1; i < 10000; i++) {
            std::string k = (rng() % 3 ? "key" : "#") + std::to_string(rng() % 3000 * 7919);
            auto it = model.find(k);
            void *old = it == model.end() ? nullptr : val(it->second);
            if (rng() % 4 == 0) {
                ASSERT_EQ(VKO_HashPop(h, k.c_str()), old);
                if (it != model.end()) model.erase(it);
            } else {
                ASSERT_EQ(VKO_HashSet(h, k.c_str(), val(i)), old);
                model[k] = i;
            }
        }
        std::map<std::string, uintptr_t> got;
        for (auto &k : keys_in_order(h)) got[k] = (uintptr_t)VKO_HashGet(h, k.c_str());
        EXPECT_EQ(got, model);

        g_freed = 0;
        VKO_HashDestroy(&h, count_free);
        EXPECT_EQ(g_freed, (int)model.size());
    }
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

    // Holes hold nothing the destroy could free.
    VKO_HashSet(h, "f", VKO_Strdup("kept"));
    VKO_HashPop(h, "e");
    VKO_HashSet(h, "d", nullptr);
    VKO_HashDestroy(&h, VKO_Free);
}

TEST(Hash, IntegerKeys) {
    VKO_Hash *h = VKO_HashCreate(16);
    VKO_HashSetInt(h, 255, val(1));
    VKO_HashSetInt(h, 0, val(2));
    EXPECT_EQ(VKO_HashGet(h, "#ff"), val(1));
    EXPECT_EQ(VKO_HashGet(h, "#0"), val(2));

    std::map<uint64_t, int> seen;
    uint64_t iter = 0, key = 99;
    while (VKO_HashGetNextKeyInt(h, &iter, &key)) seen[key]++;
    EXPECT_EQ(seen, (std::map<uint64_t, int>{{0, 1}, {255, 1}}));
    EXPECT_EQ(VKO_HashPopInt(h, 255), val(1));
    EXPECT_EQ(VKO_HashPopInt(h, 0), val(2));

    // Above 2^63 - 1 a key works for get but iterates back saturated.
    VKO_HashSetInt(h, UINT64_MAX, val(3));
    EXPECT_EQ(VKO_HashGet(h, "#ffffffffffffffff"), val(3));
    iter = 0;
    ASSERT_TRUE(VKO_HashGetNextKeyInt(h, &iter, &key));
    EXPECT_EQ(key, (uint64_t)INT64_MAX);

    // A text key ends integer iteration.
    VKO_Hash *one = VKO_HashCreate(1);
    VKO_HashSetInt(one, 1, val(1));
    VKO_HashSet(one, "name", val(2));
    VKO_HashSetInt(one, 2, val(3));
    iter = 0;
    EXPECT_TRUE(VKO_HashGetNextKeyInt(one, &iter, &key));
    EXPECT_FALSE(VKO_HashGetNextKeyInt(one, &iter, &key));

    VKO_HashDestroy(&h, nullptr);
    VKO_HashDestroy(&one, nullptr);
}

TEST(Hash, PopWhileIterating) {
    // Popping the key just returned leaves a hole, so the walk still visits each
    // remaining key once; keys popped ahead of the walk are not visited.
    VKO_Hash *h = VKO_HashCreate(7);
    for (int i = 0; i < 1000; i++) VKO_HashSetInt(h, i, val(i + 1));

    std::map<uint64_t, int> seen;
    uint64_t iter = 0;
    const char *key;
    while (VKO_HashGetNextKey(h, &iter, &key)) {
        uint64_t n = std::stoull(key + 1, nullptr, 16);
        seen[n]++;
        EXPECT_EQ(VKO_HashPop(h, std::string(key).c_str()), val(n + 1));
        if (n % 2 == 0 && !seen.count(n + 1)) VKO_HashPopInt(h, n + 1);
    }
    for (auto &[n, count] : seen) EXPECT_EQ(count, 1) << n;
    for (uint64_t n = 0; n < 1000; n += 2) EXPECT_EQ(seen.count(n), 1u) << n;
    EXPECT_TRUE(keys_in_order(h).empty());
    VKO_HashDestroy(&h, nullptr);
}

TEST(List, AppendRemoveDestroy) {
    VKO_List *l = VKO_ListCreate();
    VKO_ListNode *nodes[4];
    for (uintptr_t i = 0; i < 4; i++) nodes[i] = VKO_ListAppend(l, i == 2 ? nullptr : val(i + 1));

    auto values = [&] {
        std::vector<uintptr_t> fwd, back;
        for (VKO_ListNode *n = VKO_ListGetFirst(l); n; n = n->next) fwd.push_back((uintptr_t)n->value);
        for (VKO_ListNode *n = l->last; n; n = n->prev) back.insert(back.begin(), (uintptr_t)n->value);
        EXPECT_EQ(fwd, back);
        return fwd;
    };
    EXPECT_EQ(values(), (std::vector<uintptr_t>{1, 2, 0, 4}));
    EXPECT_EQ(VKO_ListRemove(l, nodes[1]), val(2));
    EXPECT_EQ(VKO_ListRemove(l, nodes[0]), val(1));
    EXPECT_EQ(VKO_ListRemove(l, nodes[3]), val(4));
    EXPECT_EQ(values(), (std::vector<uintptr_t>{0}));

    // Removing the only node empties the list; it fills again.
    VKO_ListRemove(l, nodes[2]);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    VKO_ListAppend(l, val(5));
    VKO_ListAppend(l, nullptr);
    EXPECT_EQ(values(), (std::vector<uintptr_t>{5, 0}));

    // The free function also gets NULL values.
    g_freed = 0;
    VKO_ListDestroy(&l, count_free);
    EXPECT_EQ(g_freed, 2);
}
