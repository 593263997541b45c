#include "detour_target.h"

#include <stdlib.h>

int detour_target_add(int a, int b) {
    return a + b;
}

int detour_target_add_export(int a, int b) {
    return a + b;
}

int detour_target_lazy(int a) {
    return a * 2;
}

int detour_target_unimported(int a) {
    return a - 1;
}

static int widget_present(DetourWidget *self, int value) {
    return self->base + value;
}

static uint32_t widget_release(DetourWidget *self) {
    free(self);
    return 0;
}

static const DetourWidgetVtbl widget_vtbl = {widget_present, widget_release};

DetourWidget *detour_widget_create(int base) {
    DetourWidget *w = (DetourWidget *)calloc(1, sizeof(DetourWidget));
    if (!w) return NULL;
    w->lpVtbl = &widget_vtbl;
    w->base = base;
    return w;
}
