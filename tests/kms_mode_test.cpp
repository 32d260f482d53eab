// Mode choice over connector records built here: requests, forced standard timings,
// the interlaced clock check, the vc4 size rules and the 60 Hz preference.
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kms/kms.h"

namespace {

drmModeModeInfo mk(int w, int h, int hz, uint32_t clock = 148500, bool interlaced = false) {
    drmModeModeInfo m{};
    m.hdisplay = uint16_t(w);
    m.vdisplay = uint16_t(h);
    m.vrefresh = uint32_t(hz);
    m.clock = clock;
    m.flags = 0x5 | (interlaced ? kModeInterlace : 0);
    return m;
}

drmModeModeInfo mki(int w, int h, int hz, uint32_t clock) {
    return mk(w, h, hz, clock, true);
}

struct Conn {
    std::vector<drmModeModeInfo> modes;
    drmModeConnector c{};
    Conn(std::initializer_list<drmModeModeInfo> list) : modes(list) {
        c.connector_type = DRM_MODE_CONNECTOR_HDMIA;
        c.connection = DRM_MODE_CONNECTED;
        c.modes = modes.data();
        c.count_modes = int(modes.size());
    }
};

struct Pick {
    drmModeModeInfo mode;
    int forced;
    std::string err;
};

Pick pick(const Conn &conn, const char *request, bool vc4 = false, int allow_cea_force = 1) {
    Pick p{};
    testing::internal::CaptureStderr();
    p.mode = choose_mode(&conn.c, request, vc4, allow_cea_force, &p.forced);
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

bool same_mode(const drmModeModeInfo &a, const drmModeModeInfo &b) {
    return a.hdisplay == b.hdisplay && a.vdisplay == b.vdisplay && a.vrefresh == b.vrefresh &&
           a.clock == b.clock && a.flags == b.flags && a.htotal == b.htotal;
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
    Conn c{mk(1920, 1080, 50, 148501), mk(1280, 720, 60), mk(1920, 1080, 60, 148502)};
    Pick p = pick(c, nullptr);
    EXPECT_EQ(60u, p.mode.vrefresh);
    EXPECT_EQ(148502u, p.mode.clock) << "the whole record of the 60 Hz mode is returned";
    EXPECT_EQ(
        "zyl-mpp: auto mode: EDID prefers 1920x1080@50 — driving the advertised @60 instead "
        "(~60 fps source).\n",
        p.err);

    // With 59 and 61 equally near, the higher wins.
    Conn c2{mk(1920, 1080, 50), mk(1920, 1080, 59, 1), mk(1920, 1080, 61, 2)};
    EXPECT_EQ(61u, pick(c2, nullptr).mode.vrefresh);

    // Already 60: no line. An interlaced first mode is kept as it is.
    Conn c3{mk(1920, 1080, 60), mk(1920, 1080, 50)};
    EXPECT_EQ("", pick(c3, nullptr).err);
    Conn c4{mki(1920, 1080, 50, 74250), mk(1920, 1080, 60)};
    p = pick(c4, nullptr);
    EXPECT_TRUE(same_mode(p.mode, c4.modes[0]));
    EXPECT_EQ("", p.err);
    // An unparsable request is an automatic choice.
    EXPECT_EQ(60u, pick(c, "best").mode.vrefresh);
}

TEST(AutoMode, Vc4AvoidsOversizeModes) {
    // Largest progressive mode of the monitor's shape within 1920x1200, then 60 Hz.
    Conn c{mk(3840, 2160, 30, 297000), mk(2560, 1440, 60),         mk(1920, 1200, 60),
           mk(1920, 1080, 50, 1),      mki(1920, 1080, 60, 74250), mk(1920, 1080, 60, 2),
           mk(1280, 720, 60)};
    Pick p = pick(c, nullptr, true);
    EXPECT_EQ(1920, p.mode.hdisplay);
    EXPECT_EQ(1080, p.mode.vdisplay);
    EXPECT_EQ(60u, p.mode.vrefresh);
    EXPECT_EQ(2u, p.mode.clock);
    EXPECT_NE(std::string::npos,
              p.err.find("EDID prefers 1920x1080@50 — driving the advertised @60"));
    // Other drivers drive the monitor's first mode.
    EXPECT_EQ(3840, pick(c, nullptr, false).mode.hdisplay);

    // No mode of that shape: the largest of any kind within 1920x1080.
    Conn odd{mk(4096, 2160, 30), mk(1920, 1200, 60), mki(1680, 1050, 60, 1), mk(1280, 720, 60)};
    p = pick(odd, nullptr, true);
    EXPECT_EQ(1680, p.mode.hdisplay);
    EXPECT_TRUE(p.mode.flags & kModeInterlace);
    // Nothing small enough: the first mode unchanged.
    Conn big{mk(3840, 2160, 30), mk(2560, 1440, 60)};
    EXPECT_EQ(3840, pick(big, nullptr, true).mode.hdisplay);
}

TEST(ProgressiveRequest, ExactNearForcedNearest) {
    Conn c{mk(1920, 1080, 60), mk(1280, 720, 60, 74250), mk(1280, 720, 50, 74251)};
    Pick p = pick(c, "1280x720@50");
    EXPECT_EQ(74251u, p.mode.clock);
    EXPECT_EQ("", p.err);
    // Without a rate the first listed mode of the size.
    EXPECT_EQ(74250u, pick(c, "1280x720").mode.clock);

    // Within 2 Hz: the advertised rate, no forcing.
    p = pick(c, "1920x1080@61");
    EXPECT_EQ(60u, p.mode.vrefresh);
    EXPECT_EQ(0, p.forced);
    EXPECT_EQ(
        "zyl-mpp: no exact 1920x1080@61 — driving the advertised 60 Hz (148500 kHz). A broadcast "
        "switcher may refuse a non-standard rate and show GREEN; try the other field rate if it "
        "does.\n",
        p.err);

    // A standard rate the monitor lacks is forced; the retry without forcing takes the
    // nearest advertised rate.
    p = pick(c, "1920x1080@50");
    EXPECT_TRUE(same_mode(p.mode, cea_modes[0]));
    EXPECT_EQ(1, p.forced);
    EXPECT_EQ("zyl-mpp: display EDID has no 1920x1080@50 — forcing the standard CEA timing.\n",
              p.err);
    p = pick(c, "1920x1080@50", false, 0);
    EXPECT_EQ(60u, p.mode.vrefresh);
    EXPECT_EQ(0, p.forced);
    EXPECT_EQ("zyl-mpp: requested 1920x1080@50 not available — driving 1920x1080@60 instead.\n",
              p.err);

    // A listed mode without a rate matches any request.
    Conn norate{mk(1024, 768, 0, 65000)};
    p = pick(norate, "1024x768@75");
    EXPECT_EQ(65000u, p.mode.clock);
    EXPECT_EQ("", p.err);
}

TEST(ProgressiveRequest, NoModeOfTheSizeFallsBackToAuto) {
    // Only interlaced at that size and no rate: nothing to force, automatic choice.
    Conn c{mk(1280, 720, 50), mki(1920, 1080, 60, 74250), mk(1280, 720, 60)};
    Pick p = pick(c, "1920x1080");
    EXPECT_EQ(1280, p.mode.hdisplay);
    EXPECT_EQ(60u, p.mode.vrefresh);
    EXPECT_EQ(0, p.forced);
    // A size without a standard row is never forced.
    p = pick(c, "1024x768@60");
    EXPECT_EQ(1280, p.mode.hdisplay);
    EXPECT_EQ(0, p.forced);
}

TEST(ProgressiveRequest, Vc4LimitOnlyForProgressive) {
    Conn c{mk(1920, 1080, 60), mk(2560, 1440, 60, 241500)};
    Pick p = pick(c, "2560x1440", true);
    EXPECT_EQ(1920, p.mode.hdisplay);
    EXPECT_EQ(
        "zyl-mpp: requested 2560x1440 exceeds the ~1920x1200 the vc4 HVS can drive — ignoring, "
        "auto-picking instead.\n",
        p.err);
    EXPECT_EQ(2560, pick(c, "2560x1440", false).mode.hdisplay);

    Conn ic{mk(1920, 1080, 60), mki(2560, 1440, 60, 120000)};
    p = pick(ic, "2560x1440i@60", true);
    EXPECT_EQ(2560, p.mode.hdisplay);
    EXPECT_EQ("", p.err);
}

TEST(InterlacedRequest, ClockMustMatchTheStandard) {
    for (uint32_t clock : {74250u, 74176u}) {
        Conn c{mk(1920, 1080, 60), mki(1920, 1080, 60, clock)};
        Pick p = pick(c, "1920x1080i@60");
        EXPECT_EQ(clock, p.mode.clock);
        EXPECT_EQ(0, p.forced);
        EXPECT_EQ("", p.err);
    }

    Conn c{mk(1920, 1080, 60), mki(1920, 1080, 60, 148500)};
    Pick p = pick(c, "1920x1080i@60");
    EXPECT_TRUE(same_mode(p.mode, cea_modes[5]));
    EXPECT_EQ(1, p.forced);
    EXPECT_EQ(
        "zyl-mpp: skipping advertised 1920x1080i@60 at 148500 kHz — the standard is 74250 kHz; an "
        "off-spec clock is what makes a switcher show GREEN.\n"
        "zyl-mpp: no exact 1920x1080i@60 in the EDID — forcing the standard CEA timing (74250 "
        "kHz) so the switcher can lock.\n",
        p.err);

    // Without forcing the skipped mode is still the nearest of its rate.
    p = pick(c, "1920x1080i@60", false, 0);
    EXPECT_EQ(148500u, p.mode.clock);
    EXPECT_TRUE(p.mode.flags & kModeInterlace);
    EXPECT_EQ(0, p.forced);
}

TEST(InterlacedRequest, NearAnyRateAndNoInterlacedModes) {
    Conn c{mk(1920, 1080, 60), mki(1920, 1080, 59, 74176), mki(1920, 1080, 50, 74250)};
    Pick p = pick(c, "1920x1080i@60", false, 0);
    EXPECT_EQ(59u, p.mode.vrefresh);
    EXPECT_EQ(
        "zyl-mpp: no exact 1920x1080i@60 — driving the advertised 59 Hz (74176 kHz). A broadcast "
        "switcher may refuse a non-standard rate and show GREEN; try the other field rate if it "
        "does.\n",
        p.err);

    Conn only60{mk(1920, 1080, 60), mki(1920, 1080, 60, 74250)};
    p = pick(only60, "1920x1080i@50", false, 0);
    EXPECT_EQ(60u, p.mode.vrefresh);
    EXPECT_TRUE(p.mode.flags & kModeInterlace);
    EXPECT_EQ("zyl-mpp: requested 1920x1080i@50 not available — driving 1920x1080i@60 instead.\n",
              p.err);
    // Capital I without a rate: the first interlaced mode, silently.
    p = pick(c, "1920x1080I");
    EXPECT_EQ(59u, p.mode.vrefresh);
    EXPECT_EQ("", p.err);

    // No interlaced modes at all: forced 1080i50; refused, the progressive 50 Hz mode.
    Conn prog{mk(1920, 1080, 60), mk(1920, 1080, 50, 148501)};
    p = pick(prog, "1920x1080i@50");
    EXPECT_TRUE(same_mode(p.mode, cea_modes[4]));
    EXPECT_EQ(1, p.forced);
    p = pick(prog, "1920x1080i@50", false, 0);
    EXPECT_EQ(148501u, p.mode.clock);
    EXPECT_EQ(
        "zyl-mpp: display advertises no interlaced 1920x1080 mode — the switcher must accept "
        "1080i over HDMI; falling back to progressive.\n",
        p.err);
    // No rate asked for: the first progressive mode of the size, not the lowest rate.
    Conn prog50{mk(1920, 1080, 60), mk(1280, 720, 50, 74250), mk(1920, 1080, 50)};
    p = pick(prog50, "1920x1080i");
    EXPECT_EQ(60u, p.mode.vrefresh);
    EXPECT_EQ(0, p.forced);
    EXPECT_EQ(
        "zyl-mpp: display advertises no interlaced 1920x1080 mode — the switcher must accept "
        "1080i over HDMI; falling back to progressive.\n",
        p.err);
    // Not even a progressive mode of the size: automatic choice.
    Conn small{mk(1280, 720, 60, 74250)};
    p = pick(small, "1920x1080i@50", false, 0);
    EXPECT_EQ(1280, p.mode.hdisplay);
}

TEST(PanelModeNotice, OnlyForAnotherSize) {
    drmModeModeInfo panel = mk(800, 480, 60, 33000);
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
