// The pictures on screen: the newest one put on the video planes and the one it
// replaced, which a plane may still scan out until the flip to the newest has
// landed. Each is a framebuffer, imported from the decoded frame or rendered from
// it by the GPU pass (whose framebuffers are the caller's), and the decoded frame.
// Both live until a newer picture replaces them or the video leaves every screen.
#pragma once

#include <cstdint>

#include "app/mailbox.h"

struct ShownPicture {
    uint32_t fb;  // 0: none
    FramePtr frame;
};
struct ShownPictures {
    ShownPicture cur, prev;
};
// Changed only by the two operations below.
extern ShownPictures &g_shown;
// Takes `fb` and `frame` over as the newest picture; the oldest of the three goes
// (framebuffer removed, frame freed).
void shown_hand_over(uint32_t fb, FramePtr frame);
// Both pictures go: no plane may scan out of them any more.
void shown_clear();
