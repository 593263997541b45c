#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/shell.h"
#include "compat/dataprotect/dataprotect.h"
#include "compat/registry/registry.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/memory.h"
#include "support/alloc_watch.h"
#include "support/temp_dir.h"

namespace {

int32_t set_sz(RegKey *k, const char *name, const std::string &text) {
    std::u16string w(text.begin(), text.end());
    return reg_set_value(k, name, REG_SZ, w.c_str(), (uint32_t)(w.size() + 1) * 2);
}

std::string get_sz(RegKey *k, const char *name, int32_t *err = nullptr) {
    char16_t buf[512] = {};
    uint32_t type = 0, size = sizeof(buf);
    int32_t e = reg_query_value(k, name, &type, buf, &size);
    if (err) *err = e;
    std::string s;
    for (uint32_t i = 0; e == REG_ERROR_SUCCESS && i < size / 2 && buf[i]; i++) s += (char)buf[i];
    return s;
}

struct RegistryTest : ::testing::Test {
    TempDir tmp;
    std::string regdir = tmp.path + "/var/lib/zarvek/registry";
    RegKey *k = nullptr;

    void SetUp() override { setenv(VKO_ENV_SYSROOT, tmp.path.c_str(), 1); }
    void TearDown() override {
        reg_close_key(k);
        unsetenv(VKO_ENV_SYSROOT);
    }

    RegKey *create(RegKey *parent, const char *sub) {
        RegKey *key = nullptr;
        EXPECT_EQ(reg_create_key(parent, sub, REG_KEY_ALL_ACCESS, &key), REG_ERROR_SUCCESS) << sub;
        return key;
    }
};

}  // namespace

TEST_F(RegistryTest, ValuesOfEveryTypeWithWindowsSizes) {
    EXPECT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_READ, &k),
              REG_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    k = create(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek");
    ASSERT_EQ(set_sz(k, "Configuration", "app_host=1"), REG_ERROR_SUCCESS);
    reg_close_key(k);

    // Key and value names compare case-insensitively; sizes are UTF-16 bytes.
    ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "software/ZARVEK", REG_KEY_READ | REG_KEY_WOW64_64KEY, &k),
              REG_ERROR_SUCCESS);
    uint32_t type = 0, size = 0;
    EXPECT_EQ(reg_query_value(k, "configuration", &type, nullptr, &size), REG_ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 22u);
    char16_t small[4];
    size = sizeof(small);
    EXPECT_EQ(reg_query_value(k, "Configuration", &type, small, &size), REG_ERROR_MORE_DATA);
    EXPECT_EQ(size, 22u);
    EXPECT_EQ(get_sz(k, "CONFIGURATION"), "app_host=1");
    EXPECT_EQ(set_sz(k, "x", "y"), REG_ERROR_ACCESS_DENIED);  // read-only handle
    reg_close_key(k);

    k = create(REG_HKEY_CURRENT_USER, "Software\\Test");
    const char16_t text[] = u"caf\u00e9 \U0001F600";
    const char16_t multi[] = u"one\0two\0";
    const char16_t bad[] = {0xD800, 'a', 0};
    const uint8_t bin[] = {0, 1, 0xFE, 0xFF};
    uint32_t dword = 0xDEADBEEF;
    ASSERT_EQ(reg_set_value(k, "Unicode", REG_SZ, text, sizeof(text)), REG_ERROR_SUCCESS);
    ASSERT_EQ(reg_set_value(k, "M", REG_MULTI_SZ, multi, sizeof(multi)), REG_ERROR_SUCCESS);
    ASSERT_EQ(reg_set_value(k, "B", REG_BINARY, bin, sizeof(bin)), REG_ERROR_SUCCESS);
    ASSERT_EQ(reg_set_value(k, "D", REG_DWORD, &dword, 4), REG_ERROR_SUCCESS);
    EXPECT_EQ(reg_set_value(k, "D2", REG_DWORD, &dword, 2), REG_ERROR_INVALID_PARAM);
    EXPECT_EQ(reg_set_value(k, "Bad", REG_SZ, bad, sizeof(bad)), REG_ERROR_INVALID_PARAM);  // lone surrogate

    struct {
        const char *name;
        uint32_t type;
        const void *data;
        size_t size;
    } expect[] = {{"unicode", REG_SZ, text, sizeof(text)},
                  {"m", REG_MULTI_SZ, multi, sizeof(multi)},
                  {"b", REG_BINARY, bin, sizeof(bin)},
                  {"d", REG_DWORD, &dword, 4}};
    for (auto &e : expect) {
        uint8_t back[64] = {};
        size = sizeof(back);
        ASSERT_EQ(reg_query_value(k, e.name, &type, back, &size), REG_ERROR_SUCCESS) << e.name;
        EXPECT_EQ(type, e.type) << e.name;
        ASSERT_EQ(size, e.size) << e.name;
        EXPECT_EQ(memcmp(back, e.data, e.size), 0) << e.name;
    }

    // The hive file is the current user's.
    VKO_JSON *doc = VKO_JSONReadFile((regdir + "/HKU/" + std::to_string(getuid()) + ".json").c_str());
    ASSERT_NE(doc, nullptr);
    EXPECT_NE(VKO_JSONObjGetItem(doc, "Software\\Test"), nullptr);
    VKO_JSONDestroy(&doc);
}

TEST_F(RegistryTest, SubkeysAreListedInOrder) {
    for (const char *sub : {"Video\\b\\Video", "Video\\A\\Video", "Video\\c", "Other"})
        reg_close_key(create(REG_HKEY_LOCAL_MACHINE, sub));

    ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "VIDEO", REG_KEY_READ, &k), REG_ERROR_SUCCESS);
    std::vector<std::string> names;
    char name[64];
    uint32_t i = 0;
    for (; reg_enum_key(k, i, name, sizeof(name)) == REG_ERROR_SUCCESS; i++) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "c"}));
    EXPECT_EQ(reg_enum_key(k, i, name, sizeof(name)), REG_ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(reg_enum_key(k, 0, name, 1), REG_ERROR_MORE_DATA);

    // Ancestors exist as keys of their own.
    RegKey *sub = nullptr;
    EXPECT_EQ(reg_open_key(k, "b", REG_KEY_READ, &sub), REG_ERROR_SUCCESS);
    reg_close_key(sub);
}

TEST_F(RegistryTest, ImpersonationSelectsTheHive) {
    int64_t other = (int64_t)getuid() + 1000;
    process_set_console_user(other);
    bool was = true;
    ASSERT_TRUE(process_impersonate_console_user(true, &was));
    EXPECT_FALSE(was);

    ASSERT_EQ(reg_open_current_user(REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
    RegKey *sub = create(k, "Software");
    ASSERT_EQ(set_sz(sub, "ProxyServer", "proxy.test:8080"), REG_ERROR_SUCCESS);
    reg_close_key(sub);
    reg_close_key(k);

    ASSERT_TRUE(process_impersonate_console_user(false, &was));
    EXPECT_TRUE(was);

    // Back as ourselves the value is not in our hive.
    ASSERT_EQ(reg_open_current_user(REG_KEY_READ, &k), REG_ERROR_SUCCESS);
    EXPECT_EQ(reg_open_key(k, "Software", REG_KEY_READ, &sub), REG_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(VKO_FileExists((regdir + "/HKU/" + std::to_string(other) + ".json").c_str()));

    process_set_impersonation_fails(true);
    EXPECT_FALSE(process_impersonate_console_user(true, nullptr));
    process_set_impersonation_fails(false);
    process_set_console_user(-1);
    EXPECT_TRUE(process_impersonate_console_user(true, nullptr));
    EXPECT_EQ(reg_get_thread_user(), (int64_t)getuid());
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    // Several processes write the same hive at once; a reader checks that
    // the file is whole at every moment.
    const int writers = 4, values = 40;
    reg_close_key(create(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek"));
    std::string file = regdir + "/HKLM.json";
    auto value = [](int w, int i) { return std::string(100 + i, (char)('a' + w)); };
    auto name = [](int w, int i) { return "w" + std::to_string(w) + "_" + std::to_string(i); };
    std::vector<pid_t> pids;

    for (int w = 0; w <= writers; w++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0 && w == writers) {
            for (int i = 0; i < 400; i++) {
                char *text = (char *)VKO_ReadFile(file.c_str(), nullptr);
                VKO_JSON *doc = text ? VKO_JSONParse(text) : nullptr;
                VKO_Free(text);
                if (text && !doc) _exit(3);
                VKO_JSONDestroy(&doc);
            }
            _exit(0);
        }
        if (pid == 0) {
            RegKey *key = nullptr;
            if (reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_ALL_ACCESS, &key) != 0)
                _exit(1);
            for (int i = 0; i < values; i++)
                if (set_sz(key, name(w, i).c_str(), value(w, i)) != 0) _exit(2);
            _exit(0);
        }
        pids.push_back(pid);
    }

    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_READ, &k), REG_ERROR_SUCCESS);
    for (int w = 0; w < writers; w++)
        for (int i = 0; i < values; i++) EXPECT_EQ(get_sz(k, name(w, i).c_str()), value(w, i)) << name(w, i);

    // No temporary file is left behind.
    VKO_DirList *list = VKO_ListDirectory(regdir.c_str(), ".tmp");
    for (uint32_t i = 0; i < list->len; i++) EXPECT_TRUE(list->entries[i].is_dir) << list->entries[i].name;
    VKO_DirectoryListDestroy(&list);
}

TEST_F(RegistryTest, DamagedOrUnreadableHivesAreNeverOverwritten) {
    ASSERT_EQ(mkdir((tmp.path + "/var").c_str(), 0755) | mkdir((tmp.path + "/var/lib").c_str(), 0755) |
                  mkdir((tmp.path + "/var/lib/zarvek").c_str(), 0755) | mkdir(regdir.c_str(), 0755),
              0);
    write_file(regdir + "/HKLM.json", "{\"SOFTWARE\": [tru");

    // Damaged: reads as empty; the first write sets the file aside.
    EXPECT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE", REG_KEY_READ, &k), REG_ERROR_FILE_NOT_FOUND);
    k = create(REG_HKEY_LOCAL_MACHINE, "SOFTWARE");
    EXPECT_EQ(set_sz(k, "v", "1"), REG_ERROR_SUCCESS);
    EXPECT_EQ(get_sz(k, "v"), "1");
    EXPECT_EQ(read_file(regdir + "/HKLM.json.bad"), "{\"SOFTWARE\": [tru");
    reg_close_key(k);

    // A key whose entry is not an object takes the value instead of
    // reporting a write that never happened.
    write_file(regdir + "/HKLM.json", "{\"SOFTWARE\":5,\"Keep\":{\"a\":{\"type\":4,\"data\":7}}}");
    ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "software", REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
    EXPECT_EQ(set_sz(k, "v", "2"), REG_ERROR_SUCCESS);
    EXPECT_EQ(get_sz(k, "v"), "2");
    reg_close_key(k);
    ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "Keep", REG_KEY_READ, &k), REG_ERROR_SUCCESS);
    uint32_t type = 0, v = 0, size = 4;
    EXPECT_EQ(reg_query_value(k, "a", &type, &v, &size), REG_ERROR_SUCCESS);
    EXPECT_EQ(v, 7u);
    reg_close_key(k);

    // A hive that cannot be read is an error, not an empty hive to replace.
    mkdir((regdir + "/HKU").c_str(), 0755);
    std::string hive = regdir + "/HKU/" + std::to_string(getuid()) + ".json";
    ASSERT_EQ(mkdir(hive.c_str(), 0755), 0);
    ASSERT_EQ(reg_open_current_user(REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
    EXPECT_NE(set_sz(k, "v", "3"), REG_ERROR_SUCCESS);
    struct stat st;
    EXPECT_TRUE(stat(hive.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_FALSE(VKO_FileExists((hive + ".bad").c_str()));
}

TEST_F(RegistryTest, RandomOperationsMatchAModel) {
    // Names differ only in case now and then; the model folds case.
    std::map<std::string, std::string> model;
    std::mt19937 rng(5);
    k = create(REG_HKEY_CURRENT_USER, "Software\\Model");

    for (int i = 0; i < 300; i++) {
        std::string name =
            rng() % 10 == 0 ? "" : std::string(1, "aAbBcC"[rng() % 6]) + std::to_string(rng() % 4);
        std::string folded = name;
        for (char &c : folded) c = (char)tolower((unsigned char)c);
        int32_t e = 0;
        switch (rng() % 3) {
            case 0: {
                std::string v = std::to_string(rng());
                ASSERT_EQ(set_sz(k, name.c_str(), v), REG_ERROR_SUCCESS);
                model[folded] = v;
                break;
            }
            case 1:
                e = reg_delete_value(k, name.c_str());
                EXPECT_EQ(e, model.erase(folded) ? REG_ERROR_SUCCESS : REG_ERROR_FILE_NOT_FOUND);
                break;
            default: {
                std::string got = get_sz(k, name.c_str(), &e);
                auto it = model.find(folded);
                EXPECT_EQ(e, it == model.end() ? REG_ERROR_FILE_NOT_FOUND : REG_ERROR_SUCCESS);
                EXPECT_EQ(got, it == model.end() ? "" : it->second);
            }
        }
    }
}

// Listing the subkeys of a key with thousands of them takes one pass and one
// sort: beyond loading the hive, it allocates a handful of blocks (not one or
// two per name), and names that differ only in case are listed once.
TEST_F(RegistryTest, ManySubkeysAreListedInOnePass) {
    const int n = 3000;
    std::string hive = "{\"Many\":{},\"Many\\\\Dup\":{},\"Many\\\\DUP\\\\deeper\":{}";
    for (int i = n - 1; i >= 0; i--) {
        char name[32];
        snprintf(name, sizeof name, "%s%05d", i % 2 ? "K" : "k", i);
        hive += std::string(",\"Many\\\\") + name + "\":{}";
    }
    hive += "}";
    ASSERT_EQ(system(("mkdir -p '" + regdir + "'").c_str()), 0);
    write_file(regdir + "/HKLM.json", hive);

    ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "Many", REG_KEY_READ, &k), REG_ERROR_SUCCESS);
    char name[64];
    size_t load = 0, listing = 0;
    {
        AllocWatch watch;
        uint32_t size = 0;
        EXPECT_EQ(reg_query_value(k, "none", nullptr, nullptr, &size), REG_ERROR_FILE_NOT_FOUND);
        load = watch.blocks();
    }
    {
        AllocWatch watch;
        EXPECT_EQ(reg_enum_key(k, 0, name, sizeof name), REG_ERROR_SUCCESS);
        listing = watch.blocks();
    }
    if (AllocWatch::available()) {
        EXPECT_LT(listing - load, 64u);
    }

    EXPECT_EQ(strcasecmp(name, "dup"), 0) << name;
    EXPECT_EQ(reg_enum_key(k, 1, name, sizeof name), REG_ERROR_SUCCESS);
    EXPECT_STREQ(name, "k00000");
    EXPECT_EQ(reg_enum_key(k, 2, name, sizeof name), REG_ERROR_SUCCESS);
    EXPECT_STREQ(name, "K00001");
    EXPECT_EQ(reg_enum_key(k, n, name, sizeof name), REG_ERROR_SUCCESS);
    EXPECT_STREQ(name, "K02999");
    EXPECT_EQ(reg_enum_key(k, n + 1, name, sizeof name), REG_ERROR_NO_MORE_ITEMS);
}

namespace {
std::vector<std::string> g_flushed;
void note_flush(const char *folder) {
    g_flushed.push_back(folder);
}
}  // namespace

// The folders made for a first hive are flushed into their parents, so the
// hive written into them outlives a power loss.
TEST_F(RegistryTest, FoldersMadeForAHiveAreFlushed) {
    g_flushed.clear();
    dp_set_sync_observer(note_flush);
    reg_close_key(create(REG_HKEY_LOCAL_MACHINE, "First"));
    dp_set_sync_observer(nullptr);
    for (const std::string &f :
         {tmp.path, tmp.path + "/var", tmp.path + "/var/lib", tmp.path + "/var/lib/zarvek"})
        EXPECT_NE(std::find(g_flushed.begin(), g_flushed.end(), f), g_flushed.end()) << f;
}
