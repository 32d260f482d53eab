// State the files of the correction pass share (the benchmark reaches it too).
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>

#include <cstdint>

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
constexpr int kGlRingSlots = 4;

extern int g_gl_src_dim_w, g_gl_src_dim_h;
extern gbm_device *g_gbm;
extern EGLDisplay g_egl;
extern PFNEGLCREATEIMAGEKHRPROC eglCreateImageKHR_;
extern PFNEGLDESTROYIMAGEKHRPROC eglDestroyImageKHR_;
extern PFNGLEGLIMAGETARGETTEXTURE2DOESPROC glEGLImageTargetTexture2DOES_;
extern GLuint g_prog;
extern int g_a_pos;
extern GLuint g_src_tex;
extern GlRingSlot g_glring[kGlRingSlots];
extern int g_glring_idx;
extern GLuint g_lut_tex;
extern GLint g_u_tex, g_u_k, g_u_center, g_u_strength, g_u_zoom, g_u_vscale, g_u_flip,
    g_u_antiflicker, g_u_texely, g_u_bright, g_u_contrast, g_u_sat, g_u_temp, g_u_lut, g_u_luton,
    g_u_lutmix, g_u_lutn;

// ---- context and ring ----
// The first frame's start; afterwards g_gl_ready is 1 or -1.
void gl_start(int src_w, int src_h);
// A new source size: the ring is rebuilt at the new render size. 0, or -1 when the
// pass had to be switched off.
int gl_source_changed(int src_w, int src_h);
int gl_ring_create(int w, int h);
// Releases every slot (fields back to 0).
void gl_ring_release();
// A new framebuffer over a slot's buffer at the render size; 0 on failure.
uint32_t gl_slot_fb(const GlRingSlot &slot);
GLuint gl_compile(GLenum type, const char *src);

// ---- shader ----
extern const char *const kGlVertexShader;
extern const char *const kGlFragmentShader;
void gl_lookup_uniforms();
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

// ---- snapshot ----
// Writes the bound render target (w x h) as a P6 picture.
void gl_snapshot(int w, int h);
