// The clipboard bridge on the test's own Xvfb with xclip as the other
// program: text both ways, both consumers, own writes not read back, texts
// without a text form, long texts, a silent owner and no display at all.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/xclip.h"
#include "support/xvfb.h"
#include "util/clipboard.h"
#include "util/logger.h"

namespace {

using Clock = std::chrono::steady_clock;

bool wait_until(const std::function<bool()> &cond, int ms = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

// The next text a consumer takes within a few seconds ("" when none came).
std::string next_text(const char *(*take)(void)) {
    std::string got;
    wait_until([&] {
        const char *t = take();
        if (t) got = t;
        return t != nullptr;
    });
    return got;
}

class Clipboard : public ::testing::Test {
   protected:
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        clipboard_init();
    }
    void TearDown() override { clipboard_destroy(); }
};

TEST_F(Clipboard, ReadsWhatAnotherProgramCopiedForBothConsumers) {
    const std::string first = "first \xe2\x9c\x93";
    const std::string later =
        "zweite Zeile \xe2\x80\x94 \xc3\xbcn\xc3\xaf \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xae";
    {
        XclipOwner a(first);
        EXPECT_EQ(next_text(clipboard_take_text_ui), first);
        XclipOwner b(later);
        EXPECT_EQ(next_text(clipboard_take_text_ui), later);
    }
    // Two texts before the first consumer's take: it gets only the later one.
    const char *t = clipboard_take_text();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t), later);
    EXPECT_EQ(clipboard_take_text(), nullptr);
    EXPECT_EQ(clipboard_take_text_ui(), nullptr);

    // Bytes that are not UTF-8 arrive replaced, never passed on raw.
    XclipOwner bad(std::string("ok \xff\xc3 end", 9));
    EXPECT_EQ(next_text(clipboard_take_text), "ok \xef\xbf\xbd\xef\xbf\xbd end");
}

TEST_F(Clipboard, WritesForOtherProgramsWithoutReadingItBack) {
    const std::string text = "w\xc3\xb6rld \xe2\x9c\x93 \xf0\x9f\x8e\xae";
    clipboard_set_text(text.c_str());
    EXPECT_TRUE(wait_until([&] { return xclip_read() == text; }));
    std::string targets = xclip_read("TARGETS");
    for (const char *name : {"TARGETS", "UTF8_STRING", "STRING", "TEXT"})
        EXPECT_NE(targets.find(name), std::string::npos) << name;
    EXPECT_EQ(xclip_read("TEXT"), text);
    EXPECT_EQ(xclip_read("STRING"), "w\xf6rld ? ?");

    // Several listener steps later the own write has not come back.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(clipboard_take_text(), nullptr);
    EXPECT_EQ(clipboard_take_text_ui(), nullptr);

    // Another program's copy still comes through, and ours is no longer served.
    XclipOwner other("back");
    EXPECT_EQ(next_text(clipboard_take_text), "back");
    EXPECT_EQ(xclip_read(), "back");
}

TEST_F(Clipboard, ChangeWithoutTextKeepsThePendingText) {
    XclipOwner a("kept");
    EXPECT_EQ(next_text(clipboard_take_text_ui), "kept");
    {
        XclipOwner image(std::string("\x89PNG\r\n\x1a\n", 8), "image/png");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(clipboard_take_text_ui(), nullptr);
    }
    const char *t = clipboard_take_text();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t), "kept");
}

TEST_F(Clipboard, LongTextsAreCutAtACharacterBoundary) {
    std::string wide;
    for (int i = 0; i < 60000; i++) wide += "\xc3\xa9";
    {
        XclipOwner a(wide + "tail");
        std::string got = next_text(clipboard_take_text);
        // 102,399 bytes of room: 51,199 two-byte characters fit.
        EXPECT_EQ(got.size(), 102398u);
        EXPECT_EQ(got, wide.substr(0, 102398));
    }
    {
        XclipOwner b(std::string(200000, 'a'));
        EXPECT_EQ(next_text(clipboard_take_text), std::string(CLIPBOARD_TEXT_MAX - 1, 'a'));
    }
    // Beyond a megabyte xclip hands it over in pieces.
    XclipOwner c(std::string(1500000, 'b'));
    EXPECT_EQ(next_text(clipboard_take_text), std::string(CLIPBOARD_TEXT_MAX - 1, 'b'));
}

TEST_F(Clipboard, SilentOwnerDoesNotStallTheBridge) {
    // Takes the selection and never answers a request.
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(dpy, XInternAtom(dpy, "CLIPBOARD", False), w, CurrentTime);
    XSync(dpy, False);

    // Consumers are never held up by the wait for the owner.
    auto start = Clock::now();
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(clipboard_take_text(), nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));

    XclipOwner after("after the silence");
    EXPECT_EQ(next_text(clipboard_take_text), "after the silence");
    clipboard_set_text("ours again");
    EXPECT_TRUE(wait_until([] { return xclip_read() == "ours again"; }));
    XCloseDisplay(dpy);
}

TEST_F(Clipboard, ChangesAreSeenWithinTheTimerPeriod) {
    ClipboardWatcher watch;
    double fastest = 1e9;
    for (int i = 0; i < 8; i++) {
        std::string text = "change " + std::to_string(i);
        uint64_t seen = watch.changes();
        XclipOwner owner(text);
        ASSERT_TRUE(wait_until([&] { return watch.changes() > seen; }));
        ASSERT_EQ(next_text(clipboard_take_text), text);
        auto took = Clock::now() - watch.last();
        fastest = std::min(fastest, std::chrono::duration<double, std::milli>(took).count());
    }
    // Owner-change notices are acted on at once; the fastest must beat the timer.
    EXPECT_LT(fastest, CLIPBOARD_TIMER_MS);
}

std::mutex g_log_mutex;
std::vector<std::pair<uint32_t, std::string>> g_log;

void capture(const char *, const char *, int32_t, uint32_t level, const char *text, int32_t, uint32_t,
             void *) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.emplace_back(level, text ? text : "");
}

TEST_F(Clipboard, WithoutADisplayInitLogsAndDoesNothing) {
    clipboard_destroy();
    std::string display = getenv("DISPLAY");
    setenv("DISPLAY", ":4242", 1);
    log_set_forward_callback(capture, nullptr);
    clipboard_init();
    log_set_forward_callback(nullptr, nullptr);
    setenv("DISPLAY", display.c_str(), 1);
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        ASSERT_EQ(g_log.size(), 1u);
        EXPECT_EQ(g_log[0].first, 1u);
        EXPECT_EQ(g_log[0].second, "Failed to register ZARVEK_CLIP.");
    }
    clipboard_set_text("nowhere");
    EXPECT_EQ(clipboard_take_text(), nullptr);
    clipboard_poll();
    EXPECT_EQ(clipboard_flush_write(), 0);
    clipboard_destroy();

    // A later init with a display works.
    clipboard_init();
    clipboard_set_text("there");
    EXPECT_TRUE(wait_until([] { return xclip_read() == "there"; }));
}

}  // namespace
