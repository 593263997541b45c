// Vulkan functions loaded at run time: the program never links the loader.
// Each user (the context, the video renderer, the UI renderer) keeps its own
// copy with its own reference count; the module stays loaded while any
// reference of that copy is held.
#pragma once

#define VK_NO_PROTOTYPES
#define VK_USE_PLATFORM_XLIB_KHR
#include <X11/Xlib.h>
#include <vulkan/vulkan.h>

#include <cstdint>

#include "platform/gfx/gfx.h"

// Vulkan records are started as {sType} and filled field by field.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// The functions, resolved by name in this order.
#define VKO_VK_FUNCS(X)                          \
    X(vkGetInstanceProcAddr)                     \
    X(vkCreateInstance)                          \
    X(vkDestroyInstance)                         \
    X(vkDestroySurfaceKHR)                       \
    X(vkEnumeratePhysicalDevices)                \
    X(vkGetPhysicalDeviceQueueFamilyProperties)  \
    X(vkCreateDevice)                            \
    X(vkDestroyDevice)                           \
    X(vkGetPhysicalDeviceSurfaceSupportKHR)      \
    X(vkGetPhysicalDeviceSurfaceCapabilitiesKHR) \
    X(vkCreateSwapchainKHR)                      \
    X(vkDestroySwapchainKHR)                     \
    X(vkGetSwapchainImagesKHR)                   \
    X(vkCreateImageView)                         \
    X(vkDestroyImageView)                        \
    X(vkCreatePipelineLayout)                    \
    X(vkDestroyPipelineLayout)                   \
    X(vkCreateShaderModule)                      \
    X(vkDestroyShaderModule)                     \
    X(vkCreateRenderPass)                        \
    X(vkDestroyRenderPass)                       \
    X(vkCreateGraphicsPipelines)                 \
    X(vkDestroyPipeline)                         \
    X(vkCreateFramebuffer)                       \
    X(vkDestroyFramebuffer)                      \
    X(vkCreateCommandPool)                       \
    X(vkDestroyCommandPool)                      \
    X(vkAllocateCommandBuffers)                  \
    X(vkBeginCommandBuffer)                      \
    X(vkResetCommandBuffer)                      \
    X(vkCmdBeginRenderPass)                      \
    X(vkCmdBindPipeline)                         \
    X(vkCmdPushConstants)                        \
    X(vkCmdEndRenderPass)                        \
    X(vkEndCommandBuffer)                        \
    X(vkGetDeviceQueue)                          \
    X(vkAcquireNextImageKHR)                     \
    X(vkQueueSubmit)                             \
    X(vkQueueWaitIdle)                           \
    X(vkQueuePresentKHR)                         \
    X(vkCreateBuffer)                            \
    X(vkDestroyBuffer)                           \
    X(vkGetBufferMemoryRequirements)             \
    X(vkGetPhysicalDeviceMemoryProperties)       \
    X(vkAllocateMemory)                          \
    X(vkFreeMemory)                              \
    X(vkBindBufferMemory)                        \
    X(vkMapMemory)                               \
    X(vkUnmapMemory)                             \
    X(vkCmdBindVertexBuffers)                    \
    X(vkCmdCopyBuffer)                           \
    X(vkFreeCommandBuffers)                      \
    X(vkCmdBindIndexBuffer)                      \
    X(vkCmdDrawIndexed)                          \
    X(vkCreateImage)                             \
    X(vkDestroyImage)                            \
    X(vkCreateDescriptorSetLayout)               \
    X(vkDestroyDescriptorSetLayout)              \
    X(vkCreateDescriptorPool)                    \
    X(vkDestroyDescriptorPool)                   \
    X(vkAllocateDescriptorSets)                  \
    X(vkUpdateDescriptorSets)                    \
    X(vkCmdBindDescriptorSets)                   \
    X(vkGetImageMemoryRequirements)              \
    X(vkBindImageMemory)                         \
    X(vkCmdPipelineBarrier)                      \
    X(vkCmdCopyBufferToImage)                    \
    X(vkCreateSampler)                           \
    X(vkDestroySampler)                          \
    X(vkFreeDescriptorSets)                      \
    X(vkFlushMappedMemoryRanges)                 \
    X(vkCmdSetViewport)                          \
    X(vkCmdSetScissor)                           \
    X(vkCreateSemaphore)                         \
    X(vkDestroySemaphore)                        \
    X(vkCreateXlibSurfaceKHR)

struct vko_vk_fns {
#define VKO_VK_MEMBER(name) PFN_##name name;
    VKO_VK_FUNCS(VKO_VK_MEMBER)
#undef VKO_VK_MEMBER
};
constexpr uint32_t VKO_VK_FUNC_COUNT = sizeof(vko_vk_fns) / sizeof(void *);

// One private copy of the loaded functions.
struct vko_vk_loader {
    void *module;
    vko_vk_fns fn;
    uint32_t refs;
    uint32_t lock;  // VKO_GlobalLock word guarding module and refs
};

// Takes a reference, loading the module and every function on the first one.
// A missing module or function leaves nothing loaded and the count unchanged.
bool vko_vk_load(vko_vk_loader *l);
void vko_vk_release(vko_vk_loader *l);

// A render pass with one B8G8R8A8 colour attachment left in
// COLOR_ATTACHMENT_OPTIMAL: the context's, and those the renderers begin
// (compatible with it, so they draw into its framebuffers).
bool vko_vk_render_pass_create(const vko_vk_fns &f, VkDevice dev, VkAttachmentLoadOp load,
                               VkImageLayout initial, VkRenderPass *out);

// A layout change of a whole single-level colour image, owned by one queue family.
inline VkImageMemoryBarrier vko_vk_color_barrier(VkImage image, VkImageLayout from, VkImageLayout to,
                                                 VkAccessFlags src_access, VkAccessFlags dst_access) {
    VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
    b.srcAccessMask = src_access;
    b.dstAccessMask = dst_access;
    b.oldLayout = from;
    b.newLayout = to;
    b.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.image = image;
    b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    return b;
}

// The copies: context, video renderer, UI renderer.
extern vko_vk_loader vko_vk_ctx_loader;
extern vko_vk_loader vko_vk_frame_loader;
extern vko_vk_loader vko_vk_ui_loader;

// The context's device as the renderers see it.
struct vko_vk_device {
    VkDevice device;
    const VkPhysicalDeviceMemoryProperties *memory;
};

// What a Vulkan context is created for: an X window on an open display.
struct VKO_X11Window {
    Display *display;
    Window window;
};

// Renderer and context entry points (the Vulkan rows of the dispatch tables).
void *vko_vk_create(void *device, uint8_t layer);
void vko_vk_destroy(void **renderer, void *device);
bool vko_vk_render(void *renderer, void *device, void *cmd, const void *image, const VKO_RenderDesc *desc,
                   void *framebuffer);
bool vko_vk_clear(void *renderer, void *device, void *cmd, uint32_t width, uint32_t height, float r, float g,
                  float b, float a, void *framebuffer);
void *vko_vk_ui_create(void *device);
void vko_vk_ui_destroy(void **ui, void *device);
bool vko_vk_ui_render(void *ui, void *device, void *cmd, const VKO_DrawData *data, void *texture_map,
                      void *framebuffer);
void *vko_vk_ui_create_texture(void *ui, void *device, const void *rgba, uint32_t width, uint32_t height);
void vko_vk_ui_destroy_texture(void *ui, void **texture, void *device);

void *vko_vk_ctx_create(void *window, bool vsync);
void vko_vk_ctx_destroy(void **ctx);
void vko_vk_ctx_present(void *ctx);
void vko_vk_ctx_get_size(void *ctx, uint32_t *width, uint32_t *height);
void *vko_vk_ctx_get_device(void *ctx);
void *vko_vk_ctx_get_context(void *ctx);
void *vko_vk_ctx_get_surface(void *ctx);
