// The one owner of the pictures on screen. A framebuffer is removed before the
// frame whose buffer it scans out of is freed.
#include <utility>

#include "app/shown.h"
#include "kms/kms.h"

// Never destroyed: the last pictures stay on screen until the process has ended.
ShownPictures &g_shown = *new ShownPictures;

namespace {

// Framebuffers first, then the frame they scan out of.
void release(ShownPicture &p) {
    p.fb.reset();
    for (FbId &fb : p.more) fb.reset();
    p.frame = nullptr;
}

}  // namespace

void shown_hand_over(FbId fb, FramePtr frame, std::span<const uint32_t> more) {
    release(g_shown.prev);
    g_shown.prev = std::move(g_shown.cur);
    g_shown.cur.frame = std::move(frame);
    g_shown.cur.fb = std::move(fb);
    for (size_t i = 0; i < g_shown.cur.more.size(); i++)
        g_shown.cur.more[i] = i < more.size() && more[i] ? FbId(more[i], drm_fd) : FbId();
}

void shown_clear() {
    release(g_shown.cur);
    release(g_shown.prev);
}
