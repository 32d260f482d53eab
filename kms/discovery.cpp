// Finding the card and the connectors to drive, and filling the output table.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <drm_fourcc.h>
#include <xf86drm.h>

#include "base/log.h"
#include "kms/kms.h"

namespace {

// What one drm_init call has handed out so far.
struct Claims {
    uint32_t used_crtcs = 0;
    uint32_t used_planes = 0;
};

// Opens the first candidate card that lists connectors; empty when none does.
Fd open_card(const std::optional<std::string> &requested, const char **path_out,
             DrmPtr<drmModeRes> *res_out) {
    static const char *const defaults[] = {"/dev/dri/by-path/platform-gpu-card", "/dev/dri/card1",
                                           "/dev/dri/card0"};
    const char *env = requested ? requested->c_str() : nullptr;
    std::span<const char *const> candidates(defaults);
    if (env) candidates = std::span<const char *const>(&env, 1);
    for (const char *path : candidates) {
        Fd fd(open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!fd) continue;
        DrmPtr<drmModeRes> res(drmModeGetResources(fd.get()));
        if (res && res->count_connectors > 0) {
            *path_out = path;
            *res_out = std::move(res);
            return fd;
        }
    }
    return Fd();
}

int connected_without_modes(int fd, const drmModeRes *res) {
    int n = 0;
    for (int i = 0; i < res->count_connectors; i++) {
        DrmPtr<drmModeConnector> c(drmModeGetConnector(fd, res->connectors[i]));
        if (c && c->connection == DRM_MODE_CONNECTED && c->count_modes == 0) n++;
    }
    return n;
}

// A monitor plugged in just before start-up may not have published its EDID yet;
// reading its modes too early would skip it until the next restart.
void edid_wait(int fd, const drmModeRes *res, int limit) {
    if (limit <= 0) return;
    for (int waited = 0;;) {
        int n = connected_without_modes(fd, res);
        if (n == 0) {
            if (waited > 0) say("zyl-mpp: EDID wait finished after %d ms", waited);
            return;
        }
        if (waited == 0)
            say("zyl-mpp: %d connected output(s) have no EDID yet — waiting up to %d ms", n, limit);
        waited += 250;
        usleep(250 * 1000);
        if (waited >= limit) {
            say("zyl-mpp: EDID wait finished after %d ms", waited);
            return;
        }
    }
}

// What the video and the overlay plane choices need of one plane.
void read_plane(int fd, uint32_t id, PlaneInfo *video, MenuPlaneInfo *menu) {
    *video = PlaneInfo{id, 0, false, false, -1};
    *menu = MenuPlaneInfo{id, 0, false, false, -1, 0, 0};
    if (DrmPtr<drmModePlane> p{drmModeGetPlane(fd, id)}) {
        video->readable = menu->readable = true;
        video->possible_crtcs = menu->possible_crtcs = p->possible_crtcs;
        for (uint32_t f = 0; f < p->count_formats; f++) {
            if (p->formats[f] == DRM_FORMAT_NV12) video->nv12 = true;
            if (p->formats[f] == DRM_FORMAT_ARGB8888) menu->argb = true;
        }
    }
    if (!video->nv12 && !menu->argb) return;
    const PropTable props = read_props(fd, id, DRM_MODE_OBJECT_PLANE);
    const PropEntry *type = prop_entry(props, "type");
    if (video->nv12) video->type = type ? int(type->value) : -1;
    if (!menu->argb) return;
    if (type) menu->type = int(type->value);
    if (const PropEntry *zpos = prop_entry(props, "zpos")) {
        menu->zpos_prop = zpos->id;
        menu->zpos = zpos->value;
        menu->zpos_top = zpos->immutable ? zpos->value : std::max(zpos->value, zpos->range_max);
    }
}

// The card's plane list, read once for every connector.
struct PlaneList {
    std::vector<PlaneInfo> video;
    std::vector<MenuPlaneInfo> menu;
};

PlaneList read_planes(int fd) {
    PlaneList planes;
    DrmPtr<drmModePlaneRes> pr(drmModeGetPlaneResources(fd));
    if (!pr) return planes;
    planes.video.resize(pr->count_planes);
    planes.menu.resize(pr->count_planes);
    for (uint32_t i = 0; i < pr->count_planes; i++)
        read_plane(fd, pr->planes[i], &planes.video[i], &planes.menu[i]);
    return planes;
}

std::vector<EncoderInfo> read_encoders(int fd, const drmModeConnector *c) {
    std::vector<EncoderInfo> encs;
    for (int i = 0; i < c->count_encoders; i++) {
        DrmPtr<drmModeEncoder> e(drmModeGetEncoder(fd, c->encoders[i]));
        encs.push_back({e != nullptr, e ? e->possible_crtcs : 0});
    }
    return encs;
}

VideoChoice find_video_plane(int fd, const drmModeRes *res, const drmModeConnector *c,
                             std::span<const PlaneInfo> planes, const Claims &claims) {
    std::vector<EncoderInfo> encs = read_encoders(fd, c);
    std::span<const uint32_t> crtcs(res->crtcs, size_t(res->count_crtcs));
    VideoChoice v = choose_video_plane(encs, crtcs, planes, claims.used_crtcs, claims.used_planes);
    switch (v.kind) {
        case VideoPlaneKind::kNone:
            say("zyl-mpp: no free CRTC/NV12 plane for connector");
            return v;
        case VideoPlaneKind::kCursor:
            say("zyl-mpp: NV12 video plane %u is CURSOR-typed (VOP2 Esmart win) — using it",
                v.plane_id);
            break;
        case VideoPlaneKind::kPrimaryFallback:
            say("zyl-mpp: no NV12 overlay plane on any CRTC — driving the primary "
                "(DSI/VOPL)");
            break;
        case VideoPlaneKind::kOverlay:
            break;
    }
    say("zyl-mpp: connector → crtc %u %s plane %u", v.crtc_id,
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

void fill_output(KmsOutput *o, int fd, const drmModeConnector *c, const VideoChoice &v,
                 LitOutput &lit) {
    *o = KmsOutput{};
    o->fd = fd;
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
    o->standby = std::move(lit.standby);
}

// What drm_init works from while it lights the connectors one by one.
struct Discovery {
    Display &d;
    const drmModeRes *res;
    const PlaneList &planes;
    const DisplaySettings &s;
    const PaintStandby &paint;
    Claims claims;
};

void drive_connector(Discovery &run, uint32_t conn_id) {
    Display &d = run.d;
    const DisplaySettings &s = run.s;
    const int fd = d.card();
    DrmPtr<drmModeConnector> c(drmModeGetConnector(fd, conn_id));
    if (!c) return;
    char name[64];
    connector_name(c.get(), name);
    if (!qualifies(c.get(), name, s.connector)) return;
    say("zyl-mpp: connector %s connected", name);

    // A panel has one native timing; requests and forced timings are for monitors.
    const bool dsi = c->connector_type == DRM_MODE_CONNECTOR_DSI;
    int forced = 0;
    const char *request = dsi ? nullptr : s.mode_request();
    drmModeModeInfo mode = pick_mode(fd, c.get(), !dsi, &forced, request);
    if (dsi) panel_mode_notice(s.mode_request(), mode);

    Claims &claims = run.claims;
    VideoChoice v = find_video_plane(fd, run.res, c.get(), run.planes.video, claims);
    if (v.kind == VideoPlaneKind::kNone) return;
    add_to_mask(&claims.used_planes, v.plane_idx);

    const int nout = d.nout;
    LightRequest rq{nout,    c.get(), v.crtc_id,  v.primary_id ? v.primary_id : v.plane_id,
                    request, fd,      s.testfill, run.paint};
    LitOutput lit;
    if (!light_output(rq, mode, forced, &lit)) return;

    KmsOutput &o = d.outs[nout];
    fill_output(&o, fd, c.get(), v, lit);
    fill_plane_props(&o, nout, d.atomic_cap);
    add_to_mask(&claims.used_crtcs, v.crtc_idx);

    bool interlaced = o.mode.flags & kModeInterlace;
    say("zyl-mpp: output %d → crtc %u plane %u %ux%u%s@%u%s", nout, o.crtc_id, o.plane_id,
        o.mode.hdisplay, o.mode.vdisplay, interlaced ? "i" : "", o.mode.vrefresh,
        lit.forced ? " (CEA-forced, not in EDID)" : "");
    d.nout++;
}

}  // namespace

bool drm_init(Display &d, const DisplaySettings &s, const PaintStandby &paint) {
    const char *path = nullptr;
    DrmPtr<drmModeRes> res;
    Fd card = open_card(s.card, &path, &res);
    if (!card) {
        say("zyl-mpp: no DRM display card with connectors");
        return false;
    }
    say("zyl-mpp: DRM display card %s", path);
    const int fd = card.get();
    // Without master every modeset and plane update fails with EACCES: wait for the
    // other client instead.
    const int refused = drmSetMaster(fd) != 0 ? errno : 0;
    if (refused && !drmIsMaster(fd)) {
        if (!std::exchange(d.master_refused_said, true))
            say("zyl-mpp: another display client holds %s (drmSetMaster: %s) — waiting for it "
                "to let go",
                path, strerror(refused));
        return false;
    }
    d.master_refused_said = false;
    drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    d.atomic_cap = drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1) == 0;

    edid_wait(fd, res.get(), s.edid_wait_ms);
    d.fd = std::move(card);
    const PlaneList planes = read_planes(fd);
    Discovery run{d, res.get(), planes, s, paint, {}};
    for (int i = 0; i < res->count_connectors && d.nout < kMaxOutputs; i++)
        drive_connector(run, res->connectors[i]);
    res.reset();
    // Overlays take what the videos left: a plane that could carry a second display's
    // video must not go to the first display's menu.
    for (int i = 0; i < d.nout; i++)
        probe_menu_plane(&d.outs[i], i, planes.menu, &run.claims.used_planes, s.menu_plane);

    if (d.nout == 0) {
        say("zyl-mpp: no usable connected output");
        d.fd.reset();
        return false;
    }
    say("zyl-mpp: driving %d HDMI output(s)", d.nout);
    return true;
}
