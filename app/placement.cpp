// Where a picture goes on one output and which part of it is shown.
#include <algorithm>
#include <cstring>

#include "app/placement.h"

namespace {

int align16(int v) {
    return v & ~15;
}

// The source cropped to the destination's shape, aligned for the scaler.
Rect cover_source(int dw, int dh, int sw, int sh, double a) {
    double d = dh > 0 ? double(dw) / dh : a;
    int cx = 0, cy = 0, cw = sw, ch = sh;
    if (d < a) {
        cw = int(d * sh + 0.5);
        cx = (sw - cw) / 2;
    } else if (sw > 0) {
        ch = int(sw / d + 0.5);
        cy = align16((sh - ch) / 2);
    }
    cw = std::max(align16(cw), 16);
    ch = std::max(align16(ch), 16);
    cx = align16(cx);
    if (cx + cw > sw) cx = sw - cw;
    if (cy + ch > sh) cy = sh - ch;
    return {std::max(cx, 0), std::max(cy, 0), cw, ch};
}

}  // namespace

Placement place_video(const PlaceInput &in) {
    int W = in.width, xoff = 0;
    if (in.sidebar_shown) {
        W = in.width - kSidebarWidth;
        xoff = mirrors_x(in.look.flip) ? 0 : kSidebarWidth;
    }
    double a = in.sh > 0 ? double(in.sw) / in.sh : 1.0;
    double A = aspect_ratio(in.look.aspect, in.sh > 0 ? double(in.sw) / in.sh : 0.0);
    Rect d = fit_dest(W, in.height, A);
    Placement p{{xoff + d.x, d.y, d.w, d.h}, {0, 0, in.sw, in.sh}};
    if (in.look.fit == Fit::kCover) {
        p.src = cover_source(d.w, d.h, in.sw, in.sh, a);
    } else if (in.look.fit != Fit::kStretch) {
        Rect e = fit_dest(d.w, d.h, a);
        p.dst = {xoff + d.x + e.x, d.y + e.y, e.w, e.h};
    }
    return p;
}

Placement clamp_to_scale(const Placement &p, int max_up) {
    const Rect &d = p.dst;
    if (max_up <= 0 || d.w <= 0 || d.h <= 0) return p;
    const double k = std::min(double(max_up) * p.src.w / d.w, double(max_up) * p.src.h / d.h);
    if (k >= 1) return p;
    const int w = std::max(1, int(d.w * k)), h = std::max(1, int(d.h * k));
    return {{d.x + (d.w - w) / 2, d.y + (d.h - h) / 2, w, h}, p.src};
}

Placement crop_to_reduction(const Placement &p, int max_down) {
    const Rect &s = p.src;
    if (max_down <= 0 || p.dst.w <= 0 || p.dst.h <= 0) return p;
    const int w = std::min(s.w, p.dst.w * max_down) & ~1, h = std::min(s.h, p.dst.h * max_down);
    if (w == s.w && h == s.h) return p;
    return {p.dst, {(s.x + (s.w - w) / 2) & ~1, s.y + (s.h - h) / 2, w, h}};
}
