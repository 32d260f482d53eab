// Keyframe gate and video hide: the gap rules, the resume and release rules of soft
// and hard gates, the health words, and hiding the video on the virtual card.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/config.h"
#include "app/gate.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/screens.h"
#include "app/mailbox.h"
#include "app/shown.h"
#include "decode/decode.h"
#include "kms/kms.h"
#include "kms/present.h"
#include "sim/sim.h"
#include "tests/test_util.h"

extern "C" {
#include <libavutil/frame.h>
}

TEST(GapRules, ReaderArmedGateAndHideGap) {
    // Armed by the reader before the arming gap: not armed again, its word still written.
    GapStep s = gap_decide(100, 200, 1500, true, false);
    EXPECT_FALSE(s.arm);
    EXPECT_STREQ("hidden", s.gate_word);
    EXPECT_STREQ("gated", gap_decide(100, 200, 1500, true, true).gate_word);
    // Past the hide gap with nothing on screen: "hidden" again, nothing more to hide.
    s = gap_decide(5000, 200, 1500, true, false);
    EXPECT_FALSE(s.hide);
    EXPECT_TRUE(s.hidden);
    // A hide gap of 0 or less hides at the first iteration without a frame.
    for (int64_t h : {0, -5}) EXPECT_TRUE(gap_decide(0, 200, h, false, true).hide) << h;
}

// ---- the gate and the gap rules as the loop calls them, with the clock given ----

namespace {

constexpr int64_t kMs = 1000;
constexpr int64_t kT0 = 100000 * kMs;  // the last frame, on the monotonic clock

FramePtr frame(bool key, int w = 1280, int h = 720) {
    FramePtr f(av_frame_alloc());  // no pts: nothing known of its unit's arrival
    f->width = w;
    f->height = h;
    if (key) f->flags |= AV_FRAME_FLAG_KEY;
    return f;
}

class GateScenario : public testing::Test {
  protected:
    void SetUp() override {
        for (const char *v :
             {"ZYL_KMS_GATE_MS", "ZYL_KMS_HIDE_MS", "ZYL_KMS_GATE_MAX_MS", "ZYL_KMS_STATE",
              "ZYL_KMS_CARD", "ZYL_KMS_CONNECTOR", "ZYL_KMS_MODE", "ZYL_KMS_TESTFILL"})
            unsetenv(v);
        dir = test_dir();
        setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
        test_screens().showing_video = false;
        test_screens().stream = &mb.stream;
        gate_.last_frame_us = kT0;
        // The state file is rewritten at once only for a new word; start from one.
        testing::internal::CaptureStderr();
        hdmi_state_write(health, "test");
        testing::internal::GetCapturedStderr();
    }
    void TearDown() override {
        test_screens().showing_video = false;
        test_screens().stream = nullptr;
        forget_card();
        unsetenv("ZYL_SIM_ROOT");
    }
    // The word in the state file.
    std::string state() {
        std::string s = read_file(dir + "/run/zyl-fpv/hdmi_state");
        return s.size() > 6 ? s.substr(6, s.find(' ') - 6) : s;
    }
    // The gate's own lines (state lines depend on what was written before).
    static std::string gate_lines(const std::string &err) {
        std::istringstream in(err);
        std::string out;
        for (std::string line; std::getline(in, line);)
            if (line.find("gate:") != std::string::npos) out += line + "\n";
        return out;
    }
    std::string gap_at(int64_t ms) {
        testing::internal::CaptureStderr();
        gap_rules_at(gate_, health, test_screens(), kT0 + ms * kMs);
        return gate_lines(testing::internal::GetCapturedStderr());
    }
    // Passes one frame at `ms` after the last frame; true when it passed. `unit_ms`:
    // its unit's arrival stamp, relative to the last frame like `ms`.
    bool pass_at(int64_t ms, bool key, std::string *err, int64_t unit_ms = INT64_MIN) {
        FramePtr f = frame(key);
        if (unit_ms != INT64_MIN) f->pts = kT0 + unit_ms * kMs;
        testing::internal::CaptureStderr();
        bool passed = gate_pass_at(gate_, health, test_screens(), f.get(), kT0 + ms * kMs);
        *err += gate_lines(testing::internal::GetCapturedStderr());
        return passed;
    }
    // The gate as a line of tests/data/gate.txt.
    std::string gate() {
        char s[200];
        snprintf(
            s, sizeof s,
            "wait_key=%d hard=%d drops=%lld dropped=%llu max=%lld arm=%lld hide=%lld last=%lld",
            int(gate_.wait_key), int(gate_.hard), (long long)gate_.drops,
            (unsigned long long)mb.drop_gate, (long long)gate_.max_ms, (long long)gate_.arm_ms,
            (long long)gate_.hide_ms, (long long)((gate_.last_frame_us - kT0) / kMs));
        return s;
    }

  public:
    // The steps of tests/data/gate.txt.
    ScenarioStep step() {
        return [this, lines = std::string(), configured = false](const std::string &word,
                                                                 const std::string &rest) mutable {
            std::istringstream words(rest);
            std::string kind, from, result;
            int64_t ms = 0, unit = INT64_MIN, n = 1;
            words >> ms >> kind;
            if (word == "showing" || word == "hevc") {
                if (word == "showing")
                    test_screens().showing_video = true;
                else
                    mb.stream.hevc = true;
                return std::optional<std::string>();
            }
            // As start-up does once the stream's codec is known.
            if (!configured) gate_configure(gate_, config_read().gate, mb.stream.hevc);
            configured = true;
            if (word == "arm" || word == "gap") {
                lines.clear();
                if (word == "gap") return std::optional(gap_at(ms));
                gate_arm(gate_, rest[0] == 'h', kT0 + std::stoll(rest.substr(5)) * kMs);
            } else if (word == "pass") {
                for (std::string w; words >> w && w != "->";)
                    w == "from" ? void(words >> unit) : void(n = std::stoll(w.substr(1)));
                words >> result;
                for (int i = 0; i < n; i++)
                    EXPECT_EQ(result == "passed", pass_at(ms, kind == "key", &lines, unit)) << i;
                return std::optional(lines);
            } else if (word == "state") {
                EXPECT_EQ(rest, state());
            } else if (word == "gate") {
                EXPECT_EQ(rest, gate());
            } else {
                ADD_FAILURE() << "unknown line";
            }
            return std::optional<std::string>();
        };
    }

  protected:
    std::string dir;
    Gate gate_;
    Mailbox mb;  // its counters are the state file's
    Health health{{}, mb};
};

}  // namespace

// The scenarios of tests/data/gate.txt, each a test from the state SetUp leaves.
[[maybe_unused]] const bool kScenarios = register_scenarios<GateScenario>(
    "gate.txt", "", "Gate", [](GateScenario &t) { return t.step(); });

// ---- hiding the video on the virtual card ----

namespace {

class Hide : public GateScenario {
  protected:
    void init(const std::string &board) {
        std::string err;
        ASSERT_EQ(0, drm_init_on(board, &err)) << err;
    }
    // Video on every output, with two kept pictures, as the loop leaves them.
    void show_video() {
        const int card = display().card();
        for (bool key : {false, true}) {
            DumbBuffer b = dumb_create(card, 64, 64);
            uint32_t fb = 0;
            ASSERT_TRUE(b.handle);
            ASSERT_EQ(0, drmModeAddFB(card, 64, 64, 24, 32, b.pitch, b.handle.release(), &fb));
            FbId owned(fb, card);
            shown_hand_over(shown(), frame(key), {&owned, 1});
        }
        for (const KmsOutput &o : display().outputs()) {
            Placement whole{{0, 0, o.mode.hdisplay, o.mode.vdisplay}, {0, 0, 64, 64}};
            ASSERT_EQ(0, video_plane_set(o, shown_newest(shown()).fb.get(), whole));
        }
        test_screens().showing_video = true;
    }
    uint32_t plane_fb(int i) {
        SimPlaneInfo p{};
        sim_card_plane_state(display().outs[i].plane_id, &p);
        return p.fb;
    }
    static Display &display() { return test_screens().display; }
    static ShownPictures &shown() { return test_screens().shown; }
};

}  // namespace

TEST_F(Hide, PrimaryVideoPlaneGetsTheStandbyBufferBack) {
    ASSERT_NO_FATAL_FAILURE(init("rk-vopl-dsi"));
    const KmsOutput &o = display().outs[0];
    ASSERT_EQ(1, o.plane_is_primary);
    ASSERT_NO_FATAL_FAILURE(show_video());
    ASSERT_EQ(shown_newest(shown()).fb.get(), plane_fb(0));
    gap_at(1500);
    EXPECT_EQ(o.standby.fb.get(), plane_fb(0));
    SimPlaneInfo p{};
    sim_card_plane_state(o.plane_id, &p);
    EXPECT_EQ(uint32_t(o.mode.hdisplay) << 16, p.src_w);
    EXPECT_EQ(uint32_t(o.mode.vdisplay), p.crtc_h);
    EXPECT_FALSE(test_screens().showing_video);
}
