// The heap blocks asked for while a watch is open (how many, the largest),
// seen through the sanitizer's allocation hooks (every thread). Without a sanitizer nothing
// is seen: available() is false and tests skip that check.
#pragma once

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));
#define ZARVEK_ALLOC_HOOKS 1
#endif

inline std::atomic<bool> g_alloc_watching{false};
inline std::atomic<size_t> g_alloc_largest{0};
inline std::atomic<size_t> g_alloc_count{0};

class AllocWatch {
   public:
    AllocWatch() {
        install();
        g_alloc_largest.store(0);
        g_alloc_count.store(0);
        g_alloc_watching.store(true);
    }
    ~AllocWatch() { g_alloc_watching.store(false); }
    AllocWatch(const AllocWatch &) = delete;
    AllocWatch &operator=(const AllocWatch &) = delete;

    size_t largest_block() const { return g_alloc_largest.load(); }
    size_t blocks() const { return g_alloc_count.load(); }
    static bool available() {
#ifdef ZARVEK_ALLOC_HOOKS
        return true;
#else
        return false;
#endif
    }

   private:
    static void on_malloc(const volatile void *, size_t n) {
        if (!g_alloc_watching.load(std::memory_order_relaxed)) return;
        g_alloc_count.fetch_add(1, std::memory_order_relaxed);
        size_t cur = g_alloc_largest.load(std::memory_order_relaxed);
        while (n > cur && !g_alloc_largest.compare_exchange_weak(cur, n)) {
        }
    }
    static void on_free(const volatile void *) {}
    static void install() {
#ifdef ZARVEK_ALLOC_HOOKS
        static const int once = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
        (void)once;
#endif
    }
};
