// Which CRTC and NV12 plane show a connector's video. Decoded frames are NV12, so
// only planes that scan NV12 out qualify. An overlay-typed plane is best; some
// controllers offer NV12 only on cursor-typed windows, others only on the primary,
// which is then used for the video itself as a last resort.
#include "kms/kms.h"

namespace {

struct CrtcScan {
    int overlay = -1, cursor = -1, primary = -1;  // plane indexes, -1 none
};

CrtcScan scan_crtc(int c, std::span<const PlaneInfo> planes, uint32_t used_planes) {
    CrtcScan s;
    for (int i = 0; i < int(planes.size()); i++) {
        const PlaneInfo &p = planes[i];
        if (!p.readable || !(p.possible_crtcs >> c & 1) || in_mask(used_planes, i) || !p.nv12)
            continue;
        if (p.type == 0 && s.overlay < 0) s.overlay = i;
        if (p.type == 2 && s.cursor < 0) s.cursor = i;
        if (p.type == 1 && s.primary < 0) s.primary = i;
    }
    return s;
}

VideoChoice take(VideoPlaneKind kind, int c, std::span<const uint32_t> crtc_ids,
                 std::span<const PlaneInfo> planes, int plane_idx, int primary_idx) {
    return VideoChoice{kind,        c,
                       crtc_ids[c], planes[plane_idx].id,
                       plane_idx,   primary_idx >= 0 ? planes[primary_idx].id : 0};
}

}  // namespace

VideoChoice choose_video_plane(std::span<const EncoderInfo> encoders,
                               std::span<const uint32_t> crtc_ids,
                               std::span<const PlaneInfo> planes, uint32_t used_crtcs,
                               uint32_t used_planes) {
    int fallback_crtc = -1, fallback_plane = -1;
    for (const EncoderInfo &enc : encoders) {
        if (!enc.readable) continue;
        for (int c = 0; c < int(crtc_ids.size()); c++) {
            if (c >= 32 || !(enc.possible_crtcs >> c & 1) || in_mask(used_crtcs, c)) continue;
            if (planes.empty()) continue;
            CrtcScan s = scan_crtc(c, planes, used_planes);
            if (s.overlay >= 0)
                return take(VideoPlaneKind::kOverlay, c, crtc_ids, planes, s.overlay, s.primary);
            if (s.cursor >= 0)
                return take(VideoPlaneKind::kCursor, c, crtc_ids, planes, s.cursor, s.primary);
            if (s.primary >= 0 && fallback_crtc < 0) {
                fallback_crtc = c;
                fallback_plane = s.primary;
            }
        }
    }
    if (fallback_crtc >= 0)
        return take(VideoPlaneKind::kPrimaryFallback, fallback_crtc, crtc_ids, planes,
                    fallback_plane, fallback_plane);
    return VideoChoice{VideoPlaneKind::kNone, -1, 0, 0, -1, 0};
}
