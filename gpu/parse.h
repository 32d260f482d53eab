// The two text formats of the correction pass, parsed by pure functions over text so
// that tests and fuzz targets reach them without a GL context: .cube 3D LUT files and
// the live tuning file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Copies the next line of `text` from `pos` into `buf` the way fgets(buf, size) reads
// it (at most size - 1 bytes, up to and including a line feed) and returns the
// position after it; returns `pos` unchanged at the end of the text.
size_t next_line(std::string_view text, size_t pos, char *buf, size_t size);

// ---- .cube ----
constexpr int kCubeMinN = 2, kCubeMaxN = 64;
constexpr size_t kCubeLineBuf = 256;

struct CubeParse {
    int n = 0;               // LUT_3D_SIZE, 0 until seen
    std::vector<float> rgb;  // entries stored so far, three floats each, red fastest
};
// One line as the loader reads it. False when the file fails at this line (a size
// outside 2..64).
bool cube_line(CubeParse &p, const char *line);
// Whether the lines seen make a table: a size and exactly N^3 entries.
bool cube_complete(const CubeParse &p);
// A whole file's text; true when it makes a table.
bool cube_parse(std::string_view text, CubeParse &p);
// One component as a texel byte: below 0 gives 0, above 1 gives 255, NaN gives 0.
uint8_t cube_byte(float v);
// The texture the shader samples: N slices of N x N texels side by side along x, one
// per blue level; entry (r, g, b) at x = b * N + r, y = g. Rows of N * N * 3 bytes.
std::vector<uint8_t> cube_atlas(const CubeParse &p);

// ---- live tuning file ----
constexpr size_t kTuningLineBuf = 160;

struct TuningLine {
    char key[32];    // 1..31 of a-z, 0-9, _
    char value[96];  // 1..95 non-blank characters
};
// One line of the file; false when it is not "key = value".
bool tuning_line(const char *line, TuningLine *out);
