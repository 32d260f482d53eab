// Keyframe gate and video hide: the gap rules, the resume and release rules of soft
// and hard gates, the health words, and hiding the video on the virtual card.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/gate.h"
#include "app/health.h"
#include "app/loop.h"
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

class Gate : public testing::Test {
  protected:
    void SetUp() override {
        for (const char *v :
             {"ZYL_KMS_GATE_MS", "ZYL_KMS_HIDE_MS", "ZYL_KMS_GATE_MAX_MS", "ZYL_KMS_STATE",
              "ZYL_KMS_CARD", "ZYL_KMS_CONNECTOR", "ZYL_KMS_MODE", "ZYL_KMS_TESTFILL"})
            unsetenv(v);
        dir = test_dir();
        setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
        gate_arm_ms = hide_ms = gate_max_ms = -1;
        g_wait_key = 0, g_gate_hard = 0, g_gate_since = 0, g_gate_drops = 0;
        g_is_hevc = 0;
        showing_video = 0;
        last_frame_time = kT0;
        // The state file is rewritten at once only for a new word; start from one.
        testing::internal::CaptureStderr();
        hdmi_state_write("test");
        testing::internal::GetCapturedStderr();
    }
    void TearDown() override {
        shown_clear();
        showing_video = 0;
        g_wait_key = 0, g_gate_hard = 0, g_gate_drops = 0;
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
        gap_rules_at(kT0 + ms * kMs);
        return gate_lines(testing::internal::GetCapturedStderr());
    }
    // Passes one frame at `ms` after the last frame; true when it passed. `unit_ms`:
    // its unit's arrival stamp, relative to the last frame like `ms`.
    bool pass_at(int64_t ms, bool key, std::string *err, int64_t unit_ms = INT64_MIN) {
        FramePtr f = frame(key);
        if (unit_ms != INT64_MIN) f->pts = kT0 + unit_ms * kMs;
        testing::internal::CaptureStderr();
        bool passed = gate_pass_at(f.get(), kT0 + ms * kMs);
        *err += gate_lines(testing::internal::GetCapturedStderr());
        return passed;
    }
    int64_t drop_non_key(int n, int64_t ms, std::string *err) {
        int64_t dropped = 0;
        for (int i = 0; i < n; i++) dropped += pass_at(ms, false, err) ? 0 : 1;
        return dropped;
    }

    std::string dir;
};

}  // namespace

TEST_F(Gate, OpenGatePassesEverything) {
    std::string err;
    EXPECT_TRUE(pass_at(10, false, &err));
    EXPECT_EQ("", err);
}

TEST_F(Gate, PauseArmsSoftGateThenKeyframeResumes) {
    showing_video = 1;
    EXPECT_EQ("", gap_at(150));
    EXPECT_EQ("zyl-mpp: gate: armed (gap 200ms, soft)\n", gap_at(200));
    EXPECT_EQ(1, g_wait_key);
    EXPECT_EQ(0, g_gate_hard);
    EXPECT_EQ("gated", state()) << "video still on screen";
    EXPECT_EQ("", gap_at(250)) << "armed once";

    uint64_t total = g_drop_gate;
    std::string err;
    EXPECT_FALSE(pass_at(260, false, &err));
    EXPECT_FALSE(pass_at(280, false, &err));
    EXPECT_TRUE(pass_at(300, true, &err));
    EXPECT_EQ(
        "zyl-mpp: gate: dropping non-key frames after gap\n"
        "zyl-mpp: gate: resumed on keyframe 1280x720 after 2 dropped (100 ms)\n",
        err);
    EXPECT_EQ(total + 2, g_drop_gate);
    EXPECT_EQ(0, g_wait_key);
    EXPECT_EQ(0, g_gate_drops);
    EXPECT_EQ(kT0, last_frame_time) << "gate drops do not move the gap clock";
    EXPECT_TRUE(pass_at(310, false, &err)) << "open again";
}

TEST_F(Gate, SoftGateReleasesOnFirstDropAfter350ms) {
    gate_arm(0, kT0);
    std::string err;
    EXPECT_FALSE(pass_at(350, false, &err));
    EXPECT_EQ(
        "zyl-mpp: gate: dropping non-key frames after gap\n"
        "zyl-mpp: gate: no keyframe after 1 frames / 350 ms — releasing (soft)\n",
        err);
    EXPECT_EQ(0, g_wait_key);
    EXPECT_EQ("hidden", state()) << "no video on screen";
    // The release ends the gap: a pass without a frame right after it arms nothing.
    EXPECT_EQ(kT0 + 350 * kMs, last_frame_time);
    EXPECT_EQ("", gap_at(360));
    EXPECT_TRUE(pass_at(361, false, &err)) << "the next frame passes whatever it is";
}

TEST_F(Gate, PicturesOfUnitsFromBeforeTheGapPassUncounted) {
    // A reordering decoder hands out pictures of units that came before the gap long
    // after the soft gate's time limit: shown, not counted, the gate stays armed.
    showing_video = 1;
    EXPECT_EQ("zyl-mpp: gate: armed (gap 250ms, soft)\n", gap_at(250));
    uint64_t total = g_drop_gate;
    std::string err;
    EXPECT_TRUE(pass_at(1200, false, &err, -40));
    EXPECT_TRUE(pass_at(1210, false, &err, -5));
    EXPECT_EQ(1, g_wait_key);
    EXPECT_EQ(total, g_drop_gate);
    EXPECT_TRUE(pass_at(1240, true, &err, 1190));
    EXPECT_EQ("zyl-mpp: gate: resumed on keyframe 1280x720 after 0 dropped (990 ms)\n", err);

    // A unit that came after the last picture, or one of unknown arrival, is dropped.
    EXPECT_EQ("zyl-mpp: gate: armed (gap 200ms, soft)\n", gap_at(200));
    EXPECT_FALSE(pass_at(210, false, &err, 0));
    EXPECT_FALSE(pass_at(220, false, &err));
    // After a flush or rebuild no older picture is whole.
    gate_arm(1, kT0 + 300 * kMs);
    EXPECT_FALSE(pass_at(310, false, &err, -500));
    EXPECT_EQ(total + 3, g_drop_gate);
}

TEST_F(Gate, HardGateReleasesAtTheFifthDropForH264TheSecondForH265) {
    // H.264: four drops within 2 s, the fifth after it; H.265: one drop, then 300 ms.
    for (auto [hevc, drops, ms, max_ms, line] :
         {std::tuple{0, 4, 2500, 2000, "no keyframe after 5 frames / 2500 ms — releasing (hard)"},
          {1, 1, 300, 300, "no keyframe after 2 frames / 300 ms — releasing (hard)"}}) {
        SetUp();
        g_is_hevc = hevc;
        gate_arm(1, kT0);
        std::string err;
        EXPECT_EQ(drops, drop_non_key(drops, ms - 1, &err));
        EXPECT_EQ(1, g_wait_key);
        EXPECT_EQ(max_ms, gate_max_ms);
        EXPECT_FALSE(pass_at(ms, false, &err));
        EXPECT_EQ(0, g_wait_key);
        EXPECT_EQ(1, count_lines(err, std::string("zyl-mpp: gate: ") + line)) << err;
    }
}

TEST_F(Gate, HundredEightiethDropReleasesAnyGate) {
    setenv("ZYL_KMS_GATE_MAX_MS", "0", 1);  // no time limit: only the frame bound
    gate_arm(1, kT0);
    uint64_t total = g_drop_gate;
    std::string err;
    EXPECT_EQ(179, drop_non_key(179, 60000, &err));
    EXPECT_EQ(1, g_wait_key);
    EXPECT_FALSE(pass_at(60000, false, &err));
    EXPECT_EQ(0, g_wait_key);
    EXPECT_EQ(total + 180, g_drop_gate);
    EXPECT_EQ(1, count_lines(err, "dropping non-key frames after gap")) << "once per gate";
    EXPECT_EQ(1, count_lines(err, "no keyframe after 180 frames / 60000 ms — releasing (hard)"));
}

TEST_F(Gate, SettingsAreReadOnce) {
    setenv("ZYL_KMS_GATE_MS", "50", 1);
    setenv("ZYL_KMS_HIDE_MS", "0", 1);
    EXPECT_EQ("", gap_at(49));
    EXPECT_EQ(50, gate_arm_ms);
    EXPECT_EQ(0, hide_ms);
    EXPECT_EQ("hidden", state()) << "a hide gap of 0 applies at once";
    setenv("ZYL_KMS_GATE_MS", "5000", 1);
    EXPECT_EQ("zyl-mpp: gate: armed (gap 50ms, soft)\n", gap_at(50));
}

// ---- hiding the video on the virtual card ----

namespace {

class Hide : public Gate {
  protected:
    void init(const std::string &board) {
        std::string err;
        ASSERT_EQ(0, drm_init_on(board, &err)) << err;
    }
    // Video on every output, with two kept pictures, as the loop leaves them.
    void show_video() {
        for (bool key : {false, true}) {
            DumbBuffer b{};
            uint32_t fb = 0;
            ASSERT_TRUE(dumb_create(64, 64, &b));
            ASSERT_EQ(0, drmModeAddFB(drm_fd, 64, 64, 24, 32, b.pitch, b.handle, &fb));
            if (b.map) munmap(b.map, b.size);
            shown_hand_over(fb, frame(key));
        }
        for (int i = 0; i < nout; i++) {
            const KmsOutput &o = outs[i];
            Placement whole{{0, 0, o.mode.hdisplay, o.mode.vdisplay}, {0, 0, 64, 64}};
            ASSERT_EQ(0, video_plane_set(o, g_shown.cur.fb, whole));
        }
        showing_video = 1;
    }
    uint32_t plane_fb(int i) {
        SimPlaneInfo p{};
        sim_card_plane_state(outs[i].plane_id, &p);
        return p.fb;
    }
};

}  // namespace

TEST_F(Hide, PrimaryVideoPlaneGetsTheStandbyBufferBack) {
    ASSERT_NO_FATAL_FAILURE(init("rk-vopl-dsi"));
    ASSERT_EQ(1, outs[0].plane_is_primary);
    ASSERT_NO_FATAL_FAILURE(show_video());
    ASSERT_EQ(g_shown.cur.fb, plane_fb(0));
    gap_at(1500);
    EXPECT_EQ(outs[0].standby_fb, plane_fb(0));
    SimPlaneInfo p{};
    sim_card_plane_state(outs[0].plane_id, &p);
    EXPECT_EQ(uint32_t(outs[0].mode.hdisplay) << 16, p.src_w);
    EXPECT_EQ(uint32_t(outs[0].mode.vdisplay), p.crtc_h);
    EXPECT_EQ(0, showing_video);
}
