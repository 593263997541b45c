// Control record of the fake NVENC runtime (libnvidia-encode.so.1 in the
// fake-runtime folder): capabilities, the device-reference behaviour, and
// copies of every parameter record the encoder sent.
#pragma once

#include <ffnvcodec/nvEncodeAPI.h>

#include <map>
#include <utility>
#include <vector>

#include "support/fake_core.h"

struct FakeNvenc : FakeRuntime {
    std::vector<GUID> guids;                       // codecs offered
    std::map<std::pair<uint32_t, int>, int> caps;  // (codec GUID's first field, capsToQuery) -> value
    bool leaky = false;       // map keeps a second device reference that unmap never gives back
    bool drop_entry = false;  // the function list misses nvEncLockBitstream

    uint32_t list_version = 0;
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open = {};
    uint32_t preset_version = 0, preset_cfg_version = 0;
    GUID preset_codec = {}, preset_guid = {};
    NV_ENC_INITIALIZE_PARAMS init = {};
    NV_ENC_CONFIG config = {};  // the configuration init pointed at
    NV_ENC_CREATE_BITSTREAM_BUFFER buffer = {};
    NV_ENC_REGISTER_RESOURCE reg = {};
    NV_ENC_PIC_PARAMS pic = {};
    std::vector<NV_ENC_RECONFIGURE_PARAMS> reconfigs;
    std::vector<NV_ENC_CONFIG> reconfig_configs;
    uint32_t last_bitrate = 0;  // what the codec runs at

    void reset() { *this = FakeNvenc(); }
    FakeNvenc();
};

inline FakeNvenc::FakeNvenc() {
    guids = {{0x6BC82762, 0x4E63, 0x4CA4, {0xAA, 0x85, 0x1E, 0x50, 0xF3, 0x21, 0xF6, 0xBF}},
             {0x790CDC88, 0x4522, 0x4D7B, {0x94, 0x25, 0xBD, 0xA9, 0x97, 0x5F, 0x76, 0x03}}};
    for (uint32_t c : {0x6BC82762u, 0x790CDC88u}) {
        caps[{c, NV_ENC_CAPS_WIDTH_MAX}] = 4096;
        caps[{c, NV_ENC_CAPS_HEIGHT_MAX}] = 4096;
        caps[{c, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE}] = 1;
        caps[{c, NV_ENC_CAPS_SUPPORT_10BIT_ENCODE}] = c == 0x790CDC88u;
    }
}

#define FAKE_NVENC_FILE "libnvidia-encode.so.1"
