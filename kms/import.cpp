// Frame import: a decoded DRM PRIME frame becomes one framebuffer over the
// decoder's own DMA-BUFs. No pixel is copied.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <xf86drm.h>
#include <xf86drmMode.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext_drm.h>
}

#include "base/log.h"
#include "kms/kms.h"

bool addfb_fail_reported(int64_t count) {
    return count == 1 || count % 300 == 0;
}

namespace {

// The framebuffer holds its own reference to the memory: the handles are closed as
// soon as it is made (or refused), so a decoder's buffers do not outlive it. Planes
// of one buffer share a handle, which is closed once.
void close_handles(int fd, const uint32_t handles[4], int n) {
    for (int i = 0; i < n; i++) {
        bool seen = false;
        for (int j = 0; j < i; j++) seen |= handles[j] == handles[i];
        if (handles[i] && !seen) drmCloseBufferHandle(fd, handles[i]);
    }
}

}  // namespace

FbId import_frame(Display &d, const AVFrame *frame) {
    const int fd = d.card();
    const auto *desc = reinterpret_cast<const AVDRMFrameDescriptor *>(frame->data[0]);
    const AVDRMLayerDescriptor &layer = desc->layers[0];
    uint32_t handles[4] = {}, pitches[4] = {}, offsets[4] = {};
    uint64_t modifiers[4] = {};
    int n = layer.nb_planes < 4 ? layer.nb_planes : 4;
    for (int i = 0; i < n; i++) {
        const AVDRMPlaneDescriptor &plane = layer.planes[i];
        const AVDRMObjectDescriptor &obj = desc->objects[plane.object_index];
        if (drmPrimeFDToHandle(fd, obj.fd, &handles[i]) != 0) {
            close_handles(fd, handles, i);
            return {};
        }
        pitches[i] = uint32_t(plane.pitch);
        offsets[i] = uint32_t(plane.offset);
        modifiers[i] = obj.format_modifier;
    }
    FbId fb = add_framebuffer(fd, uint32_t(frame->width), uint32_t(frame->height), layer.format,
                              handles, pitches, offsets, modifiers);
    int err = errno;
    close_handles(fd, handles, n);
    if (fb) return fb;
    if (addfb_fail_reported(++d.addfb_fail)) {
        uint32_t f = layer.format;
        say("zyl-mpp: AddFB2: %s (fail #%lld, format %c%c%c%c mod 0x%llx %dx%d — not scannable "
            "on this display)",
            strerror(err), (long long)d.addfb_fail, char(f), char(f >> 8), char(f >> 16),
            char(f >> 24), (unsigned long long)modifiers[0], frame->width, frame->height);
    }
    return {};
}

YuvColor yuv_color(int colorspace, int color_range, int height) {
    const uint64_t range = color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    switch (colorspace) {
        case AVCOL_SPC_BT709:
            return {1, range};
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
            return {0, range};
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return {2, range};
    }
    return {height >= 720 ? 1u : 0u, range};
}

void video_color_follow(Display &d, const AVFrame &frame) {
    const YuvColor c = yuv_color(frame.colorspace, frame.color_range, frame.height);
    for (KmsOutput &o : d.outputs())
        if (o.enc_prop || o.range_prop) o.yuv_want = c;
}
