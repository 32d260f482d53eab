// Internal state of the virtual display card: the card described by a card file, the
// objects the program creates on it (buffers, framebuffers, blobs) and its clock.
// Only sim/vcard*.cpp and sim/fsroot.cpp include this; tests use sim/sim.h.
#pragma once

#include <cerrno>

#include <sys/stat.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vcard {

using Mode = drmModeModeInfo;

// ---- what a card file describes ----

struct Crtc {
    uint32_t id = 0;
    int index = 0;
    uint32_t primary = 0;  // primary plane id, resolved at load
    int gamma = 256;
    // state
    bool active = false;
    bool mode_valid = false;
    Mode mode{};
    uint32_t mode_blob = 0;
    // vblank clock: sequence base_seq fell at epoch_ns
    int64_t epoch_ns = 0;
    uint64_t base_seq = 0;
    int64_t pending_until_ns = 0;  // a non-blocking flip lands at this time
};

struct Encoder {
    uint32_t id = 0, type = 2, crtcs = 0, clones = 0;
};

struct Connector {
    uint32_t id = 0;
    std::string name;
    uint32_t type = 0, type_id = 0;
    bool connected = false;
    std::vector<uint32_t> encoders;
    uint32_t mm_w = 0, mm_h = 0;
    std::vector<Mode> modes;     // modes of the monitor attached now
    int64_t modes_after_ms = 0;  // EDID published this long after the card was opened
    std::string monitor;         // name of the monitor attached now ("" without one)
    uint32_t crtc = 0;           // state: CRTC driving it
    // What the last full probe found, which drmModeGetConnectorCurrent answers.
    std::vector<Mode> probed_modes;
    uint32_t probed_mm_w = 0, probed_mm_h = 0;
    uint32_t edid_blob = 0;  // 0: no EDID read
};

// Enum values of the kernel's "pixel blend mode", "COLOR_ENCODING" and "COLOR_RANGE".
enum : uint64_t { kBlendNone = 0, kBlendPremulti = 1, kBlendCoverage = 2 };
enum : uint64_t { kEncBt601 = 0, kEncBt709 = 1, kEncBt2020 = 2 };
enum : uint64_t { kRangeLimited = 0, kRangeFull = 1 };

struct PlaneState {
    uint32_t fb = 0, crtc = 0;
    int32_t crtc_x = 0, crtc_y = 0;
    uint32_t crtc_w = 0, crtc_h = 0;
    uint32_t src_x = 0, src_y = 0, src_w = 0, src_h = 0;  // 16.16
    uint64_t rotation = DRM_MODE_ROTATE_0;
    uint64_t zpos = 0;
    // "pixel blend mode", "COLOR_ENCODING", "COLOR_RANGE": the kernel's state defaults
    // (pre-multiplied, BT.601, limited) stand when the plane has no such property.
    uint64_t blend = kBlendPremulti, encoding = kEncBt601, range = kRangeLimited;
    bool operator==(const PlaneState &) const = default;
    // The plane switched off: its properties outlive its picture and place.
    PlaneState off() const {
        PlaneState o;
        o.rotation = rotation, o.zpos = zpos, o.blend = blend;
        o.encoding = encoding, o.range = range;
        return o;
    }
};

struct Plane {
    uint32_t id = 0;
    int index = 0;
    int type = DRM_PLANE_TYPE_OVERLAY;
    uint32_t crtcs = 0;
    std::vector<uint32_t> formats;
    bool has_zpos = false, zpos_immutable = false;
    uint64_t zmin = 0, zmax = 7;
    uint32_t rot_caps = 0;  // bit n: rotation value bit n offered; 0 = no "rotation" property
    bool in_formats = false;
    bool sand128 = false;  // NV12 also, and P030 only, in Broadcom SAND128 columns
    // Geometry the driver's atomic check enforces. Scale factors are source/destination
    // in 16.16 (0: any); a source or destination below min_w x min_h is not shown.
    int64_t scale_min = 0, scale_max = 0;
    uint32_t min_w = 0, min_h = 0, max_src_w = 0, max_src_h = 0;
    bool yuv_even = false;          // YUV sources must start on an even x
    bool afbc_only = false;         // compressed framebuffers only: a linear one is refused
    bool yuv_no_reflect_y = false;  // a YUV source cannot be mirrored vertically
    // bit n: blend mode n offered; 0 = no "pixel blend mode" property
    uint32_t blend_caps = 0;
    bool color_props = false;  // "COLOR_ENCODING" and "COLOR_RANGE" (all values)
    uint32_t prop_zpos = 0, prop_rotation = 0, in_formats_blob = 0;
    uint32_t prop_blend = 0, prop_encoding = 0, prop_range = 0;
    PlaneState st;
};

struct ScriptEvent {
    int64_t at_ms = 0;
    bool plug = false;  // false: unplug
    uint32_t conn = 0;
    std::string monitor;  // plug: the monitor attached (empty: the one unplugged before)
    bool done = false;
};

struct Fault {
    std::string kind;  // mode, atomic_modeset, plane, nonblock, addfb, vblank, rotate, import
    int w = -1, h = -1, interlaced = -1, hz = -1;
    uint32_t clock = 0, plane = 0, crtc = 0, format = 0;
    int err = 0;
    int times = -1;  // failures left; -1 = always
    int after = 0;   // matching requests still let through before the first failure
};

struct CardPath {
    std::string path;
    bool empty = false;  // opens a card without connectors
};

// The board's decoder, from a "decoder" line: defaults the ZYL_SIM_DEC_* variables
// override. -1: not given.
struct DecoderDesc {
    std::string family;  // "v4l2" or "mpp"; "" without a decoder line
    int64_t pipeline = -1, pool = -1;
    std::string layout;
};

struct CardDesc {
    std::string driver = "vc4", desc = "virtual display card", date = "20240101";
    int ver[3] = {1, 0, 0};
    uint32_t max_w = 8192, max_h = 8192;
    // Atomic drivers make a legacy plane update a blocking commit
    // (drm_atomic_helper_update_plane); only cursor planes take the asynchronous path.
    bool setplane_blocks = true;
    int64_t vblank_jitter_us = 0;  // vblank timestamps stamped up to this late
    uint64_t vblank_jitter_seed = 0;
    // Another display client holds the card's master until this card time (ms): -1
    // none, INT64_MAX for good.
    int64_t other_master_until_ms = -1;
    std::vector<CardPath> paths;
    std::vector<Crtc> crtcs;
    std::vector<Encoder> encoders;
    std::vector<Connector> connectors;
    std::vector<Plane> planes;
    std::map<std::string, std::vector<Mode>> monitors;
    std::vector<ScriptEvent> script;
    std::vector<Fault> faults;
    DecoderDesc decoder;
};

// Parses a card file's text. Returns "" or the first error as "line N: why".
std::string parse_card(std::string_view text, CardDesc &out);
// "1920x1080i@50" and similar; false when it does not parse.
bool parse_mode_name(std::string_view s, int &w, int &h, bool &interlaced, int &hz);
uint32_t connector_type_from_name(std::string_view name);
const char *connector_type_name(uint32_t type);

// ---- runtime objects ----

// A buffer's memory: a region of the card's own memfd (dumb buffers, so mmap of the
// card descriptor at the map offset shows it) or an imported memfd kept mapped.
struct Bo {
    int card_fd = -1;  // dumb buffer: the card memfd holding it
    uint64_t offset = 0, size = 0;
    uint8_t *map = nullptr;
    bool imported = false;
    dev_t dev = 0;
    ino_t ino = 0;
    ~Bo();
};

struct Handle {
    std::shared_ptr<Bo> bo;
};

struct Fb {
    uint32_t id = 0, w = 0, h = 0, format = 0, flags = 0;
    uint64_t modifier = 0;
    std::array<std::shared_ptr<Bo>, 4> bo;
    std::array<uint32_t, 4> handles{}, pitches{}, offsets{};
};

struct Prop {
    uint32_t id = 0;
    std::string name;
    uint32_t flags = 0;
    std::vector<uint64_t> values;
    std::vector<std::pair<uint64_t, std::string>> enums;
};

struct PropIds {
    uint32_t type, fb_id, crtc_id, crtc_x, crtc_y, crtc_w, crtc_h, src_x, src_y, src_w, src_h;
    uint32_t in_formats, active, mode_id, dpms, edid;
};

struct Blob {
    std::vector<uint8_t> data;
    bool user = false;  // made by the program and not yet destroyed by it
};

struct VEvent {
    int64_t at_ns;  // when the vblank was stamped: the event's time, and when it is read
    uint32_t crtc_id;
    uint64_t seq;
    uint64_t user;
    bool flip;
};

struct State {
    bool loaded = false;
    std::string error;
    CardDesc card;
    int memfd = -1, empty_memfd = -1;
    ino_t ino = 0, empty_ino = 0;
    dev_t dev = 0;
    uint32_t next_id = 1;
    std::vector<Prop> props;
    PropIds pid{};
    std::map<uint32_t, Handle> handles;
    uint32_t next_handle = 1;
    // Imported memory by memfd inode, while a handle or a framebuffer holds it, so a
    // buffer imported again while still shown is the same memory, counted once.
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Bo>> imports;
    uint64_t imported_bytes = 0, imported_bytes_max = 0;
    // Buffers exported with drmPrimeHandleToFD, by the inode of the descriptor handed
    // out, while a handle or a framebuffer holds them.
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Bo>> exports;
    std::map<uint32_t, Fb> fbs;
    size_t fbs_max = 0;
    std::map<uint32_t, Blob> blobs;
    uint64_t next_offset = 0;
    bool master = true, cap_universal = false, cap_atomic = false;
    // clock: elapsed time since the card was first opened
    bool manual_clock = false;
    int64_t manual_ns = 0;
    int64_t open_mono_ns = -1;  // -1: not opened yet
    std::vector<VEvent> events;
    int live_dumb = 0;
    uint64_t plane_updates = 0, commits = 0, setcrtcs = 0, failed = 0;
    std::vector<std::string> log;
    std::string png_dir;
};

extern std::mutex g_mu;
State &st();  // never destroyed, so atexit writers and late threads can still use it

// Loads a parsed card as the virtual card (replacing any loaded one). Caller holds g_mu.
void install_card(CardDesc &&desc);
void unload_card();
// Loads ZYL_SIM_CARD when no card is loaded yet. Caller holds g_mu.
void ensure_loaded();

int64_t mono_ns();
int64_t now_ns();  // card clock
void start_clock();
// Sleeps until card time t with g_mu held by `lk` (released while sleeping).
void sleep_until(std::unique_lock<std::mutex> &lk, int64_t t);

// Which card an fd belongs to: 1 the card, 2 the connector-less card, 0 none.
int fd_kind(int fd);

// Applies scripted connector changes that are due.
void run_script();
// Whether another display client holds the card's master now.
bool other_master_holds();
const std::vector<Mode> &visible_modes(const Connector &c);
// A full probe of a connector: its mode list, size and EDID as the monitor shows them now.
void probe_connector(Connector &c);
// The time the card reports for the vblank `seq` of a CRTC fell at (card clock).
int64_t vblank_stamp(const Crtc &c, uint64_t seq);

Crtc *find_crtc(uint32_t id);
Crtc *crtc_by_index(int index);
Plane *find_plane(uint32_t id);
Connector *find_connector(uint32_t id);
Encoder *find_encoder(uint32_t id);
const Prop *find_prop(uint32_t id);
uint32_t new_blob(const void *data, size_t size, bool user);
// Drops blobs that neither the program nor any CRTC holds any more.
void gc_blobs();

// Vblank clock of a CRTC.
int64_t frame_ns(const Mode &m);
uint64_t vblank_seq(const Crtc &c, int64_t t);
int64_t vblank_time(const Crtc &c, uint64_t seq);

// Current property list of an object with values; false when the object does not
// exist with that type.
bool object_props(uint32_t id, uint32_t type, std::vector<std::pair<uint32_t, uint64_t>> &out);

void log_line(const std::string &line);
const Fault *match_fault(const char *kind, uint32_t plane, uint32_t crtc, uint32_t format,
                         const Mode *mode);
int take_fault(const Fault *f);  // the errno it injects, counting down `times`

bool format_supported(uint32_t fourcc);
std::string fourcc_text(uint32_t fourcc);
std::string mode_text(const Mode &m);
// The plane's source or destination is below its minimum size: the driver leaves the
// plane off rather than refusing it.
bool plane_too_small(const Plane &p, const PlaneState &ps);

int compose_connector(const Connector &c, std::vector<uint8_t> &rgb, int &w, int &h);
int write_pngs_locked(const std::string &dir);

// libdrm's two ways of failing: -errno, or -1 with errno set.
inline int neg(int e) {
    errno = e;
    return -e;
}
inline int m1(int e) {
    errno = e;
    return -1;
}

}  // namespace vcard

// Entry points for sim/fsroot.cpp: opening and stat of /dev/dri paths.
int vcard_open_path(const char *path, int flags);
int vcard_stat_path(const char *path, struct stat *sb);
