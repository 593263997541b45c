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
    void (*GetFloatv)(GLenum, GLfloat *);
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
    PFNGLISFRAMEBUFFERPROC IsFramebuffer;
    PFNGLGETFRAMEBUFFERATTACHMENTPARAMETERIVPROC GetFramebufferAttachmentParameteriv;
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
    PFNGLISBUFFERPROC IsBuffer;
    PFNGLGETBUFFERPARAMETERIVPROC GetBufferParameteriv;
    PFNGLBEGINQUERYPROC BeginQuery;
    void (*Finish)(void);
    GLenum (*GetError)(void);
};

// What a context may lack, found for the current context by
// gl_load_optional; each function is set only where the context has it.
struct GlOptional {
    bool es;           // an OpenGL ES context
    bool pack_invert;  // GL_MESA_pack_invert
    // GL_FRAMEBUFFER_SRGB can be asked and set (desktop GL, or
    // GL_EXT_sRGB_write_control).
    bool srgb_writes;
    // Object labels (GL 4.3, OpenGL ES 3.2 or KHR_debug).
    PFNGLOBJECTLABELPROC ObjectLabel;
    PFNGLGETOBJECTLABELPROC GetObjectLabel;
    // The debug-group stack (the same), and the client attribute stack of
    // compatibility contexts.
    PFNGLPOPDEBUGGROUPPROC PopDebugGroup;
    void (*PushClientAttrib)(GLbitfield);
    void (*PopClientAttrib)(void);
    // The pixel transfer of compatibility contexts.
    void (*PixelTransferf)(GLenum, GLfloat);
    // The target of a texture, asked without binding it (core profiles of
    // GL 4.5 or with GL_ARB_direct_state_access).
    PFNGLGETTEXTUREPARAMETERIVPROC GetTextureParameteriv;
};

// The program's state that a copy's blit, read-back or upload obeys and
// must not: the scissor test (a blit is clipped by it), sRGB writes (a blit
// from an sRGB buffer into the copy would turn it linear) and, in
// compatibility contexts, the pixel transfer's scale, bias and colour maps
// (a read-back and an upload apply them). Conditional rendering also skips
// blits, but no query tells whether it is on: it is not guarded.
struct GlPixelState {
    GLboolean scissor, srgb;
    GLint map_color;
    GLfloat transfer[8];
};

// The program's GL errors not fetched yet (a driver may keep one of each
// kind), in the order glGetError answered them.
struct GlErrors {
    GLenum codes[8];
    int count;
};

// Fills the table for the current context when its version (desktop or ES)
// is at least 3.0 and every entry is found; otherwise clears it. Needs a
// current context.
bool gl_load_functions(GlFunctions *fn, GlProcLookup lookup);
void gl_clear_functions(GlFunctions *fn);
// Needs a current context and its complete table; raises no GL error.
void gl_load_optional(GlOptional *opt, const GlFunctions &fn, GlProcLookup lookup);

// Saves that state and sets what a plain copy needs (changing only what
// differs from it); gl_pixel_state_restore puts it back. Neither raises a GL
// error.
void gl_pixel_state_plain(const GlFunctions &fn, const GlOptional &opt, GlPixelState *saved);
void gl_pixel_state_restore(const GlFunctions &fn, const GlOptional &opt, const GlPixelState &saved);

// Fetches every pending error (so that what follows starts with none).
GlErrors gl_take_errors(const GlFunctions &fn);
// Takes back an error of kind `own` that the caller's own call is known to
// have left, keeping the program's: the pending errors are fetched and, but
// for one of `own`, raised again. Only for that case, as a program's error
// that cannot be raised again is lost with it.
void gl_hide_error(const GlFunctions &fn, const GlOptional &opt, GLenum own);
// Raises each error again (with a call that fails before it changes
// anything), so the program's glGetError still answers them. Not raised
// again: GL_OUT_OF_MEMORY and GL_CONTEXT_LOST (no call fails with them at
// will), GL_STACK_OVERFLOW outside compatibility contexts, and
// GL_STACK_UNDERFLOW outside them unless only the default debug group is on
// its stack.
void gl_raise_errors(const GlFunctions &fn, const GlOptional &opt, const GlErrors &errors);

// Whether a GL_VERSION text names version 3.0 or later ("4.5 (Compatibility
// Profile) Mesa ...", "OpenGL ES 3.2 Mesa ..."); false for null or garbage.
bool gl_version_at_least_3(const char *version);
