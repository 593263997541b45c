// JSON parse and print, ours beside RapidJSON's DOM on the same texts: one
// document of about 1 MB, and a batch of small signaling-sized messages. For
// the small messages RapidJSON reuses one document, its value pool and its
// output buffer from message to message, as a program handling a stream of
// them would.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>
#include <vector>

#include "peer.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

std::string make_big() {
    std::string s = "{\"version\":3,\"users\":[";
    for (int i = 0; s.size() < 1000000; i++) {
        if (i) s += ',';
        s += "{\"id\":" + std::to_string(i * 7919) + ",\"name\":\"user_" + std::to_string(i) +
             "\",\"score\":" + std::to_string(i % 1000) + "." + std::to_string(i % 97) +
             ",\"active\":" + (i % 3 ? "true" : "false") + ",\"tags\":[\"alpha\",\"beta\\n\",\"" +
             std::to_string(i % 13) + "\"],\"pos\":{\"x\":" + std::to_string(i % 640) + ".25,\"y\":-" +
             std::to_string(i % 480) + "},\"note\":null}";
    }
    s += "]}";
    return s;
}

std::vector<std::string> make_small() {
    std::vector<std::string> v;
    for (int i = 0; i < 1000; i++) {
        v.push_back("{\"type\":\"candex\",\"attempt_id\":\"a" + std::to_string(i * 31337) +
                    "\",\"from\":\"peer-" + std::to_string(i) + "\",\"data\":{\"ip\":\"127.0.0." +
                    std::to_string(i % 250) + "\",\"port\":" + std::to_string(5000 + i) +
                    ",\"lan\":" + (i % 2 ? "true" : "false") +
                    ",\"from_stun\":false,\"sync\":" + std::to_string(i % 3) + "}}");
    }
    return v;
}

const std::string &big() {
    static const std::string s = make_big();
    return s;
}

const std::vector<std::string> &small() {
    static const std::vector<std::string> v = make_small();
    return v;
}

size_t small_bytes() {
    size_t n = 0;
    for (const auto &s : small()) n += s.size();
    return n;
}

// A printed text must read back as the same values as its source.
bool same_values(const char *printed, const std::string &source) {
    rapidjson::Document a, b;
    return printed && !a.Parse(printed).HasParseError() && !b.Parse(source.c_str()).HasParseError() && a == b;
}

void BM_ParseBig_Zarvek(benchmark::State &state) {
    const std::string &text = big();
    for (auto _ : state) {
        VKO_JSON *j = VKO_JSONParse(text.c_str());
        if (!j) state.SkipWithError("parse failed");
        VKO_JSONDestroy(&j);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * text.size()));
}

void BM_ParseBig_RapidJSON(benchmark::State &state) {
    const std::string &text = big();
    for (auto _ : state) {
        rapidjson::Document d;
        if (d.Parse(text.c_str()).HasParseError()) state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * text.size()));
}

void BM_PrintBig_Zarvek(benchmark::State &state) {
    VKO_JSON *j = VKO_JSONParse(big().c_str());
    char *first = VKO_JSONSerialize(j);
    if (!same_values(first, big())) state.SkipWithError("printed text differs from its source");
    VKO_Free(first);
    size_t bytes = 0;
    for (auto _ : state) {
        char *s = VKO_JSONSerialize(j);
        bytes = strlen(s);
        VKO_Free(s);
    }
    VKO_JSONDestroy(&j);
    state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
}

void BM_PrintBig_RapidJSON(benchmark::State &state) {
    rapidjson::Document d;
    d.Parse(big().c_str());
    size_t bytes = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer sb;
        rapidjson::Writer<rapidjson::StringBuffer> w(sb);
        d.Accept(w);
        bytes = sb.GetSize();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
}

void BM_ParseSmall_Zarvek(benchmark::State &state) {
    bool ok = true;
    for (auto _ : state) {
        for (const auto &s : small()) {
            VKO_JSON *j = VKO_JSONParse(s.c_str());
            ok &= j != nullptr;
            VKO_JSONDestroy(&j);
        }
    }
    if (!ok) state.SkipWithError("parse failed");
    state.SetBytesProcessed((int64_t)(state.iterations() * small_bytes()));
    state.SetItemsProcessed((int64_t)(state.iterations() * small().size()));
}

void BM_ParseSmall_RapidJSON(benchmark::State &state) {
    static char pool[16384];  // far more than one message's values need
    rapidjson::MemoryPoolAllocator<> values(pool, sizeof pool);
    rapidjson::Document d(&values);
    bool ok = true;
    for (auto _ : state) {
        for (const auto &s : small()) {
            values.Clear();  // keeps the pool, forgets the last message
            ok &= !d.Parse(s.c_str()).HasParseError();
        }
    }
    if (!ok) state.SkipWithError("parse failed");
    state.SetBytesProcessed((int64_t)(state.iterations() * small_bytes()));
    state.SetItemsProcessed((int64_t)(state.iterations() * small().size()));
}

void BM_PrintSmall_Zarvek(benchmark::State &state) {
    std::vector<VKO_JSON *> docs;
    for (const auto &s : small()) {
        docs.push_back(VKO_JSONParse(s.c_str()));
        char *first = VKO_JSONSerialize(docs.back());
        if (!same_values(first, s)) state.SkipWithError("printed text differs from its source");
        VKO_Free(first);
    }
    for (auto _ : state) {
        for (VKO_JSON *j : docs) {
            char *s = VKO_JSONSerialize(j);
            benchmark::DoNotOptimize(s);
            VKO_Free(s);
        }
    }
    for (VKO_JSON *j : docs) VKO_JSONDestroy(&j);
    state.SetBytesProcessed((int64_t)(state.iterations() * small_bytes()));
    state.SetItemsProcessed((int64_t)(state.iterations() * small().size()));
}

void BM_PrintSmall_RapidJSON(benchmark::State &state) {
    std::vector<rapidjson::Document> docs(small().size());
    for (size_t i = 0; i < docs.size(); i++) docs[i].Parse(small()[i].c_str());
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    for (auto _ : state) {
        for (auto &d : docs) {
            sb.Clear();
            w.Reset(sb);
            d.Accept(w);
            benchmark::DoNotOptimize(sb.GetString());
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * small_bytes()));
    state.SetItemsProcessed((int64_t)(state.iterations() * small().size()));
}

}  // namespace

BENCHMARK(BM_ParseBig_Zarvek)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBig_RapidJSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrintBig_Zarvek)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrintBig_RapidJSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseSmall_Zarvek)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseSmall_RapidJSON)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrintSmall_Zarvek)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrintSmall_RapidJSON)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    const char *names = "VKO_JSON / RapidJSON";
    return bench::run_pairs(
        argc, argv,
        {{"parse 1 MB", "BM_ParseBig_Zarvek", "BM_ParseBig_RapidJSON", names},
         {"print 1 MB", "BM_PrintBig_Zarvek", "BM_PrintBig_RapidJSON", names},
         {"parse 1000 small messages", "BM_ParseSmall_Zarvek", "BM_ParseSmall_RapidJSON", names},
         {"print 1000 small messages", "BM_PrintSmall_Zarvek", "BM_PrintSmall_RapidJSON", names}});
}
