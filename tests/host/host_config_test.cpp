// The host record's JSON form: what it writes, read back by an independent
// parser, and how reading falls back to the base record.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <string>

#include "host/host_config.h"
#include "platform/memory.h"
#include "util/config.h"

namespace {

HostConfig sample() {
    HostConfig c;
    config_host_defaults(&c);
    c.virtual_tablet = 1;
    c.virtual_microphone = 0;
    for (int i = 0; i < 3; i++) {
        HostVideoConfig &v = c.video[i];
        v.resolutionX = 1920 + i;
        v.resolutionY = 1080 + i;
        v.encoderFPS = 30 + i;
        v.encoderMaxBitrate = 20 + i;
        snprintf(v.output, sizeof(v.output), "out-%d", i);
        v.rotated = i == 1;
        v.fullFPS = i == 2;
    }
    return c;
}

TEST(HostConfigJson, WrittenFormReadsBackAndParsesElsewhere) {
    HostConfig c = sample();
    char *text = host_config_to_json(&c, 7);
    rapidjson::Document d;
    d.Parse(text);
    ASSERT_FALSE(d.HasParseError());
    EXPECT_EQ(d["virtualTablet"].GetInt(), 1);
    EXPECT_EQ(d["virtualMicrophone"].GetInt(), 0);
    ASSERT_EQ(d["video"].Size(), 3u);
    const auto &v1 = d["video"][1];
    EXPECT_STREQ(v1["output"].GetString(), "out-1");
    EXPECT_EQ(v1["encoderMaxBitrate"].GetInt(), 21);
    EXPECT_EQ(v1["encoderFPS"].GetInt(), 31);
    EXPECT_EQ(v1["resolutionX"].GetInt(), 1921);
    EXPECT_EQ(v1["resolutionY"].GetInt(), 1081);
    EXPECT_TRUE(v1["rotated"].IsTrue());
    EXPECT_TRUE(v1["fullFPS"].IsFalse());
    EXPECT_EQ(v1["hostOS"].GetInt(), 7);

    HostConfig back;
    int32_t os = 0;
    host_config_from_json(&back, text, nullptr, &os);
    VKO_Free(text);
    EXPECT_EQ(memcmp(back.video, c.video, sizeof(c.video)), 0);
    EXPECT_EQ(back.virtual_tablet, 1);
    EXPECT_EQ(back.virtual_microphone, 0);
    EXPECT_EQ(os, 7);
}

TEST(HostConfigJson, ReadingFallsBackToTheBase) {
    HostConfig defaults, base = sample();
    config_host_defaults(&defaults);
    EXPECT_EQ(defaults.virtual_microphone, 1);
    EXPECT_EQ(defaults.video[0].encoderMaxBitrate, 10);
    EXPECT_STREQ(defaults.video[2].output, "none");
    EXPECT_STREQ(defaults.echo_app, "discord.exe");
    EXPECT_EQ(defaults.max_clients, 20);

    const std::string entry =
        R"({"output":"x","encoderMaxBitrate":5,"resolutionX":1,"resolutionY":2,"fullFPS":true})";
    const std::string no_full = R"({"output":"x","encoderMaxBitrate":5,"resolutionX":1,"resolutionY":2})";
    struct Case {
        std::string text;
        bool with_base;
        bool same_as_start;  // out equals the base (or the defaults)
    } cases[] = {
        {"{}", false, true},  // "video" missing: the defaults, virtualMicrophone 1
        {"not json", true, true},
        {R"({"video":[)" + entry + "," + no_full + "]}", true, true},  // second entry incomplete
        {R"({"video":"none"})", true, true},
    };
    for (const Case &c : cases) {
        HostConfig out;
        host_config_from_json(&out, c.text.c_str(), c.with_base ? &base : nullptr, nullptr);
        EXPECT_EQ(memcmp(&out, c.with_base ? &base : &defaults, sizeof(out)) == 0, c.same_as_start) << c.text;
    }

    // An empty list keeps the base streams; the missing switches become 0.
    HostConfig out;
    host_config_from_json(&out, R"({"video":[]})", &base, nullptr);
    EXPECT_EQ(memcmp(out.video, base.video, sizeof(base.video)), 0);
    EXPECT_EQ(out.virtual_tablet, 0);

    // Defaults of the optional keys; a long name keeps its terminator.
    std::string long_name(200, 'n');
    std::string one = R"({"virtualMicrophone":1,"video":[{"output":")" + long_name +
                      R"(","encoderMaxBitrate":5,"resolutionX":1,"resolutionY":2,"fullFPS":true}]})";
    int32_t os = 9;
    host_config_from_json(&out, one.c_str(), &base, &os);
    EXPECT_EQ(out.video[0].encoderFPS, 60);
    EXPECT_EQ(out.video[0].rotated, 0);
    EXPECT_EQ(strlen(out.video[0].output), 127u);
    EXPECT_EQ(out.video[1].resolutionX, base.video[1].resolutionX);
    EXPECT_EQ(os, 0);
}

}  // namespace
