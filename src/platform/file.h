// Files and system services: UTF-8 wrappers over POSIX files, folders, lock
// files, shared objects, the platform report and crash handling. Text results
// live in the calling thread's scratch ring unless said otherwise. Failures
// are logged and returned as NULL/false; nothing here ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Platform code: kind in the top byte, major in bits 8-15, minor in bits 0-7.
#define VKO_PLATFORM_WINDOWS 0x01000000u
#define VKO_PLATFORM_MACOS 0x02000000u
#define VKO_PLATFORM_ANDROID 0x04000000u
#define VKO_PLATFORM_LINUX 0x08000000u
#define VKO_PLATFORM_WEB 0x10000000u
#define VKO_PLATFORM_IOS 0x20000000u
#define VKO_PLATFORM_TVOS 0x40000000u

// VKO_GetDir kinds
#define VKO_DIR_CURRENT 0
#define VKO_DIR_APPDATA 1       // roaming application data
#define VKO_DIR_PROGRAMS 2      // program files
#define VKO_DIR_PROGRAM_DATA 3  // machine-wide program data

// VKO_LockFileCreate modes
#define VKO_FILE_MODE_READ 0
#define VKO_FILE_MODE_WRITE 1

// Environment: machine root (default "/") under which machine-wide folders,
// the registry files and the machine key live, so tests run in a temporary
// folder; and a folder searched first by the module loader.
#define VKO_ENV_SYSROOT "ZARVEK_SYSROOT"
#define VKO_ENV_SO_PATH "ZARVEK_SO_PATH"
#define VKO_ENV_URL_OPENER "ZARVEK_URL_OPENER"

typedef struct VKO_LockFile VKO_LockFile;

struct VKO_DirEntry {
    char *path;  // heap
    char *name;  // heap
    bool is_dir;
};

struct VKO_DirList {
    VKO_DirEntry *entries;
    uint32_t len;
};

typedef void (*VKO_CrashFunc)(bool terminate, void *opaque);

// Files
void *VKO_ReadFile(const char *path, size_t *size);
bool VKO_WriteFile(const char *path, const void *buf, size_t size);
bool VKO_WriteTextFile(const char *path, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
bool VKO_AppendTextToFile(const char *path, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
FILE *fsutil_open(const char *path, const char *mode);
bool VKO_DeleteFile(const char *path);
bool VKO_FileExists(const char *path);
bool VKO_MoveFile(const char *from, const char *to);

// Files that hold settings or identity. A write replaces the whole file through
// its own temporary file in the same folder: written, flushed, given the old
// file's mode and owner, renamed over the file, then the folder is flushed, so
// a crash leaves the old or the new file, never a mix. A link, even one whose
// target is missing, is written where it points. Writers of one file are
// serialised within the process, keyed by the resolved path.
bool vko_file_write_atomic(const char *path, const void *data, size_t size);
// Holds a file's writer lock across a read, change and write (the write may be
// made inside); re-entrant on one thread.
typedef struct VKO_FileGuard VKO_FileGuard;
VKO_FileGuard *vko_file_guard_acquire(const char *path);
void vko_file_guard_release(VKO_FileGuard **guard);
// Heap text: the path with every link followed (a dangling last link gives its
// target) and the folder made absolute; NULL when the folder does not exist.
char *vko_file_resolve(const char *path);
VKO_LockFile *VKO_LockFileCreate(const char *path, uint32_t mode);
void VKO_LockFileDestroy(VKO_LockFile **lock);
VKO_DirList *VKO_ListDirectory(const char *path, const char *filter);
void VKO_DirectoryListDestroy(VKO_DirList **list);
const char *VKO_GetDir(uint32_t kind);
const char *VKO_JoinPath(const char *a, const char *b);
const char *VKO_GetPathPrefix(const char *path);
const char *VKO_GetFileExtension(const char *path);

// System
const char *VKO_GetHostname(void);
const char *VKO_GetProcessPath(void);
uint32_t VKO_GetPlatform(void);
const char *VKO_GetPlatformString(uint32_t platform);
bool VKO_GetRunOnStartup(const char *name);
bool VKO_SetRunOnStartup(const char *name, const char *path, const char *args);
bool VKO_HandleProtocol(const char *uri, void *token);
// Starts argv[0] (searched in PATH, never through a shell) without waiting;
// a thread reaps it. 0 or the spawn's error number.
int VKO_SpawnReaped(const char *const argv[]);
void VKO_OpenConsole(const char *title);
void VKO_HideConsole(void);
void *VKO_SOLoad(const char *path);
void *VKO_SOGetSymbol(void *so, const char *name);
void VKO_SOUnload(void **so);
const char *VKO_GetSOExtension(void);
void VKO_SetCrashFunc(VKO_CrashFunc func, void *opaque);

// Linux mapping helpers
const char *vko_machine_root(void);             // scratch; no trailing '/' except for "/"
const char *vko_machine_path(const char *rel);  // scratch; <root>/<rel>
const char *vko_so_map_name(const char *name);  // Linux name for a Windows module name, or name
