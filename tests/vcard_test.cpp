// The virtual display card, driven through the libdrm calls the program makes.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include "sim/sim.h"
#include "test_util.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Each {x, y, r, g, b}: the picture's colour there, within 3 levels.
void expect_rgb(const Picture &pic, std::initializer_list<std::array<int, 5>> points) {
    for (auto [x, y, r, g, b] : points) {
        auto c = pic.at(x, y);
        EXPECT_TRUE(std::abs(c[0] - r) <= 3 && std::abs(c[1] - g) <= 3 && std::abs(c[2] - b) <= 3)
            << "at " << x << "," << y << ": " << c[0] << "," << c[1] << "," << c[2];
    }
}

class VCard : public ::testing::Test {
  protected:
    int fd = -1;

    void SetUp() override {
        unsetenv("ZYL_SIM_CARD");
        unsetenv("ZYL_SIM_ROOT");
        sim_card_reset();
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        sim_card_reset();
        unsetenv("ZYL_SIM_CARD");
        unsetenv("ZYL_SIM_ROOT");
    }

    // Loads a card, opens it as the program does and takes the program's capabilities.
    void open_board(const std::string &path) {
        ASSERT_EQ(sim_card_load(path.c_str()), 0) << sim_card_error();
        open_card();
    }
    // Every plane as the pictures below were worked out for: BT.601, straight alpha.
    void bt601_straight() {
        drmModePlaneRes *res = drmModeGetPlaneResources(fd);
        for (uint32_t i = 0; res && i < res->count_planes; i++) {
            drmModeObjectProperties *props =
                drmModeObjectGetProperties(fd, res->planes[i], DRM_MODE_OBJECT_PLANE);
            for (uint32_t k = 0; props && k < props->count_props; k++) {
                drmModePropertyRes *pr = drmModeGetProperty(fd, props->props[k]);
                std::string name = pr ? pr->name : "";
                if (name == "COLOR_ENCODING" || name == "pixel blend mode")
                    drmModeObjectSetProperty(fd, res->planes[i], DRM_MODE_OBJECT_PLANE,
                                             props->props[k], name == "COLOR_ENCODING" ? 0 : 2);
                drmModeFreeProperty(pr);
            }
            drmModeFreeObjectProperties(props);
        }
        drmModeFreePlaneResources(res);
    }
    void open_text(const std::string &text) {
        ASSERT_EQ(sim_card_load_text(text.c_str()), 0) << sim_card_error();
        open_card();
    }
    void open_card() {
        fd = open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        drmSetMaster(fd);
        drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
        drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1);
    }

    // A dumb XR24/AR24 buffer mapped through the card descriptor, with its framebuffer.
    struct Dumb {
        uint32_t handle = 0, pitch = 0, fb = 0;
        uint64_t size = 0;
        uint32_t *px = nullptr;
    };
    Dumb dumb(uint32_t w, uint32_t h, uint32_t format, uint32_t fill) {
        Dumb d;
        drm_mode_create_dumb c{h, w, 32, 0, 0, 0, 0};
        EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &c), 0);
        drm_mode_map_dumb m{c.handle, 0, 0};
        EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &m), 0);
        void *map = mmap(nullptr, c.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(m.offset));
        EXPECT_NE(map, MAP_FAILED);
        d.handle = c.handle, d.pitch = c.pitch, d.size = c.size;
        d.px = static_cast<uint32_t *>(map);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) d.px[y * (d.pitch / 4) + x] = fill;
        uint32_t handles[4] = {c.handle}, pitches[4] = {c.pitch}, offsets[4] = {0};
        EXPECT_EQ(drmModeAddFB2(fd, w, h, format, handles, pitches, offsets, &d.fb, 0), 0);
        return d;
    }

    // An NV12 picture in a memfd laid out as the virtual decoder does, imported as a
    // framebuffer; the left half `left` (Y,U,V), the right half `right`.
    uint32_t nv12_fb(int w, int h, std::array<uint8_t, 3> left, std::array<uint8_t, 3> right,
                     int *memfd_out = nullptr, bool close_handle = false) {
        int pitch = (w + 63) & ~63, uv_off = pitch * h;
        std::vector<uint8_t> buf(size_t(pitch) * h * 3 / 2);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                auto &c = x < w / 2 ? left : right;
                buf[y * pitch + x] = c[0];
                buf[uv_off + (y / 2) * pitch + (x / 2) * 2] = c[1];
                buf[uv_off + (y / 2) * pitch + (x / 2) * 2 + 1] = c[2];
            }
        int mfd = memfd_create("frame", MFD_CLOEXEC);
        EXPECT_EQ(write(mfd, buf.data(), buf.size()), ssize_t(buf.size()));
        uint32_t handle = 0, fb = 0;
        EXPECT_EQ(drmPrimeFDToHandle(fd, mfd, &handle), 0);
        uint32_t handles[4] = {handle, handle}, pitches[4] = {uint32_t(pitch), uint32_t(pitch)};
        uint32_t offsets[4] = {0, uint32_t(uv_off)};
        uint64_t mods[4] = {DRM_FORMAT_MOD_LINEAR, DRM_FORMAT_MOD_LINEAR};
        EXPECT_EQ(drmModeAddFB2WithModifiers(fd, w, h, DRM_FORMAT_NV12, handles, pitches, offsets,
                                             mods, &fb, 0),
                  0);
        if (close_handle) {
            EXPECT_EQ(drmCloseBufferHandle(fd, handle), 0);
        }
        if (memfd_out)
            *memfd_out = mfd;
        else
            close(mfd);
        return fb;
    }

    uint32_t prop(uint32_t obj, uint32_t type, const char *name) {
        uint32_t id = 0;
        drmModeObjectProperties *props = drmModeObjectGetProperties(fd, obj, type);
        for (uint32_t i = 0; props && i < props->count_props; i++) {
            drmModePropertyRes *p = drmModeGetProperty(fd, props->props[i]);
            if (p && strcmp(p->name, name) == 0) id = p->prop_id;
            drmModeFreeProperty(p);
        }
        drmModeFreeObjectProperties(props);
        return id;
    }

    // Mode `i` of a connector's list.
    drmModeModeInfo mode_of(uint32_t conn, int i = 0) {
        drmModeConnector *c = drmModeGetConnector(fd, conn);
        drmModeModeInfo m = c->modes[i];
        drmModeFreeConnector(c);
        return m;
    }
    int light(uint32_t crtc, uint32_t conn, drmModeModeInfo mode, uint32_t fb) {
        return drmModeSetCrtc(fd, crtc, fb, 0, 0, &conn, 1, &mode);
    }
};

// The program must ask for both capabilities: without them the card hides what a
// kernel hides.
TEST_F(VCard, WithoutTheClientCapabilitiesOnlyOverlaysAndNoAtomicProperties) {
    open_board(board_path("vc4-hdmi-4k.card"));
    EXPECT_NE(prop(63, DRM_MODE_OBJECT_PLANE, "FB_ID"), 0u);
    EXPECT_EQ(prop(33, DRM_MODE_OBJECT_PLANE, "type"), 0u);  // wrong object type
    drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 0);
    drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 0);
    EXPECT_EQ(prop(63, DRM_MODE_OBJECT_PLANE, "FB_ID"), 0u);
    drmModePlaneRes *pr = drmModeGetPlaneResources(fd);
    EXPECT_EQ(pr->count_planes, 4u);  // overlays only, of 9
    drmModeFreePlaneResources(pr);
}

TEST_F(VCard, CardFileErrorsAndModeDetails) {
    const std::string base =
        "crtc 1\nencoder 2 crtcs=1\nplane 3 type=primary crtcs=1 formats=XR24\n"
        "connector 4 HDMI-A-1 status=connected encoders=2\n";
    EXPECT_EQ(sim_card_load_text((base + "bogus 1\n").c_str()), -1);
    EXPECT_EQ(sim_card_error(), "line 5: unknown keyword 'bogus'");
    EXPECT_EQ(sim_card_load_text((base + "plane 3 type=overlay crtcs=1 formats=NV12\n").c_str()),
              -1);
    EXPECT_NE(sim_card_error().find("used twice"), std::string::npos);
    EXPECT_EQ(sim_card_load_text((base + "plane 9 type=overlay crtcs=2 formats=NV12\n").c_str()),
              -1);
    EXPECT_NE(sim_card_error().find("missing CRTC"), std::string::npos);
    EXPECT_EQ(sim_card_load_text((base + "mode 5 1920x1080@60 clock=1 h=1,1,1 v=1,1,1\n").c_str()),
              -1);

    // vrefresh as written (0 included), derived from the timings when not written (the
    // field rate for interlaced modes).
    open_text(base +
              "mode 4 1920x1080@0 clock=148500 h=2008,2052,2200 v=1084,1089,1125\n"
              "mode 4 1920x1080 clock=148500 h=2448,2492,2640 v=1084,1089,1125\n"
              "mode 4 1920x1080i clock=74250 h=2448,2492,2640 v=1084,1094,1125\n");
    drmModeConnector *c = drmModeGetConnector(fd, 4);
    ASSERT_EQ(c->count_modes, 3);
    EXPECT_EQ(c->modes[0].vrefresh, 0u);
    EXPECT_EQ(c->modes[1].vrefresh, 50u);
    EXPECT_EQ(c->modes[2].vrefresh, 50u);
    EXPECT_EQ(c->modes[2].flags,
              uint32_t(DRM_MODE_FLAG_INTERLACE | DRM_MODE_FLAG_PHSYNC | DRM_MODE_FLAG_PVSYNC));
    EXPECT_STREQ(c->modes[2].name, "1920x1080i");
    drmModeFreeConnector(c);
}

TEST_F(VCard, EveryShippedBoardLoadsAndOpens) {
    int boards = 0;
    for (auto &e :
         std::filesystem::directory_iterator(std::string(ZYL_SOURCE_DIR) + "/sim/boards/")) {
        SCOPED_TRACE(e.path().filename().string());
        ASSERT_EQ(sim_card_load(e.path().c_str()), 0) << sim_card_error();
        int cfd = open("/dev/dri/card1", O_RDWR);
        ASSERT_GE(cfd, 0);
        drmModeRes *res = drmModeGetResources(cfd);
        ASSERT_NE(res, nullptr);
        EXPECT_GT(res->count_connectors, 0);
        drmModeFreeResources(res);
        close(cfd);
        boards++;
    }
    EXPECT_GE(boards, 10);
}

// Removing the framebuffer still on screen switches the CRTC off, as the kernel
// does; the buffer's memory stays mapped for the program. An unlit panel makes no picture.
TEST_F(VCard, RemovingTheShownFramebufferSwitchesTheCrtcOff) {
    open_board(board_path("two-display.card"));
    Dumb d = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0x00ff0000);
    ASSERT_EQ(light(31, 33, mode_of(33), d.fb), 0);
    SimCrtcInfo ci;
    ASSERT_EQ(sim_card_crtc_state(31, &ci), 0);
    EXPECT_EQ(ci.active, 1);
    std::string dir = test_dir();
    EXPECT_EQ(sim_card_write_pngs(dir.c_str()), 1);
    EXPECT_FALSE(std::filesystem::exists(dir + "/DSI-1.png"));

    drm_mode_destroy_dumb dd{d.handle};
    EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &dd), 0);
    EXPECT_EQ(drmModeRmFB(fd, d.fb), 0);
    ASSERT_EQ(sim_card_crtc_state(31, &ci), 0);
    EXPECT_EQ(ci.active, 0);
    SimCardCounters n = sim_card_counters();
    EXPECT_EQ(n.fbs, 0);
    EXPECT_EQ(n.dumb_buffers, 0);
    EXPECT_EQ(drmModeRmFB(fd, d.fb), -ENOENT);
    d.px[0] = 1;  // still mapped
    munmap(d.px, d.size);
}

TEST_F(VCard, PlanesComposeWithCropScalingZposAlphaAndMirror) {
    open_board(board_path("two-display.card"));
    bt601_straight();
    Dumb black = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
    ASSERT_EQ(light(31, 33, mode_of(33), black.fb), 0);
    // 64x32 NV12: left half red, right half blue (BT.601 limited range).
    uint32_t video = nv12_fb(64, 32, {81, 90, 240}, {41, 240, 110});
    // Crop away the first 16 columns, scale 48x32 up 20 times at (100,100): columns of
    // red source 16..31 land on 100..419, blue beyond.
    ASSERT_EQ(
        drmModeSetPlane(fd, 63, 31, video, 0, 100, 100, 960, 640, 16 << 16, 0, 48 << 16, 32 << 16),
        0);
    // A half-transparent white box and an opaque green box above the video.
    Dumb argb = dumb(1920, 1080, DRM_FORMAT_ARGB8888, 0);
    for (uint32_t y = 300; y < 400; y++)
        for (uint32_t x = 150; x < 250; x++) argb.px[y * (argb.pitch / 4) + x] = 0x80ffffff;
    for (uint32_t y = 300; y < 400; y++)
        for (uint32_t x = 800; x < 900; x++) argb.px[y * (argb.pitch / 4) + x] = 0xff00ff00;
    ASSERT_EQ(
        drmModeSetPlane(fd, 64, 31, argb.fb, 0, 0, 0, 1920, 1080, 0, 0, 1920 << 16, 1080 << 16), 0);
    std::string dir = test_dir();
    ASSERT_EQ(sim_card_write_pngs(dir.c_str()), 1);
    Picture pic = read_png(dir + "/HDMI-A-1.png");
    ASSERT_EQ(pic.w, 1920);
    // Black outside the video; the first cropped-in column red, then blue up to 1059;
    // 50% white over red, opaque green over blue, and the video where the overlay is
    // transparent.
    expect_rgb(pic, {{50, 50, 0, 0, 0},
                     {1500, 900, 0, 0, 0},
                     {110, 700, 255, 0, 0},
                     {410, 700, 255, 0, 0},
                     {430, 700, 0, 0, 255},
                     {1050, 700, 0, 0, 255},
                     {1070, 700, 0, 0, 0},
                     {200, 350, 255, 128, 128},
                     {850, 350, 0, 255, 0},
                     {600, 350, 0, 0, 255}});

    // Below the video the overlay disappears under it.
    uint32_t zpos = prop(64, DRM_MODE_OBJECT_PLANE, "zpos");
    ASSERT_EQ(drmModeObjectSetProperty(fd, 64, DRM_MODE_OBJECT_PLANE, zpos, 0), 0);
    // Mirrored left-right, the red part moves to the right end of the video (740..1059).
    uint32_t rot = prop(63, DRM_MODE_OBJECT_PLANE, "rotation");
    ASSERT_EQ(drmModeObjectSetProperty(fd, 63, DRM_MODE_OBJECT_PLANE, rot,
                                       DRM_MODE_ROTATE_0 | DRM_MODE_REFLECT_X),
              0);
    EXPECT_EQ(drmModeObjectSetProperty(fd, 63, DRM_MODE_OBJECT_PLANE, rot, DRM_MODE_ROTATE_90),
              -EINVAL);
    ASSERT_EQ(sim_card_write_pngs(dir.c_str()), 1);
    pic = read_png(dir + "/HDMI-A-1.png");
    // The green box is now under the red end.
    expect_rgb(pic, {{850, 350, 255, 0, 0},
                     {200, 350, 0, 0, 255},
                     {730, 700, 0, 0, 255},
                     {750, 700, 255, 0, 0},
                     {1050, 700, 255, 0, 0}});
}

TEST_F(VCard, ImportedBuffersLiveUntilTheirHandleAndFramebufferAreGone) {
    open_board(board_path("two-display.card"));
    int mfd = -1;
    uint32_t fb = nv12_fb(64, 32, {81, 90, 240}, {41, 240, 110}, &mfd);
    const uint64_t size = 64 * 32 * 3 / 2;
    uint32_t h1 = 0, h2 = 0;
    ASSERT_EQ(drmPrimeFDToHandle(fd, mfd, &h1), 0);
    int dup_fd = dup(mfd);
    ASSERT_EQ(drmPrimeFDToHandle(fd, dup_fd, &h2), 0);
    EXPECT_EQ(h1, h2);  // the same buffer gives the same handle
    close(dup_fd);
    // Tiled buffers are not scannable here.
    uint32_t handles[4] = {h1, h1}, pitches[4] = {64, 64}, offsets[4] = {0, 2048}, out = 0;
    uint64_t mods[4] = {fourcc_mod_code(BROADCOM, 1), 0};
    EXPECT_EQ(drmModeAddFB2WithModifiers(fd, 64, 32, DRM_FORMAT_NV12, handles, pitches, offsets,
                                         mods, &out, DRM_MODE_FB_MODIFIERS),
              -EINVAL);
    // Neither the exporter closing its descriptor nor the framebuffer going frees a
    // buffer whose handle is open, as on a kernel.
    close(mfd);
    EXPECT_EQ(drmModeRmFB(fd, fb), 0);
    SimCardCounters n = sim_card_counters();
    EXPECT_EQ(n.imported, 1);
    EXPECT_EQ(n.imported_bytes, size);
    EXPECT_EQ(drmCloseBufferHandle(fd, h1), 0);
    EXPECT_EQ(drmCloseBufferHandle(fd, h1), -1);
    EXPECT_EQ(sim_card_counters().imported_bytes, 0u);
    // A framebuffer keeps the memory after the handle is closed, until it goes.
    fb = nv12_fb(64, 32, {16, 128, 128}, {16, 128, 128}, &mfd, true);
    close(mfd);
    n = sim_card_counters();
    EXPECT_EQ(n.imported, 0);
    EXPECT_EQ(n.imported_bytes, size);
    EXPECT_EQ(n.imported_bytes_max, size);
    EXPECT_EQ(drmModeRmFB(fd, fb), 0);
    n = sim_card_counters();
    EXPECT_EQ(n.imported_bytes, 0u);
    EXPECT_EQ(n.fbs, 0);
    EXPECT_EQ(n.failures, 1u);
}

// A 10-bit sample written as drm_fourcc.h describes the format: P010 in bits 15:6 of
// a 16-bit word, NV15 four to 40 bits (the first lowest), P030 three to each 32-bit
// word; all little-endian.
void put_sample(uint32_t format, uint8_t *row, int k, uint16_t v) {
    if (format == DRM_FORMAT_P010) {
        row[2 * k] = uint8_t(v << 6), row[2 * k + 1] = uint8_t(v >> 2);
        return;
    }
    const int bit = format == DRM_FORMAT_NV15 ? k * 10 : k / 3 * 32 + k % 3 * 10;
    for (int b = 0; b < 10; b++)
        if (v >> b & 1) row[(bit + b) / 8] |= uint8_t(1 << ((bit + b) % 8));
}

// Left half red, right half blue (BT.601 limited range, 10-bit), as rows of `pitch`
// bytes with the chroma rows from `uv_off`; `col_px` > 0: in SAND128 columns of that
// many pixels and `ch` rows.
std::vector<uint8_t> ten_bit_picture(uint32_t format, int w, int h, int pitch, int uv_off,
                                     size_t size, int col_px = 0, int ch = 0) {
    std::vector<uint8_t> buf(size);
    const uint16_t red[3] = {324, 360, 960}, blue[3] = {164, 960, 440};
    auto row_at = [&](int plane_off, int r, int x) {
        return col_px ? buf.data() + plane_off + x / col_px * 128 * ch + r * 128
                      : buf.data() + plane_off + r * pitch;
    };
    for (int r = 0; r < h; r++)
        for (int x = 0; x < w; x++) {
            const uint16_t *c = x < w / 2 ? red : blue;
            int cx = col_px ? x % col_px : x;
            put_sample(format, row_at(0, r, x), cx, c[0]);
            if (r % 2 == 0 && x % 2 == 0) {
                put_sample(format, row_at(uv_off, r / 2, x), cx, c[1]);
                put_sample(format, row_at(uv_off, r / 2, x), cx + 1, c[2]);
            }
        }
    return buf;
}

// The kernel takes a 10-bit framebuffer only in a format and modifier a plane of the
// card scans out, with rows measured in the format's packing; the planes show it.
TEST_F(VCard, TenBitFramebuffersAreTakenAsTheDriversTakeThem) {
    auto import = [&](const std::vector<uint8_t> &buf) {
        int mfd = memfd_create("frame", MFD_CLOEXEC);
        EXPECT_EQ(write(mfd, buf.data(), buf.size()), ssize_t(buf.size()));
        uint32_t handle = 0;
        EXPECT_EQ(drmPrimeFDToHandle(fd, mfd, &handle), 0);
        close(mfd);
        return handle;
    };
    auto add = [&](uint32_t handle, int w, int h, uint32_t format, uint32_t pitch, uint32_t uv_off,
                   uint64_t mod, uint32_t *fb) {
        uint32_t handles[4] = {handle, handle}, pitches[4] = {pitch, pitch};
        uint32_t offsets[4] = {0, uv_off};
        uint64_t mods[4] = {mod, mod};
        return drmModeAddFB2WithModifiers(fd, uint32_t(w), uint32_t(h), format, handles, pitches,
                                          offsets, mods, fb, DRM_MODE_FB_MODIFIERS);
    };
    std::string dir = test_dir();
    uint32_t fb = 0;

    // The Pi's HVS: P030 in SAND128 only. 200 pixels are three columns of 96; 16 rows
    // and their chroma take 24 rows of each column.
    open_board(board_path("vc4-hdmi-4k.card"));
    bt601_straight();
    const uint64_t sand = DRM_FORMAT_MOD_BROADCOM_SAND128_COL_HEIGHT(24);
    uint32_t cols =
        import(ten_bit_picture(DRM_FORMAT_P030, 200, 16, 384, 2048, 3 * 128 * 24, 96, 24));
    uint32_t short_cols = import(std::vector<uint8_t>(2 * 128 * 24));
    EXPECT_EQ(add(short_cols, 200, 16, DRM_FORMAT_P030, 384, 2048, sand, &fb), -EINVAL);
    EXPECT_EQ(add(cols, 200, 16, DRM_FORMAT_P030, 384, 2048, DRM_FORMAT_MOD_LINEAR, &fb), -EINVAL);
    EXPECT_EQ(add(cols, 200, 16, DRM_FORMAT_P030, 384, 2048,
                  DRM_FORMAT_MOD_BROADCOM_SAND128_COL_HEIGHT(20), &fb),
              -EINVAL);  // the chroma rows would run past the column
    EXPECT_EQ(add(cols, 200, 16, DRM_FORMAT_NV15, 384, 2048, DRM_FORMAT_MOD_LINEAR, &fb), -EINVAL);
    EXPECT_EQ(add(cols, 200, 16, DRM_FORMAT_P010, 400, 6400, DRM_FORMAT_MOD_LINEAR, &fb), -EINVAL);
    ASSERT_EQ(add(cols, 200, 16, DRM_FORMAT_P030, 384, 2048, sand, &fb), 0);
    // Each plane lists P030 with the SAND128 family only.
    drmModeObjectProperties *props = drmModeObjectGetProperties(fd, 63, DRM_MODE_OBJECT_PLANE);
    std::set<std::pair<uint32_t, uint64_t>> pairs;
    for (uint32_t i = 0; props && i < props->count_props; i++)
        if (props->props[i] == prop(63, DRM_MODE_OBJECT_PLANE, "IN_FORMATS")) {
            drmModePropertyBlobRes *blob =
                drmModeGetPropertyBlob(fd, uint32_t(props->prop_values[i]));
            drmModeFormatModifierIterator it{};
            while (blob && drmModeFormatModifierBlobIterNext(blob, &it))
                pairs.insert({it.fmt, it.mod});
            drmModeFreePropertyBlob(blob);
        }
    drmModeFreeObjectProperties(props);
    EXPECT_TRUE(pairs.count({DRM_FORMAT_P030, DRM_FORMAT_MOD_BROADCOM_SAND128}));
    EXPECT_FALSE(pairs.count({DRM_FORMAT_P030, DRM_FORMAT_MOD_LINEAR}));
    EXPECT_TRUE(pairs.count({DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR}));
    Dumb black = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
    ASSERT_EQ(light(31, 33, mode_of(33, 3), black.fb), 0);
    // Four times the size at (100, 100): source x becomes 100 + 4x.
    ASSERT_EQ(drmModeSetPlane(fd, 63, 31, fb, 0, 100, 100, 800, 64, 0, 0, 200 << 16, 16 << 16), 0);
    ASSERT_EQ(sim_card_write_pngs(dir.c_str()), 1);
    Picture pic = read_png(dir + "/HDMI-A-1.png");
    // Red to x 99 (across the first column's end at 95), blue in the second and third.
    expect_rgb(pic, {{102, 110, 255, 0, 0},
                     {486, 110, 255, 0, 0},
                     {498, 110, 255, 0, 0},
                     {502, 160, 0, 0, 255},
                     {870, 160, 0, 0, 255},
                     {898, 110, 0, 0, 255}});
    close(fd);
    fd = -1;
    sim_card_reset();

    // VOP2's Esmart windows: linear NV15. 100 pixels are 125 bytes, as is the chroma row.
    open_board(board_path("rk-vop2-hdmi.card"));
    const size_t nv15_size = 2048 + 128 * 7 + 125;
    uint32_t nv15 = import(ten_bit_picture(DRM_FORMAT_NV15, 100, 16, 128, 2048, nv15_size));
    uint32_t nv15_short = import(std::vector<uint8_t>(nv15_size - 1));
    EXPECT_EQ(add(nv15_short, 100, 16, DRM_FORMAT_NV15, 128, 2048, DRM_FORMAT_MOD_LINEAR, &fb),
              -EINVAL);
    EXPECT_EQ(add(nv15, 100, 16, DRM_FORMAT_NV15, 124, 2048, DRM_FORMAT_MOD_LINEAR, &fb), -EINVAL);
    EXPECT_EQ(add(nv15, 100, 16, DRM_FORMAT_P010, 128, 2048, DRM_FORMAT_MOD_LINEAR, &fb), -EINVAL);
    EXPECT_EQ(add(nv15, 96, 16, DRM_FORMAT_P030, 128, 2048, sand, &fb), -EINVAL);
    ASSERT_EQ(add(nv15, 100, 16, DRM_FORMAT_NV15, 128, 2048, DRM_FORMAT_MOD_LINEAR, &fb), 0);
    Dumb rk_black = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
    ASSERT_EQ(light(70, 72, mode_of(72), rk_black.fb), 0);
    ASSERT_EQ(drmModeSetPlane(fd, 94, 70, fb, 0, 100, 100, 400, 64, 0, 0, 100 << 16, 16 << 16), 0);
    ASSERT_EQ(sim_card_write_pngs(dir.c_str()), 1);
    pic = read_png(dir + "/HDMI-A-1.png");
    expect_rgb(pic, {{102, 110, 255, 0, 0},
                     {298, 160, 255, 0, 0},
                     {302, 160, 0, 0, 255},
                     {498, 110, 0, 0, 255}});
}

// A busy panel flip (EBUSY until the next vblank) is the pacing test's, through the
// program's own panel commits.
TEST_F(VCard, AtomicModesetNeedsItsFlagAndTestOnlyChangesNothing) {
    sim_card_set_time_ms(0);
    open_board(board_path("two-display.card"));
    bt601_straight();
    Dumb standby = dumb(800, 480, DRM_FORMAT_XRGB8888, 0x00202020);
    drmModeModeInfo mode = mode_of(55);
    uint32_t blob = 0;
    ASSERT_EQ(drmModeCreatePropertyBlob(fd, &mode, sizeof mode, &blob), 0);

    auto plane_props = [&](drmModeAtomicReq *req, uint32_t plane, uint32_t fb) {
        drmModeAtomicAddProperty(req, plane, prop(plane, DRM_MODE_OBJECT_PLANE, "FB_ID"), fb);
        drmModeAtomicAddProperty(req, plane, prop(plane, DRM_MODE_OBJECT_PLANE, "CRTC_ID"), 53);
        drmModeAtomicAddProperty(req, plane, prop(plane, DRM_MODE_OBJECT_PLANE, "SRC_W"),
                                 800 << 16);
        drmModeAtomicAddProperty(req, plane, prop(plane, DRM_MODE_OBJECT_PLANE, "SRC_H"),
                                 480 << 16);
        drmModeAtomicAddProperty(req, plane, prop(plane, DRM_MODE_OBJECT_PLANE, "CRTC_W"), 800);
        drmModeAtomicAddProperty(req, plane, prop(plane, DRM_MODE_OBJECT_PLANE, "CRTC_H"), 480);
    };
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    drmModeAtomicAddProperty(req, 55, prop(55, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID"), 53);
    drmModeAtomicAddProperty(req, 53, prop(53, DRM_MODE_OBJECT_CRTC, "MODE_ID"), blob);
    drmModeAtomicAddProperty(req, 53, prop(53, DRM_MODE_OBJECT_CRTC, "ACTIVE"), 1);
    plane_props(req, 62, standby.fb);
    // A modeset needs ALLOW_MODESET; TEST_ONLY checks without changing anything.
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), -EINVAL);
    EXPECT_EQ(drmModeAtomicCommit(
                  fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET | DRM_MODE_ATOMIC_TEST_ONLY, nullptr),
              0);
    SimCrtcInfo ci;
    sim_card_crtc_state(53, &ci);
    EXPECT_EQ(ci.active, 0);
    ASSERT_EQ(drmModeAtomicCommit(fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr), 0);
    drmModeAtomicFree(req);
    EXPECT_EQ(drmModeDestroyPropertyBlob(fd, blob), 0);
    sim_card_crtc_state(53, &ci);
    EXPECT_EQ(ci.active, 1);
    EXPECT_EQ(ci.w, 800u);
    EXPECT_EQ(sim_card_counters().blobs, 0);
}

TEST_F(VCard, VblankWaitsFollowEachCrtcsRefresh) {
    sim_card_set_time_ms(0);
    open_board(board_path("vc4-hdmi-50-then-60.card"));
    Dumb a = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
    drmModeModeInfo p50 = mode_of(33), p60 = mode_of(33, 3);
    ASSERT_EQ(p50.vrefresh, 50u);
    ASSERT_EQ(p60.vrefresh, 60u);
    drmVBlank vbl{};
    vbl.request.type = DRM_VBLANK_RELATIVE;
    vbl.request.sequence = 1;
    EXPECT_EQ(drmWaitVBlank(fd, &vbl), -1);  // nothing lit yet
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(light(31, 33, p60, a.fb), 0);
    ASSERT_EQ(light(42, 44, p50, a.fb), 0);

    auto wait = [&](uint32_t type, uint32_t seq) {
        drmVBlank v{};
        v.request.type = drmVBlankSeqType(type);
        v.request.sequence = seq;
        EXPECT_EQ(drmWaitVBlank(fd, &v), 0);
        return v.reply;
    };
    drmVBlankReply r0 = wait(DRM_VBLANK_RELATIVE, 0);
    drmVBlankReply r1 = wait(DRM_VBLANK_RELATIVE | DRM_VBLANK_SECONDARY, 0);
    for (int i = 0; i < 60; i++) wait(DRM_VBLANK_RELATIVE, 1);
    drmVBlankReply e0 = wait(DRM_VBLANK_RELATIVE, 0);
    drmVBlankReply e1 = wait(DRM_VBLANK_RELATIVE | (1 << DRM_VBLANK_HIGH_CRTC_SHIFT), 0);
    EXPECT_EQ(e0.sequence - r0.sequence, 60u);
    // Sixty refreshes at 60 Hz are fifty at 50 Hz, give or take the phase.
    EXPECT_NEAR(double(e1.sequence - r1.sequence), 50.0, 1.0);
    EXPECT_GT(e0.tval_sec * 1000000 + e0.tval_usec, r0.tval_sec * 1000000 + r0.tval_usec);
    vbl.request.type = drmVBlankSeqType(DRM_VBLANK_RELATIVE | (2 << DRM_VBLANK_HIGH_CRTC_SHIFT));
    EXPECT_EQ(drmWaitVBlank(fd, &vbl), -1);  // no third CRTC
}

TEST_F(VCard, BlockingPlaneUpdatesLandOnVblanks) {
    sim_card_set_time_ms(0);
    std::string text = read_file(board_path("vc4-hdmi-50-then-60.card"));
    open_text(text);
    Dumb a = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0), b = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
    ASSERT_EQ(light(31, 33, mode_of(33, 3), a.fb), 0);
    SimCrtcInfo ci;
    sim_card_crtc_state(31, &ci);
    uint64_t seq = ci.vblank_seq;
    // A plane update on this board returns after the refresh that shows it.
    ASSERT_EQ(drmModeSetPlane(fd, 63, 31, b.fb, 0, 0, 0, 1920, 1080, 0, 0, 1920 << 16, 1080 << 16),
              0);
    sim_card_crtc_state(31, &ci);
    EXPECT_EQ(ci.vblank_seq, seq + 1);
}

// Only the master's full probe reads the monitor; a read of the cache answers what
// the last one found, with the status of now, as drm_mode_getconnector.
TEST_F(VCard, ConnectorsAnswerTheLastFullProbeWithItsEdid) {
    sim_card_set_time_ms(0);
    open_text(read_file(board_path("hdmi-swap.card")) + "at 4000 unplug 33\n");
    struct Seen {
        bool connected;
        int w;
        std::vector<uint8_t> edid;
    };
    auto read = [&](bool full) {
        drmModeConnector *c =
            full ? drmModeGetConnector(fd, 33) : drmModeGetConnectorCurrent(fd, 33);
        Seen r{c->connection == DRM_MODE_CONNECTED, c->count_modes ? c->modes[0].hdisplay : 0, {}};
        for (int i = 0; i < c->count_props; i++) {
            drmModePropertyRes *p = drmModeGetProperty(fd, c->props[i]);
            if (strcmp(p->name, "EDID") == 0) {
                drmModePropertyBlobRes *b = drmModeGetPropertyBlob(fd, uint32_t(c->prop_values[i]));
                auto *d = static_cast<const uint8_t *>(b->data);
                r.edid.assign(d, d + b->length);
                drmModeFreePropertyBlob(b);
            }
            drmModeFreeProperty(p);
        }
        drmModeFreeConnector(c);
        return r;
    };
    auto valid = [](const std::vector<uint8_t> &e, const char *name) {
        int sum = 0;
        for (uint8_t b : e) sum += b;
        std::string text(e.begin(), e.end());
        return e.size() == 128 && e[0] == 0 && e[1] == 0xff && e[7] == 0 && sum % 256 == 0 &&
               text.find(std::string(name) + "\n") != std::string::npos;
    };
    Seen before = read(false);
    EXPECT_TRUE(before.connected);
    EXPECT_EQ(before.w, 0);  // nothing probed yet
    EXPECT_TRUE(before.edid.empty());
    Seen fhd = read(true);
    EXPECT_EQ(fhd.w, 1920);
    EXPECT_TRUE(valid(fhd.edid, "fhd"));

    sim_card_set_time_ms(3000);  // the 720p monitor took its place at 2500
    Seen cached = read(false);
    EXPECT_EQ(cached.w, 1920);
    EXPECT_EQ(cached.edid, fhd.edid);
    Seen hd = read(true);
    EXPECT_EQ(hd.w, 1280);
    EXPECT_TRUE(valid(hd.edid, "hd"));
    EXPECT_NE(hd.edid, fhd.edid);

    sim_card_set_time_ms(4500);  // unplugged at 4000
    ASSERT_EQ(drmDropMaster(fd), 0);
    Seen demoted = read(true);  // not master: a read of the cache
    EXPECT_FALSE(demoted.connected);
    EXPECT_EQ(demoted.w, 1280);
    ASSERT_EQ(drmSetMaster(fd), 0);
    Seen gone = read(true);
    EXPECT_EQ(gone.w, 0);
    EXPECT_TRUE(gone.edid.empty());
}

// Stamps late by at most the jitter, the same for the same seed, the event's the
// reply's; counts exact.
TEST_F(VCard, VblankStampsCarryTheBoardsJitter) {
    auto stamps = [&](const std::string &extra) {
        if (fd >= 0) close(fd);
        fd = -1;
        sim_card_reset();
        sim_card_set_time_ms(0);
        open_text(read_file(board_path("vc4-hdmi-50-then-60.card")) + extra);
        Dumb a = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
        EXPECT_EQ(light(31, 33, mode_of(33, 3), a.fb), 0);
        std::vector<std::pair<unsigned, int64_t>> out;
        for (int i = 0; i < 40; i++) {
            drmVBlank v{};
            v.request.type = DRM_VBLANK_RELATIVE;
            v.request.sequence = 1;
            EXPECT_EQ(drmWaitVBlank(fd, &v), 0);
            out.emplace_back(v.reply.sequence, v.reply.tval_sec * 1000000ll + v.reply.tval_usec);
        }
        drmVBlank v{};
        v.request.type = drmVBlankSeqType(DRM_VBLANK_RELATIVE | DRM_VBLANK_EVENT);
        v.request.sequence = 1;
        EXPECT_EQ(drmWaitVBlank(fd, &v), 0);
        static std::pair<unsigned, int64_t> event;
        drmEventContext ctx{};
        ctx.version = 2;
        ctx.vblank_handler = [](int, unsigned seq, unsigned sec, unsigned usec, void *) {
            event = {seq, sec * 1000000ll + usec};
        };
        EXPECT_EQ(drmHandleEvent(fd, &ctx), 0);
        out.push_back(event);
        return out;
    };
    // The card's times count from its opening, which differs from load to load: each
    // run's stamps are taken from its first.
    auto from_first = [&](const std::string &extra) {
        auto v = stamps(extra);
        for (size_t i = 1; i < v.size(); i++) v[i].second -= v[0].second;
        v[0].second = 0;
        return v;
    };
    auto exact = from_first(""), late = from_first("vblank_jitter 500 seed=7\n");
    auto again = from_first("vblank_jitter 500 seed=7\n");
    auto other = from_first("vblank_jitter 500 seed=8\n");
    ASSERT_EQ(late.size(), exact.size());
    std::set<int64_t> lateness;  // each stamp's lateness less the first's
    for (size_t i = 0; i < late.size(); i++) {
        EXPECT_EQ(late[i].first - late[0].first, i);
        EXPECT_EQ(exact[i].first - exact[0].first, i);
        lateness.insert(late[i].second - exact[i].second);
    }
    EXPECT_LE(*lateness.rbegin() - *lateness.begin(), 500);
    EXPECT_GT(*lateness.rbegin() - *lateness.begin(), 250);
    EXPECT_GT(lateness.size(), 20u);
    // Same seed, same stamps (to the microsecond the opening time rounds to).
    int64_t same = 0, apart = 0;
    for (size_t i = 0; i < late.size(); i++) {
        same = std::max(same, std::abs(again[i].second - late[i].second));
        apart = std::max(apart, std::abs(other[i].second - late[i].second));
    }
    EXPECT_LE(same, 1);
    EXPECT_GT(apart, 50);
}

TEST_F(VCard, FaultsRefuseOnlyWhatTheyName) {
    open_board(board_path("two-hdmi-faults.card"));
    Dumb xr = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
    Dumb ar = dumb(1920, 1080, DRM_FORMAT_ARGB8888, 0);
    const drmModeModeInfo p60 = mode_of(20);
    drmModeModeInfo i50 = p60;  // the fault names the mode by its size, scan and rate
    i50.flags |= DRM_MODE_FLAG_INTERLACE;
    i50.vrefresh = 50;
    EXPECT_EQ(light(1, 20, i50, xr.fb), -EINVAL);
    EXPECT_EQ(light(1, 20, p60, xr.fb), 0);
    EXPECT_EQ(light(2, 21, p60, xr.fb), 0);  // modesets on CRTC 2 still work

    auto setplane = [&](uint32_t plane, uint32_t crtc, uint32_t fb) {
        return drmModeSetPlane(fd, plane, crtc, fb, 0, 0, 0, 1920, 1080, 0, 0, 1920 << 16,
                               1080 << 16);
    };
    EXPECT_EQ(setplane(12, 1, xr.fb), 0);
    EXPECT_EQ(setplane(12, 2, xr.fb), -EINVAL);
    EXPECT_EQ(setplane(13, 1, ar.fb), -ERANGE);
    EXPECT_EQ(setplane(13, 1, xr.fb), 0);
    EXPECT_EQ(setplane(12, 1, ar.fb), 0);
    // Not in the plane's format list, or outside the framebuffer.
    EXPECT_EQ(setplane(10, 1, ar.fb), -EINVAL);
    EXPECT_EQ(
        drmModeSetPlane(fd, 12, 1, xr.fb, 0, 0, 0, 100, 100, 1900 << 16, 0, 100 << 16, 100 << 16),
        -ENOSPC);

    // The atomic modeset is refused, a plain atomic plane update is not.
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    drmModeAtomicAddProperty(req, 1, prop(1, DRM_MODE_OBJECT_CRTC, "ACTIVE"), 1);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr), -EINVAL);
    drmModeAtomicFree(req);
    req = drmModeAtomicAlloc();
    drmModeAtomicAddProperty(req, 13, prop(13, DRM_MODE_OBJECT_PLANE, "FB_ID"), 0);
    drmModeAtomicAddProperty(req, 13, prop(13, DRM_MODE_OBJECT_PLANE, "CRTC_ID"), 0);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), 0);
    drmModeAtomicFree(req);
    SimPlaneInfo pi;
    ASSERT_EQ(sim_card_plane_state(12, &pi), 0);
    EXPECT_EQ(pi.format, uint32_t(DRM_FORMAT_ARGB8888));
    SimCardCounters n = sim_card_counters();
    EXPECT_EQ(n.failures, 6u);
    EXPECT_EQ(n.plane_updates, 3u);
    EXPECT_EQ(n.commits, 1u);
    EXPECT_NE(sim_card_log().find("fault plane"), std::string::npos);
}

// Files under the root are what every test of the whole program reads back (state,
// mode report, SPI object); here only which paths move, and which must not.
TEST_F(VCard, SimRootRewritesTheProgramsPaths) {
    EXPECT_EQ(sim_root_path("/run/zyl-fpv/hdmi_mode", "/r/"), "/r/run/zyl-fpv/hdmi_mode");
    EXPECT_EQ(sim_root_path("/run/zyl-fpv", "/r"), "/r/run/zyl-fpv");
    EXPECT_EQ(sim_root_path("/opt/zyl-fpv/standby.png", "/r"), "/r/opt/zyl-fpv/standby.png");
    EXPECT_EQ(sim_root_path("/tmp/zyl-snap.ppm", "/r"), "/r/tmp/zyl-snap.ppm");
    EXPECT_EQ(sim_root_path("/run/zyl-fpvx/a", "/r"), "/run/zyl-fpvx/a");
    EXPECT_EQ(sim_root_path("/tmp/other", "/r"), "/tmp/other");
    EXPECT_EQ(sim_root_path("/run/zyl-fpv/a", ""), "/run/zyl-fpv/a");
    EXPECT_EQ(sim_root_path("/r/run/zyl-fpv/a", "/r"), "/r/run/zyl-fpv/a");
    EXPECT_EQ(sim_root_path("/sys/class/devfreq/gpu/governor", "/r"),
              "/r/sys/class/devfreq/gpu/governor");
    EXPECT_EQ(sim_root_path("/sys/class/thermal/thermal_zone0/temp", "/r"),
              "/r/sys/class/thermal/thermal_zone0/temp");
    EXPECT_EQ(sim_root_path("/proc/uptime", "/r"), "/r/proc/uptime");
    EXPECT_EQ(sim_root_path("/proc/uptimes", "/r"), "/proc/uptimes");
    EXPECT_EQ(sim_root_path("/proc/self/maps", "/r"), "/proc/self/maps");
    EXPECT_EQ(sim_shm_name("/zyl-spi.frame", ""), "/zyl-spi.frame");
    EXPECT_NE(sim_shm_name("/zyl-spi.frame", "/a"), sim_shm_name("/zyl-spi.frame", "/b"));
}

}  // namespace

// VOP2's own plane check (vop2_plane_atomic_check, rockchip_vop2_mod_supported) on the
// reference RK3568: scale range, even YUV x, the 4x4 minimum, AFBC-only Cluster windows.
TEST_F(VCard, Vop2WindowsRefuseWhatTheirDriverRefuses) {
    std::string dir = test_dir();
    open_board(board_path("rk3568-vop2.card"));
    Dumb black = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0);
    ASSERT_EQ(light(70, 72, mode_of(72), black.fb), 0);
    uint32_t nv12 = nv12_fb(64, 64, {81, 90, 240}, {81, 90, 240});
    EXPECT_EQ(drmModeSetPlane(fd, 33, 70, nv12, 0, 0, 0, 513, 512, 0, 0, 64 << 16, 64 << 16),
              -ERANGE);  // 8.02 times wider
    EXPECT_EQ(drmModeSetPlane(fd, 33, 70, nv12, 0, 0, 0, 512, 7, 0, 0, 64 << 16, 64 << 16),
              -ERANGE);  // 9.1 times smaller
    EXPECT_EQ(drmModeSetPlane(fd, 33, 70, nv12, 0, 0, 0, 63, 63, 1 << 16, 0, 63 << 16, 63 << 16),
              -EINVAL);
    EXPECT_EQ(drmModeSetPlane(fd, 35, 70, black.fb, 0, 0, 0, 64, 64, 0, 0, 64 << 16, 64 << 16),
              -EINVAL);
    // Under 4x4 the window is left off, not refused.
    ASSERT_EQ(drmModeSetPlane(fd, 33, 70, nv12, 0, 100, 100, 3, 3, 0, 0, 16 << 16, 16 << 16), 0);
    ASSERT_EQ(sim_card_write_pngs(dir.c_str()), 1);
    EXPECT_TRUE(is_black(read_png(dir + "/HDMI-A-1.png"), 101, 101));
    ASSERT_EQ(
        drmModeSetPlane(fd, 33, 70, nv12, 0, 100, 100, 256, 256, 2 << 16, 0, 62 << 16, 64 << 16),
        0);
    ASSERT_EQ(sim_card_write_pngs(dir.c_str()), 1);
    EXPECT_FALSE(is_black(read_png(dir + "/HDMI-A-1.png"), 101, 101));
}
