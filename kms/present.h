// The video plane: what an output's NV12 plane shows. A framebuffer goes on it
// with a placement, by the legacy call or as one atomic request with the commit
// flags the caller chooses; it can be switched off, or given the standby buffer
// back. These only talk to the card: which call, which flags and what to do when
// the card refuses are the presentation loop's to decide.
#pragma once

#include <cstdint>

struct KmsOutput;

struct Rect {
    int x, y, w, h;
    bool operator==(const Rect &) const = default;
};
// Largest rectangle of aspect `A` centred in W x H; the whole area when A is not positive.
Rect fit_dest(int W, int H, double A);
struct Placement {
    Rect dst;  // screen pixels
    Rect src;  // picture pixels
};

// Shows framebuffer `fb` on the output's video plane with the legacy call. 0 or
// the card's error.
int video_plane_set(const KmsOutput &o, uint32_t fb, const Placement &p);
// The same as one atomic request with `flags` (DRM_MODE_ATOMIC_*); fb 0 switches
// the plane off. With `with_menu` the output's pending overlay update goes in the
// same request (the caller records the hand-over). 0 or a negative error.
int video_plane_commit(const KmsOutput &o, uint32_t fb, const Placement &p, uint32_t flags,
                       bool with_menu = false);
// Brings the standby picture back: a primary video plane shows the standby buffer
// over the whole screen again, any other video plane is switched off so that the
// primary beneath shows through. Blocking, atomic or legacy.
int video_plane_standby(const KmsOutput &o, bool atomic);

// Rotation value for a flip ("h", "v", "180") on a plane with these rotation
// capabilities; 0 when the plane cannot do it.
uint64_t plane_rotation_value(Flip flip, uint64_t caps);
// Sets the video plane's rotation property. 0 or the card's error.
int video_plane_rotate(const KmsOutput &o, uint64_t value);
