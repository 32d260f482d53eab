// The one reader of the environment. The reading rules are deliberately lenient
// (first-character switches, strtof/strtol without end checks) because the
// supervisor's scripts rely on exactly that behaviour.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "app/config.h"

namespace {

// The value as given, set but empty included; none when unset.
std::optional<std::string> optional_env(const char *name) {
    const char *v = getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

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
    // A pause the gate answers anyway; never so short that link jitter flushes.
    d.pause_drain_ms = g.arm_ms > 50 ? g.arm_ms : 50;

    const char *av_log = getenv("ZYL_KMS_AV_LOG");
    c.av_log_verbose = av_log && strcmp(av_log, "verbose") == 0;

    if (const char *v = getenv("ZYL_KMS_DETECT")) c.detect.request = v;
    if (const char *v = getenv("ZYL_KMS_DETECT_MODEL")) c.detect.model = v;
}

// ---- display: outputs, standby ----

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
    l.aspect_dsi = optional_env("ZYL_KMS_ASPECT_DSI");
    l.fit_dsi = optional_env("ZYL_KMS_FIT_DSI");
    l.flip_dsi = optional_env("ZYL_KMS_FLIP_DSI");
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
    c.smooth = optional_env("ZYL_SMOOTH");
    c.tuning.pacing = pacing_of(c.smooth);
    read_look(c.tuning.look);
    read_correction(c.tuning);
    v = getenv("ZYL_KMS_GL_SIZE");
    if (v) c.gpu.gl_size = v;
    set_text("ZYL_KMS_DEWARP_FILE", &c.gpu.tuning_file, std::string::npos);
    read_spi(c.spi);
}

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

void read_loop(Config &c) {
    PacingSettings &p = c.pacing;
    p.frame_hold = parse_frame_hold(getenv("ZYL_KMS_FRAME_HOLD"));
    if (const char *v = getenv("ZYL_KMS_DISPLAY_FPS")) p.display_fps = int(strtol(v, nullptr, 10));
    p.vblank_wait = parse_vblank_wait(getenv("ZYL_KMS_VBLANK_WAIT"));
    const char *v = getenv("ZYL_KMS_DSI_NONBLOCK");
    p.dsi_nonblock = !(v && v[0] && strtol(v, nullptr, 10) == 0);
    v = getenv("ZYL_KMS_STATE");
    if (v && v[0]) c.health.state_path = v;
    c.health.cadence = read_number_switch("ZYL_KMS_CADENCE");
}

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
