// Questions asked of the open card: its driver and the ids of object properties.
#include <cstdlib>
#include <cstring>
#include <memory>

#include <xf86drm.h>

#include "kms/kms.h"

namespace {

// -1 until the driver was asked; the card does not change while the process runs.
int cached = -1;

struct PropsFree {
    void operator()(drmModeObjectProperties *p) const { drmModeFreeObjectProperties(p); }
};
struct PropFree {
    void operator()(drmModePropertyRes *p) const { drmModeFreeProperty(p); }
};

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
                          int use_env) {
    const char *request = use_env ? getenv("ZYL_KMS_MODE") : nullptr;
    return choose_mode(connector, request, drv_is_vc4() == 1, allow_cea_force, forced_out);
}

uint32_t prop_id(uint32_t object_id, uint32_t object_type, const char *name) {
    std::unique_ptr<drmModeObjectProperties, PropsFree> props(
        drmModeObjectGetProperties(drm_fd, object_id, object_type));
    if (!props) return 0;
    for (uint32_t i = 0; i < props->count_props; i++) {
        std::unique_ptr<drmModePropertyRes, PropFree> p(
            drmModeGetProperty(drm_fd, props->props[i]));
        if (p && p->prop_id != 0 && strcmp(p->name, name) == 0) return p->prop_id;
    }
    return 0;
}
