#include "app/frame.h"

#include "app/context.h"
#include "util/clipboard.h"

namespace {

const AppShellHooks *hooks(void *ctx) {
    return ctx ? ((AppContext *)ctx)->shell_hooks : nullptr;
}

}  // namespace

void app_set_hooks(AppContext *ctx, const AppShellHooks *h) {
    if (ctx) ctx->shell_hooks = h;
}

void app_request_quit(AppContext *ctx) {
    if (ctx) ctx->quit = true;
}

bool app_frame(void *opaque) {
    auto *ctx = (AppContext *)opaque;
    if (!ctx) return false;
    ctx->frames++;
    const char *text = clipboard_take_text_ui();
    const AppShellHooks *h = hooks(ctx);
    if (text && h && h->on_clipboard) h->on_clipboard(ctx, text);
    clipboard_poll();  // the bridge's own step when its listener has no timer
    return !ctx->quit;
}

void app_event(const VKO_Event *event, void *opaque) {
    // Type 0 comes from the web view's hotkey release and means nothing.
    if (!event || event->type == VKO_EVENT_NONE) return;
    const AppShellHooks *h = hooks(opaque);
    if (h && h->on_event) h->on_event((AppContext *)opaque, event);
}

intptr_t app_message_hook(VKO_App *, int32_t window, void *, uint32_t message, uintptr_t wparam, intptr_t,
                          bool *handled, void *opaque) {
    if (!handled) return 0;
    *handled = false;
    const AppShellHooks *h = hooks(opaque);
    if (h && h->on_message) *handled = h->on_message((AppContext *)opaque, window, message, wparam);
    return 0;
}

bool app_tray_checked(void *opaque) {
    const AppShellHooks *h = hooks(opaque);
    return h && h->tray_checked && h->tray_checked((AppContext *)opaque);
}
