// The pictures on screen: the newest one put on the video planes and those a plane
// may still scan out until its flip to a newer one has landed. Each is a
// framebuffer, imported from the decoded frame or rendered from it by the GPU pass
// (whose framebuffers are the caller's), and the decoded frame. They live until no
// output may show them any more or the video leaves every screen.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "app/mailbox.h"
#include "base/own.h"
#include "kms/kms.h"
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
    uint64_t seq = 0;  // its hand-over's number; 0: the slot is empty
};
// Each output holds the picture it was last given and the one before, which it may
// scan out until the flip to the newer has landed. An output that let a frame pass
// (its flip still pending) or failed one is behind the others: what it still shows
// is kept for it. So at most two per output and the newest live at once.
struct ShownPictures {
    std::array<ShownPicture, 2 * kMaxOutputs + 1> pics;
    uint64_t seq = 0;  // the newest picture's number
    std::array<uint64_t, kMaxOutputs> given{}, before{};
};
// Changed only by the two operations below.
// Takes `frame` and its pictures `fbs` over as the newest picture: `fbs[0]` is output
// 0's, the rest those for outputs with other flips (empty ones are skipped). The
// outputs in `given` took it; a picture no output may still show goes (framebuffers
// removed, frame freed). A software frame's picture is its scan-out copy `copy`, whose
// framebuffer the outputs show.
void shown_hand_over(ShownPictures &shown, FramePtr frame, std::span<FbId> fbs,
                     UploadLease copy = nullptr, uint32_t given = ~0u);
// Every picture goes: no plane may scan out of them any more.
void shown_clear(ShownPictures &shown);
// The newest picture (an empty one when there is none).
const ShownPicture &shown_newest(const ShownPictures &shown);
// Decoded frames held.
int shown_frames(const ShownPictures &shown);
