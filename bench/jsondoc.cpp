// The arena JSON writer building and printing a document of about 1 MB,
// beside RapidJSON's Writer producing the same text into a reused buffer.
// Ours builds the document node by node (a new document each time, as its
// callers do) and then prints it sorted; RapidJSON only streams, so it is
// handed the members already in sorted order. Two shapes: a controller
// mapping list (one array of long strings, the largest document the writer
// builds) and a run of gamepad-state events (many small objects). Both sides'
// texts are compared byte for byte before timing.
#include <benchmark/benchmark.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <string>
#include <vector>

#include "peer.h"
#include "util/jsondoc.h"
#include "util/textbuf.h"

namespace {

const std::vector<std::string> &mappings() {
    static const std::vector<std::string> v = [] {
        std::vector<std::string> out;
        size_t total = 0;
        for (int i = 0; total < 1000000; i++) {
            char guid[40];
            snprintf(guid, sizeof(guid), "03000000%08x%08x%08x", i * 2654435761u, i * 40503u, i ^ 0x5a5a);
            std::string s = std::string(guid) + ",Pad \"" + std::to_string(i) +
                            "\" Controller,a:b0,b:b1,back:b6,dpdown:h0.4,dpleft:h0.8,dpright:h0.2,dpup:h0.1,"
                            "guide:b8,leftshoulder:b4,leftstick:b9,lefttrigger:a2,leftx:a0,lefty:a1,"
                            "rightshoulder:b5,rightstick:b10,righttrigger:a5,rightx:a3,righty:a4,start:b7,"
                            "x:b2,y:b3,platform:Linux,\\tnote";
            total += s.size() + 3;
            out.push_back(s);
        }
        return out;
    }();
    return v;
}

constexpr int kPads = 2600;  // about 1 MB of gamepad-state events

double axis(int i, int k) {
    return ((i * 7 + k * 13) % 64 - 32 + 0.5) / 64.0;  // exact and never whole: both sides print it alike
}

// --- ours ------------------------------------------------------------------

void put_str(JsonHandle h, const char *s, size_t n) {
    json_set_string(h, s, (uint32_t)n, 0);
}

JsonHandle member(JsonHandle obj, const char *key) {
    JsonHandle v;
    json_object_set(obj, key, &v);
    return v;
}

JsonHandle element(JsonHandle arr, uint32_t i) {
    JsonHandle v;
    json_array_set(arr, i, &v);
    return v;
}

bool build_mappings(TextBuffer *tb) {
    JsonHandle root;
    if (!json_doc_new(&root)) return false;
    JsonHandle list = member(root, "mappings");
    json_set_uint(member(root, "version"), 2);
    const auto &m = mappings();
    for (uint32_t i = 0; i < m.size(); i++) put_str(element(list, i), m[i].data(), m[i].size());
    bool ok = json_serialize(tb, root);
    json_doc_free(&root.doc);
    return ok;
}

bool build_pads(TextBuffer *tb) {
    JsonHandle root;
    if (!json_doc_new(&root)) return false;
    for (uint32_t i = 0; i < kPads; i++) {
        JsonHandle ev = element(root, i);
        put_str(member(ev, "type"), "gamepad_state", 13);
        JsonHandle data = member(ev, "data");
        json_set_uint(member(data, "index"), i % 4);
        json_set_bool(member(data, "connected"), i % 5 != 0);
        put_str(member(data, "name"), "Wireless Controller", 19);
        JsonHandle buttons = member(data, "buttons");
        for (uint32_t k = 0; k < 17; k++) json_set_uint(element(buttons, k), (i + k) % 3 == 0);
        JsonHandle axes = member(data, "axes");
        for (uint32_t k = 0; k < 6; k++) json_set_number(element(axes, k), axis((int)i, (int)k));
    }
    bool ok = json_serialize(tb, root);
    json_doc_free(&root.doc);
    return ok;
}

// --- RapidJSON ---------------------------------------------------------------

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void write_mappings(Writer &w) {
    w.StartObject();
    w.Key("mappings", 8);
    w.StartArray();
    for (const auto &s : mappings()) w.String(s.data(), (rapidjson::SizeType)s.size());
    w.EndArray();
    w.Key("version", 7);
    w.Uint(2);
    w.EndObject();
}

void write_pads(Writer &w) {
    w.StartArray();
    for (int i = 0; i < kPads; i++) {
        w.StartObject();
        w.Key("data", 4);
        w.StartObject();
        w.Key("axes", 4);
        w.StartArray();
        for (int k = 0; k < 6; k++) w.Double(axis(i, k));
        w.EndArray();
        w.Key("buttons", 7);
        w.StartArray();
        for (int k = 0; k < 17; k++) w.Uint((i + k) % 3 == 0);
        w.EndArray();
        w.Key("connected", 9);
        w.Bool(i % 5 != 0);
        w.Key("index", 5);
        w.Uint(i % 4);
        w.Key("name", 4);
        w.String("Wireless Controller", 19);
        w.EndObject();
        w.Key("type", 4);
        w.String("gamepad_state", 13);
        w.EndObject();
    }
    w.EndArray();
}

template <bool (*Build)(TextBuffer *), void (*Write)(Writer &)>
void BM_Ours(benchmark::State &state) {
    TextBuffer tb = {};
    rapidjson::StringBuffer sb;
    Writer w(sb);
    Write(w);
    if (!Build(&tb) || tb.length != sb.GetSize() || memcmp(tb.data, sb.GetString(), tb.length) != 0)
        state.SkipWithError("text differs from RapidJSON's");
    for (auto _ : state) {
        tb.length = 0;
        Build(&tb);
        benchmark::DoNotOptimize(tb.data);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * tb.length));
    text_free(&tb);
}

template <void (*Write)(Writer &)>
void BM_RapidJSON(benchmark::State &state) {
    rapidjson::StringBuffer sb;
    Writer w(sb);
    for (auto _ : state) {
        sb.Clear();
        w.Reset(sb);
        Write(w);
        benchmark::DoNotOptimize(sb.GetString());
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * sb.GetSize()));
}

}  // namespace

BENCHMARK(BM_Ours<build_mappings, write_mappings>)->Name("BM_Mappings_Zarvek")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJSON<write_mappings>)->Name("BM_Mappings_RapidJSON")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours<build_pads, write_pads>)->Name("BM_Pads_Zarvek")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJSON<write_pads>)->Name("BM_Pads_RapidJSON")->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    const char *names = "JsonDoc / RapidJSON Writer";
    return bench::run_pairs(
        argc, argv,
        {{"build+print 1 MB mappings", "BM_Mappings_Zarvek", "BM_Mappings_RapidJSON", names},
         {"build+print 1 MB pad events", "BM_Pads_Zarvek", "BM_Pads_RapidJSON", names}});
}
