// The tee's video path, run on the main thread right after the GPU pass drew a frame:
// the pass's program over the same source, bound again with the tee's own flip, draws
// one more triangle into a small target, the same corrected picture at the tee size.
// Reading it back is the only per-frame cost left on the main thread, with the pop-up
// blended in; the RGB565 conversion and the strip happen on the converter thread.
// Software frames never reach the pass: their own pixels are scaled in instead.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "base/log.h"
#include "overlay/overlay.h"
#include "spitee/spitee.h"

namespace {

// Both video paths share the converter thread, started by whichever comes first.
bool start_converter(SpiTee &tee) {
    if (tee.ready == 1 || tee.soft_ready == 1) return true;
    if (!spi_tee_shm_init(tee) || !spi_tee_converter_start(tee)) return false;
    say("zyl-mpp: SPI tee ON → shm %s (%dx%d RGB565, %s)", kSpiShmName, tee.settings.w,
        tee.settings.h, tee.settings.fit ? "fit" : "fill");
    return true;
}

// The SPI display has no overlay plane: the pop-up goes into the picture, at the top
// as on the panel, so the rows are declared top first.
void blend_popup_and_queue(SpiTee &tee, int i) {
    const int W = tee.settings.w, H = tee.settings.h;
    if (tee.overlays && tee.popup && tee.overlays->osd.active)
        pu_blit(*tee.popup, {tee.buf[i].data(), uint32_t(W) * 4, W, H, 1, 0, tee.font},
                tee.overlays->osd);
    spi_tee_queue(tee, i);
}

// The frame scaled to `r`'s size into tee.soft_scaled (RGBA); false when it cannot.
// Area averaging shrinks the picture as the pass's linear sampling does, so both
// paths show the same picture; a wider filter blurs it.
bool scale_software(SpiTee &tee, const AVFrame &frame, const SpiRect &r) {
    tee.soft_sws.reset(sws_getCachedContext(tee.soft_sws.release(), frame.width, frame.height,
                                            AVPixelFormat(frame.format), r.w, r.h, AV_PIX_FMT_RGBA,
                                            SWS_AREA, nullptr, nullptr, nullptr));
    if (!tee.soft_sws) return false;
    tee.soft_scaled.resize(size_t(r.w) * size_t(r.h) * 4);
    uint8_t *dst[4] = {tee.soft_scaled.data()};
    const int dst_stride[4] = {r.w * 4};
    sws_scale(tee.soft_sws.get(), frame.data, frame.linesize, 0, frame.height, dst, dst_stride);
    return true;
}

// Mirrors a W x H RGBA picture in place: the rect is centred, so mirroring the
// whole frame mirrors the picture where it stands.
void mirror(uint8_t *px, int W, int H, Flip flip) {
    auto *p = reinterpret_cast<uint32_t *>(px);
    if (flip == Flip::kH || flip == Flip::k180)
        for (int y = 0; y < H; y++) std::reverse(p + size_t(y) * W, p + size_t(y + 1) * W);
    if (flip == Flip::kV || flip == Flip::k180)
        for (int y = 0; y < H / 2; y++)
            std::swap_ranges(p + size_t(y) * W, p + size_t(y + 1) * W, p + size_t(H - 1 - y) * W);
}

// Any failure switches the video path off for good; the standby path goes on.
void setup(SpiTee &tee) {
    tee.ready = -1;
    if (!spi_tee_shm_init(tee)) return;
    const int W = tee.settings.w, H = tee.settings.h;
    GLuint name = 0;
    glGenTextures(1, &name);
    tee.tex = GlTexture(name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, W, H, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glGenFramebuffers(1, &name);
    tee.fbo = GlFramebuffer(name);
    glBindFramebuffer(GL_FRAMEBUFFER, name);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, tee.tex.get(), 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        say("zyl-mpp: spi-tee: FBO incomplete — tee off");
        return;
    }
    if (start_converter(tee)) tee.ready = 1;
}

}  // namespace

void spi_tee_video_frame(SpiTee &tee, GpuPass &pass, const Tuning &t, Flip flip, int64_t now_us) {
    if (!tee.settings.on) return;
    if (tee.ready == 0) setup(tee);
    if (tee.ready != 1) return;
    if (!spi_tee_rate_pass(tee.settings.min_interval, now_us, &tee.last_us)) return;
    const int i = spi_tee_take_buffer(tee);
    if (i < 0) return;

    const int W = tee.settings.w, H = tee.settings.h;
    uint8_t *px = tee.buf[i].data();  // busy: the main thread's until queued
    gl_bind_correction(pass, t, flip);
    glBindFramebuffer(GL_FRAMEBUFFER, tee.fbo.get());
    const SpiRect r = spi_tee_video_rect(W, H, pass.w, pass.h, tee.settings.fit);
    if (tee.settings.fit) {
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glViewport(r.x, r.y, r.w, r.h);
    gl_draw_triangle(*pass.gl);
    // The render target's first row is the top of the picture, as in the ring.
    glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, px);
    blend_popup_and_queue(tee, i);
}

void spi_tee_software_frame(SpiTee &tee, const AVFrame &frame, Flip flip, int64_t now_us) {
    if (!tee.settings.on || tee.soft_ready < 0) return;
    if (tee.soft_ready == 0) tee.soft_ready = start_converter(tee) ? 1 : -1;
    if (tee.soft_ready != 1) return;
    if (!spi_tee_rate_pass(tee.settings.min_interval, now_us, &tee.last_us)) return;
    const int W = tee.settings.w, H = tee.settings.h;
    const SpiRect r = spi_tee_video_rect(W, H, frame.width, frame.height, tee.settings.fit);
    if (!scale_software(tee, frame, r)) return;
    const int i = spi_tee_take_buffer(tee);
    if (i < 0) return;
    uint8_t *px = tee.buf[i].data();  // busy: the main thread's until queued
    std::memset(px, 0, tee.buf[i].size());
    // Filling cuts the picture at two sides: only the part inside the frame is copied.
    const int x0 = std::max(r.x, 0), x1 = std::min(r.x + r.w, W);
    const int y0 = std::max(r.y, 0), y1 = std::min(r.y + r.h, H);
    for (int y = y0; y < y1; y++)
        std::memcpy(px + (size_t(y) * W + x0) * 4,
                    tee.soft_scaled.data() + (size_t(y - r.y) * r.w + (x0 - r.x)) * 4,
                    size_t(x1 - x0) * 4);
    mirror(px, W, H, flip);
    blend_popup_and_queue(tee, i);
}
