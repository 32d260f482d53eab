// Which planes scan out which frames. A decoder's frames come in one fourcc and one
// layout (modifier): linear, or tiled as its hardware writes them. A plane lists the
// pairs it takes in its IN_FORMATS property; one without that property takes its
// formats linear only. The video goes to a plane that takes the decoder's pair, or,
// when no plane of the output's CRTC does, through the GPU pass, which imports the
// frame with its modifier.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct Display;

struct ScanFormat {
    uint32_t fourcc = 0;
    uint64_t modifier = 0;  // DRM_FORMAT_MOD_*; DRM_FORMAT_MOD_INVALID: the driver's own
    bool operator==(const ScanFormat &) const = default;
};

// What one plane of the card scans out.
struct PlaneFormats {
    uint32_t plane_id = 0;
    bool listed = false;            // from IN_FORMATS; otherwise the formats, linear
    std::vector<ScanFormat> pairs;  // modifier LINEAR for each format when not listed
};
// Whether the plane takes frames of `f`. A frame of no explicit modifier (INVALID)
// is taken by any plane listing its fourcc.
bool plane_takes(const PlaneFormats &plane, ScanFormat f);

enum class FormatRoute {
    kKeep,  // the video plane takes it
    kMove,  // another free plane of the CRTC does: `plane_id`
    kGpu,   // none does: the GPU pass draws it into a buffer the plane takes
};
struct FormatChoice {
    FormatRoute route;
    uint32_t plane_id;  // the plane to show it on; 0 with kGpu
};
// Where frames of `f` go on an output whose video plane is `current`, with `free`
// the CRTC's other unclaimed planes (best first).
FormatChoice route_frame_format(const PlaneFormats &current, std::span<const PlaneFormats> free,
                                ScanFormat f);

// The plane's pairs as the card lists them; no pairs when it is unreadable.
PlaneFormats read_plane_formats(int fd, uint32_t plane_id);

// Checks output `out_no`'s video plane against frames of `f` and moves its video to
// another unclaimed overlay or cursor plane of its CRTC that takes them. False when
// no plane of the CRTC does: then only the GPU pass can show them.
bool video_plane_fit(Display &d, int out_no, ScanFormat f);
// video_plane_fit for every output when `f` differs from the last frame's; true when
// some output can show frames of `f` only through the GPU pass.
bool video_planes_follow(Display &d, ScanFormat f);
