// Overlays: what the rest of the receiver takes from overlay/. Drawing goes into plain
// 32-bit pixel buffers (raster.cpp, text.cpp with the 8x8 font of font8x8.cpp when no
// face loads); other processes feed the status records (status.h); the menu and the
// message screen (menu.cpp), detection boxes (connect.cpp), the telemetry HUD
// (hud.cpp) and pop-up tiles (popup.cpp) are composed on every output (layers.cpp).
// The connect screen (connect.cpp) goes into the standby pictures instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "base/own.h"
#include "kms/kms.h"
#include "overlay/status.h"

// What the overlays show of the rest of the receiver; app/ gives it to each pass.
struct OverlayFacts {
    bool video_shown = false;        // video is on screen (else the standby picture)
    bool detect = false;             // detection boxes are drawn
    bool hevc = false;               // the stream is H.265
    const char *lut_path = nullptr;  // the LUT the GPU pass applies; null: none
    bool gpu_overlays = false;       // the GPU pass can draw sidebar outputs' overlays
    // Paints an output's standby picture again (a sidebar drawing goes away).
    std::function<void(KmsOutput &)> repaint_standby;
    std::span<KmsOutput> outputs;  // every driven output
};

// A 32-bit buffer of 0xAARRGGBB words in the machine's (little-endian) order: bytes
// B, G, R, A, as DRM's AR24 and XR24. Rows start `stride` bytes apart. With mx (my)
// set, a logical pixel (x, y) lands at column w-1-x (row h-1-y): the overlay
// composition draws mirrored like the video of its output.
// Text on it draws with `font`; null: the 8x8 bitmap font.
struct Font;
struct OverlaySurface {
    uint8_t *px;
    uint32_t stride;
    int w, h;
    Font *font = nullptr;
    bool mx = false, my = false;
};

// ---- raster: never allocate, never fail, clip every pixel to the surface ----
// Colours overwrite, alpha included.
void fill_rect(const OverlaySurface &s, int x, int y, int w, int h, uint32_t colour);
// The four sides, each t thick, inside the rectangle.
void rect_outline(const OverlaySurface &s, int x, int y, int w, int h, int t, uint32_t colour);
// Corners of radius r left out; r = 0 is fill_rect.
void fill_round_rect(const OverlaySurface &s, int x, int y, int w, int h, int r, uint32_t colour);

// ---- text ----
namespace font_detail {
void done_library(own_detail::NoCtx, FT_Library lib);
void done_face(own_detail::NoCtx, FT_Face face);
}  // namespace font_detail
using FtLibrary = Owned<FT_Library, own_detail::NoCtx, font_detail::done_library>;
using FtFace = Owned<FT_Face, own_detail::NoCtx, font_detail::done_face>;

// Rendered glyphs of one size of one face.
struct FontGlyph {
    bool loaded;  // FreeType could load it; a glyph that cannot be loaded is skipped
    int left, top, advance;
    int w, rows;
    size_t off;  // coverage bytes in the size's store, rows of w
};
struct FontSize {
    FT_Face face = nullptr;
    int px = 0;
    unsigned last_use = 0;
    bool seen[256] = {};
    FontGlyph glyphs[256] = {};
    std::vector<uint8_t> coverage;
};

// The TrueType face text draws with, made by the process entry with the overlays'
// drawing state; without a face, text is the 8x8 bitmap font at 1x (px <= 12), 2x
// (px < 24), 3x, or px / 24 times from 96 on. The main thread draws the overlays and
// the SPI converter thread its header strip and pop-up, and the face's size and the
// glyph cache are shared: every text call holds `lock`. It is taken last and nothing
// is called under it that locks, so any caller may hold its own drawing's lock.
// Members release in reverse order: the face before the bytes it reads and the library.
struct Font {
    // A few sizes cover every layout; the least recently used one makes room. The menu
    // on a monitor and on the panel, the HUD, the pop-up on the panel and in the SPI
    // copy and the SPI strip draw with nine sizes in all: with fewer places every
    // redraw would render glyphs again, allocating inside FreeType between the frames.
    static constexpr int kCachedSizes = 16;

    std::mutex lock;
    FtLibrary ft;                  // null when FreeType did not start
    std::vector<char> bytes;       // the font file the face reads from
    FtFace face;                   // null: the bitmap font
    int px = 0;                    // the size last set on the face
    FT_Face sized_face = nullptr;  // the face `px` was set on
    unsigned use_clock = 0;
    FontSize sizes[kCachedSizes];
};
// Glyphs of printable ASCII, 0x20..0x7F, one byte per row, MSB leftmost.
extern const uint8_t FONT8X8[96][8];

// Starts FreeType for the font; false when it cannot.
[[nodiscard]] bool font_init(Font &font);
// Opens the first candidate that is a regular file FreeType reads as face 0 and that
// draws an "A"; returns its index, or -1 (then `first_why` says why the first failed).
int font_open_first(Font &font, const char *const *candidates, int n,
                    std::string *first_why = nullptr);
// Draws one byte per character from baseline y with the surface's font; returns the
// advance in pixels. With a face the glyph coverage is blended over the surface in the
// colour's R, G, B.
int ft_text(const OverlaySurface &s, int x, int y, const char *text, uint32_t colour, int px);
// The advance ft_text would return with `font`, without drawing.
int ft_text_w(Font *font, const char *text, int px);

// ---- layout ----
// Where a screen's items go, a pure function of the output's size and the content, so
// it can be checked without drawing. A name starting with '#' is a background that
// holds items; no two other boxes meet.
struct LayoutBox {
    char name[12];
    int x, y, w, h;
};
struct ScreenLayout {
    static constexpr int kMax = 40;
    LayoutBox box[kMax];
    int n = 0;
};
void layout_add(ScreenLayout &l, const char *name, int x, int y, int w, int h);
// The box of that name, or null when the item is not shown.
const LayoutBox *layout_find(const ScreenLayout &l, const char *name);
// How large overlays are drawn on a W x H output, from its shorter side m. Between
// 480 and 1440 lines each screen keeps its two established size sets: `step` says
// which applies (0 under 720 lines, 1 under 1000, 2 from there up). Under 480 lines
// the smaller set shrinks with m, down to half at 240; from 1440 up the larger one
// grows with m, up to twice at 2160. Text never goes below kMinText.
struct UiScale {
    static constexpr int kMinText = 10;
    int step;
    int num, den;
    int px(int v) const { return v * num / den; }
    int text(int v) const { return px(v) > kMinText ? px(v) : kMinText; }
};
UiScale ui_scale(int W, int H);
// The longest head of `text` that fits `w` pixels at size px, ending in "..." when
// cut (the fonts draw one byte per character, so no single-glyph ellipsis).
void fit_text(Font *font, const char *text, int w, int px, char *out, size_t cap);

// ---- menu and message screen ----
// Sizes of the menu on an output of W x H; "large" at ui_scale step 2 (a shorter side
// of 1000 rows or more). The panel keeps clear of the rows above `top` and of the
// `bottom` rows at the foot (the HUD's bars).
struct MenuLayout {
    UiScale u;
    bool large;
    int pad, s;  // padding; tab text and icon size
    int head;    // heading text size and its offset from the panel's top padding
    int tab_step, tab_x;
    int row_h;           // before the rows are shrunk to fit
    int pw, ph, px, py;  // the panel
};
MenuLayout menu_layout(int W, int H, int top = 0, int bottom = 0);
// A row "label: value": the value is what follows the last colon and blank.
struct MenuRow {
    char label[64];
    const char *value;  // inside the row text, null when there is none
};
MenuRow split_row(const char *row);
// The menu's boxes: "#panel", the tabs "tab0".."tab3", the "divider", the heading
// "head" with its underline and the rows shown ("#row0".."#row11", each holding its
// label "labN" and value "valN").
void menu_boxes(Font *font, int W, int H, const MenuState &m, ScreenLayout &out, int top = 0,
                int bottom = 0);
// The message screen's boxes: "#area" (the whole screen, or the sidebar's column),
// "info" and "msg".
void message_boxes(Font *font, int W, int H, const MenuState &m, bool sidebar, ScreenLayout &out);
// The menu over a W x H surface: over a veil on the whole screen, or (`sidebar`) laid
// out in the sidebar column (kSidebarWidth) at the left, which it fills. The panel keeps
// clear of the HUD's bars: below row `top`, above row `bottom` (0: none).
void draw_menu(const OverlaySurface &s, const MenuState &m, int W, int H, bool sidebar, int top = 0,
               int bottom = 0);
// The menu record's message centred under "Info": over a veil on the whole screen, or
// (`sidebar`) in the sidebar column at the left, which it fills.
void draw_message(const OverlaySurface &s, const MenuState &m, int W, int H, bool sidebar);

// ---- telemetry HUD ----
// Both bars over a panel's overlay surface: the bottom status bar always, the top bar
// of flight values when the record holds any. Returns the top bar's bottom row, 0
// without one.
int draw_telemetry(const KmsOutput &o, const OverlaySurface &s, const TelemetryState &t,
                   const OverlayFacts &f);
// What the bottom bar shows besides the telemetry record: null or empty texts are not
// shown; temp below -99: no temperature.
struct HudFacts {
    const char *lut = nullptr, *mode = nullptr, *codec = nullptr, *up = nullptr;
    int temp = -1000;
};
// Both bars' boxes on a W x H panel: "#bottom" and its items "rec", "lut", "net", "vpn"
// (left) and "up", "codec", "mode", "temp" (right), "#top" and the top items, each
// named as hud_item_name says. Items that would meet are left out, the least needed
// first.
void hud_layout(Font *font, int W, int H, const TelemetryState &t, const HudFacts &f,
                ScreenLayout &out);
const char *hud_item_name(int i);
// The rows the bars take on a W x H panel: the top bar's bottom row (0 without one)
// and the bottom bar's height.
void hud_bars(Font *font, int W, int H, const TelemetryState &t, int *top, int *bottom);
void draw_goggles_icon(const OverlaySurface &s, int x, int y, int w, int h, uint32_t colour);
void draw_drone_icon(const OverlaySurface &s, int x, int y, int w, int h, uint32_t colour);
// One item of the top bar: its kind, text (cut to 15 characters) and colour, muted
// when the value was not given.
struct HudItem {
    enum Kind { kGoggles, kDrone, kBars, kText } kind;
    char text[16];
    uint32_t colour;
};
// The ten items of the top bar, in order, for a telemetry record.
int hud_top_items(const TelemetryState &t, HudItem (&items)[10]);
// "REC 0:59", "REC 1:00:00"; a negative time counts as 0.
void fmt_rec(int recs, char (&out)[24]);
// "UP 3:25" or "UP 2d04:10" from /proc/uptime; empty when it cannot be read.
void fmt_uptime(char (&out)[24]);
// The board's temperature in whole degrees C, or -1000 without a sensor.
int board_temp_c();

// ---- connect screen ----
// Whether draw_connect draws (off: it says so once instead). Main thread only.
struct ConnectSwitch {
    bool on = true;
    std::atomic<bool> off_said{false};
};
void connect_screen_enable(ConnectSwitch &sw, bool on);
// Where the code of n modules goes on a W x H picture: module size s, code with its
// quiet zone q x q at (x0, y0); caption sizes of the push address and the Wi-Fi name.
struct ConnectLayout {
    int s, q, x0, y0;
    int pc, wc;
};
ConnectLayout connect_layout(int W, int H, int n);
// "Server URL: rtmp://host/app/   Stream key: key", or "Push stream to: <address>" when
// nothing follows the last "/".
void push_caption(const char *push, char (&out)[176]);
// The connect screen's boxes: the "code" with its quiet zone, and the backings of the
// Wi-Fi name "ssid" and the push caption "push", both cut to the screen's width.
void connect_boxes(Font *font, int W, int H, const ConnectInfo &ci, ScreenLayout &out);
// The QR code with the Wi-Fi name and push caption, over a standby picture. Nothing
// without a code.
void draw_connect(ConnectSwitch &sw, const OverlaySurface &s, const ConnectInfo &c);

// ---- detections ----
// One detected object: the box in fractions of the picture's width and height.
struct Detection {
    float cls, score, x, y, w, h;
};
constexpr int kMaxDetections = 50;
// The boxes a detector found. A detector thread would write it (this system has
// none, so n stays 0); the main thread empties it when detection is switched off and
// copies it while composing. Every access holds `lock`.
struct DetectionTable {
    std::mutex lock;
    Detection dets[kMaxDetections] = {};
    int n = 0;
};
void detections_clear(DetectionTable &t);
// Outlines and labels the detections (at most kMaxDetections) over the surface; the
// table is locked only while it is copied.
void draw_detections(DetectionTable &t, const OverlaySurface &s);

// ---- pop-up tiles ----
// A picture the pop-up tile is blended into: bytes B, G, R, A per pixel (rgba 0, the
// overlay plane) or R, G, B, A (rgba 1, a GL read-back), row 0 at the top, or at the
// bottom when flip_rows is 1.
struct PopupTarget {
    uint8_t *px;
    uint32_t stride;
    int w, h;
    int rgba;
    int flip_rows;
    Font *font;  // null: the bitmap font
};
// The largest tile, at twice the 1080-line size (4K).
constexpr int kPopupMaxW = 2560, kPopupMaxH = 440;
// The tile last rendered (w x h, rows of w words) and the key it was rendered for:
// "level|width|height|text". The composition and the SPI copy's video path blend it,
// both on the main thread today; every use holds `lock` all the same, so a tile is
// never blended while it is being rendered.
struct PopupTile {
    std::mutex lock;
    std::vector<uint32_t> px = std::vector<uint32_t>(size_t(kPopupMaxW) * kPopupMaxH);
    int w = 0, h = 0;
    char key[320] = {};
    uint64_t renders = 0;  // tiles rendered so far
};
// Cuts a text into at most max_lines (up to 3) lines no wider than ww at text size t,
// breaking after blanks, inside a word only when it alone is too wide; text left over
// ends the last line with "...". Returns the number of lines, 1 for an empty text.
constexpr int kPopupLineCap = 192;
int pu_wrap(Font *font, const char *text, int ww, int t, int max_lines,
            char (*lines)[kPopupLineCap]);
// Renders the tile of the pop-up's text at its level for a W x H target unless the
// tile already holds it. The caller holds the tile's lock.
void pu_render_tile(PopupTile &tile, Font *font, const OsdState &osd, int W, int H);
// Blends the pop-up's tile at the top centre of the target, rendering it first if
// needed.
// Where a tile of tw x th goes on a W x H target: at the top centre, under row `below`
// (the HUD's top bar), and under `avoid` (the menu's heading) where it would cover it.
LayoutBox popup_box(int W, int H, int tw, int th, int below, const LayoutBox *avoid);
void pu_blit(PopupTile &tile, const PopupTarget &t, const OsdState &osd, int below = 0,
             const LayoutBox *avoid = nullptr);
// The active pop-up on a panel's overlay surface; nothing on other outputs.
void draw_osd(PopupTile &tile, const KmsOutput &o, const OverlaySurface &s, const OsdState &osd,
              int below = 0, const LayoutBox *avoid = nullptr);

// ---- composition ----
// What a sidebar output's standby buffer holds besides the standby picture or the
// black around the video: the menu or the message over the whole screen, or in the
// sidebar column beside the video.
enum class SidebarDrawn { kNothing, kMenu, kMessage, kMenuInColumn, kMessageInColumn };
// What drawing keeps between passes, made by the process entry next to the status
// records. The main thread composes; the members shared with another thread say so.
struct OverlayDrawing {
    std::mutex compose;  // held for one whole composition pass
    DetectionTable detections;
    PopupTile popup;
    ConnectSwitch connect;
    Font font;
    SidebarDrawn sidebar[kMaxOutputs] = {};  // per output index
};
// Redraws the overlay of every output from the status records and puts it on screen:
// the overlay plane, or the standby buffer beside the video on sidebar outputs.
void render_menu_all(OverlayDrawing &d, const Overlays &ov, const OverlayFacts &f);
// The standby buffers were painted over: sidebar outputs draw their overlays again.
void redraw_sidebars(OverlayDrawing &d, const Overlays &ov, const OverlayFacts &f);
