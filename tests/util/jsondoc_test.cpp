// Arena JSON writer and text buffer: output read back by the platform's
// parser, member order, handles across every kind of growth, references,
// the printed forms and the fatal checks.
#include <gtest/gtest.h>

#include <printf.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/json.h"
#include "platform/log.h"
#include "support/log_capture.h"
#include "util/jsondoc.h"
#include "util/textbuf.h"

namespace {

class Doc {
   public:
    Doc() { EXPECT_TRUE(json_doc_new(&root)); }
    ~Doc() { json_doc_free(&root.doc); }

    JsonHandle set(JsonHandle obj, const char *key) {
        JsonHandle v;
        EXPECT_TRUE(json_object_set(obj, key, &v));
        return v;
    }
    JsonHandle at(JsonHandle arr, uint32_t i) {
        JsonHandle v;
        EXPECT_TRUE(json_array_set(arr, i, &v));
        return v;
    }
    static void str(JsonHandle h, const char *s) {
        uint32_t n = (uint32_t)strlen(s);
        EXPECT_TRUE(json_set_string(h, s, n, json_hash(s, n)));
    }
    std::string print(JsonHandle h, bool pretty = false) {
        TextBuffer tb = {};
        tb.flags = pretty ? TEXT_FLAG_PRETTY : 0;
        bool ok = json_serialize(&tb, h);
        std::string s = ok ? std::string(tb.data, tb.length) : "<failed>";
        text_free(&tb);
        return s;
    }
    std::string print() { return print(root); }

    JsonHandle root;
};

TEST(JsonDoc, PrintsSortedMembersThatTheParserReadsBack) {
    Doc d;
    d.str(d.set(d.root, "b"), "tab\there \x01 \"q\" \\ caf\xc3\xa9 \xe2\x82\xac");
    JsonHandle arr = d.set(d.root, "a");
    json_set_uint(d.at(arr, 0), std::numeric_limits<uint64_t>::max());
    json_set_number(d.at(arr, 1), 1.0);
    json_set_number(d.at(arr, 2), 0.1);
    json_set_number(d.at(arr, 3), 1.0 / 3);
    json_set_number(d.at(arr, 4), -1e20);
    json_set_number(d.at(arr, 5), -0.0);
    json_set_bool(d.at(arr, 6), true);
    json_set_null(d.at(arr, 7));
    JsonHandle inner = d.set(d.root, "Z");
    json_set_bool(d.set(inner, "yes"), false);
    json_set_number(d.set(inner, "ab"), 2.5);
    json_set_number(d.set(inner, "a"), 1e-7);

    std::string text = d.print();
    EXPECT_EQ(text,
              "{\"Z\":{\"a\":1e-07,\"ab\":2.5,\"yes\":false},"
              "\"a\":[18446744073709551615,1,0.1,0.333333333333333,-1e+20,-0,true,null],"
              "\"b\":\"tab\\there \\u0001 \\\"q\\\" \\\\ caf\xc3\xa9 \xe2\x82\xac\"}");

    VKO_JSON *j = VKO_JSONParse(text.c_str());
    ASSERT_NE(j, nullptr);
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(j, "b")),
                 "tab\there \x01 \"q\" \\ caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(VKO_JSONGetLength(VKO_JSONObjGetItem(j, "a")), 8u);
    float f = 0;
    EXPECT_TRUE(VKO_JSONToFloat(VKO_JSONObjGetItem(VKO_JSONObjGetItem(j, "Z"), "ab"), &f));
    EXPECT_EQ(f, 2.5f);
    VKO_JSONDestroy(&j);
}

// Text that is not UTF-8, in a key or a value, prints as U+FFFD so the output
// is always JSON; well-formed sequences of every length pass untouched.
TEST(JsonDoc, InvalidUtf8PrintsAsReplacementCharacter) {
    Doc d;
    d.str(d.set(d.root, "latin1"), "Contr\xf4leur");           // Latin-1 name
    d.str(d.set(d.root, "cut"), "ab\xe2\x82");                 // cut at the end
    d.str(d.set(d.root, "surrogate"), "\xed\xa0\x80x");        // encoded surrogate
    d.str(d.set(d.root, "overlong"), "\xc0\xaf\xe0\x80\xaf");  // overlong slash twice
    d.str(d.set(d.root, "high"), "\xf4\x90\x80\x80\xff");      // beyond U+10FFFF, 0xFF
    d.str(d.set(d.root, "good"), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    d.str(d.set(d.root, "k\xe9y"), "v");

    const std::string r = "\xef\xbf\xbd";
    std::string text = d.print();
    EXPECT_EQ(text, "{\"cut\":\"ab" + r + "\",\"good\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"," +
                        "\"high\":\"" + r + r + r + r + r + "\",\"k" + r + "y\":\"v\",\"latin1\":\"Contr" +
                        r + "leur\",\"overlong\":\"" + r + r + r + r + r + "\",\"surrogate\":\"" + r + r + r +
                        "x\"}");

    VKO_JSON *j = VKO_JSONParse(text.c_str());
    ASSERT_NE(j, nullptr);
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(j, "latin1")), ("Contr" + r + "leur").c_str());
    VKO_JSONDestroy(&j);
}

TEST(JsonDoc, NeverPrintsNanOrInfinity) {
    Doc d;
    json_set_number(d.at(d.root, 0), std::nan(""));
    json_set_number(d.at(d.root, 1), std::numeric_limits<double>::infinity());
    json_set_number(d.at(d.root, 2), -std::numeric_limits<double>::infinity());
    std::string text = d.print();
    EXPECT_EQ(text, "[0,0,0]");
    VKO_JSON *j = VKO_JSONParse(text.c_str());
    EXPECT_NE(j, nullptr);
    VKO_JSONDestroy(&j);
}

TEST(JsonDoc, SameKeyTwiceReplacesTheValue) {
    Doc d;
    json_set_uint(d.set(d.root, "k"), 1);
    d.str(d.set(d.root, "k"), "two");
    EXPECT_EQ(json_node_deref(d.root)->c, 1u);
    EXPECT_EQ(d.print(), "{\"k\":\"two\"}");

    uint32_t idx = 0;
    EXPECT_TRUE(json_object_find(d.root, "k", 1, json_hash("k", 1), &idx));
    EXPECT_EQ(idx, json_hash("k", 1) % JSON_TABLE_MIN);
    // djb2 takes bytes as signed chars
    EXPECT_EQ(json_hash("\xe9", 1), 5381u * 33 + (uint32_t)-23);
}

TEST(JsonDoc, ArraySetGrowsToTheNextPowerOfTwoAndFillsWithNull) {
    Doc d;
    json_set_uint(d.at(d.root, 100), 7);
    const JsonNode *n = json_node_deref(d.root);
    EXPECT_EQ(n->b, 128u);
    EXPECT_EQ(n->c, 101u);
    std::string want = "[";
    for (int i = 0; i < 100; i++) want += "null,";
    EXPECT_EQ(d.print(), want + "7]");

    JsonHandle small;
    json_make_array(&small, d.root);
    d.at(small, 0);
    EXPECT_EQ(json_node_deref(small)->b, JSON_ARRAY_MIN);
    d.at(small, 64);
    EXPECT_EQ(json_node_deref(small)->b, 128u);
}

TEST(JsonDoc, HandlesStayValidWhenBufferTableAndArrayGrow) {
    Doc d;
    // Taken before every growth.
    JsonHandle first = d.set(d.root, "first");
    JsonHandle list = d.set(d.root, "list");
    JsonHandle elem0 = d.at(list, 0);
    uint32_t cap_before = d.root.doc->capacity;

    // The table passes a quarter of 256 entries twice, the array 64 slots
    // four times and the buffer its first 16 KiB many times over.
    for (int i = 0; i < 300; i++) json_set_uint(d.set(d.root, ("k" + std::to_string(i)).c_str()), i);
    for (uint32_t i = 1; i < 1000; i++) json_set_uint(d.at(list, i), i);
    EXPECT_GE(d.root.doc->capacity, cap_before * 16);
    EXPECT_EQ(json_node_deref(d.root)->b, 2048u);
    EXPECT_EQ(json_node_deref(list)->b, 1024u);

    d.str(first, "still here");
    d.str(elem0, "zero");
    JsonHandle again;
    EXPECT_TRUE(json_array_set(list, 0, &again));
    EXPECT_EQ(json_node_deref(again)->kind, JSON_STRING);

    VKO_JSON *j = VKO_JSONParse(d.print().c_str());
    ASSERT_NE(j, nullptr);
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(j, "first")), "still here");
    VKO_JSON *l = VKO_JSONObjGetItem(j, "list");
    EXPECT_EQ(VKO_JSONGetLength(l), 1000u);
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONArrayGetItem(l, 0)), "zero");
    int32_t v = 0;
    EXPECT_TRUE(VKO_JSONToInt(VKO_JSONArrayGetItem(l, 999), &v));
    EXPECT_EQ(v, 999);
    EXPECT_TRUE(VKO_JSONToInt(VKO_JSONObjGetItem(j, "k299"), &v));
    EXPECT_EQ(v, 299);
    uint64_t iter = 0;
    const char *name;
    uint32_t members = 0;
    while (VKO_JSONObjGetNextKey(j, &iter, &name)) members++;
    EXPECT_EQ(members, 302u);
    VKO_JSONDestroy(&j);

    // The old slot's forwarding chain was shortened to one step.
    const JsonNode *old = reinterpret_cast<const JsonNode *>(d.root.doc->buf + elem0.offset);
    EXPECT_EQ(old->kind, JSON_REFERENCE);
    EXPECT_EQ(old->a, again.offset);
}

TEST(JsonDoc, LinksAndBrokenHandles) {
    Doc d;
    JsonHandle pad;
    json_make_object(&pad, d.root);
    json_set_uint(d.set(pad, "index"), 3);
    JsonHandle slot = d.set(d.root, "pad");
    ASSERT_TRUE(json_set_reference(slot, pad));
    // Adding through the slot reaches the linked object.
    json_set_bool(d.set(slot, "on"), true);
    EXPECT_EQ(d.print(), "{\"pad\":{\"index\":3,\"on\":true}}");
    // Setting a value replaces the link, not the object it points at.
    json_set_uint(slot, 9);
    EXPECT_EQ(d.print(), "{\"pad\":9}");
    EXPECT_EQ(d.print(pad), "{\"index\":3,\"on\":true}");

    // A cycle is refused by the printer, not followed for ever.
    JsonHandle a = d.set(pad, "loop");
    ASSERT_TRUE(json_set_reference(a, pad));
    EXPECT_EQ(d.print(pad), "<failed>");
    EXPECT_FALSE(json_set_reference(a, a));

    // A chain of 16 links is followed, 17 are not.
    JsonHandle chain[18];
    for (auto &c : chain) json_make_array(&c, d.root);
    for (int i = 0; i < 17; i++) json_set_reference(chain[i], chain[i + 1]);
    EXPECT_EQ(json_node_deref(chain[0]), nullptr);
    EXPECT_NE(json_node_deref(chain[1]), nullptr);
    EXPECT_EQ(json_node_deref(chain[1])->kind, JSON_ARRAY);
    EXPECT_EQ(reinterpret_cast<const JsonNode *>(d.root.doc->buf + chain[1].offset)->a, chain[17].offset);

    // Offsets beyond the document, misaligned ones and other documents.
    JsonHandle bad = {d.root.doc, d.root.doc->used};
    JsonHandle out;
    EXPECT_EQ(json_node_deref(bad), nullptr);
    EXPECT_FALSE(json_object_set(bad, "x", &out));
    EXPECT_EQ(out.doc, nullptr);
    EXPECT_FALSE(json_array_set(JsonHandle{d.root.doc, 4}, 0, &out));
    EXPECT_FALSE(json_set_uint(JsonHandle{nullptr, 0}, 1));
    json_make_object(&out, JsonHandle{nullptr, 0});
    EXPECT_EQ(out.doc, nullptr);
    EXPECT_EQ(out.offset, 0u);
    Doc other;
    EXPECT_FALSE(json_set_reference(other.root, pad));
    EXPECT_FALSE(json_array_set(d.root, JSON_DOC_MAX_SIZE / 16, &out));
    uint32_t off;
    EXPECT_FALSE(json_doc_alloc(d.root, 16, 3, &off));
    EXPECT_FALSE(json_doc_alloc(d.root, 0xFFFFFFF0u, 8, &off));
}

TEST(JsonDoc, PrettyFormAndNoSortFlag) {
    Doc d;
    JsonHandle h = d.root;
    for (int i = 0; i < 26; i++) h = d.at(h, 0);
    json_set_uint(h, 1);
    TextBuffer tb = {};
    tb.flags = TEXT_FLAG_PRETTY;
    ASSERT_TRUE(json_serialize(&tb, d.root));
    std::string s(tb.data, tb.length);
    text_free(&tb);
    // The innermost value sits at depth 26, indented with 24 tabs.
    EXPECT_NE(s.find("\n" + std::string(24, '\t') + "1\n"), std::string::npos);
    EXPECT_EQ(s.find(std::string(25, '\t')), std::string::npos);
    EXPECT_EQ(s.substr(0, 5), "[\n\t[\n");
    EXPECT_EQ(s.substr(s.size() - 5), "\n\t]\n]");

    Doc o;
    json_set_uint(o.set(o.root, "b"), 1);
    json_set_uint(o.set(o.at(o.set(o.root, "a"), 0), "x"), 2);
    EXPECT_EQ(o.print(o.root, true), "{\n\t\"a\": [\n\t\t{\n\t\t\t\"x\": 2\n\t\t}\n\t],\n\t\"b\": 1\n}");

    // Unsorted: table order, here the order of the keys' hashes.
    o.root.doc->flags |= JSON_DOC_NO_SORT;
    uint32_t ha = json_hash("a", 1) % 256, hb = json_hash("b", 1) % 256;
    EXPECT_EQ(o.print(), ha < hb ? "{\"a\":[{\"x\":2}],\"b\":1}" : "{\"b\":1,\"a\":[{\"x\":2}]}");
}

TEST(JsonDoc, SortListIsDroppedAfterPrinting) {
    Doc d;
    for (int i = 0; i < 40; i++) json_set_uint(d.set(d.set(d.root, std::to_string(i).c_str()), "v"), i);
    uint32_t used = d.root.doc->used;
    std::string s = d.print();
    EXPECT_EQ(d.root.doc->used, used);
    EXPECT_EQ(s.substr(0, 20), "{\"0\":{\"v\":0},\"1\":{\"v");
}

TEST(TextBuffer, GrowsInPowersOfTwoAndFormats) {
    TextBuffer tb = {};
    EXPECT_TRUE(text_append(&tb, "ab", 2));
    EXPECT_EQ(text_capacity(&tb), 4096u);
    EXPECT_TRUE(text_appendf(&tb, "%d-%s", 42, "x"));
    EXPECT_EQ(std::string(tb.data, tb.length), "ab42-x");

    std::string big(5000, 'y');
    EXPECT_TRUE(text_appendf(&tb, "%s", big.c_str()));
    EXPECT_EQ(text_capacity(&tb), 8192u);
    EXPECT_EQ(tb.length, 5006u);

    // Exactly filling the room still formats once more with the terminator.
    TextBuffer t2 = {};
    text_reserve(&t2, 10);
    std::string fill(4095, 'z');
    EXPECT_TRUE(text_appendf(&t2, "%s", fill.c_str()));
    EXPECT_EQ(t2.length, 4095u);
    EXPECT_TRUE(text_appendf(&t2, "%s", "w"));
    EXPECT_EQ(text_capacity(&t2), 8192u);
    EXPECT_EQ(t2.data[4095], 'w');

    // A failing conversion appends nothing.
    const char *fmt = "%ls";
    const wchar_t bad[] = {(wchar_t)0xD800, 0};
    uint32_t before = tb.length;
    EXPECT_FALSE(text_appendf(&tb, fmt, bad));
    EXPECT_EQ(tb.length, before);
    EXPECT_FALSE(text_reserve(&tb, (size_t)TEXT_MAX_CAPACITY + 1));
    text_free(&tb);
    text_free(&t2);
    EXPECT_EQ(tb.data, nullptr);
}

// A source inside the buffer stays readable while the append moves the buffer.
TEST(TextBuffer, AppendsFromItselfAcrossGrowth) {
    TextBuffer tb = {};
    std::string fill(4000, 'a');
    fill += "tail";
    ASSERT_TRUE(text_append(&tb, fill.data(), fill.size()));
    ASSERT_EQ(text_capacity(&tb), 4096u);
    ASSERT_TRUE(text_append(&tb, tb.data, tb.length));  // needs 8004 bytes
    EXPECT_EQ(std::string(tb.data, tb.length), fill + fill);

    ASSERT_TRUE(text_append(&tb, "\0", 1));  // a terminated text for "%s"
    std::string before(tb.data, tb.length - 1);
    ASSERT_TRUE(text_appendf(&tb, "[%s]", tb.data));  // grows to 16 KiB
    EXPECT_EQ(text_capacity(&tb), 16384u);
    EXPECT_EQ(std::string(tb.data, tb.length), before + '\0' + "[" + before + "]");
    text_free(&tb);
}

// A conversion whose text grows at each call, so the second formatting no
// longer fits where the first said it would.
int g_grow;
int print_grow(FILE *f, const printf_info *, const void *const *) {
    g_grow += 5000;
    return fprintf(f, "%*s", g_grow, "");
}
int grow_arginfo(const printf_info *, size_t n, int *types, int *) {
    if (n > 0) types[0] = PA_INT;
    return 1;
}

// Two entries with the same key: written past json_object_set on purpose.
void print_duplicate_keys() {
    Doc d;
    json_set_uint(d.set(d.root, "k"), 1);
    const JsonNode *o = json_node_deref(d.root);
    JsonHandle other = {d.root.doc, o->a + ((json_hash("k", 1) + 7) % o->b) * 16};
    json_set_string(other, "k", 1, json_hash("k", 1));
    json_node_deref(d.root)->c = 2;
    d.print();
}

// A count beyond the keys present leaves a hole in the sort list.
void print_missing_key() {
    Doc d;
    json_set_uint(d.set(d.root, "k"), 1);
    json_node_deref(d.root)->c = 3;
    d.print();
}

void format_growing() {
    register_printf_specifier('W', print_grow, grow_arginfo);
    TextBuffer tb = {};
    const char *fmt = "%W";
    text_appendf(&tb, fmt, 0);
}

TEST(JsonDocDeath, FatalChecksEndTheProcessWithTheirTexts) {
    EXPECT_FATAL(print_duplicate_keys(),
                 "util_logfatal: json.c line 497: shouldn't be duplicate keys in a JSON object");
    EXPECT_FATAL(print_missing_key(), "util_logfatal: json.c line 489: parameter must not be null");
    EXPECT_FATAL(format_growing(),
                 "util_logfatal: text.c line 56: vsnprintf should always succeed, the second time");
}

}  // namespace
