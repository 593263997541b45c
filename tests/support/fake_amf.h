// Control record of the fake AMF runtime (libamfrt64.so.1 in the
// fake-runtime folder): component capabilities, properties it refuses, how
// long output takes, and the journal of every property the encoder set.
#pragma once

#include <map>
#include <optional>

#include "host/amf_iface.h"
#include "support/fake_core.h"

struct FakeAmf : FakeRuntime {
    struct Prop {
        std::string name;
        AMF_VARIANT_TYPE type;
        int64_t value;  // int64 and bool values; size and rate as (a << 32 | b)
        bool operator==(const Prop &o) const { return name == o.name && type == o.type && value == o.value; }
    };
    struct Caps {
        int32_t accel = AMF_ACCEL_HARDWARE;
        int32_t max_width = 4096, max_height = 2304;
    };
    uint64_t version = 0x0001000400000000ull;
    std::map<std::string, Caps> caps = {{"AMFVideoEncoderVCE_AVC", {}}, {"AMFVideoEncoderHW_HEVC", {}}};
    std::map<std::string, std::optional<int64_t>> refuse;  // property -> refused value (none: any)
    uint32_t repeats = 0;       // QueryOutput answers AMF_REPEAT this often before each output
    bool never_output = false;  // QueryOutput never has output

    uint64_t init_version = 0;
    void *dx11_device = nullptr;
    int32_t dx_version = 0;
    std::vector<std::string> components;  // every component created, by name
    std::vector<Prop> props;              // every component property set, in order
    std::vector<Prop> frame_props;        // properties set on submitted frames
    int32_t init_format = 0, init_width = 0, init_height = 0;
    uint32_t polls = 0;

    void reset() { *this = FakeAmf(); }
};

#define FAKE_AMF_FILE "libamfrt64.so.1"
