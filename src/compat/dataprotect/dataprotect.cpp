// Shared state: only the folder-flush observer (an atomic pointer, set by
// tests, read by every flush). The machine key itself is shared between
// processes through its file: made once by whoever links it first.
#include "compat/dataprotect/dataprotect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"

static std::atomic<void (*)(const char *)> g_sync_observer{nullptr};

void dp_set_sync_observer(void (*observer)(const char *folder)) {
    g_sync_observer.store(observer);
}

bool dp_sync_folder(const char *folder) {
    if (!folder || !folder[0]) return false;
    if (auto observe = g_sync_observer.load()) observe(folder);
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

namespace {

std::string parent_folder(const std::string &path) {
    size_t k = path.rfind('/');
    return k == 0 || k == std::string::npos ? "/" : path.substr(0, k);
}

// Creates the missing folders of path with mode 0755 (whatever the umask).
// Each new folder's entry is flushed in its parent, so it outlives a power
// loss together with what is later written into it.
bool make_folders(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) == 0) {
            int fd = open(part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                fchmod(fd, 0755);
                close(fd);
            }
            dp_sync_folder(parent_folder(part).c_str());
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool read_exact(int fd, void *buf, size_t size) {
    uint8_t *p = (uint8_t *)buf;
    while (size) {
        ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= (size_t)n;
    }
    return true;
}

bool write_exact(int fd, const void *buf, size_t size) {
    const uint8_t *p = (const uint8_t *)buf;
    while (size) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= (size_t)n;
    }
    return true;
}

// 1 read, 0 missing, -1 unusable. A key that is not a 32-byte regular file,
// or that someone other than its owner could have written, is never used.
int read_key(const std::string &path, uint8_t key[DP_KEY_SIZE]) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? 0 : -1;

    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == DP_KEY_SIZE &&
              (st.st_uid == 0 || st.st_uid == geteuid()) && !(st.st_mode & 022) &&
              read_exact(fd, key, DP_KEY_SIZE);
    close(fd);
    return ok ? 1 : -1;
}

// Makes the key once: written whole to a private temporary file, then linked
// into place, so two processes racing end up with the same key. The folder is
// flushed after the link: a key lost to a power cut would leave every file
// sealed with it unreadable.
bool make_key(const std::string &path) {
    const char *tag = "dp_machine_key";
    std::string folder = path.substr(0, path.rfind('/'));
    if (!make_folders(folder)) {
        VKO_Log(tag, "'CreateDirectory' failed with error 0x%X", errno);
        return false;
    }

    std::string tmp = path + ".XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) {
        VKO_Log(tag, "'CreateFile' failed with error 0x%X", errno);
        return false;
    }

    uint8_t key[DP_KEY_SIZE];
    VKO_GetRandomBytes(key, sizeof(key));
    bool ok = fchmod(fd, 0600) == 0 && write_exact(fd, key, sizeof(key)) && fsync(fd) == 0;
    VKO_SecureZero(key, sizeof(key));
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }

    if (ok && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        ok = false;
        err = errno;
    }
    unlink(tmp.c_str());
    // A file system that cannot flush folders still keeps the key in use.
    if (ok) dp_sync_folder(folder.c_str());

    if (!ok) VKO_Log(tag, "'WriteFile' failed with error 0x%X", err);
    return ok;
}

bool machine_key(uint8_t key[DP_KEY_SIZE], bool create) {
    std::string path = vko_machine_path(DP_KEY_FILE);
    int r = read_key(path, key);
    if (r == 0 && create && make_key(path)) r = read_key(path, key);
    return r == 1;
}

}  // namespace

bool dp_protect(const void *data, size_t size, DpBlob *out) {
    if (!out) return false;
    *out = DpBlob{};
    if ((size && !data) || size > DP_MAX_SIZE) return false;

    uint8_t key[DP_KEY_SIZE];
    if (!machine_key(key, true)) return false;
    VKO_AESGCM *gcm = VKO_AESGCMCreate(key, sizeof(key));
    VKO_SecureZero(key, sizeof(key));
    if (!gcm) return false;

    size_t total = size + DP_OVERHEAD;
    uint8_t *blob = (uint8_t *)VKO_Alloc(total, 1);
    uint8_t *nonce = blob + DP_MAGIC_SIZE;
    memcpy(blob, DP_MAGIC, DP_MAGIC_SIZE);
    VKO_GetRandomBytes(nonce, VKO_AESGCM_NONCE_SIZE);

    uint8_t *cipher = nonce + VKO_AESGCM_NONCE_SIZE;
    bool ok = VKO_AESGCMEncrypt(gcm, nonce, data, size, cipher + size, cipher);
    VKO_AESGCMDestroy(&gcm);

    if (!ok) {
        VKO_Free(blob);
        return false;
    }
    *out = DpBlob{blob, total};
    return true;
}

bool dp_unprotect(const void *blob, size_t size, DpBlob *out) {
    if (!out) return false;
    *out = DpBlob{};
    if (!blob || size < DP_OVERHEAD || size - DP_OVERHEAD > DP_MAX_SIZE) return false;

    const uint8_t *b = (const uint8_t *)blob;
    if (memcmp(b, DP_MAGIC, DP_MAGIC_SIZE) != 0) return false;

    uint8_t key[DP_KEY_SIZE];
    if (!machine_key(key, false)) return false;
    VKO_AESGCM *gcm = VKO_AESGCMCreate(key, sizeof(key));
    VKO_SecureZero(key, sizeof(key));
    if (!gcm) return false;

    size_t plain_size = size - DP_OVERHEAD;
    const uint8_t *nonce = b + DP_MAGIC_SIZE;
    const uint8_t *cipher = nonce + VKO_AESGCM_NONCE_SIZE;
    uint8_t *plain = (uint8_t *)VKO_Alloc(plain_size ? plain_size : 1, 1);
    bool ok = VKO_AESGCMDecrypt(gcm, nonce, cipher, plain_size, cipher + plain_size, plain);
    VKO_AESGCMDestroy(&gcm);

    if (!ok) {
        VKO_Free(plain);
        return false;
    }
    *out = DpBlob{plain, plain_size};
    return true;
}

void dp_blob_free(DpBlob *blob) {
    if (!blob || !blob->data) return;
    VKO_SecureFree(blob->data, blob->size);
    *blob = DpBlob{};
}
