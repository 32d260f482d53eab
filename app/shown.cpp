// The one owner of the pictures on screen. A framebuffer is removed before the
// frame whose buffer it scans out of is freed.
#include <utility>

#include "app/shown.h"

namespace {

// Framebuffers first, then the frame they scan out of.
void release(ShownPicture &p) {
    p.fb.reset();
    for (FbId &fb : p.more) fb.reset();
    p.frame = nullptr;
}

}  // namespace

void shown_hand_over(ShownPictures &shown, FbId fb, FramePtr frame,
                     std::span<const uint32_t> more) {
    const int card = fb.context();
    release(shown.prev);
    shown.prev = std::move(shown.cur);
    shown.cur.frame = std::move(frame);
    shown.cur.fb = std::move(fb);
    for (size_t i = 0; i < shown.cur.more.size(); i++)
        shown.cur.more[i] = i < more.size() && more[i] ? FbId(more[i], card) : FbId();
}

void shown_clear(ShownPictures &shown) {
    release(shown.cur);
    release(shown.prev);
}
