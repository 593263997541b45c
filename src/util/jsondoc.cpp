#include "util/jsondoc.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/winutil.h"

namespace {

inline JsonNode *node_at(JsonDoc *d, uint32_t off) {
    return reinterpret_cast<JsonNode *>(d->buf + off);
}

inline bool node_ok(const JsonDoc *d, uint32_t off) {
    return (off & 7) == 0 && (uint64_t)off + sizeof(JsonNode) <= d->used;
}

inline bool handle_ok(JsonHandle h) {
    return h.doc && h.doc->buf && node_ok(h.doc, h.offset);
}

inline bool range_ok(const JsonDoc *d, uint64_t off, uint64_t size) {
    return off + size <= d->used;
}

// Follows references from off (only forwarding ones unless links is set) and
// points each one on the chain straight at where it leads: a forwarding
// reference at the first node after it that is not one (its slot), a link at
// the final node.
bool deref(JsonDoc *d, uint32_t off, bool links, uint32_t *out) {
    uint32_t chain[JSON_REFERENCE_LIMIT];
    uint32_t n = 0;

    for (;;) {
        if (!node_ok(d, off)) return false;
        const JsonNode *nd = node_at(d, off);
        if (nd->kind != JSON_REFERENCE || (!links && nd->sub != 1)) break;
        if (n == JSON_REFERENCE_LIMIT) return false;
        chain[n++] = off;
        off = nd->a;
    }

    uint32_t slot = off;
    for (uint32_t i = n; i-- > 0;) {
        JsonNode *r = node_at(d, chain[i]);
        if (r->sub == 1) {
            r->a = slot;
        } else {
            r->a = off;
            slot = chain[i];
        }
    }

    *out = off;
    return true;
}

bool doc_alloc(JsonDoc *d, uint64_t size, uint32_t alignment, uint32_t *out) {
    if (!alignment || (alignment & (alignment - 1))) return false;

    uint64_t off = ((uint64_t)d->used + alignment - 1) & ~(uint64_t)(alignment - 1);
    uint64_t end = off + size;
    if (end > JSON_DOC_MAX_SIZE) return false;

    if (end > d->capacity) {
        uint64_t cap = std::bit_ceil(end);
        uint8_t *p = (uint8_t *)realloc(d->buf, cap);
        if (!p) return false;
        d->buf = p;
        d->capacity = (uint32_t)cap;
    }

    memset(d->buf + off, 0, size);
    d->used = (uint32_t)end;
    *out = (uint32_t)off;
    return true;
}

JsonNode *slot_node(JsonHandle h, uint32_t *off) {
    if (!handle_ok(h) || !deref(h.doc, h.offset, false, off)) return nullptr;
    return node_at(h.doc, *off);
}

// The container a handle stands for, made of the given kind when it is not.
JsonNode *container(JsonHandle h, uint8_t kind, uint32_t *off) {
    if (!handle_ok(h) || !deref(h.doc, h.offset, true, off)) return nullptr;
    JsonNode *nd = node_at(h.doc, *off);
    if (nd->kind != kind) {
        *nd = JsonNode{};
        nd->kind = kind;
    }
    return nd;
}

bool table_find(JsonDoc *d, const JsonNode *obj, const char *key, uint32_t len, uint32_t hash,
                uint32_t *out) {
    uint32_t cap = obj->b;
    if (!cap || (cap & (cap - 1)) || !range_ok(d, obj->a, (uint64_t)cap * 2 * sizeof(JsonNode))) return false;

    const uint32_t none = UINT32_MAX;
    uint32_t deleted = none;
    uint32_t i = hash & (cap - 1);

    for (uint32_t n = 0; n < cap; n++, i = (i + 1) & (cap - 1)) {
        const JsonNode *e = node_at(d, obj->a + i * (uint32_t)sizeof(JsonNode));
        if (e->kind == JSON_NULL) {
            *out = deleted != none ? deleted : i;
            return true;
        }
        if (e->kind == JSON_DELETED) {
            if (deleted == none) deleted = i;
        } else if (e->kind == JSON_STRING && e->b == hash && e->c == len && range_ok(d, e->a, len) &&
                   memcmp(d->buf + e->a, key, len) == 0) {
            *out = i;
            return true;
        }
    }

    return false;
}

// Keeps the table at most a quarter full: a new one of twice the size (at
// least 256 entries) at the end of the buffer, the old entries left as
// forwarding references.
bool table_grow(JsonDoc *d, uint32_t obj_off) {
    JsonNode *obj = node_at(d, obj_off);
    obj->sub = JSON_KEY_STRING;
    if (obj->c < obj->b / 4) return true;

    uint64_t cap = obj->b;
    uint64_t new_cap = std::max<uint64_t>(cap * 2, JSON_TABLE_MIN);
    if (cap && !range_ok(d, obj->a, cap * 2 * sizeof(JsonNode))) return false;

    uint32_t t;
    if (!doc_alloc(d, new_cap * 2 * sizeof(JsonNode), 8, &t)) return false;

    obj = node_at(d, obj_off);
    uint32_t old = obj->a;
    uint32_t mask = (uint32_t)new_cap - 1;
    const uint32_t sz = sizeof(JsonNode);

    for (uint32_t i = 0; i < cap; i++) {
        JsonNode *k = node_at(d, old + i * sz);
        if (k->kind != JSON_STRING) continue;

        uint32_t j = k->b & mask;
        while (node_at(d, t + j * sz)->kind != JSON_NULL) j = (j + 1) & mask;

        uint32_t new_key = t + j * sz, new_val = t + ((uint32_t)new_cap + j) * sz;
        uint32_t old_val = old + ((uint32_t)cap + i) * sz;
        *node_at(d, new_key) = *k;
        *node_at(d, new_val) = *node_at(d, old_val);

        *k = JsonNode{};
        k->kind = JSON_REFERENCE;
        k->sub = 1;
        k->a = new_key;
        JsonNode *v = node_at(d, old_val);
        *v = JsonNode{};
        v->kind = JSON_REFERENCE;
        v->sub = 1;
        v->a = new_val;
    }

    obj->a = t;
    obj->b = (uint32_t)new_cap;
    return true;
}

// --- printing ---------------------------------------------------------------

// 0: as it is; 'u': \u00XX; else the letter after a backslash.
struct EscapeTable {
    char c[256];
    constexpr EscapeTable() : c() {
        for (int i = 0; i < 32; i++) c[i] = 'u';
        c['\b'] = 'b';
        c['\t'] = 't';
        c['\n'] = 'n';
        c['\f'] = 'f';
        c['\r'] = 'r';
        c['"'] = '"';
        c['\\'] = '\\';
        for (int i = 0x80; i < 256; i++) c[i] = 'x';  // checked as UTF-8
    }
};
constexpr EscapeTable kEscape;

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when it is not
// one; then *bad is the length of its longest valid-looking start (at least 1),
// which one U+FFFD replaces.
static uint32_t utf8_sequence(const uint8_t *p, uint32_t avail, uint32_t *bad) {
    uint8_t c = p[0];
    uint32_t need;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    uint32_t i = 1;
    for (; i < need && i < avail; i++) {
        uint8_t b = p[i];
        if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    }
    if (i == need) return need;
    *bad = i;
    return 0;
}

struct Printer {
    TextBuffer *tb;
    JsonDoc *d;
    bool pretty;

    bool room(size_t n) { return (size_t)(tb->end - tb->data) - tb->length >= n || text_reserve(tb, n); }
    bool put(const void *p, size_t n) {
        if (!room(n)) return false;
        memcpy(tb->data + tb->length, p, n);
        tb->length += (uint32_t)n;
        return true;
    }
    bool put(char c) {
        if (!room(1)) return false;
        tb->data[tb->length++] = c;
        return true;
    }
    bool indent(uint32_t depth) {
        uint32_t tabs = std::min<uint32_t>(depth, 24);
        if (!room(tabs + 1)) return false;
        char *o = tb->data + tb->length;
        *o = '\n';
        memset(o + 1, '\t', tabs);
        tb->length += tabs + 1;
        return true;
    }

    bool string(const JsonNode *s) {
        if (!range_ok(d, s->a, (uint64_t)s->c)) return false;
        const uint8_t *p = d->buf + s->a;
        uint32_t len = s->c;
        if (!room((size_t)len + 2)) return false;

        char *o = tb->data + tb->length;
        *o++ = '"';
        uint32_t i = 0;
        while (i < len) {
            uint32_t j = i;
            while (j < len && !kEscape.c[p[j]]) j++;
            memcpy(o, p + i, j - i);
            o += j - i;
            if (j == len) break;

            // An escape takes up to six bytes where the byte took one.
            tb->length = (uint32_t)(o - tb->data);
            if (!room((size_t)(len - j) + 6 + 1)) return false;
            o = tb->data + tb->length;

            uint8_t c = p[j];
            char e = kEscape.c[c];
            if (e == 'x') {
                // Not UTF-8 (a Latin-1 name, a cut character, a surrogate)
                // would make the output something no parser takes.
                uint32_t bad = 1, n = utf8_sequence(p + j, len - j, &bad);
                if (n) {
                    memcpy(o, p + j, n);
                    o += n;
                    i = j + n;
                } else {
                    memcpy(o, "\xEF\xBF\xBD", 3);
                    o += 3;
                    i = j + bad;
                }
                continue;
            }
            *o++ = '\\';
            if (e == 'u') {
                static const char hex[] = "0123456789abcdef";
                *o++ = 'u';
                *o++ = '0';
                *o++ = '0';
                *o++ = hex[c >> 4];
                *o++ = hex[c & 15];
            } else {
                *o++ = e;
            }
            i = j + 1;
        }
        *o++ = '"';
        tb->length = (uint32_t)(o - tb->data);
        return true;
    }

    bool uint(uint64_t v) {
        if (!room(24)) return false;
        char *o = tb->data + tb->length;
        tb->length = (uint32_t)(std::to_chars(o, o + 24, v).ptr - tb->data);
        return true;
    }

    // "%.15g" without the C library's locale; NaN and infinity print as 0.
    bool number(double v) {
        if (!std::isfinite(v)) v = 0;
        if (!room(32)) return false;
        char *o = tb->data + tb->length;
        char *end;
        if (std::fabs(v) < 1e15 && v == std::trunc(v)) {
            if (v == 0 && std::signbit(v)) *o++ = '-';
            end = std::to_chars(o, o + 24, (int64_t)v).ptr;
        } else {
            end = std::to_chars(o, o + 32, v, std::chars_format::general, 15).ptr;
        }
        tb->length = (uint32_t)(end - tb->data);
        return true;
    }

    bool value(uint32_t off, uint32_t nesting);
    bool array(uint32_t off, uint32_t nesting);
    bool object(uint32_t off, uint32_t nesting);
    bool member(uint32_t key_off, uint32_t val_off, bool first, uint32_t nesting);
};

bool Printer::value(uint32_t off, uint32_t nesting) {
    if (nesting > JSON_DEPTH_LIMIT || !deref(d, off, true, &off)) return false;

    const JsonNode *nd = node_at(d, off);
    switch (nd->kind) {
        case JSON_NULL:
        case JSON_DELETED:
            return put("null", 4);
        case JSON_BOOL:
            return nd->sub ? put("true", 4) : put("false", 5);
        case JSON_STRING:
            return string(nd);
        case JSON_UINT:
            return uint(nd->u);
        case JSON_NUMBER:
            return number(nd->d);
        case JSON_ARRAY:
            return array(off, nesting);
        case JSON_OBJECT:
            return object(off, nesting);
        default:
            return false;
    }
}

bool Printer::array(uint32_t off, uint32_t nesting) {
    const JsonNode *nd = node_at(d, off);
    uint32_t slots = nd->a, count = nd->c;
    if (count > nd->b || !range_ok(d, slots, (uint64_t)count * sizeof(JsonNode))) return false;

    tb->depth++;
    bool ok = put('[');
    for (uint32_t i = 0; ok && i < count; i++) {
        if (i) ok = put(',');
        if (ok && pretty) ok = indent(tb->depth);
        // Slots are read by offset: a nested object's sort list may move the buffer.
        ok = ok && value(slots + i * (uint32_t)sizeof(JsonNode), nesting + 1);
    }
    tb->depth--;
    if (ok && pretty) ok = indent(tb->depth);
    return ok && put(']');
}

bool Printer::member(uint32_t key_off, uint32_t val_off, bool first, uint32_t nesting) {
    if (!first && !put(',')) return false;
    if (pretty && !indent(tb->depth)) return false;
    if (!string(node_at(d, key_off))) return false;
    if (!(pretty ? put(": ", 2) : put(':'))) return false;
    return value(val_off, nesting + 1);
}

struct KeyLess {
    const JsonDoc *d;
    bool operator()(uint32_t x, uint32_t y) const {
        const JsonNode *a = reinterpret_cast<const JsonNode *>(d->buf + x);
        const JsonNode *b = reinterpret_cast<const JsonNode *>(d->buf + y);
        int c = memcmp(d->buf + a->a, d->buf + b->a, std::min(a->c, b->c));
        return c < 0 || (c == 0 && a->c < b->c);
    }
};

bool Printer::object(uint32_t off, uint32_t nesting) {
    const JsonNode *nd = node_at(d, off);
    uint32_t table = nd->a, cap = nd->b, count = nd->c;
    const uint32_t sz = sizeof(JsonNode);
    if ((cap & (cap - 1)) || count > cap || !range_ok(d, table, (uint64_t)cap * 2 * sz)) return false;

    tb->depth++;
    bool ok = put('{');

    if (d->flags & JSON_DOC_NO_SORT) {
        bool first = true;
        for (uint32_t i = 0; ok && i < cap; i++) {
            if (node_at(d, table + i * sz)->kind != JSON_STRING) continue;
            ok = member(table + i * sz, table + (cap + i) * sz, first, nesting);
            first = false;
        }
    } else if (ok && count) {
        // The members' key offsets, sorted, in a list at the end of the
        // document; dropped again once the object is written.
        uint32_t base = d->used, list;
        ok = doc_alloc(d, (uint64_t)count * 4, 4, &list);
        if (ok) {
            uint32_t *keys = reinterpret_cast<uint32_t *>(d->buf + list);
            uint32_t n = 0;
            for (uint32_t i = 0; ok && i < cap && n < count; i++) {
                const JsonNode *k = node_at(d, table + i * sz);
                if (k->kind != JSON_STRING) continue;
                ok = range_ok(d, k->a, k->c);
                keys[n++] = table + i * sz;
            }
            if (ok) {
                for (uint32_t i = 0; i < count; i++)
                    if (!keys[i]) util_logfatal("json.c", 489, "parameter must not be null");
                std::sort(keys, keys + count, KeyLess{d});
                for (uint32_t i = 1; i < count; i++)
                    if (!KeyLess{d}(keys[i - 1], keys[i]))
                        util_logfatal("json.c", 497, "shouldn't be duplicate keys in a JSON object");
            }

            uint32_t end = d->used;
            for (uint32_t i = 0; ok && i < count; i++) {
                uint32_t k = reinterpret_cast<uint32_t *>(d->buf + list)[i];
                ok = member(k, k + cap * sz, i == 0, nesting);
            }
            if (d->used != end) ok = false;
            d->used = base;
        }
    }

    tb->depth--;
    if (ok && pretty) ok = indent(tb->depth);
    return ok && put('}');
}

}  // namespace

bool json_doc_new(JsonHandle *out) {
    if (!out) return false;
    *out = JsonHandle{};

    JsonDoc *d = (JsonDoc *)calloc(1, sizeof(JsonDoc));
    uint8_t *buf = (uint8_t *)calloc(1, JSON_DOC_INITIAL_SIZE);
    if (!d || !buf) {
        free(d);
        free(buf);
        return false;
    }
    d->buf = buf;
    d->capacity = JSON_DOC_INITIAL_SIZE;

    uint32_t root = 0;
    doc_alloc(d, sizeof(JsonNode), 8, &root);
    *out = JsonHandle{d, root};
    return true;
}

void json_doc_free(JsonDoc **doc) {
    if (!doc || !*doc) return;
    free((*doc)->buf);
    free(*doc);
    *doc = nullptr;
}

bool json_doc_alloc(JsonHandle h, uint32_t size, uint32_t alignment, uint32_t *out_offset) {
    if (!h.doc || !h.doc->buf || !out_offset) return false;
    return doc_alloc(h.doc, size, alignment, out_offset);
}

JsonNode *json_node_deref(JsonHandle h) {
    uint32_t off;
    if (!handle_ok(h) || !deref(h.doc, h.offset, true, &off)) return nullptr;
    return node_at(h.doc, off);
}

uint32_t json_hash(const char *text, uint32_t length) {
    uint32_t h = 5381;
    for (uint32_t i = 0; i < length; i++) h = h * 33 + (uint32_t)(int32_t)(signed char)text[i];
    return h;
}

bool json_set_string(JsonHandle h, const char *text, uint32_t length, uint32_t hash) {
    uint32_t off;
    if (!slot_node(h, &off) || (length && !text)) return false;

    JsonDoc *d = h.doc;
    // The text may lie in the buffer itself, which the allocation can move.
    bool inside = length && (const uint8_t *)text >= d->buf && (const uint8_t *)text < d->buf + d->capacity;
    size_t from = inside ? (size_t)((const uint8_t *)text - d->buf) : 0;
    if (inside && from + length > d->capacity) return false;

    uint32_t t;
    if (!doc_alloc(d, (uint64_t)length + 1, 1, &t)) return false;
    if (length) memcpy(d->buf + t, inside ? (const char *)d->buf + from : text, length);

    JsonNode *nd = node_at(d, off);
    *nd = JsonNode{};
    nd->kind = JSON_STRING;
    nd->a = t;
    nd->b = hash;
    nd->c = length;
    return true;
}

bool json_set_null(JsonHandle h) {
    uint32_t off;
    JsonNode *nd = slot_node(h, &off);
    if (!nd) return false;
    *nd = JsonNode{};
    return true;
}

bool json_set_bool(JsonHandle h, bool value) {
    uint32_t off;
    JsonNode *nd = slot_node(h, &off);
    if (!nd) return false;
    *nd = JsonNode{};
    nd->kind = JSON_BOOL;
    nd->sub = value ? 1 : 0;
    return true;
}

bool json_set_uint(JsonHandle h, uint64_t value) {
    uint32_t off;
    JsonNode *nd = slot_node(h, &off);
    if (!nd) return false;
    *nd = JsonNode{};
    nd->kind = JSON_UINT;
    nd->u = value;
    return true;
}

bool json_set_number(JsonHandle h, double value) {
    uint32_t off;
    JsonNode *nd = slot_node(h, &off);
    if (!nd) return false;
    *nd = JsonNode{};
    nd->kind = JSON_NUMBER;
    nd->d = value;
    return true;
}

bool json_set_reference(JsonHandle h, JsonHandle target) {
    uint32_t off, to;
    if (target.doc != h.doc || !slot_node(target, &to)) return false;
    JsonNode *nd = slot_node(h, &off);
    if (!nd || off == to) return false;
    *nd = JsonNode{};
    nd->kind = JSON_REFERENCE;
    nd->a = to;
    return true;
}

bool json_reserve(JsonHandle array, uint32_t count) {
    uint32_t off;
    if (!handle_ok(array) || !deref(array.doc, array.offset, true, &off)) return false;

    JsonDoc *d = array.doc;
    JsonNode *nd = node_at(d, off);
    if (nd->kind != JSON_ARRAY) return false;
    if (count <= nd->b) return true;

    const uint32_t sz = sizeof(JsonNode);
    uint32_t n = std::min(nd->c, nd->b);
    if (!range_ok(d, nd->a, (uint64_t)n * sz)) return false;

    uint32_t slots;
    if (!doc_alloc(d, (uint64_t)count * sz, 8, &slots)) return false;

    nd = node_at(d, off);
    uint32_t old = nd->a;
    if (n) memcpy(d->buf + slots, d->buf + old, (size_t)n * sz);
    for (uint32_t i = 0; i < n; i++) {
        JsonNode *s = node_at(d, old + i * sz);
        *s = JsonNode{};
        s->kind = JSON_REFERENCE;
        s->sub = 1;
        s->a = slots + i * sz;
    }
    nd->a = slots;
    nd->b = count;
    return true;
}

bool json_array_set(JsonHandle h, uint32_t index, JsonHandle *out) {
    if (!out) return false;
    *out = JsonHandle{};

    uint32_t off;
    JsonNode *nd = container(h, JSON_ARRAY, &off);
    if (!nd || index >= JSON_DOC_MAX_SIZE / sizeof(JsonNode)) return false;

    if (index >= nd->b) {
        uint32_t want = std::max<uint32_t>(std::bit_ceil(index + 1), JSON_ARRAY_MIN);
        if (!json_reserve(JsonHandle{h.doc, off}, want)) return false;
        nd = node_at(h.doc, off);
    }
    if (index >= nd->c) nd->c = index + 1;

    *out = JsonHandle{h.doc, nd->a + index * (uint32_t)sizeof(JsonNode)};
    return true;
}

static void make_container(JsonHandle *out, JsonHandle h, uint8_t kind) {
    if (!out) return;
    *out = JsonHandle{};

    uint32_t off;
    if (!handle_ok(h) || !doc_alloc(h.doc, sizeof(JsonNode), 8, &off)) return;
    JsonNode *nd = node_at(h.doc, off);
    nd->kind = kind;
    if (kind == JSON_OBJECT) nd->sub = JSON_KEY_STRING;
    *out = JsonHandle{h.doc, off};
}

void json_make_object(JsonHandle *out, JsonHandle h) {
    make_container(out, h, JSON_OBJECT);
}

void json_make_array(JsonHandle *out, JsonHandle h) {
    make_container(out, h, JSON_ARRAY);
}

bool json_object_set(JsonHandle object, const char *key, JsonHandle *out) {
    if (!out) return false;
    *out = JsonHandle{};
    if (!key) return false;

    size_t klen = strlen(key);
    if (klen >= JSON_DOC_MAX_SIZE) return false;
    uint32_t len = (uint32_t)klen, hash = json_hash(key, len);

    uint32_t off;
    if (!container(object, JSON_OBJECT, &off)) return false;
    JsonDoc *d = object.doc;

    // A key read from the buffer itself would move with it.
    std::string copy;
    if ((const uint8_t *)key >= d->buf && (const uint8_t *)key < d->buf + d->capacity) {
        copy.assign(key, len);
        key = copy.c_str();
    }
    if (!table_grow(d, off)) return false;

    uint32_t idx;
    if (!table_find(d, node_at(d, off), key, len, hash, &idx)) return false;

    const uint32_t sz = sizeof(JsonNode);
    uint32_t table = node_at(d, off)->a, cap = node_at(d, off)->b;
    uint32_t entry = table + idx * sz, value = table + (cap + idx) * sz;

    if (node_at(d, entry)->kind != JSON_STRING) {
        if (!json_set_string(JsonHandle{d, entry}, key, len, hash)) return false;
        *node_at(d, value) = JsonNode{};
        node_at(d, off)->c++;
    }

    *out = JsonHandle{d, value};
    return true;
}

bool json_object_find(JsonHandle object, const char *key, uint32_t length, uint32_t hash,
                      uint32_t *out_index) {
    uint32_t off;
    if (!out_index || (length && !key) || !handle_ok(object) || !deref(object.doc, object.offset, true, &off))
        return false;
    const JsonNode *nd = node_at(object.doc, off);
    if (nd->kind != JSON_OBJECT) return false;
    return table_find(object.doc, nd, key ? key : "", length, hash, out_index);
}

bool json_serialize(TextBuffer *tb, JsonHandle h) {
    if (!tb || !handle_ok(h)) return false;
    Printer p{tb, h.doc, (tb->flags & TEXT_FLAG_PRETTY) != 0};
    return p.value(h.offset, 0);
}
