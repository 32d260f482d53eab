// The presentation loop: the main thread's life after start-up. Start-up runs it.
#pragma once

#include <cstdint>

#include "base/own.h"

struct Gate;
struct ScreenState;

extern int showing_video;
extern int g_video_hidden;
extern int64_t last_frame_time;
// Runs until the input has ended and every queued frame was shown, or a stop signal
// came; returns the exit status. The reader is joined on the way out.
int presentation_loop(ScreenState &screens, Thread &reader, Gate &gate);
// After a stop signal: says so, writes the last state ("stopped") and returns the
// signal's exit status.
int stopped_status();
bool loop_iteration(ScreenState &screens, Thread &reader, Gate &gate);
struct DetectSettings;
// Which files the detection request uses; before the loop starts.
void detect_configure(const DetectSettings &s);
// Detection request file: true when detection was switched (the overlays then redraw).
bool detect_request_poll();
