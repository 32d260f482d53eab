// Health reporting and display-change supervision: cadence figures from known
// present times, the state file's rules, the hotplug poll clock and monitor
// identity, and a monitor swapped on the virtual card.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/clock.h"
#include "app/health.h"
#include "app/hotplug.h"
#include "app/mailbox.h"
#include "app/pacing.h"
#include "kms/kms.h"
#include "tests/test_util.h"

namespace {

TEST(Cadence, BinsAndPercentilesOfKnownIntervals) {
    CadenceStats c{};
    // 7.9 ms, 8 ms, 16.7 ms x 10, 19 ms, 40 ms.
    for (int64_t us : {7999, 8000, 19000, 40000}) cadence_add_interval(&c, us);
    for (int i = 0; i < 10; i++) cadence_add_interval(&c, 16667);
    EXPECT_EQ(std::vector<int64_t>(c.bins, c.bins + 5), (std::vector<int64_t>{1, 1, 10, 1, 1}));
    CadencePercentiles p = cadence_percentiles(&c);
    // Sorted: 7999, 8000, 16667 x 10, 19000, 40000; p50 is [7], p95 is [14 * 95 / 100] = [13].
    EXPECT_EQ(p.p50, 16667);
    EXPECT_EQ(p.p95, 40000);
    EXPECT_EQ(p.max, 40000);
}

TEST(Cadence, OnlyTheFirst512IntervalsEnterThePercentiles) {
    CadenceStats c{};
    for (int i = 0; i < 512; i++) cadence_add_interval(&c, 16667);
    for (int i = 0; i < 100; i++) cadence_add_interval(&c, 50000);
    EXPECT_EQ(c.nsamples, 512);
    EXPECT_EQ(c.bins[4], 100);
    EXPECT_EQ(cadence_percentiles(&c).max, 16667);
    CadenceStats empty{};
    EXPECT_EQ(cadence_percentiles(&empty).p95, 0);
}

TEST(Cadence, ReportAfterASecondOfSteadyPresents) {
    Mailbox mb;
    Health h({}, mb);
    const Pacer pacer;
    int64_t t = 10'000'000;
    testing::internal::CaptureStderr();
    for (int i = 0; i <= 61; i++, t += 16667) {
        mb.shown_count++;
        cadence_after_present(h, pacer, t);
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_lines(err,
                          "zyl-mpp: cadence shown/s=60 present_ms p50/p95/max=16.7/16.7/16.7 "
                          "bins[<8,8-14,14-19,19-25,>25]=0/0/60/0/0 vblank n0/n1/n2=0/0/0 "
                          "fifo_avg=0.00 dropped fifo/throttle/gate=0/0/0"),
              1)
        << err;
    EXPECT_EQ(count_lines(err, "zyl-kms: cadence stages(ms mean/max): vblank_wait=0.0/0.0"), 1);
    // The window starts again; the interval across the report is kept.
    EXPECT_EQ(h.cad.nsamples, 1);
    EXPECT_EQ(h.cad.window_start, 10'000'000 + 60 * 16667);
}

TEST(Cadence, StageSamplesFromTheFirstPresentWhileSwitchedOn) {
    Mailbox mb;
    Pacer pacer;
    Health off({"", false}, mb), on({"", true}, mb);
    for (Health *h : {&off, &on}) {
        stage_sample(h, kStagePanelCommit, 0, 7000);
        after_present(*h, pacer, mono_us());
        stage_sample(h, kStagePanelCommit, 0, 5000);
        stage_sample(h, kStagePanelCommit, 0, 1000);
    }
    EXPECT_EQ(off.cad.stage_n[kStagePanelCommit], 0);
    EXPECT_EQ(on.cad.stage_n[kStagePanelCommit], 2);
    EXPECT_EQ(on.cad.stage_sum[kStagePanelCommit], 6000);
    EXPECT_EQ(on.cad.stage_max[kStagePanelCommit], 5000);
}

TEST(StateFile, NewWordAtOnceSameWordAfterASecond) {
    EXPECT_TRUE(state_write_due("live", "", 5000, 0));
    EXPECT_TRUE(state_write_due("gated", "live", 5001, 5000));
    EXPECT_FALSE(state_write_due("live", "live", 5999, 5000));
    EXPECT_TRUE(state_write_due("live", "live", 6000, 5000));
}

TEST(StateFile, WrittenWholeWithItsLineOnAChange) {
    std::string dir = test_dir();
    Mailbox mb;
    Health h({dir + "/state", false}, mb);
    mb.dec_count = 7;
    testing::internal::CaptureStderr();
    hdmi_state_write(h, "hidden");
    hdmi_state_write(h, "live");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "zyl-mpp: hdmi_state=hidden dec=7 shown=0 reopens=0\n"
              "zyl-mpp: hdmi_state=live dec=7 shown=0 reopens=0\n");
    std::string state = read_file(dir + "/state");
    EXPECT_EQ(state.rfind("state=live ts=", 0), 0u) << state;
    EXPECT_NE(state.find(" dec=7 shown=0 reopens=0\n"), std::string::npos) << state;
    EXPECT_FALSE(std::filesystem::exists(dir + "/state.tmp"));
}

TEST(Hotplug, AtMostOnePollPerMonotonicSecond) {
    int64_t last = 0;
    bool started = false;
    EXPECT_FALSE(hotplug_poll_due(5'200'000, &last, &started));  // starts the clock
    EXPECT_FALSE(hotplug_poll_due(5'999'999, &last, &started));
    EXPECT_TRUE(hotplug_poll_due(6'000'000, &last, &started));
    EXPECT_FALSE(hotplug_poll_due(6'900'000, &last, &started));
    EXPECT_TRUE(hotplug_poll_due(7'000'001, &last, &started));
    EXPECT_TRUE(hotplug_poll_due(9'500'000, &last, &started));
}

TEST(Hotplug, MonitorIdentity) {
    KmsOutput o{};
    o.native_w = 1920, o.native_h = 1080, o.native_hz = 60;
    const std::vector<uint8_t> lit = {0, 0xff, 1}, other = {0, 0xff, 2}, none;
    auto seen = [&](bool connected, int nmodes, int w, int h, int hz,
                    const std::vector<uint8_t> &edid, const std::vector<uint8_t> &at_lit) {
        return monitor_seen({connected, nmodes, w, h, hz, edid}, at_lit, o);
    };
    EXPECT_EQ(seen(true, 5, 1920, 1080, 60, lit, lit), MonitorSeen::kSame);
    EXPECT_EQ(seen(false, 5, 1920, 1080, 60, lit, lit), MonitorSeen::kUnplugged);
    EXPECT_EQ(seen(true, 0, 0, 0, 0, none, lit), MonitorSeen::kUnplugged);
    EXPECT_EQ(seen(true, 3, 1280, 720, 60, other, lit), MonitorSeen::kChanged);
    EXPECT_EQ(seen(true, 3, 1920, 1080, 50, lit, lit), MonitorSeen::kChanged);
    // Another monitor with the same first mode; without an EDID on either side (a
    // panel) only the mode tells.
    EXPECT_EQ(seen(true, 5, 1920, 1080, 60, other, lit), MonitorSeen::kChanged);
    EXPECT_EQ(seen(true, 5, 1920, 1080, 60, other, none), MonitorSeen::kSame);
    EXPECT_EQ(seen(true, 5, 1920, 1080, 60, none, lit), MonitorSeen::kSame);
    o.unplugged = 1;
    EXPECT_EQ(seen(true, 5, 1920, 1080, 60, lit, lit), MonitorSeen::kReplugged);
    EXPECT_EQ(seen(true, 3, 1280, 720, 60, other, lit), MonitorSeen::kChanged);
    EXPECT_EQ(seen(true, 5, 1920, 1080, 60, other, lit), MonitorSeen::kChanged);
}

// The Hotplug runs of tests/data/runs.txt.
[[maybe_unused]] const bool kRuns = register_runs("Hotplug.");

}  // namespace
