// The output table and the per-output settings derived from the global ones.
#include <cstdio>
#include <utility>

#include "app/app.h"
#include "kms/kms.h"

KmsOutput outs[kMaxOutputs];
int nout;
int drm_fd = -1;

bool any_output_interlaced() {
    for (int i = 0; i < nout; i++)
        if (outs[i].mode.flags & kModeInterlace) return true;
    return false;
}

void apply_output_overrides() {
    for (int i = 0; i < nout; i++) {
        KmsOutput &o = outs[i];
        // References, not copies: an output following the global text sees its edits.
        o.aspect = g_aspect;
        o.fit = g_fit;
        o.flip = g_flip;
        o.telemetry = 0;
        if (!o.is_dsi) continue;
        bool overridden = false;
        for (auto [value, field] : {std::pair{g_aspect_dsi, &o.aspect},
                                    std::pair{g_fit_dsi, &o.fit}, std::pair{g_flip_dsi, &o.flip}}) {
            if (value && value[0]) {
                *field = value;
                overridden = true;
            }
        }
        o.telemetry = g_telem_dsi;
        if (overridden)
            fprintf(stderr, "zyl-mpp: output %d (DSI) aspect %s fit %s flip %s (override)\n", i,
                    o.aspect, o.fit, o.flip);
    }
    // An output whose "flip/fit" now differs from its standby_tag gets its standby
    // picture repainted here, once the standby painter exists.
}
