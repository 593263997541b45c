/* Keeps the GPU driver modules a test process has loaded (Mesa's OpenGL
 * drivers, its CPU Vulkan device) loaded to the end of the process. A driver
 * unloaded when its last display or instance goes leaves what it still
 * holds reachable only from unmapped memory, which the leak checker reports
 * from a nameless module (and ThreadSanitizer refuses a suppression naming a
 * module that is gone); held, it is reported under its name, where the
 * tests' suppressions find it. Call it once the driver is loaded: after the
 * first GLX or EGL call that opens a display. Each call pins what is loaded
 * then. For C and C++ test programs alike (a C program defines _GNU_SOURCE
 * before its first include). */
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <string.h>

static int pin_drivers_one(struct dl_phdr_info *info, size_t size, void *opaque) {
    const char *name = info->dlpi_name;
    (void)size, (void)opaque;
    if (name && (strstr(name, "_dri.so") || strstr(name, "libvulkan_lvp.so")))
        dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    return 0;
}

static inline void pin_gpu_drivers(void) {
    dl_iterate_phdr(pin_drivers_one, NULL);
}
