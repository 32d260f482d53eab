// Overlay composition against the memory traffic it cannot avoid: clearing the
// drawing surface and copying it into the overlay buffer, done with memset and memcpy
// on the same number of bytes in the same run.
//  - one full render_menu_all of an open menu (no message) on a 1920x1080 output,
//    menu_present included;
//  - the panel's redraw with the menu closed: clear, the telemetry HUD (both bars,
//    every value given), a pop-up tile of two lines, menu_present; on the 800x480
//    panel and, drawn as if it were a panel, on the 1920x1080 monitor.
//  - a decoder's software 1920x1080 NV12 frame copied into a scan-out buffer, against
//    one memcpy of its bytes.
// The last line is the worst of the four ratios.
//   overlay_bench [passes]   (default 200)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "app/config.h"
#include "app/screens.h"
#include "kms/kms.h"
#include "overlay/overlay.h"
#include "spitee/spitee.h"
#include "standby/standby.h"

namespace {

using Clock = std::chrono::steady_clock;

double median_ms(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F>
double time_ms(F &&f) {
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char **argv) {
    const int n = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    std::string dir =
        std::filesystem::temp_directory_path() / ("overlay_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
    setenv("ZYL_SIM_CARD", ZYL_SOURCE_DIR "/sim/boards/two-display.card", 1);
    setenv("ZYL_KMS_STANDBY", (dir + "/none.png").c_str(), 1);
    fflush(stderr);
    const Config config = config_read();
    ScreenState screens;
    screens.standby.settings = config.standby;
    // The standby pictures go to the SPI copy, which is off here.
    GpuPass pass;
    SpiTee tee;
    attach_pass_and_tee(screens, pass, tee);
    Display &d = screens.display;
    std::array<KmsOutput, kMaxOutputs> &outs = d.outs;
    if (!drm_init(d, config.display, standby_painter(screens)) || d.nout != 2 || outs[0].sidebar ||
        outs[1].sidebar || outs[0].mode.hdisplay != 1920 || outs[1].mode.hdisplay != 800) {
        fprintf(stderr, "overlay_bench: no 1920x1080 and 800x480 outputs with overlay planes\n");
        return 1;
    }
    Font &font = screens.drawing.font;
    const char *fonts[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"};
    if (!font_init(font) || font_open_first(font, fonts, 1) < 0)
        fprintf(stderr, "overlay_bench: 8x8 font\n");

    Overlays &ov = screens.overlays;
    MenuState &m = ov.menu;
    m = MenuState{};
    m.open = 1;
    m.tab = 1;
    m.focus = 1;
    m.sel = 2;
    snprintf(m.title, sizeof m.title, "Display");
    const char *rows[] = {
        "Resolution: 1920x1080", "Refresh: 60 Hz", "Aspect: keep",        "Fit: fit", "Flip: none",
        "Brightness: 0",         "Contrast: 1.00", "Lens correction: off"};
    for (const char *r : rows) snprintf(m.rows[m.nrows++], 64, "%s", r);

    // The menu on the monitor alone.
    d.nout = 1;
    KmsOutput &o = outs[0];
    const int W = o.mode.hdisplay, H = o.mode.vdisplay;
    const size_t bytes = size_t(W) * 4 * H;
    std::vector<uint8_t> src(bytes), dst(bytes);
    const OverlaySurface shadow{o.menu_shadow.data(), o.menu_shadow_stride, W, H, &font};
    OverlayFacts facts = overlay_facts(screens);
    render_menu_all(screens.drawing, ov, facts);  // the glyphs of these strings are rendered once
    std::vector<double> full, bound, menu, text;
    for (int i = 0; i < n; i++) {  // in turn, so all see the same machine load
        full.push_back(time_ms([&] { render_menu_all(screens.drawing, ov, facts); }));
        bound.push_back(time_ms([&] {
            memset(src.data(), int(i & 0xFF), bytes);
            memcpy(dst.data(), src.data(), bytes);
        }));
        menu.push_back(time_ms([&] { draw_menu(shadow, m, W, H, false); }));
        text.push_back(time_ms([&] {
            for (const char *r : rows) ft_text(shadow, 900, 500, r, 0xFFEEF0F4, 30);
            for (const char *t : {"Stream", "Display", "System", "About"})
                ft_text(shadow, 400, 500, t, 0xFFEEF0F4, 30);
        }));
    }
    printf("render_menu_all + menu_present, 1920x1080: %.3f ms (median of %d)\n", median_ms(full),
           n);
    printf("  of which drawing the menu: %.3f ms, its text alone: %.3f ms\n", median_ms(menu),
           median_ms(text));
    printf("memset + memcpy of %zu bytes: %.3f ms\n", bytes, median_ms(bound));
    const double menu_ratio = median_ms(full) / median_ms(bound);
    printf("menu render/memory bound: %.2f\n", menu_ratio);

    // The panel's redraw with the menu closed, on each size in turn.
    d.nout = 2;
    facts = overlay_facts(screens);
    m = MenuState{};
    std::filesystem::create_directories(dir + "/proc");
    std::ofstream(dir + "/proc/uptime") << "273900.12 100.00\n";
    const char telemetry[] =
        "gog=82\ndrn=64\nsig=4\nsat=11\ntmp=47\nrec=1\nrecs=754\nvpn=1\nnet=FieldLink\n"
        "yaw=184\nalt=42.5\nspd=11.2\nvs=-0.8\npit=-3\nrol=2\n";
    FILE *tf = fmemopen(const_cast<char *>(telemetry), sizeof telemetry - 1, "r");
    ov.telem = parse_telemetry(tf);
    fclose(tf);
    ov.osd = OsdState{1, 1, "Video link weak: check the antenna connectors and the VTX power"};
    double worst = menu_ratio;
    for (int i : {1, 0}) {
        KmsOutput &p = outs[i];
        p.look.telemetry = true;
        p.is_dsi = 1;
        const int pw = p.mode.hdisplay, ph = p.mode.vdisplay;
        const size_t pbytes = size_t(pw) * 4 * ph;
        std::vector<uint8_t> a(pbytes), b(pbytes);
        const OverlaySurface ps{p.menu_shadow.data(), p.menu_shadow_stride, pw, ph, &font};
        auto redraw = [&] {
            memset(ps.px, 0, size_t(ph) * ps.stride);
            draw_telemetry(p, ps, ov.telem, facts);
            draw_osd(screens.drawing.popup, p, ps, ov.osd);
            menu_present(p, menu_back(p));
        };
        redraw();
        std::vector<double> hud, mem;
        for (int k = 0; k < n; k++) {
            hud.push_back(time_ms(redraw));
            mem.push_back(time_ms([&] {
                memset(a.data(), int(k & 0xFF), pbytes);
                memcpy(b.data(), a.data(), pbytes);
            }));
        }
        const double ratio = median_ms(hud) / median_ms(mem);
        worst = std::max(worst, ratio);
        printf(
            "panel redraw (HUD, pop-up, menu_present), %dx%d: %.3f ms, memset + memcpy %.3f ms, "
            "ratio %.2f\n",
            pw, ph, median_ms(hud), median_ms(mem), ratio);
    }
    // A software frame's copy: rows of luma and chroma at their own pitches.
    AVFrame *sw = av_frame_alloc();
    sw->format = AV_PIX_FMT_NV12;
    sw->width = 1920;
    sw->height = 1080;
    if (av_frame_get_buffer(sw, 64) != 0) return 1;
    for (int p = 0; p < 2; p++)
        memset(sw->data[p], 0x80, size_t(sw->linesize[p]) * (p ? 540 : 1080));
    const size_t nv12 = size_t(1920) * 1080 * 3 / 2;
    std::vector<uint8_t> flat_src(nv12, 0x80), flat_dst(nv12);
    std::vector<double> copy, flat;
    bool copied = true;
    for (int k = 0; k < n; k++) {
        copy.push_back(
            time_ms([&] { copied &= upload_frame(d.upload, d.card(), *sw) != nullptr; }));
        flat.push_back(time_ms([&] { memcpy(flat_dst.data(), flat_src.data(), nv12); }));
    }
    av_frame_free(&sw);
    if (!copied) {
        fprintf(stderr, "overlay_bench: no scan-out buffer for the copy\n");
        return 1;
    }
    const double copy_ratio = median_ms(copy) / median_ms(flat);
    worst = std::max(worst, copy_ratio);
    printf(
        "software frame copy, 1920x1080 NV12: %.0f ns, memcpy of its bytes %.0f ns, ratio %.2f\n",
        median_ms(copy) * 1e6, median_ms(flat) * 1e6, copy_ratio);
    printf("worst render/memory bound: %.2f\n", worst);
    std::filesystem::remove_all(dir);
    return 0;
}
