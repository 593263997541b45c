#include "host/gl_functions.h"

#include <cstring>
#include <type_traits>

bool gl_version_at_least_3(const char *v) {
    if (!v) return false;
    if (std::strncmp(v, "OpenGL ES", 9) == 0) {
        v += 9;
        // "OpenGL ES-CM 1.1" and the like name profiles older than 3.0 anyway.
        while (*v && *v != ' ') v++;
        while (*v == ' ') v++;
    }
    int major = 0, digits = 0;
    for (; *v >= '0' && *v <= '9' && digits < 4; v++, digits++) major = major * 10 + (*v - '0');
    if (digits == 0 || digits == 4 || *v != '.' || v[1] < '0' || v[1] > '9') return false;
    return major >= 3;
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
    get(fn->Finish, "glFinish");
    get(fn->GetError, "glGetError");
    if (!ok) gl_clear_functions(fn);
    return ok;
}
