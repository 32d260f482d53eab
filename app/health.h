// Health reporting: the state file other processes read ("hidden", "gated",
// "live"), the drop counters, the steps after every present with the periodic
// line, and the cadence report (present intervals, queue depth and the time each
// loop stage takes, once a second while ZYL_KMS_CADENCE is on). The presentation
// loop and its stages feed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct HealthSettings {
    std::string state_path = "/run/zyl-fpv/hdmi_state";  // ZYL_KMS_STATE
    bool cadence = false;                                // ZYL_KMS_CADENCE
};
struct Mailbox;
struct Pacer;
// Before the first state write, with the mailbox whose counters are reported, which
// must outlive every later call; again in tests.
void health_configure(const HealthSettings &s, Mailbox &counters);

extern uint64_t g_drop_throttle, g_drop_gate, g_dsi_busy_skip;
void hdmi_state_write(const char *word);
// Whether a state word is written now: a new word at once, the same one after a second.
bool state_write_due(const char *word, const char *last, int64_t now_ms, int64_t last_ms);
// For every frame that reached the present step; `t0_us` is when the present began.
// Books the present's end in the pacer, whose hold and phase margin the cadence
// report shows.
void after_present(Pacer &pc, int64_t t0_us);
enum Stage {
    kStageVblankWait,
    kStageHdmiSetplane,
    kStagePanelCommit,
    kStageHotplugPoll,
    kStageOverlayRedraw
};
constexpr int kStages = 5;
void stage_sample(Stage s, int64_t t0_us, int64_t t1_us);

// ---- cadence report ----
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
void cadence_after_present(const Pacer &pc, int64_t t_us);
// Mailbox depth at a vblank tick (called with g_mb_lock held).
void queue_depth_sample(int n);
