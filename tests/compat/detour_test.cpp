#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <dlfcn.h>

#include "compat/detour/detour.h"
#include "support/detour_target.h"

namespace {

void *g_add_real = nullptr;
std::atomic<int> g_add_calls{0};

int add_detour(int a, int b) {
    g_add_calls++;
    return ((int (*)(int, int))g_add_real)(a, b) * 10;
}

void *g_lazy_real = nullptr;
int lazy_detour(int a) {
    return ((int (*)(int))g_lazy_real)(a) + 1000;
}

void *g_present_real = nullptr;
int present_detour(DetourWidget *self, int value) {
    return ((int (*)(DetourWidget *, int))g_present_real)(self, value) * -1;
}

int32_t attach(void **slot, void *detour) {
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourAttach(slot, detour);
    int32_t r = DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    return r;
}

int32_t detach(void **slot, void *detour) {
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourDetach(slot, detour);
    int32_t r = DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    return r;
}

}  // namespace

TEST(Detour, TransactionOwnership) {
    ASSERT_EQ(DetourTransactionBegin(), 0);
    EXPECT_EQ(DetourTransactionBegin(), DETOUR_ERROR_INVALID_OPERATION);  // one pending per process

    int32_t other_begin = 0, other_commit = 0, other_attach = 0, other_update = 0;
    std::thread t([&] {
        other_begin = DetourTransactionBegin();
        other_update = DetourUpdateThread(pthread_self());
        void *p = (void *)&detour_target_add;
        other_attach = DetourAttach(&p, (void *)add_detour);
        other_commit = DetourTransactionCommit();
    });
    t.join();
    EXPECT_EQ(other_begin, DETOUR_ERROR_INVALID_OPERATION);
    EXPECT_EQ(other_update, DETOUR_ERROR_INVALID_OPERATION);
    EXPECT_EQ(other_attach, DETOUR_ERROR_INVALID_OPERATION);
    EXPECT_EQ(other_commit, DETOUR_ERROR_INVALID_OPERATION);

    // The owner's transaction is still pending and commits.
    EXPECT_EQ(DetourUpdateThread(pthread_self()), 0);
    EXPECT_EQ(DetourTransactionCommit(), 0);
    EXPECT_EQ(DetourTransactionCommit(), DETOUR_ERROR_INVALID_OPERATION);  // none pending now
    void *p = (void *)&detour_target_add;
    EXPECT_EQ(DetourAttach(&p, (void *)add_detour), DETOUR_ERROR_INVALID_OPERATION);
    EXPECT_EQ(DetourDetach(&p, (void *)add_detour), DETOUR_ERROR_INVALID_OPERATION);
}

TEST(Detour, FailedRequestMakesCommitChangeNothing) {
    g_add_real = (void *)&detour_target_add;
    void *none = nullptr;
    ASSERT_EQ(DetourTransactionBegin(), 0);
    EXPECT_EQ(DetourAttach(&g_add_real, (void *)add_detour), 0);
    EXPECT_EQ(DetourAttach(&none, (void *)lazy_detour), DETOUR_ERROR_INVALID_HANDLE);
    EXPECT_EQ(DetourTransactionCommit(), DETOUR_ERROR_INVALID_HANDLE);
    EXPECT_EQ(detour_target_add(2, 3), 5);
    EXPECT_EQ(detour_patched_slots((void *)&detour_target_add), 0u);

    // Detaching what is not attached.
    ASSERT_EQ(DetourTransactionBegin(), 0);
    EXPECT_EQ(DetourDetach(&g_add_real, (void *)add_detour), DETOUR_ERROR_INVALID_BLOCK);
    EXPECT_EQ(DetourTransactionCommit(), DETOUR_ERROR_INVALID_BLOCK);

    // A function nothing imports has no slot to redirect.
    void *unimported = dlsym(RTLD_DEFAULT, "detour_target_unimported");
    ASSERT_NE(unimported, nullptr);
    EXPECT_EQ(attach(&unimported, (void *)lazy_detour), DETOUR_ERROR_INVALID_BLOCK);
    EXPECT_EQ(((int (*)(int))unimported)(5), 4);
}

TEST(Detour, AttachRedirectsImportsAndTrampolineReachesOriginal) {
    void *original = (void *)&detour_target_add;
    g_add_real = original;
    g_add_calls = 0;
    ASSERT_EQ(attach(&g_add_real, (void *)add_detour), 0);
    EXPECT_EQ(g_add_real, original);  // the trampoline is the original function
    EXPECT_GE(detour_patched_slots(original), 1u);
    EXPECT_EQ(detour_target_add(2, 3), 50);
    EXPECT_EQ(g_add_calls.load(), 1);
    // A pointer taken before the attach is the trampoline too.
    EXPECT_EQ(((int (*)(int, int))original)(2, 3), 5);

    // A second hook on the same function is refused and changes nothing.
    void *again = original;
    EXPECT_EQ(attach(&again, (void *)lazy_detour), DETOUR_ERROR_INVALID_OPERATION);
    EXPECT_EQ(detour_target_add(1, 1), 20);

    ASSERT_EQ(detach(&g_add_real, (void *)add_detour), 0);
    EXPECT_EQ(g_add_real, original);
    EXPECT_EQ(detour_target_add(2, 3), 5);
    EXPECT_EQ(g_add_calls.load(), 2);
    EXPECT_EQ(detour_patched_slots(original), 0u);
    // The slot is free again.
    EXPECT_EQ(detach(&g_add_real, (void *)add_detour), DETOUR_ERROR_INVALID_BLOCK);
}

// The slots holding an alias of the target are redirected with it; the
// trampoline stays the target; a target that is another hook's alias is
// refused.
TEST(Detour, AliasSlotsAreRedirectedWithTheTarget) {
    // By name: once the slots are redirected, the address this binary takes
    // of either function is the detour's.
    void *original = dlsym(RTLD_DEFAULT, "detour_target_add");
    void *alias = dlsym(RTLD_DEFAULT, "detour_target_add_export");
    ASSERT_NE(original, nullptr);
    ASSERT_NE(alias, nullptr);
    EXPECT_EQ(detour_target_add_export(2, 3), 5);
    g_add_real = original;
    VKO_RWLockWriter(detour_patch_lock());
    ASSERT_EQ(DetourTransactionBegin(), 0);
    DetourUpdateThread(pthread_self());
    EXPECT_EQ(DetourAttach(&g_add_real, (void *)add_detour), 0);
    void *unknown = nullptr;  // no attach requested on it
    EXPECT_EQ(DetourAttachAlias(&unknown, alias), DETOUR_ERROR_INVALID_BLOCK);
    EXPECT_EQ(DetourTransactionCommit(), DETOUR_ERROR_INVALID_BLOCK);  // nothing changed
    EXPECT_EQ(detour_target_add(2, 3), 5);
    ASSERT_EQ(DetourTransactionBegin(), 0);
    DetourUpdateThread(pthread_self());
    EXPECT_EQ(DetourAttach(&g_add_real, (void *)add_detour), 0);
    EXPECT_EQ(DetourAttachAlias(&g_add_real, alias), 0);
    EXPECT_EQ(DetourTransactionCommit(), 0);
    VKO_RWLockUnlock(detour_patch_lock());
    EXPECT_EQ(g_add_real, original);
    EXPECT_EQ(detour_target_add(2, 3), 50);
    EXPECT_EQ(detour_target_add_export(2, 3), 50);
    void **slots[8];
    EXPECT_EQ(detour_hook_slots(original, slots, 8), detour_patched_slots(original));
    EXPECT_GE(detour_patched_slots(original), 2u);
    void *again = alias;
    EXPECT_EQ(attach(&again, (void *)lazy_detour), DETOUR_ERROR_INVALID_OPERATION);
    ASSERT_EQ(detach(&g_add_real, (void *)add_detour), 0);
    EXPECT_EQ(detour_target_add(2, 3), 5);
    EXPECT_EQ(detour_target_add_export(2, 3), 5);
}

TEST(Detour, LazyImportSlotIsRedirectedAndRestored) {
    g_lazy_real = dlsym(RTLD_DEFAULT, "detour_target_lazy");
    ASSERT_NE(g_lazy_real, nullptr);
    ASSERT_EQ(attach(&g_lazy_real, (void *)lazy_detour), 0);
    EXPECT_EQ(detour_target_lazy(4), 1008);
    ASSERT_EQ(detach(&g_lazy_real, (void *)lazy_detour), 0);
    EXPECT_EQ(detour_target_lazy(4), 8);
}

TEST(Detour, MethodTableSlot) {
    DetourWidget *w = detour_widget_create(100);
    ASSERT_NE(w, nullptr);
    g_present_real = detour_method(w, 0);
    void *original = g_present_real;
    ASSERT_EQ(w->lpVtbl->Present(w, 5), 105);
    ASSERT_EQ(attach(&g_present_real, (void *)present_detour), 0);
    EXPECT_EQ(w->lpVtbl->Present(w, 5), -105);
    // Every object sharing the table is hooked; the method table stays read-only memory.
    DetourWidget *w2 = detour_widget_create(1);
    EXPECT_EQ(w2->lpVtbl->Present(w2, 1), -2);
    ASSERT_EQ(detach(&g_present_real, (void *)present_detour), 0);
    EXPECT_EQ(g_present_real, original);
    EXPECT_EQ(w->lpVtbl->Present(w, 5), 105);
    w->lpVtbl->Release(w);
    w2->lpVtbl->Release(w2);
}

// Another thread calls the function through its import slot while hooks come
// and go: every call lands in the original or in the detour, never elsewhere.
TEST(Detour, CallsDuringCommitLandEitherSide) {
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, calls{0};
    g_add_real = (void *)&detour_target_add;
    std::thread caller([&] {
        while (!stop.load()) {
            int r = detour_target_add(3, 4);
            if (r != 7 && r != 70) bad++;
            calls++;
        }
    });
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(attach(&g_add_real, (void *)add_detour), 0);
        EXPECT_EQ(detour_target_add(3, 4), 70);
        ASSERT_EQ(detach(&g_add_real, (void *)add_detour), 0);
        EXPECT_EQ(detour_target_add(3, 4), 7);
    }
    while (calls.load() < 100) std::this_thread::yield();
    stop = true;
    caller.join();
    EXPECT_EQ(bad.load(), 0);
}
