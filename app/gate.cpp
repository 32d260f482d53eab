// Keyframe gate and video hide: what happens to frames after a gap in the feed.
// After a dropout the decoder's references are gone and pictures smear until the
// next keyframe, so non-key frames are dropped for a bounded time; a longer gap
// hands the screens back to the standby picture.
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavutil/frame.h>
}

#include "app/clock.h"
#include "app/gate.h"
#include "app/health.h"
#include "app/screens.h"
#include "app/shown.h"
#include "base/log.h"
#include "decode/decode.h"
#include "kms/kms.h"
#include "kms/present.h"
#include "overlay/overlay.h"

// A soft gate gives a stream with rare keyframes only a short blackout.
constexpr int64_t kSoftGateMs = 350;
// Whatever the kind, a gate that has dropped this many frames gives up.
constexpr int64_t kGateMaxDrops = 180;

std::optional<int64_t> gate_setting_ms(const char *v) {
    if (!v || !v[0]) return std::nullopt;
    return int64_t(strtol(v, nullptr, 10));
}

void gate_configure(Gate &g, const GateSettings &s, bool hevc) {
    g.arm_ms = s.arm_ms;
    g.hide_ms = s.hide_ms;
    g.max_ms = s.max_ms.value_or(hevc ? 300 : 2000);
    g.hevc = hevc;
}

GapStep gap_decide(int64_t gap_ms, int64_t arm_ms, int64_t hide_after_ms, bool armed,
                   bool showing) {
    GapStep s{};
    s.arm = gap_ms >= arm_ms && !armed;
    if (armed || s.arm) s.gate_word = showing ? "gated" : "hidden";
    s.hidden = gap_ms >= hide_after_ms;
    s.hide = s.hidden && showing;
    return s;
}

GateLimit gate_limit(bool hard, bool hevc, int64_t max_ms) {
    if (!hard) return {kSoftGateMs, 1};
    // An H.264 stream can resume from recovery points a few frames in; H.265 rarely does.
    return {max_ms, hevc ? 1 : 5};
}

bool gate_release_due(int64_t drops, int64_t elapsed_ms, GateLimit lim) {
    if (drops >= kGateMaxDrops) return true;
    return lim.ms > 0 && elapsed_ms >= lim.ms && drops >= lim.min_drops;
}

void gate_arm(Gate &g, int hard, int64_t now_us, int64_t whole_before) {
    g.since = now_us;
    g.whole_before = whole_before;
    g.hard = hard;
    g.wait_key = 1;
}

namespace {

void gate_open(Gate &g) {
    g.wait_key = 0;
    g.hard = 0;
    g.drops = 0;
}

void hide_video(ScreenState &screens) {
    // The standby buffers were blacked when video started: the standby picture goes
    // back into them while the last picture still covers them.
    screens.showing_video = false;
    for (KmsOutput &o : screens.display.outputs()) standby_refresh(screens, o);
    // Legacy calls on every output, panels included.
    for (const KmsOutput &o : screens.display.outputs()) video_plane_standby(o, false);
    shown_clear(screens.shown);
    redraw_sidebars(screens.drawing, screens.overlays, overlay_facts(screens));
}

}  // namespace

void gap_rules_at(Gate &g, Health &h, ScreenState &screens, int64_t now_us) {
    int64_t gap = (now_us - g.last_frame_us) / 1000;
    GapStep s = gap_decide(gap, g.arm_ms, g.hide_ms, g.wait_key != 0, screens.showing_video);
    if (s.arm) {
        // Units that came before the last picture was shown had their references.
        gate_arm(g, 0, now_us, g.last_frame_us);
        say("zyl-mpp: gate: armed (gap %lldms, soft)", (long long)gap);
    }
    if (s.gate_word) hdmi_state_write(h, s.gate_word);
    if (s.hide) hide_video(screens);
    if (s.hidden) hdmi_state_write(h, "hidden");
}

void gap_rules(Gate &g, Health &h, ScreenState &screens) {
    gap_rules_at(g, h, screens, mono_us());
}

bool gate_pass_at(Gate &g, Health &h, const ScreenState &screens, const AVFrame *frame,
                  int64_t now_us) {
    if (!g.wait_key) return true;
    long long elapsed = (long long)((now_us - g.since) / 1000);
    if (frame->flags & AV_FRAME_FLAG_KEY) {
        say("zyl-mpp: gate: resumed on keyframe %dx%d after %lld dropped (%lld ms)", frame->width,
            frame->height, (long long)g.drops, elapsed);
        gate_open(g);
        return true;
    }
    // A decoder that reorders or pipelines still holds pictures of units that came
    // before the gap: they are whole, and tell nothing about the pictures after it.
    if (frame->pts != AV_NOPTS_VALUE && frame->pts < g.whole_before) return true;
    h.counters.drop_gate++;
    if (++g.drops == 1) say("zyl-mpp: gate: dropping non-key frames after gap");
    hdmi_state_write(h, screens.showing_video ? "gated" : "hidden");
    bool hard = g.hard != 0;
    if (gate_release_due(g.drops, elapsed, gate_limit(hard, g.hevc, g.max_ms))) {
        say("zyl-mpp: gate: no keyframe after %lld frames / %lld ms — releasing (%s)",
            (long long)g.drops, elapsed, hard ? "hard" : "soft");
        gate_open(g);
        // The gap is over: without this the next pass without a frame arms again.
        g.last_frame_us = now_us;
    }
    return false;
}

bool gate_pass(Gate &g, Health &h, const ScreenState &screens, const AVFrame *frame) {
    return gate_pass_at(g, h, screens, frame, mono_us());
}
