// A long live link on the virtual board, in this process so that its counters can
// be read afterwards: dropouts, damaged and lost units, resolution changes and a
// decoder stall. Nothing may pile up and every decoded frame must be accounted for.
//   ZYL_SOAK_SECONDS=300 build-asan/tests/soak_test      (the full run; CI plays 20 s)
// And a minute of the busiest drawing there is, in a process of its own whose heap
// is watched: video through the GPU pass for the SPI copy, the panel's HUD, and the
// status files changing under it.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/mailbox.h"
#include "app/startup.h"
#include "decode/decode.h"
#include "sim/sim.h"
#include "spitee/spitee.h"
#include "tests/test_util.h"

// Freed memory waits in AddressSanitizer's quarantine (256 MiB by default), which
// would look like growth; a small one keeps resident memory meaningful.
extern "C" const char *__asan_default_options() {
    return "quarantine_size_mb=16";
}

namespace {

struct Sample {
    long rss_kib;
    int fds;
};

Sample sample_process() {
    Sample s{0, 0};
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) s.rss_kib = std::stol(line.substr(6));
    for (auto &e : std::filesystem::directory_iterator("/proc/self/fd")) s.fds += !e.path().empty();
    return s;
}

// Feeder arguments: 320x240 and 480x272 streams in turn (a parameter change at
// each switch), with pauses, lost and damaged units placed by a fixed seed.
std::vector<std::string> feeder_args(int seconds, const std::string &log) {
    constexpr int kUnitsPerLoop = 60 + 30, kFps = 30;
    int loops = std::max(1, seconds * kFps / kUnitsPerLoop);
    long units = long(loops) * kUnitsPerLoop;
    // The decoder falls silent after its 10th frame; the stall is declared at the 45th
    // unit after it once ZYL_KMS_DEAD_MS has passed, before the new parameter sets at
    // unit 60 rebuild it. The link keeps its rate from the receiver's first unit on, so
    // a slow start leaves no backlog that would bring those units faster; and no pause
    // there, whose drain would flush the silent decoder back to life first.
    std::vector<std::string> args{ZYL_FEEDER_BIN, "-r",  "30", "-l", std::to_string(loops),
                                  "-a",           "end", "-q", "-L", log,
                                  "-p",           "1:0"};
    std::mt19937 rng(20261206);
    for (long k = 200; k < units; k += 150 + long(rng() % 150)) {
        switch (rng() % 3) {
            case 0:
                args.insert(args.end(),
                            {"-p", std::to_string(k) + ":" + std::to_string(300 + rng() % 1200)});
                break;
            case 1:
                args.insert(args.end(), {"-c", std::to_string(k)});
                break;
            default:
                args.insert(args.end(), {"-d", std::to_string(k)});
                break;
        }
    }
    args.push_back(stream_path("h264_nosei.h264"));
    args.push_back(stream_path("h264_part2.h264"));
    return args;
}

pid_t start_feeder(const std::vector<std::string> &args, int *read_fd, const std::string &err) {
    int p[2];
    if (pipe(p) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (e >= 0) dup2(e, 2);
        close(p[0]);
        std::vector<char *> argv;
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        exec_built(argv);
    }
    close(p[1]);
    *read_fd = p[0];
    return pid;
}

TEST(Soak, LongLinkWithDropoutsLeavesNothingBehind) {
    const char *env = getenv("ZYL_SOAK_SECONDS");
    int seconds = env ? atoi(env) : 20;
    std::string dir = test_dir();
    setenv("ZYL_SIM_ROOT", (dir + "/root").c_str(), 1);
    setenv("ZYL_SIM_CARD", board_path("two-display").c_str(), 1);
    // Once, within the first file: after the first reopen a stall would be fatal.
    setenv("ZYL_SIM_DEC_STALL_AFTER", "10", 1);
    setenv("ZYL_KMS_DEAD_MS", "500", 1);
    setenv("ZYL_KMS_HIDE_MS", "800", 1);

    int in = -1;
    pid_t feeder =
        start_feeder(feeder_args(seconds, dir + "/feeder.log"), &in, dir + "/feeder.err");
    ASSERT_GT(feeder, 0);
    ASSERT_EQ(dup2(in, 0), 0);
    close(in);

    std::vector<Sample> samples;
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        while (!done) {
            samples.push_back(sample_process());
            usleep(500000);
        }
    });
    std::string err_path = dir + "/stderr.txt";
    int saved_err = dup(2);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err_fd, 2);
    char arg0[] = "zyl-mpp-sim";
    char *argv[] = {arg0, nullptr};
    Mailbox mb;
    int status = receiver_run(1, argv, mb);
    dup2(saved_err, 2);
    done = true;
    monitor.join();
    int feeder_status = 0;
    waitpid(feeder, &feeder_status, 0);

    std::string err = read_file(err_path);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(WEXITSTATUS(feeder_status), 0) << read_file(dir + "/feeder.err");
    EXPECT_GE(count_lines(err, "zyl-mpp: decoder STALLED"), 1) << err;
    EXPECT_GE(count_lines(err, "decoder reopened"), 1) << err;
    EXPECT_GE(count_lines(err, "zyl-mpp: hdmi_state=gated"), 1) << err;

    // Every frame pushed was shown or dropped by the mailbox (a rebuild empties it),
    // the decoder's frame budget, the cap or the gate.
    uint64_t dec = mb.dec_count, shown = mb.shown_count;
    EXPECT_GT(shown, uint64_t(seconds) * 10);
    EXPECT_EQ(dec, shown + mb.drop_fifo + mb.drop_budget + mb.drop_throttle + mb.drop_gate)
        << "dec=" << dec << " shown=" << shown << " fifo=" << mb.drop_fifo
        << " throttle=" << mb.drop_throttle << " gate=" << mb.drop_gate;

    // Flat after warm-up: the last quarter against the second.
    ASSERT_GE(samples.size(), 8u);
    size_t q = samples.size() / 4;
    auto peak = [&](size_t from, size_t to, auto field) {
        long m = 0;
        for (size_t i = from; i < to; i++) m = std::max(m, long(samples[i].*field));
        return m;
    };
    long rss_warm = peak(q, 2 * q, &Sample::rss_kib),
         rss_end = peak(3 * q, samples.size(), &Sample::rss_kib);
    long fds_warm = peak(q, 2 * q, &Sample::fds),
         fds_end = peak(3 * q, samples.size(), &Sample::fds);
    EXPECT_LE(rss_end, rss_warm + 8 * 1024) << "RSS KiB " << rss_warm << " → " << rss_end;
    EXPECT_LE(fds_end, fds_warm + 2) << "fds " << fds_warm << " → " << fds_end;
    fprintf(stderr,
            "soak: %d s, dec=%lu shown=%lu dropped fifo/throttle/gate=%lu/%lu/%lu, RSS %ld → %ld "
            "KiB, fds %ld → %ld\n",
            seconds, (unsigned long)dec, (unsigned long)shown, (unsigned long)mb.drop_fifo.load(),
            (unsigned long)mb.drop_throttle, (unsigned long)mb.drop_gate, rss_warm, rss_end,
            fds_warm, fds_end);
}

// Resident memory of another process: its main heap (the brk area) and all its
// anonymous memory, in KiB.
struct HeapSample {
    long heap_kib, anon_kib;
};

HeapSample sample_heap(pid_t pid) {
    HeapSample s{0, 0};
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream smaps(proc + "/smaps");
    bool in_heap = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.find(" [heap]") != std::string::npos) in_heap = true;
        if (in_heap && line.rfind("Rss:", 0) == 0) {
            s.heap_kib = std::stol(line.substr(4));
            in_heap = false;
        }
    }
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("RssAnon:", 0) == 0) s.anon_kib = std::stol(line.substr(8));
    return s;
}

// A status file replaced whole, as its writers do.
void put_status(const std::string &path, const std::string &text) {
    write_file(path + ".new", text);
    rename((path + ".new").c_str(), path.c_str());
}

// What the pilot's side writes at the quarter second `q`: new telemetry (more often
// than a flight's once a second, for more redraws between the frames), and every
// 10 s the menu opened or closed and a new pop-up.
void write_status(const std::string &run, int q) {
    const int t = q / 4;
    put_status(run + "/telemetry",
               "gog=" + std::to_string(90 - t % 60) + "\ndrn=" + std::to_string(80 - t % 50) +
                   "\ntmp=41\nrec=1\nrecs=" + std::to_string(t) + "\nalt=" + std::to_string(q) +
                   ".5\nspd=12\nsig=-60\nnet=wlan0\n");
    if (q % 40) return;
    const std::string n = std::to_string(t);
    put_status(run + "/menu", std::string(t / 10 % 2 ? "open" : "closed") + "\n" +
                                  std::to_string(t / 10 % 4) + "\n1\n2\nLink " + n +
                                  "\nBitrate: 8 Mbps\nChannel: " + n + "\nRecord: on\n");
    put_status(run + "/osd", std::string(t % 20 ? "info" : "warn") + "\nLink quality changed at " +
                                 n + " s: check the antennas\n");
}

// The most frames shown that the program has reported on standard error so far (its
// state lines, and the periodic line at every 600th frame).
long shown_so_far(const std::string &err_file) {
    const std::string s = read_file(err_file);
    long most = 0;
    for (size_t at = s.find(" shown="); at != std::string::npos; at = s.find(" shown=", at + 1))
        most = std::max(most, std::atol(s.c_str() + at + 7));
    return most;
}

// The heap must stop growing once the run has warmed up. Warm is judged by what the
// program did, not by the clock: a loaded machine (or a sanitizer) takes far longer to
// show the first few hundred frames and to draw the menu once. Under the sanitizers
// the blocks live in the sanitizer's own mappings, not in [heap], and the anonymous
// memory is what says whether they pile up.
TEST(Soak, StatusChangesOverGpuVideoKeepTheHeapFlat) {
    if (ZYL_EMULATOR[0])
        GTEST_SKIP() << "under an emulator the guest's heap is no [heap] mapping and the "
                        "emulator's translation cache grows with the code it meets";
    // The soak above sets its faults in this process's environment.
    for (const char *v : {"ZYL_SIM_DEC_STALL_AFTER", "ZYL_KMS_DEAD_MS", "ZYL_KMS_HIDE_MS"})
        unsetenv(v);
    // Warm: this many frames shown and the menu opened once (at 10 s). Then the run goes
    // on for kAfter seconds, but never beyond kMaxSeconds.
    constexpr long kWarmShown = 600;
    constexpr int kAfter = 40, kMaxSeconds = 200, kSlack = 8 * 1024;
    const std::string dir = test_dir(), run = dir + "/root/run/zyl-fpv", link = dir + "/link";
    std::filesystem::create_directories(run);
    ASSERT_EQ(mkfifo(link.c_str(), 0600), 0);
    write_status(run, 0);
    const char *asan = getenv("ASAN_OPTIONS");
    const pid_t sim =
        start_sim({},
                  {card_env("two-display"), "ZYL_KMS_SPI_TEE=320x240", "ZYL_KMS_TELEMETRY_DSI=1",
                   "ZYL_SMOOTH=phase",
                   // Freed blocks wait in AddressSanitizer's quarantine, 256 MiB by default.
                   std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":quarantine_size_mb=16"},
                  link, dir, kMaxSeconds + 60);
    ASSERT_GT(sim, 0);
    // Read and write: the open does not wait for the program to open its end.
    const int feed = open(link.c_str(), O_RDWR);
    const pid_t feeder = spawn_built(
        ZYL_FEEDER_BIN, {"-r", "30", "-l", "20", "-q", stream_path("h264_640x360.h264")}, feed, -1,
        dir + "/feeder.err");
    close(feed);

    std::vector<HeapSample> samples;
    int warm = -1;  // the sample at which the run was warm
    const int64_t start = mono_ms();
    for (int q = 1; q <= kMaxSeconds * 4; q++) {
        while (mono_ms() - start < q * 250) usleep(10000);
        write_status(run, q);
        if (q % 4) continue;
        samples.push_back(sample_heap(sim));
        const int n = int(samples.size());
        if (warm < 0 && n > 11 && shown_so_far(dir + "/stderr.txt") >= kWarmShown) warm = n;
        if (warm >= 0 && n >= warm + kAfter) break;
    }
    const bool alive = kill(sim, 0) == 0 && waitpid(sim, nullptr, WNOHANG) == 0;
    kill(sim, SIGTERM);
    kill(feeder, SIGTERM);
    wait_status(feeder);
    const RunResult r = finish_sim(sim, dir);
    shm_unlink(sim_shm_name(kSpiShmName, dir + "/root").c_str());
    ASSERT_TRUE(alive) << r.err;
    // The video went through the GPU pass all along: a picture reached the SPI copy.
    EXPECT_GE(count_lines(r.err, "SPI tee ON"), 1) << r.err;
    EXPECT_GE(count_lines(r.err, "zyl-mpp: hdmi_state=live"), 1) << r.err;
    // The stop ends it through its loop, with its last word in the state file.
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_EQ(read_file(run + "/hdmi_state").rfind("state=stopped ", 0), 0u);

    auto peak = [&](int from, int to, long HeapSample::*field) {
        long m = 0;
        for (int i = from; i < to; i++) m = std::max(m, samples[size_t(i)].*field);
        return m;
    };
    const int n = int(samples.size());
    if (warm < 0 || n < warm + kAfter) {
        fprintf(stderr, "heap: the run was warm only after %d of %d s, not judged\n", warm, n);
        return;
    }
    const long heap_warm = peak(warm - 5, warm, &HeapSample::heap_kib),
               heap_end = peak(n - 5, n, &HeapSample::heap_kib);
    const long anon_warm = peak(warm - 5, warm, &HeapSample::anon_kib),
               anon_end = peak(n - 5, n, &HeapSample::anon_kib);
    EXPECT_LE(heap_end, heap_warm + kSlack) << "[heap] KiB " << heap_warm << " → " << heap_end;
    EXPECT_LE(anon_end, anon_warm + kSlack) << "anonymous KiB " << anon_warm << " → " << anon_end;
    fprintf(stderr, "heap: warm after %d s; [heap] %ld → %ld KiB, anonymous %ld → %ld KiB\n", warm,
            heap_warm, heap_end, anon_warm, anon_end);
}

}  // namespace
