#include "vdev/vdev.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "connection/protocol.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/pulse.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "util/logger.h"

namespace {

std::atomic<const VdevBackend *> g_backend{&vdev_absent_backend};

// ---- default back-end: no drivers installed ----

const char *kMicrophoneSink = "zarvek_virtual_microphone";
std::mutex g_real_mutex;
int32_t g_mic_module = -1;
int g_uinput = -1;

uint32_t absent_vusb_present(uint32_t) {
    return VDEV_ERR_NO_DRIVER;
}
bool absent_vusb_version(uint32_t *, uint32_t *) {
    return false;
}
uint32_t absent_slots(uint8_t kinds[16]) {
    std::memset(kinds, 0, 16);
    return VDEV_ERR_NO_DRIVER;
}
uint32_t absent_vigem_connect(void) {
    return VDEV_VIGEM_BUS_NOT_FOUND;
}
void absent_void(void) {}
int32_t absent_pad_plug(uint32_t, uint32_t) {
    return -1;
}
int32_t absent_pad_submit(uint32_t, const uint8_t *, uint32_t) {
    return -1;
}
void absent_pad_unplug(uint32_t) {}
void absent_pad_feedback(uint32_t, uint32_t, VdevPadFeedbackFn, void *) {}

// Samples reach the microphone by being played into its sink: the sink's
// monitor is what programs record. The stream opens on the first packet and
// closes with the microphone (under g_real_mutex).
struct MicStream {
    VKO_Pulse pulse;
    pa_stream *stream;
};
MicStream g_mic_stream{};

void mic_stream_close(void) {
    if (!g_mic_stream.stream) return;
    {
        PulseLock lock(&g_mic_stream.pulse);
        pa_stream_set_state_callback(g_mic_stream.stream, nullptr, nullptr);
        pa_stream_disconnect(g_mic_stream.stream);
        pa_stream_unref(g_mic_stream.stream);
    }
    vko_pulse_close(&g_mic_stream.pulse);
    g_mic_stream = MicStream{};
}

bool mic_stream_open(void) {
    MicStream &m = g_mic_stream;
    if (vko_pulse_open(&m.pulse, "Zarvek virtual microphone") != 0) return false;
    PulseLock lock(&m.pulse);
    const pa_sample_spec ss{PA_SAMPLE_S16LE, 48000, 1};
    pa_stream *s = pa_stream_new(m.pulse.ctx, "microphone", &ss, nullptr);
    int err = 0;
    if (s) {
        pa_stream_set_state_callback(s, vko_pulse_stream_state_cb, &m.pulse);
        // A short queue: what the guest says is heard now or not at all.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(pa_usec_to_bytes(200000, &ss));
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(40000, &ss));
        attr.prebuf = 0;
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_playback(s, kMicrophoneSink, &attr, flags, nullptr, nullptr) == 0 &&
            vko_pulse_wait_stream(&m.pulse, s, &err)) {
            m.stream = s;
            return true;
        }
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
    VKO_Log("vmicrophone_submit", "'pa_stream_connect_playback' failed with %d",
            err ? err : vko_pulse_errno(&m.pulse));
    return false;
}

int32_t pulse_mic_init(uint8_t) {
    std::lock_guard<std::mutex> lock(g_real_mutex);
    if (g_mic_module < 0) g_mic_module = vdev_pulse_microphone_create(kMicrophoneSink);
    return g_mic_module < 0 ? -1 : 0;
}
void pulse_mic_destroy(uint8_t) {
    std::lock_guard<std::mutex> lock(g_real_mutex);
    mic_stream_close();
    vdev_pulse_microphone_destroy(g_mic_module);
    g_mic_module = -1;
}
int32_t pulse_mic_submit(const uint8_t *pcm, uint32_t length, uint32_t) {
    std::lock_guard<std::mutex> lock(g_real_mutex);
    if (g_mic_module < 0) return -1;
    if (!g_mic_stream.stream && !mic_stream_open()) {
        mic_stream_close();
        return -1;
    }
    PulseLock plock(&g_mic_stream.pulse);
    // Whole samples only; a packet that does not fit the queue is dropped
    // whole (never waited for, never cut mid-sound).
    size_t n = length & ~1u, room = pa_stream_writable_size(g_mic_stream.stream);
    if (room == static_cast<size_t>(-1) || n > room) return -1;
    if (n && pa_stream_write(g_mic_stream.stream, pcm, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) return -1;
    return 0;
}
int32_t absent_tablet_init(void) {
    return -1;
}

// A relative pointer through uinput where the kernel offers it.
uint32_t uinput_mouse_create(void) {
    std::lock_guard<std::mutex> lock(g_real_mutex);
    if (g_uinput >= 0) return VDEV_BIT_SUCCESS;
    int fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        VKO_Log("vdev", "'open' of /dev/uinput failed with %d: no virtual mouse", err);
        return static_cast<uint32_t>(err);
    }
    bool ok = ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd, UI_SET_KEYBIT, BTN_LEFT) == 0 &&
              ioctl(fd, UI_SET_KEYBIT, BTN_RIGHT) == 0 && ioctl(fd, UI_SET_KEYBIT, BTN_MIDDLE) == 0 &&
              ioctl(fd, UI_SET_EVBIT, EV_REL) == 0 && ioctl(fd, UI_SET_RELBIT, REL_X) == 0 &&
              ioctl(fd, UI_SET_RELBIT, REL_Y) == 0 && ioctl(fd, UI_SET_RELBIT, REL_WHEEL) == 0;
    uinput_setup setup{};
    setup.id.bustype = BUS_USB;
    std::snprintf(setup.name, sizeof setup.name, "Zarvek Virtual Mouse");
    ok = ok && ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
    if (!ok) {
        int err = errno;
        VKO_Log("vdev", "'ioctl' on /dev/uinput failed with %d: no virtual mouse", err);
        close(fd);
        return static_cast<uint32_t>(err);
    }
    g_uinput = fd;
    return VDEV_BIT_SUCCESS;
}
// Drains what the kernel queues for the device (events other programs
// write to it), so the device never holds a full queue.
void uinput_mouse_serve(uint32_t timeout_ms) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(g_real_mutex);
        fd = g_uinput;
    }
    if (fd < 0) {
        VKO_Sleep(timeout_ms);
        return;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_ms)) <= 0) return;
    input_event ev[16];
    while (read(fd, ev, sizeof ev) > 0) {
    }
}
uint32_t uinput_mouse_destroy(void) {
    std::lock_guard<std::mutex> lock(g_real_mutex);
    if (g_uinput >= 0) {
        ioctl(g_uinput, UI_DEV_DESTROY);
        close(g_uinput);
        g_uinput = -1;
    }
    return 0;
}
int32_t absent_vdd_init(int32_t monitors, uint8_t privacy, uint8_t, void (*)(void *), void *) {
    return monitors > 0 || privacy ? -1 : 0;
}
int32_t absent_vdd_disconnect(void) {
    return 0;
}
bool absent_mm_version(void) {
    return false;
}
int32_t absent_adapter_create(uint32_t, uint32_t *last_error) {
    *last_error = VDEV_ERROR_NOT_FOUND;
    return -1;
}
void absent_restart(uint32_t) {}
uint32_t absent_pad_read(uint32_t, uint8_t *, uint32_t, uint32_t *length) {
    *length = 0;
    return 0;
}
bool absent_notification(uint32_t *) {
    return false;
}

// ---- recording back-end ----

struct Failure {
    int32_t code;
    uint32_t times;  // 0: for ever
};
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::map<std::string, Failure> fail;
    std::map<std::pair<uint32_t, bool>, std::vector<std::vector<uint8_t>>> pad_data;
    std::vector<uint32_t> notifications;
    uint32_t major = 2, minor = 5;
    uint8_t slots[16] = {};
    std::map<uint32_t, std::vector<uint8_t>> reports;
    std::map<std::string, uint32_t> entered;
    std::set<std::string> held;
    std::condition_variable changed;
    struct Listener {
        VdevPadFeedbackFn fn;
        void *ctx;
        uint32_t plug;
    };
    std::map<uint32_t, Listener> feedback;
    uint32_t feeding = 0;  // feedback calls begun and not yet returned
};
Recorder &rec() {
    static Recorder r;
    return r;
}
// Counts the step as entered and waits while a test holds it.
void pass(std::unique_lock<std::mutex> &lock, const char *name) {
    Recorder &r = rec();
    r.entered[name]++;
    r.changed.notify_all();
    r.changed.wait(lock, [&] { return !r.held.count(name); });
}
// Records the call; the failure code set for it, or 0.
int32_t note(const char *name, const std::string &args = "") {
    Recorder &r = rec();
    std::unique_lock<std::mutex> lock(r.mutex);
    r.calls.push_back(std::string(name) + "(" + args + ")");
    pass(lock, name);
    auto it = r.fail.find(name);
    if (it == r.fail.end()) return 0;
    int32_t code = it->second.code;
    if (it->second.times && --it->second.times == 0) r.fail.erase(it);
    return code;
}
std::string num(uint32_t v) {
    return std::to_string(v);
}

uint32_t rec_vusb_present(uint32_t api) {
    return static_cast<uint32_t>(note("vusb_present", num(api)));
}
bool rec_vusb_version(uint32_t *major, uint32_t *minor) {
    if (note("vusb_version")) return false;
    std::lock_guard<std::mutex> lock(rec().mutex);
    *major = rec().major;
    *minor = rec().minor;
    return true;
}
uint32_t rec_slots(uint8_t kinds[16]) {
    int32_t f = note("vusb_persisted_slots");
    std::lock_guard<std::mutex> lock(rec().mutex);
    std::memcpy(kinds, rec().slots, 16);
    return f ? static_cast<uint32_t>(f) : VDEV_BIT_SUCCESS;
}
uint32_t rec_vigem_connect(void) {
    int32_t f = note("vigem_connect");
    return f ? static_cast<uint32_t>(f) : VDEV_VIGEM_SUCCESS;
}
void rec_vigem_disconnect(void) {
    note("vigem_disconnect");
}
int32_t rec_pad_plug(uint32_t slot, uint32_t type) {
    return note("pad_plug", num(slot) + "," + num(type));
}
int32_t rec_pad_submit(uint32_t slot, const uint8_t *report, uint32_t size) {
    std::string hex;
    for (uint32_t i = 0; i < size && i < 8; i++) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", report[i]);
        hex += b;
    }
    {
        std::lock_guard<std::mutex> lock(rec().mutex);
        rec().reports[slot].assign(report, report + size);
    }
    return note("pad_submit", num(slot) + "," + hex);
}
void rec_pad_unplug(uint32_t slot) {
    note("pad_unplug", num(slot));
}
int32_t rec_mic_init(uint8_t persistent) {
    return note("vmicrophone_init", num(persistent));
}
void rec_mic_destroy(uint8_t persistent) {
    note("vmicrophone_destroy", num(persistent));
}
int32_t rec_tablet_init(void) {
    return note("vtablet_init");
}
void rec_tablet_destroy(void) {
    note("vtablet_destroy");
}
uint32_t rec_vmouse_create(void) {
    int32_t f = note("vmouse_create");
    return f ? static_cast<uint32_t>(f) : VDEV_BIT_SUCCESS;
}
uint32_t rec_vmouse_destroy(void) {
    int32_t f = note("vmouse_destroy");
    return f ? static_cast<uint32_t>(f) : VDEV_BIT_SUCCESS;
}
int32_t rec_vdd_init(int32_t monitors, uint8_t privacy, uint8_t fallback, void (*reapply)(void *),
                     void *context) {
    int32_t f = note("vdd_displays_init",
                     num(static_cast<uint32_t>(monitors)) + "," + num(privacy) + "," + num(fallback));
    if (f) return f;
    if (monitors > 0 && reapply) reapply(context);  // the monitors changed
    return monitors;
}
int32_t rec_vdd_disconnect(void) {
    return note("vdd_disconnect");
}
bool rec_mm_version(void) {
    return note("mm_version") == 0;
}
bool rec_mm_driver_version(void) {
    return note("mm_driver_version") == 0;
}
int32_t rec_adapter_create(uint32_t timeout_ms, uint32_t *last_error) {
    int32_t f = note("mm_adapter_create", num(timeout_ms));
    *last_error = static_cast<uint32_t>(f);
    return f ? -1 : 0;
}
void rec_adapter_close(void) {
    note("mm_adapter_close");
}
void rec_restart(uint32_t kind) {
    note("vdd_device_restart", num(kind));
}
uint32_t rec_pad_read(uint32_t slot, bool isochronous, uint8_t *buffer, uint32_t size, uint32_t *length) {
    *length = 0;
    Recorder &r = rec();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.pad_data.find({slot, isochronous});
    if (it == r.pad_data.end() || it->second.empty()) return 0;
    const std::vector<uint8_t> &d = it->second.front();
    *length = static_cast<uint32_t>(std::min<size_t>(d.size(), size));
    std::memcpy(buffer, d.data(), *length);
    it->second.erase(it->second.begin());
    return VDEV_BIT_SUCCESS;
}
uint32_t rec_pad_read_output(uint32_t slot, uint8_t *buffer, uint32_t size, uint32_t *length) {
    return rec_pad_read(slot, false, buffer, size, length);
}
bool rec_notification(uint32_t *code) {
    Recorder &r = rec();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.notifications.empty()) return false;
    *code = r.notifications.front();
    r.notifications.erase(r.notifications.begin());
    return true;
}
uint32_t rec_pad_read_isochronous(uint32_t slot, uint8_t *buffer, uint32_t size, uint32_t *length) {
    return rec_pad_read(slot, true, buffer, size, length);
}
int32_t rec_mic_submit(const uint8_t *, uint32_t length, uint32_t flag) {
    return note("vmicrophone_submit", num(length) + "," + num(flag));
}
int32_t rec_tablet_submit(uint32_t kind, const uint8_t *item, uint32_t size) {
    int32_t out[6];
    std::memcpy(out, item + VTABLET_RECORD_SIZE, sizeof out);
    std::string args = num(kind) + "," + num(size);
    for (int32_t v : out) args += "," + std::to_string(v);
    return note("vtablet_submit", args);
}
void rec_pad_feedback(uint32_t slot, uint32_t plug, VdevPadFeedbackFn fn, void *ctx) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    if (fn)
        rec().feedback[slot] = {fn, ctx, plug};
    else
        rec().feedback.erase(slot);
}
void rec_pad_feedback_wait(void) {
    Recorder &r = rec();
    std::unique_lock<std::mutex> lock(r.mutex);
    pass(lock, "pad_feedback_wait");
    r.changed.wait(lock, [&] { return r.feeding == 0; });
}
void rec_vmouse_serve(uint32_t timeout_ms) {
    VKO_Sleep(std::min<uint32_t>(timeout_ms, 10));
}

}  // namespace

const VdevBackend vdev_absent_backend = {
    "absent",          absent_vusb_present,   absent_vusb_version, absent_slots,        absent_vigem_connect,
    absent_void,       absent_pad_plug,       absent_pad_submit,   absent_pad_unplug,   pulse_mic_init,
    pulse_mic_destroy, absent_tablet_init,    absent_void,         uinput_mouse_create, uinput_mouse_destroy,
    absent_vdd_init,   absent_vdd_disconnect, absent_mm_version,   absent_mm_version,   absent_adapter_create,
    absent_void,       absent_restart,        absent_pad_read,     absent_pad_read,     absent_notification,
    pulse_mic_submit,  uinput_mouse_serve,    absent_pad_submit,   absent_pad_feedback, absent_void,
};

const VdevBackend vdev_recording_backend = {
    "recording",        rec_vusb_present,      rec_vusb_version,      rec_slots,
    rec_vigem_connect,  rec_vigem_disconnect,  rec_pad_plug,          rec_pad_submit,
    rec_pad_unplug,     rec_mic_init,          rec_mic_destroy,       rec_tablet_init,
    rec_tablet_destroy, rec_vmouse_create,     rec_vmouse_destroy,    rec_vdd_init,
    rec_vdd_disconnect, rec_mm_version,        rec_mm_driver_version, rec_adapter_create,
    rec_adapter_close,  rec_restart,           rec_pad_read_output,   rec_pad_read_isochronous,
    rec_notification,   rec_mic_submit,        rec_vmouse_serve,      rec_tablet_submit,
    rec_pad_feedback,   rec_pad_feedback_wait,
};

const VdevBackend *vdev(void) {
    return g_backend.load();
}

void vdev_set_backend(const VdevBackend *backend) {
    g_backend.store(backend ? backend : &vdev_absent_backend);
}

VigemClient *vigem_alloc(void) {
    return static_cast<VigemClient *>(VKO_Alloc(1, sizeof(VigemClient)));
}

uint32_t vigem_connect(VigemClient *client) {
    uint32_t r = vdev()->vigem_connect();
    client->connected = r == VDEV_VIGEM_SUCCESS;
    return r;
}

void vigem_disconnect(VigemClient *client) {
    if (!client->connected) return;
    vdev()->vigem_disconnect();
    client->connected = 0;
}

void vigem_free(VigemClient *client) {
    if (!client) return;
    vigem_disconnect(client);
    VKO_Free(client);
}

int32_t vmicrophone_submit(uint8_t microphone, const uint8_t *packet, uint32_t length, uint32_t flag) {
    if (!microphone) return -1;
    return vdev()->vmicrophone_submit(packet, length, flag);
}

void vmicrophone_destroy_persistent(void) {
    vdev()->vmicrophone_destroy(1);
}

namespace {

void *vtablet_thread(void *opaque) {
    auto *t = static_cast<VirtualTablet *>(opaque);
    t->ready.store(1);
    while (!t->stop.load()) {
        VKO_WaitableWait(t->wake, 100);
        for (uint32_t k = 0; k < 2; k++) {
            void *item = nullptr;
            uint64_t size = 0;
            while (!t->stop.load() && VKO_QueueGetOutputBuffer(t->reports[k], 0, &item, &size)) {
                vdev()->vtablet_submit(10 + k, static_cast<const uint8_t *>(item),
                                       static_cast<uint32_t>(size));
                VKO_QueuePop(t->reports[k]);
            }
        }
    }
    t->ready.store(0);
    return nullptr;
}

}  // namespace

int32_t vtablet_init(VirtualTablet **tablet) {
    *tablet = nullptr;
    int32_t r = vdev()->vtablet_init();
    if (r != 0) return r;
    auto *t = new VirtualTablet();
    for (VKO_Queue *&q : t->reports) q = VKO_QueueCreate(VTABLET_QUEUE_SLOTS, VTABLET_ITEM_SIZE);
    t->wake = VKO_WaitableCreate();
    t->thread = VKO_ThreadCreate(vtablet_thread, t);
    *tablet = t;
    return 0;
}

void vtablet_destroy(VirtualTablet **tablet) {
    VirtualTablet *t = *tablet;
    if (!t) return;
    t->stop.store(1);
    VKO_WaitableSignal(t->wake);
    VKO_ThreadDestroy(&t->thread);
    vdev()->vtablet_destroy();
    for (VKO_Queue *&q : t->reports) VKO_QueueDestroy(&q);
    VKO_WaitableDestroy(&t->wake);
    delete t;
    *tablet = nullptr;
}

bool vtablet_queue(VirtualTablet *tablet, const uint8_t record[VTABLET_RECORD_SIZE],
                   const int32_t output[4]) {
    uint32_t kind;
    std::memcpy(&kind, record, sizeof kind);
    if (kind != 10 && kind != 11) return false;
    auto *item = static_cast<uint8_t *>(VKO_QueueGetInputBuffer(tablet->reports[kind - 10]));
    if (!item) return false;
    const int32_t rect[6] = {
        output[0], output[1], output[2], output[3], output[2] - output[0], output[3] - output[1]};
    std::memcpy(item, record, VTABLET_RECORD_SIZE);
    std::memcpy(item + VTABLET_RECORD_SIZE, rect, sizeof rect);
    VKO_QueuePush(tablet->reports[kind - 10], VTABLET_ITEM_SIZE);
    VKO_WaitableSignal(tablet->wake);
    return true;
}

void vdd_device_restart(uint32_t kind) {
    vdev()->vdd_device_restart(kind);
}

uint32_t XVUSB_vmouse_device_create(VirtualMouse **device, uint32_t) {
    *device = nullptr;
    uint32_t r = vdev()->vmouse_create();
    if (r & VDEV_BIT_SUCCESS) *device = new VirtualMouse();
    return r;
}

void *VirtualMouseDeviceControlThread(void *device) {
    auto *d = static_cast<VirtualMouse *>(device);
    while (!d->stop.load()) vdev()->vmouse_serve(100);
    return nullptr;
}

uint32_t VirtualMouseDeviceDestroy(VirtualMouse *device) {
    if (!device) return VDEV_BIT_SUCCESS;
    return vdev()->vmouse_destroy();
}

void vmouse_destroy(VirtualMouse **mouse) {
    VirtualMouse *m = *mouse;
    if (!m) return;
    m->stop.store(1);
    if (m->thread) VKO_ThreadDestroy(&m->thread);
    uint32_t r = VirtualMouseDeviceDestroy(m);
    if (!(r & VDEV_BIT_SUCCESS))
        log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "vmouse_destroy", "VirtualMouseDeviceDestroy", 32,
                    static_cast<int32_t>(r));
    delete m;
    *mouse = nullptr;
}

uint32_t VirtualDualSenseDeviceReadOutputReport(uint32_t device, uint8_t *buffer, uint32_t size,
                                                uint32_t *length) {
    return vdev()->pad_read_output(device, buffer, size, length);
}

uint32_t VirtualDualSenseDeviceReadIsochronous(uint32_t device, uint8_t *buffer, uint32_t size,
                                               uint32_t *length, uint32_t *offset) {
    *offset = 0;
    return vdev()->pad_read_isochronous(device, buffer, size, length);
}

int32_t VirtualDualSenseDeviceSubmitReport(uint32_t device, const uint8_t *report) {
    return vdev()->pad_submit(device, report, DUALSENSE_REPORT_SIZE);
}

std::vector<std::string> vdev_recorded(void) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    return rec().calls;
}

void vdev_recorder_clear(void) {
    Recorder &r = rec();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.calls.clear();
    r.fail.clear();
    r.pad_data.clear();
    r.notifications.clear();
    r.major = 2;
    r.minor = 5;
    std::memset(r.slots, 0, sizeof r.slots);
    r.reports.clear();
    r.entered.clear();
    r.held.clear();
    r.changed.notify_all();
}

std::vector<uint8_t> vdev_recorder_report(uint32_t slot) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    auto it = rec().reports.find(slot);
    return it == rec().reports.end() ? std::vector<uint8_t>{} : it->second;
}

void vdev_recorder_hold(const char *call, bool hold) {
    Recorder &r = rec();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (hold)
        r.held.insert(call);
    else
        r.held.erase(call);
    r.changed.notify_all();
}

bool vdev_recorder_wait_entered(const char *call, uint32_t count, uint32_t timeout_ms) {
    Recorder &r = rec();
    std::unique_lock<std::mutex> lock(r.mutex);
    return r.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return r.entered[call] >= count; });
}

bool vdev_recorder_feedback(uint32_t slot, uint8_t large, uint8_t small) {
    Recorder &r = rec();
    Recorder::Listener to;
    {
        // Counted as running from the moment the target is read, as a
        // driver's thread would hold it: pad_feedback_wait waits for it.
        std::unique_lock<std::mutex> lock(r.mutex);
        auto it = r.feedback.find(slot);
        if (it == r.feedback.end()) return false;
        to = it->second;
        r.feeding++;
        pass(lock, "pad_feedback_call");
    }
    to.fn(to.ctx, slot, to.plug, large, small);
    std::lock_guard<std::mutex> lock(r.mutex);
    r.feeding--;
    r.changed.notify_all();
    return true;
}

void vdev_recorder_fail(const char *call, int32_t code, uint32_t times) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    if (code)
        rec().fail[call] = Failure{code, times};
    else
        rec().fail.erase(call);
}

void vdev_recorder_notify(uint32_t code) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    rec().notifications.push_back(code);
}

void vdev_recorder_pad_data(uint32_t slot, bool isochronous, const std::vector<uint8_t> &data) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    rec().pad_data[{slot, isochronous}].push_back(data);
}

void vdev_recorder_version(uint32_t major, uint32_t minor) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    rec().major = major;
    rec().minor = minor;
}

void vdev_recorder_slots(const uint8_t kinds[16]) {
    std::lock_guard<std::mutex> lock(rec().mutex);
    std::memcpy(rec().slots, kinds, 16);
}

namespace {

struct ModuleResult {
    pa_threaded_mainloop *ml;
    uint32_t index;
};

void on_module_loaded(pa_context *, uint32_t index, void *r) {
    auto *res = static_cast<ModuleResult *>(r);
    res->index = index;
    pa_threaded_mainloop_signal(res->ml, 0);
}

}  // namespace

int32_t vdev_pulse_microphone_create(const char *name) {
    VKO_Pulse p{};
    int err = vko_pulse_open(&p, "Zarvek virtual microphone");
    if (err != 0) {
        VKO_Log("vdev", "'pa_context_connect' failed with %d: no virtual microphone", err);
        return -1;
    }
    ModuleResult res{p.ml, PA_INVALID_INDEX};
    {
        PulseLock lock(&p);
        char args[256];
        std::snprintf(args, sizeof args,
                      "sink_name=%s sink_properties=device.description=Zarvek_Virtual_Microphone "
                      "rate=48000 channels=1",
                      name);
        vko_pulse_wait(&p, pa_context_load_module(p.ctx, "module-null-sink", args, on_module_loaded, &res));
        if (res.index == PA_INVALID_INDEX)
            VKO_Log("vdev", "'pa_context_load_module' failed with %d: no virtual microphone",
                    vko_pulse_errno(&p));
    }
    vko_pulse_close(&p);
    return res.index == PA_INVALID_INDEX ? -1 : static_cast<int32_t>(res.index);
}

void vdev_pulse_microphone_destroy(int32_t module) {
    if (module < 0) return;
    VKO_Pulse p{};
    if (vko_pulse_open(&p, "Zarvek virtual microphone") != 0) return;
    {
        PulseLock lock(&p);
        PulseResult res{p.ml, 0};
        vko_pulse_wait(
            &p, pa_context_unload_module(p.ctx, static_cast<uint32_t>(module), vko_pulse_success_cb, &res));
    }
    vko_pulse_close(&p);
}

// ---- game pads ----

uint64_t controller_pad_key(uint32_t guest_id, uint32_t index) {
    return static_cast<uint64_t>(guest_id) << 8 | (index & 0xFF);
}

namespace {

// The back-end's word that a pad rumbles: to the guest whose pad it is.
void pad_rumble(void *ctx, uint32_t slot, uint32_t plug, uint8_t large, uint8_t small) {
    auto *m = static_cast<ControllerManager *>(ctx);
    if (slot >= CONTROLLER_SLOTS) return;
    VKO_MutexLock(m->mutex);
    // Begun for a pad unplugged since: the slot's pad now is another's.
    bool used = m->slots[slot].used && m->slots[slot].plug == plug;
    uint64_t key = m->slots[slot].key;
    VKO_MutexUnlock(m->mutex);
    if (!used || !m->feedback) return;
    uint8_t header[PROTO_HEADER_SIZE];
    proto_write_header(
        header, ControlHeader{static_cast<uint32_t>(key & 0xFF), large, small, CONTROLLER_RUMBLE_MESSAGE});
    m->feedback(header, static_cast<uint32_t>(key >> 8), m->owner);
}

}  // namespace

// Neutral input: centred sticks, hat released; a DualSense's two touch
// points lifted (bit 7 of their contact bytes).
uint32_t controller_neutral_report(uint32_t type, uint8_t *out) {
    std::memset(out, 0, PAD_REPORT_MAX);
    if (type == PAD_XBOX360) return 12;
    out[0] = out[1] = out[2] = out[3] = 0x80;
    if (type == PAD_DUALSENSE) {
        out[7] = 0x08;
        out[DUALSENSE_TOUCH_OFFSET] = out[DUALSENSE_TOUCH_OFFSET + 4] = 0x80;
        return DUALSENSE_REPORT_SIZE;
    }
    out[4] = 0x08;
    return 23;
}

ControllerManager *controller_manager_create(uint8_t backend, uint32_t pad_type,
                                             ControllerFeedbackFn feedback, void *owner) {
    auto *m = static_cast<ControllerManager *>(VKO_Alloc(1, sizeof(ControllerManager)));
    m->backend = backend;
    m->pad_type = pad_type;
    m->feedback = feedback;
    m->owner = owner;
    m->map = VKO_HashCreate(100);
    m->mutex = VKO_MutexCreate();
    return m;
}

void controller_manager_destroy(ControllerManager **mgr) {
    if (!*mgr) return;
    ControllerManager *m = *mgr;
    VKO_MutexLock(m->mutex);
    controller_unplug_all(m);
    bool fed = m->fed;
    VKO_MutexUnlock(m->mutex);
    // A rumble the back-end began before the unplug may still be on its way
    // here (and on to the owner): it runs to its end before the manager goes.
    if (fed) vdev()->pad_feedback_wait();
    vigem_free(m->bus);
    VKO_HashDestroy(&m->map, nullptr);
    VKO_MutexDestroy(&m->mutex);
    VKO_Free(m);
    *mgr = nullptr;
}

int32_t controller_slot_get(ControllerManager *m, uint64_t key, uint32_t owner) {
    VKO_MutexLock(m->mutex);
    uintptr_t found = reinterpret_cast<uintptr_t>(VKO_HashGetInt(m->map, key));
    int32_t slot = found ? static_cast<int32_t>(found - 1) : -1;
    for (uint32_t i = 0; slot < 0 && i < CONTROLLER_SLOTS; i++) {
        if (m->slots[i].used) continue;
        if (vdev()->pad_plug(i, m->pad_type) != 0) break;
        m->slots[i] = ControllerSlot{1, key, owner, {}, 0, ++m->plugs};
        m->slots[i].report_size = controller_neutral_report(m->pad_type, m->slots[i].report);
        VKO_HashSetInt(m->map, key, reinterpret_cast<void *>(static_cast<uintptr_t>(i + 1)));
        vdev()->pad_feedback(i, m->slots[i].plug, pad_rumble, m);
        m->fed = 1;
        slot = static_cast<int32_t>(i);
    }
    VKO_MutexUnlock(m->mutex);
    return slot;
}

void controller_unplug(ControllerManager *m, uint32_t slot) {
    if (slot >= CONTROLLER_SLOTS || !m->slots[slot].used) return;
    vdev()->pad_feedback(slot, 0, nullptr, nullptr);
    vdev()->pad_unplug(slot);
    VKO_HashPopInt(m->map, m->slots[slot].key);
    m->slots[slot] = ControllerSlot{};
}

void controller_unplug_all(ControllerManager *m) {
    for (uint32_t i = 0; i < CONTROLLER_SLOTS; i++) controller_unplug(m, i);
}

void controller_release_guest(ControllerManager *m, uint32_t guest_id) {
    for (uint32_t i = 0; i < CONTROLLER_SLOTS; i++) {
        ControllerSlot &s = m->slots[i];
        if (!s.used || s.key >> 8 != guest_id) continue;
        s.report_size = controller_neutral_report(m->pad_type, s.report);
        vdev()->pad_submit(i, s.report, s.report_size);
        controller_unplug(m, i);
    }
}

void controller_touch_clamp(uint8_t *record, uint32_t first) {
    for (uint32_t i = 0; i < 2; i++) {
        uint8_t *p = record + first + 4 * i;
        uint32_t x = p[1] | (p[2] & 0x0Fu) << 8, y = (p[2] >> 4) | static_cast<uint32_t>(p[3]) << 4;
        x = std::min(x, PAD_TOUCH_WIDTH - 1);
        y = std::min(y, PAD_TOUCH_HEIGHT - 1);
        p[1] = static_cast<uint8_t>(x);
        p[2] = static_cast<uint8_t>((x >> 8) | (y & 0x0F) << 4);
        p[3] = static_cast<uint8_t>(y >> 4);
    }
}

void controller_slots_reset(ControllerManager *m) {
    controller_unplug_all(m);
    VKO_HashDestroy(&m->map, nullptr);
    m->map = VKO_HashCreate(100);
}
