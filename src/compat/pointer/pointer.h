// Stand-in for the system's synthetic pointer injection (a pen device made
// by CreateSyntheticPointerDevice and fed with InjectSyntheticPointerInput).
// This system has no such facility: the entry points are absent unless a
// table is installed (tests install a recording one), so callers take their
// fallback. Flag values are those of the pointer-input records.
#pragma once

#include <cstdint>

constexpr uint32_t PT_PEN = 3;

constexpr uint32_t POINTER_FLAG_NEW = 0x1, POINTER_FLAG_INRANGE = 0x2, POINTER_FLAG_INCONTACT = 0x4;
constexpr uint32_t POINTER_FLAG_FIRSTBUTTON = 0x10, POINTER_FLAG_SECONDBUTTON = 0x20;
constexpr uint32_t POINTER_FLAG_PRIMARY = 0x2000, POINTER_FLAG_CONFIDENCE = 0x4000;
constexpr uint32_t POINTER_FLAG_DOWN = 0x10000, POINTER_FLAG_UPDATE = 0x20000, POINTER_FLAG_UP = 0x40000;
constexpr uint32_t PEN_FLAG_BARREL = 0x1, PEN_FLAG_INVERTED = 0x2, PEN_FLAG_ERASER = 0x4;
constexpr uint32_t PEN_MASK_PRESSURE = 0x1, PEN_MASK_ROTATION = 0x2, PEN_MASK_TILT_X = 0x4,
                   PEN_MASK_TILT_Y = 0x8;
constexpr uint32_t POINTER_FEEDBACK_DEFAULT = 1;

// One pen contact, as the injection takes it.
struct PointerPenInfo {
    uint32_t type;  // PT_PEN
    uint32_t pointer_flags;
    int32_t x, y;  // pixels of the desktop
    uint32_t pen_flags;
    uint32_t pen_mask;
    uint32_t pressure;
    uint32_t rotation;
    int32_t tilt_x, tilt_y;
};

struct PointerApi {
    // Null on failure (the error in *error).
    void *(*create_device)(uint32_t type, uint32_t max_count, uint32_t feedback, uint32_t *error);
    void (*destroy_device)(void *device);
    // False on failure (the error in *error).
    bool (*inject)(void *device, const PointerPenInfo *info, uint32_t count, uint32_t *error);
};

// The installed entry points, or null (this system).
const PointerApi *pointer_api(void);
// Installs a table (null: none); also brings forgotten entry points back.
void pointer_set_api(const PointerApi *api);
// Forgets the entry points for the rest of the process (a device could not be made).
void pointer_forget_api(void);
