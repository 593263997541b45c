// JSON values: a tree of items with a parser, a compact and a pretty writer,
// and typed getters and constructors. The text form (member order, number
// form, escapes, indentation) is shared by every file and message the system
// writes, so it must not change.
#pragma once

#include <cstddef>
#include <cstdint>

enum VKO_JSONType : uint32_t {
    VKO_JSON_TYPE_NULL = 0,
    VKO_JSON_TYPE_BOOL = 1,
    VKO_JSON_TYPE_NUMBER = 2,
    VKO_JSON_TYPE_STRING = 3,
    VKO_JSON_TYPE_ARRAY = 4,
    VKO_JSON_TYPE_OBJECT = 5,
};

struct VKO_JSON;

// Object member: objects keep their members in the order they are written
// (bucket DJB2(name) % 64, then entry order within the bucket; a removed
// member leaves a hole that the next insertion into its bucket reuses).
struct VKO_JSONMember {
    char *key;       // NULL for a hole
    uint32_t hash;   // DJB2 of the key
    uint32_t flags;  // internal
    VKO_JSON *value;
};

// One item. Owned by its parent once attached, else by the caller. Read the
// type directly; use the functions below for everything else.
struct VKO_JSON {
    VKO_JSONType type;
    uint8_t state;  // parser: 0 opened, 1 after ',', 2 after name, 3 after ':', 4 after value
    uint8_t flags;  // internal
    VKO_JSON *parent;
    union {
        bool b;                   // bool
        uint8_t integral;         // number
        char *str;                // string
        VKO_JSON **items;         // array
        VKO_JSONMember *members;  // object
    } value;
    union {
        double num;  // number
        struct {
            uint32_t len, cap;
        } arr;  // array slots; object members (holes included)
    } value2;
    uint32_t cursor;  // walk cursor, 0 between walks
};

VKO_JSON *VKO_JSONParse(const char *text);
VKO_JSON *VKO_JSONReadFile(const char *path);
char *VKO_JSONSerialize(const VKO_JSON *item);
bool VKO_JSONWriteFile(const char *path, const VKO_JSON *item);
// The same pretty form, written as a settings file (vko_file_write_atomic).
bool vko_json_write_atomic(const char *path, const VKO_JSON *item);
VKO_JSON *VKO_JSONDuplicate(const VKO_JSON *item);
void VKO_JSONDestroy(VKO_JSON **item);

VKO_JSON *VKO_JSONNullCreate(void);
VKO_JSON *VKO_JSONBoolCreate(bool value);
VKO_JSON *VKO_JSONNumberCreate(double value);
VKO_JSON *VKO_JSONIntCreate(int32_t value);
VKO_JSON *VKO_JSONStringCreate(const char *value);
VKO_JSON *VKO_JSONArrayCreate(uint32_t n);
VKO_JSON *VKO_JSONObjCreate(void);

VKO_JSON *VKO_JSONArrayGetItem(const VKO_JSON *array, uint32_t index);
uint32_t VKO_JSONGetLength(const VKO_JSON *item);
bool VKO_JSONArraySetItem(VKO_JSON *array, uint32_t index, VKO_JSON *item);
VKO_JSON *VKO_JSONObjGetItem(const VKO_JSON *obj, const char *name);
bool VKO_JSONObjSetItem(VKO_JSON *obj, const char *name, VKO_JSON *item);
bool VKO_JSONObjGetNextKey(const VKO_JSON *obj, uint64_t *iter, const char **name);

bool VKO_JSONToBool(const VKO_JSON *item, bool *value);
bool VKO_JSONToFloat(const VKO_JSON *item, float *value);
bool VKO_JSONToInt(const VKO_JSON *item, int32_t *value);
bool VKO_JSONToInt16(const VKO_JSON *item, int16_t *value);
const char *VKO_JSONGetString(const VKO_JSON *item);
bool VKO_JSONToString(const VKO_JSON *item, char *buf, size_t size);
