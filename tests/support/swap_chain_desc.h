// The swap-chain description the Direct3D tests make their chains with: two
// BGRA buffers, stretched, flip-discard.
#pragma once

#include <cstdint>

#include "compat/d3d/dxgi.h"

inline DXGI_SWAP_CHAIN_DESC1 flip_chain_desc(uint32_t width, uint32_t height, uint32_t flags = 0) {
    return {width,
            height,
            DXGI_FORMAT_B8G8R8A8_UNORM,
            0,
            {1, 0},
            DXGI_USAGE_RENDER_TARGET_OUTPUT,
            2,
            DXGI_SCALING_STRETCH,
            DXGI_SWAP_EFFECT_FLIP_DISCARD,
            DXGI_ALPHA_MODE_UNSPECIFIED,
            flags};
}
