// The display and correction settings in force: start-up takes them from the
// configuration, the live tuning file changes them through the loop. The outputs'
// looks, the pacing switches and the pass read them.
#pragma once

#include "gpu/gpu.h"

struct Config;
struct ScreenState;
struct Pacer;

// The pass's settings and the tuning now. The main thread alone reads and changes
// them (start-up, then the loop).
struct LiveSettings {
    GpuSettings gpu;
    Tuning tuning;
    WatchedFile tuning_file = tuning_file_watch();
};

struct SpiTee;
// The correction pass and the SPI copy the main thread draws with. The process entry
// owns both and attaches them to the screens before the first display comes up (tests
// attach their own); the copy learns where the overlays it draws are.
void attach_pass_and_tee(ScreenState &screens, GpuPass &pass, SpiTee &tee);

// Takes the start-up settings from `c` (the pacing mode into `pc`) and prints their lines in their
// fixed order. `interlaced` is whether any output's mode is interlaced.
void read_settings(ScreenState &screens, Pacer &pc, const Config &c, bool interlaced);
// Gives every output its look from the live settings (saying which the panel
// overrides); the standby pictures whose flip or fit changed are repainted.
void apply_output_looks(ScreenState &screens);
// Re-reads the tuning file when it changed (once per loop iteration); true when the
// outputs' looks were set again (the overlays then follow the flip). The pacing
// mode it names goes to `pc`.
bool poll_tuning(ScreenState &screens, Pacer &pc);
