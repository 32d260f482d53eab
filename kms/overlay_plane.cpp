// The overlay plane: a second plane on each output's CRTC that shows the software-drawn
// overlays above the video, in ARGB with alpha. Display controllers list ARGB on
// planes that then refuse a linear buffer, so a plane counts only once a real
// scan-out of one of its buffers was accepted. Drawing goes to a separate surface
// and is copied into the buffer that is not on screen, so a half-drawn overlay is
// never shown. A buffer is drawn into only once no update shows it and the update
// that replaced it has landed: three buffers, since on an atomic output the
// replacing update is a non-blocking commit still pending when the next drawing comes.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <drm_fourcc.h>
#include <fcntl.h>
#include <xf86drm.h>

#include "base/log.h"
#include "kms/kms.h"

namespace {

constexpr size_t kMaxMenuCandidates = 16;

FbId add_ar24_fb(const DumbBuffer &b, uint32_t w, uint32_t h) {
    const uint32_t handles[4] = {b.handle.get()}, pitches[4] = {b.pitch}, offsets[4] = {0};
    if (!b.handle) return FbId();
    return add_framebuffer(b.handle.context(), w, h, DRM_FORMAT_ARGB8888, handles, pitches,
                           offsets);
}

// Makes both buffers and shows the first on the plane at `zpos`; 0 when the card took
// it, else the error number.
int try_candidate(const KmsOutput &o, const MenuCandidate &c, uint64_t zpos,
                  DumbBuffer (&b)[kMenuBuffers]) {
    const uint32_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    errno = 0;
    for (DumbBuffer &buf : b) {
        buf = dumb_create(o.fd, w, h);
        buf.fb = add_ar24_fb(buf, w, h);
    }
    int err = b[0].fb ? 0 : errno ? errno : ENOMEM;
    if (c.zpos_prop && zpos != c.zpos &&
        drmModeObjectSetProperty(o.fd, c.plane_id, DRM_MODE_OBJECT_PLANE, c.zpos_prop, zpos) != 0)
        err = errno ? errno : EINVAL;
    if (err) return err;
    if (drmModeSetPlane(o.fd, c.plane_id, o.crtc_id, b[0].fb.get(), 0, 0, 0, w, h, 0, 0, w << 16,
                        h << 16) == 0)
        return 0;
    return errno ? errno : EINVAL;
}

// The video plane's zpos on output `o`; none when it has no such property.
std::optional<uint64_t> video_zpos(const KmsOutput &o) {
    const PropTable props = read_props(o.fd, o.plane_id, DRM_MODE_OBJECT_PLANE);
    const PropEntry *z = prop_entry(props, "zpos");
    return z ? std::optional<uint64_t>(z->value) : std::nullopt;
}

constexpr uint64_t kBlendCoverage = 2;  // the kernel's DRM_MODE_BLEND_COVERAGE

// Sets the plane's blend mode to straight alpha where it can; whether its pixels must
// be pre-multiplied.
bool setup_blend(const KmsOutput &o, uint32_t plane_id) {
    const PropTable props = read_props(o.fd, plane_id, DRM_MODE_OBJECT_PLANE);
    const PropEntry *mode = prop_entry(props, "pixel blend mode");
    const OverlayBlend b = overlay_blend(mode);
    if (b.set &&
        drmModeObjectSetProperty(o.fd, plane_id, DRM_MODE_OBJECT_PLANE, mode->id, *b.set) != 0)
        return true;
    return b.premultiply;
}

}  // namespace

OverlayBlend overlay_blend(const PropEntry *blend_mode) {
    if (!blend_mode || !(blend_mode->enum_bits >> kBlendCoverage & 1)) return {{}, true};
    if (blend_mode->value == kBlendCoverage) return {{}, false};
    return {kBlendCoverage, false};
}

void premultiply_row(uint32_t *dst, const uint32_t *src, uint32_t w) {
    for (uint32_t x = 0; x < w; x++) {
        const uint32_t p = src[x], a = p >> 24;
        if (a == 0xff || p == 0) {  // most of an overlay: opaque or empty
            dst[x] = p;
            continue;
        }
        // c * a / 255, rounded, on two channels at once
        uint32_t rb = (p & 0xff00ff) * a + 0x800080, g = (p & 0xff00) * a + 0x8000;
        rb = ((rb + (rb >> 8 & 0xff00ff)) >> 8) & 0xff00ff;
        g = ((g + (g >> 8 & 0xff00)) >> 8) & 0xff00;
        dst[x] = a << 24 | rb | g;
    }
}

std::optional<uint64_t> overlay_zpos(const MenuCandidate &c, std::optional<uint64_t> video_zpos) {
    if (!c.zpos_prop) return c.zpos;
    const uint64_t top = std::max(c.zpos, c.zpos_top);
    if (video_zpos && top <= *video_zpos) return std::nullopt;
    return top;
}

std::vector<MenuCandidate> menu_plane_candidates(std::span<const MenuPlaneInfo> planes,
                                                 int crtc_idx, uint32_t used_planes,
                                                 uint32_t named) {
    std::vector<MenuCandidate> out;
    for (int i = 0; i < int(planes.size()) && out.size() < kMaxMenuCandidates; i++) {
        const MenuPlaneInfo &p = planes[i];
        if (!p.readable || !in_mask(p.possible_crtcs, crtc_idx) || in_mask(used_planes, i) ||
            (named && named != p.id) || !p.argb)
            continue;
        if (p.type == 0 || p.type == 2 || named)
            out.push_back({p.id, p.zpos_prop, p.zpos, p.type == 0, i, p.zpos_top});
    }
    std::stable_sort(out.begin(), out.end(), [](const MenuCandidate &a, const MenuCandidate &b) {
        if (a.zpos != b.zpos) return a.zpos > b.zpos;
        return a.overlay && !b.overlay;
    });
    return out;
}

void probe_menu_plane(KmsOutput *o, int out_no, std::span<const MenuPlaneInfo> planes,
                      uint32_t *used_planes, uint32_t named) {
    const uint32_t w = o->mode.hdisplay, h = o->mode.vdisplay;
    o->menu_plane = 0;
    o->menu_front = o->menu_before = -1;
    o->menu_shown = 0;
    o->menu_update = MenuUpdate::kNone;
    o->sidebar = 1;
    const std::optional<uint64_t> under = video_zpos(*o);
    for (const MenuCandidate &c : menu_plane_candidates(planes, o->crtc_idx, *used_planes, named)) {
        // An overlay at or under the video's zpos would be hidden, or stacked as the
        // driver happens to choose.
        const std::optional<uint64_t> zpos = overlay_zpos(c, under);
        if (!zpos) {
            say("zyl-mpp: output %d ARGB plane %u cannot be put above the video plane's zpos "
                "%llu — trying the next candidate",
                out_no, c.plane_id, (unsigned long long)*under);
            if (named) break;
            continue;
        }
        DumbBuffer b[kMenuBuffers];
        if (int err = try_candidate(*o, c, *zpos, b)) {
            say("zyl-mpp: output %d ARGB plane %u rejected a linear scan-out (%s) — trying "
                "the next candidate",
                out_no, c.plane_id, strerror(err));
            for (DumbBuffer &buf : b) buf = DumbBuffer();
            if (named) break;
            continue;
        }
        add_to_mask(used_planes, c.index);
        o->menu_plane = c.plane_id;
        for (int i = 0; i < kMenuBuffers; i++) o->menu[i] = std::move(b[i]);
        o->menu_front = 0;  // the probe left it on the plane, transparent
        o->menu_props = plane_props(read_props(o->fd, c.plane_id, DRM_MODE_OBJECT_PLANE));
        o->menu_shadow_stride = w * 4;
        o->menu_shadow = zeroed_bytes(size_t(h) * w * 4);
        o->menu_premul = setup_blend(*o, c.plane_id);
        o->sidebar = 0;
        say("zyl-mpp: output %d menu → ARGB plane %u (zpos %s, triple-buffered, probed OK)", out_no,
            c.plane_id, c.zpos_prop ? "set" : "default");
        return;
    }
    say("zyl-mpp: output %d menu → primary-plane sidebar fallback", out_no);
    compose_surface_create(*o);
}

void compose_surface_create(KmsOutput &o) {
    const uint32_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    o.menu_dmabuf.reset();
    o.menu_shown = 0;
    o.menu[0] = dumb_create(o.fd, w, h);
    int fd = -1;
    if (!o.menu[0].map ||
        drmPrimeHandleToFD(o.fd, o.menu[0].handle.get(), DRM_CLOEXEC | DRM_RDWR, &fd) != 0) {
        o.menu[0] = DumbBuffer();
        return;
    }
    o.menu_dmabuf = Fd(fd);
    o.menu_shadow_stride = w * 4;
    o.menu_shadow = zeroed_bytes(size_t(h) * w * 4);
    o.menu_premul = 0;  // the pass blends the surface's straight alpha itself
}

void compose_surface_present(KmsOutput &o) {
    DumbBuffer &buf = o.menu[0];
    if (!o.menu_dmabuf || !buf.map) return;
    const uint32_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    flip_buffer_argb(o.menu_shadow.data(), o.menu_shadow_stride, w, h, o.look.flip);
    for (uint32_t y = 0; y < h; y++)
        memcpy(buf.px() + size_t(y) * buf.pitch,
               o.menu_shadow.data() + size_t(y) * o.menu_shadow_stride, size_t(w) * 4);
    o.menu_drawn++;
    o.menu_shown = 1;
}

int menu_back(const KmsOutput &o) {
    if (o.menu_update == MenuUpdate::kShow) return o.menu_next;
    int i = 0;
    while (i == o.menu_front || i == o.menu_before) i++;
    return i;
}

void menu_present(KmsOutput &o, int index) {
    DumbBuffer &buf = o.menu[index];
    if (!o.menu_plane || !buf.map) return;
    const uint32_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    if (!o.menu_shadow.empty()) {
        flip_buffer_argb(o.menu_shadow.data(), o.menu_shadow_stride, w, h, o.look.flip);
        for (uint32_t y = 0; y < h; y++) {
            uint8_t *dst = buf.px() + size_t(y) * buf.pitch;
            const uint8_t *src = o.menu_shadow.data() + size_t(y) * o.menu_shadow_stride;
            if (o.menu_premul)
                premultiply_row(reinterpret_cast<uint32_t *>(dst),
                                reinterpret_cast<const uint32_t *>(src), w);
            else
                memcpy(dst, src, size_t(w) * 4);
        }
    } else {
        flip_buffer_argb(buf.px(), buf.pitch, w, h, o.look.flip);
        for (uint32_t y = 0; o.menu_premul && y < h; y++) {
            auto *row = reinterpret_cast<uint32_t *>(buf.px() + size_t(y) * buf.pitch);
            premultiply_row(row, row, w);
        }
    }
    o.menu_update = MenuUpdate::kShow;
    o.menu_next = index;
    o.menu_shown = 1;
    if (!o.menu_rides) menu_set_legacy(o);
}

void menu_plane_off(KmsOutput &o) {
    o.menu_update = MenuUpdate::kOff;
    o.menu_shown = 0;
    if (!o.menu_rides) menu_set_legacy(o);
}

void menu_add_to(drmModeAtomicReq *req, const KmsOutput &o) {
    if (!o.menu_plane || o.menu_update == MenuUpdate::kNone) return;
    const PlaneProps &m = o.menu_props;
    auto add = [&](uint32_t prop, uint64_t value) {
        if (prop) drmModeAtomicAddProperty(req, o.menu_plane, prop, value);
    };
    if (o.menu_update == MenuUpdate::kOff) {
        add(m.fb_id, 0);
        add(m.crtc_id, 0);
        return;
    }
    const uint64_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    add(m.fb_id, o.menu[o.menu_next].fb.get());
    add(m.crtc_id, o.crtc_id);
    add(m.src_x, 0);
    add(m.src_y, 0);
    add(m.src_w, w << 16);
    add(m.src_h, h << 16);
    add(m.crtc_x, 0);
    add(m.crtc_y, 0);
    add(m.crtc_w, w);
    add(m.crtc_h, h);
}

int menu_commit(const KmsOutput &o, uint32_t flags) {
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    if (!req) return -ENOMEM;
    menu_add_to(req, o);
    const int r = drmModeAtomicCommit(o.fd, req, flags, nullptr);
    drmModeAtomicFree(req);
    return r;
}

int menu_set_legacy(KmsOutput &o) {
    if (o.menu_update == MenuUpdate::kNone) return 0;
    const uint32_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    const int r = o.menu_update == MenuUpdate::kOff
                      ? drmModeSetPlane(o.fd, o.menu_plane, o.crtc_id, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
                      : drmModeSetPlane(o.fd, o.menu_plane, o.crtc_id, o.menu[o.menu_next].fb.get(),
                                        0, 0, 0, w, h, 0, 0, w << 16, h << 16);
    // A refused update still counts as handed over: with three buffers the one it
    // would have shown is not drawn into next, whichever the plane shows now.
    menu_handed_over(o);
    return r;
}

void menu_handed_over(KmsOutput &o) {
    if (o.menu_update == MenuUpdate::kNone) return;
    o.menu_before = o.menu_front;
    o.menu_front = o.menu_update == MenuUpdate::kShow ? o.menu_next : -1;
    o.menu_update = MenuUpdate::kNone;
}

void flip_buffer_argb(uint8_t *px, uint32_t stride, int w, int h, Flip flip) {
    auto row = [&](int y) { return reinterpret_cast<uint32_t *>(px + size_t(y) * stride); };
    if (flip == Flip::kH) {
        for (int y = 0; y < h; y++) std::reverse(row(y), row(y) + w);
    } else if (flip == Flip::kV) {
        for (int y = 0; y < h / 2; y++) std::swap_ranges(row(y), row(y) + w, row(h - 1 - y));
    } else if (flip == Flip::k180) {
        for (int y = 0; y < h / 2; y++) {
            uint32_t *a = row(y), *b = row(h - 1 - y);
            for (int x = 0; x < w; x++) std::swap(a[x], b[w - 1 - x]);
        }
        if (h % 2) std::reverse(row(h / 2), row(h / 2) + w);
    }
}
