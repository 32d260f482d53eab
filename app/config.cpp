// The one reader of the environment. The reading rules are deliberately lenient
// (first-character switches, strtof/strtol without end checks) because the
// supervisor's scripts rely on exactly that behaviour.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/config.h"

namespace {

// ---- decode ----

void read_decode(Config &) {}

// ---- display: outputs, standby ----

void read_display(Config &) {}

// ---- GPU pass, SPI copy, per-output look ----

bool non_empty(const char *v) {
    return v && v[0];
}

void set_float(const char *name, float *out) {
    if (const char *v = getenv(name)) *out = strtof(v, nullptr);
}

// Unset or empty leaves `*out`; longer values keep their first `keep` characters.
void set_text(const char *name, std::string *out, size_t keep) {
    const char *v = getenv(name);
    if (non_empty(v)) *out = std::string(v).substr(0, keep);
}

void set_raw(const char *name, std::optional<std::string> *out) {
    if (const char *v = getenv(name)) *out = v;
}

// Switch that is on only when the first character is '1'; unset leaves `*out`.
void set_switch_1(const char *name, bool *out) {
    if (const char *v = getenv(name)) *out = v[0] == '1';
}

Pacing pacing_of(const std::optional<std::string> &smooth) {
    if (!smooth) return Pacing::kVblank;
    const char c = (*smooth)[0];
    return c == 'p' ? Pacing::kPhase : c != '0' ? Pacing::kVblank : Pacing::kOnArrival;
}

void read_look(LookSettings &l) {
    set_text("ZYL_KMS_ASPECT", &l.aspect, 31);
    set_text("ZYL_KMS_FIT", &l.fit, 31);
    set_text("ZYL_KMS_FLIP", &l.flip, 31);
    set_raw("ZYL_KMS_ASPECT_DSI", &l.aspect_dsi);
    set_raw("ZYL_KMS_FIT_DSI", &l.fit_dsi);
    set_raw("ZYL_KMS_FLIP_DSI", &l.flip_dsi);
    set_switch_1("ZYL_KMS_TELEMETRY_DSI", &l.telemetry_dsi);
}

void read_correction(Tuning &t) {
    LensTuning &l = t.lens;
    set_switch_1("ZYL_KMS_DEWARP", &l.on);
    set_float("ZYL_KMS_DEWARP_K1", &l.k1);
    set_float("ZYL_KMS_DEWARP_K2", &l.k2);
    set_float("ZYL_KMS_DEWARP_K3", &l.k3);
    set_float("ZYL_KMS_DEWARP_CX", &l.cx);
    set_float("ZYL_KMS_DEWARP_CY", &l.cy);
    set_float("ZYL_KMS_DEWARP_STRENGTH", &l.strength);
    set_float("ZYL_KMS_DEWARP_ZOOM", &l.zoom);
    set_float("ZYL_KMS_DEWARP_VSCALE", &l.vscale);
    GradeTuning &g = t.grade;
    set_switch_1("ZYL_KMS_CG_ENABLE", &g.on);
    set_float("ZYL_KMS_CG_BRIGHT", &g.bright);
    set_float("ZYL_KMS_CG_CONTRAST", &g.contrast);
    set_float("ZYL_KMS_CG_SAT", &g.sat);
    set_float("ZYL_KMS_CG_TEMP", &g.temp);
    set_text("ZYL_KMS_LUT", &t.lut_path, 511);
    if (!t.lut_path.empty()) g.on = true;  // a table implies the grade
    set_float("ZYL_KMS_LUT_MIX", &t.lut_mix);
}

void read_spi(SpiSettings &s) {
    s.on = spi_tee_parse_size(getenv("ZYL_KMS_SPI_TEE"), &s.w, &s.h);
    if (s.on) {
        const char *a = getenv("ZYL_KMS_SPI_ASPECT");
        s.fit = a && (strcmp(a, "fit") == 0 || strcmp(a, "off") == 0);
    }
    s.min_interval = spi_tee_min_interval(getenv("ZYL_KMS_SPI_FPS"));
    const char *e = getenv("ZYL_KMS_SPI_TELEMETRY");
    s.strip = !(e && strcmp(e, "0") == 0);
}

void read_gpu(Config &c) {
    const char *v = getenv("ZYL_KMS_HOTPLUG");
    if (non_empty(v)) c.hotplug = v[0] != '0';
    v = getenv("ZYL_KMS_ANTIFLICKER");
    if (non_empty(v)) c.antiflicker = v[0] == '1';
    set_raw("ZYL_SMOOTH", &c.smooth);
    c.tuning.pacing = pacing_of(c.smooth);
    read_look(c.tuning.look);
    read_correction(c.tuning);
    v = getenv("ZYL_KMS_GL_SIZE");
    if (v) c.gpu.gl_size = v;
    set_text("ZYL_KMS_DEWARP_FILE", &c.gpu.tuning_file, std::string::npos);
    read_spi(c.spi);
}

// ---- overlays ----

void read_overlays(Config &) {}

// ---- presentation loop, health ----

void read_loop(Config &) {}

}  // namespace

Config config_read() {
    Config c;
    read_decode(c);
    read_display(c);
    read_gpu(c);
    read_overlays(c);
    read_loop(c);
    return c;
}
