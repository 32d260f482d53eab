// Overlays drawn over the video by the GPU pass on outputs without an overlay plane.
#include "app/compose.h"

#include "app/placement.h"
#include "gpu/gpu.h"
#include "kms/kms.h"

uint32_t composed_outputs(std::span<const ComposeInput> outs, bool pass_can_run) {
    uint32_t mask = 0;
    for (size_t i = 0; pass_can_run && i < outs.size() && i < size_t(kGlMaxComposed); i++)
        if (outs[i].sidebar && outs[i].surface && outs[i].overlay_up) mask |= 1u << i;
    return mask;
}

uint32_t outputs_to_compose(const Display &d, const GpuPass &pass) {
    ComposeInput in[kMaxOutputs];
    for (int i = 0; i < d.nout; i++) {
        const KmsOutput &o = d.outs[i];
        in[i] = {o.sidebar != 0, bool(o.menu_dmabuf), o.menu_shown != 0};
    }
    return composed_outputs({in, size_t(d.nout)}, pass.ready != -1);
}

void compose_outputs(GpuPass &pass, const Display &d, uint32_t mask, uint32_t overlaid,
                     std::span<const unsigned> picture_tex, std::span<FbId> out) {
    ComposeJob jobs[kGlMaxComposed];
    int of_job[kGlMaxComposed];
    size_t n = 0;
    for (int i = 0; i < d.nout && size_t(i) < picture_tex.size(); i++) {
        if (!(mask >> i & 1) || n == kGlMaxComposed) continue;
        const KmsOutput &o = d.outs[i];
        const int W = o.mode.hdisplay, H = o.mode.vdisplay;
        // Where the video plane would show the picture, overlay or not.
        const Placement p = place_video({W, H, false, o.look, pass.w, pass.h});
        // An overlay plane shows the overlay of an output that is here for its video.
        const int fd = overlaid >> i & 1 ? o.menu_dmabuf.get() : -1;
        const OverlayImage overlay{fd, W, H, o.menu[0].pitch, o.menu_premul != 0, o.menu_drawn};
        jobs[n] = {i, picture_tex[size_t(i)], p.dst, p.src, overlay};
        of_job[n++] = i;
    }
    FbId fbs[kGlMaxComposed];
    gl_compose_fbs(pass, {jobs, n}, {fbs, n});
    for (size_t k = 0; k < n; k++)
        if (size_t(of_job[k]) < out.size()) out[size_t(of_job[k])] = std::move(fbs[k]);
}
