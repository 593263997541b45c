// Small services used across the program: file access rights, the fatal exit,
// the proxy address, the operating-system version test, device-node status,
// finding a process by executable name, a bounded UTF-16 to UTF-8 conversion,
// forced thread termination and the fixed user set. Paths are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

struct VKO_Thread;

// Access rights (see compat/security for the mapping onto mode bits).
bool util_set_privilege(void *token, bool enable);
bool util_take_ownership(const char *path);
bool util_change_permissions_everyone(const char *path);
bool util_change_permissions_everyone_fd(int fd);  // same rule on an opened file
void util_apply_permissions_tree(const char *folder);

[[noreturn]] void util_logfatal(const char *file, int32_t line, const char *text);

// Proxy address: one process-wide text of 1024 bytes; empty means none.
#define PROXY_ADDRESS_SIZE 1024
void proxy_configure(const char *scheme, const char *address, const char *path, uint32_t port);
void proxy_get(char *out, size_t size);  // a consistent copy for the HTTP clients

// True on this system (a current Linux kernel stands for "Windows 8 or later");
// the override (-1 none, 0 false, 1 true) is for tests.
bool winutil_is_win8_or_greater(void);
void winutil_set_version_override(int value);
// The running kernel's version from uname.
bool winutil_os_version(uint32_t *major, uint32_t *minor);

// Device-node status codes.
enum : uint32_t {
    DEVNODE_STATUS_PRESENT = 0,
    DEVNODE_STATUS_NOT_FOUND = 1,
    DEVNODE_STATUS_RUNNING = 2,
    DEVNODE_STATUS_PROBLEM = 3,
    DEVNODE_STATUS_DISABLED = 4,
    DEVNODE_STATUS_FAILED = 5,
    DEVNODE_STATUS_RESTART = 6,
    DEVNODE_STATUS_SERVICE_DISABLED = 7,
};
#define DEVNODE_CLASS_DISPLAY "{4d36e968-e325-11ce-bfc1-08002be10318}"
#define DEVNODE_CLASS_USB "{36fc9e60-c465-11cf-8056-444553540000}"
#define DEVNODE_ID_VDA "Root\\Zarvek\\VDA"
#define DEVNODE_ID_VUSBA "Root\\Zarvek\\VUSBA"

bool winutil_device_node_status(const char *class_guid, const char *hardware_id, uint32_t n, uint32_t *out);
uint32_t winutil_devnode_map_status(bool driver_loaded, bool started, bool has_problem, uint32_t problem);

uint32_t winutil_find_process_id(const char *name);  // 0xFFFFFFFF when none

#define TEXT_UTF16_TO_UTF8_SIZE 128
bool text_utf16_to_utf8(char out[TEXT_UTF16_TO_UTF8_SIZE], const char16_t *in);

#define THREAD_FORCE_DESTROY_MS 60000
void *thread_ext_force_destroy(VKO_Thread *thread);
void *thread_ext_force_destroy_timeout(VKO_Thread *thread, int32_t timeout_ms);  // tests

#define USER_LIST_COUNT 43
bool user_is_listed(uint32_t user_id);
