#include "compat/pointer/pointer.h"

#include <atomic>

namespace {

std::atomic<const PointerApi *> g_api{nullptr};

}  // namespace

const PointerApi *pointer_api(void) {
    return g_api.load();
}

void pointer_set_api(const PointerApi *api) {
    g_api.store(api);
}

void pointer_forget_api(void) {
    g_api.store(nullptr);
}
