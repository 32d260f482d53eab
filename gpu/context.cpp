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
#include "kms/kms.h"

int g_gl_ready;
int g_gl_src_dim_w, g_gl_src_dim_h;
int g_gl_w, g_gl_h;
gbm_device *g_gbm;
namespace {
int g_card = -1;  // the display card's descriptor, which the display owns
}  // namespace

void gl_use_card(int fd) {
    g_card = fd;
}

int gl_card() {
    return g_card;
}
EGLDisplay g_egl = EGL_NO_DISPLAY;
PFNEGLCREATEIMAGEKHRPROC eglCreateImageKHR_;
PFNEGLDESTROYIMAGEKHRPROC eglDestroyImageKHR_;
PFNGLEGLIMAGETARGETTEXTURE2DOESPROC glEGLImageTargetTexture2DOES_;
GLuint g_prog;
int g_a_pos;
GLuint g_src_tex;
GlRingSlot g_glring[kGlRingSlots * kGlMaxPictures];
int g_glring_n = kGlRingSlots;
int g_glring_idx;

namespace {

constexpr uint32_t kRingFormat = DRM_FORMAT_XRGB8888;
constexpr uint32_t kRingUsage = GBM_BO_USE_SCANOUT | GBM_BO_USE_RENDERING;

int fail(const char *why) {
    fprintf(stderr, "zyl-mpp: dewarp: %s\n", why);
    return -1;
}

template <typename F>
F proc(const char *name) {
    return reinterpret_cast<F>(eglGetProcAddress(name));
}

int build_slot(GlRingSlot &s, int w, int h) {
    s.bo = gbm_bo_create(g_gbm, uint32_t(w), uint32_t(h), kRingFormat, kRingUsage);
    if (!s.bo) return fail("gbm_bo_create failed");
    int fd = gbm_bo_get_fd(s.bo);
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
                            EGLint(gbm_bo_get_stride(s.bo)),
                            EGL_NONE};
    s.image = eglCreateImageKHR_(g_egl, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs);
    if (fd >= 0) close(fd);  // the image holds its own reference
    if (s.image == EGL_NO_IMAGE_KHR) return fail("export EGLImage failed");
    glGenTextures(1, &s.tex);
    glBindTexture(GL_TEXTURE_2D, s.tex);
    glEGLImageTargetTexture2DOES_(GL_TEXTURE_2D, s.image);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glGenFramebuffers(1, &s.fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, s.fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, s.tex, 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        return fail("FBO incomplete");
    return 0;
}

int start_context() {
    g_gbm = gbm_create_device(g_card);
    if (!g_gbm) return fail("gbm_create_device failed");
    auto platform_display = proc<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    g_egl = platform_display ? platform_display(EGL_PLATFORM_GBM_KHR, g_gbm, nullptr)
                             : eglGetDisplay(reinterpret_cast<EGLNativeDisplayType>(g_gbm));
    if (g_egl == EGL_NO_DISPLAY) return fail("eglGetDisplay failed");
    if (!eglInitialize(g_egl, nullptr, nullptr)) return fail("eglInitialize failed");
    if (!eglBindAPI(EGL_OPENGL_ES_API)) return fail("eglBindAPI failed");
    const EGLint ctx_attrs[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
    EGLContext ctx = eglCreateContext(g_egl, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, ctx_attrs);
    if (ctx == EGL_NO_CONTEXT) return fail("eglCreateContext failed");
    // No surface at all: every picture goes into the ring's framebuffer objects.
    if (!eglMakeCurrent(g_egl, EGL_NO_SURFACE, EGL_NO_SURFACE, ctx))
        return fail("eglMakeCurrent failed");
    eglCreateImageKHR_ = proc<PFNEGLCREATEIMAGEKHRPROC>("eglCreateImageKHR");
    eglDestroyImageKHR_ = proc<PFNEGLDESTROYIMAGEKHRPROC>("eglDestroyImageKHR");
    glEGLImageTargetTexture2DOES_ =
        proc<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>("glEGLImageTargetTexture2DOES");
    if (!eglCreateImageKHR_ || !eglDestroyImageKHR_ || !glEGLImageTargetTexture2DOES_)
        return fail("missing EGL/GLES dmabuf-import entry points");
    return 0;
}

int start_program() {
    g_prog = gl_build_program("");
    if (!g_prog) return -1;
    g_a_pos = 0;
    g_u = gl_lookup_uniforms(g_prog);
    return 0;
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
            fprintf(stderr, "zyl-mpp: dewarp: pinned %s governor to performance\n", e->d_name);
        close(fd);
    }
    closedir(dir);
}

}  // namespace

GLuint gl_compile(GLenum type, const char *src) {
    GLuint sh = glCreateShader(type);
    glShaderSource(sh, 1, &src, nullptr);
    glCompileShader(sh);
    GLint ok = 0;
    glGetShaderiv(sh, GL_COMPILE_STATUS, &ok);
    if (ok) return sh;
    char log[512] = "";
    glGetShaderInfoLog(sh, sizeof log, nullptr, log);
    fprintf(stderr, "zyl-mpp: GLES shader compile failed: %s\n", log);
    glDeleteShader(sh);
    return 0;
}

GLuint gl_build_program(const char *defines) {
    std::string fs = std::string(defines) + kGlFragmentShader;
    GLuint vs_sh = gl_compile(GL_VERTEX_SHADER, kGlVertexShader);
    GLuint fs_sh = gl_compile(GL_FRAGMENT_SHADER, fs.c_str());
    GLuint prog = 0;
    if (vs_sh && fs_sh) {
        prog = glCreateProgram();
        glAttachShader(prog, vs_sh);
        glAttachShader(prog, fs_sh);
        glBindAttribLocation(prog, 0, "aPos");
        glLinkProgram(prog);
    }
    // Attached shaders live on with their program; the others go now.
    if (vs_sh) glDeleteShader(vs_sh);
    if (fs_sh) glDeleteShader(fs_sh);
    if (!prog) return 0;
    GLint linked = 0;
    glGetProgramiv(prog, GL_LINK_STATUS, &linked);
    if (linked) return prog;
    fail("program link failed");
    glDeleteProgram(prog);
    return 0;
}

void gl_render_size(const std::string &size, int src_w, int src_h) {
    g_gl_w = src_w;
    g_gl_h = src_h;
    if (size.empty()) return;
    const char *v = size.c_str();
    int w = 0, h = 0;
    if (sscanf(v, "%dx%d", &w, &h) != 2) {
        // A height alone: the width follows the source's shape.
        h = int(strtol(v, nullptr, 10));
        if (h > 0 && src_h > 0) w = int(double(src_w) * h / src_h + 0.5);
    }
    if (w < 320 || w > src_w || h < 240 || h > src_h) {
        fprintf(stderr, "zyl-mpp: ZYL_KMS_GL_SIZE=%s ignored (want 320x240..%dx%d)\n", v, src_w,
                src_h);
        return;
    }
    g_gl_w = w & ~15;
    g_gl_h = h & ~1;
    fprintf(stderr,
            "zyl-mpp: GL pass renders %dx%d (source %dx%d) — display scales up; ~%.2fx less GPU\n",
            g_gl_w, g_gl_h, src_w, src_h, double(src_w) * src_h / (double(g_gl_w) * g_gl_h));
}

int gl_ring_create(int w, int h) {
    for (int i = 0; i < g_glring_n; i++)
        if (build_slot(g_glring[i], w, h) != 0) return -1;  // what was built stays as it is
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    g_glring_idx = 0;
    return 0;
}

int gl_ring_grow(int pictures) {
    const int want = kGlRingSlots * std::clamp(pictures, 1, kGlMaxPictures);
    bool ok = true;
    for (; ok && g_glring_n < want; g_glring_n++)
        ok = build_slot(g_glring[g_glring_n], g_gl_w, g_gl_h) == 0;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (ok) return 0;
    // Like a ring that cannot be rebuilt: the pass is off for the rest of the process.
    fprintf(stderr,
            "zyl-mpp: dewarp: ring of %d buffers failed — dewarp disabled, showing uncorrected\n",
            want);
    g_gl_ready = -1;
    return -1;
}

void gl_ring_release() {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    for (GlRingSlot &s : g_glring) {
        if (s.fbo) glDeleteFramebuffers(1, &s.fbo);
        if (s.tex) glDeleteTextures(1, &s.tex);
        if (s.image) eglDestroyImageKHR_(g_egl, s.image);
        if (s.bo) gbm_bo_destroy(s.bo);
        s = GlRingSlot{};
    }
}

void gl_start(const std::string &size, int src_w, int src_h) {
    g_gl_src_dim_w = src_w;
    g_gl_src_dim_h = src_h;
    gl_render_size(size, src_w, src_h);
    bool ok = start_context() == 0 && start_program() == 0;
    if (ok) {
        glGenTextures(1, &g_src_tex);
        ok = gl_ring_create(g_gl_w, g_gl_h) == 0;
    }
    if (!ok) {
        // Nothing made so far is released: the pass is never tried again.
        fprintf(stderr, "zyl-mpp: dewarp disabled (GLES init failed) — showing uncorrected\n");
        g_gl_ready = -1;
        return;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    pin_gpu_governor();
    g_gl_ready = 1;
    lut_start();
    const auto *renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    fprintf(stderr, "zyl-mpp: dewarp GPU pass ready (%dx%d, %s, ring x%d)\n", g_gl_w, g_gl_h,
            renderer ? renderer : "GLES", kGlRingSlots);
}

int gl_source_changed(const std::string &size, int src_w, int src_h) {
    fprintf(stderr,
            "zyl-mpp: source geometry changed %dx%d→%dx%d — re-initialising dewarp/encode\n",
            g_gl_src_dim_w, g_gl_src_dim_h, src_w, src_h);
    fflush(stderr);
    gl_ring_release();
    g_gl_src_dim_w = src_w;
    g_gl_src_dim_h = src_h;
    gl_render_size(size, src_w, src_h);
    if (gl_ring_create(g_gl_w, g_gl_h) == 0) return 0;
    fprintf(stderr,
            "zyl-mpp: dewarp: ring rebuild failed — dewarp disabled, showing uncorrected\n");
    g_gl_ready = -1;
    return -1;
}

uint32_t gl_slot_fb(const GlRingSlot &slot) {
    uint32_t handles[4] = {gbm_bo_get_handle(slot.bo).u32},
             pitches[4] = {gbm_bo_get_stride(slot.bo)};
    uint32_t offsets[4] = {}, fb = 0;
    if (drmModeAddFB2(g_card, uint32_t(g_gl_w), uint32_t(g_gl_h), kRingFormat, handles, pitches,
                      offsets, &fb, 0) != 0)
        return 0;
    return fb;
}
