// The Vulkan row of frame submission. A Direct3D 11 texture cannot be
// imported into Vulkan here, so each frame is copied on the application's
// queue (barriers, vkCmdCopyImage, a fence) into a host-visible linear image
// of the back-end's own, and from its mapped memory into the stand-in
// texture the converter draws from (an image the copy cannot read, such as
// a multisampled one, is refused). The record's threading model, with its
// two holders, is the core's (submit.h); everything Vulkan is touched only by
// submit, on the application's thread, and released when the application
// lets go (its device may be gone after that).
#include <cstring>

#include "host/submit.h"
#include "host/submit_vulkan.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

// Functions resolved by name in this order.
#define CAP_VK_FUNCS(X)                    \
    X(vkAllocateCommandBuffers)            \
    X(vkAllocateMemory)                    \
    X(vkBeginCommandBuffer)                \
    X(vkBindImageMemory)                   \
    X(vkCmdCopyImage)                      \
    X(vkCmdPipelineBarrier)                \
    X(vkCreateCommandPool)                 \
    X(vkCreateFence)                       \
    X(vkCreateImage)                       \
    X(vkDestroyCommandPool)                \
    X(vkDestroyFence)                      \
    X(vkDestroyImage)                      \
    X(vkEndCommandBuffer)                  \
    X(vkFreeMemory)                        \
    X(vkGetImageMemoryRequirements)        \
    X(vkGetPhysicalDeviceMemoryProperties) \
    X(vkGetPhysicalDeviceProperties)       \
    X(vkQueueSubmit)                       \
    X(vkResetCommandPool)                  \
    X(vkResetFences)                       \
    X(vkWaitForFences)                     \
    X(vkGetPhysicalDeviceProperties2)      \
    X(vkGetImageSubresourceLayout)         \
    X(vkMapMemory)                         \
    X(vkUnmapMemory)

struct CapVkFunctions {
#define CAP_VK_MEMBER(name) PFN_##name name;
    CAP_VK_FUNCS(CAP_VK_MEMBER)
#undef CAP_VK_MEMBER
};

const char *const CAP_VK_NAMES[] = {
#define CAP_VK_NAME(name) #name,
    CAP_VK_FUNCS(CAP_VK_NAME)
#undef CAP_VK_NAME
};

struct VulkanSubmit {
    SubmitRecord core;
    void *module;
    CapVkFunctions fn;
    VkDevice device;
    VkPhysicalDevice physical;
    VkQueue queue;
    VkCommandPool pool;
    VkCommandBuffer cmd;
    VkFence fence;
    // The host-visible copy and the stand-in texture it is moved into.
    VkImage linear;
    VkDeviceMemory memory;
    const uint8_t *mapped;
    VkSubresourceLayout layout;
    VkFormat format;
    uint32_t width, height;
};

int32_t cap_vulkan_fill_functions(VulkanSubmit *s, const SubmitVulkanArg *arg) {
    s->module = VKO_SOLoad("vulkan-1.dll");
    if (!s->module) {
        VKO_Log("cap_vulkan_fill_functions", "Failed to load vulkan-1");
        return -1;
    }
    PFN_vkGetInstanceProcAddr loader =
        (PFN_vkGetInstanceProcAddr)VKO_SOGetSymbol(s->module, "vkGetInstanceProcAddr");
    void **slots = (void **)&s->fn;
    for (size_t i = 0; i < sizeof(CAP_VK_NAMES) / sizeof(CAP_VK_NAMES[0]); i++) {
        void *f = arg->get_proc ? (void *)arg->get_proc(arg->instance, CAP_VK_NAMES[i]) : nullptr;
        if (!f && loader) f = (void *)loader(arg->instance, CAP_VK_NAMES[i]);
        if (!f) {
            VKO_Log("cap_vulkan_fill_functions", "* %s[%d] %s%s", "cap_vulkan_fill_functions", __LINE__,
                    "vkGetInstanceProcAddr failed to find ", CAP_VK_NAMES[i]);
            s->fn = {};
            return -1;
        }
        slots[i] = f;
    }
    return 0;
}

// The layout of each accepted VkFormat in the stand-in texture.
DXGI_FORMAT dxgi_format_of(VkFormat f) {
    switch (f) {
        case VK_FORMAT_R8G8B8A8_UNORM:
        case VK_FORMAT_R8G8B8A8_SRGB:
        case VK_FORMAT_A8B8G8R8_UNORM_PACK32:
        case VK_FORMAT_A8B8G8R8_SRGB_PACK32:
            return DXGI_FORMAT_R8G8B8A8_UNORM;
        case VK_FORMAT_B8G8R8A8_UNORM:
        case VK_FORMAT_B8G8R8A8_SRGB:
            return DXGI_FORMAT_B8G8R8A8_UNORM;
        case VK_FORMAT_A2B10G10R10_UNORM_PACK32:
            // The converter reads 8-bit sources: the top 8 bits of each channel.
            return DXGI_FORMAT_R8G8B8A8_UNORM;
        default:
            return DXGI_FORMAT_UNKNOWN;
    }
}

void release_linear(VulkanSubmit *s) {
    if (s->mapped) s->fn.vkUnmapMemory(s->device, s->memory);
    if (s->linear) s->fn.vkDestroyImage(s->device, s->linear, nullptr);
    if (s->memory) s->fn.vkFreeMemory(s->device, s->memory, nullptr);
    s->mapped = nullptr;
    s->linear = VK_NULL_HANDLE;
    s->memory = VK_NULL_HANDLE;
}

void release_copy(VulkanSubmit *s) {
    release_linear(s);
    d3d_release(&s->core.copy);
}

int32_t make_copy(VulkanSubmit *s, VkFormat format, uint32_t w, uint32_t h) {
    release_copy(s);
    VkImageCreateInfo ci = {VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
    ci.imageType = VK_IMAGE_TYPE_2D;
    ci.format = format;
    ci.extent = {w, h, 1};
    ci.mipLevels = 1;
    ci.arrayLayers = 1;
    ci.samples = VK_SAMPLE_COUNT_1_BIT;
    ci.tiling = VK_IMAGE_TILING_LINEAR;
    ci.usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
    ci.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (s->fn.vkCreateImage(s->device, &ci, nullptr, &s->linear) != VK_SUCCESS) return CAPTURE_ERR_DEVICE;
    VkMemoryRequirements req;
    s->fn.vkGetImageMemoryRequirements(s->device, s->linear, &req);
    VkPhysicalDeviceMemoryProperties props;
    s->fn.vkGetPhysicalDeviceMemoryProperties(s->physical, &props);
    const VkMemoryPropertyFlags want =
        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    uint32_t type = UINT32_MAX;
    for (uint32_t i = 0; i < props.memoryTypeCount && type == UINT32_MAX; i++)
        if ((req.memoryTypeBits & (1u << i)) && (props.memoryTypes[i].propertyFlags & want) == want) type = i;
    VkMemoryAllocateInfo ai = {VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    ai.allocationSize = req.size;
    ai.memoryTypeIndex = type;
    void *p = nullptr;
    if (type == UINT32_MAX || s->fn.vkAllocateMemory(s->device, &ai, nullptr, &s->memory) != VK_SUCCESS ||
        s->fn.vkBindImageMemory(s->device, s->linear, s->memory, 0) != VK_SUCCESS ||
        s->fn.vkMapMemory(s->device, s->memory, 0, VK_WHOLE_SIZE, 0, &p) != VK_SUCCESS) {
        release_copy(s);
        return CAPTURE_ERR_DEVICE;
    }
    s->mapped = (const uint8_t *)p;
    VkImageSubresource sub = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0};
    s->fn.vkGetImageSubresourceLayout(s->device, s->linear, &sub, &s->layout);

    D3D11_TEXTURE2D_DESC d = {
        w, h, 1, 1, dxgi_format_of(format), {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0, 0};
    if (s->core.device->CreateTexture2D(&d, nullptr, &s->core.copy) < 0) {
        release_copy(s);
        return CAPTURE_ERR_DEVICE;
    }
    s->format = format;
    s->width = w;
    s->height = h;
    return 0;
}

void barrier(VulkanSubmit *s, VkImage image, VkImageLayout from, VkImageLayout to, VkAccessFlags src_access,
             VkAccessFlags dst_access, VkPipelineStageFlags src_stage, VkPipelineStageFlags dst_stage) {
    VkImageMemoryBarrier b = vko_vk_color_barrier(image, from, to, src_access, dst_access);
    s->fn.vkCmdPipelineBarrier(s->cmd, src_stage, dst_stage, 0, 0, nullptr, 0, nullptr, 1, &b);
}

int32_t copy_frame(VulkanSubmit *s, VkImage image) {
    s->fn.vkResetCommandPool(s->device, s->pool, 0);
    VkCommandBufferBeginInfo bi = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (s->fn.vkBeginCommandBuffer(s->cmd, &bi) != VK_SUCCESS) return CAPTURE_ERR_DEVICE;
    barrier(s, image, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
            VK_ACCESS_MEMORY_READ_BIT, VK_ACCESS_TRANSFER_READ_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
            VK_PIPELINE_STAGE_TRANSFER_BIT);
    barrier(s, s->linear, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 0,
            VK_ACCESS_TRANSFER_WRITE_BIT, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
    VkImageCopy region = {};
    region.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.extent = {s->width, s->height, 1};
    s->fn.vkCmdCopyImage(s->cmd, image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, s->linear,
                         VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
    barrier(s, image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR,
            VK_ACCESS_TRANSFER_READ_BIT, VK_ACCESS_MEMORY_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
            VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT);
    barrier(s, s->linear, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_GENERAL,
            VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_HOST_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
            VK_PIPELINE_STAGE_HOST_BIT);
    if (s->fn.vkEndCommandBuffer(s->cmd) != VK_SUCCESS) return CAPTURE_ERR_DEVICE;
    VkSubmitInfo si = {VK_STRUCTURE_TYPE_SUBMIT_INFO};
    si.commandBufferCount = 1;
    si.pCommandBuffers = &s->cmd;
    if (s->fn.vkQueueSubmit(s->queue, 1, &si, s->fence) != VK_SUCCESS) return CAPTURE_ERR_DEVICE;
    VkResult r = s->fn.vkWaitForFences(s->device, 1, &s->fence, VK_TRUE, UINT64_MAX);
    s->fn.vkResetFences(s->device, 1, &s->fence);
    if (r != VK_SUCCESS) return CAPTURE_ERR_DEVICE;

    // Into the stand-in texture, row by row.
    uint8_t *dst = s->core.copy->data();
    uint32_t pitch = s->core.copy->pitch();
    for (uint32_t y = 0; y < s->height; y++) {
        const uint8_t *row = s->mapped + s->layout.offset + y * s->layout.rowPitch;
        uint8_t *out = dst + (size_t)y * pitch;
        if (s->format == VK_FORMAT_A2B10G10R10_UNORM_PACK32) {
            for (uint32_t x = 0; x < s->width; x++) {
                uint32_t v;
                std::memcpy(&v, row + x * 4, 4);
                out[x * 4 + 0] = (uint8_t)((v >> 2) & 0xFF);
                out[x * 4 + 1] = (uint8_t)((v >> 12) & 0xFF);
                out[x * 4 + 2] = (uint8_t)((v >> 22) & 0xFF);
                out[x * 4 + 3] = (uint8_t)(((v >> 30) & 3) * 85);
            }
        } else {
            std::memcpy(out, row, (size_t)s->width * 4);
        }
    }
    return 0;
}

int32_t first_use(VulkanSubmit *s, VkDevice device, const SubmitVulkanArg *arg) {
    if (cap_vulkan_fill_functions(s, arg) != 0) return -1;
    s->device = device;
    s->physical = arg->physical_device;
    s->queue = arg->queue;
    VkCommandPoolCreateInfo pi = {VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pi.queueFamilyIndex = arg->queue_family;
    VkCommandBufferAllocateInfo ai = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    VkFenceCreateInfo fi = {VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    if (s->fn.vkCreateCommandPool(device, &pi, nullptr, &s->pool) != VK_SUCCESS) return CAPTURE_ERR_DEVICE;
    ai.commandPool = s->pool;
    ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    ai.commandBufferCount = 1;
    if (s->fn.vkAllocateCommandBuffers(device, &ai, &s->cmd) != VK_SUCCESS) return CAPTURE_ERR_DEVICE;
    if (s->fn.vkCreateFence(device, &fi, nullptr, &s->fence) != VK_SUCCESS) return CAPTURE_ERR_DEVICE;
    // The stand-in has one adapter: the own device is made on it.
    return submit_own_device(&s->core.device);
}

// The objects on the application's device, on its thread.
void release_app_objects(VulkanSubmit *s) {
    if (!s->fn.vkDestroyFence) return;
    release_linear(s);
    if (s->fence) s->fn.vkDestroyFence(s->device, s->fence, nullptr);
    if (s->pool) s->fn.vkDestroyCommandPool(s->device, s->pool, nullptr);
    s->fence = VK_NULL_HANDLE;
    s->pool = VK_NULL_HANDLE;
    s->cmd = VK_NULL_HANDLE;
}

void free_vulkan(VulkanSubmit *s) {
    if (s->module) VKO_SOUnload(&s->module);
    submit_record_release(&s->core);
    VKO_Free(s);
}

}  // namespace

void cap_vulkan_destroy(void **handle) {
    VulkanSubmit *s = (VulkanSubmit *)*handle;
    if (!s) return;
    *handle = nullptr;
    if (submit_consumer_let_go(&s->core)) free_vulkan(s);
}

int32_t cap_vulkan_poll(void *handle, uint32_t timeout_ms, uint8_t *, CaptureFrame *frame) {
    return submit_poll(&((VulkanSubmit *)handle)->core, timeout_ms, frame);
}

ID3D11Device *cap_vulkan_get_device(void *handle) {
    return ((VulkanSubmit *)handle)->core.device;
}

int32_t cap_vulkan_submit(void **handle, void *app_device, void *api_arg, void *app_image, uint8_t flip,
                          uint32_t *dropped) {
    const SubmitVulkanArg *arg = (const SubmitVulkanArg *)api_arg;
    VulkanSubmit *s = (VulkanSubmit *)*handle;
    if (!app_device) {
        *handle = nullptr;
        if (!s) return 0;
        release_app_objects(s);
        if (submit_app_let_go(&s->core)) free_vulkan(s);
        return 0;
    }
    if (!arg || !app_image) return SUBMIT_ERR_NO_TEXTURE;
    if (!s) {
        s = (VulkanSubmit *)VKO_Alloc(1, sizeof(VulkanSubmit));
        submit_record_init(&s->core);
        s->core.app_device = app_device;
        *handle = s;
        if (int32_t r = first_use(s, (VkDevice)app_device, arg)) return r;
    }
    if (!s->core.device || !s->cmd || !s->fence) return CAPTURE_ERR_DEVICE;

    // Only images described by an image or a swap-chain create-info.
    const VkBaseInStructure *info = (const VkBaseInStructure *)arg->create_info;
    VkFormat format;
    uint32_t w, h;
    VkImageUsageFlags usage;
    if (info && info->sType == VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO) {
        const VkImageCreateInfo *ci = (const VkImageCreateInfo *)info;
        format = ci->format, w = ci->extent.width, h = ci->extent.height, usage = ci->usage;
        // A copy needs the same sample count on both sides: a multisampled
        // image (which the application resolves itself) cannot be copied
        // into the single-sampled one, nor can an image other than 2-D.
        if (ci->samples != VK_SAMPLE_COUNT_1_BIT || ci->imageType != VK_IMAGE_TYPE_2D)
            return SUBMIT_ERR_NO_TEXTURE;
    } else if (info && info->sType == VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR) {
        const VkSwapchainCreateInfoKHR *ci = (const VkSwapchainCreateInfoKHR *)info;
        format = ci->imageFormat, w = ci->imageExtent.width, h = ci->imageExtent.height,
        usage = ci->imageUsage;
    } else {
        return SUBMIT_ERR_NO_TEXTURE;
    }
    // The copy reads the image as a transfer source: an image made without
    // that use cannot be copied from.
    if (dxgi_format_of(format) == DXGI_FORMAT_UNKNOWN || w == 0 || h == 0 || w > 16384 || h > 16384 ||
        !(usage & VK_IMAGE_USAGE_TRANSFER_SRC_BIT))
        return SUBMIT_ERR_NO_TEXTURE;

    if (!submit_lock_wanted(&s->core, dropped)) return 0;
    int32_t r = 0;
    if (!s->linear || format != s->format || w != s->width || h != s->height) r = make_copy(s, format, w, h);
    if (r == 0) r = copy_frame(s, (VkImage)app_image);
    return submit_copied_draw_unlock(&s->core, r, flip);
}

int32_t cap_vulkan_check_reinit(void *handle) {
    return submit_check_reinit(&((VulkanSubmit *)handle)->core);
}

bool cap_vulkan_device_differs(void *handle, void *app_device) {
    return submit_device_differs(&((VulkanSubmit *)handle)->core, app_device);
}

const SubmitCaptureApi submit_vulkan_api = {
    cap_vulkan_destroy,
    cap_vulkan_poll,
    cap_vulkan_get_device,
    cap_d3d9_get_texture,
    cap_d3d9_get_desc,
    cap_vulkan_submit,
    nullptr,
    cap_vulkan_check_reinit,
    cap_vulkan_device_differs,
    nullptr,
};
