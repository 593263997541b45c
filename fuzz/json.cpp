// Any byte string either fails to parse cleanly or parses into a tree whose
// compact text parses again; from there the text is a fixed point (the first
// writing may still differ: -0e2 writes "-0", which reads back as integral 0),
// and the copy writes the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/json.h"
#include "platform/log.h"
#include "platform/memory.h"

static void quiet(const char *, void *) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool init = (VKO_SetLogFunc(quiet, nullptr), true);
    (void)init;

    std::string text((const char *)data, size);
    VKO_JSON *j = VKO_JSONParse(text.c_str());
    if (!j) return 0;

    char *first = VKO_JSONSerialize(j);
    VKO_JSON *again = VKO_JSONParse(first);
    if (!again) abort();
    char *out = VKO_JSONSerialize(again);
    VKO_JSON *third = VKO_JSONParse(out);
    if (!third) abort();
    char *out2 = VKO_JSONSerialize(third);
    if (strcmp(out, out2) != 0) abort();

    VKO_JSON *copy = VKO_JSONDuplicate(third);
    char *out3 = VKO_JSONSerialize(copy);
    if (strcmp(out, out3) != 0) abort();

    // A plain number writes exactly as the C library's "%.15g".
    if (j->type == VKO_JSON_TYPE_NUMBER && !j->value.integral) {
        char expect[64];
        snprintf(expect, sizeof(expect), "%.15g", j->value2.num);
        if (strcmp(first, expect) != 0) abort();
    }

    // Typed reads of every top-level member never misbehave.
    uint64_t it = 0;
    const char *name = nullptr;
    while (VKO_JSONObjGetNextKey(j, &it, &name)) {
        VKO_JSON *m = VKO_JSONObjGetItem(j, name);
        if (!m) abort();
        int32_t i32;
        int16_t i16;
        float f;
        bool b;
        char buf[8];
        VKO_JSONToInt(m, &i32);
        VKO_JSONToInt16(m, &i16);
        VKO_JSONToFloat(m, &f);
        VKO_JSONToBool(m, &b);
        VKO_JSONToString(m, buf, sizeof(buf));
    }

    VKO_Free(first);
    VKO_Free(out);
    VKO_Free(out2);
    VKO_JSONDestroy(&third);
    VKO_Free(out3);
    VKO_JSONDestroy(&copy);
    VKO_JSONDestroy(&again);
    VKO_JSONDestroy(&j);
    return 0;
}
