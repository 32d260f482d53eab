// Overlay composition: one full render_menu_all of an open menu (no message) on a
// 1920x1080 output, menu_present included, against the memory traffic it cannot
// avoid: clearing the drawing surface and copying it into the overlay buffer, done
// with memset and memcpy on the same number of bytes in the same run.
//   overlay_bench [passes]   (default 200)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kms/kms.h"
#include "overlay/overlay.h"

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
    setenv("ZYL_KMS_CONNECTOR", "HDMI", 1);
    setenv("ZYL_KMS_STANDBY", (dir + "/none.png").c_str(), 1);
    fflush(stderr);
    if (drm_init() != 0 || nout != 1 || outs[0].sidebar) {
        fprintf(stderr, "overlay_bench: no 1920x1080 output with an overlay plane\n");
        return 1;
    }
    FT_Init_FreeType(&g_ft);
    const char *font[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"};
    if (font_open_first(font, 1) < 0) fprintf(stderr, "overlay_bench: 8x8 font\n");

    g_menu = MenuState{};
    g_menu.open = 1;
    g_menu.tab = 1;
    g_menu.focus = 1;
    g_menu.sel = 2;
    snprintf(g_menu.title, sizeof g_menu.title, "Display");
    const char *rows[] = {
        "Resolution: 1920x1080", "Refresh: 60 Hz", "Aspect: keep",        "Fit: fit", "Flip: none",
        "Brightness: 0",         "Contrast: 1.00", "Lens correction: off"};
    for (const char *r : rows) snprintf(g_menu.rows[g_menu.nrows++], 64, "%s", r);

    KmsOutput &o = outs[0];
    const int W = o.mode.hdisplay, H = o.mode.vdisplay;
    const size_t bytes = size_t(W) * 4 * H;
    std::vector<uint8_t> src(bytes), dst(bytes);
    const OverlaySurface shadow{o.menu_shadow, o.menu_shadow_stride, W, H};
    render_menu_all();  // the glyphs of these strings are rendered once
    std::vector<double> full, bound, menu, text;
    for (int i = 0; i < n; i++) {  // in turn, so all see the same machine load
        full.push_back(time_ms([] { render_menu_all(); }));
        bound.push_back(time_ms([&] {
            memset(src.data(), int(i & 0xFF), bytes);
            memcpy(dst.data(), src.data(), bytes);
        }));
        menu.push_back(time_ms([&] { draw_menu(shadow, W, H, false); }));
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
    printf("render/memory bound: %.2f\n", median_ms(full) / median_ms(bound));
    std::filesystem::remove_all(dir);
    return 0;
}
