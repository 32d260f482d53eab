// What the virtual board saw, written when the program exits normally, for tests
// that run the whole program.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/sim.h"

namespace {

std::string g_stats_path;

void write_stats() {
    FILE *f = fopen(g_stats_path.c_str(), "w");
    if (!f) return;
    SimCardCounters c = sim_card_counters();
    SimDecStats d = sim_dec_stats();
    fprintf(f, "fbs=%d\nfbs_max=%d\ndumb_buffers=%d\nimported=%d\n", c.fbs, c.fbs_max,
            c.dumb_buffers, c.imported);
    fprintf(f, "imported_bytes=%llu\nimported_bytes_max=%llu\n",
            (unsigned long long)c.imported_bytes, (unsigned long long)c.imported_bytes_max);
    fprintf(f, "plane_updates=%llu\ncommits=%llu\nsetcrtcs=%llu\nfailures=%llu\n",
            (unsigned long long)c.plane_updates, (unsigned long long)c.commits,
            (unsigned long long)c.setcrtcs, (unsigned long long)c.failures);
    fprintf(f, "frames=%lld\nframes_max=%lld\ndelivered=%lld\n", (long long)d.live_frames,
            (long long)d.live_frames_max, (long long)d.delivered);
    fprintf(f, "torn=%lld\nheld_max=%lld\npool_waits=%lld\nreopen_waits=%lld\n", (long long)d.torn,
            (long long)d.held_max, (long long)d.pool_waits, (long long)d.reopen_waits);
    fclose(f);
}

// Registered before main, so it runs after everything main's exit path does.
struct StatsAtExit {
    StatsAtExit() {
        const char *p = getenv("ZYL_SIM_STATS");
        if (!p || !*p) return;
        g_stats_path = p;
        atexit(write_stats);
    }
} g_stats_at_exit;

}  // namespace
