// What app/ does with the standby screens and the overlays: it paints the standby
// pictures into the buffers the display makes, hands the first output's to the SPI
// copy, and tells the overlays what the rest of the receiver is doing.
#pragma once

#include "app/hotplug.h"
#include "app/settings.h"
#include "app/shown.h"
#include "kms/kms.h"
#include "overlay/overlay.h"
#include "standby/standby.h"

struct StreamFacts;

// The display's state, made once by the process entry and kept until the process
// ends so that the last picture stays on screen till then. Main thread only. When
// released (in tests), the pictures on screen go first, then the standby pictures,
// the card's buffers and the card itself; the overlays' drawing state and records last.
struct ScreenState {
    Overlays overlays;
    OverlayDrawing drawing;
    Display display;
    Standby standby;
    ShownPictures shown;
    HotplugPoll hotplug;
    bool showing_video = false;  // video covers the standby pictures; main thread only
    LiveSettings live;           // the settings in force
    // The correction pass and the SPI copy, which the process entry owns and attaches
    // (attach_pass_and_tee) before the first display comes up.
    GpuPass *pass = nullptr;
    SpiTee *tee = nullptr;
    // The mailbox's stream facts, once start-up has them; null: none (H.264, no detection).
    const StreamFacts *stream = nullptr;
};

// The painter drm_init calls for each new standby buffer.
PaintStandby standby_painter(ScreenState &s);
// Paints the output's standby picture again unless video covers it; the first
// output's goes to the SPI copy as well.
void standby_refresh(ScreenState &s, KmsOutput &o);
// The facts of this moment for a composition pass.
OverlayFacts overlay_facts(ScreenState &s);
