#include "host/host_config.h"

#include <cstdio>

#include "platform/json.h"
#include "util/config.h"

char *host_config_to_json(const HostConfig *config, int32_t host_os) {
    VKO_JSON *root = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(root, "virtualTablet", VKO_JSONIntCreate(config->virtual_tablet));
    VKO_JSONObjSetItem(root, "virtualMicrophone", VKO_JSONIntCreate(config->virtual_microphone));
    VKO_JSON *video = VKO_JSONArrayCreate(3);
    for (uint32_t i = 0; i < 3; i++) {
        const HostVideoConfig &v = config->video[i];
        VKO_JSON *o = VKO_JSONObjCreate();
        char output[sizeof(v.output)];
        snprintf(output, sizeof(output), "%.*s", (int)sizeof(v.output) - 1, v.output);
        VKO_JSONObjSetItem(o, "output", VKO_JSONStringCreate(output));
        VKO_JSONObjSetItem(o, "encoderMaxBitrate", VKO_JSONIntCreate(v.encoderMaxBitrate));
        VKO_JSONObjSetItem(o, "encoderFPS", VKO_JSONIntCreate(v.encoderFPS));
        VKO_JSONObjSetItem(o, "resolutionX", VKO_JSONIntCreate(v.resolutionX));
        VKO_JSONObjSetItem(o, "resolutionY", VKO_JSONIntCreate(v.resolutionY));
        VKO_JSONObjSetItem(o, "rotated", VKO_JSONBoolCreate(v.rotated));
        VKO_JSONObjSetItem(o, "fullFPS", VKO_JSONBoolCreate(v.fullFPS));
        VKO_JSONObjSetItem(o, "hostOS", VKO_JSONIntCreate(host_os));
        VKO_JSONArraySetItem(video, i, o);
    }
    VKO_JSONObjSetItem(root, "video", video);
    char *text = VKO_JSONSerialize(root);
    VKO_JSONDestroy(&root);
    return text;
}

namespace {

int32_t int_or(const VKO_JSON *obj, const char *key, int32_t fallback) {
    int32_t v;
    return VKO_JSONToInt(VKO_JSONObjGetItem(obj, key), &v) ? v : fallback;
}

// One stream entry; false when a required key is missing.
bool read_video(const VKO_JSON *o, HostVideoConfig *v, int32_t *host_os) {
    const char *output = VKO_JSONGetString(VKO_JSONObjGetItem(o, "output"));
    int32_t bitrate, x, y;
    bool full;
    if (!output || !VKO_JSONToInt(VKO_JSONObjGetItem(o, "encoderMaxBitrate"), &bitrate) ||
        !VKO_JSONToInt(VKO_JSONObjGetItem(o, "resolutionX"), &x) ||
        !VKO_JSONToInt(VKO_JSONObjGetItem(o, "resolutionY"), &y) ||
        !VKO_JSONToBool(VKO_JSONObjGetItem(o, "fullFPS"), &full))
        return false;
    // Longer names are cut so the field keeps its terminator.
    snprintf(v->output, sizeof(v->output), "%s", output);
    v->encoderMaxBitrate = bitrate;
    v->resolutionX = x;
    v->resolutionY = y;
    v->fullFPS = full;
    v->encoderFPS = int_or(o, "encoderFPS", 60);
    bool rotated = false;
    VKO_JSONToBool(VKO_JSONObjGetItem(o, "rotated"), &rotated);
    v->rotated = rotated;
    if (host_os) *host_os = int_or(o, "hostOS", 0);
    return true;
}

}  // namespace

void host_config_from_json(HostConfig *out, const char *text, const HostConfig *base, int32_t *host_os) {
    HostConfig start;
    if (base)
        start = *base;
    else
        config_host_defaults(&start);
    *out = start;
    VKO_JSON *root = text ? VKO_JSONParse(text) : nullptr;
    if (!root) return;
    HostConfig work = start;
    int32_t os = host_os ? *host_os : 0;
    work.virtual_tablet = int_or(root, "virtualTablet", 0);
    work.virtual_microphone = int_or(root, "virtualMicrophone", 0);
    const VKO_JSON *video = VKO_JSONObjGetItem(root, "video");
    bool ok = video && video->type == VKO_JSON_TYPE_ARRAY;
    uint32_t n = ok ? VKO_JSONGetLength(video) : 0;
    for (uint32_t i = 0; ok && i < n && i < 3; i++) {
        const VKO_JSON *o = VKO_JSONArrayGetItem(video, i);
        ok = o && read_video(o, &work.video[i], host_os ? &os : nullptr);
    }
    VKO_JSONDestroy(&root);
    if (!ok) return;
    *out = work;
    if (host_os) *host_os = os;
}
