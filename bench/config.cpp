// Configuration reads on the hot path, beside the plainest store a program
// could keep instead (one map behind a reader/writer lock), and the cost of
// one log line.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/context.h"
#include "peer.h"
#include "platform/memory.h"
#include "util/config.h"
#include "util/logger.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

// One store for the whole run: benchmark threads share it.
static void ensure_store() {
    static std::once_flag once;
    std::call_once(once, [] {
        config_create();
        config_set_int(2, "encoder_bitrate", 1, 30);
    });
}

static void BM_ConfigGetIntMerged(benchmark::State &state) {
    ensure_store();
    for (auto _ : state) benchmark::DoNotOptimize(config_get_int(CONFIG_LAYER_MERGED, "encoder_bitrate", 1));
}
BENCHMARK(BM_ConfigGetIntMerged)->ThreadRange(1, 4);

static void BM_LockedMapGetInt(benchmark::State &state) {
    static std::shared_mutex lock;
    static const std::unordered_map<std::string, int> store = {{"encoder_bitrate", 30}};
    for (auto _ : state) {
        std::shared_lock<std::shared_mutex> reading(lock);
        auto it = store.find("encoder_bitrate");
        benchmark::DoNotOptimize(it == store.end() ? 1 : it->second);
    }
}
BENCHMARK(BM_LockedMapGetInt)->ThreadRange(1, 4);

static void BM_ConfigReadHost(benchmark::State &state) {
    ensure_store();
    HostConfig h;
    for (auto _ : state) {
        config_read_host(&h);
        benchmark::DoNotOptimize(h.max_clients);
    }
}
BENCHMARK(BM_ConfigReadHost);

static void BM_ConfigSetInt(benchmark::State &state) {
    ensure_store();
    int i = 0;
    for (auto _ : state) config_set_int(2, "encoder_bitrate", 0, 11 + (i++ & 63));
}
BENCHMARK(BM_ConfigSetInt);

// log_write as a caller sees it: format, queue for the writer thread.
static void BM_LogWriteToFile(benchmark::State &state) {
    char tmpl[] = "/tmp/zarvek-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("mkdtemp");
        return;
    }
    AppContext ctx = {};
    ctx.log_level = APP_LOG_LEVEL_UNSET;
    snprintf(ctx.data_dir, sizeof(ctx.data_dir), "%s", tmpl);
    fs_async_start();
    FILE *saved = stdout;
    stdout = fopen("/dev/null", "w");  // measure the file path, not the terminal
    for (auto _ : state) {
        log_write(LOG_LEVEL_FORCED, "a typical log line of moderate length, value = 12345", &ctx);
        if (state.iterations() % 512 == 0) fs_async_flush(10000);
    }
    fs_async_flush(10000);
    fclose(stdout);
    stdout = saved;
    fs_async_stop();
    std::string cmd = std::string("rm -rf '") + tmpl + "'";
    if (system(cmd.c_str()) != 0) state.SkipWithError("cleanup");
}
BENCHMARK(BM_LogWriteToFile);

int main(int argc, char **argv) {
    const char *names = "config_get_int / std::unordered_map with std::shared_mutex";
    return bench::run_pairs(argc, argv,
                            {{"read a setting, 1 thread", "BM_ConfigGetIntMerged/threads:1",
                              "BM_LockedMapGetInt/threads:1", names},
                             {"read a setting, 2 threads", "BM_ConfigGetIntMerged/threads:2",
                              "BM_LockedMapGetInt/threads:2", names},
                             {"read a setting, 4 threads", "BM_ConfigGetIntMerged/threads:4",
                              "BM_LockedMapGetInt/threads:4", names}});
}
