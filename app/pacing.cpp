// Frame pacing: when the loop takes the next frame, how long a frame is held on
// screen, and how the panel is committed.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <xf86drm.h>
#include <xf86drmMode.h>

#include "app/clock.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/mailbox.h"
#include "app/pacing.h"
#include "app/phase_pacing.h"
#include "app/placement.h"
#include "app/settings.h"
#include "kms/kms.h"
#include "kms/present.h"
#include "overlay/overlay.h"

int g_dsi_nonblock = -1;
int g_hold_r = 1;
int g_hold_cand = 1;
int g_hold_cand_n;
int g_hold_forced = -2;
int g_flip_blocks;
int g_flip_learn_hi, g_flip_learn_lo;
int g_vblank_wait_override = -2;
int g_display_fps = -2;
int64_t g_cap_last_pass;

namespace {
PacingSettings g_pacing;
}  // namespace

void pacing_configure(const PacingSettings &s) {
    g_pacing = s;
}

namespace {
const KmsOutput *g_paced;
}  // namespace

void pacing_use_output(const KmsOutput *o) {
    g_paced = o;
}

const KmsOutput *paced_output() {
    return g_paced;
}

int refresh_hz() {
    return g_paced && g_paced->mode.vrefresh ? int(g_paced->mode.vrefresh) : 60;
}

int64_t refresh_period_us() {
    return g_paced && g_paced->mode.vrefresh ? 1000000 / g_paced->mode.vrefresh : 16666;
}

uint32_t vblank_request_type(int crtc_idx) {
    uint32_t type = DRM_VBLANK_RELATIVE;
    if (crtc_idx >= 1) type |= (uint32_t(crtc_idx) & 31) << DRM_VBLANK_HIGH_CRTC_SHIFT;
    return type;
}

bool wait_vblank_outs0() {
    drmVBlank vbl{};
    vbl.request.type = drmVBlankSeqType(vblank_request_type(g_paced->crtc_idx));
    vbl.request.sequence = 1;
    return drmWaitVBlank(g_paced->fd, &vbl) == 0;
}

HoldVerdict hold_decision(int n, int hold, int flip_blocks, std::optional<int64_t> since_present_us,
                          int64_t period_us) {
    if (n == 0 || hold <= 1) return n > 0 ? HoldVerdict::kTake : HoldVerdict::kNone;
    // More than the frame on its way and the reserve: holding would only add latency.
    if (n > 2) return HoldVerdict::kTake;
    if (!since_present_us) return HoldVerdict::kTake;
    int64_t quarter = period_us / 4;
    // A blocking plane update already spends one refresh; a lone queued frame is the
    // reserve, so it stays one refresh longer.
    int64_t slots = hold - (flip_blocks == 1 ? 1 : 0) + (n == 1 ? 1 : 0);
    int64_t k = (*since_present_us + quarter) / period_us;
    return k >= slots ? HoldVerdict::kTake : HoldVerdict::kHold;
}

int parse_frame_hold(const char *v) {
    if (!v || !v[0]) return -1;
    long x = strtol(v, nullptr, 10);
    if (x < 0) return -1;
    return x > 4 ? 4 : int(x);
}

int hold_candidate(int64_t interval_us, int refresh_hz, int forced) {
    if (forced >= 0) return forced < 1 ? 1 : forced;
    if (interval_us <= 0) return 1;
    double ratio = double(interval_us) * refresh_hz / 1000000.0;
    int r = int(ratio + 0.5);
    // Only a clean fraction of the refresh rate is held; anything else judders less
    // when shown on arrival.
    if (r >= 2 && r <= 4 && r - 0.12 < ratio && ratio < r + 0.12) return r;
    return 1;
}

HoldCount hold_confirm(HoldCount s, int c) {
    if (c == s.cand) {
        s.cand_n++;
    } else {
        s.cand = c;
        s.cand_n = 1;
    }
    if (s.cand_n >= 2) s.r = c;
    return s;
}

int parse_vblank_wait(const char *v) {
    if (!v || !v[0]) return -1;
    return strtol(v, nullptr, 10) == 0 ? 1 : 0;
}

FlipLearn flip_learn_step(FlipLearn s, int64_t us) {
    if (us >= 6000) {
        s.lo = 0;
        s.hi++;
        if (s.blocks == 0 && s.hi > 19) s.blocks = 1;
    } else if (us < 2000) {
        s.hi = 0;
        s.lo++;
        if (s.blocks == 1 && s.lo > 19) s.blocks = 0;
    } else {
        s.hi = 0;
        s.lo = 0;
    }
    return s;
}

bool display_cap_decide(int fps, int64_t *last_pass_us, int64_t now_us) {
    if (fps <= 0) return true;
    // 2 ms of slack so that a source at exactly the cap's rate is not cut in half by jitter.
    if (*last_pass_us != 0 && now_us - *last_pass_us < 1000000 / fps - 2000) return false;
    *last_pass_us = now_us;
    return true;
}

void wait_one_refresh() {
    int64_t t0 = mono_us();
    if (!g_paced || !wait_vblank_outs0()) usleep(useconds_t(1000000 / refresh_hz()));
    stage_sample(kStageVblankWait, t0, mono_us());
}

namespace {

Acquired none_locked(const Mailbox &mb) {
    return {Acquired::kFrame, nullptr, mb.eof};
}

// Show on arrival: the oldest frame now, or whatever arrives within the wait. Waits
// end on the monotonic clock: a board setting its wall clock from the network must
// not stretch one by the size of the step.
Acquired on_arrival_locked(Mailbox &mb, std::unique_lock<std::mutex> &lock) {
    if (mb.n > 0) return {Acquired::kFrame, mb_take_locked(mb), false};
    if (mb.eof) return none_locked(mb);
    auto wait = std::chrono::milliseconds(mb.menu_open ? 25 : 100);
    mb.cv.wait_until(lock, std::chrono::steady_clock::now() + wait);
    if (mb.n > 0) return {Acquired::kFrame, mb_take_locked(mb), false};
    return none_locked(mb);
}

Acquired hold_locked(Mailbox &mb, std::unique_lock<std::mutex> &lock, bool waited) {
    int64_t last = g_hold_last_present;
    std::optional<int64_t> since;
    if (last != 0) since = mono_us() - last;
    switch (hold_decision(mb.n, g_hold_r, g_flip_blocks, since, refresh_period_us())) {
        case HoldVerdict::kNone:
            return none_locked(mb);
        case HoldVerdict::kTake:
            return {Acquired::kFrame, mb_take_locked(mb), false};
        case HoldVerdict::kHold:
            break;
    }
    lock.unlock();
    if (!waited) wait_one_refresh();
    return {Acquired::kHold, nullptr, false};
}

// Vblank pacing: frames are taken at refreshes. g_smooth may be switched off by the
// tuning file at any time, so it is looked at again after every lock and wait.
Acquired acquire_paced(Mailbox &mb) {
    std::unique_lock lock(mb.lock, std::defer_lock);
    if (!g_flip_blocks && g_paced) {
        int64_t t0 = mono_us();
        bool ok = wait_vblank_outs0();
        stage_sample(kStageVblankWait, t0, mono_us());
        lock.lock();
        if (!g_smooth) return on_arrival_locked(mb, lock);
        if (ok) {
            queue_depth_sample(mb.n);
            return hold_locked(mb, lock, true);
        }
    } else {
        lock.lock();
        if (!g_smooth) return on_arrival_locked(mb, lock);
    }
    if (mb.n == 0) {
        if (mb.eof) return none_locked(mb);
        mb.cv.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(16));
        if (!g_smooth) return on_arrival_locked(mb, lock);
    }
    return hold_locked(mb, lock, false);
}

}  // namespace

Acquired acquire_frame(Mailbox &mb) {
    if (g_smooth && g_smooth_phase) return acquire_phase(mb);
    phase_off();
    if (g_smooth) return acquire_paced(mb);
    std::unique_lock lock(mb.lock);
    if (g_smooth) {
        lock.unlock();
        return acquire_paced(mb);
    }
    return on_arrival_locked(mb, lock);
}

void frame_hold_evaluate(Mailbox &mb) {
    if (g_hold_forced == -2) g_hold_forced = g_pacing.frame_hold;
    int hz = refresh_hz();
    int64_t interval = mb.src_interval_us;
    int c = hold_candidate(interval, hz, g_hold_forced);
    HoldCount next = hold_confirm({g_hold_r, g_hold_cand, g_hold_cand_n}, c);
    bool changed = next.r != g_hold_r;
    g_hold_r = next.r;
    g_hold_cand = next.cand;
    g_hold_cand_n = next.cand_n;
    if (!changed) return;
    // A held frame needs room for the one on screen, the next and the reserve.
    mb.cap = c == 1 ? 2 : 4;
    double fps = interval > 0 ? 1000000.0 / double(interval) : 0.0;
    if (c == 1) {
        fprintf(stderr, "zyl-kms: cadence: source %.1f fps on %d Hz — presenting on arrival\n", fps,
                hz);
    } else {
        fprintf(stderr,
                "zyl-kms: cadence: source %.1f fps on %d Hz — holding each frame %d refreshes with "
                "%d in reserve (ZYL_KMS_FRAME_HOLD=0 to present on arrival)\n",
                fps, hz, c, g_smooth_phase ? 0 : 1);
    }
    fflush(stderr);
}

bool display_cap_pass_at(int64_t now_us) {
    if (g_display_fps == -2) g_display_fps = g_pacing.display_fps;
    if (display_cap_decide(g_display_fps, &g_cap_last_pass, now_us)) return true;
    g_drop_throttle++;
    last_frame_time = now_us;
    return false;
}

bool display_cap_pass() {
    return display_cap_pass_at(mono_us());
}

void vblank_learn(int64_t us) {
    if (g_vblank_wait_override == -2) {
        g_vblank_wait_override = g_pacing.vblank_wait;
        if (g_vblank_wait_override >= 0) g_flip_blocks = g_vblank_wait_override;
    }
    if (g_vblank_wait_override >= 0) return;
    FlipLearn next = flip_learn_step({g_flip_blocks, g_flip_learn_hi, g_flip_learn_lo}, us);
    int was = g_flip_blocks;
    g_flip_blocks = next.blocks;
    g_flip_learn_hi = next.hi;
    g_flip_learn_lo = next.lo;
    if (next.blocks == was) return;
    if (next.blocks) {
        fprintf(
            stderr,
            "zyl-kms: HDMI SetPlane blocks until the flip lands (~%.1f ms) — it paces the loop; "
            "dropping the explicit vblank wait (ZYL_KMS_VBLANK_WAIT=1 to keep it)\n",
            double(us) / 1000.0);
    } else {
        fprintf(stderr,
                "zyl-kms: HDMI SetPlane returns immediately (%.1f ms) — restoring the explicit "
                "vblank wait\n",
                double(us) / 1000.0);
    }
    fflush(stderr);
}

int panel_commit(const KmsOutput &o, uint32_t fb, const Placement &p) {
    if (g_dsi_nonblock < 0) {
        g_dsi_nonblock = g_pacing.dsi_nonblock;
        fprintf(stderr, "zyl-kms: panel per-frame commit %s\n",
                g_dsi_nonblock ? "NONBLOCKING (ZYL_KMS_DSI_NONBLOCK=0 to block on the panel vblank)"
                               : "blocking (ZYL_KMS_DSI_NONBLOCK=0)");
    }
    auto commit = [&](uint32_t flags) { return video_plane_commit(o, fb, p, flags); };
    if (!g_dsi_nonblock) return commit(0);
    int r = commit(DRM_MODE_ATOMIC_NONBLOCK);
    if (r == 0) return 0;
    if (errno == EBUSY || r == -EBUSY) {
        g_dsi_busy_skip++;
        return commit(0);
    }
    g_dsi_nonblock = 0;
    fprintf(stderr,
            "zyl-kms: panel NONBLOCK commit rejected (%s) — falling back to blocking commits\n",
            strerror(errno));
    fflush(stderr);
    return commit(0);
}
