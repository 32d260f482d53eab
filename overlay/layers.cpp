// One composition pass over every output. Layers, bottom to top: the message screen
// or the menu, detection boxes, the telemetry HUD, the pop-up. An output with an
// overlay plane gets a complete new drawing on it (or the plane switched off when
// nothing is shown); a sidebar output has only its standby buffer, on screen beside
// the narrowed video, and gets the menu or the message drawn into it.
#include <cstring>

#include "kms/kms.h"
#include "overlay/overlay.h"

pthread_mutex_t g_overlay_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

// What a sidebar output's standby buffer holds besides the standby picture: the
// menu, the message column or nothing. A drawing of another kind does not cover the
// old one, so that is taken away first.
enum class Drawn { kNothing, kMenu, kMessage };
Drawn g_sidebar_drawn[kMaxOutputs];

void compose_on_plane(const Overlays &ov, KmsOutput &o, const OverlayFacts &f) {
    const int W = o.mode.hdisplay, H = o.mode.vdisplay;
    const int back = (o.menu_front + 1) & 1;
    const OverlaySurface s = !o.menu_shadow.empty()
                                 ? OverlaySurface{o.menu_shadow.data(), o.menu_shadow_stride, W, H}
                                 : OverlaySurface{o.menu[back].px(), o.menu[back].pitch, W, H};
    if (!s.px) return;
    if (ov.menu.message) {
        draw_message(s, ov.menu, W, H, false);
    } else if (ov.menu.open) {
        draw_menu(s, ov.menu, W, H, false);
        if (f.detect) draw_detections(s);
        if (o.look.telemetry) draw_telemetry(o, s, ov.telem, f);
    } else if (f.detect || o.look.telemetry || (ov.osd.active && o.is_dsi)) {
        memset(s.px, 0, size_t(H) * s.stride);
        if (f.detect) draw_detections(s);
        if (o.look.telemetry) draw_telemetry(o, s, ov.telem, f);
    } else {
        if (o.menu_plane && o.menu_shown) menu_plane_off(o);
        return;
    }
    draw_osd(o, s, ov.osd);
    menu_present(o, back);
}

// The standby buffer of a sidebar output, mirrored like the video beside it.
OverlaySurface standby_surface(const KmsOutput &o) {
    return {o.standby.px(),  o.standby.pitch,        o.mode.hdisplay,
            o.mode.vdisplay, mirrors_x(o.look.flip), mirrors_y(o.look.flip)};
}

// Under video a drawing gives way to black; without video, to the standby picture.
void take_away_sidebar(KmsOutput &o, const OverlayFacts &f) {
    if (f.video_shown) {
        fill_rect(standby_surface(o), 0, 0, o.mode.hdisplay / 2, o.mode.vdisplay, 0xFF000000);
    } else {
        f.repaint_standby(o);
    }
}

void compose_in_standby(const Overlays &ov, int i, KmsOutput &o, const OverlayFacts &f) {
    const int W = o.mode.hdisplay, H = o.mode.vdisplay;
    if (!o.standby.map) return;
    const Drawn want = ov.menu.message ? Drawn::kMessage
                       : ov.menu.open  ? Drawn::kMenu
                                       : Drawn::kNothing;
    if (g_sidebar_drawn[i] != Drawn::kNothing && g_sidebar_drawn[i] != want)
        take_away_sidebar(o, f);
    g_sidebar_drawn[i] = want;
    if (want == Drawn::kNothing) return;
    const OverlaySurface s = standby_surface(o);
    if (want == Drawn::kMessage)
        draw_message(s, ov.menu, W, H, true);
    else
        draw_menu(s, ov.menu, W, H, true);
}

}  // namespace

void render_menu_all(const Overlays &ov, const OverlayFacts &f) {
    pthread_mutex_lock(&g_overlay_lock);
    for (size_t i = 0; i < f.outputs.size(); i++) {
        if (f.outputs[i].sidebar)
            compose_in_standby(ov, int(i), f.outputs[i], f);
        else
            compose_on_plane(ov, f.outputs[i], f);
    }
    pthread_mutex_unlock(&g_overlay_lock);
}

void redraw_sidebars(const Overlays &ov, const OverlayFacts &f) {
    bool any = false;
    for (size_t i = 0; i < f.outputs.size(); i++) {
        any |= f.outputs[i].sidebar != 0;
        g_sidebar_drawn[i] = Drawn::kNothing;
    }
    if (any) render_menu_all(ov, f);
}
