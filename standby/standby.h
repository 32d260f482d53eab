// Standby screen: the still picture every output shows while no video is shown,
// painted into the output's standby buffer (the XR24 buffer on its CRTC) from the
// picture file, fitted or stretched and mirrored like the video. The file is read
// and decoded again only when it changed (its size, inode or time) or a buffer of
// another size or fit asks for it: a repaint otherwise only composes.
#pragma once

#include <cstdint>
#include <string>

#include "kms/look.h"

struct KmsOutput;

struct StandbySettings {
    std::string path = "/opt/zyl-fpv/standby.png";  // the picture file
};
// Takes the settings the standby pictures follow from now on.
void standby_configure(const StandbySettings &s);

// Paints the picture file (PNG or JPEG by content) into a w x h buffer: letterboxed, or over the
// whole buffer when `fit` is "stretch". Every failure prints one line (once while it repeats) and
// leaves the buffer black.
void load_standby(uint8_t *px, uint32_t stride, int w, int h, Fit fit);
// The complete standby picture of one buffer: the picture and the output's flip.
void paint_standby(uint8_t *px, uint32_t stride, int w, int h, Look look);
// Paints the output's standby buffer for its current flip and fit again and records
// them in its standby_look. While video is on screen the buffer, visible around the
// video, stays black: the picture is painted when the video is hidden. True when the
// buffer was painted.
bool repaint_standby(KmsOutput &o, bool video_shown);
