// The Vulkan row of frame submission (see submit.h for the table).
#pragma once

#include "platform/gfx/vk_load.h"

#include "host/submit.h"
#include "host/submit_d3d9.h"

// The API-specific argument of cap_vulkan_submit.
struct SubmitVulkanArg {
    VkInstance instance;
    VkPhysicalDevice physical_device;
    VkQueue queue;  // where the copy runs; the image is idle in present-source layout
    uint32_t queue_family;
    PFN_vkGetInstanceProcAddr get_proc;  // the application's lookup, asked before the loader
    const void *create_info;             // the image's VkImageCreateInfo or VkSwapchainCreateInfoKHR
};

void cap_vulkan_destroy(void **handle);
int32_t cap_vulkan_poll(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
ID3D11Device *cap_vulkan_get_device(void *handle);
// app_device: VkDevice; api_arg: SubmitVulkanArg; app_image: VkImage.
int32_t cap_vulkan_submit(void **handle, void *app_device, void *api_arg, void *app_image, uint8_t flip,
                          uint32_t *dropped);
int32_t cap_vulkan_check_reinit(void *handle);
bool cap_vulkan_device_differs(void *handle, void *app_device);

extern const SubmitCaptureApi submit_vulkan_api;
