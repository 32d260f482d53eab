// The one owner of the pictures on screen. A framebuffer is removed before the
// frame whose buffer it scans out of is freed.
#include <utility>

#include "app/shown.h"

namespace {

// Framebuffers first, then the frame they scan out of.
void release(ShownPicture &p) {
    p.fb.reset();
    for (FbId &fb : p.more) fb.reset();
    p.copy = nullptr;
    p.frame = nullptr;
}

}  // namespace

void shown_hand_over(ShownPictures &shown, FramePtr frame, std::span<FbId> fbs, UploadLease copy) {
    release(shown.prev);
    shown.prev = std::move(shown.cur);
    shown.cur.frame = std::move(frame);
    shown.cur.copy = std::move(copy);
    if (!fbs.empty()) shown.cur.fb = std::move(fbs[0]);
    size_t n = 0;
    for (FbId &fb : fbs.subspan(std::min<size_t>(1, fbs.size())))
        if (fb && n < shown.cur.more.size()) shown.cur.more[n++] = std::move(fb);
}

void shown_clear(ShownPictures &shown) {
    release(shown.cur);
    release(shown.prev);
}
