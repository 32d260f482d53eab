// Overlays drawn over the video by the pass, for outputs with no overlay plane: the
// frame's picture is copied into its place on a black picture at the output's mode
// size, and the output's overlay surface blended over the whole of it, as a display
// controller would put an overlay plane over the video plane. The result goes out
// full-screen on the output's video plane.
#include <drm_fourcc.h>
#include <sys/stat.h>

#include <algorithm>

#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "base/log.h"

namespace {

// vUV runs over `uSrc` (offset, size in texture coordinates) across the viewport.
const char *const kBlitVertexShader = R"(
attribute vec2 aPos;
uniform vec4 uSrc;
varying vec2 vUV;
void main() {
    vUV = uSrc.xy + (aPos * 0.5 + 0.5) * uSrc.zw;
    gl_Position = vec4(aPos, 0.0, 1.0);
}
)";

const char *const kBlitFragmentShader = R"(
precision mediump float;
varying vec2 vUV;
uniform sampler2D uTex;
void main() {
    gl_FragColor = texture2D(uTex, vUV);
}
)";

GlProgram build_blit() {
    return gl_link_program(kBlitVertexShader, kBlitFragmentShader, "overlay composition");
}

bool blit_ready(GlBlit &b) {
    if (!b.tried) {
        b.tried = true;
        b.prog = build_blit();
        if (b.prog) {
            b.tex = glGetUniformLocation(b.prog.get(), "uTex");
            b.src = glGetUniformLocation(b.prog.get(), "uSrc");
        }
    }
    return bool(b.prog);
}

// The ring at w x h, built (again) when its size is another.
bool ring_ready(GpuGl &gl, GlComposeRing &r, int w, int h) {
    if (r.w == w && r.h == h) return true;
    r.w = r.h = 0;
    for (GlRingSlot &s : r.slots) s = GlRingSlot{};
    for (GlRingSlot &s : r.slots)
        if (!gl_slot_build(gl, s, w, h)) return false;
    r.w = w;
    r.h = h;
    r.idx = 0;
    return true;
}

// The overlay surface as a texture; made again from the dma-buf when its pixels
// changed, as a GPU may have cached them.
GLuint overlay_texture(GpuGl &gl, GlOverlayTexture &t, const OverlayImage &o) {
    // A descriptor number may come back for another buffer: the buffer is its inode.
    struct stat sb;
    if (fstat(o.fd, &sb) != 0) return 0;
    if (t.tex && t.ino == sb.st_ino && t.dev == sb.st_dev && t.version == o.version)
        return t.tex.get();
    t.tex.reset();
    t.image.reset();
    const EGLint attrs[] = {EGL_WIDTH,
                            o.w,
                            EGL_HEIGHT,
                            o.h,
                            EGL_LINUX_DRM_FOURCC_EXT,
                            EGLint(DRM_FORMAT_ARGB8888),
                            EGL_DMA_BUF_PLANE0_FD_EXT,
                            o.fd,
                            EGL_DMA_BUF_PLANE0_OFFSET_EXT,
                            0,
                            EGL_DMA_BUF_PLANE0_PITCH_EXT,
                            EGLint(o.pitch),
                            EGL_NONE};
    t.image = EglImage(
        gl.eglCreateImageKHR_(gl.egl.get(), EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs),
        gl.egl.get());
    if (!t.image) return 0;
    // One texel per pixel: no filtering, which would bleed colour out of the
    // transparent texels around the drawing.
    t.tex = gl_image_texture(gl, t.image, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    t.ino = sb.st_ino;
    t.dev = sb.st_dev;
    t.version = o.version;
    return t.tex.get();
}

// Draws `tex`'s part `src` (of a tw x th texture) into the rectangle `dst`. The
// framebuffer's first row is the picture's top, as in the pass.
void blit(const GpuGl &gl, GLuint tex, const Rect &dst, const Rect &src, int tw, int th) {
    glViewport(dst.x, dst.y, dst.w, dst.h);
    glBindTexture(GL_TEXTURE_2D, tex);
    glUniform4f(gl.blit.src, float(src.x) / float(tw), float(src.y) / float(th),
                float(src.w) / float(tw), float(src.h) / float(th));
    gl_draw_triangle(gl);
}

// One output's composed picture into the next buffer of its ring; false when it
// cannot be drawn.
bool compose_one(GpuPass &p, const ComposeJob &j, const GlRingSlot *&slot) {
    GpuGl &gl = *p.gl;
    const int W = j.overlay.w, H = j.overlay.h;
    GlComposeRing &r = gl.compose[j.ring];
    // No surface: the picture alone, at the output's size.
    const GLuint overlay = j.overlay.fd < 0 ? 0 : overlay_texture(gl, r.overlay, j.overlay);
    if ((j.overlay.fd >= 0 && !overlay) || !ring_ready(gl, r, W, H)) return false;
    slot = &r.slots[r.idx];
    r.idx = (r.idx + 1) % kGlRingSlots;
    glBindFramebuffer(GL_FRAMEBUFFER, slot->fbo.get());
    glViewport(0, 0, W, H);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glUseProgram(gl.blit.prog.get());
    glActiveTexture(GL_TEXTURE0);
    glUniform1i(gl.blit.tex, 0);
    blit(gl, j.picture_tex, j.dst, j.src, p.w, p.h);
    if (!overlay) return true;
    glEnable(GL_BLEND);
    // Straight alpha is multiplied here; pre-multiplied colours are taken as they are,
    // else the edges of antialiased text would come out too bright.
    glBlendFunc(j.overlay.premultiplied ? GL_ONE : GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    blit(gl, overlay, {0, 0, W, H}, {0, 0, W, H}, W, H);
    glDisable(GL_BLEND);
    return true;
}

}  // namespace

void gl_compose_fbs(GpuPass &p, std::span<const ComposeJob> jobs, std::span<FbId> out) {
    if (p.ready != 1 || !blit_ready(p.gl->blit)) return;
    const GlRingSlot *slots[kGlMaxComposed] = {};
    const size_t n = std::min({jobs.size(), out.size(), size_t(kGlMaxComposed)});
    for (size_t i = 0; i < n; i++)
        if (jobs[i].ring < 0 || jobs[i].ring >= kGlMaxComposed ||
            !compose_one(p, jobs[i], slots[i]))
            slots[i] = nullptr;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glFinish();  // the pictures are whole before the displays are given the buffers
    for (size_t i = 0; i < n; i++)
        if (slots[i])
            out[i] = gl_slot_fb_sized(p.card, *slots[i], jobs[i].overlay.w, jobs[i].overlay.h);
}
