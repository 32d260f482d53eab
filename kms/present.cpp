// Video plane programming for every output, legacy and atomic.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <xf86drm.h>
#include <xf86drmMode.h>

#include "kms/kms.h"
#include "kms/present.h"

Rect fit_dest(int W, int H, double A) {
    if (!(A > 0) || W <= 0 || H <= 0) return {0, 0, W, H};
    int w, h;
    if (A < double(W) / H) {
        h = H;
        w = int(H * A + 0.5);
    } else {
        w = W;
        h = int(W / A + 0.5);
    }
    w = std::min(w, W);
    h = std::min(h, H);
    return {(W - w) / 2, (H - h) / 2, w, h};
}

namespace {
// The colour the plane still has to be given, if any.
std::optional<YuvColor> yuv_pending(const KmsOutput &o) {
    if (!o.yuv_want || o.yuv_want == o.yuv_set) return std::nullopt;
    return o.yuv_want;
}

// The legacy path sets the colour as properties of their own ahead of the picture.
void legacy_color(const KmsOutput &o) {
    const std::optional<YuvColor> c = yuv_pending(o);
    if (!c) return;
    auto set = [&](uint32_t prop, uint64_t v) {
        return !prop ||
               drmModeObjectSetProperty(o.fd, o.plane_id, DRM_MODE_OBJECT_PLANE, prop, v) == 0;
    };
    if (set(o.enc_prop, c->encoding) && set(o.range_prop, c->range)) o.yuv_set = c;
}
}  // namespace

int video_plane_set(const KmsOutput &o, uint32_t fb, const Placement &p) {
    if (fb) legacy_color(o);
    return drmModeSetPlane(o.fd, o.plane_id, o.crtc_id, fb, 0, p.dst.x, p.dst.y, p.dst.w, p.dst.h,
                           uint32_t(p.src.x) << 16, uint32_t(p.src.y) << 16,
                           uint32_t(p.src.w) << 16, uint32_t(p.src.h) << 16);
}

int video_plane_commit(const KmsOutput &o, uint32_t fb, const Placement &p, uint32_t flags,
                       bool with_menu) {
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    if (!req) return -ENOMEM;
    auto add = [&](uint32_t prop, uint64_t value) {
        drmModeAtomicAddProperty(req, o.plane_id, prop, value);
    };
    add(o.p_fb_id, fb);
    if (fb == 0) {
        add(o.p_crtc_id, 0);
    } else {
        add(o.p_crtc_id, o.crtc_id);
        if (o.p_src_x) add(o.p_src_x, uint64_t(p.src.x) << 16);
        if (o.p_src_y) add(o.p_src_y, uint64_t(p.src.y) << 16);
        add(o.p_src_w, uint64_t(p.src.w) << 16);
        add(o.p_src_h, uint64_t(p.src.h) << 16);
        if (o.p_crtc_x) add(o.p_crtc_x, uint64_t(p.dst.x));
        if (o.p_crtc_y) add(o.p_crtc_y, uint64_t(p.dst.y));
        add(o.p_crtc_w, uint64_t(p.dst.w));
        add(o.p_crtc_h, uint64_t(p.dst.h));
    }
    const std::optional<YuvColor> yuv = fb ? yuv_pending(o) : std::nullopt;
    if (yuv && o.enc_prop) add(o.enc_prop, yuv->encoding);
    if (yuv && o.range_prop) add(o.range_prop, yuv->range);
    if (with_menu) menu_add_to(req, o);
    int r = drmModeAtomicCommit(o.fd, req, flags, nullptr);
    drmModeAtomicFree(req);
    // A test commit applies nothing: the colour still has to go with a real one.
    if (r == 0 && yuv && !(flags & DRM_MODE_ATOMIC_TEST_ONLY)) o.yuv_set = yuv;
    return r;
}

int video_plane_standby(const KmsOutput &o, bool atomic) {
    int w = o.mode.hdisplay, h = o.mode.vdisplay;
    Placement whole{{0, 0, w, h}, {0, 0, w, h}};
    if (o.plane_is_primary) {
        return atomic ? video_plane_commit(o, o.standby.fb.get(), whole, 0)
                      : video_plane_set(o, o.standby.fb.get(), whole);
    }
    return atomic ? video_plane_commit(o, 0, {}, 0) : video_plane_set(o, 0, {});
}

uint64_t plane_rotation_value(Flip flip, uint64_t caps) {
    if (flip == Flip::kH) return caps >> 4 & 1 ? 0x11 : 0;
    if (flip == Flip::kV) return caps >> 5 & 1 ? 0x21 : 0;
    if (flip == Flip::k180) {
        if (caps >> 2 & 1) return 0x4;
        return (caps >> 4 & 1) && (caps >> 5 & 1) ? 0x31 : 0;
    }
    return 0;
}

int video_plane_rotate(const KmsOutput &o, uint64_t value) {
    return drmModeObjectSetProperty(o.fd, o.plane_id, DRM_MODE_OBJECT_PLANE, o.rot_prop, value);
}
