#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <link.h>

#include "host/submit_vulkan.h"
#include "support/pin_drivers.h"
#include "support/log_capture.h"

// The validation layer keeps state that outlives the last device (the
// layer's, not ours); Mesa's CPU device and LLVM keep per-process state.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libVkLayer_khronos_validation\nleak:libvulkan_lvp\nleak:libLLVM\n";
}

namespace {

// What the validation layer reported (errors and warnings), for the test to check.
std::vector<std::string> g_validation;

VKAPI_ATTR VkBool32 VKAPI_CALL on_validation(VkDebugUtilsMessageSeverityFlagBitsEXT,
                                             VkDebugUtilsMessageTypeFlagsEXT,
                                             const VkDebugUtilsMessengerCallbackDataEXT *data, void *) {
    g_validation.push_back(data && data->pMessage ? data->pMessage : "?");
    return VK_FALSE;
}

// Both holders let go of a record: the application (a submit with no
// device), then the consumer.
inline void both_let_go(const SubmitCaptureApi &api, void **handle) {
    void *app = *handle;
    EXPECT_EQ(api.submit(&app, nullptr, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(app, nullptr);
    api.destroy(handle);
}

PFN_vkGetInstanceProcAddr g_gipa = nullptr;

// The application's lookup with vkCreateImage hidden.
PFN_vkVoidFunction VKAPI_CALL lookup_without_create_image(VkInstance instance, const char *name) {
    if (std::strcmp(name, "vkCreateImage") == 0) return nullptr;
    return g_gipa(instance, name);
}

#define TEST_VK_FUNCS(X)                   \
    X(vkDestroyInstance)                   \
    X(vkEnumeratePhysicalDevices)          \
    X(vkCreateDevice)                      \
    X(vkDestroyDevice)                     \
    X(vkGetDeviceQueue)                    \
    X(vkCreateImage)                       \
    X(vkDestroyImage)                      \
    X(vkCreateBuffer)                      \
    X(vkDestroyBuffer)                     \
    X(vkGetImageMemoryRequirements)        \
    X(vkGetBufferMemoryRequirements)       \
    X(vkAllocateMemory)                    \
    X(vkFreeMemory)                        \
    X(vkBindImageMemory)                   \
    X(vkBindBufferMemory)                  \
    X(vkMapMemory)                         \
    X(vkUnmapMemory)                       \
    X(vkGetPhysicalDeviceMemoryProperties) \
    X(vkCreateCommandPool)                 \
    X(vkDestroyCommandPool)                \
    X(vkAllocateCommandBuffers)            \
    X(vkBeginCommandBuffer)                \
    X(vkEndCommandBuffer)                  \
    X(vkCmdPipelineBarrier)                \
    X(vkCmdCopyBufferToImage)              \
    X(vkQueueSubmit)                       \
    X(vkQueueWaitIdle)

struct Vk {
    PFN_vkCreateInstance vkCreateInstance = nullptr;
    PFN_vkEnumerateInstanceLayerProperties vkEnumerateInstanceLayerProperties = nullptr;
    PFN_vkCreateDebugUtilsMessengerEXT vkCreateDebugUtilsMessengerEXT = nullptr;
    PFN_vkDestroyDebugUtilsMessengerEXT vkDestroyDebugUtilsMessengerEXT = nullptr;
#define F(name) PFN_##name name = nullptr;
    TEST_VK_FUNCS(F)
#undef F
};

struct SubmitVulkanTest : ::testing::Test {
    void *lib = nullptr;
    Vk vk;
    VkInstance instance = VK_NULL_HANDLE;
    VkPhysicalDevice phys = VK_NULL_HANDLE;
    VkDevice device = VK_NULL_HANDLE;
    VkQueue queue = VK_NULL_HANDLE;
    VkCommandPool pool = VK_NULL_HANDLE;
    VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
    void *handle = nullptr;
    const SubmitCaptureApi &api = submit_vulkan_api;

    void SetUp() override {
        setenv("VK_ICD_FILENAMES", "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json", 1);
        lib = dlopen("libvulkan.so.1", RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr);
        g_gipa = (PFN_vkGetInstanceProcAddr)dlsym(lib, "vkGetInstanceProcAddr");
        ASSERT_NE(g_gipa, nullptr);
        vk.vkCreateInstance = (PFN_vkCreateInstance)g_gipa(nullptr, "vkCreateInstance");
        vk.vkEnumerateInstanceLayerProperties =
            (PFN_vkEnumerateInstanceLayerProperties)g_gipa(nullptr, "vkEnumerateInstanceLayerProperties");
        VkApplicationInfo app = {VK_STRUCTURE_TYPE_APPLICATION_INFO};
        app.apiVersion = VK_API_VERSION_1_1;
        VkInstanceCreateInfo ici = {VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
        ici.pApplicationInfo = &app;
        // The swap chain's layouts need the surface extension; the validation
        // layer, where installed, watches every call of the application's and
        // the back-end's.
        const char *extensions[] = {"VK_KHR_surface", "VK_EXT_debug_utils"};
        const char *layer = "VK_LAYER_KHRONOS_validation";
        uint32_t layers = 0;
        vk.vkEnumerateInstanceLayerProperties(&layers, nullptr);
        std::vector<VkLayerProperties> props(layers);
        vk.vkEnumerateInstanceLayerProperties(&layers, props.data());
        bool validation = false;
        for (const VkLayerProperties &p : props) validation |= std::strcmp(p.layerName, layer) == 0;
        ASSERT_TRUE(validation) << "the Vulkan validation layer is not installed";
        ici.enabledLayerCount = 1;
        ici.ppEnabledLayerNames = &layer;
        ici.enabledExtensionCount = 2;
        ici.ppEnabledExtensionNames = extensions;
        ASSERT_EQ(vk.vkCreateInstance(&ici, nullptr, &instance), VK_SUCCESS);
#define L(name) vk.name = (PFN_##name)g_gipa(instance, #name);
        TEST_VK_FUNCS(L)
        L(vkCreateDebugUtilsMessengerEXT)
        L(vkDestroyDebugUtilsMessengerEXT)
#undef L
        g_validation.clear();
        VkDebugUtilsMessengerCreateInfoEXT mci = {VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
        mci.messageSeverity =
            VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT;
        mci.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT;
        mci.pfnUserCallback = on_validation;
        ASSERT_EQ(vk.vkCreateDebugUtilsMessengerEXT(instance, &mci, nullptr, &messenger), VK_SUCCESS);
        uint32_t n = 1;
        ASSERT_GE(vk.vkEnumeratePhysicalDevices(instance, &n, &phys), 0);
        ASSERT_EQ(n, 1u);
        float prio = 1;
        VkDeviceQueueCreateInfo qi = {VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
        qi.queueFamilyIndex = 0;
        qi.queueCount = 1;
        qi.pQueuePriorities = &prio;
        const char *ext = "VK_KHR_swapchain";
        VkDeviceCreateInfo dci = {VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
        dci.queueCreateInfoCount = 1;
        dci.pQueueCreateInfos = &qi;
        dci.enabledExtensionCount = 1;
        dci.ppEnabledExtensionNames = &ext;
        ASSERT_EQ(vk.vkCreateDevice(phys, &dci, nullptr, &device), VK_SUCCESS);
        pin_gpu_drivers();
        vk.vkGetDeviceQueue(device, 0, 0, &queue);
        VkCommandPoolCreateInfo pci = {VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
        ASSERT_EQ(vk.vkCreateCommandPool(device, &pci, nullptr, &pool), VK_SUCCESS);
    }

    void TearDown() override {
        both_let_go(api, &handle);
        for (auto &im : images) {
            vk.vkDestroyImage(device, im.first, nullptr);
            vk.vkFreeMemory(device, im.second, nullptr);
        }
        if (pool) vk.vkDestroyCommandPool(device, pool, nullptr);
        if (device) vk.vkDestroyDevice(device, nullptr);
        if (messenger) vk.vkDestroyDebugUtilsMessengerEXT(instance, messenger, nullptr);
        if (instance) vk.vkDestroyInstance(instance, nullptr);
        for (const std::string &m : g_validation) ADD_FAILURE() << m;
        unsetenv("ZARVEK_SO_PATH");
        EXPECT_EQ(d3d_live_objects(), 0);
    }

    std::vector<std::pair<VkImage, VkDeviceMemory>> images;

    uint32_t memory_type(uint32_t bits, VkMemoryPropertyFlags want) {
        VkPhysicalDeviceMemoryProperties p;
        vk.vkGetPhysicalDeviceMemoryProperties(phys, &p);
        for (uint32_t i = 0; i < p.memoryTypeCount; i++)
            if ((bits & (1u << i)) && (p.memoryTypes[i].propertyFlags & want) == want) return i;
        return 0;
    }

    // An optimal-tiling image holding `texels` (4 bytes each), left in
    // present-source layout as after rendering.
    VkImage make_image(const VkImageCreateInfo &ci, const std::vector<uint32_t> &texels) {
        VkImage image;
        EXPECT_EQ(vk.vkCreateImage(device, &ci, nullptr, &image), VK_SUCCESS);
        VkMemoryRequirements req;
        vk.vkGetImageMemoryRequirements(device, image, &req);
        VkMemoryAllocateInfo ai = {VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
        ai.allocationSize = req.size;
        ai.memoryTypeIndex = memory_type(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
        VkDeviceMemory mem;
        EXPECT_EQ(vk.vkAllocateMemory(device, &ai, nullptr, &mem), VK_SUCCESS);
        vk.vkBindImageMemory(device, image, mem, 0);
        images.push_back({image, mem});

        VkBufferCreateInfo bci = {VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
        bci.size = texels.size() * 4;
        bci.usage = VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
        VkBuffer buf;
        EXPECT_EQ(vk.vkCreateBuffer(device, &bci, nullptr, &buf), VK_SUCCESS);
        vk.vkGetBufferMemoryRequirements(device, buf, &req);
        ai.allocationSize = req.size;
        ai.memoryTypeIndex = memory_type(
            req.memoryTypeBits, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
        VkDeviceMemory bmem;
        EXPECT_EQ(vk.vkAllocateMemory(device, &ai, nullptr, &bmem), VK_SUCCESS);
        vk.vkBindBufferMemory(device, buf, bmem, 0);
        void *p;
        vk.vkMapMemory(device, bmem, 0, VK_WHOLE_SIZE, 0, &p);
        std::memcpy(p, texels.data(), texels.size() * 4);
        vk.vkUnmapMemory(device, bmem);

        VkCommandBufferAllocateInfo cai = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
        cai.commandPool = pool;
        cai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        cai.commandBufferCount = 1;
        VkCommandBuffer cmd;
        vk.vkAllocateCommandBuffers(device, &cai, &cmd);
        VkCommandBufferBeginInfo bi = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
        vk.vkBeginCommandBuffer(cmd, &bi);
        VkImageMemoryBarrier b = {VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
        b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        b.image = image;
        b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        b.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
        b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
        vk.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0,
                                nullptr, 0, nullptr, 1, &b);
        VkBufferImageCopy region = {};
        region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
        region.imageExtent = ci.extent;
        vk.vkCmdCopyBufferToImage(cmd, buf, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
        b.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
        b.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
        b.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
        b.dstAccessMask = 0;
        vk.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0,
                                0, nullptr, 0, nullptr, 1, &b);
        vk.vkEndCommandBuffer(cmd);
        VkSubmitInfo si = {VK_STRUCTURE_TYPE_SUBMIT_INFO};
        si.commandBufferCount = 1;
        si.pCommandBuffers = &cmd;
        vk.vkQueueSubmit(queue, 1, &si, VK_NULL_HANDLE);
        vk.vkQueueWaitIdle(queue);
        vk.vkDestroyBuffer(device, buf, nullptr);
        vk.vkFreeMemory(device, bmem, nullptr);
        return image;
    }

    static VkImageCreateInfo image_info(VkFormat format, uint32_t w, uint32_t h) {
        VkImageCreateInfo ci = {VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
        ci.imageType = VK_IMAGE_TYPE_2D;
        ci.format = format;
        ci.extent = {w, h, 1};
        ci.mipLevels = 1;
        ci.arrayLayers = 1;
        ci.samples = VK_SAMPLE_COUNT_1_BIT;
        ci.tiling = VK_IMAGE_TILING_OPTIMAL;
        ci.usage = VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT;
        return ci;
    }

    SubmitVulkanArg arg(const void *create_info, PFN_vkGetInstanceProcAddr lookup = nullptr) {
        return {instance, phys, queue, 0, lookup ? lookup : g_gipa, create_info};
    }
};

uint8_t red_of(uint32_t x, uint32_t y) {
    return (uint8_t)(x * 8 + y);
}
uint8_t green_of(uint32_t, uint32_t y) {
    return (uint8_t)(y * 16);
}
uint8_t blue_of(uint32_t x, uint32_t y) {
    return (uint8_t)(100 + (x ^ y));
}

// Texels of the pattern in the image's own layout.
std::vector<uint32_t> pattern(VkFormat format, uint32_t w, uint32_t h) {
    std::vector<uint32_t> t(w * h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint32_t r = red_of(x, y), g = green_of(x, y), b = blue_of(x, y);
            uint32_t v;
            if (format == VK_FORMAT_B8G8R8A8_UNORM)
                v = b | g << 8 | r << 16 | 0xFFu << 24;
            else if (format == VK_FORMAT_A2B10G10R10_UNORM_PACK32)
                v = r << 2 | g << 12 | b << 22 | 3u << 30;
            else
                v = r | g << 8 | b << 16 | 0xFFu << 24;  // R8G8B8A8 and A8B8G8R8 are the same bytes
            t[y * w + x] = v;
        }
    return t;
}

// The consumer's BGRA texture holds the pattern.
int mismatches(ID3D11Texture2D *t, uint32_t w, uint32_t h) {
    int bad = 0;
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            const uint8_t *p = t->data() + (size_t)y * t->pitch() + x * 4;
            if (p[0] != blue_of(x, y) || p[1] != green_of(x, y) || p[2] != red_of(x, y)) bad++;
        }
    return bad;
}

}  // namespace

TEST_F(SubmitVulkanTest, PatternComesBackEqualInEachAcceptedFormat) {
    const VkFormat formats[] = {VK_FORMAT_R8G8B8A8_UNORM, VK_FORMAT_B8G8R8A8_UNORM,
                                VK_FORMAT_A8B8G8R8_UNORM_PACK32, VK_FORMAT_A2B10G10R10_UNORM_PACK32};
    uint32_t w = 24, h = 10, dropped = 0;
    for (VkFormat f : formats) {
        SCOPED_TRACE(f);
        VkImageCreateInfo ci = image_info(f, w, h);
        VkImage image = make_image(ci, pattern(f, w, h));
        SubmitVulkanArg a = arg(&ci);
        ASSERT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), 0);
        CaptureFrame frame = {};
        ASSERT_EQ(api.poll(handle, 1000, nullptr, &frame), 0);
        ASSERT_EQ(frame.new_frame, 1);
        ID3D11Texture2D *out = nullptr;
        ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), 0);
        EXPECT_EQ(mismatches(out, w, h), 0);
        uint16_t dw, dh;
        uint32_t df;
        api.get_desc(handle, &dw, &dh, &df);
        EXPECT_EQ(dw, w);
        EXPECT_EQ(dh, h);
        EXPECT_EQ(df, CAPTURE_FORMAT_BGRA);
        // The next poll frees the consumer for the next format.
        api.poll(handle, 0, nullptr, &frame);
    }
    EXPECT_EQ(dropped, 0u);
    EXPECT_FALSE(api.device_differs(handle, device));
    EXPECT_TRUE(api.device_differs(handle, (void *)queue));
}

TEST_F(SubmitVulkanTest, SwapChainCreateInfoSizeChangeAndRefusedDescriptions) {
    VkImageCreateInfo ci = image_info(VK_FORMAT_B8G8R8A8_UNORM, 16, 8);
    VkImage image = make_image(ci, pattern(VK_FORMAT_B8G8R8A8_UNORM, 16, 8));
    VkSwapchainCreateInfoKHR sci = {VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR};
    sci.imageFormat = VK_FORMAT_B8G8R8A8_UNORM;
    sci.imageExtent = {16, 8};
    sci.imageUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    SubmitVulkanArg a = arg(&sci);
    uint32_t dropped = 0;
    ASSERT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), 0);
    CaptureFrame frame = {};
    api.poll(handle, 1000, nullptr, &frame);
    ASSERT_EQ(frame.new_frame, 1);
    ID3D11Texture2D *out = nullptr;
    ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), 0);
    EXPECT_EQ(mismatches(out, 16, 8), 0);
    EXPECT_EQ(api.check_reinit(handle), 0);

    // Any other description, or a format without a layout here, is refused.
    VkBufferCreateInfo other = {VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    a = arg(&other);
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), SUBMIT_ERR_NO_TEXTURE);
    VkImageCreateInfo odd = image_info(VK_FORMAT_R5G6B5_UNORM_PACK16, 16, 8);
    a = arg(&odd);
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), SUBMIT_ERR_NO_TEXTURE);
    // An image (or swap chain) made without transfer-source use cannot be
    // copied from: refused, nothing recorded.
    VkImageCreateInfo no_source = ci;
    no_source.usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    a = arg(&no_source);
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), SUBMIT_ERR_NO_TEXTURE);
    VkSwapchainCreateInfoKHR no_source_chain = sci;
    no_source_chain.imageUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    a = arg(&no_source_chain);
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), SUBMIT_ERR_NO_TEXTURE);
    EXPECT_EQ(dropped, 0u);

    // A larger image: the copy is remade and the change reported once.
    api.poll(handle, 0, nullptr, &frame);
    VkImageCreateInfo big = image_info(VK_FORMAT_R8G8B8A8_UNORM, 40, 20);
    VkImage image2 = make_image(big, pattern(VK_FORMAT_R8G8B8A8_UNORM, 40, 20));
    a = arg(&big);
    ASSERT_EQ(api.submit(&handle, device, &a, (void *)image2, 0, &dropped), 0);
    EXPECT_EQ(api.check_reinit(handle), CAPTURE_ERR_FRAME);
    EXPECT_EQ(api.check_reinit(handle), 0);
    api.poll(handle, 1000, nullptr, &frame);
    ASSERT_EQ(api.get_texture(handle, CAPTURE_FORMAT_ASIS, &out), 0);
    EXPECT_EQ(mismatches(out, 40, 20), 0);
}

TEST_F(SubmitVulkanTest, FunctionsComeFromTheApplicationsLookupFirst) {
    // A loader whose own lookup finds nothing: the application's lookup serves all.
    setenv("ZARVEK_SO_PATH", ZARVEK_VKNOLOOKUP_DIR, 1);
    VkImageCreateInfo ci = image_info(VK_FORMAT_R8G8B8A8_UNORM, 8, 4);
    VkImage image = make_image(ci, pattern(VK_FORMAT_R8G8B8A8_UNORM, 8, 4));
    SubmitVulkanArg a = arg(&ci);
    uint32_t dropped = 0;
    ASSERT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), 0);
    both_let_go(api, &handle);

    // With vkCreateImage hidden from it, the name is missing everywhere.
    LogCapture log;
    a = arg(&ci, lookup_without_create_image);
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), -1);
    bool found = false;
    for (const std::string &l : log.lines())
        if (l.find("* cap_vulkan_fill_functions[") != std::string::npos &&
            l.find("] vkGetInstanceProcAddr failed to find vkCreateImage") != std::string::npos)
            found = true;
    EXPECT_TRUE(found);
    // The record is left without a device: later submits fail, destroy frees it.
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), CAPTURE_ERR_DEVICE);
}

// The consumer lets go first: the record and the objects on the application's
// device stay for the application, whose submits are dropped until its own
// letting go releases them (before it destroys its device).
TEST_F(SubmitVulkanTest, ConsumerGoingFirstLeavesTheRecordToTheApplication) {
    VkImageCreateInfo ci = image_info(VK_FORMAT_R8G8B8A8_UNORM, 8, 4);
    VkImage image = make_image(ci, pattern(VK_FORMAT_R8G8B8A8_UNORM, 8, 4));
    SubmitVulkanArg a = arg(&ci);
    uint32_t dropped = 0;
    ASSERT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), 0);
    void *app_handle = handle;
    api.destroy(&handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(api.submit(&app_handle, device, &a, (void *)image, 0, &dropped), 0);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(api.submit(&app_handle, nullptr, nullptr, nullptr, 0, &dropped), 0);
    EXPECT_EQ(app_handle, nullptr);
}

// A multisampled image cannot be copied into the single-sampled copy (and
// an image other than 2-D is not a picture): refused, nothing recorded on
// the queue, no frame handed on, and the validation layer has nothing to say.
TEST_F(SubmitVulkanTest, MultisampledImageIsRefused) {
    VkImageCreateInfo ci = image_info(VK_FORMAT_R8G8B8A8_UNORM, 16, 8);
    ci.samples = VK_SAMPLE_COUNT_4_BIT;
    ci.usage = VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    VkImage image = VK_NULL_HANDLE;
    ASSERT_EQ(vk.vkCreateImage(device, &ci, nullptr, &image), VK_SUCCESS);
    VkMemoryRequirements req;
    vk.vkGetImageMemoryRequirements(device, image, &req);
    VkMemoryAllocateInfo ai = {VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    ai.allocationSize = req.size;
    ai.memoryTypeIndex = memory_type(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    VkDeviceMemory mem = VK_NULL_HANDLE;
    ASSERT_EQ(vk.vkAllocateMemory(device, &ai, nullptr, &mem), VK_SUCCESS);
    images.push_back({image, mem});
    ASSERT_EQ(vk.vkBindImageMemory(device, image, mem, 0), VK_SUCCESS);

    SubmitVulkanArg a = arg(&ci);
    uint32_t dropped = 0;
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), SUBMIT_ERR_NO_TEXTURE);
    VkImageCreateInfo volume = image_info(VK_FORMAT_R8G8B8A8_UNORM, 16, 8);
    volume.imageType = VK_IMAGE_TYPE_3D;
    a = arg(&volume);
    EXPECT_EQ(api.submit(&handle, device, &a, (void *)image, 0, &dropped), SUBMIT_ERR_NO_TEXTURE);
    CaptureFrame frame = {};
    ASSERT_EQ(api.poll(handle, 0, nullptr, &frame), 0);
    EXPECT_EQ(frame.new_frame, 0);
    EXPECT_EQ(dropped, 0u);
}
