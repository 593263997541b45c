// Keyboard and mouse events on the X display being streamed ($DISPLAY), sent
// through XTest, and the desktop state the injection consults.
//
// One connection serves every message thread: it is opened on first use and
// every request goes through it under one mutex, so the calls below may come
// from any thread. A display that cannot be opened is logged once and every
// call then does nothing (queries answer "off").
//
// Keys are numbered by the set-1 scan code, plus 0x100 for keys whose code
// carries the E0 prefix; XKEY_PAUSE is the Pause key (which has no scan code
// of its own). They reach X keycodes through the XKB key names of the
// server's keymap.
#pragma once

#include <cstdint>

constexpr uint32_t XKEY_PAUSE = 0x245;
constexpr uint32_t XKEY_NUMLOCK = 0x45;
constexpr uint32_t XKEY_CAPSLOCK = 0x3A;
constexpr uint32_t XKEY_LSHIFT = 0x2A;
constexpr uint32_t XKEY_RSHIFT = 0x36;

// False when the key has no X keycode or no display is open.
bool xinput_key(uint32_t key, bool down);
// X buttons: 1 left, 2 middle, 3 right, 4/5 wheel up/down, 6/7 wheel left/right, 8/9 back/forward.
void xinput_button(uint32_t button, bool down);
void xinput_motion_absolute(int32_t x, int32_t y);
void xinput_motion_relative(int32_t dx, int32_t dy);

bool xinput_num_lock(void);
bool xinput_caps_lock(void);
// The key is held on the server, by anybody.
bool xinput_key_held(uint32_t key);
// The pointer shows an image with at least one visible pixel.
bool xinput_cursor_showing(void);
// The active keyboard group's layout is Japanese.
bool xinput_layout_japanese(void);
// The root window: left, top, right, bottom (the virtual screen; origin 0, 0).
void xinput_virtual_screen(int32_t rect[4]);
// The X keycode of a key, 0 when it has none (tests).
uint32_t xinput_keycode(uint32_t key);
