// Start-up settings. Every value comes from the environment; the reading rules are
// deliberately lenient (first-character switches, strtof/strtol without end checks)
// because the supervisor's scripts rely on exactly that behaviour.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "gpu/gpu.h"
#include "kms/kms.h"

int g_hotplug_on = 1;
int g_smooth = 1;
int g_smooth_phase;
char g_aspect[32] = "keep";
char g_fit[32] = "fit";
char g_flip[32] = "none";
const char *g_aspect_dsi;
const char *g_fit_dsi;
const char *g_flip_dsi;
int g_telem_dsi;

namespace {

bool non_empty(const char *v) {
    return v && v[0];
}

void set_float(const char *name, float *out) {
    if (const char *v = getenv(name)) *out = strtof(v, nullptr);
}

void set_text(const char *name, char *out, size_t size) {
    const char *v = getenv(name);
    if (non_empty(v)) snprintf(out, size, "%s", v);
}

// Switch that is on only when the first character is '1'; unset leaves `*out`.
void set_switch_1(const char *name, int *out) {
    if (const char *v = getenv(name)) *out = v[0] == '1';
}

}  // namespace

void read_settings(bool interlaced) {
    if (interlaced) g_antiflicker = 1;

    const char *v = getenv("ZYL_KMS_HOTPLUG");
    if (non_empty(v)) g_hotplug_on = v[0] != '0';
    v = getenv("ZYL_KMS_ANTIFLICKER");
    if (non_empty(v)) g_antiflicker = v[0] == '1';
    const char *smooth = getenv("ZYL_SMOOTH");
    g_smooth = smooth ? smooth[0] != '0' : 1;
    g_smooth_phase = smooth && smooth[0] == 'p';

    set_text("ZYL_KMS_ASPECT", g_aspect, sizeof g_aspect);
    set_text("ZYL_KMS_FIT", g_fit, sizeof g_fit);
    set_text("ZYL_KMS_FLIP", g_flip, sizeof g_flip);
    g_rot_val = flip_rotation(parse_flip(g_flip));

    if (!g_hotplug_on) fprintf(stderr, "zyl-mpp: monitor-swap detection OFF (ZYL_KMS_HOTPLUG=0)\n");
    if (g_antiflicker) fprintf(stderr, "zyl-mpp: interlaced output → GPU anti-flicker filter ON\n");
    fprintf(stderr, "zyl-mpp: pacing %s (ZYL_SMOOTH=%s)\n",
            g_smooth_phase ? "vblank phase (smooth, no reserve frame)"
            : g_smooth     ? "vblank (smooth)"
                           : "show-on-arrival",
            smooth ? smooth : "unset→on");
    fprintf(stderr, "zyl-mpp: fit %s\n", g_fit);
    fprintf(stderr, "zyl-mpp: aspect %s\n", g_aspect);
    fprintf(stderr, "zyl-mpp: flip %s (rot 0x%llx)\n", g_flip, (unsigned long long)g_rot_val);

    g_aspect_dsi = getenv("ZYL_KMS_ASPECT_DSI");
    g_fit_dsi = getenv("ZYL_KMS_FIT_DSI");
    g_flip_dsi = getenv("ZYL_KMS_FLIP_DSI");
    set_switch_1("ZYL_KMS_TELEMETRY_DSI", &g_telem_dsi);
    apply_output_overrides();

    set_switch_1("ZYL_KMS_DEWARP", &g_dewarp);
    set_float("ZYL_KMS_DEWARP_K1", &g_dw_k1);
    set_float("ZYL_KMS_DEWARP_K2", &g_dw_k2);
    set_float("ZYL_KMS_DEWARP_K3", &g_dw_k3);
    set_float("ZYL_KMS_DEWARP_CX", &g_dw_cx);
    set_float("ZYL_KMS_DEWARP_CY", &g_dw_cy);
    set_float("ZYL_KMS_DEWARP_STRENGTH", &g_dw_strength);
    set_float("ZYL_KMS_DEWARP_ZOOM", &g_dw_zoom);
    set_float("ZYL_KMS_DEWARP_VSCALE", &g_dw_vscale);
    set_switch_1("ZYL_KMS_CG_ENABLE", &g_colorgrade);
    set_float("ZYL_KMS_CG_BRIGHT", &g_cg_bright);
    set_float("ZYL_KMS_CG_CONTRAST", &g_cg_contrast);
    set_float("ZYL_KMS_CG_SAT", &g_cg_sat);
    set_float("ZYL_KMS_CG_TEMP", &g_cg_temp);
    v = getenv("ZYL_KMS_LUT");
    if (non_empty(v)) {
        snprintf(g_lut_path, sizeof g_lut_path, "%s", v);
        g_colorgrade = 1;
    }
    set_float("ZYL_KMS_LUT_MIX", &g_lut_mix);

    fprintf(stderr,
            "zyl-mpp: dewarp %s (k=%.3f/%.3f/%.3f center=%.2f,%.2f strength=%.2f zoom=%.2f)\n",
            g_dewarp ? "ON" : "off", g_dw_k1, g_dw_k2, g_dw_k3, g_dw_cx, g_dw_cy, g_dw_strength,
            g_dw_zoom);
}
