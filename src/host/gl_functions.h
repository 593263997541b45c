// The GL 3.0 functions the OpenGL present hook, frame submission and interop
// record call, looked up through the driver's own lookup (glXGetProcAddressARB
// or eglGetProcAddress) for the context current on the calling thread. A
// table is either complete or all empty: a context older than 3.0 or a
// missing entry clears every slot, so callers test one slot for all.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>

typedef void *(*GlProcLookup)(const char *name);

struct GlFunctions {
    const GLubyte *(*GetString)(GLenum);
    PFNGLGETSTRINGIPROC GetStringi;
    void (*GetIntegerv)(GLenum, GLint *);
    GLboolean (*IsEnabled)(GLenum);
    void (*Enable)(GLenum);
    void (*Disable)(GLenum);
    void (*DeleteTextures)(GLsizei, const GLuint *);
    void (*GenTextures)(GLsizei, GLuint *);
    void (*BindTexture)(GLenum, GLuint);
    GLboolean (*IsTexture)(GLuint);
    void (*TexImage2D)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void *);
    void (*TexSubImage2D)(GLenum, GLint, GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, const void *);
    void (*GetTexLevelParameteriv)(GLenum, GLint, GLenum, GLint *);
    PFNGLGENFRAMEBUFFERSPROC GenFramebuffers;
    PFNGLBINDFRAMEBUFFERPROC BindFramebuffer;
    PFNGLFRAMEBUFFERTEXTURE2DPROC FramebufferTexture2D;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC CheckFramebufferStatus;
    PFNGLBLITFRAMEBUFFERPROC BlitFramebuffer;
    PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers;
    void (*ReadBuffer)(GLenum);
    void (*ReadPixels)(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, void *);
    void (*PixelStorei)(GLenum, GLint);
    PFNGLGENBUFFERSPROC GenBuffers;
    PFNGLBINDBUFFERPROC BindBuffer;
    PFNGLBUFFERDATAPROC BufferData;
    PFNGLMAPBUFFERRANGEPROC MapBufferRange;
    PFNGLUNMAPBUFFERPROC UnmapBuffer;
    PFNGLDELETEBUFFERSPROC DeleteBuffers;
    void (*Finish)(void);
    GLenum (*GetError)(void);
};

// Fills the table for the current context when its version (desktop or ES)
// is at least 3.0 and every entry is found; otherwise clears it. Needs a
// current context.
bool gl_load_functions(GlFunctions *fn, GlProcLookup lookup);
void gl_clear_functions(GlFunctions *fn);

// Whether a GL_VERSION text names version 3.0 or later ("4.5 (Compatibility
// Profile) Mesa ...", "OpenGL ES 3.2 Mesa ..."); false for null or garbage.
bool gl_version_at_least_3(const char *version);
