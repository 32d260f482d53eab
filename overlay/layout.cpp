// Boxes of a screen's items and texts cut to their box: the parts of layout shared
// by every screen.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "overlay/overlay.h"

void layout_add(ScreenLayout &l, const char *name, int x, int y, int w, int h) {
    if (l.n >= ScreenLayout::kMax) return;
    LayoutBox &b = l.box[l.n++];
    snprintf(b.name, sizeof b.name, "%s", name);
    b.x = x;
    b.y = y;
    b.w = w;
    b.h = h;
}

const LayoutBox *layout_find(const ScreenLayout &l, const char *name) {
    for (int i = 0; i < l.n; i++)
        if (strcmp(l.box[i].name, name) == 0) return &l.box[i];
    return nullptr;
}

void fit_text(Font *font, const char *text, int w, int px, char *out, size_t cap) {
    if (cap == 0) return;
    snprintf(out, cap, "%s", text);
    if (ft_text_w(font, out, px) <= w) return;
    const int dots = ft_text_w(font, "...", px);
    size_t k = strlen(out);
    while (k > 0 && ft_text_w(font, out, px) + dots > w) out[--k] = 0;
    if (k == 0) {
        out[0] = 0;  // not even one character with the dots: nothing rather than spill
        return;
    }
    if (k + 4 <= cap) memcpy(out + k, "...", 4);
}

UiScale ui_scale(int W, int H) {
    const int m = std::min(W, H);
    const int step = m < 720 ? 0 : m < 1000 ? 1 : 2;
    if (m < 480) return {step, std::max(m, 240), 480};
    if (m >= 1440) return {step, std::min(m, 2160), 1080};
    return {step, 1, 1};
}
