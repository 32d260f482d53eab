// Settings: every ZYL_* variable the receiver takes, read once at start-up into one
// typed configuration that the process entry owns and hands to each subsystem (as
// that subsystem's own settings struct). Nothing else reads the environment; the
// live tuning file changes the configuration only through the loop.
#pragma once

#include "kms/kms.h"
#include "overlay/status.h"
#include "standby/standby.h"

struct Config {
    // ---- decode ----
    // ---- display: outputs, standby ----
    DisplaySettings display;
    StandbySettings standby;
    // ---- GPU pass, SPI copy, per-output look ----
    // ---- overlays ----
    OverlaySettings overlays;
    // ---- presentation loop, health ----
};

// Reads the environment. The rules per variable are the README's.
Config config_read();
