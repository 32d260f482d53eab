// Parsers of the .cube LUT files and of the live tuning file. Both take what they
// can and ignore the rest: a table is used only when it is complete, a tuning line
// only when it has the one accepted shape.
#include "gpu/parse.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

size_t next_line(std::string_view text, size_t pos, char *buf, size_t size) {
    size_t n = 0;
    while (pos < text.size() && n + 1 < size) {
        char c = text[pos++];
        buf[n++] = c;
        if (c == '\n') break;
    }
    buf[n] = 0;
    return pos;
}

namespace {

bool starts_with(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

size_t cube_entries(int n) {
    return size_t(n) * size_t(n) * size_t(n);
}

}  // namespace

bool cube_line(CubeParse &p, const char *line) {
    const char *s = line + strspn(line, " \t");
    if (*s == 0 || *s == '\n' || *s == '\r' || *s == '#') return true;
    if (starts_with(s, "LUT_3D_SIZE")) {
        long n = strtol(s + 11, nullptr, 10);
        if (n < kCubeMinN || n > kCubeMaxN) return false;
        p.n = int(n);
        p.rgb.clear();
        p.rgb.reserve(cube_entries(p.n) * 3);
        return true;
    }
    // The domain is always 0..1; a 1D table is not used.
    if (starts_with(s, "TITLE") || starts_with(s, "DOMAIN_") || starts_with(s, "LUT_1D"))
        return true;
    if (!p.n || p.rgb.size() >= cube_entries(p.n) * 3) return true;
    float v[3];
    for (float &f : v) {
        char *end;
        f = strtof(s, &end);
        if (end == s) return true;  // not three numbers: not an entry
        s = end;
    }
    p.rgb.insert(p.rgb.end(), v, v + 3);
    return true;
}

bool cube_complete(const CubeParse &p) {
    return p.n >= kCubeMinN && p.rgb.size() == cube_entries(p.n) * 3;
}

bool cube_parse(std::string_view text, CubeParse &p) {
    char buf[kCubeLineBuf];
    for (size_t pos = 0, next; (next = next_line(text, pos, buf, sizeof buf)) != pos; pos = next)
        if (!cube_line(p, buf)) return false;
    return cube_complete(p);
}

uint8_t cube_byte(float v) {
    if (std::isnan(v) || v < 0.0f) return 0;
    if (v > 1.0f) return 255;
    return uint8_t(v * 255.0f + 0.5f);
}

std::vector<uint8_t> cube_atlas(const CubeParse &p) {
    size_t n = size_t(p.n);
    std::vector<uint8_t> atlas(n * n * n * 3);
    for (size_t k = 0; k < n * n * n; k++) {
        size_t r = k % n, g = (k / n) % n, b = k / (n * n);
        uint8_t *t = &atlas[(g * n * n + b * n + r) * 3];
        for (int c = 0; c < 3; c++) t[c] = cube_byte(p.rgb[k * 3 + c]);
    }
    return atlas;
}

bool tuning_line(const char *line, TuningLine *out) {
    return sscanf(line, " %31[a-z0-9_] = %95s", out->key, out->value) == 2;
}
