// Inside the HID code: the parsed report descriptor with the queries that
// HidP answers elsewhere, and the drivers. Pure code over byte arrays and a
// clock given by the caller, so all of it runs without a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/controller.h"

// Status codes as HidP reports them.
constexpr uint32_t HIDP_STATUS_SUCCESS = 0x00110000;
constexpr uint32_t HIDP_STATUS_INVALID_REPORT_LENGTH = 0xC0110003;
constexpr uint32_t HIDP_STATUS_USAGE_NOT_FOUND = 0xC0110004;
constexpr uint32_t HIDP_STATUS_BUFFER_TOO_SMALL = 0xC0110007;
constexpr uint32_t HIDP_STATUS_INCOMPATIBLE_REPORT_ID = 0xC0110010;

// One input field: a button range (1-bit variables or an array of usage
// selectors) or one value.
struct HidField {
    uint8_t report_id;
    uint16_t usage_page;
    uint16_t usage_min, usage_max;  // equal for a single usage
    uint32_t bit_offset;            // from the first byte after the report id
    uint16_t bit_size;
    uint16_t count;  // array slots, or 1-bit variables in the range
    int32_t logical_min, logical_max;
    bool array;
    uint8_t collection;  // index of its top-level collection
};

// A top-level collection: one device of its own (a node may carry a
// keyboard, a media-key set and two pads), with the input report ids its
// items declared.
struct HidCollection {
    uint16_t usage_page, usage;
    std::vector<uint8_t> input_ids;
};
constexpr size_t HID_MAX_COLLECTIONS = 32;

struct HidDescriptor {
    uint16_t usage_page, usage;                   // first top-level collection
    uint16_t input_len, output_len, feature_len;  // bytes, with the report id byte
    bool report_ids;
    std::vector<HidField> buttons, values;
    std::vector<HidCollection> collections;
};

// True for joysticks, gamepads and multi-axis controllers.
bool hid_is_controller(uint16_t usage_page, uint16_t usage);
// The part of d that belongs to its top-level collection `index`.
HidDescriptor hid_collection_descriptor(const HidDescriptor &d, size_t index);

// Which list a refused descriptor could not be read into.
enum HidParseFailure : uint32_t {
    HID_PARSE_CAPS = 0,         // malformed, or nothing usable
    HID_PARSE_BUTTON_CAPS = 1,  // more fields than a device record holds, at a button field
    HID_PARSE_VALUE_CAPS = 2,   // the same at a value field
};

// False for a descriptor that is malformed or describes nothing usable;
// *failure (when given) then says where it stopped.
bool hid_parse_descriptor(const uint8_t *desc, size_t size, HidDescriptor *out,
                          HidParseFailure *failure = nullptr);
// Pressed usages of one button field (report[0] is the report id, 0 when the
// device numbers none). *count is the room in, the number found out.
uint32_t hid_get_usages(const HidField &f, const uint8_t *report, size_t size, uint16_t *usages,
                        uint32_t *count);
// Raw value of a usage, sign-extended when its logical minimum is negative.
uint32_t hid_get_usage_value(const HidDescriptor &d, uint16_t page, uint16_t usage, const uint8_t *report,
                             size_t size, int64_t *value, const HidField **field);

// The generic state: buttons and values of any gamepad, mapped onto the
// common layout. False when the report yields no state.
bool hid_default_state(const HidDescriptor &d, const uint8_t *report, size_t size, VKO_ControllerEvent *ev);

VKO_CType hid_driver_for(uint16_t vendor_id, uint16_t product_id);

// What a driver needs of its device.
struct HidDeviceIO {
    bool (*write)(void *ctx, const uint8_t *report, size_t size);
    long (*feature)(void *ctx, uint8_t *buf, size_t size);
    void *ctx;
};

// Driver state of one device (the 1,024-byte area of the device record).
struct HidDriver {
    VKO_CType type;
    uint16_t vendor_id, product_id;
    uint16_t output_len;
    HidDeviceIO io;
    uint8_t area[1024];
};

void hid_driver_init(HidDriver *drv, int64_t now_ms);
// Turns a report into a state; false when it yields none. Also moves the
// driver's own output (handshakes, rumble refresh) along.
bool hid_driver_report(HidDriver *drv, const HidDescriptor &desc, const uint8_t *report, size_t size,
                       VKO_ControllerEvent *ev, int64_t now_ms);
void hid_driver_rumble(HidDriver *drv, uint16_t low, uint16_t high, int64_t now_ms);

// Output reports, built into buf (room for 78 bytes); their size.
size_t hid_ds4_output(bool bluetooth, uint16_t low, uint16_t high, uint8_t *buf);
size_t hid_dualsense_output(bool bluetooth, uint16_t low, uint16_t high, uint8_t *buf);
