// Status records that other processes feed through small text files under
// /run/zyl-fpv/: telemetry, the menu, the connect information and a pop-up message.
// Each poll rereads its file only when the modification time changed, replaces its
// record as a whole and returns 1 when it did (the overlays are then redrawn).
// The parsers read an open file line by line, as the polls do, so tests and fuzz
// targets reach them with any text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "kms/files.h"

// Where the status files are and what the overlays show, read once at start-up.
struct OverlaySettings {
    std::string telemetry = "/run/zyl-fpv/telemetry";
    std::string menu = "/run/zyl-fpv/menu";  // empty: no menu file
    std::string connect = "/run/zyl-fpv/connect";
    std::string osd = "/run/zyl-fpv/osd";  // empty: no pop-up file
    bool show_connect = true;              // the connect screen on the standby picture
    std::optional<std::string> font;       // the TrueType font tried first
};
// Files longer than this are not read: a status file is a few lines, and a runaway
// writer must not stall the loop.
constexpr long kStatusFileMax = 64 * 1024;

struct TelemetryState {
    int valid;                    // 1 after every successful read
    int gog, drn, sig, vtx, sat;  // -1 when absent
    int tmp;                      // degrees C; below -99 means none (default -1000)
    int rec, recs, vpn;
    char net[24];
    float yaw, alt, spd, vs, pit, rol;
    int has_yaw, has_alt, has_spd, has_vs, has_pit, has_rol;
};

// The menu record, replaced as a whole whenever the menu file changes.
struct MenuState {
    int open;   // the menu is shown
    int tab;    // 0..3 when drawn
    int focus;  // 0: tab bar, else the rows
    int sel;    // selected row
    int nrows;  // 0..12
    char title[64];
    char rows[12][64];
    int message;  // show one message instead of the menu (and no video)
    char msg[96];
};

struct ConnectInfo {
    char ssid[64];
    char push[128];
    int qr_n;          // modules per side, 0 = no code
    uint8_t qr[4096];  // module (r, c) at r * qr_n + c, 1 dark
};

struct OsdState {
    int active;  // the text is not empty
    int level;   // 0 information, 1 warning, 2 error
    char text[96];
};

// The overlays' state: the status records the overlays show and the files they come
// from. Made by the process entry; main thread only (the loop polls the files and
// composes, the SPI copy reads the records while the loop hands it a picture).
struct Overlays {
    OverlaySettings settings;
    TelemetryState telem{};
    MenuState menu{};
    ConnectInfo connect{};  // the last read: a missing file leaves it in effect
    OsdState osd{};
    WatchedFile telemetry_file{"telemetry", size_t(kStatusFileMax), {}, 0};
    WatchedFile menu_file{"menu", size_t(kStatusFileMax), {}, 0};
    WatchedFile connect_file{"connect", size_t(kStatusFileMax), {}, 0};
    WatchedFile osd_file{"osd", size_t(kStatusFileMax), {}, 0};
};
// Takes the settings the polls follow from now on (the connect screen's switch is the
// drawing's: connect_screen_enable).
void overlays_configure(Overlays &ov, const OverlaySettings &s);

int poll_telemetry(Overlays &ov);
int poll_menu(Overlays &ov);
int poll_connect(Overlays &ov);
int poll_osd(Overlays &ov);

TelemetryState parse_telemetry(FILE *f);
MenuState parse_menu(FILE *f);
ConnectInfo parse_connect(FILE *f);
OsdState parse_osd(FILE *f);
