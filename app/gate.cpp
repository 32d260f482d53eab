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
#include "app/loop.h"
#include "app/screens.h"
#include "app/shown.h"
#include "decode/decode.h"
#include "kms/kms.h"
#include "kms/present.h"
#include "overlay/overlay.h"

std::atomic<int> g_wait_key, g_gate_hard;
std::atomic<int64_t> g_gate_since;
std::atomic<int64_t> g_gate_whole_before{INT64_MIN};
int64_t g_gate_drops;
int64_t gate_arm_ms = -1, hide_ms = -1, gate_max_ms = -1;

// A soft gate gives a stream with rare keyframes only a short blackout.
constexpr int64_t kSoftGateMs = 350;
// Whatever the kind, a gate that has dropped this many frames gives up.
constexpr int64_t kGateMaxDrops = 180;

int64_t gate_setting_ms(const char *v, int64_t dflt) {
    return v && v[0] ? int64_t(strtol(v, nullptr, 10)) : dflt;
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

void gate_arm(int hard, int64_t now_us, int64_t whole_before) {
    g_gate_since = now_us;
    g_gate_whole_before = whole_before;
    g_gate_hard = hard;
    g_wait_key = 1;
}

namespace {

void gate_open() {
    g_wait_key = 0;
    g_gate_hard = 0;
    g_gate_drops = 0;
}

void hide_video() {
    // The standby buffers were blacked when video started: the standby picture goes
    // back into them while the last picture still covers them.
    showing_video = 0;
    for (int i = 0; i < nout; i++) standby_refresh(outs[i]);
    // Legacy calls on every output, panels included.
    for (int i = 0; i < nout; i++) video_plane_standby(outs[i], false);
    shown_clear();
    redraw_sidebars(overlay_facts());
}

}  // namespace

void gap_rules_at(int64_t now_us) {
    int64_t gap = (now_us - last_frame_time) / 1000;
    if (gate_arm_ms == -1) gate_arm_ms = gate_setting_ms(getenv("ZYL_KMS_GATE_MS"), 200);
    if (hide_ms == -1) hide_ms = gate_setting_ms(getenv("ZYL_KMS_HIDE_MS"), 1500);
    GapStep s = gap_decide(gap, gate_arm_ms, hide_ms, g_wait_key != 0, showing_video != 0);
    if (s.arm) {
        // Units that came before the last picture was shown had their references.
        gate_arm(0, now_us, last_frame_time);
        fprintf(stderr, "zyl-mpp: gate: armed (gap %lldms, soft)\n", (long long)gap);
        fflush(stderr);
    }
    if (s.gate_word) hdmi_state_write(s.gate_word);
    if (s.hide) hide_video();
    if (s.hidden) hdmi_state_write("hidden");
}

void gap_rules() {
    gap_rules_at(mono_us());
}

bool gate_pass_at(const AVFrame *frame, int64_t now_us) {
    if (!g_wait_key) return true;
    long long elapsed = (long long)((now_us - g_gate_since) / 1000);
    if (frame->flags & AV_FRAME_FLAG_KEY) {
        fprintf(stderr, "zyl-mpp: gate: resumed on keyframe %dx%d after %lld dropped (%lld ms)\n",
                frame->width, frame->height, (long long)g_gate_drops, elapsed);
        fflush(stderr);
        gate_open();
        return true;
    }
    // A decoder that reorders or pipelines still holds pictures of units that came
    // before the gap: they are whole, and tell nothing about the pictures after it.
    if (frame->pts != AV_NOPTS_VALUE && frame->pts < g_gate_whole_before) return true;
    g_drop_gate++;
    if (++g_gate_drops == 1) fprintf(stderr, "zyl-mpp: gate: dropping non-key frames after gap\n");
    hdmi_state_write(showing_video ? "gated" : "hidden");
    if (gate_max_ms == -1)
        gate_max_ms = gate_setting_ms(getenv("ZYL_KMS_GATE_MAX_MS"), g_is_hevc ? 300 : 2000);
    bool hard = g_gate_hard != 0;
    if (gate_release_due(g_gate_drops, elapsed, gate_limit(hard, g_is_hevc, gate_max_ms))) {
        fprintf(stderr, "zyl-mpp: gate: no keyframe after %lld frames / %lld ms — releasing (%s)\n",
                (long long)g_gate_drops, elapsed, hard ? "hard" : "soft");
        gate_open();
        // The gap is over: without this the next pass without a frame arms again.
        last_frame_time = now_us;
    }
    fflush(stderr);
    return false;
}

bool gate_pass(const AVFrame *frame) {
    return gate_pass_at(frame, mono_us());
}
