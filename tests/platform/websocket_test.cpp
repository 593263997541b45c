#include "platform/websocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <string>

#include "platform/memory.h"
#include "support/log_capture.h"
#include "support/net/ws_server.h"
#include "support/temp_dir.h"

namespace {

// What the client sent, as the server saw it.
struct Seen {
    std::promise<std::string> text, last;
};

std::string read_msg(VKO_WebSocket *ws, int32_t *r, uint32_t size = 16384, int32_t timeout = 5000) {
    std::string buf(size, '\0');
    *r = VKO_WebSocketRead(ws, timeout, buf.data(), size);
    return *r == VKO_WS_OK ? std::string(buf.c_str()) : "";
}

// Reports the next thing the client sends: its text, or "close <code>".
std::string next_from_client(WsPeer &p) {
    std::string msg;
    for (;;) {
        WsPeer::Kind k = p.recv(msg);
        if (k == WsPeer::TEXT) return msg;
        if (k == WsPeer::PONG) return "pong " + msg;
        if (k == WsPeer::CLOSE) return "close " + std::to_string(p.close_code);
        if (k != WsPeer::PING) return "kind " + std::to_string(k);
    }
}

}  // namespace

TEST(WebSocket, RefusedUpgradesAndTransportFailures) {
    for (int code : {200, 401, 412}) {
        WsServer server;
        ASSERT_TRUE(server.start([](WsPeer &) {}, nullptr, [code](const WsPeer &) { return code; }));
        uint16_t status = 0;
        EXPECT_EQ(VKO_WebSocketConnect(server.url().c_str(), nullptr, nullptr, 2000, &status), nullptr);
        EXPECT_EQ(status, code);
    }
    uint16_t status = 7;
    EXPECT_EQ(VKO_WebSocketConnect("ws://127.0.0.1:1/", nullptr, nullptr, 2000, &status), nullptr);
    EXPECT_EQ(status, 7);  // no reply: untouched
}

TEST(WebSocket, MessagesFragmentsControlFramesAndClose) {
    TempDir dir;
    TestCA ca;
    ASSERT_TRUE(ca.install(dir.file("ca.pem")));
    std::promise<std::vector<std::string>> heard;
    std::string big(5000, 'b');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)('a' + i % 26);
    WsServer server;
    ASSERT_TRUE(server.start(
        [&](WsPeer &p) {
            std::vector<std::string> got;
            got.push_back(p.target + " " + p.headers["user-agent"] + " " + p.headers["x-token"]);
            p.send_text(big, 1000, true);
            got.push_back(next_from_client(p));  // the pong to the ping between fragments
            p.send_frame(2, "binary is dropped");
            p.send_text("0123456789");
            got.push_back(std::to_string(next_from_client(p).size()));  // a 64-bit length field
            p.send_text("last words");
            p.send_close(4000, "bye");
            got.push_back(next_from_client(p));  // the client's answer to the close
            heard.set_value(got);
        },
        &ca));

    uint16_t status = 0;
    VKO_WebSocket *ws = VKO_WebSocketConnect(server.url("/?session_id=s").c_str(),
                                             "User-Agent: UA\nX-Token: t\n", nullptr, 2000, &status);
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(status, 101);

    int32_t r = -1;
    EXPECT_EQ(read_msg(ws, &r), big);
    EXPECT_EQ(r, VKO_WS_OK);
    {
        LogCapture log;  // exactly the message length leaves no room for the NUL
        read_msg(ws, &r, 10);
        EXPECT_EQ(r, VKO_WS_ERROR);
        EXPECT_TRUE(
            log.contains("VKO_WebSocketRead: WebSocket read buffer is not large enough for message + 1"));
    }
    EXPECT_EQ(read_msg(ws, &r, 11), "0123456789");
    read_msg(ws, &r, 100, 0);
    EXPECT_EQ(r, VKO_WS_TIMEOUT);
    EXPECT_TRUE(VKO_WebSocketWrite(ws, std::string(70000, 'w').c_str()));
    EXPECT_EQ(read_msg(ws, &r), "last words");  // a message right before the close still arrives
    read_msg(ws, &r);
    EXPECT_EQ(r, VKO_WS_CLOSED);
    EXPECT_EQ(VKO_WebSocketGetCloseCode(ws), 4000);
    EXPECT_FALSE(VKO_WebSocketWrite(ws, "too late"));
    VKO_WebSocketDestroy(&ws);
    EXPECT_EQ(ws, nullptr);

    auto got = heard.get_future().get();
    EXPECT_EQ(got, (std::vector<std::string>{"/?session_id=s UA t", "pong inside", "70000", "close 4000"}));
}

// Frames a server must never send end the connection with the RFC's code.
TEST(WebSocket, ForbiddenFramesCloseWithACode) {
    struct {
        const char *name;
        std::function<void(WsPeer &)> send;
        std::string answer;
        uint16_t code;  // the peer's close code as the client reports it
    } cases[] = {
        {"masked", [](WsPeer &p) { p.send_frame(1, "x", true, true); }, "close 1002", 0},
        {"reserved bit", [](WsPeer &p) { p.send_frame(1, "x", true, false, 4); }, "close 1002", 0},
        {"long ping", [](WsPeer &p) { p.send_frame(9, std::string(126, 'p')); }, "close 1002", 0},
        {"fragmented ping", [](WsPeer &p) { p.send_frame(9, "p", false); }, "close 1002", 0},
        {"stray continuation", [](WsPeer &p) { p.send_frame(0, "x"); }, "close 1002", 0},
        {"text inside text", [](WsPeer &p) { p.send_frame(1, "a", false), p.send_frame(1, "b"); },
         "close 1002", 0},
        {"unknown opcode", [](WsPeer &p) { p.send_frame(3, "x"); }, "close 1002", 0},
        {"oversized",
         [](WsPeer &p) {
             // A header announcing 2^40 bytes; nothing follows.
             std::string h = {(char)0x81, (char)127, 0, 0, 1, 0, 0, 0, 0, 0};
             p.conn().write(h);
         },
         "close 1009", 0},
        {"close without code", [](WsPeer &p) { p.send_frame(8, ""); }, "close 1000", 0},
        {"connection reset", [](WsPeer &p) { p.conn().reset(); }, "kind 0", 0},
        // Text must be UTF-8: a bad byte, an overlong form, a lone surrogate,
        // a code point above U+10FFFF, and a character cut short across fragments.
        {"bad utf-8", [](WsPeer &p) { p.send_frame(1, "ok\xC3\x28"); }, "close 1007", 0},
        {"overlong utf-8", [](WsPeer &p) { p.send_frame(1, "\xC0\xAF"); }, "close 1007", 0},
        {"lone surrogate", [](WsPeer &p) { p.send_frame(1, "a\xED\xA0\x80"); }, "close 1007", 0},
        {"beyond unicode", [](WsPeer &p) { p.send_frame(1, "\xF4\x90\x80\x80"); }, "close 1007", 0},
        {"cut across fragments",
         [](WsPeer &p) { p.send_frame(1, "ok\xE2\x82", false), p.send_frame(0, "(ok"); }, "close 1007", 0},
        // 1005 means "no code" and is never sent: the answer is a normal close.
        {"close 1005", [](WsPeer &p) { p.send_frame(8, std::string("\x03\xED", 2)); }, "close 1000", 1005},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::promise<std::string> answer;
        WsServer server;
        ASSERT_TRUE(server.start([&](WsPeer &p) {
            c.send(p);
            answer.set_value(next_from_client(p));
        }));
        VKO_WebSocket *ws = VKO_WebSocketConnect(server.url().c_str(), nullptr, nullptr, 2000, nullptr);
        ASSERT_NE(ws, nullptr);
        int32_t r = -1;
        LogCapture log;
        read_msg(ws, &r);
        EXPECT_EQ(r, VKO_WS_CLOSED);
        EXPECT_EQ(VKO_WebSocketGetCloseCode(ws), c.code);
        EXPECT_EQ(answer.get_future().get(), c.answer);
        VKO_WebSocketDestroy(&ws);
    }
}

// Characters of two to four bytes split between fragments arrive whole.
TEST(WebSocket, Utf8SplitAcrossFragmentsArrivesWhole) {
    const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBF";
    WsServer server;
    ASSERT_TRUE(server.start([&](WsPeer &p) {
        p.send_text(text, 1);
        std::string msg;
        p.recv(msg);
    }));
    VKO_WebSocket *ws = VKO_WebSocketConnect(server.url().c_str(), nullptr, nullptr, 2000, nullptr);
    ASSERT_NE(ws, nullptr);
    int32_t r = -1;
    EXPECT_EQ(read_msg(ws, &r), text);
    EXPECT_EQ(r, VKO_WS_OK);
    VKO_WebSocketDestroy(&ws);
}

// A server that pings without pause: a 20 ms read still answers its time-out
// (the signaling thread must get to send and to notice a change), and the
// connection goes on working.
TEST(WebSocket, ReadTimesOutWhilePingsKeepArriving) {
    std::atomic<bool> done{false};
    WsServer server;
    ASSERT_TRUE(server.start([&](WsPeer &p) {
        // Bursts of pings, faster than the client answers them, for at most 20 s.
        std::thread pinger([&] {
            std::string burst;
            for (int i = 0; i < 100; i++) burst += std::string("\x89\x01p", 3);
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!done && std::chrono::steady_clock::now() < end && p.conn().write(burst))
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            done = true;
        });
        std::string msg;
        while (!done) p.recv(msg, 50);  // the pongs
        pinger.join();
        p.send_text("after");
        while (p.recv(msg) == WsPeer::PONG) {
        }
    }));
    VKO_WebSocket *ws = VKO_WebSocketConnect(server.url().c_str(), nullptr, nullptr, 2000, nullptr);
    ASSERT_NE(ws, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // pings are waiting
    char buf[64];
    auto start = std::chrono::steady_clock::now();
    int32_t r = VKO_WebSocketRead(ws, 20, buf, sizeof buf);
    auto took = std::chrono::steady_clock::now() - start;
    done = true;
    EXPECT_EQ(r, VKO_WS_TIMEOUT);
    EXPECT_LT(took, std::chrono::seconds(10));  // not until the pings stop
    EXPECT_EQ(read_msg(ws, &r), "after");
    VKO_WebSocketDestroy(&ws);
}

// An independent server: Debian's python3-websockets echoes, sends a
// fragmented message and reports the code of the close our destroy sends.
TEST(WebSocket, AgainstPythonWebsockets) {
    TempDir dir;
    write_file(dir.file("server.py"), R"(
import asyncio, websockets
async def main():
    done = asyncio.Event()
    async def handler(ws):
        msg = await ws.recv()
        await ws.send(msg[::-1])
        await ws.send(iter(["frag", "mented"]))
        await ws.wait_closed()
        print(ws.close_code, flush=True)
        done.set()
    async with websockets.serve(handler, "127.0.0.1", 0) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.wait_for(done.wait(), 20)
asyncio.run(main())
)");
    FILE *py = popen(("exec /usr/bin/python3 " + dir.file("server.py")).c_str(), "r");
    ASSERT_NE(py, nullptr);
    int port = 0;
    ASSERT_EQ(fscanf(py, "%d", &port), 1);
    VKO_WebSocket *ws = VKO_WebSocketConnect(("ws://127.0.0.1:" + std::to_string(port) + "/").c_str(),
                                             nullptr, nullptr, 5000, nullptr);
    ASSERT_NE(ws, nullptr);
    EXPECT_TRUE(VKO_WebSocketWrite(ws, "abc"));
    int32_t r = -1;
    EXPECT_EQ(read_msg(ws, &r), "cba");
    EXPECT_EQ(read_msg(ws, &r), "fragmented");
    VKO_WebSocketDestroy(&ws);
    int code = 0;
    EXPECT_EQ(fscanf(py, "%d", &code), 1);
    EXPECT_EQ(code, 1000);
    pclose(py);
}
