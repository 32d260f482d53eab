// The pictures on screen: the newest one put on the video planes and the one it
// replaced, which a plane may still scan out until the flip to the newest has
// landed. Each is a framebuffer, imported from the decoded frame or rendered from
// it by the GPU pass (whose framebuffers are the caller's), and the decoded frame.
// Both live until a newer picture replaces them or the video leaves every screen.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "app/mailbox.h"

struct ShownPicture {
    uint32_t fb;                   // 0: none
    std::array<uint32_t, 3> more;  // pictures of the same frame for other flips; 0: none
    FramePtr frame;
};
struct ShownPictures {
    ShownPicture cur, prev;
};
// Changed only by the two operations below.
extern ShownPictures &g_shown;
// Takes `fb` (and `more`, the frame's pictures for outputs with other flips) and `frame`
// over as the newest picture; the oldest of the three goes (framebuffers removed, frame
// freed).
void shown_hand_over(uint32_t fb, FramePtr frame, std::span<const uint32_t> more = {});
// Both pictures go: no plane may scan out of them any more.
void shown_clear();
