// Settings: every ZYL_* variable the receiver takes, read once at start-up into one
// typed configuration that the process entry owns and hands to each subsystem (as
// that subsystem's own settings struct). Nothing else reads the environment; the
// live tuning file changes the configuration only through the loop.
#pragma once

#include <optional>
#include <string>

#include "app/gate.h"
#include "app/health.h"
#include "app/pacing.h"
#include "decode/decode.h"
#include "gpu/gpu.h"
#include "kms/kms.h"
#include "overlay/status.h"
#include "spitee/spitee.h"
#include "standby/standby.h"

// The detection request's files.
struct DetectSettings {
    std::string request = "/run/zyl-fpv/detect";
    std::string model = "/opt/zyl-fpv/yolov8-oiv7.ncnn.param";
};

struct Config {
    // ---- decode ----
    DecodeSettings decode;
    GateSettings gate;
    bool av_log_verbose = false;  // every libavcodec message, not thinned
    DetectSettings detect;
    // ---- display: outputs, standby ----
    DisplaySettings display;
    StandbySettings standby;
    // ---- GPU pass, SPI copy, per-output look ----
    bool hotplug = true;                // ZYL_KMS_HOTPLUG
    std::optional<std::string> smooth;  // ZYL_SMOOTH as given (its start-up line shows it)
    std::optional<bool> antiflicker;    // ZYL_KMS_ANTIFLICKER; none: on for interlaced modes
    Tuning tuning;                      // looks, pacing, lens, grade, LUT
    GpuSettings gpu;
    SpiSettings spi;
    // ---- overlays ----
    OverlaySettings overlays;
    // ---- presentation loop, health ----
    PacingSettings pacing;
    HealthSettings health;
};

// Reads the environment. The rules per variable are the README's.
Config config_read();
