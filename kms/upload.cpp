// The software-frame copy: the only place the receiver touches pixels of a frame
// it shows.
#include <drm_fourcc.h>
#include <sys/mman.h>
#include <xf86drm.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "base/log.h"
#include "kms/kms.h"
#include "kms/upload.h"

namespace {

// Rows of luma the buffer is made for: the chroma rows of an odd height round up.
uint32_t luma_rows(int h) {
    return uint32_t(h + 1) & ~1u;
}

std::shared_ptr<UploadSlot> make_slot(int fd, int w, int h) {
    const uint32_t rows = luma_rows(h);
    auto s =
        std::make_shared<UploadSlot>(dumb_create(fd, uint32_t(w + 1) & ~1u, rows + rows / 2, 8));
    if (s->px()) {
        const uint32_t handles[4] = {s->handle.get(), s->handle.get()};
        const uint32_t pitches[4] = {s->pitch, s->pitch};
        const uint32_t offsets[4] = {0, s->pitch * rows};
        s->fb = add_framebuffer(fd, uint32_t(w), uint32_t(h), DRM_FORMAT_NV12, handles, pitches,
                                offsets);
        if (s->fb) return s;
    }
    // What the card said, not what releasing the half-made slot left in errno.
    const int err = errno;
    s.reset();
    errno = err;
    return nullptr;
}

}  // namespace

bool upload_takes(int av_format) {
    return av_format == AV_PIX_FMT_NV12 || av_format == AV_PIX_FMT_YUV420P;
}

void copy_to_nv12(const AVFrame &frame, uint8_t *y, uint8_t *uv, uint32_t pitch) {
    const int w = frame.width, h = frame.height, ch = (h + 1) / 2, cw = (w + 1) / 2;
    for (int r = 0; r < h; r++)
        memcpy(y + size_t(r) * pitch, frame.data[0] + size_t(r) * frame.linesize[0], size_t(w));
    if (frame.format == AV_PIX_FMT_NV12) {
        for (int r = 0; r < ch; r++)
            memcpy(uv + size_t(r) * pitch, frame.data[1] + size_t(r) * frame.linesize[1],
                   size_t(cw) * 2);
        return;
    }
    for (int r = 0; r < ch; r++) {
        const uint8_t *u = frame.data[1] + size_t(r) * frame.linesize[1];
        const uint8_t *v = frame.data[2] + size_t(r) * frame.linesize[2];
        uint8_t *d = uv + size_t(r) * pitch;
        for (int x = 0; x < cw; x++) {
            d[2 * x] = u[x];
            d[2 * x + 1] = v[x];
        }
    }
}

UploadLease upload_frame(UploadPool &pool, int fd, const AVFrame &frame) {
    if (frame.width != pool.w || frame.height != pool.h) {
        for (auto &s : pool.slots) s.reset();
        pool.w = frame.width;
        pool.h = frame.height;
    }
    std::shared_ptr<UploadSlot> *free_slot = nullptr;
    for (auto &s : pool.slots) {
        if (s && s.use_count() == 1) {
            free_slot = &s;
            break;
        }
        if (!s && !free_slot) free_slot = &s;
    }
    if (!free_slot) {
        if (!std::exchange(pool.busy_said, true))
            say("zyl-mpp: every scan-out copy buffer is still on screen — frame dropped");
        return nullptr;
    }
    if (!*free_slot) {
        *free_slot = make_slot(fd, frame.width, frame.height);
        const int err = errno;
        if (!*free_slot) {
            if (!std::exchange(pool.refused_said, true))
                say("zyl-mpp: the card refused a %dx%d NV12 scan-out buffer (%s) — software "
                    "frames not shown",
                    frame.width, frame.height, strerror(err));
            return nullptr;
        }
    }
    UploadSlot &s = **free_slot;
    copy_to_nv12(frame, s.px(), s.px() + size_t(s.pitch) * luma_rows(frame.height), s.pitch);
    return *free_slot;
}
