#include "compat/devnode/devnode.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/json.h"
#include "platform/memory.h"

namespace {

std::mutex g_mutex;  // one writer at a time within the process
std::string g_path_override;
std::atomic<bool> g_fail{false};

std::string table_path() {
    if (!g_path_override.empty()) return g_path_override;
    return vko_machine_path("devices.json");
}

bool j_flag(const VKO_JSON *o, const char *name) {
    bool b = false;
    VKO_JSONToBool(VKO_JSONObjGetItem(o, name), &b);
    return b;
}

bool from_json(const VKO_JSON *o, DevNodeRecord *r) {
    memset(r, 0, sizeof(*r));
    const char *cls = VKO_JSONGetString(VKO_JSONObjGetItem(o, "class"));
    if (!cls) return false;
    snprintf(r->class_guid, sizeof(r->class_guid), "%s", cls);
    int32_t n = 0;
    VKO_JSONToInt(VKO_JSONObjGetItem(o, "hwid_type"), &n);
    r->hwid_type = (uint32_t)n;
    const VKO_JSON *ids = VKO_JSONObjGetItem(o, "hardware_ids");
    uint32_t len = VKO_JSONGetLength(ids);
    for (uint32_t i = 0; i < len && r->hwid_count < DEVNODE_MAX_IDS; i++) {
        const char *s = VKO_JSONGetString(VKO_JSONArrayGetItem(ids, i));
        if (s) snprintf(r->hwids[r->hwid_count++], DEVNODE_ID_SIZE, "%s", s);
    }
    r->present = j_flag(o, "present");
    r->driver_loaded = j_flag(o, "driver_loaded");
    r->started = j_flag(o, "started");
    r->has_problem = j_flag(o, "has_problem");
    n = 0;
    VKO_JSONToInt(VKO_JSONObjGetItem(o, "problem"), &n);
    r->problem = (uint32_t)n;
    return true;
}

VKO_JSON *to_json(const DevNodeRecord *r) {
    VKO_JSON *o = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(o, "class", VKO_JSONStringCreate(r->class_guid));
    VKO_JSONObjSetItem(o, "hwid_type", VKO_JSONIntCreate((int32_t)r->hwid_type));
    uint32_t count = r->hwid_count > DEVNODE_MAX_IDS ? DEVNODE_MAX_IDS : r->hwid_count;
    VKO_JSON *ids = VKO_JSONArrayCreate(count);
    for (uint32_t i = 0; i < count; i++) {
        std::string id(r->hwids[i], strnlen(r->hwids[i], DEVNODE_ID_SIZE));
        VKO_JSONArraySetItem(ids, i, VKO_JSONStringCreate(id.c_str()));
    }
    VKO_JSONObjSetItem(o, "hardware_ids", ids);
    VKO_JSONObjSetItem(o, "present", VKO_JSONBoolCreate(r->present));
    VKO_JSONObjSetItem(o, "driver_loaded", VKO_JSONBoolCreate(r->driver_loaded));
    VKO_JSONObjSetItem(o, "started", VKO_JSONBoolCreate(r->started));
    VKO_JSONObjSetItem(o, "has_problem", VKO_JSONBoolCreate(r->has_problem));
    VKO_JSONObjSetItem(o, "problem", VKO_JSONIntCreate((int32_t)r->problem));
    return o;
}

std::vector<DevNodeRecord> read_all() {
    std::vector<DevNodeRecord> out;
    VKO_JSON *doc = VKO_JSONReadFile(table_path().c_str());
    uint32_t len = VKO_JSONGetLength(doc);
    for (uint32_t i = 0; i < len; i++) {
        DevNodeRecord r;
        if (from_json(VKO_JSONArrayGetItem(doc, i), &r)) out.push_back(r);
    }
    VKO_JSONDestroy(&doc);
    return out;
}

bool write_all(const std::vector<DevNodeRecord> &all) {
    VKO_JSON *doc = VKO_JSONArrayCreate((uint32_t)all.size());
    for (uint32_t i = 0; i < all.size(); i++) VKO_JSONArraySetItem(doc, i, to_json(&all[i]));
    std::string path = table_path();
    std::string tmp = path + ".tmp";
    bool ok = VKO_JSONWriteFile(tmp.c_str(), doc) && rename(tmp.c_str(), path.c_str()) == 0;
    VKO_JSONDestroy(&doc);
    return ok;
}

bool same_device(const DevNodeRecord &a, const char *cls, const char *first) {
    return strcmp(a.class_guid, cls) == 0 && a.hwid_count > 0 && strcmp(a.hwids[0], first) == 0;
}

}  // namespace

const char *devnode_table_path(void) {
    static thread_local std::string p;
    std::lock_guard<std::mutex> g(g_mutex);
    p = table_path();
    return p.c_str();
}

void devnode_set_table_path(const char *path) {
    std::lock_guard<std::mutex> g(g_mutex);
    g_path_override = path ? path : "";
}

void devnode_fail_enumeration(bool fail) {
    g_fail.store(fail);
}

bool devnode_list(const char *class_guid, bool present_only, DevNodeRecord **out, uint32_t *count) {
    if (!class_guid || !out || !count || g_fail.load()) return false;
    std::vector<DevNodeRecord> all;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        all = read_all();
    }
    std::vector<DevNodeRecord> sel;
    for (const auto &r : all)
        if (strcmp(r.class_guid, class_guid) == 0 && (!present_only || r.present)) sel.push_back(r);
    *count = (uint32_t)sel.size();
    *out = (DevNodeRecord *)VKO_Alloc(sel.size() ? sel.size() : 1, sizeof(DevNodeRecord));
    for (size_t i = 0; i < sel.size(); i++) (*out)[i] = sel[i];
    return true;
}

void devnode_list_free(DevNodeRecord **list) {
    if (!list) return;
    VKO_Free(*list);
    *list = nullptr;
}

bool devnode_put(const DevNodeRecord *record) {
    if (!record || record->hwid_count == 0) return false;
    std::lock_guard<std::mutex> g(g_mutex);
    std::vector<DevNodeRecord> all = read_all();
    bool replaced = false;
    for (auto &r : all)
        if (same_device(r, record->class_guid, record->hwids[0])) {
            r = *record;
            replaced = true;
        }
    if (!replaced) all.push_back(*record);
    return write_all(all);
}

bool devnode_remove(const char *class_guid, const char *first_hwid) {
    if (!class_guid || !first_hwid) return false;
    std::lock_guard<std::mutex> g(g_mutex);
    std::vector<DevNodeRecord> all = read_all();
    std::vector<DevNodeRecord> keep;
    for (const auto &r : all)
        if (!same_device(r, class_guid, first_hwid)) keep.push_back(r);
    return keep.size() != all.size() && write_all(keep);
}
