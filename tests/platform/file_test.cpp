#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "compat/registry/registry.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

std::vector<std::string> LOGS;

void capture(const char *msg, void *)
{
	LOGS.push_back(msg);
}

std::string slurp(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void spit(const std::string &path, const std::string &data)
{
	std::ofstream f(path, std::ios::binary);
	f << data;
}

struct FileTest : ::testing::Test {
	std::string dir;

	void SetUp() override
	{
		char tmpl[] = "/tmp/file_test_XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		setenv(VKO_ENV_SYSROOT, (dir + "/root").c_str(), 1);
		LOGS.clear();
		VKO_SetLogFunc(capture, nullptr);
	}

	void TearDown() override
	{
		VKO_SetLogFunc(nullptr, nullptr);
		unsetenv(VKO_ENV_SYSROOT);
		std::string cmd = "rm -rf '" + dir + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}

	std::string p(const std::string &name) const { return dir + "/" + name; }
};

} // namespace

TEST_F(FileTest, ReadFile)
{
	spit(p("empty"), "");
	spit(p("ten"), "0123456789");

	size_t size = 99;
	EXPECT_EQ(VKO_ReadFile(p("empty").c_str(), &size), nullptr);
	EXPECT_EQ(size, 0u);

	char *data = (char *) VKO_ReadFile(p("ten").c_str(), &size);
	ASSERT_NE(data, nullptr);
	EXPECT_EQ(size, 10u);
	EXPECT_EQ(std::string(data, 11), std::string("0123456789\0", 11));
	VKO_Free(data);

	EXPECT_EQ(VKO_ReadFile(p("missing").c_str(), &size), nullptr);
	EXPECT_EQ(VKO_ReadFile(p("missing/deeper").c_str(), nullptr), nullptr);
	EXPECT_TRUE(LOGS.empty());

	// A directory is not a file to read.
	EXPECT_EQ(VKO_ReadFile(dir.c_str(), nullptr), nullptr);
}

TEST_F(FileTest, WriteAndAppend)
{
	const char bin[] = {'a', '\0', 'b', '\n'};
	ASSERT_TRUE(VKO_WriteFile(p("bin").c_str(), bin, sizeof(bin)));
	EXPECT_EQ(slurp(p("bin")), std::string(bin, sizeof(bin)));

	ASSERT_TRUE(VKO_WriteTextFile(p("t").c_str(), "%s=%d\n", "x", 5));
	ASSERT_TRUE(VKO_AppendTextToFile(p("t").c_str(), "%.1f", 2.5));
	EXPECT_EQ(slurp(p("t")), "x=5\n2.5");
	ASSERT_TRUE(VKO_WriteTextFile(p("t").c_str(), "new"));
	EXPECT_EQ(slurp(p("t")), "new");

	EXPECT_FALSE(VKO_WriteFile(p("no/such/dir").c_str(), bin, 1));
	ASSERT_EQ(LOGS.size(), 1u);
	EXPECT_EQ(LOGS[0], "fsutil_open: '_wfopen_s' failed to open 'dir' with errno 2");

	FILE *f = fsutil_open(p("bin").c_str(), "rb");
	ASSERT_NE(f, nullptr);
	fclose(f);
}

TEST_F(FileTest, DeleteExistsMove)
{
	spit(p("a"), "A");
	EXPECT_TRUE(VKO_FileExists(p("a").c_str()));
	EXPECT_TRUE(VKO_FileExists(dir.c_str()));
	EXPECT_FALSE(VKO_FileExists(p("b").c_str()));

	EXPECT_TRUE(VKO_MoveFile(p("a").c_str(), p("b").c_str()));
	EXPECT_FALSE(VKO_FileExists(p("a").c_str()));
	EXPECT_EQ(slurp(p("b")), "A");

	spit(p("c"), "C");
	EXPECT_TRUE(VKO_MoveFile(p("c").c_str(), p("b").c_str()));
	EXPECT_EQ(slurp(p("b")), "C");

	EXPECT_TRUE(VKO_DeleteFile(p("b").c_str()));
	EXPECT_FALSE(VKO_FileExists(p("b").c_str()));
	EXPECT_TRUE(LOGS.empty());

	EXPECT_FALSE(VKO_DeleteFile(p("b").c_str()));
	ASSERT_EQ(LOGS.size(), 1u);
	EXPECT_EQ(LOGS[0], "VKO_DeleteFile: 'DeleteFile' failed with error 0x2");

	LOGS.clear();
	EXPECT_FALSE(VKO_MoveFile(p("none").c_str(), p("b").c_str()));
	ASSERT_EQ(LOGS.size(), 1u);
	EXPECT_EQ(LOGS[0].rfind("VKO_MoveFile: Failed to move file via 'MoveFileEx' and 'CopyFile', last error 0x", 0), 0u);
}

TEST_F(FileTest, MoveAcrossFileSystemsCopies)
{
	struct stat a, b;
	if (stat("/dev/shm", &a) != 0 || stat(dir.c_str(), &b) != 0 || a.st_dev == b.st_dev)
		GTEST_SKIP() << "no second file system";

	std::string src = "/dev/shm/file_test_move_" + std::to_string(getpid());
	spit(src, "across");
	EXPECT_TRUE(VKO_MoveFile(src.c_str(), p("moved").c_str()));
	EXPECT_EQ(slurp(p("moved")), "across");
	EXPECT_FALSE(VKO_FileExists(src.c_str()));
}

TEST_F(FileTest, PathHelpers)
{
	EXPECT_STREQ(VKO_GetFileExtension("noext"), "");
	EXPECT_STREQ(VKO_GetFileExtension("a.tar.gz"), "gz");
	EXPECT_STREQ(VKO_GetPathPrefix("nosep"), "nosep");
	EXPECT_STREQ(VKO_GetPathPrefix("/a/b/c.txt"), "/a/b");
	EXPECT_STREQ(VKO_JoinPath("/a", "b"), "/a/b");
}

TEST_F(FileTest, ListingOrder)
{
	mkdir(p("Z").c_str(), 0755);
	spit(p("b.txt"), "");
	spit(p("A.txt"), "");
	spit(p("a.TXT"), "");
	spit(p("c.log"), "");

	VKO_DirList *list = VKO_ListDirectory(dir.c_str(), nullptr);
	ASSERT_NE(list, nullptr);
	std::vector<std::string> names;
	for (uint32_t i = 0; i < list->len; i++)
		names.push_back(list->entries[i].name);
	EXPECT_EQ(names, (std::vector<std::string>{".", "..", "Z", "a.TXT", "A.txt", "b.txt", "c.log"}));
	EXPECT_TRUE(list->entries[2].is_dir);
	EXPECT_FALSE(list->entries[3].is_dir);
	EXPECT_EQ(std::string(list->entries[2].path), p("Z"));
	VKO_DirectoryListDestroy(&list);
	EXPECT_EQ(list, nullptr);

	// The filter is case-sensitive and applies to files only.
	list = VKO_ListDirectory(dir.c_str(), ".txt");
	names.clear();
	for (uint32_t i = 0; i < list->len; i++)
		names.push_back(list->entries[i].name);
	EXPECT_EQ(names, (std::vector<std::string>{".", "..", "Z", "A.txt", "b.txt"}));
	VKO_DirectoryListDestroy(&list);

	list = VKO_ListDirectory(p("missing").c_str(), nullptr);
	ASSERT_NE(list, nullptr);
	EXPECT_EQ(list->len, 0u);
	VKO_DirectoryListDestroy(&list);
}

TEST_F(FileTest, KnownFolders)
{
	EXPECT_STREQ(VKO_GetDir(7), ".");

	char cwd[4096];
	ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
	EXPECT_STREQ(VKO_GetDir(VKO_DIR_CURRENT), cwd);

	EXPECT_EQ(std::string(VKO_GetDir(VKO_DIR_PROGRAM_DATA)), dir + "/root/var/lib");
	EXPECT_EQ(std::string(VKO_GetDir(VKO_DIR_PROGRAMS)), dir + "/root/opt");

	// The user's folder: $APPDATA, else $XDG_CONFIG_HOME, else ~/.config.
	std::vector<std::pair<std::string, std::string>> saved;
	for (const char *name : {"APPDATA", "XDG_CONFIG_HOME", "HOME"}) {
		const char *v = getenv(name);
		if (v)
			saved.emplace_back(name, v);
	}

	setenv("APPDATA", "/x/appdata", 1);
	setenv("XDG_CONFIG_HOME", "/x/xdg", 1);
	setenv("HOME", "/x/home", 1);
	EXPECT_STREQ(VKO_GetDir(VKO_DIR_APPDATA), "/x/appdata");
	unsetenv("APPDATA");
	EXPECT_STREQ(VKO_GetDir(VKO_DIR_APPDATA), "/x/xdg");
	unsetenv("XDG_CONFIG_HOME");
	EXPECT_STREQ(VKO_GetDir(VKO_DIR_APPDATA), "/x/home/.config");

	unsetenv("HOME");
	for (auto &kv : saved)
		setenv(kv.first.c_str(), kv.second.c_str(), 1);

	unsetenv(VKO_ENV_SYSROOT);
	EXPECT_STREQ(VKO_GetDir(VKO_DIR_PROGRAM_DATA), "/var/lib");
}

TEST_F(FileTest, PlatformReport)
{
	EXPECT_STREQ(VKO_GetPlatformString(0), "");
	EXPECT_STREQ(VKO_GetPlatformString(0x01000A00), "Windows 10");
	EXPECT_STREQ(VKO_GetPlatformString(0x01000601), "Windows 6.1");
	EXPECT_STREQ(VKO_GetPlatformString(0x02000000), "macOS");
	EXPECT_STREQ(VKO_GetPlatformString(0x03000000), "Unknown");
	EXPECT_STREQ(VKO_GetPlatformString(0x00000102), "1.2");

	uint32_t code = VKO_GetPlatform();
	EXPECT_EQ(code & 0xFF000000u, VKO_PLATFORM_LINUX);
	struct utsname u;
	ASSERT_EQ(uname(&u), 0);
	std::string expect = "Linux " + std::to_string(code >> 8 & 0xFF);
	if (code & 0xFF)
		expect += "." + std::to_string(code & 0xFF);
	EXPECT_EQ(VKO_GetPlatformString(code), expect);
	EXPECT_EQ(std::string(u.release).rfind(expect.substr(6), 0), 0u);

	EXPECT_STREQ(VKO_GetSOExtension(), "so");

	const char *host = VKO_GetHostname();
	EXPECT_GT(strlen(host), 0u);
	EXPECT_LE(strlen(host), 15u);
	EXPECT_EQ(strchr(host, '.'), nullptr);

	char exe[4096];
	ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
	ASSERT_GT(n, 0);
	exe[n] = '\0';
	EXPECT_STREQ(VKO_GetProcessPath(), exe);
}

TEST_F(FileTest, LockFilesBetweenProcesses)
{
	std::string path = p("lock");
	int to_child[2], to_parent[2];
	ASSERT_EQ(pipe(to_child), 0);
	ASSERT_EQ(pipe(to_parent), 0);

	// The child is forked before the lock exists, so it shares no descriptor.
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		VKO_SetLogFunc(nullptr, nullptr);
		char c = 0;
		if (read(to_child[0], &c, 1) != 1)
			_exit(100);
		// While the parent holds it: writers and readers are refused.
		int r = 0;
		VKO_LockFile *l = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE);
		r |= l ? 1 : 0;
		VKO_LockFile *s = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_READ);
		r |= s ? 2 : 0;
		if (write(to_parent[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1)
			_exit(100);
		// After the parent let go: the lock is free.
		l = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE);
		r |= l ? 0 : 4;
		VKO_LockFileDestroy(&l);
		_exit(r);
	}

	VKO_LockFile *lock = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE);
	ASSERT_NE(lock, nullptr);
	char c = 0;
	ASSERT_EQ(write(to_child[1], &c, 1), 1);
	ASSERT_EQ(read(to_parent[0], &c, 1), 1);

	// A second holder in this process is refused too, without truncating.
	int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_EQ(write(fd, "held", 4), 4);
	close(fd);
	EXPECT_EQ(VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE), nullptr);
	EXPECT_EQ(slurp(path), "held");
	EXPECT_EQ(LOGS.back(), "VKO_LockFileCreate: 'CreateFile' failed with error 0xB");

	VKO_LockFileDestroy(&lock);
	EXPECT_EQ(lock, nullptr);
	ASSERT_EQ(write(to_child[1], &c, 1), 1);

	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0);
	for (int f : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
		close(f);
}

TEST_F(FileTest, ReadLocksShare)
{
	std::string path = p("shared");
	spit(path, "x");
	VKO_LockFile *a = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_READ);
	VKO_LockFile *b = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_READ);
	EXPECT_NE(a, nullptr);
	EXPECT_NE(b, nullptr);
	EXPECT_EQ(VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE), nullptr);
	VKO_LockFileDestroy(&a);
	VKO_LockFileDestroy(&b);

	EXPECT_EQ(VKO_LockFileCreate(p("absent").c_str(), VKO_FILE_MODE_READ), nullptr);
	VKO_LockFile *w = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE);
	ASSERT_NE(w, nullptr);
	EXPECT_EQ(slurp(path), "");
	VKO_LockFileDestroy(&w);
}

TEST_F(FileTest, SharedObjects)
{
	void *so = VKO_SOLoad("libm.so.6");
	ASSERT_NE(so, nullptr);
	auto cosine = (double (*)(double)) VKO_SOGetSymbol(so, "cos");
	ASSERT_NE(cosine, nullptr);
	EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
	EXPECT_EQ(VKO_SOGetSymbol(so, "no_such_symbol"), nullptr);
	EXPECT_EQ(LOGS.back(), "VKO_SOGetSymbol: 'GetProcAddress' failed to find 'no_such_symbol' with error 0x2");
	VKO_SOUnload(&so);
	EXPECT_EQ(so, nullptr);

	EXPECT_STREQ(vko_so_map_name("vulkan-1.dll"), "libvulkan.so.1");
	EXPECT_STREQ(vko_so_map_name("NVENCODEAPI64.DLL"), "libnvidia-encode.so.1");
	EXPECT_STREQ(vko_so_map_name("libm.so.6"), "libm.so.6");

	// The test folder is searched first, under the Linux name.
	Dl_info info;
	ASSERT_NE(dladdr((void *) (double (*)(double)) &::cos, &info), 0);
	std::string fake = p("libamfrt64.so.1");
	std::string cmd = "cp '" + std::string(info.dli_fname) + "' '" + fake + "'";
	ASSERT_EQ(system(cmd.c_str()), 0);

	LOGS.clear();
	EXPECT_EQ(VKO_SOLoad("amfrt64.dll"), nullptr);
	ASSERT_EQ(LOGS.size(), 1u);
	EXPECT_EQ(LOGS[0].rfind("VKO_SOLoad: 'LoadLibrary' failed to find 'amfrt64.dll' with error 0x", 0), 0u);

	setenv(VKO_ENV_SO_PATH, dir.c_str(), 1);
	so = VKO_SOLoad("amfrt64.dll");
	unsetenv(VKO_ENV_SO_PATH);
	ASSERT_NE(so, nullptr);
	EXPECT_NE(VKO_SOGetSymbol(so, "sin"), nullptr);
	VKO_SOUnload(&so);
}

TEST_F(FileTest, RunAtLogin)
{
	EXPECT_FALSE(VKO_GetRunOnStartup("Zarvek"));
	ASSERT_TRUE(VKO_SetRunOnStartup("Zarvek", "/opt/zarvek/zarvek", nullptr));
	EXPECT_TRUE(VKO_GetRunOnStartup("zarvek"));

	auto stored = []() {
		RegKey *k = nullptr;
		EXPECT_EQ(reg_open_key(REG_HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
			REG_KEY_READ, &k), REG_ERROR_SUCCESS);
		char16_t buf[256] = {};
		uint32_t type = 0, size = sizeof(buf);
		EXPECT_EQ(reg_query_value(k, "Zarvek", &type, buf, &size), REG_ERROR_SUCCESS);
		EXPECT_EQ(type, REG_SZ);
		reg_close_key(k);
		std::string s;
		for (uint32_t i = 0; i < size / 2 && buf[i]; i++)
			s += (char) buf[i];
		return s;
	};
	EXPECT_EQ(stored(), "/opt/zarvek/zarvek");

	ASSERT_TRUE(VKO_SetRunOnStartup("Zarvek", "/opt/zarvek/zarvek", "-silent"));
	EXPECT_EQ(stored(), "/opt/zarvek/zarvek -silent");

	// A path with blanks is quoted so the command line stays whole.
	ASSERT_TRUE(VKO_SetRunOnStartup("Zarvek", "/opt/my apps/zarvek", "-silent"));
	EXPECT_EQ(stored(), "\"/opt/my apps/zarvek\" -silent");

	ASSERT_TRUE(VKO_SetRunOnStartup("Zarvek", nullptr, nullptr));
	EXPECT_FALSE(VKO_GetRunOnStartup("Zarvek"));
	EXPECT_TRUE(VKO_SetRunOnStartup("Zarvek", nullptr, nullptr));
	EXPECT_TRUE(LOGS.empty());
}

TEST_F(FileTest, HandleProtocolSpawnsTheOpener)
{
	std::string opener = p("opener.sh");
	std::string out = p("argv.txt");
	spit(opener, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + out + ".tmp'\nmv '" + out +
		".tmp' '" + out + "'\n");
	chmod(opener.c_str(), 0755);

	setenv(VKO_ENV_URL_OPENER, opener.c_str(), 1);
	// Shell syntax in the URI stays one literal argument.
	EXPECT_TRUE(VKO_HandleProtocol("https://example.test/a b;$(touch pwned)", nullptr));
	unsetenv(VKO_ENV_URL_OPENER);

	for (int i = 0; i < 3000 && access(out.c_str(), F_OK) != 0; i++)
		usleep(10000);
	EXPECT_EQ(slurp(out), "https://example.test/a b;$(touch pwned)\n");
	EXPECT_FALSE(VKO_FileExists("pwned"));

	setenv(VKO_ENV_URL_OPENER, p("no-such-opener").c_str(), 1);
	EXPECT_FALSE(VKO_HandleProtocol("x:y", nullptr));
	unsetenv(VKO_ENV_URL_OPENER);
	EXPECT_EQ(LOGS.back(), "VKO_HandleProtocol: 'CreateProcess' failed with error 0x2");
}

namespace {

int CRASH_PIPE = -1;

void flag_callback(bool terminate, void *opaque)
{
	char c = terminate ? 'T' : 'F';
	c += (char) (intptr_t) opaque;
	ssize_t r = write(CRASH_PIPE, &c, 1);
	(void) r;
}

// Runs body in a child with the crash handling installed; returns the wait
// status and what the callback wrote.
int crash_child(void (*body)(), std::string *flags)
{
	int fds[2];
	EXPECT_EQ(pipe(fds), 0);
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		CRASH_PIPE = fds[1];
		VKO_SetCrashFunc(flag_callback, (void *) (intptr_t) 1);
		body();
		_exit(0);
	}
	close(fds[1]);
	char buf[16];
	ssize_t n;
	while ((n = read(fds[0], buf, sizeof(buf))) > 0)
		flags->append(buf, (size_t) n);
	close(fds[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	return status;
}

} // namespace

TEST_F(FileTest, CrashCallbackThenTheSameSignal)
{
	std::string flags;
	int status = crash_child([]() { raise(SIGSEGV); }, &flags);
	EXPECT_TRUE(WIFSIGNALED(status));
	EXPECT_EQ(WTERMSIG(status), SIGSEGV);
	EXPECT_EQ(flags, "G"); // 'F' + 1: not a termination request

	flags.clear();
	status = crash_child([]() { kill(getpid(), SIGTERM); pause(); }, &flags);
	EXPECT_TRUE(WIFSIGNALED(status));
	EXPECT_EQ(WTERMSIG(status), SIGTERM);
	EXPECT_EQ(flags, "U"); // 'T' + 1

	flags.clear();
	status = crash_child([]() { abort(); }, &flags);
	EXPECT_TRUE(WIFSIGNALED(status));
	EXPECT_EQ(WTERMSIG(status), SIGABRT);
	EXPECT_EQ(flags, "G");
}
