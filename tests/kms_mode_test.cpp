// Mode choice over connector records: requests, forced standard timings, the
// interlaced clock check, the vc4 size rules and the 60 Hz preference.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kms/kms.h"
#include "test_util.h"

namespace {

// "WxH[i]@Hz[/kHz]" as a mode record.
drmModeModeInfo mk(const std::string &text) {
    drmModeModeInfo m{};
    unsigned w = 0, h = 0;
    sscanf(text.c_str(), "%ux%u", &w, &h);
    m.hdisplay = uint16_t(w);
    m.vdisplay = uint16_t(h);
    m.vrefresh = uint32_t(atoi(text.c_str() + text.find('@') + 1));
    size_t slash = text.find('/');
    m.clock = slash == std::string::npos ? 148500 : uint32_t(atoi(text.c_str() + slash + 1));
    m.flags = 0x5 | (text.find('i') != std::string::npos ? kModeInterlace : 0);
    return m;
}

bool same_mode(const drmModeModeInfo &a, const drmModeModeInfo &b) {
    return a.hdisplay == b.hdisplay && a.vdisplay == b.vdisplay && a.vrefresh == b.vrefresh &&
           a.clock == b.clock && a.flags == b.flags && a.htotal == b.htotal;
}

// Runs the picks of one section of tests/data/mode_picks.txt (its format is
// described there).
void run_picks(const std::string &section) {
    std::istringstream in(read_file(std::string(ZYL_SOURCE_DIR) + "/tests/data/mode_picks.txt"));
    std::string line, said, pick_line;
    std::vector<drmModeModeInfo> modes;
    drmModeModeInfo want{};
    bool in_section = false, want_forced = false;
    drmModeConnector c{};
    c.connector_type = DRM_MODE_CONNECTOR_HDMIA;
    c.connection = DRM_MODE_CONNECTED;
    auto check = [&] {
        if (pick_line.empty()) return;
        std::istringstream words(pick_line.substr(5));
        std::string request, word;
        words >> request;
        bool vc4 = false, force = true;
        while (words >> word && word != "->") {
            vc4 |= word == "vc4";
            force &= word != "noforce";
        }
        c.modes = modes.data();
        c.count_modes = int(modes.size());
        int forced = 0;
        testing::internal::CaptureStderr();
        drmModeModeInfo got =
            choose_mode(&c, request == "auto" ? nullptr : request.c_str(), vc4, force, &forced);
        EXPECT_EQ(said, testing::internal::GetCapturedStderr()) << pick_line;
        EXPECT_TRUE(same_mode(want, got)) << pick_line << ": got " << mode_report_line(got);
        EXPECT_EQ(want_forced, forced) << pick_line;
        pick_line.clear();
    };
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') in_section = line == "[" + section + "]";
        if (!in_section || line[0] == '[') continue;
        std::istringstream words(line);
        std::string key, word;
        words >> key;
        if (key == "say") {
            said += line.substr(4) + "\n";
            continue;
        }
        check();
        if (key == "modes") {
            modes.clear();
            while (words >> word) modes.push_back(mk(word));
        } else if (key == "pick") {
            pick_line = line;
            said.clear();
            std::string target = line.substr(line.find("-> ") + 3);
            want = target.rfind("cea", 0) == 0 ? cea_modes[atoi(target.c_str() + 3)] : mk(target);
            want_forced = target.find("forced") != std::string::npos;
        }
    }
    check();
}

}  // namespace

TEST(ModeRequestSyntax, AcceptedFormsAndRejects) {
    ModeRequest r;
    ASSERT_TRUE(parse_mode_request("1920x1080I", &r));
    EXPECT_TRUE(r.interlaced);
    EXPECT_EQ(0, r.hz);
    // Other letters after the height are ignored, and so is text after the rate.
    ASSERT_TRUE(parse_mode_request("1920x1080p@50Hz", &r));
    EXPECT_EQ(1920, r.w);
    EXPECT_EQ(1080, r.h);
    EXPECT_FALSE(r.interlaced);
    EXPECT_EQ(50, r.hz);
    for (const char *bad : {"", "1920", "auto"}) EXPECT_FALSE(parse_mode_request(bad, &r)) << bad;
    EXPECT_FALSE(parse_mode_request(nullptr, &r));
}

TEST(AutoMode, PrefersTheRateNearest60) {
    run_picks("AutoMode.PrefersTheRateNearest60");
}
TEST(AutoMode, Vc4AvoidsOversizeModes) {
    run_picks("AutoMode.Vc4AvoidsOversizeModes");
}
TEST(ProgressiveRequest, ExactNearForcedNearest) {
    run_picks("ProgressiveRequest.ExactNearForcedNearest");
}
TEST(ProgressiveRequest, NoModeOfTheSizeFallsBackToAuto) {
    run_picks("ProgressiveRequest.NoModeOfTheSizeFallsBackToAuto");
}
TEST(ProgressiveRequest, Vc4LimitOnlyForProgressive) {
    run_picks("ProgressiveRequest.Vc4LimitOnlyForProgressive");
}
TEST(InterlacedRequest, ClockMustMatchTheStandard) {
    run_picks("InterlacedRequest.ClockMustMatchTheStandard");
}
TEST(InterlacedRequest, NearAnyRateAndNoInterlacedModes) {
    run_picks("InterlacedRequest.NearAnyRateAndNoInterlacedModes");
}

TEST(PanelModeNotice, OnlyForAnotherSize) {
    drmModeModeInfo panel = mk("800x480@60/33000");
    testing::internal::CaptureStderr();
    panel_mode_notice("1920x1080@60", panel);
    panel_mode_notice("800x480@50", panel);
    panel_mode_notice("", panel);
    panel_mode_notice(nullptr, panel);
    panel_mode_notice("native", panel);
    EXPECT_EQ("zyl-kms: panel mode 1920x1080@60 unsupported — using 800x480@60\n",
              testing::internal::GetCapturedStderr());
}

TEST(ModeReport, LineAndDerivedRefresh) {
    drmModeModeInfo m = cea_modes[1];
    m.vrefresh = 0;
    EXPECT_EQ("1920x1080@60\n", mode_report_line(m));
    EXPECT_EQ("1920x1080i@50\n", mode_report_line(cea_modes[4]));
    m.htotal = 0;
    EXPECT_EQ("1920x1080@0\n", mode_report_line(m));
}
