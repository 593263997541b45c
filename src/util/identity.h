// Data folders and identity files: the checks the start-up code uses to
// choose the data directory, and the two small files kept sealed with the
// machine-scope data protection: "user.bin" (the saved login session, in the
// data directory) and "devid.bin" (the device id, in the machine-wide
// "ZarvekPersistent" folder under the program-data folder).
//
// On Linux: links are read with lstat/readlink; the persistent folder is
// mode 0755 (nobody else may add or replace files in it); identity files are
// replaced whole through a private temporary file (never through a link found
// at the name), get their access rights on the opened descriptor, and are
// read with O_NOFOLLOW. The older scrambled form of the identity files is
// neither read nor written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compat/security/security.h"

struct VKO_JSON;

#define APPDATA_MANIFEST "appdata.json"
#define APPDATA_SETUP "setup.json"
#define APPDATA_PERSISTENT "ZarvekPersistent"
#define APPDATA_FOLDER "Zarvek"
#define APPDATA_PATH_MAX 1280      // characters of a canonical path
#define APPDATA_LINK_BUFFER 16384  // bytes of a link's target
#define APPDATA_LINK_LIMIT 40      // links followed in one walk
#define APPDATA_SO_NAME_MAX 255
#define APPDATA_HASH_MAX 64
#define APPDATA_FILE_MAX 65536  // largest manifest, setup or identity file read
#define APPDATA_FOLDER_MODE 0755
#define IDENTITY_FILE_MODE 0666  // Everyone may read and write the sealed bytes

#define IDENTITY_USER_FILE "user.bin"
#define IDENTITY_DEVICE_FILE "devid.bin"
#define IDENTITY_SESSION_SIZE 65  // session id of at most 64 characters and its zero
#define IDENTITY_DEVICE_ID_SIZE 36
#define IDENTITY_NO_SESSION (-1100)
#define IDENTITY_LOCK_WAIT_MS 10000  // longest wait for another process's device-id walk

// The shared-access descriptor: one entry granting Everyone every right,
// not inherited by child processes.
struct AppdataSecurity {
    SecAcl acl;
    bool inherit_handle;
};

// Heap texts (VKO_Free); null on failure.
char *appdata_canonical_path(const char *path);
char *appdata_read_link(const char *path);
bool appdata_check_manifest(const char *directory);
// Writes the manifest of directory/so_name (its SHA-256), replacing the file whole.
bool appdata_write_manifest(const char *directory, const char *so_name);
// The APPDATA variable, or "" (the calling thread's scratch).
const char *appdata_env_path(void);
bool appdata_use_program_data(void);
bool appdata_shared_access(AppdataSecurity *out);
bool appdata_create_persistent_dir(void);
bool appdata_create_persistent_file(const char *name);

bool identity_write_file(const char *text, const char *directory, const char *name, bool prepare);
VKO_JSON *identity_read_protected(const char *directory, const char *name, bool prepare);
bool identity_write_protected(const char *directory, const char *name, const VKO_JSON *value, bool prepare);
int32_t identity_read_session(const char *directory, char out[IDENTITY_SESSION_SIZE]);
// Valid on the calling thread until its next call.
const char *identity_get_device_id(const char *data_directory);
