// The virtual board's GPU, shared by its GBM half (sim/vgbm.cpp) and its EGL/GLES
// half (sim/vegl.cpp). Tests use sim/sim.h.
#pragma once

// True when ZYL_SIM_GPU_FAIL makes this call of `what` fail; every call is counted.
bool vgpu_fails(const char *what);
// Whether `dev` was made by the virtual board's gbm_create_device.
bool vgbm_is_device(const void *dev);
