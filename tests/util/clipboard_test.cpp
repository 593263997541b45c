// The clipboard bridge on the test's own Xvfb with xclip as the other
// program: text both ways, both consumers, own writes not read back, texts
// without a text form, the Latin-1 form, long texts, a silent owner, a server
// whose clock is weeks on, and no display at all.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/clipboard_x11.h"
#include "support/temp_dir.h"
#include "support/xclip.h"
#include "support/xvfb.h"
#include "support/xvfb_clock.h"
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

// A selection owner scripted in plain Xlib on a display connection of its
// own, on a thread of its own: it owns CLIPBOARD, offers `extra` made-up
// targets before UTF8_STRING, with `late_first` answers the first request
// only once the requestor has given up on it and asked again, with
// `refuse_late` refuses its first text request only when a second one came
// (answering it with the text), and sends the
// text incrementally in `piece` byte pieces
// `gap_ms` apart when `piece` is set. With `stall_first`, the first
// incremental transfer stops after two pieces and is never finished.
struct OwnerScript {
    std::string text;
    bool late_first = false;
    bool refuse_late = false;
    int extra = 0;
    size_t piece = 0;
    int gap_ms = 0;
    bool stall_first = false;
};

class ScriptedOwner {
   public:
    explicit ScriptedOwner(OwnerScript script) : s_(std::move(script)) {
        dpy_ = XOpenDisplay(nullptr);
        EXPECT_NE(dpy_, nullptr);
        win_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1, 1, 0, 0, 0);
        clipboard_ = XInternAtom(dpy_, "CLIPBOARD", False);
        targets_ = XInternAtom(dpy_, "TARGETS", False);
        utf8_ = XInternAtom(dpy_, "UTF8_STRING", False);
        incr_ = XInternAtom(dpy_, "INCR", False);
        for (int i = 0; i < s_.extra; i++)
            offered_.push_back(
                (long)XInternAtom(dpy_, ("ZARVEK_TEST_FORM_" + std::to_string(i)).c_str(), False));
        offered_.push_back((long)targets_);
        offered_.push_back((long)utf8_);
        XSetSelectionOwner(dpy_, clipboard_, win_, CurrentTime);
        XSync(dpy_, False);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedOwner() {
        stop_ = true;
        thread_.join();
        XDestroyWindow(dpy_, win_);
        XCloseDisplay(dpy_);
    }
    int requests() const { return requests_.load(); }

   private:
    // The next event within ms (false at the end of the wait or on stop).
    bool next(XEvent *ev, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop_) {
            if (XPending(dpy_)) {
                XNextEvent(dpy_, ev);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p = {ConnectionNumber(dpy_), POLLIN, 0};
            poll(&p, 1, (int)std::min<long long>(left, 20));
        }
        return false;
    }
    // Waits until the requestor deleted the property (it asks for more).
    bool deleted(Window w, Atom prop) {
        XEvent ev;
        while (next(&ev, 5000)) {
            if (ev.type == PropertyNotify && ev.xproperty.window == w && ev.xproperty.atom == prop &&
                ev.xproperty.state == PropertyDelete)
                return true;
            if (ev.type == SelectionRequest) queued_.push_back(ev);
        }
        return false;
    }
    void answer(const XSelectionRequestEvent &r, bool refuse = false) {
        XEvent reply = {};
        reply.xselection.type = SelectionNotify;
        reply.xselection.requestor = r.requestor;
        reply.xselection.selection = r.selection;
        reply.xselection.target = r.target;
        reply.xselection.time = r.time;
        reply.xselection.property = r.property;
        bool incr = false;
        if (refuse) {
            reply.xselection.property = None;
        } else if (r.target == targets_) {
            XChangeProperty(dpy_, r.requestor, r.property, XA_ATOM, 32, PropModeReplace,
                            (unsigned char *)offered_.data(), (int)offered_.size());
        } else if (r.target == utf8_ && !s_.piece) {
            XChangeProperty(dpy_, r.requestor, r.property, utf8_, 8, PropModeReplace,
                            (const unsigned char *)s_.text.data(), (int)s_.text.size());
        } else if (r.target == utf8_) {
            incr = true;
            XSelectInput(dpy_, r.requestor, PropertyChangeMask);
            long size = (long)s_.text.size();
            XChangeProperty(dpy_, r.requestor, r.property, incr_, 32, PropModeReplace, (unsigned char *)&size,
                            1);
        } else {
            reply.xselection.property = None;
        }
        XSendEvent(dpy_, r.requestor, False, NoEventMask, &reply);
        XFlush(dpy_);
        if (!incr) return;

        bool stall = s_.stall_first && !stalled_;
        stalled_ = stalled_ || stall;
        for (size_t at = 0, n = 0;; at += n) {
            if (!deleted(r.requestor, r.property)) return;
            if (stall && at >= 2 * s_.piece) return;  // never finishes
            if (at && s_.gap_ms) std::this_thread::sleep_for(std::chrono::milliseconds(s_.gap_ms));
            n = std::min(s_.piece, s_.text.size() - at);
            XChangeProperty(dpy_, r.requestor, r.property, utf8_, 8, PropModeReplace,
                            (const unsigned char *)s_.text.data() + at, (int)n);
            XFlush(dpy_);
            if (n == 0) return;
        }
    }
    void run() {
        XEvent ev;
        bool first = true;
        while (!stop_) {
            if (!queued_.empty()) {
                ev = queued_.front();
                queued_.erase(queued_.begin());
            } else if (!next(&ev, 100)) {
                continue;
            }
            if (ev.type != SelectionRequest) continue;
            requests_++;
            if (first && s_.late_first) {
                // Held until the next request shows the requestor gave up.
                XEvent again = {};
                bool asked = false;
                while (!asked && next(&again, 10000)) asked = again.type == SelectionRequest;
                if (asked) queued_.push_back(again);
            }
            first = false;
            if (s_.refuse_late && ev.xselectionrequest.target == utf8_ && !refused_) {
                if (!held_.type) {
                    held_ = ev;  // the requestor gives up on it and asks again
                    continue;
                }
                answer(held_.xselectionrequest, true);
                refused_ = true;
            }
            answer(ev.xselectionrequest);
        }
    }

    OwnerScript s_;
    Display *dpy_ = nullptr;
    Window win_ = 0;
    Atom clipboard_, targets_, utf8_, incr_;
    std::vector<long> offered_;
    std::vector<XEvent> queued_;
    bool stalled_ = false;
    XEvent held_ = {};
    bool refused_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// Every text a consumer is handed until `want` comes (or 10 s pass).
std::vector<std::string> texts_until(const std::string &want) {
    std::vector<std::string> got;
    wait_until(
        [&] {
            const char *t = clipboard_take_text();
            if (t) got.push_back(t);
            return t && want == t;
        },
        10000);
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

// STRING is served as Latin-1: what Latin-1 lacks, and each byte that is no
// UTF-8 (a lead byte without its continuation, an overlong form), as '?',
// never swallowing the byte after it.
TEST_F(Clipboard, StringFormIsLatin1WithEachByteThatIsNoUtf8Replaced) {
    ClipX11 *x = clip_x11_open();
    ASSERT_NE(x, nullptr);
    const std::string text =
        "\xC3\xA9 x\xC3"
        "Ay\xC1\x81 \xE2\x9C\x93";
    ASSERT_TRUE(clip_x11_own(x, text.data(), text.size(), 2000));
    std::atomic<bool> done{false};
    std::string got;
    std::thread reader([&] {
        got = xclip_read("STRING");
        done = true;
    });
    while (!done) {
        pollfd p = {clip_x11_fd(x), POLLIN, 0};
        poll(&p, 1, 20);
        clip_x11_dispatch(x);
    }
    reader.join();
    clip_x11_close(&x);
    EXPECT_EQ(got, "\xE9 x?Ay?? ?");
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

// An owner slower than the wait on its first request (it answers only after
// the request was given up and asked again), prompt afterwards: its late
// reply is never taken as the answer to a later request, and no empty text
// stands in for the one it holds.
TEST_F(Clipboard, LateReplyIsNeverTakenForALaterRequest) {
    const std::string text = "the real text \xe2\x9c\x93";
    ScriptedOwner owner({.text = text, .late_first = true});
    EXPECT_EQ(texts_until(text), std::vector<std::string>{text});
    EXPECT_GE(owner.requests(), 3);  // the slow request was given up and asked again
    // A late refusal of a text request is not the answer to the next one.
    ScriptedOwner refusing({.text = text + " again", .refuse_late = true});
    EXPECT_EQ(texts_until(text + " again"), std::vector<std::string>{text + " again"});
}

// Incremental transfers that take longer than one wait arrive whole; one that
// stops midway delivers nothing, and the change is read again.
TEST_F(Clipboard, SlowIncrementalTransfersArriveWhole) {
    std::string slow(90 * 1024, ' ');
    for (size_t i = 0; i < slow.size(); i++) slow[i] = (char)('a' + i % 26);
    {
        ScriptedOwner owner({.text = slow, .piece = 4096, .gap_ms = 8});
        EXPECT_EQ(texts_until(slow), std::vector<std::string>{slow});
    }
    const std::string again = slow.substr(0, 20000) + "again";
    ScriptedOwner owner({.text = again, .piece = 4096, .stall_first = true});
    EXPECT_EQ(texts_until(again), std::vector<std::string>{again});
}

// The whole list of forms is read: a text form after 1500 others is found.
TEST_F(Clipboard, TextFormListedAfterManyOthersIsFound) {
    const std::string text = "after 1500 forms";
    ScriptedOwner owner({.text = text, .extra = 1500});
    EXPECT_EQ(texts_until(text), std::vector<std::string>{text});
}

// A requestor of the test's own: the server's time (that of a change of a
// property of its window), and what the owner answers to a request made at
// a given time ("(refused)", "(no answer)").
class Requestor {
   public:
    Requestor() {
        dpy_ = XOpenDisplay(nullptr);
        win_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1, 1, 0, 0, 0);
        XSelectInput(dpy_, win_, PropertyChangeMask);
        prop_ = XInternAtom(dpy_, "ZARVEK_TEST_ANSWER", False);
    }
    ~Requestor() { XCloseDisplay(dpy_); }
    Time now() {
        XChangeProperty(dpy_, win_, prop_, XA_STRING, 8, PropModeAppend, (const unsigned char *)"", 0);
        XEvent e;
        auto stamp = [](const XEvent &e) {
            return e.type == PropertyNotify && e.xproperty.state == PropertyNewValue;
        };
        return next(stamp, &e) ? e.xproperty.time : CurrentTime;
    }
    std::string convert(Time t) {
        XConvertSelection(dpy_, XInternAtom(dpy_, "CLIPBOARD", False),
                          XInternAtom(dpy_, "UTF8_STRING", False), prop_, win_, t);
        XEvent e;
        if (!next([](const XEvent &e) { return e.type == SelectionNotify; }, &e)) return "(no answer)";
        if (e.xselection.property == None) return "(refused)";
        Atom type;
        int format;
        unsigned long n, after;
        unsigned char *data = nullptr;
        XGetWindowProperty(dpy_, win_, prop_, 0, 1 << 16, True, AnyPropertyType, &type, &format, &n, &after,
                           &data);
        std::string text = data ? std::string((const char *)data, n) : "";
        if (data) XFree(data);
        return text;
    }

   private:
    // The next event the predicate takes, within 5 s; the others are dropped.
    bool next(bool (*want)(const XEvent &), XEvent *e) {
        auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            while (XPending(dpy_)) {
                XNextEvent(dpy_, e);
                if (want(*e)) return true;
            }
            pollfd p = {ConnectionNumber(dpy_), POLLIN, 0};
            poll(&p, 1, 20);
        }
        return false;
    }
    Display *dpy_;
    Window win_;
    Atom prop_;
};

// X times count milliseconds from the server's start in 32 bits: past 2^31
// (24.8 days) they are negative as signed numbers, and they wrap after 49.7
// days. On a server whose clock is there, another program's copy is read,
// and a copy made just before the wrap is served to a request made after it,
// while a request from before the copy is still refused.
TEST_F(Clipboard, ReadsAndServesOnAServerWhoseClockIsWeeksOn) {
    clipboard_destroy();
    XvfbClock clock;
    clock.advance_to(0x80000000u + 1000000);
    XvfbServer server = xvfb_start_other({}, 320, 240, clock.env());
    ASSERT_FALSE(server.display.empty());
    // The bridge and every connection end before the server does.
    struct OnServer {
        XvfbServer *server;
        std::string display = getenv("DISPLAY");
        ~OnServer() {
            clipboard_destroy();
            xvfb_stop(server);
            setenv("DISPLAY", display.c_str(), 1);
        }
    } on{&server};
    setenv("DISPLAY", server.display.c_str(), 1);
    Requestor r;
    ASSERT_GE(r.now(), 0x80000000u) << "the server's clock is past 2^31";
    clipboard_init();
    {
        XclipOwner other("copied on day 25");
        EXPECT_EQ(next_text(clipboard_take_text), "copied on day 25");
    }

    const uint32_t before_wrap = 0xFFFFFFFFu - 20000;
    clock.advance_to(before_wrap);
    clipboard_set_text("copied before the wrap");
    ASSERT_TRUE(wait_until([&] { return r.convert(CurrentTime) == "copied before the wrap"; }));
    ASSERT_GE(r.now(), before_wrap) << "owned before the wrap";
    clock.advance_to(10000);
    Time after = r.now();
    ASSERT_LT(after, 0x80000000u) << "the clock wrapped";
    EXPECT_EQ(r.convert(after), "copied before the wrap");
    EXPECT_EQ(r.convert(before_wrap - 1000), "(refused)") << "a request from before the copy";
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
    // A display that cannot exist: a socket of the test's own that nothing
    // listens on, so no server (and no network) can answer.
    TempDir dir;
    std::string path = dir.file("no-display");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, (sockaddr *)&sa, sizeof sa), 0);
    close(fd);
    std::string display = getenv("DISPLAY");
    setenv("DISPLAY", path.c_str(), 1);
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log.clear();  // the test may be repeated
    }
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
