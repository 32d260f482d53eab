// The settings in force and the ways they change: at start-up from the configuration,
// later from the live tuning file.
#include "app/settings.h"

#include <cstdio>

#include "app/config.h"
#include "app/pacing.h"
#include "app/screens.h"
#include "base/log.h"
#include "kms/kms.h"
#include "spitee/spitee.h"
#include "standby/standby.h"

namespace {

void follow_pacing(Pacer &pc, Pacing p) {
    pc.smooth = p != Pacing::kOnArrival;
    pc.smooth_phase = p == Pacing::kPhase;
}

// The LUT's path and switch also live with the loaded table, which the pass start may
// switch on.
void follow_lut(GpuPass &pass, const TuningStep &s) {
    if (s.lut_changed) {
        lut_set_path(pass, s.next.lut_path);
        lut_path_changed(pass);
    }
    pass.lut_on = s.next.lut_on;
}

}  // namespace

void attach_pass_and_tee(ScreenState &screens, GpuPass &pass, SpiTee &tee) {
    screens.pass = &pass;
    screens.tee = &tee;
    tee.overlays = &screens.overlays;
    tee.popup = &screens.drawing.popup;
    tee.font = &screens.drawing.font;
}

void read_settings(ScreenState &screens, Pacer &pc, const Config &c, bool interlaced) {
    LiveSettings &live = screens.live;
    live.gpu = c.gpu;
    live.tuning = c.tuning;
    Tuning &t = live.tuning;
    t.antiflicker = c.antiflicker.value_or(interlaced);
    screens.hotplug.on = c.hotplug;
    follow_pacing(pc, t.pacing);
    lut_set_path(*screens.pass, t.lut_path);

    const uint64_t rot = flip_rotation(parse_flip(t.look.flip));
    if (!screens.hotplug.on) say("zyl-mpp: monitor-swap detection OFF (ZYL_KMS_HOTPLUG=0)");
    if (t.antiflicker) say("zyl-mpp: interlaced output → GPU anti-flicker filter ON");
    say("zyl-mpp: pacing %s (ZYL_SMOOTH=%s)",
        pc.smooth_phase ? "vblank phase (smooth, no reserve frame)"
        : pc.smooth     ? "vblank (smooth)"
                        : "show-on-arrival",
        c.smooth ? c.smooth->c_str() : "unset→on");
    say("zyl-mpp: fit %s", t.look.fit.c_str());
    say("zyl-mpp: aspect %s", t.look.aspect.c_str());
    say("zyl-mpp: flip %s (rot 0x%llx)", t.look.flip.c_str(), (unsigned long long)rot);
    apply_output_looks(screens);
    const LensTuning &l = t.lens;
    say("zyl-mpp: dewarp %s (k=%.3f/%.3f/%.3f center=%.2f,%.2f strength=%.2f zoom=%.2f)",
        l.on ? "ON" : "off", l.k1, l.k2, l.k3, l.cx, l.cy, l.strength, l.zoom);
}

void apply_output_looks(ScreenState &screens) {
    const LookSettings &s = screens.live.tuning.look;
    std::span<KmsOutput> outs = screens.display.outputs();
    for (size_t i = 0; i < outs.size(); i++) {
        OutputLook o = output_look(s, int(i), outs[i].is_dsi != 0);
        outs[i].look = o.look;
        if (!o.line.empty()) say("%s", o.line.c_str());
    }
    // The standby picture follows the flip and fit too; repainted only when they changed.
    for (KmsOutput &o : outs)
        if (o.standby.map && !standby_look_same(o.standby_look, o.look))
            standby_refresh(screens, o);
}

bool poll_tuning(ScreenState &screens, Pacer &pc) {
    LiveSettings &live = screens.live;
    const std::optional<std::string> text =
        tuning_file_poll(live.tuning_file, live.gpu.tuning_file);
    if (!text) return false;
    Tuning now = live.tuning;
    GpuPass &pass = *screens.pass;
    now.lut_path = pass.lut_path;
    now.lut_on = pass.lut_on;
    const TuningStep s = tuning_step(now, *text);
    for (const std::string &line : s.refused) say("%s", line.c_str());
    live.tuning = s.next;
    follow_lut(pass, s);
    follow_pacing(pc, s.next.pacing);
    // Once for the whole file: aspect and fit lines reach every output too, and a
    // flip or fit that changed repaints the standby pictures.
    if (s.outputs) apply_output_looks(screens);
    say("%s", s.summary.c_str());
    return s.outputs;
}
