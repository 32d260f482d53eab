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
#include "base/own.h"

// The frame is declared first so that it outlives the framebuffers over it.
struct ShownPicture {
    FramePtr frame;
    FbId fb;                   // empty: none
    std::array<FbId, 3> more;  // pictures of the same frame for other flips
};
struct ShownPictures {
    ShownPicture cur, prev;
};
// Changed only by the two operations below.
// Takes `frame` and its pictures `fbs` over as the newest picture: `fbs[0]` is output
// 0's, the rest those for outputs with other flips (empty ones are skipped). The
// oldest of the three goes (framebuffers removed, frame freed).
void shown_hand_over(ShownPictures &shown, FramePtr frame, std::span<FbId> fbs);
// Both pictures go: no plane may scan out of them any more.
void shown_clear(ShownPictures &shown);
