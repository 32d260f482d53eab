// The four status files. Their writers are other processes that may rewrite a file
// at any moment, replace it, leave it half written or put something else in its
// place; none of that may stall the loop or lose the last good record.
#include "overlay/status.h"

#include "kms/files.h"
#include "overlay/overlay.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A text field: the line without its CR/LF, cut to the field.
void copy_field(char *dst, size_t cap, const char *line) {
    size_t n = strcspn(line, "\r\n");
    if (n >= cap) n = cap - 1;
    memcpy(dst, line, n);
    dst[n] = 0;
}

// Replaces `record` from the file when it changed; a missing file clears it when
// `clear_when_missing`. 1 when the record was replaced.
template <typename T>
int poll_record(WatchedFile &w, const char *path, T *record, T (*parse)(FILE *),
                bool clear_when_missing) {
    FileBytes b;
    switch (read_if_changed(w, path, &b)) {
        case Fresh::kMissing:
            if (!clear_when_missing) return 0;
            *record = T{};
            return 1;
        case Fresh::kUnchanged:
        case Fresh::kRefused:
            return 0;
        case Fresh::kRead:
            break;
    }
    // The parsers read lines as from a file; an empty file gives no line.
    static char none[1];
    FILE *f = fmemopen(b.data.empty() ? none : b.data.data(), b.data.size(), "r");
    if (!f) return 0;
    *record = parse(f);
    fclose(f);
    return 1;
}

}  // namespace

TelemetryState parse_telemetry(FILE *f) {
    TelemetryState t{};
    t.gog = t.drn = t.sig = t.vtx = t.sat = -1;
    t.tmp = -1000;
    struct IntKey {
        const char *key;
        int *value;
    } const ints[] = {{"gog", &t.gog}, {"drn", &t.drn},   {"sig", &t.sig},
                      {"vtx", &t.vtx}, {"sat", &t.sat},   {"tmp", &t.tmp},
                      {"rec", &t.rec}, {"recs", &t.recs}, {"vpn", &t.vpn}};
    struct FloatKey {
        const char *key;
        float *value;
        int *has;
    } const floats[] = {{"yaw", &t.yaw, &t.has_yaw}, {"alt", &t.alt, &t.has_alt},
                        {"spd", &t.spd, &t.has_spd}, {"vs", &t.vs, &t.has_vs},
                        {"pit", &t.pit, &t.has_pit}, {"rol", &t.rol, &t.has_rol}};
    char line[96], key[16], value[48];
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, " %15[a-z] = %47s", key, value) != 2) continue;
        for (const IntKey &k : ints)
            if (strcmp(key, k.key) == 0) *k.value = int(strtol(value, nullptr, 10));
        for (const FloatKey &k : floats) {
            if (strcmp(key, k.key) != 0) continue;
            *k.value = strtof(value, nullptr);
            *k.has = 1;
        }
        if (strcmp(key, "net") == 0) snprintf(t.net, sizeof t.net, "%.23s", value);
    }
    t.valid = 1;
    return t;
}

MenuState parse_menu(FILE *f) {
    MenuState m{};
    char line[128];
    if (!fgets(line, sizeof line, f)) return m;
    if (strncmp(line, "message", 7) == 0) {
        m.message = 1;
        if (fgets(line, sizeof line, f)) copy_field(m.msg, sizeof m.msg, line);
        return m;
    }
    m.open = strncmp(line, "open", 4) == 0;
    int *numbers[] = {&m.tab, &m.focus, &m.sel};
    for (int *n : numbers) {
        if (!fgets(line, sizeof line, f)) return m;
        *n = int(strtol(line, nullptr, 10));
    }
    if (!fgets(line, sizeof line, f)) return m;
    copy_field(m.title, sizeof m.title, line);
    while (m.nrows < 12 && fgets(line, sizeof line, f))
        copy_field(m.rows[m.nrows++], sizeof m.rows[0], line);
    return m;
}

ConnectInfo parse_connect(FILE *f) {
    ConnectInfo c{};
    int n = 0, rows = 0;
    char line[128];
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "ssid=", 5) == 0) {
            copy_field(c.ssid, sizeof c.ssid, line + 5);
        } else if (strncmp(line, "push=", 5) == 0) {
            copy_field(c.push, sizeof c.push, line + 5);
        } else if (strncmp(line, "qr=", 3) == 0) {
            long v = strtol(line + 3, nullptr, 10);
            n = v >= 1 && v <= 64 ? int(v) : 0;
        } else if ((line[0] == '.' || line[0] == '#') && rows < n) {
            // A short row's missing modules are light.
            size_t len = strlen(line);
            for (int col = 0; col < n; col++)
                c.qr[rows * n + col] = size_t(col) < len && line[col] == '#';
            rows++;
        }
    }
    c.qr_n = n >= 1 && rows == n ? n : 0;
    return c;
}

OsdState parse_osd(FILE *f) {
    OsdState o{};
    char line[128];
    if (!fgets(line, sizeof line, f)) return o;
    o.level = strncmp(line, "error", 5) == 0 ? 2 : strncmp(line, "warn", 4) == 0 ? 1 : 0;
    if (fgets(line, sizeof line, f)) copy_field(o.text, sizeof o.text, line);
    o.active = o.text[0] != 0;
    return o;
}

void overlays_configure(Overlays &ov, const OverlaySettings &s) {
    ov.settings = s;
}

int poll_telemetry(Overlays &ov) {
    const char *path = ov.settings.telemetry.c_str();
    return poll_record(ov.telemetry_file, path, &ov.telem, parse_telemetry, ov.telem.valid != 0);
}

int poll_menu(Overlays &ov) {
    const char *path = ov.settings.menu.c_str();
    // A message stays until the file comes back with something else.
    return poll_record(ov.menu_file, path, &ov.menu, parse_menu, ov.menu.open || ov.menu.nrows);
}

int poll_connect(Overlays &ov) {
    const char *path = ov.settings.connect.c_str();
    // Without the file the last connect information stays in effect.
    return poll_record(ov.connect_file, path, &ov.connect, parse_connect, false);
}

int poll_osd(Overlays &ov) {
    const char *path = ov.settings.osd.c_str();
    return poll_record(ov.osd_file, path, &ov.osd, parse_osd, ov.osd.active != 0);
}
