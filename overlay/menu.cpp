// The menu (a panel with four tabs and a list of rows) and the message screen, drawn
// from the menu record. Everything is placed from a handful of sizes chosen by the screen's
// height, so the same drawing reads on a 480-line panel and on a 1080p monitor.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "overlay/overlay.h"

namespace {

constexpr uint32_t kVeil = 0xB3050608;    // over the video behind the menu or a message
constexpr uint32_t kPanel = 0xF20C0E13;   // menu panel; sidebar background
constexpr uint32_t kAccent = 0xFF36D399;  // selection, focus, values, the message
constexpr uint32_t kOnAccent = 0xFF04231A;
constexpr uint32_t kText = 0xFFEEF0F4;
constexpr uint32_t kMuted = 0xFF8B94A6;  // tab icons, "Info"
constexpr uint32_t kRule = 0xFF2A3140;   // divider, heading underline

const char *const kTabNames[4] = {"Stream", "Display", "System", "About"};

// Icons are drawn from rectangles so they look the same with and without a face.
void draw_tab_icon(const OverlaySurface &s, int tab, int tx, int y, const MenuLayout &L,
                   uint32_t c) {
    const int sz = L.s, t = L.large ? 3 : 2;
    switch (tab) {
        case 0: {  // a right-pointing triangle
            const int half = L.large ? 12 : 9;
            for (int k = -half; k < half; k++) {
                int len = 2 * half - 2 * abs(k);
                if (len > 0) fill_rect(s, tx + t, y + k + half, len, 1, c);
            }
            break;
        }
        case 1: {  // a monitor on its foot
            const int mh = sz * 7 / 10;
            rect_outline(s, tx, y, sz, mh, t, c);
            fill_rect(s, tx + sz / 2 - t, y + mh, 2 * t, t, c);
            fill_rect(s, tx + sz / 4, y + mh + t, sz / 2, t, c);
            break;
        }
        case 2: {  // a gear: a square with a tooth on each side and a solid centre
            const int q = sz - (L.large ? 6 : 4), tooth = L.large ? 6 : 4;
            const int x0 = tx + sz / 10, y0 = y + sz / 10, cx = x0 + q / 2, cy = y0 + q / 2;
            rect_outline(s, x0, y0, q, q, t, c);
            fill_rect(s, cx - tooth / 2, y0 - tooth / 2, tooth, tooth, c);
            fill_rect(s, cx - tooth / 2, y0 + q - tooth / 2, tooth, tooth, c);
            fill_rect(s, x0 - tooth / 2, cy - tooth / 2, tooth, tooth, c);
            fill_rect(s, x0 + q - tooth / 2, cy - tooth / 2, tooth, tooth, c);
            fill_rect(s, cx - q / 6, cy - q / 6, q / 3, q / 3, c);
            break;
        }
        default: {  // an "i"
            const int dot = L.large ? 6 : 4;
            const int dx = tx + (L.large ? 12 : 9), dy = y + (L.large ? 4 : 3);
            fill_rect(s, dx, dy, dot, dot, c);
            fill_rect(s, dx, dy + (L.large ? 9 : 6), dot, L.large ? 11 : 9, c);
            break;
        }
    }
}

void draw_rows(const OverlaySurface &s, const MenuState &m, const MenuLayout &L, int d, int hb) {
    const int n = std::clamp(m.nrows, 0, 12);
    if (n == 0) return;
    const int right = L.px + L.pw;
    int rh = L.row_h;
    const int avail = (L.py + L.ph - L.pad) - (hb + 34);
    if (n * rh > avail) rh = avail / n;
    for (int i = 0; i < n; i++) {
        const int y = hb + 36 + i * rh;
        const int base = y + (rh + L.s) / 2 - (L.large ? 8 : 6);
        uint32_t label = kText, value = kAccent;
        if (m.focus && m.sel == i) {
            fill_round_rect(s, d + 1 + L.pad / 2, y, right - (d + 1) - L.pad, rh - 4, 12, kAccent);
            label = value = kOnAccent;
        }
        MenuRow r = split_row(m.rows[i]);
        ft_text(s, d + 1 + L.pad, base, r.label, label, L.s);
        if (r.value)
            ft_text(s, right - L.pad - ft_text_w(s.font, r.value, L.s), base, r.value, value, L.s);
    }
}

}  // namespace

MenuLayout menu_layout(int W, int H) {
    MenuLayout L{};
    L.large = H >= 1000;
    L.pad = L.large ? 28 : 20;
    L.s = L.large ? 30 : 22;
    L.head = L.large ? 38 : 30;
    L.tab_step = L.large ? 60 : 52;
    L.tab_x = L.large ? 32 : 24;
    L.row_h = L.large ? 48 : 40;
    L.pw = W * 62 >= 64000 ? W * 62 / 100 : W < 640 ? W - 8 : 640;
    L.ph = H * 58 >= 38000 ? H * 58 / 100 : H < 380 ? H - 8 : 380;
    L.px = (W - L.pw) / 2;
    if (L.pw >= W - 39) {
        L.pw = W - 40;
        L.px = 20;
    }
    L.py = (H - L.ph) / 2;
    if (L.ph >= H - 39) {
        L.ph = H - 40;
        L.py = 20;
    }
    return L;
}

MenuRow split_row(const char *row) {
    MenuRow r{};
    const char *colon = nullptr;
    for (const char *p = strstr(row, ": "); p; p = strstr(p + 1, ": ")) colon = p;
    size_t n = colon ? size_t(colon - row) : strlen(row);
    n = std::min(n, sizeof r.label - 1);
    memcpy(r.label, row, n);
    r.label[n] = 0;
    r.value = colon ? colon + 2 : nullptr;
    return r;
}

void menu_boxes(Font *font, int W, int H, const MenuState &m, ScreenLayout &out) {
    const MenuLayout L = menu_layout(W, H);
    layout_add(out, "#panel", L.px, L.py, L.pw, L.ph);
    const int d = L.px + L.pw * 34 / 100, hx = d + 1 + L.pad, hb = L.py + L.pad + L.head;
    const char *title = m.title[0] ? m.title : kTabNames[std::clamp(m.tab, 0, 3)];
    const int rule_w = (L.px + L.pw) - (d + 1) - 2 * L.pad;
    layout_add(out, "head", hx, hb - L.head, std::max(ft_text_w(font, title, L.head), rule_w),
               L.head + 14);
}

void draw_menu(const OverlaySurface &s, const MenuState &m, int W, int H, bool sidebar) {
    const MenuLayout L = menu_layout(W, H);
    if (sidebar)
        fill_rect(s, 0, 0, W / 2, H, kPanel);
    else
        fill_rect(s, 0, 0, W, H, kVeil);
    fill_round_rect(s, L.px, L.py, L.pw, L.ph, 22, kPanel);

    // Tab column on the left of the panel, the selected tab's rows on the right.
    const int tw = L.pw * 34 / 100, d = L.px + tw;
    const int tx = L.px + L.tab_x, y0 = L.py + (L.ph - 4 * L.tab_step) / 2 + 15;
    const int selected = std::clamp(m.tab, 0, 3);
    for (int i = 0; i < 4; i++) {
        const int y = y0 + i * L.tab_step;
        uint32_t icon = kMuted, text = kText;
        if (i == selected && m.focus == 0) {
            fill_round_rect(s, L.px + L.pad / 2, y - 11, tw - L.pad, L.s + 22, 12, kAccent);
            icon = text = kOnAccent;
        } else if (i == selected) {
            rect_outline(s, L.px + L.pad / 2, y - 11, tw - L.pad, L.s + 22, 2, kAccent);
            icon = text = kAccent;
        }
        draw_tab_icon(s, i, tx, y, L, icon);
        ft_text(s, tx + L.s + 18, y + (L.large ? 24 : 18), kTabNames[i], text, L.s);
    }
    fill_rect(s, d, L.py + L.pad, 2, L.ph - 2 * L.pad, kRule);

    const int hx = d + 1 + L.pad, hb = L.py + L.pad + L.head;
    ft_text(s, hx, hb, m.title[0] ? m.title : kTabNames[selected], kText, L.head);
    fill_rect(s, hx, hb + 12, (L.px + L.pw) - (d + 1) - 2 * L.pad, 2, kRule);
    draw_rows(s, m, L, d, hb);
}

void draw_message(const OverlaySurface &s, const MenuState &m, int W, int H, bool sidebar) {
    const bool large = H >= 1000;
    const int head = large ? 28 : 20;
    const int size = sidebar ? (large ? 40 : 30) : (large ? 64 : 44);
    const int gap = sidebar ? (large ? 20 : 15) : (large ? 32 : 22);
    const int area = sidebar ? 360 : W;
    if (sidebar)
        fill_rect(s, 0, 0, area, H, kPanel);
    else
        fill_rect(s, 0, 0, W, H, kVeil);
    ft_text(s, (area - ft_text_w(s.font, "Info", head)) / 2, H / 5 - size, "Info", kMuted, head);
    ft_text(s, (area - ft_text_w(s.font, m.msg, size)) / 2, H / 5 + gap, m.msg, kAccent, size);
}
