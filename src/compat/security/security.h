// Stand-in for Windows file security (DACLs, owners, SeTakeOwnershipPrivilege).
// An access list is modelled as Windows has it (allow/deny entries by SID
// text, masks, inherited flags, descriptor control bits) and the Linux back-end
// maps it onto mode bits, the file owner and the CAP_CHOWN/CAP_FOWNER
// capabilities: the owner is "S-1-22-1-<uid>", the group "S-1-22-2-<gid>",
// Everyone (S-1-1-0) the "other" class and Administrators (S-1-5-32-544) the
// owner class (making Administrators the owner makes root the owner). Every operation works on a descriptor
// opened with O_NOFOLLOW, so a link planted at a path is never followed.
// Tests can install a back-end of their own to make any step fail.
#pragma once

#include <cstddef>
#include <cstdint>

#define SEC_SID_EVERYONE "S-1-1-0"
#define SEC_SID_ADMINS "S-1-5-32-544"

#define SEC_ALL_ACCESS 0x1FFFFFu
#define SEC_GENERIC_READ 0x80000000u
#define SEC_GENERIC_WRITE 0x40000000u
#define SEC_GENERIC_EXECUTE 0x20000000u
#define SEC_GENERIC_ALL 0x10000000u

#define SEC_SE_DACL_AUTO_INHERIT_REQ 0x0100u
#define SEC_SE_DACL_AUTO_INHERITED 0x0400u
#define SEC_SE_DACL_PROTECTED 0x1000u

#define SEC_ERROR_ACCESS_DENIED 5
#define SEC_ERROR_NOT_ALL_ASSIGNED 1300

#define SEC_MAX_ACES 32

struct SecAce {
    uint8_t allow;      // 1 allow, 0 deny
    uint8_t inherited;  // inherited from the parent folder
    uint32_t mask;
    char sid[48];
};

struct SecAcl {
    uint16_t control;  // descriptor control flags
    uint32_t count;
    SecAce aces[SEC_MAX_ACES];
};

// Back-end calls return 0 on success or the error number to log (errno on
// Linux). Access refusals are EACCES or EPERM.
struct SecBackend {
    int (*get_dacl)(const char *path, SecAcl *out);
    int (*set_dacl)(const char *path, const SecAcl *acl);
    int (*set_owner_admins)(const char *path);
    int (*open_token)(void **token);
    int (*lookup_privilege)(void);
    // Sets *not_all_assigned when the privilege is not held at all.
    int (*adjust_privilege)(void *token, bool enable, bool *not_all_assigned);
};

const SecBackend *sec_backend(void);
const SecBackend *sec_linux_backend(void);
void sec_set_backend(const SecBackend *backend);  // null restores the Linux back-end

bool sec_is_access_denied(int error);

// The DACL rebuild of "grant Everyone all access": explicit entries other than
// Everyone's up to the first inherited one, then Everyone allowed everything,
// then the inherited entries; control flags carried over. False when the
// result would not fit.
bool sec_acl_grant_everyone(const SecAcl *old_acl, SecAcl *out);

bool sec_acl_add(SecAcl *acl, bool allow, const char *sid, uint32_t mask, bool inherited);
