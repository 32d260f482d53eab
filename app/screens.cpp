#include "app/screens.h"

#include "app/loop.h"
#include "app/settings.h"
#include "decode/decode.h"
#include "gpu/gpu.h"
#include "spitee/spitee.h"

PaintStandby standby_painter(ScreenState &s) {
    return [&s](int out_no, uint8_t *px, uint32_t pitch, int w, int h) {
        // Settings are not read yet: the picture goes in letterboxed and unmirrored,
        // and is painted again if the output's flip or fit turn out different.
        paint_standby(s.standby, s.overlays.connect, s.drawing.connect, &s.drawing.font, px, pitch,
                      w, h, Look{});
        if (out_no == 0) spi_tee_publish_buffer(*s.tee, px, pitch, w, h);
    };
}

void standby_refresh(ScreenState &s, KmsOutput &o) {
    if (!repaint_standby(s.standby, s.overlays.connect, s.drawing.connect, &s.drawing.font, o,
                         s.showing_video))
        return;
    // The SPI display shows the first output's picture.
    if (&o == &s.display.outs[0] && o.standby.map)
        spi_tee_publish_buffer(*s.tee, o.standby.px(), o.standby.pitch, o.mode.hdisplay,
                               o.mode.vdisplay);
}

OverlayFacts overlay_facts(ScreenState &s) {
    const GpuPass &pass = *s.pass;
    return {s.showing_video,
            s.stream && s.stream->detect,
            s.stream && s.stream->hevc,
            pass.lut_on ? pass.lut_path.c_str() : nullptr,
            pass.ready != -1,
            [&s](KmsOutput &o) { standby_refresh(s, o); },
            s.display.outputs()};
}
