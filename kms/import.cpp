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

#include "kms/kms.h"

int64_t addfb_fail;

bool addfb_fail_reported(int64_t count) {
    return count == 1 || count % 300 == 0;
}

uint32_t import_frame(const AVFrame *frame) {
    const auto *desc = reinterpret_cast<const AVDRMFrameDescriptor *>(frame->data[0]);
    const AVDRMLayerDescriptor &layer = desc->layers[0];
    uint32_t handles[4] = {}, pitches[4] = {}, offsets[4] = {};
    uint64_t modifiers[4] = {};
    for (int i = 0; i < layer.nb_planes && i < 4; i++) {
        const AVDRMPlaneDescriptor &plane = layer.planes[i];
        const AVDRMObjectDescriptor &obj = desc->objects[plane.object_index];
        if (drmPrimeFDToHandle(drm_fd, obj.fd, &handles[i]) != 0) return 0;
        pitches[i] = uint32_t(plane.pitch);
        offsets[i] = uint32_t(plane.offset);
        modifiers[i] = obj.format_modifier;
    }
    uint32_t flags = modifiers[0] != 0 ? DRM_MODE_FB_MODIFIERS : 0;
    uint32_t fb = 0;
    if (drmModeAddFB2WithModifiers(drm_fd, frame->width, frame->height, layer.format, handles,
                                   pitches, offsets, modifiers, &fb, flags) == 0) {
        return fb;
    }
    if (addfb_fail_reported(++addfb_fail)) {
        uint32_t f = layer.format;
        fprintf(stderr,
                "zyl-mpp: AddFB2: %s (fail #%lld, format %c%c%c%c mod 0x%llx %dx%d — not scannable "
                "on this display)\n",
                strerror(errno), (long long)addfb_fail, char(f), char(f >> 8), char(f >> 16),
                char(f >> 24), (unsigned long long)modifiers[0], frame->width, frame->height);
        fflush(stderr);
    }
    return 0;
}
