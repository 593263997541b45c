// The shell's frame and event functions driving a real app object under
// Xvfb: the loop runs until the shell asks to quit, events reach the shell
// (type 0 never), the message hook can take a message, the clipboard's second
// consumer's text (another program copies with xclip) reaches the shell, and
// tray items ask the shell for checks.
#include "app/frame.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "app/context.h"
#include "platform/window.h"
#include "support/x_window.h"
#include "support/xclip.h"
#include "support/xvfb.h"
#include "util/clipboard.h"

namespace {

struct Shell {
    std::vector<VKO_EventType> events;
    std::vector<std::string> clips;
    int messages = 0;
};
Shell g_shell;

void send_close(Window w) {
    Display *dpy = XOpenDisplay(xvfb_display().c_str());
    send_wm_close(dpy, w);
    XCloseDisplay(dpy);
}

TEST(AppFrame, RunsTheLoopForTheShell) {
    if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    AppContext ctx;
    memset(&ctx, 0, sizeof(ctx));
    g_shell = Shell();
    static const AppShellHooks h = {
        [](AppContext *c, const VKO_Event *e) {
            g_shell.events.push_back(e->type);
            if (e->type == VKO_EVENT_CLOSE) app_request_quit(c);
        },
        [](AppContext *, int32_t window, uint32_t message, uintptr_t) {
            g_shell.messages++;
            return window == 0 && message == ClientMessage && g_shell.messages > 1000000;
        },
        [](AppContext *c, const char *text) {
            g_shell.clips.push_back(text);
            app_request_quit(c);
        },
        [](AppContext *) { return true; },
    };
    app_set_hooks(&ctx, &h);
    clipboard_init();
    VKO_App *app = VKO_AppCreate(0, app_frame, app_event, &ctx);
    ASSERT_NE(app, nullptr);
    VKO_AppSetMessageHook(app, app_message_hook);
    VKO_Frame f = {0, 200, 100, "", 0, 0};
    ASSERT_EQ(VKO_WindowCreate(app, "shell", &f, 0), 0);
    EXPECT_TRUE(app_tray_checked(&ctx));
    VKO_AppSetTimeout(app, 1);
    {
        // A close after 5 s ends the loop should the text never come.
        std::atomic<bool> done{false};
        Window w = (Window)(uintptr_t)VKO_WindowGetNative(app, 0);
        std::thread guard([&] {
            for (int i = 0; i < 500 && !done; i++) usleep(10000);
            if (!done) send_close(w);
        });
        XclipOwner copied("copied");
        VKO_AppRun(app);
        done = true;
        guard.join();
    }
    ASSERT_EQ(g_shell.clips.size(), 1u);
    EXPECT_EQ(g_shell.clips[0], "copied");
    ctx.quit = false;
    // A close command ends the loop through the shell.
    send_close((Window)(uintptr_t)VKO_WindowGetNative(app, 0));
    VKO_AppRun(app);
    EXPECT_TRUE(ctx.quit);
    EXPECT_GE(ctx.frames, 2u);
    EXPECT_GT(g_shell.messages, 0);
    ASSERT_FALSE(g_shell.events.empty());
    EXPECT_EQ(g_shell.events.back(), VKO_EVENT_CLOSE);
    VKO_Event none = {};
    size_t n = g_shell.events.size();
    app_event(&none, &ctx);
    EXPECT_EQ(g_shell.events.size(), n) << "type 0 is ignored";
    clipboard_destroy();
    VKO_AppDestroy(&app);
}

}  // namespace
