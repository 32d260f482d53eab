// The one reader of the environment. The reading rules are deliberately lenient
// (first-character switches, strtof/strtol without end checks) because the
// supervisor's scripts rely on exactly that behaviour.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

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

std::optional<std::string> optional_env(const char *name) {
    const char *v = getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void read_display(Config &c) {
    DisplaySettings &d = c.display;
    d.card = optional_env("ZYL_KMS_CARD");
    if (const char *v = getenv("ZYL_KMS_EDID_WAIT_MS"))
        d.edid_wait_ms = int(strtol(v, nullptr, 10));
    if (const char *v = getenv("ZYL_KMS_CONNECTOR")) d.connector = v;
    d.mode = optional_env("ZYL_KMS_MODE");
    d.testfill = getenv("ZYL_KMS_TESTFILL") != nullptr;
    if (const char *v = getenv("ZYL_KMS_MENU_PLANE"))
        d.menu_plane = uint32_t(strtoul(v, nullptr, 10));
    if (const char *v = getenv("ZYL_KMS_STANDBY")) c.standby.path = v;
}

// ---- GPU pass, SPI copy, per-output look ----

void read_gpu(Config &) {}

// ---- overlays ----

// Set but empty keeps the default for some files and means "none" for others.
void status_path(std::string *path, const char *name, bool empty_is_default) {
    const char *v = getenv(name);
    if (v && (v[0] || !empty_is_default)) *path = v;
}

void read_overlays(Config &c) {
    OverlaySettings &o = c.overlays;
    status_path(&o.telemetry, "ZYL_KMS_TELEMETRY", true);
    status_path(&o.menu, "ZYL_KMS_MENU", false);
    status_path(&o.connect, "ZYL_KMS_CONNECT", true);
    status_path(&o.osd, "ZYL_KMS_OSD", false);
    const char *qr = getenv("ZYL_KMS_STANDBY_QR");
    o.show_connect = !(qr && qr[0] == '0');
    o.font = optional_env("ZYL_KMS_FONT");
}

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
