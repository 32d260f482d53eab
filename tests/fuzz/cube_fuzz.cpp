// The .cube parser over any text: a table it accepts is complete and in range, its
// atlas puts every entry where the shader looks for it, and the table written out
// again parses to the same values.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "gpu/parse.h"
#include "tests/fuzz/naive.h"

namespace {

bool same_value(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    CubeParse p;
    bool ok = cube_parse(text, p);
    if (!ok) return 0;
    size_t n = size_t(p.n);
    FUZZ_CHECK(p.n >= kCubeMinN && p.n <= kCubeMaxN);
    FUZZ_CHECK(p.rgb.size() == n * n * n * 3);

    std::vector<uint8_t> atlas = cube_atlas(p);
    FUZZ_CHECK(atlas.size() == n * n * n * 3);
    for (size_t b = 0; b < n; b++)
        for (size_t g = 0; g < n; g++)
            for (size_t r = 0; r < n; r++) {
                const float *e = &p.rgb[((b * n + g) * n + r) * 3];
                const uint8_t *t = &atlas[(g * n * n + b * n + r) * 3];
                for (int c = 0; c < 3; c++) FUZZ_CHECK(t[c] == cube_byte(e[c]));
            }

    std::string again = "LUT_3D_SIZE " + std::to_string(p.n) + "\n";
    char line[128];
    for (size_t i = 0; i < p.rgb.size(); i += 3) {
        snprintf(line, sizeof line, "%.9g %.9g %.9g\n", p.rgb[i], p.rgb[i + 1], p.rgb[i + 2]);
        again += line;
    }
    CubeParse q;
    FUZZ_CHECK(cube_parse(again, q));
    FUZZ_CHECK(q.n == p.n);
    for (size_t i = 0; i < p.rgb.size(); i++) FUZZ_CHECK(same_value(q.rgb[i], p.rgb[i]));
    return 0;
}
