// Tuning values of the correction pass, with their defaults, and each output's
// aspect, fit and flip. Start-up sets them from the environment; the live tuning
// file changes them while running.
#include <cstdio>
#include <utility>

#include "app/app.h"
#include "gpu/gpu.h"
#include "kms/kms.h"

int g_dewarp = 0;
float g_dw_k1 = -0.15f, g_dw_k2 = 0.0f, g_dw_k3 = 0.0f;
float g_dw_cx = 0.5f, g_dw_cy = 0.5f;
float g_dw_strength = 1.0f, g_dw_zoom = 1.0f, g_dw_vscale = 1.0f;
int g_colorgrade = 0;
float g_cg_bright = 0.0f, g_cg_contrast = 1.0f, g_cg_sat = 1.0f, g_cg_temp = 0.0f;
int g_antiflicker = 0;
char g_lut_path[512];
float g_lut_mix = 1.0f;
uint64_t g_rot_val = 0;

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
