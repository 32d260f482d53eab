#include "overlay/overlay.h"

FT_Library g_ft;
FT_Face g_face;

int font_open_first(const char *const *candidates, int n) {
    for (int i = 0; i < n; i++) {
        if (!candidates[i] || !candidates[i][0]) continue;
        if (FT_New_Face(g_ft, candidates[i], 0, &g_face) == 0) return i;
        g_face = nullptr;
    }
    return -1;
}
