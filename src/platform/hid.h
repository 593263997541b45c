// Game controllers on raw HID: the listener that keeps the devices (hidraw
// nodes found through udev, polled by the run loop), the report-descriptor
// parser that answers what HidP answers elsewhere (capabilities, pressed
// usages, usage values), and the drivers that turn reports into the common
// controller record and write rumble and light reports. App thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/controller.h"

struct VKO_HIDListener;

struct VKO_HIDCallbacks {
    // connected true: arrival (after the driver's set-up); false: removal.
    void (*connect)(void *ctx, uint32_t id, uint16_t vendor_id, uint16_t product_id, bool connected);
    // A report a driver turned into a state.
    void (*report)(void *ctx, VKO_ControllerEvent *state, const void *report, size_t size);
    void *ctx;
};

// The device layer under the listener: hidraw on Linux; tests install their
// own (no controller exists here).
struct VKO_HIDDeviceOps {
    // Returns a descriptor (>= 0) or -1.
    int (*open)(void *ctx, const char *path);
    void (*close)(void *ctx, int fd);
    // Report bytes (with the report id byte), 0 when none is waiting, -1 on error.
    long (*read)(void *ctx, int fd, uint8_t *buf, size_t size);
    bool (*write)(void *ctx, int fd, const uint8_t *buf, size_t size);
    // Feature report: buf[0] holds the report id; returns the bytes read or -1.
    long (*feature)(void *ctx, int fd, uint8_t *buf, size_t size);
    // Vendor, product and the report descriptor.
    bool (*info)(void *ctx, int fd, uint16_t *vendor_id, uint16_t *product_id, uint8_t *desc,
                 size_t *desc_size);
    void *ctx;
};

VKO_HIDListener *vko_hid_listener_create(const VKO_HIDCallbacks *callbacks);
void vko_hid_listener_destroy(VKO_HIDListener **listener);
// Starts watching for devices (udev monitor and the devices already there).
bool vko_hid_listen(VKO_HIDListener *listener);
// Device changes and waiting reports; the run loop calls it once per pass.
void vko_hid_listener_poll(VKO_HIDListener *listener);
// Arrival and removal of a device node (its path); false when ignored.
bool vko_hid_listener_arrival(VKO_HIDListener *listener, const char *path);
void vko_hid_listener_removal(VKO_HIDListener *listener, const char *path);
// One report of a device, as the device layer read it.
void vko_hid_listener_report(VKO_HIDListener *listener, const char *path, const uint8_t *report, size_t size);
bool vko_hid_listener_write(VKO_HIDListener *listener, uint32_t id, const void *report, size_t size);
VKO_CType vko_hid_listener_type(VKO_HIDListener *listener, uint32_t id);
const char *vko_hid_listener_name(VKO_HIDListener *listener, uint32_t id);
void vko_hid_listener_rumble(VKO_HIDListener *listener, uint32_t id, uint16_t low, uint16_t high);
void vko_hid_listener_set_ops(VKO_HIDListener *listener, const VKO_HIDDeviceOps *ops);
// Clock of the drivers' pacing, milliseconds (tests set a fake one).
void vko_hid_listener_set_clock(VKO_HIDListener *listener, int64_t (*now_ms)(void *ctx), void *ctx);
