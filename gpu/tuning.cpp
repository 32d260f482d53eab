// Tuning values of the correction pass, with their defaults, and the live tuning
// file through which another process adjusts them while the video runs. Start-up
// sets the values from the environment; the file changes them; the pass reads them
// on every frame, so a change shows on the next frame.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/app.h"
#include "app/screens.h"
#include "gpu/gpu.h"
#include "gpu/parse.h"
#include "kms/files.h"
#include "kms/kms.h"

int g_dewarp = 0;
float g_dw_k1 = -0.15f, g_dw_k2 = 0.0f, g_dw_k3 = 0.0f;
float g_dw_cx = 0.5f, g_dw_cy = 0.5f;
float g_dw_strength = 1.0f, g_dw_zoom = 1.0f, g_dw_vscale = 1.0f;
int g_colorgrade = 0;
float g_cg_bright = 0.0f, g_cg_contrast = 1.0f, g_cg_sat = 1.0f, g_cg_temp = 0.0f;
int g_antiflicker = 0;
uint64_t g_rot_val = 0;
char g_flip_dsi_live[8];

namespace {

// The tuning file: a version that could not be used is not read again.
WatchedFile g_tuning_file{"dewarp", 64 * 1024, {}, 0};

struct NumberKey {
    const char *key;
    float *value;
};
const NumberKey kNumberKeys[] = {
    {"strength", &g_dw_strength},
    {"k1", &g_dw_k1},
    {"k2", &g_dw_k2},
    {"k3", &g_dw_k3},
    {"cx", &g_dw_cx},
    {"cy", &g_dw_cy},
    {"zoom", &g_dw_zoom},
    {"vscale", &g_dw_vscale},
    {"bright", &g_cg_bright},
    {"contrast", &g_cg_contrast},
    {"sat", &g_cg_sat},
    {"temp", &g_cg_temp},
    {"lutmix", &g_lut_mix},
};

const char *tuning_path() {
    const char *p = getenv("ZYL_KMS_DEWARP_FILE");
    return p && *p ? p : "/run/zyl-fpv/dewarp";
}

// The first `keep` characters of `value`. Outputs refer to these buffers, so they see
// the new text at once.
void set_text(char *dst, size_t keep, const char *value) {
    snprintf(dst, keep + 1, "%.*s", int(keep), value);
}

void set_lut(const char *value) {
    if (strcmp(value, "-") == 0) {
        g_lut_on = 0;  // the path and the loaded table stay for a later "on"
        return;
    }
    if (strcmp(value, g_lut_path) != 0) {
        snprintf(g_lut_path, sizeof g_lut_path, "%s", value);
        lut_path_changed();  // the next frame loads it
    }
    g_lut_on = 1;
}

// An infinite or NaN value would turn the whole picture into one colour.
void set_number(const NumberKey &k, const char *text, float v) {
    if (std::isfinite(v)) {
        *k.value = v;
        return;
    }
    fprintf(stderr, "zyl-mpp: dewarp LIVE %s = %s refused (not a finite number), keeps %g\n", k.key,
            text, double(*k.value));
}

// One "key = value" line; true when the per-output settings must be applied again.
bool apply_tuning(const char *key, const char *value) {
    if (strcmp(key, "aspect") == 0) {
        set_text(g_aspect, 15, value);
    } else if (strcmp(key, "fit") == 0) {
        set_text(g_fit, 15, value);
    } else if (strcmp(key, "flip") == 0) {
        set_text(g_flip, 7, value);
        g_rot_val = flip_rotation(parse_flip(g_flip));
    } else if (strcmp(key, "dsiflip") == 0) {
        set_text(g_flip_dsi_live, 7, value);
        g_flip_dsi = strcmp(value, "-") == 0 ? nullptr : g_flip_dsi_live;
    } else {
        if (strcmp(key, "lut") == 0) {
            set_lut(value);
            return false;
        }
        float v = strtof(value, nullptr);  // not a number reads as 0
        for (const NumberKey &k : kNumberKeys)
            if (strcmp(key, k.key) == 0) set_number(k, value, v);
        if (strcmp(key, "smooth") == 0) {
            // As ZYL_SMOOTH: "phase" paces without the reserve frame, 0 on arrival.
            g_smooth_phase = value[0] == 'p';
            g_smooth = g_smooth_phase || v != 0.0f;
        }
        return false;
    }
    return true;
}

// The file's lines as they come; true when the outputs must be set again.
bool apply_tuning_text(std::string_view text) {
    char line[kTuningLineBuf];
    TuningLine t;
    bool outputs = false;
    for (size_t pos = 0, next; (next = next_line(text, pos, line, sizeof line)) != pos; pos = next)
        if (tuning_line(line, &t)) outputs |= apply_tuning(t.key, t.value);
    return outputs;
}

}  // namespace

bool poll_dewarp() {
    const char *path = tuning_path();
    FileBytes b;
    if (read_if_changed(g_tuning_file, path, &b) != Fresh::kRead) return false;
    bool outputs = apply_tuning_text(std::string_view(b.data.data(), b.data.size()));
    // Once for the whole file: aspect and fit lines reach every output too, and a
    // flip or fit that changed repaints the standby pictures.
    if (outputs) apply_output_overrides();
    fprintf(stderr,
            "zyl-mpp: dewarp LIVE s=%.2f k1=%.3f k2=%.3f cx=%.2f cy=%.2f zoom=%.2f vscale=%.2f | "
            "cg b=%.2f c=%.2f sat=%.2f temp=%.2f | aspect=%s fit=%s flip=%s dsiflip=%s "
            "smooth=%s\n",
            g_dw_strength, g_dw_k1, g_dw_k2, g_dw_cx, g_dw_cy, g_dw_zoom, g_dw_vscale, g_cg_bright,
            g_cg_contrast, g_cg_sat, g_cg_temp, g_aspect, g_fit, g_flip,
            g_flip_dsi ? g_flip_dsi : "-",
            !g_smooth        ? "0"
            : g_smooth_phase ? "phase"
                             : "1");
    return outputs;
}

void apply_output_overrides() {
    for (int i = 0; i < nout; i++) {
        KmsOutput &o = outs[i];
        const char *aspect = g_aspect, *fit = g_fit, *flip = g_flip;
        o.look.telemetry = false;
        if (o.is_dsi) {
            bool overridden = false;
            for (auto [value, field] : {std::pair{g_aspect_dsi, &aspect},
                                        std::pair{g_fit_dsi, &fit}, std::pair{g_flip_dsi, &flip}}) {
                if (value && value[0]) {
                    *field = value;
                    overridden = true;
                }
            }
            o.look.telemetry = g_telem_dsi != 0;
            if (overridden)
                fprintf(stderr, "zyl-mpp: output %d (DSI) aspect %s fit %s flip %s (override)\n", i,
                        aspect, fit, flip);
        }
        o.look.aspect = parse_aspect(aspect);
        o.look.fit = parse_fit(fit);
        o.look.flip = parse_flip(flip);
    }
    // The standby picture follows the flip and fit too; repainted only when they changed.
    for (int i = 0; i < nout; i++)
        if (outs[i].standby_map && !standby_look_same(outs[i].standby_look, outs[i].look))
            standby_refresh(outs[i]);
}
