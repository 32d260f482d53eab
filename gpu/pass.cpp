// The per-frame work of the correction pass: the decoder's frame is sampled where it
// lies (its DMA-BUF planes as an external texture, converted to RGB by the sampler),
// drawn through the correction shader into the next ring buffer with one triangle,
// and handed out as a framebuffer. The tuning values are read anew for every frame.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "base/log.h"
#include "kms/kms.h"

const char *const kGlVertexShader = R"(
attribute vec2 aPos;
varying vec2 vUV;
void main() {
    vUV = aPos * 0.5 + 0.5;
    gl_Position = vec4(aPos, 0.0, 1.0);
}
)";

// vUV (0,0) is the first texel of the source and of the render target: the first row
// of the scan-out buffer, the top of the picture.
// Without defines every step is in and the ones that are off are undone by their
// uniforms' neutral values. A GPU that runs both sides of a branch (llvmpipe does)
// then pays for every step on every pixel, so the pass mostly draws with programs
// made for the steps that are on: each *_ON then is true or false.
const char *const kGlFragmentShader = R"(
#extension GL_OES_EGL_image_external : require
precision highp float;
varying vec2 vUV;
uniform samplerExternalOES uTex;
uniform vec3 uK;
uniform vec2 uCenter;
uniform float uStrength;
uniform float uZoom;
uniform float uVScale;
uniform vec2 uFlip;
uniform float uAntiFlicker;
uniform float uTexelY;
uniform float uBright;
uniform float uContrast;
uniform float uSat;
uniform float uTemp;
uniform sampler2D uLut;
uniform float uLutOn;
uniform float uLutMix;
uniform float uLutN;

#ifndef LENS_ON
#define LENS_ON true
#define GRADE_ON true
#define AF3_ON (uAntiFlicker > 0.5)
#define AF2_ON false
#define LUT_ON (uLutOn > 0.5)
#endif

// The atlas holds one N x N slice per blue level side by side: red and green come
// from the sampler's bilinear filter within a slice, blue is blended by hand between
// the two nearest slices.
vec3 lut3(vec3 c) {
    float nm1 = uLutN - 1.0;
    float sliceSize = 1.0 / uLutN;
    float slicePx = sliceSize * sliceSize;
    vec3 cc = clamp(c, 0.0, 1.0);
    float z = cc.b * nm1;
    float z0 = floor(z);
    float z1 = min(z0 + 1.0, nm1);
    float xo = slicePx * (0.5 + cc.r * nm1);
    float v = (cc.g * nm1 + 0.5) * sliceSize;
    vec3 c0 = texture2D(uLut, vec2(xo + z0 * sliceSize, v)).rgb;
    vec3 c1 = texture2D(uLut, vec2(xo + z1 * sliceSize, v)).rgb;
    return c0 + (c1 - c0) * (z - z0);
}

void main() {
    vec2 uv = vec2(0.5) + (vUV - vec2(0.5)) * uFlip;
    vec2 src = uv;
    if (LENS_ON) {
        vec2 d = (uv - uCenter) * (1.0 / uZoom);
        vec2 dr = vec2(d.x, d.y * uVScale);
        float r2 = dot(dr, dr);
        float f = 1.0 + r2 * (uK.x + r2 * (uK.y + r2 * uK.z));
        f = 1.0 + (f - 1.0) * uStrength;
        src = uCenter + d * f;
    }
    vec4 col;
    if (AF2_ON) {
        // Rendering at the source height, the three taps lie one source line apart:
        // through the sampler's linear filter, the lines k-1 .. k+2 around them get
        // weights that two samples, one between k-1 and k and one between k+1 and
        // k+2, give as well.
        float y = src.y * (1.0 / uTexelY) - 0.5;
        float k = floor(y);
        float ph = y - k;
        float wa = 0.75 - 0.5 * ph;
        float wb = 1.0 - wa;
        float r = 1.0 / (wa * wb);
        float ya = k - 0.5 + (0.5 - 0.25 * ph) * wb * r;
        float yb = k + 1.5 + 0.25 * ph * wa * r;
        col = wa * texture2D(uTex, vec2(src.x, ya * uTexelY)) +
              wb * texture2D(uTex, vec2(src.x, yb * uTexelY));
    } else {
        col = texture2D(uTex, src);
        if (AF3_ON) {
            col = 0.5 * col + 0.25 * texture2D(uTex, vec2(src.x, src.y + uTexelY)) +
                  0.25 * texture2D(uTex, vec2(src.x, src.y - uTexelY));
        }
    }
    vec3 c = col.rgb;
    if (GRADE_ON) {
        c = (c + uBright - 0.5) * uContrast + 0.5;
        float luma = dot(c, vec3(0.299, 0.587, 0.114));
        c = luma + (c - luma) * uSat;
        c.r += uTemp;
        c.b -= uTemp;
        c = clamp(c, 0.0, 1.0);
    }
    if (LUT_ON) c = c + (lut3(c) - c) * uLutMix;
    gl_FragColor = vec4(c, col.a);
}
)";

namespace {

constexpr EGLint kPlaneFd[3] = {EGL_DMA_BUF_PLANE0_FD_EXT, EGL_DMA_BUF_PLANE1_FD_EXT,
                                EGL_DMA_BUF_PLANE2_FD_EXT};
constexpr EGLint kPlaneOffset[3] = {EGL_DMA_BUF_PLANE0_OFFSET_EXT, EGL_DMA_BUF_PLANE1_OFFSET_EXT,
                                    EGL_DMA_BUF_PLANE2_OFFSET_EXT};
constexpr EGLint kPlanePitch[3] = {EGL_DMA_BUF_PLANE0_PITCH_EXT, EGL_DMA_BUF_PLANE1_PITCH_EXT,
                                   EGL_DMA_BUF_PLANE2_PITCH_EXT};
constexpr EGLint kPlaneModLo[3] = {EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT,
                                   EGL_DMA_BUF_PLANE1_MODIFIER_LO_EXT,
                                   EGL_DMA_BUF_PLANE2_MODIFIER_LO_EXT};
constexpr EGLint kPlaneModHi[3] = {EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT,
                                   EGL_DMA_BUF_PLANE1_MODIFIER_HI_EXT,
                                   EGL_DMA_BUF_PLANE2_MODIFIER_HI_EXT};

// The axes a flip word mirrors the picture about.
struct Mirror {
    bool x, y;
    bool operator==(const Mirror &) const = default;
};

Mirror mirror_of(Flip flip) {
    return {mirrors_x(flip), mirrors_y(flip)};
}

void set_mirror(const GpuGl &gl, Mirror m) {
    glUniform2f(gl.bound_u->flip, m.x ? -1.0f : 1.0f, m.y ? -1.0f : 1.0f);
}

bool lut_in_use(const GpuPass &p, const Tuning &t) {
    // The placeholder texture must never be blended in: it is black.
    return t.grade.on && p.lut_on && p.gl->lut_tex && p.lut_n > 1;
}

void set_uniforms(const GpuPass &p, const GlUniforms &u, const Tuning &t) {
    const LensTuning &l = t.lens;
    const GradeTuning &g = t.grade;
    const bool lens = l.on, grade = g.on;
    glUniform3f(u.k, lens ? l.k1 : 0.0f, lens ? l.k2 : 0.0f, lens ? l.k3 : 0.0f);
    glUniform2f(u.center, l.cx, l.cy);
    glUniform1f(u.strength, lens ? l.strength : 0.0f);
    glUniform1f(u.zoom, lens && l.zoom > 0.01f ? l.zoom : 1.0f);
    glUniform1f(u.vscale, lens && l.vscale > 0.01f ? l.vscale : 1.0f);
    glUniform1f(u.antiflicker, t.antiflicker ? 1.0f : 0.0f);
    glUniform1f(u.texely, p.h > 0 ? 1.0f / float(p.h) : 0.0f);
    glUniform1f(u.bright, grade ? g.bright : 0.0f);
    glUniform1f(u.contrast, grade ? g.contrast : 1.0f);
    glUniform1f(u.sat, grade ? g.sat : 1.0f);
    glUniform1f(u.temp, grade ? g.temp : 0.0f);
    glUniform1f(u.luton, lut_in_use(p, t) ? 1.0f : 0.0f);
    glUniform1f(u.lutmix, t.lut_mix);
    glUniform1f(u.lutn, p.lut_n > 1 ? float(p.lut_n) : 2.0f);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, p.gl->lut_tex.get());
    glUniform1i(u.lut, 1);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, p.gl->src_tex.get());
    glUniform1i(u.tex, 0);
}

void use_program(GpuPass &p, const Tuning &t) {
    GpuGl &gl = *p.gl;
    const bool lens = t.lens.on, grade = t.grade.on, lut = lut_in_use(p, t);
    int af = !t.antiflicker ? kAfOff : p.h == p.src_h ? kAfTwoSamples : kAfThreeTaps;
    GlSpecialised &sp = gl.specialised[lens][grade][af][lut];
    if (!sp.tried) {
        sp.tried = true;
        char defines[160];
        snprintf(defines, sizeof defines,
                 "#define LENS_ON %s\n#define GRADE_ON %s\n#define AF3_ON %s\n"
                 "#define AF2_ON %s\n#define LUT_ON %s\n",
                 lens ? "true" : "false", grade ? "true" : "false",
                 af == kAfThreeTaps ? "true" : "false", af == kAfTwoSamples ? "true" : "false",
                 lut ? "true" : "false");
        sp.prog = gl_build_program(defines);
        if (sp.prog)
            sp.u = gl_lookup_uniforms(sp.prog.get());
        else
            say("zyl-mpp: dewarp: no program of its own for these settings — "
                "drawing with the general one");
    }
    glUseProgram(sp.prog ? sp.prog.get() : gl.prog.get());
    gl.bound_u = sp.prog ? &sp.u : &gl.u;
    set_uniforms(p, *gl.bound_u, t);
}

// The flips of `flips` that differ, in order of their first output; `picture[i]` is
// the index of output i's.
int distinct_mirrors(std::span<const Flip> flips, Mirror (&out)[kGlMaxPictures],
                     std::span<int> picture) {
    int n = 0;
    for (size_t i = 0; i < flips.size(); i++) {
        const Mirror m = mirror_of(flips[i]);
        int k = 0;
        while (k < n && !(out[k] == m)) k++;
        if (k == n) out[n++] = m;
        picture[i] = k;
    }
    return n;
}

// Draws the bound source once per mirror into the next ring buffers. Framebuffers of
// the pictures into f.fbs; false (none kept) when one cannot be made. f.target gets
// the framebuffer object holding the first picture (output 0's).
bool draw_pictures(GpuPass &p, const Tuning &t, const Mirror *mirrors, int n, PassFrame &f) {
    GpuGl &gl = *p.gl;
    use_program(p, t);
    for (int k = 0; k < n; k++) {
        const GlRingSlot &slot = gl.ring[gl.ring_idx];
        gl.ring_idx = (gl.ring_idx + 1) % gl.ring_n;
        glBindFramebuffer(GL_FRAMEBUFFER, slot.fbo.get());
        glViewport(0, 0, p.w, p.h);
        set_mirror(gl, mirrors[k]);
        gl_draw_triangle(gl);
        if (k == 0) f.target = slot.fbo.get();
        f.tex[k] = slot.tex.get();
        f.fbs[k] = gl_slot_fb(p, slot);
    }
    glFinish();  // the pictures are whole before the displays are given the buffers
    if (std::all_of(f.fbs, f.fbs + n, [](const FbId &id) { return bool(id); })) return true;
    for (FbId &fb : f.fbs) fb.reset();
    return false;
}

// Imports the decoder's frame and binds it as the source texture.
EglImage bind_source(GpuGl &gl, const AVDRMFrameDescriptor *desc, int w, int h) {
    EglImage src = gl_import_source(gl, desc, w, h);
    if (!src) return src;
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, gl.src_tex.get());
    gl.glEGLImageTargetTexture2DOES_(GL_TEXTURE_EXTERNAL_OES, src.get());
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    return src;
}

}  // namespace

GlUniforms gl_lookup_uniforms(GLuint prog) {
    auto at = [prog](const char *name) { return glGetUniformLocation(prog, name); };
    return {at("uTex"),      at("uK"),    at("uCenter"),      at("uStrength"), at("uZoom"),
            at("uVScale"),   at("uFlip"), at("uAntiFlicker"), at("uTexelY"),   at("uBright"),
            at("uContrast"), at("uSat"),  at("uTemp"),        at("uLut"),      at("uLutOn"),
            at("uLutMix"),   at("uLutN")};
}

EglImage gl_import_source(GpuGl &gl, const AVDRMFrameDescriptor *desc, int w, int h) {
    const AVDRMLayerDescriptor &layer = desc->layers[0];
    EGLint attrs[6 + 3 * 10 + 1];
    int n = 0;
    auto put = [&](EGLint key, EGLint value) {
        attrs[n++] = key;
        attrs[n++] = value;
    };
    put(EGL_WIDTH, w);
    put(EGL_HEIGHT, h);
    put(EGL_LINUX_DRM_FOURCC_EXT, EGLint(layer.format));
    bool valid = true;
    for (int i = 0; i < std::min(layer.nb_planes, 3); i++) {
        const AVDRMPlaneDescriptor &p = layer.planes[i];
        if (p.object_index < 0 || p.object_index >= desc->nb_objects) valid = false;
        const AVDRMObjectDescriptor &o = desc->objects[valid ? p.object_index : 0];
        put(kPlaneFd[i], o.fd);
        put(kPlaneOffset[i], EGLint(p.offset));
        put(kPlanePitch[i], EGLint(p.pitch));
        if (o.format_modifier) {
            put(kPlaneModLo[i], EGLint(o.format_modifier & 0xffffffffu));
            put(kPlaneModHi[i], EGLint(o.format_modifier >> 32));
        }
    }
    attrs[n] = EGL_NONE;
    EglImage img(valid ? gl.eglCreateImageKHR_(gl.egl.get(), EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT,
                                               nullptr, attrs)
                       : EGL_NO_IMAGE_KHR,
                 gl.egl.get());
    if (!img)
        say_once(gl.import_failed, "zyl-mpp: dewarp: import source dmabuf failed — uncorrected");
    return img;
}

void gl_draw_triangle(const GpuGl &gl) {
    static const GLfloat kTriangle[] = {-1.0f, -1.0f, 3.0f, -1.0f, -1.0f, 3.0f};
    glEnableVertexAttribArray(GLuint(gl.a_pos));
    glVertexAttribPointer(GLuint(gl.a_pos), 2, GL_FLOAT, GL_FALSE, 0, kTriangle);
    glDrawArrays(GL_TRIANGLES, 0, 3);
}

PassFrame gl_dewarp_fbs(GpuPass &p, const GpuSettings &s, const Tuning &t,
                        const AVDRMFrameDescriptor *desc, int w, int h,
                        std::span<const Flip> flips) {
    PassFrame f;
    if (p.ready == 0) gl_start(p, s.gl_size, w, h);
    if (p.ready != 1) return f;
    if ((w != p.src_w || h != p.src_h) && !gl_source_changed(p, s.gl_size, w, h)) return f;
    Mirror mirrors[kGlMaxPictures];
    const int n = distinct_mirrors(flips.first(std::min<size_t>(flips.size(), kGlMaxOutputs)),
                                   mirrors, f.of_output);
    if (n == 0 || !gl_ring_grow(p, n)) return f;
    lut_hot_reload(p);
    f.source = bind_source(*p.gl, desc, w, h);
    if (!f.source) return f;
    if (!draw_pictures(p, t, mirrors, n, f)) return f;
    f.pictures = n;
    return f;
}

FbId gl_dewarp_fb(GpuPass &p, const GpuSettings &s, const Tuning &t,
                  const AVDRMFrameDescriptor *desc, int w, int h, Flip flip) {
    PassFrame f = gl_dewarp_fbs(p, s, t, desc, w, h, {&flip, 1});
    return std::move(f.fbs[0]);
}

void gl_bind_correction(GpuPass &p, const Tuning &t, Flip flip) {
    use_program(p, t);
    set_mirror(*p.gl, mirror_of(flip));
}
