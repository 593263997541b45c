// Access rights (real mode bits and a scripted back-end), proxy, device-node
// status, process lookup, UTF-16 conversion, version test and the user set.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/shell.h"
#include "compat/devnode/devnode.h"
#include "compat/registry/registry.h"
#include "compat/security/security.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "platform/memory.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/winutil.h"

namespace {

std::string make_file(const TempDir &t, const char *name, mode_t mode)
{
    std::string p = t.file(name);
    int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, mode);
    EXPECT_GE(fd, 0);
    close(fd);
    chmod(p.c_str(), mode);
    return p;
}

mode_t mode_of(const std::string &p)
{
    struct stat st;
    EXPECT_EQ(lstat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// A back-end that answers from a script, to reach every fallback step.
struct Script {
    int set_dacl_results[4] = {0, 0, 0, 0};
    int set_dacl_calls = 0;
    int owner_result = 0;
    int owner_calls = 0;
    int token_result = 0;
    bool not_all_assigned = false;
    int adjust_result = 0;
    std::vector<bool> adjust_calls;
    SecAcl stored = {};
    SecAcl current = {};
    int get_result = 0;
};
Script g_script;

const SecBackend kScripted = {
    [](const char *, SecAcl *out) {
        *out = g_script.current;
        return g_script.get_result;
    },
    [](const char *, const SecAcl *acl) {
        g_script.stored = *acl;
        return g_script.set_dacl_results[g_script.set_dacl_calls++ & 3];
    },
    [](const char *) {
        g_script.owner_calls++;
        return g_script.owner_result;
    },
    [](void **token) {
        static int t;
        *token = &t;
        return g_script.token_result;
    },
    []() { return 0; },
    [](void *, bool enable, bool *not_all) {
        g_script.adjust_calls.push_back(enable);
        *not_all = g_script.not_all_assigned;
        return g_script.adjust_result;
    },
};

struct ScriptedBackend {
    ScriptedBackend()
    {
        g_script = Script();
        sec_set_backend(&kScripted);
    }
    ~ScriptedBackend() { sec_set_backend(nullptr); }
};

} // namespace

TEST(Utf16ToUtf8, BoundedConversion)
{
    char out[TEXT_UTF16_TO_UTF8_SIZE + 1];
    out[TEXT_UTF16_TO_UTF8_SIZE] = 0x5A; // guard byte just past the buffer
    std::u16string a127(127, u'a');
    EXPECT_TRUE(text_utf16_to_utf8(out, a127.c_str()));
    EXPECT_EQ(strlen(out), 127u);

    std::u16string a128(128, u'b');
    EXPECT_FALSE(text_utf16_to_utf8(out, a128.c_str())) << "no room for the final zero";
    EXPECT_EQ(out[TEXT_UTF16_TO_UTF8_SIZE], 0x5A) << "nothing written past the buffer";
    EXPECT_LT(strlen(out), 128u);

    std::u16string faces;
    for (int i = 0; i < 40; i++)
        faces += u"\U0001F600";
    EXPECT_FALSE(text_utf16_to_utf8(out, faces.c_str()));
    EXPECT_EQ(out[TEXT_UTF16_TO_UTF8_SIZE], 0x5A);

    EXPECT_TRUE(text_utf16_to_utf8(out, u"w\u00f6rld \U0001F600"));
    EXPECT_STREQ(out, "w\xc3\xb6rld \xf0\x9f\x98\x80");
    const char16_t lone_low[] = {u'a', 0xDC00, 0};
    EXPECT_FALSE(text_utf16_to_utf8(out, lone_low));
    const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
    EXPECT_FALSE(text_utf16_to_utf8(out, lone_high));
}

TEST(Security, GrantEveryoneRebuildsTheList)
{
    SecAcl old_acl = {};
    old_acl.control = SEC_SE_DACL_PROTECTED;
    sec_acl_add(&old_acl, true, "S-1-22-1-1000", SEC_ALL_ACCESS, false);
    sec_acl_add(&old_acl, true, SEC_SID_EVERYONE, SEC_GENERIC_READ, false);
    sec_acl_add(&old_acl, false, "S-1-22-2-5", 2, false);
    sec_acl_add(&old_acl, true, SEC_SID_EVERYONE, 1, true);
    sec_acl_add(&old_acl, true, "S-1-5-18", SEC_ALL_ACCESS, true);
    SecAcl n;
    ASSERT_TRUE(sec_acl_grant_everyone(&old_acl, &n));
    ASSERT_EQ(n.count, 5u);
    EXPECT_STREQ(n.aces[0].sid, "S-1-22-1-1000");
    EXPECT_STREQ(n.aces[1].sid, "S-1-22-2-5");
    EXPECT_EQ(n.aces[1].allow, 0);
    EXPECT_STREQ(n.aces[2].sid, SEC_SID_EVERYONE);
    EXPECT_EQ(n.aces[2].mask, SEC_ALL_ACCESS);
    EXPECT_EQ(n.aces[2].inherited, 0);
    EXPECT_EQ(n.aces[3].inherited, 1) << "inherited entries follow, unchanged";
    EXPECT_EQ(n.control, SEC_SE_DACL_PROTECTED);
    int explicit_everyone = 0;
    for (uint32_t i = 0; i < n.count; i++)
        explicit_everyone += !n.aces[i].inherited && strcmp(n.aces[i].sid, SEC_SID_EVERYONE) == 0;
    EXPECT_EQ(explicit_everyone, 1);

    old_acl.control = SEC_SE_DACL_AUTO_INHERITED | SEC_SE_DACL_PROTECTED;
    ASSERT_TRUE(sec_acl_grant_everyone(&old_acl, &n));
    EXPECT_EQ(n.control, SEC_SE_DACL_AUTO_INHERIT_REQ | SEC_SE_DACL_AUTO_INHERITED);
    ASSERT_TRUE(sec_acl_grant_everyone(nullptr, &n));
    EXPECT_EQ(n.count, 1u);
}

TEST(Security, ModeBitsOnRealFilesAndLinks)
{
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

TEST(Security, OwnershipFallbackSteps)
{
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
    {
        ScriptedBackend s;
        g_script.set_dacl_results[0] = EIO;
        EXPECT_FALSE(util_take_ownership("/tmp"));
        EXPECT_TRUE(log.contains("util_take_ownership: First SetNamedSecurityInfo call failed: " + std::to_string(EIO)));
    }
    {
        ScriptedBackend s;
        g_script.set_dacl_results[0] = EPERM;
        g_script.not_all_assigned = true;
        EXPECT_FALSE(util_take_ownership("/tmp"));
        EXPECT_TRUE(log.contains("util_set_privilege: The token does not have the specified privilege."));
        EXPECT_TRUE(log.contains("util_take_ownership: User is not an administrator."));
    }
    {
        ScriptedBackend s;
        g_script.set_dacl_results[0] = EPERM;
        g_script.owner_result = EPERM;
        EXPECT_FALSE(util_take_ownership("/tmp"));
        EXPECT_TRUE(log.contains("util_take_ownership: Could not set owner. Error: " + std::to_string(EPERM)));
    }
    {
        ScriptedBackend s;
        g_script.set_dacl_results[0] = EPERM;
        g_script.set_dacl_results[1] = EIO;
        EXPECT_FALSE(util_take_ownership("/tmp"));
        EXPECT_TRUE(log.contains("util_take_ownership: Second SetNamedSecurityInfo call failed: " + std::to_string(EIO)));
    }
    {
        ScriptedBackend s;
        g_script.adjust_result = 13;
        EXPECT_FALSE(util_set_privilege(nullptr, true));
        EXPECT_TRUE(log.contains("util_set_privilege: AdjustTokenPrivileges error: 13\n"));
        g_script.get_result = ENOENT;
        EXPECT_FALSE(util_change_permissions_everyone("/nope"));
        EXPECT_TRUE(log.contains("util_change_permissions_everyone: GetFileSecurity() failed. Error " + std::to_string(ENOENT)));
    }
}

TEST(Security, UnprivilegedUserCannotTakeOwnership)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    TempDir t;
    chmod(t.path.c_str(), 0777);
    std::string f = make_file(t, "root-owned", 0600);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        LogCapture log;
        bool ok = util_take_ownership(f.c_str());
        _exit(!ok && log.contains("util_take_ownership: User is not an administrator.") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(mode_of(f), 0600u);
}

TEST(Proxy, AddressFormsAndTheUsersSetting)
{
    TempDir t;
    setenv("ZARVEK_SYSROOT", t.path.c_str(), 1);
    char buf[PROXY_ADDRESS_SIZE];
    proxy_configure("http", "1.2.3.4", "", 8080);
    proxy_get(buf, sizeof(buf));
    EXPECT_STREQ(buf, "http://1.2.3.4:8080");
    proxy_configure("http", "1.2.3.4", "/p", 8080);
    proxy_get(buf, sizeof(buf));
    EXPECT_STREQ(buf, "http://1.2.3.4:8080/p");
    proxy_configure("", "1.2.3.4", "", 3128);
    proxy_get(buf, sizeof(buf));
    EXPECT_STREQ(buf, "1.2.3.4:3128");

    // no address: the user's Internet Settings, else no proxy at all
    proxy_configure("", "", "", 0);
    proxy_get(buf, sizeof(buf));
    EXPECT_STREQ(buf, "") << "a cleared proxy does not stay in force";
    RegKey *hku = nullptr, *key = nullptr;
    ASSERT_EQ(reg_open_current_user(REG_KEY_ALL_ACCESS, &hku), 0);
    ASSERT_EQ(reg_create_key(hku, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", REG_KEY_ALL_ACCESS, &key), 0);
    uint32_t one = 1;
    std::u16string server = u"http=10.0.0.1:80;https=10.0.0.1:443";
    ASSERT_EQ(reg_set_value(key, "ProxyEnable", REG_DWORD, &one, 4), 0);
    ASSERT_EQ(reg_set_value(key, "ProxyServer", REG_SZ, server.c_str(), (uint32_t)((server.size() + 1) * 2)), 0);
    proxy_configure("", "", "", 0);
    proxy_get(buf, sizeof(buf));
    EXPECT_STREQ(buf, "http=10.0.0.1:80;https=10.0.0.1:443");
    std::u16string longer(3000, u'p');
    ASSERT_EQ(reg_set_value(key, "ProxyServer", REG_SZ, longer.c_str(), (uint32_t)((longer.size() + 1) * 2)), 0);
    proxy_configure("", "", "", 0);
    proxy_get(buf, sizeof(buf));
    EXPECT_EQ(strlen(buf), 1023u);
    uint32_t zero = 0;
    ASSERT_EQ(reg_set_value(key, "ProxyEnable", REG_DWORD, &zero, 4), 0);
    proxy_configure("", "", "", 0);
    proxy_get(buf, sizeof(buf));
    EXPECT_STREQ(buf, "");
    reg_close_key(key);
    reg_close_key(hku);
    unsetenv("ZARVEK_SYSROOT");
}

TEST(DeviceNodes, StatusFromTheTable)
{
    TempDir t;
    devnode_set_table_path((t.path + "/devices.json").c_str());
    uint32_t st = 99;
    EXPECT_FALSE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 0, &st));
    EXPECT_EQ(st, 1u);

    DevNodeRecord r = {};
    snprintf(r.class_guid, sizeof(r.class_guid), "%s", DEVNODE_CLASS_DISPLAY);
    r.hwid_type = DEVNODE_REG_MULTI_SZ;
    r.hwid_count = 2;
    snprintf(r.hwids[0], DEVNODE_ID_SIZE, "%s", DEVNODE_ID_VDA);
    snprintf(r.hwids[1], DEVNODE_ID_SIZE, "%s", "Root\\Other");
    r.present = 1;
    r.driver_loaded = 1;
    r.started = 1;
    ASSERT_TRUE(devnode_put(&r));
    EXPECT_TRUE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 0, &st));
    EXPECT_EQ(st, 2u);
    EXPECT_FALSE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 1, &st)) << "index 1 needs the id twice";
    EXPECT_FALSE(winutil_device_node_status(DEVNODE_CLASS_USB, DEVNODE_ID_VDA, 0, &st));
    EXPECT_FALSE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, "root\\zarvek\\vda", 0, &st)) << "exact case";

    const struct {
        uint32_t problem;
        uint32_t status;
    } map[] = {{14, 6}, {22, 4}, {29, 4}, {32, 7}, {43, 5}, {10, 3}};
    r.started = 0;
    r.has_problem = 1;
    for (const auto &m : map) {
        r.problem = m.problem;
        ASSERT_TRUE(devnode_put(&r));
        EXPECT_TRUE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 0, &st));
        EXPECT_EQ(st, m.status) << m.problem;
    }
    r.has_problem = 0;
    ASSERT_TRUE(devnode_put(&r));
    EXPECT_TRUE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 0, &st));
    EXPECT_EQ(st, 0u);
    r.present = 0;
    ASSERT_TRUE(devnode_put(&r));
    EXPECT_FALSE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 0, &st));
    r.present = 1;
    r.hwid_type = 4; // not a string type
    ASSERT_TRUE(devnode_put(&r));
    EXPECT_FALSE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 0, &st));
    devnode_fail_enumeration(true);
    EXPECT_FALSE(winutil_device_node_status(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA, 0, &st));
    devnode_fail_enumeration(false);
    EXPECT_TRUE(devnode_remove(DEVNODE_CLASS_DISPLAY, DEVNODE_ID_VDA));
    devnode_set_table_path(nullptr);
}

TEST(Processes, ASameNamedParentWinsOverItsChildren)
{
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
    for (auto &c : self)
        c = (char)toupper((unsigned char)c);
    EXPECT_EQ(winutil_find_process_id(self.c_str()), (uint32_t)getpid());
    EXPECT_EQ(winutil_find_process_id("zarvek-no-such-program"), 0xFFFFFFFFu);
    for (pid_t p : kids) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
}

TEST(WinUtil, VersionAndUsers)
{
    uint32_t major = 0, minor = 0;
    ASSERT_TRUE(winutil_os_version(&major, &minor));
    EXPECT_GE(major, 3u);
    EXPECT_TRUE(winutil_is_win8_or_greater());
    winutil_set_version_override(0);
    EXPECT_FALSE(winutil_is_win8_or_greater());
    winutil_set_version_override(-1);

    EXPECT_TRUE(user_is_listed(233));
    EXPECT_FALSE(user_is_listed(4));
    app_set_internal_access(true);
    EXPECT_TRUE(user_is_listed(4));
    app_set_internal_access(false);
}

TEST(ForcedThreadEnd, EndsInTimeOrIsTerminated)
{
    LogCapture log;
    VKO_Thread *quick = VKO_ThreadCreate([](void *) -> void * { return (void *)42; }, nullptr);
    EXPECT_EQ(thread_ext_force_destroy_timeout(quick, 10000), (void *)42);
    EXPECT_TRUE(log.lines().empty()) << "a thread that ends in time is neither logged nor terminated";

    VKO_Thread *stuck = VKO_ThreadCreate(
        [](void *) -> void * {
            for (;;)
                VKO_Sleep(1000); // a cancellation point
            return (void *)1;
        },
        nullptr);
    EXPECT_EQ(thread_ext_force_destroy_timeout(stuck, 50), nullptr);
    EXPECT_TRUE(log.contains("thread_ext_force_destroy: Terminating thread."));
}
