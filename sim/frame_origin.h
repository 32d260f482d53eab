// Where a decoded picture came from, for the virtual card: the decoder notes when it
// handed each DRM PRIME frame out, keyed by the inode of the frame's memfd, so the card
// can tell how long the program took to put that picture on screen. Internal to sim/.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct FrameOrigin {
    uint64_t seq = 0;    // 1 for the first frame handed out, counting every context
    int64_t dlv_us = 0;  // CLOCK_MONOTONIC when avcodec_receive_frame returned it
};

// False when no live decoder frame has this memfd inode.
bool sim_frame_origin(ino_t ino, FrameOrigin *out);

// True when a framebuffer over this imported memfd inode is on a plane of the card
// now: the decoder asks before it writes a new picture into a recycled buffer.
bool sim_card_inode_on_plane(ino_t ino);
