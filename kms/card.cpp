// Questions asked of the open card: its driver and the properties of its objects.
#include <cstring>

#include <xf86drm.h>

#include "kms/kms.h"

namespace {

// -1 until the driver was asked; the card does not change while the process runs.
int cached = -1;

}  // namespace

int drv_is_vc4() {
    if (cached >= 0) return cached;
    cached = 0;
    if (drmVersionPtr v = drmGetVersion(drm_fd)) {
        if (v->name && strcmp(v->name, "vc4") == 0) cached = 1;
        drmFreeVersion(v);
    }
    return cached;
}

drmModeModeInfo pick_mode(const drmModeConnector *connector, int allow_cea_force, int *forced_out,
                          const char *request) {
    return choose_mode(connector, request, drv_is_vc4() == 1, allow_cea_force, forced_out);
}

FbId add_framebuffer(uint32_t w, uint32_t h, uint32_t format, const uint32_t (&handles)[4],
                     const uint32_t (&pitches)[4], const uint32_t (&offsets)[4],
                     const uint64_t *modifiers) {
    uint32_t fb = 0;
    int r = modifiers ? drmModeAddFB2WithModifiers(drm_fd, w, h, format, handles, pitches, offsets,
                                                   modifiers, &fb,
                                                   modifiers[0] ? DRM_MODE_FB_MODIFIERS : 0)
                      : drmModeAddFB2(drm_fd, w, h, format, handles, pitches, offsets, &fb, 0);
    return r == 0 ? FbId(fb, drm_fd) : FbId();
}

PropTable read_props(uint32_t object_id, uint32_t object_type) {
    PropTable table;
    DrmPtr<drmModeObjectProperties> props(
        drmModeObjectGetProperties(drm_fd, object_id, object_type));
    if (!props) return table;
    for (uint32_t i = 0; i < props->count_props; i++) {
        DrmPtr<drmModePropertyRes> p(drmModeGetProperty(drm_fd, props->props[i]));
        if (!p || p->prop_id == 0) continue;
        PropEntry e{{}, p->prop_id, props->prop_values[i], 0};
        memcpy(e.name, p->name, sizeof e.name);
        e.name[sizeof e.name - 1] = 0;
        for (int k = 0; k < p->count_enums; k++)
            if (p->enums[k].value < 64) e.enum_bits |= uint64_t(1) << p->enums[k].value;
        table.push_back(e);
    }
    return table;
}

const PropEntry *prop_entry(const PropTable &props, std::string_view name) {
    for (const PropEntry &e : props)
        if (name == e.name) return &e;
    return nullptr;
}

uint32_t prop_id(const PropTable &props, std::string_view name) {
    const PropEntry *e = prop_entry(props, name);
    return e ? e->id : 0;
}

uint32_t prop_id(uint32_t object_id, uint32_t object_type, const char *name) {
    return prop_id(read_props(object_id, object_type), name);
}
