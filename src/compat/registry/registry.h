// File-backed registry: stands in for the Windows registry calls the library
// makes (open the machine or the current user's hive, read, write and delete
// values, list subkeys). Each hive is one JSON file under the machine root
// ("var/lib/zarvek/registry/HKLM.json" and "HKU/<uid>.json"), holding
// {key path: {value name: {"type": n, "data": ...}}}. Key and value names
// compare ASCII case-insensitively, string data is exchanged as UTF-16 with
// sizes in bytes as on Windows, and every write re-reads and replaces the
// file (temporary file, then rename) under an exclusive lock on a side lock
// file, because host and client processes write the same hive.
#pragma once

#include <cstdint>

typedef struct RegKey RegKey;

// Predefined roots, usable as a parent in reg_open_key / reg_create_key.
#define REG_HKEY_CURRENT_USER ((RegKey *)(uintptr_t)0x80000001u)
#define REG_HKEY_LOCAL_MACHINE ((RegKey *)(uintptr_t)0x80000002u)

// Value types
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

// Access rights (the WOW64 view flags are accepted and ignored)
#define REG_KEY_QUERY_VALUE 0x0001u
#define REG_KEY_SET_VALUE 0x0002u
#define REG_KEY_ENUMERATE_SUB_KEYS 0x0008u
#define REG_KEY_READ 0x20019u
#define REG_KEY_WRITE 0x20006u
#define REG_KEY_ALL_ACCESS 0xF003Fu
#define REG_KEY_WOW64_64KEY 0x0100u
#define REG_KEY_WOW64_32KEY 0x0200u

// Results (Windows error numbers)
#define REG_ERROR_SUCCESS 0
#define REG_ERROR_FILE_NOT_FOUND 2
#define REG_ERROR_ACCESS_DENIED 5
#define REG_ERROR_INVALID_HANDLE 6
#define REG_ERROR_INVALID_PARAM 87
#define REG_ERROR_MORE_DATA 234
#define REG_ERROR_NO_MORE_ITEMS 259

// The current user's hive (the impersonated user when one is set).
int32_t reg_open_current_user(uint32_t access, RegKey **out);

// Opens an existing key; subkey may be NULL or "" for the parent itself.
int32_t reg_open_key(RegKey *parent, const char *subkey, uint32_t access, RegKey **out);

// Opens a key, creating it and its missing ancestors.
int32_t reg_create_key(RegKey *parent, const char *subkey, uint32_t access, RegKey **out);

// Reads a value. data may be NULL to ask the size. *size is in bytes: on
// entry the buffer size, on return the bytes written or needed (MORE_DATA).
// Strings come back as UTF-16 with their terminator.
int32_t reg_query_value(RegKey *key, const char *name, uint32_t *type, void *data, uint32_t *size);

// Writes a value; strings are given as UTF-16 bytes (a terminator within
// size ends the text; REG_MULTI_SZ is a list of terminated strings).
int32_t reg_set_value(RegKey *key, const char *name, uint32_t type, const void *data, uint32_t size);

int32_t reg_delete_value(RegKey *key, const char *name);

// Name of the index-th direct subkey (case-insensitive order) as UTF-8.
int32_t reg_enum_key(RegKey *key, uint32_t index, char *name, uint32_t size);

int32_t reg_close_key(RegKey *key);

// Stand-in for thread impersonation: selects whose hive the current-user
// calls open on this thread; a negative uid returns to the process's user.
void reg_set_thread_user(int64_t uid);
int64_t reg_get_thread_user(void);
