// Keeping the system awake: logind's inhibitor lock taken over the system
// D-Bus, against a stand-in logind on a private bus started by the test, and
// the display part alone when there is no system bus.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/app.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

// Xlib's macros (None, Bool) after GoogleTest's headers.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace {

const char kIntrospection[] =
    "<node><interface name='org.freedesktop.login1.Manager'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='h' direction='out'/></method>"
    "</interface></node>";

// A logind that only hands out inhibitor locks: a pipe whose write end goes
// to the caller; the read end sees the end of the file once the lock is let go.
class FakeLogind {
   public:
    explicit FakeLogind(const std::string &address) {
        ctx_ = g_main_context_new();
        loop_ = g_main_loop_new(ctx_, FALSE);
        thread_ = std::thread([this, address] { run(address); });
        for (int i = 0; i < 2000 && !ready_; i++) usleep(5000);
    }
    ~FakeLogind() {
        g_main_context_invoke(
            ctx_,
            [](gpointer loop) {
                g_main_loop_quit((GMainLoop *)loop);
                return G_SOURCE_REMOVE;
            },
            loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(ctx_);
        if (kept >= 0) close(kept);
    }
    std::atomic<bool> ready_{false}, connected_{false};
    std::atomic<int> calls{0};
    std::string what, mode;
    int kept = -1;

   private:
    void run(const std::string &address) {
        g_main_context_push_thread_default(ctx_);
        GError *err = nullptr;
        GDBusConnection *conn = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            (GDBusConnectionFlags)(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &err);
        if (!conn) {
            g_error_free(err);
            g_main_context_pop_thread_default(ctx_);
            ready_ = true;
            return;
        }
        connected_ = true;
        GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method,
               GVariant *params, GDBusMethodInvocation *inv, gpointer self_ptr) {
                auto *self = (FakeLogind *)self_ptr;
                const gchar *what, *who, *why, *mode;
                g_variant_get(params, "(&s&s&s&s)", &what, &who, &why, &mode);
                self->what = what, self->mode = mode;
                self->calls++;
                int p[2];
                if (strcmp(method, "Inhibit") != 0 || pipe2(p, O_CLOEXEC) != 0) {
                    g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.DBus.Error.Failed",
                                                               "no");
                    return;
                }
                GUnixFDList *list = g_unix_fd_list_new();
                g_unix_fd_list_append(list, p[1], nullptr);
                close(p[1]);
                if (self->kept >= 0) close(self->kept);
                self->kept = p[0];
                g_dbus_method_invocation_return_value_with_unix_fd_list(inv, g_variant_new("(h)", 0), list);
                g_object_unref(list);
            },
            nullptr,
            nullptr,
            {nullptr}};
        guint id = g_dbus_connection_register_object(conn, "/org/freedesktop/login1", info->interfaces[0],
                                                     &vtable, this, nullptr, nullptr);
        GVariant *r = g_dbus_connection_call_sync(conn, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", "org.freedesktop.login1", 4u),
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (r) g_variant_unref(r);
        ready_ = true;
        g_main_loop_run(loop_);
        g_dbus_connection_unregister_object(conn, id);
        g_dbus_node_info_unref(info);
        g_dbus_connection_close_sync(conn, nullptr, nullptr);
        g_object_unref(conn);
        g_main_context_pop_thread_default(ctx_);
    }
    GMainContext *ctx_;
    GMainLoop *loop_;
    std::thread thread_;
};

// The read end sees every write end closed.
bool released(int fd) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 15000) <= 0) return false;
    char c;
    return read(fd, &c, 1) == 0;
}

TEST(AppStayAwake, TakesAndReleasesLogindsLockAndDegradesWithoutIt) {
    if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    TempDir dir;
    // No system bus: the display is still kept awake, and the rest is logged.
    std::string none = "unix:path=" + dir.file("no-bus");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", none.c_str(), 1);
    {
        LogCapture log;
        VKO_AppStayAwake(true);
        VKO_AppStayAwake(false);
        bool noted = false;
        for (const std::string &l : log.lines())
            noted |= l.rfind("VKO_AppStayAwake: system sleep is not held off: no system bus", 0) == 0;
        EXPECT_TRUE(noted);
        EXPECT_FALSE(log.contains("VKO_AppStayAwake: 'SetThreadExecutionState' failed"));
    }
    // A private bus with a stand-in logind.
    std::string socket = dir.file("bus");
    std::string address = "unix:path=" + socket;
    // The daemon prints its address once it listens (its socket file exists
    // a moment before that, when a connection is still refused).
    int said[2];
    ASSERT_EQ(pipe2(said, O_CLOEXEC), 0);
    const std::string arg = "--address=" + address;
    pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDWR);
        dup2(said[1], 1);
        dup2(null, 2);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1", arg.c_str(),
               (char *)nullptr);
        _exit(127);
    }
    close(said[1]);
    bool listening = false;
    for (char c = 0;;) {
        pollfd p = {said[0], POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0 || read(said[0], &c, 1) != 1) break;
        if (c == '\n') {
            listening = true;
            break;
        }
    }
    close(said[0]);
    if (!listening) {
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
        GTEST_SKIP() << "dbus-daemon did not start";
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    {
        FakeLogind logind(address);
        ASSERT_TRUE(logind.ready_);
        ASSERT_TRUE(logind.connected_);
        LogCapture log;
        VKO_AppStayAwake(true);
        ASSERT_EQ(logind.calls, 1);
        EXPECT_EQ(logind.what, "sleep:idle");
        EXPECT_EQ(logind.mode, "block");
        VKO_AppStayAwake(true);
        EXPECT_EQ(logind.calls, 1) << "one lock at a time";
        pollfd p = {logind.kept, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "held";
        VKO_AppStayAwake(false);
        EXPECT_TRUE(released(logind.kept));
        EXPECT_TRUE(log.lines().empty());
    }
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

// The display half: the server counts each client's suspensions of the screen
// saver, the request is one boolean. After two requests one release lets the
// saver come on again, and so does destroying an app while one is held.
TEST(AppStayAwake, OneReleaseEndsRepeatedRequestsAndSoDoesTheAppsDestroy) {
    if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    TempDir dir;
    std::string none = "unix:path=" + dir.file("no-bus");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", none.c_str(), 1);  // the display half alone
    Display *d = XOpenDisplay(xvfb_display().c_str());
    ASSERT_NE(d, nullptr);
    XSetScreenSaver(d, 1, 0, DontPreferBlanking, AllowExposures);
    auto saver_comes_on = [&] {
        XForceScreenSaver(d, ScreenSaverReset);
        XSync(d, False);
        XScreenSaverInfo *info = XScreenSaverAllocInfo();
        bool on = false;
        for (int i = 0; i < 1000 && !on; i++) {
            on = XScreenSaverQueryInfo(d, DefaultRootWindow(d), info) && info->state == ScreenSaverOn;
            if (!on) usleep(10000);
        }
        XFree(info);
        XForceScreenSaver(d, ScreenSaverReset);
        XSync(d, False);
        return on;
    };
    VKO_AppStayAwake(true);
    VKO_AppStayAwake(true);
    VKO_AppStayAwake(false);
    EXPECT_TRUE(saver_comes_on()) << "released";

    VKO_App *app = VKO_AppCreate(0, nullptr, nullptr, nullptr);
    ASSERT_NE(app, nullptr);
    VKO_AppStayAwake(true);
    VKO_AppStayAwake(true);
    VKO_AppDestroy(&app);
    EXPECT_TRUE(saver_comes_on()) << "released with the app";

    XSetScreenSaver(d, -1, -1, DefaultBlanking, DefaultExposures);
    XCloseDisplay(d);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
