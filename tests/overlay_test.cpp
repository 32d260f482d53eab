// What the overlays put on screen: the raster primitives and text in plain buffers,
// the in-place mirror, and, on the virtual card in this process, the menu and the
// message screen on overlay planes and sidebars, and the standby picture.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/config.h"
#include "app/screens.h"
#include "kms/kms.h"
#include "overlay/overlay.h"
#include "sim/sim.h"
#include "standby/standby.h"
#include "test_util.h"

namespace {

// A buffer with two pixels of padding after each row, which must never be written.
struct Buf {
    int w, h;
    std::vector<uint32_t> px;
    explicit Buf(int w_, int h_, uint32_t fill = 0x5A5A5A5A)
        : w(w_), h(h_), px(size_t(w_ + 2) * h_, fill) {}
    OverlaySurface s(Font *font = nullptr, bool mx = false, bool my = false) {
        return {reinterpret_cast<uint8_t *>(px.data()), uint32_t(w + 2) * 4, w, h, font, mx, my};
    }
    uint32_t &at(int x, int y) { return px[size_t(y) * (w + 2) + x]; }
    int count(uint32_t c) {
        int n = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) n += at(x, y) == c;
        return n;
    }
    bool padding_intact() {
        for (int y = 0; y < h; y++)
            if (at(w, y) != 0x5A5A5A5A || at(w + 1, y) != 0x5A5A5A5A) return false;
        return true;
    }
};

constexpr uint32_t kC = 0xFF112233;

// The rounded-rectangle rule, pixel by pixel.
bool round_rect_covers(int i, int j, int w, int h, int r) {
    bool hx = i < r || i >= w - r, vy = j < r || j >= h - r;
    if (!hx || !vy) return true;
    int dx = i < r ? r - 1 - i : i - (w - r);
    int dy = j < r ? r - 1 - j : j - (h - r);
    return dx * dx + dy * dy <= r * r;
}

// The screens' font with the face the receiver draws with, opened afresh.
Font *use_face() {
    Font &font = test_screens().drawing.font;
    if (!font.ft) {
        EXPECT_TRUE(font_init(font));
    }
    const char *dejavu[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"};
    EXPECT_EQ(0, font_open_first(font, dejavu, 1));
    return &font;
}

}  // namespace

TEST(Raster, RectanglesClipToTheSurfaceAndOverwrite) {
    Buf b(16, 8);
    fill_rect(b.s(), -4, -3, 8, 5, kC);  // only columns 0..3 of rows 0..1 are on it
    EXPECT_EQ(8, b.count(kC));
    EXPECT_EQ(kC, b.at(3, 1));
    EXPECT_NE(kC, b.at(4, 1));
    fill_rect(b.s(), 14, 6, 100, 100, 0x00000000);  // colours overwrite, alpha too
    EXPECT_EQ(4, b.count(0));
    for (auto [w, h] : {std::pair{-1, 4}, {4, 0}, {0, 0}}) fill_rect(b.s(), 2, 2, w, h, 0xFFFFFFFF);
    fill_rect(b.s(), 20, 2, 3, 3, 0xFFFFFFFF);
    EXPECT_EQ(0, b.count(0xFFFFFFFF));
    fill_rect(b.s(), 2, 2, 0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFE);  // no overflow
    EXPECT_EQ(14 * 6, b.count(0xFFFFFFFE));
    EXPECT_TRUE(b.padding_intact());

    Buf o(10, 10);
    rect_outline(o.s(), 1, 1, 8, 6, 2, kC);
    EXPECT_EQ(8 * 6 - 4 * 2, o.count(kC));
    EXPECT_EQ(kC, o.at(8, 6));
    EXPECT_NE(kC, o.at(4, 4));
    EXPECT_NE(kC, o.at(9, 7));
}

TEST(Raster, RoundedRectanglesFollowTheCornerRule) {
    for (int w : {1, 3, 7, 8, 16, 23})
        for (int h : {1, 2, 7, 8, 17})
            for (int r : {0, 1, 3, 4, 8, 12}) {
                Buf b(30, 24);
                fill_round_rect(b.s(), 2, 3, w, h, r, kC);
                for (int y = 0; y < b.h; y++)
                    for (int x = 0; x < b.w; x++) {
                        bool inside = x >= 2 && x < 2 + w && y >= 3 && y < 3 + h;
                        bool want = inside && round_rect_covers(x - 2, y - 3, w, h, r);
                        ASSERT_EQ(want, b.at(x, y) == kC)
                            << w << "x" << h << " r" << r << " at " << x << "," << y;
                    }
                ASSERT_TRUE(b.padding_intact());
            }
    // r = 4: just the outermost pixel of each corner is left out.
    Buf b(20, 20);
    fill_round_rect(b.s(), 0, 0, 10, 10, 4, kC);
    EXPECT_EQ(96, b.count(kC));
    EXPECT_NE(kC, b.at(0, 0));
    EXPECT_NE(kC, b.at(9, 9));
    // Partly off the surface, and mirrored.
    Buf off(10, 10);
    fill_round_rect(off.s(), -5, -5, 10, 10, 8, kC);
    Buf mirrored(10, 10);
    fill_round_rect(mirrored.s(nullptr, true, true), -5, -5, 10, 10, 8, kC);
    for (int y = 0; y < 10; y++)
        for (int x = 0; x < 10; x++) EXPECT_EQ(off.at(x, y), mirrored.at(9 - x, 9 - y));
}

TEST(Raster, MirrorFlagsClipFirstThenMirror) {
    Buf b(8, 4);
    fill_rect(b.s(nullptr, true), -2, 0, 3, 1, kC);  // logical column 0 only
    EXPECT_EQ(1, b.count(kC));
    EXPECT_EQ(kC, b.at(7, 0));
    fill_rect(b.s(nullptr, false, true), 0, 0, 1, 1, 0xFF000001);
    EXPECT_EQ(0xFF000001u, b.at(0, 3));
}

TEST(Text, BitmapFontWithoutAFace) {
    EXPECT_EQ(32, ft_text_w(nullptr, "AB", 18));
    EXPECT_EQ(48, ft_text_w(nullptr, "AB", 24));
    EXPECT_EQ(0, ft_text_w(nullptr, "", 40));
    // "A" at scale 2 from baseline 20, size 18: glyph rows from y 2, two pixels each.
    Buf b(40, 24, 0);
    EXPECT_EQ(16, ft_text(b.s(), 1, 20, "A", 0x00ABCDEF, 18));
    const uint8_t a[8] = {0x30, 0x78, 0xCC, 0xCC, 0xFC, 0xCC, 0xCC, 0x00};
    for (int k = 0; k < 8; k++)
        for (int bit = 0; bit < 8; bit++)
            for (int d = 0; d < 4; d++) {
                bool set = a[k] >> (7 - bit) & 1;
                // The colour is stored as it is, a zero alpha included.
                EXPECT_EQ(set ? 0x00ABCDEFu : 0u, b.at(1 + bit * 2 + d % 2, 2 + k * 2 + d / 2))
                    << k << "," << bit;
            }
    // Control bytes and bytes above 0x7F are drawn as "?".
    Buf q(40, 24, 0), odd(40, 24, 0);
    ft_text(q.s(), 0, 20, "??", kC, 18);
    ft_text(odd.s(), 0, 20, "\x01\x80", kC, 18);
    EXPECT_EQ(q.px, odd.px);
    EXPECT_GT(q.count(kC), 0);
}

TEST(Text, FaceCoverageIsBlendedInTheTextColour) {
    Font *f = use_face();
    // Over transparent pixels: the coverage becomes the alpha, the colour the channels;
    // the colour's own alpha does not matter.
    Buf t(120, 40, 0);
    int adv = ft_text(t.s(f), 4, 30, "Wg", 0x0036D399, 28);
    EXPECT_EQ(adv, ft_text_w(f, "Wg", 28));
    EXPECT_GT(adv, 20);
    int opaque = 0, partial = 0;
    for (uint32_t p : t.px) {
        if (!p) continue;
        EXPECT_EQ(0x36D399u, p & 0xFFFFFF);
        opaque += p >> 24 == 255;
        partial += p >> 24 != 255;
    }
    EXPECT_GT(opaque, 50);
    EXPECT_GT(partial, 10);
    // Over opaque white, edges blend between white and the colour, alpha stays 255.
    Buf w(120, 40, 0xFFFFFFFF);
    ft_text(w.s(f), 4, 30, "Wg", 0xFF000000, 28);
    EXPECT_GT(w.count(0xFF000000), 50);
    for (uint32_t p : w.px) EXPECT_TRUE(p == 0x5A5A5A5A || p >> 24 == 255);
    // Off the surface nothing is drawn, yet the advance is the same.
    Buf none(10, 10, 0);
    EXPECT_EQ(adv, ft_text(none.s(f), -500, -500, "Wg", kC, 28));
    EXPECT_EQ(100, none.count(0));
}

TEST(Text, CachedGlyphsDrawWhatAFreshFaceDraws) {
    Font *f = use_face();
    const std::vector<int> sizes{12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 40};
    std::vector<Buf> first;
    for (int px : sizes) {
        first.emplace_back(200, 60, 0);
        ft_text(first.back().s(f), 2, 45, "Resolution: 1920x1080", kC, px);
    }
    // More sizes than the cache keeps went by; a fresh face renders everything anew.
    use_face();
    for (size_t i = 0; i < sizes.size(); i++) {
        Buf again(200, 60, 0);
        ft_text(again.s(f), 2, 45, "Resolution: 1920x1080", kC, sizes[i]);
        EXPECT_EQ(first[i].px, again.px) << sizes[i];
    }
    // Mirrored text is the mirror image of the text.
    Buf plain(200, 60, 0), mirrored(200, 60, 0);
    ft_text(plain.s(f), 2, 45, "Stream", kC, 30);
    ft_text(mirrored.s(f, true), 2, 45, "Stream", kC, 30);
    flip_buffer_argb(reinterpret_cast<uint8_t *>(mirrored.px.data()), 202 * 4, 200, 60, Flip::kH);
    EXPECT_EQ(plain.px, mirrored.px);
}

TEST(Mirror, FlipsInPlace) {
    for (int h : {4, 5}) {
        Buf b(3, h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < 3; x++) b.at(x, y) = uint32_t(y * 16 + x);
        auto flipped = [&](const char *flip) {
            Buf c = b;
            flip_buffer_argb(reinterpret_cast<uint8_t *>(c.px.data()), 5 * 4, 3, h,
                             parse_flip(flip));
            EXPECT_TRUE(c.padding_intact());
            return c;
        };
        Buf fh = flipped("h"), fv = flipped("v"), f180 = flipped("180"), none = flipped("none");
        for (int y = 0; y < h; y++)
            for (int x = 0; x < 3; x++) {
                EXPECT_EQ(b.at(2 - x, y), fh.at(x, y));
                EXPECT_EQ(b.at(x, h - 1 - y), fv.at(x, y));
                EXPECT_EQ(b.at(2 - x, h - 1 - y), f180.at(x, y)) << "h=" << h;
                EXPECT_EQ(b.at(x, y), none.at(x, y));
            }
    }
}

TEST(MenuLayout, PanelFromTheScreenSize) {
    for (auto [W, H, want] : {std::tuple{1920, 1080, "large 1190x626 at 365,227"},
                              {800, 480, "small 640x380 at 80,50"},
                              {480, 320, "small 454x294 at 13,13"},
                              {3840, 2160, "large 2380x1252 at 730,454"}}) {
        MenuLayout l = menu_layout(W, H);
        char got[64];
        snprintf(got, sizeof got, "%s %dx%d at %d,%d", l.large ? "large" : "small", l.pw, l.ph,
                 l.px, l.py);
        EXPECT_STREQ(want, got);
    }
    for (auto [row, label, value] : {std::tuple{"Bitrate: 8M", "Bitrate", "8M"},
                                     {"12:30", "12:30", "(none)"},
                                     {"a: b: c", "a: b", "c"}}) {
        MenuRow r = split_row(row);
        EXPECT_STREQ(label, r.label);
        EXPECT_STREQ(value, r.value ? r.value : "(none)");
    }
}

// The code's module size, size and corner from the screen and the module count, worked
// out by hand; the push caption splits an address at its last "/" when a key follows.
TEST(ConnectLayout, CodePlaceAndCaptions) {
    for (auto [W, H, n, want] : {std::tuple{1920, 1080, 21, "s 8 q 232 at 1624,766 pc 30 wc 20"},
                                 {480, 320, 25, "s 2 q 66 at 395,203 pc 14 wc 10"},
                                 {3840, 2160, 21, "s 16 q 464 at 3247,1532 pc 60 wc 40"}}) {
        const ConnectLayout l = connect_layout(W, H, n);
        char got[80];
        snprintf(got, sizeof got, "s %d q %d at %d,%d pc %d wc %d", l.s, l.q, l.x0, l.y0, l.pc,
                 l.wc);
        EXPECT_STREQ(want, got);
    }
    for (auto [push, want] :
         {std::pair{"rtmp://192.168.4.1/live/goggles",
                    "Server URL: rtmp://192.168.4.1/live/   Stream key: goggles"},
          {"rtmp://192.168.4.1/live/", "Push stream to: rtmp://192.168.4.1/live/"},
          {"192.168.4.1:1935", "Push stream to: 192.168.4.1:1935"}}) {
        char out[176];
        push_caption(push, out);
        EXPECT_STREQ(want, out);
    }
}

// ---- pop-up tiles ----

namespace {

// The tile for a pop-up of this text, rendered as the composition would.
void render_popup(PopupTile &tile, Font *font, const char *text, int level, int W, int H) {
    OsdState osd{text[0] != 0, level, {}};
    snprintf(osd.text, sizeof osd.text, "%s", text);
    std::lock_guard<std::mutex> hold(tile.lock);
    pu_render_tile(tile, font, osd, W, H);
}

uint32_t tile_at(const PopupTile &tile, int x, int y) {
    return tile.px[size_t(y) * tile.w + x];
}

}  // namespace

TEST(Popup, WrapsAtBlanksBreaksLongWordsAndEllipsises) {
    // The bitmap font: 16 pixels a character at size 21, 24 at size 30.
    PopupTile tile;
    char l[3][kPopupLineCap];
    // 800x480: wrap width 712 - 60 - 7 - 15 = 630, 26 characters; at most 2 lines.
    EXPECT_EQ(2, pu_wrap(nullptr, "alpha bravo charlie delta echo foxtrot golf", 630, 30, 2, l));
    EXPECT_STREQ("alpha bravo charlie delta", l[0]);
    EXPECT_STREQ("echo foxtrot golf", l[1]);
    const std::string word(60, 'x');
    EXPECT_EQ(2, pu_wrap(nullptr, word.c_str(), 630, 30, 2, l));
    EXPECT_EQ(std::string(26, 'x'), l[0]) << "cut inside the word";
    EXPECT_EQ(std::string(23, 'x') + "...", l[1]) << "shortened until the dots fit";
    // 367 pixels: 22 characters, 3 lines.
    const std::string three = "aaaaaaaaaa bbbbbbbbbb cccccccccc dddddddddd eeeeeeeeee ffffffffff";
    EXPECT_EQ(3, pu_wrap(nullptr, three.c_str(), 367, 21, 3, l));
    EXPECT_STREQ("eeeeeeeeee ffffffffff", l[2]) << "exactly three lines need no dots";
    EXPECT_EQ(3, pu_wrap(nullptr, (three + " g").c_str(), 367, 21, 3, l));
    EXPECT_STREQ("eeeeeeeeee ffffffff...", l[2]);
    for (const char *blank : {"", "   "}) {
        EXPECT_EQ(1, pu_wrap(nullptr, blank, 367, 21, 3, l));
        EXPECT_STREQ("", l[0]);
    }
    // A wrap width below one character still takes a character a line.
    EXPECT_EQ(2, pu_wrap(nullptr, "abc", 40, 30, 2, l));
    EXPECT_STREQ("a", l[0]);

    // Tile heights from the size table: head + lines x line height + text size.
    render_popup(tile, nullptr, "", 0, 800, 480);
    EXPECT_EQ(65 + 37 + 30, tile.h) << "an empty text still has a line";
    render_popup(tile, nullptr, word.c_str(), 0, 800, 480);
    EXPECT_EQ(65 + 2 * 37 + 30, tile.h);
    EXPECT_EQ(26 * 24 + 60 + 7 + 15, tile.w);
    // Under 480 lines the sizes shrink with the shorter side, to half from 240 down.
    render_popup(tile, nullptr, (three + " g").c_str(), 0, 480, 320);
    EXPECT_EQ(43 + 3 * 24 + 20, tile.h);
    render_popup(tile, nullptr, "ok", 0, 320, 170);
    EXPECT_EQ(32 + 18 + 15, tile.h);
    // An osd file of 1 MB without a blank: its first 95 characters, cut inside the
    // "word", two lines, the second ending in dots.
    const OsdState osd = parse_text(parse_osd, "error\n" + std::string(1 << 20, 'M'));
    pu_render_tile(tile, nullptr, osd, 800, 480);
    EXPECT_EQ(65 + 2 * 37 + 30, tile.h);
    EXPECT_EQ(2, pu_wrap(nullptr, osd.text, 630, 30, 2, l));
    EXPECT_EQ(std::string(23, 'M') + "...", l[1]);
}

TEST(Popup, LevelsGiveTitleAndAccent) {
    Font *f = use_face();
    PopupTile tile;
    struct Case {
        int level;
        uint32_t accent;
        const char *title;
    } cases[] = {{-1, 0xFF4ADE80, "INFO"},
                 {0, 0xFF4ADE80, "INFO"},
                 {1, 0xFFFFC24B, "PERINGATAN"},
                 {2, 0xFFFF5A5F, "KESALAHAN"},
                 {7, 0xFFFF5A5F, "KESALAHAN"}};
    for (const Case &c : cases) {
        render_popup(tile, f, "Link weak", c.level, 800, 480);
        // The accent bar: 7 wide at x 15 from y 30; the background right of it.
        EXPECT_EQ(c.accent, tile_at(tile, 18, 60)) << c.level;
        EXPECT_EQ(0xF01A1D24u, tile_at(tile, 30, 20)) << c.level;
        // The title in the accent colour, its size-20 glyphs above baseline 50.
        int title_px = 0, line_px = 0;
        for (int y = 30; y < 52; y++)
            for (int x = 37; x < tile.w; x++)
                title_px += (tile_at(tile, x, y) & 0xFFFFFF) == (c.accent & 0xFFFFFF);
        for (int y = 70; y < 100; y++)
            for (int x = 37; x < tile.w; x++) line_px += tile_at(tile, x, y) == 0xFFF2F4F8;
        EXPECT_GT(title_px, 20) << c.level;
        EXPECT_GT(line_px, 20) << c.level;
        EXPECT_EQ(std::min(800 - 88,
                           std::max(ft_text_w(f, c.title, 20), ft_text_w(f, "Link weak", 30)) + 82),
                  tile.w);
        EXPECT_EQ(0u, tile_at(tile, 0, 0)) << "rounded corner";
    }
}

TEST(Popup, CachedWhileTheKeyStaysAndBlendedIntoAnyTarget) {
    Font *f = use_face();
    OsdState osd{1, 0, "Recording started"};
    const int W = 800, H = 480;
    Buf bgra(W, H, 0x80402010), rgba(W, H, 0x80102040);
    const PopupTarget panel{
        reinterpret_cast<uint8_t *>(bgra.px.data()), uint32_t(W + 2) * 4, W, H, 0, 0, f};
    const PopupTarget readback{
        reinterpret_cast<uint8_t *>(rgba.px.data()), uint32_t(W + 2) * 4, W, H, 1, 1, f};
    PopupTile tile;
    pu_blit(tile, panel, osd);
    pu_blit(tile, readback, osd);
    Buf again(W, H, 0);
    pu_blit(tile,
            {reinterpret_cast<uint8_t *>(again.px.data()), uint32_t(W + 2) * 4, W, H, 0, 0, f},
            osd);
    EXPECT_EQ(1u, tile.renders) << "same level, size and text: rendered once";
    EXPECT_STREQ("0|800|480|Recording started", tile.key);
    // Both targets got the same picture: rows flipped, red and blue swapped.
    const int tw = tile.w, th = tile.h, x0 = (W - tw) / 2, y0 = H / 24 + 4;
    int covered = 0;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            uint32_t a = bgra.at(x, y), b = rgba.at(x, H - 1 - y);
            uint32_t b_swapped = (b & 0xFF00FF00) | (b >> 16 & 0xFF) | (b & 0xFF) << 16;
            ASSERT_EQ(a, b_swapped) << x << "," << y;
            bool in = x >= x0 && x < x0 + tw && y >= y0 && y < y0 + th;
            if (!in) {
                ASSERT_EQ(0x80402010u, a) << "outside the tile at " << x << "," << y;
            }
            covered += a >> 24 == 255;
        }
    EXPECT_GT(covered, tw * th * 9 / 10);
    for (int y = 0; y < H; y++) ASSERT_EQ(0x80402010u, bgra.at(W, y)) << "row padding";
    // The background (alpha 0xF0) over 0x402010: 0xF0 x tile + 0x0F x target, per byte.
    EXPECT_EQ(0xFF000000u | (0xF0 * 0x1A + 15 * 0x40) / 255 << 16 |
                  (0xF0 * 0x1D + 15 * 0x20) / 255 << 8 | (0xF0 * 0x24 + 15 * 0x10) / 255,
              bgra.at(x0 + 30, y0 + 20));

    // Another text, level or size renders again; switching between two targets
    // renders on every switch.
    osd.level = 1;
    pu_blit(tile, panel, osd);
    snprintf(osd.text, sizeof osd.text, "Recording stopped");
    pu_blit(tile, panel, osd);
    EXPECT_EQ(3u, tile.renders);
    Buf spi(320, 240, 0);
    const PopupTarget small{reinterpret_cast<uint8_t *>(spi.px.data()), 322 * 4, 320, 240, 1, 0, f};
    pu_blit(tile, small, osd);
    pu_blit(tile, panel, osd);
    pu_blit(tile, small, osd);
    EXPECT_EQ(6u, tile.renders);
    // A target lower than the tile gets it from its top row, cut at the bottom.
    Buf low(800, 50, 0);
    pu_blit(tile, {reinterpret_cast<uint8_t *>(low.px.data()), 802 * 4, 800, 50, 0, 0, f}, osd);
    EXPECT_GT(tile.h, 50);
    EXPECT_EQ(0u, low.at(0, 0));
    EXPECT_NE(0u, low.at(400, 0));
    EXPECT_NE(0u, low.at(400, 49));
}

// ---- telemetry HUD ----

namespace {

constexpr uint32_t kHudBar = 0xA6080A0F, kGiven = 0xFFEEF0F4, kMuted = 0xFF8B94A6;
constexpr uint32_t kHudRed = 0xFFF87171, kHudAmber = 0xFFFAB23F, kHudGreen = 0xFF4ADE80;

TelemetryState telemetry(const char *text) {
    return parse_text(parse_telemetry, text);
}

// The board's files the HUD reads, under this test's root; "" removes one.
struct BoardFiles {
    std::string root = test_dir();
    BoardFiles() { setenv("ZYL_SIM_ROOT", root.c_str(), 1); }
    ~BoardFiles() { unsetenv("ZYL_SIM_ROOT"); }
    void set(const char *path, const std::string &text) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        if (text.empty())
            std::filesystem::remove(root + path);
        else
            write_file(root + path, text);
    }
    void uptime(const std::string &t) { set("/proc/uptime", t); }
    void thermal(const std::string &t) { set("/sys/class/thermal/thermal_zone0/temp", t); }
};

// Pixels of colour c inside a rectangle.
int count_in(Buf &b, uint32_t c, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++) n += b.at(x, y) == c;
    return n;
}

// The HUD of a telemetry record on a W x H panel of its own, in the 8x8 font (16
// pixels a character at the bar sizes below 24).
Buf hud(const TelemetryState &t, int W, int H) {
    KmsOutput o{};
    o.mode.hdisplay = uint16_t(W);
    o.mode.vdisplay = uint16_t(H);
    o.mode.vrefresh = 60;
    o.is_dsi = 1;
    Buf b(W, H, 0);
    draw_telemetry(o, b.s(), t, OverlayFacts{});
    return b;
}

}  // namespace

TEST(Hud, UptimeTemperatureAndRecordingTexts) {
    BoardFiles board;
    char up[24];
    for (auto [file, want] : {std::pair{"90061.55 12345.00\n", "UP 1d01:01"},
                              {"3599.99 1.00\n", "UP 0:59"},
                              {"36000.00 1.00\n", "UP 10:00"},
                              {"274200.00 1.00\n", "UP 3d04:10"},
                              {"-5.00 1.00\n", ""},
                              {"nan 1\n", ""},
                              {"idle\n", ""},
                              {"", ""}}) {
        board.uptime(file);
        fmt_uptime(up);
        EXPECT_STREQ(want, up) << file;
    }
    for (auto [file, want] :
         {std::pair{"45678\n", 45}, {"-5500\n", -5}, {"hot\n", -1000}, {"", -1000}}) {
        board.thermal(file);
        EXPECT_EQ(want, board_temp_c()) << file;
    }
    char rec[24];
    for (auto [t, want] : {std::pair{59, "REC 0:59"},
                           {3600, "REC 1:00:00"},
                           {-7, "REC 0:00"},
                           {86399, "REC 23:59:59"}}) {
        fmt_rec(t, rec);
        EXPECT_STREQ(want, rec);
    }
}

TEST(Hud, TopBarItemsShowGivenMissingAndWildValues) {
    HudItem it[10];
    auto texts = [&](const TelemetryState &t) {
        hud_top_items(t, it);
        std::string all;
        for (const HudItem &i : it) all += std::string(i.text) + "|";
        return all;
    };
    EXPECT_EQ("15%|16%|VTX|SAT 9|271\xB0|120.5m|12.3m/s|VS-1.5|PIT+4|ROL-12|",
              texts(telemetry("gog=15\ndrn=16\nsat=9\nyaw=270.6\nalt=120.46\nspd=12.3\nvs=-1.5\n"
                              "pit=4.2\nrol=-12\n")));
    EXPECT_EQ(kHudRed, it[0].colour);
    EXPECT_EQ(kHudAmber, it[1].colour);
    for (int i = 3; i < 10; i++) EXPECT_EQ(kGiven, it[i].colour) << i;
    EXPECT_EQ("--|--|VTX|SAT --|--\xB0|--m|--m/s|VS--|PIT--|ROL--|", texts(telemetry("")));
    EXPECT_EQ(0xFF6B7280u, it[0].colour);
    for (int i = 3; i < 10; i++) EXPECT_EQ(kMuted, it[i].colour) << i;
    EXPECT_EQ(kHudGreen, (hud_top_items(telemetry("gog=31\n"), it), it[0].colour));
    EXPECT_EQ(kHudRed, (hud_top_items(telemetry("gog=0\n"), it), it[0].colour));
    // Negative, huge, NaN and non-numeric values: every text stays within 15 characters.
    EXPECT_EQ("--|2147483647%|VTX|SAT 0|nan\xB0|infm|-10000000150474|VS+0.0|PIT-0|ROL+1000000000|",
              texts(telemetry("gog=-5\ndrn=2147483647\nsat=abc\nyaw=nan\nalt=1e39\nspd=-1e30\n"
                              "vs=xyz\npit=-0.4\nrol=1e9\n")));
    EXPECT_EQ(0xFF6B7280u, it[0].colour) << "a negative battery is not given";
    EXPECT_EQ(kGiven, it[3].colour) << "a value that does not read as a number is 0, given";
}

TEST(Hud, BarsOnThePanel) {
    BoardFiles board;
    // The bitmap font.
    board.uptime("36000.5 1\n");
    board.thermal("45000\n");
    // Every key missing: only the bottom bar. Right side, 16 pixels a character from
    // x 792 inwards: "UP 10:00" 664..791, "H.264" 574..653, "480p60" 468..563 and
    // "45?C" 394..457, muted below 80 degrees.
    TelemetryState t = telemetry("");
    Buf b = hud(t, 800, 480);
    EXPECT_EQ(0u, b.at(799, 10)) << "no top bar";
    EXPECT_EQ(kHudBar, b.at(799, 480 - 21));
    EXPECT_EQ(0u, b.at(799, 480 - 22));
    EXPECT_GT(count_in(b, kMuted, 664, 459, 792, 480), 40);
    EXPECT_EQ(0, count_in(b, kGiven, 654, 459, 800, 480));
    EXPECT_GT(count_in(b, kGiven, 574, 459, 654, 480), 40);
    EXPECT_GT(count_in(b, kGiven, 468, 459, 564, 480), 40);
    EXPECT_EQ(0, count_in(b, kGiven, 564, 459, 574, 480));
    EXPECT_GT(count_in(b, kMuted, 394, 459, 458, 480), 30);
    EXPECT_EQ(0, count_in(b, kMuted, 0, 459, 394, 480));
    // A temperature from the file wins down to -99 and turns amber at 80; without it
    // and without a sensor there is none.
    t = telemetry("tmp=-99\n");
    b = hud(t, 800, 480);
    EXPECT_GT(count_in(b, kMuted, 378, 459, 394, 480), 10) << "-99?C is one character wider";
    t = telemetry("tmp=85\n");
    b = hud(t, 800, 480);
    EXPECT_GT(count_in(b, kHudAmber, 394, 459, 458, 480), 30);
    t = telemetry("tmp=-100\n");
    board.thermal("");
    board.uptime("");
    b = hud(t, 800, 480);
    EXPECT_EQ(0, count_in(b, kMuted, 0, 459, 800, 480)) << "no temperature, no uptime";
    EXPECT_GT(count_in(b, kGiven, 712, 459, 792, 480), 40) << "the codec moves to the edge";

    // Left side: REC dot and time, network, VPN; on top three of five bars lit, and the
    // ten items (834 pixels with their gaps) on two rows.
    t = telemetry("rec=1\nrecs=59\nnet=HomeWiFi\nvpn=1\ngog=20\ndrn=10\nsig=3\nsat=5\n");
    b = hud(t, 800, 480);
    EXPECT_EQ(kHudRed, b.at(10, 480 - 21 + 9)) << "the dot";
    EXPECT_GT(count_in(b, kHudRed, 19, 459, 19 + 128, 480), 40) << "REC 0:59";
    EXPECT_GT(count_in(b, kHudAmber, 160, 459, 160 + 128, 480), 40) << "the network";
    EXPECT_GT(count_in(b, kHudGreen, 301, 459, 301 + 48, 480), 20) << "VPN";
    EXPECT_EQ(kHudBar, b.at(799, 26));
    EXPECT_EQ(0u, b.at(799, 50));
    const int bar_px[5] = {3 * 4, 3 * 6, 3 * 8, 3 * 10, 3 * 13};
    for (auto [sig, lit] : {std::pair{3, 3}, {0, 0}, {-1, 0}, {9, 5}}) {
        t.sig = sig;
        b = hud(t, 800, 480);
        int want = 0, all = 0;
        for (int i = 0; i < 5; i++) {
            all += bar_px[i];
            want += i < lit ? bar_px[i] : 0;
        }
        EXPECT_EQ(want, count_in(b, kHudGreen, 0, 0, 800, 25)) << sig;
        EXPECT_EQ(all - want, count_in(b, 0xFF39404E, 0, 0, 800, 25)) << sig;
    }
    // Only vertical speed given, no battery, signal or satellites: no top bar.
    t = telemetry("vs=2\n");
    EXPECT_EQ(0u, hud(t, 800, 480).at(799, 10));

    // The top bar wraps at the first item that does not fit; later items never come
    // back to row 1. Items (width + gap 13): goggles 87, aircraft 87, VTX 75,
    // "SAT 2147483647" 224, "12345678?" 144: row 1 is 669 wide, from x 65. Altitude
    // (240) overflows; speed "--m/s" (80) would fit but follows it: row 2 holds
    // 240 + 80 + 64 + 80 + 80 + 4 x 13 = 596, from x 102.
    t = telemetry("gog=100\ndrn=100\nsat=2147483647\nyaw=12345678\nalt=1e30\n");
    b = hud(t, 800, 480);
    EXPECT_EQ(kHudBar, b.at(799, 49));
    EXPECT_EQ(0u, b.at(799, 50));
    EXPECT_EQ(kHudGreen, b.at(65, 12)) << "goggles icon at the start of row 1";
    EXPECT_EQ(kHudBar, b.at(64, 12));
    EXPECT_EQ(kGiven, b.at(102, 39)) << "the foot of the altitude's first \"1\"";
    EXPECT_EQ(kHudBar, b.at(101, 39));
    // A shorter side of 720 uses the large sizes, 719 the small ones, and under 480
    // they shrink with it: a bar 16 rows high at 320x240.
    EXPECT_EQ(kHudBar, hud(t, 1280, 720).at(1279, 720 - 26));
    EXPECT_EQ(0u, hud(t, 719, 1280).at(718, 1280 - 26));
    EXPECT_EQ(kHudBar, hud(t, 320, 240).at(319, 240 - 16));
    EXPECT_EQ(0u, hud(t, 320, 240).at(319, 240 - 17));
}

// ---- detections ----

namespace {

void set_detections(DetectionTable &t, std::initializer_list<Detection> d) {
    std::lock_guard<std::mutex> hold(t.lock);
    std::copy(d.begin(), d.end(), t.dets);
    t.n = int(d.size());
}

}  // namespace

TEST(Detections, BoxesAndLabelsFromTheTable) {
    // The bitmap font: "obj 87%" is 7 characters of 16 pixels at size 18.
    constexpr uint32_t kBox = 0xFF36D399;
    DetectionTable table;
    // At the top edge the label goes inside the box; lower down, above it. An entry
    // of zero width is skipped.
    set_detections(table, {{3, 0.87f, 0.1f, 0.0f, 0.2f, 0.3f},
                           {1, 0.5f, 0.5f, 0.5f, 0.0f, 0.2f},
                           {1, 0.42f, 0.5f, 0.5f, 0.25f, 0.25f}});
    Buf b(800, 480, 0);
    draw_detections(table, b.s());
    EXPECT_EQ(kBox, b.at(80, 100)) << "left side of box 1 (80,0 160x144)";
    EXPECT_EQ(kBox, b.at(81, 100));
    EXPECT_EQ(0u, b.at(82, 100)) << "two pixels thick";
    EXPECT_EQ(kBox, b.at(80 + 121, 10)) << "label box inside, 122 wide from row 2";
    EXPECT_EQ(0u, b.at(80 + 122, 10));
    EXPECT_EQ(kBox, b.at(100, 2 + 23));
    EXPECT_GT(b.count(0xFF04231A), 100) << "label text";
    EXPECT_EQ(kBox, b.at(401, 240 - 24)) << "label of box 3 above it";
    EXPECT_EQ(0u, b.at(401, 240 - 25));
    Buf without(800, 480, 0);
    set_detections(table,
                   {{3, 0.87f, 0.1f, 0.0f, 0.2f, 0.3f}, {1, 0.42f, 0.5f, 0.5f, 0.25f, 0.25f}});
    draw_detections(table, without.s());
    EXPECT_EQ(b.px, without.px) << "the zero-width entry drew nothing";
    // Wild numbers from a detector neither crash nor draw.
    set_detections(table, {{0, NAN, NAN, 0.1f, 0.2f, 0.2f}, {0, 1e30f, 0.1f, 0.1f, 1e30f, 1e30f}});
    Buf wild(800, 480, 0);
    draw_detections(table, wild.s());
    EXPECT_EQ(wild.count(0), 800 * 480);

    // A count of 60 over the table of 50: the 50 entries are drawn, nothing past them
    // is read.
    for (int i = 0; i < kMaxDetections; i++)
        table.dets[i] = {0, 0.9f, 0.1f * float(i % 10), 0.2f * float(i / 10), 0.01f, 0.02f};
    table.n = 60;
    Buf many(800, 480, 0);
    draw_detections(table, many.s());
    for (int i = 0; i < kMaxDetections; i++)
        EXPECT_EQ(kBox, many.at(80 * (i % 10), 96 * (i / 10) + 5)) << "box " << i;

    // A detector thread rewrites the table all the while: every drawing is of one
    // whole table or the other, never a mix.
    Buf one(800, 480, 0), two(800, 480, 0);
    const Detection a{0, 0.3f, 0.1f, 0.5f, 0.2f, 0.2f}, c{0, 0.7f, 0.6f, 0.2f, 0.3f, 0.4f};
    set_detections(table, {a});
    draw_detections(table, one.s());
    set_detections(table, {c, a});
    draw_detections(table, two.s());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (unsigned i = 0; !stop; i++) {
            if (i & 1)
                set_detections(table, {a});
            else
                set_detections(table, {c, a});
        }
    });
    for (int i = 0; i < 200; i++) {
        Buf d(800, 480, 0);
        draw_detections(table, d.s());
        ASSERT_TRUE(d.px == one.px || d.px == two.px) << "drawing " << i;
    }
    stop = true;
    writer.join();
}

// ---- the composition on the virtual card ----

namespace {

constexpr int kAccent[3] = {0x36, 0xD3, 0x99};

class Screens : public testing::Test {
  protected:
    void SetUp() override {
        dir = test_dir();
        setenv("ZYL_SIM_ROOT", dir.c_str(), 1);
        setenv("ZYL_KMS_STANDBY", (dir + "/standby.png").c_str(), 1);
        unsetenv("ZYL_KMS_MENU_PLANE");
        unsetenv("ZYL_KMS_STANDBY_QR");
        test_screens().standby.settings = config_read().standby;
        overlays_configure(ov, config_read().overlays);
        connect_screen_enable(test_screens().drawing.connect, config_read().overlays.show_connect);
        use_face();
    }
    void TearDown() override {
        forget_card();
        unsetenv("ZYL_SIM_ROOT");
        unsetenv("ZYL_KMS_STANDBY");
        unsetenv("ZYL_SIM_CARD");
    }
    void init(const std::string &board) {
        std::string err;
        ASSERT_EQ(0, drm_init_on(board, &err)) << err;
    }
    void menu(const std::string &text) { ov.menu = parse_text(parse_menu, text); }
    Picture screen(const char *connector) {
        EXPECT_GT(sim_card_write_pngs(dir.c_str()), 0);
        return read_png(dir + "/" + connector + ".png");
    }
    static bool near(const Picture &p, int x, int y, const int (&rgb)[3], int tol = 6) {
        auto c = p.at(x, y);
        for (int i = 0; i < 3; i++)
            if (abs(c[i] - rgb[i]) > tol) return false;
        return true;
    }
    static bool accent(const Picture &p, int x, int y) { return near(p, x, y, kAccent); }
    static void refresh_standby() {
        for (KmsOutput &o : test_screens().display.outputs()) standby_refresh(test_screens(), o);
    }
    std::string dir;
    Overlays &ov = test_screens().overlays;
    std::array<KmsOutput, kMaxOutputs> &outs = test_screens().display.outs;
};

}  // namespace

TEST_F(Screens, MenuOnTheOverlayPlaneFollowsFocusAndSelection) {
    init("two-display");
    // 1920x1080: panel 1190x626 at 365,227; tab column 404 wide, divider at 769;
    // tab i at y 435 + 60i; heading baseline 293; twelve rows shrink to 41 from y 329.
    menu("open\n1\n0\n0\n\nResolution: 1920x1080\n");
    render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
    Picture p = screen("HDMI-A-1");
    EXPECT_TRUE(accent(p, 385, 510)) << "the selected tab is filled";
    EXPECT_FALSE(accent(p, 385, 450)) << "the others are not";
    const int panel[3] = {11, 13, 18}, veil[3] = {3, 4, 5};
    EXPECT_TRUE(near(p, 1000, 800, panel));
    EXPECT_TRUE(near(p, 100, 100, veil));
    const int rule[3] = {0x2A, 0x31, 0x40};
    EXPECT_TRUE(near(p, 769, 600, rule, 4)) << "divider";
    EXPECT_TRUE(near(p, 1000, 306, rule, 4)) << "heading underline";
    // The probe left buffer 0 on the plane.
    EXPECT_EQ(1, outs[0].menu_front);
    EXPECT_EQ(1, outs[0].menu_shown);
    SimPlaneInfo plane;
    sim_card_plane_state(outs[0].menu_plane, &plane);
    EXPECT_EQ(outs[0].menu[1].fb.get(), plane.fb);

    std::string rows = "open\n1\n1\n2\nVideo\n";
    for (int i = 0; i < 12; i++)
        rows += "Row " + std::to_string(i) + ": " + std::to_string(i) + "\n";
    menu(rows);
    render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
    p = screen("HDMI-A-1");
    EXPECT_TRUE(accent(p, 380, 510)) << "the selected tab is outlined";
    EXPECT_FALSE(accent(p, 385, 510));
    EXPECT_TRUE(accent(p, 790, 329 + 2 * 41 + 15)) << "row 2 is filled";
    EXPECT_FALSE(accent(p, 790, 329 + 1 * 41 + 15));
    EXPECT_FALSE(accent(p, 790, 329 + 3 * 41 + 15));
    EXPECT_EQ(2, outs[0].menu_front) << "drawn into neither of the last two";
    sim_card_plane_state(outs[0].menu_plane, &plane);
    EXPECT_EQ(outs[0].menu[2].fb.get(), plane.fb);

    // The panel (800x480: panel 640x380 at 80,50, tab 2 at y 255) mirrored on its
    // flipped output only.
    outs[1].look.flip = Flip::kH;
    menu("open\n2\n0\n0\n\n");
    render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
    p = screen("HDMI-A-1");
    Picture d = screen("DSI-1");
    EXPECT_TRUE(accent(p, 385, 570));
    EXPECT_TRUE(accent(d, 800 - 1 - 95, 265));
    EXPECT_FALSE(accent(d, 95, 265));

    // A tab out of range is drawn as the nearest: 7 the last (About), -1 the first.
    for (auto [tab, y] : {std::pair{"7", 630}, {"-1", 450}}) {
        menu(std::string("open\n") + tab + "\n0\n0\n\n");
        render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
        p = screen("HDMI-A-1");
        EXPECT_TRUE(accent(p, 385, y)) << tab;
        EXPECT_FALSE(accent(p, 385, 570)) << tab;
    }
}

// The fringe of antialiased text: a bright overlay pixel at half or quarter alpha over
// dark video comes out as its colour times its alpha, never brighter (straight pixels
// on a plane that blends them as pre-multiplied) nor darker (pre-multiplied ones on a
// "Coverage" plane): on a plane the card composes as "Coverage" and on one that offers
// "Pre-multiplied" only.
TEST_F(Screens, TranslucentOverlayPixelsComeOutAsTheirColourOverTheVideo) {
    std::string premulti = read_file(board_path("two-display"));
    for (size_t at; (at = premulti.find("formats=AR24 zpos")) != std::string::npos;)
        premulti.replace(at, 17, "formats=AR24 blend=premulti zpos");
    write_file(dir + "/premulti.card", premulti);
    for (const std::string &card : {std::string("two-display"), dir + "/premulti.card"}) {
        SCOPED_TRACE(card);
        init(card);
        KmsOutput &o = outs[0];
        EXPECT_EQ(card == "two-display" ? 0 : 1, o.menu_premul);
        std::fill_n(o.menu_shadow.data(), o.menu_shadow.bytes, uint8_t(0));
        auto *row = reinterpret_cast<uint32_t *>(o.menu_shadow.data() + 100 * o.menu_shadow_stride);
        row[100] = 0x80FFFFFF;
        row[101] = 0x40F0C080;
        menu_present(o, menu_back(o));
        const Picture p = screen("HDMI-A-1");
        EXPECT_TRUE(near(p, 100, 100, {128, 128, 128}, 2));
        EXPECT_TRUE(near(p, 101, 100, {60, 48, 32}, 2));
    }
}

TEST_F(Screens, NothingShownSwitchesThePlaneOffOnce) {
    init("two-display");
    menu("message\nLink lost\n");
    render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
    Picture p = screen("HDMI-A-1");
    // The message in accent under "Info", centred at a fifth of the height.
    int accents = 0, left = 1920, right = 0;
    for (int y = 216 - 10; y < 216 + 32; y++)
        for (int x = 0; x < 1920; x++)
            if (accent(p, x, y)) {
                accents++;
                left = std::min(left, x);
                right = std::max(right, x);
            }
    EXPECT_GT(accents, 300);
    EXPECT_NEAR(960, (left + right) / 2, 8);

    menu("closed\n");
    render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
    SimPlaneInfo plane;
    sim_card_plane_state(outs[0].menu_plane, &plane);
    EXPECT_EQ(0u, plane.fb);
    EXPECT_EQ(0, outs[0].menu_shown);
    EXPECT_EQ(-1, outs[0].menu_front);
    uint64_t updates = sim_card_counters().plane_updates;
    render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
    EXPECT_EQ(updates, sim_card_counters().plane_updates) << "an off plane is left alone";
    EXPECT_TRUE(near(screen("HDMI-A-1"), 960, 540, {0, 0, 0}, 0));
}

TEST_F(Screens, SidebarOutputDrawsIntoItsStandbyBuffer) {
    write_file(dir + "/standby.png", read_file(stream_path("std_16x9.jpg")));
    init("rk-vop-sidebar");
    ASSERT_EQ(1, outs[0].sidebar);
    const int panel[3] = {0x0C, 0x0E, 0x13}, black[3] = {0, 0, 0};
    auto pass = [&](const std::string &text) {
        menu(text);
        render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
        return screen("HDMI-A-1");
    };
    auto all_black = [](const Picture &p) {
        for (int y = 0; y < p.h; y += 2)
            for (int x = 0; x < p.w; x += 2)
                if (!is_black(p, x, y)) return ::testing::AssertionFailure() << x << "," << y;
        return ::testing::AssertionSuccess();
    };
    const std::string open = "open\n0\n0\n0\n\n", message = "message\nRecording\n";

    // Without video: over the whole standby picture, as on an overlay plane.
    Picture p = pass(open);
    EXPECT_TRUE(accent(p, 385, 450)) << "the first tab, laid out for the whole screen";
    EXPECT_TRUE(near(p, 300, 900, black, 20)) << "the veil over the picture";
    p = pass("");
    EXPECT_FALSE(near(p, 300, 900, black, 20)) << "closed: the standby picture is back";

    // Beside video: in the column the video leaves free, the rest stays black.
    // As when video starts: the standby buffer is blacked.
    test_screens().showing_video = true;
    for (int y = 0; y < 1080; y++)
        memset(outs[0].standby.px() + size_t(y) * outs[0].standby.pitch, 0, 1920 * 4);
    p = pass(open);
    EXPECT_TRUE(accent(p, 100, 480)) << "the first tab, laid out in the column";
    EXPECT_TRUE(near(p, 100, 1000, panel, 0)) << "the column's background";
    EXPECT_TRUE(near(p, 385, 450, black, 0)) << "nothing beside the column";
    EXPECT_TRUE(near(p, 1000, 540, black, 0));
    EXPECT_TRUE(all_black(pass(""))) << "closed: the column is black again";
    p = pass(message);
    EXPECT_TRUE(near(p, 300, 900, panel, 0)) << "the message column";
    EXPECT_TRUE(near(p, 400, 900, black, 0));
    EXPECT_TRUE(accent(pass(open), 100, 480)) << "the message gives way to the menu";
    pass(message);
    EXPECT_TRUE(all_black(pass("")));

    // Mirrored like the video, whose free column is then on the right.
    outs[0].look.flip = Flip::kH;
    p = pass(open);
    EXPECT_TRUE(accent(p, 1919 - 100, 480));
    EXPECT_TRUE(near(p, 100, 450, black, 0));
    EXPECT_TRUE(all_black(pass(""))) << "closed: the right column is black again";

    // Video stops with the menu open: the whole-screen layout over the standby picture.
    pass(open);
    test_screens().showing_video = false;
    p = pass(open);
    EXPECT_TRUE(accent(p, 1919 - 385, 450));
    EXPECT_FALSE(accent(p, 1919 - 100, 450)) << "the column's drawing is gone";
}

TEST_F(Screens, PopupOnThePanelOnly) {
    init("two-display");
    ov.osd = OsdState{1, 2, "Video link lost: check the antenna connectors and the VTX power"};
    render_menu_all(test_screens().drawing, ov, overlay_facts(test_screens()));
    EXPECT_EQ(0, outs[0].menu_shown) << "an HDMI output without other layers stays off";
    EXPECT_EQ(1, outs[1].menu_shown);
    Picture d = screen("DSI-1");
    // 800x480: a tile of two lines (169 rows) from row 24, centred, red accent bar.
    const int red[3] = {0xFF, 0x5A, 0x5F};
    const PopupTile &tile = test_screens().drawing.popup;
    int x0 = (800 - tile.w) / 2;
    EXPECT_EQ(169, tile.h);
    EXPECT_TRUE(near(d, x0 + 18, 24 + 60, red, 0));
    EXPECT_TRUE(near(d, 400, 22, {0, 0, 0}, 0));
    EXPECT_FALSE(near(d, 400, 30, {0, 0, 0}, 0));
}

TEST_F(Screens, ConnectScreenCodeReadsBackOnMonitorAndPanel) {
    const std::string url = "rtmp://192.168.4.1:1935/live/goggles";
    const std::string rows = qr_rows(url);
    ASSERT_FALSE(rows.empty()) << "qrencode is missing: tools/install-deps.sh installs it";
    const int n = int(std::count(rows.begin(), rows.end(), '\n'));
    write_file(dir + "/standby.png", read_file(stream_path("std_16x9.jpg")));
    init("two-display");
    auto connect = [&](const std::string &text) {
        write_file(dir + "/run/zyl-fpv/connect", text);
        EXPECT_EQ(1, poll_connect(ov));
        refresh_standby();
        EXPECT_GT(sim_card_write_pngs(dir.c_str()), 0);
    };
    testing::internal::CaptureStderr();
    connect("ssid=FPV-Goggles-7F3A\npush=" + url + "\nqr=" + std::to_string(n) + "\n" + rows);
    ASSERT_EQ(n, ov.connect.qr_n);
    // zbarimg reads the address from both displays' pictures.
    EXPECT_EQ(url + "\n", zbar_read(dir + "/HDMI-A-1.png"));
    EXPECT_EQ(url + "\n", zbar_read(dir + "/DSI-1.png"));
    std::filesystem::copy_file(dir + "/HDMI-A-1.png", dir + "/connect-HDMI-A-1.png");
    std::filesystem::copy_file(dir + "/DSI-1.png", dir + "/connect-DSI-1.png");
    // The captions: the Wi-Fi name in white under the code, the address in teal above.
    const ConnectLayout l = connect_layout(800, 480, n);
    Picture d = read_png(dir + "/DSI-1.png");
    const int white[3] = {255, 255, 255}, teal[3] = {0x2D, 0xD4, 0xBF};
    int whites = 0, teals = 0;
    for (int x = 0; x < 800; x++) {
        for (int y = l.y0 + l.q + 2; y < l.y0 + l.q + 2 * l.wc + 4; y++)
            whites += near(d, x, y, white, 0);
        for (int y = l.y0 - 2 * l.pc; y < l.y0 - l.pc + 6; y++) teals += near(d, x, y, teal, 0);
    }
    EXPECT_GT(whites, 50);
    EXPECT_GT(teals, 200);
    EXPECT_TRUE(near(d, l.x0 + 1, l.y0 + 1, white, 0)) << "quiet zone";

    // Files that leave no code leave the plain standby picture: no code, no captions.
    Picture plain_h = screen("HDMI-A-1");
    std::string head = "ssid=FPV\npush=" + url + "\nqr=";
    std::string short_rows = rows.substr(0, rows.rfind('\n', rows.size() - 2) + 1);
    std::string odd = rows;
    std::replace(odd.begin(), odd.end(), '.', 'o');  // a row starting "o" is not a row
    for (const std::string &bad :
         {head + std::to_string(n) + "\n" + short_rows, head + std::to_string(n + 1) + "\n" + rows,
          head + std::to_string(n) + "\n" + odd, head + "0\n" + rows, head + "65\n" + rows,
          head + "-21\n" + rows, head + "abc\n" + rows}) {
        write_file(dir + "/standby.png", read_file(stream_path("std_16x9.jpg")));
        connect(bad);
        EXPECT_EQ(0, ov.connect.qr_n) << bad.substr(0, 60);
        EXPECT_EQ("", zbar_read(dir + "/HDMI-A-1.png"));
        Picture h = read_png(dir + "/HDMI-A-1.png");
        EXPECT_FALSE(near(h, l.x0 + 1, l.y0 + 1, white, 0));
    }
    // Rows of the wrong length and characters other than "#" and ".": every
    // character but "#" is a light module, a short row ends in light ones.
    std::string ragged;
    for (size_t i = 0, row = 0; i < rows.size(); row++) {
        size_t end = rows.find('\n', i);
        std::string r = rows.substr(i, end - i);
        if (row % 3 == 1) r += "#####";  // longer: the extra modules are not read
        std::replace(r.begin() + 1, r.end(), '.', row % 2 ? 'x' : ' ');
        ragged += r + "\n";
        i = end + 1;
    }
    connect(head + std::to_string(n) + "\n" + ragged);
    EXPECT_EQ(url + "\n", zbar_read(dir + "/HDMI-A-1.png"));
    // A 5,000-byte Wi-Fi name (its first 63 characters) and invalid UTF-8.
    connect("ssid=" + std::string(5000, 'W') + "\npush=\xff\xfe\xc3(bad\nqr=" + std::to_string(n) +
            "\n" + rows);
    EXPECT_EQ(63u, strlen(ov.connect.ssid));
    EXPECT_EQ(url + "\n", zbar_read(dir + "/DSI-1.png"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, count_lines(err, "hidden")) << err;
}

TEST_F(Screens, ConnectScreenHiddenBySetting) {
    setenv("ZYL_KMS_STANDBY_QR", "0x", 1);
    std::filesystem::create_directories(dir + "/run/zyl-fpv");
    write_file(dir + "/run/zyl-fpv/connect",
               "ssid=FPV\npush=rtmp://h/live/\nqr=" + std::to_string(21) + "\n" +
                   qr_rows("rtmp://h/live/"));
    std::string err;
    ASSERT_EQ(0, drm_init_on("two-display", &err)) << err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, poll_connect(ov));
    EXPECT_EQ(21, ov.connect.qr_n);
    refresh_standby();
    EXPECT_GT(sim_card_write_pngs(dir.c_str()), 0);
    err += testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, count_lines(err, "zyl-kms: standby QR/captions hidden (ZYL_KMS_STANDBY_QR=0)"))
        << err;
    EXPECT_EQ("", zbar_read(dir + "/HDMI-A-1.png"));
    EXPECT_TRUE(near(read_png(dir + "/HDMI-A-1.png"), 1700, 900, {0, 0, 0}, 0));
}

TEST_F(Screens, StandbyPicturesOfEveryKindAndBrokenOnes) {
    namespace fs = std::filesystem;
    const int w = 320, h = 180;
    std::vector<uint32_t> buf(size_t(w) * h);
    auto paint = [&](const char *) {
        std::fill(buf.begin(), buf.end(), 0xABABABAB);
        testing::internal::CaptureStderr();
        load_standby(test_screens().standby, reinterpret_cast<uint8_t *>(buf.data()), w * 4, w, h,
                     Fit::kStretch);
        return testing::internal::GetCapturedStderr();
    };
    const std::string path = dir + "/standby.png";
    for (const char *pic : {"std_rgb_4x3.png", "std_rgba.png", "std_grey_odd.png", "std_rgb48.png",
                            "std_pal_16x9.png", "std_16x9.jpg", "std_prog_4x3.jpg"}) {
        fs::copy_file(stream_path(pic), path, fs::copy_options::overwrite_existing);
        std::string err = paint(pic);
        EXPECT_EQ(1, count_lines(err, "rows painted")) << pic << ": " << err;
        EXPECT_EQ(0, count_lines(err, "deprecated")) << pic << ": " << err;
        uint32_t centre = buf[size_t(h / 2) * w + w / 2];
        EXPECT_NE(0u, centre & 0xFFFFFF) << pic;
        uint32_t alpha = centre >> 24;
        if (!strcmp(pic, "std_rgba.png"))
            EXPECT_NEAR(128, alpha, 1) << "PNG alpha is kept";
        else
            EXPECT_EQ(255u, alpha) << pic;
        if (!strcmp(pic, "std_grey_odd.png")) {
            EXPECT_EQ(centre & 0xFF, centre >> 8 & 0xFF);
            EXPECT_EQ(centre & 0xFF, centre >> 16 & 0xFF);
        }
    }
    // Whatever fails, the buffer is black, never what was there before.
    auto all_black = [&] { return std::count(buf.begin(), buf.end(), 0u) == long(buf.size()); };
    const std::string png = read_file(stream_path("std_rgb_4x3.png"));
    fs::remove(path);
    std::string err = paint("missing");
    EXPECT_EQ("zyl-mpp: standby " + path + ": open failed: No such file or directory\n", err);
    EXPECT_TRUE(all_black());
    EXPECT_EQ("", paint("missing again")) << "a cause that stays is reported once";
    write_file(path, "");
    EXPECT_EQ("zyl-mpp: standby " + path + ": empty file\n", paint("empty"));
    EXPECT_TRUE(all_black());
    write_file(path, png.substr(0, png.size() / 3));
    err = paint("truncated");
    EXPECT_EQ(1, count_lines(err, "zyl-mpp: standby " + path)) << err;
    for (uint32_t p : buf) ASSERT_NE(0xABABABABu, p);
    // A JPEG named .png; a success also ends the silence of the decode failure above.
    write_file(path, read_file(stream_path("std_4x3.jpg")));
    EXPECT_EQ(1, count_lines(paint("jpeg"), "800x600 fmt 12 → 320x180 at 0,0 (fit stretch)"));
    write_file(path, "this is not a picture\n");
    EXPECT_EQ(1, count_lines(paint("text"), "decode failed (send="));
    EXPECT_TRUE(all_black());
    fs::copy_file(stream_path("std_huge.png"), path, fs::copy_options::overwrite_existing);
    EXPECT_EQ("zyl-mpp: standby " + path +
                  ": 8000x8000 needs 244 MB decoded, more than 64 MB — not shown\n",
              paint("huge"));
    EXPECT_TRUE(all_black());
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_EQ("zyl-mpp: standby " + path + ": not a regular file\n", paint("directory"));
    EXPECT_TRUE(all_black());
}

// Straight pixels become pre-multiplied ones only where the plane cannot be told to
// take them straight; the stream's tags (or the picture's height) pick the matrix.
TEST(OverlayBlend, PlaneModeAndStreamColourPickWhatThePlanesAreGiven) {
    PropEntry blend{"pixel blend mode", 7, 1, 0x7};
    EXPECT_EQ(overlay_blend(&blend).set, 2u);
    EXPECT_FALSE(overlay_blend(&blend).premultiply);
    blend.enum_bits = 0x3;  // no Coverage
    EXPECT_TRUE(overlay_blend(&blend).premultiply);
    EXPECT_TRUE(overlay_blend(nullptr).premultiply);
    const uint32_t in[] = {0x80FFFFFF, 0x00FF0000, 0xFF102030, 0x40804020};
    uint32_t out[4];
    premultiply_row(out, in, 4);
    EXPECT_EQ(out[0], 0x80808080u);
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(out[2], 0xFF102030u);
    EXPECT_EQ(out[3], 0x40201008u);
    const struct {
        int spc, range, height;
        uint64_t enc, full;
    } cases[] = {
        {1, 0, 480, 1, 0},   // BT.709 tag wins over the height
        {5, 2, 1080, 0, 1},  // BT470BG, full range
        {6, 1, 1080, 0, 0},  // SMPTE170M
        {9, 0, 2160, 2, 0},  // BT.2020
        {2, 0, 720, 1, 0},   // untagged HD
        {2, 0, 719, 0, 0},   // untagged SD
    };
    for (const auto &c : cases) {
        const YuvColor got = yuv_color(c.spc, c.range, c.height);
        EXPECT_EQ(got.encoding, c.enc) << c.spc << " " << c.height;
        EXPECT_EQ(got.range, c.full) << c.spc << " " << c.height;
    }
}
