// Snapshots: the corrected picture of one frame as a P6 file, for another process to
// fetch. Read from the render target right after the frame was drawn, so it is what
// the displays show minus the overlays, at the render size.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "gpu/gpu.h"
#include "gpu/pass_state.h"
#include "base/log.h"
#include "kms/files.h"

void gl_snapshot(const GpuPass &p, const PassFrame &f) {
    const int w = p.w, h = p.h;
    glBindFramebuffer(GL_FRAMEBUFFER, f.target);
    std::unique_ptr<uint8_t[]> px(new (std::nothrow) uint8_t[size_t(w) * h * 4]);
    char head[48];
    const size_t head_n = size_t(snprintf(head, sizeof head, "P6\n%d %d\n255\n", w, h));
    const size_t n = head_n + size_t(w) * h * 3;
    std::unique_ptr<uint8_t[]> ppm(new (std::nothrow) uint8_t[n]);
    if (!px || !ppm) return;
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, px.get());
    memcpy(ppm.get(), head, head_n);
    // Row 0 of the render target is the top of the picture.
    uint8_t *d = ppm.get() + head_n;
    for (size_t i = 0; i < size_t(w) * h; i++)
        for (int c = 0; c < 3; c++) *d++ = px[i * 4 + c];
    // Written under a temporary name: a reader never sees half a picture.
    std::string why;
    if (!write_atomic("/tmp/zyl-snap.ppm", ppm.get(), n, &why)) {
        say("zyl-mpp: snapshot not written: %s", why.c_str());
        return;
    }
    say("zyl-mpp: snapshot -> /tmp/zyl-snap.ppm (%dx%d)", w, h);
}
