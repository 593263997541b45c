#include "platform/x11/keys.h"

#include <cstring>
#include <iterator>

const X11KeyName x11_key_names[] = {
    {0x01, "ESC"},   {0x02, "AE01"},  {0x03, "AE02"},  {0x04, "AE03"},  {0x05, "AE04"},  {0x06, "AE05"},
    {0x07, "AE06"},  {0x08, "AE07"},  {0x09, "AE08"},  {0x0A, "AE09"},  {0x0B, "AE10"},  {0x0C, "AE11"},
    {0x0D, "AE12"},  {0x0E, "BKSP"},  {0x0F, "TAB"},   {0x10, "AD01"},  {0x11, "AD02"},  {0x12, "AD03"},
    {0x13, "AD04"},  {0x14, "AD05"},  {0x15, "AD06"},  {0x16, "AD07"},  {0x17, "AD08"},  {0x18, "AD09"},
    {0x19, "AD10"},  {0x1A, "AD11"},  {0x1B, "AD12"},  {0x1C, "RTRN"},  {0x1D, "LCTL"},  {0x1E, "AC01"},
    {0x1F, "AC02"},  {0x20, "AC03"},  {0x21, "AC04"},  {0x22, "AC05"},  {0x23, "AC06"},  {0x24, "AC07"},
    {0x25, "AC08"},  {0x26, "AC09"},  {0x27, "AC10"},  {0x28, "AC11"},  {0x29, "TLDE"},  {0x2A, "LFSH"},
    {0x2B, "BKSL"},  {0x2C, "AB01"},  {0x2D, "AB02"},  {0x2E, "AB03"},  {0x2F, "AB04"},  {0x30, "AB05"},
    {0x31, "AB06"},  {0x32, "AB07"},  {0x33, "AB08"},  {0x34, "AB09"},  {0x35, "AB10"},  {0x36, "RTSH"},
    {0x37, "KPMU"},  {0x38, "LALT"},  {0x39, "SPCE"},  {0x3A, "CAPS"},  {0x3B, "FK01"},  {0x3C, "FK02"},
    {0x3D, "FK03"},  {0x3E, "FK04"},  {0x3F, "FK05"},  {0x40, "FK06"},  {0x41, "FK07"},  {0x42, "FK08"},
    {0x43, "FK09"},  {0x44, "FK10"},  {0x45, "NMLK"},  {0x46, "SCLK"},  {0x47, "KP7"},   {0x48, "KP8"},
    {0x49, "KP9"},   {0x4A, "KPSU"},  {0x4B, "KP4"},   {0x4C, "KP5"},   {0x4D, "KP6"},   {0x4E, "KPAD"},
    {0x4F, "KP1"},   {0x50, "KP2"},   {0x51, "KP3"},   {0x52, "KP0"},   {0x53, "KPDL"},  {0x56, "LSGT"},
    {0x57, "FK11"},  {0x58, "FK12"},  {0x64, "FK13"},  {0x65, "FK14"},  {0x66, "FK15"},  {0x67, "FK16"},
    {0x68, "FK17"},  {0x69, "FK18"},  {0x6A, "FK19"},  {0x70, "HKTG"},  {0x73, "AB11"},  {0x79, "HENK"},
    {0x7B, "MUHE"},  {0x7D, "AE13"},  {0x7E, "I129"},  {0x110, "I173"}, {0x119, "I171"}, {0x11C, "KPEN"},
    {0x11D, "RCTL"}, {0x120, "MUTE"}, {0x122, "I172"}, {0x124, "I174"}, {0x12E, "VOL-"}, {0x130, "VOL+"},
    {0x135, "KPDV"}, {0x137, "PRSC"}, {0x138, "RALT"}, {0x146, "PAUS"}, {0x147, "HOME"}, {0x148, "UP"},
    {0x149, "PGUP"}, {0x14B, "LEFT"}, {0x14D, "RGHT"}, {0x14F, "END"},  {0x150, "DOWN"}, {0x151, "PGDN"},
    {0x152, "INS"},  {0x153, "DELE"}, {0x15B, "LWIN"}, {0x15C, "RWIN"}, {0x15D, "COMP"}, {0x16D, "I234"},
};
const size_t x11_key_name_count = std::size(x11_key_names);

bool x11_key_name_equal(const char *a, const char *b) {
    return strncmp(a, b, XkbKeyNameLength) == 0;
}

const char *x11_key_alias(XkbDescPtr xkb, const char *alias) {
    if (!xkb->names->key_aliases) return nullptr;
    for (int i = 0; i < xkb->names->num_key_aliases; i++)
        if (x11_key_name_equal(xkb->names->key_aliases[i].alias, alias))
            return xkb->names->key_aliases[i].real;
    return nullptr;
}

uint32_t x11_keycode_of_name(XkbDescPtr xkb, const char *name) {
    for (int pass = 0; pass < 2 && name; pass++) {
        for (int k = xkb->min_key_code; k <= xkb->max_key_code; k++)
            if (x11_key_name_equal(xkb->names->keys[k].name, name)) return (uint32_t)k;
        name = pass ? nullptr : x11_key_alias(xkb, name);
    }
    return 0;
}

const X11KeyName *x11_key_of_name(XkbDescPtr xkb, const char *name) {
    for (int pass = 0; pass < 2 && name; pass++) {
        for (const X11KeyName &kn : x11_key_names)
            if (x11_key_name_equal(kn.name, name)) return &kn;
        name = pass ? nullptr : x11_key_alias(xkb, name);
    }
    return nullptr;
}
