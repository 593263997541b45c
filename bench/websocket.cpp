// WebSocket text-message round trips against the loopback echo server: our
// client beside python3-websockets' client doing the same exchange in the same
// run. One iteration is a batch of round trips after connecting; both sides
// time only the batch. items_per_second counts round trips, bytes_per_second
// the bytes moved both ways.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "peer.h"
#include "platform/websocket.h"
#include "support/net/ws_server.h"

namespace {

int batch(size_t size) {
    return size <= 1024 ? 4000 : 40;
}

WsServer &server() {
    static WsServer *s = [] {
        WsServer *ws = new WsServer;
        ws->start(ws_echo);
        return ws;
    }();
    return *s;
}

void BM_Ours(benchmark::State &state) {
    size_t size = (size_t)state.range(0);
    int n = batch(size);
    std::string msg(size, 'x');
    std::string buf(size + 1, '\0');
    VKO_WebSocket *ws = VKO_WebSocketConnect(server().url().c_str(), nullptr, nullptr, 5000, nullptr);
    if (!ws) {
        state.SkipWithError("connect failed");
        return;
    }
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < n; i++) {
            if (!VKO_WebSocketWrite(ws, msg.c_str()) ||
                VKO_WebSocketRead(ws, 5000, buf.data(), (uint32_t)buf.size()) != VKO_WS_OK ||
                buf[size - 1] != 'x') {
                state.SkipWithError("round trip failed");
                break;
            }
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    VKO_WebSocketDestroy(&ws);
    state.SetItemsProcessed(state.iterations() * n);
    state.SetBytesProcessed(state.iterations() * n * (int64_t)size * 2);
}

const char *PY_CLIENT = R"(
import asyncio, sys, time, websockets
async def main(url, size, n):
    async with websockets.connect(url, max_size=None, compression=None) as ws:
        msg = "x" * size
        await ws.send(msg)
        await ws.recv()
        start = time.perf_counter()
        for _ in range(n):
            await ws.send(msg)
            if len(await ws.recv()) != size:
                raise SystemExit(1)
        print(time.perf_counter() - start)
asyncio.run(main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3])))
)";

void BM_Python(benchmark::State &state) {
    size_t size = (size_t)state.range(0);
    int n = batch(size);
    char path[] = "/tmp/zarvek-bench-XXXXXX.py";
    int fd = mkstemps(path, 3);
    if (fd < 0 || write(fd, PY_CLIENT, strlen(PY_CLIENT)) != (ssize_t)strlen(PY_CLIENT)) {
        state.SkipWithError("cannot write the python client");
        return;
    }
    close(fd);
    std::string cmd = std::string("/usr/bin/python3 ") + path + " " + server().url() + " " +
                      std::to_string(size) + " " + std::to_string(n);
    for (auto _ : state) {
        FILE *py = popen(cmd.c_str(), "r");
        double secs = 0;
        if (!py || fscanf(py, "%lf", &secs) != 1 || pclose(py) != 0) {
            state.SkipWithError("python client failed");
            break;
        }
        state.SetIterationTime(secs);
    }
    unlink(path);
    state.SetItemsProcessed(state.iterations() * n);
    state.SetBytesProcessed(state.iterations() * n * (int64_t)size * 2);
}

}  // namespace

BENCHMARK(BM_Ours)->Arg(1024)->Arg(1 << 20)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_Python)->Arg(1024)->Arg(1 << 20)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(
    benchmark::kMillisecond);

int main(int argc, char **argv) {
    const char *names = "VKO_WebSocket / python3-websockets";
    return bench::run_pairs(argc, argv,
                            {{"round trips, 1 KiB text", "BM_Ours/1024/iterations:1/repeats:3/manual_time",
                              "BM_Python/1024/iterations:1/repeats:3/manual_time", names},
                             {"round trips, 1 MiB text", "BM_Ours/1048576/iterations:1/repeats:3/manual_time",
                              "BM_Python/1048576/iterations:1/repeats:3/manual_time", names}});
}
