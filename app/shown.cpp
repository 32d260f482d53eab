// The one owner of the pictures on screen. A framebuffer is removed before the
// frame whose buffer it scans out of is freed.
#include <utility>

#include <xf86drmMode.h>

#include "app/shown.h"
#include "kms/kms.h"

// Never destroyed: the last pictures stay on screen until the process has ended.
ShownPictures &g_shown = *new ShownPictures;

void shown_hand_over(uint32_t fb, FramePtr frame) {
    if (g_shown.prev.fb) drmModeRmFB(drm_fd, g_shown.prev.fb);
    g_shown.prev = std::move(g_shown.cur);
    g_shown.cur = {fb, std::move(frame)};
}

void shown_clear() {
    for (const ShownPicture *p : {&g_shown.cur, &g_shown.prev})
        if (p->fb) drmModeRmFB(drm_fd, p->fb);
    g_shown = {};
}
