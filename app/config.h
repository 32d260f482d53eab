// Settings: every ZYL_* variable the receiver takes, read once at start-up into one
// typed configuration that the process entry owns and hands to each subsystem (as
// that subsystem's own settings struct). Nothing else reads the environment; the
// live tuning file changes the configuration only through the loop.
#pragma once

#include <optional>
#include <string>

#include "gpu/gpu.h"
#include "spitee/spitee.h"

struct Config {
    // ---- decode ----
    // ---- display: outputs, standby ----
    // ---- GPU pass, SPI copy, per-output look ----
    bool hotplug = true;                // ZYL_KMS_HOTPLUG
    std::optional<std::string> smooth;  // ZYL_SMOOTH as given (its start-up line shows it)
    std::optional<bool> antiflicker;    // ZYL_KMS_ANTIFLICKER; none: on for interlaced modes
    Tuning tuning;                      // looks, pacing, lens, grade, LUT
    GpuSettings gpu;
    SpiSettings spi;
    // ---- overlays ----
    // ---- presentation loop, health ----
};

// Reads the environment. The rules per variable are the README's.
Config config_read();
