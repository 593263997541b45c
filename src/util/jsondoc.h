// Arena JSON writer: documents are built node by node in one growable buffer
// and printed with object members sorted by key. Handles are offsets, so they
// stay valid when the buffer moves; when an array's slots or an object's table
// grow, the old nodes become forwarding references to their new places, so
// handles taken earlier still reach them. Separate from the platform's JSON
// values: this builds the gamepad documents and the crash report.
//
// A reference node either forwards (made by growth: the node now lives
// elsewhere) or links (made by json_set_reference: the slot stands for
// another node). Reading and adding into containers follows both; setting a
// scalar or a link follows only forwarding ones, so it replaces the slot's
// content and never writes through a link into the node it points at.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/textbuf.h"

enum : uint8_t {
    JSON_NULL = 0,
    JSON_BOOL = 1,
    JSON_STRING = 2,
    JSON_UINT = 3,
    JSON_NUMBER = 4,
    JSON_ARRAY = 5,
    JSON_OBJECT = 6,
    JSON_DELETED = 7,
    JSON_REFERENCE = 8,
};

#define JSON_DOC_NO_SORT 4u            // JsonDoc flag: print members in table order
#define JSON_DOC_INITIAL_SIZE 16384u   // bytes of a new document's buffer
#define JSON_DOC_MAX_SIZE 0x80000000u  // the buffer never grows beyond this
#define JSON_TABLE_MIN 256u            // smallest object table
#define JSON_ARRAY_MIN 64u             // smallest array growth
#define JSON_REFERENCE_LIMIT 16u       // longest reference chain followed
#define JSON_DEPTH_LIMIT 1000u         // deepest nesting the printer follows
#define JSON_KEY_STRING 2u             // object key kind

struct JsonDoc {
    uint8_t *buf;
    uint32_t capacity;  // bytes
    uint32_t used;      // bytes
    uint8_t flags;      // JSON_DOC_*
};

struct JsonHandle {
    JsonDoc *doc;
    uint32_t offset;
};

// 16 bytes, 8-byte aligned in the buffer.
struct JsonNode {
    uint8_t kind;
    uint8_t sub;  // boolean value; object key kind; reference: 1 forwards, 0 links
    uint8_t pad[2];
    uint32_t a;  // string text; array slots; object table; reference target
    union {
        struct {
            uint32_t b;  // string hash; array or table capacity
            uint32_t c;  // string length; array or object count
        };
        uint64_t u;
        double d;
    };
};
static_assert(sizeof(JsonNode) == 16);

// Allocates the header and its buffer; the root (null) is at offset 0.
bool json_doc_new(JsonHandle *out);
void json_doc_free(JsonDoc **doc);
bool json_doc_alloc(JsonHandle h, uint32_t size, uint32_t alignment, uint32_t *out_offset);
// The node a handle stands for after every reference, or null.
JsonNode *json_node_deref(JsonHandle h);

// djb2 over the bytes as signed chars, 32-bit wrap.
uint32_t json_hash(const char *text, uint32_t length);

bool json_set_string(JsonHandle h, const char *text, uint32_t length, uint32_t hash);
bool json_set_null(JsonHandle h);
bool json_set_bool(JsonHandle h, bool value);
bool json_set_uint(JsonHandle h, uint64_t value);
bool json_set_number(JsonHandle h, double value);
// The slot becomes a link to target (same document).
bool json_set_reference(JsonHandle h, JsonHandle target);

bool json_reserve(JsonHandle array, uint32_t count);
bool json_array_set(JsonHandle h, uint32_t index, JsonHandle *out);
void json_make_object(JsonHandle *out, JsonHandle h);
void json_make_array(JsonHandle *out, JsonHandle h);
bool json_object_set(JsonHandle object, const char *key, JsonHandle *out);
bool json_object_find(JsonHandle object, const char *key, uint32_t length, uint32_t hash,
                      uint32_t *out_index);

// Appends the node's JSON text; false on a broken document (what was
// appended then is not valid JSON).
bool json_serialize(TextBuffer *tb, JsonHandle h);
