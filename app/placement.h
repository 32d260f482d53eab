// Video placement: where a picture goes on one output and which part of it is
// shown, as pure functions of the output's size and settings. The presentation
// loop places every frame with it; the panel commit takes its result.
#pragma once

#include "kms/look.h"
#include "kms/present.h"  // Rect, Placement

struct PlaceInput {
    int width, height;   // the output's mode
    bool sidebar_shown;  // sidebar output with the menu or a message up
    Look look;           // the output's
    int sw, sh;          // picture size
};
Placement place_video(const PlaceInput &in);
// The placement shrunk, keeping its shape and centre, so that the picture is shown at
// most `max_up` times larger than its source in each direction.
Placement clamp_to_scale(const Placement &p, int max_up);
// The placement with its source cropped about its centre, so that the picture is
// shown at most `max_down` times smaller than its source in each direction; the crop
// starts at an even column, as planes reading YUV need.
Placement crop_to_reduction(const Placement &p, int max_down);
