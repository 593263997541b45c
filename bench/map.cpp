// Insert and lookup of 100,000 text keys in VKO_Hash beside std::unordered_map.
// Our map is created at its final size, so std::unordered_map is reserved for
// the same key count, and ours gets the bucket count that reserve chose: both
// run at the same load without rehashing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "peer.h"
#include "platform/map.h"

namespace {

constexpr uint32_t KEYS = 100000;

// Keys shaped like the system's: setting names, device and peer ids.
const std::vector<std::string> &keys() {
    static const std::vector<std::string> k = [] {
        std::vector<std::string> out;
        std::mt19937 rng(1);
        const char *prefixes[] = {"host.video.", "peer-", "device/", "client.audio.stream"};
        for (uint32_t i = 0; i < KEYS; i++)
            out.push_back(prefixes[i % 4] + std::to_string(rng() % 100000000) + "." + std::to_string(i));
        return out;
    }();
    return k;
}

// The same keys, looked up in another order than inserted. The copies are made
// in lookup order, so each key text is as near at hand as a caller's own text
// usually is and the maps' own memory is what is measured.
const std::vector<std::string> &lookups() {
    static const std::vector<std::string> k = [] {
        std::vector<std::string> order = keys(), out;
        std::shuffle(order.begin(), order.end(), std::mt19937(2));
        for (auto &key : order) out.push_back(std::string(key.data(), key.size()));
        return out;
    }();
    return k;
}

// Every lookup finds its key's value 1..KEYS, so one pass sums to this.
constexpr uintptr_t LOOKUP_SUM = (uintptr_t)KEYS * (KEYS + 1) / 2;

uint32_t bucket_count() {
    static const uint32_t n = [] {
        std::unordered_map<std::string, void *> m;
        m.reserve(KEYS);
        return (uint32_t)m.bucket_count();
    }();
    return n;
}

void BM_VkoHashInsert(benchmark::State &state) {
    const auto &k = keys();
    for (auto _ : state) {
        VKO_Hash *h = VKO_HashCreate(bucket_count());
        for (uint32_t i = 0; i < KEYS; i++) VKO_HashSet(h, k[i].c_str(), (void *)(uintptr_t)(i + 1));
        state.PauseTiming();
        VKO_HashDestroy(&h, nullptr);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * KEYS);
}

void BM_UnorderedMapInsert(benchmark::State &state) {
    const auto &k = keys();
    for (auto _ : state) {
        auto *m = new std::unordered_map<std::string, void *>();
        m->reserve(KEYS);
        for (uint32_t i = 0; i < KEYS; i++) m->emplace(k[i], (void *)(uintptr_t)(i + 1));
        state.PauseTiming();
        delete m;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * KEYS);
}

void BM_VkoHashLookup(benchmark::State &state) {
    const auto &k = keys();
    const auto &l = lookups();
    VKO_Hash *h = VKO_HashCreate(bucket_count());
    for (uint32_t i = 0; i < KEYS; i++) VKO_HashSet(h, k[i].c_str(), (void *)(uintptr_t)(i + 1));

    uintptr_t sum = 0;
    for (auto _ : state)
        for (const auto &key : l) sum += (uintptr_t)VKO_HashGet(h, key.c_str());
    if (sum != LOOKUP_SUM * state.iterations()) state.SkipWithError("lookups returned wrong values");
    state.SetItemsProcessed(state.iterations() * KEYS);
    VKO_HashDestroy(&h, nullptr);
}

void BM_UnorderedMapLookup(benchmark::State &state) {
    const auto &k = keys();
    const auto &l = lookups();
    std::unordered_map<std::string, void *> m;
    m.reserve(KEYS);
    for (uint32_t i = 0; i < KEYS; i++) m.emplace(k[i], (void *)(uintptr_t)(i + 1));

    uintptr_t sum = 0;
    for (auto _ : state)
        for (const auto &key : l) {
            auto it = m.find(key);
            sum += it == m.end() ? 0 : (uintptr_t)it->second;
        }
    if (sum != LOOKUP_SUM * state.iterations()) state.SkipWithError("lookups returned wrong values");
    state.SetItemsProcessed(state.iterations() * KEYS);
}

}  // namespace

BENCHMARK(BM_VkoHashInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VkoHashLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapLookup)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    return bench::run_pairs(argc, argv,
                            {{"insert 100,000 keys", "BM_VkoHashInsert", "BM_UnorderedMapInsert",
                              "VKO_Hash / std::unordered_map (reserved)"},
                             {"look up 100,000 keys", "BM_VkoHashLookup", "BM_UnorderedMapLookup",
                              "VKO_Hash / std::unordered_map (reserved)"}});
}
