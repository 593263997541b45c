#include "platform/file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <dirent.h>
#include <locale.h>
#include <wctype.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <spawn.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/log.h"
#include "platform/memory.h"

extern char **environ;

#define READ_FILE_MAX (1024ull * 1024ull * 1024ull)

// Path helpers

static const char *file_name_of(const char *path) {
    const char *s = strrchr(path, '/');
    return s ? s + 1 : path;
}

const char *VKO_JoinPath(const char *a, const char *b) {
    return VKO_SprintfTLocal("%s%c%s", a, '/', b);
}

const char *VKO_GetPathPrefix(const char *path) {
    char *copy = vko_tlocal_strdup(path);
    char *sep = strrchr(copy, '/');
    if (sep) *sep = '\0';

    return copy;
}

const char *VKO_GetFileExtension(const char *path) {
    const char *dot = strrchr(path, '.');
    return vko_tlocal_strdup(dot ? dot + 1 : "");
}

// Files

FILE *fsutil_open(const char *path, const char *mode) {
    // Close-on-exec, so spawned openers do not inherit our files.
    char m[16];
    snprintf(m, sizeof(m), "%se", mode);

    FILE *f = fopen(path, m);
    if (!f)
        VKO_Log("fsutil_open", "'_wfopen_s' failed to open '%s' with errno %d", file_name_of(path), errno);

    return f;
}

void *VKO_ReadFile(const char *path, size_t *size) {
    if (size) *size = 0;

    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno != ENOENT)
            VKO_Log("fsutil_size", "'_wstat64' failed to query '%s' with errno %d", file_name_of(path),
                    errno);
        return NULL;
    }

    if (size) *size = (size_t)st.st_size;

    if (!S_ISREG(st.st_mode) || st.st_size < 1 || (uint64_t)st.st_size > READ_FILE_MAX) return NULL;

    FILE *f = fsutil_open(path, "rb");
    if (!f) return NULL;

    // The size of what was opened: the file may have been replaced since.
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 1 ||
        (uint64_t)st.st_size > READ_FILE_MAX) {
        if (size) *size = (size_t)st.st_size;
        fclose(f);
        return NULL;
    }

    size_t n = (size_t)st.st_size;
    char *buf = (char *)VKO_Alloc(n + 1, 1);

    if (fread(buf, 1, n, f) != n) {
        VKO_Log("VKO_ReadFile", "'fread' failed with ferror %d", ferror(f) ? errno : 0);
        VKO_Free(buf);
        buf = NULL;
        n = 0;
    }

    fclose(f);

    if (size) *size = n;

    return buf;
}

bool VKO_WriteFile(const char *path, const void *buf, size_t size) {
    FILE *f = fsutil_open(path, "wb");
    if (!f) return false;

    bool ok = fwrite(buf, 1, size, f) == size;
    int err = errno;

    // A failed flush at close loses data too.
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }

    if (!ok) VKO_Log("VKO_WriteFile", "'fwrite' failed with ferror %d", err);

    return ok;
}

static bool file_vfprintf(const char *path, const char *mode, const char *fmt, va_list args) {
    FILE *f = fsutil_open(path, mode);
    if (!f) return false;

    bool ok = vfprintf(f, fmt, args) >= 0;
    int err = errno;

    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }

    if (!ok) VKO_Log("file_vfprintf", "'vfprintf' failed with ferror %d", err);

    return ok;
}

bool VKO_WriteTextFile(const char *path, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    bool ok = file_vfprintf(path, "w", fmt, args);
    va_end(args);

    return ok;
}

bool VKO_AppendTextToFile(const char *path, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    bool ok = file_vfprintf(path, "a", fmt, args);
    va_end(args);

    return ok;
}

bool VKO_DeleteFile(const char *path) {
    if (unlink(path) != 0) {
        VKO_Log("VKO_DeleteFile", "'DeleteFile' failed with error 0x%X", errno);
        return false;
    }

    return true;
}

bool VKO_FileExists(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0) return true;

    if (errno != ENOENT && errno != ENOTDIR)
        VKO_Log("VKO_FileExists", "'PathFileExists' failed with error 0x%X", errno);

    return false;
}

static bool file_copy(const char *from, const char *to) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;

    struct stat st;
    int out = -1;
    if (fstat(in, &st) == 0 && S_ISREG(st.st_mode))
        out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);

    bool ok = out >= 0;
    char buf[65536];

    while (ok) {
        ssize_t n = read(in, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }

        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(out, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR) continue;
            ok = w > 0;
            done += w > 0 ? w : 0;
        }
    }

    int err = errno;
    if (ok && fsync(out) != 0) ok = false;
    if (out >= 0 && close(out) != 0) ok = false;
    close(in);

    if (!ok && out >= 0) unlink(to);

    errno = ok ? 0 : err;
    return ok;
}

bool VKO_MoveFile(const char *from, const char *to) {
    if (rename(from, to) == 0) return true;

    // Across file systems: copy (replacing), then delete the source.
    if (file_copy(from, to) && unlink(from) == 0) return true;

    VKO_Log("VKO_MoveFile", "Failed to move file via 'MoveFileEx' and 'CopyFile', last error 0x%X", errno);
    return false;
}

// Settings and identity files

#define RESOLVE_MAX_LINKS 40

static std::string path_folder(const std::string &p) {
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

char *vko_file_resolve(const char *path) {
    if (!path || !path[0]) return NULL;

    std::string p = path;
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;

        if (hops == RESOLVE_MAX_LINKS) {
            errno = ELOOP;
            return NULL;
        }

        char target[4096];
        ssize_t n = readlink(p.c_str(), target, sizeof(target) - 1);
        if (n <= 0) return NULL;
        target[n] = '\0';

        p = target[0] == '/' ? std::string(target) : path_folder(p) + "/" + target;
    }

    size_t slash = p.rfind('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return NULL;
    }

    char *folder = realpath(path_folder(p).c_str(), NULL);
    if (!folder) return NULL;

    char *out = VKO_SprintfAlloc("%s%s%s", folder, strcmp(folder, "/") ? "/" : "", name.c_str());
    free(folder);

    return out;
}

// One re-entrant lock per resolved path, kept for the life of the process
// (a process writes few distinct settings files). The map is guarded by
// file_guards_mutex; each entry's lock is taken without it.
struct VKO_FileGuard {
    std::recursive_mutex *lock;
};

static std::mutex file_guards_mutex;
static std::map<std::string, std::unique_ptr<std::recursive_mutex>> file_guards;

VKO_FileGuard *vko_file_guard_acquire(const char *path) {
    char *resolved = vko_file_resolve(path);
    std::string key = resolved ? resolved : (path ? path : "");
    VKO_Free(resolved);

    std::recursive_mutex *lock;
    {
        std::lock_guard<std::mutex> g(file_guards_mutex);
        auto &slot = file_guards[key];
        if (!slot) slot.reset(new std::recursive_mutex());
        lock = slot.get();
    }

    lock->lock();

    VKO_FileGuard *guard = (VKO_FileGuard *)VKO_Alloc(1, sizeof(VKO_FileGuard));
    guard->lock = lock;

    return guard;
}

void vko_file_guard_release(VKO_FileGuard **guard) {
    if (!guard || !*guard) return;

    (*guard)->lock->unlock();
    VKO_Free(*guard);
    *guard = NULL;
}

static bool write_all_fd(int fd, const void *data, size_t size) {
    const char *p = (const char *)data;
    while (size > 0) {
        ssize_t w = write(fd, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        size -= (size_t)w;
    }

    return true;
}

// The temporary file: a fresh name in the target's folder, created with
// O_EXCL so no two writers ever share one.
static int create_temporary(const std::string &target, bool keep_private, std::string *tmp) {
    static std::atomic<uint32_t> counter{0};

    for (int attempt = 0; attempt < 16; attempt++) {
        uint32_t n = counter.fetch_add(1, std::memory_order_relaxed);
        *tmp = path_folder(target) + "/." + target.substr(target.rfind('/') + 1) + "." +
               std::to_string(getpid()) + "." + std::to_string(n) + ".tmp";

        // An existing file's contents never sit in a more open file than the
        // old one; a new file takes the umask like any other.
        int fd = open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, keep_private ? 0600 : 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }

    return -1;
}

static bool sync_folder(const std::string &folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;

    // Some file systems cannot flush a folder; that is no failure of ours
    bool ok = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    close(fd);

    return ok;
}

bool vko_file_write_atomic(const char *path, const void *data, size_t size) {
    const char *tag = "vko_file_write_atomic";

    char *resolved = vko_file_resolve(path);
    if (!resolved) {
        VKO_Log(tag, "'%s' cannot be resolved, errno %d", path ? file_name_of(path) : "", errno);
        return false;
    }

    std::string target = resolved;
    VKO_Free(resolved);

    VKO_FileGuard *guard = vko_file_guard_acquire(target.c_str());

    struct stat old;
    bool exists = stat(target.c_str(), &old) == 0;
    std::string tmp;
    int fd = -1;
    const char *step = NULL;
    int err = 0;

    if (exists && !S_ISREG(old.st_mode)) {
        step = "stat";
        err = EISDIR;
        goto done;
    }

    fd = create_temporary(target, exists, &tmp);
    if (fd < 0) {
        step = "open";
        err = errno;
        goto done;
    }

    if (!write_all_fd(fd, data, size)) {
        step = "write";
    } else if (exists && (old.st_uid != geteuid() || old.st_gid != getegid()) &&
               fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
        // Only a privileged writer can give a file away; others keep theirs
        step = "fchown";
    } else if (exists && fchmod(fd, old.st_mode & 07777) != 0) {
        step = "fchmod";
    } else if (fsync(fd) != 0) {
        step = "fsync";
    }
    err = errno;

    if (close(fd) != 0 && !step) {
        step = "close";
        err = errno;
    }

    if (!step && rename(tmp.c_str(), target.c_str()) != 0) {
        step = "rename";
        err = errno;
    }

    if (step) {
        unlink(tmp.c_str());
    } else if (!sync_folder(path_folder(target))) {
        step = "fsync";
        err = errno;
    }

done:
    vko_file_guard_release(&guard);

    if (step) {
        VKO_Log(tag, "'%s' of '%s' failed with errno %d", step, file_name_of(target.c_str()), err);
        errno = err ? err : EIO;
    }

    return step == NULL;
}

// Lock files

struct VKO_LockFile {
    int fd;
};

VKO_LockFile *VKO_LockFileCreate(const char *path, uint32_t mode) {
    bool write = mode == VKO_FILE_MODE_WRITE;
    int fd = write ? open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : open(path, O_RDONLY | O_CLOEXEC);

    if (fd >= 0 && flock(fd, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        fd = -1;
        errno = err;
    }

    // Truncate only once the lock is ours, so a holder's content survives.
    if (fd >= 0 && write && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        fd = -1;
        errno = err;
    }

    if (fd < 0) {
        VKO_Log("VKO_LockFileCreate", "'CreateFile' failed with error 0x%X", errno);
        return NULL;
    }

    VKO_LockFile *lock = (VKO_LockFile *)VKO_Alloc(1, sizeof(VKO_LockFile));
    lock->fd = fd;

    return lock;
}

void VKO_LockFileDestroy(VKO_LockFile **lock) {
    if (!lock || !*lock) return;

    if (close((*lock)->fd) != 0)
        VKO_Log("VKO_LockFileDestroy", "'CloseHandle' failed with error 0x%X", errno);

    VKO_Free(*lock);
    *lock = NULL;
}

// Directory listing

// Names as UTF-16 code units, the way the listing compares them; a byte that
// is not UTF-8 becomes a lone low surrogate of its own, so it still sorts.
static std::u16string dir_name_units(const char *name) {
    std::u16string out;
    const unsigned char *p = (const unsigned char *)name;
    while (*p) {
        uint32_t c = *p, n = c < 0x80                ? 0
                             : c >= 0xC2 && c < 0xE0 ? 1
                             : c >= 0xE0 && c < 0xF0 ? 2
                             : c >= 0xF0 && c < 0xF5 ? 3
                                                     : 4;
        uint32_t cp = n == 0 ? c : n == 4 ? 0 : c & (0x3F >> n);
        bool ok = n < 4;
        for (uint32_t i = 1; ok && i <= n; i++) {
            ok = (p[i] & 0xC0) == 0x80;
            cp = cp << 6 | (p[i] & 0x3F);
        }
        ok = ok && !(n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) &&
             !(n == 3 && (cp < 0x10000 || cp > 0x10FFFF));
        if (!ok) {
            out.push_back((char16_t)(0xDC00 | *p++));
            continue;
        }
        p += n + 1;
        if (cp < 0x10000) {
            out.push_back((char16_t)cp);
        } else {
            out.push_back((char16_t)(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back((char16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    return out;
}

// Case folding of one letter by the Unicode tables of the C.UTF-8 locale
// (to upper, then to lower: both cases and title case fold together);
// without that locale, ASCII only.
static uint32_t dir_fold(uint32_t c) {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (!loc) return c >= 'A' && c <= 'Z' ? c + 32 : c;
    return (uint32_t)towlower_l(towupper_l((wint_t)c, loc), loc);
}

// Code points of UTF-16 units (a lone surrogate stands for itself).
static uint32_t dir_next_point(const std::u16string &s, size_t *i) {
    uint32_t c = s[(*i)++];
    if (c >= 0xD800 && c < 0xDC00 && *i < s.size() && s[*i] >= 0xDC00 && s[*i] < 0xE000)
        c = 0x10000 + ((c - 0xD800) << 10) + (s[(*i)++] - 0xDC00);
    return c;
}

static int dir_entry_compare(const void *a, const void *b) {
    const VKO_DirEntry *x = (const VKO_DirEntry *)a;
    const VKO_DirEntry *y = (const VKO_DirEntry *)b;

    if (x->is_dir != y->is_dir) return x->is_dir ? -1 : 1;

    std::u16string u = dir_name_units(x->name), v = dir_name_units(y->name);
    size_t i = 0, j = 0;
    while (i < u.size() && j < v.size()) {
        uint32_t cu = dir_fold(dir_next_point(u, &i)), cv = dir_fold(dir_next_point(v, &j));
        if (cu != cv) return cu < cv ? -1 : 1;
    }
    if (i < u.size() || j < v.size()) return i < u.size() ? 1 : -1;

    // Equal but for case: descending code units, lower case first.
    return v < u ? -1 : v > u ? 1 : 0;
}

VKO_DirList *VKO_ListDirectory(const char *path, const char *filter) {
    VKO_DirList *list = (VKO_DirList *)VKO_Alloc(1, sizeof(VKO_DirList));

    DIR *d = opendir(path);
    if (!d) return list;

    uint32_t cap = 0;

    for (struct dirent *e; (e = readdir(d));) {
        char *full = VKO_SprintfAlloc("%s%c%s", path, '/', e->d_name);
        bool is_dir = e->d_type == DT_DIR;

        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st;
            is_dir = stat(full, &st) == 0 && S_ISDIR(st.st_mode);
        }

        if (!is_dir && filter && !strstr(e->d_name, filter)) {
            VKO_Free(full);
            continue;
        }

        if (list->len == cap) {
            cap = cap ? cap * 2 : 16;
            list->entries = (VKO_DirEntry *)VKO_Realloc(list->entries, cap, sizeof(VKO_DirEntry));
        }

        VKO_DirEntry *entry = &list->entries[list->len++];
        entry->path = full;
        entry->name = VKO_Strdup(e->d_name);
        entry->is_dir = is_dir;
    }

    closedir(d);

    if (list->len > 1) VKO_Sort(list->entries, list->len, sizeof(VKO_DirEntry), dir_entry_compare);

    return list;
}

void VKO_DirectoryListDestroy(VKO_DirList **list) {
    if (!list || !*list) return;

    for (uint32_t i = 0; i < (*list)->len; i++) {
        VKO_Free((*list)->entries[i].path);
        VKO_Free((*list)->entries[i].name);
    }

    VKO_Free((*list)->entries);
    VKO_Free(*list);
    *list = NULL;
}

// Known folders

const char *vko_machine_root(void) {
    const char *root = getenv(VKO_ENV_SYSROOT);
    if (!root || !root[0]) return vko_tlocal_strdup("/");

    char *copy = vko_tlocal_strdup(root);
    size_t n = strlen(copy);
    while (n > 1 && copy[n - 1] == '/') copy[--n] = '\0';

    return copy;
}

const char *vko_machine_path(const char *rel) {
    const char *root = vko_machine_root();
    while (*rel == '/') rel++;

    if (!strcmp(root, "/")) return VKO_SprintfTLocal("/%s", rel);

    return VKO_SprintfTLocal("%s/%s", root, rel);
}

static const char *dir_home(void) {
    const char *home = getenv("HOME");
    if (home && home[0]) return home;

    struct passwd *pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : NULL;
}

const char *VKO_GetDir(uint32_t kind) {
    switch (kind) {
        case VKO_DIR_CURRENT: {
            char buf[4096];
            if (!getcwd(buf, sizeof(buf))) {
                VKO_Log("VKO_GetDir", "'GetCurrentDirectory' failed with error 0x%X", errno);
                break;
            }
            return vko_tlocal_strdup(buf);
        }
        case VKO_DIR_APPDATA: {
            const char *v = getenv("APPDATA");
            if (v && v[0]) return vko_tlocal_strdup(v);

            v = getenv("XDG_CONFIG_HOME");
            if (v && v[0]) return vko_tlocal_strdup(v);

            const char *home = dir_home();
            if (!home) {
                VKO_Log("file_known_folder", "'SHGetKnownFolderPath' failed with HRESULT 0x%X", ENOENT);
                break;
            }
            return VKO_SprintfTLocal("%s/.config", home);
        }
        case VKO_DIR_PROGRAMS:
            return vko_machine_path("opt");
        case VKO_DIR_PROGRAM_DATA:
            return vko_machine_path("var/lib");
        default:
            break;
    }

    return vko_tlocal_strdup(".");
}

// System

const char *VKO_GetHostname(void) {
    char buf[256] = {};

    if (gethostname(buf, sizeof(buf) - 1) != 0) {
        VKO_Log("VKO_GetHostname", "'GetComputerName' failed with error 0x%X", errno);
        return vko_tlocal_strdup("noname");
    }

    // A computer name is one label of at most 15 characters.
    char *dot = strchr(buf, '.');
    if (dot) *dot = '\0';
    buf[15] = '\0';

    return vko_tlocal_strdup(buf[0] ? buf : "noname");
}

const char *VKO_GetProcessPath(void) {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);

    if (n <= 0) {
        VKO_Log("VKO_GetProcessPath", "'GetModuleFileName' failed with error 0x%X", errno);
        return vko_tlocal_strdup("");
    }

    buf[n] = '\0';
    return vko_tlocal_strdup(buf);
}

uint32_t VKO_GetPlatform(void) {
    struct utsname u;
    if (uname(&u) != 0) return VKO_PLATFORM_LINUX;

    // "6.1.0-18-amd64" -> 6.1; each part capped to its byte.
    const char *s = u.release;
    auto number = [&s]() {
        unsigned v = 0;
        for (; *s >= '0' && *s <= '9'; s++) v = v >= 255 ? 255 : v * 10 + (unsigned)(*s - '0');
        return v > 255 ? 255u : v;
    };

    unsigned major = number();
    if (*s == '.') s++;
    unsigned minor = number();

    return VKO_PLATFORM_LINUX | major << 8 | minor;
}

const char *VKO_GetPlatformString(uint32_t platform) {
    char *out = (char *)vko_tlocal(64);
    uint32_t kind = platform & 0xFF000000u;
    uint32_t major = platform >> 8 & 0xFF;
    uint32_t minor = platform & 0xFF;

    const char *name = "";
    switch (kind) {
        case 0:
            name = "";
            break;
        case VKO_PLATFORM_WINDOWS:
            name = "Windows";
            break;
        case VKO_PLATFORM_MACOS:
            name = "macOS";
            break;
        case VKO_PLATFORM_ANDROID:
            name = "Android";
            break;
        case VKO_PLATFORM_LINUX:
            name = "Linux";
            break;
        case VKO_PLATFORM_WEB:
            name = "Web";
            break;
        case VKO_PLATFORM_IOS:
            name = "iOS";
            break;
        case VKO_PLATFORM_TVOS:
            name = "tvOS";
            break;
        default:
            name = "Unknown";
            break;
    }

    int n = snprintf(out, 64, "%s", name);

    if (major != 0 || minor != 0) {
        const char *space = n > 0 ? " " : "";
        if (minor != 0)
            snprintf(out + n, (size_t)(64 - n), "%s%u.%u", space, major, minor);
        else
            snprintf(out + n, (size_t)(64 - n), "%s%u", space, major);
    }

    return out;
}

// Run at login: an XDG autostart entry, "<name>.desktop" in
// $XDG_CONFIG_HOME/autostart (~/.config/autostart by default), which the
// desktop session starts at login. The log texts are the system's own.

static std::string autostart_entry(const char *name) {
    bool plain = name && name[0] && strcmp(name, ".") && strcmp(name, "..");
    for (const char *p = name; plain && *p; p++) plain = *p != '/' && (unsigned char)*p >= 0x20;
    if (!plain) {
        VKO_Log("system_startup_hkey", "'RegOpenKeyEx' failed with error 0x%X", EINVAL);
        return "";
    }

    // A relative value is to be ignored
    const char *config = getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config && config[0] == '/') {
        folder = config;
    } else if (const char *home = dir_home()) {
        folder = std::string(home) + "/.config";
    } else {
        VKO_Log("system_startup_hkey", "'RegOpenCurrentUser' failed with error 0x%X", ENOENT);
        return "";
    }

    return folder + "/autostart/" + name + ".desktop";
}

// An Exec value: the path quoted, '"', '`', '$' and '\' escaped inside the
// quotes, '%' doubled (field codes), then '\' escaped again as the file's
// string rules ask. False for control characters, which no line may hold.
static bool autostart_exec(const char *path, const char *args, std::string *out) {
    std::string cmd = "\"";
    for (const char *p = path; *p; p++) {
        if (strchr("\"`$\\", *p)) cmd += '\\';
        cmd += *p;
    }
    cmd += '"';
    if (args && args[0]) cmd = cmd + " " + args;

    out->clear();
    for (char c : cmd) {
        if ((unsigned char)c < 0x20 || c == 0x7F) return false;
        if (c == '%' || c == '\\') *out += c;
        *out += c;
    }

    return true;
}

static bool mkdir_parents(const std::string &folder) {
    for (size_t i = 1; i <= folder.size(); i++) {
        if (i < folder.size() && folder[i] != '/') continue;
        if (mkdir(folder.substr(0, i).c_str(), 0700) != 0 && errno != EEXIST) return false;
    }

    return true;
}

bool VKO_GetRunOnStartup(const char *name) {
    std::string entry = autostart_entry(name);
    struct stat st;

    return !entry.empty() && stat(entry.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool VKO_SetRunOnStartup(const char *name, const char *path, const char *args) {
    std::string entry = autostart_entry(name);
    if (entry.empty()) return false;

    if (!path) {
        if (unlink(entry.c_str()) == 0 || errno == ENOENT) return true;
        VKO_Log("VKO_SetRunOnStartup", "'RegSetValueEx' failed with error 0x%X", errno);
        return false;
    }

    std::string exec;
    if (!autostart_exec(path, args, &exec)) {
        VKO_Log("VKO_SetRunOnStartup", "'RegSetValueEx' failed with error 0x%X", EINVAL);
        return false;
    }

    if (!mkdir_parents(path_folder(entry))) {
        VKO_Log("system_startup_hkey", "'RegOpenKeyEx' failed with error 0x%X", errno);
        return false;
    }

    std::string text = "[Desktop Entry]\nType=Application\nName=" + std::string(name) + "\nExec=" + exec +
                       "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    if (!vko_file_write_atomic(entry.c_str(), text.data(), text.size())) {
        VKO_Log("VKO_SetRunOnStartup", "'RegSetValueEx' failed with error 0x%X", errno);
        return false;
    }

    return true;
}

// Opening a URI

static void *protocol_reaper(void *arg) {
    pid_t pid = (pid_t)(intptr_t)arg;
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR)
        ;

    return NULL;
}

bool VKO_HandleProtocol(const char *uri, void *token) {
    // Running as another user needs root; the stand-in opens as the caller.
    (void)token;

    if (!uri) return false;

    // Cut to 1,280 UTF-16 units without splitting a character.
    size_t cut = 0, units = 0;
    for (const unsigned char *s = (const unsigned char *)uri; s[cut];) {
        size_t n = s[cut] < 0x80 ? 1 : s[cut] >= 0xF0 ? 4 : s[cut] >= 0xE0 ? 3 : 2;
        size_t w = n == 4 ? 2 : 1;
        if (units + w > 1280) break;
        for (size_t k = 0; k < n && s[cut]; k++) cut++;
        units += w;
    }

    char *arg = (char *)VKO_Alloc(cut + 1, 1);
    memcpy(arg, uri, cut);

    const char *opener = getenv(VKO_ENV_URL_OPENER);
    if (!opener || !opener[0]) opener = "xdg-open";

    // Never through a shell: the URI is one argument.
    const char *argv[] = {opener, arg, NULL};
    int e = VKO_SpawnReaped(argv);
    VKO_Free(arg);

    if (e != 0) {
        VKO_Log("VKO_HandleProtocol", "'CreateProcess' failed with error 0x%X", e);
        return false;
    }
    return true;
}

int VKO_SpawnReaped(const char *const argv[]) {
    pid_t pid = 0;
    int e = posix_spawnp(&pid, argv[0], NULL, NULL, (char *const *)argv, environ);
    if (e != 0) return e;

    // Not waited for, but reaped so it leaves no zombie.
    pthread_t th;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&th, &attr, protocol_reaper, (void *)(intptr_t)pid) != 0) waitpid(pid, NULL, WNOHANG);
    pthread_attr_destroy(&attr);
    return 0;
}

// Console: a Linux process already has its terminal.

void VKO_OpenConsole(const char *title) {
    (void)title;
}

void VKO_HideConsole(void) {}

// Shared objects

struct so_name {
    const char *windows;
    const char *linux_name;
};

// Windows module names the library loads and their Linux names.
static const so_name SO_NAMES[] = {
    {"vulkan-1.dll", "libvulkan.so.1"},
    {"nvEncodeAPI64.dll", "libnvidia-encode.so.1"},
    {"amfrt64.dll", "libamfrt64.so.1"},
    {"libmfxhw64.dll", "libmfxhw64.so.1"},
    {"libvpl.dll", "libvpl.so.2"},
    // The Media Foundation entry points are this library's own.
    {"mfplat.dll", "libzarvek.so"},
};

const char *vko_so_map_name(const char *name) {
    const char *base = strrchr(name, '\\');
    base = base ? base + 1 : name;

    for (const so_name &n : SO_NAMES)
        if (!strcasecmp(base, n.windows)) return n.linux_name;

    return name;
}

void *VKO_SOLoad(const char *path) {
    const char *name = vko_so_map_name(path);
    void *so = NULL;
    int err = 0;

    // Tests point the loader at a folder of fake runtimes.
    const char *dir = getenv(VKO_ENV_SO_PATH);
    if (dir && dir[0] && !strchr(name, '/')) {
        char *full = VKO_SprintfAlloc("%s/%s", dir, name);
        so = dlopen(full, RTLD_NOW | RTLD_LOCAL);
        VKO_Free(full);
    }

    if (!so) {
        errno = 0;
        so = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        err = errno ? errno : ENOENT;
    }

    if (!so) VKO_Log("VKO_SOLoad", "'LoadLibrary' failed to find '%s' with error 0x%X", path, err);

    return so;
}

void *VKO_SOGetSymbol(void *so, const char *name) {
    void *sym = so ? dlsym(so, name) : NULL;

    if (!sym)
        VKO_Log("VKO_SOGetSymbol", "'GetProcAddress' failed to find '%s' with error 0x%X", name, ENOENT);

    return sym;
}

void VKO_SOUnload(void **so) {
    if (!so || !*so) return;

    if (dlclose(*so) != 0) VKO_Log("VKO_SOUnload", "'FreeLibrary' failed with error 0x%X", EINVAL);

    *so = NULL;
}

const char *VKO_GetSOExtension(void) {
    return "so";
}

// Crash handling

static std::atomic<VKO_CrashFunc> CRASH_FUNC;
static std::atomic<void *> CRASH_OPAQUE;
static std::atomic<bool> CRASH_ENTERED;

static const int CRASH_SIGNALS[] = {SIGINT, SIGTERM, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

static void crash_signal_handler(int sig) {
    // Only the first signal runs the callback; a fault inside it just ends.
    if (!CRASH_ENTERED.exchange(true)) {
        VKO_CrashFunc func = CRASH_FUNC.load();
        if (func) func(sig == SIGTERM || sig == SIGINT, CRASH_OPAQUE.load());
    }

    signal(sig, SIG_DFL);
    raise(sig);
}

static void crash_alt_stack(void) {
    // Without an alternate stack a stack overflow cannot be reported.
    // The stack is kept for the thread's life; holding it here also keeps it
    // reachable, so it is not reported as a leak at exit.
    static thread_local void *stack;
    if (stack) return;

    stack_t ss = {};
    ss.ss_size = 64 * 1024;
    ss.ss_sp = malloc(ss.ss_size);
    if (ss.ss_sp && sigaltstack(&ss, NULL) == 0)
        stack = ss.ss_sp;
    else
        free(ss.ss_sp);
}

void VKO_SetCrashFunc(VKO_CrashFunc func, void *opaque) {
    // The unwinder loads lazily; do it now, not inside a signal handler.
    void *warm[1];
    backtrace(warm, 1);

    crash_alt_stack();

    struct sigaction sa = {};
    sa.sa_handler = crash_signal_handler;
    sa.sa_flags = SA_ONSTACK;
    sigemptyset(&sa.sa_mask);

    for (int sig : CRASH_SIGNALS) sigaction(sig, &sa, NULL);

    CRASH_OPAQUE.store(opaque);
    CRASH_FUNC.store(func);
}
