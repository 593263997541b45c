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

#define JSON_OBJ_BUCKETS 64

// Item creation and destruction

static VKO_JSON *json_new(VKO_JSONType type)
{
	VKO_JSON *j = (VKO_JSON *) VKO_Alloc(1, sizeof(VKO_JSON));
	j->type = type;
	return j;
}

static void json_free_one(VKO_JSON *j)
{
	switch (j->type) {
		case VKO_JSON_TYPE_STRING: VKO_Free(j->value.str); break;
		case VKO_JSON_TYPE_ARRAY:  VKO_Free(j->value.items); break;
		case VKO_JSON_TYPE_OBJECT: VKO_HashDestroy(&j->value.map, NULL); break;
		default: break;
	}
	VKO_Free(j);
}

// Frees a whole tree without recursion: descend through the per-item
// cursors, free a container once its cursor has passed every child, climb
// through the parent pointer.
static void json_free_tree(VKO_JSON *root)
{
	VKO_JSON *j = root;

	while (j) {
		VKO_JSON *child = NULL;

		if (j->type == VKO_JSON_TYPE_ARRAY) {
			while (!child && j->cursor < j->value2.arr.len)
				child = j->value.items[j->cursor++];

		} else if (j->type == VKO_JSON_TYPE_OBJECT) {
			const char *key = NULL;
			if (VKO_HashGetNextKey(j->value.map, &j->value2.iter, &key))
				child = (VKO_JSON *) VKO_HashGet(j->value.map, key);
		}

		if (child) {
			j = child;
			continue;
		}

		VKO_JSON *parent = j == root ? NULL : j->parent;
		json_free_one(j);
		j = parent;
	}
}

// Destroys a value that a container is dropping, bypassing the child check.
static void json_destroy_detached(VKO_JSON *j)
{
	if (!j)
		return;

	j->parent = NULL;
	json_free_tree(j);
}

void VKO_JSONDestroy(VKO_JSON **item)
{
	if (!item || !*item)
		return;

	if ((*item)->parent) {
		VKO_Log("VKO_JSONDestroy", "Attempted to destroy child item");
		return;
	}

	json_free_tree(*item);
	*item = NULL;
}

VKO_JSON *VKO_JSONNullCreate(void)
{
	return json_new(VKO_JSON_TYPE_NULL);
}

VKO_JSON *VKO_JSONBoolCreate(bool value)
{
	VKO_JSON *j = json_new(VKO_JSON_TYPE_BOOL);
	j->value.b = value;
	return j;
}

VKO_JSON *VKO_JSONNumberCreate(double value)
{
	VKO_JSON *j = json_new(VKO_JSON_TYPE_NUMBER);
	j->value2.num = std::isfinite(value) ? value : 0.0;
	return j;
}

VKO_JSON *VKO_JSONIntCreate(int32_t value)
{
	VKO_JSON *j = json_new(VKO_JSON_TYPE_NUMBER);
	j->value.integral = 1;
	j->value2.num = value;
	return j;
}

VKO_JSON *VKO_JSONStringCreate(const char *value)
{
	VKO_JSON *j = json_new(VKO_JSON_TYPE_STRING);
	j->value.str = VKO_Strdup(value ? value : "");
	return j;
}

VKO_JSON *VKO_JSONArrayCreate(uint32_t n)
{
	VKO_JSON *j = json_new(VKO_JSON_TYPE_ARRAY);
	if (n > 0)
		j->value.items = (VKO_JSON **) VKO_Alloc(n, sizeof(VKO_JSON *));
	j->value2.arr.len = n;
	j->value2.arr.cap = n;
	return j;
}

VKO_JSON *VKO_JSONObjCreate(void)
{
	VKO_JSON *j = json_new(VKO_JSON_TYPE_OBJECT);
	j->value.map = VKO_HashCreate(JSON_OBJ_BUCKETS);
	return j;
}

// Getters and setters

VKO_JSON *VKO_JSONArrayGetItem(const VKO_JSON *array, uint32_t index)
{
	if (!array || array->type != VKO_JSON_TYPE_ARRAY || index >= array->value2.arr.len)
		return NULL;

	return array->value.items[index];
}

uint32_t VKO_JSONGetLength(const VKO_JSON *item)
{
	if (!item || item->type != VKO_JSON_TYPE_ARRAY)
		return 0;

	return item->value2.arr.len;
}

// An item may only be attached when it has no parent and is not the container
// itself or one of its ancestors (that would make a cycle no walk ends).
static bool json_can_attach(const VKO_JSON *container, const VKO_JSON *item)
{
	if (!item)
		return true;

	if (item->parent)
		return false;

	for (const VKO_JSON *p = container; p; p = p->parent)
		if (p == item)
			return false;

	return true;
}

bool VKO_JSONArraySetItem(VKO_JSON *array, uint32_t index, VKO_JSON *item)
{
	if (!array || array->type != VKO_JSON_TYPE_ARRAY || index >= array->value2.arr.len)
		return false;

	if (!json_can_attach(array, item))
		return false;

	if (item)
		item->parent = array;

	VKO_JSON *old = array->value.items[index];
	array->value.items[index] = item;
	json_destroy_detached(old);

	return true;
}

VKO_JSON *VKO_JSONObjGetItem(const VKO_JSON *obj, const char *name)
{
	if (!obj || obj->type != VKO_JSON_TYPE_OBJECT || !name)
		return NULL;

	return (VKO_JSON *) VKO_HashGet(obj->value.map, name);
}

bool VKO_JSONObjSetItem(VKO_JSON *obj, const char *name, VKO_JSON *item)
{
	if (!obj || obj->type != VKO_JSON_TYPE_OBJECT || !name)
		return false;

	if (!json_can_attach(obj, item))
		return false;

	VKO_JSON *old = NULL;

	if (!item) {
		old = (VKO_JSON *) VKO_HashPop(obj->value.map, name);

	} else {
		item->parent = obj;
		old = (VKO_JSON *) VKO_HashSet(obj->value.map, name, item);
	}

	json_destroy_detached(old);

	return true;
}

bool VKO_JSONObjGetNextKey(const VKO_JSON *obj, uint64_t *iter, const char **name)
{
	if (!obj || obj->type != VKO_JSON_TYPE_OBJECT || !iter || !name)
		return false;

	return VKO_HashGetNextKey(obj->value.map, iter, name);
}

bool VKO_JSONToBool(const VKO_JSON *item, bool *value)
{
	if (!item || item->type != VKO_JSON_TYPE_BOOL) {
		*value = false;
		return false;
	}

	*value = item->value.b;
	return true;
}

bool VKO_JSONToFloat(const VKO_JSON *item, float *value)
{
	if (!item || item->type != VKO_JSON_TYPE_NUMBER) {
		*value = 0.0f;
		return false;
	}

	// Narrowing a double beyond the float range is undefined; clamp it.
	double d = item->value2.num;
	if (d > FLT_MAX)
		d = FLT_MAX;
	if (d < -FLT_MAX)
		d = -FLT_MAX;

	*value = (float) d;
	return true;
}

// Nearest integer, ties to even, saturated to [lo, hi]. Numbers come from
// remote peers, so an out-of-range value must not reach a plain cast.
static int64_t json_round_clamp(double d, int64_t lo, int64_t hi)
{
	d = std::nearbyint(d);

	if (!(d >= (double) lo))
		return lo;
	if (d >= (double) hi)
		return hi;

	return (int64_t) d;
}

bool VKO_JSONToInt(const VKO_JSON *item, int32_t *value)
{
	if (!item || item->type != VKO_JSON_TYPE_NUMBER) {
		*value = 0;
		return false;
	}

	*value = (int32_t) json_round_clamp(item->value2.num, INT32_MIN, INT32_MAX);
	return true;
}

bool VKO_JSONToInt16(const VKO_JSON *item, int16_t *value)
{
	if (!item || item->type != VKO_JSON_TYPE_NUMBER) {
		*value = 0;
		return false;
	}

	*value = (int16_t) json_round_clamp(item->value2.num, INT16_MIN, INT16_MAX);
	return true;
}

const char *VKO_JSONGetString(const VKO_JSON *item)
{
	if (!item || item->type != VKO_JSON_TYPE_STRING)
		return NULL;

	return item->value.str;
}

bool VKO_JSONToString(const VKO_JSON *item, char *buf, size_t size)
{
	if (!buf || size == 0)
		return false;

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

	constexpr json_classes()
	{
		c[(uint8_t) '{'] = c[(uint8_t) '['] = JC_OPEN;
		c[(uint8_t) '}'] = c[(uint8_t) ']'] = JC_CLOSE;
		c[(uint8_t) 't'] = c[(uint8_t) 'f'] = JC_TF;
		c[(uint8_t) ':'] = JC_COLON;
		c[(uint8_t) ','] = JC_COMMA;
		c[(uint8_t) '"'] = JC_QUOTE;
		c[(uint8_t) 'n'] = JC_NULL;
		c[(uint8_t) '-'] = JC_NUM_START;
		for (int i = '0'; i <= '9'; i++)
			c[i] = JC_NUM_START;
		c[(uint8_t) '+'] = c[(uint8_t) '.'] = c[(uint8_t) 'E'] = c[(uint8_t) 'e'] = JC_NUM_CONT;
		c[0] = c[(uint8_t) '\t'] = c[(uint8_t) '\n'] = c[(uint8_t) '\r'] = c[(uint8_t) ' '] = JC_SPACE;
	}
};

static constexpr json_classes JSON_CLASS;

#define JSON_NUM_MAX 95

namespace {

struct json_buf {
	char *p = NULL;
	size_t len = 0;
	size_t cap = 0;

	void reserve(size_t extra)
	{
		if (len + extra <= cap)
			return;

		size_t ncap = cap ? cap : 64;
		while (ncap < len + extra)
			ncap *= 2;

		p = (char *) VKO_Realloc(p, ncap, 1);
		cap = ncap;
	}

	void push(char c)
	{
		reserve(1);
		p[len++] = c;
	}

	void append(const char *s, size_t n)
	{
		if (n == 0)
			return;
		reserve(n);
		memcpy(p + len, s, n);
		len += n;
	}
};

struct json_parser {
	const char *text;
	size_t len;
	size_t pos;
	VKO_JSON *root;
	VKO_JSON *cur;
	json_buf name;     // pending member name
	bool has_name;
	int64_t depth;
};

} // namespace

static int json_hex(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Reads \uXXXX at s (pointing at the backslash). Returns the code unit or -1.
static int32_t json_read_u(const json_parser *p, size_t s)
{
	// Four digits and at least one more character after them.
	if (s + 6 >= p->len || p->text[s] != '\\' || p->text[s + 1] != 'u')
		return -1;

	int32_t v = 0;
	for (size_t i = s + 2; i < s + 6; i++) {
		int h = json_hex(p->text[i]);
		if (h < 0)
			return -1;
		v = v << 4 | h;
	}

	return v;
}

static void json_put_utf8(json_buf *b, uint32_t cp)
{
	char t[4];
	size_t n;

	if (cp < 0x80) {
		t[0] = (char) cp;
		n = 1;
	} else if (cp < 0x800) {
		t[0] = (char) (0xC0 | cp >> 6);
		t[1] = (char) (0x80 | (cp & 0x3F));
		n = 2;
	} else if (cp < 0x10000) {
		t[0] = (char) (0xE0 | cp >> 12);
		t[1] = (char) (0x80 | ((cp >> 6) & 0x3F));
		t[2] = (char) (0x80 | (cp & 0x3F));
		n = 3;
	} else {
		t[0] = (char) (0xF0 | cp >> 18);
		t[1] = (char) (0x80 | ((cp >> 12) & 0x3F));
		t[2] = (char) (0x80 | ((cp >> 6) & 0x3F));
		t[3] = (char) (0x80 | (cp & 0x3F));
		n = 4;
	}

	b->append(t, n);
}

// Reads the string whose opening quote is at p->pos into out (replacing its
// content, NUL terminated). On success p->pos is past the closing quote.
static bool json_read_string(json_parser *p, json_buf *out)
{
	const char *t = p->text;
	size_t i = p->pos + 1;
	out->len = 0;

	// Fast path: a run without escapes is copied at once.
	size_t start = i;
	while (i < p->len) {
		uint8_t c = (uint8_t) t[i];
		if (c == '"' || c == '\\' || c < 0x20)
			break;
		i++;
	}
	out->append(t + start, i - start);

	bool ended = false; // \u0000 ends the decoded text

	while (true) {
		if (i >= p->len) {
			p->pos = i;
			return false;
		}

		uint8_t c = (uint8_t) t[i];

		if (c == '"')
			break;

		if (c < 0x20) {
			p->pos = i;
			return false;
		}

		if (c != '\\') {
			if (!ended)
				out->push((char) c);
			i++;
			continue;
		}

		if (i + 1 >= p->len) {
			p->pos = i;
			return false;
		}

		char e = t[i + 1];
		char r = 0;

		switch (e) {
			case '"': r = '"'; break;
			case '\\': r = '\\'; break;
			case '/': r = '/'; break;
			case 'b': r = '\b'; break;
			case 'f': r = '\f'; break;
			case 'n': r = '\n'; break;
			case 'r': r = '\r'; break;
			case 't': r = '\t'; break;
			case 'u': {
				int32_t u = json_read_u(p, i);
				if (u < 0 || (u >= 0xDC00 && u <= 0xDFFF)) {
					p->pos = i;
					return false;
				}

				uint32_t cp = (uint32_t) u;
				size_t used = 6;

				if (u >= 0xD800 && u <= 0xDBFF) {
					int32_t lo = json_read_u(p, i + 6);
					if (lo < 0xDC00 || lo > 0xDFFF) {
						p->pos = i;
						return false;
					}
					cp = 0x10000 + (((uint32_t) u & 0x3FF) << 10) + ((uint32_t) lo & 0x3FF);
					used = 12;
				}

				if (cp == 0)
					ended = true;

				if (!ended)
					json_put_utf8(out, cp);

				i += used;
				continue;
			}
			default:
				p->pos = i;
				return false;
		}

		if (!ended)
			out->push(r);
		i += 2;
	}

	out->push('\0');
	out->len--;
	p->pos = i + 1;

	return true;
}

static locale_t json_c_locale(void)
{
	static locale_t loc = newlocale(LC_ALL_MASK, "C", (locale_t) 0);
	return loc;
}

// Reads the number run at p->pos into item. Non-finite results (an exponent
// beyond the double range) are refused: they could never be written back.
static VKO_JSON *json_read_number(json_parser *p)
{
	const char *s = p->text + p->pos;
	size_t n = 0;

	while (p->pos + n < p->len) {
		uint8_t cls = JSON_CLASS.c[(uint8_t) s[n]];
		if (cls != JC_NUM_START && cls != JC_NUM_CONT)
			break;
		n++;
	}

	if (n > JSON_NUM_MAX)
		return NULL;

	// The run must be followed by a closing bracket, a comma or white space
	// (the end of the text counts as white space).
	if (p->pos + n < p->len) {
		uint8_t cls = JSON_CLASS.c[(uint8_t) s[n]];
		if (cls != JC_CLOSE && cls != JC_COMMA && cls != JC_SPACE)
			return NULL;
	}

	if (s[n - 1] == '.')
		return NULL;
	if (n >= 2 && s[0] == '0' && s[1] >= '0' && s[1] <= '9')
		return NULL;
	if (n >= 2 && s[0] == '-' && s[1] == '.')
		return NULL;
	if (n >= 3 && s[0] == '-' && s[1] == '0' && s[2] >= '0' && s[2] <= '9')
		return NULL;
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
		else if (v <= (int64_t) INT32_MAX + 1)
			v = v * 10 + (s[k] - '0');
	}

	if (digits) {
		if (i == 1)
			v = -v;
		if (v >= INT32_MIN && v <= INT32_MAX) {
			p->pos += n;
			return VKO_JSONIntCreate((int32_t) v);
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

	if (!std::isfinite(d))
		return NULL;

	VKO_JSON *j = json_new(VKO_JSON_TYPE_NUMBER);
	j->value2.num = d;
	p->pos += n;

	return j;
}

// Attaches a finished value to the current container (or makes it the root).
static bool json_attach(json_parser *p, VKO_JSON *v)
{
	VKO_JSON *c = p->cur;

	if (!c) {
		if (p->root)
			return false;
		p->root = v;
		return true;
	}

	if (c->type == VKO_JSON_TYPE_ARRAY) {
		if (c->state != 0 && c->state != 1)
			return false;

		uint32_t len = c->value2.arr.len;
		if (len == c->value2.arr.cap) {
			if (len > UINT32_MAX - 64)
				return false;
			c->value.items = (VKO_JSON **) VKO_Realloc(c->value.items, len + 64, sizeof(VKO_JSON *));
			c->value2.arr.cap = len + 64;
		}

		c->value.items[len] = v;
		c->value2.arr.len = len + 1;

	} else {
		if (c->state != 3 || !p->has_name)
			return false;

		VKO_JSON *old = (VKO_JSON *) VKO_HashSet(c->value.map, p->name.p, v);
		json_destroy_detached(old);
		p->has_name = false;
	}

	v->parent = c;
	c->state = 4;

	return true;
}

static bool json_parse_step(json_parser *p)
{
	const char *t = p->text;
	uint8_t ch = (uint8_t) t[p->pos];
	VKO_JSON *v = NULL;

	switch (JSON_CLASS.c[ch]) {
		case JC_OPEN:
			v = ch == '{' ? VKO_JSONObjCreate() : json_new(VKO_JSON_TYPE_ARRAY);
			if (!json_attach(p, v)) {
				json_free_one(v);
				return false;
			}
			p->cur = v;
			p->depth++;
			p->pos++;
			return true;

		case JC_CLOSE: {
			VKO_JSON *c = p->cur;
			if (!c || --p->depth < 0)
				return false;
			if ((ch == '}') != (c->type == VKO_JSON_TYPE_OBJECT))
				return false;
			if (c->state != 0 && c->state != 4)
				return false;
			p->cur = c->parent;
			p->pos++;
			return true;
		}

		case JC_TF:
		case JC_NULL: {
			const char *word = ch == 't' ? "true" : ch == 'f' ? "false" : "null";
			size_t n = strlen(word);
			if (p->len - p->pos < n || memcmp(t + p->pos, word, n) != 0)
				return false;
			v = ch == 'n' ? VKO_JSONNullCreate() : VKO_JSONBoolCreate(ch == 't');
			if (!json_attach(p, v)) {
				json_free_one(v);
				return false;
			}
			p->pos += n;
			return true;
		}

		case JC_COLON:
			if (!p->cur || p->cur->state != 2)
				return false;
			p->cur->state = 3;
			p->pos++;
			return true;

		case JC_COMMA:
			if (!p->cur || p->cur->state != 4)
				return false;
			p->cur->state = 1;
			p->pos++;
			return true;

		case JC_QUOTE: {
			VKO_JSON *c = p->cur;

			if (c && c->type == VKO_JSON_TYPE_OBJECT && (c->state == 0 || c->state == 1)) {
				if (!json_read_string(p, &p->name))
					return false;
				p->has_name = true;
				c->state = 2;
				return true;
			}

			json_buf s;
			size_t at = p->pos;
			if (!json_read_string(p, &s)) {
				VKO_Free(s.p);
				return false;
			}

			v = json_new(VKO_JSON_TYPE_STRING);
			v->value.str = s.p ? s.p : VKO_Strdup("");
			if (s.p && s.cap > s.len + 1 + 64)
				v->value.str = (char *) VKO_Realloc(s.p, s.len + 1, 1);

			if (!json_attach(p, v)) {
				json_free_one(v);
				p->pos = at;
				return false;
			}
			return true;
		}

		case JC_NUM_START: {
			size_t at = p->pos;
			v = json_read_number(p);
			if (!v)
				return false;
			if (!json_attach(p, v)) {
				json_free_one(v);
				p->pos = at;
				return false;
			}
			return true;
		}

		default:
			return false;
	}
}

VKO_JSON *VKO_JSONParse(const char *text)
{
	if (!text)
		return NULL;

	json_parser p = {};
	p.text = text;
	p.len = strlen(text);

	bool ok = true;

	while (true) {
		while (p.pos < p.len && JSON_CLASS.c[(uint8_t) text[p.pos]] == JC_SPACE)
			p.pos++;

		if (p.pos >= p.len)
			break;

		if (!json_parse_step(&p)) {
			ok = false;
			break;
		}
	}

	if (ok && !p.root) {
		// Empty or white space only: no value, no error.
		VKO_Free(p.name.p);
		return NULL;
	}

	if (ok && (p.cur || p.has_name))
		ok = false;

	VKO_Free(p.name.p);

	if (!ok) {
		VKO_Log("VKO_JSONParse", "Parse error at position %u", (unsigned) p.pos);
		json_free_tree(p.root);
		return NULL;
	}

	return p.root;
}

// Writer

namespace {

struct json_frame {
	const VKO_JSON *item;
	uint64_t iter;   // array index or map cursor
	bool any;        // an element was written
};

struct json_stack {
	json_frame *f = NULL;
	size_t n = 0;
	size_t cap = 0;

	void push(const VKO_JSON *item)
	{
		if (n == cap) {
			cap = cap ? cap * 2 : 32;
			f = (json_frame *) VKO_Realloc(f, cap, sizeof(json_frame));
		}
		f[n++] = {item, 0, false};
	}
};

} // namespace

static const char JSON_HEX[] = "0123456789abcdef";

static void json_write_string(json_buf *b, const char *s)
{
	b->reserve(2);
	b->p[b->len++] = '"';

	const uint8_t *u = (const uint8_t *) s;

	while (*u) {
		const uint8_t *run = u;
		while (*u >= 0x20 && *u != '"' && *u != '\\')
			u++;
		if (u > run)
			b->append((const char *) run, (size_t) (u - run));

		if (!*u)
			break;

		char esc = 0;
		switch (*u) {
			case '"': esc = '"'; break;
			case '\\': esc = '\\'; break;
			case '\b': esc = 'b'; break;
			case '\t': esc = 't'; break;
			case '\n': esc = 'n'; break;
			case '\f': esc = 'f'; break;
			case '\r': esc = 'r'; break;
			default: break;
		}

		if (esc) {
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

static void json_write_number(json_buf *b, const VKO_JSON *j)
{
	b->reserve(40);
	char *out = b->p + b->len;
	std::to_chars_result r;

	if (j->value.integral) {
		int32_t v = (int32_t) json_round_clamp(j->value2.num, INT32_MIN, INT32_MAX);
		r = std::to_chars(out, out + 40, v);
	} else {
		double d = std::isfinite(j->value2.num) ? j->value2.num : 0.0;
		r = std::to_chars(out, out + 40, d, std::chars_format::general, 15);
	}

	b->len += (size_t) (r.ptr - out);
}

static void json_indent(json_buf *b, size_t depth)
{
	b->reserve(depth + 1);
	b->p[b->len++] = '\n';
	memset(b->p + b->len, '\t', depth);
	b->len += depth;
}

static void json_write_scalar(json_buf *b, const VKO_JSON *j)
{
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
		case VKO_JSON_TYPE_NUMBER: json_write_number(b, j); break;
		case VKO_JSON_TYPE_STRING: json_write_string(b, j->value.str); break;
		default: b->append("null", 4); break;
	}
}

static bool json_is_container(const VKO_JSON *j)
{
	return j && (j->type == VKO_JSON_TYPE_ARRAY || j->type == VKO_JSON_TYPE_OBJECT);
}

// Writes the tree with an explicit stack (no recursion, and the items are not
// touched, so one tree may be written by several threads at once).
static char *json_serialize(const VKO_JSON *root, bool pretty)
{
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
			while (!child && f->iter < c->value2.arr.len)
				child = c->value.items[f->iter++];

		} else if (VKO_HashGetNextKey(c->value.map, &f->iter, &key)) {
			child = (const VKO_JSON *) VKO_HashGet(c->value.map, key);
		}

		if (!child) {
			if (pretty)
				json_indent(&b, st.n - 1);
			b.push(c->type == VKO_JSON_TYPE_ARRAY ? ']' : '}');
			st.n--;
			continue;
		}

		if (f->any)
			b.push(',');
		f->any = true;

		if (pretty)
			json_indent(&b, st.n);

		if (key) {
			json_write_string(&b, key);
			b.push(':');
			if (pretty)
				b.push(' ');
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

char *VKO_JSONSerialize(const VKO_JSON *item)
{
	return json_serialize(item, false);
}

bool VKO_JSONWriteFile(const char *path, const VKO_JSON *item)
{
	char *text = json_serialize(item, true);
	bool ok = VKO_WriteFile(path, text, strlen(text));
	VKO_Free(text);

	return ok;
}

VKO_JSON *VKO_JSONReadFile(const char *path)
{
	char *text = (char *) VKO_ReadFile(path, NULL);
	if (!text)
		return NULL;

	VKO_JSON *j = VKO_JSONParse(text);
	VKO_Free(text);

	return j;
}

VKO_JSON *VKO_JSONDuplicate(const VKO_JSON *item)
{
	if (!item)
		return VKO_JSONNullCreate();

	char *text = json_serialize(item, false);
	VKO_JSON *j = VKO_JSONParse(text);
	VKO_Free(text);

	return j ? j : VKO_JSONNullCreate();
}
