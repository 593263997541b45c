// Keys numbered by their set-1 scan code, plus 0x100 for codes with the E0
// prefix, and the XKB key names of the same keys, as the kernel's keyboard
// driver and the evdev keycodes connect them. The app object (keys read) and
// the host's injection (keys sent) both reach X keycodes through this table;
// each adds the few codes its own side numbers differently.
#pragma once

#include <X11/XKBlib.h>

#include <cstddef>
#include <cstdint>

struct X11KeyName {
    uint16_t key;
    char name[5];
};

// Every key once. Num Lock is 0x45, Pause 0x146 (the code that Pause's E1
// sequence leaves once its Ctrl part is dropped) and Print Screen 0x137.
extern const X11KeyName x11_key_names[];
extern const size_t x11_key_name_count;

// Two XKB key names are the same key name.
bool x11_key_name_equal(const char *a, const char *b);
// The real name behind an alias in the keymap, or null.
const char *x11_key_alias(XkbDescPtr xkb, const char *alias);
// The keymap's keycode of a key name (through one alias), 0 when none. The
// keymap holds its key names and aliases.
uint32_t x11_keycode_of_name(XkbDescPtr xkb, const char *name);
// The table's entry of a key name (through one alias), or null.
const X11KeyName *x11_key_of_name(XkbDescPtr xkb, const char *name);
