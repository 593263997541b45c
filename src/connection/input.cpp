#include "connection/input.h"

#include "client/client.h"
#include "platform/app.h"

namespace {

struct KeyPair {
    uint16_t code;
    uint16_t usage;
};

// Set-1 scan code (0x100 added for E0 keys) to USB HID usage.
constexpr KeyPair kKeys[] = {
    {0x1, 41},    {0x2, 30},    {0x3, 31},   {0x4, 32},    {0x5, 33},    {0x6, 34},    {0x7, 35},
    {0x8, 36},    {0x9, 37},    {0xA, 38},   {0xB, 39},    {0xC, 45},    {0xD, 46},    {0xE, 42},
    {0xF, 43},    {0x10, 20},   {0x11, 26},  {0x12, 8},    {0x13, 21},   {0x14, 23},   {0x15, 28},
    {0x16, 24},   {0x17, 12},   {0x18, 18},  {0x19, 19},   {0x1A, 47},   {0x1B, 48},   {0x1C, 40},
    {0x1D, 224},  {0x1E, 4},    {0x1F, 22},  {0x20, 7},    {0x21, 9},    {0x22, 10},   {0x23, 11},
    {0x24, 13},   {0x25, 14},   {0x26, 15},  {0x27, 51},   {0x28, 52},   {0x29, 53},   {0x2A, 225},
    {0x2B, 49},   {0x2C, 29},   {0x2D, 27},  {0x2E, 6},    {0x2F, 25},   {0x30, 5},    {0x31, 17},
    {0x32, 16},   {0x33, 54},   {0x34, 55},  {0x35, 56},   {0x36, 229},  {0x37, 85},   {0x38, 226},
    {0x39, 44},   {0x3A, 57},   {0x3B, 58},  {0x3C, 59},   {0x3D, 60},   {0x3E, 61},   {0x3F, 62},
    {0x40, 63},   {0x41, 64},   {0x42, 65},  {0x43, 66},   {0x44, 67},   {0x45, 72},   {0x46, 71},
    {0x47, 95},   {0x48, 96},   {0x49, 97},  {0x4A, 86},   {0x4B, 92},   {0x4C, 93},   {0x4D, 94},
    {0x4E, 87},   {0x4F, 89},   {0x50, 90},  {0x51, 91},   {0x52, 98},   {0x53, 99},   {0x56, 100},
    {0x57, 68},   {0x58, 69},   {0x59, 265}, {0x64, 104},  {0x65, 105},  {0x66, 106},  {0x67, 107},
    {0x68, 108},  {0x69, 109},  {0x6A, 110}, {0x6B, 111},  {0x6C, 112},  {0x6D, 113},  {0x6E, 114},
    {0x70, 136},  {0x73, 135},  {0x76, 115}, {0x79, 138},  {0x7B, 139},  {0x7D, 137},  {0x7E, 133},
    {0x110, 259}, {0x119, 258}, {0x11C, 88}, {0x11D, 228}, {0x120, 127}, {0x122, 261}, {0x124, 260},
    {0x12E, 129}, {0x130, 128}, {0x135, 84}, {0x137, 70},  {0x138, 230}, {0x145, 83},  {0x146, 72},
    {0x147, 74},  {0x148, 82},  {0x149, 75}, {0x14B, 80},  {0x14D, 79},  {0x14F, 77},  {0x150, 81},
    {0x151, 78},  {0x152, 73},  {0x153, 76}, {0x15B, 227}, {0x15C, 231}, {0x15D, 118}, {0x16D, 263},
    {0x16F, 5},   {0x170, 6},   {0x171, 7},  {0x172, 8},   {0x173, 9},   {0x174, 10},  {0x175, 11},
    {0x178, 1},   {0x179, 2},   {0x17A, 3},
};

struct KeyTable {
    uint16_t usage[INPUT_KEY_TABLE_SIZE] = {};
    constexpr KeyTable() {
        for (const KeyPair &p : kKeys) usage[p.code] = p.usage;
    }
};

constexpr KeyTable kKeyTable;

}  // namespace

uint32_t input_key_to_msg(uint32_t key) {
    return key < INPUT_KEY_TABLE_SIZE ? kKeyTable.usage[key] : 0;
}

uint32_t input_mods_to_msg(uint32_t mods) {
    return (mods & 0x3) | (mods & 0xFC) << 4 | (mods & 0x100) << 5 | (mods & 0x200) << 3;
}

void input_event_to_msg(AppContext *app, const VKO_Event *e, InputMessage *msg) {
    switch (e->type) {
        case VKO_EVENT_KEY:
        case VKO_EVENT_WEBVIEW_KEY:
            msg->kind = INPUT_KEY;
            msg->key.key = input_key_to_msg(e->key.key);
            msg->key.mods = input_mods_to_msg(e->key.mods);
            msg->key.pressed = e->key.pressed;
            break;
        case VKO_EVENT_BUTTON: {
            // The wire numbers the middle button 2 and the right one 3.
            uint32_t b = e->button.button;
            msg->kind = INPUT_BUTTON;
            msg->button.button = b == 2 ? 3 : b == 3 ? 2 : b;
            msg->button.pressed = e->button.pressed;
            break;
        }
        case VKO_EVENT_SCROLL:
            msg->kind = INPUT_WHEEL;
            msg->wheel.x = e->scroll.x;
            msg->wheel.y = e->scroll.y;
            break;
        case VKO_EVENT_MOTION:
            msg->kind = INPUT_MOTION;
            msg->motion.x = e->motion.x;
            msg->motion.y = e->motion.y;
            msg->motion.window = e->window;
            msg->motion.relative = e->motion.relative;
            msg->motion.from_absolute = e->motion.from_absolute;
            break;
        case VKO_EVENT_DISCONNECT:
            msg->kind = INPUT_CONTROLLER_REMOVED;
            msg->removed.id = e->controller.id;
            break;
        case VKO_EVENT_CONTROLLER:
            msg->kind = INPUT_CONTROLLER;
            gpmap_apply(app, &e->controller, &msg->gamepad);
            break;
        case VKO_EVENT_PEN:
            msg->kind = INPUT_PEN;
            msg->pen.flags = e->pen.flags;
            msg->pen.x = e->pen.x;
            msg->pen.y = e->pen.y;
            msg->pen.pressure = e->pen.pressure;
            msg->pen.rotation = e->pen.rotation;
            msg->pen.window = e->window;
            msg->pen.tilt_x = e->pen.tilt_x;
            msg->pen.tilt_y = e->pen.tilt_y;
            break;
        default:
            break;
    }
}
