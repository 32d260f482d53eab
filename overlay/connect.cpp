// The connect screen: how to reach the appliance and where to push a stream, drawn
// into the standby picture (never on the overlay plane, so it shows exactly while no
// video does). The QR code sits in the lower right corner on a white quiet zone of
// four modules, the Wi-Fi name under it, the push address across the screen above it.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "overlay/overlay.h"

constexpr uint32_t kBacking = 0xC0000000;

void connect_screen_enable(ConnectSwitch &sw, bool on) {
    sw.on = on;
    sw.off_said = false;
}

ConnectLayout connect_layout(int W, int H, int n) {
    ConnectLayout l{};
    const unsigned m = unsigned(std::min(W, H));
    const UiScale u = ui_scale(W, H);
    const bool large = u.step == 2;
    l.s = std::max<int>(int((m * 225 / 1000) / unsigned(n + 8)), 2);
    l.q = (n + 8) * l.s;
    l.pc = u.text(large ? 30 : 22);
    l.wc = u.text(large ? 20 : 15);
    l.x0 = std::max(W - l.q - std::max(int(m * 6 / 100), l.pc), 0);
    // The room under the code never shrinks: a small panel's HUD bar takes its foot.
    const int under = std::max(u.px(large ? 50 : 37), 37);
    l.y0 = std::max(H - l.q - under - std::max(int(m * 3 / 100), l.pc), 0);
    return l;
}

void push_caption(const char *push, char (&out)[176]) {
    const char *slash = strrchr(push, '/');
    if (slash && slash[1])
        snprintf(out, sizeof out, "Server URL: %.*s   Stream key: %s", int(slash + 1 - push), push,
                 slash + 1);
    else
        snprintf(out, sizeof out, "Push stream to: %s", push);
}

void connect_boxes(Font *font, int W, int H, const ConnectInfo &ci, ScreenLayout &out) {
    const ConnectLayout l = connect_layout(W, H, ci.qr_n);
    const UiScale u = ui_scale(W, H);
    const int edge = u.px(12), b = u.px(4);  // from the screen's sides; backing's border
    layout_add(out, "code", l.x0, l.y0, l.q, l.q);
    char text[176];
    fit_text(font, ci.ssid, W - 2 * edge, l.wc, text, sizeof text);
    int w = ft_text_w(font, text, l.wc);
    const int sx = std::clamp(l.x0 + l.q / 2 - w / 2, edge, std::max(W - edge - w, edge));
    if (text[0]) layout_add(out, "ssid", sx - b, l.y0 + l.q + l.wc - b, w + 2 * b, l.wc + u.px(10));
    if (!ci.push[0]) return;
    char caption[176];
    push_caption(ci.push, caption);
    fit_text(font, caption, W - 2 * edge, l.pc, text, sizeof text);
    w = ft_text_w(font, text, l.pc);
    if (text[0])
        layout_add(out, "push", (W - w) / 2 - b, l.y0 - 2 * l.pc - b, w + 2 * b, l.pc + u.px(10));
}

void draw_connect(ConnectSwitch &sw, const OverlaySurface &s, const ConnectInfo &ci) {
    if (!sw.on) say_once(sw.off_said, "zyl-kms: standby QR/captions hidden (ZYL_KMS_STANDBY_QR=0)");
    const int n = ci.qr_n;
    if (!sw.on || n < 1 || n > 64 || !s.px || s.w < 1 || s.h < 1) return;
    const int W = s.w, H = s.h;
    const ConnectLayout l = connect_layout(W, H, n);
    fill_rect(s, l.x0, l.y0, l.q, l.q, 0xFFFFFFFF);
    for (int r = 0; r < n; r++)
        for (int c = 0; c < n; c++)
            if (ci.qr[r * n + c])
                fill_rect(s, l.x0 + 4 * l.s + c * l.s, l.y0 + 4 * l.s + r * l.s, l.s, l.s,
                          0xFF000000);
    // The captions sit on a dark backing so they read over any standby picture.
    ScreenLayout b;
    connect_boxes(s.font, W, H, ci, b);
    const UiScale u = ui_scale(W, H);
    const int edge = u.px(12), r = u.px(4);
    char text[176];
    if (const LayoutBox *x = layout_find(b, "ssid")) {
        fit_text(s.font, ci.ssid, W - 2 * edge, l.wc, text, sizeof text);
        fill_round_rect(s, x->x, x->y, x->w, x->h, r, kBacking);
        ft_text(s, x->x + r, l.y0 + l.q + 2 * l.wc, text, 0xFFFFFFFF, l.wc);
    }
    if (const LayoutBox *x = layout_find(b, "push")) {
        char caption[176];
        push_caption(ci.push, caption);
        fit_text(s.font, caption, W - 2 * edge, l.pc, text, sizeof text);
        fill_round_rect(s, x->x, x->y, x->w, x->h, r, kBacking);
        ft_text(s, x->x + r, l.y0 - l.pc, text, 0xFF2DD4BF, l.pc);
    }
}

void detections_clear(DetectionTable &t) {
    std::lock_guard<std::mutex> hold(t.lock);
    t.n = 0;
}

void draw_detections(DetectionTable &t, const OverlaySurface &s) {
    Detection d[kMaxDetections];
    int n, k;
    {
        std::lock_guard<std::mutex> hold(t.lock);
        n = t.n;
        k = std::clamp(n, 0, kMaxDetections);
        std::copy(t.dets, t.dets + k, d);
    }
    if (n < 1 || !s.px) return;
    const int W = s.w, H = s.h;
    const UiScale u = ui_scale(W, H);
    const bool large = u.step == 2;
    const int thick = std::max(u.px(large ? 3 : 2), 1), lp = u.text(large ? 22 : 18);
    constexpr uint32_t kBox = 0xFF36D399;
    for (int i = 0; i < k; i++) {
        // A box from a detector that went wrong (NaN, huge) is not drawn, and its
        // numbers never reach int.
        auto px = [](int size, float f, int *out) {
            const double v = double(size) * double(f);
            *out = v >= -1e6 && v <= 1e6 ? int(v) : 0;
            return v >= -1e6 && v <= 1e6;
        };
        int bx, by, bw, bh;
        if (!px(W, d[i].x, &bx) || !px(H, d[i].y, &by) || !px(W, d[i].w, &bw) ||
            !px(H, d[i].h, &bh) || bw < 1 || bh < 1)
            continue;
        rect_outline(s, bx, by, bw, bh, thick, kBox);
        char label[32];
        const float pct = d[i].score * 100;
        snprintf(label, sizeof label, "%s %d%%", "obj", pct >= -1e6f && pct <= 1e6f ? int(pct) : 0);
        int ly = by - lp - 6;
        if (ly < 0) ly = by + 2;
        fill_rect(s, bx, ly, ft_text_w(s.font, label, lp) + 10, lp + 6, kBox);
        ft_text(s, bx + 5, ly + lp, label, 0xFF04231A, lp);
    }
}
