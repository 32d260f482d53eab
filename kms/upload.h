// Software frames on the card: a decoder that hands out pictures in its own memory
// (no DMA-BUF) has them copied into a few NV12 dumb buffers that a plane scans out.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "kms/dumb.h"

struct AVFrame;

// One NV12 scan-out buffer, with the framebuffer over it.
using UploadSlot = DumbBuffer;

// Whoever holds a lease keeps its slot from being written: the pictures on screen
// hold one for as long as a plane may scan out of it. The slot's framebuffer goes
// with the last lease.
using UploadLease = std::shared_ptr<const UploadSlot>;

// The slots for one picture size. A slot is free while the pool holds the only
// reference to it. A new size drops them all; the leased ones live on with their
// holders.
struct UploadPool {
    static constexpr int kSlots = 4;
    std::array<std::shared_ptr<UploadSlot>, kSlots> slots;
    int w = 0, h = 0;
    bool busy_said = false, refused_said = false;
};

// The frame formats the copy takes (NV12 and YUV420P).
bool upload_takes(int av_format);
// Copies software frame `frame` (a format upload_takes) into a free slot of the
// card `fd`; null when every slot is leased or the card refused a buffer (said once).
UploadLease upload_frame(UploadPool &pool, int fd, const AVFrame &frame);
// Copies the picture's NV12 or YUV420P planes into an NV12 buffer of `pitch` whose
// chroma rows start at `uv`: one pass over each row.
void copy_to_nv12(const AVFrame &frame, uint8_t *y, uint8_t *uv, uint32_t pitch);
