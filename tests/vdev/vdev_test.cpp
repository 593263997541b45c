// Virtual devices: the host's fallbacks on a machine without the drivers, the
// recording back-end, and the real microphone on a private PulseAudio server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/host.h"
#include "platform/thread.h"
#include "support/log_capture.h"
#include "support/pulse_server.h"
#include "util/logger.h"
#include "vdev/vdev.h"

namespace {

std::vector<std::string> g_lines;
void collect(uint32_t, const char *text, void *) {
    g_lines.push_back(text);
}

struct Case {
    const VdevBackend *backend;
    int32_t gamepad_type;
    const char *fail;  // recorder call made to fail
    std::vector<std::string> lines;
    uint32_t pad_type;  // 0: no gamepad manager
};

TEST(Vdev, GamepadSetUpFallbacks) {
    const Case cases[] = {
        {&vdev_absent_backend,
         3,
         nullptr,
         {"VirtualUsbControllerIsCompatiblePresent failed with e0000228 for api version 1, no compatible "
          "driver "
          "found.",
          "Zarvek Virtual USB Adapter failed to initialize, no virtual device support",
          "Failed to initialize host gamepad input via ViGEm"},
         0},
        {&vdev_recording_backend,
         3,
         nullptr,
         {"Zarvek Virtual USB Adapter available", "Using Zarvek Virtual USB Adapter for host gamepad input"},
         PAD_DUALSENSE},
        {&vdev_recording_backend,
         3,
         "vusb_present",
         {"VirtualUsbControllerIsCompatiblePresent failed with 7 for api version 1, no compatible driver "
          "found.",
          "Zarvek Virtual USB Adapter failed to initialize, no virtual device support",
          "Using ViGEm for host gamepad input"},
         PAD_DS4},
        {&vdev_recording_backend,
         1,
         "vusb_version",
         {"VirtualUsbControllerGetVersion failed.",
          "Zarvek Virtual USB Adapter failed to initialize, no virtual device support",
          "Using ViGEm for host gamepad input"},
         PAD_XBOX360},
    };
    HostHooks hooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0};
    host_set_hooks(&hooks);
    log_set_line_writer(collect);
    log_set_sink(log_sink_format, nullptr);
    for (const Case &c : cases) {
        vdev_set_backend(c.backend);
        vdev_recorder_clear();
        if (c.fail) vdev_recorder_fail(c.fail, 7);
        g_lines.clear();
        HostConfig cfg{};
        cfg.gamepad_type = c.gamepad_type;
        cfg.gamepad_mode = 2;
        HostContext *ctx = nullptr;
        host_create(&cfg, nullptr, nullptr, &ctx);
        EXPECT_EQ(g_lines, c.lines);
        EXPECT_EQ(ctx->gamepads ? ctx->gamepads->pad_type : 0u, c.pad_type);
        host_destroy(&ctx, 0);
    }
    log_set_sink(nullptr, nullptr);
    log_set_line_writer(nullptr);
    host_set_hooks(nullptr);
    vdev_set_backend(nullptr);
}

TEST(Vdev, PadsOfALeavingGuestGoNeutral) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    ControllerManager *m = controller_manager_create(0, PAD_DS4, nullptr, nullptr);
    EXPECT_EQ(controller_slot_get(m, 7, 0), 0);
    EXPECT_EQ(controller_slot_get(m, 8, 0), 1);
    EXPECT_EQ(controller_slot_get(m, 7, 0), 0);
    VKO_MutexLock(m->mutex);
    controller_release_owner(m, 7);
    VKO_MutexUnlock(m->mutex);
    controller_manager_destroy(&m);
    const std::vector<std::string> want = {"pad_plug(0,2)", "pad_plug(1,2)", "pad_submit(0,8080808008000000)",
                                           "pad_unplug(0)", "pad_unplug(1)"};
    EXPECT_EQ(vdev_recorded(), want);
    vdev_set_backend(nullptr);
}

TEST(Vdev, UinputMissingSaysSo) {
    if (access("/dev/uinput", W_OK) == 0) GTEST_SKIP() << "this machine has uinput";
    LogCapture log;
    EXPECT_FALSE(vdev_absent_backend.vmouse_create() & VDEV_BIT_SUCCESS);
    bool said = false;
    for (const std::string &l : log.lines())
        said = said || l.find("/dev/uinput failed with") != std::string::npos;
    EXPECT_TRUE(said);
}

TEST(Vdev, MicrophoneIsANullSink) {
    PulseServer *server = PulseServer::get();
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(vdev_absent_backend.vmicrophone_init(0), 0);
    VKO_PulseSink sink{};
    {
        PulseLock lock(server->pulse());
        EXPECT_TRUE(vko_pulse_sink(server->pulse(), "zarvek_virtual_microphone", &sink));
    }
    EXPECT_EQ(std::string(sink.monitor), "zarvek_virtual_microphone.monitor");
    vdev_absent_backend.vmicrophone_destroy(0);
    PulseLock lock(server->pulse());
    EXPECT_FALSE(vko_pulse_sink(server->pulse(), "zarvek_virtual_microphone", &sink));
}

}  // namespace
