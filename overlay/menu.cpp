// The menu (a panel with four tabs and a list of rows) and the message screen, drawn
// from the menu record. Everything is placed from a handful of sizes chosen by the screen's
// size (ui_scale), so the same drawing reads on a 320x240 panel, a 1080p monitor and 4K.
#include <algorithm>
#include <cstdio>
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
    auto z = [&L](int small, int large) { return std::max(L.u.px(L.large ? large : small), 1); };
    const int sz = L.s, t = z(2, 3);
    switch (tab) {
        case 0: {  // a right-pointing triangle
            const int half = z(9, 12);
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
            const int q = sz - z(4, 6), tooth = z(4, 6);
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
            const int dot = z(4, 6), dx = tx + z(9, 12), dy = y + z(3, 4);
            fill_rect(s, dx, dy, dot, dot, c);
            fill_rect(s, dx, dy + z(6, 9), dot, z(9, 11), c);
            break;
        }
    }
}

// The rows the panel shows: all of them, shrunk to fit, while a row stays a few
// pixels taller than its text; else as many as fit at that height, a window that
// keeps the selected row in view.
struct RowWindow {
    int first, n, rh;
};
RowWindow row_window(const MenuState &m, const MenuLayout &L, int hb) {
    const int n = std::clamp(m.nrows, 0, 12);
    const int avail = (L.py + L.ph - L.pad) - (hb + L.u.px(34)), min_h = L.s + L.u.px(8);
    int rh = L.row_h;
    if (n * rh > avail) rh = n > 0 ? avail / n : rh;
    if (rh >= min_h || n == 0) return {0, n, rh};
    const int fit = std::max(avail / min_h, 1);
    const int first = std::clamp(m.sel - fit + 1, 0, std::max(n - fit, 0));
    return {first, std::min(fit, n), min_h};
}

// A label and its value, cut to share the row: the value keeps up to 60% of it.
void row_texts(Font *font, const char *row, int width, const MenuLayout &L, char (&label)[64],
               char (&value)[64], int *value_w) {
    const MenuRow r = split_row(row);
    const int px = L.s;
    fit_text(font, r.value ? r.value : "", width * 6 / 10, px, value, sizeof value);
    *value_w = value[0] ? ft_text_w(font, value, px) : 0;
    fit_text(font, r.label, width - *value_w - (value[0] ? L.u.px(12) : 0), px, label,
             sizeof label);
}

void draw_rows(const OverlaySurface &s, const MenuState &m, const MenuLayout &L,
               const ScreenLayout &l) {
    for (int i = 0; i < 12; i++) {
        char name[12];
        snprintf(name, sizeof name, "#row%d", i);
        const LayoutBox *b = layout_find(l, name);
        if (!b) continue;
        const int rh = b->h + L.u.px(4), base = b->y + (rh + L.s) / 2 - L.u.px(L.large ? 8 : 6);
        uint32_t label = kText, value = kAccent;
        if (m.focus && m.sel == i) {
            fill_round_rect(s, b->x, b->y, b->w, b->h, L.u.px(12), kAccent);
            label = value = kOnAccent;
        }
        char lt[64], vt[64];
        int vw = 0;
        row_texts(s.font, m.rows[i], b->w - L.pad, L, lt, vt, &vw);
        ft_text(s, b->x + L.pad / 2, base, lt, label, L.s);
        if (vt[0]) ft_text(s, b->x + b->w - L.pad / 2 - vw, base, vt, value, L.s);
    }
}

}  // namespace

MenuLayout menu_layout(int W, int H, int top, int bottom) {
    MenuLayout L{};
    L.u = ui_scale(W, H);
    L.large = L.u.step == 2;
    auto z = [&L](int small, int large) { return L.u.px(L.large ? large : small); };
    L.pad = z(20, 28);
    L.s = L.u.text(L.large ? 30 : 22);
    L.head = L.u.text(L.large ? 38 : 30);
    L.tab_step = z(52, 60);
    L.tab_x = z(24, 32);
    L.row_h = z(40, 48);
    L.pw = W * 62 >= 64000 ? W * 62 / 100 : W < 640 ? W - 8 : 640;
    L.ph = H * 58 >= 38000 ? H * 58 / 100 : H < 380 ? H - 8 : 380;
    const int margin = L.u.px(20);
    L.px = (W - L.pw) / 2;
    if (L.pw > W - 2 * margin) {
        L.pw = W - 2 * margin;
        L.px = margin;
    }
    L.py = (H - L.ph) / 2;
    if (L.ph > H - 2 * margin) {
        L.ph = H - 2 * margin;
        L.py = margin;
    }
    // The HUD's bars are drawn over the menu: where they would cover the panel's edge
    // (a small panel), the panel gives way, unless too little would be left of it.
    const int lo = top, hi = H - bottom;
    if (hi - lo >= H / 2) {
        const int end = std::min(L.py + L.ph, hi);
        L.py = std::max(L.py, lo);
        L.ph = end - L.py;
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

// Where the tab column's parts go: the tab's box, its icon's x and its name's x.
struct TabPlace {
    int x, w, step, y0, box_h, name_x, name_w;
};
TabPlace tab_place(const MenuLayout &L) {
    const int tw = L.pw * 34 / 100;
    TabPlace t{};
    t.x = L.px + L.pad / 2;
    t.w = tw - L.pad;
    t.step = std::min(L.tab_step, (L.ph - 2 * L.pad) / 4);
    t.box_h = std::min(L.s + L.u.px(22), t.step - L.u.px(4));
    t.y0 = L.py + (L.ph - 4 * t.step) / 2 + L.u.px(15);
    t.name_x = L.px + L.tab_x + L.s + L.u.px(18);
    t.name_w = t.x + t.w - L.u.px(4) - t.name_x;
    return t;
}

void menu_boxes(Font *font, int W, int H, const MenuState &m, ScreenLayout &out, int top,
                int bottom) {
    const MenuLayout L = menu_layout(W, H, top, bottom);
    const UiScale u = L.u;
    layout_add(out, "#panel", L.px, L.py, L.pw, L.ph);
    const TabPlace t = tab_place(L);
    for (int i = 0; i < 4; i++) {
        char name[12], text[16];
        snprintf(name, sizeof name, "tab%d", i);
        fit_text(font, kTabNames[i], t.name_w, L.s, text, sizeof text);
        const int y = t.y0 + i * t.step - u.px(11) + (t.box_h - (L.s + u.px(22))) / 2;
        layout_add(out, name, t.x, y, t.w, t.box_h);
    }
    const int d = L.px + L.pw * 34 / 100, hx = d + 1 + L.pad, hb = L.py + L.pad + L.head;
    layout_add(out, "divider", d, L.py + L.pad, 2, L.ph - 2 * L.pad);
    const int rule_w = (L.px + L.pw) - (d + 1) - 2 * L.pad;
    layout_add(out, "head", hx, hb - L.head, rule_w, L.head + u.px(14));
    const RowWindow rw = row_window(m, L, hb);
    for (int k = 0; k < rw.n; k++) {
        const int i = rw.first + k, x = d + 1 + L.pad / 2, y = hb + u.px(36) + k * rw.rh;
        const int w = (L.px + L.pw) - (d + 1) - L.pad;
        const int ty = y + (rw.rh + L.s) / 2 - L.s - u.px(2);
        char name[12], lt[64], vt[64];
        int vw = 0;
        row_texts(font, m.rows[i], w - L.pad, L, lt, vt, &vw);
        snprintf(name, sizeof name, "#row%d", i);
        layout_add(out, name, x, y, w, rw.rh - u.px(4));
        snprintf(name, sizeof name, "lab%d", i);
        layout_add(out, name, x + L.pad / 2, ty, ft_text_w(font, lt, L.s), L.s);
        snprintf(name, sizeof name, "val%d", i);
        if (vt[0]) layout_add(out, name, x + w - L.pad / 2 - vw, ty, vw, L.s);
    }
}

void draw_menu(const OverlaySurface &s, const MenuState &m, int W, int H, bool sidebar, int top,
               int bottom) {
    // In the column the menu is laid out as on a screen of the column's size.
    if (sidebar) W = std::min(kSidebarWidth, W);
    const MenuLayout L = menu_layout(W, H, top, bottom);
    const UiScale u = L.u;
    ScreenLayout l;
    menu_boxes(s.font, W, H, m, l, top, bottom);
    fill_rect(s, 0, 0, W, H, sidebar ? kPanel : kVeil);
    fill_round_rect(s, L.px, L.py, L.pw, L.ph, u.px(22), kPanel);

    // Tab column on the left of the panel, the selected tab's rows on the right.
    const TabPlace t = tab_place(L);
    const int tx = L.px + L.tab_x;
    const int selected = std::clamp(m.tab, 0, 3);
    for (int i = 0; i < 4; i++) {
        const LayoutBox &b = l.box[1 + i];
        const int y = b.y + u.px(11) + (L.s + u.px(22) - b.h) / 2;
        uint32_t icon = kMuted, text = kText;
        if (i == selected && m.focus == 0) {
            fill_round_rect(s, b.x, b.y, b.w, b.h, u.px(12), kAccent);
            icon = text = kOnAccent;
        } else if (i == selected) {
            rect_outline(s, b.x, b.y, b.w, b.h, std::max(u.px(2), 1), kAccent);
            icon = text = kAccent;
        }
        draw_tab_icon(s, i, tx, y, L, icon);
        char name[16];
        fit_text(s.font, kTabNames[i], t.name_w, L.s, name, sizeof name);
        ft_text(s, t.name_x, y + u.px(L.large ? 24 : 18), name, text, L.s);
    }
    const LayoutBox *div = layout_find(l, "divider");
    fill_rect(s, div->x, div->y, div->w, div->h, kRule);

    const LayoutBox *head = layout_find(l, "head");
    char title[64];
    fit_text(s.font, m.title[0] ? m.title : kTabNames[selected], head->w, L.head, title,
             sizeof title);
    ft_text(s, head->x, head->y + L.head, title, kText, L.head);
    fill_rect(s, head->x, head->y + L.head + u.px(12), head->w, std::max(u.px(2), 1), kRule);
    draw_rows(s, m, L, l);
}

// Sizes step down until the message fits its area; past the smallest it is cut.
struct MessagePlace {
    int head, size, ib, mb;
    char msg[96];
};
MessagePlace message_place(Font *font, const char *msg, int area, int W, int H, bool sidebar) {
    const UiScale u = ui_scale(W, H);
    const bool large = u.step == 2;
    MessagePlace p{};
    p.head = u.text(large ? 28 : 20);
    p.size = u.text(sidebar ? (large ? 40 : 30) : (large ? 64 : 44));
    const int gap = u.px(sidebar ? (large ? 20 : 15) : (large ? 32 : 22));
    const int least = u.text(16), room = area - u.px(16);
    while (p.size > least && ft_text_w(font, msg, p.size) > room) p.size = p.size * 3 / 4;
    p.size = std::max(p.size, least);
    fit_text(font, msg, room, p.size, p.msg, sizeof p.msg);
    p.ib = std::max(H / 5 - p.size, p.head + u.px(8));
    p.mb = std::max(H / 5 + gap, p.ib + p.size + u.px(8));
    return p;
}

void message_boxes(Font *font, int W, int H, const MenuState &m, bool sidebar, ScreenLayout &out) {
    const int area = sidebar ? std::min(kSidebarWidth, W) : W;
    const MessagePlace p = message_place(font, m.msg, area, W, H, sidebar);
    const UiScale u = ui_scale(W, H);
    const int iw = ft_text_w(font, "Info", p.head), mw = ft_text_w(font, p.msg, p.size);
    layout_add(out, "#area", 0, 0, area, H);
    layout_add(out, "info", (area - iw) / 2, p.ib - p.head, iw, p.head + u.px(4));
    layout_add(out, "msg", (area - mw) / 2, p.mb - p.size, mw, p.size + u.px(8));
}

void draw_message(const OverlaySurface &s, const MenuState &m, int W, int H, bool sidebar) {
    const int area = sidebar ? std::min(kSidebarWidth, W) : W;
    const MessagePlace p = message_place(s.font, m.msg, area, W, H, sidebar);
    if (sidebar)
        fill_rect(s, 0, 0, area, H, kPanel);
    else
        fill_rect(s, 0, 0, W, H, kVeil);
    ft_text(s, (area - ft_text_w(s.font, "Info", p.head)) / 2, p.ib, "Info", kMuted, p.head);
    ft_text(s, (area - ft_text_w(s.font, p.msg, p.size)) / 2, p.mb, p.msg, kAccent, p.size);
}
