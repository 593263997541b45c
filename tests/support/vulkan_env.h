// Vulkan in tests: Mesa's CPU device chosen explicitly, so the device does not
// depend on what else the machine has.
#pragma once

// Sets the device choice for the process. Also holds the CPU device's module
// loaded for the whole process: it keeps a few allocations in its own statics,
// which stay reachable instead of being reported as leaks of an unloaded
// module each time the last Vulkan instance goes.
void vulkan_test_env();
