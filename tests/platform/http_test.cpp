#include "platform/http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/http_curl.h"
#include "platform/image.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "support/log_capture.h"
#include "support/net/http_server.h"
#include "support/temp_dir.h"

namespace {

struct Result {
    bool ok = false;
    uint16_t status = 0;
    std::string body;
    bool null_body = true;
};

Result request(const std::string &url, const char *method = "GET", const char *headers = nullptr,
               const std::string *body = nullptr, int32_t timeout = 5000) {
    Result r;
    void *resp = (void *)1;
    uint32_t size = 7;
    r.ok = VKO_HttpRequest(url.c_str(), method, headers, body ? body->data() : nullptr,
                           body ? (uint32_t)body->size() : 0, nullptr, timeout, &resp, &size, &r.status);
    r.null_body = resp == nullptr;
    if (resp) {
        EXPECT_EQ(((char *)resp)[size], '\0');
        r.body.assign((char *)resp, size);
    } else {
        EXPECT_EQ(size, 0u);
    }
    VKO_Free(resp);
    return r;
}

HttpReply reply(int status, const std::string &body, void (*tweak)(HttpReply &) = nullptr) {
    HttpReply r;
    r.status = status;
    r.body = body;
    if (tweak) tweak(r);
    return r;
}

class Http : public testing::Test {
   protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        ca = new TestCA;
        ASSERT_TRUE(ca->install(dir->file("ca.pem")));
    }
    static void TearDownTestSuite() {
        delete ca;
        delete dir;
    }
    static TempDir *dir;
    static TestCA *ca;
};
TempDir *Http::dir;
TestCA *Http::ca;

}  // namespace

TEST(HttpArgs, SchemesPortsAndHeaderBlocks) {
    struct {
        const char *url;
        const char *mapped;
        uint16_t port;
        bool secure;
    } urls[] = {
        {"ws://h/a?b=1", "http://h:80/a?b=1", 80, false},      {"WSS://h", "https://h:443/", 443, true},
        {"wss://h:8443/x", "https://h:8443/x", 8443, true},    {"https://h", "https://h:443/", 443, true},
        {"http://[::1]:99/p", "http://[::1]:99/p", 99, false},
    };
    for (auto &u : urls) {
        NetArgs a;
        ASSERT_TRUE(net_make_args(u.url, nullptr, &a)) << u.url;
        EXPECT_EQ(a.url, u.mapped);
        EXPECT_EQ(a.port, u.port);
        EXPECT_EQ(a.secure, u.secure);
        EXPECT_EQ(a.user_agent, VKO_HTTP_USER_AGENT);
        net_free_args(&a);
    }

    LogCapture log;
    for (const char *bad : {"ftp://h/x", "not a url", ""}) {
        NetArgs a;
        EXPECT_FALSE(net_make_args(bad, nullptr, &a));
        EXPECT_TRUE(log.lines().size() &&
                    log.lines().back().rfind(std::string("net_make_args: 'WinHttpCrackUrl' "
                                                         "failed to parse '") +
                                                 bad + "' with error 0x",
                                             0) == 0);
    }

    // First User-Agent wins and is no header line; parsing stops at a line
    // without a value.
    struct {
        const char *text;
        const char *agent;
        std::vector<std::string> lines;
    } blocks[] = {
        {"User-Agent: X\r\nAccept: text/plain\r\n", "X", {"Accept: text/plain", "Expect:", "Content-Type:"}},
        {"user-agent:\tA\nUser-Agent: B\nX-One:1\n",
         "A",
         {"X-One: 1", "Accept:", "Expect:", "Content-Type:"}},
        {"X-A: 1\nX-Empty:\nX-B: 2\n",
         VKO_HTTP_USER_AGENT,
         {"X-A: 1", "Accept:", "Expect:", "Content-Type:"}},
    };
    for (auto &b : blocks) {
        NetArgs a;
        ASSERT_TRUE(net_make_args("http://h/", b.text, &a));
        EXPECT_EQ(a.user_agent, b.agent);
        std::vector<std::string> got;
        for (curl_slist *l = a.headers; l; l = l->next) got.push_back(l->data);
        EXPECT_EQ(got, b.lines) << b.text;
        net_free_args(&a);
    }
}

TEST_F(Http, RequestsAgainstPlainAndTlsServers) {
    HttpServer plain, tls;
    ASSERT_TRUE(plain.start());
    ASSERT_TRUE(tls.start(ca));
    for (HttpServer *s : {&plain, &tls}) {
        s->route("/ok", reply(200, "hello"));
        s->route("/chunked",
                 reply(200, std::string(100, 'c') + "end", [](HttpReply &r) { r.chunked = true; }));
        s->route("/gzip", reply(200, std::string(5000, 'z'), [](HttpReply &r) { r.gzip = true; }));
        s->route("/empty", reply(204, ""));
    }

    std::string post = "a=1";
    struct {
        HttpServer *server;
        std::string path;
        const char *method;
        const char *headers;
        const std::string *body;
        uint16_t status;
        std::string reply;
    } cases[] = {
        {&plain, "/ok", "GET", "User-Agent: X\nAccept: text/plain\n", nullptr, 200, "hello"},
        {&plain, "/missing", "GET", nullptr, nullptr, 404, "no such path"},
        {&plain, "/chunked", "GET", nullptr, nullptr, 200, std::string(100, 'c') + "end"},
        {&plain, "/gzip", "GET", nullptr, nullptr, 200, std::string(5000, 'z')},
        {&plain, "/ok", "POST", nullptr, &post, 200, "hello"},
        {&plain, "/empty", "GET", nullptr, nullptr, 204, ""},
        {&tls, "/ok", "GET", nullptr, nullptr, 200, "hello"},
        {&tls, "/chunked", "PUT", nullptr, &post, 200, std::string(100, 'c') + "end"},
        {&tls, "/missing", "GET", nullptr, nullptr, 404, "no such path"},
    };
    for (auto &c : cases) {
        std::string url = c.server->url(c.path);
        SCOPED_TRACE(url);
        Result r = request(url, c.method, c.headers, c.body);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.reply);
        EXPECT_EQ(r.null_body, c.reply.empty());
        // What the server saw: method, body, and only the headers asked for.
        HttpSeen seen = c.server->seen().back();
        EXPECT_EQ(seen.method, c.method);
        EXPECT_EQ(seen.body, c.body ? *c.body : "");
        EXPECT_EQ(seen.headers["user-agent"], c.headers ? "X" : VKO_HTTP_USER_AGENT);
        EXPECT_EQ(seen.headers.count("accept"), c.headers ? 1u : 0u);
        EXPECT_EQ(seen.headers.count("expect") + seen.headers.count("content-type"), 0u);
    }

    // ws and wss are plain and TLS HTTP.
    EXPECT_EQ(request("ws" + plain.url("/ok").substr(4)).body, "hello");
    EXPECT_EQ(request("wss" + tls.url("/ok").substr(5)).body, "hello");
}

TEST_F(Http, FailuresFreeWhatWasRead) {
    HttpServer plain, tls13;
    ASSERT_TRUE(plain.start());
    ASSERT_TRUE(tls13.start(ca, false));
    plain.route("/stall", reply(200, "late", [](HttpReply &r) { r.stall_ms = 10000; }));
    plain.route("/drop", reply(200, "", [](HttpReply &r) { r.drop = true; }));
    plain.route("/big", reply(200, "x", [](HttpReply &r) { r.filler = 5000; }));
    plain.route("/ok", reply(200, "fine"));
    tls13.route("/ok", reply(200, "fine"));

    VKO_HttpSetBodyLimit(4096);
    int64_t start = VKO_GetTime();
    struct {
        std::string url;
        bool status_set;
    } cases[] = {
        {plain.url("/stall"), false},
        {plain.url("/drop"), false},
        {plain.url("/big"), true},
        {tls13.url("/ok"), false},                      // TLS 1.3 only: refused
        {"https" + plain.url("/ok").substr(4), false},  // TLS to a plain server
        {"http://127.0.0.1:1/", false},                 // nobody listening
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.url);
        Result r = request(c.url, "GET", nullptr, nullptr, 300);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.null_body);
        EXPECT_EQ(r.status != 0, c.status_set);
    }
    EXPECT_LT(VKO_TimeDiff(start, VKO_GetTime()), 5000.0);  // the stall ended by the time-out
    VKO_HttpSetBodyLimit(0);
    EXPECT_EQ(request(plain.url("/big")).body.size(), 5001u);

    // A server certificate from a CA nobody trusts.
    TestCA other;
    HttpServer stranger;
    ASSERT_TRUE(stranger.start(&other));
    stranger.route("/ok", reply(200, "fine"));
    EXPECT_FALSE(request(stranger.url("/ok")).ok);
}

TEST_F(Http, AsyncRequestsArePolledBySlot) {
    void *resp = nullptr;
    uint32_t size = 0;
    uint16_t status = 0;
    uint32_t handle = 5;

    EXPECT_EQ(VKO_HttpAsyncPoll(0, &resp, &size, &status), VKO_HTTP_ASYNC_FAILED);  // no pool yet
    VKO_HttpAsyncRequest(&handle, "http://127.0.0.1:1/", "GET", nullptr, nullptr, 0, nullptr, 100, false);
    EXPECT_EQ(handle, 5u);

    HttpServer server;
    ASSERT_TRUE(server.start(ca));
    uint32_t rgba_size = 64 * 32 * 4;
    std::vector<uint8_t> px(rgba_size, 0x5A);
    size_t png_size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, px.data(), 64, 32, &png_size);
    server.route("/png", reply(200, std::string((char *)png, png_size)));
    server.route("/err", reply(500, std::string((char *)png, png_size)));
    server.route("/stall", reply(200, "", [](HttpReply &r) { r.stall_ms = 10000; }));
    VKO_Free(png);

    VKO_HttpAsyncCreate(3);
    VKO_HttpAsyncCreate(8);  // no effect: still three slots
    EXPECT_EQ(VKO_HttpAsyncPoll(0, &resp, &size, &status), VKO_HTTP_ASYNC_NONE);

    uint32_t img = 0, err = 0, stall = 0, extra = 0;
    VKO_HttpAsyncRequest(&stall, server.url("/stall").c_str(), "GET", nullptr, nullptr, 0, nullptr, 5000,
                         false);
    VKO_HttpAsyncRequest(&img, server.url("/png").c_str(), "GET", nullptr, nullptr, 0, nullptr, 5000, true);
    VKO_HttpAsyncRequest(&err, server.url("/err").c_str(), "GET", "X-Token: secret", nullptr, 0, nullptr,
                         5000, true);
    {
        LogCapture log;
        extra = 9;
        VKO_HttpAsyncRequest(&extra, server.url("/png").c_str(), "GET", nullptr, nullptr, 0, nullptr, 5000,
                             true);
        EXPECT_EQ(extra, 0u);
        EXPECT_TRUE(log.contains("VKO_HttpAsyncRequest: Failed to start " + server.url("/png")));
    }
    EXPECT_EQ(VKO_HttpAsyncPoll(stall, &resp, &size, &status), VKO_HTTP_ASYNC_RUNNING);

    auto wait = [&](uint32_t h) {
        uint32_t r;
        while ((r = VKO_HttpAsyncPoll(h, &resp, &size, &status)) == VKO_HTTP_ASYNC_RUNNING) VKO_Sleep(2);
        return r;
    };
    EXPECT_EQ(wait(img), VKO_HTTP_ASYNC_OK);
    EXPECT_EQ(size, 0x00200040u);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(std::vector<uint8_t>((uint8_t *)resp, (uint8_t *)resp + rgba_size), px);
    EXPECT_EQ(wait(err), VKO_HTTP_ASYNC_OK);  // raw body for a non-2xx status
    EXPECT_EQ(status, 500);
    EXPECT_EQ(size, png_size);
    EXPECT_EQ(memcmp(resp, "\x89PNG", 4), 0);

    // Reusing a handle releases its old request; an undecodable image is result 0 without a response.
    server.route("/png", reply(200, "not a picture"));
    VKO_HttpAsyncRequest(&img, server.url("/png").c_str(), "GET", nullptr, nullptr, 0, nullptr, 5000, true);
    EXPECT_EQ(wait(img), VKO_HTTP_ASYNC_OK);
    EXPECT_TRUE(resp == nullptr && size == 0);
    VKO_HttpAsyncRequest(&err, "http://127.0.0.1:1/", "GET", nullptr, nullptr, 0, nullptr, 1000, false);
    EXPECT_EQ(wait(err), VKO_HTTP_ASYNC_FAILED);

    VKO_HttpAsyncClear(&img);
    EXPECT_EQ(img, 0u);
    VKO_HttpAsyncClear(&stall);  // still running: freed when it ends
    EXPECT_EQ(VKO_HttpAsyncPoll(err, &resp, &size, &status), VKO_HTTP_ASYNC_FAILED);
    server.stop();  // ends the stall, so destroy does not wait long
    VKO_HttpAsyncDestroy();
    EXPECT_EQ(VKO_HttpAsyncPoll(err, &resp, &size, &status), VKO_HTTP_ASYNC_FAILED);
}

// What a server sends back is bounded: redirects are followed only so far, a
// compressed body inflates only so much per byte received, and an image
// request's body only holds a picture file.
TEST_F(Http, RedirectsInflationAndImageBodiesAreBounded) {
    HttpServer server;
    ASSERT_TRUE(server.start());
    const int hops = 30;
    for (int i = 0; i < hops; i++) {
        std::string next = "Location: /hop/" + std::to_string(i + 1);
        HttpReply r = reply(302, "");
        r.headers.push_back(next);
        server.route("/hop/" + std::to_string(i), r);
    }
    server.route("/hop/" + std::to_string(hops), reply(200, "end"));

    // Exactly the limit of redirects is followed; one more fails the request.
    Result r = request(server.url("/hop/" + std::to_string(hops - VKO_HTTP_MAX_REDIRECTS)));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "end");
    size_t before = server.seen().size();
    r = request(server.url("/hop/0"));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.null_body);
    EXPECT_EQ(server.seen().size() - before, (size_t)VKO_HTTP_MAX_REDIRECTS + 1);

    // 8 MiB of one letter compresses about a thousandfold: refused. Text that
    // compresses like text, and anything within the first MiB, is delivered.
    server.route("/bomb", reply(200, std::string(8u << 20, 'a'), [](HttpReply &h) { h.gzip = true; }));
    std::string text(3u << 20, ' ');
    uint32_t seed = 1;
    for (char &c : text) c = (char)('a' + (seed = seed * 1103515245 + 12345) % 26);
    server.route("/text", reply(200, text, [](HttpReply &h) { h.gzip = true; }));
    server.route("/small", reply(200, std::string(1u << 20, 'b'), [](HttpReply &h) { h.gzip = true; }));
    r = request(server.url("/bomb"));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.null_body);
    EXPECT_EQ(request(server.url("/text")).body, text);
    EXPECT_EQ(request(server.url("/small")).body.size(), 1u << 20);

    // An image request whose body is beyond a picture file's bound fails; the
    // same body is an ordinary request's to read.
    server.route("/huge", reply(200, "\x89PNG", [](HttpReply &h) { h.filler = VKO_HTTP_IMAGE_BODY_LIMIT; }));
    VKO_HttpAsyncCreate(2);
    uint32_t img = 0, plain = 0;
    VKO_HttpAsyncRequest(&img, server.url("/huge").c_str(), "GET", nullptr, nullptr, 0, nullptr, 5000, true);
    VKO_HttpAsyncRequest(&plain, server.url("/huge").c_str(), "GET", nullptr, nullptr, 0, nullptr, 5000,
                         false);
    void *resp = nullptr;
    uint32_t size = 0;
    uint16_t status = 0;
    auto wait = [&](uint32_t h) {
        uint32_t res;
        int64_t start = VKO_GetTime();
        while ((res = VKO_HttpAsyncPoll(h, &resp, &size, &status)) == VKO_HTTP_ASYNC_RUNNING &&
               VKO_TimeDiff(start, VKO_GetTime()) < 20000)
            VKO_Sleep(2);
        return res;
    };
    EXPECT_EQ(wait(img), VKO_HTTP_ASYNC_FAILED);
    EXPECT_EQ(resp, nullptr);
    EXPECT_EQ(wait(plain), VKO_HTTP_ASYNC_OK);
    EXPECT_EQ(size, VKO_HTTP_IMAGE_BODY_LIMIT + 4);
    VKO_HttpAsyncDestroy();
}
