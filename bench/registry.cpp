// Listing the subkeys of a key that holds many, beside the floor of every
// registry read: loading and parsing the same hive file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "compat/registry/registry.h"
#include "peer.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/memory.h"

// A machine root with one hive whose key "Many" holds n subkeys.
static std::string make_root(int n) {
    char tmpl[] = "/tmp/zarvek-bench-reg-XXXXXX";
    if (!mkdtemp(tmpl)) return "";
    std::string root = tmpl, dir = root + "/var/lib/zarvek/registry";
    if (system(("mkdir -p '" + dir + "'").c_str()) != 0) return "";
    std::string hive = "{\"Many\":{}";
    for (int i = n - 1; i >= 0; i--) {
        char name[40];
        snprintf(name, sizeof name, ",\"Many\\\\key%06d\":{}", i);
        hive += name;
    }
    hive += "}";
    FILE *f = fopen((dir + "/HKLM.json").c_str(), "wb");
    if (!f) return "";
    fwrite(hive.data(), 1, hive.size(), f);
    fclose(f);
    setenv(VKO_ENV_SYSROOT, root.c_str(), 1);
    return root;
}

static void drop_root(const std::string &root) {
    unsetenv(VKO_ENV_SYSROOT);
    if (!root.empty() && system(("rm -rf '" + root + "'").c_str()) != 0) std::perror("rm");
}

static void BM_RegEnumKey(benchmark::State &state) {
    std::string root = make_root((int)state.range(0));
    RegKey *k = nullptr;
    if (root.empty() || reg_open_key(REG_HKEY_LOCAL_MACHINE, "Many", REG_KEY_READ, &k) != REG_ERROR_SUCCESS) {
        state.SkipWithError("set-up");
        drop_root(root);
        return;
    }
    char name[64];
    uint32_t i = 0;
    for (auto _ : state) {
        if (reg_enum_key(k, i++ % (uint32_t)state.range(0), name, sizeof name) != REG_ERROR_SUCCESS)
            state.SkipWithError("enumeration failed");
        benchmark::DoNotOptimize(name[0]);
    }
    reg_close_key(k);
    drop_root(root);
}
BENCHMARK(BM_RegEnumKey)->Arg(1000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

static void BM_HiveLoadAndParse(benchmark::State &state) {
    std::string root = make_root((int)state.range(0));
    std::string file = root + "/var/lib/zarvek/registry/HKLM.json";
    for (auto _ : state) {
        VKO_JSON *j = VKO_JSONReadFile(file.c_str());
        if (!j) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(j);
        VKO_JSONDestroy(&j);
    }
    drop_root(root);
}
BENCHMARK(BM_HiveLoadAndParse)->Arg(1000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    const char *names = "reg_enum_key / loading and parsing the hive";
    return bench::run_pairs(
        argc, argv,
        {{"list a subkey of 1000", "BM_RegEnumKey/1000", "BM_HiveLoadAndParse/1000", names},
         {"list a subkey of 10000", "BM_RegEnumKey/10000", "BM_HiveLoadAndParse/10000", names},
         {"list a subkey of 40000", "BM_RegEnumKey/40000", "BM_HiveLoadAndParse/40000", names}});
}
