// Process control: settings, the frame mailbox and start-up.
// The main thread owns everything here except the producer side of the mailbox,
// which belongs to the reader thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include <pthread.h>

struct AVCodecContext;
struct AVFrame;

// ---- settings read at start-up ----
extern int g_hotplug_on;
extern int g_smooth;
extern char g_aspect[32];
extern char g_fit[32];
extern char g_flip[32];
extern const char *g_aspect_dsi;  // raw values, null when unset
extern const char *g_fit_dsi;
extern const char *g_flip_dsi;
extern int g_telem_dsi;

// Reads the start-up settings in their fixed order and prints their lines.
// `interlaced` is whether any output's mode is interlaced.
void read_settings(bool interlaced);
// DRM plane rotation value for a flip word ("h", "v", "180", anything else: 0).
uint64_t rot_from_flip(const char *flip);

// ---- frame mailbox ----
constexpr int kMailboxSlots = 4;
extern AVFrame *g_mb_q[kMailboxSlots];
extern int g_mb_head;
extern int g_mb_n;
extern std::atomic<int> g_mb_cap;
extern int g_mb_eof;
extern std::mutex g_mb_lock;
extern std::condition_variable g_mb_cv;
extern std::atomic<uint64_t> g_drop_fifo;
extern std::atomic<int64_t> g_src_interval_us;
extern std::atomic<uint64_t> g_dec_count;
extern std::atomic<uint64_t> g_shown_count;

// Producer side (reader thread). `now_us` is the monotonic arrival time.
void mb_push(AVFrame *frame);
void mb_push_at(AVFrame *frame, int64_t now_us);
int drain_decoder(AVCodecContext *ctx, int keyframe);
void mb_set_eof();
// Consumer side: call with g_mb_lock held. Null when empty.
AVFrame *mb_take_locked();
// Interval estimate update: the next smoothed value for one measured interval.
int64_t mb_next_interval(int64_t current, int64_t interval_us);

// ---- video placement ----
struct Rect {
    int x, y, w, h;
    bool operator==(const Rect &) const = default;
};
struct Placement {
    Rect dst;  // screen pixels
    Rect src;  // picture pixels
};
struct PlaceInput {
    int width, height;                // the output's mode
    bool sidebar_shown;               // sidebar output with the menu or a message up
    const char *aspect, *fit, *flip;  // the output's settings; a null fit reads g_fit
    int sw, sh;                       // picture size
};
// Largest rectangle of aspect `A` centred in W x H; the whole area when A is not positive.
Rect fit_dest(int W, int H, double A);
Placement place_video(const PlaceInput &in);

// ---- presentation loop ----
struct KmsOutput;
extern int showing_video;
extern uint32_t fb_cur, fb_prev;
extern AVFrame *frame_cur, *frame_prev;
extern int g_video_hidden;
extern int g_want_snap;
extern int64_t last_frame_time;
// Runs until the input has ended and every queued frame was shown; returns the exit status.
int presentation_loop(pthread_t reader);
bool loop_iteration(pthread_t reader);
// Detection request file: true when detection was switched (the overlays then redraw).
bool detect_request_poll();
// One atomic request on the output's video plane; fb 0 switches the plane off.
int atomic_setplane_flags(const KmsOutput &o, uint32_t fb, int x, int y, int w, int h, int sx,
                          int sy, int sw, int sh, uint32_t flags);
// Rotation value for the global flip on a plane with these capabilities; 0 = unsupported.
uint64_t plane_rotation_value(const char *flip, uint64_t caps);

// ---- pacing ----
struct Acquired {
    enum Kind { kFrame, kHold } kind;
    AVFrame *frame;  // null: none
    bool eof;        // none, and the input has ended
};
Acquired acquire_frame();
void frame_hold_evaluate();
// Display-rate cap: false when the frame was dropped (and freed).
bool display_cap_pass(AVFrame *frame);
// Duration of a successful legacy present on output 0.
void vblank_learn(int64_t us);
// One panel present under the commit rules (non-blocking, busy, fallback).
int panel_commit(const KmsOutput &o, uint32_t fb, const Placement &p);
extern int g_dsi_nonblock;
// True once the next vertical blank of output 0's CRTC has passed (needs an output).
bool wait_vblank_outs0();

extern int g_hold_r;  // refreshes each frame is held; 1 = present on arrival
extern int g_hold_cand, g_hold_cand_n;
extern int g_hold_forced;  // -2 not read, -1 automatic, 0..4 forced
extern int g_flip_blocks;  // the HDMI plane update itself waits for the flip
extern int g_flip_learn_hi, g_flip_learn_lo;
extern int g_vblank_wait_override;  // -2 not read, -1 learn, 0/1 forced g_flip_blocks
extern int g_display_fps;           // -2 not read, <= 0 no cap
extern int64_t g_cap_last_pass;     // monotonic us of the last capped pass, 0 = none

// Output 0's refresh rate (60 without one) and its period in us.
int refresh_hz();
int64_t refresh_period_us();
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
struct HoldCount {
    int r, cand, cand_n;
};
// Counts one candidate; `r` moves only after the same candidate twice in a row.
HoldCount hold_confirm(HoldCount s, int c);
// ZYL_KMS_VBLANK_WAIT: -1 learn, else the g_flip_blocks it forces.
int parse_vblank_wait(const char *v);
struct FlipLearn {
    int blocks, hi, lo;
};
// One measured plane update of `us` on output 0.
FlipLearn flip_learn_step(FlipLearn s, int64_t us);
// Whether a frame at `now_us` passes a cap of `fps`; a pass moves `*last_pass_us`.
bool display_cap_decide(int fps, int64_t *last_pass_us, int64_t now_us);
bool display_cap_pass_at(AVFrame *frame, int64_t now_us);

// ---- keyframe gate ----
// Armed by the reader thread after a flush or rebuild and by the loop after a gap;
// released by the loop. Single words, a stale read is harmless.
extern std::atomic<int> g_wait_key, g_gate_hard;
extern std::atomic<int64_t> g_gate_since;  // monotonic microseconds
extern int64_t g_gate_drops;
extern int64_t gate_arm_ms, hide_ms, gate_max_ms;  // -1 until read
// Arms the gate; the start and kind are stored before the armed flag is raised.
void gate_arm(int hard, int64_t now_us);
// False when the frame was dropped (and freed).
bool gate_pass(AVFrame *frame);
bool gate_pass_at(AVFrame *frame, int64_t now_us);
void gap_rules();
void gap_rules_at(int64_t now_us);

// A gate setting in ms: the variable's value when set and non-empty, else `dflt`.
int64_t gate_setting_ms(const char *v, int64_t dflt);
// One iteration without a frame, `gap_ms` after the last frame.
struct GapStep {
    bool arm;               // arm a soft gate
    const char *gate_word;  // state word for an armed gate, null when not armed
    bool hide;              // take the video off the screens
    bool hidden;            // then write "hidden"
};
GapStep gap_decide(int64_t gap_ms, int64_t arm_ms, int64_t hide_after_ms, bool armed, bool showing);
struct GateLimit {
    int64_t ms;         // time limit, <= 0 none
    int64_t min_drops;  // dropped frames needed before a timed release
};
GateLimit gate_limit(bool hard, bool hevc, int64_t max_ms);
// Whether the gate gives up after `drops` frames, `elapsed_ms` after arming.
bool gate_release_due(int64_t drops, int64_t elapsed_ms, GateLimit lim);

// ---- health ----
extern std::atomic<int64_t> g_hold_last_present;
extern uint64_t g_drop_throttle, g_drop_gate, g_dsi_busy_skip;
void hdmi_state_write(const char *word);
// Whether a state word is written now: a new word at once, the same one after a second.
bool state_write_due(const char *word, const char *last, int64_t now_ms, int64_t last_ms);
// For every frame that reached the present step; `t0_us` is when the present began.
void after_present(int64_t t0_us);
enum Stage {
    kStageVblankWait,
    kStageHdmiSetplane,
    kStagePanelCommit,
    kStageHotplugPoll,
    kStageOverlayRedraw
};
constexpr int kStages = 5;
void stage_sample(Stage s, int64_t t0_us, int64_t t1_us);

// Cadence report: once a second while ZYL_KMS_CADENCE is on.
constexpr int kCadenceSamples = 512;
struct CadenceStats {
    int64_t bins[5];   // present intervals <8, 8-14, 14-19, 19-25, >=25 ms
    int64_t vbl_n[3];  // vblank ticks with 0, 1, 2+ frames queued
    int64_t fifo_sum, fifo_samples;
    int64_t samples[kCadenceSamples];  // the window's first present intervals, us
    int nsamples;
    int64_t stage_sum[kStages], stage_max[kStages], stage_n[kStages];
    int64_t last_present, window_start, window_shown;
};
extern CadenceStats g_cad;
extern int g_cadence;  // -1 until the first present, then 0 or 1
int cad_cmp(const void *a, const void *b);
int cadence_bin(int64_t interval_us);
void cadence_add_interval(CadenceStats *c, int64_t interval_us);
struct CadencePercentiles {
    int64_t p50, p95, max;
};
// Sorts the samples.
CadencePercentiles cadence_percentiles(CadenceStats *c);
// Interval bookkeeping and, once the window is a second old, the report (`t_us` now).
void cadence_after_present(int64_t t_us);
// Mailbox depth at a vblank tick (called with g_mb_lock held).
void queue_depth_sample(int n);

// ---- display-change supervision ----
// About once a second (the first pass in each new monotonic second): a different
// monitor, or the same one back after an unplug, ends the process with status 0.
void hotplug_check();
bool hotplug_poll_due(int64_t now_us, int64_t *last_us, bool *started);
enum class MonitorSeen { kSame, kUnplugged, kReplugged, kChanged };
// What one poll of an output's connector says, against the monitor seen at start-up.
MonitorSeen monitor_seen(bool connected, int nmodes, int w, int h, int hz, const KmsOutput &o);

// ---- start-up ----
// The process: answers "--caps", or starts up and presents stdin's stream until it
// ends. Returns the exit status; some failures end the process from inside.
int receiver_main(int argc, char **argv);
// Back-off before display attempt n (0-based) while no display can be driven, in ms.
int display_retry_delay_ms(int attempt);
// Finds and prepares the decoder; fills ReaderArgs. Returns 0, or the exit status.
struct ReaderArgs;
int prepare_decoder(ReaderArgs *ra);
// Loads the first TrueType face of the candidate list into g_face.
void load_font();

// ---- time ----
int64_t mono_us();
int64_t mono_ms();
