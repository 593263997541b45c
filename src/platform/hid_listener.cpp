// The HID listener: game controllers among the hidraw nodes (found at start
// and through a udev monitor), read without blocking once per loop pass.
// App thread only.
//
// A node carries every top-level collection of its device, and each
// joystick, gamepad or multi-axis collection is a controller of its own
// (Device: its fields, driver state, id from 32 - 0-3 are XInput's - and
// its connect and disconnect). A report goes to the controller whose
// collection declared its id; reports of the node's other collections
// (keyboards, media keys) are ignored. The node's descriptor is shared by
// its controllers, which go with it.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libudev.h>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/hid_internal.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

struct Node;

struct Device {
    Node *node;
    uint32_t id;
    std::vector<uint8_t> input_ids;  // report ids its collection declared
    bool xinput;  // reached through XInput instead (never on Linux: no such pads on hidraw)
    HidDescriptor desc;
    HidDriver driver;
};

struct Node {
    std::string path;
    int fd;
    uint16_t vendor_id, product_id;
    bool report_ids;
    std::vector<uint8_t> other_ids;  // input report ids of collections that are no controllers
    std::vector<Device *> pads;
    VKO_HIDListener *owner;
};

int os_open(void *, const char *path) {
    return open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

void os_close(void *, int fd) {
    close(fd);
}

long os_read(void *, int fd, uint8_t *buf, size_t size) {
    ssize_t n = read(fd, buf, size);
    if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return n;
}

bool os_write(void *, int fd, const uint8_t *buf, size_t size) {
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 1000) <= 0) {
        VKO_Log("vko_hid_device_write", "'GetOverlappedResult' failed with error 0x%X", (unsigned)ETIMEDOUT);
        return false;
    }
    ssize_t n = write(fd, buf, size);
    if (n < 0) VKO_Log("vko_hid_device_write", "'WriteFile' failed with error 0x%X", (unsigned)errno);
    return n == (ssize_t)size;
}

long os_feature(void *, int fd, uint8_t *buf, size_t size) {
    int n = ioctl(fd, HIDIOCGFEATURE(size), buf);
    if (n < 0) {
        VKO_Log("vko_hid_device_feature", "'DeviceIoControl' failed with error 0x%X", (unsigned)errno);
        return -1;
    }
    return n + 1;
}

bool os_info(void *, int fd, uint16_t *vid, uint16_t *pid, uint8_t *desc, size_t *desc_size) {
    hidraw_devinfo info;
    memset(&info, 0, sizeof(info));
    int size = 0;
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0 || ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return false;
    hidraw_report_descriptor rd;
    memset(&rd, 0, sizeof(rd));
    rd.size = (uint32_t)std::min<int>(std::max(size, 0), HID_MAX_DESCRIPTOR_SIZE);
    if (ioctl(fd, HIDIOCGRDESC, &rd) < 0) return false;
    *vid = (uint16_t)info.vendor;
    *pid = (uint16_t)info.product;
    *desc_size = std::min<size_t>(rd.size, *desc_size);
    memcpy(desc, rd.value, *desc_size);
    return true;
}

const VKO_HIDDeviceOps kOs = {os_open, os_close, os_read, os_write, os_feature, os_info, nullptr};

int64_t os_now(void *) {
    return VKO_GetTime() / 1000000;
}

}  // namespace

struct VKO_HIDListener {
    VKO_HIDCallbacks cb;
    VKO_HIDDeviceOps ops;
    int64_t (*now)(void *);
    void *now_ctx;
    uint32_t next_id;
    std::vector<Node *> nodes;
    udev *u;
    udev_monitor *mon;
};

namespace {

bool dev_write(void *ctx, const uint8_t *report, size_t size) {
    Node *n = ((Device *)ctx)->node;
    return n->owner->ops.write(n->owner->ops.ctx, n->fd, report, size);
}

long dev_feature(void *ctx, uint8_t *buf, size_t size) {
    Node *n = ((Device *)ctx)->node;
    return n->owner->ops.feature(n->owner->ops.ctx, n->fd, buf, size);
}

Node *by_path(VKO_HIDListener *l, const char *path) {
    for (Node *n : l->nodes)
        if (n->path == path) return n;
    return nullptr;
}

Device *by_id(VKO_HIDListener *l, uint32_t id) {
    for (Node *n : l->nodes)
        for (Device *d : n->pads)
            if (d->id == id) return d;
    return nullptr;
}

void free_node(VKO_HIDListener *l, Node *n) {
    if (n->fd >= 0) l->ops.close(l->ops.ctx, n->fd);
    for (Device *d : n->pads) delete d;
    delete n;
}

void drop(VKO_HIDListener *l, Node *n) {
    l->nodes.erase(std::remove(l->nodes.begin(), l->nodes.end(), n), l->nodes.end());
    for (Device *d : n->pads)
        if (!d->xinput && l->cb.connect) l->cb.connect(l->cb.ctx, d->id, n->vendor_id, n->product_id, false);
    free_node(l, n);
}

bool has(const std::vector<uint8_t> &ids, uint8_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The controller a report is for, or null when it is none of theirs.
Device *pad_of(Node *n, uint8_t report_id) {
    if (n->pads.empty()) return nullptr;
    if (!n->report_ids) return n->pads[0];
    for (Device *d : n->pads)
        if (has(d->input_ids, report_id)) return d;
    if (has(n->other_ids, report_id)) return nullptr;
    // An id no collection declared: only a vendor driver knows what it is.
    Device *first = n->pads[0];
    return first->driver.type != VKO_CTYPE_HID ? first : nullptr;
}

void read_reports(VKO_HIDListener *l, Node *n) {
    // hidraw leaves out the id byte of devices that number no reports: put
    // a 0 there so offsets count from the report id as everywhere else.
    uint8_t buf[1 + 4096];
    for (int i = 0; i < 64; i++) {
        size_t skip = n->report_ids ? 0 : 1;
        buf[0] = 0;
        long got = l->ops.read(l->ops.ctx, n->fd, buf + skip, sizeof(buf) - skip);
        if (got < 0) {
            drop(l, n);  // gone
            return;
        }
        if (got == 0) return;
        vko_hid_listener_report(l, n->path.c_str(), buf, (size_t)got + skip);
    }
}

void udev_events(VKO_HIDListener *l) {
    if (!l->mon) return;
    pollfd p = {udev_monitor_get_fd(l->mon), POLLIN, 0};
    while (poll(&p, 1, 0) > 0) {
        udev_device *dev = udev_monitor_receive_device(l->mon);
        if (!dev) break;
        const char *action = udev_device_get_action(dev);
        const char *node = udev_device_get_devnode(dev);
        if (action && node) {
            if (strcmp(action, "add") == 0) vko_hid_listener_arrival(l, node);
            if (strcmp(action, "remove") == 0) vko_hid_listener_removal(l, node);
        }
        udev_device_unref(dev);
    }
}

}  // namespace

VKO_HIDListener *vko_hid_listener_create(const VKO_HIDCallbacks *callbacks) {
    auto *l = new (std::nothrow) VKO_HIDListener();
    if (!l) return nullptr;
    if (callbacks) l->cb = *callbacks;
    l->ops = kOs;
    l->now = os_now;
    l->next_id = 32;
    return l;
}

void vko_hid_listener_destroy(VKO_HIDListener **listener) {
    if (!listener || !*listener) return;
    VKO_HIDListener *l = *listener;
    for (Node *n : l->nodes) free_node(l, n);
    if (l->mon) udev_monitor_unref(l->mon);
    if (l->u) udev_unref(l->u);
    delete l;
    *listener = nullptr;
}

void vko_hid_listener_set_ops(VKO_HIDListener *l, const VKO_HIDDeviceOps *ops) {
    if (l) l->ops = ops ? *ops : kOs;
}

void vko_hid_listener_set_clock(VKO_HIDListener *l, int64_t (*now_ms)(void *ctx), void *ctx) {
    if (!l) return;
    l->now = now_ms ? now_ms : os_now;
    l->now_ctx = ctx;
}

bool vko_hid_listen(VKO_HIDListener *l) {
    if (!l || l->u) return l != nullptr;
    l->u = udev_new();
    if (!l->u) {
        VKO_Log("vko_hid_win32_listen", "'RegisterRawInputDevices' failed with error 0x%X", (unsigned)errno);
        return false;
    }
    l->mon = udev_monitor_new_from_netlink(l->u, "udev");
    if (l->mon) {
        udev_monitor_filter_add_match_subsystem_devtype(l->mon, "hidraw", nullptr);
        if (udev_monitor_enable_receiving(l->mon) < 0) {
            udev_monitor_unref(l->mon);
            l->mon = nullptr;
        }
    }
    if (!l->mon)
        VKO_Log("vko_hid_win32_listen", "'RegisterRawInputDevices' failed with error 0x%X", (unsigned)errno);
    udev_enumerate *en = udev_enumerate_new(l->u);
    if (en) {
        udev_enumerate_add_match_subsystem(en, "hidraw");
        udev_enumerate_scan_devices(en);
        udev_list_entry *e;
        udev_list_entry_foreach(e, udev_enumerate_get_list_entry(en)) {
            udev_device *dev = udev_device_new_from_syspath(l->u, udev_list_entry_get_name(e));
            if (!dev) continue;
            if (const char *node = udev_device_get_devnode(dev)) vko_hid_listener_arrival(l, node);
            udev_device_unref(dev);
        }
        udev_enumerate_unref(en);
    }
    return l->mon != nullptr;
}

void vko_hid_listener_poll(VKO_HIDListener *l) {
    if (!l) return;
    udev_events(l);
    std::vector<Node *> now = l->nodes;
    for (Node *n : now)
        if (std::find(l->nodes.begin(), l->nodes.end(), n) != l->nodes.end()) read_reports(l, n);
}

bool vko_hid_listener_arrival(VKO_HIDListener *l, const char *path) {
    if (!l || !path) return false;
    int fd = l->ops.open(l->ops.ctx, path);
    if (fd < 0) {
        // Without access to the node the device is not ours to read.
        VKO_Log("hid_device_create", "'GetRawInputDeviceInfo' failed with error 0x%X", (unsigned)errno);
        return false;
    }
    uint8_t desc[4096];
    size_t desc_size = sizeof(desc);
    uint16_t vid = 0, pid = 0;
    if (!l->ops.info(l->ops.ctx, fd, &vid, &pid, desc, &desc_size)) {
        VKO_Log("hid_device_create", "'GetRawInputDeviceInfo' failed with error 0x%X", (unsigned)errno);
        l->ops.close(l->ops.ctx, fd);
        return false;
    }
    HidDescriptor full;
    HidParseFailure failure;
    if (!hid_parse_descriptor(desc, desc_size, &full, &failure)) {
        if (failure == HID_PARSE_BUTTON_CAPS)
            VKO_Log("hid_device_create", "'HidP_GetButtonCaps' failed with NTSTATUS 0x%X",
                    HIDP_STATUS_BUFFER_TOO_SMALL);
        else if (failure == HID_PARSE_VALUE_CAPS)
            VKO_Log("hid_device_create", "'HidP_GetValueCaps' failed with NTSTATUS 0x%X",
                    HIDP_STATUS_BUFFER_TOO_SMALL);
        else
            VKO_Log("hid_device_create", "'HidP_GetCaps' failed with NTSTATUS 0x%X", 0xC0110001u);
        l->ops.close(l->ops.ctx, fd);
        return false;
    }
    auto *n = new (std::nothrow) Node();
    if (!n) {
        l->ops.close(l->ops.ctx, fd);
        return false;
    }
    n->path = path;
    n->fd = fd;
    n->vendor_id = vid;
    n->product_id = pid;
    n->report_ids = full.report_ids;
    n->owner = l;
    // Joysticks, gamepads and multi-axis controllers only, each collection a controller.
    for (size_t i = 0; i < full.collections.size(); i++) {
        const HidCollection &c = full.collections[i];
        if (!hid_is_controller(c.usage_page, c.usage)) {
            n->other_ids.insert(n->other_ids.end(), c.input_ids.begin(), c.input_ids.end());
            continue;
        }
        auto *d = new (std::nothrow) Device();
        if (!d) break;
        d->node = n;
        d->input_ids = c.input_ids;
        d->desc = hid_collection_descriptor(full, i);
        d->driver.vendor_id = vid;
        d->driver.product_id = pid;
        d->driver.output_len = full.output_len;
        d->driver.io = {dev_write, dev_feature, d};
        n->pads.push_back(d);
    }
    if (n->pads.empty()) {
        free_node(l, n);
        return false;
    }
    if (Node *old = by_path(l, path)) drop(l, old);  // the same node again: as a removal first
    l->nodes.push_back(n);
    for (Device *d : n->pads) {
        d->id = l->next_id++;
        if (d->xinput) continue;
        hid_driver_init(&d->driver, l->now(l->now_ctx));
        if (l->cb.connect) l->cb.connect(l->cb.ctx, d->id, vid, pid, true);
    }
    return true;
}

void vko_hid_listener_removal(VKO_HIDListener *l, const char *path) {
    if (!l || !path) return;
    if (Node *n = by_path(l, path)) drop(l, n);
}

void vko_hid_listener_report(VKO_HIDListener *l, const char *path, const uint8_t *report, size_t size) {
    if (!l || !path) return;
    Node *n = by_path(l, path);
    if (!n || !report || !size) return;
    Device *d = pad_of(n, report[0]);
    if (!d || d->xinput) return;
    VKO_ControllerEvent ev;
    memset(&ev, 0, sizeof(ev));
    if (!hid_driver_report(&d->driver, d->desc, report, size, &ev, l->now(l->now_ctx))) return;
    ev.driver_type = d->driver.type;
    ev.id = d->id;
    ev.vendor_id = n->vendor_id;
    ev.product_id = n->product_id;
    if (l->cb.report) l->cb.report(l->cb.ctx, &ev, report, size);
}

bool vko_hid_listener_write(VKO_HIDListener *l, uint32_t id, const void *report, size_t size) {
    Device *d = l ? by_id(l, id) : nullptr;
    if (!d || !report || !size) return false;
    return l->ops.write(l->ops.ctx, d->node->fd, (const uint8_t *)report, size);
}

VKO_CType vko_hid_listener_type(VKO_HIDListener *l, uint32_t id) {
    Device *d = l ? by_id(l, id) : nullptr;
    return d ? d->driver.type : VKO_CTYPE_HID;
}

const char *vko_hid_listener_name(VKO_HIDListener *l, uint32_t id) {
    Device *d = l ? by_id(l, id) : nullptr;
    if (!d) return nullptr;
    thread_local char name[1024];
    snprintf(name, sizeof(name), "%s", d->node->path.c_str());
    return name;
}

void vko_hid_listener_rumble(VKO_HIDListener *l, uint32_t id, uint16_t low, uint16_t high) {
    Device *d = l ? by_id(l, id) : nullptr;
    if (d) hid_driver_rumble(&d->driver, low, high, l->now(l->now_ctx));
}
