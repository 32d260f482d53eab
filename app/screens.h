// What app/ does with the standby screens and the overlays: it paints the standby
// pictures into the buffers the display makes, hands the first output's to the SPI
// copy, and tells the overlays what the rest of the receiver is doing.
#pragma once

#include "kms/kms.h"
#include "overlay/overlay.h"

// The painter drm_init calls for each new standby buffer.
PaintStandby standby_painter();
// Paints the output's standby picture again unless video covers it; the first
// output's goes to the SPI copy as well.
void standby_refresh(KmsOutput &o);
// The facts of this moment for a composition pass.
OverlayFacts overlay_facts();
