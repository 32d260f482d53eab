// The presentation loop: the main thread's life after start-up, and the pictures it
// keeps on screen (the frame shown and the one it replaced, with their
// framebuffers). Start-up runs the loop; the gap rules take the pictures down.
#pragma once

#include <pthread.h>

#include <cstdint>

struct AVFrame;

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
