// Pens and touch screens through X Input 2.2. A tablet's pen (and its eraser,
// a device of its own) is a slave pointer with a pressure valuator: its
// device events on our windows become pen reports, with pressure and tilt
// read from its valuators. A touch device's touches on our windows set "touch
// in range" while any is down (each touch kept once, with its window and
// device, so one whose end never comes goes with either); the touch that
// emulates the pointer is turned into motion and left-button events, since a
// window that takes touches gets no emulated pointer events from the server.
// A pen in range leaves it with its window or its device too. Everything here
// belongs to the app thread.
#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/log.h"
#include "platform/x11/error_trap.h"
#include "platform/x11/x11_app.h"

namespace {

X11PenDevice *find_device(X11App *x, int id) {
    for (int i = 0; i < x->pen_count; i++)
        if (x->pens[i].id == id) return &x->pens[i];
    return nullptr;
}

// The value of valuator n in an event, false when the event lacks it.
bool valuator(const XIValuatorState &v, int n, double *out) {
    if (n < 0 || n >= v.mask_len * 8 || !XIMaskIsSet(v.mask, n)) return false;
    int at = 0;
    for (int i = 0; i < n; i++)
        if (XIMaskIsSet(v.mask, i)) at++;
    *out = v.values[at];
    return std::isfinite(*out);
}

uint16_t scale_pressure(const X11PenDevice &d, double v) {
    if (!(d.p_max > d.p_min)) return 0;
    double p = (v - d.p_min) / (d.p_max - d.p_min) * 1024.0;
    return (uint16_t)std::lround(std::clamp(p, 0.0, 1024.0));
}

// Tilt in degrees: a range within a right angle either way is taken as
// degrees, any other is stretched to it.
int8_t scale_tilt(double min, double max, double v) {
    double deg;
    if (min >= -90 && max <= 90)
        deg = v;
    else if (max > min)
        deg = ((v - min) / (max - min) * 2 - 1) * 90;
    else
        deg = 0;
    return (int8_t)std::lround(std::clamp(deg, -90.0, 90.0));
}

void set_pen_range(VKO_App *app, bool in) {
    if (app->pen_in_range != in) app_bump(app);  // raw mouse follows the pen's presence
}

// The pen's range ends, with nothing told; false when it was not in range.
bool end_pen_range(VKO_App *app) {
    if (!app->pen_in_range) return false;
    set_pen_range(app, false);
    app->pen_in_range = false;
    app->x->pen_device = 0;
    app->x->pen_window = 0;
    return true;
}

void drop_touch(X11App *x, int i) {
    x->touches[i] = x->touches[--x->touch_count];
}

// A touch begins or ends: the table keeps each touch down once.
void track_touch(VKO_App *app, const XIDeviceEvent *e) {
    X11App *x = app->x;
    int at = -1;
    for (int i = 0; i < x->touch_count && at < 0; i++)
        if (x->touches[i].device == e->deviceid && x->touches[i].id == e->detail) at = i;
    int room = (int)(sizeof(x->touches) / sizeof(x->touches[0]));
    if (e->evtype == XI_TouchBegin && at < 0 && x->touch_count < room)
        x->touches[x->touch_count++] = {e->deviceid, e->detail, e->event};
    else if (e->evtype == XI_TouchEnd && at >= 0)
        drop_touch(x, at);
    app->touch_in_range = x->touch_count > 0;
}

// The devices were listed again: touches of a device that left end, and a
// pen that left goes out of range.
void forget_gone_devices(VKO_App *app) {
    X11App *x = app->x;
    for (int i = 0; i < x->touch_count;) {
        if (find_device(x, x->touches[i].device))
            i++;
        else
            drop_touch(x, i);
    }
    app->touch_in_range = x->touch_count > 0;
    if (!app->pen_in_range || !x->pen_device || x11_pen_device(x, x->pen_device)) return;
    int32_t index = x11_index_of(app, x->pen_window);
    if (index >= 0)
        x11_pen_leave(app, index);
    else
        end_pen_range(app);
}

void pen_report(VKO_App *app, int32_t index, const X11PenDevice &d, const XIDeviceEvent *e) {
    bool contact = e->buttons.mask_len > 0 && XIMaskIsSet(e->buttons.mask, 1);
    if (e->evtype == XI_ButtonPress && e->detail == 1) contact = true;
    if (e->evtype == XI_ButtonRelease && e->detail == 1) contact = false;
    VKO_PenInput pen;
    memset(&pen, 0, sizeof(pen));
    pen.in_range = true;
    pen.contact = contact;
    pen.inverted = d.eraser;
    pen.eraser = d.eraser && contact;
    pen.x = (int32_t)std::clamp(e->event_x, -1e6, 1e6);
    pen.y = (int32_t)std::clamp(e->event_y, -1e6, 1e6);
    double v;
    if (valuator(e->valuators, d.pressure, &v)) pen.pressure = scale_pressure(d, v);
    if (valuator(e->valuators, d.tilt_x, &v)) pen.tilt_x = scale_tilt(d.tx_min, d.tx_max, v);
    if (valuator(e->valuators, d.tilt_y, &v)) pen.tilt_y = scale_tilt(d.ty_min, d.ty_max, v);
    set_pen_range(app, true);
    app->x->pen_device = d.id;
    app->x->pen_window = e->event;
    app_pen_input(app, (uint8_t)index, &pen);
}

void touch_report(VKO_App *app, int32_t index, const XIDeviceEvent *e) {
    track_touch(app, e);
    if (!(e->flags & XITouchEmulatingPointer)) return;
    // The pointer-emulating touch moves and presses as the left button does.
    int32_t cx = (int32_t)std::clamp(e->event_x, -32768.0, 32767.0);
    int32_t cy = (int32_t)std::clamp(e->event_y, -32768.0, 32767.0);
    VKO_Event ev;
    if (e->evtype != XI_TouchEnd) {
        memset(&ev, 0, sizeof(ev));
        ev.type = VKO_EVENT_MOTION;
        ev.window = (uint8_t)index;
        ev.motion.x = cx, ev.motion.y = cy;
        if (!app_dispatch_alive(app, &ev)) return;
    }
    if (e->evtype == XI_TouchUpdate) return;
    memset(&ev, 0, sizeof(ev));
    ev.type = VKO_EVENT_BUTTON;
    ev.window = (uint8_t)index;
    ev.button.button = 1;
    ev.button.x = cx, ev.button.y = cy;
    ev.button.pressed = e->evtype == XI_TouchBegin;
    app_dispatch(app, &ev);
}

}  // namespace

void x11_pen_scan(VKO_App *app) {
    X11App *x = app->x;
    x->pen_count = 0;
    if (!x->xi) return;
    int n = 0;
    XIDeviceInfo *info = XIQueryDevice(x->dpy, XIAllDevices, &n);
    Atom pressure = XInternAtom(x->dpy, "Abs Pressure", False);
    Atom tilt_x = XInternAtom(x->dpy, "Abs Tilt X", False);
    Atom tilt_y = XInternAtom(x->dpy, "Abs Tilt Y", False);
    for (int i = 0; info && i < n; i++) {
        const XIDeviceInfo &dev = info[i];
        if (dev.use != XISlavePointer && dev.use != XIFloatingSlave) continue;
        X11PenDevice d;
        memset(&d, 0, sizeof(d));
        d.id = dev.deviceid;
        d.pressure = d.tilt_x = d.tilt_y = -1;
        bool touch = false, abs_x = false, abs_y = false;
        for (int c = 0; c < dev.num_classes; c++) {
            const XIAnyClassInfo *any = dev.classes[c];
            if (any->type == XITouchClass) touch = true;
            if (any->type != XIValuatorClass) continue;
            auto *v = (const XIValuatorClassInfo *)any;
            if (v->number == 0 && v->mode == XIModeAbsolute && v->max > v->min)
                abs_x = true, d.x_min = v->min, d.x_max = v->max;
            if (v->number == 1 && v->mode == XIModeAbsolute && v->max > v->min)
                abs_y = true, d.y_min = v->min, d.y_max = v->max;
            if (v->label == pressure && pressure) d.pressure = v->number, d.p_min = v->min, d.p_max = v->max;
            if (v->label == tilt_x && tilt_x) d.tilt_x = v->number, d.tx_min = v->min, d.tx_max = v->max;
            if (v->label == tilt_y && tilt_y) d.tilt_y = v->number, d.ty_min = v->min, d.ty_max = v->max;
        }
        if (touch)
            d.touch = true;
        else if (d.pressure >= 0)
            d.pen = true, d.eraser = dev.name && strcasestr(dev.name, "eraser");
        d.absolute = abs_x && abs_y;
        d.last_x = d.x_min, d.last_y = d.y_min;
        if ((d.touch || d.pen || d.absolute) && x->pen_count < (int)(sizeof(x->pens) / sizeof(x->pens[0])))
            x->pens[x->pen_count++] = d;
    }
    if (info) XIFreeDeviceInfo(info);
}

void x11_pen_select(VKO_App *app, unsigned long window) {
    X11App *x = app->x;
    if (!x->xi) return;
    XIEventMask masks[17];
    unsigned char bits[17][XIMaskLen(XI_LASTEVENT)];
    int count = 0;
    memset(bits, 0, sizeof(bits));
    for (int i = 0; i < x->pen_count && count < 16; i++) {
        const X11PenDevice &d = x->pens[i];
        if (d.pen) {
            XISetMask(bits[count], XI_Motion);
            XISetMask(bits[count], XI_ButtonPress);
            XISetMask(bits[count], XI_ButtonRelease);
        } else if (d.touch) {
            XISetMask(bits[count], XI_TouchBegin);
            XISetMask(bits[count], XI_TouchUpdate);
            XISetMask(bits[count], XI_TouchEnd);
        } else {
            continue;
        }
        masks[count] = {d.id, (int)sizeof(bits[count]), bits[count]};
        count++;
    }
    // The pen leaving the window: crossing events come for the master.
    bool pens = false;
    for (int i = 0; i < x->pen_count; i++) pens |= x->pens[i].pen;
    if (pens) {
        XISetMask(bits[count], XI_Leave);
        masks[count] = {XIAllMasterDevices, (int)sizeof(bits[count]), bits[count]};
        count++;
    }
    if (!count) return;
    X11ErrorTrap trap(x->dpy);
    XISelectEvents(x->dpy, (Window)window, masks, count);
    if (int e = trap.sync()) VKO_Log("X11", "pen and touch selection failed with error 0x%X", (unsigned)e);
}

bool x11_pen_event(VKO_App *app, int evtype, void *data) {
    X11App *x = app->x;
    if (evtype == XI_HierarchyChanged) {
        x11_pen_scan(app);
        forget_gone_devices(app);
        for (VKO_WindowRec *w : app->windows)
            if (w) x11_pen_select(app, w->xid);
        return true;
    }
    if (evtype == XI_Leave) {
        auto *l = (XILeaveEvent *)data;
        if (app->pen_in_range && find_device(x, l->sourceid) && find_device(x, l->sourceid)->pen) {
            int32_t index = x11_index_of(app, l->event);
            x11_pen_leave(app, index < 0 ? 0 : index);
        }
        return true;
    }
    if (evtype != XI_Motion && evtype != XI_ButtonPress && evtype != XI_ButtonRelease &&
        evtype != XI_TouchBegin && evtype != XI_TouchUpdate && evtype != XI_TouchEnd)
        return false;
    auto *e = (XIDeviceEvent *)data;
    const X11PenDevice *d = find_device(x, e->deviceid);
    int32_t index = x11_index_of(app, e->event);
    if (!d || index < 0) return true;
    if (d->pen && (evtype == XI_Motion || evtype == XI_ButtonPress || evtype == XI_ButtonRelease))
        pen_report(app, index, *d, e);
    else if (d->touch && evtype >= XI_TouchBegin && evtype <= XI_TouchEnd)
        touch_report(app, index, e);
    return true;
}

bool x11_raw_absolute(X11App *x, int device, const double v[2], const bool have[2], int32_t *ax,
                      int32_t *ay) {
    X11PenDevice *d = find_device(x, device);
    if (!d || !d->absolute) return false;
    if (have[0] && std::isfinite(v[0])) d->last_x = v[0];
    if (have[1] && std::isfinite(v[1])) d->last_y = v[1];
    auto norm = [](double pos, double min, double max) {
        return (int32_t)std::lround(std::clamp((pos - min) / (max - min), 0.0, 1.0) * 65535.0);
    };
    *ax = norm(d->last_x, d->x_min, d->x_max);
    *ay = norm(d->last_y, d->y_min, d->y_max);
    return true;
}

void x11_pen_leave(VKO_App *app, int32_t index) {
    if (!end_pen_range(app)) return;
    VKO_PenInput pen;
    memset(&pen, 0, sizeof(pen));
    pen.in_range = false;
    app_pen_input(app, (uint8_t)index, &pen);
}

void x11_pen_forget_window(VKO_App *app, unsigned long window) {
    X11App *x = app->x;
    for (int i = 0; i < x->touch_count;) {
        if (x->touches[i].window == window)
            drop_touch(x, i);
        else
            i++;
    }
    app->touch_in_range = x->touch_count > 0;
    // Nothing to tell a window that is gone: the pen's range just ends.
    if (x->pen_window == window) end_pen_range(app);
}

bool x11_pen_device(X11App *x, int id) {
    const X11PenDevice *d = find_device(x, id);
    return d && d->pen;
}

void x11_pen_add(VKO_App *app, const X11PenDevice *device) {
    X11App *x = app->x;
    if (x->pen_count < (int)(sizeof(x->pens) / sizeof(x->pens[0]))) x->pens[x->pen_count++] = *device;
}
