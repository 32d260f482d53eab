// Cost of the SPI tee. On the main thread: a 1920x1080 frame through the GPU pass
// with the tee on (its second draw at 480x320 and the read-back) against the pass
// alone, frame by frame in turn, on the virtual board's llvmpipe. On the converter
// thread: RGB565 conversion with the status strip against libswscale's bare
// conversion of the same buffer, at 320x240 and 480x320.
//
//   spi_bench [FRAMES]   (default 30 GPU frames and 300 conversions of each kind)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}
#include <xf86drmMode.h>

#include "app/config.h"
#include "app/screens.h"
#include "app/settings.h"
#include "bench/source_frame.h"
#include "gpu/gpu.h"
#include "kms/kms.h"
#include "overlay/overlay.h"
#include "spitee/spitee.h"

namespace {

// The card and its outputs, for the whole run.
ScreenState screens;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double gpu_ratio(GpuPass &pass, SpiTee &tee, int n) {
    const int w = 1920, h = 1080;
    AVDRMFrameDescriptor src = make_source(w, h);
    const GpuSettings settings;
    const Tuning t;
    auto frame = [&] {
        int64_t t0 = clock_ns(CLOCK_MONOTONIC);
        const Flip flip = Flip::kNone;
        PassFrame f = gl_dewarp_fbs(pass, settings, t, &src, w, h, {&flip, 1});
        if (f.pictures) spi_tee_video_frame(tee, pass, t, flip, clock_ns(CLOCK_MONOTONIC) / 1000);
        double ms = double(clock_ns(CLOCK_MONOTONIC) - t0) / 1e6;
        if (!f.pictures) exit(1);
        return ms;
    };
    for (int i = 0; i < 3; i++) frame();  // start the pass and the tee
    if (pass.ready != 1 || tee.ready != 1) return 0;
    std::vector<double> with, without;
    for (int i = 0; i < n; i++) {  // in turn, so both see the same machine load
        tee.settings.on = true;
        with.push_back(frame());
        tee.settings.on = false;
        without.push_back(frame());
    }
    tee.settings.on = true;
    printf("pass 1920x1080, tee %dx%d: pass alone %.2f ms, with the tee %.2f ms per frame\n",
           tee.settings.w, tee.settings.h, median(without), median(with));
    return median(with) / median(without);
}

// The converter's work for one frame (what its thread does under the lock) against
// libswscale alone on the same buffer.
double converter_ratio(int W, int H, int n) {
    SpiTee tee({.on = true, .w = W, .h = H});
    tee.font = &screens.drawing.font;
    std::vector<uint8_t> rgba(size_t(W) * H * 4);
    std::mt19937 rnd(1);
    for (uint8_t &b : rgba) b = uint8_t(rnd());
    std::vector<uint16_t> out(size_t(W) * H);
    SwsContext *sws = sws_getContext(W, H, AV_PIX_FMT_RGBA, W, H, AV_PIX_FMT_RGB565LE,
                                     SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws) exit(1);
    const uint8_t *src[4] = {rgba.data()};
    const int src_stride[4] = {W * 4}, dst_stride[4] = {W * 2};
    uint8_t *dst[4] = {reinterpret_cast<uint8_t *>(out.data())};
    const SpiStripValues v{1, 76, 15, 41, 1, 754};
    std::vector<double> bare, full;
    for (int i = 0; i < n; i++) {
        int64_t t0 = clock_ns(CLOCK_MONOTONIC);
        sws_scale(sws, src, src_stride, 0, H, dst, dst_stride);
        int64_t t1 = clock_ns(CLOCK_MONOTONIC);
        {
            std::lock_guard hold(tee.lock);
            sws_scale(sws, src, src_stride, 0, H, dst, dst_stride);
            spi_tee_overlay_header(tee, out.data(), v);
        }
        int64_t t2 = clock_ns(CLOCK_MONOTONIC);
        bare.push_back(double(t1 - t0) / 1e3);
        full.push_back(double(t2 - t1) / 1e3);
    }
    sws_freeContext(sws);
    printf("converter %dx%d: swscale alone %.1f us, with the strip %.1f us per frame\n", W, H,
           median(bare), median(full));
    return median(full) / median(bare);
}

}  // namespace

int main(int argc, char **argv) {
    const int n = std::max(1, argc > 1 ? atoi(argv[1]) : 30);
    std::string dir =
        std::filesystem::temp_directory_path() / ("spi_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
    setenv("ZYL_SIM_CARD", ZYL_SOURCE_DIR "/sim/boards/two-display.card", 1);
    GpuPass pass;
    SpiTee tee({.on = true, .w = 480, .h = 320, .min_interval = 0});
    attach_pass_and_tee(screens, pass, tee);
    // The strip's text as the receiver draws it, with the menu font.
    const char *fonts[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
    if (!font_init(screens.drawing.font) || font_open_first(screens.drawing.font, fonts, 1) < 0)
        printf("no DejaVu font: the strip's text is the 8x8 font\n");
    if (!drm_init(screens.display, config_read().display, standby_painter(screens))) return 1;
    pass.card = screens.display.card();

    const double gpu = gpu_ratio(pass, tee, n);
    // The tee's frame is 480x320; a 320x240 strip draws into the first rows of it.
    double worst = 0;
    for (auto [W, H] : {std::pair{480, 320}, {320, 240}})
        worst = std::max(worst, converter_ratio(W, H, n * 10));
    shm_unlink(kSpiShmName);
    std::filesystem::remove_all(dir);
    printf("pass+tee/pass %.2f; converter with strip/swscale alone, worse size: %.2f\n", gpu,
           worst);
    return 0;
}
