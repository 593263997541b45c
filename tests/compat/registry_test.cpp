#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "app/shell.h"
#include "compat/registry/registry.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/memory.h"

namespace {

std::u16string u16(const std::string &s)
{
	return std::u16string(s.begin(), s.end());
}

int32_t set_sz(RegKey *k, const char *name, const std::string &text)
{
	std::u16string w = u16(text);
	return reg_set_value(k, name, REG_SZ, w.c_str(), (uint32_t) (w.size() + 1) * 2);
}

std::string get_sz(RegKey *k, const char *name, int32_t *err = nullptr)
{
	char16_t buf[512] = {};
	uint32_t type = 0, size = sizeof(buf);
	int32_t e = reg_query_value(k, name, &type, buf, &size);
	if (err)
		*err = e;
	std::string s;
	for (uint32_t i = 0; e == REG_ERROR_SUCCESS && i < size / 2 && buf[i]; i++)
		s += (char) buf[i];
	return s;
}

struct RegistryTest : ::testing::Test {
	std::string dir;

	void SetUp() override
	{
		char tmpl[] = "/tmp/registry_test_XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		setenv(VKO_ENV_SYSROOT, dir.c_str(), 1);
	}

	void TearDown() override
	{
		unsetenv(VKO_ENV_SYSROOT);
		std::string cmd = "rm -rf '" + dir + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}
};

} // namespace

TEST_F(RegistryTest, StringsAreUtf16WithByteSizes)
{
	RegKey *k = nullptr;
	EXPECT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_READ, &k), REG_ERROR_FILE_NOT_FOUND);
	EXPECT_EQ(k, nullptr);

	ASSERT_EQ(reg_create_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
	ASSERT_EQ(set_sz(k, "Configuration", "app_host=1"), REG_ERROR_SUCCESS);
	reg_close_key(k);

	// Key and value names compare case-insensitively.
	ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "software/ZARVEK", REG_KEY_READ | REG_KEY_WOW64_64KEY, &k),
		REG_ERROR_SUCCESS);

	uint32_t type = 0, size = 0;
	EXPECT_EQ(reg_query_value(k, "configuration", &type, nullptr, &size), REG_ERROR_SUCCESS);
	EXPECT_EQ(type, REG_SZ);
	EXPECT_EQ(size, 22u); // 10 characters and the terminator, 2 bytes each

	char16_t small[4];
	size = sizeof(small);
	EXPECT_EQ(reg_query_value(k, "Configuration", &type, small, &size), REG_ERROR_MORE_DATA);
	EXPECT_EQ(size, 22u);
	EXPECT_EQ(get_sz(k, "CONFIGURATION"), "app_host=1");

	int32_t e = 0;
	get_sz(k, "Other", &e);
	EXPECT_EQ(e, REG_ERROR_FILE_NOT_FOUND);

	// A read-only handle cannot write.
	EXPECT_EQ(set_sz(k, "x", "y"), REG_ERROR_ACCESS_DENIED);
	reg_close_key(k);

	// Non-ASCII text goes through UTF-16 and comes back the same.
	ASSERT_EQ(reg_create_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
	const char16_t text[] = u"caf\u00e9 \U0001F600";
	ASSERT_EQ(reg_set_value(k, "Unicode", REG_SZ, text, sizeof(text)), REG_ERROR_SUCCESS);
	char16_t back[32] = {};
	size = sizeof(back);
	ASSERT_EQ(reg_query_value(k, "unicode", &type, back, &size), REG_ERROR_SUCCESS);
	EXPECT_EQ(size, sizeof(text));
	EXPECT_EQ(std::u16string(back), std::u16string(text));

	// A lone surrogate is not text.
	const char16_t bad[] = {0xD800, 'a', 0};
	EXPECT_EQ(reg_set_value(k, "Bad", REG_SZ, bad, sizeof(bad)), REG_ERROR_INVALID_PARAM);
	reg_close_key(k);
}

TEST_F(RegistryTest, OtherTypesAndDeletion)
{
	RegKey *k = nullptr;
	ASSERT_EQ(reg_create_key(REG_HKEY_CURRENT_USER, "Software\\Test", REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);

	uint32_t dword = 0xDEADBEEF;
	ASSERT_EQ(reg_set_value(k, "D", REG_DWORD, &dword, 4), REG_ERROR_SUCCESS);
	EXPECT_EQ(reg_set_value(k, "D2", REG_DWORD, &dword, 2), REG_ERROR_INVALID_PARAM);

	const char16_t multi[] = u"one\0two\0";
	ASSERT_EQ(reg_set_value(k, "M", REG_MULTI_SZ, multi, sizeof(multi)), REG_ERROR_SUCCESS);

	const uint8_t bin[] = {0, 1, 0xFE, 0xFF};
	ASSERT_EQ(reg_set_value(k, "B", REG_BINARY, bin, sizeof(bin)), REG_ERROR_SUCCESS);

	uint32_t type = 0, size = 4, out = 0;
	ASSERT_EQ(reg_query_value(k, "d", &type, &out, &size), REG_ERROR_SUCCESS);
	EXPECT_EQ(type, REG_DWORD);
	EXPECT_EQ(out, 0xDEADBEEF);

	char16_t mbuf[16] = {};
	size = sizeof(mbuf);
	ASSERT_EQ(reg_query_value(k, "m", &type, mbuf, &size), REG_ERROR_SUCCESS);
	EXPECT_EQ(type, REG_MULTI_SZ);
	EXPECT_EQ(size, sizeof(multi));
	EXPECT_EQ(std::u16string(mbuf, size / 2), std::u16string(multi, sizeof(multi) / 2));

	uint8_t bbuf[8];
	size = sizeof(bbuf);
	ASSERT_EQ(reg_query_value(k, "b", &type, bbuf, &size), REG_ERROR_SUCCESS);
	EXPECT_EQ(size, 4u);
	EXPECT_EQ(memcmp(bbuf, bin, 4), 0);

	// Replacing keeps one value under the first spelling.
	ASSERT_EQ(set_sz(k, "Name", "a"), REG_ERROR_SUCCESS);
	ASSERT_EQ(set_sz(k, "NAME", "b"), REG_ERROR_SUCCESS);
	EXPECT_EQ(get_sz(k, "name"), "b");

	EXPECT_EQ(reg_delete_value(k, "nAmE"), REG_ERROR_SUCCESS);
	EXPECT_EQ(reg_delete_value(k, "Name"), REG_ERROR_FILE_NOT_FOUND);
	int32_t e = 0;
	get_sz(k, "Name", &e);
	EXPECT_EQ(e, REG_ERROR_FILE_NOT_FOUND);
	reg_close_key(k);

	// The hive file is the current user's.
	std::string file = dir + "/var/lib/zarvek/registry/HKU/" + std::to_string(getuid()) + ".json";
	VKO_JSON *doc = VKO_JSONReadFile(file.c_str());
	ASSERT_NE(doc, nullptr);
	EXPECT_NE(VKO_JSONObjGetItem(doc, "Software\\Test"), nullptr);
	VKO_JSONDestroy(&doc);
}

TEST_F(RegistryTest, SubkeysAreListedInOrder)
{
	RegKey *k = nullptr;
	for (const char *sub : {"Video\\b\\Video", "Video\\A\\Video", "Video\\c", "Other"}) {
		ASSERT_EQ(reg_create_key(REG_HKEY_LOCAL_MACHINE, sub, REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
		reg_close_key(k);
	}

	ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "VIDEO", REG_KEY_READ, &k), REG_ERROR_SUCCESS);
	std::vector<std::string> names;
	char name[64];
	uint32_t i = 0;
	for (; reg_enum_key(k, i, name, sizeof(name)) == REG_ERROR_SUCCESS; i++)
		names.push_back(name);
	EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "c"}));
	EXPECT_EQ(reg_enum_key(k, i, name, sizeof(name)), REG_ERROR_NO_MORE_ITEMS);
	EXPECT_EQ(reg_enum_key(k, 0, name, 1), REG_ERROR_MORE_DATA);

	// Ancestors exist as keys of their own.
	RegKey *sub = nullptr;
	EXPECT_EQ(reg_open_key(k, "b", REG_KEY_READ, &sub), REG_ERROR_SUCCESS);
	reg_close_key(sub);
	reg_close_key(k);
}

TEST_F(RegistryTest, ImpersonationSelectsTheHive)
{
	RegKey *k = nullptr;
	int64_t other = (int64_t) getuid() + 1000;

	process_set_console_user(other);
	bool was = true;
	ASSERT_TRUE(process_impersonate_console_user(true, &was));
	EXPECT_FALSE(was);

	ASSERT_EQ(reg_open_current_user(REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
	RegKey *sub = nullptr;
	ASSERT_EQ(reg_create_key(k, "Software", REG_KEY_ALL_ACCESS, &sub), REG_ERROR_SUCCESS);
	ASSERT_EQ(set_sz(sub, "ProxyServer", "proxy.test:8080"), REG_ERROR_SUCCESS);
	reg_close_key(sub);
	reg_close_key(k);

	ASSERT_TRUE(process_impersonate_console_user(false, &was));
	EXPECT_TRUE(was);

	// Back as ourselves the value is not in our hive.
	ASSERT_EQ(reg_open_current_user(REG_KEY_READ, &k), REG_ERROR_SUCCESS);
	EXPECT_EQ(reg_open_key(k, "Software", REG_KEY_READ, &sub), REG_ERROR_FILE_NOT_FOUND);
	reg_close_key(k);
	EXPECT_TRUE(VKO_FileExists((dir + "/var/lib/zarvek/registry/HKU/" + std::to_string(other) + ".json").c_str()));

	process_set_impersonation_fails(true);
	EXPECT_FALSE(process_impersonate_console_user(true, nullptr));
	process_set_impersonation_fails(false);
	process_set_console_user(-1);
	EXPECT_TRUE(process_impersonate_console_user(true, nullptr));
	EXPECT_EQ(reg_get_thread_user(), (int64_t) getuid());
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing)
{
	// Several processes write the same hive at once; a reader checks that
	// the file is whole at every moment.
	const int writers = 4, values = 40;
	RegKey *k = nullptr;
	ASSERT_EQ(reg_create_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
	reg_close_key(k);

	std::string file = dir + "/var/lib/zarvek/registry/HKLM.json";
	std::vector<pid_t> pids;

	for (int w = 0; w < writers; w++) {
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			RegKey *key = nullptr;
			if (reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_ALL_ACCESS, &key) != 0)
				_exit(1);
			for (int i = 0; i < values; i++) {
				std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
				if (set_sz(key, name.c_str(), std::string(100 + i, 'a' + w)) != 0)
					_exit(2);
			}
			reg_close_key(key);
			_exit(0);
		}
		pids.push_back(pid);
	}

	pid_t reader = fork();
	ASSERT_GE(reader, 0);
	if (reader == 0) {
		for (int i = 0; i < 400; i++) {
			char *text = (char *) VKO_ReadFile(file.c_str(), nullptr);
			if (text) {
				VKO_JSON *doc = VKO_JSONParse(text);
				VKO_Free(text);
				if (!doc)
					_exit(3);
				VKO_JSONDestroy(&doc);
			}
		}
		_exit(0);
	}
	pids.push_back(reader);

	for (pid_t pid : pids) {
		int status = 0;
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		EXPECT_TRUE(WIFEXITED(status));
		EXPECT_EQ(WEXITSTATUS(status), 0);
	}

	ASSERT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_READ, &k), REG_ERROR_SUCCESS);
	for (int w = 0; w < writers; w++) {
		for (int i = 0; i < values; i++) {
			std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
			EXPECT_EQ(get_sz(k, name.c_str()), std::string(100 + i, 'a' + w)) << name;
		}
	}
	reg_close_key(k);

	// No temporary file is left behind.
	VKO_DirList *list = VKO_ListDirectory((dir + "/var/lib/zarvek/registry").c_str(), ".tmp");
	for (uint32_t i = 0; i < list->len; i++)
		EXPECT_TRUE(list->entries[i].is_dir) << list->entries[i].name;
	VKO_DirectoryListDestroy(&list);
}

TEST_F(RegistryTest, DamagedHiveReadsAsEmptyAndIsKeptAside)
{
	std::string regdir = dir + "/var/lib/zarvek/registry";
	ASSERT_EQ(system(("mkdir -p '" + regdir + "'").c_str()), 0);
	ASSERT_TRUE(VKO_WriteTextFile((regdir + "/HKLM.json").c_str(), "{\"SOFTWARE\": [tru"));

	RegKey *k = nullptr;
	EXPECT_EQ(reg_open_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE", REG_KEY_READ, &k), REG_ERROR_FILE_NOT_FOUND);
	ASSERT_EQ(reg_create_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE", REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);
	EXPECT_EQ(set_sz(k, "v", "1"), REG_ERROR_SUCCESS);
	EXPECT_EQ(get_sz(k, "v"), "1");
	reg_close_key(k);

	// The first write set the unreadable file aside instead of destroying it.
	size_t size = 0;
	char *kept = (char *) VKO_ReadFile((regdir + "/HKLM.json.bad").c_str(), &size);
	ASSERT_NE(kept, nullptr);
	EXPECT_EQ(std::string(kept, size), "{\"SOFTWARE\": [tru");
	VKO_Free(kept);
}

TEST_F(RegistryTest, RandomOperationsMatchAModel)
{
	// Names differ only in case now and then; the model folds case.
	std::map<std::string, std::string> model;
	std::mt19937 rng(5);
	RegKey *k = nullptr;
	ASSERT_EQ(reg_create_key(REG_HKEY_CURRENT_USER, "Software\\Model", REG_KEY_ALL_ACCESS, &k), REG_ERROR_SUCCESS);

	auto fold = [](std::string s) {
		for (char &c : s)
			c = (char) tolower((unsigned char) c);
		return s;
	};

	for (int i = 0; i < 300; i++) {
		std::string name = std::string(1, "aAbBcC"[rng() % 6]) + std::to_string(rng() % 4);
		if (rng() % 10 == 0)
			name = "";
		switch (rng() % 3) {
			case 0: {
				std::string v = std::to_string(rng());
				ASSERT_EQ(set_sz(k, name.c_str(), v), REG_ERROR_SUCCESS);
				model[fold(name)] = v;
				break;
			}
			case 1: {
				int32_t e = reg_delete_value(k, name.c_str());
				EXPECT_EQ(e, model.erase(fold(name)) ? REG_ERROR_SUCCESS : REG_ERROR_FILE_NOT_FOUND);
				break;
			}
			default: {
				int32_t e = 0;
				std::string got = get_sz(k, name.c_str(), &e);
				auto it = model.find(fold(name));
				if (it == model.end()) {
					EXPECT_EQ(e, REG_ERROR_FILE_NOT_FOUND);
				} else {
					EXPECT_EQ(e, REG_ERROR_SUCCESS);
					EXPECT_EQ(got, it->second);
				}
			}
		}
	}
	reg_close_key(k);
}
