// GPU correction pass: every decoded frame can be rendered through one fragment
// shader (mirror, lens dewarp, anti-flicker, colour grade, 3D LUT) into a ring of
// scan-out buffers; the tuning values it reads on every frame, the live tuning
// file that changes them, and each output's aspect, fit and flip taken from the
// global settings. Everything here runs on the main thread, which alone holds
// the GL context.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "base/own.h"
#include "kms/look.h"

// ---- tuning, read on every frame: start-up sets it, the live tuning file changes it ----
extern int g_dewarp;
extern float g_dw_k1, g_dw_k2, g_dw_k3, g_dw_cx, g_dw_cy, g_dw_strength, g_dw_zoom, g_dw_vscale;
extern int g_colorgrade;
extern float g_cg_bright, g_cg_contrast, g_cg_sat, g_cg_temp;
extern int g_antiflicker;
extern uint64_t g_rot_val;  // plane rotation a flip needs; nonzero sends frames through the pass

// Gives every output the global aspect, fit and flip, or the panel's own overrides.
void apply_output_overrides();

// ---- 3D LUT ----
extern char g_lut_path[512];
extern int g_lut_on;
extern int g_lut_n;  // edge length of the loaded table; 0 (the step off) until one loads
extern float g_lut_mix;
// Loads g_lut_path into the LUT texture (GL context current). 0, or -1 with a line.
int lut_load();
// g_lut_path names another file: the next frame loads it (the old table stays until
// then, and when the new file gives none).
void lut_path_changed();

// ---- the pass ----
extern int g_gl_ready;      // 0 not started, 1 ready, -1 off for the rest of the process
extern int g_gl_w, g_gl_h;  // render size: of the ring buffers and of every framebuffer made
struct AVDRMFrameDescriptor;
// One frame through the pass. The source stays imported while this lives, so that the
// frame's copies (snapshot, SPI display) can draw from it after the pass.
struct PassFrame {
    int pictures = 0;     // distinct pictures made; 0: the frame must be shown uncorrected
    unsigned target = 0;  // framebuffer object holding output 0's picture; 0: nothing drawn
    EglImage source;
};
// Renders the decoded frame `desc` (w x h) once for each distinct flip of the outputs
// (`flips`, one per output) into the next ring buffers: `fbs[i]` gets output i's
// picture (outputs whose flips mirror alike share one), each a new framebuffer owned
// by the caller. Starts the pass on the first call and rebuilds the ring when the
// source size changes.
PassFrame gl_dewarp_fbs(const AVDRMFrameDescriptor *desc, int w, int h, std::span<const Flip> flips,
                        std::span<uint32_t> fbs);
// The same for one picture mirrored by `flip`: its framebuffer, 0 when the frame must
// be shown uncorrected.
uint32_t gl_dewarp_fb(const AVDRMFrameDescriptor *desc, int w, int h, Flip flip);
// Binds the program, uniforms and source of the last frame drawn, mirrored by `flip`,
// for one more draw of the same picture into another target.
void gl_bind_correction(Flip flip);
// Writes the frame's first picture (at the render size) as a P6 picture.
void gl_snapshot(const PassFrame &f);
// Chooses the render size for a source (ZYL_KMS_GL_SIZE) into g_gl_w, g_gl_h.
void gl_render_size(int src_w, int src_h);

// ---- live tuning file ----
extern char g_flip_dsi_live[8];
// Re-reads the tuning file when it changed (once per loop iteration); true when the
// outputs' aspect, fit or flip were set again (the overlays then follow the flip).
bool poll_dewarp();
