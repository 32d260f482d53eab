// The virtual board's GPU, shared by its GBM half (sim/vgbm.cpp) and its EGL/GLES
// half (sim/vegl.cpp). Tests use sim/sim.h.
#pragma once

#include <cstddef>
#include <cstdint>

// True when ZYL_SIM_GPU_FAIL makes this call of `what` fail; every call is counted.
bool vgpu_fails(const char *what);
// Whether `dev` was made by the virtual board's gbm_create_device.
bool vgbm_is_device(const void *dev);
// The memory of a card buffer exported with drmPrimeHandleToFD, as the card maps it
// (the sim's own mapping: not to be unmapped); null for any other descriptor.
uint8_t *vcard_dmabuf_map(int prime_fd, size_t *len);
