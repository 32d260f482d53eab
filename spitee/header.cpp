// The SPI display's status strip: batteries, temperature, recording time and uptime
// over the top 26 rows of every frame written to the tee. The display has no overlay
// plane, so the strip is drawn with the overlay primitives into an ARGB scratch strip
// and blended into the RGB565 pixels. It runs on the converter thread for video and
// on the main thread for the standby picture, always under the tee's lock, which also
// guards the one scratch strip.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "overlay/overlay.h"
#include "spitee/spitee.h"

namespace {

constexpr uint32_t kBackground = 0x99080A0F;
constexpr uint32_t kIcon = 0xFF8B94A6;   // icons and the uptime
constexpr uint32_t kRed = 0xFFF87171;    // low battery, recording
constexpr uint32_t kAmber = 0xFFFAB23F;  // middle battery, hot
constexpr uint32_t kGreen = 0xFF4ADE80;
constexpr uint32_t kText = 0xFFEEF0F4;  // normal temperature
constexpr int kTextPx = 14, kBaseline = 18;

uint32_t level_colour(int percent) {
    return percent <= 15 ? kRed : percent <= 30 ? kAmber : kGreen;
}

// One "NN%" battery item after its icon; returns where the next item starts.
int battery(const OverlaySurface &s, int text_x, int percent) {
    char t[16];
    snprintf(t, sizeof t, "%d%%", percent);
    return text_x + ft_text(s, text_x, kBaseline, t, level_colour(percent), kTextPx) + 12;
}

}  // namespace

void spi_strip_draw(const OverlaySurface &s, const SpiStripValues &v, int board_temp,
                    const char *uptime) {
    fill_rect(s, 0, 0, s.w, kSpiStripH, kBackground);
    int x = 6;  // where the next item starts: 12 pixels past the last one drawn
    int t = board_temp;
    if (v.valid) {
        if (v.gog >= 0) {
            draw_goggles_icon(s, 6, 7, 16, 12, kIcon);
            x = battery(s, 26, v.gog);
        }
        if (v.drn >= 0) {
            draw_drone_icon(s, x, 7, 14, 12, kIcon);
            x = battery(s, x + 19, v.drn);
        }
        if (v.tmp >= -99) t = v.tmp;
    }
    if (t >= -99) {
        char text[16];
        snprintf(text, sizeof text,
                 "%d\xB0"
                 "C",
                 t);
        x += ft_text(s, x, kBaseline, text, t >= 80 ? kAmber : kText, kTextPx) + 12;
    }
    if (v.valid && v.rec) {
        fill_round_rect(s, x, 9, 7, 7, 3, kRed);
        const int sec = std::max(v.recs, 0);
        char text[32];
        if (sec < 3600)
            snprintf(text, sizeof text, "REC %d:%02d", sec / 60, sec % 60);
        else
            snprintf(text, sizeof text, "%d:%02d:%02d", sec / 3600, sec / 60 % 60, sec % 60);
        x += 11 + ft_text(s, x + 11, kBaseline, text, kRed, kTextPx) + 12;
    }
    // On a narrow display the uptime gives way rather than run into the items on its
    // left: the recording time matters more to a pilot than how long the goggles are on.
    if (uptime && *uptime) {
        const int ux = s.w - 6 - ft_text_w(s.font, uptime, kTextPx);
        if (x == 6 || ux >= x) ft_text(s, ux, kBaseline, uptime, kIcon, kTextPx);
    }
}

void spi_strip_blend(uint16_t *px, int W, int H, const uint32_t *strip) {
    const int rows = std::min(kSpiStripH, H);
    for (int i = 0; i < rows * W; i++) {
        const uint32_t c = strip[i], a = c >> 24;
        if (!a) continue;
        const uint32_t d = px[i];
        const uint32_t r5 = d >> 11, g6 = d >> 5 & 0x3F, b5 = d & 0x1F;
        const uint32_t r = c >> 16 & 0xFF, g = c >> 8 & 0xFF, b = c & 0xFF;
        const uint32_t nr = (r5 * 8 * (255 - a) + r * a) / 255;
        const uint32_t ng = (g6 * 4 * (255 - a) + g * a) / 255;
        const uint32_t nb = (b * a + b5 * 8 * (255 - a)) / 2040;
        px[i] = uint16_t((nr >> 3) << 11 | (ng >> 2) << 5 | nb);
    }
}

void spi_tee_overlay_header(SpiTee &tee, uint16_t *px, const SpiStripValues &v) {
    if (!tee.strip_on) return;
    const int W = tee.settings.w;
    if (tee.strip_buf.empty()) {
        try {
            tee.strip_buf.resize(size_t(W) * kSpiStripH);
        } catch (const std::bad_alloc &) {
            tee.strip_on = false;
            return;
        }
    }
    char uptime[24];
    fmt_uptime(uptime);
    const bool needs_board = !v.valid || v.tmp < -99;
    const OverlaySurface s{reinterpret_cast<uint8_t *>(tee.strip_buf.data()), uint32_t(W) * 4, W,
                           kSpiStripH, tee.font};
    spi_strip_draw(s, v, needs_board ? board_temp_c() : -1000, uptime);
    spi_strip_blend(px, W, tee.settings.h, tee.strip_buf.data());
}
