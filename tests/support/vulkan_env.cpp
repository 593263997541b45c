#include "support/vulkan_env.h"

#include <dlfcn.h>

#include <cstdlib>

void vulkan_test_env() {
    setenv("VK_ICD_FILENAMES", "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json", 1);
    static void *device_module = dlopen("libvulkan_lvp.so", RTLD_NOW | RTLD_LOCAL);
    (void)device_module;
}
