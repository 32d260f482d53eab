// Kernel dumb buffers: memory of the card the CPU draws or copies into.
#pragma once

#include <cstdint>

#include "base/own.h"

// A kernel dumb buffer with its mapping (empty when mapping failed) and the
// framebuffer over it. Released framebuffer first, then the mapping, then the buffer.
struct DumbBuffer {
    DumbHandle handle;
    Mapping map;
    FbId fb;
    uint32_t pitch = 0;
    uint8_t *px() const { return static_cast<uint8_t *>(map.get()); }
};

// A zeroed, mapped buffer of `w` x `h` pixels of `bpp` bits, without a framebuffer;
// its handle or mapping is empty when the card refused (errno says why).
DumbBuffer dumb_create(int fd, uint32_t w, uint32_t h, uint32_t bpp = 32);
