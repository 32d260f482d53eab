// GPU correction pass: tuning values read on every frame by the correction shader.
#pragma once

#include <cstdint>

extern int g_dewarp;
extern float g_dw_k1, g_dw_k2, g_dw_k3, g_dw_cx, g_dw_cy, g_dw_strength, g_dw_zoom, g_dw_vscale;
extern int g_colorgrade;
extern float g_cg_bright, g_cg_contrast, g_cg_sat, g_cg_temp;
extern int g_antiflicker;
extern char g_lut_path[512];
extern float g_lut_mix;
extern uint64_t g_rot_val;
