// The shell's functions handed to the app object: the frame function called
// once per loop pass, the event function, the message hook and the tray
// items' check function. All run on the app thread with the application
// context as their opaque pointer.
#pragma once

#include <cstdint>

#include "platform/app.h"

struct AppContext;

// What the shell does with events and messages once they reach it; each may
// be NULL.
struct AppShellHooks {
    void (*on_event)(AppContext *ctx, const VKO_Event *event);
    // True takes the message.
    bool (*on_message)(AppContext *ctx, int32_t window, uint32_t message, uintptr_t wparam);
    // New clipboard text, as the clipboard bridge's second consumer takes it.
    void (*on_clipboard)(AppContext *ctx, const char *text);
    bool (*tray_checked)(AppContext *ctx);
};

void app_set_hooks(AppContext *ctx, const AppShellHooks *hooks);
// Ends the run loop after the current pass.
void app_request_quit(AppContext *ctx);

bool app_frame(void *ctx);
void app_event(const VKO_Event *event, void *ctx);
intptr_t app_message_hook(VKO_App *app, int32_t window, void *native, uint32_t message, uintptr_t wparam,
                          intptr_t lparam, bool *handled, void *ctx);
bool app_tray_checked(void *ctx);
