// Start-up around the display: the per-output settings, and the wait for a card.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gpu/gpu.h"
#include "kms/kms.h"
#include "test_util.h"

TEST(OutputOverrides, PanelTakesItsOwnNonEmptySettings) {
    LookSettings s;
    s.aspect_dsi = "4:3";
    s.fit_dsi = "";  // empty: the global value stays
    s.flip_dsi = "180";
    s.telemetry_dsi = true;

    OutputLook hdmi = output_look(s, 0, false), dsi = output_look(s, 1, true);
    EXPECT_EQ(hdmi.line, "");
    EXPECT_EQ((Look{}), hdmi.look) << "the telemetry switch is the panel's";
    EXPECT_EQ("zyl-mpp: output 1 (DSI) aspect 4:3 fit fit flip 180 (override)", dsi.line);
    EXPECT_EQ((Look{Aspect::k4_3, Fit::kFit, Flip::k180, true}), dsi.look);

    // Without overrides nothing is said; telemetry still follows the panel switch.
    LookSettings plain;
    plain.flip = "v";
    plain.telemetry_dsi = true;
    dsi = output_look(plain, 1, true);
    EXPECT_EQ("", dsi.line);
    EXPECT_EQ((Look{Aspect::kKeep, Fit::kFit, Flip::kV, true}), dsi.look);
}

// ---- the real program on the virtual board ----

TEST(DisplayWait, CardThatAppearsLaterIsDriven) {
    std::string dir = test_dir();
    std::string card = dir + "/late.card";
    // Hand the card over only once the program has said that it waits (or it died).
    std::thread plug([&] {
        for (int i = 0; i < 3000; i++) {
            if (count_lines(read_file(dir + "/stderr.txt"), "no display yet") > 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        write_file(card + ".tmp",
                   read_file(std::string(ZYL_SOURCE_DIR) + "/sim/boards/two-display.card"));
        rename((card + ".tmp").c_str(), card.c_str());
    });
    RunResult r = run_sim({}, {"ZYL_SIM_CARD=" + card, "ZYL_SIM_ROOT=" + dir}, "", dir, 90);
    plug.join();
    EXPECT_EQ(1, count_lines(r.err, "no display yet"));
    size_t appeared = r.err.find("zyl-mpp: driving 2 HDMI output(s)\nzyl-mpp: display appeared\n");
    EXPECT_NE(std::string::npos, appeared) << r.err;
    EXPECT_LT(appeared, r.err.find("zyl-mpp: pacing"));
    EXPECT_EQ(1, count_lines(r.err, "zyl-mpp: HW decoder = "));
}

// The DisplayStartup runs of tests/data/runs.txt.
[[maybe_unused]] static const bool kRuns = register_runs("DisplayStartup.");
