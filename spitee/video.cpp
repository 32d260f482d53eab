// The tee's video path, run on the main thread right after the GPU pass drew a frame:
// the pass's program over the same source, bound again with the tee's own flip, draws
// one more triangle into a small target, the same corrected picture at the tee size.
// Reading it back is the only per-frame cost left on the main thread, with the pop-up
// blended in; the RGB565 conversion and the strip happen on the converter thread.
#include <cstdio>

#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "base/log.h"
#include "overlay/overlay.h"
#include "spitee/spitee.h"

namespace {

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
    if (!spi_tee_converter_start(tee)) return;
    tee.ready = 1;
    say("zyl-mpp: SPI tee ON → shm %s (%dx%d RGB565, %s)", kSpiShmName, W, H,
        tee.settings.fit ? "fit" : "fill");
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
    // The SPI display has no overlay plane: the pop-up goes into the picture, at the
    // top as on the panel, so the rows are declared top first.
    if (tee.overlays && tee.popup && tee.overlays->osd.active)
        pu_blit(*tee.popup, {px, uint32_t(W) * 4, W, H, 1, 0, tee.font}, tee.overlays->osd);
    spi_tee_queue(tee, i);
}
