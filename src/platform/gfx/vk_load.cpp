#include "platform/gfx/vk_load.h"

#include "platform/file.h"
#include "platform/thread.h"

vko_vk_loader vko_vk_ctx_loader;
vko_vk_loader vko_vk_frame_loader;
vko_vk_loader vko_vk_ui_loader;

static const char *const VK_NAMES[] = {
#define VKO_VK_NAME(name) #name,
    VKO_VK_FUNCS(VKO_VK_NAME)
#undef VKO_VK_NAME
};
static_assert(sizeof(VK_NAMES) / sizeof(VK_NAMES[0]) == VKO_VK_FUNC_COUNT);
static_assert(VKO_VK_FUNC_COUNT == 76);

bool vko_vk_load(vko_vk_loader *l) {
    VKO_GlobalLock(&l->lock);
    if (l->refs == 0) {
        void *so = VKO_SOLoad("vulkan-1.dll");
        if (!so) {
            VKO_GlobalUnlock(&l->lock);
            return false;
        }
        void **slots = reinterpret_cast<void **>(&l->fn);
        for (uint32_t i = 0; i < VKO_VK_FUNC_COUNT; ++i) {
            slots[i] = VKO_SOGetSymbol(so, VK_NAMES[i]);
            if (!slots[i]) {
                VKO_SOUnload(&so);
                l->fn = {};
                VKO_GlobalUnlock(&l->lock);
                return false;
            }
        }
        l->module = so;
    }
    l->refs++;
    VKO_GlobalUnlock(&l->lock);
    return true;
}

void vko_vk_release(vko_vk_loader *l) {
    VKO_GlobalLock(&l->lock);
    if (l->refs != 0 && --l->refs == 0) {
        VKO_SOUnload(&l->module);
        l->fn = {};
    }
    VKO_GlobalUnlock(&l->lock);
}
