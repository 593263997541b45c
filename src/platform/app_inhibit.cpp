// Keeping the system from sleeping: logind's "sleep:idle" inhibitor lock,
// taken over the system D-Bus. logind keeps the lock while our end of the
// descriptor it hands out is open.
//
// Model: g_lock_fd is the descriptor of the lock we hold, -1 for none. Any
// thread may take or release the lock; g_mutex guards g_lock_fd, and the
// D-Bus call that takes it runs under the mutex, so two takes never hold two
// locks. Always: at most one lock is held.
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <mutex>

#include "platform/app_internal.h"
#include "platform/log.h"

namespace {

std::mutex g_mutex;
int g_lock_fd = -1;

}  // namespace

bool app_sleep_inhibit(bool enable) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!enable) {
        if (g_lock_fd >= 0) close(g_lock_fd);
        g_lock_fd = -1;
        return true;
    }
    if (g_lock_fd >= 0) return true;
    GError *err = nullptr;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &err);
    if (!bus) {
        VKO_Log("VKO_AppStayAwake", "system sleep is not held off: no system bus (%s)",
                err ? err->message : "unknown");
        if (err) g_error_free(err);
        return false;
    }
    // The bus going away (or restarting) must not end the process, as the
    // shared connection would by default.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    GUnixFDList *fds = nullptr;
    GVariant *reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
        g_variant_new("(ssss)", "sleep:idle", "Zarvek", "A session is in progress", "block"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, &fds, nullptr, &err);
    if (reply) {
        gint32 index = -1;
        g_variant_get(reply, "(h)", &index);
        if (fds && index >= 0 && index < g_unix_fd_list_get_length(fds))
            g_lock_fd = g_unix_fd_list_get(fds, index, &err);
        g_variant_unref(reply);
    }
    if (fds) g_object_unref(fds);
    g_object_unref(bus);
    if (g_lock_fd < 0) {
        VKO_Log("VKO_AppStayAwake", "system sleep is not held off: logind refused (%s)",
                err ? err->message : "no lock in the answer");
        if (err) g_error_free(err);
        g_lock_fd = -1;
        return false;
    }
    if (err) g_error_free(err);
    return true;
}
