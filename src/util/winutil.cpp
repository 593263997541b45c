#include "util/winutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <pthread.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/shell.h"
#include "compat/devnode/devnode.h"
#include "compat/registry/registry.h"
#include "compat/security/security.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"

// --- access rights ---------------------------------------------------------

bool util_set_privilege(void *token, bool enable) {
    const SecBackend *b = sec_backend();
    int e = b->lookup_privilege();
    if (e) {
        VKO_Log("util_set_privilege", "LookupPrivilegeValue error: %u", (unsigned)e);
        return false;
    }
    bool not_all = false;
    e = b->adjust_privilege(token, enable, &not_all);
    if (e) {
        VKO_Log("util_set_privilege", "AdjustTokenPrivileges error: %u\n", (unsigned)e);
        return false;
    }
    if (not_all) {
        VKO_Log("util_set_privilege", "The token does not have the specified privilege.");
        return false;
    }
    return true;
}

bool util_change_permissions_everyone(const char *path) {
    const char *tag = "util_change_permissions_everyone";
    if (!path) return false;
    const SecBackend *b = sec_backend();
    SecAcl old_acl;
    int e = b->get_dacl(path, &old_acl);
    if (e) {
        VKO_Log(tag, "GetFileSecurity() failed. Error %d", e);
        return false;
    }
    SecAcl n;
    if (!sec_acl_grant_everyone(&old_acl, &n)) {
        VKO_Log(tag, "AddAce() failed. Error %d", ENOSPC);
        return false;
    }
    e = b->set_dacl(path, &n);
    if (e) {
        VKO_Log(tag, "SetFileSecurity() failed. Error %d", e);
        return false;
    }
    return true;
}

bool util_change_permissions_everyone_fd(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    mode_t want = S_ISDIR(st.st_mode) ? 07 : 06;
    if ((st.st_mode & want) == want) return true;
    if (fchmod(fd, (st.st_mode & 07777) | want) != 0) {
        VKO_Log("util_change_permissions_everyone", "SetFileSecurity() failed. Error %d", errno);
        return false;
    }
    return true;
}

bool util_take_ownership(const char *in_path) {
    const char *tag = "util_take_ownership";
    if (!in_path) return true;
    std::string path = in_path;
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    // a network path, a path we cannot look at, or a link is left alone
    if (path.rfind("//", 0) == 0) return true;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return true;

    SecAcl acl = {};
    if (!sec_acl_add(&acl, true, SEC_SID_EVERYONE, SEC_GENERIC_READ, false) ||
        !sec_acl_add(&acl, true, SEC_SID_ADMINS, SEC_GENERIC_ALL, false)) {
        VKO_Log(tag, "Failed SetEntriesInAcl");
        return false;
    }
    const SecBackend *b = sec_backend();
    int e = b->set_dacl(path.c_str(), &acl);
    if (!e) return true;
    if (!sec_is_access_denied(e)) {
        VKO_Log(tag, "First SetNamedSecurityInfo call failed: %u", (unsigned)e);
        return false;
    }
    void *token = nullptr;
    e = b->open_token(&token);
    if (e) {
        VKO_Log(tag, "OpenProcessToken failed: %u", (unsigned)e);
        return false;
    }
    if (!util_set_privilege(token, true)) {
        VKO_Log(tag, "User is not an administrator.");
        return false;
    }
    int owner_err = b->set_owner_admins(path.c_str());
    if (!util_set_privilege(token, false)) VKO_Log(tag, "Failed SetPrivilege call unexpectedly.");
    if (owner_err) {
        VKO_Log(tag, "Could not set owner. Error: %u", (unsigned)owner_err);
        return false;
    }
    e = b->set_dacl(path.c_str(), &acl);
    if (e) {
        VKO_Log(tag, "Second SetNamedSecurityInfo call failed: %u", (unsigned)e);
        return false;
    }
    return true;
}

static void fix_entry(const char *path) {
    if (!util_change_permissions_everyone(path)) {
        util_take_ownership(path);
        util_change_permissions_everyone(path);
    }
}

static void apply_tree(const char *folder, int depth) {
    DIR *d = opendir(folder);
    if (!d) return;
    std::vector<std::string> subdirs;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        char path[512];
        int n = snprintf(path, sizeof(path), "%s/%s", folder, e->d_name);
        if (n < 0 || n > 260) continue;  // the path limit of the access functions
        struct stat st;
        if (lstat(path, &st) != 0 || S_ISLNK(st.st_mode)) continue;  // a link is neither changed nor followed
        fix_entry(path);
        if (S_ISDIR(st.st_mode)) subdirs.emplace_back(path);
    }
    closedir(d);
    if (depth > 64) return;
    for (const auto &s : subdirs) apply_tree(s.c_str(), depth + 1);
}

void util_apply_permissions_tree(const char *folder) {
    if (!folder) return;
    struct stat st;
    if (lstat(folder, &st) != 0 || S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) return;
    fix_entry(folder);
    apply_tree(folder, 0);
}

void util_logfatal(const char *file, int32_t line, const char *text) {
    VKO_LogFatal("util_logfatal", "%s line %d: %s", file ? file : "", line, text ? text : "");
}

// --- proxy -----------------------------------------------------------------

namespace {
std::mutex g_proxy_mutex;
char g_proxy[PROXY_ADDRESS_SIZE];

void proxy_set(const char *text) {
    std::lock_guard<std::mutex> g(g_proxy_mutex);
    snprintf(g_proxy, sizeof(g_proxy), "%s", text ? text : "");
}
}  // namespace

void proxy_get(char *out, size_t size) {
    if (!out || !size) return;
    std::lock_guard<std::mutex> g(g_proxy_mutex);
    snprintf(out, size, "%s", g_proxy);
}

void proxy_configure(const char *scheme, const char *address, const char *path, uint32_t port) {
    scheme = scheme ? scheme : "";
    path = path ? path : "";
    if (address && address[0]) {
        char prefix[64 + PROXY_ADDRESS_SIZE] = "";
        if (scheme[0]) snprintf(prefix, sizeof(prefix), "%.1000s://", scheme);
        char *text = VKO_SprintfAlloc("%s%s:%u%s", prefix, address, port, path);
        proxy_set(text);
        VKO_Free(text);
        return;
    }
    // A cleared proxy must not stay in force: start from no proxy, then take
    // the user's system setting when there is one.
    proxy_set("");
    bool previous = false;
    if (!process_impersonate_console_user(true, &previous)) return;
    RegKey *hku = nullptr;
    RegKey *key = nullptr;
    if (reg_open_current_user(REG_KEY_READ, &hku) == REG_ERROR_SUCCESS &&
        reg_open_key(hku, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", REG_KEY_READ,
                     &key) == REG_ERROR_SUCCESS) {
        uint32_t type = 0, enable = 0, size = sizeof(enable);
        if (reg_query_value(key, "ProxyEnable", &type, &enable, &size) == REG_ERROR_SUCCESS &&
            type == REG_DWORD && enable == 1) {
            char16_t server[8192 / 2 + 1] = {};
            uint32_t ssize = 8192;
            if (reg_query_value(key, "ProxyServer", &type, server, &ssize) == REG_ERROR_SUCCESS &&
                type == REG_SZ) {
                server[8192 / 2] = 0;
                char *utf8 = VKO_WideToMultiAlloc(server);
                if (utf8) {
                    utf8[strnlen(utf8, PROXY_ADDRESS_SIZE - 1)] = 0;  // cut to 1023 bytes
                    proxy_set(utf8);
                }
                VKO_Free(utf8);
            }
        }
    }
    if (key) reg_close_key(key);
    if (hku) reg_close_key(hku);
    process_impersonate_console_user(false, nullptr);
}

// --- version ---------------------------------------------------------------

namespace {
std::atomic<int> g_version_override{-1};
}

void winutil_set_version_override(int value) {
    g_version_override.store(value);
}

bool winutil_os_version(uint32_t *major, uint32_t *minor) {
    struct utsname u;
    if (uname(&u) != 0) return false;
    unsigned a = 0, b = 0;
    if (sscanf(u.release, "%u.%u", &a, &b) < 1) return false;
    if (major) *major = a;
    if (minor) *minor = b;
    return true;
}

bool winutil_is_win8_or_greater(void) {
    int o = g_version_override.load();
    if (o >= 0) return o != 0;
    // Kernels from 3.x on have what the Windows 8 test guards (the newer
    // display and input interfaces); anything older answers false.
    uint32_t major = 0;
    return winutil_os_version(&major, nullptr) && major >= 3;
}

// --- device nodes ----------------------------------------------------------

uint32_t winutil_devnode_map_status(bool driver_loaded, bool started, bool has_problem, uint32_t problem) {
    if (driver_loaded && started) return DEVNODE_STATUS_RUNNING;
    if (has_problem) {
        switch (problem) {
            case 14:
                return DEVNODE_STATUS_RESTART;
            case 22:
            case 29:
                return DEVNODE_STATUS_DISABLED;
            case 32:
                return DEVNODE_STATUS_SERVICE_DISABLED;
            case 43:
                return DEVNODE_STATUS_FAILED;
            default:
                return DEVNODE_STATUS_PROBLEM;
        }
    }
    return DEVNODE_STATUS_PRESENT;
}

bool winutil_device_node_status(const char *class_guid, const char *hardware_id, uint32_t n, uint32_t *out) {
    if (out) *out = DEVNODE_STATUS_NOT_FOUND;
    if (!class_guid || !hardware_id || !out) return false;
    DevNodeRecord *list = nullptr;
    uint32_t count = 0;
    if (!devnode_list(class_guid, true, &list, &count)) return false;
    bool found = false;
    for (uint32_t i = 0; i < count && !found; i++) {
        const DevNodeRecord &d = list[i];
        if (d.hwid_type != DEVNODE_REG_SZ && d.hwid_type != DEVNODE_REG_EXPAND_SZ &&
            d.hwid_type != DEVNODE_REG_MULTI_SZ)
            continue;
        // Count matches within this device's own list; as on the original
        // system, index n needs n + 1 equal strings in one list.
        uint32_t matches = 0;
        for (uint32_t k = 0; k < d.hwid_count; k++) {
            if (strcmp(d.hwids[k], hardware_id) == 0 && ++matches == n + 1) {
                *out = winutil_devnode_map_status(d.driver_loaded, d.started, d.has_problem, d.problem);
                found = true;
                break;
            }
            if (d.hwid_type != DEVNODE_REG_MULTI_SZ) break;  // a single string holds one id
        }
    }
    devnode_list_free(&list);
    return found;
}

// --- processes -------------------------------------------------------------

namespace {

struct ProcEntry {
    uint32_t pid;
    uint32_t ppid;  // 0xFFFFFFFF when none
    std::string name;
    uint32_t children;
};

bool ieq(const std::string &a, const char *b) {
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

bool read_proc(uint32_t pid, ProcEntry *e) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/stat", pid);
    FILE *f = fopen(path, "re");
    if (!f) return false;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    char *rp = strrchr(buf, ')');  // the name may itself hold ')'
    char *lp = strchr(buf, '(');
    if (!rp || !lp || rp < lp) return false;
    char state = 0;
    unsigned ppid = 0;
    if (sscanf(rp + 1, " %c %u", &state, &ppid) != 2) return false;
    e->pid = pid;
    e->ppid = ppid == 0 ? 0xFFFFFFFFu : ppid;
    e->children = 0;
    snprintf(path, sizeof(path), "/proc/%u/exe", pid);
    char exe[4096];
    ssize_t len = readlink(path, exe, sizeof(exe) - 1);
    if (len > 0) {
        exe[len] = 0;
        std::string s = exe;
        const std::string deleted = " (deleted)";
        if (s.size() > deleted.size() && s.compare(s.size() - deleted.size(), deleted.size(), deleted) == 0)
            s.resize(s.size() - deleted.size());
        size_t slash = s.rfind('/');
        e->name = slash == std::string::npos ? s : s.substr(slash + 1);
    } else {
        e->name.assign(lp + 1, (size_t)(rp - lp - 1));  // comm, at most 15 characters
    }
    return true;
}

}  // namespace

uint32_t winutil_find_process_id(const char *name) {
    if (!name || !name[0]) return 0xFFFFFFFFu;
    std::vector<uint32_t> pids;
    DIR *d = opendir("/proc");
    if (!d) return 0xFFFFFFFFu;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        unsigned long v = strtoul(e->d_name, &end, 10);
        if (end && *end == 0 && e->d_name[0] && v > 0 && v < 0xFFFFFFFFul) pids.push_back((uint32_t)v);
    }
    closedir(d);
    std::sort(pids.begin(), pids.end());  // ascending ids are the listing order
    std::vector<ProcEntry> procs;
    for (uint32_t pid : pids) {
        ProcEntry p;
        if (read_proc(pid, &p)) procs.push_back(p);
    }
    for (auto &p : procs)
        for (const auto &q : procs)
            if (q.ppid == p.pid) p.children++;
    const ProcEntry *best = nullptr;
    for (const auto &p : procs) {
        if (!ieq(p.name, name)) continue;
        if (p.ppid != 0xFFFFFFFFu) {
            const ProcEntry *parent = nullptr;
            for (const auto &q : procs)
                if (q.pid == p.ppid) {
                    parent = &q;
                    break;
                }
            if (parent && ieq(parent->name, name)) continue;  // a child of a same-named process
        }
        if (!best || p.children > best->children) best = &p;
    }
    return best ? best->pid : 0xFFFFFFFFu;
}

// --- text ------------------------------------------------------------------

bool text_utf16_to_utf8(char out[TEXT_UTF16_TO_UTF8_SIZE], const char16_t *in) {
    const size_t cap = TEXT_UTF16_TO_UTF8_SIZE;
    size_t o = 0, i = 0;
    out[0] = 0;
    if (!in) return false;
    while (i < cap) {
        if (i + 4 <= cap && in[i] && in[i] < 0x80 && in[i + 1] && in[i + 1] < 0x80 && in[i + 2] &&
            in[i + 2] < 0x80 && in[i + 3] && in[i + 3] < 0x80) {
            // the fast path keeps the same room rule as the slow one
            if (o + 4 + 1 > cap) {
                out[o] = 0;
                return false;
            }
            for (int k = 0; k < 4; k++) out[o++] = (char)in[i++];
            continue;
        }
        uint32_t u = in[i];
        if (u == 0) {
            out[o] = 0;
            return true;
        }
        uint32_t cp = u;
        size_t used = 1;
        if (u >= 0xDC00 && u <= 0xDFFF) {
            out[o] = 0;
            return false;
        }
        if (u >= 0xD800 && u <= 0xDBFF) {
            uint32_t lo = i + 1 < cap ? in[i + 1] : 0;
            if (lo < 0xDC00 || lo > 0xDFFF) {
                out[o] = 0;
                return false;
            }
            cp = 0x10000 + ((u & 0x3FF) << 10) + (lo & 0x3FF);
            used = 2;
        }
        size_t nb = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (o + nb + 1 > cap) {
            out[o] = 0;
            return false;
        }
        if (nb == 1) {
            out[o++] = (char)cp;
        } else if (nb == 2) {
            out[o++] = (char)(0xC0 | (cp >> 6));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        } else if (nb == 3) {
            out[o++] = (char)(0xE0 | (cp >> 12));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        } else {
            out[o++] = (char)(0xF0 | (cp >> 18));
            out[o++] = (char)(0x80 | ((cp >> 12) & 0x3F));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        }
        i += used;
    }
    out[o] = 0;
    return true;
}

// --- threads ---------------------------------------------------------------

void *thread_ext_force_destroy_timeout(VKO_Thread *thread, int32_t timeout_ms) {
    if (!thread) return nullptr;
    void *result = nullptr;
    if (VKO_ThreadJoinTimeout(&thread, timeout_ms, &result)) return result;
    VKO_Log("thread_ext_force_destroy", "Terminating thread.");
    VKO_ThreadCancel(thread);
    // a thread that reaches no cancellation point cannot be stopped safely
    if (VKO_ThreadJoinTimeout(&thread, 5000, &result)) return result == PTHREAD_CANCELED ? nullptr : result;
    VKO_Log("thread_ext_force_destroy", "Thread did not end; it is left running.");
    VKO_ThreadAbandon(&thread);
    return nullptr;
}

void *thread_ext_force_destroy(VKO_Thread *thread) {
    return thread_ext_force_destroy_timeout(thread, THREAD_FORCE_DESTROY_MS);
}

// --- users -----------------------------------------------------------------

namespace {
const uint32_t kListedUsers[USER_LIST_COUNT] = {
    1,        2,        3,         5,         8,         13,        21,        34,       55,
    89,       144,      233,       377,       610,       987,       1597,      2584,     4181,
    6765,     10946,    17711,     28657,     46368,     75025,     121393,    196418,   317811,
    514229,   832040,   1346269,   2178309,   3524578,   5702887,   9227465,   14930352, 24157817,
    39088169, 63245986, 102334155, 165580141, 267914296, 433494437, 701408733,
};
static_assert(sizeof(kListedUsers) / sizeof(kListedUsers[0]) == USER_LIST_COUNT, "43 listed users");
}  // namespace

bool user_is_listed(uint32_t user_id) {
    for (uint32_t id : kListedUsers)
        if (id == user_id) return true;
    return app_internal_access();
}
