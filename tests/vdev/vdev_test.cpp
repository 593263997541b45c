// Virtual devices: the host's fallbacks on a machine without the drivers, the
// recording back-end, and the real microphone on a private PulseAudio server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/host.h"
#include "platform/hid_internal.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "support/log_capture.h"
#include "support/pulse_server.h"
#include "util/logger.h"
#include "vdev/controller_input.h"
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
    EXPECT_EQ(controller_slot_get(m, controller_pad_key(7, 0), 1007), 0);
    EXPECT_EQ(controller_slot_get(m, controller_pad_key(8, 0), 1008), 1);
    EXPECT_EQ(controller_slot_get(m, controller_pad_key(7, 0), 1007), 0);
    VKO_MutexLock(m->mutex);
    controller_release_guest(m, 7);
    VKO_MutexUnlock(m->mutex);
    controller_manager_destroy(&m);
    const std::vector<std::string> want = {"pad_plug(0,2)", "pad_plug(1,2)", "pad_submit(0,8080808008000000)",
                                           "pad_unplug(0)", "pad_unplug(1)"};
    EXPECT_EQ(vdev_recorded(), want);
    vdev_set_backend(nullptr);
}

// A rumble the driver began before its pad's unplug still runs into a whole
// manager (which drops it): destroying the manager waits for it.
TEST(Vdev, RumbleOnItsWayHoldsTheManager) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    struct Owner {
        std::atomic<bool> destroyed{false}, late{false};
        std::atomic<int> calls{0};
    } owner;
    auto feedback = [](const uint8_t *, uint32_t guest, void *o) {
        auto *w = static_cast<Owner *>(o);
        w->late = w->destroyed.load();
        if (guest == 4) w->calls++;
    };
    ControllerManager *m = controller_manager_create(0, PAD_DS4, feedback, &owner);
    ASSERT_EQ(controller_slot_get(m, controller_pad_key(4, 2), 1004), 0);
    vdev_recorder_hold("pad_feedback_call", true);
    std::thread game([] { EXPECT_TRUE(vdev_recorder_feedback(0, 9, 8)); });
    EXPECT_TRUE(vdev_recorder_wait_entered("pad_feedback_call", 1, 10000));
    std::thread host([&] {
        controller_manager_destroy(&m);
        owner.destroyed = true;
    });
    // The destroy is either waiting for the rumble or, wrongly, done.
    for (int i = 0; i < 2000 && !owner.destroyed; i++)
        if (vdev_recorder_wait_entered("pad_feedback_wait", 1, 5)) break;
    vdev_recorder_hold("pad_feedback_call", false);
    game.join();
    host.join();
    EXPECT_EQ(owner.calls.load(), 0) << "a pad unplugged has no guest to rumble for";
    EXPECT_FALSE(owner.late.load()) << "the rumble reached its owner after the manager was gone";
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// A rumble the driver began for a guest's pad reaches nobody when the pad is
// unplugged and another guest's pad takes its slot before the call arrives;
// the new pad's own rumble reaches its guest.
TEST(Vdev, LateRumbleSkipsTheSlotsNextPad) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    struct Owner {
        std::mutex mutex;
        std::vector<uint32_t> guests;
    } owner;
    auto feedback = [](const uint8_t *, uint32_t guest, void *o) {
        auto *w = static_cast<Owner *>(o);
        std::lock_guard<std::mutex> lock(w->mutex);
        w->guests.push_back(guest);
    };
    ControllerManager *m = controller_manager_create(0, PAD_DS4, feedback, &owner);
    ASSERT_EQ(controller_slot_get(m, controller_pad_key(4, 0), 1004), 0);
    vdev_recorder_hold("pad_feedback_call", true);
    std::thread game([] { EXPECT_TRUE(vdev_recorder_feedback(0, 9, 8)); });
    EXPECT_TRUE(vdev_recorder_wait_entered("pad_feedback_call", 1, 10000));
    VKO_MutexLock(m->mutex);
    controller_release_guest(m, 4);
    VKO_MutexUnlock(m->mutex);
    ASSERT_EQ(controller_slot_get(m, controller_pad_key(5, 0), 1005), 0);
    vdev_recorder_hold("pad_feedback_call", false);
    game.join();
    EXPECT_TRUE(vdev_recorder_feedback(0, 1, 2));
    controller_manager_destroy(&m);
    EXPECT_EQ(owner.guests, std::vector<uint32_t>{5});
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// The driver clients over the recorder: the bus client disconnects only
// when it connected; the mouse's control thread is joined before the device
// goes, and a failed destroy is logged; DualSense reports go out whole.
TEST(Vdev, DriverClientsOverTheRecorder) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    VigemClient *bus = vigem_alloc();
    EXPECT_EQ(vigem_connect(bus), VDEV_VIGEM_SUCCESS);
    vigem_free(bus);
    vdev_recorder_fail("vigem_connect", 9);
    bus = vigem_alloc();
    EXPECT_EQ(vigem_connect(bus), 9u);
    EXPECT_EQ(bus->connected, 0);
    vigem_free(bus);
    EXPECT_EQ(vdev_recorded(),
              (std::vector<std::string>{"vigem_connect()", "vigem_disconnect()", "vigem_connect()"}));

    vdev_recorder_clear();
    log_set_line_writer(collect);
    log_set_sink(log_sink_format, nullptr);
    g_lines.clear();
    VirtualMouse *mouse = nullptr;
    ASSERT_TRUE(XVUSB_vmouse_device_create(&mouse, 0) & VDEV_BIT_SUCCESS);
    ASSERT_NE(mouse, nullptr);
    mouse->thread = VKO_ThreadCreate(VirtualMouseDeviceControlThread, mouse);
    vmouse_destroy(&mouse);
    EXPECT_EQ(mouse, nullptr);
    vdev_recorder_fail("vmouse_create", 3);
    EXPECT_EQ(XVUSB_vmouse_device_create(&mouse, 0), 3u);
    EXPECT_EQ(mouse, nullptr);
    vdev_recorder_fail("vmouse_create", 0);
    vdev_recorder_fail("vmouse_destroy", 5);
    ASSERT_TRUE(XVUSB_vmouse_device_create(&mouse, 0) & VDEV_BIT_SUCCESS);
    vmouse_destroy(&mouse);
    EXPECT_EQ(g_lines, std::vector<std::string>{"* vmouse_destroy/VirtualMouseDeviceDestroy[32] = 5"});
    log_set_sink(nullptr, nullptr);
    log_set_line_writer(nullptr);
    EXPECT_EQ(vdev_recorded(),
              (std::vector<std::string>{"vmouse_create()", "vmouse_destroy()", "vmouse_create()",
                                        "vmouse_create()", "vmouse_destroy()"}));

    vdev_recorder_clear();
    ControllerManager *m = controller_manager_create(1, PAD_DUALSENSE, nullptr, nullptr);
    controller_set_state(m, controller_pad_key(3, 0), 1003, 0, 0, 0, 0, 0, 0, 0);
    controller_manager_destroy(&m);
    EXPECT_EQ(vdev_recorded(),
              (std::vector<std::string>{"pad_plug(0,3)", "pad_submit(0,8080808000000008)", "pad_unplug(0)"}));
    vdev_recorder_pad_data(4, true, {1, 2, 3});
    uint8_t buf[8];
    uint32_t len = 0, offset = 7;
    EXPECT_EQ(VirtualDualSenseDeviceReadIsochronous(4, buf, sizeof buf, &len, &offset), VDEV_BIT_SUCCESS);
    EXPECT_EQ(std::make_pair(len, offset), std::make_pair(3u, 0u));
    EXPECT_EQ(VirtualDualSenseDeviceReadOutputReport(4, buf, sizeof buf, &len), 0u);
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// DualSense pads are written in the DualSense layout by every path: read
// back with the DualSense driver (USB, its id byte put in front), a pad at
// rest holds nothing, a whole state reads as sent, a reset lifts the touches.
TEST(Vdev, DualSenseReportsReadBackWithTheDriver) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    HidDriver drv;
    std::memset(&drv, 0, sizeof drv);
    drv.vendor_id = 0x054C;
    drv.product_id = 0x0CE6;
    drv.output_len = 48;
    hid_driver_init(&drv, 0);
    HidDescriptor desc;
    auto read_back = [&](VKO_ControllerEvent *ev) {
        std::vector<uint8_t> r = vdev_recorder_report(0);
        EXPECT_EQ(r.size(), DUALSENSE_REPORT_SIZE);
        r.insert(r.begin(), 0x01);
        std::memset(ev, 0, sizeof *ev);
        return hid_driver_report(&drv, desc, r.data(), r.size(), ev, 0);
    };
    auto held = [](const VKO_ControllerEvent &ev) {
        std::string s;
        for (int i = 0; i < ev.button_count; i++)
            if (ev.buttons[i]) s += std::to_string(i) + " ";
        return s;
    };
    ControllerManager *m = controller_manager_create(1, PAD_DUALSENSE, nullptr, nullptr);
    ASSERT_EQ(controller_slot_get(m, controller_pad_key(3, 0), 1003), 0);
    controller_submit(m, 0);
    VKO_ControllerEvent ev;
    read_back(&ev);  // the driver's first report sets it up
    ASSERT_TRUE(read_back(&ev));
    EXPECT_EQ(held(ev), "") << "at rest";
    EXPECT_EQ(ev.values[4].data, 0) << "L2";
    EXPECT_LT(std::abs(ev.values[0].data), 256) << "centred";
    EXPECT_LT(std::abs(ev.values[1].data), 256);
    controller_set_state(m, controller_pad_key(3, 0), 1003,
                         PAD_BTN_A | PAD_BTN_UP | PAD_BTN_LB | PAD_BTN_START | PAD_BTN_GUIDE, 200, 0, 32767,
                         0, -32768, 0);
    ASSERT_TRUE(read_back(&ev));
    EXPECT_EQ(held(ev), "1 4 6 9 12 13 ");  // south, LB, L2 pressed, options, guide, up
    EXPECT_EQ(ev.values[4].data, 200);
    EXPECT_EQ(ev.values[5].data, 0);
    EXPECT_EQ(ev.values[0].data, 32767);
    EXPECT_EQ(ev.values[2].data, -32768);
    std::vector<uint8_t> touching(DUALSENSE_REPORT_SIZE, 0);
    controller_write_raw(m, controller_pad_key(3, 0), 1003, 0, touching.data(), (uint32_t)touching.size());
    controller_reset(m, controller_pad_key(3, 0), 0);
    ASSERT_TRUE(read_back(&ev));
    EXPECT_EQ(held(ev), "");
    std::vector<uint8_t> r = vdev_recorder_report(0);
    EXPECT_EQ(std::make_pair(r[DUALSENSE_TOUCH_OFFSET], r[DUALSENSE_TOUCH_OFFSET + 4]),
              std::make_pair(uint8_t{0x80}, uint8_t{0x80}))
        << "touches lifted";
    controller_manager_destroy(&m);
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// Touch points past the pad's surface are pulled onto its edge; points on it,
// contact bytes and the bytes around stay as they were.
TEST(Vdev, TouchPointsStayOnThePad) {
    auto point = [](uint8_t contact, uint32_t x, uint32_t y) {
        return std::vector<uint8_t>{contact, (uint8_t)x, (uint8_t)((x >> 8) | (y & 0xF) << 4),
                                    (uint8_t)(y >> 4)};
    };
    for (auto [x, y, cx, cy] : {std::tuple{100u, 200u, 100u, 200u},
                                {1919u, 1079u, 1919u, 1079u},
                                {1920u, 1080u, 1919u, 1079u},
                                {4095u, 4095u, 1919u, 1079u},
                                {0u, 4000u, 0u, 1079u}}) {
        std::vector<uint8_t> rec(DUALSENSE_REPORT_SIZE, 0xEE);
        std::vector<uint8_t> a = point(0x81, x, y), b = point(0x02, 4095 - x, y / 2);
        std::copy(a.begin(), a.end(), rec.begin() + DUALSENSE_TOUCH_OFFSET);
        std::copy(b.begin(), b.end(), rec.begin() + DUALSENSE_TOUCH_OFFSET + 4);
        std::vector<uint8_t> want = rec;
        a = point(0x81, cx, cy);
        b = point(0x02, std::min(4095 - x, 1919u), std::min(y / 2, 1079u));
        std::copy(a.begin(), a.end(), want.begin() + DUALSENSE_TOUCH_OFFSET);
        std::copy(b.begin(), b.end(), want.begin() + DUALSENSE_TOUCH_OFFSET + 4);
        controller_touch_clamp(rec.data(), DUALSENSE_TOUCH_OFFSET);
        EXPECT_EQ(rec, want) << x << "," << y;
    }
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

// What a guest says is played into the microphone's sink, so a program
// recording the microphone hears it; with no microphone nothing is taken.
TEST(Vdev, MicrophoneHearsTheGuest) {
    PulseServer *server = PulseServer::get();
    ASSERT_NE(server, nullptr);
    int16_t tone[480];
    for (int i = 0; i < 480; i++) tone[i] = (int16_t)(0.5 * 32767 * std::sin(2 * M_PI * 1000 * i / 48000.0));
    EXPECT_NE(vmicrophone_submit(0, (const uint8_t *)tone, sizeof tone, 0), 0);
    EXPECT_NE(vdev_absent_backend.vmicrophone_submit((const uint8_t *)tone, sizeof tone, 0), 0);  // no sink
    ASSERT_EQ(vdev_absent_backend.vmicrophone_init(0), 0);
    PulseRecorder rec("zarvek_virtual_microphone.monitor");
    ASSERT_TRUE(rec.ok());
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    // 10 ms packets, faster than they play so the queue stays full (what
    // does not fit is refused whole); an odd byte at the end is not a sample.
    std::thread guest([&] {
        for (int i = 0; i < 2000 && !done.load(); i++) {
            if (vdev_absent_backend.vmicrophone_submit((const uint8_t *)tone, sizeof tone + 1, 0) == 0)
                taken++;
            VKO_Sleep(4);
        }
    });
    std::vector<int16_t> heard = rec.take(24000);
    done.store(true);
    guest.join();
    vdev_absent_backend.vmicrophone_destroy(0);
    EXPECT_GT(taken.load(), 0);
    ASSERT_EQ(heard.size(), 24000u * 2);
    // A loaded machine may starve the sender for a while: the best tenth of a second counts.
    double best = 0;
    for (size_t at = 0; at + 4800 <= 24000; at += 2400)
        best = std::max(best, tone_amplitude(heard.data() + 2 * at, 4800, 2, 0, 1000));
    EXPECT_NEAR(best, 0.5, 0.1);
}

}  // namespace
