// Finding the card and the connectors to drive, and filling the output table.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <drm_fourcc.h>
#include <xf86drm.h>

#include "kms/kms.h"

namespace {

// What one drm_init call has handed out so far.
struct Claims {
    uint32_t used_crtcs = 0;
    uint32_t used_planes = 0;
};

// Opens the first candidate card that lists connectors; -1 when none does.
int open_card(const std::optional<std::string> &requested, const char **path_out,
              DrmPtr<drmModeRes> *res_out) {
    static const char *const defaults[] = {"/dev/dri/by-path/platform-gpu-card", "/dev/dri/card1",
                                           "/dev/dri/card0"};
    const char *env = requested ? requested->c_str() : nullptr;
    std::span<const char *const> candidates(defaults);
    if (env) candidates = std::span<const char *const>(&env, 1);
    for (const char *path : candidates) {
        int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        DrmPtr<drmModeRes> res(drmModeGetResources(fd));
        if (res && res->count_connectors > 0) {
            *path_out = path;
            *res_out = std::move(res);
            return fd;
        }
        close(fd);
    }
    return -1;
}

int connected_without_modes(const drmModeRes *res) {
    int n = 0;
    for (int i = 0; i < res->count_connectors; i++) {
        DrmPtr<drmModeConnector> c(drmModeGetConnector(drm_fd, res->connectors[i]));
        if (c && c->connection == DRM_MODE_CONNECTED && c->count_modes == 0) n++;
    }
    return n;
}

// A monitor plugged in just before start-up may not have published its EDID yet;
// reading its modes too early would skip it until the next restart.
void edid_wait(const drmModeRes *res, int limit) {
    if (limit <= 0) return;
    for (int waited = 0;;) {
        int n = connected_without_modes(res);
        if (n == 0) {
            if (waited > 0) fprintf(stderr, "zyl-mpp: EDID wait finished after %d ms\n", waited);
            return;
        }
        if (waited == 0)
            fprintf(stderr,
                    "zyl-mpp: %d connected output(s) have no EDID yet — waiting up to %d ms\n", n,
                    limit);
        waited += 250;
        usleep(250 * 1000);
        if (waited >= limit) {
            fprintf(stderr, "zyl-mpp: EDID wait finished after %d ms\n", waited);
            return;
        }
    }
}

// The plane's "type" property value, -1 when its properties cannot be read.
int plane_type(uint32_t plane_id) {
    const PropTable props = read_props(plane_id, DRM_MODE_OBJECT_PLANE);
    const PropEntry *type = prop_entry(props, "type");
    return type ? int(type->value) : -1;
}

std::vector<PlaneInfo> read_planes() {
    std::vector<PlaneInfo> planes;
    DrmPtr<drmModePlaneRes> pr(drmModeGetPlaneResources(drm_fd));
    if (!pr) return planes;
    for (uint32_t i = 0; i < pr->count_planes; i++) {
        PlaneInfo info{pr->planes[i], 0, false, false, -1};
        if (DrmPtr<drmModePlane> p{drmModeGetPlane(drm_fd, pr->planes[i])}) {
            info.readable = true;
            info.possible_crtcs = p->possible_crtcs;
            for (uint32_t f = 0; f < p->count_formats; f++)
                if (p->formats[f] == DRM_FORMAT_NV12) info.nv12 = true;
        }
        if (info.nv12) info.type = plane_type(info.id);
        planes.push_back(info);
    }
    return planes;
}

std::vector<EncoderInfo> read_encoders(const drmModeConnector *c) {
    std::vector<EncoderInfo> encs;
    for (int i = 0; i < c->count_encoders; i++) {
        DrmPtr<drmModeEncoder> e(drmModeGetEncoder(drm_fd, c->encoders[i]));
        encs.push_back({e != nullptr, e ? e->possible_crtcs : 0});
    }
    return encs;
}

VideoChoice find_video_plane(const drmModeRes *res, const drmModeConnector *c,
                             const Claims &claims) {
    std::vector<EncoderInfo> encs = read_encoders(c);
    std::vector<PlaneInfo> planes = read_planes();
    std::span<const uint32_t> crtcs(res->crtcs, size_t(res->count_crtcs));
    VideoChoice v = choose_video_plane(encs, crtcs, planes, claims.used_crtcs, claims.used_planes);
    switch (v.kind) {
        case VideoPlaneKind::kNone:
            fprintf(stderr, "zyl-mpp: no free CRTC/NV12 plane for connector\n");
            return v;
        case VideoPlaneKind::kCursor:
            fprintf(stderr,
                    "zyl-mpp: NV12 video plane %u is CURSOR-typed (VOP2 Esmart win) — using it\n",
                    v.plane_id);
            break;
        case VideoPlaneKind::kPrimaryFallback:
            fprintf(stderr,
                    "zyl-mpp: no NV12 overlay plane on any CRTC — driving the primary "
                    "(DSI/VOPL)\n");
            break;
        case VideoPlaneKind::kOverlay:
            break;
    }
    fprintf(stderr, "zyl-mpp: connector → crtc %u %s plane %u\n", v.crtc_id,
            v.kind == VideoPlaneKind::kPrimaryFallback ? "primary" : "overlay", v.plane_id);
    return v;
}

void connector_name(const drmModeConnector *c, char (&name)[64]) {
    const char *type = drmModeGetConnectorTypeName(c->connector_type);
    snprintf(name, sizeof name, "%s-%d", type ? type : "?", int(c->connector_type_id));
}

bool qualifies(const drmModeConnector *c, const char *name, const std::string &filter) {
    return c->connection == DRM_MODE_CONNECTED && c->count_modes > 0 &&
           (filter.empty() || strstr(name, filter.c_str()));
}

void fill_output(KmsOutput *o, const drmModeConnector *c, const VideoChoice &v,
                 const LitOutput &lit) {
    *o = KmsOutput{};
    o->conn_id = c->connector_id;
    o->crtc_id = v.crtc_id;
    o->plane_id = v.plane_id;
    o->crtc_idx = v.crtc_idx;
    o->mode = lit.mode;
    o->is_dsi = c->connector_type == DRM_MODE_CONNECTOR_DSI;
    o->plane_is_primary = v.kind == VideoPlaneKind::kPrimaryFallback;
    if (c->count_modes > 0) {
        o->native_w = uint16_t(c->modes[0].hdisplay);
        o->native_h = uint16_t(c->modes[0].vdisplay);
        o->native_hz = uint16_t(c->modes[0].vrefresh);
    }
    o->standby_map = lit.standby.map;
    o->standby_pitch = lit.standby.pitch;
    o->standby_fb = lit.standby.fb;
}

void drive_connector(const drmModeRes *res, uint32_t conn_id, Claims *claims,
                     const DisplaySettings &s, const PaintStandby &paint) {
    DrmPtr<drmModeConnector> c(drmModeGetConnector(drm_fd, conn_id));
    if (!c) return;
    char name[64];
    connector_name(c.get(), name);
    if (!qualifies(c.get(), name, s.connector)) return;
    fprintf(stderr, "zyl-mpp: connector %s connected\n", name);

    // A panel has one native timing; requests and forced timings are for monitors.
    const bool dsi = c->connector_type == DRM_MODE_CONNECTOR_DSI;
    int forced = 0;
    const char *request = dsi ? nullptr : s.mode_request();
    drmModeModeInfo mode = pick_mode(c.get(), !dsi, &forced, request);
    if (dsi) panel_mode_notice(s.mode_request(), mode);

    VideoChoice v = find_video_plane(res, c.get(), *claims);
    if (v.kind == VideoPlaneKind::kNone) return;
    add_to_mask(&claims->used_planes, v.plane_idx);

    LightRequest rq{nout,    c.get(),    v.crtc_id, v.primary_id ? v.primary_id : v.plane_id,
                    request, s.testfill, paint};
    LitOutput lit;
    if (light_output(rq, mode, forced, &lit) != 0) return;

    KmsOutput &o = outs[nout];
    fill_output(&o, c.get(), v, lit);
    fill_plane_props(&o, nout, lit.atomic_modeset);
    add_to_mask(&claims->used_crtcs, v.crtc_idx);
    probe_menu_plane(&o, nout, &claims->used_planes, s.menu_plane);

    bool interlaced = o.mode.flags & kModeInterlace;
    fprintf(stderr, "zyl-mpp: output %d → crtc %u plane %u %ux%u%s@%u%s\n", nout, o.crtc_id,
            o.plane_id, o.mode.hdisplay, o.mode.vdisplay, interlaced ? "i" : "", o.mode.vrefresh,
            lit.forced ? " (CEA-forced, not in EDID)" : "");
    nout++;
}

}  // namespace

int drm_init(const DisplaySettings &s, const PaintStandby &paint) {
    drm_fd = -1;
    const char *path = nullptr;
    DrmPtr<drmModeRes> res;
    int fd = open_card(s.card, &path, &res);
    if (fd < 0) {
        fprintf(stderr, "zyl-mpp: no DRM display card with connectors\n");
        return -1;
    }
    fprintf(stderr, "zyl-mpp: DRM display card %s\n", path);
    drm_fd = fd;
    drmSetMaster(fd);
    drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1);

    edid_wait(res.get(), s.edid_wait_ms);
    Claims claims;
    for (int i = 0; i < res->count_connectors && nout < kMaxOutputs; i++)
        drive_connector(res.get(), res->connectors[i], &claims, s, paint);
    res.reset();

    if (nout == 0) {
        fprintf(stderr, "zyl-mpp: no usable connected output\n");
        close(fd);
        drm_fd = -1;
        return -1;
    }
    fprintf(stderr, "zyl-mpp: driving %d HDMI output(s)\n", nout);
    return 0;
}
