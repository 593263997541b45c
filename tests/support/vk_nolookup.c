// A stand-in Vulkan loader whose lookup finds nothing, so every function must
// come from the application's own lookup.
#include <stddef.h>

void *vkGetInstanceProcAddr(void *instance, const char *name) {
    (void)instance;
    (void)name;
    return NULL;
}
