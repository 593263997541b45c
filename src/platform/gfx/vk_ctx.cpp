// The Vulkan swap-chain context of a window: instance, X surface, the first
// device with a graphics queue that can present to it, a swap chain of at
// least three images, one primary command buffer opened at get surface and
// submitted at present. One frame is in flight: present waits for the queue
// to go idle. Used from the window's drawing thread only; it logs nothing.
#include <cstring>

#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t MAX_IMAGES = 32;

struct vko_vk_swapchain {
    uint32_t image_count;
    VkSwapchainKHR swapchain;
    VkImage images[MAX_IMAGES];
    VkImageView views[MAX_IMAGES];
    VkFramebuffer framebuffers[MAX_IMAGES];
    uint8_t used[MAX_IMAGES];
    uint32_t width, height;
    uint32_t current;
};

struct vko_vk_ctx {
    uint8_t vsync;
    vko_vk_device device_record;
    VkInstance instance;
    VkSurfaceKHR surface;
    VkPhysicalDevice physical;
    VkPhysicalDeviceMemoryProperties memory;
    VkSemaphore image_available;
    VkSemaphore render_finished;
    VkDevice device;
    VkRenderPass pass;
    VkCommandPool pool;
    VkCommandBuffer cmd;
    VkQueue queue;
    vko_vk_swapchain sc;
    VkFramebuffer current;
    bool recreate_after_present;  // the acquired image was suboptimal
};

const vko_vk_fns &F() {
    return vko_vk_ctx_loader.fn;
}

void swapchain_destroy(vko_vk_ctx *c) {
    const vko_vk_fns &f = F();
    for (uint32_t i = 0; i < c->sc.image_count; ++i) {
        if (c->sc.framebuffers[i]) f.vkDestroyFramebuffer(c->device, c->sc.framebuffers[i], nullptr);
        if (c->sc.views[i]) f.vkDestroyImageView(c->device, c->sc.views[i], nullptr);
    }
    if (c->sc.swapchain) f.vkDestroySwapchainKHR(c->device, c->sc.swapchain, nullptr);
    memset(&c->sc, 0, sizeof(c->sc));
}

bool vko_vk_swapchain_create(vko_vk_ctx *c) {
    const vko_vk_fns &f = F();
    VkSurfaceCapabilitiesKHR caps;
    if (f.vkGetPhysicalDeviceSurfaceCapabilitiesKHR(c->physical, c->surface, &caps) != VK_SUCCESS)
        return false;
    // A window without area has no valid swap chain; the next frame tries again.
    if (caps.currentExtent.width == 0 || caps.currentExtent.height == 0) return false;
    VkSwapchainCreateInfoKHR si{VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR};
    si.surface = c->surface;
    si.minImageCount = 3;
    si.imageFormat = VK_FORMAT_B8G8R8A8_UNORM;
    si.imageColorSpace = VK_COLOR_SPACE_SRGB_NONLINEAR_KHR;
    si.imageExtent = caps.currentExtent;
    si.imageArrayLayers = 1;
    si.imageUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    si.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
    si.preTransform = VK_SURFACE_TRANSFORM_IDENTITY_BIT_KHR;
    si.compositeAlpha = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
    si.presentMode = c->vsync ? VK_PRESENT_MODE_FIFO_KHR : VK_PRESENT_MODE_IMMEDIATE_KHR;
    si.clipped = VK_TRUE;
    if (f.vkCreateSwapchainKHR(c->device, &si, nullptr, &c->sc.swapchain) != VK_SUCCESS) {
        memset(&c->sc, 0, sizeof(c->sc));
        return false;
    }
    c->sc.width = caps.currentExtent.width;
    c->sc.height = caps.currentExtent.height;
    uint32_t count = 0;
    f.vkGetSwapchainImagesKHR(c->device, c->sc.swapchain, &count, nullptr);
    if (count > MAX_IMAGES) count = MAX_IMAGES;
    if (count == 0 ||
        (f.vkGetSwapchainImagesKHR(c->device, c->sc.swapchain, &count, c->sc.images) != VK_SUCCESS &&
         count == 0)) {
        swapchain_destroy(c);
        return false;
    }
    c->sc.image_count = count;
    for (uint32_t i = 0; i < count; ++i) {
        VkImageViewCreateInfo vi{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
        vi.image = c->sc.images[i];
        vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
        vi.format = VK_FORMAT_B8G8R8A8_UNORM;
        vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        if (f.vkCreateImageView(c->device, &vi, nullptr, &c->sc.views[i]) != VK_SUCCESS) {
            swapchain_destroy(c);
            return false;
        }
        VkFramebufferCreateInfo fi{VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO};
        fi.renderPass = c->pass;
        fi.attachmentCount = 1;
        fi.pAttachments = &c->sc.views[i];
        fi.width = c->sc.width;
        fi.height = c->sc.height;
        fi.layers = 1;
        if (f.vkCreateFramebuffer(c->device, &fi, nullptr, &c->sc.framebuffers[i]) != VK_SUCCESS) {
            swapchain_destroy(c);
            return false;
        }
    }
    return true;
}

void swapchain_recreate(vko_vk_ctx *c) {
    swapchain_destroy(c);
    vko_vk_swapchain_create(c);
}

// The swap-chain image's layout changes. Into the frame: after the stage
// the acquire semaphore is waited at, before any colour output reads or
// writes it. Out of it: after every colour write, before the present.
void vko_vk_image_barrier(vko_vk_ctx *c, VkImage image, VkImageLayout from, VkImageLayout to) {
    const bool out = to == VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
    const VkAccessFlags color = VK_ACCESS_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
    VkImageMemoryBarrier b = vko_vk_color_barrier(
        image, from, to, out ? VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT : 0, out ? 0 : color);
    F().vkCmdPipelineBarrier(
        c->cmd, VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT,
        out ? VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT : VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT, 0, 0,
        nullptr, 0, nullptr, 1, &b);
}

void teardown(vko_vk_ctx *c) {
    const vko_vk_fns &f = F();
    if (c->device) {
        swapchain_destroy(c);
        if (c->pass) f.vkDestroyRenderPass(c->device, c->pass, nullptr);
        if (c->image_available) f.vkDestroySemaphore(c->device, c->image_available, nullptr);
        if (c->render_finished) f.vkDestroySemaphore(c->device, c->render_finished, nullptr);
        if (c->pool) f.vkDestroyCommandPool(c->device, c->pool, nullptr);  // frees the command buffer
        f.vkDestroyDevice(c->device, nullptr);
    }
    if (c->surface) f.vkDestroySurfaceKHR(c->instance, c->surface, nullptr);
    if (c->instance) f.vkDestroyInstance(c->instance, nullptr);
    VKO_Free(c);
    vko_vk_release(&vko_vk_ctx_loader);
}

bool create_steps(vko_vk_ctx *c, const VKO_X11Window *w) {
    const vko_vk_fns &f = F();
    const char *inst_ext[2] = {"VK_KHR_surface", "VK_KHR_xlib_surface"};
    VkInstanceCreateInfo ii{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    ii.enabledExtensionCount = 2;
    ii.ppEnabledExtensionNames = inst_ext;
    if (f.vkCreateInstance(&ii, nullptr, &c->instance) != VK_SUCCESS) {
        c->instance = VK_NULL_HANDLE;
        return false;
    }
    VkXlibSurfaceCreateInfoKHR xi{VK_STRUCTURE_TYPE_XLIB_SURFACE_CREATE_INFO_KHR};
    xi.dpy = w->display;
    xi.window = w->window;
    if (f.vkCreateXlibSurfaceKHR(c->instance, &xi, nullptr, &c->surface) != VK_SUCCESS) {
        c->surface = VK_NULL_HANDLE;
        return false;
    }

    VkPhysicalDevice devices[32];
    uint32_t ndev = 32;
    if (f.vkEnumeratePhysicalDevices(c->instance, &ndev, devices) < 0) return false;
    uint32_t family = UINT32_MAX;
    for (uint32_t i = 0; i < ndev && family == UINT32_MAX; ++i) {
        VkQueueFamilyProperties props[32];
        uint32_t nfam = 32;
        f.vkGetPhysicalDeviceQueueFamilyProperties(devices[i], &nfam, props);
        for (uint32_t q = 0; q < nfam; ++q) {
            VkBool32 present = VK_FALSE;
            if (f.vkGetPhysicalDeviceSurfaceSupportKHR(devices[i], q, c->surface, &present) != VK_SUCCESS)
                continue;
            if (present && (props[q].queueFlags & VK_QUEUE_GRAPHICS_BIT)) {
                c->physical = devices[i];
                family = q;
                break;
            }
        }
    }
    if (family == UINT32_MAX) return false;
    f.vkGetPhysicalDeviceMemoryProperties(c->physical, &c->memory);

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo qi{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    qi.queueFamilyIndex = family;
    qi.queueCount = 1;
    qi.pQueuePriorities = &priority;
    const char *dev_ext = "VK_KHR_swapchain";
    VkDeviceCreateInfo di{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
    di.queueCreateInfoCount = 1;
    di.pQueueCreateInfos = &qi;
    di.enabledExtensionCount = 1;
    di.ppEnabledExtensionNames = &dev_ext;
    if (f.vkCreateDevice(c->physical, &di, nullptr, &c->device) != VK_SUCCESS) {
        c->device = VK_NULL_HANDLE;
        return false;
    }
    f.vkGetDeviceQueue(c->device, family, 0, &c->queue);

    VkCommandPoolCreateInfo pi{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pi.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    pi.queueFamilyIndex = family;
    if (f.vkCreateCommandPool(c->device, &pi, nullptr, &c->pool) != VK_SUCCESS) {
        c->pool = VK_NULL_HANDLE;
        return false;
    }
    VkCommandBufferAllocateInfo ai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    ai.commandPool = c->pool;
    ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    ai.commandBufferCount = 1;
    if (f.vkAllocateCommandBuffers(c->device, &ai, &c->cmd) != VK_SUCCESS) return false;
    VkSemaphoreCreateInfo si{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
    if (f.vkCreateSemaphore(c->device, &si, nullptr, &c->image_available) != VK_SUCCESS ||
        f.vkCreateSemaphore(c->device, &si, nullptr, &c->render_finished) != VK_SUCCESS)
        return false;

    if (!vko_vk_render_pass_create(f, c->device, VK_ATTACHMENT_LOAD_OP_CLEAR, VK_IMAGE_LAYOUT_UNDEFINED,
                                   &c->pass)) {
        c->pass = VK_NULL_HANDLE;
        return false;
    }
    return vko_vk_swapchain_create(c);
}

}  // namespace

void *vko_vk_ctx_create(void *window, bool vsync) {
    const VKO_X11Window *w = static_cast<const VKO_X11Window *>(window);
    if (!w || !w->display || !w->window) return nullptr;
    if (!vko_vk_load(&vko_vk_ctx_loader)) return nullptr;
    vko_vk_ctx *c = static_cast<vko_vk_ctx *>(VKO_Alloc(1, sizeof(vko_vk_ctx)));
    memset(c, 0, sizeof(*c));
    c->vsync = vsync ? 1 : 0;
    if (!create_steps(c, w)) {
        teardown(c);
        return nullptr;
    }
    return c;
}

void vko_vk_ctx_destroy(void **ctx) {
    if (!ctx || !*ctx) return;
    vko_vk_ctx *c = static_cast<vko_vk_ctx *>(*ctx);
    if (c->device) F().vkQueueWaitIdle(c->queue);
    teardown(c);
    *ctx = nullptr;
}

void *vko_vk_ctx_get_surface(void *ctx) {
    vko_vk_ctx *c = static_cast<vko_vk_ctx *>(ctx);
    if (!c) return nullptr;
    if (c->current) return c->current;
    const vko_vk_fns &f = F();
    VkSurfaceCapabilitiesKHR caps;
    if (f.vkGetPhysicalDeviceSurfaceCapabilitiesKHR(c->physical, c->surface, &caps) == VK_SUCCESS &&
        (caps.currentExtent.width != c->sc.width || caps.currentExtent.height != c->sc.height))
        swapchain_recreate(c);
    // Without a swap chain (a failed re-creation) there is nothing to acquire
    // from; the next frame tries again.
    if (!c->sc.swapchain) {
        vko_vk_swapchain_create(c);
        if (!c->sc.swapchain) return nullptr;
    }
    uint32_t index = 0;
    const VkResult r = f.vkAcquireNextImageKHR(c->device, c->sc.swapchain, UINT64_MAX, c->image_available,
                                               VK_NULL_HANDLE, &index);
    if (r == VK_ERROR_OUT_OF_DATE_KHR) {
        swapchain_recreate(c);
        return nullptr;
    }
    if (r != VK_SUCCESS && r != VK_SUBOPTIMAL_KHR) return nullptr;
    // A suboptimal image was still acquired and its semaphore will be
    // signalled: draw and present it, then re-make the swap chain.
    c->recreate_after_present = r == VK_SUBOPTIMAL_KHR;
    if (index >= c->sc.image_count) return nullptr;
    f.vkResetCommandBuffer(c->cmd, 0);
    VkCommandBufferBeginInfo bi{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (f.vkBeginCommandBuffer(c->cmd, &bi) != VK_SUCCESS) return nullptr;
    vko_vk_image_barrier(c, c->sc.images[index],
                         c->sc.used[index] ? VK_IMAGE_LAYOUT_PRESENT_SRC_KHR : VK_IMAGE_LAYOUT_UNDEFINED,
                         VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
    c->sc.used[index] = 1;
    c->sc.current = index;
    c->current = c->sc.framebuffers[index];
    return c->current;
}

void vko_vk_ctx_present(void *ctx) {
    vko_vk_ctx *c = static_cast<vko_vk_ctx *>(ctx);
    if (!c || !c->current) return;
    const vko_vk_fns &f = F();
    vko_vk_image_barrier(c, c->sc.images[c->sc.current], VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
                         VK_IMAGE_LAYOUT_PRESENT_SRC_KHR);
    f.vkEndCommandBuffer(c->cmd);
    const VkPipelineStageFlags wait_stage = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
    VkSubmitInfo si{VK_STRUCTURE_TYPE_SUBMIT_INFO};
    si.waitSemaphoreCount = 1;
    si.pWaitSemaphores = &c->image_available;
    si.pWaitDstStageMask = &wait_stage;
    si.commandBufferCount = 1;
    si.pCommandBuffers = &c->cmd;
    si.signalSemaphoreCount = 1;
    si.pSignalSemaphores = &c->render_finished;
    f.vkQueueSubmit(c->queue, 1, &si, VK_NULL_HANDLE);
    VkPresentInfoKHR pi{VK_STRUCTURE_TYPE_PRESENT_INFO_KHR};
    pi.waitSemaphoreCount = 1;
    pi.pWaitSemaphores = &c->render_finished;
    pi.swapchainCount = 1;
    pi.pSwapchains = &c->sc.swapchain;
    pi.pImageIndices = &c->sc.current;
    const VkResult r = f.vkQueuePresentKHR(c->queue, &pi);
    f.vkQueueWaitIdle(c->queue);
    if (r == VK_ERROR_OUT_OF_DATE_KHR || r == VK_SUBOPTIMAL_KHR || c->recreate_after_present)
        swapchain_recreate(c);
    c->recreate_after_present = false;
    c->current = VK_NULL_HANDLE;
}

void vko_vk_ctx_get_size(void *ctx, uint32_t *width, uint32_t *height) {
    const vko_vk_ctx *c = static_cast<const vko_vk_ctx *>(ctx);
    *width = c ? c->sc.width : 0;
    *height = c ? c->sc.height : 0;
}

void *vko_vk_ctx_get_device(void *ctx) {
    vko_vk_ctx *c = static_cast<vko_vk_ctx *>(ctx);
    if (!c) return nullptr;
    c->device_record.device = c->device;
    c->device_record.memory = &c->memory;
    return &c->device_record;
}

void *vko_vk_ctx_get_context(void *ctx) {
    return ctx ? static_cast<vko_vk_ctx *>(ctx)->cmd : nullptr;
}
