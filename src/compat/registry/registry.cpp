#include "compat/registry/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "compat/dataprotect/dataprotect.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/json.h"
#include "platform/memory.h"

#define REG_DIR "var/lib/zarvek/registry"

enum reg_hive { REG_HIVE_MACHINE = 1, REG_HIVE_USER = 2 };

struct RegKey {
    reg_hive hive;
    int64_t uid;
    char *path;  // canonical: components joined by '\', "" for the hive root
    uint32_t access;
};

static thread_local int64_t THREAD_USER = -1;

void reg_set_thread_user(int64_t uid) {
    THREAD_USER = uid < 0 ? -1 : uid;
}

int64_t reg_get_thread_user(void) {
    return THREAD_USER >= 0 ? THREAD_USER : (int64_t)getuid();
}

// Paths

static char *reg_hive_file(const RegKey *k) {
    if (k->hive == REG_HIVE_MACHINE) return VKO_Strdup(vko_machine_path(REG_DIR "/HKLM.json"));

    return VKO_SprintfAlloc("%s/HKU/%lld.json", vko_machine_path(REG_DIR), (long long)k->uid);
}

// Joins base and sub, splitting at either separator and dropping empty parts.
static char *reg_canonical(const char *base, const char *sub) {
    size_t n = strlen(base) + (sub ? strlen(sub) : 0) + 2;
    char *out = (char *)VKO_Alloc(n, 1);
    size_t len = 0;

    const char *parts[2] = {base, sub ? sub : ""};
    for (const char *s : parts) {
        while (*s) {
            while (*s == '\\' || *s == '/') s++;
            if (!*s) break;
            if (len > 0) out[len++] = '\\';
            while (*s && *s != '\\' && *s != '/') out[len++] = *s++;
        }
    }

    out[len] = '\0';
    return out;
}

static RegKey *reg_key_new(reg_hive hive, int64_t uid, char *path, uint32_t access) {
    RegKey *k = (RegKey *)VKO_Alloc(1, sizeof(RegKey));
    k->hive = hive;
    k->uid = uid;
    k->path = path;
    k->access = access;

    return k;
}

// Resolves a parent handle; predefined roots become a temporary key.
static bool reg_resolve(RegKey *parent, RegKey *tmp) {
    if (parent == REG_HKEY_LOCAL_MACHINE) {
        *tmp = {REG_HIVE_MACHINE, 0, (char *)"", REG_KEY_ALL_ACCESS};
        return true;
    }

    if (parent == REG_HKEY_CURRENT_USER) {
        *tmp = {REG_HIVE_USER, reg_get_thread_user(), (char *)"", REG_KEY_ALL_ACCESS};
        return true;
    }

    if (!parent) return false;

    *tmp = *parent;
    return true;
}

// Hive files

static int32_t reg_errno(int e) {
    return e == EACCES || e == EPERM || e == EROFS ? REG_ERROR_ACCESS_DENIED : REG_ERROR_FILE_NOT_FOUND;
}

// Loads the hive's document; a missing file is an empty hive. A file that is
// not a JSON object (damaged from outside) is treated as empty as well and
// reported through *damaged, so a writer can set it aside before replacing it.
// A file that cannot be read is an error: it must never be taken for empty.
static int32_t reg_load(const char *file, VKO_JSON **out, bool *damaged = NULL) {
    *out = NULL;
    if (damaged) *damaged = false;

    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) return reg_errno(errno);
        *out = VKO_JSONObjCreate();
        return REG_ERROR_SUCCESS;
    }

    size_t cap = 4096, len = 0;
    char *buf = (char *)VKO_Alloc(cap, 1);
    int err = 0;

    while (true) {
        if (len + 1 >= cap) {
            buf = (char *)VKO_Realloc(buf, cap * 2, 1);
            cap *= 2;
        }
        ssize_t n = read(fd, buf + len, cap - len - 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        len += (size_t)n;
    }
    close(fd);
    buf[len] = '\0';

    if (err != 0) {
        VKO_Free(buf);
        return reg_errno(err);
    }

    VKO_JSON *doc = VKO_JSONParse(buf);
    VKO_Free(buf);

    if (!doc || doc->type != VKO_JSON_TYPE_OBJECT) {
        VKO_JSONDestroy(&doc);
        doc = VKO_JSONObjCreate();
        if (damaged) *damaged = true;
    }

    *out = doc;
    return REG_ERROR_SUCCESS;
}

// The document of the hive a key lives in, for reading.
static int32_t reg_load_hive(const RegKey *k, VKO_JSON **out) {
    char *file = reg_hive_file(k);
    int32_t e = reg_load(file, out);
    VKO_Free(file);

    return e;
}

// Creates the missing folders above path; each new one is flushed into its
// parent, so a hive written into it outlives a power loss.
static int mkdir_parents(char *path) {
    for (char *s = path + 1; *s; s++) {
        if (*s != '/') continue;
        *s = '\0';
        int r = mkdir(path, 0755);
        int e = errno;
        if (r == 0) {
            const char *slash = strrchr(path, '/');
            std::string parent = slash == path ? "/" : std::string(path, (size_t)(slash - path));
            dp_sync_folder(parent.c_str());
        }
        *s = '/';
        if (r != 0 && e != EEXIST) return e;
    }

    return 0;
}

// A write: the exclusive lock on "<file>.lock" is held from the re-read of
// the hive to the rename of the new file, so concurrent writers in other
// processes never lose each other's changes, and readers only ever see a
// whole file.
struct reg_txn {
    char *file;
    int lock_fd;
    VKO_JSON *doc;
};

static int32_t reg_txn_begin(const RegKey *k, reg_txn *t) {
    t->file = reg_hive_file(k);
    t->lock_fd = -1;
    t->doc = NULL;

    int e = mkdir_parents(t->file);
    if (e != 0) return reg_errno(e);

    char *lock = VKO_SprintfAlloc("%s.lock", t->file);
    t->lock_fd = open(lock, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    VKO_Free(lock);

    if (t->lock_fd < 0) return reg_errno(errno);

    while (flock(t->lock_fd, LOCK_EX) != 0)
        if (errno != EINTR) return reg_errno(errno);

    bool damaged = false;
    int32_t r = reg_load(t->file, &t->doc, &damaged);

    // Never overwrite what we could not read: keep it as "<hive>.bad".
    if (r == REG_ERROR_SUCCESS && damaged) {
        char *bad = VKO_SprintfAlloc("%s.bad", t->file);
        if (rename(t->file, bad) != 0)
            r = reg_errno(errno);
        else
            VKO_Log("reg_txn_begin", "Damaged registry file kept as '%s'", bad);
        VKO_Free(bad);
    }

    return r;
}

static int32_t reg_txn_commit(reg_txn *t) {
    if (vko_json_write_atomic(t->file, t->doc)) return REG_ERROR_SUCCESS;

    return errno ? reg_errno(errno) : REG_ERROR_ACCESS_DENIED;
}

static void reg_txn_end(reg_txn *t) {
    VKO_JSONDestroy(&t->doc);
    if (t->lock_fd >= 0) close(t->lock_fd);
    VKO_Free(t->file);
}

// Lookups inside a hive document (names compare case-insensitively)

static const char *reg_find_name(const VKO_JSON *obj, const char *name) {
    uint64_t it = 0;
    const char *k = NULL;

    while (VKO_JSONObjGetNextKey(obj, &it, &k))
        if (!strcasecmp(k, name)) return k;

    return NULL;
}

static VKO_JSON *reg_find_key(const VKO_JSON *doc, const char *path) {
    const char *k = reg_find_name(doc, path);
    return k ? VKO_JSONObjGetItem(doc, k) : NULL;
}

static bool reg_key_exists(const VKO_JSON *doc, const char *path) {
    return !path[0] || reg_find_key(doc, path);
}

// Opening keys

int32_t reg_open_current_user(uint32_t access, RegKey **out) {
    if (!out) return REG_ERROR_INVALID_PARAM;

    *out = reg_key_new(REG_HIVE_USER, reg_get_thread_user(), VKO_Strdup(""), access);
    return REG_ERROR_SUCCESS;
}

// Checks that the key at path exists in its hive.
static int32_t reg_check_key(const RegKey *base, const char *path) {
    VKO_JSON *doc = NULL;
    int32_t e = reg_load_hive(base, &doc);

    if (e == REG_ERROR_SUCCESS && !reg_key_exists(doc, path)) e = REG_ERROR_FILE_NOT_FOUND;

    VKO_JSONDestroy(&doc);
    return e;
}

// Creates the key at path and every missing ancestor: each is a key of its
// own, as on Windows.
static int32_t reg_ensure_key(const RegKey *base, char *path) {
    reg_txn t;
    int32_t e = reg_txn_begin(base, &t);
    bool changed = false;

    for (size_t i = 0; e == REG_ERROR_SUCCESS; i++) {
        if (path[i] != '\\' && path[i] != '\0') continue;

        char c = path[i];
        path[i] = '\0';
        if (!reg_key_exists(t.doc, path)) {
            VKO_JSONObjSetItem(t.doc, path, VKO_JSONObjCreate());
            changed = true;
        }
        path[i] = c;

        if (!c) break;
    }

    if (e == REG_ERROR_SUCCESS && changed) e = reg_txn_commit(&t);

    reg_txn_end(&t);
    return e;
}

static int32_t reg_open(RegKey *parent, const char *subkey, uint32_t access, RegKey **out, bool create) {
    RegKey base;
    if (!out) return REG_ERROR_INVALID_PARAM;
    *out = NULL;
    if (!reg_resolve(parent, &base)) return REG_ERROR_INVALID_HANDLE;

    char *path = reg_canonical(base.path, subkey);

    if (path[0]) {
        int32_t e = create ? reg_ensure_key(&base, path) : reg_check_key(&base, path);
        if (e != REG_ERROR_SUCCESS) {
            VKO_Free(path);
            return e;
        }
    }

    *out = reg_key_new(base.hive, base.uid, path, access);
    return REG_ERROR_SUCCESS;
}

int32_t reg_open_key(RegKey *parent, const char *subkey, uint32_t access, RegKey **out) {
    return reg_open(parent, subkey, access, out, false);
}

int32_t reg_create_key(RegKey *parent, const char *subkey, uint32_t access, RegKey **out) {
    return reg_open(parent, subkey, access, out, true);
}

int32_t reg_close_key(RegKey *key) {
    if (!key || key == REG_HKEY_LOCAL_MACHINE || key == REG_HKEY_CURRENT_USER)
        return key ? REG_ERROR_SUCCESS : REG_ERROR_INVALID_HANDLE;

    VKO_Free(key->path);
    VKO_Free(key);

    return REG_ERROR_SUCCESS;
}

// Values

static size_t utf16_len(const char16_t *s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) n++;

    return n;
}

// UTF-16 text of at most max units (to a terminator) as heap UTF-8, or NULL
// when it is not valid UTF-16.
static char *reg_utf16_to_utf8(const char16_t *s, size_t max) {
    size_t n = utf16_len(s, max);
    char16_t *copy = (char16_t *)VKO_Alloc(n + 1, sizeof(char16_t));
    memcpy(copy, s, n * sizeof(char16_t));

    char *out = (char *)VKO_Alloc(4 * (n + 1), 1);
    bool ok = VKO_WideToMulti(copy, out, (uint32_t)(4 * (n + 1)));
    VKO_Free(copy);

    if (!ok) {
        VKO_Free(out);
        return NULL;
    }

    return out;
}

static void bytes_append_utf16(uint8_t **buf, size_t *len, const char *text) {
    char16_t *w = VKO_MultiToWideAlloc(text);
    size_t n = utf16_len(w, SIZE_MAX) + 1;

    *buf = (uint8_t *)VKO_Realloc(*buf, *len + n * 2, 1);
    memcpy(*buf + *len, w, n * 2);
    *len += n * 2;

    VKO_Free(w);
}

// Builds the value's bytes as Windows returns them.
static void reg_value_bytes(const VKO_JSON *v, uint32_t *type, uint8_t **buf, size_t *len) {
    int32_t t = 0;
    VKO_JSONToInt(VKO_JSONObjGetItem(v, "type"), &t);
    const VKO_JSON *data = VKO_JSONObjGetItem(v, "data");

    *type = (uint32_t)t;
    *buf = NULL;
    *len = 0;

    if (t == (int32_t)REG_SZ || t == (int32_t)REG_EXPAND_SZ) {
        const char *s = VKO_JSONGetString(data);
        bytes_append_utf16(buf, len, s ? s : "");

    } else if (t == (int32_t)REG_MULTI_SZ) {
        for (uint32_t i = 0; i < VKO_JSONGetLength(data); i++) {
            const char *s = VKO_JSONGetString(VKO_JSONArrayGetItem(data, i));
            if (s && s[0]) bytes_append_utf16(buf, len, s);
        }
        bytes_append_utf16(buf, len, "");

    } else if (t == (int32_t)REG_DWORD) {
        double d = data && data->type == VKO_JSON_TYPE_NUMBER ? data->value2.num : 0.0;
        uint32_t u = d >= 0.0 && d <= 4294967295.0 ? (uint32_t)d : 0;
        *buf = (uint8_t *)VKO_Alloc(4, 1);
        memcpy(*buf, &u, 4);
        *len = 4;

    } else {
        const char *hex = VKO_JSONGetString(data);
        size_t n = hex ? strlen(hex) / 2 : 0;
        *buf = (uint8_t *)VKO_Alloc(n ? n : 1, 1);
        for (size_t i = 0; i < n; i++) {
            unsigned b = 0;
            for (int k = 0; k < 2; k++) {
                char c = hex[2 * i + k];
                b = b << 4 | (unsigned)(c >= 'a' ? c - 'a' + 10 : c >= 'A' ? c - 'A' + 10 : c - '0');
            }
            (*buf)[i] = (uint8_t)b;
        }
        *len = n;
    }
}

int32_t reg_query_value(RegKey *key, const char *name, uint32_t *type, void *data, uint32_t *size) {
    RegKey k;
    if (!reg_resolve(key, &k)) return REG_ERROR_INVALID_HANDLE;
    if (data && !size) return REG_ERROR_INVALID_PARAM;

    VKO_JSON *doc = NULL;
    int32_t e = reg_load_hive(&k, &doc);
    if (e != REG_ERROR_SUCCESS) return e;

    e = REG_ERROR_FILE_NOT_FOUND;
    const VKO_JSON *values = reg_find_key(doc, k.path);
    const char *vname = values ? reg_find_name(values, name ? name : "") : NULL;

    if (vname) {
        uint32_t t = 0;
        uint8_t *bytes = NULL;
        size_t len = 0;
        reg_value_bytes(VKO_JSONObjGetItem(values, vname), &t, &bytes, &len);

        if (type) *type = t;

        e = REG_ERROR_SUCCESS;

        if (data) {
            if (*size < len)
                e = REG_ERROR_MORE_DATA;
            else
                memcpy(data, bytes, len);
        }

        if (size) *size = (uint32_t)len;

        VKO_Free(bytes);
    }

    VKO_JSONDestroy(&doc);
    return e;
}

// Converts the given bytes into the stored form; NULL when they are invalid.
static VKO_JSON *reg_value_item(uint32_t type, const void *data, uint32_t size) {
    VKO_JSON *stored = NULL;
    const uint8_t *bytes = (const uint8_t *)data;

    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        size_t units = size / 2;
        char16_t *copy = (char16_t *)VKO_Alloc(units + 1, sizeof(char16_t));
        if (units) memcpy(copy, bytes, units * 2);
        char *text = reg_utf16_to_utf8(copy, units);
        VKO_Free(copy);
        if (!text) return NULL;
        stored = VKO_JSONStringCreate(text);
        VKO_Free(text);

    } else if (type == REG_MULTI_SZ) {
        size_t units = size / 2;
        char16_t *copy = (char16_t *)VKO_Alloc(units + 1, sizeof(char16_t));
        if (units) memcpy(copy, bytes, units * 2);

        uint32_t count = 0;
        for (size_t i = 0; i < units && copy[i]; i += utf16_len(copy + i, units - i) + 1) count++;

        stored = VKO_JSONArrayCreate(count);
        size_t at = 0;
        for (uint32_t n = 0; n < count; n++) {
            size_t len = utf16_len(copy + at, units - at);
            char *text = reg_utf16_to_utf8(copy + at, len);
            if (!text) {
                VKO_JSONDestroy(&stored);
                break;
            }
            VKO_JSONArraySetItem(stored, n, VKO_JSONStringCreate(text));
            VKO_Free(text);
            at += len + 1;
        }
        VKO_Free(copy);

        if (!stored) return NULL;

    } else if (type == REG_DWORD) {
        if (size != 4) return NULL;
        uint32_t u = 0;
        memcpy(&u, bytes, 4);
        stored = VKO_JSONNumberCreate((double)u);

    } else {
        char *hex = (char *)VKO_Alloc((size_t)size * 2 + 1, 1);
        for (uint32_t i = 0; i < size; i++) {
            hex[2 * i] = "0123456789abcdef"[bytes[i] >> 4];
            hex[2 * i + 1] = "0123456789abcdef"[bytes[i] & 0xF];
        }
        stored = VKO_JSONStringCreate(hex);
        VKO_Free(hex);
    }

    VKO_JSON *v = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(v, "type", VKO_JSONIntCreate((int32_t)type));
    VKO_JSONObjSetItem(v, "data", stored);

    return v;
}

int32_t reg_set_value(RegKey *key, const char *name, uint32_t type, const void *data, uint32_t size) {
    RegKey k;
    if (!reg_resolve(key, &k)) return REG_ERROR_INVALID_HANDLE;
    if (!(k.access & REG_KEY_SET_VALUE)) return REG_ERROR_ACCESS_DENIED;
    if (!data && size > 0) return REG_ERROR_INVALID_PARAM;

    VKO_JSON *v = reg_value_item(type, data, size);
    if (!v) return REG_ERROR_INVALID_PARAM;

    reg_txn t;
    int32_t e = reg_txn_begin(&k, &t);

    if (e == REG_ERROR_SUCCESS) {
        // Another process may have removed the key since it was opened, or
        // the file may hold something else under its name.
        const char *kname = reg_find_name(t.doc, k.path);
        VKO_JSON *values = kname ? VKO_JSONObjGetItem(t.doc, kname) : NULL;
        if (!values || values->type != VKO_JSON_TYPE_OBJECT) {
            values = VKO_JSONObjCreate();
            char *copy = VKO_Strdup(kname ? kname : k.path);
            VKO_JSONObjSetItem(t.doc, copy, values);
            VKO_Free(copy);
        }

        // Replacing keeps the name as first written.
        const char *existing = reg_find_name(values, name ? name : "");
        char *vname = VKO_Strdup(existing ? existing : name ? name : "");
        VKO_JSONObjSetItem(values, vname, v);
        VKO_Free(vname);
        v = NULL;

        e = reg_txn_commit(&t);
    }

    reg_txn_end(&t);
    VKO_JSONDestroy(&v);

    return e;
}

int32_t reg_delete_value(RegKey *key, const char *name) {
    RegKey k;
    if (!reg_resolve(key, &k)) return REG_ERROR_INVALID_HANDLE;
    if (!(k.access & REG_KEY_SET_VALUE)) return REG_ERROR_ACCESS_DENIED;

    reg_txn t;
    int32_t e = reg_txn_begin(&k, &t);

    if (e == REG_ERROR_SUCCESS) {
        VKO_JSON *values = reg_find_key(t.doc, k.path);
        const char *existing = values ? reg_find_name(values, name ? name : "") : NULL;

        if (!existing) {
            e = REG_ERROR_FILE_NOT_FOUND;
        } else {
            char *vname = VKO_Strdup(existing);
            VKO_JSONObjSetItem(values, vname, NULL);
            VKO_Free(vname);
            e = reg_txn_commit(&t);
        }
    }

    reg_txn_end(&t);
    return e;
}

namespace {
// A child's name inside a key of the loaded document (not copied).
struct Child {
    const char *name;
    size_t len;
    size_t order;  // place in the document, so the first spelling wins
};

inline int fold(char c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : (unsigned char)c;
}

// Case-insensitive byte order (ASCII letters folded), as strcasecmp orders
// whole names in the C locale, whatever the process locale.
int child_compare(const Child &a, const Child &b) {
    size_t n = a.len < b.len ? a.len : b.len;
    for (size_t i = 0; i < n; i++) {
        int x = fold(a.name[i]), y = fold(b.name[i]);
        if (x != y) return x - y;
    }
    return a.len < b.len ? -1 : a.len > b.len ? 1 : 0;
}
}  // namespace

int32_t reg_enum_key(RegKey *key, uint32_t index, char *name, uint32_t size) {
    RegKey k;
    if (!reg_resolve(key, &k)) return REG_ERROR_INVALID_HANDLE;
    if (!name) return REG_ERROR_INVALID_PARAM;

    VKO_JSON *doc = NULL;
    int32_t e = reg_load_hive(&k, &doc);
    if (e != REG_ERROR_SUCCESS) return e;

    // Direct children: the component after "<path>\" of every deeper key,
    // sorted once; names that differ only in case then sit side by side and
    // the first written stays. One pass and one sort, whatever the count.
    size_t plen = strlen(k.path);
    std::vector<Child> kids;
    uint64_t it = 0;
    const char *p = NULL;

    while (VKO_JSONObjGetNextKey(doc, &it, &p)) {
        const char *rest = p;
        if (plen > 0) {
            if (strncasecmp(p, k.path, plen) != 0 || p[plen] != '\\') continue;
            rest = p + plen + 1;
        }

        size_t n = strcspn(rest, "\\");
        if (n > 0) kids.push_back({rest, n, kids.size()});
    }

    std::sort(kids.begin(), kids.end(), [](const Child &a, const Child &b) {
        int c = child_compare(a, b);
        return c != 0 ? c < 0 : a.order < b.order;
    });
    kids.erase(std::unique(kids.begin(), kids.end(),
                           [](const Child &a, const Child &b) { return child_compare(a, b) == 0; }),
               kids.end());

    if (index >= kids.size()) {
        e = REG_ERROR_NO_MORE_ITEMS;
    } else if (kids[index].len + 1 > size) {
        e = REG_ERROR_MORE_DATA;
    } else {
        memcpy(name, kids[index].name, kids[index].len);
        name[kids[index].len] = '\0';
    }

    VKO_JSONDestroy(&doc);

    return e;
}
