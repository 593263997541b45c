#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <dlfcn.h>
#include <sys/wait.h>

#include "app/shell.h"
#include "platform/file.h"
#include "support/child.h"

namespace {

// Kept out of line so it is a frame of its own in the crash.
__attribute__((noinline)) void crash_here(volatile int *p) {
    *p = 42;
    __asm__ volatile("" ::: "memory");
}

// Read through a volatile so the compiler cannot see the bad address.
volatile uintptr_t bad_address = 16;

__attribute__((noinline)) void crash_outer() {
    crash_here((volatile int *)bad_address);
    __asm__ volatile("" ::: "memory");  // no tail call: this frame must stay on the stack
}

}  // namespace

TEST(ShellTest, CrashFramesHaveModuleAndOffset) {
    int status = 0;
    std::string report = run_child(
        [] {
            VKO_SetCrashFunc(crash_callback, nullptr);
            crash_outer();
        },
        &status);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    // Where crash_outer sits in this executable.
    Dl_info info = {};
    ASSERT_NE(dladdr((void *)&crash_outer, &info), 0);
    uintptr_t outer = (uintptr_t)(void *)&crash_outer - (uintptr_t)info.dli_fbase;
    std::string exe = info.dli_fname;

    // "crash frame N: <module>+0x<offset>" for each frame
    bool in_lib = false, in_outer = false;
    size_t i = 0, at = 0;
    for (; at < report.size(); i++) {
        size_t end = report.find('\n', at);
        std::string line = report.substr(at, end - at);
        at = end == std::string::npos ? report.size() : end + 1;

        std::string prefix = "crash frame " + std::to_string(i) + ": ";
        size_t plus = line.rfind("+0x");
        ASSERT_TRUE(line.rfind(prefix, 0) == 0 && plus != std::string::npos) << line;
        std::string module = line.substr(prefix.size(), plus - prefix.size());
        uintptr_t offset = std::stoull(line.substr(plus + 3), nullptr, 16);
        in_lib |= module.find("libzarvek.so") != std::string::npos;
        // The return address into crash_outer lies a few bytes past its start.
        in_outer |= module == exe && offset > outer && offset < outer + 64;
    }
    EXPECT_TRUE(i >= 3 && i <= CRASH_FRAMES_MAX) << report;
    EXPECT_TRUE(in_lib) << report;
    EXPECT_TRUE(in_outer) << report << "crash_outer at +0x" << std::hex << outer;

    // A termination request captures nothing.
    crash_callback(true, nullptr);
    EXPECT_EQ(crash_record()->count, 0u);
}
