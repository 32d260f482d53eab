// State the files of the correction pass share (the benchmark reaches it too).
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/own.h"
#include "gpu/gpu.h"

struct AVDRMFrameDescriptor;

// One render target: a scan-out buffer, its EGL image, a texture on the image and a
// framebuffer object drawing into that texture (released in the reverse order).
struct GlRingSlot {
    GbmBo bo;
    EglImage image;
    GlTexture tex;
    GlFramebuffer fbo;
};
// Each picture a frame gets (one per distinct flip of the outputs) has four buffers:
// one is written again only four frames later, while the two newest may be on screen.
constexpr int kGlRingSlots = 4;

// An output's overlay surface as a texture, made again when its pixels change.
struct GlOverlayTexture {
    EglImage image;
    GlTexture tex;
    dev_t dev = 0;  // the dma-buf it was made from
    ino_t ino = 0;
    uint64_t version = 0;
};
// The buffers one output's composed pictures go into, at its mode size.
struct GlComposeRing {
    GlRingSlot slots[kGlRingSlots];
    int w = 0, h = 0;  // 0: not built
    int idx = 0;
    GlOverlayTexture overlay;
};
// The program that copies a texture's part into the viewport (the picture, then the
// overlay); built when first needed.
struct GlBlit {
    GlProgram prog;
    GLint tex = -1, src = -1;
    bool tried = false;
};

// Where one program keeps the correction shader's uniforms; -1 for those it left out.
struct GlUniforms {
    GLint tex = -1, k = -1, center = -1, strength = -1, zoom = -1, vscale = -1, flip = -1,
          antiflicker = -1, texely = -1, bright = -1, contrast = -1, sat = -1, temp = -1, lut = -1,
          luton = -1, lutmix = -1, lutn = -1;
};

// Programs made for one set of steps, built when first needed. One that cannot be
// built is not tried again: the program built at start draws those frames instead.
struct GlSpecialised {
    GlProgram prog;
    GlUniforms u;
    bool tried = false;
};
enum { kAfOff, kAfThreeTaps, kAfTwoSamples };

// The GL side of the pass, made by its start on the card the displays use. Members
// are released in the reverse of their order here: the GL objects while the context
// is still there, then the context, the display and the GBM device.
struct GpuGl {
    GbmDevice gbm;
    EglDisplay egl;
    EglContext ctx;
    PFNEGLCREATEIMAGEKHRPROC eglCreateImageKHR_ = nullptr;
    PFNEGLDESTROYIMAGEKHRPROC eglDestroyImageKHR_ = nullptr;
    PFNGLEGLIMAGETARGETTEXTURE2DOESPROC glEGLImageTargetTexture2DOES_ = nullptr;
    GlProgram prog;  // every step decided per pixel by its uniforms
    int a_pos = 0;
    GlUniforms u;  // of prog
    GlTexture src_tex;
    GlTexture lut_tex;
    GlSpecialised specialised[2][2][3][2];  // lens, grade, anti-flicker, LUT
    const GlUniforms *bound_u = nullptr;    // of the program drawing now
    GlRingSlot ring[kGlRingSlots * kGlMaxPictures];
    int ring_n = kGlRingSlots;  // slots built: kGlRingSlots for each picture a frame has needed
    int ring_idx = 0;
    std::atomic<bool> import_failed{false};  // said once per process
    GlBlit blit;
    GlComposeRing compose[kGlMaxComposed];
};

// ---- context and ring ----
// The first frame's start (`size`: the render size setting); afterwards p.ready is
// 1 or -1.
void gl_start(GpuPass &p, const std::string &size, int src_w, int src_h);
// A new source size: the ring is rebuilt at the new render size. False when the pass
// had to be switched off.
[[nodiscard]] bool gl_source_changed(GpuPass &p, const std::string &size, int src_w, int src_h);
// Builds ring_n slots (at least kGlRingSlots) at w x h.
[[nodiscard]] bool gl_ring_create(GpuGl &gl, int w, int h);
// Builds slots at the render size until a frame can have `pictures` of its own; the
// slots built before stay as they are and the ring goes on where it was.
[[nodiscard]] bool gl_ring_grow(GpuPass &p, int pictures);
// Releases every slot.
void gl_ring_release(GpuGl &gl);
// A new framebuffer over a slot's buffer at the render size; empty on failure.
FbId gl_slot_fb(const GpuPass &p, const GlRingSlot &slot);
// The same over a w x h slot.
FbId gl_slot_fb_sized(int card, const GlRingSlot &slot, int w, int h);
// Makes one slot: a w x h scan-out buffer the GPU renders into; false (said) on failure.
[[nodiscard]] bool gl_slot_build(GpuGl &gl, GlRingSlot &s, int w, int h);
GlShader gl_compile(GLenum type, const char *src);
// A 2D texture over `image`, bound, sampled with `filter` both ways.
GlTexture gl_image_texture(const GpuGl &gl, const EglImage &image, GLint filter);
// A program of the two shaders with the vertex position at attribute 0; empty when
// they do not compile or link (said, naming `what`).
GlProgram gl_link_program(const char *vertex, const char *fragment, const char *what);
// The correction program with `defines` ahead of the fragment shader (empty: every
// step decided per pixel by its uniforms); empty when it does not compile or link
// (said).
GlProgram gl_build_program(const char *defines);

// ---- shader ----
extern const char *const kGlVertexShader;
extern const char *const kGlFragmentShader;
GlUniforms gl_lookup_uniforms(GLuint prog);
// The decoder's frame as an EGL image (eglCreateImageKHR over its DMA-BUF planes);
// EGL_NO_IMAGE_KHR on failure, said once per process.
EglImage gl_import_source(GpuGl &gl, const AVDRMFrameDescriptor *desc, int w, int h);
// The one full-viewport triangle.
void gl_draw_triangle(const GpuGl &gl);

// ---- LUT ----
// The 1x1 black placeholder texture, then the configured table (pass start).
void lut_start(GpuPass &p);
// Loads the table again when its file changed (once per frame).
void lut_hot_reload(GpuPass &p);
