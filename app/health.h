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
// Whether a state word is written now: a new word at once, the same one after a second.
bool state_write_due(const char *word, const char *last, int64_t now_ms, int64_t last_ms);
enum Stage {
    kStageVblankWait,
    kStageHdmiSetplane,
    kStagePanelCommit,
    kStageHotplugPoll,
    kStageOverlayRedraw
};
constexpr int kStages = 5;

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

// The health state, made by the process entry (tests make their own). Main thread
// only: the loop, its present step, the pacing and the gate all run there. The
// mailbox whose counters are reported must outlive it.
struct Health {
    Health(const HealthSettings &s, Mailbox &counters) : settings(s), counters(counters) {}
    HealthSettings settings;
    Mailbox &counters;
    // Non-blocking panel commits the busy panel refused.
    uint64_t dsi_busy_skip = 0;
    // The cadence report runs from the first present on while the setting is on.
    bool cadence_on = false;
    CadenceStats cad{};
    // The last state word written and when (monotonic ms); whether the file could
    // not be written, said once per outage.
    char state_last[16] = {};
    int64_t state_last_ms = 0;
    bool state_unwritable = false;
    // The periodic line's last time (monotonic ms) and shown count.
    int64_t line_last_ms = 0;
    uint64_t line_shown = 0;
};

void hdmi_state_write(Health &h, const char *word);
// For every frame that reached the present step; `t0_us` is when the present began.
// Books the present's end in the pacer, whose hold and phase margin the cadence
// report shows.
void after_present(Health &h, Pacer &pc, int64_t t0_us);
// Null `h`: nothing is sampled (pacing tests without health).
void stage_sample(Health *h, Stage s, int64_t t0_us, int64_t t1_us);

int cad_cmp(const void *a, const void *b);
int cadence_bin(int64_t interval_us);
void cadence_add_interval(CadenceStats *c, int64_t interval_us);
struct CadencePercentiles {
    int64_t p50, p95, max;
};
// Sorts the samples.
CadencePercentiles cadence_percentiles(CadenceStats *c);
// Interval bookkeeping and, once the window is a second old, the report (`t_us` now).
void cadence_after_present(Health &h, const Pacer &pc, int64_t t_us);
// Mailbox depth at a vblank tick (called with the mailbox's lock held); null `h`:
// nothing is sampled.
void queue_depth_sample(Health *h, int n);
