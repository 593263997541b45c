// The virtual devices the host session drives: virtual USB adapter, gamepad
// bus, virtual microphone, tablet and mouse, virtual display adapter. Each
// call goes through the back-end chosen at run time:
//   - the default back-end is a machine where the drivers are not installed:
//     every driver call fails with the driver's own failure result, except the
//     microphone (a PulseAudio null sink whose monitor is the microphone) and
//     the virtual mouse (uinput, when /dev/uinput can be opened);
//   - the recording back-end accepts every call, records it with its
//     arguments and can be told to fail any call by name (tests).
//
// Threads: the back-end pointer is swapped only while no host exists. The
// recorder's call list, failure table and count of feedback calls running
// are guarded by its own mutex. The default back-end's microphone (sink
// module and the stream that plays into it) and uinput descriptor are
// guarded by one mutex of its own; the virtual mouse's control thread uses
// the descriptor only between the create and the destroy that joins it.
// ControllerManager: slots and map change only under `mutex`; a rumble the
// back-end began before a pad's unplug may still reach the manager, so the
// manager is freed only after the back-end's pad_feedback_wait (and so is
// what its feedback reaches, the host). Such a late rumble names its pad by
// plug number and is dropped when the slot holds another pad by then.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct VKO_Hash;
struct VKO_Mutex;
struct VKO_Queue;
struct VKO_Thread;
struct VKO_Waitable;

// Success results of the driver calls, as the drivers give them.
constexpr uint32_t VDEV_VIGEM_SUCCESS = 0x20000000;
constexpr uint32_t VDEV_BIT_SUCCESS = 0x10000000;  // vmouse create, persisted slots, DualSense reads
constexpr uint32_t VDEV_ERR_NO_DRIVER = 0xE0000228;
constexpr uint32_t VDEV_VIGEM_BUS_NOT_FOUND = 0xE0000001;
constexpr int32_t VDEV_ERROR_NOT_FOUND = 1168;

// A pad's rumble as a game set it: large and small motor speeds. plug is the
// number the pad's feedback was set with: it names the pad, where a slot
// may hold another pad by the time the call arrives.
typedef void (*VdevPadFeedbackFn)(void *ctx, uint32_t slot, uint32_t plug, uint8_t large, uint8_t small);

struct VdevBackend {
    const char *name;
    // VirtualUsbControllerIsCompatiblePresent: 0 when present, else the driver's code.
    uint32_t (*vusb_present)(uint32_t api_version);
    bool (*vusb_version)(uint32_t *major, uint32_t *minor);
    // PersistedSlotsRetrieve: kinds of slots 0..15; VDEV_BIT_SUCCESS set on success.
    uint32_t (*vusb_persisted_slots)(uint8_t kinds[16]);
    uint32_t (*vigem_connect)(void);
    void (*vigem_disconnect)(void);
    int32_t (*pad_plug)(uint32_t slot, uint32_t type);
    int32_t (*pad_submit)(uint32_t slot, const uint8_t *report, uint32_t size);
    void (*pad_unplug)(uint32_t slot);
    int32_t (*vmicrophone_init)(uint8_t persistent);  // nonzero: failure
    void (*vmicrophone_destroy)(uint8_t persistent);
    int32_t (*vtablet_init)(void);  // nonzero: failure
    void (*vtablet_destroy)(void);
    uint32_t (*vmouse_create)(void);  // VDEV_BIT_SUCCESS set on success
    uint32_t (*vmouse_destroy)(void);
    // Displays made (> 0), 0 none wanted, -1 or -2 on failure; calls
    // reapply(context) after it changed the monitors.
    int32_t (*vdd_displays_init)(int32_t monitors, uint8_t privacy, uint8_t fallback, void (*reapply)(void *),
                                 void *context);
    int32_t (*vdd_disconnect)(void);  // MM_Disconnect: nonzero is the error
    bool (*mm_version)(void);         // MM_VersionQuery: the running adapter driver answers
    bool (*mm_driver_version)(void);  // MM_DriverVersionGet: the installed driver can be read
    // MM_AdapterCreate: 0 on success, else nonzero with the system's last
    // error in *last_error (VDEV_ERROR_NOT_FOUND: the driver is not there yet).
    int32_t (*mm_adapter_create)(uint32_t timeout_ms, uint32_t *last_error);
    void (*mm_adapter_close)(void);
    void (*vdd_device_restart)(uint32_t kind);  // kind 0 or 1
    // DualSense pads: a pending output report or isochronous data of the
    // slot's pad; VDEV_BIT_SUCCESS when data was read.
    uint32_t (*pad_read_output)(uint32_t slot, uint8_t *buffer, uint32_t size, uint32_t *length);
    uint32_t (*pad_read_isochronous)(uint32_t slot, uint8_t *buffer, uint32_t size, uint32_t *length);
    // One pending notification of the virtual USB adapter (a tablet fault); false when none.
    bool (*vusb_notification)(uint32_t *code);
    // Samples for the microphone (48 kHz mono s16le); nonzero: not taken.
    int32_t (*vmicrophone_submit)(const uint8_t *pcm, uint32_t length, uint32_t flag);
    // Serves what the system asks of the virtual mouse, waiting at most timeout_ms.
    void (*vmouse_serve)(uint32_t timeout_ms);
    // One queued tablet report (a VirtualTablet item) of kind 10 or 11; nonzero: not taken.
    int32_t (*vtablet_submit)(uint32_t kind, const uint8_t *item, uint32_t size);
    // Where the slot's pad (its plug number `plug`) reports its rumble (fn
    // null: nowhere); fn gets plug back. The back-end calls fn only between
    // the pad's plug and unplug, from a thread of its own and holding none
    // of its locks. A call already begun may still run after the slot's fn
    // is cleared, even after the slot took another pad.
    void (*pad_feedback)(uint32_t slot, uint32_t plug, VdevPadFeedbackFn fn, void *ctx);
    // Returns once no feedback call the back-end began earlier is running
    // (the caller holds no lock a feedback takes); after it, a ctx whose
    // slots were all cleared is never used again.
    void (*pad_feedback_wait)(void);
};

extern const VdevBackend vdev_absent_backend;
extern const VdevBackend vdev_recording_backend;

const VdevBackend *vdev(void);
// Null restores the default back-end.
void vdev_set_backend(const VdevBackend *backend);

// Recording back-end: every call as "name(args)" in order.
std::vector<std::string> vdev_recorded(void);
void vdev_recorder_clear(void);
// The named call answers code from now on, or for its next `times` calls
// when times is nonzero (code 0 clears it); for calls with a success bit the
// bit is left out.
void vdev_recorder_fail(const char *call, int32_t code, uint32_t times = 0);
// Data the slot's DualSense pad has for the host: an output report
// (isochronous false) or isochronous data, read once.
void vdev_recorder_notify(uint32_t code);
void vdev_recorder_pad_data(uint32_t slot, bool isochronous, const std::vector<uint8_t> &data);
// Driver version the recorder reports (2.5 unless set).
void vdev_recorder_version(uint32_t major, uint32_t minor);
// Persisted slot kinds the recorder reports.
void vdev_recorder_slots(const uint8_t kinds[16]);
// The whole report last submitted to the slot's pad.
std::vector<uint8_t> vdev_recorder_report(uint32_t slot);
// While held, the named call waits inside the recorder (after recording
// itself) until released; tests use it to line threads up.
void vdev_recorder_hold(const char *call, bool hold);
// Waits until the named call was entered `count` times; false after timeout_ms.
bool vdev_recorder_wait_entered(const char *call, uint32_t count, uint32_t timeout_ms);
// The slot's pad rumbles, as a game would make it; false when nobody listens.
// Between taking the listener and calling it, it passes the step
// "pad_feedback_call" (held and counted like a call, not recorded).
bool vdev_recorder_feedback(uint32_t slot, uint8_t large, uint8_t small);

// ---- the driver clients the host calls ----

// Gamepad-bus client, one per gamepad manager.
struct VigemClient {
    uint8_t connected;
};
VigemClient *vigem_alloc(void);
uint32_t vigem_connect(VigemClient *client);  // VDEV_VIGEM_SUCCESS when the bus took it
void vigem_disconnect(VigemClient *client);
void vigem_free(VigemClient *client);  // disconnects a connected client first

// The microphone's packet (record of message 32): u32 length of the samples
// in bytes, u32 flag, then the samples (48 kHz mono s16le).
constexpr uint32_t VMIC_PACKET_HEADER = 8;
// Hands samples to the microphone made by the back-end's vmicrophone_init
// (`microphone` nonzero); nonzero when they were not taken.
int32_t vmicrophone_submit(uint8_t microphone, const uint8_t *packet, uint32_t length, uint32_t flag);
// Removes the persistent microphone the adapter keeps across sessions.
void vmicrophone_destroy_persistent(void);

// The virtual tablet. A report waits in the queue of its kind (10 or 11) as
// an item: the record, then the streamed output's left, top, right, bottom,
// width and height (i32). The tablet's thread hands the items to the
// back-end in order, until `stop`; `ready` is set while the back-end's
// device is there. Reports come from one guest's message thread at a time
// (the tablet's owner); vtablet_destroy joins the thread before freeing.
constexpr uint32_t VTABLET_RECORD_SIZE = 1932;
constexpr uint32_t VTABLET_ITEM_SIZE = VTABLET_RECORD_SIZE + 6 * 4;
constexpr uint32_t VTABLET_QUEUE_SLOTS = 64;
struct VirtualTablet {
    std::atomic<uint8_t> ready;
    std::atomic<uint8_t> stop;
    VKO_Queue *reports[2];  // kinds 10 and 11
    VKO_Waitable *wake;
    VKO_Thread *thread;
};
// Nonzero on failure (no device), with *tablet null.
int32_t vtablet_init(VirtualTablet **tablet);
void vtablet_destroy(VirtualTablet **tablet);
// The record's kind (u32 at its start) picks the queue; false when the kind
// is neither 10 nor 11 or its queue is full (the report is dropped).
bool vtablet_queue(VirtualTablet *tablet, const uint8_t record[VTABLET_RECORD_SIZE], const int32_t output[4]);

// Restarts the virtual display adapter's device node (kind 0 or 1).
void vdd_device_restart(uint32_t kind);

// The virtual mouse. Its control thread serves the device until `stop` is
// set; vmouse_destroy sets it and joins the thread before the device goes.
struct VirtualMouse {
    std::atomic<uint8_t> stop;
    VKO_Thread *thread;
};
// VDEV_BIT_SUCCESS set on success, with *device made (flags: none defined).
uint32_t XVUSB_vmouse_device_create(VirtualMouse **device, uint32_t flags);
void *VirtualMouseDeviceControlThread(void *device);
uint32_t VirtualMouseDeviceDestroy(VirtualMouse *device);  // VDEV_BIT_SUCCESS set on success
// Stops the control thread, destroys the device (logging a failed destroy)
// and clears *mouse.
void vmouse_destroy(VirtualMouse **mouse);

// DualSense pads of the virtual USB adapter; the device is the pad's slot.
// The reads answer VDEV_BIT_SUCCESS when data was read; isochronous data
// starts at *offset in buffer.
uint32_t VirtualDualSenseDeviceReadOutputReport(uint32_t device, uint8_t *buffer, uint32_t size,
                                                uint32_t *length);
uint32_t VirtualDualSenseDeviceReadIsochronous(uint32_t device, uint8_t *buffer, uint32_t size,
                                               uint32_t *length, uint32_t *offset);
int32_t VirtualDualSenseDeviceSubmitReport(uint32_t device, const uint8_t *report);
constexpr uint32_t DUALSENSE_REPORT_SIZE = 77;

// PulseAudio null sink named `name`; the module index or -1.
int32_t vdev_pulse_microphone_create(const char *name);
void vdev_pulse_microphone_destroy(int32_t module);

// Game pads of the guests.
constexpr uint32_t CONTROLLER_SLOTS = 16;
constexpr uint32_t PAD_XBOX360 = 1, PAD_DS4 = 2, PAD_DUALSENSE = 3;
constexpr uint32_t PAD_REPORT_MAX = 78;

// A pad's rumble goes to its guest as this control message: a = the pad
// index, b = large motor, c = small motor (0..255).
constexpr uint8_t CONTROLLER_RUMBLE_MESSAGE = 20;
// header: the 13-byte control header to send to the guest `guest_id`.
typedef void (*ControllerFeedbackFn)(const uint8_t *header, uint32_t guest_id, void *owner);

// A guest's pad: key = guest id << 8 | the pad index the guest gave, so two
// guests signed in as one user drive pads of their own.
uint64_t controller_pad_key(uint32_t guest_id, uint32_t index);

struct ControllerSlot {
    uint8_t used;
    uint64_t key;    // controller_pad_key
    uint32_t owner;  // the guest's userID
    uint8_t report[PAD_REPORT_MAX];
    uint32_t report_size;
    uint32_t plug;  // this pad's plug number: a rumble for an earlier pad of the slot does not match
};

// Threads: the guests' message threads (input), guest leave and the last
// guest (release), the virtual USB output thread (DualSense data) and the
// back-end's feedback threads. Slots and map change only under `mutex`.
// The rumble of a pad is looked up under `mutex` and handed to `feedback`
// after it is released (the feedback takes a stream lock, and stream locks
// come before this mutex).
struct ControllerManager {
    ControllerSlot slots[CONTROLLER_SLOTS];
    VKO_Hash *map;  // pad key -> slot + 1
    VKO_Mutex *mutex;
    uint8_t backend;  // 1 virtual USB, 0 gamepad bus
    uint32_t pad_type;
    ControllerFeedbackFn feedback;
    void *owner;
    VigemClient *bus;  // the gamepad-bus client (gamepad bus only)
    uint8_t connected;
    uint8_t fed;     // a pad's rumble was ever routed here (under `mutex`)
    uint32_t plugs;  // pads plugged so far: the next plug number (under `mutex`)
};

ControllerManager *controller_manager_create(uint8_t backend, uint32_t pad_type,
                                             ControllerFeedbackFn feedback, void *owner);
void controller_manager_destroy(ControllerManager **mgr);
// Plugs the pad of key (for the guest's user `owner`) on first use; the
// slot or -1 when all 16 are taken.
int32_t controller_slot_get(ControllerManager *mgr, uint64_t key, uint32_t owner);
// The report of a pad at rest; its size.
uint32_t controller_neutral_report(uint32_t type, uint8_t out[PAD_REPORT_MAX]);
// Caller holds mgr->mutex.
void controller_unplug_all(ControllerManager *mgr);
// Caller holds mgr->mutex: every pad of the guest gets the neutral report and is removed.
void controller_release_guest(ControllerManager *mgr, uint32_t guest_id);
// Caller holds mgr->mutex: the slot's pad is unplugged and its slot freed.
void controller_unplug(ControllerManager *mgr, uint32_t slot);
// Caller holds mgr->mutex: unplug all and a fresh map.
void controller_slots_reset(ControllerManager *mgr);
// Clamps the two packed touch points (contact byte, 12-bit x, 12-bit y) that
// start at record[first] to the touch pad's 1920 x 1080 surface (a
// DualShock 4's 942 rows lie inside it): a guest's bytes never name a point
// off the pad.
constexpr uint32_t PAD_TOUCH_WIDTH = 1920, PAD_TOUCH_HEIGHT = 1080;
constexpr uint32_t DUALSENSE_TOUCH_OFFSET = 32;
void controller_touch_clamp(uint8_t *record, uint32_t first);
