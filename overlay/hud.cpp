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

HudSizes hud_sizes(int H) {
    if (H >= 720) return {26, 18, 9, H - 7, 20, 30, 21, 24, 18};
    return {21, 13, 6, H - 6, 15, 25, 17, 19, 13};
}

uint32_t battery_colour(int v) {
    return v < 0 ? kNoBattery : v <= 15 ? kRed : v <= 30 ? kAmber : kGreen;
}

// Text drawn so that it ends at x; returns where it starts.
int text_ending_at(const OverlaySurface &s, int x, int y, const char *text, uint32_t c, int px) {
    const int start = x - ft_text_w(s.font, text, px);
    ft_text(s, start, y, text, c, px);
    return start;
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

void draw_bottom_bar(const KmsOutput &o, const OverlaySurface &s, const HudSizes &z,
                     const TelemetryState &t, const OverlayFacts &f) {
    const int W = s.w, H = s.h, y = z.base, p = z.p;
    fill_rect(s, 0, H - z.bh, W, z.bh, kBar);
    int x = 8;
    char buf[24];
    if (t.rec) {
        fmt_rec(t.recs, buf);
        fill_round_rect(s, 8, H - z.bh + (z.bh - z.dot) / 2, z.dot, z.dot, p / 4, kRed);
        x = z.dot + 13;
        x += ft_text(s, x, y, buf, kRed, p) + p;
    }
    if (f.lut_path && f.lut_path[0]) {
        const char *slash = strrchr(f.lut_path, '/');
        snprintf(buf, sizeof buf, "%.23s", slash ? slash + 1 : f.lut_path);
        if (char *ext = strstr(buf, ".cube")) *ext = 0;
        x += ft_text(s, x, y, "LUT", kNotGiven, p) + 4;
        x += ft_text(s, x, y, buf, kGiven, p) + p;
    }
    if (t.net[0]) x += ft_text(s, x, y, t.net, kAmber, p) + p;
    if (t.vpn) ft_text(s, x, y, "VPN", kGreen, p);

    int r = W - 8;
    char up[24];
    fmt_uptime(up);
    if (up[0]) r = text_ending_at(s, r, y, up, kNotGiven, p) - 10;
    r = text_ending_at(s, r, y, f.hevc ? "H.265" : "H.264", kGiven, p);
    char mode[24];
    mode_text(o, f.outputs, mode);
    r = text_ending_at(s, r - 10, y, mode, kGiven, p);
    const int temp = t.valid && t.tmp >= -99 ? t.tmp : board_temp_c();
    if (temp >= -99) {
        snprintf(buf, sizeof buf,
                 "%d\xB0"
                 "C",
                 temp);
        text_ending_at(s, r - 10, y, buf, temp >= 80 ? kAmber : kNotGiven, p);
    }
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

void draw_top_bar(const OverlaySurface &s, const HudSizes &z, const TelemetryState &t) {
    if (t.valid != 1) return;
    if (t.gog < 0 && t.drn < 0 && t.sig < 0 && t.sat < 0 && !t.has_yaw && !t.has_alt && !t.has_spd)
        return;
    const int W = s.w, q = z.q, p = z.p;
    HudItem it[10];
    const int n = hud_top_items(t, it);
    // Row 1 takes items until one would overflow; that one and all after it go on row 2.
    int row_of[10], row_w[2] = {0, 0}, first_on_2 = n;
    for (int i = 0; i < n; i++) {
        const int w = ft_text_w(s.font, it[i].text, q);
        const int iw = it[i].kind == HudItem::kBars   ? w + 27
                       : it[i].kind == HudItem::kText ? w
                                                      : w + q + 8;
        if (first_on_2 == n && row_w[0] + (row_w[0] > 0 ? p : 0) + iw > W - 8) first_on_2 = i;
        const int r = i >= first_on_2 ? 1 : 0;
        row_of[i] = r;
        row_w[r] += (row_w[r] > 0 ? p : 0) + iw;
    }
    const int rows = first_on_2 < n ? 2 : 1;
    fill_rect(s, 0, 0, W, rows * z.row_h, kBar);
    for (int r = 0; r < rows; r++) {
        int x = W - row_w[r] < 8 ? 4 : (W - row_w[r]) / 2;
        const int base = z.base0 + r * z.row_h, icon_y = 6 + r * z.row_h;
        for (int i = 0; i < n; i++) {
            if (row_of[i] != r) continue;
            const HudItem &item = it[i];
            if (item.kind == HudItem::kBars) {
                const int label_end = x + ft_text(s, x, base, item.text, item.colour, q);
                for (int b = 0; b < 5; b++) {
                    const int h = (2 + b) * p / 6;
                    const bool lit = t.sig >= 0 && b < t.sig;
                    fill_rect(s, label_end + 4 + 5 * b, icon_y + z.ih - h, 3, h,
                              lit ? kGreen : kBarOff);
                }
                x = label_end + 4 + q + 21;
            } else if (item.kind == HudItem::kText) {
                x += ft_text(s, x, base, item.text, item.colour, q) + p;
            } else {
                if (item.kind == HudItem::kGoggles)
                    draw_goggles_icon(s, x, icon_y, z.iw, z.ih, item.colour);
                else
                    draw_drone_icon(s, x, icon_y, z.iw, z.ih, item.colour);
                x += q + 8;
                x += ft_text(s, x, base, item.text, item.colour, q) + p;
            }
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

void draw_telemetry(const KmsOutput &o, const OverlaySurface &s, const TelemetryState &t,
                    const OverlayFacts &f) {
    if (!s.px || s.w < 1 || s.h < 1) return;
    const HudSizes z = hud_sizes(s.h);
    draw_bottom_bar(o, s, z, t, f);
    draw_top_bar(s, z, t);
}
