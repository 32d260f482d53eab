// Which CRTC and video plane a connector gets, from plain plane and encoder lists,
// which plane takes which frames, and drm_init and the copy buffers on the shipped
// virtual boards.

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
}

#include "app/screens.h"
#include "kms/kms.h"
#include "sim/sim.h"
#include "test_util.h"

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

TEST(VideoPlaneChoice, FramesGoWhereTheirFourccAndModifierAreTaken) {
    const uint64_t sand = DRM_FORMAT_MOD_BROADCOM_SAND128_COL_HEIGHT(96);
    const ScanFormat linear{DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR}, tiled{DRM_FORMAT_NV12, sand},
        implicit{DRM_FORMAT_NV12, DRM_FORMAT_MOD_INVALID};
    // A plane without IN_FORMATS: its formats, linear only.
    const PlaneFormats plain{40, false, {{DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR}}};
    // A plane lists the SAND128 family; a frame's modifier carries its column height.
    const PlaneFormats sand_only{41, true, {{DRM_FORMAT_NV12, DRM_FORMAT_MOD_BROADCOM_SAND128}}};
    const PlaneFormats argb{42, true, {{DRM_FORMAT_ARGB8888, DRM_FORMAT_MOD_LINEAR}}};
    EXPECT_TRUE(plane_takes(plain, linear));
    EXPECT_FALSE(plane_takes(plain, tiled));
    EXPECT_TRUE(plane_takes(plain, implicit));  // the driver's own layout: fourcc decides
    EXPECT_FALSE(plane_takes(argb, implicit));

    struct Case {
        PlaneFormats current;
        std::vector<PlaneFormats> free;
        ScanFormat frame;
        FormatRoute route;
        uint32_t plane;
    };
    const Case cases[] = {
        {plain, {sand_only}, linear, FormatRoute::kKeep, 40},
        {plain, {argb, sand_only}, tiled, FormatRoute::kMove, 41},
        {sand_only, {plain}, linear, FormatRoute::kMove, 40},
        {plain, {argb}, tiled, FormatRoute::kGpu, 0},
        {plain, {}, tiled, FormatRoute::kGpu, 0},
        // The plane itself listed among the free ones is no way out.
        {plain, {plain}, tiled, FormatRoute::kGpu, 0},
    };
    for (const Case &c : cases) {
        FormatChoice got = route_frame_format(c.current, c.free, c.frame);
        EXPECT_EQ(c.route, got.route)
            << c.current.plane_id << " mod 0x" << std::hex << c.frame.modifier;
        EXPECT_EQ(c.plane, got.plane_id);
    }
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

TEST(MenuPlaneChoice, OverlayGoesToTheTopOfItsRangeStrictlyAboveTheVideo) {
    const MenuCandidate ranged{1, 100, 2, true, 0, 7}, fixed{2, 101, 3, true, 1, 3};
    EXPECT_EQ(overlay_zpos(ranged, 5), 7u);
    EXPECT_EQ(overlay_zpos(ranged, std::nullopt), 7u);
    EXPECT_EQ(overlay_zpos(ranged, 7), std::nullopt) << "equal is the driver's choice";
    EXPECT_EQ(overlay_zpos(fixed, 2), 3u);
    EXPECT_EQ(overlay_zpos(fixed, 3), std::nullopt);
    EXPECT_EQ(overlay_zpos(MenuCandidate{3, 0, 0, true, 2, 0}, 5), 0u) << "no zpos: as it is";
}

// ---- drm_init on the virtual card, in this process ----

namespace {

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
    // Runs drm_init on a card file; the lines it printed.
    std::string init(const std::string &card) {
        std::string err;
        rc = drm_init_on(card, &err, card_ms);
        return err;
    }
    std::string mode_report() { return read_file(dir + "/run/zyl-fpv/hdmi_mode"); }

    std::string dir;
    int rc = 0;
    const Display &display = test_screens().display;
    int64_t card_ms = -1;  // the card's clock stands at this time; -1: it runs

  public:
    ScenarioStep step();
};

}  // namespace

// A software frame's copy never lands in a buffer a picture on screen still holds, and
// a picture keeps its copy across a change of size.
TEST_F(DrmInit, CopiesGoToBuffersNoPictureHolds) {
    const std::string err = init("two-display");
    ASSERT_EQ(0, rc) << err;
    Display &d = test_screens().display;
    AVFrame *f = av_frame_alloc();
    auto frame_of = [&](int w, int h, uint8_t luma) {
        av_frame_unref(f);
        f->format = AV_PIX_FMT_YUV420P;
        f->width = w;
        f->height = h;
        EXPECT_EQ(0, av_frame_get_buffer(f, 0));
        memset(f->data[0], luma, size_t(f->linesize[0]) * h);
        memset(f->data[1], 0x40, size_t(f->linesize[1]) * (h / 2));
        memset(f->data[2], 0xC0, size_t(f->linesize[2]) * (h / 2));
        return f;
    };
    std::vector<UploadLease> held;
    for (int i = 0; i < UploadPool::kSlots; i++) {
        held.push_back(upload_frame(d.upload, d.card(), *frame_of(64, 48, uint8_t(i + 1))));
        ASSERT_TRUE(held.back());
    }
    EXPECT_FALSE(upload_frame(d.upload, d.card(), *frame_of(64, 48, 9))) << "every slot held";
    for (int i = 0; i < UploadPool::kSlots; i++) {
        const UploadSlot &s = *held[size_t(i)];
        EXPECT_EQ(i + 1, s.px()[s.pitch * 47 + 63]) << "slot " << i << " written while held";
        EXPECT_EQ(0x40, s.px()[s.pitch * 48 + s.pitch * 23 + 62]);  // chroma interleaved
        EXPECT_EQ(0xC0, s.px()[s.pitch * 48 + s.pitch * 23 + 63]);
    }
    held.erase(held.begin() + 1);  // the second picture leaves the screen
    UploadLease next = upload_frame(d.upload, d.card(), *frame_of(64, 48, 7));
    ASSERT_TRUE(next);
    for (const UploadLease &h : held) EXPECT_NE(h, next);
    // A new size: the held copies stay whole, each with its framebuffer.
    UploadLease big = upload_frame(d.upload, d.card(), *frame_of(128, 96, 5));
    ASSERT_TRUE(big);
    EXPECT_EQ(7, next->px()[0]);
    EXPECT_TRUE(next->fb);
    av_frame_free(&f);
}

// What a test sees of an output after drm_init, in one line (tests/data/drm_init.txt).
static std::string describe(const KmsOutput &o) {
    char s[256];
    snprintf(s, sizeof s,
             "%dx%d%s@%u htotal=%d native=%d crtc=%u plane=%u%s menu=%u%s atomic=%d rot=0x%llx "
             "dsi=%d fbprop=%u",
             o.mode.hdisplay, o.mode.vdisplay, o.mode.flags & kModeInterlace ? "i" : "",
             o.mode.vrefresh, o.mode.htotal, o.native_hz, o.crtc_id, o.plane_id,
             o.plane_is_primary ? " primary" : "", o.menu_plane, o.sidebar ? " sidebar" : "",
             o.atomic, static_cast<unsigned long long>(o.rot_mask), o.is_dsi, o.p_fb_id);
    return s;
}

// A framebuffer by what it is to the outputs: "menuI.N", "standbyI", or "off".
static std::string fb_name(const Display &d, uint32_t fb) {
    for (int i = 0; i < d.nout; i++) {
        if (fb && fb == d.outs[i].standby.fb.get()) return "standby" + std::to_string(i);
        for (int n = 0; n < kMenuBuffers; n++)
            if (fb && fb == d.outs[i].menu[n].fb.get())
                return "menu" + std::to_string(i) + "." + std::to_string(n);
    }
    return fb ? "fb" + std::to_string(fb) : "off";
}

// The steps of tests/data/drm_init.txt.
ScenarioStep DrmInit::step() {
    return [this, err = std::string()](const std::string &word, const std::string &rest) mutable {
        std::optional<std::string> printed;
        if (word == "clock") {
            card_ms = std::stoll(rest);
        } else if (word == "board") {
            size_t plus = rest.find(" + ");
            printed = err = init(plus == std::string::npos
                                     ? rest
                                     : board_with(rest.substr(0, plus), rest.substr(plus + 3)));
        } else if (word == "rc") {
            EXPECT_EQ(std::stoi(rest), rc) << err;
            EXPECT_EQ(rc == 0, bool(display.fd)) << "the card open after a success only";
        } else if (word == "outputs") {
            EXPECT_EQ(std::stoi(rest), display.nout);
        } else if (word == "out") {
            int i = std::stoi(rest);
            EXPECT_EQ(rest.substr(2), i < display.nout ? describe(display.outs[i]) : "none");
        } else if (word == "buffers" || word == "fbs") {
            SimCardCounters n = sim_card_counters();
            EXPECT_EQ(std::stoi(rest), word == "fbs" ? n.fbs : n.dumb_buffers);
        } else if (word == "plane" || word == "crtc") {
            uint32_t id = uint32_t(std::stoul(rest));
            SimPlaneInfo p{};
            SimCrtcInfo c{};
            char d[160];
            if (word == "plane" && sim_card_plane_state(id, &p) == 0)
                snprintf(d, sizeof d, "%u fb=%s zpos=%llu format=%.4s src=%ux%u", id,
                         fb_name(display, p.fb).c_str(), (unsigned long long)p.zpos,
                         reinterpret_cast<const char *>(&p.format), p.src_w >> 16, p.src_h >> 16);
            else if (word == "crtc" && sim_card_crtc_state(id, &c) == 0)
                snprintf(d, sizeof d, "%u active=%d %ux%u", id, c.active, c.w, c.h);
            else
                snprintf(d, sizeof d, "%u missing", id);
            EXPECT_EQ(rest, d);
        } else if (word == "png") {
            std::istringstream words(rest);
            std::string connector;
            int x = 0, y = 0;
            words >> connector >> x >> y;
            sim_card_write_pngs(dir.c_str());
            Picture pic = read_png(dir + "/" + connector + ".png");
            char rgb[8] = "none";
            if (x < pic.w && y < pic.h)
                snprintf(rgb, sizeof rgb, "%02X%02X%02X", pic.at(x, y)[0], pic.at(x, y)[1],
                         pic.at(x, y)[2]);
            EXPECT_EQ(rest.substr(rest.rfind(' ') + 1), rgb);
        } else if (word == "report") {
            EXPECT_EQ(rest + "\n", mode_report());
        } else {
            ADD_FAILURE() << "unknown line";
        }
        return printed;
    };
}

// The scenarios of tests/data/drm_init.txt (its format described there), each a test.
[[maybe_unused]] const bool kScenarios =
    register_scenarios<DrmInit>("drm_init.txt", "", "DrmInit", [](DrmInit &t) { return t.step(); });
