// A small shared library whose functions and method table the code-patching
// tests hook: the test binary calls them through its import slots.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int detour_target_add(int a, int b);
// Another export leading to the same sum, as one library's export forwards
// to another's.
int detour_target_add_export(int a, int b);
// Called by nobody before the test attaches to it (its import slot may still
// be unbound).
int detour_target_lazy(int a);
// Exported, but nothing imports it: the tests look it up by name.
int detour_target_unimported(int a);

// A COM-like object: the first field points to its method table.
typedef struct DetourWidget DetourWidget;
typedef struct DetourWidgetVtbl {
    int (*Present)(DetourWidget *self, int value);
    uint32_t (*Release)(DetourWidget *self);
} DetourWidgetVtbl;
struct DetourWidget {
    const DetourWidgetVtbl *lpVtbl;
    int base;
};
DetourWidget *detour_widget_create(int base);

#ifdef __cplusplus
}
#endif
