// What the other subsystems take from app/: the reader thread in decode/ pushes
// decoded frames into the mailbox and reports to its counters, arms the keyframe
// gate after a flush or rebuild, and reads the monotonic clock. Everything else in app/
// has its own header beside its .cpp and is for app/ and the tests only. A stop
// signal ends the reading of the input as its end would. The standby
// picture is fitted like the video, and it and the overlays ask whether video is on
// screen.
#pragma once

#include "app/clock.h"
#include "app/gate.h"
#include "app/mailbox.h"
#include "app/placement.h"
#include "app/settings.h"
#include "app/stop.h"

// A video picture is on screen (the standby buffers are then black beneath it).
extern int showing_video;
