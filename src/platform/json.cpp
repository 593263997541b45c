#include "platform/json.h"

#include <charconv>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"

// Item flags
#define JF_ARENA 0x01       // the item lives in a parse arena
#define JF_OWNS_ARENA 0x02  // first item of its arena: the arena goes with it
#define JF_HEAP_DATA 0x04   // text, slots or members are on the heap
#define JF_MIXED 0x08       // on an arena owner: heap parts were attached below it

// Member flags
#define MF_HEAP_KEY 0x01

#define JSON_BUCKETS 64u

static uint32_t json_bucket(uint32_t hash) {
    return hash % JSON_BUCKETS;
}

// Parse arena: a parsed tree is carved out of a few large blocks, so parsing
// costs no allocation per item and destroying an untouched tree frees a
// handful of blocks. The arena header sits just before the first item.

namespace {

struct json_chunk {
    json_chunk *next;
};

struct json_arena {
    json_chunk *head;
    char *ptr;
    char *end;
    size_t next_size;
};

}  // namespace

#define ARENA_HDR ((sizeof(json_chunk) + sizeof(json_arena) + 7) & ~(size_t)7)

static json_arena *json_arena_create(size_t first) {
    // Not zeroed: every item is initialised when it is carved out.
    json_chunk *c = (json_chunk *)VKO_Realloc(NULL, 1, ARENA_HDR + first);
    c->next = NULL;

    json_arena *a = (json_arena *)(c + 1);
    a->head = c;
    a->ptr = (char *)c + ARENA_HDR;
    a->end = a->ptr + first;
    a->next_size = first * 2;

    return a;
}

static void *json_arena_alloc(json_arena *a, size_t n) {
    n = (n + 7) & ~(size_t)7;

    if ((size_t)(a->end - a->ptr) < n) {
        size_t size = a->next_size > n ? a->next_size : n;
        json_chunk *c = (json_chunk *)VKO_Realloc(NULL, 1, sizeof(json_chunk) + 8 + size);
        c->next = a->head;
        a->head = c;
        a->ptr = (char *)c + ((sizeof(json_chunk) + 7) & ~(size_t)7);
        a->end = a->ptr + size;
        if (a->next_size < ((size_t)16 << 20)) a->next_size *= 2;
    }

    void *p = a->ptr;
    a->ptr += n;

    return p;
}

static void json_arena_free(json_arena *a) {
    json_chunk *c = a->head;
    while (c) {
        json_chunk *next = c->next;
        VKO_Free(c);
        c = next;
    }
}

static json_arena *json_arena_of(VKO_JSON *owner) {
    return (json_arena *)((char *)owner - ARENA_HDR + sizeof(json_chunk));
}

// Item creation and destruction

static VKO_JSON *json_new(VKO_JSONType type) {
    VKO_JSON *j = (VKO_JSON *)VKO_Alloc(1, sizeof(VKO_JSON));
    j->type = type;
    j->flags = JF_HEAP_DATA;
    return j;
}

static void json_free_one(VKO_JSON *j) {
    if (j->type == VKO_JSON_TYPE_OBJECT)
        for (uint32_t i = 0; i < j->value2.arr.len; i++)
            if (j->value.members[i].flags & MF_HEAP_KEY) VKO_Free(j->value.members[i].key);

    if (j->flags & JF_HEAP_DATA) {
        switch (j->type) {
            case VKO_JSON_TYPE_STRING:
                VKO_Free(j->value.str);
                break;
            case VKO_JSON_TYPE_ARRAY:
                VKO_Free(j->value.items);
                break;
            case VKO_JSON_TYPE_OBJECT:
                VKO_Free(j->value.members);
                break;
            default:
                break;
        }
    }

    if (j->flags & JF_OWNS_ARENA)
        json_arena_free(json_arena_of(j));
    else if (!(j->flags & JF_ARENA))
        VKO_Free(j);
}

// An arena owner with nothing of the heap below it goes in one step.
static bool json_free_whole_arena(VKO_JSON *j) {
    if ((j->flags & (JF_OWNS_ARENA | JF_MIXED)) != JF_OWNS_ARENA) return false;

    json_arena_free(json_arena_of(j));
    return true;
}

// Frees a whole tree without recursion: descend through the per-item
// cursors, free a container once its cursor has passed every child, climb
// through the parent pointer.
static void json_free_tree(VKO_JSON *root) {
    if (!root || json_free_whole_arena(root)) return;

    VKO_JSON *j = root;

    while (j) {
        VKO_JSON *child = NULL;

        if (j->type == VKO_JSON_TYPE_ARRAY) {
            while (!child && j->cursor < j->value2.arr.len) child = j->value.items[j->cursor++];

        } else if (j->type == VKO_JSON_TYPE_OBJECT) {
            while (!child && j->cursor < j->value2.arr.len) child = j->value.members[j->cursor++].value;
        }

        if (child) {
            if (!json_free_whole_arena(child)) j = child;
            continue;
        }

        VKO_JSON *parent = j == root ? NULL : j->parent;
        json_free_one(j);
        j = parent;
    }
}

// Destroys a value that a container is dropping, bypassing the child check.
static void json_destroy_detached(VKO_JSON *j) {
    if (!j) return;

    j->parent = NULL;
    json_free_tree(j);
}

void VKO_JSONDestroy(VKO_JSON **item) {
    if (!item || !*item) return;

    if ((*item)->parent) {
        VKO_Log("VKO_JSONDestroy", "Attempted to destroy child item");
        return;
    }

    json_free_tree(*item);
    *item = NULL;
}

VKO_JSON *VKO_JSONNullCreate(void) {
    return json_new(VKO_JSON_TYPE_NULL);
}

VKO_JSON *VKO_JSONBoolCreate(bool value) {
    VKO_JSON *j = json_new(VKO_JSON_TYPE_BOOL);
    j->value.b = value;
    return j;
}

VKO_JSON *VKO_JSONNumberCreate(double value) {
    VKO_JSON *j = json_new(VKO_JSON_TYPE_NUMBER);
    j->value2.num = std::isfinite(value) ? value : 0.0;
    return j;
}

VKO_JSON *VKO_JSONIntCreate(int32_t value) {
    VKO_JSON *j = json_new(VKO_JSON_TYPE_NUMBER);
    j->value.integral = 1;
    j->value2.num = value;
    return j;
}

VKO_JSON *VKO_JSONStringCreate(const char *value) {
    VKO_JSON *j = json_new(VKO_JSON_TYPE_STRING);
    j->value.str = VKO_Strdup(value ? value : "");
    return j;
}

VKO_JSON *VKO_JSONArrayCreate(uint32_t n) {
    VKO_JSON *j = json_new(VKO_JSON_TYPE_ARRAY);
    if (n > 0) j->value.items = (VKO_JSON **)VKO_Alloc(n, sizeof(VKO_JSON *));
    j->value2.arr.len = n;
    j->value2.arr.cap = n;
    return j;
}

VKO_JSON *VKO_JSONObjCreate(void) {
    return json_new(VKO_JSON_TYPE_OBJECT);
}

// Getters and setters

VKO_JSON *VKO_JSONArrayGetItem(const VKO_JSON *array, uint32_t index) {
    if (!array || array->type != VKO_JSON_TYPE_ARRAY || index >= array->value2.arr.len) return NULL;

    return array->value.items[index];
}

uint32_t VKO_JSONGetLength(const VKO_JSON *item) {
    if (!item || item->type != VKO_JSON_TYPE_ARRAY) return 0;

    return item->value2.arr.len;
}

// An item may only be attached when it has no parent and is not the container
// itself or one of its ancestors (that would make a cycle no walk ends).
static bool json_can_attach(const VKO_JSON *container, const VKO_JSON *item) {
    if (!item) return true;

    if (item->parent) return false;

    for (const VKO_JSON *p = container; p; p = p->parent)
        if (p == item) return false;

    return true;
}

// Heap parts now live below container: its arena owners must walk on destroy.
static void json_mark_mixed(VKO_JSON *container) {
    for (VKO_JSON *p = container; p; p = p->parent)
        if (p->flags & JF_OWNS_ARENA) p->flags |= JF_MIXED;
}

bool VKO_JSONArraySetItem(VKO_JSON *array, uint32_t index, VKO_JSON *item) {
    if (!array || array->type != VKO_JSON_TYPE_ARRAY || index >= array->value2.arr.len) return false;

    if (!json_can_attach(array, item)) return false;

    if (item) {
        item->parent = array;
        json_mark_mixed(array);
    }

    VKO_JSON *old = array->value.items[index];
    array->value.items[index] = item;
    json_destroy_detached(old);

    return true;
}

// First member whose bucket is not below the given one (members are kept in
// bucket order).
static uint32_t json_bucket_start(const VKO_JSON *obj, uint32_t bucket) {
    uint32_t lo = 0, hi = obj->value2.arr.len;

    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (json_bucket(obj->value.members[mid].hash) < bucket)
            lo = mid + 1;
        else
            hi = mid;
    }

    return lo;
}

static VKO_JSONMember *json_find(const VKO_JSON *obj, const char *name, uint32_t hash) {
    uint32_t bucket = json_bucket(hash);

    for (uint32_t i = json_bucket_start(obj, bucket); i < obj->value2.arr.len; i++) {
        VKO_JSONMember *m = &obj->value.members[i];
        if (json_bucket(m->hash) != bucket) break;
        if (m->key && m->hash == hash && !strcmp(m->key, name)) return m;
    }

    return NULL;
}

VKO_JSON *VKO_JSONObjGetItem(const VKO_JSON *obj, const char *name) {
    if (!obj || obj->type != VKO_JSON_TYPE_OBJECT || !name) return NULL;

    VKO_JSONMember *m = json_find(obj, name, VKO_DJB2(name));
    return m ? m->value : NULL;
}

// Adds a member: into the last hole of its bucket, else at the bucket's end.
static void json_obj_insert(VKO_JSON *obj, const char *name, uint32_t hash, VKO_JSON *item) {
    uint32_t bucket = json_bucket(hash);
    uint32_t start = json_bucket_start(obj, bucket);
    uint32_t end = start;
    VKO_JSONMember *hole = NULL;

    for (; end < obj->value2.arr.len && json_bucket(obj->value.members[end].hash) == bucket; end++)
        if (!obj->value.members[end].key) hole = &obj->value.members[end];

    if (!hole) {
        uint32_t len = obj->value2.arr.len;

        if (len == obj->value2.arr.cap || !(obj->flags & JF_HEAP_DATA)) {
            uint32_t cap = obj->value2.arr.cap > 4 ? obj->value2.arr.cap * 2 : 8;
            VKO_JSONMember *m = (VKO_JSONMember *)VKO_Alloc(cap, sizeof(VKO_JSONMember));
            if (len > 0) memcpy(m, obj->value.members, len * sizeof(VKO_JSONMember));
            if (obj->flags & JF_HEAP_DATA) VKO_Free(obj->value.members);
            obj->value.members = m;
            obj->value2.arr.cap = cap;
            obj->flags |= JF_HEAP_DATA;
        }

        memmove(&obj->value.members[end + 1], &obj->value.members[end], (len - end) * sizeof(VKO_JSONMember));
        obj->value2.arr.len = len + 1;
        hole = &obj->value.members[end];
    }

    hole->key = VKO_Strdup(name);
    hole->hash = hash;
    hole->flags = MF_HEAP_KEY;
    hole->value = item;
}

bool VKO_JSONObjSetItem(VKO_JSON *obj, const char *name, VKO_JSON *item) {
    if (!obj || obj->type != VKO_JSON_TYPE_OBJECT || !name) return false;

    if (!json_can_attach(obj, item)) return false;

    uint32_t hash = VKO_DJB2(name);
    VKO_JSONMember *m = json_find(obj, name, hash);
    VKO_JSON *old = m ? m->value : NULL;

    if (item) {
        item->parent = obj;
        json_mark_mixed(obj);

        if (m)
            m->value = item;
        else
            json_obj_insert(obj, name, hash, item);

    } else if (m) {
        // Removal leaves a hole, as the map it mirrors does.
        if (m->flags & MF_HEAP_KEY) VKO_Free(m->key);
        m->key = NULL;
        m->flags = 0;
        m->value = NULL;
    }

    json_destroy_detached(old);

    return true;
}

bool VKO_JSONObjGetNextKey(const VKO_JSON *obj, uint64_t *iter, const char **name) {
    if (!obj || obj->type != VKO_JSON_TYPE_OBJECT || !iter || !name) return false;

    while (*iter < obj->value2.arr.len) {
        const VKO_JSONMember *m = &obj->value.members[(*iter)++];
        if (m->key) {
            *name = m->key;
            return true;
        }
    }

    *name = NULL;
    return false;
}

bool VKO_JSONToBool(const VKO_JSON *item, bool *value) {
    if (!item || item->type != VKO_JSON_TYPE_BOOL) {
        *value = false;
        return false;
    }

    *value = item->value.b;
    return true;
}

bool VKO_JSONToFloat(const VKO_JSON *item, float *value) {
    if (!item || item->type != VKO_JSON_TYPE_NUMBER) {
        *value = 0.0f;
        return false;
    }

    // Narrowing a double beyond the float range is undefined; clamp it.
    double d = item->value2.num;
    if (d > FLT_MAX) d = FLT_MAX;
    if (d < -FLT_MAX) d = -FLT_MAX;

    *value = (float)d;
    return true;
}

// Nearest integer, ties to even, saturated to [lo, hi]. Numbers come from
// remote peers, so an out-of-range value must not reach a plain cast.
static int64_t json_round_clamp(double d, int64_t lo, int64_t hi) {
    d = std::nearbyint(d);

    if (!(d >= (double)lo)) return lo;
    if (d >= (double)hi) return hi;

    return (int64_t)d;
}

bool VKO_JSONToInt(const VKO_JSON *item, int32_t *value) {
    if (!item || item->type != VKO_JSON_TYPE_NUMBER) {
        *value = 0;
        return false;
    }

    *value = (int32_t)json_round_clamp(item->value2.num, INT32_MIN, INT32_MAX);
    return true;
}

bool VKO_JSONToInt16(const VKO_JSON *item, int16_t *value) {
    if (!item || item->type != VKO_JSON_TYPE_NUMBER) {
        *value = 0;
        return false;
    }

    *value = (int16_t)json_round_clamp(item->value2.num, INT16_MIN, INT16_MAX);
    return true;
}

const char *VKO_JSONGetString(const VKO_JSON *item) {
    if (!item || item->type != VKO_JSON_TYPE_STRING) return NULL;

    return item->value.str;
}

bool VKO_JSONToString(const VKO_JSON *item, char *buf, size_t size) {
    if (!buf || size == 0) return false;

    if (!item || item->type != VKO_JSON_TYPE_STRING) {
        buf[0] = '\0';
        return false;
    }

    size_t len = strlen(item->value.str);
    bool fits = len < size;
    size_t n = fits ? len : size - 1;

    memcpy(buf, item->value.str, n);
    buf[n] = '\0';

    return fits;
}

// Parser

enum json_class : uint8_t {
    JC_ERROR = 0,
    JC_OPEN,
    JC_CLOSE,
    JC_TF,
    JC_COLON,
    JC_COMMA,
    JC_QUOTE,
    JC_NULL,
    JC_NUM_START,
    JC_NUM_CONT,
    JC_SPACE,
};

struct json_classes {
    uint8_t c[256] = {};

    constexpr json_classes() {
        c[(uint8_t)'{'] = c[(uint8_t)'['] = JC_OPEN;
        c[(uint8_t)'}'] = c[(uint8_t)']'] = JC_CLOSE;
        c[(uint8_t)'t'] = c[(uint8_t)'f'] = JC_TF;
        c[(uint8_t)':'] = JC_COLON;
        c[(uint8_t)','] = JC_COMMA;
        c[(uint8_t)'"'] = JC_QUOTE;
        c[(uint8_t)'n'] = JC_NULL;
        c[(uint8_t)'-'] = JC_NUM_START;
        for (int i = '0'; i <= '9'; i++) c[i] = JC_NUM_START;
        c[(uint8_t)'+'] = c[(uint8_t)'.'] = c[(uint8_t)'E'] = c[(uint8_t)'e'] = JC_NUM_CONT;
        c[0] = c[(uint8_t)'\t'] = c[(uint8_t)'\n'] = c[(uint8_t)'\r'] = c[(uint8_t)' '] = JC_SPACE;
    }
};

static constexpr json_classes JSON_CLASS;

#define JSON_NUM_MAX 95

namespace {

// Values of the open containers wait here until their container closes;
// then they move into one exactly sized block.
struct json_pending {
    char *key;
    uint32_t hash;
    VKO_JSON *value;
};

struct json_parser {
    const char *text;
    size_t len;
    size_t pos;
    json_arena *arena;
    VKO_JSON *reserved;
    VKO_JSON *root;
    VKO_JSON *cur;
    int64_t depth;

    char *name;  // pending member name
    uint32_t name_hash;
    bool has_name;

    json_pending *stack;
    size_t top;
    size_t cap;
};

}  // namespace

// The arena is made on the first token; its first slot is kept for the root,
// which is always the first item made (a top-level string's text may come
// before it).
static void json_parse_arena(json_parser *p) {
    if (p->arena) return;

    size_t first = 1024 + p->len * 2;
    if (first > ((size_t)4 << 20)) first = (size_t)4 << 20;

    p->arena = json_arena_create(first);
    p->reserved = (VKO_JSON *)json_arena_alloc(p->arena, sizeof(VKO_JSON));
}

static VKO_JSON *json_parse_new(json_parser *p, VKO_JSONType type) {
    json_parse_arena(p);

    VKO_JSON *j = p->reserved;
    uint8_t flags = JF_ARENA | JF_OWNS_ARENA;

    if (j) {
        p->reserved = NULL;
    } else {
        j = (VKO_JSON *)json_arena_alloc(p->arena, sizeof(VKO_JSON));
        flags = JF_ARENA;
    }

    memset(j, 0, sizeof(VKO_JSON));
    j->type = type;
    j->flags = flags;

    return j;
}

static int json_hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads \uXXXX at s (pointing at the backslash). Returns the code unit or -1.
static int32_t json_read_u(const json_parser *p, size_t s) {
    // Four digits and at least one more character after them.
    if (s + 6 >= p->len || p->text[s] != '\\' || p->text[s + 1] != 'u') return -1;

    int32_t v = 0;
    for (size_t i = s + 2; i < s + 6; i++) {
        int h = json_hex(p->text[i]);
        if (h < 0) return -1;
        v = v << 4 | h;
    }

    return v;
}

static char *json_put_utf8(char *o, uint32_t cp) {
    if (cp < 0x80) {
        *o++ = (char)cp;
    } else if (cp < 0x800) {
        *o++ = (char)(0xC0 | cp >> 6);
        *o++ = (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *o++ = (char)(0xE0 | cp >> 12);
        *o++ = (char)(0x80 | ((cp >> 6) & 0x3F));
        *o++ = (char)(0x80 | (cp & 0x3F));
    } else {
        *o++ = (char)(0xF0 | cp >> 18);
        *o++ = (char)(0x80 | ((cp >> 12) & 0x3F));
        *o++ = (char)(0x80 | ((cp >> 6) & 0x3F));
        *o++ = (char)(0x80 | (cp & 0x3F));
    }

    return o;
}

// Reads the string whose opening quote is at p->pos into the arena. On
// success p->pos is past the closing quote; on failure it is where the
// string went wrong.
static char *json_read_string(json_parser *p) {
    const char *t = p->text;
    size_t start = p->pos + 1;
    size_t i = start;

    // Plain text up to the closing quote is copied at once.
    while (i < p->len && t[i] != '"' && t[i] != '\\' && (uint8_t)t[i] >= 0x20) i++;

    if (i < p->len && t[i] == '"') {
        size_t raw = i - start;
        char *out = (char *)json_arena_alloc(p->arena, raw + 1);
        memcpy(out, t + start, raw);
        out[raw] = '\0';
        p->pos = i + 1;
        return out;
    }

    // Otherwise find the end; the decoded text is never longer than the raw.
    while (i < p->len && t[i] != '"') {
        if (t[i] == '\\') i++;
        i++;
    }
    if (i > p->len) i = p->len;

    char *out = (char *)json_arena_alloc(p->arena, i - start + 1);
    char *o = out;
    bool ended = false;  // \u0000 ends the decoded text
    i = start;

    while (true) {
        if (i >= p->len) {
            p->pos = i;
            return NULL;
        }

        uint8_t c = (uint8_t)t[i];

        if (c == '"') break;

        if (c < 0x20) {
            p->pos = i;
            return NULL;
        }

        if (c != '\\') {
            if (!ended) *o++ = (char)c;
            i++;
            continue;
        }

        if (i + 1 >= p->len) {
            p->pos = i;
            return NULL;
        }

        char r = 0;

        switch (t[i + 1]) {
            case '"':
                r = '"';
                break;
            case '\\':
                r = '\\';
                break;
            case '/':
                r = '/';
                break;
            case 'b':
                r = '\b';
                break;
            case 'f':
                r = '\f';
                break;
            case 'n':
                r = '\n';
                break;
            case 'r':
                r = '\r';
                break;
            case 't':
                r = '\t';
                break;
            case 'u': {
                int32_t u = json_read_u(p, i);
                if (u < 0 || (u >= 0xDC00 && u <= 0xDFFF)) {
                    p->pos = i;
                    return NULL;
                }

                uint32_t cp = (uint32_t)u;
                size_t used = 6;

                if (u >= 0xD800 && u <= 0xDBFF) {
                    int32_t lo = json_read_u(p, i + 6);
                    if (lo < 0xDC00 || lo > 0xDFFF) {
                        p->pos = i;
                        return NULL;
                    }
                    cp = 0x10000 + (((uint32_t)u & 0x3FF) << 10) + ((uint32_t)lo & 0x3FF);
                    used = 12;
                }

                if (cp == 0) ended = true;

                if (!ended) o = json_put_utf8(o, cp);

                i += used;
                continue;
            }
            default:
                p->pos = i;
                return NULL;
        }

        if (!ended) *o++ = r;
        i += 2;
    }

    *o = '\0';
    p->pos = i + 1;

    return out;
}

static locale_t json_c_locale(void) {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    return loc;
}

// Reads the number run at p->pos. Non-finite results (an exponent beyond the
// double range) are refused: they could never be written back as JSON.
static VKO_JSON *json_read_number(json_parser *p) {
    const char *s = p->text + p->pos;
    size_t n = 0;

    while (p->pos + n < p->len) {
        uint8_t cls = JSON_CLASS.c[(uint8_t)s[n]];
        if (cls != JC_NUM_START && cls != JC_NUM_CONT) break;
        n++;
    }

    if (n > JSON_NUM_MAX) return NULL;

    // The run must be followed by a closing bracket, a comma or white space
    // (the end of the text counts as white space).
    if (p->pos + n < p->len) {
        uint8_t cls = JSON_CLASS.c[(uint8_t)s[n]];
        if (cls != JC_CLOSE && cls != JC_COMMA && cls != JC_SPACE) return NULL;
    }

    if (s[n - 1] == '.') return NULL;
    if (n >= 2 && s[0] == '0' && s[1] >= '0' && s[1] <= '9') return NULL;
    if (n >= 2 && s[0] == '-' && s[1] == '.') return NULL;
    if (n >= 3 && s[0] == '-' && s[1] == '0' && s[2] >= '0' && s[2] <= '9') return NULL;
    for (size_t i = 0; i + 2 < n; i++)
        if (s[i] >= '0' && s[i] <= '9' && s[i + 1] == '.' && (s[i + 2] == 'E' || s[i + 2] == 'e'))
            return NULL;

    // Integral when the whole run is a base-10 integer within 32 bits.
    size_t i = s[0] == '-' ? 1 : 0;
    bool digits = i < n;
    int64_t v = 0;
    for (size_t k = i; k < n && digits; k++) {
        if (s[k] < '0' || s[k] > '9')
            digits = false;
        else if (v <= (int64_t)INT32_MAX + 1)
            v = v * 10 + (s[k] - '0');
    }

    if (digits) {
        if (i == 1) v = -v;
        if (v >= INT32_MIN && v <= INT32_MAX) {
            VKO_JSON *j = json_parse_new(p, VKO_JSON_TYPE_NUMBER);
            j->value.integral = 1;
            j->value2.num = (double)v;
            p->pos += n;
            return j;
        }
    }

    double d = 0.0;
    auto r = std::from_chars(s, s + n, d, std::chars_format::general);

    if (r.ec == std::errc::result_out_of_range && r.ptr == s + n) {
        // Tell an underflow (kept as the nearest value) from an overflow.
        char tmp[JSON_NUM_MAX + 1];
        memcpy(tmp, s, n);
        tmp[n] = '\0';
        d = strtod_l(tmp, NULL, json_c_locale());

    } else if (r.ec != std::errc() || r.ptr != s + n) {
        return NULL;
    }

    if (!std::isfinite(d)) return NULL;

    VKO_JSON *j = json_parse_new(p, VKO_JSON_TYPE_NUMBER);
    j->value2.num = d;
    p->pos += n;

    return j;
}

static void json_push(json_parser *p, char *key, uint32_t hash, VKO_JSON *v) {
    if (p->top == p->cap) {
        p->cap = p->cap ? p->cap * 2 : 64;
        p->stack = (json_pending *)VKO_Realloc(p->stack, p->cap, sizeof(json_pending));
    }

    p->stack[p->top++] = {key, hash, v};
}

// Attaches a finished value to the current container (or makes it the root).
static bool json_attach(json_parser *p, VKO_JSON *v) {
    VKO_JSON *c = p->cur;

    if (!c) {
        if (p->root) return false;
        p->root = v;
        return true;
    }

    if (c->type == VKO_JSON_TYPE_ARRAY) {
        if (c->state != 0 && c->state != 1) return false;
        if (p->top - c->cursor >= UINT32_MAX) return false;
        json_push(p, NULL, 0, v);

    } else {
        if (c->state != 3 || !p->has_name) return false;
        json_push(p, p->name, p->name_hash, v);
        p->has_name = false;
    }

    v->parent = c;
    c->state = 4;

    return true;
}

static int json_pending_key_cmp(const void *a, const void *b) {
    const json_pending *x = *(const json_pending *const *)a;
    const json_pending *y = *(const json_pending *const *)b;

    if (x->hash != y->hash) return x->hash < y->hash ? -1 : 1;

    int r = strcmp(x->key, y->key);
    if (r != 0) return r;

    return x < y ? -1 : x > y ? 1 : 0;
}

// Moves the members of a closing object from the stack into their block:
// repeated names keep the first one's place and the last one's value, and
// members go in bucket order, entry order within a bucket.
static void json_close_object(json_parser *p, VKO_JSON *obj) {
    json_pending *e = p->stack + obj->cursor;
    size_t n = p->top - obj->cursor;
    size_t kept = n;

    if (n > 1 && n <= 16) {
        for (size_t i = 1; i < n; i++) {
            for (size_t k = 0; k < i; k++) {
                if (e[k].key && e[k].hash == e[i].hash && !strcmp(e[k].key, e[i].key)) {
                    e[k].value = e[i].value;
                    e[i].key = NULL;
                    kept--;
                    break;
                }
            }
        }

    } else if (n > 16) {
        json_pending **idx = (json_pending **)VKO_Alloc(n, sizeof(json_pending *));
        for (size_t i = 0; i < n; i++) idx[i] = &e[i];
        qsort(idx, n, sizeof(json_pending *), json_pending_key_cmp);

        for (size_t i = 1; i < n; i++) {
            json_pending *first = idx[i - 1];
            if (first->hash == idx[i]->hash && !strcmp(first->key, idx[i]->key)) {
                first->value = idx[i]->value;
                idx[i]->key = NULL;
                idx[i] = first;
                kept--;
            }
        }
        VKO_Free(idx);
    }

    VKO_JSONMember *m =
        kept ? (VKO_JSONMember *)json_arena_alloc(p->arena, kept * sizeof(VKO_JSONMember)) : NULL;

    if (kept <= 32) {
        // Few members: a stable insertion sort by bucket.
        size_t k = 0;
        for (size_t i = 0; i < n; i++) {
            if (!e[i].key) continue;
            VKO_JSONMember cur = {e[i].key, e[i].hash, 0, e[i].value};
            size_t at = k++;
            while (at > 0 && json_bucket(m[at - 1].hash) > json_bucket(cur.hash)) {
                m[at] = m[at - 1];
                at--;
            }
            m[at] = cur;
        }

    } else {
        // Counting sort by bucket keeps the entry order within each bucket.
        uint32_t count[JSON_BUCKETS + 1] = {};
        for (size_t i = 0; i < n; i++)
            if (e[i].key) count[json_bucket(e[i].hash) + 1]++;
        for (uint32_t b = 1; b <= JSON_BUCKETS; b++) count[b] += count[b - 1];
        for (size_t i = 0; i < n; i++) {
            if (!e[i].key) continue;
            VKO_JSONMember *dst = &m[count[json_bucket(e[i].hash)]++];
            dst->key = e[i].key;
            dst->hash = e[i].hash;
            dst->flags = 0;
            dst->value = e[i].value;
        }
    }

    obj->value.members = m;
    obj->value2.arr.len = (uint32_t)kept;
    obj->value2.arr.cap = (uint32_t)kept;
}

static void json_close_array(json_parser *p, VKO_JSON *arr) {
    size_t n = p->top - arr->cursor;
    VKO_JSON **items = n ? (VKO_JSON **)json_arena_alloc(p->arena, n * sizeof(VKO_JSON *)) : NULL;

    for (size_t i = 0; i < n; i++) items[i] = p->stack[arr->cursor + i].value;

    arr->value.items = items;
    arr->value2.arr.len = (uint32_t)n;
    arr->value2.arr.cap = (uint32_t)n;
}

static bool json_parse_step(json_parser *p) {
    const char *t = p->text;
    uint8_t ch = (uint8_t)t[p->pos];
    VKO_JSON *v = NULL;

    switch (JSON_CLASS.c[ch]) {
        case JC_OPEN:
            v = json_parse_new(p, ch == '{' ? VKO_JSON_TYPE_OBJECT : VKO_JSON_TYPE_ARRAY);
            if (!json_attach(p, v)) return false;
            // The stack position where this container's values begin.
            if (p->top > UINT32_MAX) return false;
            v->cursor = (uint32_t)p->top;
            p->cur = v;
            p->depth++;
            p->pos++;
            return true;

        case JC_CLOSE: {
            VKO_JSON *c = p->cur;
            if (!c || --p->depth < 0) return false;
            if ((ch == '}') != (c->type == VKO_JSON_TYPE_OBJECT)) return false;
            if (c->state != 0 && c->state != 4) return false;

            if (c->type == VKO_JSON_TYPE_OBJECT)
                json_close_object(p, c);
            else
                json_close_array(p, c);

            p->top = c->cursor;
            c->cursor = 0;
            p->cur = c->parent;
            p->pos++;
            return true;
        }

        case JC_TF:
        case JC_NULL: {
            const char *word = ch == 't' ? "true" : ch == 'f' ? "false" : "null";
            size_t n = ch == 'f' ? 5 : 4;
            if (p->len - p->pos < n || memcmp(t + p->pos, word, n) != 0) return false;
            v = json_parse_new(p, ch == 'n' ? VKO_JSON_TYPE_NULL : VKO_JSON_TYPE_BOOL);
            v->value.b = ch == 't';
            if (!json_attach(p, v)) return false;
            p->pos += n;
            return true;
        }

        case JC_COLON:
            if (!p->cur || p->cur->state != 2) return false;
            p->cur->state = 3;
            p->pos++;
            return true;

        case JC_COMMA:
            if (!p->cur || p->cur->state != 4) return false;
            p->cur->state = 1;
            p->pos++;
            return true;

        case JC_QUOTE: {
            VKO_JSON *c = p->cur;
            size_t at = p->pos;

            json_parse_arena(p);

            char *s = json_read_string(p);
            if (!s) return false;

            if (c && c->type == VKO_JSON_TYPE_OBJECT && (c->state == 0 || c->state == 1)) {
                p->name = s;
                p->name_hash = VKO_DJB2(s);
                p->has_name = true;
                c->state = 2;
                return true;
            }

            v = json_parse_new(p, VKO_JSON_TYPE_STRING);
            v->value.str = s;
            if (!json_attach(p, v)) {
                p->pos = at;
                return false;
            }
            return true;
        }

        case JC_NUM_START: {
            size_t at = p->pos;
            v = json_read_number(p);
            if (!v) return false;
            if (!json_attach(p, v)) {
                p->pos = at;
                return false;
            }
            return true;
        }

        default:
            return false;
    }
}

VKO_JSON *VKO_JSONParse(const char *text) {
    if (!text) return NULL;

    json_parser p = {};
    p.text = text;
    p.len = strlen(text);

    bool ok = true;

    while (true) {
        while (p.pos < p.len && JSON_CLASS.c[(uint8_t)text[p.pos]] == JC_SPACE) p.pos++;

        if (p.pos >= p.len) break;

        if (!json_parse_step(&p)) {
            ok = false;
            break;
        }
    }

    VKO_Free(p.stack);

    if (ok && !p.root) {
        // Empty or white space only: no value, no error.
        if (p.arena) json_arena_free(p.arena);
        return NULL;
    }

    if (ok && (p.cur || p.has_name)) ok = false;

    if (!ok) {
        VKO_Log("VKO_JSONParse", "Parse error at position %u", (unsigned)p.pos);
        if (p.arena) json_arena_free(p.arena);
        return NULL;
    }

    return p.root;
}

// Writer

namespace {

struct json_buf {
    char *p = NULL;
    size_t len = 0;
    size_t cap = 0;

    void reserve(size_t extra) {
        if (len + extra <= cap) return;

        size_t ncap = cap ? cap : 512;
        while (ncap < len + extra) ncap *= 2;

        p = (char *)VKO_Realloc(p, ncap, 1);
        cap = ncap;
    }

    void push(char c) {
        reserve(1);
        p[len++] = c;
    }

    void append(const char *s, size_t n) {
        if (n == 0) return;
        reserve(n);
        memcpy(p + len, s, n);
        len += n;
    }
};

struct json_frame {
    const VKO_JSON *item;
    uint32_t next;  // next slot or member
    bool any;       // an element was written
};

struct json_stack {
    json_frame *f = NULL;
    size_t n = 0;
    size_t cap = 0;

    void push(const VKO_JSON *item) {
        if (n == cap) {
            cap = cap ? cap * 2 : 32;
            f = (json_frame *)VKO_Realloc(f, cap, sizeof(json_frame));
        }
        f[n++] = {item, 0, false};
    }
};

}  // namespace

static const char JSON_HEX[] = "0123456789abcdef";

// 0: written as is; else the letter after the backslash, or 'u' for \u00xx.
struct json_escapes {
    char c[256] = {};

    constexpr json_escapes() {
        for (int i = 0; i < 0x20; i++) c[i] = 'u';
        c[(uint8_t)'"'] = '"';
        c[(uint8_t)'\\'] = '\\';
        c[(uint8_t)'\b'] = 'b';
        c[(uint8_t)'\t'] = 't';
        c[(uint8_t)'\n'] = 'n';
        c[(uint8_t)'\f'] = 'f';
        c[(uint8_t)'\r'] = 'r';
    }
};

static constexpr json_escapes JSON_ESCAPE;

static void json_write_string(json_buf *b, const char *s) {
    b->push('"');

    const uint8_t *u = (const uint8_t *)s;

    while (true) {
        const uint8_t *run = u;
        while (*u && !JSON_ESCAPE.c[*u]) u++;
        b->append((const char *)run, (size_t)(u - run));

        if (!*u) break;

        char esc = JSON_ESCAPE.c[*u];
        if (esc != 'u') {
            char e[2] = {'\\', esc};
            b->append(e, 2);
        } else {
            char e[6] = {'\\', 'u', '0', '0', JSON_HEX[*u >> 4], JSON_HEX[*u & 0xF]};
            b->append(e, 6);
        }
        u++;
    }

    b->push('"');
}

// "%.15g" without the C library's locale. When the shortest text that reads
// back as d has at most 15 digits, those are exactly the digits "%.15g"
// rounds to (the double lies far closer to them than half a unit in the
// 15th digit), and the shortest conversion is much cheaper than a
// precision-15 one. Returns the end of the text written at out (40 bytes).
static char *json_format_g15(char *out, double d) {
    // Subnormals carry fewer bits than that argument needs.
    if (d != 0.0 && std::fabs(d) < DBL_MIN)
        return std::to_chars(out, out + 40, d, std::chars_format::general, 15).ptr;

    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof(sci), d, std::chars_format::scientific);

    // sci: [-]D[.DDD]e(+|-)XX
    const char *p = sci;
    char *o = out;
    if (*p == '-') *o++ = *p++;

    char digits[24];
    int n = 0;
    for (; p < r.ptr && *p != 'e'; p++)
        if (*p != '.' && n < (int)sizeof(digits)) digits[n++] = *p;

    if (n > 15 || p >= r.ptr) return std::to_chars(out, out + 40, d, std::chars_format::general, 15).ptr;

    int exp = 0;
    bool neg = p[1] == '-';
    for (p += 2; p < r.ptr; p++) exp = exp * 10 + (*p - '0');
    if (neg) exp = -exp;

    while (n > 1 && digits[n - 1] == '0') n--;

    if (exp < -4 || exp >= 15) {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            memcpy(o, digits + 1, (size_t)n - 1);
            o += n - 1;
        }
        *o++ = 'e';
        *o++ = exp < 0 ? '-' : '+';
        int a = exp < 0 ? -exp : exp;
        if (a >= 100) *o++ = (char)('0' + a / 100);
        *o++ = (char)('0' + a / 10 % 10);
        *o++ = (char)('0' + a % 10);

    } else if (exp < 0) {
        *o++ = '0';
        *o++ = '.';
        for (int i = -1; i > exp; i--) *o++ = '0';
        memcpy(o, digits, (size_t)n);
        o += n;

    } else {
        for (int i = 0; i <= exp; i++) *o++ = i < n ? digits[i] : '0';
        if (n > exp + 1) {
            *o++ = '.';
            memcpy(o, digits + exp + 1, (size_t)(n - exp - 1));
            o += n - exp - 1;
        }
    }

    return o;
}

static void json_write_number(json_buf *b, const VKO_JSON *j) {
    b->reserve(40);
    char *out = b->p + b->len;
    char *end;

    if (j->value.integral) {
        int32_t v = (int32_t)json_round_clamp(j->value2.num, INT32_MIN, INT32_MAX);
        end = std::to_chars(out, out + 40, v).ptr;
    } else {
        end = json_format_g15(out, std::isfinite(j->value2.num) ? j->value2.num : 0.0);
    }

    b->len += (size_t)(end - out);
}

static void json_indent(json_buf *b, size_t depth) {
    b->reserve(depth + 1);
    b->p[b->len++] = '\n';
    memset(b->p + b->len, '\t', depth);
    b->len += depth;
}

static void json_write_scalar(json_buf *b, const VKO_JSON *j) {
    if (!j) {
        b->append("null", 4);
        return;
    }

    switch (j->type) {
        case VKO_JSON_TYPE_BOOL:
            if (j->value.b)
                b->append("true", 4);
            else
                b->append("false", 5);
            break;
        case VKO_JSON_TYPE_NUMBER:
            json_write_number(b, j);
            break;
        case VKO_JSON_TYPE_STRING:
            json_write_string(b, j->value.str);
            break;
        default:
            b->append("null", 4);
            break;
    }
}

static bool json_is_container(const VKO_JSON *j) {
    return j && (j->type == VKO_JSON_TYPE_ARRAY || j->type == VKO_JSON_TYPE_OBJECT);
}

// Writes the tree with an explicit stack (no recursion, and the items are not
// touched, so one tree may be written by several threads at once).
static char *json_serialize(const VKO_JSON *root, bool pretty) {
    json_buf b;
    b.reserve(512);

    if (!json_is_container(root)) {
        json_write_scalar(&b, root);
        b.push('\0');
        return b.p;
    }

    json_stack st;
    st.push(root);
    b.push(root->type == VKO_JSON_TYPE_ARRAY ? '[' : '{');

    while (st.n > 0) {
        json_frame *f = &st.f[st.n - 1];
        const VKO_JSON *c = f->item;
        const VKO_JSON *child = NULL;
        const char *key = NULL;

        if (c->type == VKO_JSON_TYPE_ARRAY) {
            while (!child && f->next < c->value2.arr.len) child = c->value.items[f->next++];

        } else {
            while (!child && f->next < c->value2.arr.len) {
                const VKO_JSONMember *m = &c->value.members[f->next++];
                if (m->key) {
                    key = m->key;
                    child = m->value;
                }
            }
        }

        if (!child) {
            if (pretty) json_indent(&b, st.n - 1);
            b.push(c->type == VKO_JSON_TYPE_ARRAY ? ']' : '}');
            st.n--;
            continue;
        }

        if (f->any) b.push(',');
        f->any = true;

        if (pretty) json_indent(&b, st.n);

        if (key) {
            json_write_string(&b, key);
            b.push(':');
            if (pretty) b.push(' ');
        }

        if (json_is_container(child)) {
            b.push(child->type == VKO_JSON_TYPE_ARRAY ? '[' : '{');
            st.push(child);
        } else {
            json_write_scalar(&b, child);
        }
    }

    VKO_Free(st.f);
    b.push('\0');

    return b.p;
}

char *VKO_JSONSerialize(const VKO_JSON *item) {
    return json_serialize(item, false);
}

bool VKO_JSONWriteFile(const char *path, const VKO_JSON *item) {
    char *text = json_serialize(item, true);
    bool ok = VKO_WriteFile(path, text, strlen(text));
    VKO_Free(text);

    return ok;
}

bool vko_json_write_atomic(const char *path, const VKO_JSON *item) {
    char *text = json_serialize(item, true);
    bool ok = vko_file_write_atomic(path, text, strlen(text));
    VKO_Free(text);

    return ok;
}

VKO_JSON *VKO_JSONReadFile(const char *path) {
    char *text = (char *)VKO_ReadFile(path, NULL);
    if (!text) return NULL;

    VKO_JSON *j = VKO_JSONParse(text);
    VKO_Free(text);

    return j;
}

VKO_JSON *VKO_JSONDuplicate(const VKO_JSON *item) {
    if (!item) return VKO_JSONNullCreate();

    char *text = json_serialize(item, false);
    VKO_JSON *j = VKO_JSONParse(text);
    VKO_Free(text);

    return j ? j : VKO_JSONNullCreate();
}
