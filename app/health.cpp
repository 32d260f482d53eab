// Health reporting: the state file other processes read, and the steps after
// every present.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/clock.h"
#include "app/health.h"
#include "app/mailbox.h"
#include "app/pacing.h"
#include "app/phase_pacing.h"
#include "base/log.h"
#include "decode/decode.h"
#include "kms/files.h"

// No encoder exists in this system; the periodic line still names its counters.
constexpr uint64_t g_enc_rga_fail = 0, g_enc_pool_drop = 0;

namespace {

void periodic_line(Health &h, int64_t now_ms) {
    const Mailbox &mb = h.counters;
    uint64_t shown = mb.shown_count;
    int64_t ms = now_ms - h.line_last_ms;
    long long per_s =
        h.line_last_ms && ms > 0 ? (long long)((shown - h.line_shown) * 1000 / ms) : 0;
    say("zyl-mpp: dec=%lld shown=%lld shown/s=%lld dropped "
        "fifo/throttle/gate/budget=%lld/%lld/%lld/"
        "%lld enc rga_fail/pool_drop=%lld/%lld panel_busy=%lld sei_stripped=%lld",
        (long long)mb.dec_count.load(), (long long)shown, per_s, (long long)mb.drop_fifo.load(),
        (long long)mb.drop_throttle, (long long)mb.drop_gate, (long long)mb.drop_budget.load(),
        (long long)g_enc_rga_fail, (long long)g_enc_pool_drop, (long long)h.dsi_busy_skip,
        (long long)mb.stream.sei_stripped.load());
    h.line_last_ms = now_ms;
    h.line_shown = shown;
}

}  // namespace

bool state_write_due(const char *word, const char *last, int64_t now_ms, int64_t last_ms) {
    return strcmp(word, last) != 0 || now_ms - last_ms > 999;
}

void hdmi_state_write(Health &h, const char *word) {
    const char *path = h.settings.state_path.c_str();
    int64_t now = mono_ms();
    if (!state_write_due(word, h.state_last, now, h.state_last_ms)) return;
    h.state_last_ms = now;
    long long dec = (long long)h.counters.dec_count.load(),
              shown = (long long)h.counters.shown_count.load();
    long long reopens = (long long)h.counters.stream.reopens.load();
    char line[160];
    int n = snprintf(line, sizeof line, "state=%s ts=%lld dec=%lld shown=%lld reopens=%lld\n", word,
                     (long long)now, dec, shown, reopens);
    std::string why;
    const bool written = write_atomic(path, line, size_t(n), &why);
    // Reported once per outage; the next write a second later tries again.
    if (!written && !h.state_unwritable) say("zyl-mpp: hdmi_state not written: %s", why.c_str());
    h.state_unwritable = !written;
    if (strcmp(word, h.state_last) == 0) return;
    snprintf(h.state_last, sizeof h.state_last, "%s", word);
    // Standard error names only a state that a reader of the file can see.
    if (written)
        say("zyl-mpp: hdmi_state=%s dec=%lld shown=%lld reopens=%lld", word, dec, shown, reopens);
}

void after_present(Health &h, Pacer &pc, int64_t t0_us) {
    int64_t t1 = mono_us();
    Mailbox &mb = h.counters;
    mb.shown_count++;
    pc.last_present_us = t1;
    int64_t render_ms = (t1 - t0_us) / 1000;
    // Stage and queue samples count from the first present, where the first window starts.
    h.cadence_on = h.settings.cadence;
    if (h.cadence_on) cadence_after_present(h, pc, mono_us());
    if (render_ms > 150) {
        say("zyl-mpp: SLOW render %lldms dec=%lld shown=%lld", (long long)render_ms,
            (long long)mb.dec_count.load(), (long long)mb.shown_count.load());
    } else if (mb.shown_count % 600 == 0) {
        periodic_line(h, t1 / 1000);
    }
}

int cad_cmp(const void *a, const void *b) {
    int64_t x = *static_cast<const int64_t *>(a), y = *static_cast<const int64_t *>(b);
    return x > y ? 1 : x < y ? -1 : 0;
}

int cadence_bin(int64_t interval_us) {
    constexpr int64_t kEdges[] = {8000, 14000, 19000, 25000};
    int i = 0;
    while (i < 4 && interval_us >= kEdges[i]) i++;
    return i;
}

void cadence_add_interval(CadenceStats *c, int64_t interval_us) {
    c->bins[cadence_bin(interval_us)]++;
    if (c->nsamples < kCadenceSamples) c->samples[c->nsamples++] = interval_us;
}

CadencePercentiles cadence_percentiles(CadenceStats *c) {
    if (c->nsamples == 0) return {0, 0, 0};
    qsort(c->samples, c->nsamples, sizeof c->samples[0], cad_cmp);
    int n = c->nsamples;
    return {c->samples[n / 2], c->samples[n * 95 / 100], c->samples[n - 1]};
}

namespace {

[[gnu::format(printf, 2, 3)]] void append(std::string &line, const char *fmt, ...) {
    char part[128];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(part, sizeof part, fmt, ap);
    va_end(ap);
    line += part;
}

constexpr const char *kStageNames[kStages] = {"vblank_wait", "hdmi_setplane", "panel_commit",
                                              "hotplug_poll", "overlay_redraw"};

void cadence_report(Health &h, const Pacer &pc, int64_t now_us) {
    CadenceStats &c = h.cad;
    const Mailbox &mb = h.counters;
    int64_t w = (now_us - c.window_start) / 1000;
    CadencePercentiles p = cadence_percentiles(&c);
    long long per_s = (long long)((int64_t(mb.shown_count) - c.window_shown) * 1000 / w);
    double fifo = c.fifo_samples ? double(c.fifo_sum) / c.fifo_samples : 0.0;
    say("zyl-mpp: cadence shown/s=%lld present_ms p50/p95/max=%.1f/%.1f/%.1f "
        "bins[<8,8-14,14-19,19-25,>25]=%lld/%lld/%lld/%lld/%lld vblank n0/n1/n2=%lld/%lld/%lld "
        "fifo_avg=%.2f dropped fifo/throttle/gate=%lld/%lld/%lld",
        per_s, p.p50 / 1000.0, p.p95 / 1000.0, p.max / 1000.0, (long long)c.bins[0],
        (long long)c.bins[1], (long long)c.bins[2], (long long)c.bins[3], (long long)c.bins[4],
        (long long)c.vbl_n[0], (long long)c.vbl_n[1], (long long)c.vbl_n[2], fifo,
        (long long)mb.drop_fifo.load(), (long long)mb.drop_throttle, (long long)mb.drop_gate);
    std::string line = "zyl-kms: cadence stages(ms mean/max):";
    for (int i = 0; i < kStages; i++) {
        double mean = c.stage_n[i] ? double(c.stage_sum[i]) / c.stage_n[i] / 1000.0 : 0.0;
        append(line, " %s=%.1f/%.1f", kStageNames[i], mean, c.stage_max[i] / 1000.0);
    }
    append(line, " panel_busy=%lld hold=%d src_ms=%.1f", (long long)h.dsi_busy_skip, pc.hold.r,
           mb.src_interval_us / 1000.0);
    if (pc.phase.margin_us >= 0) append(line, " margin_ms=%.1f", pc.phase.margin_us / 1000.0);
    say("%s", line.c_str());
    int64_t last = c.last_present;
    c = CadenceStats{};
    c.last_present = last;
    c.window_start = now_us;
    c.window_shown = int64_t(mb.shown_count);
}

}  // namespace

void cadence_after_present(Health &h, const Pacer &pc, int64_t t_us) {
    CadenceStats &c = h.cad;
    if (c.last_present) cadence_add_interval(&c, t_us - c.last_present);
    c.last_present = t_us;
    if (c.window_start == 0) {
        c.window_start = t_us;
        c.window_shown = int64_t(h.counters.shown_count);
    } else if ((t_us - c.window_start) / 1000 >= 1000) {
        cadence_report(h, pc, t_us);
    }
}

void stage_sample(Health *h, Stage s, int64_t t0_us, int64_t t1_us) {
    if (!h || !h->cadence_on) return;
    CadenceStats &c = h->cad;
    int64_t d = t1_us - t0_us;
    c.stage_sum[s] += d;
    c.stage_n[s]++;
    if (d > c.stage_max[s]) c.stage_max[s] = d;
}

void queue_depth_sample(Health *h, int n) {
    if (!h || !h->cadence_on) return;
    CadenceStats &c = h->cad;
    c.vbl_n[n >= 2 ? 2 : n]++;
    c.fifo_sum += n;
    c.fifo_samples++;
}
