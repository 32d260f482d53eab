// The presentation loop: the main thread's life after start-up. Start-up runs it.
#pragma once

#include <cstdint>

#include <optional>

#include "app/end.h"

struct Gate;
struct Mailbox;

extern int showing_video;
extern int g_video_hidden;
extern int64_t last_frame_time;
// Runs until the input has ended and every queued frame was shown, a stop signal
// came or a display changed; returns how the process ends.
End presentation_loop(Mailbox &mb, Gate &gate);
// After a stop signal: its exit status, the line and the last state ("stopped").
End stopped_end();
// One pass; the end once the input has ended and every frame was shown, or a display
// changed.
std::optional<End> loop_iteration(Mailbox &mb, Gate &gate);
struct DetectSettings;
// Which files the detection request uses; before the loop starts.
void detect_configure(const DetectSettings &s);
// Detection request file: true when detection was switched (the overlays then redraw).
bool detect_request_poll();
