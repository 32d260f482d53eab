// Phase pacing: the schedule of vblanks each frame lands on, learned from the
// arrival jitter, and the loop's acquisition under it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <xf86drm.h>
#include <xf86drmMode.h>

#include "base/log.h"
#include "app/clock.h"
#include "app/health.h"
#include "app/mailbox.h"
#include "app/pacing.h"
#include "app/phase_pacing.h"
#include "kms/kms.h"
#include "overlay/overlay.h"

int64_t grid_round(const VblankGrid &g, int64_t t_us) {
    double k = std::round(double(t_us - g.at_us) / g.period_us);
    return g.at_us + std::llround(k * g.period_us);
}

int64_t grid_ceil(const VblankGrid &g, int64_t t_us) {
    int64_t v = grid_round(g, t_us);
    return v >= t_us ? v : grid_round(g, v + std::llround(g.period_us));
}

double phase_step(int hold, int64_t source_us, double period_us) {
    if (hold >= 2) return hold;
    if (source_us <= 0) return 0;
    double r = double(source_us) / period_us;
    // The same tolerance as a held ratio: a source within 12% of the refresh rate.
    if (std::fabs(r - 1.0) < 0.12) return 1;
    // Tighter for half refreshes: 25 fps on 60 Hz (2.4) is no 2.5.
    double half = std::floor(r) + 0.5;
    return half >= 1.5 && half <= 4.5 && std::fabs(r - half) < 0.08 ? half : 0;
}

namespace {

struct LeadStats {
    bool valid;
    int64_t p1, p50;
};

LeadStats lead_stats(const PhaseState &s) {
    if (s.nleads == 0) return {false, 0, 0};
    int64_t v[kPhaseWindow];
    std::copy(s.leads, s.leads + s.nleads, v);
    std::sort(v, v + s.nleads);
    return {s.nleads >= kPhaseMinSamples, v[s.nleads / 100], v[s.nleads / 2]};
}

void move_leads(PhaseState *s, int64_t by) {
    for (int i = 0; i < s->nleads; i++) s->leads[i] += by;
}

// Late frames in a row announced a new phase; they were no jitter and count as usual.
void forget_late_run(PhaseState *s) {
    if (s->late_run < kPhaseLateRestart || s->nleads == 0) return;
    int64_t median = lead_stats(*s).p50;
    for (int i = 1; i <= std::min(s->late_run, s->nleads); i++)
        s->leads[(s->next + kPhaseWindow - i) % kPhaseWindow] = median;
    s->late_run = 0;
}

}  // namespace

PhaseMargin phase_margin(const PhaseState &s, int64_t source_us) {
    LeadStats st = lead_stats(s);
    PhaseMargin m{st.valid ? st.p50 - st.p1 : 0, 0};
    m.margin_us = m.jitter_us + kPhaseGuardUs;
    // Waiting longer than a frame interval for a late arrival would cost more than
    // the reserve frame it replaces.
    if (source_us > 0 && m.margin_us > source_us) m.margin_us = source_us;
    return m;
}

double phase_move_us(const PhaseInput &in) {
    // Half a refresh keeps the points of a step of half refreshes off the vblanks.
    return in.step != std::floor(in.step) ? in.grid.period_us / 2 : in.grid.period_us;
}

PhaseVerdict phase_decide(const PhaseState &s, const PhaseInput &in) {
    PhaseVerdict v{};
    if (in.step <= 0) {
        v.take = true;
        return v;
    }
    const double period = in.grid.period_us, step = in.step * period;
    const int64_t a = in.arrival_us;
    // With a step of half refreshes every other point of the schedule falls between
    // two vblanks. The points are put a quarter refresh before a vblank or before the
    // middle between two, and a frame goes to the first vblank after its point: the
    // holds alternate (3, 2, 3, 2) and no point comes near a vblank. Whole steps put
    // every point on a vblank.
    const bool half = in.step != std::floor(in.step);
    const double skew = half ? period / 4 : 0;
    auto slot_of = [&](double point) {
        return half ? grid_ceil(in.grid, std::llround(point))
                    : grid_round(in.grid, std::llround(point));
    };
    PhaseMargin m = phase_margin(s, in.source_us);
    // Jitter makes a frame late now and then; several in a row mean the source
    // started again at another phase (a short pause of the link).
    bool fresh = s.slot_us == 0 || s.step != in.step || a - s.slot_us > kPhaseRestartUs ||
                 double(s.slot_us - a) > 4 * step || s.late_run >= kPhaseLateRestart;
    if (fresh) {
        v.restart = true;
        if (s.step != in.step) {
            m = phase_margin(PhaseState{}, in.source_us);  // see phase_taken
        } else if (s.late_run >= kPhaseLateRestart) {
            PhaseState known = s;
            forget_late_run(&known);
            m = phase_margin(known, in.source_us);
        }
        v.slot_us = grid_ceil(in.grid, a + m.margin_us + std::llround(skew));
        v.point_us = double(v.slot_us) - skew;
        v.lead_us = std::llround(v.point_us) - a;
    } else {
        // The last point, against the vblanks as they are now.
        double prev = double(grid_round(in.grid, s.slot_us)) - (double(s.slot_us) - s.point_us);
        LeadStats st = lead_stats(s);
        // The frame's own slot is where its lead comes closest to the usual one; a
        // missing frame before it just skips a slot. It may still have to wait for
        // the previous frame's hold (a burst).
        int64_t usual = s.nleads > 0 ? st.p50 : m.margin_us;
        double k = std::round((double(a + usual) - prev) / step);
        double own = prev + k * step, point = std::max(own, prev + step);
        v.lead_us = (half ? std::llround(own) : slot_of(own)) - a;
        v.behind = point - own >= step / 2;
        v.drop = v.behind && in.newer && s.behind_run >= kPhaseBacklogRun;
        if (st.valid) {
            // The usual arrival must be the margin before its vblank; once it is a
            // whole move (and some) earlier than that, a move of latency goes.
            if (st.p50 < m.margin_us)
                v.shift = 1;
            else if (double(st.p50) - phase_move_us(in) >= double(m.margin_us + kPhaseHysteresisUs))
                v.shift = -1;
        }
        int64_t by = std::llround(v.shift * phase_move_us(in));
        v.point_us = point + double(by);
        v.slot_us = slot_of(v.point_us);
        v.lead_us += by;
    }
    if (!half) v.point_us = double(v.slot_us);
    v.take = in.now_us >= v.slot_us;
    return v;
}

void phase_taken(PhaseState *s, const PhaseVerdict &v, const PhaseInput &in) {
    if (in.step <= 0) {
        s->slot_us = 0;
        return;
    }
    if (v.restart && s->step != in.step) {
        // Leads taken against a schedule of another step say nothing of the jitter: a
        // source rate estimate that settles at start would leave a margin of most of a
        // refresh for the whole window.
        s->nleads = s->next = 0;
    } else if (v.restart && s->nleads > 0) {
        // The jitter learned so far stays; only the phase is new: the window's median
        // becomes this frame's lead.
        forget_late_run(s);
        move_leads(s, v.lead_us - lead_stats(*s).p50);
    } else if (v.shift != 0) {
        move_leads(s, std::llround(v.shift * phase_move_us(in)));
    }
    s->step = in.step;
    s->leads[s->next] = v.lead_us;
    s->next = (s->next + 1) % kPhaseWindow;
    if (s->nleads < kPhaseWindow) s->nleads++;
    s->slot_us = v.slot_us;
    s->point_us = v.point_us;
    s->late_run = v.lead_us < 0 ? s->late_run + 1 : 0;
    s->behind_run = v.behind ? s->behind_run + 1 : 0;
}

// ---- acting on the card and the mailbox ----

namespace {

double output0_period_us(const Pacer &pc) {
    const KmsOutput *o = pc.paced;
    if (!o) return 1e6 / 60;
    const drmModeModeInfo &m = o->mode;
    if (m.clock && m.htotal && m.vtotal) {
        double p = double(m.htotal) * m.vtotal * 1000.0 / m.clock;
        return (m.flags & DRM_MODE_FLAG_INTERLACE) ? p / 2 : p;
    }
    return 1e6 / refresh_hz(pc);
}

// The last vblank of output 0, asked without waiting (a relative wait of 0).
VblankGrid grid_now(Pacer &pc, int64_t now) {
    VblankGrid g{now, output0_period_us(pc)};
    if (const KmsOutput *o = pc.paced) {
        drmVBlank vbl{};
        vbl.request.type = drmVBlankSeqType(vblank_request_type(o->crtc_idx));
        vbl.request.sequence = 0;
        if (drmWaitVBlank(o->fd, &vbl) == 0) {
            int64_t at = int64_t(vbl.reply.tval_sec) * 1000000 + vbl.reply.tval_usec;
            if (at <= now && double(now - at) < 4 * g.period_us) {
                g.at_us = at;
                return g;
            }
        }
    }
    VblankGrid &guess = pc.phase.grid_guess;
    if (guess.at_us == 0) guess = g;
    g.at_us = grid_round(guess, now - std::llround(g.period_us / 2));
    return g;
}

// The hold evaluation calls a rate of half refreshes one to show on arrival; phase
// pacing holds it 3 and 2 (24 fps on 60 Hz) and says so once the rate has stayed
// for a second or so: the estimate passes through other halves while it settles.
void halves_line(Pacer &pc, double step, int64_t source_us) {
    constexpr int kSettled = 30;
    PhaseRun &r = pc.phase;
    r.step_run = step == r.step_last ? r.step_run + 1 : 0;
    r.step_last = step;
    if (step == std::floor(step) || r.step_run != kSettled || step == r.step_said) return;
    r.step_said = step;
    say("zyl-kms: cadence: phase pacing — %.1f fps on %.0f Hz, holds of %d and %d refreshes "
        "in turn",
        1e6 / double(source_us), 1e6 / output0_period_us(pc), int(step) + 1, int(step));
}

// Dropped frames are summed between lines: a queue that keeps falling behind is
// one line per 5 s, not one a frame.
void dropped_line(PhaseRun &r, int64_t now, int dropped) {
    r.dropped += dropped;
    if (r.dropped == 0 || now - r.drop_line_at < 5000000) return;
    say("zyl-kms: cadence: phase pacing — frames queued behind their slots, dropped %d to "
        "catch up",
        r.dropped);
    r.dropped = 0;
    r.drop_line_at = now;
}

// One line when the mode starts, then one when the margin moved by more than a
// millisecond, at most every 5 s.
void margin_line(PhaseRun &r, int64_t now, const PhaseMargin &m) {
    if (r.on && (std::llabs(m.margin_us - r.line_margin) <= 1000 || now - r.line_at < 5000000))
        return;
    if (!r.on) {
        say("zyl-kms: cadence: phase pacing — each frame on the first vblank at least %.1f ms "
            "after it arrived, none in reserve (ZYL_SMOOTH=1 keeps one)",
            m.margin_us / 1000.0);
    } else {
        say("zyl-kms: cadence: phase margin %.1f ms (arrival jitter p99 %.1f + %.1f)",
            m.margin_us / 1000.0, m.jitter_us / 1000.0, kPhaseGuardUs / 1000.0);
    }
    r.on = true;
    r.line_at = now;
    r.line_margin = m.margin_us;
}

void phase_lines(Pacer &pc, int64_t now, double step, int64_t source_us, int dropped) {
    PhaseMargin m = phase_margin(pc.phase.state, source_us);
    pc.phase.margin_us = m.margin_us;
    margin_line(pc.phase, now, m);
    halves_line(pc, step, source_us);
    dropped_line(pc.phase, now, dropped);
}

// A frame due now with a newer one due as well (the schedule moved a refresh earlier,
// or the queue fell behind) is dropped: a present waits for the flip before it, so
// showing both would hold the newer a refresh, and every frame after it. Returns how
// many went; `v` and `in` are then the newest due frame's.
int drop_overtaken(PhaseState &state, Mailbox &mb, PhaseInput &in, PhaseVerdict &v) {
    int dropped = 0;
    while (v.take && mb.q.size() > 1) {
        PhaseState after = state;
        phase_taken(&after, v, in);
        PhaseInput next = in;
        next.arrival_us = mb.q.at(1).at;
        next.newer = mb.q.size() > 2;
        const PhaseVerdict w = phase_decide(after, next);
        if (!w.take) break;
        mb_take_locked(mb);
        mb.drop_fifo++;
        dropped++;
        state = after;
        in = next;
        v = w;
    }
    return dropped;
}

}  // namespace

void phase_off(PhaseRun &run) {
    run.on = false;
    run.state.slot_us = 0;
    run.step_said = 0;
    run.margin_us = -1;
}

Acquired acquire_phase(Pacer &pc, Mailbox &mb) {
    int64_t now = mono_us();
    VblankGrid grid = grid_now(pc, now);
    std::unique_lock lock(mb.lock);
    // Switched by the tuning file: the next iteration follows the new mode.
    if (!pc.smooth || !pc.smooth_phase) return {Acquired::kHold, nullptr, false};
    if (grid.at_us != pc.phase.sampled_vbl) {
        pc.phase.sampled_vbl = grid.at_us;
        queue_depth_sample(pc.health, mb.q.size());
    }
    if (mb.q.size() == 0) {
        if (mb.eof) return {Acquired::kFrame, nullptr, true};
        mb.cv.wait_for(lock, std::chrono::milliseconds(mb.menu_open ? 25 : 100));
        if (!pc.smooth || !pc.smooth_phase) return {Acquired::kHold, nullptr, false};
        if (mb.q.size() == 0) return {Acquired::kFrame, nullptr, mb.eof};
        now = mono_us();
    }
    const int64_t source_us = mb.src_interval_us;
    double step = phase_step(pc.hold.r, source_us, grid.period_us);
    PhaseInput in{now, mb_head_arrival_locked(mb), grid, step, source_us, mb.q.size() > 1};
    PhaseVerdict v = phase_decide(pc.phase.state, in);
    int dropped = 0;
    while (v.drop) {
        mb_take_locked(mb);
        mb.drop_fifo++;
        dropped++;
        in.arrival_us = mb_head_arrival_locked(mb);
        in.newer = mb.q.size() > 1;
        v = phase_decide(pc.phase.state, in);
    }
    dropped += drop_overtaken(pc.phase.state, mb, in, v);
    // A frame taken while the one before is still on its way to the screen (presented
    // after the vblank this one waited for) would queue behind it and show a refresh
    // late, and every frame after it too: it waits for that flip, and the backlog rule
    // drops what piled up.
    const bool landed = pc.last_present_us == 0 || grid_ceil(grid, pc.last_present_us) <= now;
    if (v.take && landed) {
        FramePtr f = mb_take_locked(mb);
        lock.unlock();
        phase_taken(&pc.phase.state, v, in);
        phase_lines(pc, now, step, source_us, dropped);
        return {Acquired::kFrame, std::move(f), false};
    }
    lock.unlock();
    wait_one_refresh(pc);
    return {Acquired::kHold, nullptr, false};
}
