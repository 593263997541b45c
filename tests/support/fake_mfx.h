// Control record of the fake Media SDK dispatcher (libmfx.so.1 in the
// fake-runtime folder): version, platform, what the encoder query accepts,
// surface locking and encode-status scripts, and copies of every parameter
// record the encoder sent.
#pragma once

#include <mfx/mfxvideo.h>

#include <deque>
#include <map>

#include "support/fake_core.h"

struct FakeMfx : FakeRuntime {
    // A parameter record with copies of its coding-option buffers.
    struct Params {
        mfxVideoParam vp = {};
        std::vector<uint32_t> ext_ids;
        mfxExtCodingOption cdop = {};
        mfxExtCodingOption2 cdo2 = {};
        mfxExtCodingOption3 cdo3 = {};
    };

    mfxVersion version = {{35, 1}};
    mfxU16 code_name = 30;
    std::map<uint32_t, mfxStatus> hevc_query;  // FourCC -> status for H.265 queries (default 0)
    mfxU16 surfaces = 3;                       // NumFrameSuggested
    bool hold_surfaces = false;                // surfaces stay locked after encoding
    std::deque<mfxStatus> encode_script;       // statuses EncodeFrameAsync answers before encoding
    uint32_t claimed_size = 0;                 // > 0: the bitstream reports this length

    std::vector<mfxIMPL> impls;
    std::vector<mfxVersion> versions;
    std::vector<mfxPriority> priorities;
    mfxHandleType handle_type = (mfxHandleType)0;
    mfxHDL handle = nullptr;
    std::vector<Params> queries;  // every MFXVideoENCODE_Query input
    Params init, io_surf;
    std::vector<Params> resets;
    uint32_t get_hdl_calls = 0;

    void reset() { *this = FakeMfx(); }
};

#define FAKE_MFX_FILE "libmfx.so.1"
