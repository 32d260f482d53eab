// Start-up: the settings rules and their lines, the decoder preparation with its
// exit statuses, the font candidates, and "--caps".
#include <gtest/gtest.h>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include FT_TRUETYPE_TAGS_H

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/avlog.h"
#include "app/config.h"
#include "app/pacing.h"
#include "app/screens.h"
#include "app/settings.h"
#include "app/startup.h"
#include "decode/decode.h"
#include "gpu/gpu.h"
#include "overlay/overlay.h"
#include "tests/test_util.h"

// Settings and environment are process-wide: ctest runs every test in a process of
// its own, as the receiver reads them once per process.
namespace {

// The pacing mode read_settings sets; one scenario per process.
Pacer &settings_pacer() {
    static Pacer pacer;
    return pacer;
}

// The settings as the program keeps them after read_settings, in one line.
std::string settings_state() {
    auto raw = [](const std::optional<std::string> &v) { return v ? v->c_str() : "(unset)"; };
    const Tuning &t = test_screens().live.tuning;
    const LookSettings &l = t.look;
    char s[512];
    snprintf(s, sizeof s,
             "hotplug=%d smooth=%d phase=%d antiflicker=%d grade=%d telemetry_dsi=%d fit=%s "
             "aspect=%s flip=%s rot=0x%llx fit_dsi=%s flip_dsi=%s aspect_dsi=%s dewarp=%d k1=%g "
             "k2=%g zoom=%g sat=%g lutmix=%g lut=%zu:%.8s",
             int(test_screens().hotplug.on), settings_pacer().smooth, settings_pacer().smooth_phase,
             t.antiflicker, t.grade.on, l.telemetry_dsi, l.fit.c_str(), l.aspect.c_str(),
             l.flip.c_str(), static_cast<unsigned long long>(flip_rotation(parse_flip(l.flip))),
             raw(l.fit_dsi), raw(l.flip_dsi), raw(l.aspect_dsi), t.lens.on, t.lens.k1, t.lens.k2,
             t.lens.zoom, t.grade.sat, t.lut_mix, test_pass().lut_path.size(),
             test_pass().lut_path.c_str());
    return s;
}

// The scenarios of tests/data/settings.txt, each a test of its own (and so a process
// of its own).
[[maybe_unused]] const bool kSettings =
    register_scenarios("settings.txt", "", "Settings", [](testing::Test &) -> ScenarioStep {
        return [](const std::string &word, const std::string &rest) {
            std::optional<std::string> printed;
            if (word == "read") {
                test_pass();
                testing::internal::CaptureStderr();
                read_settings(test_screens(), settings_pacer(), config_read(),
                              rest == "interlaced");
                printed = testing::internal::GetCapturedStderr();
            } else if (word == "state") {
                EXPECT_EQ(rest, settings_state());
            } else {
                ADD_FAILURE() << "unknown line";
            }
            return printed;
        };
    });

TEST(DisplayWait, BackOffGrowsToFiveSeconds) {
    int expected[] = {500, 1000, 1500, 2000, 2500, 3000, 3500, 4000, 4500, 5000, 5000, 5000};
    for (int i = 0; i < 12; i++) EXPECT_EQ(display_retry_delay_ms(i), expected[i]) << i;
    EXPECT_EQ(display_retry_delay_ms(1000), 5000);
}

struct Prepared {
    int status;
    std::string err;
    ReaderArgs ra;
    DecodeSettings settings;
    bool hevc;
};

Prepared prepare(const char *name) {
    if (name)
        setenv("ZYL_KMS_DECODER", name, 1);
    else
        unsetenv("ZYL_KMS_DECODER");
    Prepared p{};
    testing::internal::CaptureStderr();
    p.settings = config_read().decode;
    StreamFacts facts;
    p.status = prepare_decoder(&p.ra, p.settings, facts);
    p.err = testing::internal::GetCapturedStderr();
    p.hevc = facts.hevc;
    p.ra.facts = nullptr;  // gone with this call; no reader runs here
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
        EXPECT_EQ(p.hevc, bool(c.hevc));
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

// The Decoder runs of tests/data/runs.txt.
[[maybe_unused]] const bool kRuns = register_runs("Decoder.");

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
    Font font;
    ASSERT_TRUE(font_init(font));
    std::string dir = test_dir();
    std::string not_a_font = dir + "/bogus.ttf";
    write_file(not_a_font, "not a font");
    const char *bad[] = {nullptr, "", "/nonexistent/font.ttf", not_a_font.c_str()};
    EXPECT_EQ(font_open_first(font, bad, 4), -1);
    EXPECT_FALSE(font.face);
    const char *good[] = {not_a_font.c_str(), "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
    EXPECT_EQ(font_open_first(font, good, 2), 1);
    EXPECT_TRUE(font.face);
}

// A big-endian number of `bytes` bytes at `at`, as font tables hold them.
uint32_t be(const std::string &s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) v = v << 8 | uint8_t(s[at + size_t(i)]);
    return v;
}

// Where a TrueType font's outlines lie: the glyf table's offset and length in the file.
std::pair<size_t, size_t> glyf_table(const std::string &font) {
    for (uint32_t i = 0, n = be(font, 4, 2); i < n; i++) {
        const size_t entry = 12 + 16 * size_t(i);
        if (font.compare(entry, 4, "glyf") == 0)
            return {be(font, entry + 8, 4), be(font, entry + 12, 4)};
    }
    return {0, 0};
}

// A damaged font that FreeType still opens: DejaVu with its outlines zeroed draws
// nothing, so every text would be invisible. The font asked for says why it was not used.
TEST(Font, FaceThatDrawsNoAIsRefusedAndTheRequestedFontSaysWhy) {
    std::string font = read_file("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
    ASSERT_GT(font.size(), 12u);
    const auto [glyf, length] = glyf_table(font);
    ASSERT_GT(length, 0u);
    font.replace(glyf, length, length, '\0');
    std::string dir = test_dir(), blank = dir + "/blank.ttf";
    write_file(blank, font);
    testing::internal::CaptureStderr();
    Font f;
    load_font(f, blank);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_lines(err, "zyl-mpp: font " + blank +
                                   " (ZYL_KMS_FONT) not used: it renders no glyph for \"A\""),
              1)
        << err;
    EXPECT_EQ(count_lines(err, "zyl-mpp: menu font /usr/share/fonts/truetype/"), 1) << err;
}

// A glyph FreeType cannot load ("B" here, its outline claiming more contours than a
// glyph may have) is left out of the text: no advance, no pixels, no crash.
TEST(Font, ACharacterTheFaceCannotLoadIsLeftOut) {
    std::string font = read_file("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
    ASSERT_GT(font.size(), 12u);
    FT_Library lib;
    FT_Face face;
    ASSERT_EQ(0, FT_Init_FreeType(&lib));
    ASSERT_EQ(0, FT_New_Memory_Face(lib, reinterpret_cast<const FT_Byte *>(font.data()),
                                    FT_Long(font.size()), 0, &face));
    const FT_UInt gid = FT_Get_Char_Index(face, 'B');
    FT_ULong n = 0;
    FT_Load_Sfnt_Table(face, TTAG_loca, 0, nullptr, &n);
    std::string loca(n, '\0');
    FT_Load_Sfnt_Table(face, TTAG_loca, 0, reinterpret_cast<FT_Byte *>(loca.data()), &n);
    const bool long_offsets =
        static_cast<TT_Header *>(FT_Get_Sfnt_Table(face, FT_SFNT_HEAD))->Index_To_Loc_Format != 0;
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    // The glyph's place in the outlines: long offsets, or short ones in units of two.
    const uint32_t offset =
        long_offsets ? be(loca, 4 * size_t(gid), 4) : 2 * be(loca, 2 * size_t(gid), 2);
    const size_t glyf = glyf_table(font).first;
    ASSERT_GT(gid, 0u);
    ASSERT_GT(glyf, 0u);
    const size_t at = glyf + offset;
    font[at] = '\x7f', font[at + 1] = '\xff';  // numberOfContours
    const std::string path = test_dir() + "/broken-b.ttf";
    write_file(path, font);
    testing::internal::CaptureStderr();
    Font f;
    load_font(f, path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "zyl-mpp: menu font " + path + "\n");
    EXPECT_EQ(ft_text_w(&f, "ABA", 40), ft_text_w(&f, "AA", 40));
    std::vector<uint32_t> aba(200 * 60), aa(200 * 60);
    ft_text({reinterpret_cast<uint8_t *>(aba.data()), 800, 200, 60, &f}, 4, 50, "ABA", 0xFFFFFFFF,
            40);
    ft_text({reinterpret_cast<uint8_t *>(aa.data()), 800, 200, 60, &f}, 4, 50, "AA", 0xFFFFFFFF,
            40);
    EXPECT_EQ(aba, aa);
    EXPECT_GT(std::count(aa.begin(), aa.end(), 0xFFFFFFFFu), 100);
}

TEST(Font, LoadFontNamesTheFace) {
    testing::internal::CaptureStderr();
    Font f;
    load_font(f, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zyl-mpp: menu font /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf\n");
}

}  // namespace
