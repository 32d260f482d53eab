// Frame pacing: when the presentation loop takes the next frame from the mailbox,
// how many refreshes a frame is held on screen, the display-rate cap, and how a
// panel frame is committed. The loop calls the acting functions; the pure
// decisions below them take plain numbers so that tests reach them directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "app/mailbox.h"
#include "app/phase_pacing.h"
#include "app/placement.h"

struct Health;
struct KmsOutput;

// The pacing settings, from the configuration.
struct PacingSettings {
    int frame_hold = -1;       // ZYL_KMS_FRAME_HOLD: -1 automatic, else 0..4
    int display_fps = 0;       // ZYL_KMS_DISPLAY_FPS: <= 0 no cap
    int vblank_wait = -1;      // ZYL_KMS_VBLANK_WAIT: -1 learn, else the flip blocking it forces
    bool dsi_nonblock = true;  // ZYL_KMS_DSI_NONBLOCK
};
struct HoldCount {
    int r, cand, cand_n;
};
struct FlipLearn {
    int blocks, hi, lo;
};

// The pacing state, made by the process entry from the configuration (tests make
// their own). Main thread only: the loop, its present step, the evaluation once a
// second and the tuning file's switches all run there.
struct Pacer {
    explicit Pacer(const PacingSettings &s = {}) : settings(s), dsi_nonblock(s.dsi_nonblock) {}
    PacingSettings settings;
    // The output whose refresh paces the frames: the first one, once the display is
    // up (null: none).
    const KmsOutput *paced = nullptr;
    // Vblank pacing, and within it phase pacing; the tuning file switches them.
    bool smooth = true;
    bool smooth_phase = false;
    HoldCount hold{1, 1, 0};  // r: refreshes each frame is held; 1 = present on arrival
    // Whether each output's plane update itself waits for the flip, learned per output;
    // flip_blocks: any of them does (or ZYL_KMS_VBLANK_WAIT says so), as a second
    // monitor whose update blocks paces the loop as much as the first.
    std::array<FlipLearn, 4> out_flip{};
    int flip_blocks = 0;
    // Outputs whose card refused a non-blocking commit: they take the legacy call.
    uint32_t legacy_outputs = 0;
    // A forced vblank wait takes over at the first measured plane update.
    bool flip_forced = false;
    bool dsi_nonblock;            // cleared for good when the card refuses it
    bool dsi_said = false;        // the commit mode was announced at the first panel commit
    int64_t cap_last_pass = 0;    // monotonic us of the last capped pass, 0 = none
    int64_t last_present_us = 0;  // monotonic end of the last present, 0 = none yet
    PhaseRun phase;
    // Where the pacing's drops, busy skips and cadence samples are booked; the process
    // entry sets it (null: not booked, in tests of the pacing alone).
    Health *health = nullptr;
};

struct Acquired {
    enum Kind { kFrame, kHold } kind;
    FramePtr frame;  // null: none
    bool eof;        // none, and the input has ended
};
Acquired acquire_frame(Pacer &pc, Mailbox &mb);
// Once a second: the hold for the source's rate, and the mailbox's room for it.
void frame_hold_evaluate(Pacer &pc, Mailbox &mb);
// Display-rate cap: false when the frame taken now is to be dropped (the caller counts it).
bool display_cap_pass(Pacer &pc);
// Duration of a successful legacy present on output `out`.
void vblank_learn(Pacer &pc, int64_t us, int out = 0);
// One atomic present on output `out`: non-blocking, so that no output waits for
// another's refresh; blocking only while its own last flip is still pending (counted
// as a busy skip). A refused non-blocking commit turns a panel to blocking commits
// and any other output to the legacy call, for good.
// A pending overlay update of the output goes in the same commit.
int output_commit(Pacer &pc, KmsOutput &o, int out, uint32_t fb, const Placement &p);
// Whether an overlay update pending for `waited_us` on an output whose last frame was
// committed `since_video_us` ago waits for the next frame's commit.
bool menu_waits_for_video(int64_t waited_us, int64_t since_video_us, int64_t period_us);
// The output's pending overlay update as a non-blocking commit of its own; while its
// last flip is pending it waits for its own vblank first. A card that refuses the
// commit gets the legacy call. 0 or the card's error.
int overlay_commit(Pacer &pc, KmsOutput &o);
// True once the next vertical blank of output 0's CRTC has passed (needs an output).
bool wait_vblank_outs0(const Pacer &pc);
// One refresh of waiting, timed as the vblank wait; a sleep of one period stands in
// when there is no output or the card refuses the wait.
void wait_one_refresh(const Pacer &pc);

// Output 0's refresh rate (60 without one) and its period in us.
int refresh_hz(const Pacer &pc);
int64_t refresh_period_us(const Pacer &pc);
// `drmWaitVBlank` request type for one refresh on the CRTC with this index.
uint32_t vblank_request_type(int crtc_idx);

// What vblank pacing does with `n` queued frames. `since_present_us` is empty while
// nothing has been presented yet.
enum class HoldVerdict { kNone, kTake, kHold };
HoldVerdict hold_decision(int n, int hold, int flip_blocks, std::optional<int64_t> since_present_us,
                          int64_t period_us);
// ZYL_KMS_FRAME_HOLD: -1 automatic, else 0..4.
int parse_frame_hold(const char *v);
// The hold one evaluation proposes for a source interval on a refresh rate.
int hold_candidate(int64_t interval_us, int refresh_hz, int forced);
// Counts one candidate; `r` moves only after the same candidate twice in a row.
HoldCount hold_confirm(HoldCount s, int c);
// ZYL_KMS_VBLANK_WAIT: -1 learn, else the flip blocking it forces.
int parse_vblank_wait(const char *v);
// One measured plane update of `us` on output 0.
FlipLearn flip_learn_step(FlipLearn s, int64_t us);
// Whether a frame at `now_us` passes a cap of `fps`; a pass moves `*last_pass_us`.
bool display_cap_decide(int fps, int64_t *last_pass_us, int64_t now_us);
bool display_cap_pass_at(Pacer &pc, int64_t now_us);
