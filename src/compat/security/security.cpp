#include "compat/security/security.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<const SecBackend *> g_backend{nullptr};

// Opens the object itself, never what a link points at.
int open_nofollow(const char *path, struct stat *st) {
    int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -errno;
    if (fstat(fd, st) != 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    if (S_ISLNK(st->st_mode)) {
        close(fd);
        return -ELOOP;
    }
    return fd;
}

// Path of an open descriptor through /proc, usable by chmod/chown even for an
// O_PATH descriptor; the magic link always names the opened object.
void fd_path(int fd, char *buf, size_t size) {
    snprintf(buf, size, "/proc/self/fd/%d", fd);
}

mode_t mask_bits(uint32_t mask, bool dir, mode_t old_x) {
    mode_t b = 0;
    bool all = (mask & SEC_GENERIC_ALL) || (mask & SEC_ALL_ACCESS) == SEC_ALL_ACCESS;
    if (all || (mask & (SEC_GENERIC_READ | 0x1u))) b |= 4;
    if (all || (mask & (SEC_GENERIC_WRITE | 0x2u))) b |= 2;
    if (dir) {
        if (b & 4) b |= 1;  // listing a folder needs traversal
    } else if (mask & SEC_GENERIC_EXECUTE) {
        b |= 1;
    } else if (b) {
        b |= old_x;  // file execute bits are not ours to change
    }
    return b;
}

void sid_of(const char *prefix, unsigned id, char *out, size_t size) {
    snprintf(out, size, "%s%u", prefix, id);
}

int linux_get_dacl(const char *path, SecAcl *out) {
    struct stat st;
    int fd = open_nofollow(path, &st);
    if (fd < 0) return -fd;
    close(fd);
    memset(out, 0, sizeof(*out));
    auto mask = [](mode_t bits) {
        uint32_t m = 0;
        if (bits & 4) m |= SEC_GENERIC_READ;
        if (bits & 2) m |= SEC_GENERIC_WRITE;
        if (bits & 1) m |= SEC_GENERIC_EXECUTE;
        if ((bits & 6) == 6) m = SEC_ALL_ACCESS;
        return m;
    };
    char sid[48];
    sid_of("S-1-22-1-", st.st_uid, sid, sizeof(sid));
    sec_acl_add(out, true, sid, mask((st.st_mode >> 6) & 7), false);
    sid_of("S-1-22-2-", st.st_gid, sid, sizeof(sid));
    sec_acl_add(out, true, sid, mask((st.st_mode >> 3) & 7), false);
    if (st.st_mode & 7) sec_acl_add(out, true, SEC_SID_EVERYONE, mask(st.st_mode & 7), false);
    return 0;
}

int linux_set_dacl(const char *path, const SecAcl *acl) {
    struct stat st;
    int fd = open_nofollow(path, &st);
    if (fd < 0) return -fd;
    bool dir = S_ISDIR(st.st_mode);
    char owner[48], group[48];
    sid_of("S-1-22-1-", st.st_uid, owner, sizeof(owner));
    sid_of("S-1-22-2-", st.st_gid, group, sizeof(group));
    mode_t cls[3] = {0, 0, 0};  // user, group, other
    mode_t deny[3] = {0, 0, 0};
    for (uint32_t i = 0; i < acl->count; i++) {
        const SecAce &a = acl->aces[i];
        int c = -1;
        if (strcmp(a.sid, owner) == 0 || strcmp(a.sid, SEC_SID_ADMINS) == 0)
            c = 0;
        else if (strcmp(a.sid, group) == 0)
            c = 1;
        else if (strcmp(a.sid, SEC_SID_EVERYONE) == 0)
            c = 2;
        if (c < 0) continue;
        mode_t old_x = (st.st_mode >> (6 - 3 * c)) & 1;
        mode_t b = mask_bits(a.mask, dir, old_x);
        if (a.allow)
            cls[c] |= b;
        else
            deny[c] |= b;
    }
    mode_t mode = st.st_mode & 07000;
    for (int c = 0; c < 3; c++) mode |= ((cls[c] & ~deny[c]) & 7) << (6 - 3 * c);
    char p[64];
    fd_path(fd, p, sizeof(p));
    int r = chmod(p, mode) == 0 ? 0 : errno;
    close(fd);
    return r;
}

int linux_set_owner_admins(const char *path) {
    struct stat st;
    int fd = open_nofollow(path, &st);
    if (fd < 0) return -fd;
    char p[64];
    fd_path(fd, p, sizeof(p));
    int r = chown(p, 0, (gid_t)-1) == 0 ? 0 : errno;
    close(fd);
    return r;
}

int linux_open_token(void **token) {
    static int self;
    *token = &self;
    return 0;
}

int linux_lookup_privilege(void) {
    return 0;
}

int linux_adjust_privilege(void *token, bool enable, bool *not_all_assigned) {
    (void)token;
    *not_all_assigned = false;
    __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &hdr, data) != 0) return errno;
    const uint32_t want = (1u << CAP_CHOWN) | (1u << CAP_FOWNER);
    if ((data[0].permitted & want) != want) {
        *not_all_assigned = true;
        return 0;
    }
    if (enable)
        data[0].effective |= want;
    else
        data[0].effective &= ~want;
    if (syscall(SYS_capset, &hdr, data) != 0) return errno;
    return 0;
}

const SecBackend kLinux = {linux_get_dacl,   linux_set_dacl,         linux_set_owner_admins,
                           linux_open_token, linux_lookup_privilege, linux_adjust_privilege};

}  // namespace

const SecBackend *sec_linux_backend(void) {
    return &kLinux;
}

const SecBackend *sec_backend(void) {
    const SecBackend *b = g_backend.load();
    return b ? b : &kLinux;
}

void sec_set_backend(const SecBackend *backend) {
    g_backend.store(backend);
}

bool sec_is_access_denied(int error) {
    return error == EACCES || error == EPERM;
}

bool sec_acl_add(SecAcl *acl, bool allow, const char *sid, uint32_t mask, bool inherited) {
    if (acl->count >= SEC_MAX_ACES) return false;
    SecAce &a = acl->aces[acl->count++];
    a = SecAce{};
    a.allow = allow ? 1 : 0;
    a.inherited = inherited ? 1 : 0;
    a.mask = mask;
    snprintf(a.sid, sizeof(a.sid), "%s", sid ? sid : "");
    return true;
}

bool sec_acl_grant_everyone(const SecAcl *old_acl, SecAcl *out) {
    SecAcl n = {};
    uint32_t i = 0;
    uint32_t count = old_acl ? old_acl->count : 0;
    for (; i < count && !old_acl->aces[i].inherited; i++) {
        const SecAce &a = old_acl->aces[i];
        if (strcmp(a.sid, SEC_SID_EVERYONE) == 0) continue;
        if (!sec_acl_add(&n, a.allow, a.sid, a.mask, false)) return false;
    }
    if (!sec_acl_add(&n, true, SEC_SID_EVERYONE, SEC_ALL_ACCESS, false)) return false;
    for (; i < count; i++) {
        const SecAce &a = old_acl->aces[i];
        if (!sec_acl_add(&n, a.allow, a.sid, a.mask, a.inherited)) return false;
    }
    uint16_t c = old_acl ? old_acl->control : 0;
    if (c & SEC_SE_DACL_AUTO_INHERITED)
        n.control = SEC_SE_DACL_AUTO_INHERIT_REQ | SEC_SE_DACL_AUTO_INHERITED;
    else if (c & SEC_SE_DACL_PROTECTED)
        n.control = SEC_SE_DACL_PROTECTED;
    *out = n;
    return true;
}
