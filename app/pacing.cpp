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

#include "base/log.h"
#include "app/clock.h"
#include "app/health.h"
#include "app/mailbox.h"
#include "app/pacing.h"
#include "app/phase_pacing.h"
#include "app/placement.h"
#include "kms/kms.h"
#include "kms/present.h"
#include "overlay/overlay.h"

int refresh_hz(const Pacer &pc) {
    const KmsOutput *o = pc.paced;
    return o && o->mode.vrefresh ? int(o->mode.vrefresh) : 60;
}

int64_t refresh_period_us(const Pacer &pc) {
    const KmsOutput *o = pc.paced;
    return o && o->mode.vrefresh ? 1000000 / o->mode.vrefresh : 16666;
}

uint32_t vblank_request_type(int crtc_idx) {
    uint32_t type = DRM_VBLANK_RELATIVE;
    if (crtc_idx >= 1) type |= (uint32_t(crtc_idx) & 31) << DRM_VBLANK_HIGH_CRTC_SHIFT;
    return type;
}

namespace {
bool wait_vblank_of(const KmsOutput &o) {
    drmVBlank vbl{};
    vbl.request.type = drmVBlankSeqType(vblank_request_type(o.crtc_idx));
    vbl.request.sequence = 1;
    return drmWaitVBlank(o.fd, &vbl) == 0;
}
}  // namespace

bool wait_vblank_outs0(const Pacer &pc) {
    return wait_vblank_of(*pc.paced);
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

void wait_one_refresh(const Pacer &pc) {
    int64_t t0 = mono_us();
    if (!pc.paced || !wait_vblank_outs0(pc)) usleep(useconds_t(1000000 / refresh_hz(pc)));
    stage_sample(pc.health, kStageVblankWait, t0, mono_us());
}

namespace {

Acquired none_locked(const Mailbox &mb) {
    return {Acquired::kFrame, nullptr, mb.eof};
}

// Show on arrival: the oldest frame now, or whatever arrives within the wait. Waits
// end on the monotonic clock: a board setting its wall clock from the network must
// not stretch one by the size of the step.
Acquired on_arrival_locked(Mailbox &mb, std::unique_lock<std::mutex> &lock) {
    if (mb.q.size() > 0) return {Acquired::kFrame, mb_take_locked(mb), false};
    if (mb.eof) return none_locked(mb);
    auto wait = std::chrono::milliseconds(mb.menu_open ? 25 : 100);
    mb.cv.wait_until(lock, std::chrono::steady_clock::now() + wait);
    if (mb.q.size() > 0) return {Acquired::kFrame, mb_take_locked(mb), false};
    return none_locked(mb);
}

Acquired hold_locked(const Pacer &pc, Mailbox &mb, std::unique_lock<std::mutex> &lock,
                     bool waited) {
    int64_t last = pc.last_present_us;
    std::optional<int64_t> since;
    if (last != 0) since = mono_us() - last;
    switch (hold_decision(mb.q.size(), pc.hold.r, pc.flip_blocks, since, refresh_period_us(pc))) {
        case HoldVerdict::kNone:
            return none_locked(mb);
        case HoldVerdict::kTake:
            return {Acquired::kFrame, mb_take_locked(mb), false};
        case HoldVerdict::kHold:
            break;
    }
    lock.unlock();
    if (!waited) wait_one_refresh(pc);
    return {Acquired::kHold, nullptr, false};
}

// Vblank pacing: frames are taken at refreshes. Smooth pacing may be switched off by the
// tuning file at any time, so it is looked at again after every lock and wait.
Acquired acquire_paced(Pacer &pc, Mailbox &mb) {
    std::unique_lock lock(mb.lock, std::defer_lock);
    if (!pc.flip_blocks && pc.paced) {
        int64_t t0 = mono_us();
        bool ok = wait_vblank_outs0(pc);
        stage_sample(pc.health, kStageVblankWait, t0, mono_us());
        lock.lock();
        if (!pc.smooth) return on_arrival_locked(mb, lock);
        if (ok) {
            queue_depth_sample(pc.health, mb.q.size());
            return hold_locked(pc, mb, lock, true);
        }
    } else {
        lock.lock();
        if (!pc.smooth) return on_arrival_locked(mb, lock);
    }
    if (mb.q.size() == 0) {
        if (mb.eof) return none_locked(mb);
        mb.cv.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(16));
        if (!pc.smooth) return on_arrival_locked(mb, lock);
    }
    return hold_locked(pc, mb, lock, false);
}

}  // namespace

Acquired acquire_frame(Pacer &pc, Mailbox &mb) {
    if (pc.smooth && pc.smooth_phase) return acquire_phase(pc, mb);
    phase_off(pc.phase);
    if (pc.smooth) return acquire_paced(pc, mb);
    std::unique_lock lock(mb.lock);
    if (pc.smooth) {
        lock.unlock();
        return acquire_paced(pc, mb);
    }
    return on_arrival_locked(mb, lock);
}

void frame_hold_evaluate(Pacer &pc, Mailbox &mb) {
    int hz = refresh_hz(pc);
    int64_t interval = mb.src_interval_us;
    int c = hold_candidate(interval, hz, pc.settings.frame_hold);
    HoldCount next = hold_confirm(pc.hold, c);
    bool changed = next.r != pc.hold.r;
    pc.hold = next;
    if (!changed) return;
    // A held frame needs room for the one on screen, the next and the reserve.
    mb.cap = c == 1 ? 2 : 4;
    double fps = interval > 0 ? 1000000.0 / double(interval) : 0.0;
    if (c == 1) {
        say("zyl-kms: cadence: source %.1f fps on %d Hz — presenting on arrival", fps, hz);
    } else {
        say("zyl-kms: cadence: source %.1f fps on %d Hz — holding each frame %d refreshes with "
            "%d in reserve (ZYL_KMS_FRAME_HOLD=0 to present on arrival)",
            fps, hz, c, pc.smooth_phase ? 0 : 1);
    }
}

bool display_cap_pass_at(Pacer &pc, int64_t now_us) {
    return display_cap_decide(pc.settings.display_fps, &pc.cap_last_pass, now_us);
}

bool display_cap_pass(Pacer &pc) {
    return display_cap_pass_at(pc, mono_us());
}

void vblank_learn(Pacer &pc, int64_t us, int out) {
    const int forced = pc.settings.vblank_wait;
    if (forced >= 0) {
        if (!pc.flip_forced) pc.flip_blocks = forced;
        pc.flip_forced = true;
        return;
    }
    if (out < 0 || size_t(out) >= pc.out_flip.size()) return;
    pc.out_flip[size_t(out)] = flip_learn_step(pc.out_flip[size_t(out)], us);
    int blocks = 0;
    for (const FlipLearn &f : pc.out_flip) blocks |= f.blocks;
    const int was = pc.flip_blocks;
    pc.flip_blocks = blocks;
    if (blocks == was) return;
    if (blocks) {
        say("zyl-kms: HDMI SetPlane blocks until the flip lands (~%.1f ms) — it paces the loop; "
            "dropping the explicit vblank wait (ZYL_KMS_VBLANK_WAIT=1 to keep it)",
            double(us) / 1000.0);
    } else {
        say("zyl-kms: HDMI SetPlane returns immediately (%.1f ms) — restoring the explicit "
            "vblank wait",
            double(us) / 1000.0);
    }
}

namespace {

// One output's commit as the card lets it go: blocking on a panel that refuses
// NONBLOCK, else non-blocking. When its last flip is still pending, landing at its next
// vblank, it waits for that (not for a whole blocking commit's refresh more) rather
// than pass the output by, as the picture it still shows may be one the next
// hand-over releases. Any other refusal is the caller's (`busy` false, errno kept).
template <typename Commit>
int commit_in_turn(const Pacer &pc, const KmsOutput &o, Commit commit, bool *busy) {
    *busy = false;
    if (o.is_dsi && !pc.dsi_nonblock) return commit(0);
    const int r = commit(DRM_MODE_ATOMIC_NONBLOCK);
    if (r == 0 || !(errno == EBUSY || r == -EBUSY)) return r;
    *busy = true;
    if (wait_vblank_of(o) && commit(DRM_MODE_ATOMIC_NONBLOCK) == 0) return 0;
    return commit(0);
}

}  // namespace

int output_commit(Pacer &pc, KmsOutput &o, int out, uint32_t fb, const Placement &p) {
    if (o.is_dsi && !pc.dsi_said) {
        pc.dsi_said = true;
        say("zyl-kms: panel per-frame commit %s",
            pc.dsi_nonblock ? "NONBLOCKING (ZYL_KMS_DSI_NONBLOCK=0 to block on the panel vblank)"
                            : "blocking (ZYL_KMS_DSI_NONBLOCK=0)");
    }
    // A pending overlay update goes with the frame: a commit of its own would keep the
    // output's next frame waiting for its flip.
    const bool menu = o.menu_rides && o.menu_update != MenuUpdate::kNone;
    auto commit = [&](uint32_t flags) {
        const int r = video_plane_commit(o, fb, p, flags, menu);
        if (r == 0 && menu && !(flags & DRM_MODE_ATOMIC_TEST_ONLY)) menu_handed_over(o);
        return r;
    };
    bool busy;
    const int r = commit_in_turn(pc, o, commit, &busy);
    if (busy && pc.health) pc.health->dsi_busy_skip++;
    if (r == 0 || busy || (o.is_dsi && !pc.dsi_nonblock)) return r;
    const int why = errno;
    // A placement or framebuffer the plane refuses is no reason to give up the commits:
    // only a request that passes without NONBLOCK shows the flag itself refused.
    if (commit(DRM_MODE_ATOMIC_TEST_ONLY) != 0) {
        errno = why;
        return r;
    }
    if (o.is_dsi) {
        pc.dsi_nonblock = false;
        say("zyl-kms: panel NONBLOCK commit rejected (%s) — falling back to blocking commits",
            strerror(why));
        return commit(0);
    }
    pc.legacy_outputs |= 1u << out;
    o.menu_rides = 0;
    say("zyl-kms: output %d NONBLOCK commit rejected (%s) — falling back to the legacy plane "
        "call",
        out, strerror(why));
    const int v = video_plane_set(o, fb, p);
    menu_set_legacy(o);
    return v;
}

bool menu_waits_for_video(int64_t waited_us, int64_t since_video_us, int64_t period_us) {
    // Video that came within the last few refreshes comes again within as many: the
    // update rides its next commit. Past that (standby, no stream, a stall) it goes
    // alone rather than wait for a frame that may not come.
    return since_video_us < 3 * period_us && waited_us < 3 * period_us;
}

int overlay_commit(Pacer &pc, KmsOutput &o) {
    if (o.menu_update == MenuUpdate::kNone) return 0;
    auto commit = [&](uint32_t flags) {
        const int r = menu_commit(o, flags);
        if (r == 0) menu_handed_over(o);
        return r;
    };
    bool busy;
    const int r = commit_in_turn(pc, o, commit, &busy);
    if (r == 0 || busy || (o.is_dsi && !pc.dsi_nonblock)) return r;
    return menu_set_legacy(o);
}
