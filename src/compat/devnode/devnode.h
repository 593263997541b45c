// Stand-in for the Windows device-node tree (SetupDi class listing, the
// hardware-id property and CM_Get_DevNode_Status). No such devices exist on
// this system: the table is a JSON file, "devices.json" under the machine
// root, that the virtual-driver stand-ins write and the status checks read.
// A failing enumeration can be injected for tests.
#pragma once

#include <cstdint>

#define DEVNODE_REG_SZ 1u
#define DEVNODE_REG_EXPAND_SZ 2u
#define DEVNODE_REG_MULTI_SZ 7u
#define DEVNODE_MAX_IDS 8
#define DEVNODE_ID_SIZE 128

struct DevNodeRecord {
    char class_guid[64];
    uint32_t hwid_type;  // registry type of the hardware-id property
    uint32_t hwid_count;
    char hwids[DEVNODE_MAX_IDS][DEVNODE_ID_SIZE];
    uint8_t present;
    uint8_t driver_loaded;
    uint8_t started;
    uint8_t has_problem;
    uint32_t problem;
};

// Devices of a class (only present ones when asked), as a new array.
bool devnode_list(const char *class_guid, bool present_only, DevNodeRecord **out, uint32_t *count);
void devnode_list_free(DevNodeRecord **list);

// Adds a device, or replaces the one of the same class and first hardware id.
bool devnode_put(const DevNodeRecord *record);
bool devnode_remove(const char *class_guid, const char *first_hwid);

// Path of the table file; tests may point it elsewhere (null restores).
const char *devnode_table_path(void);
void devnode_set_table_path(const char *path);
void devnode_fail_enumeration(bool fail);
