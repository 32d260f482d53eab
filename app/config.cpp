// The one reader of the environment. The reading rules are deliberately lenient
// (first-character switches, strtof/strtol without end checks) because the
// supervisor's scripts rely on exactly that behaviour.
#include <cstdlib>
#include <cstring>

#include "app/config.h"

namespace {

// ---- decode ----

// Switches of the reader: non-zero numbers are on, set but empty is off.
bool read_number_switch(const char *name) {
    const char *v = getenv(name);
    return v && v[0] && strtol(v, nullptr, 10) != 0;
}

void read_decode(Config &c) {
    DecodeSettings &d = c.decode;
    if (const char *v = getenv("ZYL_KMS_DECODER"); v && v[0]) d.decoder = v;
    if (const char *v = getenv("ZYL_KMS_DRM_DEVICE")) d.drm_device = v;
    d.read_bytes = reader_read_bytes(getenv("ZYL_KMS_READ_BYTES"));
    d.strip_sei = read_number_switch("ZYL_KMS_STRIP_SEI");
    d.recovery = recovery_settings(getenv("ZYL_KMS_DEAD_MS"), getenv("ZYL_KMS_PARAM_REOPEN"),
                                   getenv("ZYL_KMS_DEAD_EXIT"), d.decoder.c_str());

    GateSettings &g = c.gate;
    g.arm_ms = gate_setting_ms(getenv("ZYL_KMS_GATE_MS")).value_or(g.arm_ms);
    g.hide_ms = gate_setting_ms(getenv("ZYL_KMS_HIDE_MS")).value_or(g.hide_ms);
    g.max_ms = gate_setting_ms(getenv("ZYL_KMS_GATE_MAX_MS"));

    const char *av_log = getenv("ZYL_KMS_AV_LOG");
    c.av_log_verbose = av_log && strcmp(av_log, "verbose") == 0;

    if (const char *v = getenv("ZYL_KMS_DETECT")) c.detect.request = v;
    if (const char *v = getenv("ZYL_KMS_DETECT_MODEL")) c.detect.model = v;
}

// ---- display: outputs, standby ----

void read_display(Config &) {}

// ---- GPU pass, SPI copy, per-output look ----

void read_gpu(Config &) {}

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
