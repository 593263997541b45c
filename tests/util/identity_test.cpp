// Data folders and identity files on the real file system under a temporary
// machine root: links and canonical paths, manifests against sha256sum, the
// device id across calls and processes, migration, fallbacks, tampered files
// and links planted where identity files go.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "compat/dataprotect/dataprotect.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/memory.h"
#include "support/child.h"
#include "support/flush_watch.h"
#include "support/temp_dir.h"
#include "util/identity.h"

namespace {

std::string take(char *p) {
    std::string s = p ? p : "<null>";
    VKO_Free(p);
    return s;
}

std::string canonical(const std::string &p) {
    return take(appdata_canonical_path(p.c_str()));
}

void mkdirs(const std::string &p) {
    ASSERT_EQ(system(("mkdir -p '" + p + "'").c_str()), 0);
}

struct stat stat_of(const std::string &p) {
    struct stat st = {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st;
}

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

class Identity : public ::testing::Test {
   protected:
    void SetUp() override {
        setenv(VKO_ENV_SYSROOT, root.path.c_str(), 1);
        data = root.path + "/data";
        mkdirs(data);
        persistent = root.path + "/var/lib/" APPDATA_PERSISTENT;
    }
    void TearDown() override { unsetenv(VKO_ENV_SYSROOT); }

    static void write_session(const std::string &dir, const char *session) {
        VKO_JSON *j = VKO_JSONObjCreate();
        VKO_JSONObjSetItem(j, "session_id", VKO_JSONStringCreate(session));
        EXPECT_TRUE(identity_write_protected(dir.c_str(), IDENTITY_USER_FILE, j, false));
        VKO_JSONDestroy(&j);
    }
    static int32_t read_session(const std::string &dir, std::string *out) {
        char buf[IDENTITY_SESSION_SIZE];
        int32_t r = identity_read_session(dir.c_str(), buf);
        *out = buf;
        return r;
    }

    TempDir root;
    std::string data, persistent;
};

TEST_F(Identity, CanonicalPathsFollowLinks) {
    std::string r = root.path;
    mkdirs(r + "/real/sub");
    mkdirs(r + "/a/b");
    ASSERT_EQ(symlink((r + "/real").c_str(), (r + "/abs").c_str()), 0);
    ASSERT_EQ(symlink("../../real", (r + "/a/b/rel").c_str()), 0);  // relative to its own folder
    ASSERT_EQ(symlink("sub", (r + "/real/to_sub").c_str()), 0);
    ASSERT_EQ(symlink((r + "/abs/to_sub").c_str(), (r + "/chain").c_str()), 0);

    EXPECT_EQ(canonical(r + "/abs/sub"), r + "/real/sub");
    EXPECT_EQ(canonical(r + "/a/b/rel/sub//"), r + "/real/sub");
    EXPECT_EQ(canonical(r + "/chain"), r + "/real/sub");
    EXPECT_EQ(canonical(r + "/a/./b/../../real/"), r + "/real");
    EXPECT_EQ(take(appdata_read_link((r + "/a/b/rel/").c_str())), r + "/real");
    EXPECT_EQ(take(appdata_read_link((r + "/real").c_str())), "<null>");
    EXPECT_EQ(canonical("//server/share/x"), "//server/share/x");
    EXPECT_EQ(take(appdata_read_link("//server/share")), "<null>");
    EXPECT_EQ(canonical("/"), "/");

    // Cycles, direct and through a prefix, end with no result.
    ASSERT_EQ(symlink((r + "/loop2").c_str(), (r + "/loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (r + "/loop2").c_str()), 0);
    EXPECT_EQ(canonical(r + "/loop1"), "<null>");
    EXPECT_EQ(canonical(r + "/loop2/deeper/still"), "<null>");
    EXPECT_EQ(canonical(""), "<null>");
    EXPECT_EQ(canonical("/" + std::string(APPDATA_PATH_MAX, 'x')), "<null>");
}

TEST_F(Identity, ManifestMatchesTheLibraryDigest) {
    write_file(data + "/libzarvek.so", std::string(100000, 'z') + "end");
    ASSERT_TRUE(appdata_write_manifest(data.c_str(), "libzarvek.so"));
    EXPECT_TRUE(appdata_check_manifest(data.c_str()));

    // The digest is the one sha256sum computes.
    FILE *f = popen(("sha256sum '" + data + "/libzarvek.so'").c_str(), "r");
    char want[65] = {};
    ASSERT_EQ(fread(want, 1, 64, f), 64u);
    pclose(f);
    std::string manifest = read_file(data + "/" APPDATA_MANIFEST);
    EXPECT_EQ(manifest, std::string("{\"so_name\":\"libzarvek.so\",\"hash\":\"") + want + "\"}");
    EXPECT_EQ(stat_of(data + "/" APPDATA_MANIFEST).st_mode & 07777, 0644u);

    std::string upper = want;
    for (char &c : upper) c = (char)toupper(c);
    auto check = [&](const std::string &text) {
        write_file(data + "/" APPDATA_MANIFEST, text);
        return appdata_check_manifest(data.c_str());
    };
    EXPECT_FALSE(check("{\"so_name\":\"libzarvek.so\",\"hash\":\"" + upper + "\"}"));
    EXPECT_FALSE(check("{\"so_name\":\"libzarvek.so\"}"));
    EXPECT_FALSE(check("{\"so_name\":\"../data/libzarvek.so\",\"hash\":\"" + std::string(want) + "\"}"));
    EXPECT_FALSE(check("{\"so_name\":\"" + std::string(256, 'l') + "\",\"hash\":\"" + want + "\"}"));
    EXPECT_FALSE(check("{\"so_name\":\"libzarvek.so\",\"hash\":\"" + std::string(want) + "0\"}"));
    EXPECT_FALSE(check("{\"so_name\":\"libzarvek.so\",\"hash\":\"" + std::string(want, 20)));
    EXPECT_FALSE(check("[1,2]"));
    EXPECT_TRUE(check(manifest));
    write_file(data + "/libzarvek.so", "changed");
    EXPECT_FALSE(appdata_check_manifest(data.c_str()));
    EXPECT_FALSE(appdata_check_manifest((root.path + "/nowhere").c_str()));
    EXPECT_FALSE(appdata_write_manifest(data.c_str(), "missing.so"));

    // A link planted at the manifest's name is not written through.
    ASSERT_EQ(unlink((data + "/" APPDATA_MANIFEST).c_str()), 0);
    write_file(root.file("victim"), "keep");
    ASSERT_EQ(symlink(root.file("victim").c_str(), (data + "/" APPDATA_MANIFEST).c_str()), 0);
    EXPECT_FALSE(appdata_write_manifest(data.c_str(), "libzarvek.so"));
    EXPECT_EQ(read_file(root.file("victim")), "keep");
}

TEST_F(Identity, FolderChoiceInputs) {
    setenv("APPDATA", "/home/u/.config", 1);
    EXPECT_STREQ(appdata_env_path(), "/home/u/.config");
    unsetenv("APPDATA");
    EXPECT_STREQ(appdata_env_path(), "");

    std::string setup = root.path + "/opt/" APPDATA_FOLDER;
    EXPECT_FALSE(appdata_use_program_data());
    mkdirs(setup);
    write_file(setup + "/" APPDATA_SETUP, "{\"useProgramData\":true}");
    EXPECT_TRUE(appdata_use_program_data());
    write_file(setup + "/" APPDATA_SETUP, "{\"useProgramData\":1}");
    EXPECT_FALSE(appdata_use_program_data());
    write_file(setup + "/" APPDATA_SETUP, "{\"useProgramData\":tru");
    EXPECT_FALSE(appdata_use_program_data());

    AppdataSecurity sa;
    ASSERT_TRUE(appdata_shared_access(&sa));
    ASSERT_EQ(sa.acl.count, 1u);
    EXPECT_STREQ(sa.acl.aces[0].sid, SEC_SID_EVERYONE);
    EXPECT_EQ(sa.acl.aces[0].mask, SEC_ALL_ACCESS);
    EXPECT_FALSE(sa.inherit_handle);

    // Made once, with its mode whatever the umask, and nobody else may write in it.
    mode_t old = umask(077);
    EXPECT_TRUE(appdata_create_persistent_dir());
    umask(old);
    EXPECT_FALSE(appdata_create_persistent_dir());
    EXPECT_EQ(stat_of(persistent).st_mode & 07777, 0755u);
    EXPECT_TRUE(appdata_create_persistent_file("f.bin"));
    EXPECT_EQ(stat_of(persistent + "/f.bin").st_mode & 07777, (mode_t)IDENTITY_FILE_MODE);
    EXPECT_FALSE(appdata_create_persistent_file("../escape"));
}

TEST_F(Identity, DeviceIdStaysAcrossCallsAndProcessesUntilDeleted) {
    mode_t old = umask(077);
    std::string id = identity_get_device_id(data.c_str());
    umask(old);
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(identity_get_device_id(data.c_str()), id);

    std::string file = persistent + "/" IDENTITY_DEVICE_FILE;
    EXPECT_EQ(stat_of(persistent).st_mode & 07777, 0755u);
    struct stat st = stat_of(file);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, (mode_t)IDENTITY_FILE_MODE);
    EXPECT_FALSE(exists(data + "/" IDENTITY_DEVICE_FILE));
    // No temporary file is left behind.
    EXPECT_EQ(system(("test $(ls -A '" + persistent + "' | wc -l) -eq 1").c_str()), 0);

    int status = 0;
    std::string other =
        run_child([&] { fprintf(stderr, "%s", identity_get_device_id(data.c_str())); }, &status);
    EXPECT_EQ(other, id);

    ASSERT_EQ(unlink(file.c_str()), 0);
    std::string fresh = identity_get_device_id(data.c_str());
    EXPECT_EQ(fresh.size(), 32u);
    EXPECT_NE(fresh, id);
    EXPECT_EQ(identity_get_device_id(nullptr), fresh);
}

TEST_F(Identity, OldDeviceIdMovesIntoThePersistentFolderOnce) {
    const char *old_id = "00112233445566778899aabbccddeeff";
    VKO_JSON *j = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(j, "device_id", VKO_JSONStringCreate(old_id));
    ASSERT_TRUE(identity_write_protected(data.c_str(), IDENTITY_DEVICE_FILE, j, false));
    std::string old_bytes = read_file(data + "/" IDENTITY_DEVICE_FILE);

    EXPECT_STREQ(identity_get_device_id(data.c_str()), old_id);
    EXPECT_FALSE(exists(data + "/" IDENTITY_DEVICE_FILE));
    EXPECT_EQ(read_file(persistent + "/" IDENTITY_DEVICE_FILE), old_bytes);

    // When the copy cannot be made the old id stays where it was.
    TempDir other;
    setenv(VKO_ENV_SYSROOT, other.path.c_str(), 1);
    std::string other_data = other.path + "/data";
    mkdirs(other_data);
    mkdirs(other.path + "/var/lib/" APPDATA_PERSISTENT "/" IDENTITY_DEVICE_FILE);  // a folder in the way
    write_file(other_data + "/" IDENTITY_DEVICE_FILE, old_bytes);
    std::string id = identity_get_device_id(other_data.c_str());
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(read_file(other_data + "/" IDENTITY_DEVICE_FILE), old_bytes);
    VKO_JSONDestroy(&j);
}

TEST_F(Identity, WithoutThePersistentFolderTheDataFolderKeepsTheId) {
    // A file where the persistent folder would be.
    mkdirs(root.path + "/var/lib");
    write_file(persistent, "not a folder");
    EXPECT_FALSE(appdata_create_persistent_dir());
    EXPECT_FALSE(appdata_create_persistent_file(IDENTITY_DEVICE_FILE));

    std::string id = identity_get_device_id(data.c_str());
    EXPECT_EQ(id.size(), 32u);
    EXPECT_TRUE(exists(data + "/" IDENTITY_DEVICE_FILE));
    EXPECT_EQ(identity_get_device_id(data.c_str()), id);

    // A failed preparation writes nothing and says so.
    EXPECT_FALSE(identity_write_file("{}", data.c_str(), "prepared.bin", true));
    EXPECT_FALSE(exists(data + "/prepared.bin"));
    EXPECT_TRUE(identity_write_file("{}", data.c_str(), "plain.bin", false));

    // Nowhere to keep it: a fresh id each time, nothing written.
    std::string a = identity_get_device_id(nullptr), b = identity_get_device_id(nullptr);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
}

TEST_F(Identity, SessionFileRefusesEveryDamagedOrForeignForm) {
    std::string s;
    EXPECT_EQ(read_session(data, &s), IDENTITY_NO_SESSION);
    write_session(data, "sess-42");
    ASSERT_EQ(read_session(data, &s), 0);
    EXPECT_EQ(s, "sess-42");
    std::string file = data + "/" IDENTITY_USER_FILE;
    std::string good = read_file(file);

    // Each damaged form gives -1100 and leaves the file as it was.
    auto refused = [&](const std::string &bytes) {
        write_file(file, bytes);
        bool r = read_session(data, &s) == IDENTITY_NO_SESSION && s.empty();
        return r && read_file(file) == bytes;
    };
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x10;
    EXPECT_TRUE(refused(flipped));
    EXPECT_TRUE(refused(good.substr(0, good.size() - 1)));
    EXPECT_TRUE(refused(""));
    EXPECT_TRUE(refused("{\"session_id\":\"hand-made\"}"));
    EXPECT_TRUE(refused(std::string(APPDATA_FILE_MAX + 1, 'x')));

    // From another machine (another key).
    TempDir other;
    setenv(VKO_ENV_SYSROOT, other.path.c_str(), 1);
    mkdirs(other.path + "/data");
    write_session(other.path + "/data", "theirs");
    std::string foreign = read_file(other.path + "/data/" IDENTITY_USER_FILE);
    setenv(VKO_ENV_SYSROOT, root.path.c_str(), 1);
    EXPECT_TRUE(refused(foreign));

    // Sealed by us but not fitting: too long, not text, no zero at the end.
    write_file(file, good);
    write_session(data, std::string(64, 's').c_str());
    EXPECT_EQ(read_session(data, &s), 0);
    EXPECT_EQ(s, std::string(64, 's'));
    write_session(data, std::string(65, 's').c_str());
    EXPECT_EQ(read_session(data, &s), IDENTITY_NO_SESSION);
    EXPECT_TRUE(identity_write_file("{\"session_id\":7}", data.c_str(), IDENTITY_USER_FILE, false));
    EXPECT_EQ(read_session(data, &s), IDENTITY_NO_SESSION);
    EXPECT_TRUE(identity_write_file("not json", data.c_str(), IDENTITY_USER_FILE, false));
    EXPECT_EQ(identity_read_protected(data.c_str(), IDENTITY_USER_FILE, false), nullptr);
}

TEST_F(Identity, PlantedLinksAreNeverFollowed) {
    ASSERT_TRUE(appdata_create_persistent_dir());
    std::string victim = root.file("victim");
    write_file(victim, "root's file");
    chmod(victim.c_str(), 0600);
    std::string planted = persistent + "/" IDENTITY_DEVICE_FILE;
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);

    EXPECT_FALSE(appdata_create_persistent_file(IDENTITY_DEVICE_FILE));
    EXPECT_FALSE(identity_write_file("{}", persistent.c_str(), IDENTITY_DEVICE_FILE, true));
    std::string id = identity_get_device_id(data.c_str());
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(read_file(victim), "root's file");
    EXPECT_EQ(stat_of(victim).st_mode & 07777, 0600u);
    EXPECT_TRUE(S_ISLNK(stat_of(planted).st_mode));

    // Nor when the link points at nothing yet.
    std::string target = root.file("would_be_made");
    ASSERT_EQ(symlink(target.c_str(), (data + "/" IDENTITY_USER_FILE).c_str()), 0);
    EXPECT_FALSE(identity_write_file("{}", data.c_str(), IDENTITY_USER_FILE, false));
    EXPECT_FALSE(exists(target));
}

// Links inside linked folders: a relative target and ".." are worked out
// from the folder that really holds the link, as the kernel opens the path.
TEST_F(Identity, CanonicalPathsResolveAsTheKernelDoes) {
    std::string r = root.path;
    mkdirs(r + "/deep/x/real");
    mkdirs(r + "/deep/x/other/in");
    ASSERT_EQ(symlink((r + "/deep/x/real").c_str(), (r + "/abs").c_str()), 0);
    ASSERT_EQ(symlink("deep/x/real", (r + "/rel").c_str()), 0);
    ASSERT_EQ(symlink("../other", (r + "/deep/x/real/up").c_str()), 0);

    auto kernel = [](const std::string &p) {
        char *k = realpath(p.c_str(), nullptr);
        std::string s = k ? k : "<none>";
        free(k);
        return s;
    };
    for (const char *p : {"/abs/up", "/rel/up/in", "/abs/../other", "/rel/up/../real", "/abs/up/in/.."}) {
        SCOPED_TRACE(p);
        EXPECT_NE(kernel(r + p), "<none>");
        EXPECT_EQ(canonical(r + p), kernel(r + p));
    }
    EXPECT_EQ(canonical(r + "/abs/up"), r + "/deep/x/other");
    EXPECT_EQ(take(appdata_read_link((r + "/abs/up").c_str())), r + "/deep/x/other");
    EXPECT_EQ(take(appdata_read_link((r + "/rel/up/").c_str())), r + "/deep/x/other");
    // A name that does not exist yet stays as written below the real folder.
    EXPECT_EQ(canonical(r + "/abs/up/not/yet"), r + "/deep/x/other/not/yet");

    // A link's own target with ".." after a linked folder: the folder it
    // names, as the kernel opens it; a last name that is a link is the answer.
    mkdirs(r + "/a/b");
    mkdirs(r + "/a/c");
    ASSERT_EQ(symlink("a/b", (r + "/lnk").c_str()), 0);
    ASSERT_EQ(symlink("b", (r + "/a/to_b").c_str()), 0);
    ASSERT_EQ(symlink("lnk/../c", (r + "/via").c_str()), 0);
    ASSERT_EQ(symlink("lnk/..", (r + "/via_up").c_str()), 0);
    ASSERT_EQ(symlink((r + "/lnk/../to_b").c_str(), (r + "/via_abs").c_str()), 0);
    for (const char *p : {"/via", "/via_up"}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(take(appdata_read_link((r + p).c_str())), kernel(r + p));
    }
    EXPECT_EQ(kernel(r + "/via"), r + "/a/c");
    EXPECT_EQ(take(appdata_read_link((r + "/via_abs").c_str())), r + "/a/to_b");
}

// Processes that start together at first run all end with one device id:
// the first id written wins and the others read it.
TEST_F(Identity, ProcessesStartingTogetherShareOneDeviceId) {
    const int n = 8;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> pids;
    std::vector<int> outs;
    for (int i = 0; i < n; i++) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(out[0]);
            char c;
            // Released all at once when the test closes its end (or ends).
            while (read(go[0], &c, 1) < 0 && errno == EINTR) {
            }
            const char *id = identity_get_device_id(data.c_str());
            ssize_t w = write(out[1], id, strlen(id));
            _exit(w == (ssize_t)strlen(id) ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        close(out[1]);
        pids.push_back(pid);
        outs.push_back(out[0]);
    }
    close(go[0]);
    close(go[1]);

    std::set<std::string> ids;
    for (int i = 0; i < n; i++) {
        std::string id;
        char buf[64];
        for (ssize_t k; (k = read(outs[i], buf, sizeof buf)) > 0;) id.append(buf, (size_t)k);
        close(outs[i]);
        int status = 0;
        waitpid(pids[i], &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(id.size(), 32u);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids.count(identity_get_device_id(data.c_str())), 1u);
}

// A power cut after the first run keeps the device id: the new persistent
// folder is flushed into its parent, the id's file into the folder.
TEST_F(Identity, NewFoldersAndReplacedFilesAreFlushed) {
    FlushWatch flushes;
    std::string id = identity_get_device_id(data.c_str());
    write_session(data, "abc");
    flushes.stop();
    ASSERT_EQ(id.size(), 32u);

    EXPECT_TRUE(flushes.holding(root.path, "var"));
    EXPECT_TRUE(flushes.holding(root.path + "/var", "lib"));
    EXPECT_TRUE(flushes.holding(root.path + "/var/lib", APPDATA_PERSISTENT));
    EXPECT_TRUE(flushes.holding(persistent, IDENTITY_DEVICE_FILE));
    EXPECT_TRUE(flushes.holding(data, IDENTITY_USER_FILE));
}

}  // namespace
