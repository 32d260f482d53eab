// Cost of the correction pass on the virtual board's llvmpipe: the full pass (lens,
// grade, LUT and anti-flicker) against a pass-through draw of the same 1920x1080 NV12
// source into the same ring with a shader that only samples it, frame by frame in
// turn, at the source size and at ZYL_KMS_GL_SIZE=1280x720. The virtual board's own
// work (converting and uploading the NV12 frame, copying the picture back into the
// scan-out buffer) is measured apart: a real board does not do it. The process's CPU
// time per frame (llvmpipe's threads included) is printed too: on a loaded machine it
// moves far less than the wall time.
//
//   gpu_bench [FRAMES]   (default 30 of each kind per size)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/hwcontext_drm.h>
}
#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "app/config.h"
#include "app/screens.h"
#include "app/settings.h"
#include "bench/source_frame.h"
#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "kms/kms.h"
#include "kms/dumb.h"
#include "sim/sim.h"
#include "spitee/spitee.h"

namespace {

// The card and its outputs, for the whole run.
ScreenState screens;

void write_lut(const std::string &path, int n) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) exit(1);
    fprintf(f, "LUT_3D_SIZE %d\n", n);
    for (int b = 0; b < n; b++)
        for (int g = 0; g < n; g++)
            for (int r = 0; r < n; r++)
                fprintf(f, "%f %f %f\n", 0.1 + 0.8 * g / (n - 1), double(b) / (n - 1),
                        1.0 - double(r) / (n - 1));
    fclose(f);
}

GLuint g_plain_prog;  // owned by main
GLint g_plain_tex;

// What the pass does for a frame minus the correction: import, one sample per pixel.
FbId pass_through(GpuPass &p, const AVDRMFrameDescriptor *desc, int w, int h) {
    GpuGl &gl = *p.gl;
    EglImage src = gl_import_source(gl, desc, w, h);
    if (!src) return {};
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, gl.src_tex.get());
    gl.glEGLImageTargetTexture2DOES_(GL_TEXTURE_EXTERNAL_OES, src.get());
    const GlRingSlot &slot = gl.ring[gl.ring_idx];
    gl.ring_idx = (gl.ring_idx + 1) % kGlRingSlots;
    glBindFramebuffer(GL_FRAMEBUFFER, slot.fbo.get());
    glViewport(0, 0, p.w, p.h);
    glUseProgram(g_plain_prog);
    glUniform1i(g_plain_tex, 0);
    gl_draw_triangle(gl);
    glFinish();
    return gl_slot_fb(p, slot);
}

// A w x h overlay surface as the menu leaves it: an opaque panel down the left, a
// veil over the rest, a band of antialiased edge; exported as the pass reads it.
struct BenchOverlay {
    DumbBuffer buf;
    Fd dmabuf;
};
BenchOverlay make_overlay(int card, int w, int h) {
    BenchOverlay o;
    o.buf = dumb_create(card, uint32_t(w), uint32_t(h));
    int fd = -1;
    if (!o.buf.map || drmPrimeHandleToFD(card, o.buf.handle.get(), DRM_CLOEXEC, &fd) != 0) exit(1);
    o.dmabuf = Fd(fd);
    for (int y = 0; y < h; y++) {
        auto *row = reinterpret_cast<uint32_t *>(o.buf.px() + size_t(y) * o.buf.pitch);
        for (int x = 0; x < w; x++)
            row[x] = x < w / 3       ? 0xF20C0E13u
                     : x < w / 3 + 8 ? uint32_t(x % 8) << 29 | 0xFFFFFFu
                                     : 0x60000000u;
    }
    return o;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Cost {
    std::vector<double> ms, cpu_ms;
    double upload_ms = 0, readback_ms = 0;
};

template <typename F>
void measure(Cost &c, F frame) {
    SimGpuStats s0 = sim_gpu_stats();
    int64_t t0 = clock_ns(CLOCK_MONOTONIC), cpu0 = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
    FbId fb = frame();
    c.ms.push_back(double(clock_ns(CLOCK_MONOTONIC) - t0) / 1e6);
    c.cpu_ms.push_back(double(clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu0) / 1e6);
    SimGpuStats s1 = sim_gpu_stats();
    c.upload_ms += double(s1.upload_ns - s0.upload_ns) / 1e6;
    c.readback_ms += double(s1.readback_ns - s0.readback_ns) / 1e6;
    if (!fb) {
        fprintf(stderr, "gpu_bench: a frame gave no framebuffer\n");
        exit(1);
    }
}

void row(const char *size, const char *kind, const Cost &c, int n) {
    double med = median(c.ms), up = c.upload_ms / n, rb = c.readback_ms / n;
    printf("%-10s %-13s %8.2f %10.2f %12.2f %10.2f %8.2f\n", size, kind, med, up, rb, med - up - rb,
           median(c.cpu_ms));
}

// The full correction at the source size alone, then with the overlay of an output
// of each size drawn over its picture; the ratio at 1920x1080.
double bench_composition(GpuPass &pass, const GpuSettings &settings, const Tuning &t,
                         const AVDRMFrameDescriptor &src, int n) {
    const int w = 1920, h = 1080;
    gl_ring_release(*pass.gl);
    gl_render_size(pass, "", w, h);
    if (!gl_ring_create(*pass.gl, pass.w, pass.h)) exit(1);
    printf("overlay composition (render %dx%d), median ms per frame\n", pass.w, pass.h);
    printf("%-10s %-13s %8s %10s %12s %10s %8s\n", "output", "draw", "frame", "sim upload",
           "sim readback", "the rest", "cpu");
    double ratio = 0;
    const Flip none = Flip::kNone;
    for (auto [ow, oh] : {std::pair{1920, 1080}, std::pair{720, 1280}}) {
        BenchOverlay ov = make_overlay(pass.card, ow, oh);
        ComposeJob job{0,
                       0,
                       {0, 0, ow, oh},
                       {0, 0, pass.w, pass.h},
                       {ov.dmabuf.get(), ow, oh, ov.buf.pitch, false, 1}};
        // The video fitted into the output, as the placement puts it.
        const double k = std::min(double(ow) / pass.w, double(oh) / pass.h);
        job.dst.w = int(pass.w * k);
        job.dst.h = int(pass.h * k);
        job.dst.x = (ow - job.dst.w) / 2;
        job.dst.y = (oh - job.dst.h) / 2;
        auto compose = [&] {
            PassFrame f = gl_dewarp_fbs(pass, settings, t, &src, w, h, {&none, 1});
            FbId out[1];
            job.picture_tex = f.tex[0];
            gl_compose_fbs(pass, {&job, 1}, out);
            return std::move(out[0]);
        };
        compose();  // builds the output's ring, imports the overlay, compiles the program
        Cost alone, composed;
        for (int i = 0; i < n; i++) {  // in turn, so both see the same machine load
            measure(alone, [&] { return gl_dewarp_fb(pass, settings, t, &src, w, h, none); });
            measure(composed, compose);
        }
        char name[32];
        snprintf(name, sizeof name, "%dx%d", ow, oh);
        row(name, "correction", alone, n);
        row(name, "composed", composed, n);
        if (ow == 1920) ratio = median(composed.ms) / median(alone.ms);
    }
    return ratio;
}

}  // namespace

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 30;
    if (n < 1) n = 1;
    std::string dir =
        std::filesystem::temp_directory_path() / ("gpu_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
    setenv("ZYL_SIM_CARD", ZYL_SOURCE_DIR "/sim/boards/two-display.card", 1);
    GpuPass pass;
    SpiTee tee;
    attach_pass_and_tee(screens, pass, tee);
    if (!drm_init(screens.display, config_read().display, standby_painter(screens))) return 1;
    pass.card = screens.display.card();

    const int w = 1920, h = 1080;
    AVDRMFrameDescriptor src = make_source(w, h);
    const GpuSettings settings;
    Tuning t;
    t.lens.on = t.grade.on = t.antiflicker = true;
    t.grade.contrast = 1.1f;
    t.grade.sat = 1.2f;
    t.grade.temp = 0.02f;
    t.lut_mix = 0.8f;
    write_lut(dir + "/bench.cube", 33);
    lut_set_path(pass, dir + "/bench.cube");
    for (int i = 0; i < 3; i++)
        gl_dewarp_fb(pass, settings, t, &src, w, h, Flip::kNone);  // start, warm up
    if (pass.ready != 1 || !pass.lut_on) return 1;
    GlProgram plain(glCreateProgram());
    g_plain_prog = plain.get();
    GlShader vs = gl_compile(GL_VERTEX_SHADER, kGlVertexShader);
    GlShader fs = gl_compile(GL_FRAGMENT_SHADER, R"(
#extension GL_OES_EGL_image_external : require
precision highp float;
varying vec2 vUV;
uniform samplerExternalOES uTex;
void main() { gl_FragColor = texture2D(uTex, vUV); }
)");
    glAttachShader(g_plain_prog, vs.get());
    glAttachShader(g_plain_prog, fs.get());
    glBindAttribLocation(g_plain_prog, 0, "aPos");
    glLinkProgram(g_plain_prog);
    g_plain_tex = glGetUniformLocation(g_plain_prog, "uTex");

    printf("%d frames of each, median ms per frame; the sim's share is a mean\n", n);
    printf("%-10s %-13s %8s %10s %12s %10s %8s\n", "render", "draw", "frame", "sim upload",
           "sim readback", "the rest", "cpu");
    double ratio = 0, cpu_ratio = 0;
    for (const char *size : {"", "1280x720"}) {
        if (*size) {
            gl_ring_release(*pass.gl);
            gl_render_size(pass, size, w, h);
            if (!gl_ring_create(*pass.gl, pass.w, pass.h)) return 1;
        }
        pass_through(pass, &src, w, h);  // the plain program's first draw compiles it
        Cost full, plain;
        for (int i = 0; i < n; i++) {  // in turn, so both see the same machine load
            measure(full, [&] { return gl_dewarp_fb(pass, settings, t, &src, w, h, Flip::kNone); });
            measure(plain, [&] { return pass_through(pass, &src, w, h); });
        }
        char name[32];
        snprintf(name, sizeof name, "%dx%d", pass.w, pass.h);
        row(name, "full", full, n);
        row(name, "pass-through", plain, n);
        if (!*size) {
            ratio = median(full.ms) / median(plain.ms);
            cpu_ratio = median(full.cpu_ms) / median(plain.cpu_ms);
        }
    }
    printf("full/pass-through CPU time at 1920x1080: %.2f\n", cpu_ratio);
    printf("full/pass-through at 1920x1080: %.2f\n", ratio);
    const double composed = bench_composition(pass, settings, t, src, n);
    printf("composed/correction at 1920x1080: %.2f\n", composed);
    std::filesystem::remove_all(dir);
    return 0;
}
