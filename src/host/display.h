// Display outputs, display modes, the GPU inventory and audio endpoints.
// Outputs are the RandR monitors of each X screen (a screen is an adapter),
// modes are RandR modes set through the output's CRTC, GPUs are the Vulkan
// physical devices the loader reports, endpoints are PulseAudio sinks or
// sources. Every call is synchronous and opens its own connections; nothing
// is cached.
#pragma once

#include <cstdint>
#include <vector>

typedef struct _XDisplay Display;

#define DISPLAY_MAX_OUTPUTS 30
#define DISPLAY_FIELDS 0x580080u  // orientation, width, height, frequency

#define DISPLAY_ERR_BADMODE (-13008)
#define DISPLAY_ERR_FAILED (-13000)

// One display mode (orientation 0..3 in quarter turns).
struct DisplayMode {
    uint32_t dmSize;
    uint32_t dmFields;
    uint32_t dmDisplayOrientation;
    uint32_t dmPelsWidth;
    uint32_t dmPelsHeight;
    uint32_t dmDisplayFrequency;
};

struct DisplayOutput {
    int32_t left, top, right, bottom;
    uint32_t width, height;
    uint32_t adapter_index;
    uint32_t output_index;
    char name[256];
    char adapter_name[256];
    char device_name[128];
    char id[128];
};

struct AudioEndpoint {
    int32_t index;
    char name[256];
    char id[128];
};

struct GpuOutputInfo {
    char name[128];
    uint32_t width, height;
    int32_t x, y;
    uint32_t refresh;
    uint32_t max_width, max_height;
    float scale;
    uint8_t is_virtual;
};

struct GpuInfo {
    char name[128];
    char vendor_id[5];
    char device_id[5];
    char driver_version[128];
    char driver_date[128];
    uint32_t output_count;
    GpuOutputInfo outputs[30];
};

uint32_t display_adapter_get_all(DisplayOutput outputs[DISPLAY_MAX_OUTPUTS]);
DisplayMode *display_mode_get(const char *device_name);  // caller frees with VKO_Free
int32_t display_mode_set(const char *device_name, const DisplayMode *mode);
int32_t display_mode_change(const char *device_name, uint32_t width, uint32_t height, uint32_t hz,
                            const DisplayMode *saved_mode, uint32_t fallback_width, uint32_t fallback_height,
                            uint8_t rotated, uint8_t retry);
uint32_t gpu_info_get_all(GpuInfo infos[30]);
uint32_t audio_adapter_get_all(AudioEndpoint *endpoints, uint32_t max, bool capture);

// The RandR monitors of a screen in the order the outputs are numbered.
struct DisplayMonitor {
    int32_t x, y;
    uint32_t width, height;
    char name[128];
    unsigned long output;  // first RandR output, 0 for a monitor without one
    uint32_t orientation;  // quarter turns of the output's CRTC
};
std::vector<DisplayMonitor> display_x11_monitors(Display *dpy, int screen);
