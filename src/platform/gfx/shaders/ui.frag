#version 450
layout(set = 0, binding = 0) uniform sampler2D tex;
layout(location = 0) in vec4 v_color;
layout(location = 1) in vec2 v_uv;
layout(location = 0) out vec4 out_color;
void main() { out_color = v_color * texture(tex, v_uv); }
