// Standby screen: the still picture every output shows while no video is shown,
// painted into the output's standby buffer (the XR24 buffer on its CRTC) from the
// picture file, fitted or stretched and mirrored like the video. The file is read
// and decoded again only when it changed (its size, inode or time) or a buffer of
// another size or fit asks for it: a repaint otherwise only composes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kms/files.h"
#include "kms/kms.h"
#include "kms/look.h"
#include "kms/present.h"

struct StandbySettings {
    std::string path = "/opt/zyl-fpv/standby.png";  // the picture file
};

// The picture as one buffer size and fit need it, scaled once: a repaint (the connect
// file changing ten times a second, video hidden and shown again) only copies it into
// place. It is made again when the file's version, the size or the fit changed; a
// failure is kept as well, so a broken file is not read again at every repaint.
struct ScaledStandby {
    FileVersion version;
    int w = 0, h = 0;
    bool stretch = false, made = false;
    Rect d{};
    std::vector<uint8_t> px;  // BGRA rows of d.w pixels; empty: nothing to paint
};

// The standby pictures' state, made by the process entry; main thread only.
struct Standby {
    StandbySettings settings;
    // The last failure printed: a file that stays broken is reported once, not at
    // every repaint of every output.
    std::string last_failure;
    std::array<ScaledStandby, kMaxOutputs> scaled;  // one per buffer size and fit in use
    size_t scaled_next = 0;                         // the entry a new size or fit takes
};

// Paints the picture file (PNG or JPEG by content) into a w x h buffer: letterboxed, or over the
// whole buffer when `fit` is "stretch". Every failure prints one line (once while it repeats) and
// leaves the buffer black.
void load_standby(Standby &sb, uint8_t *px, uint32_t stride, int w, int h, Fit fit);
// The complete standby picture of one buffer: the picture, the connect screen over it
// (its text in `font`) and the output's flip.
struct ConnectInfo;
struct ConnectSwitch;
struct Font;
void paint_standby(Standby &sb, const ConnectInfo &connect, ConnectSwitch &sw, Font *font,
                   uint8_t *px, uint32_t stride, int w, int h, Look look);
// Paints the output's standby buffer for its current flip and fit again and records
// them in its standby_look. While video is on screen the buffer, visible around the
// video, stays black: the picture is painted when the video is hidden. True when the
// buffer was painted.
bool repaint_standby(Standby &sb, const ConnectInfo &connect, ConnectSwitch &sw, Font *font,
                     KmsOutput &o, bool video_shown);
