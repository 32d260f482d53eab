// How an output shows its pictures: the word lists of the aspect, fit and flip
// settings, each parsed in one place, and what a flip mirrors.
#pragma once

#include <cstdint>
#include <string_view>

// Anything but "h", "v" or "180" is no flip.
enum class Flip : uint8_t { kNone, kH, kV, k180 };
// Anything but "stretch" or "cover" fits (letterboxes).
enum class Fit : uint8_t { kFit, kStretch, kCover };
// Anything but the three ratios keeps the picture's own.
enum class Aspect : uint8_t { kKeep, k16_9, k4_3, k16_10 };

constexpr Flip parse_flip(std::string_view w) {
    return w == "h" ? Flip::kH : w == "v" ? Flip::kV : w == "180" ? Flip::k180 : Flip::kNone;
}
constexpr Fit parse_fit(std::string_view w) {
    return w == "stretch" ? Fit::kStretch : w == "cover" ? Fit::kCover : Fit::kFit;
}
constexpr Aspect parse_aspect(std::string_view w) {
    return w == "16:9"    ? Aspect::k16_9
           : w == "4:3"   ? Aspect::k4_3
           : w == "16:10" ? Aspect::k16_10
                          : Aspect::kKeep;
}
constexpr const char *flip_word(Flip f) {
    constexpr const char *kWords[] = {"none", "h", "v", "180"};
    return kWords[int(f)];
}
constexpr const char *fit_word(Fit f) {
    constexpr const char *kWords[] = {"fit", "stretch", "cover"};
    return kWords[int(f)];
}
// Columns run right to left.
constexpr bool mirrors_x(Flip f) {
    return f == Flip::kH || f == Flip::k180;
}
// The column a sidebar output keeps free for the menu or a message while the video
// is narrowed beside it: at the left of the screen, at the right when columns are
// mirrored.
constexpr int kSidebarWidth = 360;
// Rows run bottom to top.
constexpr bool mirrors_y(Flip f) {
    return f == Flip::kV || f == Flip::k180;
}
// The width / height the aspect asks for; `picture` (the picture's own) for kKeep.
constexpr double aspect_ratio(Aspect a, double picture) {
    return a == Aspect::k16_9    ? 16.0 / 9.0
           : a == Aspect::k4_3   ? 4.0 / 3.0
           : a == Aspect::k16_10 ? 1.6
                                 : picture;
}
// How one output shows its video, its standby picture and its overlays.
struct Look {
    Aspect aspect = Aspect::kKeep;
    Fit fit = Fit::kFit;
    Flip flip = Flip::kNone;
    bool telemetry = false;  // the HUD is drawn over its overlays
    bool operator==(const Look &) const = default;
};
constexpr const char *aspect_word(Aspect a) {
    constexpr const char *kWords[] = {"keep", "16:9", "4:3", "16:10"};
    return kWords[int(a)];
}
// The DRM plane rotation value that mirrors like the flip (0 for none).
constexpr uint64_t flip_rotation(Flip f) {
    constexpr uint64_t kRot[] = {0, 0x11, 0x21, 0x4};
    return kRot[int(f)];
}
