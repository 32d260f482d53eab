// libdrm entry points that read the virtual card: resources, connectors, encoders,
// CRTCs, planes, properties, blobs, version, master and client capabilities. Return
// conventions follow libdrm: xf86drmMode calls give -errno, xf86drm calls -1 with
// errno, getters null with errno.
#include "sim/vcard.h"

#include <drm_fourcc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace vcard;

namespace {

template <typename T>
T *zalloc(size_t n = 1) {
    return static_cast<T *>(calloc(n ? n : 1, sizeof(T)));
}

template <typename T>
T *copy_array(const std::vector<T> &v) {
    T *out = zalloc<T>(v.size());
    if (!v.empty()) memcpy(out, v.data(), v.size() * sizeof(T));
    return out;
}

template <typename T>
T *null_errno(int e) {
    errno = e;
    return nullptr;
}

// The encoder a connector drives its CRTC through: the first that can reach it.
uint32_t current_encoder(const Connector &c) {
    const Crtc *crtc = find_crtc(c.crtc);
    if (!crtc) return 0;
    for (uint32_t e : c.encoders)
        if (const Encoder *enc = find_encoder(e); enc && (enc->crtcs & (1u << crtc->index)))
            return e;
    return 0;
}

// As drm_mode_getconnector: only a full probe, and only by the master (others are
// demoted to a read of the cache), fills the mode list and the EDID again; either
// way the status is the connector's now, which hot-plug interrupts keep up to date,
// and the modes, size and EDID are those the last probe found.
drmModeConnectorPtr get_connector(int fd, uint32_t id, bool probe) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModeConnector>(fd_kind(fd) ? ENOENT : EBADF);
    run_script();
    Connector *c = find_connector(id);
    if (!c) return null_errno<drmModeConnector>(ENOENT);
    if (probe && st().master) probe_connector(*c);
    auto *r = zalloc<drmModeConnector>();
    r->connector_id = c->id;
    r->encoder_id = current_encoder(*c);
    r->connector_type = c->type;
    r->connector_type_id = c->type_id;
    r->connection = c->connected ? DRM_MODE_CONNECTED : DRM_MODE_DISCONNECTED;
    r->mmWidth = c->probed_mm_w;
    r->mmHeight = c->probed_mm_h;
    r->subpixel = DRM_MODE_SUBPIXEL_UNKNOWN;
    const auto &modes = c->probed_modes;
    r->count_modes = static_cast<int>(modes.size());
    r->modes = copy_array(modes);
    std::vector<std::pair<uint32_t, uint64_t>> props;
    object_props(c->id, DRM_MODE_OBJECT_CONNECTOR, props);
    r->count_props = static_cast<int>(props.size());
    r->props = zalloc<uint32_t>(props.size());
    r->prop_values = zalloc<uint64_t>(props.size());
    for (size_t i = 0; i < props.size(); i++) {
        r->props[i] = props[i].first;
        r->prop_values[i] = props[i].second;
    }
    r->count_encoders = static_cast<int>(c->encoders.size());
    r->encoders = copy_array(c->encoders);
    return r;
}

}  // namespace

drmModeResPtr drmModeGetResources(int fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    int kind = fd_kind(fd);
    if (!kind) return null_errno<drmModeRes>(EBADF);
    State &s = st();
    auto *r = zalloc<drmModeRes>();
    r->min_width = r->min_height = 0;
    r->max_width = s.card.max_w;
    r->max_height = s.card.max_h;
    if (kind == 2) return r;  // a render-only node: nothing to display on
    std::vector<uint32_t> ids;
    for (auto &[id, fb] : s.fbs) ids.push_back(id);
    r->count_fbs = static_cast<int>(ids.size());
    r->fbs = copy_array(ids);
    ids.clear();
    for (auto &c : s.card.crtcs) ids.push_back(c.id);
    r->count_crtcs = static_cast<int>(ids.size());
    r->crtcs = copy_array(ids);
    ids.clear();
    for (auto &c : s.card.connectors) ids.push_back(c.id);
    r->count_connectors = static_cast<int>(ids.size());
    r->connectors = copy_array(ids);
    ids.clear();
    for (auto &e : s.card.encoders) ids.push_back(e.id);
    r->count_encoders = static_cast<int>(ids.size());
    r->encoders = copy_array(ids);
    return r;
}

void drmModeFreeResources(drmModeResPtr r) {
    if (!r) return;
    free(r->fbs);
    free(r->crtcs);
    free(r->connectors);
    free(r->encoders);
    free(r);
}

drmModeConnectorPtr drmModeGetConnector(int fd, uint32_t id) {
    return get_connector(fd, id, true);
}

drmModeConnectorPtr drmModeGetConnectorCurrent(int fd, uint32_t id) {
    return get_connector(fd, id, false);
}

void drmModeFreeConnector(drmModeConnectorPtr c) {
    if (!c) return;
    free(c->modes);
    free(c->props);
    free(c->prop_values);
    free(c->encoders);
    free(c);
}

uint32_t drmModeConnectorGetPossibleCrtcs(int fd, const drmModeConnector *connector) {
    uint32_t mask = 0;
    for (int i = 0; i < connector->count_encoders; i++)
        if (drmModeEncoderPtr e = drmModeGetEncoder(fd, connector->encoders[i])) {
            mask |= e->possible_crtcs;
            drmModeFreeEncoder(e);
        }
    if (!mask) errno = ENOENT;
    return mask;
}

const char *drmModeGetConnectorTypeName(uint32_t type) {
    return connector_type_name(type);
}

drmModeEncoderPtr drmModeGetEncoder(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModeEncoder>(fd_kind(fd) ? ENOENT : EBADF);
    Encoder *e = find_encoder(id);
    if (!e) return null_errno<drmModeEncoder>(ENOENT);
    auto *r = zalloc<drmModeEncoder>();
    r->encoder_id = e->id;
    r->encoder_type = e->type;
    r->possible_crtcs = e->crtcs;
    r->possible_clones = e->clones;
    for (auto &c : st().card.connectors)
        if (c.crtc && current_encoder(c) == e->id) r->crtc_id = c.crtc;
    return r;
}

void drmModeFreeEncoder(drmModeEncoderPtr e) {
    free(e);
}

drmModeCrtcPtr drmModeGetCrtc(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModeCrtc>(fd_kind(fd) ? ENOENT : EBADF);
    Crtc *c = find_crtc(id);
    if (!c) return null_errno<drmModeCrtc>(ENOENT);
    auto *r = zalloc<drmModeCrtc>();
    r->crtc_id = c->id;
    if (Plane *p = find_plane(c->primary); p && p->st.crtc == c->id) {
        r->buffer_id = p->st.fb;
        r->x = p->st.src_x >> 16;
        r->y = p->st.src_y >> 16;
    }
    r->mode_valid = c->mode_valid;
    if (c->mode_valid) {
        r->mode = c->mode;
        r->width = c->mode.hdisplay;
        r->height = c->mode.vdisplay;
    }
    r->gamma_size = c->gamma;
    return r;
}

void drmModeFreeCrtc(drmModeCrtcPtr c) {
    free(c);
}

void drmModeFreeModeInfo(drmModeModeInfoPtr m) {
    free(m);
}

drmModePlaneResPtr drmModeGetPlaneResources(int fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    int kind = fd_kind(fd);
    if (!kind) return null_errno<drmModePlaneRes>(EBADF);
    State &s = st();
    std::vector<uint32_t> ids;
    if (kind == 1)
        for (auto &p : s.card.planes)
            // Without the universal-planes capability the kernel hides primary and
            // cursor planes; a program that forgot it sees what it would on hardware.
            if (s.cap_universal || p.type == DRM_PLANE_TYPE_OVERLAY) ids.push_back(p.id);
    auto *r = zalloc<drmModePlaneRes>();
    r->count_planes = static_cast<uint32_t>(ids.size());
    r->planes = copy_array(ids);
    return r;
}

void drmModeFreePlaneResources(drmModePlaneResPtr r) {
    if (!r) return;
    free(r->planes);
    free(r);
}

drmModePlanePtr drmModeGetPlane(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModePlane>(fd_kind(fd) ? ENOENT : EBADF);
    Plane *p = find_plane(id);
    if (!p) return null_errno<drmModePlane>(ENOENT);
    auto *r = zalloc<drmModePlane>();
    r->plane_id = p->id;
    r->crtc_id = p->st.crtc;
    r->fb_id = p->st.fb;
    r->crtc_x = static_cast<uint32_t>(p->st.crtc_x);
    r->crtc_y = static_cast<uint32_t>(p->st.crtc_y);
    r->x = p->st.src_x >> 16;
    r->y = p->st.src_y >> 16;
    r->possible_crtcs = p->crtcs;
    r->count_formats = static_cast<uint32_t>(p->formats.size());
    r->formats = copy_array(p->formats);
    return r;
}

void drmModeFreePlane(drmModePlanePtr p) {
    if (!p) return;
    free(p->formats);
    free(p);
}

drmModeObjectPropertiesPtr drmModeObjectGetProperties(int fd, uint32_t id, uint32_t type) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModeObjectProperties>(fd_kind(fd) ? ENOENT : EBADF);
    std::vector<std::pair<uint32_t, uint64_t>> props;
    if (!object_props(id, type, props)) return null_errno<drmModeObjectProperties>(ENOENT);
    auto *r = zalloc<drmModeObjectProperties>();
    r->count_props = static_cast<uint32_t>(props.size());
    r->props = zalloc<uint32_t>(props.size());
    r->prop_values = zalloc<uint64_t>(props.size());
    for (size_t i = 0; i < props.size(); i++) {
        r->props[i] = props[i].first;
        r->prop_values[i] = props[i].second;
    }
    return r;
}

void drmModeFreeObjectProperties(drmModeObjectPropertiesPtr p) {
    if (!p) return;
    free(p->props);
    free(p->prop_values);
    free(p);
}

drmModePropertyPtr drmModeGetProperty(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModePropertyRes>(fd_kind(fd) ? ENOENT : EBADF);
    const Prop *p = find_prop(id);
    if (!p) return null_errno<drmModePropertyRes>(ENOENT);
    auto *r = zalloc<drmModePropertyRes>();
    r->prop_id = p->id;
    r->flags = p->flags;
    snprintf(r->name, sizeof r->name, "%s", p->name.c_str());
    r->count_values = static_cast<int>(p->values.size());
    r->values = copy_array(p->values);
    if (p->flags & (DRM_MODE_PROP_ENUM | DRM_MODE_PROP_BITMASK)) {
        r->count_enums = static_cast<int>(p->enums.size());
        r->enums = zalloc<drm_mode_property_enum>(p->enums.size());
        for (size_t i = 0; i < p->enums.size(); i++) {
            r->enums[i].value = p->enums[i].first;
            snprintf(r->enums[i].name, sizeof r->enums[i].name, "%s", p->enums[i].second.c_str());
        }
    }
    return r;
}

void drmModeFreeProperty(drmModePropertyPtr p) {
    if (!p) return;
    free(p->values);
    free(p->enums);
    free(p->blob_ids);
    free(p);
}

drmModePropertyBlobPtr drmModeGetPropertyBlob(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModePropertyBlobRes>(fd_kind(fd) ? ENOENT : EBADF);
    auto it = st().blobs.find(id);
    if (it == st().blobs.end()) return null_errno<drmModePropertyBlobRes>(ENOENT);
    auto *r = zalloc<drmModePropertyBlobRes>();
    r->id = id;
    const auto &data = it->second.data;
    r->length = static_cast<uint32_t>(data.size());
    r->data = malloc(data.size() ? data.size() : 1);
    memcpy(r->data, data.data(), data.size());
    return r;
}

void drmModeFreePropertyBlob(drmModePropertyBlobPtr b) {
    if (!b) return;
    free(b->data);
    free(b);
}

bool drmModeFormatModifierBlobIterNext(const drmModePropertyBlobRes *blob,
                                       drmModeFormatModifierIterator *iter) {
    if (!blob || !iter || blob->length < sizeof(drm_format_modifier_blob)) return false;
    const auto *hdr = static_cast<const drm_format_modifier_blob *>(blob->data);
    const auto *base = static_cast<const uint8_t *>(blob->data);
    const auto *fmts = reinterpret_cast<const uint32_t *>(base + hdr->formats_offset);
    const auto *mods = reinterpret_cast<const drm_format_modifier *>(base + hdr->modifiers_offset);
    while (iter->mod_idx < hdr->count_modifiers) {
        const drm_format_modifier &m = mods[iter->mod_idx];
        while (iter->fmt_idx < hdr->count_formats) {
            uint32_t i = iter->fmt_idx++;
            if (i >= m.offset && i < m.offset + 64 && (m.formats & (1ull << (i - m.offset)))) {
                iter->fmt = fmts[i];
                iter->mod = m.modifier;
                return true;
            }
        }
        iter->fmt_idx = 0;
        iter->mod_idx++;
    }
    return false;
}

int drmModeCreatePropertyBlob(int fd, const void *data, size_t size, uint32_t *id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return neg(EBADF);
    if (!data || size == 0 || !id) return neg(EINVAL);
    *id = new_blob(data, size, true);
    return 0;
}

int drmModeDestroyPropertyBlob(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return neg(EBADF);
    auto it = st().blobs.find(id);
    if (it == st().blobs.end() || !it->second.user) return neg(ENOENT);
    it->second.user = false;  // a CRTC driving this mode keeps the blob alive
    gc_blobs();
    return 0;
}

drmVersionPtr drmGetVersion(int fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!fd_kind(fd)) return null_errno<drmVersion>(EBADF);
    const CardDesc &c = st().card;
    auto *v = zalloc<drmVersion>();
    v->version_major = c.ver[0];
    v->version_minor = c.ver[1];
    v->version_patchlevel = c.ver[2];
    v->name = strdup(c.driver.c_str());
    v->name_len = static_cast<int>(c.driver.size());
    v->date = strdup(c.date.c_str());
    v->date_len = static_cast<int>(c.date.size());
    v->desc = strdup(c.desc.c_str());
    v->desc_len = static_cast<int>(c.desc.size());
    return v;
}

void drmFreeVersion(drmVersionPtr v) {
    if (!v) return;
    free(v->name);
    free(v->date);
    free(v->desc);
    free(v);
}

int drmSetMaster(int fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!fd_kind(fd)) return m1(EBADF);
    // As drm_setmaster_ioctl: another client's master is not taken over.
    if (other_master_holds()) return m1(EBUSY);
    st().master = true;
    return 0;
}

int drmDropMaster(int fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!fd_kind(fd)) return m1(EBADF);
    st().master = false;
    return 0;
}

int drmIsMaster(int fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    return fd_kind(fd) && st().master;
}

int drmIsKMS(int fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    return fd_kind(fd) == 1;
}

int drmSetClientCap(int fd, uint64_t cap, uint64_t value) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!fd_kind(fd)) return m1(EBADF);
    if (value > 1) return m1(EINVAL);
    State &s = st();
    switch (cap) {
        case DRM_CLIENT_CAP_UNIVERSAL_PLANES:
            s.cap_universal = value;
            return 0;
        case DRM_CLIENT_CAP_ATOMIC:
            s.cap_atomic = value;
            if (value) s.cap_universal = true;  // atomic implies universal planes
            return 0;
        case DRM_CLIENT_CAP_STEREO_3D:
        case DRM_CLIENT_CAP_ASPECT_RATIO:
        case DRM_CLIENT_CAP_WRITEBACK_CONNECTORS:
            return 0;
    }
    return m1(EINVAL);
}

int drmGetCap(int fd, uint64_t cap, uint64_t *value) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!fd_kind(fd)) return m1(EBADF);
    switch (cap) {
        case DRM_CAP_DUMB_BUFFER:
        case DRM_CAP_VBLANK_HIGH_CRTC:
        case DRM_CAP_TIMESTAMP_MONOTONIC:
        case DRM_CAP_ADDFB2_MODIFIERS:
        case DRM_CAP_CRTC_IN_VBLANK_EVENT:
            *value = 1;
            return 0;
        case DRM_CAP_DUMB_PREFERRED_DEPTH:
            *value = 24;
            return 0;
        case DRM_CAP_PRIME:
            *value = DRM_PRIME_CAP_IMPORT;
            return 0;
        case DRM_CAP_CURSOR_WIDTH:
        case DRM_CAP_CURSOR_HEIGHT:
            *value = 64;
            return 0;
        case DRM_CAP_DUMB_PREFER_SHADOW:
        case DRM_CAP_ASYNC_PAGE_FLIP:
        case DRM_CAP_PAGE_FLIP_TARGET:
        case DRM_CAP_SYNCOBJ:
            *value = 0;
            return 0;
    }
    return m1(EINVAL);
}

int drmClose(int fd) {
    return close(fd);
}

drmModeFBPtr drmModeGetFB(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModeFB>(EBADF);
    auto it = st().fbs.find(id);
    if (it == st().fbs.end()) return null_errno<drmModeFB>(ENOENT);
    const Fb &f = it->second;
    auto *r = zalloc<drmModeFB>();
    r->fb_id = f.id;
    r->width = f.w;
    r->height = f.h;
    r->pitch = f.pitches[0];
    r->bpp = f.format == DRM_FORMAT_NV12 ? 8 : f.format == DRM_FORMAT_RGB565 ? 16 : 32;
    r->depth = f.format == DRM_FORMAT_ARGB8888 || f.format == DRM_FORMAT_ABGR8888 ? 32 : 24;
    r->handle = f.handles[0];
    return r;
}

void drmModeFreeFB(drmModeFBPtr p) {
    free(p);
}

drmModeFB2Ptr drmModeGetFB2(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (fd_kind(fd) != 1) return null_errno<drmModeFB2>(EBADF);
    auto it = st().fbs.find(id);
    if (it == st().fbs.end()) return null_errno<drmModeFB2>(ENOENT);
    const Fb &f = it->second;
    auto *r = zalloc<drmModeFB2>();
    r->fb_id = f.id;
    r->width = f.w;
    r->height = f.h;
    r->pixel_format = f.format;
    r->modifier = f.modifier;
    r->flags = f.flags;
    for (int i = 0; i < 4; i++) {
        r->handles[i] = f.handles[i];
        r->pitches[i] = f.pitches[i];
        r->offsets[i] = f.offsets[i];
    }
    return r;
}

void drmModeFreeFB2(drmModeFB2Ptr p) {
    free(p);
}
