// Health reporting: the state file other processes read, and the steps after
// every present.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "decode/decode.h"

std::atomic<int64_t> g_hold_last_present;
uint64_t g_drop_throttle, g_drop_gate, g_dsi_busy_skip;
// No encoder exists in this system; the periodic line still names its counters.
constexpr uint64_t g_enc_rga_fail = 0, g_enc_pool_drop = 0;

namespace {

char g_state_path[256];
char g_state_last[16];
int64_t g_state_last_ms;

const char *state_path() {
    if (!g_state_path[0]) {
        const char *v = getenv("ZYL_KMS_STATE");
        snprintf(g_state_path, sizeof g_state_path, "%s",
                 v && v[0] ? v : "/run/zyl-fpv/hdmi_state");
    }
    return g_state_path;
}

int64_t hb_last_ms;
uint64_t hb_shown;

void periodic_line(int64_t now_ms) {
    uint64_t shown = g_shown_count;
    int64_t ms = now_ms - hb_last_ms;
    long per_s = hb_last_ms && ms > 0 ? long((shown - hb_shown) * 1000 / ms) : 0;
    fprintf(stderr,
            "zyl-mpp: dec=%ld shown=%ld shown/s=%ld dropped fifo/throttle/gate=%ld/%ld/%ld enc "
            "rga_fail/pool_drop=%ld/%ld panel_busy=%ld sei_stripped=%ld\n",
            long(g_dec_count.load()), long(shown), per_s, long(g_drop_fifo.load()),
            long(g_drop_throttle), long(g_drop_gate), long(g_enc_rga_fail), long(g_enc_pool_drop),
            long(g_dsi_busy_skip), long(g_sei_stripped.load()));
    hb_last_ms = now_ms;
    hb_shown = shown;
}

}  // namespace

bool state_write_due(const char *word, const char *last, int64_t now_ms, int64_t last_ms) {
    return strcmp(word, last) != 0 || now_ms - last_ms > 999;
}

void hdmi_state_write(const char *word) {
    const char *path = state_path();
    int64_t now = mono_ms();
    if (!state_write_due(word, g_state_last, now, g_state_last_ms)) return;
    g_state_last_ms = now;
    char tmp[300];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (!f) return;
    long dec = long(g_dec_count.load()), shown = long(g_shown_count.load());
    long reopens = long(g_reopens.load());
    fprintf(f, "state=%s ts=%ld dec=%ld shown=%ld reopens=%ld\n", word, long(now), dec, shown,
            reopens);
    fclose(f);
    rename(tmp, path);
    if (strcmp(word, g_state_last) != 0) {
        snprintf(g_state_last, sizeof g_state_last, "%s", word);
        fprintf(stderr, "zyl-mpp: hdmi_state=%s dec=%ld shown=%ld reopens=%ld\n", word, dec, shown,
                reopens);
        fflush(stderr);
    }
}

void after_present(int64_t t0_us) {
    int64_t t1 = mono_us();
    g_shown_count++;
    g_hold_last_present = t1;
    int64_t render_ms = (t1 - t0_us) / 1000;
    // The cadence report hooks in here.
    if (render_ms > 150) {
        fprintf(stderr, "zyl-mpp: SLOW render %ldms dec=%ld shown=%ld\n", long(render_ms),
                long(g_dec_count.load()), long(g_shown_count.load()));
    } else if (g_shown_count % 600 == 0) {
        periodic_line(t1 / 1000);
    }
    fflush(stderr);
}

void stage_sample(Stage, int64_t, int64_t) {
    // Collected for the cadence report once it exists.
}

void queue_depth_sample(int) {
    // Counted for the cadence report once it exists.
}
