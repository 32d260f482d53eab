// Start-up settings: the process-wide display choices (hotplug supervision, pacing,
// aspect, fit, flip and the DSI panel's overrides) read once from the environment.
// Start-up reads them; the loop, placement and the per-output settings of the
// outputs read the globals afterwards.
#pragma once

#include <cstdint>

extern int g_hotplug_on;
extern int g_smooth;
// ZYL_SMOOTH=phase: while g_smooth is on, frames are placed on the vblank grid by
// their arrival phase instead of keeping one in reserve (phase_pacing.h).
extern int g_smooth_phase;
extern char g_aspect[32];
extern char g_fit[32];
extern char g_flip[32];
extern const char *g_aspect_dsi;  // raw values, null when unset
extern const char *g_fit_dsi;
extern const char *g_flip_dsi;
extern int g_telem_dsi;

// Reads the start-up settings in their fixed order and prints their lines.
// `interlaced` is whether any output's mode is interlaced.
void read_settings(bool interlaced);
