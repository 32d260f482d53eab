// The telemetry HUD over the video on the panel: a bottom status bar that is always
// there (recording, LUT, network, VPN on the left; temperature, mode, codec and uptime
// on the right) and a top bar of flight and link values that wraps onto a second row
// on a narrow screen. A value the telemetry file did not give is shown as dashes in a
// muted colour, so a missing reading never looks like a real zero.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kms/files.h"
#include "kms/kms.h"
#include "overlay/overlay.h"

namespace {

constexpr uint32_t kBar = 0xA6080A0F;
constexpr uint32_t kRed = 0xFFF87171, kAmber = 0xFFFAB23F, kGreen = 0xFF4ADE80;
constexpr uint32_t kNoBattery = 0xFF6B7280, kBarOff = 0xFF39404E;
constexpr uint32_t kGiven = 0xFFEEF0F4, kNotGiven = 0xFF8B94A6;

struct HudSizes {
    int bh, p, dot, base;  // bottom bar: height, text size and item gap, REC dot, baseline
    int q, row_h;          // top bar: text size, row height
    int base0;             // baseline of the top row; each further row is row_h lower
    int iw, ih;            // icon box
};

// A panel's set and one from 720 lines up, scaled as ui_scale says (base is then the
// baseline's height over the screen's foot). Text kept at its least size on the
// smallest panels still gets a bar around it.
HudSizes hud_sizes(int W, int H) {
    const UiScale u = ui_scale(W, H);
    const HudSizes b = u.step == 0 ? HudSizes{21, 13, 6, 6, 15, 25, 17, 19, 13}
                                   : HudSizes{26, 18, 9, 7, 20, 30, 21, 24, 18};
    HudSizes z{};
    z.p = u.text(b.p);
    z.q = u.text(b.q);
    z.bh = std::max(u.px(b.bh), z.p + 6);
    z.dot = u.px(b.dot);
    z.base = H - u.px(b.base);
    z.row_h = std::max(u.px(b.row_h), z.q + 8);
    z.base0 = std::max(u.px(b.base0), z.q + 1);
    z.iw = u.px(b.iw);
    z.ih = u.px(b.ih);
    return z;
}

uint32_t battery_colour(int v) {
    return v < 0 ? kNoBattery : v <= 15 ? kRed : v <= 30 ? kAmber : kGreen;
}

// "1080p60" of the first monitor, or of this output when every output is a panel.
void mode_text(const KmsOutput &drawn, std::span<const KmsOutput> outputs, char (&out)[24]) {
    const KmsOutput *m = &drawn;
    for (const KmsOutput &o : outputs)
        if (!o.is_dsi) {
            m = &o;
            break;
        }
    snprintf(out, sizeof out, "%d%c%d", m->mode.vdisplay,
             m->mode.flags & DRM_MODE_FLAG_INTERLACE ? 'i' : 'p', int(m->mode.vrefresh));
}

// The bottom bar's texts by slot: left to right rec, lut, net, vpn, then right to left
// up, codec, mode, temp.
constexpr int kBottomSlots = 8;
const char *const kBottomNames[kBottomSlots] = {"rec", "lut",   "net",  "vpn",
                                                "up",  "codec", "mode", "temp"};
// Left out first to last when the two sides would meet: recording stays longest.
constexpr int kBottomDrop[kBottomSlots] = {4, 1, 5, 3, 2, 6, 7, 0};

void bottom_texts(const TelemetryState &t, const HudFacts &f, char (&txt)[kBottomSlots][32]) {
    for (auto &x : txt) x[0] = 0;
    if (t.rec) {
        char rec[24];
        fmt_rec(t.recs, rec);
        snprintf(txt[0], sizeof txt[0], "%s", rec);
    }
    if (f.lut && f.lut[0]) {
        const char *slash = strrchr(f.lut, '/');
        snprintf(txt[1], sizeof txt[1], "%.23s", slash ? slash + 1 : f.lut);
        if (char *ext = strstr(txt[1], ".cube")) *ext = 0;
    }
    snprintf(txt[2], sizeof txt[2], "%s", t.net);
    if (t.vpn) snprintf(txt[3], sizeof txt[3], "VPN");
    if (f.up) snprintf(txt[4], sizeof txt[4], "%s", f.up);
    if (f.codec) snprintf(txt[5], sizeof txt[5], "%s", f.codec);
    if (f.mode) snprintf(txt[6], sizeof txt[6], "%s", f.mode);
    if (f.temp >= -99)
        snprintf(txt[7], sizeof txt[7],
                 "%d\xB0"
                 "C",
                 f.temp);
}

// Places the shown slots: left ones from x 8 on, right ones from W - 8 inwards; false
// when the two sides meet.
bool place_bottom(Font *font, int W, int H, const HudSizes &z, const char (&txt)[kBottomSlots][32],
                  const bool (&shown)[kBottomSlots], LayoutBox (&b)[kBottomSlots]) {
    const int p = z.p, y = H - z.bh;
    int x = 8, left_end = 0;
    for (int i = 0; i < 4; i++) {
        if (!shown[i]) continue;
        int w = ft_text_w(font, txt[i], p);
        if (i == 0) w += z.dot + 5;
        if (i == 1) w += ft_text_w(font, "LUT", p) + 4;
        b[i] = {{}, x, y, w, z.bh};
        left_end = x + w;
        x += w + p;
    }
    int r = W - 8, right_start = W;
    for (int i = 4; i < kBottomSlots; i++) {
        if (!shown[i]) continue;
        const int w = ft_text_w(font, txt[i], p);
        b[i] = {{}, r - w, y, w, z.bh};
        right_start = r - w;
        r = right_start - 10;
    }
    return left_end <= W - 8 && right_start >= 8 &&
           (left_end == 0 || right_start == W || left_end + 10 <= right_start);
}

void layout_bottom(Font *font, int W, int H, const HudSizes &z, const TelemetryState &t,
                   const HudFacts &f, ScreenLayout &out) {
    char txt[kBottomSlots][32];
    bottom_texts(t, f, txt);
    bool shown[kBottomSlots];
    for (int i = 0; i < kBottomSlots; i++) shown[i] = txt[i][0] != 0;
    LayoutBox b[kBottomSlots] = {};
    for (int k = 0; !place_bottom(font, W, H, z, txt, shown, b) && k < kBottomSlots; k++)
        shown[kBottomDrop[k]] = false;
    layout_add(out, "#bottom", 0, H - z.bh, W, z.bh);
    for (int i = 0; i < kBottomSlots; i++)
        if (shown[i]) layout_add(out, kBottomNames[i], b[i].x, b[i].y, b[i].w, b[i].h);
}

void draw_bottom_bar(const OverlaySurface &s, const HudSizes &z, const TelemetryState &t,
                     const HudFacts &f, const ScreenLayout &l) {
    const int H = s.h, y = z.base, p = z.p, temp = f.temp;
    char txt[kBottomSlots][32];
    bottom_texts(t, f, txt);
    const LayoutBox *bar = layout_find(l, "#bottom");
    fill_rect(s, bar->x, bar->y, bar->w, bar->h, kBar);
    if (const LayoutBox *b = layout_find(l, "rec")) {
        fill_round_rect(s, b->x, H - z.bh + (z.bh - z.dot) / 2, z.dot, z.dot, p / 4, kRed);
        ft_text(s, b->x + z.dot + 5, y, txt[0], kRed, p);
    }
    if (const LayoutBox *b = layout_find(l, "lut")) {
        const int x = b->x + ft_text(s, b->x, y, "LUT", kNotGiven, p) + 4;
        ft_text(s, x, y, txt[1], kGiven, p);
    }
    const uint32_t colour[kBottomSlots] = {
        kRed, kGiven, kAmber, kGreen, kNotGiven, kGiven, kGiven, temp >= 80 ? kAmber : kNotGiven};
    for (int i = 2; i < kBottomSlots; i++)
        if (const LayoutBox *b = layout_find(l, kBottomNames[i]))
            ft_text(s, b->x, y, txt[i], colour[i], p);
}

// The format is one of two per item, the value's or the dashes', given the same value.
void set_item(HudItem &it, HudItem::Kind k, uint32_t c, const char *fmt, ...) {
    it.kind = k;
    it.colour = c;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(it.text, sizeof it.text, fmt, ap);
    va_end(ap);
}

const char *const kTopNames[10] = {"gog", "drn", "vtx", "sat", "yaw",
                                   "alt", "spd", "vs",  "pit", "rol"};
// Left out first to last when the top bar's two rows cannot hold every item: the
// batteries, the signal, altitude and speed stay longest.
constexpr int kTopDrop[10] = {9, 8, 7, 4, 3, 6, 5, 2, 1, 0};

bool top_bar_shown(const TelemetryState &t) {
    return t.valid == 1 && (t.gog >= 0 || t.drn >= 0 || t.sig >= 0 || t.sat >= 0 || t.has_yaw ||
                            t.has_alt || t.has_spd);
}

int top_item_w(Font *font, const HudItem &it, int q) {
    const int w = ft_text_w(font, it.text, q);
    return it.kind == HudItem::kBars ? w + 27 : it.kind == HudItem::kText ? w : w + q + 8;
}

// Row 1 takes items until one would overflow; that one and all after it go on row 2.
// False when row 2 overflows too.
bool place_top(Font *font, int W, const HudSizes &z, const HudItem (&it)[10],
               const bool (&shown)[10], LayoutBox (&b)[10], int *rows) {
    const int q = z.q, p = z.p;
    int row_of[10] = {}, row_w[2] = {0, 0}, first_on_2 = 10, iw[10] = {};
    for (int i = 0; i < 10; i++) {
        if (!shown[i]) continue;
        iw[i] = top_item_w(font, it[i], q);
        if (first_on_2 == 10 && row_w[0] + (row_w[0] > 0 ? p : 0) + iw[i] > W - 8) first_on_2 = i;
        const int r = i >= first_on_2 ? 1 : 0;
        row_of[i] = r;
        row_w[r] += (row_w[r] > 0 ? p : 0) + iw[i];
    }
    *rows = first_on_2 < 10 ? 2 : 1;
    for (int r = 0; r < *rows; r++) {
        int x = W - row_w[r] < 8 ? 4 : (W - row_w[r]) / 2;
        for (int i = 0; i < 10; i++) {
            if (!shown[i] || row_of[i] != r) continue;
            b[i] = {{}, x, r * z.row_h, iw[i], z.row_h};
            x += iw[i] + p;
        }
    }
    return row_w[1] <= W - 8 && row_w[0] <= W - 8;
}

void layout_top(Font *font, int W, const HudSizes &z, const TelemetryState &t, ScreenLayout &out) {
    if (!top_bar_shown(t)) return;
    HudItem it[10];
    hud_top_items(t, it);
    bool shown[10];
    std::fill(shown, shown + 10, true);
    LayoutBox b[10] = {};
    int rows = 1;
    for (int k = 0; !place_top(font, W, z, it, shown, b, &rows) && k < 10; k++)
        shown[kTopDrop[k]] = false;
    layout_add(out, "#top", 0, 0, W, rows * z.row_h);
    for (int i = 0; i < 10; i++)
        if (shown[i]) layout_add(out, kTopNames[i], b[i].x, b[i].y, b[i].w, b[i].h);
}

void draw_top_bar(const OverlaySurface &s, const HudSizes &z, const TelemetryState &t,
                  const ScreenLayout &l) {
    const LayoutBox *bar = layout_find(l, "#top");
    if (!bar) return;
    const int q = z.q, p = z.p;
    HudItem it[10];
    hud_top_items(t, it);
    fill_rect(s, bar->x, bar->y, bar->w, bar->h, kBar);
    for (int i = 0; i < 10; i++) {
        const LayoutBox *b = layout_find(l, kTopNames[i]);
        if (!b) continue;
        const HudItem &item = it[i];
        const int x = b->x, base = z.base0 + b->y, icon_y = b->y + (z.row_h - z.ih) / 2;
        if (item.kind == HudItem::kBars) {
            const int label_end = x + ft_text(s, x, base, item.text, item.colour, q);
            for (int k = 0; k < 5; k++) {
                const int h = (2 + k) * p / 6;
                const bool lit = t.sig >= 0 && k < t.sig;
                fill_rect(s, label_end + 4 + 5 * k, icon_y + z.ih - h, 3, h,
                          lit ? kGreen : kBarOff);
            }
        } else if (item.kind == HudItem::kText) {
            ft_text(s, x, base, item.text, item.colour, q);
        } else {
            if (item.kind == HudItem::kGoggles)
                draw_goggles_icon(s, x, icon_y, z.iw, z.ih, item.colour);
            else
                draw_drone_icon(s, x, icon_y, z.iw, z.ih, item.colour);
            ft_text(s, x + q + 8, base, item.text, item.colour, q);
        }
    }
}

// The first number of a file, or false.
template <typename T>
bool read_number(const char *path, const char *fmt, T *out) {
    FileBytes b = read_regular(path, 4096);
    if (b.fault != FileFault::kNone) return false;
    b.data.push_back(0);
    return sscanf(b.data.data(), fmt, out) == 1;
}

}  // namespace

void fmt_rec(int recs, char (&out)[24]) {
    const int t = std::max(recs, 0);
    if (t < 3600)
        snprintf(out, sizeof out, "REC %d:%02d", t / 60, t % 60);
    else
        snprintf(out, sizeof out, "REC %d:%02d:%02d", t / 3600, t / 60 % 60, t % 60);
}

int hud_top_items(const TelemetryState &t, HudItem (&it)[10]) {
    auto given = [](bool g) { return g ? kGiven : kNotGiven; };
    set_item(it[0], HudItem::kGoggles, battery_colour(t.gog), t.gog < 0 ? "--" : "%d%%", t.gog);
    set_item(it[1], HudItem::kDrone, battery_colour(t.drn), t.drn < 0 ? "--" : "%d%%", t.drn);
    set_item(it[2], HudItem::kBars, kGiven, "VTX");
    set_item(it[3], HudItem::kText, given(t.sat >= 0), t.sat < 0 ? "SAT --" : "SAT %d", t.sat);
    set_item(it[4], HudItem::kText, given(t.has_yaw), t.has_yaw ? "%.0f\xB0" : "--\xB0",
             double(t.yaw));
    set_item(it[5], HudItem::kText, given(t.has_alt), t.has_alt ? "%.1fm" : "--m", double(t.alt));
    set_item(it[6], HudItem::kText, given(t.has_spd), t.has_spd ? "%.1fm/s" : "--m/s",
             double(t.spd));
    set_item(it[7], HudItem::kText, given(t.has_vs), t.has_vs ? "VS%+.1f" : "VS--", double(t.vs));
    set_item(it[8], HudItem::kText, given(t.has_pit), t.has_pit ? "PIT%+.0f" : "PIT--",
             double(t.pit));
    set_item(it[9], HudItem::kText, given(t.has_rol), t.has_rol ? "ROL%+.0f" : "ROL--",
             double(t.rol));
    return 10;
}

void draw_goggles_icon(const OverlaySurface &s, int x, int y, int w, int h, uint32_t colour) {
    fill_round_rect(s, x, y, w, h, h / 3, colour);
    const int lw = (w - 5) / 2;
    fill_rect(s, x + 2, y + 2, lw, h - 4, 0xFF0A0C10);
    fill_rect(s, x + w - 2 - lw, y + 2, lw, h - 4, 0xFF0A0C10);
}

void draw_drone_icon(const OverlaySurface &s, int x, int y, int w, int h, uint32_t colour) {
    if (w < 1) return;
    const int cx = x + w / 2, cy = y + h / 2;
    fill_rect(s, cx - 2, cy - 2, 4, 4, colour);
    for (int sx : {-1, 1})
        for (int sy : {-1, 1}) {
            for (int j = 1; j <= w / 2 - 2; j++)
                fill_rect(s, cx + j * sx, cy + (j * h * sy) / w, 1, 1, colour);
            fill_rect(s, cx + sx * (w / 2 - 1) - 1, cy + sy * (h / 2 - 1) - 1, 3, 2, colour);
        }
}

void fmt_uptime(char (&out)[24]) {
    out[0] = 0;
    double up = 0;
    if (!read_number("/proc/uptime", "%lf", &up) || !(up >= 0) || up > 1e15) return;
    const long s = long(up);
    char text[64];
    if (s >= 86400)
        snprintf(text, sizeof text, "UP %ldd%02ld:%02ld", s / 86400, s / 3600 % 24, s / 60 % 60);
    else
        snprintf(text, sizeof text, "UP %ld:%02ld", s / 3600, s / 60 % 60);
    snprintf(out, sizeof out, "%.23s", text);
}

int board_temp_c() {
    long milli = 0;
    if (!read_number("/sys/class/thermal/thermal_zone0/temp", "%ld", &milli)) return -1000;
    return int(std::clamp<long>(milli / 1000, -1000000, 1000000));
}

const char *hud_item_name(int i) {
    return i >= 0 && i < 10 ? kTopNames[i] : "";
}

void hud_layout(Font *font, int W, int H, const TelemetryState &t, const HudFacts &f,
                ScreenLayout &out) {
    const HudSizes z = hud_sizes(W, H);
    layout_bottom(font, W, H, z, t, f, out);
    layout_top(font, W, z, t, out);
}

void hud_bars(Font *font, int W, int H, const TelemetryState &t, int *top, int *bottom) {
    ScreenLayout l;
    hud_layout(font, W, H, t, HudFacts{}, l);
    const LayoutBox *tb = layout_find(l, "#top"), *bb = layout_find(l, "#bottom");
    *top = tb ? tb->y + tb->h : 0;
    *bottom = bb ? bb->h : 0;
}

int draw_telemetry(const KmsOutput &o, const OverlaySurface &s, const TelemetryState &t,
                   const OverlayFacts &f) {
    if (!s.px || s.w < 1 || s.h < 1) return 0;
    const HudSizes z = hud_sizes(s.w, s.h);
    char up[24], mode[24];
    fmt_uptime(up);
    mode_text(o, f.outputs, mode);
    const int temp = t.valid && t.tmp >= -99 ? t.tmp : board_temp_c();
    const HudFacts hf{f.lut_path, mode, f.hevc ? "H.265" : "H.264", up, temp};
    ScreenLayout l;
    hud_layout(s.font, s.w, s.h, t, hf, l);
    draw_bottom_bar(s, z, t, hf, l);
    draw_top_bar(s, z, t, l);
    const LayoutBox *top = layout_find(l, "#top");
    return top ? top->y + top->h : 0;
}
