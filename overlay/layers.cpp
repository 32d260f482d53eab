// One composition pass over every output. Layers, bottom to top: the message screen
// or the menu, detection boxes, the telemetry HUD, the pop-up. An output with an
// overlay plane gets a complete new drawing on it (or the plane switched off when
// nothing is shown); a sidebar output has only its standby buffer, on screen beside
// the narrowed video, and gets the menu or the message drawn into it: in the column
// the video leaves free, or over the whole standby picture without video. While the GPU
// pass can run, a sidebar output's overlays are also drawn as a plane's would be, for
// the pass to draw over its video.
#include <algorithm>
#include <cstring>

#include "kms/kms.h"
#include "overlay/overlay.h"

namespace {

// Draws the layers of output `o` over `s`; false when it shows none.
bool draw_layers(OverlayDrawing &d, const Overlays &ov, const KmsOutput &o, const OverlayFacts &f,
                 const OverlaySurface &s) {
    const int W = o.mode.hdisplay, H = o.mode.vdisplay;
    int below = 0;
    ScreenLayout menu;
    if (ov.menu.message) {
        draw_message(s, ov.menu, W, H, false);
    } else if (ov.menu.open) {
        // The HUD's bars go over the menu, so the panel keeps clear of them.
        int top = 0, bottom = 0;
        if (o.look.telemetry) hud_bars(s.font, W, H, ov.telem, &top, &bottom);
        draw_menu(s, ov.menu, W, H, false, top, bottom);
        menu_boxes(s.font, W, H, ov.menu, menu, top, bottom);
        if (f.detect) draw_detections(d.detections, s);
        if (o.look.telemetry) below = draw_telemetry(o, s, ov.telem, f);
    } else if (f.detect || o.look.telemetry || (ov.osd.active && o.is_dsi)) {
        memset(s.px, 0, size_t(H) * s.stride);
        if (f.detect) draw_detections(d.detections, s);
        if (o.look.telemetry) below = draw_telemetry(o, s, ov.telem, f);
    } else {
        return false;
    }
    draw_osd(d.popup, o, s, ov.osd, below, layout_find(menu, "head"));
    return true;
}

void compose_on_plane(OverlayDrawing &d, const Overlays &ov, KmsOutput &o, const OverlayFacts &f) {
    const int W = o.mode.hdisplay, H = o.mode.vdisplay;
    const int back = menu_back(o);
    const OverlaySurface s =
        !o.menu_shadow.empty()
            ? OverlaySurface{o.menu_shadow.data(), o.menu_shadow_stride, W, H, &d.font}
            : OverlaySurface{o.menu[back].px(), o.menu[back].pitch, W, H, &d.font};
    if (!s.px) return;
    if (draw_layers(d, ov, o, f, s)) {
        menu_present(o, back);
    } else if (o.menu_plane && o.menu_shown) {
        menu_plane_off(o);
    }
}

// A sidebar output's overlay surface for the GPU pass: drawn as an overlay plane's
// would be, for the pass to draw over the video.
void compose_for_pass(OverlayDrawing &d, const Overlays &ov, KmsOutput &o, const OverlayFacts &f) {
    const OverlaySurface s{o.menu_shadow.data(), o.menu_shadow_stride, o.mode.hdisplay,
                           o.mode.vdisplay, &d.font};
    if (draw_layers(d, ov, o, f, s))
        compose_surface_present(o);
    else
        o.menu_shown = 0;
}

// The standby buffer of a sidebar output, mirrored like the video beside it.
OverlaySurface standby_surface(const KmsOutput &o, Font *font) {
    return {o.standby.px(), o.standby.pitch,        o.mode.hdisplay,       o.mode.vdisplay,
            font,           mirrors_x(o.look.flip), mirrors_y(o.look.flip)};
}

bool in_column(SidebarDrawn d) {
    return d == SidebarDrawn::kMenuInColumn || d == SidebarDrawn::kMessageInColumn;
}

// What the standby buffer should hold: beside the video the overlays take the column
// the video leaves free; without video, the whole screen as on an overlay plane.
SidebarDrawn sidebar_wanted(const MenuState &m, bool video_shown) {
    if (m.message) return video_shown ? SidebarDrawn::kMessageInColumn : SidebarDrawn::kMessage;
    if (m.open) return video_shown ? SidebarDrawn::kMenuInColumn : SidebarDrawn::kMenu;
    return SidebarDrawn::kNothing;
}

// A column drawing beside the video gives way to black, as the video's surroundings
// are; anything else to the standby picture (painted black under video).
void take_away_sidebar(KmsOutput &o, const OverlayFacts &f, SidebarDrawn drawn) {
    if (in_column(drawn) && f.video_shown) {
        const int H = o.mode.vdisplay, W = std::min(kSidebarWidth, int(o.mode.hdisplay));
        fill_rect(standby_surface(o, nullptr), 0, 0, W, H, 0xFF000000);
    } else if (f.video_shown) {
        fill_rect(standby_surface(o, nullptr), 0, 0, o.mode.hdisplay, o.mode.vdisplay, 0xFF000000);
    } else {
        f.repaint_standby(o);
    }
}

// A drawing of another kind or layout does not cover the old one, so that is taken
// away first.
void compose_in_standby(SidebarDrawn &drawn, Font &font, const Overlays &ov, KmsOutput &o,
                        const OverlayFacts &f) {
    const int W = o.mode.hdisplay, H = o.mode.vdisplay;
    if (!o.standby.map) return;
    const SidebarDrawn want = sidebar_wanted(ov.menu, f.video_shown);
    if (drawn != SidebarDrawn::kNothing && drawn != want) take_away_sidebar(o, f, drawn);
    drawn = want;
    if (want == SidebarDrawn::kNothing) return;
    const OverlaySurface s = standby_surface(o, &font);
    if (want == SidebarDrawn::kMessage || want == SidebarDrawn::kMessageInColumn)
        draw_message(s, ov.menu, W, H, in_column(want));
    else
        draw_menu(s, ov.menu, W, H, in_column(want));
}

}  // namespace

void render_menu_all(OverlayDrawing &d, const Overlays &ov, const OverlayFacts &f) {
    std::lock_guard<std::mutex> hold(d.compose);
    for (size_t i = 0; i < f.outputs.size(); i++) {
        if (f.outputs[i].sidebar && f.gpu_overlays && f.outputs[i].menu_dmabuf)
            compose_for_pass(d, ov, f.outputs[i], f);
        if (f.outputs[i].sidebar)
            compose_in_standby(d.sidebar[i], d.font, ov, f.outputs[i], f);
        else
            compose_on_plane(d, ov, f.outputs[i], f);
    }
}

void redraw_sidebars(OverlayDrawing &d, const Overlays &ov, const OverlayFacts &f) {
    bool any = false;
    for (size_t i = 0; i < f.outputs.size(); i++) {
        any |= f.outputs[i].sidebar != 0;
        d.sidebar[i] = SidebarDrawn::kNothing;
    }
    if (any) render_menu_all(d, ov, f);
}
