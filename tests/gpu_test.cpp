// The GPU correction pass on the virtual board's llvmpipe. In this process the real
// presentation loop shows made-up NV12 frames through the pass while the tuning file
// changes between frames; each display picture is compared with a CPU model of the
// shader written here from its formulas. The whole program covers the start failures.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext_drm.h>
#include <libavutil/mem.h>
}
#include <drm_fourcc.h>
#include <xf86drmMode.h>

#include "app/clock.h"
#include "app/gate.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/pacing.h"
#include "app/mailbox.h"
#include "app/placement.h"
#include "app/settings.h"
#include "app/stop.h"
#include "app/screens.h"
#include "gpu/gpu.h"
#include "gpu/parse.h"
#include "kms/kms.h"
#include "sim/sim.h"
#include "tests/test_util.h"

namespace {

// The tuning the loop draws with.
Tuning &live() {
    return test_screens().live.tuning;
}

namespace fs = std::filesystem;
using Rgb = std::array<float, 3>;  // 0..255

// ---- the source: a frame of the virtual decoder's shape, made here ----

Rgb source_colour(int x, int y, int w, int h) {
    // Smooth in both directions, unlike its mirror images, plus one hard-edged square.
    // Faint line-by-line stripes in one corner: what the anti-flicker filter exists for.
    if (x >= w / 8 && x < w / 4 && y >= h / 8 && y < h / 4) return {235, 235, 235};
    float b = 128 + 90 * std::sin(2 * float(M_PI) * 1.5f * float(x + 2 * y) / float(w));
    float stripe = x >= w / 2 && y >= h / 2 ? (y % 2 ? 8.0f : -8.0f) : 0.0f;
    return {30 + 195.0f * float(x) / float(w - 1) + stripe,
            30 + 195.0f * float(y) / float(h - 1) + stripe, b + stripe};
}

int clamp8(int v) {
    return std::min(255, std::max(0, v));
}

// The display controller's NV12 conversion: BT.601 limited range, 2x2 chroma.
Rgb yuv601(int y, int u, int v) {
    int c = 298 * (y - 16), d = u - 128, e = v - 128;
    return {float(clamp8((c + 409 * e + 128) >> 8)),
            float(clamp8((c - 100 * d - 208 * e + 128) >> 8)),
            float(clamp8((c + 516 * d + 128) >> 8))};
}

struct Picture8 {
    int w = 0, h = 0;
    std::vector<Rgb> px;
    const Rgb &at(int x, int y) const { return px[size_t(y) * w + x]; }
};

void free_prime(void *, uint8_t *data) {
    auto *d = reinterpret_cast<AVDRMFrameDescriptor *>(data);
    close(d->objects[0].fd);
    av_free(d);
}

// A DRM PRIME NV12 frame on a memfd; `decoded` receives the picture as the card shows it.
AVFrame *make_frame(int w, int h, Picture8 *decoded) {
    int pitch = (w + 63) & ~63, uv_off = pitch * ((h + 15) & ~15);
    size_t size = size_t(uv_off) + size_t(pitch) * h / 2;
    int fd = memfd_create("gpu-test-frame", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(size)) != 0) return nullptr;
    auto *m =
        static_cast<uint8_t *>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            Rgb c = source_colour(x, y, w, h);
            m[y * pitch + x] =
                uint8_t(((66 * int(c[0]) + 129 * int(c[1]) + 25 * int(c[2]) + 128) >> 8) + 16);
            if (x % 2 || y % 2) continue;
            uint8_t *uv = m + uv_off + (y / 2) * pitch + x;
            uv[0] =
                uint8_t(((-38 * int(c[0]) - 74 * int(c[1]) + 112 * int(c[2]) + 128) >> 8) + 128);
            uv[1] = uint8_t(((112 * int(c[0]) - 94 * int(c[1]) - 18 * int(c[2]) + 128) >> 8) + 128);
        }
    decoded->w = w;
    decoded->h = h;
    decoded->px.resize(size_t(w) * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const uint8_t *uv = m + uv_off + (y / 2) * pitch + (x / 2) * 2;
            decoded->px[size_t(y) * w + x] = yuv601(m[y * pitch + x], uv[0], uv[1]);
        }
    munmap(m, size);
    auto *d = static_cast<AVDRMFrameDescriptor *>(av_mallocz(sizeof(AVDRMFrameDescriptor)));
    d->nb_objects = 1;
    d->objects[0] = {fd, size, 0};
    d->nb_layers = 1;
    d->layers[0].format = DRM_FORMAT_NV12;
    d->layers[0].nb_planes = 2;
    d->layers[0].planes[0] = {0, 0, pitch};
    d->layers[0].planes[1] = {0, uv_off, pitch};
    AVFrame *f = av_frame_alloc();
    f->format = AV_PIX_FMT_DRM_PRIME;
    f->width = w;
    f->height = h;
    f->data[0] = reinterpret_cast<uint8_t *>(d);
    f->buf[0] = av_buffer_create(f->data[0], sizeof *d, free_prime, nullptr, 0);
    return f;
}

// ---- the CPU model of the shader ----

struct Lut {
    int n = 0;
    std::vector<float> v;  // file order: red fastest
};

Lut make_lut(int n, const std::function<Rgb(float, float, float)> &f) {
    Lut l{n, {}};
    for (int b = 0; b < n; b++)
        for (int g = 0; g < n; g++)
            for (int r = 0; r < n; r++) {
                Rgb c = f(float(r) / (n - 1), float(g) / (n - 1), float(b) / (n - 1));
                l.v.insert(l.v.end(), c.begin(), c.end());
            }
    return l;
}

std::string cube_text(const Lut &l) {
    std::string s = "TITLE \"made by the test\"\n# comment\nDOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 1 1\n";
    s += "LUT_3D_SIZE " + std::to_string(l.n) + "\n";
    char line[64];
    for (size_t i = 0; i < l.v.size(); i += 3) {
        snprintf(line, sizeof line, "%.6f %.6f %.6f\n", l.v[i], l.v[i + 1], l.v[i + 2]);
        s += line;
    }
    return s;
}

float byte_of(float v) {
    return std::isnan(v) || v < 0 ? 0 : v > 1 ? 255 : std::floor(v * 255 + 0.5f);
}

// Bilinear sample (texel centres at +0.5, clamp to edge) of a w x h grid; 0..1.
Rgb bilinear(int w, int h, const std::function<Rgb(int, int)> &texel, float u, float v) {
    float x = u * w - 0.5f, y = v * h - 0.5f;
    int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    float fx = x - x0, fy = y - y0;
    auto t = [&](int xi, int yi) {
        return texel(std::min(w - 1, std::max(0, xi)), std::min(h - 1, std::max(0, yi)));
    };
    Rgb a = t(x0, y0), b = t(x0 + 1, y0), c = t(x0, y0 + 1), d = t(x0 + 1, y0 + 1), out;
    for (int i = 0; i < 3; i++)
        out[i] =
            ((a[i] * (1 - fx) + b[i] * fx) * (1 - fy) + (c[i] * (1 - fx) + d[i] * fx) * fy) / 255;
    return out;
}

struct Shade {
    const char *name;
    bool lens = false, grade = false, af = false;
    float k1 = -0.15f, k2 = 0, k3 = 0, cx = 0.5f, cy = 0.5f, strength = 1, zoom = 1, vscale = 1;
    const char *flip = "none";
    float bright = 0, contrast = 1, sat = 1, temp = 0;
    const Lut *lut = nullptr;
    float mix = 1;
};

Rgb lut3(const Lut &l, Rgb c) {
    float n = float(l.n), nm1 = n - 1, slice = 1 / n, px = 1 / (n * n), inner = px * nm1;
    auto cl = [](float v) { return std::min(1.0f, std::max(0.0f, v)); };
    float z = cl(c[2]) * nm1, z0 = std::floor(z), z1 = std::min(z0 + 1, nm1);
    float xo = px * 0.5f + cl(c[0]) * inner, v = (cl(c[1]) * nm1 + 0.5f) / n;
    auto texel = [&](int x, int y) {
        size_t k = (size_t(x / l.n) * l.n + y) * l.n + x % l.n;  // x = b*N + r, y = g
        return Rgb{byte_of(l.v[k * 3]), byte_of(l.v[k * 3 + 1]), byte_of(l.v[k * 3 + 2])};
    };
    Rgb c0 = bilinear(l.n * l.n, l.n, texel, xo + z0 * slice, v);
    Rgb c1 = bilinear(l.n * l.n, l.n, texel, xo + z1 * slice, v);
    Rgb out;
    for (int i = 0; i < 3; i++) out[i] = c0[i] + (c1[i] - c0[i]) * (z - z0);
    return out;
}

Rgb shade(const Picture8 &src, const Shade &s, int x, int y, int W, int H) {
    float k1 = s.lens ? s.k1 : 0, k2 = s.lens ? s.k2 : 0, k3 = s.lens ? s.k3 : 0;
    float strength = s.lens ? s.strength : 0, zoom = s.lens && s.zoom > 0.01f ? s.zoom : 1;
    float vs = s.lens && s.vscale > 0.01f ? s.vscale : 1;
    bool fx = !strcmp(s.flip, "h") || !strcmp(s.flip, "180");
    bool fy = !strcmp(s.flip, "v") || !strcmp(s.flip, "180");
    float u = (x + 0.5f) / W, v = (y + 0.5f) / H;
    u = 0.5f + (u - 0.5f) * (fx ? -1 : 1);
    v = 0.5f + (v - 0.5f) * (fy ? -1 : 1);
    float dx = (u - s.cx) / zoom, dy = (v - s.cy) / zoom, r2 = dx * dx + dy * vs * dy * vs;
    float f = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
    f = 1 + (f - 1) * strength;
    float su = s.cx + dx * f, sv = s.cy + dy * f;
    auto texel = [&](int tx, int ty) { return src.at(tx, ty); };
    Rgb c = bilinear(src.w, src.h, texel, su, sv);
    if (s.af) {
        Rgb up = bilinear(src.w, src.h, texel, su, sv + 1.0f / H);
        Rgb down = bilinear(src.w, src.h, texel, su, sv - 1.0f / H);
        for (int i = 0; i < 3; i++) c[i] = 0.5f * c[i] + 0.25f * up[i] + 0.25f * down[i];
    }
    if (s.grade) {
        for (float &ch : c) ch = (ch + s.bright - 0.5f) * s.contrast + 0.5f;
        float luma = 0.299f * c[0] + 0.587f * c[1] + 0.114f * c[2];
        for (float &ch : c) ch = luma + (ch - luma) * s.sat;
        c[0] += s.temp;
        c[2] -= s.temp;
    }
    for (float &ch : c) ch = std::min(1.0f, std::max(0.0f, ch));
    if (s.grade && s.lut) {
        Rgb l = lut3(*s.lut, c);
        for (int i = 0; i < 3; i++) c[i] += (l[i] - c[i]) * s.mix;
    }
    for (float &ch : c) ch = std::floor(ch * 255 + 0.5f);
    return c;
}

// ---- the receiver in this process, on the two-display board ----

class Pass : public ::testing::Test {
  protected:
    static Display &display() { return test_screens().display; }
    void SetUp() override {
        dir = test_dir();
        setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
        fs::create_directories(dir + "/run/zyl-fpv");
        std::string err;  // once per process: the pass keeps its buffers on this card
        ASSERT_TRUE(display().fd || drm_init_on("two-display", &err) == 0) << err;
        test_pass();
        pacer.paced = &display().outs[0];
        pacer.smooth = false;
        live().pacing = Pacing::kOnArrival;
        apply_output_looks(test_screens());
    }

    // Shows one frame through the loop with `s` written to the tuning file first;
    // returns what the loop printed.
    std::string show(const Shade &s, int w = 320, int h = 240) {
        live().lens.on = s.lens;
        live().grade.on = s.grade;
        live().antiflicker = s.af;
        std::string lut = s.lut ? lut_file(s.name, cube_text(*s.lut)) : "-";
        char text[512];
        snprintf(
            text, sizeof text,
            "strength = %g\nk1=%g\nk2 = %g\nk3 = %g\ncx = %g\ncy = %g\nzoom = %g\nvscale = %g\n"
            "bright = %g\ncontrast = %g\nsat = %g\ntemp = %g\nlutmix = %g\nflip = %s\nlut = %s\n",
            s.strength, s.k1, s.k2, s.k3, s.cx, s.cy, s.zoom, s.vscale, s.bright, s.contrast, s.sat,
            s.temp, s.mix, s.flip, lut.c_str());
        tune(text);
        return show_frame(w, h);
    }

    void tune(const std::string &text) {
        std::string path = dir + "/run/zyl-fpv/dewarp";
        write_file(path, text);
        static long version = 1000;  // a new modification time for every version
        timespec times[2] = {{version, 0}, {version, 0}};
        version++;
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }

    // Writes a .cube file and returns the path the program is given for it: under
    // /tmp/zyl-*, which the sim moves into this test's directory, because a tuning
    // value holds at most 95 characters, fewer than a build tree's path may take.
    std::string lut_file(const std::string &name, const std::string &text) {
        std::string path = "/tmp/zyl-lut/" + name + ".cube";
        fs::create_directories(dir + "/tmp/zyl-lut");
        write_file(dir + path, text);
        return path;
    }

    std::string show_frame(int w = 320, int h = 240) {
        testing::internal::CaptureStderr();
        mb_push_at(mb, FramePtr(make_frame(w, h, &decoded)), mono_us());
        (void)loop_iteration(loop);
        return testing::internal::GetCapturedStderr();
    }

    // The picture output 0 shows, sampled back at the size of the picture on its plane.
    Picture8 shown(int W, int H) {
        EXPECT_EQ(sim_card_write_pngs(dir.c_str()), 2);
        Picture png = read_png(dir + "/HDMI-A-1.png");
        SimPlaneInfo p{};
        sim_card_plane_state(display().outs[0].plane_id, &p);
        Picture8 out{W, H, {}};
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                auto c = png.at(p.crtc_x + int((x + 0.5) * p.crtc_w / W),
                                p.crtc_y + int((y + 0.5) * p.crtc_h / H));
                out.px.push_back({float(c[0]), float(c[1]), float(c[2])});
            }
        return out;
    }

    std::string dir;
    Mailbox mb;
    Gate gate;
    Pacer pacer;
    Health health{{}, mb};
    Loop loop{test_screens(), mb, gate, pacer, health, {}};
    Picture8 decoded;
};

// Mean and largest error allowed, in levels of 255. The pass promises a mean of 2 and
// 12 away from edges; llvmpipe filters with 8-bit weights and stays within a level of
// the model, so the largest is held to 3 here, which a misplaced sample (a lens
// strength off by a tenth, anti-flicker taps two lines apart) already exceeds.
constexpr double kMeanMax = 2.0, kLargestMax = 3.0;

struct Errors {
    double mean = 0, max_smooth = 0;
};

// Mean over everything; the largest error only where the model's picture is smooth
// (a hard edge moves with the last bit of a sample position).
Errors compare(const Picture8 &got, const Picture8 &want) {
    Errors e;
    for (int y = 0; y < want.h; y++)
        for (int x = 0; x < want.w; x++) {
            for (int c = 0; c < 3; c++) {
                float lo = 255, hi = 0;
                for (int j = std::max(0, y - 1); j <= std::min(want.h - 1, y + 1); j++)
                    for (int i = std::max(0, x - 1); i <= std::min(want.w - 1, x + 1); i++)
                        lo = std::min(lo, want.at(i, j)[c]), hi = std::max(hi, want.at(i, j)[c]);
                double d = std::fabs(got.at(x, y)[c] - want.at(x, y)[c]);
                e.mean += d;
                if (hi - lo <= 24) e.max_smooth = std::max(e.max_smooth, d);
            }
        }
    e.mean /= 3.0 * want.w * want.h;
    return e;
}

Picture8 model(const Picture8 &src, const Shade &s, int W, int H) {
    Picture8 out{W, H, {}};
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) out.px.push_back(shade(src, s, x, y, W, H));
    return out;
}

const Lut kIdentity = make_lut(17, [](float r, float g, float b) { return Rgb{r, g, b}; });
const Lut kSwirl = make_lut(9, [](float r, float g, float b) {
    return Rgb{0.2f + 0.6f * g * g, b * (1 - 0.5f * r), 1 - 0.8f * r};
});

TEST_F(Pass, PicturesMatchTheShaderModel) {
    const Shade cases[] = {
        {.name = "lens-off", .grade = true},
        {.name = "lens-default", .lens = true},
        {.name = "lens-tuned",
         .lens = true,
         .k1 = 0.2f,
         .k2 = 0.05f,
         .k3 = -0.02f,
         .cx = 0.45f,
         .cy = 0.55f,
         .strength = 0.7f,
         .zoom = 1.2f,
         .vscale = 0.8f},
        {.name = "lens-zoom0", .lens = true, .zoom = 0, .vscale = 0.01f},
        {.name = "flip-h", .flip = "h"},
        {.name = "flip-v", .flip = "v"},
        {.name = "flip-180", .lens = true, .flip = "180"},
        // Flip words are exact: these mirror nothing.
        {.name = "flip-H", .flip = "H"},
        {.name = "flip-hv", .flip = "hv"},
        // Without the lens its centre and terms change nothing.
        {.name = "lens-off-moved", .k1 = 0.4f, .k2 = 0.2f, .cx = 0.3f, .cy = 0.7f, .zoom = 2},
        {.name = "antiflicker", .af = true},
        {.name = "grade",
         .grade = true,
         .bright = 0.05f,
         .contrast = 1.2f,
         .sat = 0.6f,
         .temp = 0.05f},
        {.name = "lut-identity", .grade = true, .lut = &kIdentity},
        {.name = "lut-swirl", .grade = true, .lut = &kSwirl, .mix = 0.8f},
        {.name = "lut-mix0", .grade = true, .lut = &kSwirl, .mix = 0},
        {.name = "everything",
         .lens = true,
         .grade = true,
         .af = true,
         .flip = "h",
         .contrast = 0.9f,
         .sat = 1.3f,
         .temp = -0.03f,
         .lut = &kSwirl},
    };
    Picture8 plain;
    for (const Shade &s : cases) {
        std::string err = show(s);
        ASSERT_NE(test_pass().ready, -1) << err;
        Picture8 got = shown(test_pass().w, test_pass().h);
        Errors e = compare(got, model(decoded, s, test_pass().w, test_pass().h));
        printf("%-13s mean %.3f/255, largest away from edges %.0f/255\n", s.name, e.mean,
               e.max_smooth);
        EXPECT_LE(e.mean, kMeanMax) << s.name;
        EXPECT_LE(e.max_smooth, kLargestMax) << s.name;
        if (!strcmp(s.name, "lens-off")) plain = got;
        // An identity table leaves the picture as it was.
        if (!strcmp(s.name, "lut-identity")) {
            EXPECT_LE(compare(got, plain).max_smooth, 2.0);
        }
    }
}

// Four buffers: the one on screen, the one queued for the next refresh and two to
// draw into, so that no picture is drawn into a buffer a display still scans out.
TEST_F(Pass, TheRingDrawsIntoItsFourBuffersInTurn) {
    live().lens.on = true;
    std::vector<uint32_t> drawn;
    for (int i = 0; i < 9; i++) {
        show_frame();
        drmModeFB2 *fb =
            drmModeGetFB2(display().card(), shown_newest(test_screens().shown).fb.get());
        ASSERT_NE(fb, nullptr);
        drawn.push_back(fb->handles[0]);
        drmModeFreeFB2(fb);
    }
    EXPECT_EQ(std::set<uint32_t>(drawn.begin(), drawn.begin() + 4).size(), 4u);
    for (size_t i = 4; i < drawn.size(); i++) EXPECT_EQ(drawn[i], drawn[i - 4]) << i;
}

TEST_F(Pass, LiveSettingsShowOnTheNextFrame) {
    Shade s{.name = "live", .lens = true};
    show(s);
    EXPECT_EQ(decoded.w, test_pass().w);
    SimPlaneInfo p{};
    sim_card_plane_state(display().outs[0].plane_id, &p);
    EXPECT_EQ(p.crtc_w, 1440u) << "4:3 fitted into 1920x1080";

    // Geometry: fit, aspect and flip in one version of the file; the flip and fit
    // that changed repaint the standby picture of every output.
    tune("fit = stretch\naspect = 16:9\nflip = v\n");
    std::string err = show_frame();
    EXPECT_EQ(count_lines(err, "aspect=16:9 fit=stretch flip=v dsiflip=- smooth=0"), 1) << err;
    sim_card_plane_state(display().outs[0].plane_id, &p);
    EXPECT_EQ(p.crtc_w, 1920u);
    EXPECT_EQ(p.rotation, uint64_t(DRM_MODE_ROTATE_0)) << "the shader mirrors, not the plane";
    for (const KmsOutput &o : display().outputs()) {
        EXPECT_EQ(o.standby_look.flip, Flip::kV);
        EXPECT_EQ(o.standby_look.fit, Fit::kStretch);
    }
    EXPECT_EQ(live().look.flip, "v");
    s.flip = "v";
    Errors e = compare(shown(test_pass().w, test_pass().h),
                       model(decoded, s, test_pass().w, test_pass().h));
    EXPECT_LE(e.max_smooth, kLargestMax);

    // The panel's own flip, then back to the global one.
    tune("dsiflip = h\n");
    show_frame();
    EXPECT_EQ(display().outs[1].look.flip, Flip::kH);
    EXPECT_EQ(display().outs[1].standby_look.flip, Flip::kH);
    tune("dsiflip = -\nfit = fit\naspect = keep\nflip = none\nsmooth = 2\n");
    show_frame();
    EXPECT_EQ(display().outs[1].look.flip, Flip::kNone);
    EXPECT_TRUE(pacer.smooth);
    // Phase pacing as ZYL_SMOOTH selects it; a number ends it.
    tune("smooth = phase\n");
    EXPECT_EQ(count_lines(show_frame(), " smooth=phase"), 1);
    EXPECT_TRUE(pacer.smooth && pacer.smooth_phase);
    tune("smooth = 1\n");
    show_frame();
    EXPECT_FALSE(pacer.smooth_phase);
    tune("smooth = 0\n");
    show_frame();
    EXPECT_FALSE(pacer.smooth);

    // Touching the file without a change prints the summary again; garbage is skipped.
    tune("smooth = 0\n");
    EXPECT_EQ(count_lines(show_frame(), "zyl-mpp: dewarp LIVE "), 1);
    tune("K1 = 3\nk1=abc\nzoom\n= 2\nstrength = 0.5 extra\n\x01\xff garbage\nbright = -\n");
    err = show_frame();
    EXPECT_EQ(count_lines(err, "zyl-mpp: dewarp LIVE s=0.50 k1=0.000 "), 1) << err;
}

TEST_F(Pass, BadLutFilesKeepThePreviousTable) {
    Shade s{.name = "good", .grade = true, .lut = &kSwirl};
    EXPECT_EQ(count_lines(show(s), "zyl-mpp: LUT ready /tmp/zyl-lut/good.cube (N=9, atlas 81x9)"),
              1);
    Picture8 before = shown(test_pass().w, test_pass().h);

    std::string entries;
    for (int i = 0; i < 8; i++) entries += "0.5 0.5 0.5\n";
    struct Bad {
        const char *name;
        std::string text;
    };
    const Bad bad[] = {
        {"empty", ""},
        {"no-size", entries},
        {"truncated", "LUT_3D_SIZE 2\n" + entries.substr(0, 40)},
        {"size-1", "LUT_3D_SIZE 1\n0 0 0\n"},
        {"size-65", "LUT_3D_SIZE 65\n" + entries},
        {"size-100000", "LUT_3D_SIZE 100000\n" + entries},
        {"too-few", "LUT_3D_SIZE 2\n" + entries.substr(12)},
        {"two-numbers", "LUT_3D_SIZE 2\n0.5 0.5\n" + entries.substr(12)},
        {"only-1d", "LUT_1D_SIZE 2\n0 0 0\n1 1 1\n"},
    };
    for (const Bad &b : bad) {
        std::string path = lut_file(b.name, b.text);
        tune("lut = " + path + "\n");
        std::string err = show_frame();
        EXPECT_EQ(count_lines(err, "zyl-mpp: LUT parse failed: " + path), 1) << b.name << err;
        EXPECT_LE(compare(shown(test_pass().w, test_pass().h), before).max_smooth, 0) << b.name;
        // A broken file is read again only when it changes.
        EXPECT_EQ(count_lines(show_frame(), "LUT parse failed"), 0) << b.name;
    }
    // 100 MB: a table, then nothing but NUL bytes; loads without holding it in memory.
    std::string big = lut_file("big", "LUT_3D_SIZE 2\r\n" + entries);
    ASSERT_EQ(truncate((dir + big).c_str(), 100 << 20), 0);
    tune("lut = " + big + "\n");
    EXPECT_EQ(count_lines(show_frame(), "zyl-mpp: LUT ready " + big + " (N=2, atlas 4x2)"), 1);
    // Out-of-range values load clamped; a rewrite with a new time reloads it.
    std::string odd = lut_file(
        "odd", "LUT_3D_SIZE 2\n nan inf -inf\n-0.2 1.3 0.5\n" + entries.substr(24) + "1 1 1\n");
    tune("lut = " + odd + "\n");
    EXPECT_EQ(count_lines(show_frame(), "zyl-mpp: LUT ready " + odd), 1);
    timespec later[2] = {{5000, 0}, {5000, 0}};
    utimensat(AT_FDCWD, (dir + odd).c_str(), later, 0);
    EXPECT_EQ(count_lines(show_frame(), "zyl-mpp: LUT ready " + odd), 1);
    // Off keeps the path; on again uses the loaded table without reading the file.
    tune("lut = -\n");
    show_frame();
    EXPECT_FALSE(test_pass().lut_on);
    tune("lut = " + odd + "\n");
    EXPECT_EQ(count_lines(show_frame(), "LUT ready"), 0);
    EXPECT_TRUE(test_pass().lut_on);
}

// The placeholder texture is black: until a table loads, the LUT step is left out. The
// file is looked at again whenever its size, inode or nanosecond time change or it
// appears, and each failure says why.
TEST_F(Pass, LutStepWaitsForATableAndFollowsEveryChangeOfItsFile) {
    test_pass().lut_n = 0;  // as at the start: no table yet
    live().lens.on = live().antiflicker = false;
    live().grade.on = true;
    const std::string path = "/tmp/zyl-lut/late.cube";
    fs::create_directories(dir + "/tmp/zyl-lut");
    tune("bright = 0\ncontrast = 1\nsat = 1\ntemp = 0\nlutmix = 1\nflip = none\nlut = " + path +
         "\n");
    const std::string failed = "zyl-mpp: LUT parse failed: " + path;
    std::string err = show_frame();
    EXPECT_EQ(count_lines(err, failed + " (No such file or directory)"), 1) << err;
    const Shade graded{.name = "graded", .grade = true};
    EXPECT_LE(compare(shown(test_pass().w, test_pass().h),
                      model(decoded, graded, test_pass().w, test_pass().h))
                  .max_smooth,
              kLargestMax);
    EXPECT_EQ(count_lines(show_frame(), "LUT"), 0);

    std::string grey = "LUT_3D_SIZE 2\n", dark = grey;
    for (int i = 0; i < 8; i++) grey += "0.5 0.5 0.5\n", dark += "0.1 0.1 0.1\n";
    struct Version {
        const char *text;
        std::string wanted;
    };
    const Version versions[] = {
        {"LUT_3D_SIZE 1000\n0 0 0\n", failed + " (line 1: size 1000 out of range)"},
        {"LUT_3D_SIZE 2\n0 0 0\n0 x 0\n", failed + " (line 3: not an entry of three numbers)"},
        {"LUT_3D_SIZE 2\n0 0 0\n", failed + " (1 entries, 8 wanted)"},
        {"TITLE \"x\"\n", failed + " (no LUT_3D_SIZE line)"},
    };
    for (const Version &v : versions) {
        lut_file("late", v.text);
        err = show_frame();
        EXPECT_EQ(count_lines(err, v.wanted), 1) << err;
        EXPECT_EQ(count_lines(show_frame(), "LUT"), 0);
    }
    // Rewritten within one second, with the same size: the nanoseconds tell.
    const std::string ready = "zyl-mpp: LUT ready " + path;
    auto put = [&](const std::string &text, long ns) {
        lut_file("late", text);
        timespec t[2] = {{7000, ns}, {7000, ns}};
        utimensat(AT_FDCWD, (dir + path).c_str(), t, 0);
        return show_frame();
    };
    EXPECT_EQ(count_lines(put(grey, 100), ready), 1);
    EXPECT_EQ(count_lines(put(dark, 200), ready), 1);
    EXPECT_EQ(count_lines(show_frame(), "LUT"), 0);
    // Replaced by another file with the same size and time: the inode tells.
    fs::rename(dir + path, dir + path + ".old");
    EXPECT_EQ(count_lines(put(grey, 200), ready), 1);
}

TEST_F(Pass, GeometryChangeRebuildsTheRingOnceAtTheNewRenderSize) {
    live().lens.on = true;
    show_frame(320, 240);
    test_screens().live.gpu.gl_size = "360";
    std::string err = show_frame(640, 480);
    test_screens().live.gpu.gl_size.clear();
    EXPECT_EQ(count_lines(err,
                          "zyl-mpp: source geometry changed 320x240→640x480 — "
                          "re-initialising dewarp/encode"),
              1)
        << err;
    EXPECT_EQ(count_lines(err, "zyl-mpp: GL pass renders 480x360 (source 640x480)"), 1);
    drmModeFB2 *fb = drmModeGetFB2(display().card(), shown_newest(test_screens().shown).fb.get());
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(fb->width, 480u);
    EXPECT_EQ(fb->height, 360u);
    drmModeFreeFB2(fb);

    // The snapshot of a frame is the picture the display got, at the render size.
    write_file(dir + "/run/zyl-fpv/snapshot", "");
    err = show_frame(640, 480);
    EXPECT_EQ(count_lines(err, "geometry changed"), 0);
    EXPECT_EQ(count_lines(err, "zyl-mpp: snapshot -> /tmp/zyl-snap.ppm (480x360)"), 1) << err;
    std::string ppm = read_file(dir + "/tmp/zyl-snap.ppm");
    const std::string header = "P6\n480 360\n255\n";
    ASSERT_EQ(ppm.size(), header.size() + 480 * 360 * 3);
    EXPECT_EQ(ppm.substr(0, header.size()), header);
    Picture8 png = shown(480, 360);
    size_t diff = 0;
    for (size_t i = 0; i < png.px.size(); i++)
        for (int c = 0; c < 3; c++) diff += uint8_t(ppm[header.size() + i * 3 + c]) != png.px[i][c];
    EXPECT_EQ(diff, 0u);
    EXPECT_FALSE(fs::exists(dir + "/tmp/zyl-snap.ppm.tmp"));
    EXPECT_FALSE(fs::exists(dir + "/run/zyl-fpv/snapshot"));

    // Below the source height the anti-flicker taps are render lines apart, not source
    // lines: the three samples stay.
    Shade af{.name = "antiflicker-scaled", .lens = true, .af = true};
    show(af, 640, 480);
    Errors e = compare(shown(480, 360), model(decoded, af, 480, 360));
    EXPECT_LE(e.mean, kMeanMax);
    EXPECT_LE(e.max_smooth, kLargestMax);

    // A second request while the first picture is still there replaces it whole.
    write_file(dir + "/run/zyl-fpv/snapshot", "");
    err = show_frame(640, 480);
    EXPECT_EQ(count_lines(err, "zyl-mpp: snapshot -> /tmp/zyl-snap.ppm (480x360)"), 1) << err;
    const std::string again = read_file(dir + "/tmp/zyl-snap.ppm");
    EXPECT_EQ(again.size(), ppm.size());
    EXPECT_NE(again, ppm) << "the anti-flicker picture, not the first one";
    EXPECT_FALSE(fs::exists(dir + "/run/zyl-fpv/snapshot"));
}

// A tuning file that is there but cannot be opened is said once and not opened again
// until it changes: the loop polls it on every pass.
TEST(TuningFile, OneThatCannotBeOpenedIsTriedAgainOnlyWhenItChanges) {
    const std::string dir = test_dir(), path = dir + "/dewarp";
    test_pass();
    Pacer pacer;
    test_screens().live.gpu.tuning_file = path;
    write_file(path, "bright = 0.25\n");
    chmod(path.c_str(), 0);
    testing::internal::CaptureStderr();
    {
        WithoutFileOverride as_a_user;
        EXPECT_FALSE(poll_tuning(test_screens(), pacer));
    }
    // Readable again (for root anyway), but the same version: not read.
    EXPECT_FALSE(poll_tuning(test_screens(), pacer));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "zyl-mpp: dewarp file " + path +
                       ": cannot open (Permission denied) — ignored until it changes\n");
    chmod(path.c_str(), 0644);
    write_file(path, "bright = 0.5\n");
    testing::internal::CaptureStderr();
    poll_tuning(test_screens(), pacer);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_lines(err, "zyl-mpp: dewarp LIVE "), 1) << err;
    EXPECT_FLOAT_EQ(live().grade.bright, 0.5f);
}

TEST(RenderSize, FromTheSettingAndTheSource) {
    struct Case {
        const char *value;
        int sw, sh, w, h;
        const char *line;
    };
    const Case cases[] = {
        {"", 1920, 1080, 1920, 1080, ""},
        {"1280x720", 1920, 1080, 1280, 720,
         "zyl-mpp: GL pass renders 1280x720 (source 1920x1080) — display scales up; ~2.25x less "
         "GPU\n"},
        {"1000x563", 1920, 1080, 992, 562, "zyl-mpp: GL pass renders 992x562 (source 1920x1080)"},
        {"720", 1920, 1080, 1280, 720, "zyl-mpp: GL pass renders 1280x720 "},
        {"300x200", 1920, 1080, 1920, 1080,
         "zyl-mpp: ZYL_KMS_GL_SIZE=300x200 ignored (want 320x240..1920x1080)\n"},
        {"2560x1440", 1920, 1080, 1920, 1080, "zyl-mpp: ZYL_KMS_GL_SIZE=2560x1440 ignored"},
        {"abc", 320, 240, 320, 240, "zyl-mpp: ZYL_KMS_GL_SIZE=abc ignored"},
    };
    for (const Case &c : cases) {
        GpuPass pass;
        testing::internal::CaptureStderr();
        gl_render_size(pass, c.value, c.sw, c.sh);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(pass.w, c.w) << c.value;
        EXPECT_EQ(pass.h, c.h) << c.value;
        if (*c.line)
            EXPECT_EQ(err.find(c.line), 0u) << c.value << ": " << err;
        else
            EXPECT_EQ(err, "");
    }
}

TEST(CubeText, SizesEntriesAndClampedValues) {
    struct Case {
        const char *text;
        bool ok;
    };
    const std::string two = "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n";
    std::string sixteen;  // 16³ entries: what a size read as hexadecimal would take
    for (int i = 0; i < 16 * 16 * 16; i++) sixteen += "0.5 0.5 0.5\n";
    const std::string bom = "\xef\xbb\xbfLUT_3D_SIZE 2\n" + two,
                      hex = "LUT_3D_SIZE 0x10\n" + sixteen;
    const Case cases[] = {
        {"LUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n", true},
        {bom.c_str(), false},  // a byte-order mark hides the size line: entries without a size
        {"  LUT_3D_SIZE\t2\r\n0 0 0\r\n1 0 0\r\n0 1 0\r\n1 1 0\r\n0 0 1\r\n1 0 1\r\n0 1 1\r\n1 1 "
         "1\r\n2 2 2\r\n",
         true},
        {"LUT_3D_SIZE 2\nLUT_3D_SIZE 3\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n",
         false},
        {hex.c_str(), false},  // sizes are decimal: "0x10" is 0
    };
    for (const Case &c : cases) {
        CubeParse p;
        EXPECT_EQ(cube_parse(c.text, p), c.ok) << c.text;
    }
    // The atlas layout is what the shader model samples (the swirl table in
    // Pass.PicturesMatchTheShaderModel); half a level is below its tolerance.
    EXPECT_EQ(cube_byte(0.5f), 128);
    EXPECT_EQ(cube_byte(-0.2f), 0);
    EXPECT_EQ(cube_byte(1.3f), 255);
    EXPECT_EQ(cube_byte(NAN), 0);
}

TEST(TuningText, OnlyKeyEqualsValueLines) {
    struct Case {
        const char *line, *key, *value;
    };
    const Case cases[] = {
        {"k1=-0.2\n", "k1", "-0.2"},
        {"  strength = 0.5 trailing words\n", "strength", "0.5"},
        {"lut = /path/to/a.cube\r\n", "lut", "/path/to/a.cube"},
        {"K1 = -0.2\n", nullptr, nullptr},
        {"# comment = 1\n", nullptr, nullptr},
        {"zoom =\n", nullptr, nullptr},
        {"a_very_long_key_that_has_more_than_31 = 1\n", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        TuningLine t;
        bool ok = tuning_line(c.line, &t);
        EXPECT_EQ(ok, c.key != nullptr) << c.line;
        if (ok && c.key) {
            EXPECT_STREQ(t.key, c.key);
            EXPECT_STREQ(t.value, c.value);
        }
    }
}

// ---- the whole program: start failures and the governor ----

struct Played {
    RunResult r;
    Picture hdmi;
};

// The whole stream at once: whatever the pass costs, the last frames are shown. The
// decoder follows a size change by itself, so no frame waits for a keyframe.
Played play(const std::string &stream, const std::string &fail, const std::string &dir,
            const std::string &flip = "none") {
    Played run;
    fs::create_directories(dir);
    run.r = run_sim(
        {},
        {"ZYL_KMS_DEWARP=1", "ZYL_SMOOTH=0", "ZYL_KMS_PARAM_REOPEN=0", "ZYL_KMS_FLIP=" + flip,
         "ZYL_SIM_GPU_FAIL=" + fail, card_env("two-display"), "ZYL_SIM_PNG_DIR=" + dir},
        stream_path(stream), dir);
    run.hdmi = read_png(dir + "/HDMI-A-1.png");
    return run;
}

// Points of a grid over the video area (1440x1080 in the middle of the monitor) where
// `a` and `b`, the second one mirrored left to right when `mirror`, differ.
int differing_points(const Picture &a, const Picture &b, bool mirror) {
    int n = 0;
    for (int y = 45; y < 1080; y += 90)
        for (int x = 300; x < 1620; x += 60) {
            auto p = a.at(x, y), q = b.at(mirror ? 1919 - x : x, y);
            for (int c = 0; c < 3; c++) n += std::abs(p[c] - q[c]) > 24;
        }
    return n;
}

// The PassStart runs of tests/data/runs.txt.
[[maybe_unused]] const bool kRuns = register_runs("PassStart.");

TEST(PassStart, AFrameThatMissesThePassLeavesNoPlaneRotationBehind) {
    // The shader mirrors; the one frame that cannot be imported is shown through the
    // planes, rotated, and the next corrected frames must not be mirrored back. At
    // least three frames are shown: the first, and the mailbox's two at the end.
    std::string dir = test_dir();
    Played plain = play("h264_sei.h264", "", dir + "/plain");
    Played gpu = play("h264_sei.h264", "", dir + "/gpu", "h");
    Played missed = play("h264_sei.h264", "import@2", dir + "/missed", "h");
    ASSERT_EQ(missed.r.status, 0) << missed.r.err;
    // A program made for the settings in use that cannot be linked: the general one
    // built at start draws the same picture.
    Played general = play("h264_sei.h264", "link@2", dir + "/general");
    EXPECT_EQ(differing_points(general.hdmi, plain.hdmi, false), 0) << general.r.err;
    ASSERT_GT(differing_points(gpu.hdmi, plain.hdmi, false), 20)
        << "the picture has a mirror image";
    EXPECT_EQ(differing_points(gpu.hdmi, plain.hdmi, true), 0);
    EXPECT_EQ(count_lines(gpu.r.err, "zyl-kms: flip"), 0) << gpu.r.err;
    for (const char *plane : {"63", "64"})
        EXPECT_EQ(count_lines(missed.r.err, "zyl-kms: flip h applied on plane " +
                                                std::string(plane) + " (rot 0x11)"),
                  1)
            << missed.r.err;
    EXPECT_EQ(count_lines(missed.r.err, "zyl-kms: flip"), 2);
    EXPECT_EQ(differing_points(missed.hdmi, gpu.hdmi, false), 0);
}

}  // namespace
