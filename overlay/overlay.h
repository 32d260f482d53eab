// Overlay drawing: the shared text face. Without a face, text falls back to the
// built-in 8x8 bitmap font.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

extern FT_Library g_ft;
extern FT_Face g_face;

// Opens the first candidate that FreeType reads as face 0; returns its index, or -1.
int font_open_first(const char *const *candidates, int n);
