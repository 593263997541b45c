// The schema table, checked for what any of its rows could get wrong rather
// than against a second copy of it.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/json.h"
#include "platform/memory.h"
#include "util/config.h"
#include "util/config_file.h"
#include "util/config_schema.h"

static uint32_t members(const VKO_JSON *object) {
    uint32_t n = 0;
    uint64_t iter = 0;
    const char *name = nullptr;
    while (VKO_JSONObjGetNextKey(object, &iter, &name)) n++;
    return n;
}

TEST(ConfigSchema, EveryRowIsWellFormed) {
    const ConfigItem *items = config_schema_items();
    std::set<std::string> names;
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        const ConfigItem &it = items[i];
        SCOPED_TRACE(it.name);
        EXPECT_TRUE(names.insert(it.name).second) << "names are unique";
        size_t n = strlen(it.name);
        // the text form reads a trailing "_<digit>" as a stream
        EXPECT_TRUE(n >= 3 && n <= 61 &&
                    strspn(it.name, "abcdefghijklmnopqrstuvwxyz0123456789_ABCDEFGHIJKLMNOPQRSTUVWXYZ") == n);
        EXPECT_FALSE(it.name[n - 2] == '_' && isdigit((unsigned char)it.name[n - 1]));
        EXPECT_TRUE(it.type >= CONFIG_TYPE_INT && it.type <= CONFIG_TYPE_STRING);
        EXPECT_LE(it.multi_stream | it.no_launch_link, 1);
        for (uint32_t s = 0; s < CONFIG_STREAM_COUNT; s++) {
            const ConfigSlot &d = it.slots[0][s];
            const ConfigRange &a = it.schema_range[s];
            EXPECT_EQ(d.set, 1);
            for (int l = 1; l < CONFIG_LAYER_COUNT; l++) EXPECT_EQ(it.slots[l][s].set, 0);
            EXPECT_EQ(it.server_range[s].present, 0);
            if (it.type == CONFIG_TYPE_INT) {
                EXPECT_TRUE(a.minimum <= d.value_int && d.value_int <= a.maximum);
            } else if (it.type == CONFIG_TYPE_BOOL) {
                EXPECT_LE(d.value_bool, 1);
            } else {
                ASSERT_NE(d.value_string, nullptr);
                EXPECT_LT(strlen(d.value_string), (size_t)CONFIG_STRING_LIMIT);
                EXPECT_TRUE(config_check_characters(&it, s, d.value_string));
            }
        }
    }
    EXPECT_STREQ(items[6].name, "app_environment");
    EXPECT_STREQ(items[6].slots[0][0].value_string, config_service_domains[0]);
}

// The store built from the table: its schema JSON survives a text round trip
// and fed back as service defaults sets every key and stream, which only
// holds when each default is of its key's kind and inside its range. The
// launch-link layer takes exactly the keys not barred from it.
TEST(ConfigSchema, SchemaJsonRoundTripAndLayerRules) {
    ASSERT_TRUE(config_create());
    VKO_JSON *schema = config_schema_output_json();
    char *text = VKO_JSONSerialize(schema);
    VKO_JSON *back = VKO_JSONParse(text);
    char *again = VKO_JSONSerialize(back);
    EXPECT_STREQ(text, again);

    uint32_t expected = 0;
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) expected += config_item_at(i)->multi_stream ? 3 : 1;
    EXPECT_EQ(members(back), expected);
    EXPECT_TRUE(config_apply_json(CONFIG_LAYER_SERVER_DEFAULT, back, "default", false));
    VKO_JSON *layer1 = config_layer_output_json(CONFIG_LAYER_SERVER_DEFAULT, nullptr, nullptr, false);
    EXPECT_EQ(members(layer1), expected);

    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++) {
        ConfigItem *it = config_item_at(i);
        SCOPED_TRACE(it->name);
        bool written = it->type == CONFIG_TYPE_STRING ? config_set_string(3, it->name, 0, "x")
                       : it->type == CONFIG_TYPE_BOOL
                           ? config_set_bool(3, it->name, 0, 1)
                           : config_set_int(3, it->name, 0, it->schema_range[0].maximum);
        EXPECT_EQ(written, !it->no_launch_link);
    }
    VKO_Free(text);
    VKO_Free(again);
    VKO_JSONDestroy(&layer1);
    VKO_JSONDestroy(&back);
    VKO_JSONDestroy(&schema);
    config_destroy();
}
