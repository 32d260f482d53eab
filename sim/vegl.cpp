// EGL and GLES on the virtual board: Mesa's llvmpipe does the drawing for real. The
// GBM-platform display is answered with Mesa's surfaceless display, and DMA-BUF
// images, which llvmpipe cannot import, are made from GL textures instead:
// - an NV12 frame of the virtual decoder is converted on the CPU as the display
//   controller converts it (BT.601 limited range, chroma of the 2x2 block) and
//   uploaded into a texture;
// - an XRGB/ARGB buffer (a GBM buffer of the render ring) is backed by a texture, and
//   whatever is drawn into it is copied back into the buffer's memfd by glFinish, so
//   the virtual card scans out what the shader drew.
// The entry points are interposed and forward with dlsym(RTLD_NEXT); the extension
// functions the program looks up with eglGetProcAddress are the sim's own.
#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>
#include <drm_fourcc.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/vgpu.h"

namespace {

template <typename F>
F next_fn(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(name) static const auto real = next_fn<decltype(&::name)>(#name)

// An extension entry point of the real libraries.
template <typename F>
F real_proc(const char *name) {
    static const auto get = next_fn<decltype(&::eglGetProcAddress)>("eglGetProcAddress");
    return reinterpret_cast<F>(get(name));
}

int64_t mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- faults ----

struct Fault {
    std::string what;
    int64_t nth;  // 0: every call
};

// An image the sim made from a texture. Ring buffers keep their memfd mapped for
// the copy back.
struct SimImage {
    GLuint tex = 0;
    uint8_t *map = nullptr;
    size_t map_len = 0;
    uint32_t offset = 0, pitch = 0;
    int w = 0, h = 0;
    bool card_map = false;  // map is the virtual card's own mapping of one of its buffers
};

// The texture of a decoder frame's image, kept after the image is destroyed for the
// next frame of the same size in the same context.
struct SpareTexture {
    GLuint tex;
    int w, h;
    EGLContext ctx;
};

struct GpuState {
    std::mutex mu;
    bool loaded = false;
    std::vector<Fault> faults;
    std::map<std::string, int64_t> calls;
    std::map<EGLImageKHR, SimImage> images;
    std::map<GLuint, EGLImageKHR> targets;  // textures bound to ring images
    std::set<GLuint> drawn;                 // framebuffers drawn into since the last glFinish
    SimGpuStats stats{};
    // Frame-sized buffers live as long as the process and are reused: allocated and
    // freed for every frame they would settle in the main heap once glibc has raised
    // its mmap threshold, and fragment it (llvmpipe's texture storage too).
    std::vector<SpareTexture> spare;  // at most kSpareTextures
    std::vector<uint8_t> pixels;      // conversions and read-backs, on the GL thread
};
constexpr size_t kSpareTextures = 2;

GpuState &gpu() {
    static auto *s = new GpuState;  // never destroyed: atexit writers may still look
    return *s;
}

// ZYL_SIM_GPU_FAIL=what[@N][,what[@N]...]
void load_faults_locked(GpuState &g) {
    if (g.loaded) return;
    g.loaded = true;
    const char *v = getenv("ZYL_SIM_GPU_FAIL");
    std::string s = v ? v : "";
    for (size_t pos = 0; pos < s.size();) {
        size_t end = s.find(',', pos);
        if (end == std::string::npos) end = s.size();
        std::string word = s.substr(pos, end - pos);
        size_t at = word.find('@');
        int64_t nth = at == std::string::npos ? 0 : strtoll(word.c_str() + at + 1, nullptr, 10);
        if (!word.empty()) g.faults.push_back({word.substr(0, at), nth});
        pos = end + 1;
    }
}

// ---- pictures ----

uint8_t clamp8(int v) {
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The virtual card's NV12 conversion: BT.601 limited range, integer arithmetic.
void nv12_to_rgba(const uint8_t *y_plane, uint32_t y_pitch, const uint8_t *uv_plane,
                  uint32_t uv_pitch, int w, int h, uint8_t *out) {
    for (int y = 0; y < h; y++) {
        const uint8_t *yr = y_plane + size_t(y) * y_pitch;
        const uint8_t *uvr = uv_plane + size_t(y / 2) * uv_pitch;
        uint8_t *o = out + size_t(y) * w * 4;
        for (int x = 0; x < w; x++, o += 4) {
            int c = 298 * (yr[x] - 16), d = uvr[(x / 2) * 2] - 128, e = uvr[(x / 2) * 2 + 1] - 128;
            o[0] = clamp8((c + 409 * e + 128) >> 8);
            o[1] = clamp8((c - 100 * d - 208 * e + 128) >> 8);
            o[2] = clamp8((c + 516 * d + 128) >> 8);
            o[3] = 255;
        }
    }
}

void bgrx_to_rgba(const uint8_t *src, uint32_t pitch, int w, int h, bool alpha, uint8_t *out) {
    for (int y = 0; y < h; y++) {
        const uint8_t *s = src + size_t(y) * pitch;
        uint8_t *o = out + size_t(y) * w * 4;
        for (int x = 0; x < w; x++, s += 4, o += 4) {
            o[0] = s[2];
            o[1] = s[1];
            o[2] = s[0];
            o[3] = alpha ? s[3] : 255;
        }
    }
}

// A texture with `rgba` (or an empty one of `format`), leaving the GL state as it was.
GLuint make_texture(int w, int h, GLenum format, const uint8_t *rgba) {
    GLint bound = 0, align = 4;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &align);
    GLuint tex = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GLint(format), w, h, 0, format, GL_UNSIGNED_BYTE, rgba);
    glPixelStorei(GL_UNPACK_ALIGNMENT, align);
    glBindTexture(GL_TEXTURE_2D, GLuint(bound));
    return tex;
}

// The GL thread's conversion buffer, at least `bytes` long.
uint8_t *scratch(GpuState &g, size_t bytes) {
    if (g.pixels.size() < bytes) g.pixels.resize(bytes);
    return g.pixels.data();
}

// A texture of a destroyed frame image of this size in the current context, filled
// with `rgba`; 0 when there is none.
GLuint reuse_texture(GpuState &g, int w, int h, const uint8_t *rgba) {
    const EGLContext ctx = eglGetCurrentContext();
    GLuint tex = 0;
    {
        std::lock_guard lk(g.mu);
        for (auto t = g.spare.begin(); t != g.spare.end(); ++t) {
            if (t->w != w || t->h != h || t->ctx != ctx) continue;
            tex = t->tex;
            g.spare.erase(t);
            break;
        }
    }
    if (!tex) return 0;
    GLint bound = 0, align = 4;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &align);
    glBindTexture(GL_TEXTURE_2D, tex);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
    glPixelStorei(GL_UNPACK_ALIGNMENT, align);
    glBindTexture(GL_TEXTURE_2D, GLuint(bound));
    return tex;
}

// Keeps a frame image's texture for a later frame, or deletes it (and, for a new
// size, the spares of the old one).
void retire_texture(GpuState &g, const SimImage &im) {
    GLuint drop[kSpareTextures + 1];
    GLsizei n = 0;
    {
        std::lock_guard lk(g.mu);
        const EGLContext ctx = eglGetCurrentContext();
        for (auto t = g.spare.begin(); t != g.spare.end();) {
            const bool stale = t->w != im.w || t->h != im.h || t->ctx != ctx;
            if (stale) drop[n++] = t->tex;
            t = stale ? g.spare.erase(t) : std::next(t);
        }
        if (g.spare.size() < kSpareTextures)
            g.spare.push_back({im.tex, im.w, im.h, ctx});
        else
            drop[n++] = im.tex;
    }
    glDeleteTextures(n, drop);
}

// ---- DMA-BUF import ----

struct DmaBuf {
    int w = 0, h = 0;
    uint32_t fourcc = 0;
    std::array<int, 3> fd{-1, -1, -1};
    std::array<uint32_t, 3> offset{}, pitch{};
    uint64_t modifier = 0;  // plane 0's; the others must agree
    bool tiled = false;     // a layout this GPU cannot read
};

bool is_sand128(uint64_t m) {
    return (m >> 56) == DRM_FORMAT_MOD_VENDOR_BROADCOM &&
           fourcc_mod_broadcom_mod(m) == DRM_FORMAT_MOD_BROADCOM_SAND128;
}

DmaBuf parse_dmabuf(const EGLint *a) {
    constexpr EGLint kFd[3] = {EGL_DMA_BUF_PLANE0_FD_EXT, EGL_DMA_BUF_PLANE1_FD_EXT,
                               EGL_DMA_BUF_PLANE2_FD_EXT};
    constexpr EGLint kOff[3] = {EGL_DMA_BUF_PLANE0_OFFSET_EXT, EGL_DMA_BUF_PLANE1_OFFSET_EXT,
                                EGL_DMA_BUF_PLANE2_OFFSET_EXT};
    constexpr EGLint kPitch[3] = {EGL_DMA_BUF_PLANE0_PITCH_EXT, EGL_DMA_BUF_PLANE1_PITCH_EXT,
                                  EGL_DMA_BUF_PLANE2_PITCH_EXT};
    constexpr EGLint kMod[6] = {
        EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT,
        EGL_DMA_BUF_PLANE1_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE1_MODIFIER_HI_EXT,
        EGL_DMA_BUF_PLANE2_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE2_MODIFIER_HI_EXT};
    DmaBuf d;
    std::array<uint64_t, 3> mods{};  // each plane's, as its two halves come
    for (; a && a[0] != EGL_NONE; a += 2) {
        if (a[0] == EGL_WIDTH) d.w = a[1];
        if (a[0] == EGL_HEIGHT) d.h = a[1];
        if (a[0] == EGL_LINUX_DRM_FOURCC_EXT) d.fourcc = uint32_t(a[1]);
        for (int i = 0; i < 3; i++) {
            if (a[0] == kFd[i]) d.fd[i] = a[1];
            if (a[0] == kOff[i]) d.offset[i] = uint32_t(a[1]);
            if (a[0] == kPitch[i]) d.pitch[i] = uint32_t(a[1]);
        }
        for (int i = 0; i < 6; i++)
            if (a[0] == kMod[i]) mods[i / 2] |= uint64_t(uint32_t(a[1])) << (i % 2 ? 32 : 0);
    }
    d.modifier = mods[0];
    // Mesa refuses planes whose modifiers differ.
    for (int i = 1; i < 3; i++)
        if (d.fd[i] >= 0 && mods[i] != mods[0]) d.tiled = true;
    // Linear, or NV12 in SAND128 columns as the Pi's GPU driver imports it.
    if (d.modifier != 0 && !(d.fourcc == DRM_FORMAT_NV12 && is_sand128(d.modifier))) d.tiled = true;
    return d;
}

// The whole file behind a descriptor, mapped; null on failure.
uint8_t *map_fd(int fd, bool writable, size_t *len) {
    struct stat sb;
    if (fd < 0 || fstat(fd, &sb) != 0 || sb.st_size <= 0) return nullptr;
    *len = size_t(sb.st_size);
    void *p = mmap(nullptr, *len, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
}

bool fits(const DmaBuf &d, int plane, size_t len, int rows, int row_bytes) {
    return d.pitch[plane] >= uint32_t(row_bytes) &&
           uint64_t(d.offset[plane]) + uint64_t(d.pitch[plane]) * rows <= len;
}

// The rows of each 128-byte column of a SAND128 plane, `ch` rows apart, gathered
// into a linear plane `pitch` bytes wide; false when the columns run past the buffer.
bool sand_gather(const uint8_t *map, size_t len, uint32_t offset, uint32_t ch, int pitch, int rows,
                 uint8_t *out) {
    const int cols = (pitch + 127) / 128;
    if (uint64_t(offset) + uint64_t(cols - 1) * 128 * ch + uint64_t(rows) * 128 > len) return false;
    for (int c = 0; c < cols; c++) {
        const size_t n = size_t(std::min(128, pitch - c * 128));
        const uint8_t *col = map + offset + size_t(c) * 128 * ch;
        for (int r = 0; r < rows; r++)
            memcpy(out + size_t(r) * pitch + size_t(c) * 128, col + size_t(r) * 128, n);
    }
    return true;
}

// A SAND128 frame made linear in `lin` (pitch: its width rounded up to even, the
// chroma rows after the luma rows); false when it does not fit its buffers.
bool sand_to_linear(const DmaBuf &d, const uint8_t *y_map, size_t y_len, const uint8_t *uv_map,
                    size_t uv_len, std::vector<uint8_t> &lin) {
    const int pitch = (d.w + 1) & ~1, rows = d.h, uv_rows = (d.h + 1) / 2;
    const uint32_t ch = uint32_t(fourcc_mod_broadcom_param(d.modifier));
    lin.resize(size_t(pitch) * (rows + uv_rows));
    return ch >= uint32_t(rows) &&
           sand_gather(y_map, y_len, d.offset[0], ch, pitch, rows, lin.data()) &&
           sand_gather(uv_map, uv_len, d.offset[1], ch, pitch, uv_rows,
                       lin.data() + size_t(pitch) * rows);
}

// The texture holding an NV12 frame's picture; 0 on failure.
GLuint upload_nv12(const DmaBuf &d, GpuState &g) {
    int uv_fd = d.fd[1] >= 0 ? d.fd[1] : d.fd[0];
    size_t y_len = 0, uv_len = 0;
    uint8_t *y_map = map_fd(d.fd[0], false, &y_len);
    uint8_t *uv_map = map_fd(uv_fd, false, &uv_len);
    GLuint tex = 0;
    std::vector<uint8_t> lin;
    const uint8_t *y_at = nullptr, *uv_at = nullptr;
    uint32_t y_pitch = d.pitch[0], uv_pitch = d.pitch[1];
    const bool mapped = y_map && uv_map;
    if (mapped && d.modifier != 0 && sand_to_linear(d, y_map, y_len, uv_map, uv_len, lin)) {
        y_pitch = uv_pitch = uint32_t((d.w + 1) & ~1);
        y_at = lin.data();
        uv_at = lin.data() + size_t(y_pitch) * d.h;
    } else if (mapped && d.modifier == 0 && fits(d, 0, y_len, d.h, d.w) &&
               fits(d, 1, uv_len, (d.h + 1) / 2, d.w)) {
        y_at = y_map + d.offset[0];
        uv_at = uv_map + d.offset[1];
    }
    if (y_at) {
        int64_t t0 = mono_ns();
        uint8_t *rgba = scratch(g, size_t(d.w) * d.h * 4);
        nv12_to_rgba(y_at, y_pitch, uv_at, uv_pitch, d.w, d.h, rgba);
        tex = reuse_texture(g, d.w, d.h, rgba);
        if (!tex) tex = make_texture(d.w, d.h, GL_RGBA, rgba);
        std::lock_guard lk(g.mu);
        g.stats.uploads++;
        g.stats.upload_ns += mono_ns() - t0;
    }
    if (y_map) munmap(y_map, y_len);
    if (uv_map) munmap(uv_map, uv_len);
    return tex;
}

EGLImageKHR image_from_texture(EGLDisplay dpy, GLuint tex) {
    static const auto create = real_proc<PFNEGLCREATEIMAGEKHRPROC>("eglCreateImageKHR");
    return create(dpy, eglGetCurrentContext(), EGL_GL_TEXTURE_2D_KHR,
                  reinterpret_cast<EGLClientBuffer>(uintptr_t(tex)), nullptr);
}

EGLImageKHR import_dmabuf(EGLDisplay dpy, const EGLint *attrs) {
    GpuState &g = gpu();
    DmaBuf d = parse_dmabuf(attrs);
    if (d.w <= 0 || d.h <= 0 || d.tiled || eglGetCurrentContext() == EGL_NO_CONTEXT)
        return EGL_NO_IMAGE_KHR;
    SimImage im;
    im.w = d.w;
    im.h = d.h;
    if (d.fourcc == DRM_FORMAT_NV12) {
        if (vgpu_fails("import")) return EGL_NO_IMAGE_KHR;
        im.tex = upload_nv12(d, g);
    } else if (d.fourcc == DRM_FORMAT_XRGB8888 || d.fourcc == DRM_FORMAT_ARGB8888) {
        // A buffer of the card itself (a dumb buffer the program exported) is read where
        // the card keeps it.
        im.map = vcard_dmabuf_map(d.fd[0], &im.map_len);
        im.card_map = im.map != nullptr;
        if (!im.map) im.map = map_fd(d.fd[0], true, &im.map_len);
        if (!im.map || !fits(d, 0, im.map_len, d.h, d.w * 4)) {
            if (im.map && !im.card_map) munmap(im.map, im.map_len);
            return EGL_NO_IMAGE_KHR;
        }
        im.offset = d.offset[0];
        im.pitch = d.pitch[0];
        if (vgpu_fails("fbo")) {
            // Luminance is not colour-renderable: a framebuffer on it is incomplete.
            im.tex = make_texture(d.w, d.h, GL_LUMINANCE, nullptr);
        } else {
            uint8_t *rgba = scratch(g, size_t(d.w) * d.h * 4);
            bgrx_to_rgba(im.map + im.offset, im.pitch, d.w, d.h, d.fourcc == DRM_FORMAT_ARGB8888,
                         rgba);
            im.tex = make_texture(d.w, d.h, GL_RGBA, rgba);
        }
    }
    EGLImageKHR img = im.tex ? image_from_texture(dpy, im.tex) : EGL_NO_IMAGE_KHR;
    if (img == EGL_NO_IMAGE_KHR) {
        if (im.tex) glDeleteTextures(1, &im.tex);
        if (im.map && !im.card_map) munmap(im.map, im.map_len);
        return EGL_NO_IMAGE_KHR;
    }
    std::lock_guard lk(g.mu);
    g.images[img] = im;
    g.stats.live_images++;
    return img;
}

// Copies the picture of the bound framebuffer into its ring buffer, if it is one.
void copy_back_bound_target() {
    GLint fbo = 0, type = 0, name = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &fbo);
    if (!fbo) return;
    glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE, &type);
    if (type != GL_TEXTURE) return;
    glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &name);
    GpuState &g = gpu();
    SimImage im;
    {
        std::lock_guard lk(g.mu);
        auto t = g.targets.find(GLuint(name));
        if (t == g.targets.end()) return;
        auto i = g.images.find(t->second);
        if (i == g.images.end() || !i->second.map) return;
        im = i->second;
    }
    int64_t t0 = mono_ns();
    GLint align = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &align);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    uint8_t *dst = im.map + im.offset;
    if (im.pitch == uint32_t(im.w) * 4) {
        glReadPixels(0, 0, im.w, im.h, GL_BGRA_EXT, GL_UNSIGNED_BYTE, dst);
    } else {
        uint8_t *rows = scratch(g, size_t(im.w) * im.h * 4);
        glReadPixels(0, 0, im.w, im.h, GL_BGRA_EXT, GL_UNSIGNED_BYTE, rows);
        for (int y = 0; y < im.h; y++)
            memcpy(dst + size_t(y) * im.pitch, rows + size_t(y) * im.w * 4, size_t(im.w) * 4);
    }
    glPixelStorei(GL_PACK_ALIGNMENT, align);
    std::lock_guard lk(g.mu);
    g.stats.readbacks++;
    g.stats.readback_ns += mono_ns() - t0;
}

// ---- the extension entry points handed to the program ----

EGLDisplay surfaceless_display() {
    if (vgpu_fails("display")) return EGL_NO_DISPLAY;
    static const auto get = real_proc<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    return get ? get(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr) : EGL_NO_DISPLAY;
}

EGLDisplay EGLAPIENTRY sim_get_platform_display(EGLenum platform, void *native,
                                                const EGLint *attrs) {
    if (platform == EGL_PLATFORM_GBM_KHR && vgbm_is_device(native)) return surfaceless_display();
    static const auto get = real_proc<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    return get ? get(platform, native, attrs) : EGL_NO_DISPLAY;
}

EGLImageKHR EGLAPIENTRY sim_create_image(EGLDisplay dpy, EGLContext ctx, EGLenum target,
                                         EGLClientBuffer buffer, const EGLint *attrs) {
    if (target == EGL_LINUX_DMA_BUF_EXT) return import_dmabuf(dpy, attrs);
    static const auto create = real_proc<PFNEGLCREATEIMAGEKHRPROC>("eglCreateImageKHR");
    return create(dpy, ctx, target, buffer, attrs);
}

EGLBoolean EGLAPIENTRY sim_destroy_image(EGLDisplay dpy, EGLImageKHR img) {
    static const auto destroy = real_proc<PFNEGLDESTROYIMAGEKHRPROC>("eglDestroyImageKHR");
    EGLBoolean ok = destroy(dpy, img);
    GpuState &g = gpu();
    SimImage im;
    {
        std::lock_guard lk(g.mu);
        auto i = g.images.find(img);
        if (i == g.images.end()) return ok;
        im = i->second;
        g.images.erase(i);
        g.stats.live_images--;
        for (auto t = g.targets.begin(); t != g.targets.end();)
            t = t->second == img ? g.targets.erase(t) : std::next(t);
    }
    if (im.map) {
        glDeleteTextures(1, &im.tex);
        if (!im.card_map) munmap(im.map, im.map_len);
    } else {
        retire_texture(g, im);
    }
    return ok;
}

void GL_APIENTRY sim_image_target(GLenum target, GLeglImageOES img) {
    static const auto bind =
        real_proc<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>("glEGLImageTargetTexture2DOES");
    bind(target, img);
    if (target != GL_TEXTURE_2D) return;
    GLint tex = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &tex);
    GpuState &g = gpu();
    std::lock_guard lk(g.mu);
    if (g.images.count(img)) g.targets[GLuint(tex)] = img;
}

}  // namespace

bool vgpu_fails(const char *what) {
    GpuState &g = gpu();
    std::lock_guard lk(g.mu);
    load_faults_locked(g);
    int64_t n = ++g.calls[what];
    for (const Fault &f : g.faults)
        if (f.what == what && (f.nth == 0 || f.nth == n)) return true;
    return false;
}

SimGpuStats sim_gpu_stats() {
    GpuState &g = gpu();
    std::lock_guard lk(g.mu);
    return g.stats;
}

namespace {

// Mesa leaves a few of its driver's allocations behind when eglTerminate unloads the
// driver; with the driver gone, the leak checker can name neither the driver nor the
// stack, and blames the receiver for a display it did release. The driver stays
// loaded instead, so what it keeps is still its own. Nothing of the receiver's is
// hidden: what it fails to release is still held by a live display.
void keep_mesa_driver_loaded() {
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *) {
            const char *path = info->dlpi_name;
            if (path && (strstr(path, "/dri/") || strstr(path, "libgallium")))
                dlopen(path, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}

}  // namespace

extern "C" {

__eglMustCastToProperFunctionPointerType eglGetProcAddress(const char *name) {
    REAL(eglGetProcAddress);
    using Fn = __eglMustCastToProperFunctionPointerType;
    Fn own = nullptr;
    if (!name) return real(name);
    if (strcmp(name, "eglGetPlatformDisplayEXT") == 0)
        own = reinterpret_cast<Fn>(&sim_get_platform_display);
    else if (strcmp(name, "eglCreateImageKHR") == 0)
        own = reinterpret_cast<Fn>(&sim_create_image);
    else if (strcmp(name, "eglDestroyImageKHR") == 0)
        own = reinterpret_cast<Fn>(&sim_destroy_image);
    else if (strcmp(name, "glEGLImageTargetTexture2DOES") == 0)
        own = reinterpret_cast<Fn>(&sim_image_target);
    if (own) return vgpu_fails(name) ? nullptr : own;
    return real(name);
}

EGLDisplay eglGetDisplay(EGLNativeDisplayType native) {
    if (vgbm_is_device(reinterpret_cast<const void *>(native))) return surfaceless_display();
    REAL(eglGetDisplay);
    return real(native);
}

EGLContext eglCreateContext(EGLDisplay dpy, EGLConfig config, EGLContext share,
                            const EGLint *attrs) {
    if (vgpu_fails("context")) return EGL_NO_CONTEXT;
    REAL(eglCreateContext);
    return real(dpy, config, share, attrs);
}

EGLBoolean eglInitialize(EGLDisplay dpy, EGLint *major, EGLint *minor) {
    if (vgpu_fails("initialize")) return EGL_FALSE;
    REAL(eglInitialize);
    const EGLBoolean ok = real(dpy, major, minor);
    if (ok) keep_mesa_driver_loaded();
    return ok;
}

EGLBoolean eglBindAPI(EGLenum api) {
    if (vgpu_fails("bind_api")) return EGL_FALSE;
    REAL(eglBindAPI);
    return real(api);
}

EGLBoolean eglMakeCurrent(EGLDisplay dpy, EGLSurface draw, EGLSurface read, EGLContext ctx) {
    if (vgpu_fails("make_current")) return EGL_FALSE;
    REAL(eglMakeCurrent);
    return real(dpy, draw, read, ctx);
}

// A failing compile or link is a real one, with the compiler's own log.
void glCompileShader(GLuint shader) {
    REAL(glCompileShader);
    if (vgpu_fails("compile")) {
        const char *broken = "#error compile made to fail by ZYL_SIM_GPU_FAIL\n";
        glShaderSource(shader, 1, &broken, nullptr);
    }
    real(shader);
}

void glLinkProgram(GLuint program) {
    REAL(glLinkProgram);
    if (vgpu_fails("link")) {
        GLuint shaders[8];
        GLsizei n = 0;
        glGetAttachedShaders(program, 8, &n, shaders);
        for (GLsizei i = 0; i < n; i++) glDetachShader(program, shaders[i]);
    }
    real(program);
}

// A framebuffer on a texture of the program's own, not on an image, is left without
// its colour attachment when made to fail, so the driver finds it really incomplete.
void glFramebufferTexture2D(GLenum target, GLenum attachment, GLenum textarget, GLuint texture,
                            GLint level) {
    REAL(glFramebufferTexture2D);
    bool image = false;
    {
        GpuState &g = gpu();
        std::lock_guard lk(g.mu);
        image = g.targets.count(texture) != 0;
    }
    if (texture && !image && vgpu_fails("fbo_texture")) texture = 0;
    real(target, attachment, textarget, texture, level);
}

// Framebuffers drawn into since the last glFinish: a GPU writes every one of them, so
// every ring buffer among them is copied back, not only the one bound at the end.
void glDrawArrays(GLenum mode, GLint first, GLsizei count) {
    REAL(glDrawArrays);
    real(mode, first, count);
    GLint fbo = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &fbo);
    GpuState &g = gpu();
    std::lock_guard lk(g.mu);
    if (fbo) g.drawn.insert(GLuint(fbo));
}

void glFinish() {
    REAL(glFinish);
    real();
    GpuState &g = gpu();
    std::set<GLuint> drawn;
    {
        std::lock_guard lk(g.mu);
        drawn.swap(g.drawn);
    }
    GLint bound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    drawn.insert(GLuint(bound));
    for (GLuint fbo : drawn) {
        if (!glIsFramebuffer(fbo)) continue;  // deleted since
        glBindFramebuffer(GL_FRAMEBUFFER, fbo);
        copy_back_bound_target();
    }
    glBindFramebuffer(GL_FRAMEBUFFER, GLuint(bound));
}

}  // extern "C"
