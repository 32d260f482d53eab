// The video plane against the decoder's fourcc and modifier.
#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <algorithm>
#include <utility>

#include "base/log.h"
#include "kms/formats.h"
#include "kms/kms.h"
#include "kms/present.h"

namespace {

// A Broadcom modifier carries a parameter (the SAND column height) that a plane's
// list leaves out: the kernel checks the family.
uint64_t modifier_family(uint64_t m) {
    return (m >> 56) == DRM_FORMAT_MOD_VENDOR_BROADCOM ? fourcc_mod_broadcom_mod(m) : m;
}

}  // namespace

bool plane_takes(const PlaneFormats &plane, ScanFormat f) {
    return std::any_of(plane.pairs.begin(), plane.pairs.end(), [&](const ScanFormat &p) {
        return p.fourcc == f.fourcc &&
               (p.modifier == modifier_family(f.modifier) || f.modifier == DRM_FORMAT_MOD_INVALID);
    });
}

FormatChoice route_frame_format(const PlaneFormats &current, std::span<const PlaneFormats> free,
                                ScanFormat f) {
    if (plane_takes(current, f)) return {FormatRoute::kKeep, current.plane_id};
    for (const PlaneFormats &p : free)
        if (p.plane_id != current.plane_id && plane_takes(p, f))
            return {FormatRoute::kMove, p.plane_id};
    return {FormatRoute::kGpu, 0};
}

PlaneFormats read_plane_formats(int fd, uint32_t plane_id) {
    PlaneFormats out;
    out.plane_id = plane_id;
    const PropTable props = read_props(fd, plane_id, DRM_MODE_OBJECT_PLANE);
    if (const PropEntry *in = prop_entry(props, "IN_FORMATS"); in && in->value) {
        if (drmModePropertyBlobRes *blob = drmModeGetPropertyBlob(fd, uint32_t(in->value))) {
            drmModeFormatModifierIterator it{};
            while (drmModeFormatModifierBlobIterNext(blob, &it))
                out.pairs.push_back({it.fmt, it.mod});
            drmModeFreePropertyBlob(blob);
            out.listed = !out.pairs.empty();
            if (out.listed) return out;
        }
    }
    DrmPtr<drmModePlane> p(drmModeGetPlane(fd, plane_id));
    if (!p) return out;
    for (uint32_t i = 0; i < p->count_formats; i++)
        out.pairs.push_back({p->formats[i], DRM_FORMAT_MOD_LINEAR});
    return out;
}

namespace {

// Planes no output uses, that can show CRTC `crtc_idx` and are overlay or cursor typed.
std::vector<PlaneFormats> free_planes(const Display &d, int crtc_idx) {
    std::vector<std::pair<uint64_t, PlaneFormats>> found;  // by type: overlay before cursor
    const int fd = d.card();
    DrmPtr<drmModePlaneRes> res(drmModeGetPlaneResources(fd));
    if (!res) return {};
    for (uint32_t i = 0; i < res->count_planes; i++) {
        const uint32_t id = res->planes[i];
        bool claimed = false;
        for (const KmsOutput &o : d.outputs()) claimed |= o.plane_id == id || o.menu_plane == id;
        if (claimed) continue;
        DrmPtr<drmModePlane> p(drmModeGetPlane(fd, id));
        if (!p || !in_mask(p->possible_crtcs, crtc_idx)) continue;
        const PropTable props = read_props(fd, id, DRM_MODE_OBJECT_PLANE);
        const PropEntry *type = prop_entry(props, "type");
        if (!type || type->value == DRM_PLANE_TYPE_PRIMARY) continue;
        found.emplace_back(type->value, read_plane_formats(fd, id));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<PlaneFormats> out;
    for (auto &f : found) out.push_back(std::move(f.second));
    return out;
}

}  // namespace

bool video_plane_fit(Display &d, int out_no, ScanFormat f) {
    KmsOutput &o = d.outs[size_t(out_no)];
    const PlaneFormats current = read_plane_formats(d.card(), o.plane_id);
    // A plane whose list cannot be read is left to try.
    if (current.pairs.empty()) return true;
    const std::vector<PlaneFormats> free = free_planes(d, o.crtc_idx);
    const FormatChoice c = route_frame_format(current, free, f);
    if (c.route == FormatRoute::kKeep) return true;
    const uint32_t v = f.fourcc;
    if (c.route == FormatRoute::kGpu) {
        say("zyl-kms: output %d: no plane of crtc %u scans out %c%c%c%c mod 0x%llx — the GPU "
            "pass draws it",
            out_no, o.crtc_id, char(v), char(v >> 8), char(v >> 16), char(v >> 24),
            (unsigned long long)f.modifier);
        return false;
    }
    // The old plane gives the screen back (a primary shows the standby buffer again).
    video_plane_standby(o, o.atomic);
    say("zyl-kms: output %d: plane %u does not scan out %c%c%c%c mod 0x%llx — video moves to "
        "plane %u",
        out_no, o.plane_id, char(v), char(v >> 8), char(v >> 16), char(v >> 24),
        (unsigned long long)f.modifier, c.plane_id);
    o.plane_id = c.plane_id;
    o.plane_is_primary = 0;
    fill_plane_props(&o, out_no, d.atomic_cap);
    return true;
}

bool video_planes_follow(Display &d, ScanFormat f) {
    if (d.video_format && *d.video_format == f) return d.video_needs_pass;
    d.video_format = f;
    d.video_needs_pass = false;
    for (int i = 0; i < d.nout; i++) d.video_needs_pass |= !video_plane_fit(d, i, f);
    return d.video_needs_pass;
}
