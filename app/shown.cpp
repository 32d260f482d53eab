// The one owner of the pictures on screen. A framebuffer is removed before the
// frame whose buffer it scans out of is freed.
#include <algorithm>
#include <utility>

#include <xf86drmMode.h>

#include "app/shown.h"
#include "kms/kms.h"

// Never destroyed: the last pictures stay on screen until the process has ended.
ShownPictures &g_shown = *new ShownPictures;

namespace {

void remove_fbs(const ShownPicture &p) {
    if (p.fb) drmModeRmFB(drm_fd, p.fb);
    for (uint32_t fb : p.more)
        if (fb) drmModeRmFB(drm_fd, fb);
}

}  // namespace

void shown_hand_over(uint32_t fb, FramePtr frame, std::span<const uint32_t> more) {
    remove_fbs(g_shown.prev);
    g_shown.prev = std::move(g_shown.cur);
    g_shown.cur = {fb, {}, std::move(frame)};
    std::copy_n(more.begin(), std::min(more.size(), g_shown.cur.more.size()),
                g_shown.cur.more.begin());
}

void shown_clear() {
    remove_fbs(g_shown.cur);
    remove_fbs(g_shown.prev);
    g_shown = {};
}
