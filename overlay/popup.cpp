// Pop-up tiles: the message of the osd file as a rounded tile at the top centre of a
// picture. Wrapping measures many candidate lines, so the tile is rendered once into
// a buffer of its own and kept while its level, text and target size stay the same;
// each composite is then a plain blend. The same tile goes onto the panel's overlay
// (bytes B, G, R, A, top row first) and into the SPI display's read-back picture
// (bytes R, G, B, A, bottom row first).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kms/kms.h"
#include "overlay/overlay.h"

namespace {

constexpr uint32_t kShadow = 0x22000000, kTileBg = 0xF01A1D24, kLineText = 0xFFF2F4F8;
struct PopupSizes {
    int t, g;       // text and title size
    int tx;         // x of the title and the lines
    int ls, lh;     // line step, line height
    int br, bw;     // accent bar radius and width
    int hh, gb;     // head height, title baseline
    int bx, rm;     // accent bar x, right margin
    int li, tr;     // left indent, tile radius
    int max_lines;  // 3 on short targets, else 2
};

// One set, scaled as ui_scale says; lines keep a step of at least their text's size.
PopupSizes popup_sizes(int W, int H) {
    const UiScale u = ui_scale(W, H);
    PopupSizes z{};
    z.t = u.text(30);
    z.g = u.text(20);
    z.tx = u.px(37);
    z.ls = z.lh = std::max(u.px(37), z.t + 2);
    z.br = std::max(u.px(3), 1);
    z.bw = std::max(u.px(7), 2);
    z.hh = std::max(u.px(65), z.g + z.t + 4);
    z.gb = std::max(u.px(50), z.t + z.g);
    z.bx = z.rm = u.px(15);
    z.li = u.px(60);
    z.tr = u.px(18);
    z.max_lines = H < 400 ? 3 : 2;
    return z;
}

const char *level_title(int level) {
    return level < 1 ? "INFO" : level == 1 ? "PERINGATAN" : "KESALAHAN";
}
uint32_t level_accent(int level) {
    return level < 1 ? 0xFF4ADE80 : level == 1 ? 0xFFFFC24B : 0xFFFF5A5F;
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// Blends a row of tile pixels over the target's bytes. Branch-free, so the compiler
// can vectorise it: a pixel of alpha 0 blends to the target's own colour, and only
// its alpha byte has to be kept.
template <bool kRgba>
void blend_row(uint8_t *dst, const uint32_t *src, int n) {
    constexpr int ri = kRgba ? 0 : 2, bi = 2 - ri;
    for (int x = 0; x < n; x++, dst += 4) {
        const uint32_t p = src[x], a = p >> 24, na = 255 - a;
        const uint32_t r = p >> 16 & 0xFF, g = p >> 8 & 0xFF, b = p & 0xFF;
        dst[ri] = uint8_t((a * r + na * dst[ri]) / 255);
        dst[1] = uint8_t((a * g + na * dst[1]) / 255);
        dst[bi] = uint8_t((a * b + na * dst[bi]) / 255);
        dst[3] = a ? 255 : dst[3];
    }
}

}  // namespace

int pu_wrap(Font *font, const char *text, int ww, int t, int max_lines,
            char (*lines)[kPopupLineCap]) {
    const int len = int(strlen(text));
    int pos = 0, n = 0;
    char cand[kPopupLineCap];
    lines[0][0] = 0;
    while (pos < len && n < max_lines) {
        int take = 0, brk = 0;
        for (int k = 1;; k++) {
            memcpy(cand, text + pos, size_t(k));
            cand[k] = 0;
            if (ft_text_w(font, cand, t) > ww) {
                take = brk > 0 ? brk : std::max(k - 1, 1);
                break;
            }
            if (blank(text[pos + k - 1])) brk = k;
            if (pos + k >= len || k == kPopupLineCap - 1) {
                take = k;
                break;
            }
        }
        int keep = std::min(take, kPopupLineCap - 4);
        while (keep > 0 && blank(text[pos + keep - 1])) keep--;
        memcpy(lines[n], text + pos, size_t(keep));
        lines[n][keep] = 0;
        n++;
        pos += take;
        while (pos < len && blank(text[pos])) pos++;
    }
    if (pos < len) {
        char *last = lines[n - 1];
        const int dots = ft_text_w(font, "...", t);
        size_t k = strlen(last);
        while (k > 0 && ft_text_w(font, last, t) + dots > ww) last[--k] = 0;
        memcpy(last + k, "...", 4);
    }
    return std::max(n, 1);
}

void pu_render_tile(PopupTile &tile, Font *font, const OsdState &osd, int W, int H) {
    const int level = osd.level;
    char key[sizeof tile.key];
    snprintf(key, sizeof key, "%d|%d|%d|%s", level, W, H, osd.text);
    if (tile.w > 0 && strcmp(key, tile.key) == 0) return;
    memcpy(tile.key, key, sizeof key);
    tile.renders++;

    const PopupSizes z = popup_sizes(W, H);
    const UiScale u = ui_scale(W, H);
    const int mw = std::min(W - 2 * (W / 20 + 4), std::min(u.px(1280), kPopupMaxW));
    const int ww = std::max(mw - z.li - z.bw - z.rm, 40);
    char lines[3][kPopupLineCap];
    const int n = pu_wrap(font, osd.text, ww, z.t, z.max_lines, lines);
    const char *title = level_title(level);
    int widest = ft_text_w(font, title, z.g);
    for (int i = 0; i < n; i++) widest = std::max(widest, ft_text_w(font, lines[i], z.t));
    const int tw = std::min(widest + z.li + z.bw + z.rm, mw);
    const int th = std::min(z.hh + z.lh * n + z.t, std::min(u.px(220), kPopupMaxH));
    if (tw < 1 || th < 1) {
        tile.w = tile.h = 0;
        return;
    }

    // The tile is the same on every target: never mirrored.
    const OverlaySurface s{reinterpret_cast<uint8_t *>(tile.px.data()), uint32_t(tw) * 4, tw, th,
                           font};
    std::fill(tile.px.begin(), tile.px.begin() + ptrdiff_t(tw) * th, 0u);
    for (int i = 3; i >= 1; i--)
        fill_round_rect(s, i, i + i / 2, tw - 2 * i, th - i, z.tr, kShadow);
    fill_round_rect(s, 0, 0, tw, th, z.tr, kTileBg);
    const uint32_t accent = level_accent(level);
    fill_round_rect(s, z.bx, z.t, z.bw, th - z.li, z.br, accent);
    ft_text(s, z.tx, z.gb, title, accent, z.g);
    for (int i = 0; i < n; i++) ft_text(s, z.tx, z.t + z.hh + i * z.ls, lines[i], kLineText, z.t);
    tile.w = tw;
    tile.h = th;
}

LayoutBox popup_box(int W, int H, int tw, int th, int below, const LayoutBox *avoid) {
    const int x0 = std::max((W - tw) / 2, 0);
    int y0 = std::max(H / 24 + 4, below > 0 ? below + 4 : 0);
    if (avoid && y0 < avoid->y + avoid->h && avoid->y < y0 + th && x0 < avoid->x + avoid->w &&
        avoid->x < x0 + tw)
        y0 = avoid->y + avoid->h + 4;
    if (y0 + th > H) y0 = th < H ? H - th : 0;
    return {"popup", x0, y0, std::min(tw, W - x0), std::min(th, H - y0)};
}

void pu_blit(PopupTile &tile, const PopupTarget &t, const OsdState &osd, int below,
             const LayoutBox *avoid) {
    std::lock_guard<std::mutex> hold(tile.lock);
    pu_render_tile(tile, t.font, osd, t.w, t.h);
    const int tw = tile.w, th = tile.h, H = t.h;
    if (tw > 0 && th > 0 && t.px) {
        const LayoutBox b = popup_box(t.w, H, tw, th, below, avoid);
        const int x0 = b.x, y0 = b.y, cols = b.w;
        for (int ty = 0; ty < th; ty++) {
            const int row = y0 + ty;
            if (row < 0 || row >= H) continue;
            uint8_t *dst =
                t.px + size_t(t.flip_rows ? H - 1 - row : row) * t.stride + size_t(x0) * 4;
            const uint32_t *src = tile.px.data() + size_t(ty) * tw;
            if (t.rgba)
                blend_row<true>(dst, src, cols);
            else
                blend_row<false>(dst, src, cols);
        }
    }
}

void draw_osd(PopupTile &tile, const KmsOutput &o, const OverlaySurface &s, const OsdState &osd,
              int below, const LayoutBox *avoid) {
    if (!osd.active || !o.is_dsi || s.w < 1 || s.h < 1 || !s.px) return;
    pu_blit(tile, PopupTarget{s.px, s.stride, s.w, s.h, 0, 0, s.font}, osd, below, avoid);
}
