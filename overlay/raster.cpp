// Solid shapes. Every shape becomes clipped horizontal runs, so a large fill costs
// little more than a memset and a shape wholly off the surface costs nothing.
#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "overlay/overlay.h"

void fill_rect(const OverlaySurface &s, int x, int y, int w, int h, uint32_t colour) {
    if (w < 1 || h < 1 || !s.px) return;
    // Clip in 64 bits: callers may pass sizes that overflow int when added.
    int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(int64_t(x) + w, s.w);
    int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(int64_t(y) + h, s.h);
    if (x0 >= x1 || y0 >= y1) return;
    if (s.mx) std::tie(x0, x1) = std::pair(s.w - x1, s.w - x0);
    if (s.my) std::tie(y0, y1) = std::pair(s.h - y1, s.h - y0);
    for (int64_t row = y0; row < y1; row++) {
        auto *p = reinterpret_cast<uint32_t *>(s.px + size_t(row) * s.stride);
        std::fill(p + x0, p + x1, colour);
    }
}

void rect_outline(const OverlaySurface &s, int x, int y, int w, int h, int t, uint32_t colour) {
    fill_rect(s, x, y, w, t, colour);
    fill_rect(s, x, y + h - t, w, t, colour);
    fill_rect(s, x, y, t, h, colour);
    fill_rect(s, x + w - t, y, t, h, colour);
}

void fill_round_rect(const OverlaySurface &s, int x, int y, int w, int h, int r, uint32_t colour) {
    if (w < 1 || h < 1) return;
    if (r < 0) r = 0;
    // Only rows that can land on the surface.
    int j0 = int(std::clamp<int64_t>(-int64_t(y), 0, h));
    int j1 = int(std::clamp<int64_t>(int64_t(s.h) - y, 0, h));
    for (int j = j0; j < j1; j++) {
        // A row outside the top and bottom corner bands is whole; the top band wins
        // when the rectangle is lower than 2r.
        int dy = j < r ? r - 1 - j : j >= h - r ? j - (h - r) : -1;
        if (dy < 0) {
            fill_rect(s, x, y + j, w, 1, colour);
            continue;
        }
        // Corner columns keep dx <= k; the left rule wins when narrower than 2r.
        int k = int(std::sqrt(double(r) * r - double(dy) * dy));
        while (int64_t(k + 1) * (k + 1) + int64_t(dy) * dy <= int64_t(r) * r) k++;
        while (int64_t(k) * k + int64_t(dy) * dy > int64_t(r) * r) k--;
        int lo = std::max(0, r - 1 - k);
        int hi = w <= r ? w : std::max(std::min(w, w - r + k + 1), r);
        fill_rect(s, x + lo, y + j, hi - lo, 1, colour);
    }
}
