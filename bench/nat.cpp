// Time from nat_begin_p2p to an open BUD link, 50 attempts each: on loopback
// with a local STUN server, and across two masquerading NATs in network
// namespaces (skipped without root). Also counted from the moment both peers
// hold each other's first candidate; on that leg the manager's own pacing
// allows no less than kPacingFloorMs (the mapping probe and the first check,
// 35 ms apart from the previous send each).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "connection/nat.h"
#include "platform/log.h"
#include "support/net/nat_pair.h"
#include "support/net/nat_topology.h"
#include "support/net/stun_server.h"

namespace {

constexpr int kAttempts = 50;
constexpr double kPacingFloorMs = 70.0;

struct Times {
    std::vector<double> begin_ms, candidates_ms;
};
std::map<std::string, Times> g_times;

double pct(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[i];
}

// One attempt; false when it did not open.
bool attempt(Times &t, const NatPlace &host, const NatPlace &client) {
    NatPair pair;
    if (!pair.start(NAT_PROTO_BUD, "", host, client) || !pair.wait(20000) || !pair.host.record ||
        !pair.client.record)
        return false;
    int64_t both = std::max(pair.host.first_candidate_ns, pair.client.first_candidate_ns);
    t.begin_ms.push_back(static_cast<double>(pair.opened_ns - pair.begin_ns) / 1e6);
    t.candidates_ms.push_back(static_cast<double>(pair.opened_ns - both) / 1e6);
    return pair.exchange();
}

void run(benchmark::State &state, const char *row, const NatPlace &host, const NatPlace &client) {
    for (auto _ : state) {
        Times t;
        for (int i = 0; i < kAttempts; i++)
            if (!attempt(t, host, client)) return state.SkipWithError("an attempt did not open its link");
        state.SetIterationTime(pct(t.begin_ms, 0.5) / 1e3);
        state.counters["median_ms"] = pct(t.begin_ms, 0.5);
        state.counters["p99_ms"] = pct(t.begin_ms, 0.99);
        state.counters["from_candidates_median_ms"] = pct(t.candidates_ms, 0.5);
        g_times[row] = t;
    }
}

void BM_NatOpenLoopback(benchmark::State &state) {
    StunServer stun;
    if (!stun.start(0)) return state.SkipWithError("no STUN port");
    nat_set_builtin_servers("127.0.0.1", stun.port(), "", 0);
    run(state, "loopback", {}, {});
}

void BM_NatOpenAcrossNats(benchmark::State &state) {
    NatTopology topo;
    if (!topo.lab.available())
        return state.SkipWithError(("no network namespaces: " + topo.lab.why()).c_str());
    if (!topo.build(false)) return state.SkipWithError("namespace topology could not be built");
    run(state, "namespaces", topo.place(topo.a), topo.place(topo.b));
}

}  // namespace

BENCHMARK(BM_NatOpenLoopback)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NatOpenAcrossNats)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (auto &[row, t] : g_times) {
        std::printf("\n%s, %d attempts: nat_begin_p2p to open link median %.1f ms, p99 %.1f ms\n",
                    row.c_str(), kAttempts, pct(t.begin_ms, 0.5), pct(t.begin_ms, 0.99));
        std::printf(
            "%s: from both holding candidates median %.1f ms, p99 %.1f ms; / (1.5 x %.0f ms pacing) = %.2f "
            "(target at most 1)\n",
            row.c_str(), pct(t.candidates_ms, 0.5), pct(t.candidates_ms, 0.99), kPacingFloorMs,
            pct(t.candidates_ms, 0.5) / (1.5 * kPacingFloorMs));
    }
    return 0;
}
