// Display output: the output table, the card's objects and their properties, mode
// choice, modeset and frame import.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <xf86drmMode.h>

#include "base/own.h"
#include "kms/dumb.h"
#include "kms/formats.h"
#include "kms/look.h"
#include "kms/upload.h"

// An overlay plane update not yet handed to the card: a new buffer to show, or the
// plane switched off.
enum class MenuUpdate : int32_t { kNone, kShow, kOff };
// The overlay plane's buffers: one on screen, one that may still be scanned out while
// the update replacing it is pending, one to draw into.
constexpr int kMenuBuffers = 3;
// A plane's atomic property ids; 0 = none.
struct PlaneProps {
    uint32_t fb_id, crtc_id, src_x, src_y, src_w, src_h, crtc_x, crtc_y, crtc_w, crtc_h;
};

// A YUV picture's matrix and range as the kernel's "COLOR_ENCODING" (0 BT.601, 1 BT.709,
// 2 BT.2020) and "COLOR_RANGE" (0 limited, 1 full) name them.
struct YuvColor {
    uint64_t encoding, range;
    bool operator==(const YuvColor &) const = default;
};

// One driven display. Width, height and refresh are always mode.hdisplay,
// mode.vdisplay and mode.vrefresh.
struct KmsOutput {
    int fd = -1;  // the card's descriptor, which the Display owns
    uint32_t conn_id;
    uint32_t crtc_id;
    uint32_t plane_id;  // NV12 video plane
    int32_t crtc_idx;   // index in the card's CRTC list
    drmModeModeInfo mode;
    uint32_t menu_plane;            // ARGB overlay plane, 0 = none
    DumbBuffer menu[kMenuBuffers];  // its buffers
    ZeroedBytes menu_shadow;        // off-screen drawing surface, rows of menu_shadow_stride
    uint32_t menu_shadow_stride;
    int32_t menu_premul;  // the plane blends pre-multiplied: pixels are converted on copy
    // The overlay buffer of the last update handed to the card (on screen once it
    // lands), -1 = none; and the one before it, still scanned out until then.
    int32_t menu_front, menu_before;
    int32_t menu_shown;      // the overlay is wanted on screen
    MenuUpdate menu_update;  // what the next hand-over does
    int32_t menu_next;       // the buffer it shows
    int32_t menu_rides;      // updates go into the output's atomic commits
    PlaneProps menu_props;   // of the overlay plane
    int32_t sidebar;         // overlays go into the standby buffer
    // A sidebar output's overlay surface for the GPU pass, which draws it over the
    // video: menu[0] (no framebuffer) as a dma-buf, drawn from menu_shadow, its pixels'
    // version (counts every drawing) and whether anything is drawn (menu_shown).
    Fd menu_dmabuf;
    uint64_t menu_drawn;
    DumbBuffer standby;  // XR24 standby buffer; px() null when unmapped
    Look look;
    Look standby_look;  // the flip and fit the standby picture was painted for
    int32_t is_dsi;
    uint32_t enc_prop, range_prop;     // video plane's "COLOR_ENCODING", "COLOR_RANGE"; 0 = none
    std::optional<YuvColor> yuv_want;  // of the frames shown now; none: the plane's own
    // What the plane was last given (the present that carries it records it).
    mutable std::optional<YuvColor> yuv_set;
    uint32_t rot_prop;  // video plane's "rotation" property, 0 = none
    uint64_t rot_mask;  // bit n: rotation value n accepted
    int32_t plane_is_primary;
    int32_t atomic;  // frames go out as atomic commits
    uint32_t p_fb_id, p_crtc_id, p_src_x, p_src_y, p_src_w, p_src_h;
    uint32_t p_crtc_x, p_crtc_y, p_crtc_w, p_crtc_h;
    uint16_t native_w, native_h, native_hz;  // the monitor's first mode: its identity
    int32_t unplugged;
};

constexpr int kMaxOutputs = 4;

// The card and the outputs it drives. The process entry makes it and drm_init fills
// it; only the main thread touches it. The card is declared first so that it is
// closed after every buffer on it was released.
struct Display {
    Fd fd;
    std::array<KmsOutput, kMaxOutputs> outs{};
    int nout = 0;
    int64_t addfb_fail = 0;                  // frames the card refused to import
    UploadPool upload;                       // scan-out copies of software frames
    std::optional<ScanFormat> video_format;  // of the last DMA-BUF frame the planes were fitted to
    bool video_needs_pass = false;           // some output's planes cannot take it
    bool master_refused_said = false;        // another client held the card; said until it let go
    bool atomic_cap = false;                 // the card takes atomic commits
    int card() const { return fd.get(); }
    std::span<KmsOutput> outputs() { return {outs.data(), size_t(nout)}; }
    std::span<const KmsOutput> outputs() const { return {outs.data(), size_t(nout)}; }
};

// ---- card objects ----
// Frees any libdrm object the receiver reads; DrmPtr<T> owns one for a scope.
struct DrmFree {
    void operator()(drmModeRes *p) const { drmModeFreeResources(p); }
    void operator()(drmModeConnector *p) const { drmModeFreeConnector(p); }
    void operator()(drmModeEncoder *p) const { drmModeFreeEncoder(p); }
    void operator()(drmModePlaneRes *p) const { drmModeFreePlaneResources(p); }
    void operator()(drmModePlane *p) const { drmModeFreePlane(p); }
    void operator()(drmModeObjectProperties *p) const { drmModeFreeObjectProperties(p); }
    void operator()(drmModePropertyRes *p) const { drmModeFreeProperty(p); }
};
template <typename T>
using DrmPtr = std::unique_ptr<T, DrmFree>;

// One property of a card object, as read once with all the others.
struct PropEntry {
    char name[DRM_PROP_NAME_LEN];
    uint32_t id;
    uint64_t value;          // the object's current value
    uint64_t enum_bits;      // bit n: an enum or bitmask value n is listed (values under 64)
    uint64_t range_max = 0;  // a range property's largest value
    bool immutable = false;  // the card does not let it be set
};
using PropTable = std::vector<PropEntry>;
// Every property of the object the card describes; empty when its list is unreadable.
PropTable read_props(int fd, uint32_t object_id, uint32_t object_type);
// The property called `name`, null when the table has none.
const PropEntry *prop_entry(const PropTable &props, std::string_view name);
// The id of the property called `name`, 0 when there is none.
uint32_t prop_id(const PropTable &props, std::string_view name);

// How the display is set up, read once at start-up.
struct DisplaySettings {
    std::optional<std::string> card;  // the only card tried; unset: the usual ones
    int edid_wait_ms = 1500;          // for connected monitors to list their modes
    std::string connector;            // drive only connectors whose name has it; empty: all
    std::optional<std::string> mode;  // the mode request for monitors
    bool testfill = false;            // standby buffers in a test colour
    uint32_t menu_plane = 0;          // the only overlay plane tried; 0: any
    const char *mode_request() const { return mode ? mode->c_str() : nullptr; }
};

// Paints the standby picture into output `out_no`'s new w x h XR24 buffer, before
// the mode is set on it.
using PaintStandby = std::function<void(int out_no, uint8_t *px, uint32_t pitch, int w, int h)>;

// Finds the card and lights every usable connector (at most four) into `d`, which
// holds no card yet. True when at least one output is driven; otherwise `d` is
// left without a card.
[[nodiscard]] bool drm_init(Display &d, const DisplaySettings &settings, const PaintStandby &paint);

// A framebuffer over up to four planes of buffer objects on the card; with
// `modifiers` they are given whenever the first is not 0. Empty when the card
// refused it, errno saying why.
FbId add_framebuffer(int fd, uint32_t w, uint32_t h, uint32_t format, const uint32_t (&handles)[4],
                     const uint32_t (&pitches)[4], const uint32_t (&offsets)[4],
                     const uint64_t *modifiers = nullptr);

// ---- mode choice ----
constexpr uint32_t kModeInterlace = 0x10;  // DRM_MODE_FLAG_INTERLACE
extern const drmModeModeInfo cea_modes[6];

// A parsed ZYL_KMS_MODE: WxH, optional i/I, optional @rate (0 = none).
struct ModeRequest {
    int w, h, hz;
    bool interlaced;
};
bool parse_mode_request(const char *text, ModeRequest *req);

// The mode to drive on `connector` (which lists at least one mode). `request` is the
// ZYL_KMS_MODE text or null; `vc4` selects the vc4 size rules. `forced_out` is set to
// 1 when a cea_modes row is returned.
drmModeModeInfo choose_mode(const drmModeConnector *connector, const char *request, bool vc4,
                            int allow_cea_force, int *forced_out);
// choose_mode with the card's driver.
drmModeModeInfo pick_mode(int fd, const drmModeConnector *connector, int allow_cea_force,
                          int *forced_out, const char *request);
// The candidate's size at the rate nearest 60 Hz the connector lists.
drmModeModeInfo prefer_60hz(const drmModeConnector *connector, const drmModeModeInfo &candidate);
bool drv_is_vc4(int fd);
// Printed for a DSI panel when ZYL_KMS_MODE asks for another size.
void panel_mode_notice(const char *request, const drmModeModeInfo &chosen);

// ---- CRTC and video plane choice ----
// What the choice needs to know about one entry of the card's plane list.
struct PlaneInfo {
    uint32_t id;
    uint32_t possible_crtcs;
    bool readable;
    bool nv12;  // lists formats, NV12 among them
    int type;   // 0 overlay, 1 primary, 2 cursor, -1 properties unreadable
};
struct EncoderInfo {
    bool readable;
    uint32_t possible_crtcs;
};
enum class VideoPlaneKind { kNone, kOverlay, kCursor, kPrimaryFallback };
struct VideoChoice {
    VideoPlaneKind kind;
    int crtc_idx;
    uint32_t crtc_id;
    uint32_t plane_id;
    int plane_idx;
    uint32_t primary_id;  // the CRTC's NV12 primary plane, 0 = none; takes the atomic modeset
};
VideoChoice choose_video_plane(std::span<const EncoderInfo> encoders,
                               std::span<const uint32_t> crtc_ids,
                               std::span<const PlaneInfo> planes, uint32_t used_crtcs,
                               uint32_t used_planes);
inline bool in_mask(uint32_t mask, int idx) {
    return idx >= 0 && idx < 32 && (mask >> idx & 1);
}
inline void add_to_mask(uint32_t *mask, int idx) {
    if (idx >= 0 && idx < 32) *mask |= 1u << idx;
}

// ---- modeset and mode report ----
// A w x h 32-bit buffer, mapped and cleared; without a mapping when that failed,
// empty when the kernel refused the buffer.

// One connector to light, as discovery chose it.
struct LightRequest {
    int out_no;  // index the output gets in the Display
    const drmModeConnector *connector;
    uint32_t crtc_id;
    uint32_t modeset_plane;  // plane of the atomic modeset
    const char *request;     // the mode request honoured when choosing again; null: none
    int fd;
    bool testfill;
    const PaintStandby &paint;
};
struct LitOutput {
    drmModeModeInfo mode;  // the mode actually set
    int forced;            // a cea_modes row was accepted
    int atomic_modeset;
    DumbBuffer standby;
};
// Makes the standby buffer and sets the mode; a refused forced timing is retried
// once with the advertised one. False when the connector must be skipped.
[[nodiscard]] bool light_output(const LightRequest &rq, drmModeModeInfo mode, int forced,
                                LitOutput *lit);
// Stores the video plane's atomic property ids (frames go out as atomic commits when
// the card takes them: `atomic_cap`) and rotation capabilities.
void fill_plane_props(KmsOutput *o, int out_no, bool atomic_cap);
// A plane's atomic property ids from its property table.
PlaneProps plane_props(const PropTable &props);

// Refresh as reported to other processes: vrefresh, else derived from the timings.
uint32_t mode_report_refresh(const drmModeModeInfo &mode);
std::string mode_report_line(const drmModeModeInfo &mode);
void write_mode_report(const drmModeModeInfo &mode);
// XR24 test colour of output `n`.
uint32_t testfill_colour(int n);

// ---- overlay plane ----
// What the probe needs to know about one entry of the card's plane list.
struct MenuPlaneInfo {
    uint32_t id;
    uint32_t possible_crtcs;
    bool readable;
    bool argb;           // lists AR24
    int type;            // 0 overlay, 1 primary, 2 cursor, -1 properties unreadable
    uint32_t zpos_prop;  // 0 = none
    uint64_t zpos;
    uint64_t zpos_top = 0;  // the highest zpos it can be given: its own when immutable
};
struct MenuCandidate {
    uint32_t plane_id;
    uint32_t zpos_prop;
    uint64_t zpos;
    bool overlay;
    int index;  // in the card's plane list
    uint64_t zpos_top = 0;
};
// The zpos the overlay plane `c` is given over a video plane at `video_zpos` (none:
// it has no zpos): the top of its range, strictly above the video. Nothing when it
// cannot be above; its own when it has no zpos (the driver's order then stands).
std::optional<uint64_t> overlay_zpos(const MenuCandidate &c, std::optional<uint64_t> video_zpos);
// The planes worth probing for the overlay of the output on CRTC `crtc_idx`, best
// first (highest zpos, overlay-typed first among equals), at most 16. `named` is
// the menu plane setting (0: any); a named plane qualifies whatever its type.
std::vector<MenuCandidate> menu_plane_candidates(std::span<const MenuPlaneInfo> planes,
                                                 int crtc_idx, uint32_t used_planes,
                                                 uint32_t named);
// Gives the output an ARGB overlay plane that proved it scans out a linear buffer,
// with three buffers and a drawing surface, and claims it in `used_planes`; without one
// the output draws its overlays into the standby buffer (sidebar).
void probe_menu_plane(KmsOutput *o, int out_no, std::span<const MenuPlaneInfo> planes,
                      uint32_t *used_planes, uint32_t named);
// Gives a sidebar output an overlay surface that the GPU pass can draw over the video
// (menu[0] exported as a dma-buf, and a drawing surface); without one it keeps only
// the sidebar.
void compose_surface_create(KmsOutput &o);
// Copies the drawing surface into the GPU pass's overlay surface, mirrored by the
// output's flip, and counts a new version of its pixels.
void compose_surface_present(KmsOutput &o);
// The overlay buffer to draw the next picture into: the one an update not yet
// handed over shows, else one neither on screen nor possibly still scanned out.
int menu_back(const KmsOutput &o);
// Puts overlay buffer `index` (drawn, or copied from the drawing surface) on the
// plane, mirrored by the output's flip: at once by the legacy call, or, where updates
// ride the output's commits, with its next one.
void menu_present(KmsOutput &o, int index);
// Takes the overlay plane off the screen, likewise.
void menu_plane_off(KmsOutput &o);
// The output's pending overlay update as items of an atomic request.
void menu_add_to(drmModeAtomicReq *req, const KmsOutput &o);
// The pending overlay update alone as one atomic request with `flags`; 0 or a
// negative error.
int menu_commit(const KmsOutput &o, uint32_t flags);
// The pending overlay update by the legacy call (blocking on atomic drivers); 0 or
// the card's error. Either way it counts as handed over.
int menu_set_legacy(KmsOutput &o);
// Records that the card took the pending overlay update.
void menu_handed_over(KmsOutput &o);
// What the overlay plane's "pixel blend mode" (null: none) calls for: the value to set
// (straight alpha, "Coverage", where offered) and whether pixels must be
// pre-multiplied because the plane keeps blending them as pre-multiplied, as the
// kernel assumes where the property is missing.
struct OverlayBlend {
    std::optional<uint64_t> set;
    bool premultiply;
};
OverlayBlend overlay_blend(const PropEntry *blend_mode);
// Copies `w` straight-alpha ARGB pixels as pre-multiplied ones.
void premultiply_row(uint32_t *dst, const uint32_t *src, uint32_t w);
// Mirrors a 32-bit buffer in place: "h", "v" or "180"; anything else leaves it.
void flip_buffer_argb(uint8_t *px, uint32_t stride, int w, int h, Flip flip);

// ---- output table ----
bool any_output_interlaced(const Display &d);
// Whether the standby picture painted for `painted` shows right for `now`.
inline bool standby_look_same(const Look &painted, const Look &now) {
    return painted.flip == now.flip && painted.fit == now.fit;
}

// ---- frame import ----
struct AVFrame;
// From the stream's colorspace and color_range (AVColorSpace, AVColorRange): untagged
// pictures are BT.709 from 720 lines up, BT.601 below, and limited range.
YuvColor yuv_color(int colorspace, int color_range, int height);
// Gives every video plane with colour properties the frame's matrix and range: its next
// present carries them when they changed.
void video_color_follow(Display &d, const AVFrame &frame);
// Whether the `count`th failed import is reported (the 1st, then every 300th).
bool addfb_fail_reported(int64_t count);
// One framebuffer over layer 0 of a DRM PRIME frame (which has at least one layer),
// or none when the card refuses it (counted in the Display's addfb_fail).
FbId import_frame(Display &d, const AVFrame *frame);
