// Frame pacing: the hold decision, the cadence evaluation, the display-rate cap,
// learning whether the HDMI plane update waits for the flip, phase pacing played
// against arrival times, and, on the virtual
// card in this process, the vblank waits and the panel commit rules.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/clock.h"
#include "app/config.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/mailbox.h"
#include "app/pacing.h"
#include "app/phase_pacing.h"
#include "app/placement.h"
#include "app/screens.h"
#include "app/settings.h"
#include "kms/kms.h"
#include "sim/sim.h"
#include "tests/test_util.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

constexpr int64_t kP60 = 16666;

HoldVerdict decide(int n, int hold, int64_t since_us, int flip_blocks = 0) {
    return hold_decision(n, hold, flip_blocks, since_us, kP60);
}

}  // namespace

TEST(HoldDecision, QuarterRefreshAllowanceAndReserveFrame) {
    // Two queued, hold 2: (20,000 + 4,166) / 16,666 = 1 refresh, held; at 30 ms 2, taken.
    EXPECT_EQ(HoldVerdict::kHold, decide(2, 2, 20000));
    EXPECT_EQ(HoldVerdict::kTake, decide(2, 2, 30000));
    EXPECT_EQ(HoldVerdict::kHold, decide(2, 2, 2 * kP60 - kP60 / 4 - 1));
    EXPECT_EQ(HoldVerdict::kTake, decide(2, 2, 2 * kP60 - kP60 / 4));
    // Only the reserve queued: one refresh longer.
    EXPECT_EQ(HoldVerdict::kHold, decide(1, 2, 30000));
    EXPECT_EQ(HoldVerdict::kTake, decide(1, 2, 3 * kP60 - kP60 / 4));
    // A plane update that blocks for the flip already spent one refresh.
    EXPECT_EQ(HoldVerdict::kTake, decide(2, 2, kP60 - kP60 / 4, 1));
    EXPECT_EQ(HoldVerdict::kHold, decide(2, 2, kP60 - kP60 / 4 - 1, 1));
    // Three queued: taken at every refresh; nothing presented yet: taken.
    EXPECT_EQ(HoldVerdict::kTake, decide(3, 4, 0));
    EXPECT_EQ(HoldVerdict::kTake, hold_decision(1, 3, 0, std::nullopt, kP60));
    EXPECT_EQ(HoldVerdict::kNone, decide(0, 2, 0));
}

TEST(FrameHold, CandidateIsACleanFractionOfTheRefresh) {
    // 30, 24 (2.5 is no clean fraction), 20, 15 and 12 fps (ratio 5) on 60 Hz; on 100 Hz
    // the interval in 10 us is the ratio in hundredths.
    const int cases[][3] = {{33333, 60, 2},  {41666, 60, 1},  {50000, 60, 3},
                            {66666, 60, 4},  {83333, 60, 1},  {18700, 100, 1},
                            {18900, 100, 2}, {21100, 100, 2}, {21300, 100, 1}};
    for (auto [us, hz, hold] : cases)
        EXPECT_EQ(hold, hold_candidate(us, hz, -1)) << us << " on " << hz;
    // ZYL_KMS_FRAME_HOLD: 9 is 4, 0 and 1 present on arrival, -5 and empty are automatic.
    EXPECT_EQ(4, hold_candidate(33333, 60, parse_frame_hold("9")));
    for (const char *v : {"0", "1"}) EXPECT_EQ(1, hold_candidate(33333, 60, parse_frame_hold(v)));
    for (const char *v : {"-5", ""}) EXPECT_EQ(2, hold_candidate(33333, 60, parse_frame_hold(v)));
}

// The cadence evaluation and the flip learning, from a fresh state for each scenario.
class Hold : public testing::Test {
  protected:
    void SetUp() override { output_.mode.vrefresh = 60; }
    KmsOutput output_{};
    Pacer pc;
    Mailbox mb;

  public:
    // The steps of tests/data/hold.txt.
    ScenarioStep step() {
        return [=, this](const std::string &word, const std::string &rest) mutable {
            std::istringstream words(rest);
            int64_t n = 0, us = 0;
            words >> n >> us;
            std::optional<std::string> printed;
            if (word == "source") {
                mb.src_interval_us = n;
            } else if (word == "phase") {
                pc.smooth_phase = n != 0;
            } else if (word == "ticks" || word == "presents") {
                pc.settings = config_read().pacing;  // after the scenario's env lines
                pc.paced = &output_;
                testing::internal::CaptureStderr();
                for (int i = 0; i < n; i++)
                    if (word == "ticks")
                        frame_hold_evaluate(pc, mb);
                    else
                        vblank_learn(pc, us);
                printed = testing::internal::GetCapturedStderr();
            } else if (word == "hold") {
                EXPECT_EQ(rest, "r=" + std::to_string(pc.hold.r) +
                                    " cap=" + std::to_string(mb.cap) +
                                    " blocks=" + std::to_string(pc.flip_blocks));
            } else {
                ADD_FAILURE() << "unknown line";
            }
            return printed;
        };
    }

  protected:
};

// The scenarios of tests/data/hold.txt, each a test from the state SetUp leaves.
[[maybe_unused]] const bool kScenarios =
    register_scenarios<Hold>("hold.txt", "", "Hold", [](Hold &t) { return t.step(); });

// ---- phase pacing: the schedule played against arrival times, the clock passed in ----

namespace {

constexpr double kPeriod = 1e6 / 60;  // 60.000 Hz
constexpr int64_t kCost = 500;        // every present takes this long

struct Played {
    std::vector<int64_t> land;     // refresh in which each shown frame is presented
    std::vector<double> delay_ms;  // arrival -> present returned
    std::vector<int64_t> margin;   // after each frame
    std::vector<size_t> dropped;   // frames left out to catch up
    PhaseState s{};
};

// The loop as phase pacing runs it: a frame is decided when it is the oldest and the
// loop is awake (at its arrival, or at each vblank while it is held), and presented
// when it is taken.
// The first frames may be decided at other steps (`first_steps`), as while the source
// rate estimate settles at start.
Played play(const std::vector<int64_t> &arrivals, double step_then, int64_t source_us,
            const std::vector<double> &first_steps = {}) {
    Played p;
    const VblankGrid grid{0, kPeriod};
    int64_t t = 0;
    for (size_t i = 0; i < arrivals.size(); i++) {
        const int64_t a = arrivals[i];
        const double step = i < first_steps.size() ? first_steps[i] : step_then;
        t = std::max(t, a);
        auto decide = [&] {
            bool newer = i + 1 < arrivals.size() && arrivals[i + 1] <= t;
            return phase_decide(p.s, {t, a, grid, step, source_us, newer});
        };
        PhaseVerdict v = decide();
        while (!v.take && !v.drop) {
            t = grid_ceil(grid, t + 1);
            v = decide();
        }
        if (v.drop) {
            p.dropped.push_back(i);
            continue;
        }
        phase_taken(&p.s, v, {t, a, grid, step, source_us, false});
        p.land.push_back(int64_t(double(t + 1) / kPeriod));
        t += kCost;
        p.delay_ms.push_back((t - a) / 1000.0);
        p.margin.push_back(phase_margin(p.s, source_us).margin_us);
    }
    return p;
}

// Refreshes each frame stayed on screen, from frame `from` on ("2222..." for 30 fps).
std::string holds(const Played &p, size_t from) {
    std::string out;
    for (size_t i = std::max<size_t>(from, 1); i < p.land.size(); i++)
        out += char('0' + std::min<int64_t>(9, p.land[i] - p.land[i - 1]));
    return out;
}

// Arrivals of `n` frames at `fps` from `phase_us`, each moved by up to +-jitter_us
// but never before the one in front of it.
std::vector<int64_t> arrivals(int n, double fps, int64_t phase_us, int64_t jitter_us = 0,
                              unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> j(-jitter_us, jitter_us);
    std::vector<int64_t> a;
    for (int i = 0; i < n; i++) {
        int64_t t = 1000000 + phase_us + std::llround(i * 1e6 / fps) + j(rng);
        a.push_back(a.empty() ? t : std::max(t, a.back()));  // a link keeps the order
    }
    return a;
}

// Longest arrival -> present: the latest arrivals are kept between the guard and a
// refresh (and the hysteresis) before their vblank, and the others arrived up to
// `spread_ms` earlier.
double latency_bound_ms(double spread_ms) {
    return double(kPhaseGuardUs + kPhaseHysteresisUs + kCost) / 1000 + kPeriod / 1000 + spread_ms;
}

double p99(std::vector<double> v, size_t from) {
    v.erase(v.begin(), v.begin() + std::ptrdiff_t(from));
    std::sort(v.begin(), v.end());
    return v[v.size() * 99 / 100];
}

}  // namespace

TEST(PhasePacing, StepIsTheHoldOfACleanRatio) {
    EXPECT_EQ(2, phase_step(2, 33333, kPeriod));
    EXPECT_EQ(1, phase_step(1, 16666, kPeriod));  // 60 fps on 60 Hz
    EXPECT_EQ(1, phase_step(1, 18600, kPeriod));
    EXPECT_EQ(0, phase_step(1, 18700, kPeriod));
    EXPECT_EQ(2.5, phase_step(1, 41666, kPeriod));  // 24 fps: 3 and 2 in turn
    EXPECT_EQ(2.5, phase_step(1, 41708, kPeriod));  // 23.976 fps
    EXPECT_EQ(0, phase_step(1, 40000, kPeriod));    // 25 fps: shown on arrival
    EXPECT_EQ(1.5, phase_step(1, 25000, kPeriod));
    EXPECT_EQ(0, phase_step(1, 0, kPeriod));
    PhaseState s{};
    PhaseVerdict v = phase_decide(s, {5000, 5000, {0, kPeriod}, 0, 40000, false});
    EXPECT_TRUE(v.take);
    EXPECT_EQ(0, v.slot_us);
}

TEST(PhasePacing, StablePhaseHoldsEveryFrameTheSameWithinARefreshOfArrival) {
    for (int64_t phase : {0, 3000, 8000, 15900, 16600}) {
        Played p = play(arrivals(300, 30, phase), 2, 33333);
        EXPECT_EQ(std::string(290, '2'), holds(p, 10)) << phase;
        EXPECT_LE(p99(p.delay_ms, 10), latency_bound_ms(0)) << phase;
        EXPECT_NEAR(kPhaseGuardUs, p.margin.back(), 2) << "no jitter: the guard alone";
    }
}

TEST(PhasePacing, JitterLearnedOnAnotherStepIsForgotten) {
    // At start the source rate estimate climbs to 20 fps through 24 fps, which phase
    // pacing holds 3 and 2 in turn: those frames drift across the schedule and arrive
    // late. Their leads are no jitter of the schedule that follows.
    std::vector<double> first(15, 0.0);
    first.insert(first.end(), 5, 2.5);
    Played p = play(arrivals(200, 20, 6000, 500), 3, 50000, first);
    EXPECT_EQ(std::string(170, '3'), holds(p, 30));
    // Learned, the margin would hold every frame up to a refresh longer for as long
    // as those leads stay in the window.
    EXPECT_LE(*std::max_element(p.margin.begin() + 30, p.margin.end()), 1000 + kPhaseGuardUs);
    EXPECT_LE(p99(p.delay_ms, 30), latency_bound_ms(1));
}

TEST(PhasePacing, JitterAcrossAVblankBoundaryNeverJudders) {
    // Nominal arrivals 0.2 ms before a vblank, each moved by up to 3 ms either way.
    for (unsigned seed : {1u, 2u, 3u}) {
        Played p = play(arrivals(900, 30, 16466, 3000, seed), 2, 33333);
        EXPECT_EQ(std::string(840, '2'), holds(p, 60)) << seed;
        // Margin: jitter p99 (~3 ms) + guard.
        EXPECT_GE(p.margin.back(), 2500 + kPhaseGuardUs) << seed;
        EXPECT_LE(p.margin.back(), 3100 + kPhaseGuardUs) << seed;
        EXPECT_LE(p99(p.delay_ms, 60), latency_bound_ms(6)) << seed;
    }
    // 60 fps on 60 Hz keeps one refresh per frame the same way.
    Played p = play(arrivals(900, 60, 16466, 3000), 1, 16667);
    EXPECT_EQ(std::string(840, '1'), holds(p, 60));
    EXPECT_LE(p99(p.delay_ms, 60), latency_bound_ms(6));
}

TEST(PhasePacing, TwentyFourFpsAlternatesThreeAndTwoWhateverThePhase) {
    // 24 fps on 60 Hz: every other frame arrives between two vblanks. At any phase,
    // with arrivals moved up to 3 ms either way, the holds keep alternating.
    for (int64_t phase : {0, 4000, 8333, 12000, 16600}) {
        for (unsigned seed : {1u, 2u}) {
            Played p = play(arrivals(600, 24, phase, 3000, seed), 2.5, 41667);
            std::string h = holds(p, 60);
            for (size_t i = 1; i < h.size(); i++)
                ASSERT_EQ(5, h[i - 1] - '0' + h[i] - '0') << phase << " at " << i << ": " << h;
            // The schedule moves by half a refresh, so the latest arrivals are kept
            // between the guard and half a refresh before their point; from the
            // point to its vblank is a quarter refresh or three.
            EXPECT_LE(p99(p.delay_ms, 60), latency_bound_ms(6 + kPeriod / 4000)) << phase;
        }
    }
    // 23.976 fps slips half a refresh every 200 frames: one hold breaks the turn there.
    Played p = play(arrivals(3000, 24000 / 1001.0, 5000, 1000), 2.5, 41708);
    std::string h = holds(p, 60);
    std::vector<size_t> at;
    for (size_t i = 1; i < h.size(); i++)
        if (h[i - 1] - '0' + h[i] - '0' != 5) at.push_back(i);
    EXPECT_GE(at.size(), 13u) << h;
    EXPECT_LE(at.size(), 16u) << h;
    for (size_t i = 1; i < at.size(); i++) EXPECT_GT(at[i] - at[i - 1], 150u) << h;
    for (size_t i : at) EXPECT_EQ("33", h.substr(i - 1, 2)) << "a repeat, not a drop";
}

TEST(PhasePacing, ClockDriftRepeatsOrDropsOnceAtEachPhaseCrossing) {
    struct Case {
        double fps;
        char odd;  // the one hold that differs at a crossing
    };
    for (Case c : {Case{29.97, '3'}, Case{30.03, '1'}}) {
        // 100 s: the source slips 33 us a frame, a refresh every ~500 frames.
        Played p = play(arrivals(3000, c.fps, 5000, 1000), 2, std::llround(1e6 / c.fps));
        std::string h = holds(p, 60);
        std::vector<size_t> at;
        for (size_t i = 0; i < h.size(); i++) {
            if (h[i] == '2') continue;
            EXPECT_EQ(c.odd, h[i]) << c.fps << " at " << i;
            at.push_back(i);
        }
        EXPECT_GE(at.size(), 5u) << c.fps;
        EXPECT_LE(at.size(), 7u) << c.fps;
        for (size_t i = 1; i < at.size(); i++)
            EXPECT_GT(at[i] - at[i - 1], 300u) << c.fps << ": no back and forth";
        // The jitter window also spans 128 frames of drift, 4.3 ms.
        EXPECT_LE(p99(p.delay_ms, 60), latency_bound_ms(2 + 4.3)) << c.fps;
    }
}

TEST(PhasePacing, BurstOfThreeIsSpreadByTheHold) {
    // Three units at a time every 100 ms; the decoder hands them out 1.5 ms apart.
    std::vector<int64_t> a;
    for (int i = 0; i < 300; i++) a.push_back(1000000 + (i / 3) * 100000 + (i % 3) * 1500);
    Played p = play(a, 2, 33333);
    EXPECT_EQ(std::string(270, '2'), holds(p, 30));
    EXPECT_LE(p.margin.back(), 3000 + 100 + kPhaseGuardUs) << "the burst is no jitter";
    // The last of a burst waits two intervals, the first less than a refresh.
    EXPECT_LE(*std::max_element(p.delay_ms.begin() + 30, p.delay_ms.end()),
              latency_bound_ms(2 * 33.3 + 3));
}

TEST(PhasePacing, AQueueLeftBehindByABurstDrainsByDroppingFrames) {
    // 20 fps; the link holds two units back and delivers them with the third. The
    // late ones take the slots of frames lost, the two behind them wait for the
    // holds, and the source then arrives at the schedule's own rate: without drops
    // every later frame would stay two intervals late.
    for (unsigned seed : {1u, 2u, 3u}) {
        std::vector<int64_t> a = arrivals(300, 20, 6000, 1000, seed);
        a[100] = a[101] = a[102] - 3000;
        Played p = play(a, 3, 50000);
        ASSERT_EQ(2u, p.dropped.size()) << seed;
        EXPECT_GT(p.dropped[0], 102u) << "a burst is spread first";
        EXPECT_LE(p.dropped[1], 102u + kPhaseBacklogRun + 3) << seed;
        // Shown frames are numbered without the dropped ones.
        std::vector<double> after(p.delay_ms.begin() + 110, p.delay_ms.end());
        EXPECT_LE(*std::max_element(after.begin(), after.end()), latency_bound_ms(2)) << seed;
        EXPECT_EQ(std::string(180, '3'), holds(p, 110).substr(0, 180)) << seed;
    }
}

TEST(PhasePacing, GapKeepsThePhaseAndASilenceStartsANewOne) {
    std::vector<int64_t> a = arrivals(300, 30, 7000, 1000);
    a.erase(a.begin() + 150);  // one unit lost
    Played p = play(a, 2, 33333);
    std::string h = holds(p, 60);
    EXPECT_EQ(std::string(90, '2') + "4" + std::string(148, '2'), h);

    // The source stops and comes back at another phase. After a second of silence a
    // new schedule starts at once, and the first frame's own jitter may cost one
    // repeat; after a short pause two late frames in a row start it, and they do
    // not count as jitter.
    struct Pause {
        int64_t extra_us;  // on top of the 5 s the first 150 frames take
        int odd;           // holds that may differ right after it
    };
    for (Pause pause : {Pause{1009000, 1}, Pause{180000, 3}}) {
        std::vector<int64_t> b = arrivals(150, 30, 7000, 1000);
        for (int64_t t : arrivals(150, 30, 7000 + 5000000 + pause.extra_us, 1000, 7))
            b.push_back(t);
        p = play(b, 2, 33333);
        h = holds(p, 60);
        EXPECT_EQ(std::string(90, '2'), h.substr(0, 90)) << pause.extra_us;
        std::string next = h.substr(91, 10);
        EXPECT_LE(std::count_if(next.begin(), next.end(), [](char c) { return c != '2'; }),
                  pause.odd)
            << h;
        EXPECT_EQ(std::string(139, '2'), h.substr(101)) << h;
        EXPECT_LE(p99(p.delay_ms, 60), latency_bound_ms(2)) << pause.extra_us;
        EXPECT_LE(p.margin[170], 2000 + kPhaseGuardUs) << pause.extra_us;
    }
}

TEST(PhasePacing, MarginNeverExceedsOneSourceInterval) {
    PhaseState s{};
    for (int i = 0; i < 100; i++) s.leads[s.nleads++] = i * 800;  // 0..79 ms
    PhaseMargin m = phase_margin(s, 33333);
    EXPECT_EQ(40000 - 800, m.jitter_us);  // p50 - p1, the second smallest of 100
    EXPECT_EQ(33333, m.margin_us);
    EXPECT_EQ(39200 + kPhaseGuardUs, phase_margin(s, 0).margin_us)
        << "no source interval yet: no bound";
}

// ---- on the virtual card, in this process: waits move the card clock, not time ----

namespace {

class OnCard : public testing::Test {
  protected:
    void SetUp() override {
        for (const char *v :
             {"ZYL_KMS_CARD", "ZYL_KMS_CONNECTOR", "ZYL_KMS_MODE", "ZYL_KMS_TESTFILL"})
            unsetenv(v);
        dir = test_dir();
        setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
    }
    void TearDown() override {
        {
            std::lock_guard lock(mb.lock);
            while (mb_take_locked(mb)) continue;
        }
        fb = DumbBuffer();
        forget_card();
        unsetenv("ZYL_SIM_ROOT");
    }
    // drm_init on a shipped board, with `extra` card lines; the card clock then runs by hand.
    void init(const std::string &board, const std::string &extra = "") {
        std::string err;
        ASSERT_EQ(0, drm_init_on(board_with(board, extra), &err)) << err;
        sim_card_set_time_ms(10000);
        pc.paced = &outs[0];
        pc.health = &health;
    }
    uint64_t vblanks() {
        SimCrtcInfo c{};
        sim_card_crtc_state(outs[0].crtc_id, &c);
        return c.vblank_seq;
    }
    // An XR24 buffer with its framebuffer, released by TearDown.
    void make_fb(uint32_t w, uint32_t h) {
        const int card = outs[0].fd;
        fb = dumb_create(card, w, h);
        ASSERT_TRUE(fb.handle);
        uint32_t id = 0;
        ASSERT_EQ(0, drmModeAddFB(card, w, h, 24, 32, fb.pitch, fb.handle.get(), &id));
        fb.fb = FbId(id, card);
    }
    void queue(int n) {
        for (int i = 0; i < n; i++) mb_push_at(mb, FramePtr(av_frame_alloc()), 0);
    }

    std::string dir;
    std::array<KmsOutput, kMaxOutputs> &outs = test_screens().display.outs;
    DumbBuffer fb;
    Mailbox mb;
    Health health{{}, mb};
    Pacer pc;
};

}  // namespace

TEST_F(OnCard, WaitVblankNamesOutputZerosCrtc) {
    ASSERT_NO_FATAL_FAILURE(init("two-display"));
    uint64_t seq = vblanks();
    EXPECT_TRUE(wait_vblank_outs0(pc));
    EXPECT_EQ(seq + 1, vblanks());
    // The panel's CRTC is the card's third: reached only through the high-CRTC field.
    outs[0].crtc_idx = 2;
    outs[0].crtc_id = outs[1].crtc_id;
    seq = vblanks();
    EXPECT_TRUE(wait_vblank_outs0(pc));
    EXPECT_EQ(seq + 1, vblanks());
    outs[0].crtc_idx = 1;  // the second CRTC drives nothing
    EXPECT_FALSE(wait_vblank_outs0(pc));
}

TEST_F(OnCard, VblankPacingWaitsOneRefreshPerIteration) {
    ASSERT_NO_FATAL_FAILURE(init("two-display"));
    pc.hold.r = 2;
    queue(2);
    pc.last_present_us = mono_us() + 3600000000LL;  // just presented, whatever the clock does

    // The explicit wait is the hold's refresh: no second wait.
    uint64_t seq = vblanks();
    Acquired a = acquire_frame(pc, mb);
    EXPECT_EQ(Acquired::kHold, a.kind);
    EXPECT_EQ(seq + 1, vblanks());
    // Without the explicit wait the hold waits itself.
    pc.flip_blocks = 1;
    a = acquire_frame(pc, mb);
    EXPECT_EQ(Acquired::kHold, a.kind);
    EXPECT_EQ(seq + 2, vblanks());
    // Taken at once when the plane update paces the loop.
    pc.last_present_us = 0;
    a = acquire_frame(pc, mb);
    ASSERT_NE(nullptr, a.frame);
    EXPECT_EQ(seq + 2, vblanks());
    pc.flip_blocks = 0;
    a = acquire_frame(pc, mb);
    ASSERT_NE(nullptr, a.frame);
    EXPECT_EQ(seq + 3, vblanks());
}

TEST_F(OnCard, PhasePacingTakesOnItsScheduleAndSaysSoOnce) {
    ASSERT_NO_FATAL_FAILURE(init("two-display"));
    pc.smooth_phase = true;
    pc.hold.r = 2;
    mb.src_interval_us = 33333;
    queue(2);  // pushed long ago: both vblanks of their schedule have passed
    // The frame before was presented after the last vblank: a present now would queue
    // behind its flip, so the loop waits for that.
    pc.last_present_us = mono_us() + 2000;
    testing::internal::CaptureStderr();
    const uint64_t seq = vblanks();
    EXPECT_EQ(Acquired::kHold, acquire_frame(pc, mb).kind);
    EXPECT_EQ(seq + 1, vblanks());
    // Once it landed the older frame goes, as showing it would hold the newer a refresh.
    pc.last_present_us = mono_us() - 100000;
    ASSERT_NE(nullptr, acquire_frame(pc, mb).frame);
    EXPECT_EQ(1u, mb.drop_fifo.load());
    EXPECT_EQ(0, mb.q.size());
    EXPECT_EQ(1, count_lines(testing::internal::GetCapturedStderr(),
                             "zyl-kms: cadence: phase pacing — each frame on the first vblank at "
                             "least 0.5 ms after it arrived, none in reserve"));
    EXPECT_EQ(kPhaseGuardUs, pc.phase.margin_us);
    EXPECT_NE(0, pc.phase.state.slot_us);
    // The tuning file switches smooth pacing off: the schedule is gone.
    pc.smooth = false;
    queue(1);
    Acquired a = acquire_frame(pc, mb);
    ASSERT_NE(nullptr, a.frame);
    EXPECT_EQ(-1, pc.phase.margin_us);
    EXPECT_EQ(0, pc.phase.state.slot_us);
}

TEST_F(OnCard, EndOfInputAndShowOnArrival) {
    ASSERT_NO_FATAL_FAILURE(init("two-display"));
    mb_set_eof(mb);
    for (bool smooth : {true, false}) {
        pc.smooth = smooth;
        Acquired a = acquire_frame(pc, mb);
        EXPECT_EQ(nullptr, a.frame) << smooth;
        EXPECT_TRUE(a.eof) << smooth;
    }
    // Show on arrival takes the queued frame without touching the display.
    queue(1);
    uint64_t seq = vblanks();
    Acquired a = acquire_frame(pc, mb);
    ASSERT_NE(nullptr, a.frame);
    EXPECT_EQ(seq, vblanks());
}

TEST_F(OnCard, BusyOutputIsRedoneBlocking) {
    ASSERT_NO_FATAL_FAILURE(init("two-display"));
    KmsOutput &panel = outs[1];
    ASSERT_NO_FATAL_FAILURE(make_fb(800, 480));
    Placement p{{0, 0, 800, 480}, {0, 0, 800, 480}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, output_commit(pc, panel, 1, fb.fb.get(), p));
    EXPECT_EQ(0, output_commit(pc, panel, 1, fb.fb.get(), p)) << "the first flip is still pending";
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        "zyl-kms: panel per-frame commit NONBLOCKING (ZYL_KMS_DSI_NONBLOCK=0 to block on the "
        "panel vblank)\n",
        err);
    EXPECT_EQ(1u, health.dsi_busy_skip);
    EXPECT_TRUE(pc.dsi_nonblock);
}

// Frames live while any output may still scan them out: an output that let frames
// pass keeps the two it was last given.
TEST(Shown, PicturesLiveWhileAnOutputLaggingBehindMayShowThem) {
    static std::vector<int> freed;
    freed.clear();
    auto frame = [](int n) {
        FramePtr f(av_frame_alloc());
        f->buf[0] = av_buffer_create(
            nullptr, 0,
            [](void *n, uint8_t *) { freed.push_back(int(reinterpret_cast<intptr_t>(n))); },
            reinterpret_cast<void *>(intptr_t(n)), 0);
        return f;
    };
    ShownPictures s;
    std::vector<FbId> none;
    // Frame: the outputs that take it, and the frames freed at its hand-over.
    const std::vector<std::pair<uint32_t, std::vector<int>>> steps = {
        {0b11, {}},  {0b11, {}},  {0b11, {1}}, {0b01, {}},
        {0b11, {2}}, {0b10, {3}}, {0b00, {}},  {0b11, {4, 7}},
    };
    for (size_t i = 0; i < steps.size(); i++) {
        freed.clear();
        shown_hand_over(s, frame(int(i) + 1), none, nullptr, steps[i].first);
        std::sort(freed.begin(), freed.end());
        EXPECT_EQ(steps[i].second, freed) << "frame " << i + 1;
        EXPECT_LE(shown_frames(s), 2 * 2 + 1);
    }
    freed.clear();
    shown_clear(s);
    std::sort(freed.begin(), freed.end());
    EXPECT_EQ((std::vector<int>{5, 6, 8}), freed);
}

TEST_F(OnCard, PanelCommitRefusedSwitchesToBlockingForGood) {
    ASSERT_NO_FATAL_FAILURE(init("two-display", "fault nonblock errno=EINVAL times=1"));
    ASSERT_NO_FATAL_FAILURE(make_fb(800, 480));
    Placement p{{0, 0, 800, 480}, {0, 0, 800, 480}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, output_commit(pc, outs[1], 1, fb.fb.get(), p));
    EXPECT_EQ(0, output_commit(pc, outs[1], 1, fb.fb.get(), p));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, count_lines(err,
                             "zyl-kms: panel NONBLOCK commit rejected (Invalid argument) — "
                             "falling back to blocking commits"))
        << err;
    EXPECT_FALSE(pc.dsi_nonblock);
    EXPECT_EQ(0u, health.dsi_busy_skip);

    pc = Pacer({.dsi_nonblock = false});
    pc.paced = &outs[0];
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, output_commit(pc, outs[1], 1, fb.fb.get(), p));
    EXPECT_EQ("zyl-kms: panel per-frame commit blocking (ZYL_KMS_DSI_NONBLOCK=0)\n",
              testing::internal::GetCapturedStderr());
}

TEST_F(OnCard, MonitorCommitRefusedSwitchesToTheLegacyCallForGood) {
    ASSERT_NO_FATAL_FAILURE(init("two-display", "fault nonblock errno=EINVAL"));
    ASSERT_NO_FATAL_FAILURE(make_fb(800, 480));
    Placement p{{0, 0, 800, 480}, {0, 0, 800, 480}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, output_commit(pc, outs[0], 0, fb.fb.get(), p));
    EXPECT_EQ(1u, pc.legacy_outputs);
    EXPECT_EQ(
        "zyl-kms: output 0 NONBLOCK commit rejected (Invalid argument) — falling back to "
        "the legacy plane call\n",
        testing::internal::GetCapturedStderr());
}
