// The SPI tee's parts that need no display: its settings, where pictures land in the
// frame, the rate limit counted over a 60 fps clock, the converter thread's RGB565,
// and the status strip's layout and blend. Whole runs are in live_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <cstring>
#include <random>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "overlay/overlay.h"
#include "spitee/spitee.h"

namespace {

bool same(SpiRect a, SpiRect b) {
    return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}

TEST(SpiSettings, SizeIntervalAndRateLimit) {
    struct Size {
        const char *text;
        int w, h;
    } const good[] = {
        {"320x240", 320, 240}, {"1x1", 1, 1}, {"1024x1024", 1024, 1024}, {"0320x0240", 320, 240}};
    for (const Size &s : good) {
        int w = 0, h = 0;
        EXPECT_TRUE(spi_tee_parse_size(s.text, &w, &h)) << s.text;
        EXPECT_TRUE(w == s.w && h == s.h) << s.text;
    }
    const char *const bad[] = {"0x240", "2000x100", "1025x10", "10x1025", "-5x10", "320", "", "abc",
                               // Numbers that wrap around into range in a 32-bit or a 64-bit int.
                               "4294967617x240", "320x4294967536", "18446744073709551936x240",
                               // Anything around or inside the two numbers.
                               " 320x240", "320x240 ", "320x240junk", "320 x240", "320x 240",
                               "+320x240", "320x+240", "320X240", "320x", "x240", "320x240x2"};
    for (const char *text : bad) {
        int w = 7, h = 7;
        EXPECT_FALSE(spi_tee_parse_size(text, &w, &h)) << text;
        EXPECT_TRUE(w == 7 && h == 7) << text;
    }
    int w = 0, h = 0;
    EXPECT_FALSE(spi_tee_parse_size(nullptr, &w, &h));

    // Frames of a 60 fps source, counted through the limit.
    struct Rate {
        const char *fps;
        double interval;
        int passed;  // of 120 frames
    } const rates[] = {{nullptr, 0.047, 40}, {"10", 0.097, 20}, {"0", 0, 120},
                       {"-3", 0, 120},       {"abc", 0, 120},   {"", 0, 120}};
    for (const Rate &r : rates) {
        const double dt = spi_tee_min_interval(r.fps);
        EXPECT_NEAR(dt, r.interval, 1e-6) << (r.fps ? r.fps : "unset");
        int64_t last = 0;
        int passed = 0;
        for (int i = 0; i < 120; i++) passed += spi_tee_rate_pass(dt, 5000000 + i * 16667, &last);
        EXPECT_EQ(passed, r.passed) << (r.fps ? r.fps : "unset");
    }
}

TEST(SpiGeometry, VideoFitAndFillStandbyFitted) {
    // The pass's 1920x1080 in a 320x240 tee: bars above and below, or cut at the sides.
    EXPECT_TRUE(same(spi_tee_video_rect(320, 240, 1920, 1080, true), {0, 30, 320, 180}));
    EXPECT_TRUE(same(spi_tee_video_rect(320, 240, 1920, 1080, false), {-53, 0, 427, 240}));
    EXPECT_TRUE(same(spi_tee_video_rect(160, 120, 320, 240, false), {0, 0, 160, 120}));
    EXPECT_TRUE(same(spi_tee_video_rect(320, 120, 320, 240, true), {80, 0, 160, 120}));
    // Standby pictures: even sides, centred.
    EXPECT_TRUE(same(spi_tee_standby_rect(240, 240, 1920, 1080), {0, 53, 240, 134}));
    EXPECT_TRUE(same(spi_tee_standby_rect(320, 240, 640, 480), {0, 0, 320, 240}));
    EXPECT_TRUE(same(spi_tee_standby_rect(320, 120, 100, 1000), {154, 0, 12, 120}));
    // Too thin to keep its shape: the whole frame, even.
    EXPECT_TRUE(same(spi_tee_standby_rect(321, 241, 10000, 1), {0, 0, 320, 240}));
}

// Three frames queued at once come out in order on the converter thread, each as its
// RGB565 (top bits, alpha dropped), the last one left in the frame; seq ends even at
// two per frame and every staging buffer is free again.
TEST(SpiConverter, QueuedFramesBecomeTheirRgb565InOrder) {
    const int W = 64, H = 48;
    SpiTee tee({.on = true, .w = W, .h = H, .strip = false});
    const size_t bytes = spi_frame_bytes(W, H);
    void *shm = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shm, MAP_FAILED);
    tee.shm = Mapping(shm, bytes);
    SpiFrame *frame = tee.frame();
    ASSERT_TRUE(spi_tee_converter_start(tee));

    // Each frame, handed over alone, becomes its own RGB565 picture; three handed over
    // at once end on the last of them (the FIFO's order).
    std::mt19937 rnd(7);
    std::vector<uint8_t> last(size_t(W) * H * 4);
    auto queue_one = [&] {
        int i = spi_tee_take_buffer(tee);
        ASSERT_GE(i, 0);
        for (uint8_t &b : last) b = uint8_t(rnd());
        memcpy(tee.buf[i].data(), last.data(), last.size());
        spi_tee_queue(tee, i);
    };
    auto wrong_pixels = [&](unsigned seq) {
        for (int t = 0; t < 500 && __atomic_load_n(&frame->seq, __ATOMIC_ACQUIRE) < seq; t++)
            usleep(10000);
        std::lock_guard hold(tee.lock);
        EXPECT_EQ(frame->seq, seq);
        int wrong = 0;
        const uint16_t *px = spi_frame_pixels(frame);
        for (int p = 0; p < W * H; p++) {
            const uint8_t *c = &last[size_t(p) * 4];
            wrong += px[p] != uint16_t((c[0] >> 3) << 11 | (c[1] >> 2) << 5 | c[2] >> 3);
        }
        return wrong;
    };
    for (unsigned k = 1; k <= 3; k++) {
        queue_one();
        EXPECT_EQ(wrong_pixels(2 * k), 0) << "frame " << k;
    }
    for (int k = 0; k < 3; k++) queue_one();
    EXPECT_EQ(wrong_pixels(12), 0);
    EXPECT_EQ(spi_tee_take_buffer(tee), 0);
}

constexpr uint32_t kBg = 0x99080A0F, kIcon = 0xFF8B94A6, kRed = 0xFFF87171, kAmber = 0xFFFAB23F,
                   kGreen = 0xFF4ADE80, kText = 0xFFEEF0F4;

// The strip drawn with the 8x8 font (no face is loaded here): at size 14 every
// character is 16 pixels wide, so each item's place follows from its text.
struct Strip {
    int w;
    std::vector<uint32_t> px;
    explicit Strip(const SpiStripValues &v, int board = -1000, const char *uptime = "UP 1:02",
                   int width = 640)
        : w(width), px(size_t(width) * kSpiStripH) {
        OverlaySurface s{reinterpret_cast<uint8_t *>(px.data()), uint32_t(w) * 4, w, kSpiStripH};
        spi_strip_draw(s, v, board, uptime);
    }
    // First and last column in [x0, x1) holding `colour`; {-1, -1} when none does.
    std::pair<int, int> span(uint32_t colour, int x0 = 0, int x1 = 1 << 20) const {
        std::pair<int, int> r{-1, -1};
        for (int x = std::max(x0, 0); x < std::min(x1, w); x++)
            for (int y = 0; y < kSpiStripH; y++)
                if (px[size_t(y) * w + x] == colour) {
                    if (r.first < 0) r.first = x;
                    r.second = x;
                }
        return r;
    }
    // `colour` drawn in [x0, x0 + chars * 16) and nowhere else in [lo, hi).
    bool text_at(uint32_t colour, int x0, int chars, int lo, int hi) const {
        auto s = span(colour, lo, hi);
        return s.first >= x0 && s.first < x0 + 16 && s.second >= x0 + (chars - 1) * 16 &&
               s.second < x0 + chars * 16;
    }
};

TEST(SpiStrip, ItemsFollowEachOtherInTheirColours) {
    const Strip s({1, 15, 31, 80, 1, 3600});
    EXPECT_EQ(s.px[0], kBg);
    EXPECT_EQ(s.span(kIcon, 0, 26).first, 6);        // goggles icon at 6
    EXPECT_TRUE(s.text_at(kRed, 26, 3, 0, 86));      // "15%"
    EXPECT_EQ(s.span(kIcon, 80, 105).first, 86);     // drone icon at 26 + 48 + 12
    EXPECT_TRUE(s.text_at(kGreen, 105, 3, 0, 640));  // "31%" at 86 + 19
    EXPECT_TRUE(s.text_at(kAmber, 165, 4, 0, 640));  // "80°C" (the 8x8 font has no °)
    // The dot at 165 + 64 + 12, then "1:00:00" 11 further; no REC prefix from an hour.
    EXPECT_EQ(s.span(kRed, 230, 252), std::make_pair(241, 247));
    EXPECT_TRUE(s.text_at(kRed, 252, 7, 250, 400));
    EXPECT_TRUE(s.text_at(kIcon, 640 - 6 - 112, 7, 400, 640));  // uptime at the right edge
    // "REC 1:23" ends at 252 + 128: the uptime keeps 12 pixels clear of it or is left
    // out, so narrow strips never mix its pixels into the recording time.
    for (auto [width, shown] : {std::pair{320, false}, {509, false}, {510, true}}) {
        const Strip n({1, 15, 31, 80, 1, 83}, -1000, "UP 1:02", width);
        if (shown)
            EXPECT_TRUE(n.text_at(kIcon, width - 6 - 112, 7, 105, width)) << width;
        else
            EXPECT_EQ(n.span(kIcon, 105).first, -1) << width;
    }
}

TEST(SpiStrip, LevelsTemperaturesAndRecordingTimes) {
    for (auto [pct, colour] : {std::pair{15, kRed}, {16, kAmber}, {30, kAmber}, {31, kGreen}}) {
        const Strip s({1, pct, -1, -1000, 0, 0});
        EXPECT_TRUE(s.text_at(colour, 26, 3, 0, 86)) << pct;
    }
    // No goggles value: the drone item moves to the start.
    EXPECT_EQ(Strip({1, -1, 50, -1000, 0, 0}).span(kIcon, 0, 40).first, 6);
    EXPECT_TRUE(Strip({1, -1, 50, -1000, 0, 0}).text_at(kGreen, 25, 3, 0, 100));
    // Temperature: 79 normal, 80 hot; -100 falls back to the board, none without one.
    EXPECT_TRUE(Strip({1, -1, -1, 79, 0, 0}).text_at(kText, 6, 4, 0, 200));
    EXPECT_TRUE(Strip({1, -1, -1, -99, 0, 0}).text_at(kText, 6, 5, 0, 200));
    EXPECT_TRUE(Strip({1, -1, -1, -100, 0, 0}, 85).text_at(kAmber, 6, 4, 0, 200));
    EXPECT_EQ(Strip({1, -1, -1, -100, 0, 0}).span(kText).first, -1);
    // No telemetry at all: the board's temperature and the uptime only.
    const Strip bare({0, 50, 50, 20, 1, 10}, 42);
    EXPECT_TRUE(bare.text_at(kText, 6, 4, 0, 200));
    EXPECT_EQ(bare.span(kGreen).first, -1);
    EXPECT_EQ(bare.span(kRed).first, -1);
    EXPECT_EQ(Strip({0, 0, 0, 0, 0, 0}, -1000, "").span(kIcon).first, -1);
    // Recording text after the dot at 6 (no other items): "REC m:ss" below an hour.
    for (auto [recs, chars] : {std::pair{59, 8}, {3599, 9}, {3600, 7}, {-5, 8}}) {
        const Strip s({1, -1, -1, -1000, 1, recs});
        EXPECT_EQ(s.span(kRed, 0, 17), std::make_pair(6, 12)) << recs;
        EXPECT_TRUE(s.text_at(kRed, 17, chars, 14, 400)) << recs;
    }
}

TEST(SpiStrip, BlendIntoRgb565ShiftsWithoutReplication) {
    const int W = 4;
    std::vector<uint32_t> strip(size_t(W) * kSpiStripH, 0);
    strip[0] = 0x00FF0000;  // alpha 0: untouched
    strip[1] = 0xFF123456;  // opaque: the colour's top bits
    strip[2] = kBg;         // 153 over white
    strip[size_t(kSpiStripH - 1) * W] = 0xFF000000;
    for (int H : {30, 10}) {
        std::vector<uint16_t> px(size_t(W) * H, 0xFFFF);
        spi_strip_blend(px.data(), W, H, strip.data());
        EXPECT_EQ(px[0], 0xFFFF);
        EXPECT_EQ(px[1], spi_rgb565(0x12, 0x34, 0x56));
        // red (31*8*102 + 8*153)/255 = 104, green (63*4*102 + 10*153)/255 = 106,
        // blue (15*153 + 31*8*102)/2040 = 13.
        EXPECT_EQ(px[2], (104 >> 3) << 11 | (106 >> 2) << 5 | 13);
        if (H == 30) {
            EXPECT_EQ(px[size_t(kSpiStripH - 1) * W], 0);
            EXPECT_EQ(px[size_t(kSpiStripH) * W], 0xFFFF);  // below the strip
        }
    }
}

}  // namespace
