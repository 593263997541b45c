// Start-up: the store's layers from config.json, the start-up arguments and
// the machine registry value; the log level; logging start with rotation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/context.h"
#include "compat/registry/registry.h"
#include "platform/log.h"
#include "util/config.h"
#include "util/logger.h"
#include "util/winutil.h"
#include "support/temp_dir.h"

TEST(AppContext, BuildsTheStoreAndStartsLogging) {
    TempDir tmp;
    const std::string &dir = tmp.path;
    setenv("ZARVEK_SYSROOT", dir.c_str(), 1);
    {
        std::ofstream f(dir + "/config.json");
        f << "[\"n\", {\"encoder_bitrate\": {\"value\": 25}, \"app_log_level\": {\"value\": 0}}]";
    }
    {
        std::ofstream f(dir + "/log.txt");
        f << "previous run\n";
    }
    RegKey *key = nullptr;
    ASSERT_EQ(reg_create_key(REG_HKEY_LOCAL_MACHINE, "SOFTWARE\\Zarvek", REG_KEY_ALL_ACCESS, &key), 0);
    std::u16string text = u"encoder_fps=50";
    ASSERT_EQ(reg_set_value(key, "Configuration", REG_SZ, text.c_str(), (uint32_t)((text.size() + 1) * 2)),
              0);
    reg_close_key(key);

    const char *argv[] = {"zarvek", "encoder_slices=3", "app_log_level=-1"};
    AppContext ctx;
    ASSERT_TRUE(app_context_init(&ctx, 3, argv, dir.c_str(), APP_FLAG_HOST));
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 25);
    EXPECT_EQ(config_get_int(7, "encoder_slices", 0), 3);
    EXPECT_EQ(config_get_int(7, "encoder_fps", 0), 50);
    EXPECT_EQ(app_context_log_level(&ctx), 0xFFFFFFFFu) << "start-up text beats the user file";
    EXPECT_EQ(ctx.is_host, 1);

    ASSERT_TRUE(app_logging_start(&ctx));
    VKO_Log("tag", "from the platform %d", 7);
    log_message(0, "from the app");
    ASSERT_TRUE(fs_async_flush(10000));
    std::string log = read_file(dir + "/log.txt");
    EXPECT_EQ(log.rfind("previous run\n\n", 0), 0u) << "a blank line separates runs";
    EXPECT_NE(log.find("] tag: from the platform 7\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] from the app\n"), std::string::npos) << log;

    app_context_shutdown(&ctx);
    EXPECT_FALSE(config_exists());
    fs_async_stop();
    unsetenv("ZARVEK_SYSROOT");
}

// The level limit and the proxy follow the store after start-up: a write to
// app_log_level (any layer) changes what reaches the file, and a proxy key
// written later is applied at once.
TEST(AppContext, LevelAndProxyFollowTheSettings) {
    TempDir tmp;
    setenv("ZARVEK_SYSROOT", tmp.path.c_str(), 1);
    const char *argv[] = {"zarvek", "app_log_level=0", "app_proxy_address=127.0.0.1", "app_proxy_port=3128"};
    AppContext ctx;
    ASSERT_TRUE(app_context_init(&ctx, 4, argv, tmp.path.c_str(), APP_FLAG_HOST));
    ASSERT_TRUE(app_logging_start(&ctx));
    app_context_follow_config(&ctx);
    char proxy[PROXY_ADDRESS_SIZE];
    proxy_get(proxy, sizeof proxy);
    EXPECT_STREQ(proxy, "127.0.0.1:3128");

    log_message(1, "hidden at level 0");
    ASSERT_TRUE(config_set_int(CONFIG_LAYER_ENFORCED, "app_log_level", 0, 1));
    EXPECT_EQ(app_context_log_level(&ctx), 1u);
    log_message(1, "shown at level 1");
    ASSERT_TRUE(config_set_string(CONFIG_LAYER_ENFORCED, "app_proxy_scheme", 0, "http"));
    proxy_get(proxy, sizeof proxy);
    EXPECT_STREQ(proxy, "http://127.0.0.1:3128");
    ASSERT_TRUE(config_clear_value(CONFIG_LAYER_STARTUP, "app_proxy_address", 0));
    proxy_get(proxy, sizeof proxy);
    EXPECT_STREQ(proxy, "") << "a cleared proxy is no longer used";

    ASSERT_TRUE(fs_async_flush(10000));
    const std::string log = read_file(tmp.path + "/log.txt");
    EXPECT_EQ(log.find("hidden at level 0"), std::string::npos) << log;
    EXPECT_NE(log.find("] shown at level 1\n"), std::string::npos) << log;
    app_context_shutdown(&ctx);
    proxy_configure("", "", "", 0);
    unsetenv("ZARVEK_SYSROOT");
}

// A data folder's path that the context cannot keep whole is refused: cut, it
// would name an ancestor folder, whose settings would be read and written.
// One byte shorter, it is kept whole.
TEST(AppContext, RefusesADataFolderItCannotKeepWhole) {
    TempDir tmp;
    setenv("ZARVEK_SYSROOT", tmp.path.c_str(), 1);
    std::string kept = tmp.path;
    while (kept.size() < APP_DATA_DIR_MAX - 1) {
        const size_t left = APP_DATA_DIR_MAX - 1 - kept.size();
        kept += "/" + std::string(left > 256 ? 200 : left - 1, 'd');
        ASSERT_EQ(mkdir(kept.c_str(), 0755), 0) << kept;
    }
    ASSERT_EQ(kept.size(), APP_DATA_DIR_MAX - 1u);
    write_file(kept + "/config.json", "[\"n\", {\"encoder_bitrate\": {\"value\": 25}}]");
    const std::string longer = kept + "/x";
    ASSERT_EQ(mkdir(longer.c_str(), 0755), 0);

    const char *argv[] = {"zarvek"};
    AppContext ctx;
    EXPECT_FALSE(app_context_init(&ctx, 1, argv, longer.c_str(), APP_FLAG_HOST));
    struct stat st;
    EXPECT_NE(stat((kept + "/config.txt").c_str(), &st), 0) << "the ancestor's files are left alone";
    app_context_shutdown(&ctx);

    ASSERT_TRUE(app_context_init(&ctx, 1, argv, kept.c_str(), APP_FLAG_HOST));
    EXPECT_EQ(std::string(ctx.data_dir), kept);
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 25);
    app_context_shutdown(&ctx);
    unsetenv("ZARVEK_SYSROOT");
}

// What the store says before logging starts (a config.json it cannot use) is
// held, can be read meanwhile, and is written to the log that starts, also
// under a level limit that hides the platform's lines.
TEST(AppContext, WritesWhatWasLoggedBeforeLoggingStarted) {
    TempDir tmp;
    setenv("ZARVEK_SYSROOT", tmp.path.c_str(), 1);
    write_file(tmp.path + "/config.json", "[\"n\", {\"encoder_fps\": ");
    const char *argv[] = {"zarvek", "app_log_level=0"};
    AppContext ctx;
    ASSERT_TRUE(app_context_init(&ctx, 2, argv, tmp.path.c_str(), APP_FLAG_HOST));
    log_message(LOG_LEVEL_INFO, "before the log");
    const std::string bad = "CONFIG: 'config.json' is not valid; it is ignored and kept";
    std::vector<std::string> held;
    app_context_held_lines(
        [](const char *line, void *v) { static_cast<std::vector<std::string> *>(v)->push_back(line); },
        &held);
    EXPECT_NE(std::find(held.begin(), held.end(), bad), held.end());
    EXPECT_EQ(held.back(), "before the log");

    ASSERT_TRUE(app_logging_start(&ctx));
    VKO_Log("tag", "hidden at level 0");
    ASSERT_TRUE(fs_async_flush(10000));
    const std::string log = read_file(tmp.path + "/log.txt");
    EXPECT_NE(log.find("] " + bad + "\n"), std::string::npos) << log;
    EXPECT_LT(log.find(bad), log.find("] before the log\n")) << log;
    EXPECT_EQ(log.find("hidden at level 0"), std::string::npos) << log;
    app_context_shutdown(&ctx);
    unsetenv("ZARVEK_SYSROOT");
}
