// State the files of the correction pass share (the benchmark reaches it too).
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>

#include <cstdint>
#include <string>

struct gbm_device;
struct gbm_bo;
struct AVDRMFrameDescriptor;

// One render target: a scan-out buffer, its EGL image, a texture on the image and a
// framebuffer object drawing into that texture.
struct GlRingSlot {
    gbm_bo *bo;
    EGLImageKHR image;
    GLuint tex;
    GLuint fbo;
};
// Each picture a frame gets (one per distinct flip of the outputs) has four buffers:
// one is written again only four frames later, while the two newest may be on screen.
constexpr int kGlRingSlots = 4;
constexpr int kGlMaxPictures = 4;  // flips: none, h, v, 180

extern int g_gl_src_dim_w, g_gl_src_dim_h;
extern gbm_device *g_gbm;
int gl_card();  // the card gl_use_card named
extern EGLDisplay g_egl;
extern PFNEGLCREATEIMAGEKHRPROC eglCreateImageKHR_;
extern PFNEGLDESTROYIMAGEKHRPROC eglDestroyImageKHR_;
extern PFNGLEGLIMAGETARGETTEXTURE2DOESPROC glEGLImageTargetTexture2DOES_;
extern GLuint g_prog;
extern int g_a_pos;
extern GLuint g_src_tex;
extern GlRingSlot g_glring[kGlRingSlots * kGlMaxPictures];
extern int g_glring_n;  // slots built: kGlRingSlots for each picture a frame has needed
extern int g_glring_idx;
extern GLuint g_lut_tex;

// Where one program keeps the correction shader's uniforms; -1 for those it left out.
struct GlUniforms {
    GLint tex, k, center, strength, zoom, vscale, flip, antiflicker, texely, bright, contrast, sat,
        temp, lut, luton, lutmix, lutn;
};
extern GlUniforms g_u;  // of g_prog

// ---- context and ring ----
// The first frame's start (`size`: the render size setting); afterwards g_gl_ready is
// 1 or -1.
void gl_start(const std::string &size, int src_w, int src_h);
// A new source size: the ring is rebuilt at the new render size. 0, or -1 when the
// pass had to be switched off.
int gl_source_changed(const std::string &size, int src_w, int src_h);
// Builds g_glring_n slots (at least kGlRingSlots) at w x h.
int gl_ring_create(int w, int h);
// Builds slots at the render size until a frame can have `pictures` of its own; the
// slots built before stay as they are and the ring goes on where it was.
int gl_ring_grow(int pictures);
// Releases every slot (fields back to 0).
void gl_ring_release();
// A new framebuffer over a slot's buffer at the render size; 0 on failure.
uint32_t gl_slot_fb(const GlRingSlot &slot);
GLuint gl_compile(GLenum type, const char *src);
// The correction program with `defines` ahead of the fragment shader (empty: every
// step decided per pixel by its uniforms); 0 when it does not compile or link (said).
GLuint gl_build_program(const char *defines);

// ---- shader ----
extern const char *const kGlVertexShader;
extern const char *const kGlFragmentShader;
GlUniforms gl_lookup_uniforms(GLuint prog);
// The decoder's frame as an EGL image (eglCreateImageKHR over its DMA-BUF planes);
// EGL_NO_IMAGE_KHR on failure, said once per process.
EGLImageKHR gl_import_source(const AVDRMFrameDescriptor *desc, int w, int h);
// The one full-viewport triangle.
void gl_draw_triangle();

// ---- LUT ----
// The 1x1 black placeholder texture, then the configured table (pass start).
void lut_start();
// Loads the table again when its file changed (once per frame).
void lut_hot_reload();
