// Phase pacing (ZYL_SMOOTH=phase): smooth pacing without the reserve frame. A source
// at a clean fraction of the refresh arrives at a stable phase against output 0's
// vblanks, so each frame can be presented at the first vblank at least a margin
// after it arrived and still stay on screen for exactly the hold: the margin has to
// cover the arrival jitter, not a whole frame interval. As in the other modes the
// present follows the vblank wait. The schedule of vblanks is the phase reference;
// when the source and display clocks drift a refresh apart it moves by one
// refresh, once (one repeat or one drop).
// The decisions take the clock as plain numbers; acquire_phase acts on them.
#pragma once

#include <cstdint>

struct Acquired;
struct Mailbox;
struct Pacer;

// Output 0's vertical blanks: one at `at_us` (monotonic), then one every `period_us`.
struct VblankGrid {
    int64_t at_us;
    double period_us;
};
int64_t grid_round(const VblankGrid &g, int64_t t_us);  // the nearest vblank
int64_t grid_ceil(const VblankGrid &g, int64_t t_us);   // the first at or after t

constexpr int kPhaseWindow = 128;            // jitter samples, about 4 s at 30 fps
constexpr int kPhaseMinSamples = 8;          // before this many, the schedule never moves
constexpr int64_t kPhaseGuardUs = 500;       // a frame pushed this close to its vblank is late
constexpr int64_t kPhaseHysteresisUs = 500;  // how much earlier than needed before a drop
constexpr int64_t kPhaseRestartUs = 250000;  // a silence after which the source phase is new
constexpr int kPhaseLateRestart = 2;         // late frames in a row: the source phase is new
// Frames in a row that waited past their own slot for the hold before them. A burst
// of the link is spread over the holds and leaves a few; more mean the queue no
// longer drains (the source runs at exactly the schedule's rate), and the oldest
// queued frame is dropped to give the latency back.
constexpr int kPhaseBacklogRun = 4;

struct PhaseState {
    int64_t slot_us;  // vblank the last frame taken was scheduled for; 0: no schedule
    double step;      // refreshes per frame of that schedule
    // Where on that schedule the last frame fell: its slot, or for a step of half
    // refreshes a point off the grid before it (see phase_decide).
    double point_us;
    // How long before its vblank each recent frame arrived, in the phase of the
    // current schedule (moving the schedule moves them all).
    int64_t leads[kPhaseWindow];
    int nleads, next;
    int late_run;    // frames in a row that arrived after their vblank
    int behind_run;  // frames in a row shown later than their own slot
};

struct PhaseInput {
    int64_t now_us, arrival_us;
    VblankGrid grid;
    double step;        // refreshes per frame; 0: no clean fraction, shown on arrival
    int64_t source_us;  // source interval, 0 while unknown
    bool newer;         // a newer frame is queued behind this one
};

struct PhaseVerdict {
    bool take;
    int64_t slot_us;  // the vblank the frame is presented after; 0: on arrival
    double point_us;  // its point on the schedule
    int64_t lead_us;  // its jitter sample
    int shift;        // +1: schedule one move later (a repeat); -1: earlier (a drop)
    bool restart;     // a new schedule starts with this frame
    bool behind;      // shown later than its own slot, after the hold before it
    bool drop;        // stale: the queue is not draining and a newer frame waits
};

struct PhaseMargin {
    int64_t jitter_us;  // p99 of the arrivals' lateness against the schedule
    int64_t margin_us;  // jitter and guard, never more than one source interval
};

// Refreshes per frame: the hold of a clean ratio, 1 for a source at the refresh
// rate, a whole and a half for a source between (24 fps on 60 Hz: 2.5), else 0.
double phase_step(int hold, int64_t source_us, double period_us);
PhaseMargin phase_margin(const PhaseState &s, int64_t source_us);
PhaseVerdict phase_decide(const PhaseState &s, const PhaseInput &in);
// How far a shift moves the schedule: a refresh, half of one for a step of halves.
double phase_move_us(const PhaseInput &in);
// Books the frame taken under `v` (a dropped frame is not booked).
void phase_taken(PhaseState *s, const PhaseVerdict &v, const PhaseInput &in);

// Phase pacing while it runs, and its lines; part of the Pacer (main thread only).
struct PhaseRun {
    PhaseState state{};
    int64_t margin_us = -1;  // for the cadence report; -1 while the mode is not running
    bool on = false;         // the mode's first line was said
    int64_t line_at = 0, line_margin = 0;
    int dropped = 0;  // since the last drop line
    int64_t drop_line_at = -5000000;
    double step_last = 0, step_said = 0;  // the step of the last frame, the one announced
    int step_run = 0;                     // frames in a row at step_last
    int64_t sampled_vbl = 0;              // vblank of the last queue-depth sample
    VblankGrid grid_guess{};              // stands in while the card cannot tell its vblanks
};

// Frame acquisition in phase pacing (smooth and smooth_phase on).
Acquired acquire_phase(Pacer &pc, Mailbox &mb);
// Another pacing mode took over: the next phase frame starts a new schedule.
void phase_off(PhaseRun &run);
