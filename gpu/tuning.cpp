// Tuning values of the correction pass, with their defaults. Start-up sets them
// from the environment; the live tuning file changes them while running.
#include "gpu/gpu.h"

int g_dewarp = 0;
float g_dw_k1 = -0.15f, g_dw_k2 = 0.0f, g_dw_k3 = 0.0f;
float g_dw_cx = 0.5f, g_dw_cy = 0.5f;
float g_dw_strength = 1.0f, g_dw_zoom = 1.0f, g_dw_vscale = 1.0f;
int g_colorgrade = 0;
float g_cg_bright = 0.0f, g_cg_contrast = 1.0f, g_cg_sat = 1.0f, g_cg_temp = 0.0f;
int g_antiflicker = 0;
char g_lut_path[512];
float g_lut_mix = 1.0f;
uint64_t g_rot_val = 0;
