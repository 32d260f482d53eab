// The GL side of the correction pass: a headless GLES 2 context on the card the
// displays already use, the ring of scan-out buffers it renders into, the render
// size, and the life cycle: started by the first frame, rebuilt when the source size
// changes, switched off for good when anything fails (the video then goes out
// uncorrected).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <drm_fourcc.h>
#include <gbm.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "base/log.h"
#include "kms/kms.h"

namespace {

constexpr uint32_t kRingFormat = DRM_FORMAT_XRGB8888;
constexpr uint32_t kRingUsage = GBM_BO_USE_SCANOUT | GBM_BO_USE_RENDERING;

bool fail(const char *why) {
    say("zyl-mpp: dewarp: %s", why);
    return false;
}

template <typename F>
F proc(const char *name) {
    return reinterpret_cast<F>(eglGetProcAddress(name));
}

}  // namespace

bool gl_slot_build(GpuGl &gl, GlRingSlot &s, int w, int h) {
    s.bo = GbmBo(gbm_bo_create(gl.gbm.get(), uint32_t(w), uint32_t(h), kRingFormat, kRingUsage));
    if (!s.bo) return fail("gbm_bo_create failed");
    int fd = gbm_bo_get_fd(s.bo.get());
    const EGLint attrs[] = {EGL_WIDTH,
                            w,
                            EGL_HEIGHT,
                            h,
                            EGL_LINUX_DRM_FOURCC_EXT,
                            EGLint(kRingFormat),
                            EGL_DMA_BUF_PLANE0_FD_EXT,
                            fd,
                            EGL_DMA_BUF_PLANE0_OFFSET_EXT,
                            0,
                            EGL_DMA_BUF_PLANE0_PITCH_EXT,
                            EGLint(gbm_bo_get_stride(s.bo.get())),
                            EGL_NONE};
    s.image = EglImage(
        gl.eglCreateImageKHR_(gl.egl.get(), EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs),
        gl.egl.get());
    if (fd >= 0) close(fd);  // the image holds its own reference
    if (!s.image) return fail("export EGLImage failed");
    s.tex = gl_image_texture(gl, s.image, GL_LINEAR);
    GLuint name = 0;
    glGenFramebuffers(1, &name);
    s.fbo = GlFramebuffer(name);
    glBindFramebuffer(GL_FRAMEBUFFER, name);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, s.tex.get(), 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        return fail("FBO incomplete");
    return true;
}

namespace {

bool start_context(GpuGl &gl, int card) {
    gl.gbm = GbmDevice(gbm_create_device(card));
    if (!gl.gbm) return fail("gbm_create_device failed");
    auto platform_display = proc<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    EGLDisplay dpy = platform_display
                         ? platform_display(EGL_PLATFORM_GBM_KHR, gl.gbm.get(), nullptr)
                         : eglGetDisplay(reinterpret_cast<EGLNativeDisplayType>(gl.gbm.get()));
    if (dpy == EGL_NO_DISPLAY) return fail("eglGetDisplay failed");
    if (!eglInitialize(dpy, nullptr, nullptr)) return fail("eglInitialize failed");
    gl.egl = EglDisplay(dpy);
    if (!eglBindAPI(EGL_OPENGL_ES_API)) return fail("eglBindAPI failed");
    const EGLint ctx_attrs[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
    gl.ctx = EglContext(eglCreateContext(dpy, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, ctx_attrs), dpy);
    if (!gl.ctx) return fail("eglCreateContext failed");
    // No surface at all: every picture goes into the ring's framebuffer objects.
    if (!eglMakeCurrent(dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, gl.ctx.get()))
        return fail("eglMakeCurrent failed");
    gl.eglCreateImageKHR_ = proc<PFNEGLCREATEIMAGEKHRPROC>("eglCreateImageKHR");
    gl.eglDestroyImageKHR_ = proc<PFNEGLDESTROYIMAGEKHRPROC>("eglDestroyImageKHR");
    gl.glEGLImageTargetTexture2DOES_ =
        proc<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>("glEGLImageTargetTexture2DOES");
    if (!gl.eglCreateImageKHR_ || !gl.eglDestroyImageKHR_ || !gl.glEGLImageTargetTexture2DOES_)
        return fail("missing EGL/GLES dmabuf-import entry points");
    return true;
}

bool start_program(GpuGl &gl) {
    gl.prog = gl_build_program("");
    if (!gl.prog) return false;
    gl.a_pos = 0;
    gl.u = gl_lookup_uniforms(gl.prog.get());
    return true;
}

// The GPU's clock governor is pinned to "performance" for good: a governor that
// ramps up only under load adds its ramp time to the first frames of every burst.
void pin_gpu_governor() {
    DIR *dir = opendir("/sys/class/devfreq");
    if (!dir) return;
    while (const dirent *e = readdir(dir)) {
        if (!strstr(e->d_name, "gpu")) continue;
        char path[256];
        snprintf(path, sizeof path, "/sys/class/devfreq/%.200s/governor", e->d_name);
        int fd = open(path, O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        if (write(fd, "performance", 11) > 0)
            say("zyl-mpp: dewarp: pinned %s governor to performance", e->d_name);
        close(fd);
    }
    closedir(dir);
}

}  // namespace

GpuPass::GpuPass() = default;
GpuPass::~GpuPass() = default;

GlTexture gl_image_texture(const GpuGl &gl, const EglImage &image, GLint filter) {
    GLuint name = 0;
    glGenTextures(1, &name);
    GlTexture tex(name);
    glBindTexture(GL_TEXTURE_2D, name);
    gl.glEGLImageTargetTexture2DOES_(GL_TEXTURE_2D, image.get());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
    return tex;
}

GlShader gl_compile(GLenum type, const char *src) {
    GlShader sh(glCreateShader(type));
    glShaderSource(sh.get(), 1, &src, nullptr);
    glCompileShader(sh.get());
    GLint ok = 0;
    glGetShaderiv(sh.get(), GL_COMPILE_STATUS, &ok);
    if (ok) return sh;
    char log[512] = "";
    glGetShaderInfoLog(sh.get(), sizeof log, nullptr, log);
    say("zyl-mpp: GLES shader compile failed: %s", log);
    return {};
}

GlProgram gl_link_program(const char *vertex, const char *fragment, const char *what) {
    // Attached shaders live on with their program; the shader owners go on return.
    GlShader vs = gl_compile(GL_VERTEX_SHADER, vertex);
    GlShader fs = gl_compile(GL_FRAGMENT_SHADER, fragment);
    if (!vs || !fs) return {};
    GlProgram prog(glCreateProgram());
    glAttachShader(prog.get(), vs.get());
    glAttachShader(prog.get(), fs.get());
    glBindAttribLocation(prog.get(), 0, "aPos");
    glLinkProgram(prog.get());
    GLint linked = 0;
    glGetProgramiv(prog.get(), GL_LINK_STATUS, &linked);
    if (linked) return prog;
    say("zyl-mpp: %s: program link failed", what);
    return {};
}

GlProgram gl_build_program(const char *defines) {
    std::string fs = std::string(defines) + kGlFragmentShader;
    return gl_link_program(kGlVertexShader, fs.c_str(), "dewarp");
}

void gl_render_size(GpuPass &p, const std::string &size, int src_w, int src_h) {
    p.w = src_w;
    p.h = src_h;
    if (size.empty()) return;
    const char *v = size.c_str();
    int w = 0, h = 0;
    if (sscanf(v, "%dx%d", &w, &h) != 2) {
        // A height alone: the width follows the source's shape.
        h = int(strtol(v, nullptr, 10));
        if (h > 0 && src_h > 0) w = int(double(src_w) * h / src_h + 0.5);
    }
    if (w < 320 || w > src_w || h < 240 || h > src_h) {
        say("zyl-mpp: ZYL_KMS_GL_SIZE=%s ignored (want 320x240..%dx%d)", v, src_w, src_h);
        return;
    }
    p.w = w & ~15;
    p.h = h & ~1;
    say("zyl-mpp: GL pass renders %dx%d (source %dx%d) — display scales up; ~%.2fx less GPU", p.w,
        p.h, src_w, src_h, double(src_w) * src_h / (double(p.w) * p.h));
}

bool gl_ring_create(GpuGl &gl, int w, int h) {
    for (int i = 0; i < gl.ring_n; i++)
        if (!gl_slot_build(gl, gl.ring[i], w, h)) return false;  // what was built stays as it is
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    gl.ring_idx = 0;
    return true;
}

bool gl_ring_grow(GpuPass &p, int pictures) {
    GpuGl &gl = *p.gl;
    const int want = kGlRingSlots * std::clamp(pictures, 1, kGlMaxPictures);
    bool ok = true;
    for (; ok && gl.ring_n < want; gl.ring_n++)
        ok = gl_slot_build(gl, gl.ring[gl.ring_n], p.w, p.h);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (ok) return true;
    // Like a ring that cannot be rebuilt: the pass is off for the rest of the process.
    say("zyl-mpp: dewarp: ring of %d buffers failed — dewarp disabled, showing uncorrected", want);
    p.ready = -1;
    return false;
}

void gl_ring_release(GpuGl &gl) {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    for (GlRingSlot &s : gl.ring) s = GlRingSlot{};
}

void gl_start(GpuPass &p, const std::string &size, int src_w, int src_h) {
    p.src_w = src_w;
    p.src_h = src_h;
    gl_render_size(p, size, src_w, src_h);
    p.gl = std::make_unique<GpuGl>();
    GpuGl &gl = *p.gl;
    bool ok = start_context(gl, p.card) && start_program(gl);
    if (ok) {
        GLuint name = 0;
        glGenTextures(1, &name);
        gl.src_tex = GlTexture(name);
        ok = gl_ring_create(gl, p.w, p.h);
    }
    if (!ok) {
        // What was made so far is kept until the end: the pass is never tried again.
        say("zyl-mpp: dewarp disabled (GLES init failed) — showing uncorrected");
        p.ready = -1;
        return;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    pin_gpu_governor();
    p.ready = 1;
    lut_start(p);
    const auto *renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    say("zyl-mpp: dewarp GPU pass ready (%dx%d, %s, ring x%d)", p.w, p.h,
        renderer ? renderer : "GLES", kGlRingSlots);
}

bool gl_source_changed(GpuPass &p, const std::string &size, int src_w, int src_h) {
    say("zyl-mpp: source geometry changed %dx%d→%dx%d — re-initialising dewarp/encode", p.src_w,
        p.src_h, src_w, src_h);
    gl_ring_release(*p.gl);
    p.src_w = src_w;
    p.src_h = src_h;
    gl_render_size(p, size, src_w, src_h);
    if (gl_ring_create(*p.gl, p.w, p.h)) return true;
    say("zyl-mpp: dewarp: ring rebuild failed — dewarp disabled, showing uncorrected");
    p.ready = -1;
    return false;
}

FbId gl_slot_fb(const GpuPass &p, const GlRingSlot &slot) {
    return gl_slot_fb_sized(p.card, slot, p.w, p.h);
}

FbId gl_slot_fb_sized(int card, const GlRingSlot &slot, int w, int h) {
    uint32_t handles[4] = {gbm_bo_get_handle(slot.bo.get()).u32},
             pitches[4] = {gbm_bo_get_stride(slot.bo.get())};
    uint32_t offsets[4] = {}, fb = 0;
    if (drmModeAddFB2(card, uint32_t(w), uint32_t(h), kRingFormat, handles, pitches, offsets, &fb,
                      0) != 0)
        return {};
    return FbId(fb, card);
}
