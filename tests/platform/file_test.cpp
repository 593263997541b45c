#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "support/child.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

struct FileTest : ::testing::Test {
    TempDir tmp;
    std::string dir = tmp.path;
    LogCapture log;

    void SetUp() override { setenv(VKO_ENV_SYSROOT, (dir + "/root").c_str(), 1); }
    void TearDown() override { unsetenv(VKO_ENV_SYSROOT); }

    std::string p(const std::string &name) const { return dir + "/" + name; }
    std::string last() { return log.lines().empty() ? "" : log.lines().back(); }
};

}  // namespace

TEST_F(FileTest, ReadWriteDeleteMove) {
    write_file(p("empty"), "");
    write_file(p("ten"), "0123456789");
    size_t size = 99;
    EXPECT_EQ(VKO_ReadFile(p("empty").c_str(), &size), nullptr);
    EXPECT_EQ(size, 0u);
    char *data = (char *)VKO_ReadFile(p("ten").c_str(), &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(std::string(data, 11), std::string("0123456789\0", 11));
    VKO_Free(data);
    EXPECT_EQ(VKO_ReadFile(p("missing").c_str(), &size), nullptr);
    EXPECT_EQ(VKO_ReadFile(p("missing/deeper").c_str(), nullptr), nullptr);
    EXPECT_EQ(VKO_ReadFile(dir.c_str(), nullptr), nullptr);  // a directory
    EXPECT_TRUE(log.lines().empty());

    const char bin[] = {'a', '\0', 'b', '\n'};
    ASSERT_TRUE(VKO_WriteFile(p("bin").c_str(), bin, sizeof(bin)));
    EXPECT_EQ(read_file(p("bin")), std::string(bin, sizeof(bin)));
    ASSERT_TRUE(VKO_WriteTextFile(p("t").c_str(), "%s=%d\n", "x", 5));
    ASSERT_TRUE(VKO_AppendTextToFile(p("t").c_str(), "%.1f", 2.5));
    EXPECT_EQ(read_file(p("t")), "x=5\n2.5");
    EXPECT_FALSE(VKO_WriteFile(p("no/such/dir").c_str(), bin, 1));
    EXPECT_EQ(last(), "fsutil_open: '_wfopen_s' failed to open 'dir' with errno 2");

    EXPECT_TRUE(VKO_FileExists(dir.c_str()));
    EXPECT_TRUE(VKO_MoveFile(p("t").c_str(), p("bin").c_str()));  // replaces
    EXPECT_FALSE(VKO_FileExists(p("t").c_str()));
    EXPECT_EQ(read_file(p("bin")), "x=5\n2.5");
    EXPECT_TRUE(VKO_DeleteFile(p("bin").c_str()));
    EXPECT_FALSE(VKO_DeleteFile(p("bin").c_str()));
    EXPECT_EQ(last(), "VKO_DeleteFile: 'DeleteFile' failed with error 0x2");
    EXPECT_FALSE(VKO_MoveFile(p("none").c_str(), p("b").c_str()));
    EXPECT_EQ(
        last().rfind("VKO_MoveFile: Failed to move file via 'MoveFileEx' and 'CopyFile', last error 0x", 0),
        0u);
}

TEST_F(FileTest, MoveAcrossFileSystemsCopies) {
    struct stat a, b;
    if (stat("/dev/shm", &a) != 0 || stat(dir.c_str(), &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system";

    std::string src = "/dev/shm/file_test_move_" + std::to_string(getpid());
    write_file(src, "across");
    EXPECT_TRUE(VKO_MoveFile(src.c_str(), p("moved").c_str()));
    EXPECT_EQ(read_file(p("moved")), "across");
    EXPECT_FALSE(VKO_FileExists(src.c_str()));
}

TEST_F(FileTest, ListingOrder) {
    mkdir(p("Z").c_str(), 0755);
    for (const char *name : {"b.txt", "A.txt", "a.TXT", "c.log"}) write_file(p(name), "");

    auto names = [&](const char *filter) {
        VKO_DirList *list = VKO_ListDirectory(dir.c_str(), filter);
        std::vector<std::string> v;
        for (uint32_t i = 0; i < list->len; i++)
            v.push_back(std::string(list->entries[i].is_dir ? "/" : "") + list->entries[i].name);
        EXPECT_EQ(list->len > 2 ? std::string(list->entries[2].path) : "", p("Z"));
        VKO_DirectoryListDestroy(&list);
        return v;
    };
    EXPECT_EQ(names(nullptr),
              (std::vector<std::string>{"/.", "/..", "/Z", "a.TXT", "A.txt", "b.txt", "c.log"}));
    // The filter is case-sensitive and applies to files only.
    EXPECT_EQ(names(".txt"), (std::vector<std::string>{"/.", "/..", "/Z", "A.txt", "b.txt"}));

    VKO_DirList *list = VKO_ListDirectory(p("missing").c_str(), nullptr);
    EXPECT_EQ(list->len, 0u);
    VKO_DirectoryListDestroy(&list);

    // Any letter compares by its case folding (final sigma and capital sigma
    // with sigma), names equal but for case in descending code units; a name
    // that is not UTF-8 still has its place.
    for (const char *name : {"Äb.k", "äa.k", "É.k", "é.k", "Σb.k", "ςa.k", "z.k", "\xff.k"})
        write_file(p(name), "");
    EXPECT_EQ(names(".k"), (std::vector<std::string>{"/.", "/..", "/Z", "z.k", "äa.k", "Äb.k", "é.k", "É.k",
                                                     "ςa.k", "Σb.k", "\xff.k"}));
}

TEST_F(FileTest, PathsFoldersAndPlatform) {
    EXPECT_STREQ(VKO_GetFileExtension("noext"), "");
    EXPECT_STREQ(VKO_GetFileExtension("a.tar.gz"), "gz");
    EXPECT_STREQ(VKO_GetPathPrefix("nosep"), "nosep");
    EXPECT_STREQ(VKO_GetPathPrefix("/a/b/c.txt"), "/a/b");
    EXPECT_STREQ(VKO_JoinPath("/a", "b"), "/a/b");

    EXPECT_STREQ(VKO_GetDir(7), ".");
    EXPECT_EQ(std::string(VKO_GetDir(VKO_DIR_PROGRAM_DATA)), dir + "/root/var/lib");

    // The user's folder: $APPDATA, else $XDG_CONFIG_HOME, else ~/.config.
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char *name : {"APPDATA", "XDG_CONFIG_HOME", "HOME"})
        if (const char *v = getenv(name)) saved.emplace_back(name, v);
    setenv("APPDATA", "/x/appdata", 1);
    setenv("XDG_CONFIG_HOME", "/x/xdg", 1);
    setenv("HOME", "/x/home", 1);
    EXPECT_STREQ(VKO_GetDir(VKO_DIR_APPDATA), "/x/appdata");
    unsetenv("APPDATA");
    EXPECT_STREQ(VKO_GetDir(VKO_DIR_APPDATA), "/x/xdg");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_STREQ(VKO_GetDir(VKO_DIR_APPDATA), "/x/home/.config");
    unsetenv("HOME");
    for (auto &kv : saved) setenv(kv.first.c_str(), kv.second.c_str(), 1);

    EXPECT_STREQ(VKO_GetPlatformString(0x01000601), "Windows 6.1");
    EXPECT_STREQ(VKO_GetPlatformString(0x03000000), "Unknown");

    // The truth about this machine: Linux with the kernel's version.
    uint32_t code = VKO_GetPlatform();
    EXPECT_EQ(code & 0xFF000000u, VKO_PLATFORM_LINUX);
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    std::string version = std::to_string(code >> 8 & 0xFF) + "." + std::to_string(code & 0xFF);
    EXPECT_EQ(std::string(u.release).rfind(version, 0), 0u) << u.release;

    const char *host = VKO_GetHostname();
    EXPECT_TRUE(strlen(host) > 0 && strlen(host) <= 15 && !strchr(host, '.')) << host;
    EXPECT_TRUE(VKO_FileExists(VKO_GetProcessPath()));
}

TEST_F(FileTest, LockFilesBetweenProcesses) {
    std::string path = p("lock");
    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);

    // The child is forked before the lock exists, so it shares no descriptor.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char c = 0;
        if (read(to_child[0], &c, 1) != 1) _exit(100);
        // While the parent holds it: writers and readers are refused.
        int r = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE) ? 1 : 0;
        r |= VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_READ) ? 2 : 0;
        if (write(to_parent[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1) _exit(100);
        // After the parent let go: the lock is free.
        VKO_LockFile *l = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE);
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
    EXPECT_EQ(read_file(path), "held");
    EXPECT_EQ(last(), "VKO_LockFileCreate: 'CreateFile' failed with error 0xB");

    VKO_LockFileDestroy(&lock);
    ASSERT_EQ(write(to_child[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int f : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) close(f);

    // Readers share; a writer waits for them, then truncates.
    VKO_LockFile *a = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_READ);
    VKO_LockFile *b = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_READ);
    EXPECT_TRUE(a && b);
    EXPECT_EQ(VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE), nullptr);
    VKO_LockFileDestroy(&a);
    VKO_LockFileDestroy(&b);
    EXPECT_EQ(VKO_LockFileCreate(p("absent").c_str(), VKO_FILE_MODE_READ), nullptr);
    lock = VKO_LockFileCreate(path.c_str(), VKO_FILE_MODE_WRITE);
    EXPECT_EQ(read_file(path), "");
    VKO_LockFileDestroy(&lock);
}

TEST_F(FileTest, SharedObjects) {
    void *so = VKO_SOLoad("libm.so.6");
    ASSERT_NE(so, nullptr);
    auto cosine = (double (*)(double))VKO_SOGetSymbol(so, "cos");
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(VKO_SOGetSymbol(so, "no_such_symbol"), nullptr);
    EXPECT_EQ(last(), "VKO_SOGetSymbol: 'GetProcAddress' failed to find 'no_such_symbol' with error 0x2");
    VKO_SOUnload(&so);
    EXPECT_STREQ(vko_so_map_name("NVENCODEAPI64.DLL"), "libnvidia-encode.so.1");

    // The test folder is searched first, under the Linux name.
    Dl_info info;
    ASSERT_NE(dladdr((void *)(double (*)(double)) & ::cos, &info), 0);
    ASSERT_EQ(system(("cp '" + std::string(info.dli_fname) + "' '" + p("libamfrt64.so.1") + "'").c_str()), 0);
    EXPECT_EQ(VKO_SOLoad("amfrt64.dll"), nullptr);
    EXPECT_EQ(last().rfind("VKO_SOLoad: 'LoadLibrary' failed to find 'amfrt64.dll' with error 0x", 0), 0u);
    setenv(VKO_ENV_SO_PATH, dir.c_str(), 1);
    so = VKO_SOLoad("amfrt64.dll");
    unsetenv(VKO_ENV_SO_PATH);
    ASSERT_NE(so, nullptr);
    EXPECT_NE(VKO_SOGetSymbol(so, "sin"), nullptr);
    VKO_SOUnload(&so);
}

// The autostart entry as GLib's own launcher reads it: the program gets the
// arguments meant for it, however odd its path
TEST_F(FileTest, RunAtLogin) {
    setenv("XDG_CONFIG_HOME", p("config").c_str(), 1);
    const std::string entry = p("config/autostart/Zarvek.desktop"), out = p("argv.txt");
    struct Case {
        std::string program, args, argv;
    } cases[] = {
        {"zarvek.sh", "", ""},
        {"my apps/zarvek.sh", "-silent app_silent=1:b=50%", "[-silent][app_silent=1:b=50%]"},
        {"a\"b$c\\d`e.sh", "\"two words\"", "[two words]"},
    };
    ASSERT_EQ(mkdir(p("my apps").c_str(), 0755), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.program);
        std::string program = p(c.program);
        write_file(program, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > " + out +
                                ".part\nmv " + out + ".part " + out + "\n");
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);
        unlink(out.c_str());
        ASSERT_TRUE(
            VKO_SetRunOnStartup("Zarvek", program.c_str(), c.args.empty() ? nullptr : c.args.c_str()));
        EXPECT_TRUE(VKO_GetRunOnStartup("Zarvek"));
        ASSERT_EQ(system(("gio launch '" + entry + "'").c_str()), 0) << read_file(entry);
        for (int i = 0; i < 500 && access(out.c_str(), F_OK) != 0; i++) usleep(10000);
        EXPECT_EQ(read_file(out), c.argv) << read_file(entry);
    }

    ASSERT_TRUE(VKO_SetRunOnStartup("Zarvek", nullptr, nullptr));
    EXPECT_FALSE(VKO_GetRunOnStartup("Zarvek"));
    EXPECT_TRUE(VKO_SetRunOnStartup("Zarvek", nullptr, nullptr));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(VKO_SetRunOnStartup("../Zarvek", "/bin/true", nullptr));
    EXPECT_FALSE(VKO_SetRunOnStartup("Zarvek", "/bin/true", "a\nb"));
    EXPECT_EQ(access(entry.c_str(), F_OK), -1);
    unsetenv("XDG_CONFIG_HOME");
}

TEST_F(FileTest, HandleProtocolSpawnsTheOpener) {
    std::string opener = p("opener.sh"), out = p("argv.txt");
    write_file(opener, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + out +
                           ".tmp'\nmv '" + out + ".tmp' '" + out + "'\n");
    chmod(opener.c_str(), 0755);

    // Shell syntax in the URI stays one literal argument.
    setenv(VKO_ENV_URL_OPENER, opener.c_str(), 1);
    EXPECT_TRUE(VKO_HandleProtocol("https://example.test/a b;$(touch pwned)", nullptr));
    for (int i = 0; i < 3000 && access(out.c_str(), F_OK) != 0; i++) usleep(10000);
    EXPECT_EQ(read_file(out), "https://example.test/a b;$(touch pwned)\n");
    EXPECT_FALSE(VKO_FileExists("pwned"));

    setenv(VKO_ENV_URL_OPENER, p("no-such-opener").c_str(), 1);
    EXPECT_FALSE(VKO_HandleProtocol("x:y", nullptr));
    unsetenv(VKO_ENV_URL_OPENER);
    EXPECT_EQ(last(), "VKO_HandleProtocol: 'CreateProcess' failed with error 0x2");
}

namespace {

void flag_callback(bool terminate, void *opaque) {
    char c = (char)((terminate ? 'T' : 'F') + (intptr_t)opaque);
    ssize_t r = write(STDERR_FILENO, &c, 1);
    (void)r;
}

}  // namespace

TEST_F(FileTest, CrashCallbackThenTheSameSignal) {
    // 'F' + 1 for a crash, 'T' + 1 for a termination request.
    struct {
        void (*body)();
        int sig;
        const char *flags;
    } cases[] = {
        {[]() { raise(SIGSEGV); }, SIGSEGV, "G"},
        {[]() {
             kill(getpid(), SIGTERM);
             pause();
         },
         SIGTERM, "U"},
        {[]() { abort(); }, SIGABRT, "G"},
    };
    for (auto &c : cases) {
        int status = 0;
        std::string flags = run_child(
            [&] {
                VKO_SetCrashFunc(flag_callback, (void *)(intptr_t)1);
                c.body();
            },
            &status);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << status;
        EXPECT_EQ(flags, c.flags) << c.sig;
    }
}
