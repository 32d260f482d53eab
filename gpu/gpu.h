// GPU correction pass: dewarp, colour grade, anti-flicker and flip in one render,
// the tuning values its shader reads on every frame, and each output's aspect, fit
// and flip taken from the global settings. Start-up sets the values; the
// presentation loop sends a frame through the pass when any of them asks for it,
// and shows the frame directly when the pass returns nothing.
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

// Gives every output the global aspect, fit and flip, or the panel's own overrides.
void apply_output_overrides();

struct AVDRMFrameDescriptor;
// The correction pass: renders the frame into a scan-out buffer of the render ring
// and returns a new framebuffer owned by the caller, or 0 (the frame is then shown
// uncorrected).
uint32_t gl_dewarp_fb(const AVDRMFrameDescriptor *desc, int w, int h);
// Size of the pictures the pass renders.
void gl_render_size(int *w, int *h);
