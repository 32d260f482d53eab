// Video placement: aspect, fit, cover alignment, stretch and the sidebar area.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "app/placement.h"

void PrintTo(const Rect &r, std::ostream *os) {
    *os << "(" << r.x << ", " << r.y << ", " << r.w << ", " << r.h << ")";
}

namespace {

Placement place(int W, int H, const char *aspect, const char *fit, int sw, int sh,
                bool sidebar = false, const char *flip = "none") {
    return place_video(
        {W, H, sidebar, {parse_aspect(aspect), parse_fit(fit), parse_flip(flip)}, sw, sh});
}

TEST(FitDest, LargestCentredRectangle) {
    EXPECT_EQ(fit_dest(1920, 1080, 4.0 / 3.0), (Rect{240, 0, 1440, 1080}));
    EXPECT_EQ(fit_dest(1280, 1024, 16.0 / 9.0), (Rect{0, 152, 1280, 720}));
    EXPECT_EQ(fit_dest(800, 480, 0), (Rect{0, 0, 800, 480}));
    EXPECT_EQ(fit_dest(800, 480, NAN), (Rect{0, 0, 800, 480}));
    EXPECT_EQ(fit_dest(0, 480, 1.5), (Rect{0, 0, 0, 480}));
    EXPECT_EQ(fit_dest(1920, 1080, 16.0 / 9.0), (Rect{0, 0, 1920, 1080}));
}

TEST(Placement, KeepUsesThePicturesOwnShape) {
    for (const char *fit : {"fit", "stretch"}) {
        Placement p = place(1920, 1080, "keep", fit, 1280, 720);
        EXPECT_EQ(p.dst, (Rect{0, 0, 1920, 1080})) << fit;
        EXPECT_EQ(p.src, (Rect{0, 0, 1280, 720})) << fit;
    }
    // A 4:3 picture on a 16:9 screen: bars left and right, also with an unknown aspect text.
    EXPECT_EQ(place(1920, 1080, "bogus", "fit", 640, 480).dst, (Rect{240, 0, 1440, 1080}));
}

TEST(Placement, FourThreeAreaStretchFitCover) {
    Placement s = place(1920, 1080, "4:3", "stretch", 1920, 1080);
    EXPECT_EQ(s.dst, (Rect{240, 0, 1440, 1080}));
    EXPECT_EQ(s.src, (Rect{0, 0, 1920, 1080}));
    Placement f = place(1920, 1080, "4:3", "fit", 1920, 1080);
    EXPECT_EQ(f.dst, (Rect{240, 135, 1440, 810}));
    Placement c = place(1920, 1080, "4:3", "cover", 1920, 1080);
    EXPECT_EQ(c.dst, (Rect{240, 0, 1440, 1080}));
    EXPECT_EQ(c.src, (Rect{240, 0, 1440, 1072}));
}

TEST(Placement, CoverCropsTopAndBottomAligned) {
    Placement c = place(1920, 1080, "16:9", "cover", 640, 480);
    EXPECT_EQ(c.dst, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(c.src, (Rect{0, 48, 640, 352}));
    // 16:10 panel area, tiny picture: the crop never goes below 16 and stays inside.
    Placement t = place(1280, 800, "16:10", "cover", 20, 10);
    EXPECT_GE(t.src.w, 16);
    EXPECT_GE(t.src.h, 16);
    EXPECT_GE(t.src.x, 0);
    EXPECT_GE(t.src.y, 0);
}

TEST(Placement, SidebarAreaMovesWithTheFlip) {
    // A picture of the area's own shape shows the area itself.
    for (auto [flip, x] : {std::pair{"none", 360}, {"h", 0}, {"180", 0}, {"v", 360}})
        EXPECT_EQ(place(1280, 800, "keep", "fit", 920, 800, true, flip).dst, (Rect{x, 0, 920, 800}))
            << flip;
    // Without the menu the whole width is used.
    EXPECT_EQ(place(1280, 800, "keep", "fit", 1280, 800, false).dst, (Rect{0, 0, 1280, 800}));
    // Fit inside the reduced area keeps the offset.
    EXPECT_EQ(place(1280, 800, "keep", "fit", 1920, 1080, true).dst, (Rect{360, 141, 920, 518}));
}

TEST(Placement, ZeroPictureHeightUsesTheWholeArea) {
    EXPECT_EQ(place(1920, 1080, "keep", "stretch", 640, 0).dst, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(place(1920, 1080, "keep", "cover", 640, 0).dst, (Rect{0, 0, 1920, 1080}));
    // Inside that area the picture counts as square.
    EXPECT_EQ(place(1920, 1080, "keep", "fit", 640, 0).dst, (Rect{420, 0, 1080, 1080}));
}

}  // namespace

TEST(Placement, ClampedToThePlanesEnlargementKeepingShapeAndCentre) {
    const Placement p{{480, 0, 2880, 2160}, {0, 0, 320, 240}};
    EXPECT_EQ(clamp_to_scale(p, 8).dst, (Rect{640, 120, 2560, 1920}));
    EXPECT_EQ(clamp_to_scale(p, 8).src, p.src);
    EXPECT_EQ(clamp_to_scale(p, 9).dst, p.dst) << "within the limit: unchanged";
    // A stretched placement keeps its own shape, limited by its larger enlargement.
    const Placement s{{0, 0, 1920, 1080}, {0, 0, 320, 240}};
    EXPECT_EQ(clamp_to_scale(s, 4).dst, (Rect{320, 180, 1280, 720}));
    EXPECT_EQ(clamp_to_scale(s, 0).dst, s.dst) << "no limit known";
}
