// The one owner of the pictures on screen. A framebuffer is removed before the
// frame whose buffer it scans out of is freed.
#include <algorithm>
#include <utility>

#include "app/shown.h"

namespace {

// Framebuffers first, then the frame they scan out of.
void release(ShownPicture &p) {
    p.fb.reset();
    for (FbId &fb : p.more) fb.reset();
    p.copy = nullptr;
    p.frame = nullptr;
    p.seq = 0;
}

bool held(const ShownPictures &shown, uint64_t seq) {
    if (seq == shown.seq) return true;
    for (size_t i = 0; i < shown.given.size(); i++)
        if (shown.given[i] == seq || shown.before[i] == seq) return true;
    return false;
}

}  // namespace

void shown_hand_over(ShownPictures &shown, FramePtr frame, std::span<FbId> fbs, UploadLease copy,
                     uint32_t given) {
    const uint64_t seq = ++shown.seq;
    for (size_t i = 0; i < shown.given.size(); i++) {
        if (!(given >> i & 1)) continue;
        shown.before[i] = shown.given[i];
        shown.given[i] = seq;
    }
    for (ShownPicture &p : shown.pics)
        if (p.seq && !held(shown, p.seq)) release(p);
    // A free slot is there: the held pictures are at most two per output.
    ShownPicture &cur = *std::find_if(shown.pics.begin(), shown.pics.end(),
                                      [](const ShownPicture &p) { return p.seq == 0; });
    cur.seq = seq;
    cur.frame = std::move(frame);
    cur.copy = std::move(copy);
    if (!fbs.empty()) cur.fb = std::move(fbs[0]);
    size_t n = 0;
    for (FbId &fb : fbs.subspan(std::min<size_t>(1, fbs.size())))
        if (fb && n < cur.more.size()) cur.more[n++] = std::move(fb);
}

void shown_clear(ShownPictures &shown) {
    for (ShownPicture &p : shown.pics) release(p);
    shown.given.fill(0);
    shown.before.fill(0);
}

const ShownPicture &shown_newest(const ShownPictures &shown) {
    static const ShownPicture none;
    for (const ShownPicture &p : shown.pics)
        if (p.seq && p.seq == shown.seq) return p;
    return none;
}

int shown_frames(const ShownPictures &shown) {
    int n = 0;
    for (const ShownPicture &p : shown.pics) n += p.frame != nullptr;
    return n;
}
