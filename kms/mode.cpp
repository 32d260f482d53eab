// Mode choice. HDMI switchers lock only to standard timings and show green on an
// off-standard clock or field rate, so a requested mode is matched strictly and a
// standard timing is forced when the monitor does not list one. Nothing here
// touches the card: the caller supplies the connector record and the driver kind.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "kms/kms.h"

namespace {

constexpr drmModeModeInfo cea_row(uint32_t clock, uint16_t hd, uint16_t hss, uint16_t hse,
                                  uint16_t ht, uint16_t vd, uint16_t vss, uint16_t vse, uint16_t vt,
                                  uint32_t hz, uint32_t flags, const char *name) {
    drmModeModeInfo m{};
    m.clock = clock;
    m.hdisplay = hd;
    m.hsync_start = hss;
    m.hsync_end = hse;
    m.htotal = ht;
    m.vdisplay = vd;
    m.vsync_start = vss;
    m.vsync_end = vse;
    m.vtotal = vt;
    m.vrefresh = hz;
    m.flags = flags;
    m.type = 0x40;  // driver-defined
    for (int i = 0; name[i]; i++) m.name[i] = name[i];
    return m;
}

std::span<const drmModeModeInfo> modes_of(const drmModeConnector *c) {
    return {c->modes, size_t(c->count_modes)};
}

bool is_interlaced(const drmModeModeInfo &m) {
    return m.flags & kModeInterlace;
}

bool of_size(const drmModeModeInfo &m, int w, int h) {
    return m.hdisplay == w && m.vdisplay == h;
}

int rate_diff(const drmModeModeInfo &m, int hz) {
    return std::abs(int(m.vrefresh) - hz);
}

const drmModeModeInfo *cea_row_for(int w, int h, int hz, bool interlaced_only) {
    for (const auto &row : cea_modes) {
        if (interlaced_only && !is_interlaced(row)) continue;
        if (of_size(row, w, h) && int(row.vrefresh) == hz) return &row;
    }
    return nullptr;
}

const drmModeModeInfo *largest(std::span<const drmModeModeInfo> modes, int max_w, int max_h,
                               bool progressive_only, double aspect) {
    const drmModeModeInfo *best = nullptr;
    for (const auto &m : modes) {
        if (m.hdisplay > max_w || m.vdisplay > max_h) continue;
        if (progressive_only && is_interlaced(m)) continue;
        if (aspect != 0) {
            if (m.vdisplay == 0) continue;
            if (std::fabs(double(m.hdisplay) / m.vdisplay - aspect) > 0.02) continue;
        }
        if (!best || m.hdisplay * m.vdisplay > best->hdisplay * best->vdisplay) best = &m;
    }
    return best;
}

drmModeModeInfo auto_mode(const drmModeConnector *c, bool vc4) {
    const drmModeModeInfo &first = c->modes[0];
    if (!vc4 || (first.hdisplay <= 1920 && first.vdisplay <= 1200)) return prefer_60hz(c, first);
    // vc4 cannot scan out much beyond 1920x1200: keep the monitor's shape if it can.
    double aspect = first.vdisplay ? double(first.hdisplay) / first.vdisplay : 0.0;
    if (const auto *m = largest(modes_of(c), 1920, 1200, true, aspect)) return prefer_60hz(c, *m);
    if (const auto *m = largest(modes_of(c), 1920, 1080, false, 0.0)) return prefer_60hz(c, *m);
    return first;
}

void print_near_rate(const ModeRequest &r, const char *i, const drmModeModeInfo &m) {
    say("zyl-mpp: no exact %dx%d%s@%d — driving the advertised %u Hz (%d kHz). A broadcast "
        "switcher may refuse a non-standard rate and show GREEN; try the other field rate if "
        "it does.",
        r.w, r.h, i, r.hz, m.vrefresh, int(m.clock));
}

// Modes of the requested size and scan type, in the connector's order.
struct Qualifying {
    std::span<const drmModeModeInfo> modes;
    int w, h;
    bool interlaced;
    bool ok(const drmModeModeInfo &m) const {
        return of_size(m, w, h) && is_interlaced(m) == interlaced;
    }
};

const drmModeModeInfo *first_within(const Qualifying &q, int hz, int tolerance) {
    for (const auto &m : q.modes)
        if (q.ok(m) && (m.vrefresh == 0 || hz == 0 || rate_diff(m, hz) <= tolerance)) return &m;
    return nullptr;
}

const drmModeModeInfo *nearest_rate(const Qualifying &q, int hz) {
    const drmModeModeInfo *best = nullptr;
    for (const auto &m : q.modes) {
        if (!q.ok(m)) continue;
        if (!best || rate_diff(m, hz) < rate_diff(*best, hz)) best = &m;
        if (rate_diff(m, hz) == 0) break;
    }
    return best;
}

// The last resort of both request kinds: the listed progressive mode nearest the rate.
// Without a rate the monitor's order decides, as everywhere else: its first mode of the
// size, not the lowest rate.
const drmModeModeInfo *nearest_progressive(const drmModeConnector *c, const ModeRequest &r) {
    Qualifying q{modes_of(c), r.w, r.h, false};
    if (r.hz == 0) return first_within(q, 0, 0);
    const drmModeModeInfo *m = nearest_rate(q, r.hz);
    if (m && rate_diff(*m, r.hz) != 0)
        say("zyl-mpp: requested %dx%d@%d not available — driving %dx%d@%d instead.", r.w, r.h, r.hz,
            r.w, r.h, int(m->vrefresh));
    return m;
}

drmModeModeInfo progressive_request(const drmModeConnector *c, const ModeRequest &r, bool vc4,
                                    int allow_cea_force, int *forced_out) {
    Qualifying q{modes_of(c), r.w, r.h, false};
    if (const auto *m = first_within(q, r.hz, 0)) return *m;
    if (const auto *m = first_within(q, r.hz, 2)) {
        if (m->vrefresh != 0 && int(m->vrefresh) != r.hz) print_near_rate(r, "", *m);
        return *m;
    }
    if (r.hz != 0 && allow_cea_force) {
        if (const auto *row = cea_row_for(r.w, r.h, r.hz, false)) {
            say("zyl-mpp: display EDID has no %dx%d@%d — forcing the standard CEA timing.", r.w,
                r.h, r.hz);
            if (forced_out) *forced_out = 1;
            return *row;
        }
    }
    if (const auto *m = nearest_progressive(c, r)) return *m;
    return auto_mode(c, vc4);
}

// Off-standard clocks are what switchers refuse, so a listed mode of the right rate
// still counts only when its clock is within a thousandth of the standard's.
bool clock_matches(const drmModeModeInfo &m, const drmModeModeInfo *row) {
    if (!row || row->clock == 0) return true;
    int64_t d = std::llabs(int64_t(m.clock) - int64_t(row->clock));
    return d * 1000 <= int64_t(row->clock);
}

drmModeModeInfo interlaced_request(const drmModeConnector *c, const ModeRequest &r, bool vc4,
                                   int allow_cea_force, int *forced_out) {
    Qualifying q{modes_of(c), r.w, r.h, true};
    const drmModeModeInfo *row = cea_row_for(r.w, r.h, r.hz, true);
    for (const auto &m : q.modes) {
        if (!q.ok(m)) continue;
        if (r.hz == 0) return m;
        if (m.vrefresh != 0 && int(m.vrefresh) != r.hz) continue;
        if (clock_matches(m, row)) return m;
        say("zyl-mpp: skipping advertised %dx%di@%d at %d kHz — the standard is %d kHz; an "
            "off-spec clock is what makes a switcher show GREEN.",
            r.w, r.h, r.hz, int(m.clock), int(row->clock));
    }
    if (r.hz != 0 && allow_cea_force && row) {
        say("zyl-mpp: no exact %dx%di@%d in the EDID — forcing the standard CEA timing (%d "
            "kHz) so the switcher can lock.",
            r.w, r.h, r.hz, int(row->clock));
        if (forced_out) *forced_out = 1;
        return *row;
    }
    if (const auto *m = first_within(q, r.hz, 2)) {
        if (m->vrefresh != 0 && int(m->vrefresh) != r.hz) print_near_rate(r, "i", *m);
        return *m;
    }
    if (const auto *m = first_within(q, 0, 0)) {
        if (r.hz != 0)
            say("zyl-mpp: requested %dx%di@%d not available — driving %dx%di@%d instead.", r.w, r.h,
                r.hz, r.w, r.h, int(m->vrefresh));
        return *m;
    }
    say("zyl-mpp: display advertises no interlaced %dx%d mode — the switcher must accept "
        "1080i over HDMI; falling back to progressive.",
        r.w, r.h);
    if (const auto *m = nearest_progressive(c, r)) return *m;
    return auto_mode(c, vc4);
}

}  // namespace

const drmModeModeInfo cea_modes[6] = {
    cea_row(148500, 1920, 2448, 2492, 2640, 1080, 1084, 1089, 1125, 50, 0x5, "1920x1080"),
    cea_row(148500, 1920, 2008, 2052, 2200, 1080, 1084, 1089, 1125, 60, 0x5, "1920x1080"),
    cea_row(74250, 1280, 1720, 1760, 1980, 720, 725, 730, 750, 50, 0x5, "1280x720"),
    cea_row(74250, 1280, 1390, 1430, 1650, 720, 725, 730, 750, 60, 0x5, "1280x720"),
    cea_row(74250, 1920, 2448, 2492, 2640, 1080, 1084, 1094, 1125, 50, 0x15, "1920x1080i"),
    cea_row(74250, 1920, 2008, 2052, 2200, 1080, 1084, 1094, 1125, 60, 0x15, "1920x1080i"),
};

bool parse_mode_request(const char *text, ModeRequest *req) {
    int w, h;
    if (!text || sscanf(text, "%dx%d", &w, &h) != 2) return false;
    const char *p = strchr(text, 'x') + 1;
    while (*p >= '0' && *p <= '9') p++;
    const char *at = strchr(text, '@');
    *req = ModeRequest{w, h, at ? int(strtol(at + 1, nullptr, 10)) : 0, *p == 'i' || *p == 'I'};
    return true;
}

drmModeModeInfo prefer_60hz(const drmModeConnector *c, const drmModeModeInfo &candidate) {
    if (is_interlaced(candidate)) return candidate;
    const drmModeModeInfo *best = &candidate;
    for (const auto &m : modes_of(c)) {
        if (is_interlaced(m) || !of_size(m, candidate.hdisplay, candidate.vdisplay)) continue;
        int d = rate_diff(m, 60), db = rate_diff(*best, 60);
        if (d < db || (d == db && m.vrefresh > best->vrefresh)) best = &m;
    }
    if (best->vrefresh != candidate.vrefresh)
        say("zyl-mpp: auto mode: EDID prefers %ux%u@%u — driving the advertised @%u instead "
            "(~60 fps source).",
            candidate.hdisplay, candidate.vdisplay, candidate.vrefresh, best->vrefresh);
    return *best;
}

drmModeModeInfo choose_mode(const drmModeConnector *c, const char *request, bool vc4,
                            int allow_cea_force, int *forced_out) {
    ModeRequest r;
    if (!parse_mode_request(request, &r)) return auto_mode(c, vc4);
    if (!r.interlaced && vc4 && (r.w > 1920 || r.h > 1200)) {
        say("zyl-mpp: requested %dx%d exceeds the ~1920x1200 the vc4 HVS can drive — "
            "ignoring, auto-picking instead.",
            r.w, r.h);
        return auto_mode(c, vc4);
    }
    if (r.interlaced) return interlaced_request(c, r, vc4, allow_cea_force, forced_out);
    return progressive_request(c, r, vc4, allow_cea_force, forced_out);
}

void panel_mode_notice(const char *request, const drmModeModeInfo &chosen) {
    int w, h;
    if (!request || !request[0] || sscanf(request, "%dx%d", &w, &h) != 2) return;
    if (w == chosen.hdisplay && h == chosen.vdisplay) return;
    say("zyl-kms: panel mode %s unsupported — using %ux%u@%u", request, chosen.hdisplay,
        chosen.vdisplay, chosen.vrefresh);
}

uint32_t mode_report_refresh(const drmModeModeInfo &m) {
    if (m.vrefresh) return m.vrefresh;
    if (m.htotal == 0 || m.vtotal == 0) return 0;
    return uint32_t(uint64_t(m.clock) * 1000 / (uint64_t(m.htotal) * m.vtotal));
}

std::string mode_report_line(const drmModeModeInfo &m) {
    char line[64];
    snprintf(line, sizeof line, "%ux%u%s@%u\n", m.hdisplay, m.vdisplay, is_interlaced(m) ? "i" : "",
             mode_report_refresh(m));
    return line;
}

uint32_t testfill_colour(int n) {
    constexpr uint32_t testcol[3] = {0x0000FF, 0xFF0000, 0x00FF00};
    return testcol[n % 3];
}
