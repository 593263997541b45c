// Vulkan video-frame and overlay renderers. They record into the context's
// command buffer between its get surface and present; the context waits for
// the queue to go idle after each present, so host-visible staging, vertex and
// uniform memory and descriptor sets may be rewritten in the next frame.
#include <cmath>
#include <algorithm>
#include <cstring>

#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "spv_ui_frag.h"
#include "spv_ui_vert.h"
#include "spv_video_frag.h"
#include "spv_video_vert.h"

namespace {

struct vko_vk_buffer {
    VkBuffer buffer;
    VkDeviceMemory memory;
};

struct vko_vk_image {
    VkBuffer staging;
    VkDeviceMemory staging_memory;
    VkDeviceMemory memory;
    uint32_t format;  // VkFormat
    VkImage image;
    VkImageView view;
    uint32_t width, height;
    uint32_t pitch;  // source row length the staging buffer was sized for
};

struct vko_vk_frame {
    uint32_t last_format;
    VkShaderModule vs, fs;
    VkSampler linear, nearest;
    VkDescriptorSetLayout set_layout;
    VkDescriptorPool pool;
    VkDescriptorSet set;
    VkPipelineLayout layout;
    VkPipeline pipeline;
    VkRenderPass pass;
    VkDescriptorImageInfo last_infos[3];
    uint8_t last_block[64];
    vko_vk_buffer vtx, idx, ubo;
    vko_vk_image planes[3];
    uint8_t layer;
};

struct vko_vk_ui_buffer {
    VkBuffer buffer;
    VkDeviceMemory memory;
    uint32_t capacity;
    void *cpu;
};

struct vko_vk_ui_texture {
    vko_vk_image image;
    VkDescriptorSet set;
    uint32_t width, height;
    uint8_t uploaded;
};

struct vko_vk_ui {
    VkShaderModule vs, fs;
    VkRenderPass pass_load, pass_clear;
    VkSampler sampler;
    VkDescriptorPool pool;
    VkDescriptorSetLayout set_layout;
    VkPipelineLayout layout;
    VkPipeline pipeline;
    vko_vk_ui_texture *default_texture;
    vko_vk_ui_buffer vtx, idx;
};

// Plane formats by colour format. Format 6 is read through the packed
// format whose channels come out in the same order as Direct3D's (U, Y, V),
// so one shader rule serves it and format 7.
const VkFormat PLANE_FORMATS[VKO_COLOR_FORMAT_COUNT][3] = {
    {},
    {VK_FORMAT_B8G8R8A8_UNORM},
    {VK_FORMAT_R8G8B8A8_UNORM},
    {VK_FORMAT_R5G6B5_UNORM_PACK16},
    {VK_FORMAT_A1R5G5B5_UNORM_PACK16},
    {VK_FORMAT_B8G8R8A8_UNORM},
    {VK_FORMAT_A2B10G10R10_UNORM_PACK32},
    {VK_FORMAT_R16G16B16A16_UNORM},
    {VK_FORMAT_R8_UNORM, VK_FORMAT_R8G8_UNORM},
    {VK_FORMAT_R8_UNORM, VK_FORMAT_R8_UNORM, VK_FORMAT_R8_UNORM},
    {VK_FORMAT_R16_UNORM, VK_FORMAT_R16G16_UNORM},
    {VK_FORMAT_R16_UNORM, VK_FORMAT_R16_UNORM, VK_FORMAT_R16_UNORM},
};

const float QUAD_VERTICES[16] = {-1, -1, 0, 0, 1, -1, 1, 0, 1, 1, 1, 1, -1, 1, 0, 1};
const uint16_t QUAD_INDICES[6] = {0, 1, 2, 2, 3, 0};

bool vko_vk_alloc_memory(const vko_vk_fns &f, const vko_vk_device *d, const VkMemoryRequirements &req,
                         VkMemoryPropertyFlags flags, VkDeviceMemory *out) {
    for (uint32_t i = 0; i < d->memory->memoryTypeCount; ++i) {
        if (!(req.memoryTypeBits & (1u << i))) continue;
        if ((d->memory->memoryTypes[i].propertyFlags & flags) != flags) continue;
        VkMemoryAllocateInfo ai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO, nullptr, req.size, i};
        if (f.vkAllocateMemory(d->device, &ai, nullptr, out) == VK_SUCCESS) return true;
    }
    return false;
}

void buffer_destroy(const vko_vk_fns &f, const vko_vk_device *d, VkBuffer *buffer, VkDeviceMemory *memory) {
    if (*buffer) f.vkDestroyBuffer(d->device, *buffer, nullptr);
    if (*memory) f.vkFreeMemory(d->device, *memory, nullptr);
    *buffer = VK_NULL_HANDLE;
    *memory = VK_NULL_HANDLE;
}

bool vko_vk_buffer_create(const vko_vk_fns &f, const vko_vk_device *d, VkDeviceSize size,
                          VkBufferUsageFlags usage, VkBuffer *buffer, VkDeviceMemory *memory) {
    VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    bi.size = size;
    bi.usage = usage;
    bi.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    if (f.vkCreateBuffer(d->device, &bi, nullptr, buffer) != VK_SUCCESS) {
        *buffer = VK_NULL_HANDLE;
        return false;
    }
    VkMemoryRequirements req;
    f.vkGetBufferMemoryRequirements(d->device, *buffer, &req);
    if (!vko_vk_alloc_memory(f, d, req, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT, memory) ||
        f.vkBindBufferMemory(d->device, *buffer, *memory, 0) != VK_SUCCESS) {
        buffer_destroy(f, d, buffer, memory);
        return false;
    }
    return true;
}

bool vko_vk_write_memory(const vko_vk_fns &f, const vko_vk_device *d, VkDeviceMemory memory, const void *data,
                         size_t size) {
    void *p = nullptr;
    if (f.vkMapMemory(d->device, memory, 0, VK_WHOLE_SIZE, 0, &p) != VK_SUCCESS) return false;
    memcpy(p, data, size);
    VkMappedMemoryRange range{VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE, nullptr, memory, 0, VK_WHOLE_SIZE};
    const VkResult r = f.vkFlushMappedMemoryRanges(d->device, 1, &range);
    f.vkUnmapMemory(d->device, memory);
    return r == VK_SUCCESS;
}

void image_destroy(const vko_vk_fns &f, const vko_vk_device *d, vko_vk_image *img) {
    if (img->view) f.vkDestroyImageView(d->device, img->view, nullptr);
    if (img->image) f.vkDestroyImage(d->device, img->image, nullptr);
    if (img->memory) f.vkFreeMemory(d->device, img->memory, nullptr);
    buffer_destroy(f, d, &img->staging, &img->staging_memory);
    *img = {};
}

bool vko_vk_image_create(const vko_vk_fns &f, const vko_vk_device *d, VkFormat format, uint32_t pitch,
                         uint32_t width, uint32_t height, uint32_t bpp, vko_vk_image *img) {
    *img = {};
    if (!vko_vk_buffer_create(f, d, VkDeviceSize(bpp) * pitch * height, VK_BUFFER_USAGE_TRANSFER_SRC_BIT,
                              &img->staging, &img->staging_memory))
        return false;
    VkImageCreateInfo ii{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
    ii.imageType = VK_IMAGE_TYPE_2D;
    ii.format = format;
    ii.extent = {width, height, 1};
    ii.mipLevels = 1;
    ii.arrayLayers = 1;
    ii.samples = VK_SAMPLE_COUNT_1_BIT;
    ii.tiling = VK_IMAGE_TILING_OPTIMAL;
    ii.usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
    ii.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    VkMemoryRequirements req;
    if (f.vkCreateImage(d->device, &ii, nullptr, &img->image) != VK_SUCCESS) goto fail;
    f.vkGetImageMemoryRequirements(d->device, img->image, &req);
    if (!vko_vk_alloc_memory(f, d, req, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, &img->memory)) goto fail;
    if (f.vkBindImageMemory(d->device, img->image, img->memory, 0) != VK_SUCCESS) goto fail;
    {
        VkImageViewCreateInfo vi{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
        vi.image = img->image;
        vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
        vi.format = format;
        vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        if (f.vkCreateImageView(d->device, &vi, nullptr, &img->view) != VK_SUCCESS) goto fail;
    }
    img->format = format;
    img->width = width;
    img->height = height;
    img->pitch = pitch;
    return true;
fail:
    image_destroy(f, d, img);
    return false;
}

void image_barrier(const vko_vk_fns &f, VkCommandBuffer cmd, VkImage image, VkImageLayout from,
                   VkImageLayout to, VkAccessFlags src_access, VkAccessFlags dst_access,
                   VkPipelineStageFlags src_stage, VkPipelineStageFlags dst_stage) {
    VkImageMemoryBarrier b = vko_vk_color_barrier(image, from, to, src_access, dst_access);
    f.vkCmdPipelineBarrier(cmd, src_stage, dst_stage, 0, 0, nullptr, 0, nullptr, 1, &b);
}

// Staging buffer to image, outside any render pass; the buffer's row length
// drops the source padding.
void record_upload(const vko_vk_fns &f, VkCommandBuffer cmd, const vko_vk_image *img) {
    image_barrier(f, cmd, img->image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 0,
                  VK_ACCESS_TRANSFER_WRITE_BIT, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT,
                  VK_PIPELINE_STAGE_TRANSFER_BIT);
    VkBufferImageCopy c{};
    c.bufferRowLength = img->pitch;
    c.bufferImageHeight = img->height;
    c.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    c.imageExtent = {img->width, img->height, 1};
    f.vkCmdCopyBufferToImage(cmd, img->staging, img->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &c);
    image_barrier(f, cmd, img->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                  VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_ACCESS_TRANSFER_WRITE_BIT,
                  VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
                  VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT);
}

// Keeps the plane's image while its size, format and source pitch hold (a new
// pitch at the same size needs a staging buffer of another size). Sets
// *remade when the old view was destroyed: descriptors that named it are
// invalid even if the new view comes back with the same handle value.
bool vko_vk_refresh_resource(const vko_vk_fns &f, const vko_vk_device *d, VkCommandBuffer cmd,
                             vko_vk_image *img, VkFormat format, uint32_t pitch, uint32_t width,
                             uint32_t height, uint32_t bpp, const uint8_t *src, bool *remade) {
    if (!img->image || img->width != width || img->height != height || img->format != uint32_t(format) ||
        img->pitch != pitch) {
        *remade = true;
        image_destroy(f, d, img);
        if (!vko_vk_image_create(f, d, format, pitch, width, height, bpp, img)) return false;
    }
    if (!vko_vk_write_memory(f, d, img->staging_memory, src, size_t(bpp) * pitch * height)) return false;
    record_upload(f, cmd, img);
    return true;
}

bool shader_create(const vko_vk_fns &f, VkDevice dev, const uint32_t *code, size_t size,
                   VkShaderModule *out) {
    VkShaderModuleCreateInfo si{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    si.codeSize = size;
    si.pCode = code;
    return f.vkCreateShaderModule(dev, &si, nullptr, out) == VK_SUCCESS;
}

}  // namespace

bool vko_vk_render_pass_create(const vko_vk_fns &f, VkDevice dev, VkAttachmentLoadOp load,
                               VkImageLayout initial, VkRenderPass *out) {
    VkAttachmentDescription a{};
    a.format = VK_FORMAT_B8G8R8A8_UNORM;
    a.samples = VK_SAMPLE_COUNT_1_BIT;
    a.loadOp = load;
    a.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    a.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    a.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
    a.initialLayout = initial;
    a.finalLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
    VkAttachmentReference ref{0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
    VkSubpassDescription sub{};
    sub.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
    sub.colorAttachmentCount = 1;
    sub.pColorAttachments = &ref;
    VkRenderPassCreateInfo ri{VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO};
    ri.attachmentCount = 1;
    ri.pAttachments = &a;
    ri.subpassCount = 1;
    ri.pSubpasses = &sub;
    return f.vkCreateRenderPass(dev, &ri, nullptr, out) == VK_SUCCESS;
}

namespace {

bool sampler_create(const vko_vk_fns &f, VkDevice dev, VkFilter filter, VkSamplerAddressMode mode,
                    VkSampler *out) {
    VkSamplerCreateInfo si{VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO};
    si.magFilter = filter;
    si.minFilter = filter;
    si.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
    si.addressModeU = si.addressModeV = si.addressModeW = mode;
    return f.vkCreateSampler(dev, &si, nullptr, out) == VK_SUCCESS;
}

struct PipelineInfo {
    VkShaderModule vs, fs;
    uint32_t stride;
    const VkVertexInputAttributeDescription *attrs;
    uint32_t attr_count;
    VkCullModeFlags cull;
    bool blend;
    VkPipelineLayout layout;
    VkRenderPass pass;
};

bool pipeline_create(const vko_vk_fns &f, VkDevice dev, const PipelineInfo &s, VkPipeline *out) {
    VkPipelineShaderStageCreateInfo stages[2] = {{VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO},
                                                 {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO}};
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = s.vs;
    stages[0].pName = "main";
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = s.fs;
    stages[1].pName = "main";
    VkVertexInputBindingDescription binding{0, s.stride, VK_VERTEX_INPUT_RATE_VERTEX};
    VkPipelineVertexInputStateCreateInfo vin{VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
    vin.vertexBindingDescriptionCount = 1;
    vin.pVertexBindingDescriptions = &binding;
    vin.vertexAttributeDescriptionCount = s.attr_count;
    vin.pVertexAttributeDescriptions = s.attrs;
    VkPipelineInputAssemblyStateCreateInfo ia{VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
    ia.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    VkPipelineViewportStateCreateInfo vp{VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
    vp.viewportCount = 1;
    vp.scissorCount = 1;
    VkPipelineRasterizationStateCreateInfo rs{VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
    rs.polygonMode = VK_POLYGON_MODE_FILL;
    rs.cullMode = s.cull;
    rs.frontFace = VK_FRONT_FACE_CLOCKWISE;
    rs.lineWidth = 1.0f;
    VkPipelineMultisampleStateCreateInfo ms{VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
    ms.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    VkPipelineColorBlendAttachmentState att{};
    att.blendEnable = s.blend ? VK_TRUE : VK_FALSE;
    att.srcColorBlendFactor = VK_BLEND_FACTOR_SRC_ALPHA;
    att.dstColorBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
    att.colorBlendOp = VK_BLEND_OP_ADD;
    att.srcAlphaBlendFactor = VK_BLEND_FACTOR_ONE;
    att.dstAlphaBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
    att.alphaBlendOp = VK_BLEND_OP_ADD;
    att.colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT |
                         VK_COLOR_COMPONENT_A_BIT;
    VkPipelineColorBlendStateCreateInfo cb{VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
    cb.attachmentCount = 1;
    cb.pAttachments = &att;
    const VkDynamicState dyn[2] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
    VkPipelineDynamicStateCreateInfo ds{VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO};
    ds.dynamicStateCount = 2;
    ds.pDynamicStates = dyn;
    VkGraphicsPipelineCreateInfo pi{VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO};
    pi.stageCount = 2;
    pi.pStages = stages;
    pi.pVertexInputState = &vin;
    pi.pInputAssemblyState = &ia;
    pi.pViewportState = &vp;
    pi.pRasterizationState = &rs;
    pi.pMultisampleState = &ms;
    pi.pColorBlendState = &cb;
    pi.pDynamicState = &ds;
    pi.layout = s.layout;
    pi.renderPass = s.pass;
    return f.vkCreateGraphicsPipelines(dev, VK_NULL_HANDLE, 1, &pi, nullptr, out) == VK_SUCCESS;
}

void frame_free(const vko_vk_fns &f, const vko_vk_device *d, vko_vk_frame *r) {
    const VkDevice dev = d->device;
    for (auto &p : r->planes) image_destroy(f, d, &p);
    buffer_destroy(f, d, &r->vtx.buffer, &r->vtx.memory);
    buffer_destroy(f, d, &r->idx.buffer, &r->idx.memory);
    buffer_destroy(f, d, &r->ubo.buffer, &r->ubo.memory);
    if (r->pipeline) f.vkDestroyPipeline(dev, r->pipeline, nullptr);
    if (r->layout) f.vkDestroyPipelineLayout(dev, r->layout, nullptr);
    if (r->pool) f.vkDestroyDescriptorPool(dev, r->pool, nullptr);  // frees the set
    if (r->set_layout) f.vkDestroyDescriptorSetLayout(dev, r->set_layout, nullptr);
    if (r->pass) f.vkDestroyRenderPass(dev, r->pass, nullptr);
    if (r->linear) f.vkDestroySampler(dev, r->linear, nullptr);
    if (r->nearest) f.vkDestroySampler(dev, r->nearest, nullptr);
    if (r->vs) f.vkDestroyShaderModule(dev, r->vs, nullptr);
    if (r->fs) f.vkDestroyShaderModule(dev, r->fs, nullptr);
    VKO_Free(r);
}

}  // namespace

void *vko_vk_create(void *device, uint8_t layer) {
    const vko_vk_device *d = static_cast<const vko_vk_device *>(device);
    if (!d || !vko_vk_load(&vko_vk_frame_loader)) return nullptr;
    const vko_vk_fns &f = vko_vk_frame_loader.fn;
    const VkDevice dev = d->device;
    vko_vk_frame *r = static_cast<vko_vk_frame *>(VKO_Alloc(1, sizeof(vko_vk_frame)));
    memset(r, 0, sizeof(*r));
    r->layer = layer;
    const VS_CONSTANT_BUFFER zero{};
    const VkDescriptorSetLayoutBinding bindings[4] = {
        {0, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr},
        {1, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr},
        {2, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr},
        {3, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr},
    };
    const VkDescriptorPoolSize sizes[2] = {{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 3},
                                           {VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1}};
    const VkVertexInputAttributeDescription attrs[2] = {{0, 0, VK_FORMAT_R32G32_SFLOAT, 0},
                                                        {1, 0, VK_FORMAT_R32G32_SFLOAT, 8}};
    VkDescriptorSetLayoutCreateInfo li{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    VkDescriptorPoolCreateInfo pi{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
    VkDescriptorSetAllocateInfo ai{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    VkPipelineLayoutCreateInfo pli{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    PipelineInfo info{};
    if (!shader_create(f, dev, spv_video_vert, sizeof(spv_video_vert), &r->vs) ||
        !shader_create(f, dev, spv_video_frag, sizeof(spv_video_frag), &r->fs))
        goto fail;
    if (!vko_vk_buffer_create(f, d, sizeof(QUAD_VERTICES), VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, &r->vtx.buffer,
                              &r->vtx.memory) ||
        !vko_vk_write_memory(f, d, r->vtx.memory, QUAD_VERTICES, sizeof(QUAD_VERTICES)))
        goto fail;
    if (!vko_vk_buffer_create(f, d, sizeof(QUAD_INDICES), VK_BUFFER_USAGE_INDEX_BUFFER_BIT, &r->idx.buffer,
                              &r->idx.memory) ||
        !vko_vk_write_memory(f, d, r->idx.memory, QUAD_INDICES, sizeof(QUAD_INDICES)))
        goto fail;
    if (!vko_vk_buffer_create(f, d, sizeof(zero), VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT, &r->ubo.buffer,
                              &r->ubo.memory) ||
        !vko_vk_write_memory(f, d, r->ubo.memory, &zero, sizeof(zero)))
        goto fail;
    if (!sampler_create(f, dev, VK_FILTER_LINEAR, VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE, &r->linear) ||
        !sampler_create(f, dev, VK_FILTER_NEAREST, VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE, &r->nearest))
        goto fail;
    if (!vko_vk_render_pass_create(
            f, dev, layer == 0 ? VK_ATTACHMENT_LOAD_OP_CLEAR : VK_ATTACHMENT_LOAD_OP_LOAD,
            layer == 0 ? VK_IMAGE_LAYOUT_UNDEFINED : VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, &r->pass))
        goto fail;
    li.bindingCount = 4;
    li.pBindings = bindings;
    if (f.vkCreateDescriptorSetLayout(dev, &li, nullptr, &r->set_layout) != VK_SUCCESS) goto fail;
    pi.maxSets = 1;
    pi.poolSizeCount = 2;
    pi.pPoolSizes = sizes;
    if (f.vkCreateDescriptorPool(dev, &pi, nullptr, &r->pool) != VK_SUCCESS) goto fail;
    ai.descriptorPool = r->pool;
    ai.descriptorSetCount = 1;
    ai.pSetLayouts = &r->set_layout;
    if (f.vkAllocateDescriptorSets(dev, &ai, &r->set) != VK_SUCCESS) goto fail;
    pli.setLayoutCount = 1;
    pli.pSetLayouts = &r->set_layout;
    if (f.vkCreatePipelineLayout(dev, &pli, nullptr, &r->layout) != VK_SUCCESS) goto fail;
    info = {r->vs, r->fs, 16, attrs, 2, VK_CULL_MODE_BACK_BIT, layer == 1, r->layout, r->pass};
    if (!pipeline_create(f, dev, info, &r->pipeline)) goto fail;
    return r;
fail:
    frame_free(f, d, r);
    vko_vk_release(&vko_vk_frame_loader);
    return nullptr;
}

void vko_vk_destroy(void **renderer, void *device) {
    if (!renderer || !*renderer) return;
    frame_free(vko_vk_frame_loader.fn, static_cast<const vko_vk_device *>(device),
               static_cast<vko_vk_frame *>(*renderer));
    *renderer = nullptr;
    vko_vk_release(&vko_vk_frame_loader);
}

bool vko_vk_render(void *renderer, void *device, void *cmd_, const void *image, const VKO_RenderDesc *desc,
                   void *framebuffer) {
    vko_vk_frame *r = static_cast<vko_vk_frame *>(renderer);
    const vko_vk_device *d = static_cast<const vko_vk_device *>(device);
    const VkCommandBuffer cmd = static_cast<VkCommandBuffer>(cmd_);
    if (!r || !d || !desc || !framebuffer) return false;
    const vko_vk_fns &f = vko_vk_frame_loader.fn;
    if (desc->format >= VKO_COLOR_FORMAT_COUNT) return false;
    if (desc->format != 0) r->last_format = desc->format;
    VkClearValue clear{};
    clear.color = {{0, 0, 0, 1}};
    VkRenderPassBeginInfo bi{VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO};
    bi.renderPass = r->pass;
    bi.framebuffer = static_cast<VkFramebuffer>(framebuffer);
    bi.renderArea = {{0, 0}, {desc->view_width, desc->view_height}};
    bi.clearValueCount = 1;
    bi.pClearValues = &clear;
    if (r->last_format == 0) {
        // Nothing to draw yet, but layer 0 still owns the whole target.
        if (r->layer == 0) {
            f.vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
            f.vkCmdEndRenderPass(cmd);
        }
        return true;
    }
    const VKO_ColorFormatInfo &fmt = vko_color_formats[r->last_format];
    // A picture with no rows or columns has nothing to upload or draw; the
    // target is still cleared below.
    const bool empty = desc->image_width == 0 || desc->image_height == 0;

    if (desc->format != 0 && !empty) {
        if (desc->shared || !image) return false;  // Vulkan takes plane memory only
        const uint32_t hdiv = desc->chroma == 0 ? 1 : 2, vdiv = desc->chroma == 2 ? 2 : 1;
        for (uint32_t p = 0; p < fmt.planes; ++p) {
            const uint32_t hd = p == 0 ? 1 : hdiv, vd = p == 0 ? 1 : vdiv;
            const uint32_t pw = desc->image_width / hd, ph = desc->image_height / vd,
                           pitch = desc->stride / hd;
            const uint32_t bpp = fmt.bytes_per_sample * (p == 1 && fmt.planes == 2 ? 2 : 1);
            uint64_t offset = 0;
            vko_gfx_plane(desc, p, &offset, nullptr, nullptr);
            // A plane the description cannot hold is never read: the upload
            // takes `ph` whole rows from the caller's memory.
            if (pw == 0 || ph == 0 || pitch < pw || desc->plane_height / vd < ph) return false;
            bool remade = false;
            const bool ok =
                vko_vk_refresh_resource(f, d, cmd, &r->planes[p], PLANE_FORMATS[desc->format][p], pitch, pw,
                                        ph, bpp, static_cast<const uint8_t *>(image) + offset, &remade);
            // A handle value is no proof of the same view: lavapipe hands a
            // freed view's address to the next one, so the set is rewritten.
            if (remade) memset(r->last_infos, 0, sizeof(r->last_infos));
            if (!ok) return false;
        }
    }

    float x, y, w, h;
    vko_gfx_viewport(desc, &x, &y, &w, &h);
    if (empty || w <= 0 || h <= 0 || !r->planes[0].view) {
        f.vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
        f.vkCmdEndRenderPass(cmd);
        return true;
    }

    VS_CONSTANT_BUFFER block{};
    block.width = float(desc->image_width);
    block.height = float(desc->image_height);
    block.vp_height = h;
    block.effects[0] = desc->effects[0];
    block.effects[1] = desc->effects[1];
    block.levels[0] = desc->levels[0];
    block.levels[1] = desc->levels[1];
    block.planes = fmt.planes;
    block.rotation = desc->rotation;
    block.conversion = (desc->full_range ? 1u : 0u) | (fmt.high_depth ? 2u : 0u) |
                       (desc->lsb_aligned ? 4u : 0u) | (fmt.yuv ? 8u : 0u);
    VkWriteDescriptorSet writes[4];
    uint32_t nwrites = 0;
    VkDescriptorBufferInfo ubo_info{r->ubo.buffer, 0, VK_WHOLE_SIZE};
    if (memcmp(&block, r->last_block, sizeof(block)) != 0) {
        if (!vko_vk_write_memory(f, d, r->ubo.memory, &block, sizeof(block))) return false;
        memcpy(r->last_block, &block, sizeof(block));
        VkWriteDescriptorSet &wr = writes[nwrites++];
        wr = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
        wr.dstSet = r->set;
        wr.dstBinding = 3;
        wr.descriptorCount = 1;
        wr.descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
        wr.pBufferInfo = &ubo_info;
    }
    VkDescriptorImageInfo infos[3];
    memset(infos, 0, sizeof(infos));  // padding too: the records are compared bytewise
    for (uint32_t b = 0; b < 3; ++b) {
        infos[b].sampler = desc->filter ? r->linear : r->nearest;
        infos[b].imageView = r->planes[b].view ? r->planes[b].view : r->planes[0].view;
        infos[b].imageLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
        if (memcmp(&infos[b], &r->last_infos[b], sizeof(infos[b])) == 0) continue;
        memcpy(&r->last_infos[b], &infos[b], sizeof(infos[b]));
        VkWriteDescriptorSet &wr = writes[nwrites++];
        wr = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
        wr.dstSet = r->set;
        wr.dstBinding = b;
        wr.descriptorCount = 1;
        wr.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
        wr.pImageInfo = &infos[b];
    }
    if (nwrites) f.vkUpdateDescriptorSets(d->device, nwrites, writes, 0, nullptr);

    f.vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
    f.vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, r->pipeline);
    const VkViewport vp{x, y, w, h, 0.0f, 1.0f};
    f.vkCmdSetViewport(cmd, 0, 1, &vp);
    const VkRect2D scissor{{0, 0}, {desc->view_width, desc->view_height}};
    f.vkCmdSetScissor(cmd, 0, 1, &scissor);
    const VkDeviceSize zero_offset = 0;
    f.vkCmdBindVertexBuffers(cmd, 0, 1, &r->vtx.buffer, &zero_offset);
    f.vkCmdBindIndexBuffer(cmd, r->idx.buffer, 0, VK_INDEX_TYPE_UINT16);
    f.vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, r->layout, 0, 1, &r->set, 0, nullptr);
    f.vkCmdDrawIndexed(cmd, 6, 1, 0, 0, 0);
    f.vkCmdEndRenderPass(cmd);
    return true;
}

bool vko_vk_clear(void *renderer, void *, void *cmd, uint32_t width, uint32_t height, float red, float green,
                  float blue, float alpha, void *framebuffer) {
    vko_vk_frame *r = static_cast<vko_vk_frame *>(renderer);
    if (!r || !framebuffer) return false;
    VkClearValue clear{};
    clear.color = {{red, green, blue, alpha}};
    VkRenderPassBeginInfo bi{VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO};
    bi.renderPass = r->pass;
    bi.framebuffer = static_cast<VkFramebuffer>(framebuffer);
    bi.renderArea = {{0, 0}, {width, height}};
    bi.clearValueCount = 1;
    bi.pClearValues = &clear;
    vko_vk_frame_loader.fn.vkCmdBeginRenderPass(static_cast<VkCommandBuffer>(cmd), &bi,
                                                VK_SUBPASS_CONTENTS_INLINE);
    vko_vk_frame_loader.fn.vkCmdEndRenderPass(static_cast<VkCommandBuffer>(cmd));
    return true;
}

// Overlay renderer

namespace {

void ui_buffer_free(const vko_vk_fns &f, const vko_vk_device *d, vko_vk_ui_buffer *b) {
    buffer_destroy(f, d, &b->buffer, &b->memory);
    VKO_Free(b->cpu);
    *b = {};
}

bool vko_vk_ui_resize_buffer(const vko_vk_fns &f, const vko_vk_device *d, vko_vk_ui_buffer *b,
                             uint32_t needed, uint32_t extra, uint32_t elem, VkBufferUsageFlags usage) {
    if (b->capacity >= needed && b->buffer) return true;
    buffer_destroy(f, d, &b->buffer, &b->memory);
    b->capacity = needed + extra;
    b->cpu = VKO_Realloc(b->cpu, b->capacity, elem);
    if (!vko_vk_buffer_create(f, d, VkDeviceSize(b->capacity) * elem, usage, &b->buffer, &b->memory)) {
        b->capacity = 0;  // the next frame tries again
        return false;
    }
    return true;
}

void ui_texture_free(const vko_vk_fns &f, const vko_vk_device *d, vko_vk_ui *ui, vko_vk_ui_texture *t) {
    if (!t) return;
    if (t->set) f.vkFreeDescriptorSets(d->device, ui->pool, 1, &t->set);
    image_destroy(f, d, &t->image);
    VKO_Free(t);
}

void ui_free(const vko_vk_fns &f, const vko_vk_device *d, vko_vk_ui *ui) {
    const VkDevice dev = d->device;
    ui_texture_free(f, d, ui, ui->default_texture);
    ui_buffer_free(f, d, &ui->vtx);
    ui_buffer_free(f, d, &ui->idx);
    if (ui->pipeline) f.vkDestroyPipeline(dev, ui->pipeline, nullptr);
    if (ui->layout) f.vkDestroyPipelineLayout(dev, ui->layout, nullptr);
    if (ui->set_layout) f.vkDestroyDescriptorSetLayout(dev, ui->set_layout, nullptr);
    if (ui->pool) f.vkDestroyDescriptorPool(dev, ui->pool, nullptr);
    if (ui->sampler) f.vkDestroySampler(dev, ui->sampler, nullptr);
    if (ui->pass_load) f.vkDestroyRenderPass(dev, ui->pass_load, nullptr);
    if (ui->pass_clear) f.vkDestroyRenderPass(dev, ui->pass_clear, nullptr);
    if (ui->vs) f.vkDestroyShaderModule(dev, ui->vs, nullptr);
    if (ui->fs) f.vkDestroyShaderModule(dev, ui->fs, nullptr);
    VKO_Free(ui);
}

}  // namespace

void *vko_vk_ui_create(void *device) {
    const vko_vk_device *d = static_cast<const vko_vk_device *>(device);
    if (!d || !vko_vk_load(&vko_vk_ui_loader)) return nullptr;
    const vko_vk_fns &f = vko_vk_ui_loader.fn;
    const VkDevice dev = d->device;
    vko_vk_ui *ui = static_cast<vko_vk_ui *>(VKO_Alloc(1, sizeof(vko_vk_ui)));
    memset(ui, 0, sizeof(*ui));
    const VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1024};
    const VkDescriptorSetLayoutBinding binding{0, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1,
                                               VK_SHADER_STAGE_FRAGMENT_BIT, nullptr};
    const VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT, 0, 16};
    const VkVertexInputAttributeDescription attrs[3] = {{0, 0, VK_FORMAT_R32G32_SFLOAT, 0},
                                                        {1, 0, VK_FORMAT_R32G32_SFLOAT, 8},
                                                        {2, 0, VK_FORMAT_R8G8B8A8_UNORM, 16}};
    VkDescriptorPoolCreateInfo pi{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
    VkDescriptorSetLayoutCreateInfo li{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    VkPipelineLayoutCreateInfo pli{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    PipelineInfo info{};
    void *zeros = nullptr;
    if (!shader_create(f, dev, spv_ui_vert, sizeof(spv_ui_vert), &ui->vs) ||
        !shader_create(f, dev, spv_ui_frag, sizeof(spv_ui_frag), &ui->fs))
        goto fail;
    if (!vko_vk_render_pass_create(f, dev, VK_ATTACHMENT_LOAD_OP_LOAD,
                                   VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, &ui->pass_load) ||
        !vko_vk_render_pass_create(f, dev, VK_ATTACHMENT_LOAD_OP_CLEAR,
                                   VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, &ui->pass_clear))
        goto fail;
    if (!sampler_create(f, dev, VK_FILTER_LINEAR, VK_SAMPLER_ADDRESS_MODE_REPEAT, &ui->sampler)) goto fail;
    pi.flags = VK_DESCRIPTOR_POOL_CREATE_FREE_DESCRIPTOR_SET_BIT;
    pi.maxSets = 1024;
    pi.poolSizeCount = 1;
    pi.pPoolSizes = &size;
    if (f.vkCreateDescriptorPool(dev, &pi, nullptr, &ui->pool) != VK_SUCCESS) goto fail;
    li.bindingCount = 1;
    li.pBindings = &binding;
    if (f.vkCreateDescriptorSetLayout(dev, &li, nullptr, &ui->set_layout) != VK_SUCCESS) goto fail;
    pli.setLayoutCount = 1;
    pli.pSetLayouts = &ui->set_layout;
    pli.pushConstantRangeCount = 1;
    pli.pPushConstantRanges = &push;
    if (f.vkCreatePipelineLayout(dev, &pli, nullptr, &ui->layout) != VK_SUCCESS) goto fail;
    info = {ui->vs, ui->fs, 20, attrs, 3, VK_CULL_MODE_NONE, true, ui->layout, ui->pass_load};
    if (!pipeline_create(f, dev, info, &ui->pipeline)) goto fail;
    zeros = VKO_Alloc(256 * 256, 4);
    memset(zeros, 0, 256 * 256 * 4);
    ui->default_texture =
        static_cast<vko_vk_ui_texture *>(vko_vk_ui_create_texture(ui, device, zeros, 256, 256));
    VKO_Free(zeros);
    if (!ui->default_texture) goto fail;
    return ui;
fail:
    ui_free(f, d, ui);
    vko_vk_release(&vko_vk_ui_loader);
    return nullptr;
}

void vko_vk_ui_destroy(void **ui, void *device) {
    if (!ui || !*ui) return;
    ui_free(vko_vk_ui_loader.fn, static_cast<const vko_vk_device *>(device), static_cast<vko_vk_ui *>(*ui));
    *ui = nullptr;
    vko_vk_release(&vko_vk_ui_loader);
}

void *vko_vk_ui_create_texture(void *ui_, void *device, const void *rgba, uint32_t width, uint32_t height) {
    vko_vk_ui *ui = static_cast<vko_vk_ui *>(ui_);
    const vko_vk_device *d = static_cast<const vko_vk_device *>(device);
    if (!ui || !d || !rgba || width == 0 || height == 0) return nullptr;
    const vko_vk_fns &f = vko_vk_ui_loader.fn;
    vko_vk_ui_texture *t = static_cast<vko_vk_ui_texture *>(VKO_Alloc(1, sizeof(vko_vk_ui_texture)));
    memset(t, 0, sizeof(*t));
    VkDescriptorSetAllocateInfo ai{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    ai.descriptorPool = ui->pool;
    ai.descriptorSetCount = 1;
    ai.pSetLayouts = &ui->set_layout;
    if (!vko_vk_image_create(f, d, VK_FORMAT_R8G8B8A8_UNORM, width, width, height, 4, &t->image) ||
        !vko_vk_write_memory(f, d, t->image.staging_memory, rgba, size_t(width) * height * 4) ||
        f.vkAllocateDescriptorSets(d->device, &ai, &t->set) != VK_SUCCESS) {
        t->set = VK_NULL_HANDLE;
        ui_texture_free(f, d, ui, t);
        return nullptr;
    }
    VkDescriptorImageInfo info{ui->sampler, t->image.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
    VkWriteDescriptorSet wr{VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
    wr.dstSet = t->set;
    wr.dstBinding = 0;
    wr.descriptorCount = 1;
    wr.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
    wr.pImageInfo = &info;
    f.vkUpdateDescriptorSets(d->device, 1, &wr, 0, nullptr);
    t->width = width;
    t->height = height;
    return t;
}

void vko_vk_ui_destroy_texture(void *ui, void **texture, void *device) {
    if (!ui || !texture || !*texture) return;
    ui_texture_free(vko_vk_ui_loader.fn, static_cast<const vko_vk_device *>(device),
                    static_cast<vko_vk_ui *>(ui), static_cast<vko_vk_ui_texture *>(*texture));
    *texture = nullptr;
}

bool vko_vk_ui_render(void *ui_, void *device, void *cmd_, const VKO_DrawData *data, void *texture_map,
                      void *framebuffer) {
    vko_vk_ui *ui = static_cast<vko_vk_ui *>(ui_);
    const vko_vk_device *d = static_cast<const vko_vk_device *>(device);
    const VkCommandBuffer cmd = static_cast<VkCommandBuffer>(cmd_);
    if (!ui || !d || !data || !framebuffer) return false;
    if (!(data->display_width > 0) || !(data->display_height > 0) || !data->lists || data->list_count == 0)
        return false;
    // The render area is the display's size in whole pixels; no framebuffer
    // is larger than this.
    if (!(data->display_width <= 65536.0f) || !(data->display_height <= 65536.0f)) return false;
    const vko_vk_fns &f = vko_vk_ui_loader.fn;
    // The lists' own counts decide what is copied, whatever the totals say.
    uint64_t nvtx = 0, nidx = 0;
    for (uint32_t l = 0; l < data->list_count; ++l) {
        nvtx += data->lists[l].vtx_count;
        nidx += data->lists[l].idx_count;
    }
    if (nvtx > UINT32_MAX / 2 || nidx > UINT32_MAX / 2) return false;
    // Lists with nothing to draw still clear the target when asked, as the
    // Direct3D rows do.
    const bool draws = nvtx && nidx;
    if (draws && (!vko_vk_ui_resize_buffer(f, d, &ui->vtx, uint32_t(nvtx), 5120, sizeof(VKO_Vtx),
                                           VK_BUFFER_USAGE_VERTEX_BUFFER_BIT) ||
                  !vko_vk_ui_resize_buffer(f, d, &ui->idx, uint32_t(nidx), 10240, sizeof(uint16_t),
                                           VK_BUFFER_USAGE_INDEX_BUFFER_BIT)))
        return false;
    VKO_Vtx *vdst = static_cast<VKO_Vtx *>(ui->vtx.cpu);
    uint16_t *idst = static_cast<uint16_t *>(ui->idx.cpu);
    for (uint32_t l = 0; draws && l < data->list_count; ++l) {
        const VKO_CmdList &cl = data->lists[l];
        if (cl.vtx_count) memcpy(vdst, cl.vtx, size_t(cl.vtx_count) * sizeof(VKO_Vtx));
        if (cl.idx_count) memcpy(idst, cl.idx, size_t(cl.idx_count) * sizeof(uint16_t));
        vdst += cl.vtx_count;
        idst += cl.idx_count;
    }
    if (draws && (!vko_vk_write_memory(f, d, ui->vtx.memory, ui->vtx.cpu, size_t(nvtx) * sizeof(VKO_Vtx)) ||
                  !vko_vk_write_memory(f, d, ui->idx.memory, ui->idx.cpu, size_t(nidx) * sizeof(uint16_t))))
        return false;

    VKO_Hash *map = static_cast<VKO_Hash *>(texture_map);
    auto texture_of = [&](uint32_t id) {
        vko_vk_ui_texture *t =
            id && map ? static_cast<vko_vk_ui_texture *>(VKO_HashGetInt(map, id)) : nullptr;
        return t ? t : ui->default_texture;
    };
    for (uint32_t l = 0; draws && l < data->list_count; ++l) {
        const VKO_CmdList &cl = data->lists[l];
        for (uint32_t c = 0; c < cl.cmd_count; ++c) {
            vko_vk_ui_texture *t = texture_of(cl.cmds[c].texture);
            if (t->uploaded) continue;
            record_upload(f, cmd, &t->image);
            t->uploaded = 1;
        }
    }

    const float W = std::nearbyint(data->display_width), H = std::nearbyint(data->display_height);
    VkClearValue clear{};
    clear.color = {{0, 0, 0, 1}};
    VkRenderPassBeginInfo bi{VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO};
    bi.renderPass = data->clear ? ui->pass_clear : ui->pass_load;
    bi.framebuffer = static_cast<VkFramebuffer>(framebuffer);
    bi.renderArea = {{0, 0}, {uint32_t(W), uint32_t(H)}};
    bi.clearValueCount = data->clear ? 1 : 0;
    bi.pClearValues = data->clear ? &clear : nullptr;
    f.vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
    if (!draws) {
        f.vkCmdEndRenderPass(cmd);
        return true;
    }
    f.vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, ui->pipeline);
    const VkViewport vp{0, 0, W, H, 0.0f, 1.0f};
    f.vkCmdSetViewport(cmd, 0, 1, &vp);
    const float push[4] = {2.0f / W, 2.0f / H, -1.0f, -1.0f};
    f.vkCmdPushConstants(cmd, ui->layout, VK_SHADER_STAGE_VERTEX_BIT, 0, sizeof(push), push);
    const VkDeviceSize zero_offset = 0;
    f.vkCmdBindVertexBuffers(cmd, 0, 1, &ui->vtx.buffer, &zero_offset);
    f.vkCmdBindIndexBuffer(cmd, ui->idx.buffer, 0, VK_INDEX_TYPE_UINT16);
    VkDescriptorSet bound = VK_NULL_HANDLE;
    uint64_t vtx_base = 0, idx_base = 0;
    for (uint32_t l = 0; l < data->list_count; ++l) {
        const VKO_CmdList &cl = data->lists[l];
        for (uint32_t c = 0; c < cl.cmd_count; ++c) {
            const VKO_Cmd &cm = cl.cmds[c];
            const float *clip = cm.clip;
            // Written so that a clip with a NaN edge is skipped too.
            if (!(clip[0] < W && clip[1] < H && clip[2] >= 0 && clip[3] >= 0)) continue;
            // Indices outside their own list would read another list's or nothing.
            if (uint64_t(cm.idx_offset) + cm.elem_count > cl.idx_count || cm.vtx_offset >= cl.vtx_count)
                continue;
            // Offsets may not be negative: a window dragged past the top-left
            // edge keeps only its visible part.
            const float left = std::max(std::nearbyint(clip[0]), 0.0f);
            const float top = std::max(std::nearbyint(clip[1]), 0.0f);
            const float right = std::min(std::nearbyint(clip[2]), W);
            const float bottom = std::min(std::nearbyint(clip[3]), H);
            if (right <= left || bottom <= top) continue;
            const VkRect2D sc{{int32_t(left), int32_t(top)},
                              {uint32_t(right - left), uint32_t(bottom - top)}};
            f.vkCmdSetScissor(cmd, 0, 1, &sc);
            vko_vk_ui_texture *t = texture_of(cm.texture);
            if (t->set != bound) {
                f.vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, ui->layout, 0, 1, &t->set, 0,
                                          nullptr);
                bound = t->set;
            }
            f.vkCmdDrawIndexed(cmd, cm.elem_count, 1, uint32_t(idx_base + cm.idx_offset),
                               int32_t(vtx_base + cm.vtx_offset), 0);
        }
        vtx_base += cl.vtx_count;
        idx_base += cl.idx_count;
    }
    f.vkCmdEndRenderPass(cmd);
    return true;
}
