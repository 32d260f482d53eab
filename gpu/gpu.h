// GPU correction pass: every decoded frame can be rendered through one fragment
// shader (mirror, lens dewarp, anti-flicker, colour grade, 3D LUT) into a ring of
// scan-out buffers; the tuning values it reads on every frame, the live tuning
// file that changes them, and each output's aspect, fit and flip taken from the
// global settings. Everything here runs on the main thread, which alone holds
// the GL context.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/own.h"
#include "kms/files.h"
#include "kms/look.h"
#include "kms/present.h"

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

// ---- the pass's state ----
struct GpuGl;  // the GL side (gpu/pass_state.h), made when the pass starts
// The correction pass, made by the process entry before the first frame and released
// before the card's fd is closed. The main thread alone touches it: it holds the GL
// context.
struct GpuPass {
    GpuPass();
    ~GpuPass();
    GpuPass(const GpuPass &) = delete;
    GpuPass &operator=(const GpuPass &) = delete;

    int card = -1;             // the display card it renders for, which the display owns
    int ready = 0;             // 0 not started, 1 ready, -1 off for the rest of the process
    int w = 0, h = 0;          // render size: of the ring buffers and of every framebuffer made
    int src_w = 0, src_h = 0;  // the source size the ring was built for
    // The 3D LUT: the table file, its switch (the pass start switches it on when a
    // path is set) and the edge length of the loaded table, 0 (the step off) until one
    // loads.
    std::string lut_path;
    bool lut_on = false;
    int lut_n = 0;
    // The version of lut_path last tried, loaded or not: a file is read once per
    // change (a rewrite within one second included), and one missing at the start is
    // loaded when it appears.
    FileVersion lut_seen;
    std::unique_ptr<GpuGl> gl;
};

// ---- 3D LUT ----
// The table file to use from now on (at most 511 bytes of it, as the setting allows).
void lut_set_path(GpuPass &p, const std::string &path);
// Loads p.lut_path into the LUT texture (GL context current); false with a line.
bool lut_load(GpuPass &p);
// The path names another file: the next frame loads it (the old table stays until
// then, and when the new file gives none).
void lut_path_changed(GpuPass &p);

// ---- the pass ----
struct AVDRMFrameDescriptor;
// Each picture a frame gets (one per distinct flip of the outputs) has four buffers
// (gpu/pass_state.h).
constexpr int kGlMaxPictures = 4;  // flips: none, h, v, 180
constexpr int kGlMaxOutputs = kGlMaxPictures * 2;
// One frame through the pass: its distinct pictures, each a new framebuffer, and which
// of them each output gets. The source stays imported while this lives, so that the
// frame's copies (snapshot, SPI display) can draw from it after the pass.
struct PassFrame {
    int pictures = 0;          // distinct pictures made; 0: the frame must be shown uncorrected
    FbId fbs[kGlMaxPictures];  // the pictures, output 0's first
    int of_output[kGlMaxOutputs] = {};  // index into fbs of each output's picture
    unsigned target = 0;  // framebuffer object holding output 0's picture; 0: nothing drawn
    unsigned tex[kGlMaxPictures] = {};  // the texture holding each picture
    EglImage source;
};
// Renders the decoded frame `desc` (w x h) once for each distinct flip of the outputs
// (`flips`, one per output, the first kGlMaxOutputs of them) into the next ring
// buffers; outputs whose flips mirror alike share a picture. Starts the pass on the
// first call and rebuilds the ring when the source size changes.
PassFrame gl_dewarp_fbs(GpuPass &p, const GpuSettings &s, const Tuning &t,
                        const AVDRMFrameDescriptor *desc, int w, int h,
                        std::span<const Flip> flips);
// The same for one picture mirrored by `flip`: its framebuffer, empty when the frame
// must be shown uncorrected.
FbId gl_dewarp_fb(GpuPass &p, const GpuSettings &s, const Tuning &t,
                  const AVDRMFrameDescriptor *desc, int w, int h, Flip flip);
// Binds the program, uniforms and source of the last frame drawn, mirrored by `flip`,
// for one more draw of the same picture into another target.
void gl_bind_correction(GpuPass &p, const Tuning &t, Flip flip);
// Writes the frame's first picture (at the render size) as a P6 picture.
void gl_snapshot(const GpuPass &p, const PassFrame &f);
// Chooses the render size for a source (`size`: ZYL_KMS_GL_SIZE) into p.w, p.h.
void gl_render_size(GpuPass &p, const std::string &size, int src_w, int src_h);

// ---- overlays drawn over the video ----
// Outputs whose overlay the pass can draw over their video, each with its own ring.
constexpr int kGlMaxComposed = 4;
// An output's overlay surface as the pass reads it: 32-bit ARGB (DRM_FORMAT_ARGB8888)
// pixels in a dma-buf, laid out at the output's mode size.
struct OverlayImage {
    int fd = -1;  // the dma-buf, which the caller keeps open
    int w = 0, h = 0;
    uint32_t pitch = 0;
    bool premultiplied = false;  // colours already multiplied by their alpha
    uint64_t version = 0;        // changes with its pixels: the pass reads them again
};
// One output's picture composed at its mode size (the overlay's): the part `src` of
// the frame's picture `picture_tex` (p.w x p.h) drawn into `dst` on black, the overlay
// over the whole of it.
struct ComposeJob {
    int ring = 0;  // the output's index: each has its own ring of buffers
    unsigned picture_tex = 0;
    Rect dst, src;
    OverlayImage overlay;
};
// Draws each job into the next buffer of its ring and hands out a framebuffer per job
// (empty for one that failed: that output shows its picture without the overlay).
// The GL pass must be ready and have drawn the frame's pictures.
void gl_compose_fbs(GpuPass &p, std::span<const ComposeJob> jobs, std::span<FbId> out);
