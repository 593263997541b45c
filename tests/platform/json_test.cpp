#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/json.h"
#include "platform/memory.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

struct JsonTest : ::testing::Test {
    LogCapture log;
};

std::string ser(const VKO_JSON *j) {
    char *s = VKO_JSONSerialize(j);
    std::string r = s;
    VKO_Free(s);
    return r;
}

// Parses and writes back compactly; "<null>" when the text does not parse.
std::string rt(const std::string &text) {
    VKO_JSON *j = VKO_JSONParse(text.c_str());
    if (!j) return "<null>";
    std::string r = ser(j);
    VKO_JSONDestroy(&j);
    return r;
}

std::string pretty(const char *text) {
    TempDir tmp;
    VKO_JSON *j = VKO_JSONParse(text);
    EXPECT_TRUE(VKO_JSONWriteFile(tmp.file("p.json").c_str(), j));
    VKO_JSONDestroy(&j);
    return read_file(tmp.file("p.json"));
}

}  // namespace

TEST_F(JsonTest, TextsWriteBackExactly) {
    // Texts that write back unchanged; then pairs of a text and what it writes back as.
    for (const char *same : {"[1,2]", "{}", "[]", "42", "\"hi\"", "true", "false", "null", "2147483647",
                             "2147483648", "-2147483648", "0.1", "[1,-2.5]"})
        EXPECT_EQ(rt(same), same);
    const char *cases[][2] = {
        {" { \"k\" : [ true , null ] } ", "{\"k\":[true,null]}"},
        {"\t\r\n[\n1\n]\n", "[1]"},
        // Numbers: integral within 32 bits, else "%.15g"
        {"1e3", "1000"},
        {"1E5", "100000"},
        {"1e+2", "100"},
        {"0.000001", "1e-06"},
        {"123456789012345678", "1.23456789012346e+17"},
        {"3.141592653589793", "3.14159265358979"},
        // Found by fuzzing: negative zero writes "-0", which reads back integral.
        {"-0e2", "-0"},
        {"-0", "0"},
        // Overflow is refused; underflow reads as the nearest value.
        {"1e999", "<null>"},
        {"-1e999", "<null>"},
        {"[1e400]", "<null>"},
        {"1e-400", "0"},
        // Escapes
        {"\"a\\/b\"", "\"a/b\""},
        {"\"\\u00e9\\u0041\"",
         "\"\xc3\xa9"
         "A\""},
        {"\"\\u20AC\"", "\"\xe2\x82\xac\""},
        {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},
        {"\"ab\\u0000cd\"", "\"ab\""},
        {"\"\xff\xfe\x80\"", "\"\xff\xfe\x80\""},
        // Members in bucket order (DJB2 % 64: "a" 6, "b" 7); the last repeat wins.
        {"{\"b\":1,\"a\":2}", "{\"a\":2,\"b\":1}"},
        {"{\"a\":1,\"a\":[2],\"a\":3}", "{\"a\":3}"},
    };
    for (auto &c : cases) EXPECT_EQ(rt(c[0]), c[1]) << c[0];

    std::string run95 = "1" + std::string(94, '0'), big(10000, 'x');
    EXPECT_EQ(rt(run95), "1e+94");
    EXPECT_EQ(rt(run95 + "0"), "<null>");
    EXPECT_EQ(rt("\"" + big + "\\n\""), "\"" + big + "\\n\"");
    EXPECT_EQ(rt(std::string("[1]\0garbage", 11)), "[1]");
    EXPECT_EQ(rt(std::string("[1\0]", 4)), "<null>");
    EXPECT_TRUE(log.contains("VKO_JSONParse: Parse error at position 0"));  // 1e999
}

TEST_F(JsonTest, RefusedTextsLogThePosition) {
    const char *bad[] = {
        "[1,]",        "{\"a\"}",
        "{\"a\":1,}",  "[1 2]",
        "01",          "-01",
        "1.",          "1.e5",
        "+1",          "tru",
        "[1]]",        "[1",
        "1 2",         "[}",
        "{]",          "{\"a\" 1}",
        "{1:2}",       "[\"a\":1]",
        ":",           ",",
        "nul",         "[1x]",
        "\"abc",       "\"a\\x\"",
        "-",           "1e",
        "--1",         "1.5.2",
        "[,1]",        "{,}",
        "x",           "\"\x01\"",
        "[1]x",        "{\"a\":1 \"b\":2}",
        "[-.5]",       "[\"\\u12\"]",
        "\"\\ud83d\"", "\"\\ud83d\\u0041\"",
        "\"\\ude00\"",
    };
    for (const char *text : bad) {
        log.clear();
        EXPECT_EQ(VKO_JSONParse(text), nullptr) << text;
        ASSERT_EQ(log.lines().size(), 1u) << text;
        EXPECT_EQ(log.lines()[0].rfind("VKO_JSONParse: Parse error at position ", 0), 0u) << log.lines()[0];
    }

    log.clear();
    for (const char *text : {"[1,]", "[1 2]", "[1"}) VKO_JSONParse(text);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"VKO_JSONParse: Parse error at position 3",
                                                     "VKO_JSONParse: Parse error at position 3",
                                                     "VKO_JSONParse: Parse error at position 2"}));

    // Empty or white space only: NULL without a line.
    log.clear();
    EXPECT_EQ(VKO_JSONParse(""), nullptr);
    EXPECT_EQ(VKO_JSONParse(" \t\r\n "), nullptr);
    EXPECT_EQ(VKO_JSONParse(nullptr), nullptr);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(JsonTest, NumbersIgnoreTheProcessLocale) {
    // A decimal-comma locale, compiled into a private folder when the system
    // has none installed.
    TempDir tmp;
    const char *set = setlocale(LC_ALL, "de_DE.UTF-8");
    if (!set &&
        system(("localedef -i de_DE -f UTF-8 '" + tmp.file("de_DE.UTF-8") + "' >/dev/null 2>&1").c_str()) ==
            0) {
        setenv("LOCPATH", tmp.path.c_str(), 1);
        set = setlocale(LC_ALL, "de_DE.UTF-8");
    }
    if (!set) GTEST_SKIP() << "no locale with a decimal comma can be made";

    char check[16];
    snprintf(check, sizeof(check), "%.1f", 0.5);
    EXPECT_STREQ(check, "0,5");
    EXPECT_EQ(rt("[0.5,1e3,-2.25,1e-7]"), "[0.5,1000,-2.25,1e-07]");
    VKO_JSON *j = VKO_JSONParse("0.25");
    EXPECT_EQ(j->value2.num, 0.25);
    VKO_JSONDestroy(&j);

    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
}

TEST_F(JsonTest, WriterEscapesAndPrettyForm) {
    VKO_JSON *j = VKO_JSONStringCreate("\x01/\"\\\b\f\n\r\t\x1f\x7f\xc3\xa9");
    EXPECT_EQ(ser(j), "\"\\u0001/\\\"\\\\\\b\\f\\n\\r\\t\\u001f\x7f\xc3\xa9\"");
    VKO_JSONDestroy(&j);

    EXPECT_EQ(pretty("{\"a\":[1]}"), "{\n\t\"a\": [\n\t\t1\n\t]\n}");
    EXPECT_EQ(pretty("{\"a\":{},\"b\":[]}"), "{\n\t\"a\": {\n\t},\n\t\"b\": [\n\t]\n}");
    EXPECT_EQ(pretty("[]"), "[\n]");
    EXPECT_EQ(pretty("7"), "7");

    // Files round trip; a missing file is NULL.
    TempDir tmp;
    j = VKO_JSONParse("{\"name\":\"z\",\"list\":[1,2.5,null]}");
    ASSERT_TRUE(VKO_JSONWriteFile(tmp.file("doc.json").c_str(), j));
    VKO_JSON *back = VKO_JSONReadFile(tmp.file("doc.json").c_str());
    EXPECT_EQ(ser(back), ser(j));
    VKO_JSONDestroy(&back);
    VKO_JSONDestroy(&j);
    EXPECT_EQ(VKO_JSONReadFile(tmp.file("missing.json").c_str()), nullptr);
}

TEST_F(JsonTest, ContainersRefuseBadAttachmentsAndChildDestroy) {
    // Empty slots are skipped; NaN and infinities are stored as 0.
    VKO_JSON *a = VKO_JSONArrayCreate(3);
    EXPECT_EQ(ser(a), "[]");
    EXPECT_TRUE(VKO_JSONArraySetItem(a, 1, VKO_JSONNumberCreate(INFINITY)));
    EXPECT_TRUE(VKO_JSONArraySetItem(a, 2, VKO_JSONNumberCreate(NAN)));
    EXPECT_EQ(ser(a), "[0,0]");
    EXPECT_EQ(VKO_JSONArrayGetItem(a, 3), nullptr);
    EXPECT_EQ(ser(nullptr), "null");

    VKO_JSON *o = VKO_JSONObjCreate();
    EXPECT_TRUE(VKO_JSONObjSetItem(o, "k", VKO_JSONIntCreate(1)));
    EXPECT_TRUE(VKO_JSONObjSetItem(o, "k", VKO_JSONStringCreate("two")));
    EXPECT_EQ(ser(o), "{\"k\":\"two\"}");

    // An attached item, the container itself, or an ancestor cannot be
    // attached (a cycle would never end a walk).
    EXPECT_TRUE(VKO_JSONObjSetItem(o, "in", a));
    EXPECT_FALSE(VKO_JSONObjSetItem(o, "again", a));
    EXPECT_FALSE(VKO_JSONArraySetItem(a, 0, o));
    EXPECT_FALSE(VKO_JSONArraySetItem(a, 0, a));
    EXPECT_FALSE(VKO_JSONObjSetItem(o, "self", o));
    VKO_JSON *n = VKO_JSONNullCreate();
    EXPECT_FALSE(VKO_JSONObjSetItem(a, "x", n));
    EXPECT_FALSE(VKO_JSONArraySetItem(o, 0, n));
    EXPECT_FALSE(VKO_JSONArraySetItem(a, 3, n));
    VKO_JSONDestroy(&n);

    EXPECT_TRUE(VKO_JSONObjSetItem(o, "k", nullptr));
    EXPECT_EQ(VKO_JSONObjGetItem(o, "k"), nullptr);

    VKO_JSONDestroy(&a);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"VKO_JSONDestroy: Attempted to destroy child item"});
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(ser(o), "{\"in\":[0,0]}");

    VKO_JSON *d = VKO_JSONDuplicate(o);
    VKO_JSONDestroy(&o);
    EXPECT_EQ(ser(d), "{\"in\":[0,0]}");
    VKO_JSONDestroy(&d);
    d = VKO_JSONDuplicate(nullptr);
    EXPECT_EQ(d->type, VKO_JSON_TYPE_NULL);
    VKO_JSONDestroy(&d);
}

TEST_F(JsonTest, TypedGettersRoundToEvenAndSaturate) {
    VKO_JSON *j = VKO_JSONParse("[2.5,3.5,-2.5,1e10,-1e10,40000,-40000,true,\"hello\",1e300]");
    ASSERT_NE(j, nullptr);
    auto at = [&](uint32_t i) { return VKO_JSONArrayGetItem(j, i); };
    const int32_t ints[] = {2, 4, -2, INT32_MAX, INT32_MIN};
    for (uint32_t i = 0; i < 5; i++) {
        int32_t v = 7;
        EXPECT_TRUE(VKO_JSONToInt(at(i), &v));
        EXPECT_EQ(v, ints[i]) << i;
    }
    int16_t s = 7;
    VKO_JSONToInt16(at(5), &s);
    EXPECT_EQ(s, INT16_MAX);
    VKO_JSONToInt16(at(6), &s);
    EXPECT_EQ(s, INT16_MIN);
    float f = 0;
    EXPECT_TRUE(VKO_JSONToFloat(at(9), &f));
    EXPECT_TRUE(std::isfinite(f));

    // The wrong type: false, and 0 where there is an output.
    bool b = false;
    int32_t i = 7;
    EXPECT_TRUE(VKO_JSONToBool(at(7), &b) && b);
    EXPECT_FALSE(VKO_JSONToInt(at(7), &i));
    EXPECT_EQ(i, 0);
    EXPECT_FALSE(VKO_JSONToBool(at(0), &b));
    EXPECT_FALSE(VKO_JSONToFloat(at(8), &f));
    EXPECT_EQ(f, 0.0f);
    EXPECT_EQ(VKO_JSONGetString(at(0)), nullptr);
    EXPECT_EQ(VKO_JSONGetLength(at(8)), 0u);

    char buf[6], small[4];
    EXPECT_TRUE(VKO_JSONToString(at(8), buf, sizeof(buf)));
    EXPECT_STREQ(buf, "hello");
    EXPECT_FALSE(VKO_JSONToString(at(8), small, sizeof(small)));
    EXPECT_STREQ(small, "hel");
    VKO_JSONDestroy(&j);
}

TEST_F(JsonTest, DeepNestingNeedsNoStack) {
    const size_t depth = 300000;  // far past what a recursive walk could take on an 8 MB stack
    std::string text(depth, '[');
    text += std::string(depth, ']');

    VKO_JSON *j = VKO_JSONParse(text.c_str());
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(ser(j), text);
    VKO_JSON *d = VKO_JSONDuplicate(j);
    ASSERT_NE(d, nullptr);
    VKO_JSONDestroy(&d);
    VKO_JSONDestroy(&j);

    // Unclosed: everything built is freed (ASan checks the leak).
    std::string open(depth, '[');
    EXPECT_EQ(VKO_JSONParse(open.c_str()), nullptr);

    std::string objs;
    for (size_t i = 0; i < 20000; i++) objs += "{\"a\":";
    objs += "1";
    objs += std::string(20000, '}');
    EXPECT_EQ(rt(objs), objs);
}

namespace {

// A random tree of bounded size, built through the public constructors.
VKO_JSON *random_tree(std::mt19937 &rng, int depth) {
    int kind = (int)(rng() % (depth > 4 ? 5 : 7));
    switch (kind) {
        case 0:
            return VKO_JSONNullCreate();
        case 1:
            return VKO_JSONBoolCreate(rng() & 1);
        case 2:
            return VKO_JSONIntCreate((int32_t)rng());
        case 3: {
            double d = std::ldexp((double)(int32_t)rng(), (int)(rng() % 200) - 100);
            return VKO_JSONNumberCreate(d);
        }
        case 4: {
            std::string s;
            size_t n = rng() % 12;
            for (size_t i = 0; i < n; i++) s += (char)(1 + rng() % 255);
            return VKO_JSONStringCreate(s.c_str());
        }
        case 5: {
            uint32_t n = rng() % 5;
            VKO_JSON *a = VKO_JSONArrayCreate(n);
            for (uint32_t i = 0; i < n; i++)
                if (rng() % 4) VKO_JSONArraySetItem(a, i, random_tree(rng, depth + 1));
            return a;
        }
        default: {
            VKO_JSON *o = VKO_JSONObjCreate();
            uint32_t n = rng() % 5;
            for (uint32_t i = 0; i < n; i++) {
                std::string name(1, (char)('a' + rng() % 26));
                name += std::to_string(rng() % 100);
                VKO_JSONObjSetItem(o, name.c_str(), random_tree(rng, depth + 1));
            }
            return o;
        }
    }
}

}  // namespace

TEST_F(JsonTest, RandomTreesAndMutatedTextsRoundTrip) {
    std::mt19937 rng(1234);
    auto same_again = [](const std::string &text) {
        VKO_JSON *back = VKO_JSONParse(text.c_str());
        EXPECT_EQ(back ? ser(back) : "<null>", text);
        VKO_JSONDestroy(&back);
    };
    for (int i = 0; i < 2000; i++) {
        VKO_JSON *j = random_tree(rng, 0);
        same_again(ser(j));
        VKO_JSONDestroy(&j);
    }
    EXPECT_TRUE(log.lines().empty());

    // Each mutated text either fails cleanly or re-parses to the same text.
    const char *seeds[] = {
        "{\"a\":[1,2.5,-3e2,true,false,null,\"x\\u00e9\\n\"],\"b\":{\"c\":{}}}",
        "[[[[\"\\ud83d\\ude00\"]]],{\"k\":1}]",
    };
    const char alphabet[] = "{}[]\":,\\tfnue0123456789-+.Ee \t\n\x01\x80\xff";
    for (int i = 0; i < 20000; i++) {
        std::string s = seeds[i % 2];
        for (int e = 1 + (int)(rng() % 4); e > 0 && !s.empty(); e--) {
            size_t at = rng() % s.size();
            char c = alphabet[rng() % (sizeof(alphabet) - 1)];
            switch (rng() % 3) {
                case 0:
                    s[at] = c;
                    break;
                case 1:
                    s.insert(s.begin() + (long)at, c);
                    break;
                default:
                    s.erase(at, 1 + rng() % 3);
                    break;
            }
        }
        std::string out = rt(rt(s));  // twice: "-0" settles as "0"
        if (out != "<null>") same_again(out);
    }
}

TEST_F(JsonTest, ParsedAndBuiltItemsMix) {
    // Built items inside parsed trees, parsed trees inside parsed and built
    // ones, replacements at every level: ASan checks nothing leaks or is
    // freed twice.
    VKO_JSON *doc = VKO_JSONParse("{\"list\":[1,{\"x\":true}],\"s\":\"t\"}");
    VKO_JSON *inner = VKO_JSONParse("{\"deep\":[\"a\",\"b\"]}");
    VKO_JSON *list = VKO_JSONObjGetItem(doc, "list");

    EXPECT_TRUE(VKO_JSONArraySetItem(list, 0, inner));
    EXPECT_TRUE(VKO_JSONObjSetItem(VKO_JSONArrayGetItem(list, 1), "y", VKO_JSONStringCreate("new")));
    for (int i = 0; i < 20; i++)
        EXPECT_TRUE(VKO_JSONObjSetItem(doc, ("m" + std::to_string(i)).c_str(), VKO_JSONIntCreate(i)));
    EXPECT_TRUE(VKO_JSONObjSetItem(inner, "deep", VKO_JSONNullCreate()));
    EXPECT_TRUE(VKO_JSONObjSetItem(doc, "s", nullptr));
    EXPECT_EQ(VKO_JSONObjGetItem(doc, "s"), nullptr);

    VKO_JSON *built = VKO_JSONObjCreate();
    EXPECT_TRUE(VKO_JSONObjSetItem(built, "doc", doc));
    VKO_JSON *copy = VKO_JSONDuplicate(built);
    EXPECT_EQ(ser(copy), ser(built));
    VKO_JSONDestroy(&copy);

    // Replacing a parsed subtree that itself holds another parse.
    EXPECT_TRUE(VKO_JSONArraySetItem(list, 0, nullptr));
    EXPECT_TRUE(VKO_JSONObjSetItem(built, "doc", VKO_JSONParse("[[1],[2]]")));
    EXPECT_EQ(ser(built), "{\"doc\":[[1],[2]]}");
    VKO_JSONDestroy(&built);
}

TEST_F(JsonTest, ParsedObjectsMatchBuiltOnes) {
    // The parser orders members in one step when the object closes; setting
    // the same members one by one must give the same text (repeated names
    // included: the first place, the last value). A removed member leaves a
    // hole that a later name of its bucket takes, in both alike.
    std::mt19937 rng(7);
    for (int round = 0; round < 300; round++) {
        size_t n = rng() % 100;
        std::string text = "{";
        VKO_JSON *built = VKO_JSONObjCreate();
        for (size_t i = 0; i < n; i++) {
            std::string name = "n" + std::to_string(rng() % (n + 1));
            int32_t v = (int32_t)(rng() % 1000);
            text += (i ? ",\"" : "\"") + name + "\":" + std::to_string(v);
            VKO_JSONObjSetItem(built, name.c_str(), VKO_JSONIntCreate(v));
        }
        text += "}";

        VKO_JSON *parsed = VKO_JSONParse(text.c_str());
        ASSERT_NE(parsed, nullptr);
        EXPECT_EQ(ser(parsed), ser(built)) << text;
        for (int change = 0; change < 4; change++) {
            std::string gone = "n" + std::to_string(rng() % (n + 1)),
                        added = "m" + std::to_string(rng() % 50);
            for (VKO_JSON *o : {parsed, built}) {
                VKO_JSONObjSetItem(o, gone.c_str(), nullptr);
                VKO_JSONObjSetItem(o, added.c_str(), VKO_JSONIntCreate(change));
            }
        }
        EXPECT_EQ(ser(parsed), ser(built)) << text;
        VKO_JSONDestroy(&parsed);
        VKO_JSONDestroy(&built);
    }

    // The hole rule itself, on three names of one bucket.
    std::vector<std::string> n;
    for (int i = 0; n.size() < 3; i++)
        if (VKO_DJB2(("k" + std::to_string(i)).c_str()) % 64 == VKO_DJB2("k0") % 64)
            n.push_back("k" + std::to_string(i));
    VKO_JSON *o = VKO_JSONParse(("{\"" + n[0] + "\":0,\"" + n[1] + "\":1}").c_str());
    VKO_JSONObjSetItem(o, n[0].c_str(), nullptr);
    VKO_JSONObjSetItem(o, n[2].c_str(), VKO_JSONIntCreate(2));
    EXPECT_EQ(ser(o), "{\"" + n[2] + "\":2,\"" + n[1] + "\":1}");
    VKO_JSONDestroy(&o);
}

TEST_F(JsonTest, NumbersWriteAsPrintfG15) {
    // The writer's own "%.15g" against the C library's, in the C locale.
    std::mt19937_64 rng(11);
    std::vector<double> values;
    const char *edges =
        "0 -0 1 -1 0.1 0.5 1e-5 1e-4 123456789012345 1e15 1e16 999999999999999 9999999999999999 "
        "0.30000000000000004 0.33333333333333331 0.66666666666666663 5e-324 1.7976931348623157e308 1e100 "
        "1e-100 12.5 100 1e21 4.35 0.000123456789012345678";
    for (char *end; *edges; edges = end) values.push_back(strtod(edges, &end));
    for (int i = 0; i < 50000; i++) {
        uint64_t bits = rng();
        double d;
        memcpy(&d, &bits, sizeof(d));
        if (std::isfinite(d)) values.push_back(d);
        values.push_back((double)(int64_t)(rng() % 2000000 - 1000000) / std::pow(10.0, (double)(rng() % 12)));
        values.push_back(std::ldexp((double)(rng() % 100000), (int)(rng() % 120) - 60));
    }

    for (double d : values) {
        VKO_JSON *j = VKO_JSONNumberCreate(d);
        char expect[64];
        snprintf(expect, sizeof(expect), "%.15g", d);
        char *got = VKO_JSONSerialize(j);
        ASSERT_STREQ(got, expect);
        VKO_Free(got);
        VKO_JSONDestroy(&j);
    }
}
