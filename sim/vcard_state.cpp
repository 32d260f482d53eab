// The virtual card's process-wide state: loading a card file, its clock, scripted
// connector changes, properties, faults, counters and the test-facing functions.
#include "sim/frame_origin.h"
#include "sim/sim.h"
#include "sim/vcard.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vcard {

std::mutex g_mu;

State &st() {
    static State *s = new State;
    return *s;
}

namespace {

int g_log_fd = -1;
bool g_atexit_done = false;
std::string g_failed_env;  // a ZYL_SIM_CARD that did not load, reported once

void write_pngs_at_exit() {
    std::lock_guard<std::mutex> lk(g_mu);
    if (st().loaded && !st().png_dir.empty()) write_pngs_locked(st().png_dir);
}

uint32_t add_prop(const std::string &name, uint32_t flags, std::vector<uint64_t> values,
                  std::vector<std::pair<uint64_t, std::string>> enums = {}) {
    State &s = st();
    Prop p{s.next_id++, name, flags, std::move(values), std::move(enums)};
    s.props.push_back(p);
    return p.id;
}

void make_props() {
    State &s = st();
    PropIds &id = s.pid;
    const uint64_t imin = static_cast<uint64_t>(static_cast<int64_t>(INT_MIN));
    id.type = add_prop("type", DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE, {0, 1, 2},
                       {{0, "Overlay"}, {1, "Primary"}, {2, "Cursor"}});
    id.fb_id = add_prop("FB_ID", DRM_MODE_PROP_OBJECT | DRM_MODE_PROP_ATOMIC, {DRM_MODE_OBJECT_FB});
    id.crtc_id =
        add_prop("CRTC_ID", DRM_MODE_PROP_OBJECT | DRM_MODE_PROP_ATOMIC, {DRM_MODE_OBJECT_CRTC});
    id.crtc_x =
        add_prop("CRTC_X", DRM_MODE_PROP_SIGNED_RANGE | DRM_MODE_PROP_ATOMIC, {imin, INT_MAX});
    id.crtc_y =
        add_prop("CRTC_Y", DRM_MODE_PROP_SIGNED_RANGE | DRM_MODE_PROP_ATOMIC, {imin, INT_MAX});
    id.crtc_w = add_prop("CRTC_W", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC, {0, INT_MAX});
    id.crtc_h = add_prop("CRTC_H", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC, {0, INT_MAX});
    id.src_x = add_prop("SRC_X", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC, {0, UINT_MAX});
    id.src_y = add_prop("SRC_Y", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC, {0, UINT_MAX});
    id.src_w = add_prop("SRC_W", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC, {0, UINT_MAX});
    id.src_h = add_prop("SRC_H", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC, {0, UINT_MAX});
    id.in_formats = add_prop("IN_FORMATS", DRM_MODE_PROP_BLOB | DRM_MODE_PROP_IMMUTABLE, {});
    id.active = add_prop("ACTIVE", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC, {0, 1});
    id.mode_id = add_prop("MODE_ID", DRM_MODE_PROP_BLOB | DRM_MODE_PROP_ATOMIC, {});
    id.edid = add_prop("EDID", DRM_MODE_PROP_BLOB | DRM_MODE_PROP_IMMUTABLE, {});
    id.dpms = add_prop("DPMS", DRM_MODE_PROP_ENUM, {0, 1, 2, 3},
                       {{0, "On"}, {1, "Standby"}, {2, "Suspend"}, {3, "Off"}});
    static const char *const kRot[] = {"rotate-0",   "rotate-90", "rotate-180",
                                       "rotate-270", "reflect-x", "reflect-y"};
    for (auto &p : s.card.planes) {
        if (p.has_zpos)
            p.prop_zpos = add_prop(
                "zpos", DRM_MODE_PROP_RANGE | (p.zpos_immutable ? DRM_MODE_PROP_IMMUTABLE : 0),
                {p.zmin, p.zmax});
        if (p.rot_caps) {
            std::vector<uint64_t> vals;
            std::vector<std::pair<uint64_t, std::string>> en;
            for (int b = 0; b < 6; b++)
                if (p.rot_caps & (1u << b)) {
                    vals.push_back(b);
                    en.emplace_back(b, kRot[b]);
                }
            p.prop_rotation = add_prop("rotation", DRM_MODE_PROP_BITMASK, vals, en);
        }
        if (p.blend_caps) {
            static const char *const kBlend[] = {"None", "Pre-multiplied", "Coverage"};
            std::vector<uint64_t> vals;
            std::vector<std::pair<uint64_t, std::string>> en;
            for (uint64_t b = 0; b < 3; b++)
                if (p.blend_caps >> b & 1) {
                    vals.push_back(b);
                    en.emplace_back(b, kBlend[b]);
                }
            p.prop_blend = add_prop("pixel blend mode", DRM_MODE_PROP_ENUM, vals, en);
        }
        if (p.color_props) {
            p.prop_encoding = add_prop(
                "COLOR_ENCODING", DRM_MODE_PROP_ENUM, {0, 1, 2},
                {{0, "ITU-R BT.601 YCbCr"}, {1, "ITU-R BT.709 YCbCr"}, {2, "ITU-R BT.2020 YCbCr"}});
            p.prop_range = add_prop("COLOR_RANGE", DRM_MODE_PROP_ENUM, {0, 1},
                                    {{0, "YCbCr limited range"}, {1, "YCbCr full range"}});
        }
        if (p.in_formats) {
            // Laid out as the kernel lays the blob: the linear modifier for every format
            // but P030 (the Pi's HVS reads it only in columns), and SAND128 for NV12 and
            // P030 where the plane scans columns.
            size_t nf = std::min<size_t>(p.formats.size(), 64);
            drm_format_modifier_blob hdr{};
            hdr.version = FORMAT_BLOB_CURRENT;
            hdr.count_formats = static_cast<uint32_t>(nf);
            hdr.formats_offset = sizeof hdr;
            uint64_t linear = 0, sand = 0;
            for (size_t i = 0; i < nf; i++) {
                uint32_t f = p.formats[i];
                if (f != DRM_FORMAT_P030) linear |= 1ull << i;
                if (p.sand128 && (f == DRM_FORMAT_NV12 || f == DRM_FORMAT_P030)) sand |= 1ull << i;
            }
            hdr.count_modifiers = sand ? 2 : 1;
            hdr.modifiers_offset = static_cast<uint32_t>(sizeof hdr + nf * 4);
            hdr.modifiers_offset = (hdr.modifiers_offset + 7) & ~7u;
            drm_format_modifier mod{};
            mod.formats = linear;
            // A compressed-only window lists AFBC where others list linear.
            mod.modifier =
                p.afbc_only ? DRM_FORMAT_MOD_ARM_AFBC(AFBC_FORMAT_MOD_BLOCK_SIZE_16x16 |
                                                      AFBC_FORMAT_MOD_SPARSE | AFBC_FORMAT_MOD_YTR)
                            : DRM_FORMAT_MOD_LINEAR;
            std::vector<uint8_t> blob(hdr.modifiers_offset + hdr.count_modifiers * sizeof mod);
            memcpy(blob.data(), &hdr, sizeof hdr);
            memcpy(blob.data() + sizeof hdr, p.formats.data(), nf * 4);
            memcpy(blob.data() + hdr.modifiers_offset, &mod, sizeof mod);
            if (sand) {
                // The column height is the buffer's own: the plane lists the family.
                mod.formats = sand;
                mod.modifier = DRM_FORMAT_MOD_BROADCOM_SAND128;
                memcpy(blob.data() + hdr.modifiers_offset + sizeof mod, &mod, sizeof mod);
            }
            p.in_formats_blob = new_blob(blob.data(), blob.size(), false);
        }
    }
}

int make_memfd(ino_t &ino, dev_t &dev) {
    int fd = memfd_create("zyl-vcard", MFD_CLOEXEC);
    struct stat sb;
    if (fd >= 0 && fstat(fd, &sb) == 0) {
        ino = sb.st_ino;
        dev = sb.st_dev;
    }
    return fd;
}

}  // namespace

Bo::~Bo() {
    if (map) munmap(map, size);
    if (imported) {
        State &s = st();
        s.imported_bytes -= std::min(s.imported_bytes, size);
        if (auto it = s.imports.find({dev, ino}); it != s.imports.end() && it->second.expired())
            s.imports.erase(it);
    }
    // The program may still have the region mapped; a hole keeps its pages from
    // piling up in the card's memfd once the buffer is gone.
    if (card_fd >= 0)
        fallocate(card_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                  static_cast<off_t>(size));
}

void unload_card() {
    State &s = st();
    s.fbs.clear();
    s.handles.clear();
    s.blobs.clear();
    if (s.memfd >= 0) close(s.memfd);
    if (s.empty_memfd >= 0) close(s.empty_memfd);
    if (g_log_fd >= 0) close(g_log_fd);
    g_log_fd = -1;
    s.~State();
    new (&s) State;
}

void install_card(CardDesc &&desc) {
    // A test that set the clock by hand before loading keeps it.
    bool manual = st().manual_clock;
    int64_t manual_ns = st().manual_ns;
    unload_card();
    State &s = st();
    s.manual_clock = manual;
    s.manual_ns = manual_ns;
    s.card = std::move(desc);
    s.memfd = make_memfd(s.ino, s.dev);
    dev_t dev2;
    for (auto &p : s.card.paths)
        if (p.empty && s.empty_memfd < 0) s.empty_memfd = make_memfd(s.empty_ino, dev2);
    uint32_t max_id = 0;
    for (auto &c : s.card.crtcs) max_id = std::max(max_id, c.id);
    for (auto &e : s.card.encoders) max_id = std::max(max_id, e.id);
    for (auto &c : s.card.connectors) max_id = std::max(max_id, c.id);
    for (auto &p : s.card.planes) max_id = std::max(max_id, p.id);
    s.next_id = max_id + 1;
    make_props();
    s.loaded = true;
    const char *png = getenv("ZYL_SIM_PNG_DIR");
    if (png && *png) {
        s.png_dir = png;
        if (!g_atexit_done) atexit(write_pngs_at_exit);
        g_atexit_done = true;
    }
    const char *logp = getenv("ZYL_SIM_CARD_LOG");
    if (logp && *logp) g_log_fd = open(logp, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void ensure_loaded() {
    if (st().loaded) return;
    const char *path = getenv("ZYL_SIM_CARD");
    if (!path || !*path) return;
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    CardDesc desc;
    std::string err = f ? parse_card(ss.str(), desc) : std::string("cannot read the file");
    if (!err.empty()) {
        if (g_failed_env != path) fprintf(stderr, "zyl-sim: card file %s: %s\n", path, err.c_str());
        g_failed_env = path;
        return;
    }
    install_card(std::move(desc));
}

int64_t mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t now_ns() {
    State &s = st();
    if (s.manual_clock) return s.manual_ns;
    return s.open_mono_ns < 0 ? 0 : mono_ns() - s.open_mono_ns;
}

void start_clock() {
    if (st().open_mono_ns < 0) st().open_mono_ns = mono_ns();
}

void sleep_until(std::unique_lock<std::mutex> &lk, int64_t t) {
    State &s = st();
    if (s.manual_clock) {
        s.manual_ns = std::max(s.manual_ns, t);
        return;
    }
    start_clock();
    int64_t target = s.open_mono_ns + t;
    lk.unlock();
    timespec ts{static_cast<time_t>(target / 1000000000), static_cast<long>(target % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    lk.lock();
}

int fd_kind(int fd) {
    State &s = st();
    struct stat sb;
    if (!s.loaded || fd < 0 || fstat(fd, &sb) != 0 || sb.st_dev != s.dev) return 0;
    if (sb.st_ino == s.ino) return 1;
    if (s.empty_memfd >= 0 && sb.st_ino == s.empty_ino) return 2;
    return 0;
}

bool other_master_holds() {
    return now_ns() / 1000000 < st().card.other_master_until_ms;
}

void run_script() {
    State &s = st();
    int64_t now_ms = now_ns() / 1000000;
    for (auto &e : s.card.script) {
        if (e.done || e.at_ms > now_ms) continue;
        e.done = true;
        Connector *c = find_connector(e.conn);
        if (!c) continue;
        c->connected = e.plug;
        if (e.plug && !e.monitor.empty()) {
            c->modes = s.card.monitors[e.monitor];
            c->monitor = e.monitor;
        }
        log_line("script " + std::string(e.plug ? "plug " : "unplug ") + c->name +
                 (e.monitor.empty() ? "" : " " + e.monitor));
    }
}

const std::vector<Mode> &visible_modes(const Connector &c) {
    static const std::vector<Mode> none;
    if (!c.connected || now_ns() < c.modes_after_ms * 1000000) return none;
    return c.modes;
}

namespace {

// A base EDID 1.4 block: the monitor's name as its product name and serial, its first
// mode as the preferred detailed timing, so that two monitors never share one.
std::vector<uint8_t> make_edid(const std::string &name, const Mode &m, uint32_t mm_w,
                               uint32_t mm_h) {
    std::vector<uint8_t> e(128, 0);
    static const uint8_t kHeader[8] = {0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0};
    memcpy(e.data(), kHeader, 8);
    e[8] = ('Z' - '@') << 2 | ('Y' - '@') >> 3;  // manufacturer "ZYL", 5 bits a letter
    e[9] = uint8_t(('Y' - '@') << 5 | ('L' - '@'));
    uint32_t hash = 2166136261u;
    for (char ch : name) hash = (hash ^ uint8_t(ch)) * 16777619u;
    e[10] = uint8_t(hash), e[11] = uint8_t(hash >> 8);
    for (int i = 0; i < 4; i++) e[12 + i] = uint8_t(hash >> (8 * i + 3));
    e[16] = 1, e[17] = 34;  // week 1 of 2024
    e[18] = 1, e[19] = 4;   // EDID 1.4
    e[20] = 0xa5;           // digital, 8 bits, HDMI-a
    e[21] = uint8_t(std::min<uint32_t>(mm_w / 10, 255));
    e[22] = uint8_t(std::min<uint32_t>(mm_h / 10, 255));
    e[23] = 120, e[24] = 0x0a;               // gamma 2.2; RGB, preferred timing native
    for (int i = 38; i < 54; i++) e[i] = 1;  // no standard timings
    uint8_t *d = &e[54];                     // detailed timing of the first mode
    uint32_t clk = m.clock / 10, hbl = m.htotal - m.hdisplay, vbl = m.vtotal - m.vdisplay;
    uint32_t hso = m.hsync_start - m.hdisplay, hsw = m.hsync_end - m.hsync_start;
    uint32_t vso = m.vsync_start - m.vdisplay, vsw = m.vsync_end - m.vsync_start;
    bool il = m.flags & DRM_MODE_FLAG_INTERLACE;
    uint32_t va = il ? m.vdisplay / 2 : m.vdisplay;
    d[0] = uint8_t(clk), d[1] = uint8_t(clk >> 8);
    d[2] = uint8_t(m.hdisplay), d[3] = uint8_t(hbl),
    d[4] = uint8_t((m.hdisplay >> 8) << 4 | hbl >> 8);
    d[5] = uint8_t(va), d[6] = uint8_t(vbl), d[7] = uint8_t((va >> 8) << 4 | vbl >> 8);
    d[8] = uint8_t(hso), d[9] = uint8_t(hsw), d[10] = uint8_t((vso & 15) << 4 | (vsw & 15));
    d[11] =
        uint8_t((hso >> 8 & 3) << 6 | (hsw >> 8 & 3) << 4 | (vso >> 4 & 3) << 2 | (vsw >> 4 & 3));
    d[12] = uint8_t(mm_w), d[13] = uint8_t(mm_h),
    d[14] = uint8_t((mm_w >> 8) << 4 | (mm_h >> 8 & 15));
    d[17] = uint8_t((il ? 0x80 : 0) | 0x18 | (m.flags & DRM_MODE_FLAG_PVSYNC ? 4 : 0) |
                    (m.flags & DRM_MODE_FLAG_PHSYNC ? 2 : 0));
    const uint8_t kTags[3] = {0xfc, 0xff, 0x10};  // name, serial text, dummy
    for (int k = 0; k < 3; k++) {
        uint8_t *t = &e[72 + 18 * k];
        t[3] = kTags[k];
        if (kTags[k] == 0x10) continue;
        std::string text = k == 0 ? name : std::to_string(hash);
        text = text.substr(0, 13);
        for (int i = 0; i < 13; i++)
            t[5 + i] = i < int(text.size())    ? uint8_t(text[i])
                       : i == int(text.size()) ? 0x0a
                                               : 0x20;
    }
    uint8_t sum = 0;
    for (int i = 0; i < 127; i++) sum = uint8_t(sum + e[i]);
    e[127] = uint8_t(-sum);
    return e;
}

}  // namespace

void probe_connector(Connector &c) {
    const std::vector<Mode> &modes = visible_modes(c);
    c.probed_modes = modes;
    c.probed_mm_w = c.connected ? c.mm_w : 0;
    c.probed_mm_h = c.connected ? c.mm_h : 0;
    // As drm_connector_update_edid_property: a fresh blob on every read (the old one
    // is gone), none while no EDID can be read.
    c.edid_blob = 0;
    if (!modes.empty()) {
        std::vector<uint8_t> edid =
            make_edid(c.monitor.empty() ? c.name : c.monitor, modes[0], c.mm_w, c.mm_h);
        c.edid_blob = new_blob(edid.data(), edid.size(), false);
    }
    gc_blobs();
}

int64_t vblank_stamp(const Crtc &c, uint64_t seq) {
    int64_t t = vblank_time(c, seq), j = st().card.vblank_jitter_us;
    if (j <= 0) return t;
    // The interrupt handler stamps the vblank late by a random amount; drawn from the
    // CRTC's id and the count, so a run gives the same stamps whatever the order of
    // the calls, one vblank always the same stamp, and another seed other stamps.
    uint64_t x =
        (uint64_t(c.id) << 40) ^ seq ^ (st().card.vblank_jitter_seed * 0x9e3779b97f4a7c15ull);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    x ^= x >> 31;
    return t + static_cast<int64_t>(x % uint64_t(j * 1000 + 1));
}

Crtc *find_crtc(uint32_t id) {
    for (auto &c : st().card.crtcs)
        if (c.id == id) return &c;
    return nullptr;
}

Crtc *crtc_by_index(int index) {
    auto &v = st().card.crtcs;
    return index >= 0 && index < static_cast<int>(v.size()) ? &v[index] : nullptr;
}

Plane *find_plane(uint32_t id) {
    for (auto &p : st().card.planes)
        if (p.id == id) return &p;
    return nullptr;
}

Connector *find_connector(uint32_t id) {
    for (auto &c : st().card.connectors)
        if (c.id == id) return &c;
    return nullptr;
}

Encoder *find_encoder(uint32_t id) {
    for (auto &e : st().card.encoders)
        if (e.id == id) return &e;
    return nullptr;
}

const Prop *find_prop(uint32_t id) {
    for (auto &p : st().props)
        if (p.id == id) return &p;
    return nullptr;
}

uint32_t new_blob(const void *data, size_t size, bool user) {
    State &s = st();
    uint32_t id = s.next_id++;
    const uint8_t *b = static_cast<const uint8_t *>(data);
    s.blobs[id] = Blob{std::vector<uint8_t>(b, b + size), user};
    return id;
}

void gc_blobs() {
    State &s = st();
    for (auto it = s.blobs.begin(); it != s.blobs.end();) {
        bool held = it->second.user;
        for (auto &c : s.card.crtcs) held |= c.mode_blob == it->first;
        for (auto &p : s.card.planes) held |= p.in_formats_blob == it->first;
        for (auto &c : s.card.connectors) held |= c.edid_blob == it->first;
        it = held ? std::next(it) : s.blobs.erase(it);
    }
}

int64_t frame_ns(const Mode &m) {
    int64_t ns = 0;
    if (m.clock && m.htotal && m.vtotal)
        ns = int64_t(m.htotal) * m.vtotal * 1000000 / m.clock;
    else if (m.vrefresh)
        ns = 1000000000 / m.vrefresh;
    else
        ns = 1000000000 / 60;
    if ((m.flags & DRM_MODE_FLAG_INTERLACE) && m.clock && m.htotal && m.vtotal) ns /= 2;
    return std::max<int64_t>(ns, 1000000);
}

uint64_t vblank_seq(const Crtc &c, int64_t t) {
    if (t <= c.epoch_ns) return c.base_seq;
    return c.base_seq + static_cast<uint64_t>((t - c.epoch_ns) / frame_ns(c.mode));
}

int64_t vblank_time(const Crtc &c, uint64_t seq) {
    return c.epoch_ns + static_cast<int64_t>(seq - c.base_seq) * frame_ns(c.mode);
}

bool object_props(uint32_t id, uint32_t type, std::vector<std::pair<uint32_t, uint64_t>> &out) {
    State &s = st();
    const PropIds &p = s.pid;
    out.clear();
    bool atomic = s.cap_atomic;
    bool any = type == DRM_MODE_OBJECT_ANY;
    if (Crtc *c = find_crtc(id); c && (any || type == DRM_MODE_OBJECT_CRTC)) {
        if (atomic) {
            out.emplace_back(p.active, c->active);
            out.emplace_back(p.mode_id, c->mode_blob);
        }
        return true;
    }
    if (Connector *c = find_connector(id); c && (any || type == DRM_MODE_OBJECT_CONNECTOR)) {
        out.emplace_back(p.dpms, 0);
        if (c->edid_blob) out.emplace_back(p.edid, c->edid_blob);
        if (atomic) out.emplace_back(p.crtc_id, c->crtc);
        return true;
    }
    if (Plane *pl = find_plane(id); pl && (any || type == DRM_MODE_OBJECT_PLANE)) {
        const PlaneState &ps = pl->st;
        out.emplace_back(p.type, pl->type);
        if (atomic) {
            out.emplace_back(p.fb_id, ps.fb);
            out.emplace_back(p.crtc_id, ps.crtc);
            out.emplace_back(p.crtc_x, static_cast<uint64_t>(static_cast<int64_t>(ps.crtc_x)));
            out.emplace_back(p.crtc_y, static_cast<uint64_t>(static_cast<int64_t>(ps.crtc_y)));
            out.emplace_back(p.crtc_w, ps.crtc_w);
            out.emplace_back(p.crtc_h, ps.crtc_h);
            out.emplace_back(p.src_x, ps.src_x);
            out.emplace_back(p.src_y, ps.src_y);
            out.emplace_back(p.src_w, ps.src_w);
            out.emplace_back(p.src_h, ps.src_h);
        }
        if (pl->prop_zpos) out.emplace_back(pl->prop_zpos, ps.zpos);
        if (pl->prop_rotation) out.emplace_back(pl->prop_rotation, ps.rotation);
        if (pl->prop_blend) out.emplace_back(pl->prop_blend, ps.blend);
        if (pl->prop_encoding) out.emplace_back(pl->prop_encoding, ps.encoding);
        if (pl->prop_range) out.emplace_back(pl->prop_range, ps.range);
        if (pl->in_formats_blob) out.emplace_back(p.in_formats, pl->in_formats_blob);
        return true;
    }
    if (Encoder *e = find_encoder(id); e && (any || type == DRM_MODE_OBJECT_ENCODER)) return true;
    return false;
}

void log_line(const std::string &line) {
    State &s = st();
    if (s.log.size() >= 20000) s.log.erase(s.log.begin(), s.log.begin() + 10000);
    s.log.push_back(line);
    if (g_log_fd >= 0) {
        std::string l = line + "\n";
        if (write(g_log_fd, l.data(), l.size()) < 0) {
        }
    }
}

const Fault *match_fault(const char *kind, uint32_t plane, uint32_t crtc, uint32_t format,
                         const Mode *mode) {
    for (const auto &f : st().card.faults) {
        if (f.kind != kind || f.times == 0) continue;
        if (f.plane && f.plane != plane) continue;
        if (f.crtc && f.crtc != crtc) continue;
        if (f.format && f.format != format) continue;
        if (f.w >= 0) {
            if (!mode || mode->hdisplay != f.w || mode->vdisplay != f.h) continue;
            if (bool(mode->flags & DRM_MODE_FLAG_INTERLACE) != bool(f.interlaced)) continue;
            if (f.hz >= 0 && mode->vrefresh != static_cast<uint32_t>(f.hz)) continue;
        }
        if (f.clock && (!mode || mode->clock != f.clock)) continue;
        if (f.after > 0) {
            const_cast<Fault &>(f).after--;
            continue;
        }
        return &f;
    }
    return nullptr;
}

int take_fault(const Fault *f) {
    Fault *m = const_cast<Fault *>(f);
    if (m->times > 0) m->times--;
    return f->err ? f->err : EINVAL;
}

bool format_supported(uint32_t f) {
    switch (f) {
        case DRM_FORMAT_NV12:
        case DRM_FORMAT_P010:
        case DRM_FORMAT_NV15:
        case DRM_FORMAT_P030:
        case DRM_FORMAT_XRGB8888:
        case DRM_FORMAT_ARGB8888:
        case DRM_FORMAT_XBGR8888:
        case DRM_FORMAT_ABGR8888:
        case DRM_FORMAT_RGB565:
            return true;
    }
    return false;
}

std::string fourcc_text(uint32_t f) {
    char s[5] = {char(f & 0xff), char((f >> 8) & 0xff), char((f >> 16) & 0xff),
                 char((f >> 24) & 0xff), 0};
    return s;
}

std::string mode_text(const Mode &m) {
    return std::to_string(m.hdisplay) + "x" + std::to_string(m.vdisplay) +
           ((m.flags & DRM_MODE_FLAG_INTERLACE) ? "i" : "") + "@" + std::to_string(m.vrefresh);
}

}  // namespace vcard

using namespace vcard;

int vcard_open_path(const char *path, int flags) {
    std::lock_guard<std::mutex> lk(g_mu);
    ensure_loaded();
    State &s = st();
    if (s.loaded)
        for (const auto &p : s.card.paths)
            if (p.path == path) {
                start_clock();
                // The kernel makes an opener master only when no client is.
                s.master = !other_master_holds();
                int fd = fcntl(p.empty ? s.empty_memfd : s.memfd,
                               (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
                return fd;
            }
    errno = ENOENT;
    return -1;
}

int vcard_stat_path(const char *path, struct stat *sb) {
    std::lock_guard<std::mutex> lk(g_mu);
    ensure_loaded();
    State &s = st();
    if (s.loaded)
        for (size_t i = 0; i < s.card.paths.size(); i++)
            if (s.card.paths[i].path == path) {
                if (fstat(s.card.paths[i].empty ? s.empty_memfd : s.memfd, sb) != 0) return -1;
                sb->st_mode = S_IFCHR | 0660;
                sb->st_rdev = makedev(226, i);
                sb->st_size = 0;
                return 0;
            }
    errno = ENOENT;
    return -1;
}

// ---- functions for tests (sim/sim.h) ----

int sim_card_load_text(const char *text) {
    std::lock_guard<std::mutex> lk(g_mu);
    CardDesc desc;
    std::string err = parse_card(text, desc);
    if (!err.empty()) {
        unload_card();
        st().error = err;
        return -1;
    }
    install_card(std::move(desc));
    return 0;
}

int sim_card_load(const char *path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    if (!f) {
        std::lock_guard<std::mutex> lk(g_mu);
        unload_card();
        st().error = std::string("cannot read ") + path;
        return -1;
    }
    return sim_card_load_text(ss.str().c_str());
}

std::string sim_card_error() {
    std::lock_guard<std::mutex> lk(g_mu);
    return st().error;
}

void sim_card_reset() {
    std::lock_guard<std::mutex> lk(g_mu);
    unload_card();
    g_failed_env.clear();
}

void sim_card_set_time_ms(int64_t ms) {
    std::lock_guard<std::mutex> lk(g_mu);
    st().manual_clock = true;
    st().manual_ns = ms * 1000000;
}

void sim_card_advance_ms(int64_t ms) {
    std::lock_guard<std::mutex> lk(g_mu);
    int64_t now = now_ns();
    st().manual_clock = true;
    st().manual_ns = now + ms * 1000000;
}

int64_t sim_card_time_ms() {
    std::lock_guard<std::mutex> lk(g_mu);
    return now_ns() / 1000000;
}

int sim_card_write_pngs(const char *dir) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!st().loaded) return -1;
    return write_pngs_locked(dir);
}

SimCardCounters sim_card_counters() {
    std::lock_guard<std::mutex> lk(g_mu);
    State &s = st();
    SimCardCounters c{};
    c.fbs = static_cast<int>(s.fbs.size());
    c.fbs_max = static_cast<int>(s.fbs_max);
    c.dumb_buffers = s.live_dumb;
    for (auto &[id, h] : s.handles) c.imported += h.bo->imported ? 1 : 0;
    c.imported_bytes = s.imported_bytes;
    c.imported_bytes_max = s.imported_bytes_max;
    for (auto &[id, b] : s.blobs) c.blobs += b.user ? 1 : 0;
    c.plane_updates = s.plane_updates;
    c.commits = s.commits;
    c.setcrtcs = s.setcrtcs;
    c.failures = s.failed;
    return c;
}

std::string sim_card_log() {
    std::lock_guard<std::mutex> lk(g_mu);
    std::string out;
    for (auto &l : st().log) out += l + "\n";
    return out;
}

int sim_card_plane_state(uint32_t plane_id, SimPlaneInfo *out) {
    std::lock_guard<std::mutex> lk(g_mu);
    Plane *p = st().loaded ? find_plane(plane_id) : nullptr;
    if (!p) return -1;
    const PlaneState &s = p->st;
    *out = SimPlaneInfo{s.fb,    s.crtc,  s.crtc_x, s.crtc_y,   s.crtc_w, s.crtc_h, s.src_x,
                        s.src_y, s.src_w, s.src_h,  s.rotation, s.zpos,   0};
    auto it = st().fbs.find(s.fb);
    if (it != st().fbs.end()) out->format = it->second.format;
    return 0;
}

int sim_card_crtc_state(uint32_t crtc_id, SimCrtcInfo *out) {
    std::lock_guard<std::mutex> lk(g_mu);
    Crtc *c = st().loaded ? find_crtc(crtc_id) : nullptr;
    if (!c) return -1;
    *out = SimCrtcInfo{c->active ? 1 : 0,
                       c->mode.hdisplay,
                       c->mode.vdisplay,
                       c->mode.vrefresh,
                       c->mode.clock,
                       c->mode.flags,
                       0,
                       c->active ? vblank_seq(*c, now_ns()) : c->base_seq};
    if (Plane *p = find_plane(c->primary)) out->primary_fb = p->st.fb;
    return 0;
}

bool sim_card_inode_on_plane(ino_t ino) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!st().loaded) return false;
    for (const Plane &p : st().card.planes) {
        auto it = st().fbs.find(p.st.fb);
        if (p.st.crtc == 0 || it == st().fbs.end()) continue;
        for (const std::shared_ptr<Bo> &bo : it->second.bo)
            if (bo && bo->imported && bo->ino == ino) return true;
    }
    return false;
}
