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
#include "kms/upload.h"

// The frame and the copy's lease are declared first so that they outlive the
// framebuffers over them.
struct ShownPicture {
    FramePtr frame;
    UploadLease copy;  // a software frame's scan-out copy; null: none
    FbId fb;           // empty: none
    // Pictures of the same frame for other flips (3 at most) and for outputs whose
    // overlay the GPU pass drew over it (4 at most).
    std::array<FbId, 7> more;
};
struct ShownPictures {
    ShownPicture cur, prev;
};
// Changed only by the two operations below.
// Takes `frame` and its pictures `fbs` over as the newest picture: `fbs[0]` is output
// 0's, the rest those for outputs with other flips (empty ones are skipped). The
// oldest of the three goes (framebuffers removed, frame freed). A software frame's
// picture is its scan-out copy `copy`, whose framebuffer the outputs show.
void shown_hand_over(ShownPictures &shown, FramePtr frame, std::span<FbId> fbs,
                     UploadLease copy = nullptr);
// Both pictures go: no plane may scan out of them any more.
void shown_clear(ShownPictures &shown);
