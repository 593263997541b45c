// Shared state and its model.
// - g_write_mutex: one identity or manifest write of this process at a time.
// - g_device_mutex: one device-id walk of this process at a time.
// - Across processes, the device-id walk (migrate, read, make, write) holds an
//   exclusive flock on the folder that keeps the id, so processes starting
//   together all end with the id the first one wrote. A holder that never lets
//   go is waited for a bounded time, then the walk goes on unlocked.
// - Every file is replaced whole (temporary file, flush, rename) and the
//   folder flushed after the rename; every folder made is flushed in its
//   parent. Flushes go through dp_sync_folder.
#include "util/identity.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "compat/dataprotect/dataprotect.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/memory.h"
#include "util/winutil.h"

namespace {

// Identity and manifest writes of this process, one at a time.
std::mutex g_write_mutex;
// One device-id walk at a time, so two threads never make two ids.
std::mutex g_device_mutex;

bool is_network(const std::string &p) {
    return p.size() > 2 && p[0] == '/' && p[1] == '/' && p[2] != '/';
}

// Absolute and without ".", ".." or repeated separators, by text alone (as
// the Windows full-path call does). False for an empty path or a result
// longer than the limit.
bool make_absolute(const std::string &in, std::string *out) {
    if (in.empty()) return false;
    if (is_network(in)) {
        *out = in;
        return in.size() <= APPDATA_PATH_MAX;
    }

    std::string full;
    if (in[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof(cwd))) return false;
        full = std::string(cwd) + "/" + in;
    } else {
        full = in;
    }

    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string c = full.substr(i, j - i);
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        i = j + 1;
    }

    std::string r;
    for (const auto &c : parts) r += "/" + c;
    if (r.empty()) r = "/";
    if (r.size() > APPDATA_PATH_MAX) return false;
    *out = r;
    return true;
}

std::string parent_of(const std::string &abs) {
    size_t k = abs.rfind('/');
    return k == 0 || k == std::string::npos ? "/" : abs.substr(0, k);
}

bool plain_name(const char *name) {
    return name && name[0] && !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// The whole of a small regular file; links are refused when nofollow is set.
bool read_small(const std::string &path, bool nofollow, size_t max, std::string *out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (nofollow ? O_NOFOLLOW : 0));
    if (fd < 0) return false;

    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size <= max;
    out->clear();
    char buf[8192];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out->append(buf, (size_t)n);
        if (out->size() > max) ok = false;
    }
    close(fd);
    return ok;
}

bool write_all(int fd, const void *data, size_t size) {
    const uint8_t *p = (const uint8_t *)data;
    while (size) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= (size_t)n;
    }
    return true;
}

// Replaces directory/name whole: a private temporary file in the same folder,
// written, given the old file's owner and mode (else `mode`), opened up to
// Everyone on its descriptor when asked, flushed and renamed over the name;
// then the folder is flushed. A link or anything but a regular file at the
// name is refused, and rename replaces the name itself, never a link's target.
bool store(const std::string &directory, const char *name, const void *data, size_t size, mode_t mode,
           bool everyone) {
    std::lock_guard<std::mutex> lock(g_write_mutex);
    std::string path = directory + "/" + name;

    struct stat old;
    bool exists = lstat(path.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) return false;
    if (!exists && errno != ENOENT) return false;

    std::string tmp = directory + "/." + name + ".XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) return false;

    bool ok = write_all(fd, data, size);
    // Only a privileged writer can give a file away; others keep theirs.
    if (ok && exists && (old.st_uid != geteuid() || old.st_gid != getegid()) &&
        fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
        ok = false;
    if (ok && fchmod(fd, exists ? old.st_mode & 07777 : mode) != 0) ok = false;
    if (ok && everyone && !util_change_permissions_everyone_fd(fd)) {
        util_take_ownership(tmp.c_str());
        ok = util_change_permissions_everyone_fd(fd);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }

    dp_sync_folder(directory.c_str());
    return true;
}

// Creates the missing folders of an absolute path with mode 0755, whatever
// the umask; true when the last one was made here. Each new folder's entry is
// flushed in its parent.
bool make_folders(const std::string &path) {
    bool made = false;
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        made = mkdir(part.c_str(), APPDATA_FOLDER_MODE) == 0;
        if (made) {
            int fd = open(part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                fchmod(fd, APPDATA_FOLDER_MODE);
                close(fd);
            }
            dp_sync_folder(parent_of(part).c_str());
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return made;
}

// An exclusive lock on a folder shared with other processes, released when
// the object ends. A lock not had within the bound is gone without.
class FolderLock {
   public:
    explicit FolderLock(const std::string &folder) {
        if (folder.empty()) return;
        fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return;
        for (int waited = 0; flock(fd_, LOCK_EX | LOCK_NB) != 0; waited += 2) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= IDENTITY_LOCK_WAIT_MS) {
                close(fd_);
                fd_ = -1;
                return;
            }
            timespec ts = {0, 2 * 1000000};
            nanosleep(&ts, nullptr);
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) close(fd_);  // closing lets the lock go
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

   private:
    int fd_ = -1;
};

std::string persistent_path() {
    std::string p = std::string(VKO_GetDir(VKO_DIR_PROGRAM_DATA)) + "/" + APPDATA_PERSISTENT;
    char *c = appdata_canonical_path(p.c_str());
    std::string r = c ? c : "";
    VKO_Free(c);
    return r;
}

bool is_folder(const std::string &p) {
    struct stat st;
    return !p.empty() && stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool hash_file(const std::string &path, char hex[65]) {
    std::string data;
    if (!read_small(path, false, (size_t)1 << 30, &data) || data.empty()) return false;
    VKO_CryptoHash(VKO_HASH_SHA256_HEX, data.data(), data.size(), NULL, 0, hex, 65);
    return true;
}

const char *member_string(const VKO_JSON *obj, const char *key) {
    if (!obj || obj->type != VKO_JSON_TYPE_OBJECT) return nullptr;
    const VKO_JSON *v = VKO_JSONObjGetItem(obj, key);
    return v && v->type == VKO_JSON_TYPE_STRING ? VKO_JSONGetString(v) : nullptr;
}

// Moves an id left in the data folder into the persistent folder. The old
// file goes only once the persistent folder holds an id that reads back.
void migrate_device_id(const std::string &data_dir, const std::string &persistent) {
    std::string from = data_dir + "/" + IDENTITY_DEVICE_FILE;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;

    VKO_JSON *held = identity_read_protected(persistent.c_str(), IDENTITY_DEVICE_FILE, true);
    bool safe = held != nullptr;
    VKO_JSONDestroy(&held);

    std::string bytes;
    if (!safe && read_small(from, true, APPDATA_FILE_MAX, &bytes)) {
        std::string to = persistent + "/" + IDENTITY_DEVICE_FILE;
        bool existed = lstat(to.c_str(), &st) == 0;
        if (appdata_create_persistent_file(IDENTITY_DEVICE_FILE)) {
            safe =
                store(persistent, IDENTITY_DEVICE_FILE, bytes.data(), bytes.size(), IDENTITY_FILE_MODE, true);
            // An empty file made for the copy would later pass for an id.
            if (!safe && !existed && lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
                unlink(to.c_str());
        }
    }
    if (safe) unlink(from.c_str());
}

}  // namespace

namespace {

// The path as the kernel resolves it: component by component from the root,
// a link's target put in front of what is left (an absolute one from the
// root, a relative one from the folder that really holds the link), ".." to
// the parent of the folder reached so far. Names that do not exist are kept
// as they are written. Empty when links go round (more than the limit).
std::string resolve(const std::string &abs) {
    std::vector<std::string> left;  // components still to walk, the next last
    auto push = [&left](const std::string &text) {
        std::vector<std::string> parts;
        for (size_t i = 0; i <= text.size();) {
            size_t j = text.find('/', i);
            if (j == std::string::npos) j = text.size();
            if (j > i) parts.push_back(text.substr(i, j - i));
            i = j + 1;
        }
        left.insert(left.end(), parts.rbegin(), parts.rend());
    };
    push(abs);

    std::string done;  // link-free; "" is the root
    uint32_t links = 0;
    std::vector<char> buf(APPDATA_LINK_BUFFER);
    while (!left.empty()) {
        std::string c = std::move(left.back());
        left.pop_back();
        if (c == ".") continue;
        if (c == "..") {
            size_t k = done.rfind('/');
            done.resize(k == std::string::npos ? 0 : k);
            continue;
        }
        std::string next = done + "/" + c;
        struct stat st;
        if (lstat(next.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            done = std::move(next);
            continue;
        }
        ssize_t n = readlink(next.c_str(), buf.data(), buf.size());
        if (n <= 0 || (size_t)n >= buf.size() || ++links > APPDATA_LINK_LIMIT) return "";
        std::string target(buf.data(), (size_t)n);
        if (target[0] == '/') done.clear();
        push(target);
    }
    return done.empty() ? "/" : done;
}

// An absolute path by text, with nothing removed but repeated separators and
// trailing ones (no "." or ".." worked out: links decide what they mean).
bool absolute_text(const std::string &in, std::string *out) {
    if (in.empty()) return false;
    std::string full = in;
    if (in[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof(cwd))) return false;
        full = std::string(cwd) + "/" + in;
    }
    *out = full;
    return true;
}

}  // namespace

char *appdata_read_link(const char *path) {
    if (!path || !path[0]) return nullptr;
    std::string p = path;
    if (is_network(p)) return nullptr;
    if (p.size() > 1 && p.back() == '/') p.pop_back();

    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return nullptr;

    std::vector<char> buf(APPDATA_LINK_BUFFER);
    ssize_t n = readlink(p.c_str(), buf.data(), buf.size());
    if (n <= 0 || (size_t)n >= buf.size()) return nullptr;
    std::string target(buf.data(), (size_t)n);

    std::string abs;
    if (is_network(target)) {
        if (!make_absolute(target, &abs)) return nullptr;
        return VKO_Strdup(abs.c_str());
    }
    // A relative target is relative to the folder that really holds the
    // link (the kernel's reading), not to the text of the path.
    if (target[0] != '/') {
        std::string link;
        if (!absolute_text(p, &link)) return nullptr;
        std::string folder = resolve(parent_of(link));
        if (folder.empty()) return nullptr;
        target = folder + "/" + target;
    }
    // The folders on the way, and a ".." after a linked one, are worked out
    // as the kernel opens them; a last name that is a link is the answer
    // itself (one step of links is read).
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    std::string last = target.substr(target.rfind('/') + 1);
    if (last == "." || last == "..")
        abs = resolve(target);
    else if (!(abs = resolve(parent_of(target))).empty())
        abs = abs == "/" ? "/" + last : abs + "/" + last;
    if (abs.empty() || abs.size() > APPDATA_PATH_MAX) return nullptr;
    return VKO_Strdup(abs.c_str());
}

char *appdata_canonical_path(const char *path) {
    std::string p;
    if (!path || !make_absolute(path, &p)) return nullptr;
    if (is_network(p)) return VKO_Strdup(p.c_str());

    // Links and ".." are worked out as the kernel opens the path; a cycle of
    // links ends the walk with no result.
    std::string text;
    if (!absolute_text(path, &text)) return nullptr;
    std::string r = resolve(text);
    if (r.empty() || r.size() > APPDATA_PATH_MAX) return nullptr;
    return VKO_Strdup(r.c_str());
}

bool appdata_check_manifest(const char *directory) {
    if (!directory || !directory[0]) return false;
    std::string dir = directory, text;
    if (!read_small(dir + "/" + APPDATA_MANIFEST, false, APPDATA_FILE_MAX, &text)) return false;

    VKO_JSON *j = VKO_JSONParse(text.c_str());
    const char *so = member_string(j, "so_name");
    const char *hash = member_string(j, "hash");
    bool ok =
        so && hash && strlen(so) <= APPDATA_SO_NAME_MAX && strlen(hash) <= APPDATA_HASH_MAX && plain_name(so);

    char hex[65] = {};
    ok = ok && hash_file(dir + "/" + so, hex) && strcmp(hex, hash) == 0;
    VKO_JSONDestroy(&j);
    return ok;
}

bool appdata_write_manifest(const char *directory, const char *so_name) {
    if (!directory || !directory[0] || !plain_name(so_name) || strlen(so_name) > APPDATA_SO_NAME_MAX)
        return false;
    char hex[65];
    if (!hash_file(std::string(directory) + "/" + so_name, hex)) return false;

    VKO_JSON *j = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(j, "so_name", VKO_JSONStringCreate(so_name));
    VKO_JSONObjSetItem(j, "hash", VKO_JSONStringCreate(hex));
    char *text = VKO_JSONSerialize(j);
    bool ok = store(directory, APPDATA_MANIFEST, text, strlen(text), 0644, false);
    VKO_Free(text);
    VKO_JSONDestroy(&j);
    return ok;
}

const char *appdata_env_path(void) {
    const char *v = getenv("APPDATA");
    return vko_tlocal_strdup(v ? v : "");
}

bool appdata_use_program_data(void) {
    std::string path = std::string(VKO_GetDir(VKO_DIR_PROGRAMS)) + "/" + APPDATA_FOLDER + "/" + APPDATA_SETUP;
    std::string text;
    if (!read_small(path, false, APPDATA_FILE_MAX, &text)) return false;

    VKO_JSON *j = VKO_JSONParse(text.c_str());
    bool use = false;
    if (j && j->type == VKO_JSON_TYPE_OBJECT) {
        const VKO_JSON *v = VKO_JSONObjGetItem(j, "useProgramData");
        if (v && v->type == VKO_JSON_TYPE_BOOL) use = v->value.b;
    }
    VKO_JSONDestroy(&j);
    return use;
}

bool appdata_shared_access(AppdataSecurity *out) {
    if (!out) return false;
    *out = AppdataSecurity{};
    out->inherit_handle = false;
    return sec_acl_add(&out->acl, true, SEC_SID_EVERYONE, SEC_ALL_ACCESS, false);
}

bool appdata_create_persistent_dir(void) {
    std::string p = persistent_path();
    return !p.empty() && make_folders(p);
}

bool appdata_create_persistent_file(const char *name) {
    if (!plain_name(name)) return false;
    std::string dir = persistent_path();
    if (dir.empty()) return false;
    std::string path = dir + "/" + name;

    // Made here: private until its rights are set on the descriptor. Found:
    // opened as it is, its content left for the atomic write that follows.
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool made = fd >= 0;
    if (!made && errno == EEXIST) fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;

    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && made) {
        AppdataSecurity sa;
        ok = fchmod(fd, IDENTITY_FILE_MODE) == 0 &&
             (!appdata_shared_access(&sa) || util_change_permissions_everyone_fd(fd));
    }
    close(fd);
    return ok;
}

bool identity_write_file(const char *text, const char *directory, const char *name, bool prepare) {
    if (!text || !directory || !directory[0] || !plain_name(name)) return false;

    DpBlob blob;
    if (!dp_protect(text, strlen(text) + 1, &blob)) return false;

    bool ok = (!prepare || appdata_create_persistent_file(name)) &&
              store(directory, name, blob.data, blob.size, IDENTITY_FILE_MODE, true);
    dp_blob_free(&blob);
    return ok;
}

VKO_JSON *identity_read_protected(const char *directory, const char *name, bool prepare) {
    // prepare only mattered for rewriting the older form, which is not read.
    (void)prepare;
    if (!directory || !directory[0] || !plain_name(name)) return nullptr;

    std::string bytes;
    if (!read_small(std::string(directory) + "/" + name, true, APPDATA_FILE_MAX, &bytes)) return nullptr;

    DpBlob plain;
    if (!dp_unprotect(bytes.data(), bytes.size(), &plain)) return nullptr;

    // The sealed text carries its terminating zero and no other.
    VKO_JSON *j = nullptr;
    if (plain.size && plain.data[plain.size - 1] == 0 && strlen((const char *)plain.data) == plain.size - 1)
        j = VKO_JSONParse((const char *)plain.data);
    dp_blob_free(&plain);
    return j;
}

bool identity_write_protected(const char *directory, const char *name, const VKO_JSON *value, bool prepare) {
    if (!value) return false;
    char *text = VKO_JSONSerialize(value);
    bool ok = text && identity_write_file(text, directory, name, prepare);
    VKO_Free(text);
    return ok;
}

int32_t identity_read_session(const char *directory, char out[IDENTITY_SESSION_SIZE]) {
    if (!out) return IDENTITY_NO_SESSION;
    memset(out, 0, IDENTITY_SESSION_SIZE);

    VKO_JSON *j = identity_read_protected(directory, IDENTITY_USER_FILE, false);
    const char *s = member_string(j, "session_id");
    bool ok = s && strlen(s) < IDENTITY_SESSION_SIZE;
    if (ok) memcpy(out, s, strlen(s));
    VKO_JSONDestroy(&j);
    return ok ? 0 : IDENTITY_NO_SESSION;
}

const char *identity_get_device_id(const char *data_directory) {
    static thread_local char id[IDENTITY_DEVICE_ID_SIZE];
    std::lock_guard<std::mutex> lock(g_device_mutex);

    std::string p = persistent_path();
    if (!is_folder(p)) {
        appdata_create_persistent_dir();
        if (!is_folder(p)) p.clear();
    }

    // Without the persistent folder the data folder keeps the id itself
    // (nothing to prepare there).
    std::string folder;
    bool prepare = !p.empty();
    if (prepare) {
        folder = p;
    } else if (data_directory && data_directory[0]) {
        folder = data_directory;
    }
    // Another process starting now makes its id under the same lock, and then
    // reads the one written here (or this one reads its).
    FolderLock lock_folder(folder);
    if (prepare) {
        char *d = data_directory && data_directory[0] ? appdata_canonical_path(data_directory) : nullptr;
        if (d && p != d) migrate_device_id(d, p);
        VKO_Free(d);
    }

    VKO_JSON *v =
        folder.empty() ? nullptr : identity_read_protected(folder.c_str(), IDENTITY_DEVICE_FILE, prepare);
    if (!v || v->type != VKO_JSON_TYPE_OBJECT) {
        VKO_JSONDestroy(&v);
        v = VKO_JSONObjCreate();
    }

    const char *s = member_string(v, "device_id");
    if (!s || !s[0] || strlen(s) >= IDENTITY_DEVICE_ID_SIZE) {
        uint8_t raw[16];
        VKO_GetRandomBytes(raw, sizeof(raw));
        char hex[33];
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 16; i++) {
            hex[2 * i] = digits[raw[i] >> 4];
            hex[2 * i + 1] = digits[raw[i] & 15];
        }
        hex[32] = 0;
        VKO_JSONObjSetItem(v, "device_id", VKO_JSONStringCreate(hex));
        // Unwritten, the id still serves this run; the next run makes another.
        if (!folder.empty()) identity_write_protected(folder.c_str(), IDENTITY_DEVICE_FILE, v, prepare);
        s = member_string(v, "device_id");
    }

    snprintf(id, sizeof(id), "%s", s ? s : "");
    VKO_JSONDestroy(&v);
    return id;
}
