// Machine-scope data protection on a real machine key under a temporary
// machine root: round trips, tampering, other machines, the key file itself.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "compat/dataprotect/dataprotect.h"
#include "platform/file.h"
#include "support/flush_watch.h"
#include "support/temp_dir.h"

namespace {

class DataProtect : public ::testing::Test {
   protected:
    void SetUp() override { use(root); }
    void TearDown() override { unsetenv(VKO_ENV_SYSROOT); }
    static void use(const TempDir &r) { setenv(VKO_ENV_SYSROOT, r.path.c_str(), 1); }
    std::string key_path(const TempDir &r) const { return r.path + "/" + DP_KEY_FILE; }

    static std::vector<uint8_t> protect(const std::string &text) {
        DpBlob b;
        EXPECT_TRUE(dp_protect(text.data(), text.size(), &b));
        std::vector<uint8_t> v(b.data, b.data + b.size);
        dp_blob_free(&b);
        return v;
    }
    static bool unprotect(const std::vector<uint8_t> &blob, std::string *out) {
        DpBlob b;
        if (!dp_unprotect(blob.data(), blob.size(), &b)) return false;
        out->assign((const char *)b.data, b.size);
        dp_blob_free(&b);
        return true;
    }

    TempDir root;
};

TEST_F(DataProtect, RoundTripAndEveryFlippedBitRefused) {
    std::string text("{\"device_id\":\"00112233445566778899aabbccddeeff\"}", 49);
    text.push_back('\0');
    std::vector<uint8_t> blob = protect(text);
    ASSERT_EQ(blob.size(), text.size() + DP_OVERHEAD);
    EXPECT_EQ(memcmp(blob.data(), DP_MAGIC, DP_MAGIC_SIZE), 0);
    std::string back;
    ASSERT_TRUE(unprotect(blob, &back));
    EXPECT_EQ(back, text);

    // The nonce is fresh each time.
    EXPECT_NE(protect(text), blob);

    for (size_t bit = 0; bit < blob.size() * 8; bit++) {
        std::vector<uint8_t> bad = blob;
        bad[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        ASSERT_FALSE(unprotect(bad, &back)) << "bit " << bit;
    }
    for (size_t n = 0; n < blob.size(); n++) {
        std::vector<uint8_t> cut(blob.begin(), blob.begin() + (long)n);
        ASSERT_FALSE(unprotect(cut, &back)) << n << " bytes";
    }

    std::vector<uint8_t> empty = protect("");
    ASSERT_TRUE(unprotect(empty, &back));
    EXPECT_EQ(back, "");
}

TEST_F(DataProtect, KeyFileIsPrivateAndMadeOnce) {
    std::string path = key_path(root);
    std::string dummy;
    // Unprotecting never makes a key.
    EXPECT_FALSE(unprotect(std::vector<uint8_t>(64, 0), &dummy));
    struct stat st;
    EXPECT_NE(lstat(path.c_str(), &st), 0);

    mode_t old = umask(0);
    std::vector<uint8_t> blob = protect("hello");
    umask(old);
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_size, DP_KEY_SIZE);
    std::string key = read_file(path);
    protect("again");
    EXPECT_EQ(read_file(path), key);

    // Processes racing to make the first key all end up with the same one.
    TempDir fresh;
    use(fresh);
    std::vector<pid_t> kids;
    for (int i = 0; i < 6; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            DpBlob b;
            bool ok = dp_protect("race", 4, &b);
            if (ok)
                write_file(fresh.file(("blob" + std::to_string(i)).c_str()),
                           std::string((char *)b.data, b.size));
            _exit(ok ? 0 : 1);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int i = 0; i < 6; i++) {
        std::string b = read_file(fresh.file(("blob" + std::to_string(i)).c_str()));
        EXPECT_TRUE(unprotect(std::vector<uint8_t>(b.begin(), b.end()), &dummy)) << i;
        EXPECT_EQ(dummy, "race");
    }
}

TEST_F(DataProtect, OtherMachinesAndBrokenKeysRefuse) {
    std::vector<uint8_t> blob = protect("secret");
    std::string out;

    TempDir other;
    use(other);
    protect("that machine's own");
    EXPECT_FALSE(unprotect(blob, &out));

    // A key of the wrong size is neither used nor replaced.
    TempDir broken;
    use(broken);
    std::string path = key_path(broken);
    ASSERT_EQ(system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "'").c_str()), 0);
    write_file(path, "short");
    chmod(path.c_str(), 0600);
    DpBlob b;
    EXPECT_FALSE(dp_protect("x", 1, &b));
    EXPECT_EQ(read_file(path), "short");

    // A key others could have written, or a link in its place, is refused.
    use(root);
    std::string good = key_path(root);
    chmod(good.c_str(), 0666);
    EXPECT_FALSE(unprotect(blob, &out));
    chmod(good.c_str(), 0600);
    ASSERT_TRUE(unprotect(blob, &out));
    std::string moved = root.file("moved.key");
    ASSERT_EQ(rename(good.c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(moved.c_str(), good.c_str()), 0);
    EXPECT_FALSE(unprotect(blob, &out));
    EXPECT_FALSE(dp_protect("x", 1, &b));
    struct stat st;
    ASSERT_EQ(lstat(good.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    EXPECT_FALSE(dp_unprotect(nullptr, 40, &b));
    EXPECT_FALSE(dp_protect(nullptr, 3, &b));
}

}  // namespace

// After a power cut the key is still there for what was sealed with it: its
// folder is flushed once it is linked in, and every folder made for it is
// flushed into its parent.
TEST_F(DataProtect, KeyAndTheFoldersMadeForItAreFlushed) {
    FlushWatch flushes;
    protect("sealed");
    flushes.stop();

    std::string key = key_path(root);
    std::string folder = key.substr(0, key.rfind('/'));
    EXPECT_TRUE(flushes.holding(folder, key.substr(key.rfind('/') + 1)));
    EXPECT_TRUE(flushes.holding(root.path, "var"));
    EXPECT_TRUE(flushes.holding(root.path + "/var", "lib"));
    EXPECT_TRUE(flushes.holding(root.path + "/var/lib", "zarvek"));
    // No temporary file was in the folder when it was flushed last.
    ASSERT_FALSE(flushes.flushed().empty());
    EXPECT_EQ(flushes.flushed().back().second.size(), 3u);  // ".", ".." and the key
    EXPECT_TRUE(dp_sync_folder(folder.c_str()));
    EXPECT_FALSE(dp_sync_folder((folder + "/missing").c_str()));
}
