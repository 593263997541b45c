// What the present and audio hook modules share about their trampoline
// slots and states. A slot is filled by an attach under the patch lock and
// emptied only after the removal detached it and waited; detours read it
// with acquire while the removal may empty it with release.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compat/detour/detour.h"
#include "host/present_hooks.h"
#include "platform/memory.h"
#include "platform/thread.h"

inline void *hook_load_slot(void **slot) {
    return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}

inline void hook_clear_slot(void **slot) {
    __atomic_store_n(slot, nullptr, __ATOMIC_RELEASE);
}

// Index in the method table of a virtual member function (the Itanium ABI
// stores 1 + the table offset in a pointer to a virtual member).
template <typename F>
uint32_t hook_method_index(F pmf) {
    struct {
        uintptr_t ptr;
        ptrdiff_t adj;
    } rep;
    static_assert(sizeof(pmf) == sizeof(rep));
    std::memcpy(&rep, &pmf, sizeof(rep));
    return (uint32_t)((rep.ptr - 1) / sizeof(void *));
}

// One transaction under the patch lock attaching each (slot, detour) pair
// whose slot holds its target; the slots of a failed commit are emptied.
inline int32_t hook_attach_all(void **const *slots, void *const *detours, size_t n) {
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    for (size_t i = 0; i < n; i++)
        if (*slots[i]) DetourAttach(slots[i], detours[i]);
    int32_t r = DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    if (r != 0)
        for (size_t i = 0; i < n; i++) hook_clear_slot(slots[i]);
    return r;
}

// A zeroed graphics hook state with its mutex and callbacks.
template <typename T>
T *hook_state_new(HookFrameCallback on_frame, HookErrorCallback on_error, void *opaque) {
    T *s = (T *)VKO_Alloc(1, sizeof(T));
    s->mutex = VKO_MutexCreate();
    s->on_frame = on_frame;
    s->on_error = on_error;
    s->opaque = opaque;
    return s;
}
