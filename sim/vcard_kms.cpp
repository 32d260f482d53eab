// libdrm entry points that change the virtual card: dumb buffers, PRIME import,
// framebuffers, legacy and atomic modesetting, plane updates, page flips, vblank waits
// and events. Every change is checked as a whole on a copy of the display state
// before it is applied, as the kernel's atomic check does.
#include "sim/vcard.h"

#include "sim/frame_origin.h"
#include "sim/vgpu.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

using namespace vcard;

struct _drmModeAtomicReq {
    struct Item {
        uint32_t obj, prop;
        uint64_t value;
    };
    std::vector<Item> items;
    int cursor = 0;
};

namespace {

// ---- display state copies ----

struct CrtcSt {
    bool active = false, mode_valid = false;
    Mode mode{};
    uint32_t mode_blob = 0;
};

struct Snap {
    std::vector<CrtcSt> crtc;
    std::vector<PlaneState> plane;
    std::vector<uint32_t> conn;  // CRTC id of each connector
};

Snap snapshot() {
    State &s = st();
    Snap n;
    for (auto &c : s.card.crtcs) n.crtc.push_back({c.active, c.mode_valid, c.mode, c.mode_blob});
    for (auto &p : s.card.planes) n.plane.push_back(p.st);
    for (auto &c : s.card.connectors) n.conn.push_back(c.crtc);
    return n;
}

bool same_mode(const CrtcSt &a, const CrtcSt &b) {
    return a.active == b.active && a.mode_valid == b.mode_valid &&
           (!a.mode_valid || memcmp(&a.mode, &b.mode, sizeof a.mode) == 0);
}

bool needs_modeset(const Snap &n, const Snap &o) {
    for (size_t i = 0; i < n.crtc.size(); i++)
        if (!same_mode(n.crtc[i], o.crtc[i])) return true;
    return n.conn != o.conn;
}

// CRTCs whose picture a change touches: changed CRTCs, and the old and new CRTC of
// every changed plane and connector.
std::set<uint32_t> touched_crtcs(const Snap &n, const Snap &o) {
    State &s = st();
    std::set<uint32_t> out;
    for (size_t i = 0; i < n.crtc.size(); i++)
        if (!same_mode(n.crtc[i], o.crtc[i])) out.insert(s.card.crtcs[i].id);
    for (size_t i = 0; i < n.plane.size(); i++)
        if (!(n.plane[i] == o.plane[i])) {
            if (n.plane[i].crtc) out.insert(n.plane[i].crtc);
            if (o.plane[i].crtc) out.insert(o.plane[i].crtc);
        }
    for (size_t i = 0; i < n.conn.size(); i++)
        if (n.conn[i] != o.conn[i]) {
            if (n.conn[i]) out.insert(n.conn[i]);
            if (o.conn[i]) out.insert(o.conn[i]);
        }
    return out;
}

int crtc_index(uint32_t id) {
    const Crtc *c = find_crtc(id);
    return c ? c->index : -1;
}

bool mode_sane(const Mode &m) {
    const CardDesc &c = st().card;
    return m.clock > 0 && m.hdisplay > 0 && m.vdisplay > 0 && m.hdisplay <= m.hsync_start &&
           m.hsync_start <= m.hsync_end && m.hsync_end <= m.htotal && m.vdisplay <= m.vsync_start &&
           m.vsync_start <= m.vsync_end && m.vsync_end <= m.vtotal && m.hdisplay <= c.max_w &&
           m.vdisplay <= c.max_h;
}

bool rotation_valid(const Plane &p, uint64_t r) {
    uint64_t rot = r & DRM_MODE_ROTATE_MASK;
    if (rot == 0 || (rot & (rot - 1))) return false;  // exactly one rotation
    uint64_t caps = p.rot_caps ? p.rot_caps : DRM_MODE_ROTATE_0;
    return (r & ~uint64_t(caps)) == 0;
}

bool is_yuv(uint32_t f) {
    return f == DRM_FORMAT_NV12 || f == DRM_FORMAT_NV15 || f == DRM_FORMAT_P010 ||
           f == DRM_FORMAT_P030;
}

// As drm_calc_scale: source (16.16) over destination, rounded up when downscaling.
int64_t scale_of(uint32_t src, uint32_t dst) {
    if (dst == 0) return 0;
    if (src > uint64_t(dst) << 16) return (int64_t(src) + dst - 1) / dst;
    return int64_t(src) / dst;
}

// The driver's own atomic check after the core's: drm_atomic_helper_check_plane_state
// with the plane's scale range (-ERANGE), then VOP2's and VOP's limits
// (vop2_plane_atomic_check, vop_plane_atomic_check).
}  // namespace

bool vcard::plane_too_small(const Plane &p, const PlaneState &ps) {
    return (p.min_w || p.min_h) && ((ps.src_w >> 16) < p.min_w || (ps.src_h >> 16) < p.min_h ||
                                    ps.crtc_w < p.min_w || ps.crtc_h < p.min_h);
}

namespace {

int check_geometry(const Plane &p, const PlaneState &ps, const Fb &fb, std::string &why) {
    bool turned = ps.rotation & (DRM_MODE_ROTATE_90 | DRM_MODE_ROTATE_270);
    uint32_t sw = turned ? ps.src_h : ps.src_w, sh = turned ? ps.src_w : ps.src_h;
    if (p.scale_max && ps.crtc_w && ps.crtc_h && sw && sh) {
        int64_t hs = scale_of(sw, ps.crtc_w), vs = scale_of(sh, ps.crtc_h);
        if (hs < p.scale_min || hs > p.scale_max || vs < p.scale_min || vs > p.scale_max) {
            why = "plane " + std::to_string(p.id) + " cannot scale " + std::to_string(sw >> 16) +
                  "x" + std::to_string(sh >> 16) + " to " + std::to_string(ps.crtc_w) + "x" +
                  std::to_string(ps.crtc_h);
            return ERANGE;
        }
    }
    if (plane_too_small(p, ps)) return 0;
    if (p.max_src_w && ((ps.src_w >> 16) > p.max_src_w || (ps.src_h >> 16) > p.max_src_h)) {
        why = "plane " + std::to_string(p.id) + " source wider than it reads";
        return EINVAL;
    }
    if (p.yuv_even && is_yuv(fb.format) && ((ps.src_x >> 16) % 2)) {
        why = "plane " + std::to_string(p.id) + " YUV source at odd x";
        return EINVAL;
    }
    if (p.yuv_no_reflect_y && is_yuv(fb.format) && (ps.rotation & DRM_MODE_REFLECT_Y)) {
        why = "plane " + std::to_string(p.id) + " cannot mirror YUV vertically";
        return EINVAL;
    }
    return 0;
}

int check_plane(const Plane &p, const PlaneState &ps, const PlaneState &old, const Snap &n,
                bool plane_faults, std::string &why) {
    if (!ps.fb && !ps.crtc) return 0;
    if (!ps.fb || !ps.crtc) {
        why = "plane " + std::to_string(p.id) + " needs both FB_ID and CRTC_ID";
        return EINVAL;
    }
    int ci = crtc_index(ps.crtc);
    if (ci < 0 || !(p.crtcs & (1u << ci))) {
        why = "plane " + std::to_string(p.id) + " cannot drive crtc " + std::to_string(ps.crtc);
        return EINVAL;
    }
    if (!n.crtc[ci].active) {
        why = "plane " + std::to_string(p.id) + " on inactive crtc";
        return EINVAL;
    }
    auto it = st().fbs.find(ps.fb);
    if (it == st().fbs.end()) return EINVAL;
    const Fb &fb = it->second;
    if (std::find(p.formats.begin(), p.formats.end(), fb.format) == p.formats.end()) {
        why = "plane " + std::to_string(p.id) + " has no format " + fourcc_text(fb.format);
        return EINVAL;
    }
    if ((fb.modifier != DRM_FORMAT_MOD_LINEAR && !p.sand128) ||
        (fb.modifier == DRM_FORMAT_MOD_LINEAR && p.afbc_only)) {
        why = "plane " + std::to_string(p.id) + " has no modifier of the framebuffer";
        return EINVAL;
    }
    if (uint64_t(ps.src_x) + ps.src_w > uint64_t(fb.w) << 16 ||
        uint64_t(ps.src_y) + ps.src_h > uint64_t(fb.h) << 16) {
        why = "source outside the framebuffer";
        return ENOSPC;
    }
    if (!rotation_valid(p, ps.rotation)) {
        why = "rotation not offered";
        return EINVAL;
    }
    if (int e = check_geometry(p, ps, fb, why)) return e;
    bool changed = !(ps == old);
    if (changed && ps.rotation != DRM_MODE_ROTATE_0)
        if (const Fault *f = match_fault("rotate", p.id, ps.crtc, fb.format, nullptr)) {
            why = "fault rotate";
            return take_fault(f);
        }
    if (changed && plane_faults)
        if (const Fault *f = match_fault("plane", p.id, ps.crtc, fb.format, nullptr)) {
            why = "fault plane";
            return take_fault(f);
        }
    return 0;
}

// The whole new state, as the kernel's atomic check sees it.
int check(const Snap &n, const Snap &o, bool allow_modeset, bool plane_faults, std::string &why) {
    State &s = st();
    bool modeset = needs_modeset(n, o);
    if (modeset && !allow_modeset) {
        why = "modeset needs ALLOW_MODESET";
        return EINVAL;
    }
    for (size_t i = 0; i < n.crtc.size(); i++) {
        const CrtcSt &c = n.crtc[i];
        uint32_t id = s.card.crtcs[i].id;
        int conns = 0;
        for (size_t k = 0; k < n.conn.size(); k++) conns += n.conn[k] == id;
        if (c.active && !c.mode_valid) {
            why = "active crtc without a mode";
            return EINVAL;
        }
        if (c.mode_valid != (conns > 0) || conns > 1) {
            why = "crtc " + std::to_string(id) + " mode and connectors disagree";
            return EINVAL;
        }
        if (c.mode_valid && !same_mode(c, o.crtc[i])) {
            if (!mode_sane(c.mode)) {
                why = "bad mode timings";
                return EINVAL;
            }
            if (const Fault *f = match_fault("mode", 0, id, 0, &c.mode)) {
                why = "fault mode " + mode_text(c.mode);
                return take_fault(f);
            }
        }
    }
    for (size_t k = 0; k < n.conn.size(); k++) {
        if (!n.conn[k]) continue;
        int ci = crtc_index(n.conn[k]);
        bool ok = false;
        for (uint32_t e : s.card.connectors[k].encoders)
            if (const Encoder *enc = find_encoder(e)) ok |= ci >= 0 && (enc->crtcs & (1u << ci));
        if (!ok) {
            why = s.card.connectors[k].name + " cannot reach crtc " + std::to_string(n.conn[k]);
            return EINVAL;
        }
    }
    for (size_t i = 0; i < n.plane.size(); i++)
        if (int e = check_plane(s.card.planes[i], n.plane[i], o.plane[i], n, plane_faults, why))
            return e;
    return 0;
}

void apply(const Snap &n, bool legacy_modeset) {
    State &s = st();
    int64_t now = now_ns();
    for (size_t i = 0; i < n.crtc.size(); i++) {
        Crtc &c = s.card.crtcs[i];
        const CrtcSt &nc = n.crtc[i];
        CrtcSt oc{c.active, c.mode_valid, c.mode, c.mode_blob};
        if (same_mode(nc, oc) && nc.mode_blob == oc.mode_blob) continue;
        uint64_t seq = c.active ? vblank_seq(c, now) : c.base_seq;
        bool retime = !same_mode(nc, oc);
        c.active = nc.active;
        c.mode_valid = nc.mode_valid;
        c.mode = nc.mode;
        c.mode_blob = nc.mode_blob;
        if (legacy_modeset && c.mode_valid) c.mode_blob = new_blob(&c.mode, sizeof c.mode, false);
        if (!c.mode_valid) c.mode_blob = 0;
        if (retime) {
            c.base_seq = seq;
            c.epoch_ns = now;
            c.pending_until_ns = 0;
        }
    }
    for (size_t i = 0; i < n.plane.size(); i++) s.card.planes[i].st = n.plane[i];
    for (size_t i = 0; i < n.conn.size(); i++) s.card.connectors[i].crtc = n.conn[i];
    gc_blobs();
}

int64_t next_vblank(const Crtc &c, int64_t t) {
    return c.active ? vblank_time(c, vblank_seq(c, t) + 1) : t;
}

// When the interrupt handler signals the next vblank's flip done: a flip is pending,
// and a blocking request waits, until then.
int64_t next_flip_done(const Crtc &c, int64_t t) {
    return c.active ? vblank_stamp(c, vblank_seq(c, t) + 1) : t;
}

// Waits until no flip is pending on these CRTCs (a blocking request queues behind
// the non-blocking one before it).
void wait_pending(std::unique_lock<std::mutex> &lk, const std::set<uint32_t> &crtcs) {
    int64_t until = 0;
    for (uint32_t id : crtcs)
        if (const Crtc *c = find_crtc(id)) until = std::max(until, c->pending_until_ns);
    if (until > now_ns()) sleep_until(lk, until);
}

// Returns when the next vblank of these CRTCs has passed: the new state is on screen.
void wait_flip(std::unique_lock<std::mutex> &lk, const std::set<uint32_t> &crtcs) {
    int64_t now = now_ns(), until = now;
    for (uint32_t id : crtcs)
        if (const Crtc *c = find_crtc(id)) until = std::max(until, next_flip_done(*c, now));
    if (until > now) sleep_until(lk, until);
}

void queue_flip_events(const std::set<uint32_t> &crtcs, uint64_t user) {
    int64_t now = now_ns();
    for (uint32_t id : crtcs)
        if (const Crtc *c = find_crtc(id); c && c->active) {
            int64_t t = next_vblank(*c, now);
            uint64_t seq = vblank_seq(*c, t);
            st().events.push_back({vblank_stamp(*c, seq), id, seq, user, true});
        }
}

// The decoder frame a framebuffer shows, when its memory is an imported decoder memfd.
bool fb_origin(uint32_t fb_id, FrameOrigin *out) {
    auto it = st().fbs.find(fb_id);
    if (it == st().fbs.end()) return false;
    const std::shared_ptr<Bo> &bo = it->second.bo[0];
    return bo && bo->imported && sim_frame_origin(bo->ino, out);
}

// Logged once the present call is about to return, so t - dlv is the program's own
// time from having the frame to having it on screen (or queued, when non-blocking).
void log_presents(const std::vector<std::pair<uint32_t, FrameOrigin>> &shown) {
    if (shown.empty()) return;
    long long t = mono_ns() / 1000;
    for (const auto &[plane, o] : shown) {
        // The refresh the update landed in: consecutive frames' difference is how many
        // refreshes a picture was held, whatever the log's timing.
        const Plane *p = find_plane(plane);
        const Crtc *c = p ? find_crtc(p->st.crtc) : nullptr;
        unsigned long long seq = c ? vblank_seq(*c, now_ns()) : 0;
        char line[160];
        snprintf(line, sizeof line, "present t=%lld plane=%u frame=%llu dlv=%lld vbl=%llu", t,
                 plane, static_cast<unsigned long long>(o.seq), static_cast<long long>(o.dlv_us),
                 seq);
        log_line(line);
    }
}

int refuse(int e, const std::string &what) {
    st().failed++;
    log_line(what + " -> " + strerror(e));
    return e;
}

std::string plane_text(const Plane &p, const PlaneState &ps) {
    char buf[200];
    auto it = st().fbs.find(ps.fb);
    snprintf(buf, sizeof buf, "plane=%u crtc=%u fb=%u(%s) src=%u,%u+%ux%u dst=%d,%d+%ux%u", p.id,
             ps.crtc, ps.fb, it == st().fbs.end() ? "-" : fourcc_text(it->second.format).c_str(),
             ps.src_x >> 16, ps.src_y >> 16, ps.src_w >> 16, ps.src_h >> 16, ps.crtc_x, ps.crtc_y,
             ps.crtc_w, ps.crtc_h);
    // vop2_plane_atomic_check leaves such a plane off without refusing the update.
    if (ps.fb && plane_too_small(p, ps)) return std::string(buf) + " below min size: off";
    return buf;
}

// Sets one property on a copy of the state, as an atomic request item does.
int set_prop(Snap &n, uint32_t obj, uint32_t prop, uint64_t v, bool atomic_client) {
    State &s = st();
    const PropIds &p = s.pid;
    std::vector<std::pair<uint32_t, uint64_t>> props;
    bool saved = s.cap_atomic;
    s.cap_atomic = atomic_client;
    bool found_obj = object_props(obj, DRM_MODE_OBJECT_ANY, props);
    s.cap_atomic = saved;
    if (!found_obj) return ENOENT;
    if (std::none_of(props.begin(), props.end(), [&](auto &kv) { return kv.first == prop; }))
        return ENOENT;
    const Prop *pr = find_prop(prop);
    if (!pr || (pr->flags & DRM_MODE_PROP_IMMUTABLE)) return EINVAL;
    for (size_t i = 0; i < s.card.crtcs.size(); i++) {
        if (s.card.crtcs[i].id != obj) continue;
        CrtcSt &c = n.crtc[i];
        if (prop == p.active) {
            if (v > 1) return EINVAL;
            c.active = v;
        } else if (prop == p.mode_id) {
            if (v == 0) {
                c.mode_valid = false;
                c.mode_blob = 0;
                return 0;
            }
            auto it = s.blobs.find(static_cast<uint32_t>(v));
            if (v > UINT32_MAX || it == s.blobs.end() || it->second.data.size() != sizeof(Mode))
                return EINVAL;
            memcpy(&c.mode, it->second.data.data(), sizeof(Mode));
            c.mode_valid = true;
            c.mode_blob = static_cast<uint32_t>(v);
        }
        return 0;
    }
    for (size_t i = 0; i < s.card.connectors.size(); i++) {
        if (s.card.connectors[i].id != obj) continue;
        if (prop == p.crtc_id) {
            if (v && !find_crtc(static_cast<uint32_t>(v))) return EINVAL;
            n.conn[i] = static_cast<uint32_t>(v);
        }
        return 0;  // DPMS: accepted, nothing to show
    }
    for (size_t i = 0; i < s.card.planes.size(); i++) {
        const Plane &pl = s.card.planes[i];
        if (pl.id != obj) continue;
        PlaneState &ps = n.plane[i];
        uint32_t v32 = static_cast<uint32_t>(v);
        if (prop == p.fb_id) {
            if (v && (v > UINT32_MAX || !s.fbs.count(v32))) return EINVAL;
            ps.fb = v32;
        } else if (prop == p.crtc_id) {
            if (v && !find_crtc(v32)) return EINVAL;
            ps.crtc = v32;
        } else if (prop == p.crtc_x || prop == p.crtc_y) {
            int64_t sv = static_cast<int64_t>(v);
            if (sv < INT_MIN || sv > INT_MAX) return EINVAL;
            (prop == p.crtc_x ? ps.crtc_x : ps.crtc_y) = static_cast<int32_t>(sv);
        } else if (prop == p.crtc_w || prop == p.crtc_h) {
            if (v > INT_MAX) return EINVAL;
            (prop == p.crtc_w ? ps.crtc_w : ps.crtc_h) = v32;
        } else if (prop == p.src_x || prop == p.src_y || prop == p.src_w || prop == p.src_h) {
            if (v > UINT32_MAX) return EINVAL;
            if (prop == p.src_x) ps.src_x = v32;
            if (prop == p.src_y) ps.src_y = v32;
            if (prop == p.src_w) ps.src_w = v32;
            if (prop == p.src_h) ps.src_h = v32;
        } else if (prop == pl.prop_zpos) {
            if (v < pl.zmin || v > pl.zmax) return EINVAL;
            ps.zpos = v;
        } else if (prop == pl.prop_rotation) {
            if (!rotation_valid(pl, v)) return EINVAL;
            ps.rotation = v;
        } else if (prop == pl.prop_blend) {
            if (v > 2 || !(pl.blend_caps >> v & 1)) return EINVAL;
            ps.blend = v;
        } else if (prop == pl.prop_encoding || prop == pl.prop_range) {
            if (v > (prop == pl.prop_encoding ? uint64_t(kEncBt2020) : uint64_t(kRangeFull)))
                return EINVAL;
            (prop == pl.prop_encoding ? ps.encoding : ps.range) = v;
        }
        return 0;
    }
    return ENOENT;
}

// ---- buffers ----

uint32_t add_dumb(uint32_t w, uint32_t h, uint32_t bpp, uint32_t &pitch, uint64_t &size) {
    State &s = st();
    pitch = (w * ((bpp + 7) / 8) + 63) & ~63u;
    size = (uint64_t(pitch) * h + 4095) & ~uint64_t(4095);
    auto bo = std::make_shared<Bo>();
    bo->offset = s.next_offset;
    bo->size = size;
    if (ftruncate(s.memfd, static_cast<off_t>(bo->offset + size)) != 0) return 0;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, s.memfd,
                     static_cast<off_t>(bo->offset));
    if (map == MAP_FAILED) return 0;
    bo->map = static_cast<uint8_t *>(map);
    bo->card_fd = s.memfd;
    s.next_offset += size;
    uint32_t handle = s.next_handle++;
    s.handles[handle] = Handle{bo};
    s.live_dumb++;
    return handle;
}

int create_dumb(drm_mode_create_dumb *a) {
    const CardDesc &c = st().card;
    if (!a || a->flags || !a->width || !a->height || a->width > c.max_w || a->height > c.max_h ||
        (a->bpp != 8 && a->bpp != 16 && a->bpp != 24 && a->bpp != 32))
        return EINVAL;
    uint64_t size;
    uint32_t pitch;
    uint32_t h = add_dumb(a->width, a->height, a->bpp, pitch, size);
    if (!h) return ENOMEM;
    a->handle = h;
    a->pitch = pitch;
    a->size = size;
    return 0;
}

int map_dumb(drm_mode_map_dumb *a) {
    auto it = st().handles.find(a->handle);
    if (it == st().handles.end()) return ENOENT;
    if (it->second.bo->imported) return EINVAL;
    a->offset = it->second.bo->offset;
    return 0;
}

int close_handle(uint32_t handle) {
    State &s = st();
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) return ENOENT;
    if (!it->second.bo->imported) s.live_dumb--;
    s.handles.erase(it);  // framebuffers keep their own reference to the memory
    return 0;
}

// As in the kernel, an imported handle keeps its buffer until it is closed, whatever
// the exporter does with its descriptor; a framebuffer keeps its own reference.
int import_fd(int prime_fd, uint32_t *handle) {
    State &s = st();
    struct stat sb;
    if (fstat(prime_fd, &sb) != 0) return EBADF;
    if (const Fault *f = match_fault("import", 0, 0, 0, nullptr)) return take_fault(f);
    auto key = std::make_pair(sb.st_dev, sb.st_ino);
    std::shared_ptr<Bo> bo;
    // The card's own buffer comes back as the same object (drm_gem_prime_fd_to_handle).
    if (auto it = s.exports.find(key); it != s.exports.end()) bo = it->second.lock();
    if (auto it = s.imports.find(key); !bo && it != s.imports.end()) bo = it->second.lock();
    if (bo) {
        for (auto &[h, hd] : s.handles)
            if (hd.bo == bo) {
                *handle = h;
                return 0;
            }
    } else {
        if (!S_ISREG(sb.st_mode) || sb.st_size <= 0) return EINVAL;
        void *map =
            mmap(nullptr, static_cast<size_t>(sb.st_size), PROT_READ, MAP_SHARED, prime_fd, 0);
        if (map == MAP_FAILED) return EINVAL;
        bo = std::make_shared<Bo>();
        bo->map = static_cast<uint8_t *>(map);
        bo->size = static_cast<uint64_t>(sb.st_size);
        bo->imported = true;
        bo->dev = sb.st_dev;
        bo->ino = sb.st_ino;
        s.imports[key] = bo;
        s.imported_bytes += bo->size;
        s.imported_bytes_max = std::max(s.imported_bytes_max, s.imported_bytes);
    }
    *handle = s.next_handle++;
    s.handles[*handle] = Handle{bo};
    return 0;
}

// A row of each plane as the kernel measures it: `block` bytes hold `block_w` pixels
// (several for the packed 10-bit formats). Plane 1 of the YUV formats is 2x2 subsampled.
struct FormatInfo {
    int planes;
    uint32_t block[2];
    uint32_t block_w[2];
};

FormatInfo format_info(uint32_t f) {
    switch (f) {
        case DRM_FORMAT_NV12:
            return {2, {1, 2}, {1, 1}};
        case DRM_FORMAT_P010:
            return {2, {2, 4}, {1, 1}};
        case DRM_FORMAT_NV15:
            return {2, {5, 5}, {4, 2}};
        case DRM_FORMAT_P030:
            return {2, {4, 8}, {3, 3}};
        case DRM_FORMAT_RGB565:
            return {1, {2, 0}, {1, 1}};
    }
    return {1, {4, 0}, {1, 1}};
}

bool is_sand128(uint64_t mod) {
    return (mod >> 56) == DRM_FORMAT_MOD_VENDOR_BROADCOM &&
           fourcc_mod_broadcom_mod(mod) == DRM_FORMAT_MOD_BROADCOM_SAND128 &&
           fourcc_mod_broadcom_param(mod) > 0;
}

// The kernel takes a 10-bit framebuffer only in a format and modifier some plane of
// the card scans out: linear P010 or NV15, P030 only in SAND128 columns.
bool ten_bit_scannable(uint32_t format, uint64_t mod) {
    if (format != DRM_FORMAT_P010 && format != DRM_FORMAT_NV15 && format != DRM_FORMAT_P030)
        return true;
    if ((format == DRM_FORMAT_P030) != is_sand128(mod)) return false;
    return std::any_of(st().card.planes.begin(), st().card.planes.end(), [&](const Plane &p) {
        return std::find(p.formats.begin(), p.formats.end(), format) != p.formats.end() &&
               (mod == DRM_FORMAT_MOD_LINEAR ? !p.afbc_only : p.sand128);
    });
}

int add_fb(uint32_t w, uint32_t h, uint32_t format, const uint32_t handles[4],
           const uint32_t pitches[4], const uint32_t offsets[4], const uint64_t *modifiers,
           uint32_t flags, uint32_t *id) {
    State &s = st();
    if (!w || !h || w > s.card.max_w || h > s.card.max_h || !id) return EINVAL;
    if (flags & ~uint32_t(DRM_MODE_FB_MODIFIERS | DRM_MODE_FB_INTERLACED)) return EINVAL;
    if (!format_supported(format)) return EINVAL;
    if (const Fault *f = match_fault("addfb", 0, 0, format, nullptr)) return take_fault(f);
    FormatInfo fi = format_info(format);
    Fb fb;
    fb.w = w;
    fb.h = h;
    fb.format = format;
    fb.flags = flags;
    uint64_t mod0 = (flags & DRM_MODE_FB_MODIFIERS) && modifiers ? modifiers[0] : 0;
    if (!ten_bit_scannable(format, mod0)) return EINVAL;
    for (int i = 0; i < fi.planes; i++) {
        uint64_t mod = (flags & DRM_MODE_FB_MODIFIERS) && modifiers ? modifiers[i] : 0;
        // Linear buffers, and NV12 or P030 in SAND128 columns (one modifier for both
        // planes).
        bool sand = (format == DRM_FORMAT_NV12 || format == DRM_FORMAT_P030) && mod == mod0 &&
                    is_sand128(mod);
        if (mod != DRM_FORMAT_MOD_LINEAR && !sand) return EINVAL;
        auto it = s.handles.find(handles[i]);
        if (it == s.handles.end()) return ENOENT;
        uint32_t pw = i == 0 ? w : (w + 1) / 2;
        uint32_t ph = i == 0 ? h : (h + 1) / 2;
        uint64_t row = (uint64_t(pw) * fi.block[i] + fi.block_w[i] - 1) / fi.block_w[i];
        uint64_t need = uint64_t(offsets[i]) + uint64_t(pitches[i]) * (ph - 1) + row;
        if (sand) {
            // Each plane's rows lie within every column of ch rows of 128 bytes, which
            // holds 128 pixels of NV12 and 96 of P030.
            uint64_t ch = uint64_t(fourcc_mod_broadcom_param(mod));
            uint64_t col_px = format == DRM_FORMAT_P030 ? 96 : 128;
            uint64_t cols = (w + col_px - 1) / col_px;
            if (offsets[i] % 128 || offsets[i] / 128 + ph > ch) return EINVAL;
            need = cols * 128 * ch;
        }
        if (pitches[i] < row || need > it->second.bo->size) return EINVAL;
        fb.bo[i] = it->second.bo;
        fb.handles[i] = handles[i];
        fb.pitches[i] = pitches[i];
        fb.offsets[i] = offsets[i];
    }
    fb.modifier = mod0 ? mod0 : DRM_FORMAT_MOD_LINEAR;
    fb.id = s.next_id++;
    *id = fb.id;
    s.fbs[fb.id] = fb;
    s.fbs_max = std::max(s.fbs_max, s.fbs.size());
    return 0;
}

// Removing a framebuffer that is still scanned out switches its planes off, and the
// whole CRTC when it is the primary's, as the kernel does.
void unplug_fb(uint32_t id) {
    State &s = st();
    Snap n = snapshot();
    bool changed = false;
    for (size_t i = 0; i < n.plane.size(); i++) {
        if (n.plane[i].fb != id) continue;
        uint32_t crtc = n.plane[i].crtc;
        n.plane[i] = n.plane[i].off();
        changed = true;
        log_line("rmfb " + std::to_string(id) + " still shown: plane " +
                 std::to_string(s.card.planes[i].id) + " off");
        const Crtc *c = find_crtc(crtc);
        if (c && c->primary == s.card.planes[i].id) {
            n.crtc[c->index] = CrtcSt{};
            for (auto &k : n.conn)
                if (k == crtc) k = 0;
            for (auto &p : n.plane)
                if (p.crtc == crtc) p = p.off();
            log_line("rmfb " + std::to_string(id) + ": crtc " + std::to_string(crtc) + " off");
        }
    }
    if (changed) apply(n, false);
}

bool card_ok(int fd, int &e) {
    if (fd_kind(fd) != 1) {
        e = fd_kind(fd) ? EINVAL : EBADF;
        return false;
    }
    return true;
}

}  // namespace

// ---- ioctls ----

int drmIoctl(int fd, unsigned long request, void *arg) {
    std::lock_guard<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return m1(e);
    switch (request) {
        case DRM_IOCTL_MODE_CREATE_DUMB:
            e = create_dumb(static_cast<drm_mode_create_dumb *>(arg));
            break;
        case DRM_IOCTL_MODE_MAP_DUMB:
            e = map_dumb(static_cast<drm_mode_map_dumb *>(arg));
            break;
        case DRM_IOCTL_MODE_DESTROY_DUMB:
            e = close_handle(static_cast<drm_mode_destroy_dumb *>(arg)->handle);
            break;
        case DRM_IOCTL_GEM_CLOSE:
            e = close_handle(static_cast<drm_gem_close *>(arg)->handle);
            break;
        case DRM_IOCTL_PRIME_FD_TO_HANDLE: {
            auto *a = static_cast<drm_prime_handle *>(arg);
            e = import_fd(a->fd, &a->handle);
            break;
        }
        default:
            e = ENOTTY;
    }
    return e ? m1(e) : 0;
}

int drmModeCreateDumbBuffer(int fd, uint32_t width, uint32_t height, uint32_t bpp, uint32_t flags,
                            uint32_t *handle, uint32_t *pitch, uint64_t *size) {
    drm_mode_create_dumb a{height, width, bpp, flags, 0, 0, 0};
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &a)) return -errno;
    *handle = a.handle;
    *pitch = a.pitch;
    *size = a.size;
    return 0;
}

int drmModeDestroyDumbBuffer(int fd, uint32_t handle) {
    drm_mode_destroy_dumb a{handle};
    return drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &a) ? -errno : 0;
}

int drmModeMapDumbBuffer(int fd, uint32_t handle, uint64_t *offset) {
    drm_mode_map_dumb a{handle, 0, 0};
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &a)) return -errno;
    *offset = a.offset;
    return 0;
}

int drmPrimeFDToHandle(int fd, int prime_fd, uint32_t *handle) {
    std::lock_guard<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return m1(e);
    e = import_fd(prime_fd, handle);
    return e ? m1(e) : 0;
}

// A dma-buf of a buffer is a descriptor of its own (a memfd of the buffer's size that
// stands for it); the sim's GPU and drmPrimeFDToHandle find the buffer behind it.
int drmPrimeHandleToFD(int fd, uint32_t handle, uint32_t flags, int *prime_fd) {
    std::lock_guard<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return m1(e);
    // As drm_prime_handle_to_fd_ioctl: only DRM_CLOEXEC and DRM_RDWR are flags.
    if (flags & ~uint32_t(DRM_CLOEXEC | DRM_RDWR)) return m1(EINVAL);
    State &s = st();
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) return m1(ENOENT);
    const std::shared_ptr<Bo> &bo = it->second.bo;
    int out = memfd_create("zyl-sim-dmabuf", (flags & DRM_CLOEXEC) ? MFD_CLOEXEC : 0);
    struct stat sb;
    if (out < 0) return m1(EMFILE);
    if (ftruncate(out, off_t(bo->size)) != 0 || fstat(out, &sb) != 0) {
        close(out);
        return m1(ENOMEM);
    }
    s.exports[{sb.st_dev, sb.st_ino}] = bo;
    *prime_fd = out;
    return 0;
}

uint8_t *vcard_dmabuf_map(int prime_fd, size_t *len) {
    std::lock_guard<std::mutex> lk(g_mu);
    struct stat sb;
    if (fstat(prime_fd, &sb) != 0) return nullptr;
    auto it = st().exports.find({sb.st_dev, sb.st_ino});
    const std::shared_ptr<Bo> bo = it == st().exports.end() ? nullptr : it->second.lock();
    if (!bo || !bo->map) return nullptr;
    *len = size_t(bo->size);
    return bo->map;
}

int drmCloseBufferHandle(int fd, uint32_t handle) {
    drm_gem_close a{handle, 0};
    return drmIoctl(fd, DRM_IOCTL_GEM_CLOSE, &a);
}

// ---- framebuffers ----

int drmModeAddFB2WithModifiers(int fd, uint32_t width, uint32_t height, uint32_t format,
                               const uint32_t bo_handles[4], const uint32_t pitches[4],
                               const uint32_t offsets[4], const uint64_t modifier[4],
                               uint32_t *buf_id, uint32_t flags) {
    std::lock_guard<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    e = add_fb(width, height, format, bo_handles, pitches, offsets, modifier, flags, buf_id);
    if (e) {
        char buf[120];
        snprintf(
            buf, sizeof buf, "addfb %ux%u %s mod=0x%llx", width, height,
            fourcc_text(format).c_str(),
            (unsigned long long)((flags & DRM_MODE_FB_MODIFIERS) && modifier ? modifier[0] : 0));
        return neg(refuse(e, buf));
    }
    return 0;
}

int drmModeAddFB2(int fd, uint32_t width, uint32_t height, uint32_t pixel_format,
                  const uint32_t bo_handles[4], const uint32_t pitches[4],
                  const uint32_t offsets[4], uint32_t *buf_id, uint32_t flags) {
    return drmModeAddFB2WithModifiers(fd, width, height, pixel_format, bo_handles, pitches, offsets,
                                      nullptr, buf_id, flags);
}

int drmModeAddFB(int fd, uint32_t width, uint32_t height, uint8_t depth, uint8_t bpp,
                 uint32_t pitch, uint32_t bo, uint32_t *buf_id) {
    uint32_t format = 0;
    if (bpp == 32 && depth == 24) format = DRM_FORMAT_XRGB8888;
    if (bpp == 32 && depth == 32) format = DRM_FORMAT_ARGB8888;
    if (bpp == 16 && depth == 16) format = DRM_FORMAT_RGB565;
    if (!format) return neg(EINVAL);
    uint32_t handles[4] = {bo}, pitches[4] = {pitch}, offsets[4] = {0};
    return drmModeAddFB2(fd, width, height, format, handles, pitches, offsets, buf_id, 0);
}

int drmModeRmFB(int fd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    if (!st().fbs.count(id)) return neg(ENOENT);
    unplug_fb(id);
    st().fbs.erase(id);
    return 0;
}

int drmModeDirtyFB(int fd, uint32_t id, drmModeClipPtr, uint32_t) {
    std::lock_guard<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    return st().fbs.count(id) ? 0 : neg(ENOENT);
}

// ---- modesetting and plane updates ----

int drmModeSetCrtc(int fd, uint32_t crtc_id, uint32_t fb_id, uint32_t x, uint32_t y,
                   uint32_t *connectors, int count, drmModeModeInfoPtr mode) {
    std::unique_lock<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    State &s = st();
    char what[200];
    snprintf(what, sizeof what, "setcrtc crtc=%u fb=%u conn=%u mode=%s clock=%u", crtc_id, fb_id,
             count > 0 && connectors ? connectors[0] : 0, mode ? mode_text(*mode).c_str() : "off",
             mode ? mode->clock : 0);
    Crtc *c = find_crtc(crtc_id);
    if (!c) return neg(refuse(ENOENT, what));
    if (!s.master) return neg(refuse(EACCES, what));
    Snap o = snapshot(), n = o;
    Plane *primary = find_plane(c->primary);
    for (auto &k : n.conn)
        if (k == crtc_id) k = 0;
    if (!mode) {
        if (count) return neg(refuse(EINVAL, what));
        n.crtc[c->index] = CrtcSt{};
        for (auto &p : n.plane)
            if (p.crtc == crtc_id) p = p.off();
    } else {
        if (fb_id == 0xffffffffu && primary) fb_id = primary->st.fb;
        auto fb = s.fbs.find(fb_id);
        if (fb == s.fbs.end() || !primary) return neg(refuse(fb_id ? ENOENT : EINVAL, what));
        if (uint64_t(x) + mode->hdisplay > fb->second.w ||
            uint64_t(y) + mode->vdisplay > fb->second.h)
            return neg(refuse(ENOSPC, what));
        for (int i = 0; i < count; i++) {
            Connector *k = find_connector(connectors[i]);
            if (!k) return neg(refuse(ENOENT, what));
            n.conn[k - s.card.connectors.data()] = crtc_id;
        }
        n.crtc[c->index] = CrtcSt{true, true, *mode, 0};
        PlaneState &ps = n.plane[primary->index];
        ps.fb = fb_id;
        ps.crtc = crtc_id;
        ps.src_x = x << 16;
        ps.src_y = y << 16;
        ps.src_w = uint32_t(mode->hdisplay) << 16;
        ps.src_h = uint32_t(mode->vdisplay) << 16;
        ps.crtc_x = ps.crtc_y = 0;
        ps.crtc_w = mode->hdisplay;
        ps.crtc_h = mode->vdisplay;
    }
    std::string why;
    if ((e = check(n, o, true, false, why))) return neg(refuse(e, std::string(what) + " " + why));
    std::set<uint32_t> crtcs = touched_crtcs(n, o);
    apply(n, true);
    s.setcrtcs++;
    log_line(std::string(what) + " -> ok");
    wait_flip(lk, crtcs);
    return 0;
}

int drmModeSetPlane(int fd, uint32_t plane_id, uint32_t crtc_id, uint32_t fb_id, uint32_t flags,
                    int32_t crtc_x, int32_t crtc_y, uint32_t crtc_w, uint32_t crtc_h,
                    uint32_t src_x, uint32_t src_y, uint32_t src_w, uint32_t src_h) {
    std::unique_lock<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    State &s = st();
    Plane *p = find_plane(plane_id);
    std::string what = "setplane plane=" + std::to_string(plane_id);
    if (!p || flags) return neg(refuse(p ? EINVAL : ENOENT, what));
    if (!s.master) return neg(refuse(EACCES, what));
    if (fb_id && (!find_crtc(crtc_id) || !s.fbs.count(fb_id))) return neg(refuse(ENOENT, what));
    // A plane update waits for a flip still pending on its CRTC, as the kernel does.
    std::set<uint32_t> crtcs{crtc_id, p->st.crtc};
    crtcs.erase(0);
    wait_pending(lk, crtcs);
    Snap o = snapshot(), n = o;
    PlaneState &ps = n.plane[p->index];
    if (fb_id)
        ps = PlaneState{fb_id, crtc_id, crtc_x,      crtc_y,  crtc_w,   crtc_h,      src_x,   src_y,
                        src_w, src_h,   ps.rotation, ps.zpos, ps.blend, ps.encoding, ps.range};
    else
        ps = ps.off();
    what = "setplane " + plane_text(*p, ps);
    std::string why;
    if ((e = check(n, o, false, true, why))) return neg(refuse(e, what + " " + why));
    apply(n, false);
    s.plane_updates++;
    log_line(what + " -> ok");
    // Looked up now: once the call returns the program may free the frame.
    std::vector<std::pair<uint32_t, FrameOrigin>> shown;
    if (FrameOrigin fo; fb_id && fb_origin(fb_id, &fo)) shown.emplace_back(plane_id, fo);
    if (s.card.setplane_blocks && p->type != DRM_PLANE_TYPE_CURSOR) wait_flip(lk, crtcs);
    log_presents(shown);
    return 0;
}

int drmModePageFlip(int fd, uint32_t crtc_id, uint32_t fb_id, uint32_t flags, void *user_data) {
    std::unique_lock<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    State &s = st();
    std::string what = "pageflip crtc=" + std::to_string(crtc_id) + " fb=" + std::to_string(fb_id);
    Crtc *c = find_crtc(crtc_id);
    if (!c) return neg(refuse(ENOENT, what));
    Plane *primary = find_plane(c->primary);
    if (!c->active || !primary || primary->st.crtc != crtc_id) return neg(refuse(EINVAL, what));
    if (c->pending_until_ns > now_ns()) return neg(refuse(EBUSY, what));
    if (!s.fbs.count(fb_id)) return neg(refuse(ENOENT, what));
    Snap o = snapshot(), n = o;
    n.plane[primary->index].fb = fb_id;
    std::string why;
    if ((e = check(n, o, false, true, why))) return neg(refuse(e, what + " " + why));
    apply(n, false);
    c->pending_until_ns = next_flip_done(*c, now_ns());
    if (flags & DRM_MODE_PAGE_FLIP_EVENT)
        queue_flip_events({crtc_id}, reinterpret_cast<uintptr_t>(user_data));
    s.plane_updates++;
    log_line(what + " -> ok");
    return 0;
}

int drmModeObjectSetProperty(int fd, uint32_t object_id, uint32_t object_type, uint32_t property_id,
                             uint64_t value) {
    std::unique_lock<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    State &s = st();
    std::vector<std::pair<uint32_t, uint64_t>> props;
    const Prop *pr = find_prop(property_id);
    std::string what = "setproperty obj=" + std::to_string(object_id) + " " +
                       (pr ? pr->name : std::to_string(property_id)) + "=" + std::to_string(value);
    if (!object_props(object_id, object_type, props)) return neg(refuse(ENOENT, what));
    if (!s.master) return neg(refuse(EACCES, what));
    Snap o = snapshot(), n = o;
    if ((e = set_prop(n, object_id, property_id, value, s.cap_atomic))) return neg(refuse(e, what));
    std::string why;
    if ((e = check(n, o, true, false, why))) return neg(refuse(e, what + " " + why));
    apply(n, false);
    log_line(what + " -> ok");
    return 0;
}

int drmModeConnectorSetProperty(int fd, uint32_t connector_id, uint32_t property_id,
                                uint64_t value) {
    return drmModeObjectSetProperty(fd, connector_id, DRM_MODE_OBJECT_CONNECTOR, property_id,
                                    value);
}

// ---- atomic requests ----

drmModeAtomicReqPtr drmModeAtomicAlloc(void) {
    return new (std::nothrow) _drmModeAtomicReq;
}

drmModeAtomicReqPtr drmModeAtomicDuplicate(const drmModeAtomicReqPtr req) {
    if (!req) return nullptr;
    auto *r = new (std::nothrow) _drmModeAtomicReq(*req);
    if (r) r->items.resize(req->cursor);
    return r;
}

int drmModeAtomicMerge(drmModeAtomicReqPtr base, const drmModeAtomicReqPtr augment) {
    if (!base) return -EINVAL;
    if (!augment) return 0;
    base->items.resize(base->cursor);
    base->items.insert(base->items.end(), augment->items.begin(),
                       augment->items.begin() + augment->cursor);
    base->cursor = static_cast<int>(base->items.size());
    return 0;
}

void drmModeAtomicFree(drmModeAtomicReqPtr req) {
    delete req;
}

int drmModeAtomicGetCursor(const drmModeAtomicReqPtr req) {
    return req ? req->cursor : 0;
}

void drmModeAtomicSetCursor(drmModeAtomicReqPtr req, int cursor) {
    if (req) req->cursor = std::clamp(cursor, 0, static_cast<int>(req->items.size()));
}

int drmModeAtomicAddProperty(drmModeAtomicReqPtr req, uint32_t object_id, uint32_t property_id,
                             uint64_t value) {
    if (!req) return -EINVAL;
    req->items.resize(req->cursor);
    req->items.push_back({object_id, property_id, value});
    return ++req->cursor;
}

int drmModeAtomicCommit(int fd, const drmModeAtomicReqPtr req, uint32_t flags, void *user_data) {
    std::unique_lock<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return neg(e);
    State &s = st();
    char what[80];
    snprintf(what, sizeof what, "commit flags=0x%x items=%d", flags, req ? req->cursor : 0);
    const uint32_t known = DRM_MODE_PAGE_FLIP_EVENT | DRM_MODE_PAGE_FLIP_ASYNC |
                           DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_NONBLOCK |
                           DRM_MODE_ATOMIC_ALLOW_MODESET;
    if (!req || !s.cap_atomic || (flags & ~known) ||
        ((flags & DRM_MODE_ATOMIC_TEST_ONLY) && (flags & DRM_MODE_PAGE_FLIP_EVENT)))
        return neg(refuse(EINVAL, what));
    if (!s.master) return neg(refuse(EACCES, what));
    bool test = flags & DRM_MODE_ATOMIC_TEST_ONLY, nonblock = flags & DRM_MODE_ATOMIC_NONBLOCK;
    bool modeset = flags & DRM_MODE_ATOMIC_ALLOW_MODESET;
    for (int pass = 0;; pass++) {
        Snap o = snapshot(), n = o;
        for (int i = 0; i < req->cursor; i++) {
            const auto &it = req->items[i];
            if ((e = set_prop(n, it.obj, it.prop, it.value, true))) {
                const Prop *pr = find_prop(it.prop);
                return neg(refuse(e, std::string(what) + " obj=" + std::to_string(it.obj) + " " +
                                         (pr ? pr->name : std::to_string(it.prop))));
            }
        }
        if (modeset)
            if (const Fault *f = match_fault("atomic_modeset", 0, 0, 0, nullptr))
                return neg(refuse(take_fault(f), std::string(what) + " fault atomic_modeset"));
        if (nonblock)
            if (const Fault *f = match_fault("nonblock", 0, 0, 0, nullptr))
                return neg(refuse(take_fault(f), std::string(what) + " fault nonblock"));
        std::string why;
        if ((e = check(n, o, modeset, !modeset, why)))
            return neg(refuse(e, std::string(what) + " " + why));
        if (test) return 0;
        // Every CRTC the request names, directly or through its planes and connectors,
        // takes part in the commit even when a value does not change.
        std::set<uint32_t> crtcs = touched_crtcs(n, o);
        for (int i = 0; i < req->cursor; i++) {
            uint32_t obj = req->items[i].obj;
            if (find_crtc(obj)) crtcs.insert(obj);
            if (const Plane *p = find_plane(obj)) {
                crtcs.insert(p->st.crtc);
                crtcs.insert(n.plane[p->index].crtc);
            }
            if (const Connector *c = find_connector(obj)) {
                crtcs.insert(c->crtc);
                crtcs.insert(n.conn[c - s.card.connectors.data()]);
            }
        }
        crtcs.erase(0);
        int64_t now = now_ns(), pending = 0;
        for (uint32_t id : crtcs)
            if (const Crtc *c = find_crtc(id); c && c->active)
                pending = std::max(pending, c->pending_until_ns);
        if (pending > now) {
            if (nonblock) return neg(refuse(EBUSY, std::string(what) + " flip pending"));
            if (pass == 0) {
                sleep_until(lk, pending);
                continue;  // the state may have moved while waiting: check it again
            }
        }
        std::vector<std::pair<uint32_t, FrameOrigin>> shown;
        // The planes it shows something on, as a plane update names its own.
        std::string planes;
        for (const Plane &p : s.card.planes) {
            bool named = std::any_of(req->items.begin(), req->items.begin() + req->cursor,
                                     [&](const auto &it) { return it.obj == p.id; });
            if (!named || !n.plane[p.index].fb) continue;
            planes += " " + plane_text(p, n.plane[p.index]);
            if (FrameOrigin fo; fb_origin(n.plane[p.index].fb, &fo)) shown.emplace_back(p.id, fo);
        }
        apply(n, false);
        s.commits++;
        log_line(std::string(what) + planes + " -> ok");
        if (flags & DRM_MODE_PAGE_FLIP_EVENT)
            queue_flip_events(crtcs, reinterpret_cast<uintptr_t>(user_data));
        if (nonblock) {
            for (uint32_t id : crtcs)
                if (Crtc *c = find_crtc(id); c && c->active)
                    c->pending_until_ns = next_flip_done(*c, now_ns());
        } else {
            wait_flip(lk, crtcs);
        }
        log_presents(shown);
        return 0;
    }
}

// ---- vblank and events ----

int drmWaitVBlank(int fd, drmVBlankPtr vbl) {
    std::unique_lock<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return m1(e);
    State &s = st();
    uint32_t type = vbl->request.type;
    int index =
        (type & DRM_VBLANK_SECONDARY)
            ? 1
            : static_cast<int>((type & DRM_VBLANK_HIGH_CRTC_MASK) >> DRM_VBLANK_HIGH_CRTC_SHIFT);
    Crtc *c = crtc_by_index(index);
    if (!c || !c->active || (type & DRM_VBLANK_SIGNAL)) return m1(EINVAL);
    if (const Fault *f = match_fault("vblank", 0, c->id, 0, nullptr)) return m1(take_fault(f));
    uint64_t cur = vblank_seq(*c, now_ns());
    uint64_t target;
    if (type & DRM_VBLANK_RELATIVE) {
        target = cur + vbl->request.sequence;
    } else {
        // Sequence numbers are 32 bits on this interface: compare with wrap-around.
        int32_t ahead = static_cast<int32_t>(vbl->request.sequence - static_cast<uint32_t>(cur));
        target = cur + (ahead > 0 ? ahead : 0);
        if (ahead <= 0 && (type & DRM_VBLANK_NEXTONMISS)) target = cur + 1;
    }
    int64_t base = s.open_mono_ns >= 0 ? s.open_mono_ns : 0;
    if (type & DRM_VBLANK_EVENT) {
        s.events.push_back({vblank_stamp(*c, target), c->id, target, vbl->request.signal, false});
        vbl->reply.sequence = static_cast<unsigned>(target);
        return 0;
    }
    // The reply comes once the interrupt handler has stamped the vblank: with jitter
    // that is after the vblank itself, even for one already scanned out.
    uint64_t seq = std::max(target, cur);
    int64_t stamp = vblank_stamp(*c, seq);
    if (stamp > now_ns()) sleep_until(lk, stamp);
    int64_t t = base + stamp;
    vbl->reply.sequence = static_cast<unsigned>(seq);
    vbl->reply.tval_sec = static_cast<long>(t / 1000000000);
    vbl->reply.tval_usec = static_cast<long>(t % 1000000000 / 1000);
    return 0;
}

int drmHandleEvent(int fd, drmEventContextPtr ctx) {
    std::unique_lock<std::mutex> lk(g_mu);
    int e = 0;
    if (!card_ok(fd, e)) return m1(e);
    State &s = st();
    if (s.events.empty()) return 0;
    auto earliest = std::min_element(s.events.begin(), s.events.end(),
                                     [](auto &a, auto &b) { return a.at_ns < b.at_ns; });
    // Like a read of the card that blocks until the first event arrives.
    if (earliest->at_ns > now_ns()) sleep_until(lk, earliest->at_ns);
    int64_t now = now_ns(), base = s.open_mono_ns >= 0 ? s.open_mono_ns : 0;
    std::vector<VEvent> due;
    for (auto it = s.events.begin(); it != s.events.end();)
        if (it->at_ns <= now) {
            due.push_back(*it);
            it = s.events.erase(it);
        } else {
            ++it;
        }
    lk.unlock();
    for (const auto &ev : due) {
        int64_t t = base + ev.at_ns;
        unsigned sec = static_cast<unsigned>(t / 1000000000),
                 usec = static_cast<unsigned>(t % 1000000000 / 1000);
        void *user = reinterpret_cast<void *>(static_cast<uintptr_t>(ev.user));
        unsigned seq = static_cast<unsigned>(ev.seq);
        if (ev.flip && ctx->version >= 3 && ctx->page_flip_handler2)
            ctx->page_flip_handler2(fd, seq, sec, usec, ev.crtc_id, user);
        else if (ev.flip && ctx->page_flip_handler)
            ctx->page_flip_handler(fd, seq, sec, usec, user);
        else if (!ev.flip && ctx->vblank_handler)
            ctx->vblank_handler(fd, seq, sec, usec, user);
    }
    return 0;
}
