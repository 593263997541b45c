#version 450
// Samples one decoded picture (one, two or three planes), converts YUV to RGB
// with BT.709, and applies the sharpen (before sampling) and scanline (after
// conversion) effects. The constant block is shared with the other renderers.
layout(set = 0, binding = 0) uniform sampler2D plane0;
layout(set = 0, binding = 1) uniform sampler2D plane1;
layout(set = 0, binding = 2) uniform sampler2D plane2;
layout(std140, set = 0, binding = 3) uniform VS_CONSTANT_BUFFER {
    float width;
    float height;
    float vp_height;
    float pad0;
    uvec4 effects;
    vec4 levels;
    uint planes;
    uint rotation;
    uint conversion;
    uint pad1;
} cb;
layout(location = 0) in vec2 v_uv;
layout(location = 0) out vec4 out_color;

const uint FULL_RANGE = 1u;
const uint HIGH_DEPTH = 2u;
const uint LSB_ALIGNED = 4u;
const uint YUV = 8u;

vec2 rotate(vec2 uv) {
    if (cb.rotation == 1u) return vec2(uv.y, 1.0 - uv.x);
    if (cb.rotation == 2u) return vec2(1.0 - uv.x, 1.0 - uv.y);
    if (cb.rotation == 3u) return vec2(1.0 - uv.y, uv.x);
    return uv;
}

vec2 sharpen(vec2 uv, float level) {
    vec2 size = vec2(cb.width, cb.height);
    vec2 p = uv * size;
    vec2 c = floor(p) + 0.5;
    vec2 d = p - c;
    vec2 d2 = level >= 0.5 ? 16.0 * d * d * d * d * d : 4.0 * d * d * d;
    return (c + d2) / size;
}

vec4 sample_rgba(vec2 uv) {
    vec4 s = texture(plane0, uv);
    if (cb.planes == 2u) return vec4(s.r, texture(plane1, uv).rg, 1.0);
    if (cb.planes == 3u) return vec4(s.r, texture(plane1, uv).r, texture(plane2, uv).r, 1.0);
    // One YUV plane: Y first, U and V after; high-depth samples keep U before Y.
    if ((cb.conversion & YUV) != 0u) return (cb.conversion & HIGH_DEPTH) != 0u ? vec4(s.g, s.r, s.b, 1.0) : s;
    return s;
}

vec4 yuv_to_rgba(vec3 yuv) {
    if ((cb.conversion & LSB_ALIGNED) != 0u) yuv *= 64.0;
    bool hd = (cb.conversion & HIGH_DEPTH) != 0u;
    float y = yuv.x, u = yuv.y, v = yuv.z;
    if ((cb.conversion & FULL_RANGE) != 0u) {
        float off = hd ? 0.500489 : 0.501961;
        u -= off;
        v -= off;
    } else if (hd) {
        y = y * 1.16781 - 0.0730594;
        u = u * 1.14174 - 0.571429;
        v = v * 1.14174 - 0.571429;
    } else {
        y = y * 1.16438 - 0.0730594;
        u = u * 1.13839 - 0.571429;
        v = v * 1.13839 - 0.571429;
    }
    float r = y + 1.5748 * v;
    float b = y + 1.8556 * u;
    float g = (y - 0.2126 * r - 0.0722 * b) * 1.39821;
    return vec4(r, g, b, 1.0);
}

vec4 scanline(vec4 c, float level) {
    // Under 240 rows the period would be 0: one row is the least band.
    float period = max(floor(cb.vp_height / 240.0), 1.0);
    float row = floor(v_uv.y * cb.vp_height);
    return mod(row, period) < period * 0.5 ? c * level : c;
}

void main() {
    vec2 uv = rotate(v_uv);
    for (int i = 0; i < 2; ++i)
        if (cb.effects[i] == 2u) uv = sharpen(uv, cb.levels[i]);
    vec4 s = sample_rgba(uv);
    vec4 c = (cb.conversion & YUV) != 0u ? yuv_to_rgba(s.rgb) : s;
    for (int i = 0; i < 2; ++i)
        if (cb.effects[i] == 1u) c = scanline(c, cb.levels[i]);
    out_color = c;
}
