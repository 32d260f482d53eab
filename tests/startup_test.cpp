// Start-up: the settings rules and their lines, the decoder preparation with its
// exit statuses, the font candidates, and "--caps".
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/avlog.h"
#include "app/settings.h"
#include "app/startup.h"
#include "decode/decode.h"
#include "gpu/gpu.h"
#include "overlay/overlay.h"
#include "tests/test_util.h"

// Settings and environment are process-wide: ctest runs every test in a process of
// its own, as the receiver reads them once per process.
namespace {

std::string settings_lines(bool interlaced = false) {
    testing::internal::CaptureStderr();
    read_settings(interlaced);
    return testing::internal::GetCapturedStderr();
}

TEST(Settings, DefaultsAndTheirLines) {
    EXPECT_EQ(settings_lines(),
              "zyl-mpp: pacing vblank (smooth) (ZYL_SMOOTH=unset→on)\n"
              "zyl-mpp: fit fit\n"
              "zyl-mpp: aspect keep\n"
              "zyl-mpp: flip none (rot 0x0)\n"
              "zyl-mpp: dewarp off (k=-0.150/0.000/0.000 center=0.50,0.50 strength=1.00 "
              "zoom=1.00)\n");
    EXPECT_EQ(g_hotplug_on, 1);
    EXPECT_EQ(g_smooth, 1);
    EXPECT_EQ(g_antiflicker, 0);
    EXPECT_EQ(g_aspect_dsi, nullptr);
    EXPECT_EQ(g_colorgrade, 0);
    EXPECT_FLOAT_EQ(g_lut_mix, 1.0f);
}

TEST(Settings, EveryLineInItsOrder) {
    setenv("ZYL_KMS_HOTPLUG", "0", 1);
    setenv("ZYL_SMOOTH", "0", 1);
    setenv("ZYL_KMS_FIT", "cover", 1);
    setenv("ZYL_KMS_ASPECT", "16:9", 1);
    setenv("ZYL_KMS_FLIP", "180", 1);
    setenv("ZYL_KMS_DEWARP", "1abc", 1);
    setenv("ZYL_KMS_DEWARP_K2", "0.25xyz", 1);
    EXPECT_EQ(settings_lines(true),
              "zyl-mpp: monitor-swap detection OFF (ZYL_KMS_HOTPLUG=0)\n"
              "zyl-mpp: interlaced output → GPU anti-flicker filter ON\n"
              "zyl-mpp: pacing show-on-arrival (ZYL_SMOOTH=0)\n"
              "zyl-mpp: fit cover\n"
              "zyl-mpp: aspect 16:9\n"
              "zyl-mpp: flip 180 (rot 0x4)\n"
              "zyl-mpp: dewarp ON (k=-0.150/0.250/0.000 center=0.50,0.50 strength=1.00 "
              "zoom=1.00)\n");
}

TEST(Settings, SwitchesLookOnlyAtTheFirstCharacter) {
    setenv("ZYL_SMOOTH", "", 1);
    setenv("ZYL_KMS_HOTPLUG", "", 1);
    setenv("ZYL_KMS_CG_ENABLE", "10", 1);
    setenv("ZYL_KMS_TELEMETRY_DSI", "yes", 1);
    std::string err = settings_lines();
    EXPECT_EQ(g_smooth, 1);
    EXPECT_NE(err.find("zyl-mpp: pacing vblank (smooth) (ZYL_SMOOTH=)\n"), std::string::npos);
    EXPECT_EQ(g_hotplug_on, 1);
    EXPECT_EQ(g_colorgrade, 1);
    EXPECT_EQ(g_telem_dsi, 0);
    setenv("ZYL_KMS_HOTPLUG", "off", 1);
    settings_lines();
    EXPECT_EQ(g_hotplug_on, 1) << "only a leading '0' switches it off";
    setenv("ZYL_SMOOTH", "phase", 1);
    err = settings_lines();
    EXPECT_EQ(g_smooth, 1);
    EXPECT_EQ(g_smooth_phase, 1);
    EXPECT_NE(
        err.find("zyl-mpp: pacing vblank phase (smooth, no reserve frame) (ZYL_SMOOTH=phase)\n"),
        std::string::npos);
    setenv("ZYL_SMOOTH", "1", 1);
    settings_lines();
    EXPECT_EQ(g_smooth_phase, 0);
}

TEST(Settings, AntiflickerOverridesTheModeBothWays) {
    setenv("ZYL_KMS_ANTIFLICKER", "0", 1);
    std::string err = settings_lines(true);
    EXPECT_EQ(g_antiflicker, 0);
    EXPECT_EQ(err.find("anti-flicker"), std::string::npos);
    setenv("ZYL_KMS_ANTIFLICKER", "1", 1);
    err = settings_lines(false);
    EXPECT_EQ(g_antiflicker, 1);
    EXPECT_NE(err.find("anti-flicker filter ON"), std::string::npos);
}

TEST(Settings, FlipTextIsKeptButOnlyExactWordsRotate) {
    for (auto [text, rot] :
         {std::pair{"h", 0x11}, {"v", 0x21}, {"180", 0x4}, {"H", 0}, {"hflip", 0}, {"none", 0}}) {
        setenv("ZYL_KMS_FLIP", text, 1);
        std::string err = settings_lines();
        EXPECT_STREQ(g_flip, text);
        EXPECT_EQ(g_rot_val, uint64_t(rot)) << text;
    }
}

TEST(Settings, NumbersAreLenient) {
    setenv("ZYL_KMS_DEWARP_K1", "", 1);
    setenv("ZYL_KMS_DEWARP_ZOOM", "abc", 1);
    setenv("ZYL_KMS_CG_SAT", "1.5e0", 1);
    settings_lines();
    EXPECT_FLOAT_EQ(g_dw_k1, 0.0f) << "set but empty is 0, not the default";
    EXPECT_FLOAT_EQ(g_dw_zoom, 0.0f);
    EXPECT_FLOAT_EQ(g_cg_sat, 1.5f);
    EXPECT_FLOAT_EQ(g_dw_k2, 0.0f);
}

TEST(Settings, RawDsiValuesAndTheLutPath) {
    setenv("ZYL_KMS_FIT_DSI", "", 1);
    setenv("ZYL_KMS_FLIP_DSI", "h", 1);
    setenv("ZYL_KMS_CG_ENABLE", "0", 1);
    std::string long_path(600, 'x');
    setenv("ZYL_KMS_LUT", long_path.c_str(), 1);
    settings_lines();
    ASSERT_NE(g_fit_dsi, nullptr);
    EXPECT_STREQ(g_fit_dsi, "");
    EXPECT_STREQ(g_flip_dsi, "h");
    EXPECT_EQ(g_aspect_dsi, nullptr);
    EXPECT_EQ(std::string(g_lut_path), long_path.substr(0, 511));
    EXPECT_EQ(g_colorgrade, 1) << "a LUT turns the colour grade on";
}

TEST(DisplayWait, BackOffGrowsToFiveSeconds) {
    int expected[] = {500, 1000, 1500, 2000, 2500, 3000, 3500, 4000, 4500, 5000, 5000, 5000};
    for (int i = 0; i < 12; i++) EXPECT_EQ(display_retry_delay_ms(i), expected[i]) << i;
    EXPECT_EQ(display_retry_delay_ms(1000), 5000);
}

struct Prepared {
    int status;
    std::string err;
    ReaderArgs ra;
};

Prepared prepare(const char *name) {
    if (name)
        setenv("ZYL_KMS_DECODER", name, 1);
    else
        unsetenv("ZYL_KMS_DECODER");
    Prepared p{};
    testing::internal::CaptureStderr();
    p.status = prepare_decoder(&p.ra);
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

void release(Prepared &p) {
    av_parser_close(p.ra.parser);
    avcodec_free_context(&p.ra.avctx);
}

TEST(Decoder, NamesOpenedWithTheirFlagsOrEndWithStatusOne) {
    struct Case {
        const char *name;
        int status;
        const char *err;
        int hevc;
    };
    const Case cases[] = {
        {nullptr, 0, "zyl-mpp: HW decoder = h264_v4l2m2m (h264)\n", 0},
        {"hevc_v4l2m2m", 0, "zyl-mpp: HW decoder = hevc_v4l2m2m (h265)\n", 1},
        {"hevc_rkmpp", 0, "zyl-mpp: HW decoder = hevc_rkmpp (h265)\n", 1},
        {"nosuch_decoder", 1, "zyl-mpp: nosuch_decoder decoder missing\n", 0},
        // A decoder that exists but whose codec libavcodec has no parser for.
        {"aasc", 1, "zyl-mpp: HW decoder = aasc (h264)\nzyl-mpp: no bitstream parser for aasc\n",
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "default");
        Prepared p = prepare(c.name);
        EXPECT_EQ(p.status, c.status);
        EXPECT_EQ(p.err, c.err);
        if (c.status) continue;
        EXPECT_EQ(g_is_hevc, c.hevc);
        EXPECT_TRUE(avcodec_is_open(p.ra.avctx));
        EXPECT_EQ(p.ra.deferred_open, 0);
        EXPECT_NE(p.ra.parser, nullptr);
        EXPECT_EQ(p.ra.avctx->hw_device_ctx, nullptr) << "only \"hevc\" needs a DRM device";
        EXPECT_TRUE(p.ra.avctx->flags & AV_CODEC_FLAG_LOW_DELAY);
        EXPECT_TRUE(p.ra.avctx->flags2 & AV_CODEC_FLAG2_FAST);
        EXPECT_EQ(!(p.ra.avctx->flags2 & AV_CODEC_FLAG2_SHOW_ALL), bool(c.hevc)) << "show all";
        release(p);
    }
}

TEST(Decoder, PlainHevcIsDeferredWithItsDrmDevice) {
    unsetenv("ZYL_KMS_DRM_DEVICE");
    Prepared p = prepare("hevc");
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.err,
              "zyl-mpp: HW decoder = hevc (h265)\n"
              "zyl-mpp: HEVC via v4l2-request DRM hwaccel (device auto)\n");
    EXPECT_EQ(p.ra.deferred_open, 1);
    EXPECT_FALSE(avcodec_is_open(p.ra.avctx));
    EXPECT_NE(p.ra.avctx->hw_device_ctx, nullptr);
    release(p);

    setenv("ZYL_KMS_DRM_DEVICE", "/dev/dri/renderD128", 1);
    p = prepare("hevc");
    EXPECT_NE(p.err.find("(device /dev/dri/renderD128)"), std::string::npos) << p.err;
    release(p);
}

TEST(Decoder, NoDrmDeviceForHevcEndsWithStatusOne) {
    setenv("ZYL_SIM_DRM_DEVICE_FAIL", "1", 1);
    Prepared p = prepare("hevc");
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("zyl-mpp: DRM hwdevice create failed (needed for v4l2-request HEVC)\n"),
              std::string::npos)
        << p.err;
}

TEST(Decoder, OpenFailureThroughTheProgram) {
    std::string dir = test_dir();
    std::string card = "ZYL_SIM_CARD=" + board_path("hdmi-progressive.card");
    RunResult r = run_sim({}, {card, "ZYL_SIM_DEC_FAIL_OPEN=1"}, "", dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines(r.err, "zyl-mpp: open codec failed"), 1) << r.err;
    // The deferred HEVC open fails once the parameter sets are in: that ends the
    // input, not the process, which ends as at any end of input.
    r = run_sim({}, {card, "ZYL_SIM_DEC_FAIL_OPEN=1", "ZYL_KMS_DECODER=hevc"},
                stream_path("hevc.h265"), dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.err, "zyl-mpp: deferred HEVC open failed"), 1) << r.err;
    EXPECT_EQ(count_lines(r.err, "HEVC decoder opened"), 0);
    EXPECT_EQ(count_lines(r.err, "zyl-mpp: hdmi_state=live"), 0);
}

TEST(AvLog, OneLineAKindThenASummaryEveryTenSeconds) {
    EXPECT_EQ(avlog_key("error while decoding MB 12 3, bytestream -45"),
              "error while decoding MB # #, bytestream -#");
    AvLogKind k{avlog_key("MB 1"), 0, 0, 0};
    EXPECT_EQ(avlog_step(&k, true, "MB 1", 1000), "MB 1");
    for (int i = 2; i < 100; i++) EXPECT_EQ(avlog_step(&k, false, "MB", 1000 + i * 100), "");
    // 98 held back within 10 s; the next one, 10 s after the first, is summed up with them.
    EXPECT_EQ(avlog_step(&k, false, "MB 100", 11000), "99 more like: MB 100");
    EXPECT_EQ(avlog_step(&k, false, "MB 101", 20999), "");
    EXPECT_EQ(avlog_step(&k, false, "MB 102", 21000), "2 more like: MB 102");
}

TEST(Caps, AnswersWithoutDisplayOrDecoder) {
    std::string dir = test_dir();
    // A decoder that cannot be found proves nothing was looked up.
    RunResult r = run_sim({"--caps", "ignored"}, {"ZYL_KMS_DECODER=nosuch"}, "", dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "caps gles=1 encode=0\n");
    EXPECT_EQ(r.err, "");
}

TEST(Font, FirstCandidateThatOpensWins) {
    ASSERT_EQ(FT_Init_FreeType(&g_ft), 0);
    std::string dir = test_dir();
    std::string not_a_font = dir + "/bogus.ttf";
    write_file(not_a_font, "not a font");
    const char *bad[] = {nullptr, "", "/nonexistent/font.ttf", not_a_font.c_str()};
    EXPECT_EQ(font_open_first(bad, 4), -1);
    EXPECT_EQ(g_face, nullptr);
    const char *good[] = {not_a_font.c_str(), "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
    EXPECT_EQ(font_open_first(good, 2), 1);
    EXPECT_NE(g_face, nullptr);
}

TEST(Font, LoadFontNamesTheFace) {
    setenv("ZYL_KMS_FONT", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 1);
    testing::internal::CaptureStderr();
    load_font();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zyl-mpp: menu font /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf\n");
}

}  // namespace
