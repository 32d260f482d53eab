// Text: the TrueType face chosen at start-up, or the 8x8 bitmap font scaled up when
// none loads. Every byte is one character code.
//
// Menus redraw the same few strings at the same few sizes on every pass, and asking
// FreeType to load and render a glyph costs far more than blending it, so rendered
// glyphs are kept per size. A size's glyphs are rendered once, on first use.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kms/files.h"
#include "overlay/overlay.h"

void font_detail::done_library(own_detail::NoCtx, FT_Library lib) {
    FT_Done_FreeType(lib);
}

void font_detail::done_face(own_detail::NoCtx, FT_Face face) {
    FT_Done_Face(face);
}

namespace {

constexpr size_t kFontFileMax = size_t(32) << 20;

void set_size(Font &f, int px) {
    if (f.px == px && f.sized_face == f.face.get()) return;
    FT_Set_Pixel_Sizes(f.face.get(), 0, FT_UInt(px));
    f.px = px;
    f.sized_face = f.face.get();
}

FontSize &size_cache(Font &f, int px) {
    FontSize *victim = &f.sizes[0];
    for (FontSize &c : f.sizes) {
        if (c.face == f.face.get() && c.px == px) {
            c.last_use = ++f.use_clock;
            return c;
        }
        if (c.last_use < victim->last_use) victim = &c;
    }
    victim->face = f.face.get();
    victim->px = px;
    victim->last_use = ++f.use_clock;
    std::fill(std::begin(victim->seen), std::end(victim->seen), false);
    victim->coverage.clear();
    return *victim;
}

const FontGlyph &glyph(Font &f, FontSize &c, unsigned char ch) {
    FontGlyph &g = c.glyphs[ch];
    if (c.seen[ch]) return g;
    c.seen[ch] = true;
    g = FontGlyph{};
    set_size(f, c.px);
    if (FT_Load_Char(f.face.get(), ch, FT_LOAD_RENDER) != 0) return g;
    const FT_GlyphSlot slot = f.face.get()->glyph;
    const FT_Bitmap &bm = slot->bitmap;
    g = FontGlyph{true,          slot->bitmap_left, slot->bitmap_top, int(slot->advance.x >> 6),
                  int(bm.width), int(bm.rows),      c.coverage.size()};
    c.coverage.resize(g.off + size_t(g.w) * g.rows);
    uint8_t *dst = c.coverage.data() + g.off;
    for (int r = 0; r < g.rows; r++) {
        const uint8_t *src = bm.buffer + ptrdiff_t(r) * bm.pitch;
        for (int x = 0; x < g.w; x++) {
            // Bitmap-only faces render one bit per pixel.
            dst[size_t(r) * g.w + x] = bm.pixel_mode == FT_PIXEL_MODE_MONO
                                           ? (src[x >> 3] >> (7 - (x & 7)) & 1) * 255
                                           : src[x];
        }
    }
    return g;
}

// Whether the face draws anything for "A": a damaged font can open and still leave
// every text invisible.
bool renders_a(FT_Face face) {
    if (FT_Set_Pixel_Sizes(face, 0, 24) != 0 || FT_Load_Char(face, 'A', FT_LOAD_RENDER) != 0)
        return false;
    const FT_Bitmap &bm = face->glyph->bitmap;
    for (unsigned r = 0; r < bm.rows; r++)
        for (int x = 0; x < std::abs(bm.pitch); x++)
            if (bm.buffer[ptrdiff_t(r) * bm.pitch + x]) return true;
    return false;
}

// A face of the font at `path`, read through the bounded reader: FreeType itself
// would block on a FIFO. Its bytes live in the font's `bytes` as long as the face does.
FtFace open_face(Font &f, const char *path, std::string *why) {
    FileBytes b = read_regular(path, kFontFileMax);
    if (b.fault != FileFault::kNone) {
        *why = file_fault_text(b, kFontFileMax);
        return {};
    }
    FT_Face made = nullptr;
    if (FT_New_Memory_Face(f.ft.get(), reinterpret_cast<const FT_Byte *>(b.data.data()),
                           FT_Long(b.data.size()), 0, &made) != 0) {
        *why = "not a font FreeType can open";
        return {};
    }
    FtFace face(made);
    if (!renders_a(made)) {
        *why = "it renders no glyph for \"A\"";
        return {};
    }
    f.bytes = std::move(b.data);  // the buffer moves with its bytes in place
    return face;
}

// The colour's R, G, B over D with coverage a as the source alpha.
uint32_t blend(uint32_t d, uint32_t colour, uint32_t a) {
    if (a == 255) return 0xFF000000u | (colour & 0xFFFFFF);
    uint32_t da = d >> 24;
    uint32_t ao = da * (255 - a) / 255 + a;
    if (ao == 0) return 0;
    uint32_t out = ao << 24;
    for (int shift = 0; shift <= 16; shift += 8) {
        uint32_t dc = d >> shift & 0xFF, sc = colour >> shift & 0xFF;
        out |= ((dc * da * (255 - a) / 255 + sc * a) / ao) << shift;
    }
    return out;
}

void blit(const OverlaySurface &s, int x0, int y0, const uint8_t *cov, int w, int rows,
          uint32_t colour) {
    int r0 = std::max(0, -y0), r1 = std::min(rows, s.h - y0);
    int c0 = std::max(0, -x0), c1 = std::min(w, s.w - x0);
    for (int r = r0; r < r1; r++) {
        int y = y0 + r;
        auto *row = reinterpret_cast<uint32_t *>(s.px + size_t(s.my ? s.h - 1 - y : y) * s.stride);
        const uint8_t *src = cov + size_t(r) * w;
        for (int c = c0; c < c1; c++) {
            if (!src[c]) continue;
            int x = x0 + c;
            uint32_t &d = row[s.mx ? s.w - 1 - x : x];
            d = blend(d, colour, src[c]);
        }
    }
}

// The 8x8 glyphs at whole multiples only: 1x for the small panels' sizes, 2x and 3x
// for the sizes between, larger only from 96 on (4K).
int bitmap_scale(int px) {
    return px <= 12 ? 1 : px <= 23 ? 2 : std::max(3, px / 24);
}

int bitmap_text(const OverlaySurface &s, int x, int y, const char *text, uint32_t colour, int px) {
    const int sc = bitmap_scale(px);
    int pen = x;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        const uint8_t *rows = FONT8X8[(*p >= 0x20 && *p <= 0x7F ? *p : '?') - 0x20];
        for (int k = 0; k < 8; k++) {
            // Runs of set bits become one rectangle each.
            for (int b = 0; b < 8;) {
                if (!(rows[k] >> (7 - b) & 1)) {
                    b++;
                    continue;
                }
                int e = b;
                while (e < 8 && rows[k] >> (7 - e) & 1) e++;
                fill_rect(s, pen + b * sc, y - px + k * sc, (e - b) * sc, sc, colour);
                b = e;
            }
        }
        pen += 8 * sc;
    }
    return pen - x;
}

}  // namespace

bool font_init(Font &font) {
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib) != 0) return false;
    font.ft = FtLibrary(lib);
    return true;
}

int font_open_first(Font &font, const char *const *candidates, int n, std::string *first_why) {
    std::lock_guard<std::mutex> hold(font.lock);
    font.face.reset();
    // A new face may reuse an old one's address: forget every rendered glyph.
    for (FontSize &c : font.sizes) c.face = nullptr;
    font.sized_face = nullptr;
    for (int i = 0; i < n; i++) {
        std::string why = "not set";
        if (candidates[i] && candidates[i][0]) font.face = open_face(font, candidates[i], &why);
        if (font.face) return i;
        if (i == 0 && first_why) *first_why = why;
    }
    return -1;
}

int ft_text(const OverlaySurface &s, int x, int y, const char *text, uint32_t colour, int px) {
    if (!s.font) return bitmap_text(s, x, y, text, colour, px);
    Font &f = *s.font;
    std::lock_guard<std::mutex> hold(f.lock);
    if (!f.face) return bitmap_text(s, x, y, text, colour, px);
    FontSize &c = size_cache(f, px);
    int pen = x;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        const FontGlyph &g = glyph(f, c, *p);
        if (!g.loaded) continue;
        if (s.px) blit(s, pen + g.left, y - g.top, c.coverage.data() + g.off, g.w, g.rows, colour);
        pen += g.advance;
    }
    return pen - x;
}

int ft_text_w(Font *font, const char *text, int px) {
    if (!font) return 8 * bitmap_scale(px) * int(strlen(text));
    std::lock_guard<std::mutex> hold(font->lock);
    if (!font->face) return 8 * bitmap_scale(px) * int(strlen(text));
    FontSize &c = size_cache(*font, px);
    int w = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        const FontGlyph &g = glyph(*font, c, *p);
        if (g.loaded) w += g.advance;
    }
    return w;
}
