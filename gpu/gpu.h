// GPU correction pass: every decoded frame can be rendered through one fragment
// shader (mirror, lens dewarp, anti-flicker, colour grade, 3D LUT) into a ring of
// scan-out buffers; the tuning values it reads on every frame, the live tuning
// file that changes them, and each output's aspect, fit and flip taken from the
// global settings. Everything here runs on the main thread, which alone holds
// the GL context.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/own.h"
#include "kms/files.h"
#include "kms/look.h"

// ---- settings: start-up takes them from the configuration, the live tuning file
// changes them; the pass reads them on every frame ----
// How frames are paced: on arrival, on the vblank grid with a reserve frame, or on
// the grid by their arrival phase (the loop's pacing acts on it).
enum class Pacing : uint8_t { kOnArrival, kVblank, kPhase };
// Each output's look as the words given: the global ones and the DSI panel's own
// (unset: none; an empty one overrides nothing either).
struct LookSettings {
    std::string aspect = "keep", fit = "fit", flip = "none";
    std::optional<std::string> aspect_dsi, fit_dsi, flip_dsi;
    bool telemetry_dsi = false;
};
struct LensTuning {
    bool on = false;
    float k1 = -0.15f, k2 = 0.0f, k3 = 0.0f, cx = 0.5f, cy = 0.5f;
    float strength = 1.0f, zoom = 1.0f, vscale = 1.0f;
};
struct GradeTuning {
    bool on = false;
    float bright = 0.0f, contrast = 1.0f, sat = 1.0f, temp = 0.0f;
};
// Everything the live tuning file may change, and the correction steps beside it.
struct Tuning {
    LensTuning lens;
    GradeTuning grade;
    bool antiflicker = false;
    std::string lut_path;  // empty: no table
    bool lut_on = false;   // "lut = -" switches the step off, keeping the path
    float lut_mix = 1.0f;
    LookSettings look;
    Pacing pacing = Pacing::kVblank;
};
// The pass's own start-up settings.
struct GpuSettings {
    std::string gl_size;  // ZYL_KMS_GL_SIZE as given; empty: the source's size
    std::string tuning_file = "/run/zyl-fpv/dewarp";
};

// Output `i`'s look from the settings: the global words, or the DSI panel's own. `line`
// is what to say when the panel overrides any (empty otherwise).
struct OutputLook {
    Look look;
    std::string line;
};
OutputLook output_look(const LookSettings &s, int i, bool is_dsi);

// ---- live tuning file ----
// The next tuning after the file's text, applied line by line as it comes. `outputs`:
// an aspect, fit or flip line was among them (the outputs' looks are then worked out
// again); `lut_changed`: another table file was named (the next frame loads it).
// What to say: the refused values in order, then, once the outputs are set again,
// the summary.
struct TuningStep {
    Tuning next;
    bool outputs = false;
    bool lut_changed = false;
    std::vector<std::string> refused;
    std::string summary;
};
TuningStep tuning_step(const Tuning &now, std::string_view text);
// What is known of the tuning file before it was first looked at.
WatchedFile tuning_file_watch();
// The file's text when it changed since `file` was last looked at, else nothing (a
// version that could not be used is not read again; the reason is said once).
std::optional<std::string> tuning_file_poll(WatchedFile &file, const std::string &path);

// ---- 3D LUT ----
extern char g_lut_path[512];
extern int g_lut_on;
extern int g_lut_n;  // edge length of the loaded table; 0 (the step off) until one loads
// Loads g_lut_path into the LUT texture (GL context current). 0, or -1 with a line.
int lut_load();
// g_lut_path names another file: the next frame loads it (the old table stays until
// then, and when the new file gives none).
void lut_path_changed();

// ---- the pass ----
// The card the pass renders for and makes its framebuffers on; before the first pass.
void gl_use_card(int fd);
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
PassFrame gl_dewarp_fbs(const GpuSettings &s, const Tuning &t, const AVDRMFrameDescriptor *desc,
                        int w, int h, std::span<const Flip> flips, std::span<uint32_t> fbs);
// The same for one picture mirrored by `flip`: its framebuffer, 0 when the frame must
// be shown uncorrected.
uint32_t gl_dewarp_fb(const GpuSettings &s, const Tuning &t, const AVDRMFrameDescriptor *desc,
                      int w, int h, Flip flip);
// Binds the program, uniforms and source of the last frame drawn, mirrored by `flip`,
// for one more draw of the same picture into another target.
void gl_bind_correction(const Tuning &t, Flip flip);
// Writes the frame's first picture (at the render size) as a P6 picture.
void gl_snapshot(const PassFrame &f);
// Chooses the render size for a source (`size`: ZYL_KMS_GL_SIZE) into g_gl_w, g_gl_h.
void gl_render_size(const std::string &size, int src_w, int src_h);
