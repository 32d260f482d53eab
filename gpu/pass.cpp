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
#include "kms/kms.h"

GlUniforms g_u = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

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

int warned;

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

const GlUniforms *g_bound_u;  // of the program drawing now

void set_mirror(Mirror m) {
    glUniform2f(g_bound_u->flip, m.x ? -1.0f : 1.0f, m.y ? -1.0f : 1.0f);
}

bool lut_in_use(const Tuning &t) {
    // The placeholder texture must never be blended in: it is black.
    return t.grade.on && g_lut_on && g_lut_tex && g_lut_n > 1;
}

void set_uniforms(const GlUniforms &u, const Tuning &t) {
    const LensTuning &l = t.lens;
    const GradeTuning &g = t.grade;
    const bool lens = l.on, grade = g.on;
    glUniform3f(u.k, lens ? l.k1 : 0.0f, lens ? l.k2 : 0.0f, lens ? l.k3 : 0.0f);
    glUniform2f(u.center, l.cx, l.cy);
    glUniform1f(u.strength, lens ? l.strength : 0.0f);
    glUniform1f(u.zoom, lens && l.zoom > 0.01f ? l.zoom : 1.0f);
    glUniform1f(u.vscale, lens && l.vscale > 0.01f ? l.vscale : 1.0f);
    glUniform1f(u.antiflicker, t.antiflicker ? 1.0f : 0.0f);
    glUniform1f(u.texely, g_gl_h > 0 ? 1.0f / float(g_gl_h) : 0.0f);
    glUniform1f(u.bright, grade ? g.bright : 0.0f);
    glUniform1f(u.contrast, grade ? g.contrast : 1.0f);
    glUniform1f(u.sat, grade ? g.sat : 1.0f);
    glUniform1f(u.temp, grade ? g.temp : 0.0f);
    glUniform1f(u.luton, lut_in_use(t) ? 1.0f : 0.0f);
    glUniform1f(u.lutmix, t.lut_mix);
    glUniform1f(u.lutn, g_lut_n > 1 ? float(g_lut_n) : 2.0f);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, g_lut_tex);
    glUniform1i(u.lut, 1);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, g_src_tex);
    glUniform1i(u.tex, 0);
}

// Programs made for one set of steps, built when first needed. One that cannot be
// built is not tried again: the program built at start draws those frames instead.
struct Specialised {
    GLuint prog;
    GlUniforms u;
    bool tried;
};
enum { kAfOff, kAfThreeTaps, kAfTwoSamples };
Specialised g_specialised[2][2][3][2];  // lens, grade, anti-flicker, LUT

void use_program(const Tuning &t) {
    const bool lens = t.lens.on, grade = t.grade.on, lut = lut_in_use(t);
    int af = !t.antiflicker ? kAfOff : g_gl_h == g_gl_src_dim_h ? kAfTwoSamples : kAfThreeTaps;
    Specialised &p = g_specialised[lens][grade][af][lut];
    if (!p.tried) {
        p.tried = true;
        char defines[160];
        snprintf(defines, sizeof defines,
                 "#define LENS_ON %s\n#define GRADE_ON %s\n#define AF3_ON %s\n"
                 "#define AF2_ON %s\n#define LUT_ON %s\n",
                 lens ? "true" : "false", grade ? "true" : "false",
                 af == kAfThreeTaps ? "true" : "false", af == kAfTwoSamples ? "true" : "false",
                 lut ? "true" : "false");
        p.prog = gl_build_program(defines);
        if (p.prog)
            p.u = gl_lookup_uniforms(p.prog);
        else
            fprintf(stderr,
                    "zyl-mpp: dewarp: no program of its own for these settings — "
                    "drawing with the general one\n");
    }
    glUseProgram(p.prog ? p.prog : g_prog);
    g_bound_u = p.prog ? &p.u : &g_u;
    set_uniforms(*g_bound_u, t);
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
// the pictures into `fb`; false (none left made) when one cannot be made. `*first`
// gets the framebuffer object holding the first picture (output 0's).
bool draw_pictures(const Tuning &t, const Mirror *mirrors, int n, uint32_t *fb, unsigned *first) {
    use_program(t);
    for (int k = 0; k < n; k++) {
        const GlRingSlot &slot = g_glring[g_glring_idx];
        g_glring_idx = (g_glring_idx + 1) % g_glring_n;
        glBindFramebuffer(GL_FRAMEBUFFER, slot.fbo);
        glViewport(0, 0, g_gl_w, g_gl_h);
        set_mirror(mirrors[k]);
        gl_draw_triangle();
        if (k == 0) *first = slot.fbo;
        fb[k] = gl_slot_fb(slot);
    }
    glFinish();  // the pictures are whole before the displays are given the buffers
    if (std::all_of(fb, fb + n, [](uint32_t id) { return id != 0; })) return true;
    for (int k = 0; k < n; k++)
        if (fb[k]) drmModeRmFB(gl_card(), fb[k]);
    return false;
}

// Imports the decoder's frame and binds it as the source texture.
EglImage bind_source(const AVDRMFrameDescriptor *desc, int w, int h) {
    EglImage src(gl_import_source(desc, w, h), g_egl);
    if (!src) return src;
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, g_src_tex);
    glEGLImageTargetTexture2DOES_(GL_TEXTURE_EXTERNAL_OES, src.get());
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

EGLImageKHR gl_import_source(const AVDRMFrameDescriptor *desc, int w, int h) {
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
    EGLImageKHR img =
        valid ? eglCreateImageKHR_(g_egl, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs)
              : EGL_NO_IMAGE_KHR;
    if (img == EGL_NO_IMAGE_KHR && !warned) {
        fprintf(stderr, "zyl-mpp: dewarp: import source dmabuf failed — uncorrected\n");
        warned = 1;
    }
    return img;
}

void gl_draw_triangle() {
    static const GLfloat kTriangle[] = {-1.0f, -1.0f, 3.0f, -1.0f, -1.0f, 3.0f};
    glEnableVertexAttribArray(GLuint(g_a_pos));
    glVertexAttribPointer(GLuint(g_a_pos), 2, GL_FLOAT, GL_FALSE, 0, kTriangle);
    glDrawArrays(GL_TRIANGLES, 0, 3);
}

PassFrame gl_dewarp_fbs(const GpuSettings &s, const Tuning &t, const AVDRMFrameDescriptor *desc,
                        int w, int h, std::span<const Flip> flips, std::span<uint32_t> fbs) {
    PassFrame f;
    if (g_gl_ready == 0) gl_start(s.gl_size, w, h);
    if (g_gl_ready != 1) return f;
    if ((w != g_gl_src_dim_w || h != g_gl_src_dim_h) && gl_source_changed(s.gl_size, w, h) != 0)
        return f;
    Mirror mirrors[kGlMaxPictures];
    int picture[kGlMaxPictures * 2];
    const int n = distinct_mirrors(flips.first(std::min<size_t>(flips.size(), std::size(picture))),
                                   mirrors, picture);
    if (n == 0 || gl_ring_grow(n) != 0) return f;
    lut_hot_reload();
    f.source = bind_source(desc, w, h);
    if (!f.source) return f;
    uint32_t fb[kGlMaxPictures] = {};
    if (!draw_pictures(t, mirrors, n, fb, &f.target)) return f;
    for (size_t i = 0; i < fbs.size(); i++) fbs[i] = i < flips.size() ? fb[picture[i]] : 0;
    f.pictures = n;
    return f;
}

uint32_t gl_dewarp_fb(const GpuSettings &s, const Tuning &t, const AVDRMFrameDescriptor *desc,
                      int w, int h, Flip flip) {
    uint32_t fb = 0;
    return gl_dewarp_fbs(s, t, desc, w, h, {&flip, 1}, {&fb, 1}).pictures ? fb : 0;
}

void gl_bind_correction(const Tuning &t, Flip flip) {
    use_program(t);
    set_mirror(mirror_of(flip));
}
