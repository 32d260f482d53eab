// Snapshots: the corrected picture of one frame as a P6 file, for another process to
// fetch. Read from the render target right after the frame was drawn, so it is what
// the displays show minus the overlays, at the render size.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "gpu/pass_state.h"

void gl_snapshot(int w, int h) {
    std::unique_ptr<uint8_t[]> px(new (std::nothrow) uint8_t[size_t(w) * h * 4]);
    if (!px) return;
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, px.get());
    // Written under a temporary name: a reader never sees half a picture.
    const char *tmp = "/tmp/zyl-snap.ppm.tmp", *path = "/tmp/zyl-snap.ppm";
    FILE *f = fopen(tmp, "wb");
    if (!f) return;
    fprintf(f, "P6\n%d %d\n255\n", w, h);
    std::vector<uint8_t> row(size_t(w) * 3);
    for (int y = 0; y < h; y++) {
        // Row 0 of the render target is the top of the picture.
        const uint8_t *s = px.get() + size_t(y) * w * 4;
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++) row[size_t(x) * 3 + c] = s[x * 4 + c];
        fwrite(row.data(), 1, row.size(), f);
    }
    if (fclose(f) != 0 || rename(tmp, path) != 0) {
        unlink(tmp);
        return;
    }
    fprintf(stderr, "zyl-mpp: snapshot -> /tmp/zyl-snap.ppm (%dx%d)\n", w, h);
}
