// Access rights (real mode bits and a scripted back-end), proxy, device-node
// status, process lookup, UTF-16 conversion and the user set.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/shell.h"
#include "compat/devnode/devnode.h"
#include "compat/registry/registry.h"
#include "compat/security/security.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "support/child.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/winutil.h"

namespace {

std::string make_file(const TempDir &t, const char *name, mode_t mode) {
    std::string p = t.file(name);
    int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, mode);
    EXPECT_GE(fd, 0);
    close(fd);
    chmod(p.c_str(), mode);
    return p;
}

mode_t mode_of(const std::string &p) {
    struct stat st;
    EXPECT_EQ(lstat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// A back-end that answers from a script, to reach every fallback step.
struct Script {
    int set_dacl_results[4] = {}, set_dacl_calls = 0, owner_result = 0, owner_calls = 0, adjust_result = 0;
    int get_result = 0;
    bool not_all_assigned = false;
    std::vector<bool> adjust_calls;
    SecAcl stored = {};
};
Script g_script;
int g_token;

const SecBackend kScripted = {
    [](const char *, SecAcl *out) { return *out = SecAcl{}, g_script.get_result; },
    [](const char *, const SecAcl *acl) {
        g_script.stored = *acl;
        return g_script.set_dacl_results[g_script.set_dacl_calls++ & 3];
    },
    [](const char *) { return g_script.owner_calls++, g_script.owner_result; },
    [](void **token) { return *token = &g_token, 0; },
    []() { return 0; },
    [](void *, bool enable, bool *not_all) {
        g_script.adjust_calls.push_back(enable);
        return *not_all = g_script.not_all_assigned, g_script.adjust_result;
    },
};

struct ScriptedBackend {
    ScriptedBackend() {
        g_script = Script();
        sec_set_backend(&kScripted);
    }
    ~ScriptedBackend() { sec_set_backend(nullptr); }
};

}  // namespace

TEST(Utf16ToUtf8, BoundedConversion) {
    char out[TEXT_UTF16_TO_UTF8_SIZE + 1];
    out[TEXT_UTF16_TO_UTF8_SIZE] = 0x5A;  // guard byte just past the buffer
    EXPECT_TRUE(text_utf16_to_utf8(out, std::u16string(127, u'a').c_str()));
    EXPECT_EQ(strlen(out), 127u);
    // 128 ASCII units take the four-at-a-time path and leave no room for the zero
    EXPECT_FALSE(text_utf16_to_utf8(out, std::u16string(128, u'b').c_str()));
    EXPECT_LT(strlen(out), 128u);
    std::u16string faces;
    for (int i = 0; i < 40; i++) faces += u"\U0001F600";
    EXPECT_FALSE(text_utf16_to_utf8(out, faces.c_str()));
    EXPECT_EQ(out[TEXT_UTF16_TO_UTF8_SIZE], 0x5A) << "nothing written past the buffer";

    EXPECT_TRUE(text_utf16_to_utf8(out, u"w\u00f6rld \U0001F600"));
    EXPECT_STREQ(out, "w\xc3\xb6rld \xf0\x9f\x98\x80");
    const char16_t lone_low[] = {u'a', 0xDC00, 0}, lone_high[] = {u'a', 0xD800, u'b', 0};
    EXPECT_FALSE(text_utf16_to_utf8(out, lone_low));
    EXPECT_FALSE(text_utf16_to_utf8(out, lone_high));
}

TEST(Security, GrantEveryoneRebuildsTheList) {
    SecAcl old_acl = {};
    old_acl.control = SEC_SE_DACL_PROTECTED;
    sec_acl_add(&old_acl, true, "S-1-22-1-1000", SEC_ALL_ACCESS, false);
    sec_acl_add(&old_acl, true, SEC_SID_EVERYONE, SEC_GENERIC_READ, false);
    sec_acl_add(&old_acl, false, "S-1-22-2-5", 2, false);
    sec_acl_add(&old_acl, true, SEC_SID_EVERYONE, 1, true);
    sec_acl_add(&old_acl, true, "S-1-5-18", SEC_ALL_ACCESS, true);
    SecAcl n;
    ASSERT_TRUE(sec_acl_grant_everyone(&old_acl, &n));
    std::string got;
    for (uint32_t i = 0; i < n.count; i++)
        got +=
            std::string(n.aces[i].allow ? "+" : "-") + n.aces[i].sid + (n.aces[i].inherited ? "^" : "") + " ";
    // explicit entries but Everyone's, one Everyone entry for all, then the inherited ones
    EXPECT_EQ(got, "+S-1-22-1-1000 -S-1-22-2-5 +S-1-1-0 +S-1-1-0^ +S-1-5-18^ ");
    EXPECT_EQ(n.aces[2].mask, SEC_ALL_ACCESS);
    EXPECT_EQ(n.control, SEC_SE_DACL_PROTECTED);

    old_acl.control = SEC_SE_DACL_AUTO_INHERITED | SEC_SE_DACL_PROTECTED;
    ASSERT_TRUE(sec_acl_grant_everyone(&old_acl, &n));
    EXPECT_EQ(n.control, SEC_SE_DACL_AUTO_INHERIT_REQ | SEC_SE_DACL_AUTO_INHERITED);
    ASSERT_TRUE(sec_acl_grant_everyone(nullptr, &n));
    EXPECT_EQ(n.count, 1u);
}

TEST(Security, ModeBitsOnRealFilesAndLinks) {
    TempDir t;
    std::string f = make_file(t, "a.txt", 0600);
    ASSERT_TRUE(util_change_permissions_everyone(f.c_str()));
    EXPECT_EQ(mode_of(f), 0606u);
    std::string d = t.path + "/sub";
    ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    ASSERT_TRUE(util_change_permissions_everyone(d.c_str()));
    EXPECT_EQ(mode_of(d), 0707u);

    // a link is refused, and what it points at keeps its rights
    TempDir outside;
    std::string secret = make_file(outside, "secret", 0600);
    std::string link = t.path + "/link";
    ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
    LogCapture log;
    EXPECT_FALSE(util_change_permissions_everyone(link.c_str()));
    EXPECT_EQ(mode_of(secret), 0600u);
    EXPECT_TRUE(util_take_ownership(link.c_str())) << "a link is left alone";
    EXPECT_EQ(mode_of(secret), 0600u);

    // the tree walk fixes files and folders but never follows a link
    std::string deep = make_file(t, "sub/deep.txt", 0600);
    ASSERT_EQ(symlink(outside.path.c_str(), (d + "/out").c_str()), 0);
    util_apply_permissions_tree(t.path.c_str());
    EXPECT_EQ(mode_of(deep), 0606u);
    EXPECT_EQ(mode_of(secret), 0600u);
    EXPECT_EQ(mode_of(outside.path) & 07, 0u);

    // taking ownership: Everyone read, Administrators (the owner class) all
    std::string g = make_file(t, "g.txt", 0666);
    ASSERT_TRUE(util_take_ownership(g.c_str()));
    EXPECT_EQ(mode_of(g), 0604u);
    int fd = open(f.c_str(), O_RDONLY);
    chmod(f.c_str(), 0600);
    EXPECT_TRUE(util_change_permissions_everyone_fd(fd));
    close(fd);
    EXPECT_EQ(mode_of(f), 0606u);
}

TEST(Security, OwnershipFallbackSteps) {
    LogCapture log;
    {
        ScriptedBackend s;
        g_script.set_dacl_results[0] = EACCES;
        EXPECT_TRUE(util_take_ownership("/tmp"));
        EXPECT_EQ(g_script.owner_calls, 1);
        EXPECT_EQ(g_script.set_dacl_calls, 2);
        EXPECT_EQ(g_script.adjust_calls, (std::vector<bool>{true, false}));
        ASSERT_EQ(g_script.stored.count, 2u);
        EXPECT_STREQ(g_script.stored.aces[0].sid, SEC_SID_EVERYONE);
        EXPECT_EQ(g_script.stored.aces[0].mask, SEC_GENERIC_READ);
        EXPECT_STREQ(g_script.stored.aces[1].sid, SEC_SID_ADMINS);
        EXPECT_EQ(g_script.stored.aces[1].mask, SEC_GENERIC_ALL);
    }
    const struct {
        int first, second, owner;
        bool not_all;
        std::string line;
    } cases[] = {
        {EIO, 0, 0, false,
         "util_take_ownership: First SetNamedSecurityInfo call failed: " + std::to_string(EIO)},
        {EPERM, 0, 0, true, "util_set_privilege: The token does not have the specified privilege."},
        {EPERM, 0, 0, true, "util_take_ownership: User is not an administrator."},
        {EPERM, 0, EPERM, false, "util_take_ownership: Could not set owner. Error: " + std::to_string(EPERM)},
        {EPERM, EIO, 0, false,
         "util_take_ownership: Second SetNamedSecurityInfo call failed: " + std::to_string(EIO)},
    };
    for (const auto &c : cases) {
        ScriptedBackend s;
        g_script.set_dacl_results[0] = c.first;
        g_script.set_dacl_results[1] = c.second;
        g_script.owner_result = c.owner;
        g_script.not_all_assigned = c.not_all;
        EXPECT_FALSE(util_take_ownership("/tmp")) << c.line;
        EXPECT_TRUE(log.contains(c.line)) << c.line;
    }
    ScriptedBackend s;
    g_script.adjust_result = 13;
    EXPECT_FALSE(util_set_privilege(nullptr, true));
    EXPECT_TRUE(log.contains("util_set_privilege: AdjustTokenPrivileges error: 13\n"));
    g_script.get_result = ENOENT;
    EXPECT_FALSE(util_change_permissions_everyone("/nope"));
    EXPECT_TRUE(log.contains("util_change_permissions_everyone: GetFileSecurity() failed. Error " +
                             std::to_string(ENOENT)));
}

TEST(Security, UnprivilegedUserCannotTakeOwnership) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    TempDir t;
    chmod(t.path.c_str(), 0777);
    std::string f = make_file(t, "root-owned", 0600);
    int status = 0;
    run_child(
        [&] {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
            LogCapture log;
            bool ok = util_take_ownership(f.c_str());
            _exit(!ok && log.contains("util_take_ownership: User is not an administrator.") ? 0 : 1);
        },
        &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(mode_of(f), 0600u);
}

std::string proxy_after(const char *scheme, const char *address, const char *path, uint32_t port) {
    char buf[PROXY_ADDRESS_SIZE];
    proxy_configure(scheme, address, path, port);
    proxy_get(buf, sizeof(buf));
    return buf;
}

void set_user_value(RegKey *key, const char *name, const std::u16string &text) {
    ASSERT_EQ(reg_set_value(key, name, REG_SZ, text.c_str(), (uint32_t)((text.size() + 1) * 2)), 0);
}

TEST(Proxy, AddressFormsAndTheUsersSetting) {
    TempDir t;
    setenv("ZARVEK_SYSROOT", t.path.c_str(), 1);
    EXPECT_EQ(proxy_after("http", "1.2.3.4", "", 8080), "http://1.2.3.4:8080");
    EXPECT_EQ(proxy_after("http", "1.2.3.4", "/p", 8080), "http://1.2.3.4:8080/p");
    EXPECT_EQ(proxy_after("", "1.2.3.4", "", 3128), "1.2.3.4:3128");

    // no address: the user's Internet Settings, else no proxy at all
    EXPECT_EQ(proxy_after("", "", "", 0), "") << "a cleared proxy does not stay in force";
    RegKey *hku = nullptr, *key = nullptr;
    ASSERT_EQ(reg_open_current_user(REG_KEY_ALL_ACCESS, &hku), 0);
    ASSERT_EQ(reg_create_key(hku, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                             REG_KEY_ALL_ACCESS, &key),
              0);
    uint32_t one = 1, zero = 0;
    ASSERT_EQ(reg_set_value(key, "ProxyEnable", REG_DWORD, &one, 4), 0);
    set_user_value(key, "ProxyServer", u"http=10.0.0.1:80;https=10.0.0.1:443");
    EXPECT_EQ(proxy_after("", "", "", 0), "http=10.0.0.1:80;https=10.0.0.1:443");
    set_user_value(key, "ProxyServer", std::u16string(3000, u'p'));
    EXPECT_EQ(proxy_after("", "", "", 0).size(), 1023u);
    ASSERT_EQ(reg_set_value(key, "ProxyEnable", REG_DWORD, &zero, 4), 0);
    EXPECT_EQ(proxy_after("", "", "", 0), "");
    reg_close_key(key);
    reg_close_key(hku);
    unsetenv("ZARVEK_SYSROOT");
}

// Status of the display adapter with index n, or -1 when not found.
int vda_status(uint32_t n = 0, const char *cls = DEVNODE_CLASS_DISPLAY, const char *id = DEVNODE_ID_VDA) {
    uint32_t st = 99;
    bool found = winutil_device_node_status(cls, id, n, &st);
    EXPECT_TRUE(found || st == DEVNODE_STATUS_NOT_FOUND);
    return found ? (int)st : -1;
}

TEST(DeviceNodes, StatusFromTheTable) {
    TempDir t;
    devnode_set_table_path((t.path + "/devices.json").c_str());
    EXPECT_EQ(vda_status(), -1);
    DevNodeRecord r = {};
    snprintf(r.class_guid, sizeof(r.class_guid), "%s", DEVNODE_CLASS_DISPLAY);
    r.hwid_type = DEVNODE_REG_MULTI_SZ;
    r.hwid_count = 2;
    snprintf(r.hwids[0], DEVNODE_ID_SIZE, "%s", DEVNODE_ID_VDA);
    snprintf(r.hwids[1], DEVNODE_ID_SIZE, "%s", "Root\\Other");
    r.present = r.driver_loaded = r.started = 1;
    ASSERT_TRUE(devnode_put(&r));
    EXPECT_EQ(vda_status(), 2);
    EXPECT_EQ(vda_status(1), -1) << "index 1 needs the id twice in one list";
    EXPECT_EQ(vda_status(0, DEVNODE_CLASS_USB), -1);
    EXPECT_EQ(vda_status(0, DEVNODE_CLASS_DISPLAY, "root\\zarvek\\vda"), -1) << "exact case";

    const struct {
        uint8_t has_problem;
        uint32_t problem;
        int status;
    } map[] = {{1, 14, 6}, {1, 22, 4}, {1, 29, 4}, {1, 32, 7}, {1, 43, 5}, {1, 10, 3}, {0, 0, 0}};
    r.started = 0;
    for (const auto &m : map) {
        r.has_problem = m.has_problem;
        r.problem = m.problem;
        ASSERT_TRUE(devnode_put(&r));
        EXPECT_EQ(vda_status(), m.status) << m.problem;
    }
    r.present = 0;
    ASSERT_TRUE(devnode_put(&r));
    EXPECT_EQ(vda_status(), -1);
    r.present = 1;
    r.hwid_type = 4;  // not a string type
    ASSERT_TRUE(devnode_put(&r));
    EXPECT_EQ(vda_status(), -1);
    devnode_fail_enumeration(true);
    EXPECT_EQ(vda_status(), -1);
    devnode_fail_enumeration(false);
    EXPECT_TRUE(devnode_remove(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA));
    devnode_set_table_path(nullptr);
}

TEST(Processes, ASameNamedParentWinsOverItsChildren) {
    std::string self;
    {
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        ASSERT_GT(n, 0);
        exe[n] = 0;
        self = strrchr(exe, '/') + 1;
    }
    std::vector<pid_t> kids;
    for (int i = 0; i < 2; i++) {
        pid_t p = fork();
        ASSERT_GE(p, 0);
        if (p == 0) {
            pause();
            _exit(0);
        }
        kids.push_back(p);
    }
    for (auto &c : self) c = (char)toupper((unsigned char)c);
    EXPECT_EQ(winutil_find_process_id(self.c_str()), (uint32_t)getpid());
    EXPECT_EQ(winutil_find_process_id("zarvek-no-such-program"), 0xFFFFFFFFu);
    for (pid_t p : kids) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
}

TEST(WinUtil, InternalAccessListsEveryUser) {
    EXPECT_FALSE(user_is_listed(4));
    app_set_internal_access(true);
    EXPECT_TRUE(user_is_listed(4)) << "the internal-access flag lists every user";
    app_set_internal_access(false);
}

TEST(ForcedThreadEnd, EndsInTimeOrIsTerminated) {
    LogCapture log;
    VKO_Thread *quick = VKO_ThreadCreate([](void *) -> void * { return (void *)42; }, nullptr);
    EXPECT_EQ(thread_ext_force_destroy_timeout(quick, 10000), (void *)42);
    EXPECT_TRUE(log.lines().empty()) << "a thread that ends in time is neither logged nor terminated";

    VKO_Thread *stuck = VKO_ThreadCreate(
        [](void *) -> void * {
            for (;;) VKO_Sleep(1000);  // a cancellation point
            return (void *)1;
        },
        nullptr);
    EXPECT_EQ(thread_ext_force_destroy_timeout(stuck, 50), nullptr);
    EXPECT_TRUE(log.contains("thread_ext_force_destroy: Terminating thread."));
}
