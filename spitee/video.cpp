// The tee's video path, run on the main thread right after the GPU pass drew a frame:
// the pass's program over the same source, bound again with the tee's own flip, draws
// one more triangle into a small target, the same corrected picture at the tee size.
// Reading it back is the only per-frame cost left on the main thread, with the pop-up
// blended in; the RGB565 conversion and the strip happen on the converter thread.
#include <cstdio>

#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "overlay/overlay.h"
#include "spitee/spitee.h"

namespace {

GLuint g_spi_tee_tex, g_spi_tee_fbo;
double min_dt = 0.047;  // seconds between two frames; 0: every frame
int64_t last;           // when the last frame passed the rate limit

// Any failure switches the video path off for good; the standby path goes on.
void setup() {
    g_spi_tee_ready = -1;
    if (spi_tee_shm_init() != 0) return;
    const int W = g_spi_tee_w, H = g_spi_tee_h;
    glGenTextures(1, &g_spi_tee_tex);
    glBindTexture(GL_TEXTURE_2D, g_spi_tee_tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, W, H, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glGenFramebuffers(1, &g_spi_tee_fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, g_spi_tee_fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, g_spi_tee_tex, 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        fprintf(stderr, "zyl-mpp: spi-tee: FBO incomplete — tee off\n");
        return;
    }
    if (spi_tee_converter_start() != 0) return;
    g_spi_tee_ready = 1;
    fprintf(stderr, "zyl-mpp: SPI tee ON → shm %s (%dx%d RGB565, %s)\n", kSpiShmName, W, H,
            g_spi_tee_fit ? "fit" : "fill");
}

}  // namespace

void spi_tee_video_configure(double min_interval) {
    min_dt = min_interval;
}

void spi_tee_video_frame(const Tuning &t, Flip flip, int64_t now_us) {
    if (!g_spi_tee_on) return;
    if (g_spi_tee_ready == 0) setup();
    if (g_spi_tee_ready != 1) return;
    if (!spi_tee_rate_pass(min_dt, now_us, &last)) return;
    const int i = spi_tee_take_buffer();
    if (i < 0) return;

    const int W = g_spi_tee_w, H = g_spi_tee_h;
    gl_bind_correction(t, flip);
    glBindFramebuffer(GL_FRAMEBUFFER, g_spi_tee_fbo);
    const SpiRect r = spi_tee_video_rect(W, H, g_gl_w, g_gl_h, g_spi_tee_fit != 0);
    if (g_spi_tee_fit) {
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glViewport(r.x, r.y, r.w, r.h);
    gl_draw_triangle();
    // The render target's first row is the top of the picture, as in the ring.
    glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, g_spi_tee_buf[i]);
    // The SPI display has no overlay plane: the pop-up goes into the picture, at the
    // top as on the panel, so the rows are declared top first.
    if (g_osd.active) pu_blit({g_spi_tee_buf[i], uint32_t(W) * 4, W, H, 1, 0}, g_osd.level);
    spi_tee_queue(i);
}
