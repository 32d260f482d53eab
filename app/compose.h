// Overlays over the video for outputs without an overlay plane: which outputs have
// the GPU pass draw their overlay surface over their picture this frame, and the
// drawing itself.
#pragma once

#include <cstdint>
#include <span>

#include "base/own.h"

struct Display;
struct GpuPass;

// What the choice knows of one output.
struct ComposeInput {
    bool sidebar;     // it has no overlay plane
    bool surface;     // it has an overlay surface the pass can read
    bool overlay_up;  // something is drawn on that surface
};
// Bit i: output i's overlay goes over its video through the pass. None when the pass
// cannot run, so those outputs keep the sidebar.
uint32_t composed_outputs(std::span<const ComposeInput> outs, bool pass_can_run);
// The same for the display's outputs.
uint32_t outputs_to_compose(const Display &d, const GpuPass &pass);
// Each output in `mask` gets its picture (`picture_tex[i]`, at the pass's render
// size) placed as on its video plane, and its overlay over it when it is in
// `overlaid`, in a buffer of its mode size: out[i], empty when that failed.
void compose_outputs(GpuPass &pass, const Display &d, uint32_t mask, uint32_t overlaid,
                     std::span<const unsigned> picture_tex, std::span<FbId> out);
