// Questions asked of the open card: its driver and the properties of its objects.
#include <cstring>

#include <xf86drm.h>

#include "kms/kms.h"

bool drv_is_vc4(int fd) {
    bool vc4 = false;
    if (drmVersionPtr v = drmGetVersion(fd)) {
        if (v->name && strcmp(v->name, "vc4") == 0) vc4 = true;
        drmFreeVersion(v);
    }
    return vc4;
}

drmModeModeInfo pick_mode(int fd, const drmModeConnector *connector, int allow_cea_force,
                          int *forced_out, const char *request) {
    return choose_mode(connector, request, drv_is_vc4(fd), allow_cea_force, forced_out);
}

FbId add_framebuffer(int fd, uint32_t w, uint32_t h, uint32_t format, const uint32_t (&handles)[4],
                     const uint32_t (&pitches)[4], const uint32_t (&offsets)[4],
                     const uint64_t *modifiers) {
    uint32_t fb = 0;
    int r = modifiers
                ? drmModeAddFB2WithModifiers(fd, w, h, format, handles, pitches, offsets, modifiers,
                                             &fb, modifiers[0] ? DRM_MODE_FB_MODIFIERS : 0)
                : drmModeAddFB2(fd, w, h, format, handles, pitches, offsets, &fb, 0);
    return r == 0 ? FbId(fb, fd) : FbId();
}

PropTable read_props(int fd, uint32_t object_id, uint32_t object_type) {
    PropTable table;
    DrmPtr<drmModeObjectProperties> props(drmModeObjectGetProperties(fd, object_id, object_type));
    if (!props) return table;
    for (uint32_t i = 0; i < props->count_props; i++) {
        DrmPtr<drmModePropertyRes> p(drmModeGetProperty(fd, props->props[i]));
        if (!p || p->prop_id == 0) continue;
        PropEntry e{{}, p->prop_id, props->prop_values[i], 0};
        if ((p->flags & DRM_MODE_PROP_RANGE) && p->count_values >= 2) e.range_max = p->values[1];
        e.immutable = p->flags & DRM_MODE_PROP_IMMUTABLE;
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
