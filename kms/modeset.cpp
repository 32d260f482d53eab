// Lighting an output: its standby buffer, the modeset and the mode report.
// HDMI monitors get the legacy CRTC call; the panel gets one atomic commit because
// its frames are later presented atomically too, with the legacy call as fallback.
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <drm_fourcc.h>
#include <xf86drm.h>

#include "base/log.h"
#include "kms/files.h"
#include "kms/kms.h"

namespace {

const char *type_name(const drmModeConnector *c) {
    const char *n = drmModeGetConnectorTypeName(c->connector_type);
    return n ? n : "?";
}

void fill_testcol(int out_no, const DumbBuffer &b, uint32_t w, uint32_t h) {
    uint32_t col = testfill_colour(out_no);
    for (uint32_t y = 0; y < h; y++) {
        auto *row = reinterpret_cast<uint32_t *>(b.px() + size_t(y) * b.pitch);
        for (uint32_t x = 0; x < w; x++) row[x] = col;
    }
    say("zyl-mpp: TESTFILL output %d = 0x%06X (%ux%u)", out_no, col & 0xFFFFFF, w, h);
}

void paint_standby_buffer(const LightRequest &rq, const DumbBuffer &b, uint32_t w, uint32_t h) {
    if (rq.testfill) {
        fill_testcol(rq.out_no, b, w, h);
        return;
    }
    if (rq.paint) rq.paint(rq.out_no, b.px(), b.pitch, int(w), int(h));
}

FbId add_xr24_fb(const DumbBuffer &b, uint32_t w, uint32_t h) {
    const uint32_t handles[4] = {b.handle.get()}, pitches[4] = {b.pitch}, offsets[4] = {0};
    return add_framebuffer(b.handle.context(), w, h, DRM_FORMAT_XRGB8888, handles, pitches,
                           offsets);
}

struct AtomicProp {
    uint32_t object;
    const PropTable *table;  // the object's properties
    const char *name;
    uint64_t value;
    bool required;
};

// Adds every property found to a fresh request and commits it. False when a
// required property is missing or the commit is refused (the message is printed).
bool commit_modeset(int fd, const AtomicProp (&props)[13]) {
    uint32_t ids[13];
    for (int i = 0; i < 13; i++) {
        ids[i] = prop_id(*props[i].table, props[i].name);
        if (!ids[i] && props[i].required) {
            say("zyl-mpp: atomic: missing required properties");
            return false;
        }
    }
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    for (int i = 0; i < 13; i++)
        if (ids[i]) drmModeAtomicAddProperty(req, props[i].object, ids[i], props[i].value);
    int r = req ? drmModeAtomicCommit(fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr)
                : (errno = ENOMEM, -1);
    if (r != 0) say("zyl-mpp: atomic: modeset commit failed: %m");
    drmModeAtomicFree(req);
    return r == 0;
}

bool atomic_modeset(const LightRequest &rq, const drmModeModeInfo &mode, uint32_t fb) {
    const int fd = rq.fd;
    uint32_t blob = 0;
    if (drmModeCreatePropertyBlob(fd, &mode, sizeof mode, &blob) != 0) {
        say("zyl-mpp: atomic: CreatePropertyBlob: %m");
        return false;
    }
    const uint32_t conn = rq.connector->connector_id, crtc = rq.crtc_id, plane = rq.modeset_plane;
    const uint64_t w = mode.hdisplay, h = mode.vdisplay;
    const PropTable conn_props = read_props(fd, conn, DRM_MODE_OBJECT_CONNECTOR);
    const PropTable crtc_props = read_props(fd, crtc, DRM_MODE_OBJECT_CRTC);
    const PropTable plane_props = read_props(fd, plane, DRM_MODE_OBJECT_PLANE);
    const AtomicProp props[13] = {
        {conn, &conn_props, "CRTC_ID", crtc, true},
        {crtc, &crtc_props, "MODE_ID", blob, true},
        {crtc, &crtc_props, "ACTIVE", 1, true},
        {plane, &plane_props, "FB_ID", fb, true},
        {plane, &plane_props, "CRTC_ID", crtc, true},
        {plane, &plane_props, "SRC_X", 0, false},
        {plane, &plane_props, "SRC_Y", 0, false},
        {plane, &plane_props, "SRC_W", w << 16, false},
        {plane, &plane_props, "SRC_H", h << 16, false},
        {plane, &plane_props, "CRTC_X", 0, false},
        {plane, &plane_props, "CRTC_Y", 0, false},
        {plane, &plane_props, "CRTC_W", w, false},
        {plane, &plane_props, "CRTC_H", h, false},
    };
    bool ok = commit_modeset(fd, props);
    drmModeDestroyPropertyBlob(fd, blob);
    if (ok)
        say("zyl-mpp: output %d (%s) modeset ATOMICALLY (panel path)", rq.out_no,
            type_name(rq.connector));
    return ok;
}

bool legacy_modeset(const LightRequest &rq, drmModeModeInfo mode, uint32_t fb) {
    uint32_t conn = rq.connector->connector_id;
    if (drmModeSetCrtc(rq.fd, rq.crtc_id, fb, 0, 0, &conn, 1, &mode) == 0) return true;
    say("zyl-mpp: SetCrtc(crtc %u, %ux%u@%u): %m", rq.crtc_id, mode.hdisplay, mode.vdisplay,
        mode.vrefresh);
    return false;
}

bool is_dsi(const drmModeConnector *c) {
    return c->connector_type == DRM_MODE_CONNECTOR_DSI;
}

}  // namespace

DumbBuffer dumb_create(int fd, uint32_t w, uint32_t h, uint32_t bpp) {
    DumbBuffer b;
    drm_mode_create_dumb creq{};
    creq.width = w;
    creq.height = h;
    creq.bpp = bpp;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &creq) != 0) return b;
    b.handle = DumbHandle(creq.handle, fd);
    b.pitch = creq.pitch;
    drm_mode_map_dumb mreq{};
    mreq.handle = creq.handle;
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &mreq) != 0) return b;
    void *p = mmap(nullptr, creq.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, mreq.offset);
    if (p == MAP_FAILED) return b;
    // The kernel hands dumb buffers out zeroed (shmem pages, or dma_alloc which clears).
    // Clearing them again would fault in every page of buffers that may never be drawn:
    // a 4K overlay's three buffers are 100 MB, a third of a second of start-up.
    b.map = Mapping(p, size_t(creq.size));
    return b;
}

bool light_output(const LightRequest &rq, drmModeModeInfo mode, int forced, LitOutput *lit) {
    bool retried = false;
    for (;;) {
        DumbBuffer b = dumb_create(rq.fd, mode.hdisplay, mode.vdisplay);
        if (b.map) paint_standby_buffer(rq, b, mode.hdisplay, mode.vdisplay);
        b.fb = add_xr24_fb(b, mode.hdisplay, mode.vdisplay);

        bool atomic = false;
        if (is_dsi(rq.connector)) {
            atomic = atomic_modeset(rq, mode, b.fb.get());
            if (!atomic) say("zyl-mpp: atomic modeset failed — falling back to legacy SetCrtc");
        }
        if (atomic || legacy_modeset(rq, mode, b.fb.get())) {
            *lit = LitOutput{mode, forced, atomic, std::move(b)};
            break;
        }
        b = DumbBuffer();
        if (!forced || retried) return false;
        // Switchers lock to standard timings, but a monitor may still refuse one
        // it does not list: its own timing beats a dark screen.
        retried = true;
        forced = 0;
        mode = pick_mode(rq.fd, rq.connector, 0, nullptr, rq.request);
        say("zyl-mpp: forced CEA timing rejected — falling back to advertised %ux%u@%u",
            mode.hdisplay, mode.vdisplay, mode.vrefresh);
    }
    if (rq.out_no == 0) write_mode_report(mode);
    bool interlaced = mode.flags & kModeInterlace;
    say("zyl-mpp: mode set %ux%u%s@%u — %d kHz pixel clock%s", mode.hdisplay, mode.vdisplay,
        interlaced ? "i" : "", mode.vrefresh, int(mode.clock),
        interlaced ? " (interlaced: switcher must lock to this)" : "");
    return true;
}

void write_mode_report(const drmModeModeInfo &mode) {
    mkdir("/run/zyl-fpv", 0755);
    const std::string line = mode_report_line(mode);
    std::string why;
    if (!write_atomic("/run/zyl-fpv/hdmi_mode", line.data(), line.size(), &why))
        say("zyl-mpp: hdmi_mode not written: %s", why.c_str());
}

PlaneProps plane_props(const PropTable &props) {
    return {prop_id(props, "FB_ID"),  prop_id(props, "CRTC_ID"), prop_id(props, "SRC_X"),
            prop_id(props, "SRC_Y"),  prop_id(props, "SRC_W"),   prop_id(props, "SRC_H"),
            prop_id(props, "CRTC_X"), prop_id(props, "CRTC_Y"),  prop_id(props, "CRTC_W"),
            prop_id(props, "CRTC_H")};
}

void fill_plane_props(KmsOutput *o, int out_no, bool atomic_cap) {
    const PropTable props = read_props(o->fd, o->plane_id, DRM_MODE_OBJECT_PLANE);
    if (atomic_cap) {
        struct {
            uint32_t *id;
            const char *name;
        } const wanted[] = {
            {&o->p_fb_id, "FB_ID"},   {&o->p_crtc_id, "CRTC_ID"}, {&o->p_src_x, "SRC_X"},
            {&o->p_src_y, "SRC_Y"},   {&o->p_src_w, "SRC_W"},     {&o->p_src_h, "SRC_H"},
            {&o->p_crtc_x, "CRTC_X"}, {&o->p_crtc_y, "CRTC_Y"},   {&o->p_crtc_w, "CRTC_W"},
            {&o->p_crtc_h, "CRTC_H"},
        };
        for (const auto &p : wanted) *p.id = prop_id(props, p.name);
        // Plane position properties are optional; size and framebuffer are not.
        o->atomic =
            o->p_fb_id && o->p_crtc_id && o->p_src_w && o->p_src_h && o->p_crtc_w && o->p_crtc_h;
        if (!o->atomic)
            say("zyl-mpp: atomic plane props unavailable — output %d falls back to legacy", out_no);
    }

    o->enc_prop = prop_id(props, "COLOR_ENCODING");
    o->range_prop = prop_id(props, "COLOR_RANGE");
    o->yuv_want = o->yuv_set = std::nullopt;
    const PropEntry *rotation = prop_entry(props, "rotation");
    o->rot_prop = rotation ? rotation->id : 0;
    o->rot_mask = rotation ? rotation->enum_bits : 0;
}
