// Text form, config.json, config.txt migration, the registry layer, service
// settings, layer and schema JSON, window.json.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "compat/registry/registry.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/memory.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/config.h"
#include "util/config_file.h"

namespace {

std::string str(uint32_t layer, const char *key, uint32_t stream = 0) {
    char *t = config_get_string(layer, key, stream);
    std::string r = t;
    VKO_Free(t);
    return r;
}

// The integer member `field` of member `key` of an object, or -999.
int32_t member_int(const VKO_JSON *o, const char *key, const char *field) {
    int32_t v = -999;
    VKO_JSONToInt(VKO_JSONObjGetItem(VKO_JSONObjGetItem(o, key), field), &v);
    return v;
}

// The merged value of a key of any type, as text.
std::string merged(const char *key, uint32_t stream = 0) {
    config_lock_read();
    ConfigItem *it = config_lookup_item(CONFIG_LAYER_MERGED, key, stream, 0);
    uint32_t type = it ? it->type : 0;
    config_unlock();
    if (type == CONFIG_TYPE_STRING) return str(7, key, stream);
    return std::to_string(type == CONFIG_TYPE_BOOL ? config_get_bool(7, key, stream)
                                                   : config_get_int(7, key, stream));
}

bool is_set(uint32_t layer, const char *key, uint32_t stream = 0) {
    config_lock_read();
    ConfigItem *it = config_lookup_item(CONFIG_LAYER_MERGED, key, stream, 0);
    bool r = it && it->slots[layer][stream].set;
    config_unlock();
    return r;
}

class ConfigFile : public ::testing::Test {
   protected:
    void SetUp() override {
        setenv("ZARVEK_SYSROOT", dir.c_str(), 1);
        ASSERT_TRUE(config_create());
    }
    void TearDown() override {
        config_destroy();
        unsetenv("ZARVEK_SYSROOT");
    }
    bool parse(uint32_t layer, const char *text) {
        config_lock_write();
        bool r = config_parse_text(layer, text);
        config_unlock_notify();
        return r;
    }
    std::string path(const char *name) { return tmp.file(name); }
    TempDir tmp;
    const std::string &dir = tmp.path;
    LogCapture log;
};

}  // namespace

// Each row is parsed into layer 4 after the ones before it.
TEST_F(ConfigFile, TextFormRules) {
    const std::string long_name = "host_name=" + std::string(512, 'x');
    struct Row {
        std::string text;
        bool any_set;
        const char *key;
        uint32_t stream;
        std::string merged;
    } rows[] = {
        {"encoder_bitrate = 20 # fast", true, "encoder_bitrate", 0, "20"},
        {"client_resolution_x_2=1280", true, "client_resolution_x", 2, "1280"},
        {"app_debug_1=1", false, "app_debug", 0, "0"},  // single-stream key
        // CR, "&", ":" and ";" break lines; "#" comments run to the newline only
        {"encoder_fps=30;host_name=pc#x;encoder_slices=3\nencoder_max_qp=40", true, "host_name", 0, "pc"},
        {"encoder_fps=30;host_name=pc#x;encoder_slices=3\nencoder_max_qp=40", true, "encoder_slices", 0, "1"},
        {"encoder_fps=30;host_name=pc#x;encoder_slices=3\nencoder_max_qp=40", true, "encoder_max_qp", 0,
         "40"},
        // numbers: leading digits count, saturate at 32 bits; out of range stays unset
        {"host_audio_bitrate=12px", true, "host_audio_bitrate", 0, "12"},
        {"server_max_clients=99999999999", true, "server_max_clients", 0, "2147483647"},
        {"encoder_min_qp=200", false, "encoder_min_qp", 0, "5"},
        {"encoder_vbv_max=abc\nencoder_bitrate_3=5", false, "encoder_vbv_max", 0, "768"},
        {"encoder_vbv_max=true", true, "encoder_vbv_max", 0, "1"},
        // booleans: "no" is true, "0x1" is false, "FALSE" is false
        {"app_debug=no", true, "app_debug", 0, "1"},
        {"client_vsync=0x1", true, "client_vsync", 0, "0"},
        {"network_upnp=FALSE", true, "network_upnp", 0, "0"},
        // strings: character rule and length limit; a refused value clears the old one
        {"app_channel=beta_1", true, "app_channel", 0, "beta_1"},
        {"app_channel=beta.1", false, "app_channel", 0, "release"},
        {long_name, false, "host_name", 0, ""},
        {long_name.substr(0, long_name.size() - 1), true, "host_name", 0, std::string(511, 'x')},
        // a known key without a value is skipped, later lines still count
        {"encoder_fps=31\napp_debug=\nhost_name\nencoder_slices=4", true, "encoder_slices", 0, "4"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.text.substr(0, 60));
        EXPECT_EQ(parse(4, r.text.c_str()), r.any_set);
        EXPECT_EQ(merged(r.key, r.stream), r.merged);
    }
    EXPECT_EQ(config_get_int(4, "encoder_min_qp", 0), 200) << "stored but not set";

    // the line applier stores only into layers 1-6 (layer 0 holds the schema's own texts)
    char line[] = "host_name=x";
    config_lock_write();
    EXPECT_FALSE(config_parse_lines_nolock(line, 0));
    EXPECT_FALSE(config_parse_lines_nolock(line, 7));
    config_unlock_notify();
    EXPECT_EQ(str(0, "host_name"), "");
}

TEST_F(ConfigFile, LaunchLink) {
    config_apply_launch_url("zarvek://peer_id=p1&host_secret=s2&app_debug=1&client_resolution_y_1=720");
    EXPECT_EQ(str(3, "peer_id"), "p1");
    EXPECT_EQ(str(3, "host_secret"), "s2");
    EXPECT_EQ(config_get_bool(7, "app_debug", 0), 0);
    EXPECT_EQ(config_get_int(7, "client_resolution_y", 1), 720);
    config_apply_launch_url("open zarvek:session_id=abc");
    EXPECT_EQ(str(3, "session_id"), "abc");
    EXPECT_EQ(str(3, "peer_id"), "p1") << "layer 3 is not cleared first";

    char text[] = "a=1:app_silent=1:b=2";
    config_strip_silent_arg(text);
    EXPECT_STREQ(text, "a=1:b=2");
    char tail[] = "a=1:app_silent=1";
    config_strip_silent_arg(tail);
    EXPECT_STREQ(tail, "a=1:");
}

TEST_F(ConfigFile, ConfigJsonRoundTrip) {
    // the exact pretty form: tabs, one member object per value, no final newline
    const std::string head = std::string("[\n\t\"") + config_json_notice() + "\",\n\t{";
    ASSERT_TRUE(config_save(dir.c_str()));
    EXPECT_EQ(read_file(path("config.json")), head + "\n\t}\n]");
    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 2, 35));
    ASSERT_TRUE(config_save(dir.c_str()));
    EXPECT_EQ(read_file(path("config.json")),
              head + "\n\t\t\"encoder_bitrate_2\": {\n\t\t\t\"value\": 35\n\t\t}\n\t}\n]");

    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 0, 25));
    ASSERT_TRUE(config_set_bool(2, "app_debug", 0, 1));
    ASSERT_TRUE(config_set_string(2, "host_name", 0, "tab\there \"q\""));
    ASSERT_TRUE(config_set_int(4, "encoder_fps", 0, 30));  // not the user's layer
    ASSERT_TRUE(config_save(dir.c_str()));
    std::string saved = read_file(path("config.json"));
    EXPECT_EQ(saved.find("encoder_fps"), std::string::npos);

    config_destroy();
    ASSERT_TRUE(config_create());
    EXPECT_TRUE(config_load(2, dir.c_str(), true));
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 25);
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 2), 35);
    EXPECT_EQ(config_get_bool(7, "app_debug", 0), 1);
    EXPECT_EQ(str(7, "host_name"), "tab\there \"q\"");
    ASSERT_TRUE(config_save(dir.c_str()));
    EXPECT_EQ(read_file(path("config.json")), saved) << "byte-exact round trip";
    EXPECT_EQ(read_file(path("config.txt")), config_txt_notice());

    // a linked config.json stays a link; the file it names takes the settings
    TempDir other;
    ASSERT_EQ(rename(path("config.json").c_str(), other.file("real.json").c_str()), 0);
    ASSERT_EQ(symlink(other.file("real.json").c_str(), path("config.json").c_str()), 0);
    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 0, 26));
    ASSERT_TRUE(config_save(dir.c_str()));
    struct stat st;
    ASSERT_EQ(lstat(path("config.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(read_file(other.file("real.json")).find("\"value\": 26"), std::string::npos);
}

TEST_F(ConfigFile, LegacyTextMigratesIntoConfigJson) {
    write_file(path("config.txt"), "encoder_bitrate = 25\napp_debug=\nhost_name=pc\r\n");
    EXPECT_TRUE(config_load(2, dir.c_str(), true));
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 25);
    EXPECT_EQ(str(7, "host_name"), "pc");
    EXPECT_EQ(read_file(path("config.txt")), config_txt_notice());
    config_destroy();
    ASSERT_TRUE(config_create());
    EXPECT_TRUE(config_load(2, dir.c_str(), true)) << "the settings now live in config.json";
    EXPECT_EQ(str(2, "host_name"), "pc");
    EXPECT_EQ(config_get_int(2, "encoder_bitrate", 0), 25);
}

TEST_F(ConfigFile, UnusableConfigJsonIsRefusedAndKept) {
    const std::string valid = std::string("[\"n\", {\"encoder_bitrate\": {\"value\": 25}}]");
    struct Case {
        const char *what;
        std::string bytes;
        bool save_allowed;
    } cases[] = {
        {"corrupt", "[\"n\", {\"encoder_bitrate\": {\"value\": 25}},,]", false},
        {"truncated", valid.substr(0, valid.size() - 7), false},
        {"not ours", "{\"encoder_bitrate\": 25}", false},
        {"empty", "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path("config.json"), c.bytes);
        write_file(path("config.txt"), "host_name=legacy\n");
        log.clear();
        ASSERT_TRUE(config_set_int(2, "encoder_slices", 0, 7));
        config_load(2, dir.c_str(), true);
        bool logged = false;
        for (const auto &l : log.lines()) logged |= l.find("config.json") != std::string::npos;
        EXPECT_TRUE(logged);
        EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 10);
        EXPECT_EQ(str(7, "host_name"), "legacy");
        if (c.save_allowed) {
            EXPECT_TRUE(config_save(dir.c_str()));
            EXPECT_NE(read_file(path("config.json")).find("legacy"), std::string::npos);
        } else {
            EXPECT_FALSE(config_save(dir.c_str()));
            EXPECT_EQ(read_file(path("config.json")), c.bytes) << "the file on disk is kept as it was";
            EXPECT_EQ(read_file(path("config.txt")), "host_name=legacy\n")
                << "legacy settings are not dropped";
        }
    }
    // once the user mends the file, loading and saving work again
    write_file(path("config.json"), valid);
    EXPECT_TRUE(config_load(2, dir.c_str(), true));
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 25);
    EXPECT_TRUE(config_save(dir.c_str()));
}

TEST_F(ConfigFile, HugeConfigJsonIsRefusedWithoutReadingIt) {
    int fd = open(path("config.json").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "[", 1), 1);
    ASSERT_EQ(ftruncate(fd, 64ll * 1024 * 1024), 0);  // sparse
    close(fd);
    log.clear();
    config_load(2, dir.c_str(), true);
    bool logged = false;
    for (const auto &l : log.lines()) logged |= l.find("too large") != std::string::npos;
    EXPECT_TRUE(logged);
    EXPECT_FALSE(config_save(dir.c_str()));
    struct stat st;
    ASSERT_EQ(stat(path("config.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 64ll * 1024 * 1024);
}

TEST_F(ConfigFile, RegistryValueFillsLayerFive) {
    RegKey *key = nullptr;
    ASSERT_EQ(reg_create_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_ALL_ACCESS, &key), 0);
    std::u16string text = u"encoder_fps=45:host_name=reg\u00e9";
    ASSERT_EQ(reg_set_value(key, "Configuration", REG_SZ, text.c_str(), (uint32_t)((text.size() + 1) * 2)),
              0);
    EXPECT_TRUE(config_load_registry(5));
    EXPECT_EQ(config_get_int(7, "encoder_fps", 0), 45);
    EXPECT_EQ(str(5, "host_name"), "reg\xc3\xa9");

    // another type, or more than 8192 bytes, leaves the layer empty
    uint32_t dword = 5;
    ASSERT_EQ(reg_set_value(key, "Configuration", REG_DWORD, &dword, 4), 0);
    EXPECT_FALSE(config_load_registry(5));
    EXPECT_EQ(config_get_int(7, "encoder_fps", 0), 0);
    std::u16string big = u"encoder_fps=46:" + std::u16string(4200, u'#');
    ASSERT_EQ(reg_set_value(key, "Configuration", REG_SZ, big.c_str(), (uint32_t)((big.size() + 1) * 2)), 0);
    EXPECT_FALSE(config_load_registry(5));
    EXPECT_EQ(config_get_int(7, "encoder_fps", 0), 0);
    reg_close_key(key);
}

TEST_F(ConfigFile, JsonApplicationRules) {
    ASSERT_TRUE(config_set_bool(2, "app_host", 0, 0));
    VKO_JSON *o = VKO_JSONParse(
        "{\"app_host\": {}, \"encoder_fps\": {\"value\": 2.5},"
        " \"encoder_slices\": {\"value\": 1e20}, \"app_debug_1\": {\"value\": true},"
        " \"encoder_bitrate_1\": {\"value\": true}, \"app_channel\": {\"value\": \"a.b\"}}");
    ASSERT_NE(o, nullptr);
    log.clear();
    EXPECT_TRUE(config_apply_json(2, o, "value", false));
    EXPECT_FALSE(is_set(2, "app_host")) << "a member without the value clears the slot";
    EXPECT_EQ(config_get_int(7, "encoder_fps", 0), 2) << "ties to even";
    EXPECT_EQ(config_get_int(7, "encoder_slices", 0), 1) << "out of range changes nothing";
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 1), 1);
    EXPECT_EQ(str(7, "app_channel"), "release");
    EXPECT_TRUE(log.lines().empty()) << "no stream complaints for single-stream keys";
    VKO_JSONDestroy(&o);
}

TEST_F(ConfigFile, ServiceSettingsTypedAndUntyped) {
    VKO_JSON *s = VKO_JSONParse(
        "{\"encoder_bitrate\": {\"value\": 30, \"default\": 20, \"minimum\": 5, \"maximum\": 40},"
        " \"app_channel\": {\"default\": \"edge\", \"is_whitelist\": false, \"characters\": \"!\"},"
        " \"ws_host\": {\"value\": \"x.zarvek.test\"}}");
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(config_apply_remote(s, true, true, true));
    EXPECT_EQ(config_get_int(6, "encoder_bitrate", 0), 30);
    EXPECT_EQ(config_get_int(1, "encoder_bitrate", 0), 20);
    EXPECT_EQ(str(7, "app_channel"), "edge");
    EXPECT_EQ(str(7, "ws_host"), "") << "the listed user keeps the local websocket host";
    EXPECT_FALSE(config_set_int(2, "encoder_bitrate", 0, 41));
    EXPECT_FALSE(config_set_string(2, "app_channel", 0, "a!"));

    VKO_JSON *schema = config_schema_output_json();
    EXPECT_EQ(member_int(schema, "encoder_bitrate", "default"), 20);
    EXPECT_EQ(member_int(schema, "encoder_bitrate", "maximum"), 40);
    EXPECT_STREQ(
        VKO_JSONGetString(VKO_JSONObjGetItem(VKO_JSONObjGetItem(schema, "app_channel"), "characters")), "!");
    EXPECT_NE(VKO_JSONObjGetItem(schema, "encoder_bitrate_2"), nullptr);
    EXPECT_EQ(VKO_JSONObjGetItem(schema, "app_debug_1"), nullptr);
    VKO_JSONDestroy(&schema);

    // reset alone clears layers 6 and 1 and the server ranges
    EXPECT_TRUE(config_apply_remote(nullptr, true, false, true));
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 10);
    EXPECT_TRUE(config_set_int(2, "encoder_bitrate", 0, 41));

    VKO_JSON *u = VKO_JSONParse(
        "{\"host_name\": {\"value\": \"svc\"}, \"ws_host\": {\"value\": \"y.zarvek.test\"},"
        " \"encoder_fps\": {\"value\": 50}}");
    config_apply_remote(u, false, false, false);
    EXPECT_EQ(str(6, "host_name"), "svc");
    EXPECT_EQ(str(6, "ws_host"), "y.zarvek.test");
    EXPECT_EQ(config_get_int(6, "encoder_fps", 0), 0) << "only string values travel untyped";
    VKO_JSONDestroy(&u);
    VKO_JSONDestroy(&s);
}

TEST_F(ConfigFile, LayerOutput) {
    log.clear();
    VKO_JSON *l3 = config_layer_output_json(3, nullptr, nullptr, false);
    ASSERT_NE(l3, nullptr);
    EXPECT_EQ(log.lines().size(), 106u);
    VKO_JSONDestroy(&l3);

    ASSERT_TRUE(config_set_int(6, "encoder_fps", 1, 30));
    VKO_JSON *m = config_layer_output_json(7, nullptr, nullptr, true);
    uint64_t it = 0;
    const char *name = nullptr;
    int members = 0;
    while (VKO_JSONObjGetNextKey(m, &it, &name)) members++;
    EXPECT_EQ(members, 121 + 2 * 16);
    EXPECT_EQ(member_int(m, "encoder_fps_1", "source"), 6);
    VKO_JSONDestroy(&m);

    config_destroy();
    log.clear();
    EXPECT_EQ(config_layer_output_json(7, nullptr, nullptr, false), nullptr);
    EXPECT_TRUE(log.contains(
        "CONFIG: Attempted to access the config before it was ready (config_layer_output_json)"));
}

TEST_F(ConfigFile, WindowPlacement) {
    VKO_Frame f = {4, 1280, 720, "HDMI-1", -10, 20};
    ASSERT_TRUE(config_save_window(dir.c_str(), 1, &f));
    f.width = 640;
    ASSERT_TRUE(config_save_window(dir.c_str(), 0, &f)) << "other windows are kept";
    VKO_Frame g;
    config_load_window(&g, dir.c_str(), 1);
    f.width = 1280;
    EXPECT_EQ(memcmp(&g, &f, sizeof(f)), 0);
    EXPECT_EQ(config_load_window(&g, dir.c_str(), 0)->width, 640u);
    EXPECT_EQ(config_load_window(&g, dir.c_str(), 5)->width, 0u);
}

// Saves and placements from several threads at once: every write succeeds,
// the file holds the store's last state, each window keeps its own
// placement and no temporary file is left behind.
TEST_F(ConfigFile, ConcurrentSavesLoseNothing) {
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; i++) {
                config_set_int(2, "encoder_bitrate", 0, 100 * t + i);
                failed += !config_save(dir.c_str());
                VKO_Frame f = {0, (uint32_t)(100 + i), 50, "S", t, i};
                failed += !config_save_window(dir.c_str(), t, &f);
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(failed, 0);
    VKO_DirList *list = VKO_ListDirectory(dir.c_str(), nullptr);
    EXPECT_EQ(list->len, 4u) << "., .., config.json and window.json only";
    VKO_DirectoryListDestroy(&list);

    int32_t last = config_get_int(2, "encoder_bitrate", 0);
    config_destroy();
    ASSERT_TRUE(config_create());
    config_load(2, dir.c_str(), true);
    EXPECT_EQ(config_get_int(2, "encoder_bitrate", 0), last);
    for (int t = 0; t < 6; t++) {
        VKO_Frame g;
        config_load_window(&g, dir.c_str(), t);
        EXPECT_EQ(g.x, t);
        EXPECT_EQ(g.y, 24);
    }
}

// A save replaces the contents only: mode, owner and links stay, and the
// guard against saving over an unreadable file knows the file by any name.
TEST_F(ConfigFile, SaveKeepsModeOwnerAndLinks) {
    struct stat st;
    const std::string file = path("config.json");
    ASSERT_TRUE(config_save(dir.c_str()));
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(file.c_str(), 4321, 4322), 0);
    }
    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 0, 33));
    ASSERT_TRUE(config_save(dir.c_str()));
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid * 10000 + st.st_gid, 4321u * 10000 + 4322u);
    }

    // a link whose target is missing: the target is written, the link kept
    TempDir other;
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(symlink(other.file("real.json").c_str(), file.c_str()), 0);
    ASSERT_TRUE(config_save(dir.c_str()));
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(read_file(other.file("real.json")).find("\"value\": 33"), std::string::npos);

    // refused when loaded as "dir/", still refused when saved as "dir"
    write_file(other.file("real.json"), "[broken");
    config_load(2, (dir + "/").c_str(), false);
    EXPECT_FALSE(config_save(dir.c_str()));
    EXPECT_EQ(read_file(other.file("real.json")), "[broken");
}
