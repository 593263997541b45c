#include "host/gl_functions.h"

#include <cstring>
#include <type_traits>

namespace {

// Major and minor version of a GL_VERSION text; false for garbage.
bool parse_version(const char *v, bool *es, int *major, int *minor) {
    if (!v) return false;
    *es = std::strncmp(v, "OpenGL ES", 9) == 0;
    if (*es) {
        v += 9;
        // "OpenGL ES-CM 1.1" and the like name profiles older than 3.0 anyway.
        while (*v && *v != ' ') v++;
        while (*v == ' ') v++;
    }
    int digits = 0;
    *major = 0;
    for (; *v >= '0' && *v <= '9' && digits < 4; v++, digits++) *major = *major * 10 + (*v - '0');
    if (digits == 0 || digits == 4 || *v != '.' || v[1] < '0' || v[1] > '9') return false;
    *minor = v[1] - '0';
    return true;
}

}  // namespace

bool gl_version_at_least_3(const char *v) {
    bool es = false;
    int major = 0, minor = 0;
    return parse_version(v, &es, &major, &minor) && major >= 3;
}

void gl_clear_functions(GlFunctions *fn) {
    std::memset((void *)fn, 0, sizeof(*fn));
}

bool gl_load_functions(GlFunctions *fn, GlProcLookup lookup) {
    gl_clear_functions(fn);
    if (!lookup) return false;
    auto get_string = (const GLubyte *(*)(GLenum))lookup("glGetString");
    if (!get_string || !gl_version_at_least_3((const char *)get_string(GL_VERSION))) return false;
    bool ok = true;
    auto get = [&](auto &slot, const char *name) {
        slot = (std::remove_reference_t<decltype(slot)>)lookup(name);
        if (!slot) ok = false;
    };
    fn->GetString = get_string;
    get(fn->GetStringi, "glGetStringi");
    get(fn->GetIntegerv, "glGetIntegerv");
    get(fn->GetFloatv, "glGetFloatv");
    get(fn->IsEnabled, "glIsEnabled");
    get(fn->Enable, "glEnable");
    get(fn->Disable, "glDisable");
    get(fn->DeleteTextures, "glDeleteTextures");
    get(fn->GenTextures, "glGenTextures");
    get(fn->BindTexture, "glBindTexture");
    get(fn->IsTexture, "glIsTexture");
    get(fn->TexImage2D, "glTexImage2D");
    get(fn->TexSubImage2D, "glTexSubImage2D");
    get(fn->GetTexLevelParameteriv, "glGetTexLevelParameteriv");
    get(fn->GenFramebuffers, "glGenFramebuffers");
    get(fn->BindFramebuffer, "glBindFramebuffer");
    get(fn->FramebufferTexture2D, "glFramebufferTexture2D");
    get(fn->CheckFramebufferStatus, "glCheckFramebufferStatus");
    get(fn->IsFramebuffer, "glIsFramebuffer");
    get(fn->GetFramebufferAttachmentParameteriv, "glGetFramebufferAttachmentParameteriv");
    get(fn->BlitFramebuffer, "glBlitFramebuffer");
    get(fn->DeleteFramebuffers, "glDeleteFramebuffers");
    get(fn->ReadBuffer, "glReadBuffer");
    get(fn->ReadPixels, "glReadPixels");
    get(fn->PixelStorei, "glPixelStorei");
    get(fn->GenBuffers, "glGenBuffers");
    get(fn->BindBuffer, "glBindBuffer");
    get(fn->BufferData, "glBufferData");
    get(fn->MapBufferRange, "glMapBufferRange");
    get(fn->UnmapBuffer, "glUnmapBuffer");
    get(fn->DeleteBuffers, "glDeleteBuffers");
    get(fn->IsBuffer, "glIsBuffer");
    get(fn->GetBufferParameteriv, "glGetBufferParameteriv");
    get(fn->BeginQuery, "glBeginQuery");
    get(fn->Finish, "glFinish");
    get(fn->GetError, "glGetError");
    if (!ok) gl_clear_functions(fn);
    return ok;
}

void gl_load_optional(GlOptional *opt, const GlFunctions &f, GlProcLookup lookup) {
    std::memset((void *)opt, 0, sizeof(*opt));
    bool es = false, debug = false, compat = false, dsa = false;
    int major = 0, minor = 0;
    parse_version((const char *)f.GetString(GL_VERSION), &es, &major, &minor);
    opt->es = es;
    opt->srgb_writes = !es;
    GLint n = 0;
    f.GetIntegerv(GL_NUM_EXTENSIONS, &n);
    for (GLint i = 0; i < n; i++) {
        const char *e = (const char *)f.GetStringi(GL_EXTENSIONS, (GLuint)i);
        if (!e) continue;
        if (std::strcmp(e, "GL_MESA_pack_invert") == 0) opt->pack_invert = true;
        if (std::strcmp(e, "GL_KHR_debug") == 0) debug = true;
        if (std::strcmp(e, "GL_ARB_compatibility") == 0) compat = true;
        if (std::strcmp(e, "GL_EXT_sRGB_write_control") == 0) opt->srgb_writes = true;
        if (std::strcmp(e, "GL_ARB_direct_state_access") == 0) dsa = true;
    }
    int version = major * 10 + minor;

    if (version >= (es ? 32 : 43)) debug = true;
    if (!es && version == 30) compat = true;
    if (!es && version >= 32) {
        GLint mask = 0;
        f.GetIntegerv(GL_CONTEXT_PROFILE_MASK, &mask);
        compat = (mask & GL_CONTEXT_COMPATIBILITY_PROFILE_BIT) != 0;
    }
    if (debug) {
        // OpenGL ES before 3.2 names them with the extension's suffix.
        bool suffixed = es && version < 32;
        opt->ObjectLabel = (PFNGLOBJECTLABELPROC)lookup(suffixed ? "glObjectLabelKHR" : "glObjectLabel");
        opt->GetObjectLabel =
            (PFNGLGETOBJECTLABELPROC)lookup(suffixed ? "glGetObjectLabelKHR" : "glGetObjectLabel");
        opt->PopDebugGroup =
            (PFNGLPOPDEBUGGROUPPROC)lookup(suffixed ? "glPopDebugGroupKHR" : "glPopDebugGroup");
        if (!opt->ObjectLabel || !opt->GetObjectLabel)
            opt->ObjectLabel = nullptr, opt->GetObjectLabel = nullptr;
    }
    // Mesa answers a texture's target only in core profiles.
    if (!es && !compat && (version >= 45 || dsa))
        opt->GetTextureParameteriv = (PFNGLGETTEXTUREPARAMETERIVPROC)lookup("glGetTextureParameteriv");
    if (compat && !es) {
        opt->PushClientAttrib = (void (*)(GLbitfield))lookup("glPushClientAttrib");
        opt->PopClientAttrib = (void (*)(void))lookup("glPopClientAttrib");
        opt->PixelTransferf = (void (*)(GLenum, GLfloat))lookup("glPixelTransferf");
        if (!opt->PushClientAttrib || !opt->PopClientAttrib)
            opt->PushClientAttrib = nullptr, opt->PopClientAttrib = nullptr;
    }
}

namespace {

const GLenum kTransferNames[8] = {GL_RED_SCALE, GL_GREEN_SCALE, GL_BLUE_SCALE, GL_ALPHA_SCALE,
                                  GL_RED_BIAS,  GL_GREEN_BIAS,  GL_BLUE_BIAS,  GL_ALPHA_BIAS};
const GLfloat kTransferPlain[8] = {1, 1, 1, 1, 0, 0, 0, 0};

}  // namespace

void gl_pixel_state_plain(const GlFunctions &f, const GlOptional &opt, GlPixelState *saved) {
    saved->scissor = f.IsEnabled(GL_SCISSOR_TEST);
    if (saved->scissor) f.Disable(GL_SCISSOR_TEST);
    saved->srgb = opt.srgb_writes && f.IsEnabled(GL_FRAMEBUFFER_SRGB);
    if (saved->srgb) f.Disable(GL_FRAMEBUFFER_SRGB);
    if (!opt.PixelTransferf) return;
    for (int i = 0; i < 8; i++) {
        f.GetFloatv(kTransferNames[i], &saved->transfer[i]);
        if (saved->transfer[i] != kTransferPlain[i]) opt.PixelTransferf(kTransferNames[i], kTransferPlain[i]);
    }
    saved->map_color = 0;
    f.GetIntegerv(GL_MAP_COLOR, &saved->map_color);
    if (saved->map_color) opt.PixelTransferf(GL_MAP_COLOR, 0);
}

void gl_pixel_state_restore(const GlFunctions &f, const GlOptional &opt, const GlPixelState &saved) {
    if (saved.scissor) f.Enable(GL_SCISSOR_TEST);
    if (saved.srgb) f.Enable(GL_FRAMEBUFFER_SRGB);
    if (!opt.PixelTransferf) return;
    for (int i = 0; i < 8; i++)
        if (saved.transfer[i] != kTransferPlain[i]) opt.PixelTransferf(kTransferNames[i], saved.transfer[i]);
    if (saved.map_color) opt.PixelTransferf(GL_MAP_COLOR, 1);
}

GlErrors gl_take_errors(const GlFunctions &f) {
    GlErrors e = {};
    for (GLenum code; e.count < 8 && (code = f.GetError()) != GL_NO_ERROR;) {
        bool seen = false;
        for (int i = 0; i < e.count; i++) seen |= e.codes[i] == code;
        // A driver that answers the same error for ever is not asked on.
        if (seen) break;
        e.codes[e.count++] = code;
    }
    return e;
}

void gl_hide_error(const GlFunctions &f, const GlOptional &opt, GLenum own) {
    GlErrors e = gl_take_errors(f);
    for (int i = 0; i < e.count; i++) {
        if (e.codes[i] != own) continue;
        for (int k = i + 1; k < e.count; k++) e.codes[k - 1] = e.codes[k];
        e.count--;
        break;
    }
    gl_raise_errors(f, opt, e);
}

namespace {

void raise_stack_error(const GlFunctions &f, const GlOptional &opt, GLenum error) {
    GLint depth = -1, max = 0;
    if (opt.PushClientAttrib) {
        f.GetIntegerv(GL_CLIENT_ATTRIB_STACK_DEPTH, &depth);
        f.GetIntegerv(GL_MAX_CLIENT_ATTRIB_STACK_DEPTH, &max);
    }
    if (error == GL_STACK_OVERFLOW) {
        // Entries of an empty mask save and restore nothing: the stack is
        // filled, pushed once more, and emptied of them again.
        if (depth < 0 || max - depth > 64) return;
        for (GLint i = depth; i <= max; i++) opt.PushClientAttrib(0);
        for (GLint i = depth; i < max; i++) opt.PopClientAttrib();
        return;
    }
    if (depth == 0) {
        opt.PopClientAttrib();
        return;
    }
    GLint groups = 0;
    if (opt.PopDebugGroup) f.GetIntegerv(GL_DEBUG_GROUP_STACK_DEPTH, &groups);
    if (groups == 1) opt.PopDebugGroup();
}

}  // namespace

void gl_raise_errors(const GlFunctions &f, const GlOptional &opt, const GlErrors &errors) {
    for (int i = 0; i < errors.count; i++) {
        switch (errors.codes[i]) {
            case GL_INVALID_ENUM:
                f.Enable(0);
                break;
            case GL_INVALID_VALUE:
                f.GenTextures(-1, nullptr);
                break;
            case GL_INVALID_OPERATION:
                // Query 0 is refused whatever is bound or active.
                f.BeginQuery(opt.es ? GL_ANY_SAMPLES_PASSED : GL_SAMPLES_PASSED, 0);
                break;
            case GL_INVALID_FRAMEBUFFER_OPERATION: {
                // A framebuffer with nothing attached is incomplete: a blit
                // from it fails before it reads or writes anything.
                GLint read = 0;
                GLuint empty = 0;
                f.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &read);
                f.GenFramebuffers(1, &empty);
                f.BindFramebuffer(GL_READ_FRAMEBUFFER, empty);
                f.BlitFramebuffer(0, 0, 1, 1, 0, 0, 1, 1, GL_COLOR_BUFFER_BIT, GL_NEAREST);
                f.BindFramebuffer(GL_READ_FRAMEBUFFER, (GLuint)read);
                f.DeleteFramebuffers(1, &empty);
                break;
            }
            case GL_STACK_OVERFLOW:
            case GL_STACK_UNDERFLOW:
                raise_stack_error(f, opt, errors.codes[i]);
                break;
            default:
                break;  // not one a call can raise without side effects
        }
    }
}
