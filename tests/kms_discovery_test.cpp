// Which CRTC and video plane a connector gets, from plain plane and encoder lists,
// and drm_init on the shipped virtual boards.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "kms/kms.h"
#include "sim/sim.h"
#include "test_util.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr int kOverlay = 0, kPrimary = 1, kCursor = 2;

PlaneInfo plane(uint32_t id, uint32_t crtcs, int type, bool nv12 = true) {
    return PlaneInfo{id, crtcs, true, nv12, type};
}

const std::vector<uint32_t> kCrtcs{31, 32, 33};

}  // namespace

TEST(VideoPlaneChoice, OverlayBeatsCursorBeatsPrimaryFallback) {
    std::vector<EncoderInfo> enc{{true, 0b011}};
    // CRTC 0 offers only an NV12 primary; CRTC 1 an overlay besides its primary.
    std::vector<PlaneInfo> planes{plane(40, 0b001, kPrimary), plane(41, 0b010, kPrimary),
                                  plane(42, 0b010, kOverlay, false), plane(43, 0b010, kOverlay),
                                  plane(44, 0b010, kCursor)};
    VideoChoice v = choose_video_plane(enc, kCrtcs, planes, 0, 0);
    EXPECT_EQ(VideoPlaneKind::kOverlay, v.kind);
    EXPECT_EQ(1, v.crtc_idx);
    EXPECT_EQ(32u, v.crtc_id);
    EXPECT_EQ(43u, v.plane_id);
    EXPECT_EQ(3, v.plane_idx);
    EXPECT_EQ(41u, v.primary_id) << "the CRTC's NV12 primary takes the atomic modeset";

    // A cursor-typed NV12 plane on the first CRTC wins over a later CRTC's primary.
    std::vector<PlaneInfo> vop2{plane(50, 0b001, kCursor), plane(51, 0b010, kPrimary)};
    v = choose_video_plane(enc, kCrtcs, vop2, 0, 0);
    EXPECT_EQ(VideoPlaneKind::kCursor, v.kind);
    EXPECT_EQ(0, v.crtc_idx);
    EXPECT_EQ(50u, v.plane_id);
    EXPECT_EQ(0u, v.primary_id);

    // Only primaries: the first CRTC that has one, the primary itself showing video.
    std::vector<PlaneInfo> vopl{plane(60, 0b010, kPrimary), plane(61, 0b001, kPrimary, false)};
    v = choose_video_plane(enc, kCrtcs, vopl, 0, 0);
    EXPECT_EQ(VideoPlaneKind::kPrimaryFallback, v.kind);
    EXPECT_EQ(1, v.crtc_idx);
    EXPECT_EQ(60u, v.plane_id);
    EXPECT_EQ(60u, v.primary_id);
}

TEST(VideoPlaneChoice, ClaimedAndUnusableObjectsAreSkipped) {
    std::vector<EncoderInfo> enc{{true, 0b111}};
    std::vector<PlaneInfo> planes{plane(40, 0b111, kOverlay), plane(41, 0b111, kOverlay)};
    // A second connector: CRTC 0 and plane 0 went to the first.
    VideoChoice v = choose_video_plane(enc, kCrtcs, planes, 0b001, 0b01);
    EXPECT_EQ(1, v.crtc_idx);
    EXPECT_EQ(41u, v.plane_id);
    // Every plane claimed: no choice.
    EXPECT_EQ(VideoPlaneKind::kNone, choose_video_plane(enc, kCrtcs, planes, 0, 0b11).kind);

    // Unreadable planes and planes whose type is unknown are not candidates.
    std::vector<PlaneInfo> odd{PlaneInfo{40, 0b111, false, true, kOverlay},
                               PlaneInfo{41, 0b111, true, true, -1}, plane(42, 0b100, kOverlay)};
    v = choose_video_plane(enc, kCrtcs, odd, 0, 0);
    EXPECT_EQ(2, v.crtc_idx);
    EXPECT_EQ(42u, v.plane_id);

    // Encoders bound the CRTCs; an unreadable encoder is passed over.
    std::vector<EncoderInfo> encs{{false, 0b111}, {true, 0b100}};
    v = choose_video_plane(encs, kCrtcs, planes, 0, 0);
    EXPECT_EQ(2, v.crtc_idx);
    EXPECT_EQ(40u, v.plane_id);

    // No plane list: nothing can show video.
    EXPECT_EQ(VideoPlaneKind::kNone, choose_video_plane(enc, kCrtcs, {}, 0, 0).kind);
}

TEST(MenuPlaneChoice, HighestZposFirstOverlayBeforeOthersNamedPlaneAlone) {
    auto ar24 = [](uint32_t id, int type, uint64_t z, uint32_t crtcs = 0b1) {
        return MenuPlaneInfo{id, crtcs, true, true, type, 100 + id, z};
    };
    std::vector<MenuPlaneInfo> planes{
        ar24(1, kOverlay, 2),
        ar24(2, kCursor, 5),
        ar24(3, kOverlay, 5),
        ar24(4, kPrimary, 9),
        MenuPlaneInfo{5, 0b1, true, false, kOverlay, 105, 7},  // no AR24
        ar24(6, kOverlay, 6, 0b10),                            // another CRTC's
        ar24(7, kCursor, 2),
        MenuPlaneInfo{8, 0b1, true, true, -1, 0, 0},  // properties unreadable
        MenuPlaneInfo{9, 0b1, false, true, kOverlay, 0, 0},
    };
    auto ids = [](const std::vector<MenuCandidate> &c) {
        std::vector<uint32_t> v;
        for (const MenuCandidate &m : c) v.push_back(m.plane_id);
        return v;
    };
    EXPECT_EQ((std::vector<uint32_t>{3, 2, 1, 7}), ids(menu_plane_candidates(planes, 0, 0, 0)));
    // Plane 3 (index 2) is another output's: never offered.
    EXPECT_EQ((std::vector<uint32_t>{2, 1, 7}), ids(menu_plane_candidates(planes, 0, 0b100, 0)));
    // A named plane is the only one tried, whatever its type; it still needs AR24.
    EXPECT_EQ((std::vector<uint32_t>{4}), ids(menu_plane_candidates(planes, 0, 0, 4)));
    EXPECT_EQ((std::vector<uint32_t>{8}), ids(menu_plane_candidates(planes, 0, 0, 8)));
    EXPECT_TRUE(menu_plane_candidates(planes, 0, 0, 5).empty());
    EXPECT_TRUE(menu_plane_candidates(planes, 0, 0, 6).empty());
    std::vector<MenuCandidate> c = menu_plane_candidates(planes, 0, 0, 0);
    EXPECT_EQ(103u, c[0].zpos_prop);
    EXPECT_EQ(2, c[0].index);
    // At most 16 are tried.
    std::vector<MenuPlaneInfo> many;
    for (uint32_t i = 0; i < 20; i++) many.push_back(ar24(i + 1, kOverlay, i));
    c = menu_plane_candidates(many, 0, 0, 0);
    ASSERT_EQ(16u, c.size());
    EXPECT_EQ(16u, c[0].plane_id) << "the 16 first of the list, then sorted";
}

// ---- drm_init on the virtual card, in this process ----

namespace {

// RGB of one pixel of a PNG picture, -1 when it cannot be decoded.
int64_t png_rgb(const std::string &path, int x, int y) {
    Picture pic = read_png(path);
    if (x >= pic.w || y >= pic.h) return -1;
    auto c = pic.at(x, y);
    return c[0] << 16 | c[1] << 8 | c[2];
}

class DrmInit : public testing::Test {
  protected:
    void SetUp() override {
        for (const char *v :
             {"ZYL_KMS_CARD", "ZYL_KMS_CONNECTOR", "ZYL_KMS_EDID_WAIT_MS", "ZYL_KMS_MODE",
              "ZYL_KMS_TESTFILL", "ZYL_SIM_PNG_DIR", "ZYL_KMS_MENU_PLANE"})
            unsetenv(v);
        dir = test_dir();
        setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
    }
    void TearDown() override {
        forget_card();
        unsetenv("ZYL_SIM_ROOT");
    }
    // Runs drm_init on a card file; the lines it printed. With `card_ms` the card's
    // clock stands at that time instead of running.
    std::string init(const std::string &card, int64_t card_ms = -1) {
        forget_card();
        if (card_ms >= 0) sim_card_set_time_ms(card_ms);
        setenv("ZYL_SIM_CARD", card.c_str(), 1);
        testing::internal::CaptureStderr();
        rc = drm_init();
        return testing::internal::GetCapturedStderr();
    }
    // A shipped board with extra lines (faults) added.
    std::string board_with(const std::string &name, const std::string &extra) {
        std::string path = dir + "/" + name + ".card";
        write_file(path, read_file(board_path(name)) + "\n" + extra + "\n");
        return path;
    }
    std::string mode_report() { return read_file(dir + "/run/zyl-fpv/hdmi_mode"); }

    std::string dir;
    int rc = 0;
};

}  // namespace

TEST_F(DrmInit, MonitorAndPanel) {
    std::string err = init(board_path("two-display"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_EQ(
        "zyl-mpp: DRM display card /dev/dri/by-path/platform-gpu-card\n"
        "zyl-mpp: connector HDMI-A-1 connected\n"
        "zyl-mpp: connector → crtc 31 overlay plane 63\n"
        "zyl-mpp: standby /opt/zyl-fpv/standby.png: open failed: No such file or directory\n"
        "zyl-mpp: mode set 1920x1080@60 — 148500 kHz pixel clock\n"
        "zyl-mpp: output 0 menu → ARGB plane 68 (zpos set, double-buffered, probed OK)\n"
        "zyl-mpp: output 0 → crtc 31 plane 63 1920x1080@60\n"
        "zyl-mpp: connector DSI-1 connected\n"
        "zyl-mpp: connector → crtc 53 overlay plane 64\n"
        "zyl-mpp: output 1 (DSI) modeset ATOMICALLY (panel path)\n"
        "zyl-mpp: mode set 800x480@60 — 33300 kHz pixel clock\n"
        "zyl-mpp: output 1 menu → ARGB plane 69 (zpos set, double-buffered, probed OK)\n"
        "zyl-mpp: output 1 → crtc 53 plane 64 800x480@60\n"
        "zyl-mpp: driving 2 HDMI output(s)\n",
        err);
    ASSERT_EQ(2, nout);
    EXPECT_GE(drm_fd, 0);

    // What the lines above say is what later presents use (the video, flip and menu
    // tests show them on screen): legacy calls on the monitor, atomic on the panel, and
    // the overlay plane (the cursor, highest zpos) on its first, transparent buffer,
    // brought above the video.
    const KmsOutput &hdmi = outs[0], &dsi = outs[1];
    EXPECT_EQ(0, hdmi.atomic);
    EXPECT_EQ(1, dsi.atomic);
    EXPECT_EQ(0x35u, hdmi.rot_mask) << "rotate-0, rotate-180, reflect-x, reflect-y";
    SimPlaneInfo menu;
    ASSERT_EQ(0, sim_card_plane_state(68, &menu));
    EXPECT_EQ(hdmi.menu_fb[0], menu.fb);
    EXPECT_EQ(4u, menu.zpos);
    EXPECT_EQ(uint32_t(DRM_FORMAT_ARGB8888), menu.format);

    // The panel's modeset went to the CRTC's primary plane, on the standby buffer.
    SimCrtcInfo crtc;
    ASSERT_EQ(0, sim_card_crtc_state(53, &crtc));
    EXPECT_TRUE(crtc.active);
    EXPECT_EQ(800u, crtc.w);
    SimPlaneInfo primary;
    ASSERT_EQ(0, sim_card_plane_state(62, &primary));
    EXPECT_EQ(dsi.standby_fb, primary.fb);
    EXPECT_EQ(800u << 16, primary.src_w);

    // Only output 0 reports its mode.
    EXPECT_EQ("1920x1080@60\n", mode_report());
}

TEST_F(DrmInit, RefusedOverlayPlanesAreReportedAndTheNextOneTried) {
    std::string err = init(board_with("two-display", "fault plane plane=68 format=AR24"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_EQ(1, count_lines(err,
                             "zyl-mpp: output 0 ARGB plane 68 rejected a linear scan-out "
                             "(Invalid argument) — trying the next candidate"))
        << err;
    EXPECT_EQ(67u, outs[0].menu_plane);
    EXPECT_EQ(6, sim_card_counters().dumb_buffers) << "the refused plane's buffers are gone";

    // A named plane that is refused is the end of it: the sidebar.
    setenv("ZYL_KMS_MENU_PLANE", "68", 1);
    err = init(board_with("two-display", "fault plane plane=68 format=AR24"));
    unsetenv("ZYL_KMS_MENU_PLANE");
    EXPECT_EQ(1, count_lines(err, "ARGB plane 68 rejected"));
    EXPECT_EQ(1, count_lines(err, "zyl-mpp: output 0 menu → primary-plane sidebar fallback"));
    EXPECT_EQ(1, count_lines(err, "zyl-mpp: output 1 menu → primary-plane sidebar fallback"))
        << "plane 68 cannot reach the panel's CRTC";
    EXPECT_EQ(1, outs[0].sidebar);
    EXPECT_EQ(0u, outs[0].menu_plane);

    // A board whose only ARGB window refuses linear buffers.
    err = init(board_path("rk-vop-sidebar"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_NE(std::string::npos,
              err.find("zyl-mpp: output 0 ARGB plane 93 rejected a linear scan-out (Invalid "
                       "argument) — trying the next candidate\n"
                       "zyl-mpp: output 0 menu → primary-plane sidebar fallback\n"))
        << err;
    EXPECT_EQ(1, outs[0].sidebar);
    EXPECT_EQ(1, sim_card_counters().dumb_buffers);
}

TEST_F(DrmInit, PanelRequestsAreIgnoredWithANotice) {
    setenv("ZYL_KMS_MODE", "1280x720@50", 1);
    std::string err = init(board_path("two-display"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_EQ(1280, outs[0].mode.hdisplay);
    EXPECT_EQ(50u, outs[0].mode.vrefresh);
    EXPECT_EQ(800, outs[1].mode.hdisplay);
    EXPECT_EQ(1,
              count_lines(err, "zyl-kms: panel mode 1280x720@50 unsupported — using 800x480@60"));
    EXPECT_EQ("1280x720@50\n", mode_report());
}

TEST_F(DrmInit, RefusedPanelCommitFallsBackToLegacy) {
    std::string err = init(board_with("two-display", "fault atomic_modeset"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_NE(std::string::npos,
              err.find("zyl-mpp: atomic: modeset commit failed: Invalid argument\n"
                       "zyl-mpp: atomic modeset failed — falling back to legacy SetCrtc\n"
                       "zyl-mpp: mode set 800x480@60"))
        << err;
    EXPECT_EQ(0, count_lines(err, "ATOMICALLY"));
    EXPECT_EQ(0, outs[1].atomic);
    EXPECT_EQ(0u, outs[1].p_fb_id);
}

TEST_F(DrmInit, ControllerQuirksChooseTheVideoPlane) {
    std::string err = init(board_path("rk-vop2-hdmi"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_NE(std::string::npos,
              err.find("zyl-mpp: NV12 video plane 94 is CURSOR-typed (VOP2 Esmart win) — using it\n"
                       "zyl-mpp: connector → crtc 70 overlay plane 94\n"));
    EXPECT_EQ(94u, outs[0].plane_id);
    EXPECT_EQ(0, outs[0].plane_is_primary);

    err = init(board_path("rk-vopl-dsi"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_NE(std::string::npos,
              err.find("zyl-mpp: no NV12 overlay plane on any CRTC — driving the primary "
                       "(DSI/VOPL)\n"
                       "zyl-mpp: connector → crtc 100 primary plane 110\n"
                       "zyl-mpp: output 0 (DSI) modeset ATOMICALLY (panel path)\n"));
    EXPECT_EQ(110u, outs[0].plane_id);
    EXPECT_EQ(1, outs[0].plane_is_primary);
    EXPECT_EQ(1, outs[0].atomic);
    EXPECT_EQ(0x21u, outs[0].rot_mask) << "rotate-0 and reflect-y only";
    EXPECT_EQ("720x1280@60\n", mode_report()) << "output 0 reports whatever its connector";
}

TEST_F(DrmInit, MonitorPreferring50HzIsDrivenAt60) {
    std::string err = init(board_path("vc4-hdmi-50-then-60"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_NE(std::string::npos,
              err.find("zyl-mpp: auto mode: EDID prefers 1920x1080@50 — driving the advertised @60 "
                       "instead (~60 fps source).\n"));
    EXPECT_EQ(2200, outs[0].mode.htotal) << "the 60 Hz mode's own timings";
    EXPECT_EQ(50, outs[0].native_hz) << "the monitor is known by its first mode";
    EXPECT_EQ("1920x1080@60\n", mode_report());
}

TEST_F(DrmInit, FiveMonitorsGiveFourOutputsEachWithItsOwnCrtcAndPlane) {
    setenv("ZYL_KMS_TESTFILL", "", 1);
    setenv("ZYL_KMS_MODE", "1280x720@50", 1);  // not listed: a standard timing is forced
    std::string err = init(board_path("five-monitors"));
    ASSERT_EQ(0, rc) << err;
    ASSERT_EQ(4, nout);
    EXPECT_EQ(0, count_lines(err, "HDMI-A-5"));
    EXPECT_EQ(4, count_lines(err, "(CEA-forced, not in EDID)"));
    EXPECT_EQ(1, count_lines(err, "zyl-mpp: driving 4 HDMI output(s)"));
    const uint32_t crtcs[] = {100, 110, 120, 130}, planes[] = {201, 204, 207, 210};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(crtcs[i], outs[i].crtc_id);
        EXPECT_EQ(planes[i], outs[i].plane_id);
        EXPECT_EQ(1280, outs[i].mode.hdisplay);
        EXPECT_EQ(1980, outs[i].mode.htotal) << "the standard 720p50 timing";
    }
    EXPECT_NE(std::string::npos, err.find("zyl-mpp: output 3 → crtc 130 plane 210 1280x720@50 "
                                          "(CEA-forced, not in EDID)\n"));

    // Test colours by output number, as the monitors show them.
    EXPECT_EQ(1, count_lines(err, "zyl-mpp: TESTFILL output 1 = 0xFF0000 (1280x720)"));
    ASSERT_EQ(4, sim_card_write_pngs(dir.c_str()));
    const char *names[] = {"HDMI-A-1", "HDMI-A-2", "HDMI-A-3", "HDMI-A-4"};
    const int64_t colours[] = {0x0000FF, 0xFF0000, 0x00FF00, 0x0000FF};
    for (int i = 0; i < 4; i++) {
        std::string png = dir + "/" + names[i] + ".png";
        EXPECT_EQ(colours[i], png_rgb(png, 0, 0)) << names[i];
        EXPECT_EQ(colours[i], png_rgb(png, 1279, 719)) << names[i];
    }
}

TEST_F(DrmInit, ConnectorFilter) {
    setenv("ZYL_KMS_CONNECTOR", "HDMI", 1);
    std::string err = init(board_path("two-display"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_EQ(1, nout);
    EXPECT_EQ(0, count_lines(err, "DSI-1"));

    setenv("ZYL_KMS_CONNECTOR", "DSI", 1);
    err = init(board_path("two-display"));
    ASSERT_EQ(1, nout);
    EXPECT_EQ(1, outs[0].is_dsi);
    EXPECT_EQ("800x480@60\n", mode_report());

    setenv("ZYL_KMS_CONNECTOR", "DP", 1);
    err = init(board_path("two-display"));
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(0, nout);
    EXPECT_EQ(-1, drm_fd);
    EXPECT_NE(std::string::npos, err.find("zyl-mpp: no usable connected output\n"));
}

TEST_F(DrmInit, CardChoice) {
    std::string err = init(board_path("card-choice"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_EQ(0u, err.find("zyl-mpp: DRM display card /dev/dri/card1\n"))
        << "the connector-less node is passed over";

    setenv("ZYL_KMS_CARD", "/dev/dri/card0", 1);
    err = init(board_path("card-choice"));
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(-1, drm_fd);
    EXPECT_EQ("zyl-mpp: no DRM display card with connectors\n", err);
}

TEST_F(DrmInit, RefusedForcedTimingFallsBackToTheAdvertisedMode) {
    setenv("ZYL_KMS_MODE", "1920x1080i@50", 1);
    std::string err = init(board_path("hdmi-progressive"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_NE(std::string::npos,
              err.find("zyl-mpp: no exact 1920x1080i@50 in the EDID — forcing the standard CEA "
                       "timing (74250 kHz) so the switcher can lock.\n"
                       "zyl-mpp: connector → crtc 31 overlay plane 63\n"))
        << err;
    EXPECT_NE(std::string::npos,
              err.find("zyl-mpp: SetCrtc(crtc 31, 1920x1080@50): Invalid argument\n"
                       "zyl-mpp: display advertises no interlaced 1920x1080 mode — the switcher "
                       "must accept 1080i over HDMI; falling back to progressive.\n"
                       "zyl-mpp: forced CEA timing rejected — falling back to advertised "
                       "1920x1080@50\n"
                       "zyl-mpp: mode set 1920x1080@50 — 148500 kHz pixel clock\n"
                       "zyl-mpp: output 0 menu → ARGB plane 65 (zpos set, double-buffered, "
                       "probed OK)\n"
                       "zyl-mpp: output 0 → crtc 31 plane 63 1920x1080@50\n"))
        << err;
    EXPECT_FALSE(outs[0].mode.flags & kModeInterlace);
    EXPECT_EQ("1920x1080@50\n", mode_report());
    SimCardCounters n = sim_card_counters();
    EXPECT_EQ(3, n.dumb_buffers) << "the refused attempt's buffer was released";
    EXPECT_EQ(3, n.fbs) << "the standby buffer and the two overlay buffers";

    // The advertised mode refused too: no third attempt, the connector is skipped.
    err = init(board_with("hdmi-progressive", "fault mode mode=1920x1080@50"));
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(2, count_lines(err, "zyl-mpp: SetCrtc(crtc 31"));
    EXPECT_EQ(1, count_lines(err, "forced CEA timing rejected"));
    EXPECT_EQ(0, sim_card_counters().dumb_buffers);
}

TEST_F(DrmInit, WaitsForALateEdid) {
    setenv("ZYL_KMS_EDID_WAIT_MS", "20000", 1);
    std::string err = init(board_path("hdmi-edid-late"));
    ASSERT_EQ(0, rc) << err;
    EXPECT_EQ(1, count_lines(err,
                             "zyl-mpp: 1 connected output(s) have no EDID yet — waiting up "
                             "to 20000 ms"));
    EXPECT_EQ(1, count_lines(err, "zyl-mpp: EDID wait finished after "));
    EXPECT_EQ(1920, outs[0].mode.hdisplay);

    // Without the wait the monitor has no modes yet and is passed over. The card's
    // clock stays before the 600 ms, however long the probe takes on a busy machine.
    setenv("ZYL_KMS_EDID_WAIT_MS", "0", 1);
    err = init(board_path("hdmi-edid-late"), 0);
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(0, count_lines(err, "EDID"));
    EXPECT_EQ(1, count_lines(err, "zyl-mpp: no usable connected output"));
}
