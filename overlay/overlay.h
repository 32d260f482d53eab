// Overlays: the menu record other processes feed through the menu file
// (status.cpp), and the text face overlays are drawn with (font.cpp; without a face
// text falls back to the built-in 8x8 bitmap font). The presentation loop polls
// the menu and reads it to place the video; start-up loads the face.
#pragma once

#include <cstdio>

#include <ft2build.h>
#include FT_FREETYPE_H

// The menu record, replaced as a whole whenever the menu file changes.
struct MenuState {
    int open;   // the menu is shown
    int tab;    // 0..3
    int focus;  // 0: tab bar, else the rows
    int sel;    // selected row
    int nrows;  // 0..12
    char title[64];
    char rows[12][64];
    int message;  // show one message instead of the menu (and no video)
    char msg[96];
};
extern MenuState g_menu;
// Rereads the menu file when it changed; 1 when g_menu was replaced.
int poll_menu();
MenuState parse_menu(FILE *f);

extern FT_Library g_ft;
extern FT_Face g_face;

// Opens the first candidate that FreeType reads as face 0; returns its index, or -1.
int font_open_first(const char *const *candidates, int n);
