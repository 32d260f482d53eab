// The presentation loop: the main thread's life after start-up, and the pictures it
// keeps on screen (the frame shown and the one it replaced, with their
// framebuffers). Start-up runs the loop; the gap rules take the pictures down, and
// pacing commits the panel through its atomic plane request.
#pragma once

#include <pthread.h>

#include <cstdint>

struct AVFrame;
struct KmsOutput;

extern int showing_video;
extern uint32_t fb_cur, fb_prev;
extern AVFrame *frame_cur, *frame_prev;
extern int g_video_hidden;
extern int64_t last_frame_time;
// Runs until the input has ended and every queued frame was shown; returns the exit status.
int presentation_loop(pthread_t reader);
bool loop_iteration(pthread_t reader);
// Detection request file: true when detection was switched (the overlays then redraw).
bool detect_request_poll();
// One atomic request on the output's video plane; fb 0 switches the plane off.
int atomic_setplane_flags(const KmsOutput &o, uint32_t fb, int x, int y, int w, int h, int sx,
                          int sy, int sw, int sh, uint32_t flags);
// Rotation value for the global flip on a plane with these capabilities; 0 = unsupported.
uint64_t plane_rotation_value(const char *flip, uint64_t caps);
