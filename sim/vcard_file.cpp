// The card file: a line-based description of a display card (see sim/README.md).
#include "sim/vcard.h"

#include <drm_fourcc.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>
#include <sstream>

namespace vcard {

namespace {

constexpr std::array<const char *, 21> kConnectorTypes = {
    "Unknown", "VGA",       "DVI-I", "DVI-D", "DVI-A",     "Composite", "SVIDEO",
    "LVDS",    "Component", "DIN",   "DP",    "HDMI-A",    "HDMI-B",    "TV",
    "eDP",     "Virtual",   "DSI",   "DPI",   "Writeback", "SPI",       "USB"};

struct NamedValue {
    const char *name;
    uint32_t value;
};

constexpr NamedValue kEncoderTypes[] = {{"NONE", 0}, {"DAC", 1},   {"TMDS", 2},
                                        {"LVDS", 3}, {"TVDAC", 4}, {"VIRTUAL", 5},
                                        {"DSI", 6},  {"DPMST", 7}, {"DPI", 8}};

constexpr NamedValue kModeFlags[] = {
    {"phsync", DRM_MODE_FLAG_PHSYNC},       {"nhsync", DRM_MODE_FLAG_NHSYNC},
    {"pvsync", DRM_MODE_FLAG_PVSYNC},       {"nvsync", DRM_MODE_FLAG_NVSYNC},
    {"interlace", DRM_MODE_FLAG_INTERLACE}, {"dblscan", DRM_MODE_FLAG_DBLSCAN},
    {"csync", DRM_MODE_FLAG_CSYNC},         {"pcsync", DRM_MODE_FLAG_PCSYNC},
    {"ncsync", DRM_MODE_FLAG_NCSYNC}};

constexpr NamedValue kModeTypes[] = {{"preferred", DRM_MODE_TYPE_PREFERRED},
                                     {"driver", DRM_MODE_TYPE_DRIVER},
                                     {"userdef", DRM_MODE_TYPE_USERDEF}};

constexpr NamedValue kBlendModes[] = {
    {"none", kBlendNone}, {"premulti", kBlendPremulti}, {"coverage", kBlendCoverage}};
constexpr NamedValue kRotations[] = {{"rotate-0", 0},   {"rotate-90", 1}, {"rotate-180", 2},
                                     {"rotate-270", 3}, {"reflect-x", 4}, {"reflect-y", 5}};

constexpr NamedValue kErrnos[] = {{"EINVAL", EINVAL}, {"ERANGE", ERANGE}, {"ENOSPC", ENOSPC},
                                  {"EBUSY", EBUSY},   {"EIO", EIO},       {"ENOMEM", ENOMEM},
                                  {"EACCES", EACCES}, {"ENOENT", ENOENT}, {"EPERM", EPERM}};

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find(sep, start);
        if (end == std::string_view::npos) end = s.size();
        out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') i++;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool number(std::string_view s, uint64_t &v) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    return ec == std::errc() && p == s.data() + s.size();
}

bool number32(std::string_view s, uint32_t &v) {
    uint64_t x;
    if (!number(s, x) || x > 0xffffffffu) return false;
    v = static_cast<uint32_t>(x);
    return true;
}

bool triple(std::string_view s, uint16_t &a, uint16_t &b, uint16_t &c) {
    auto parts = split(s, ',');
    uint32_t v[3];
    if (parts.size() != 3) return false;
    for (int i = 0; i < 3; i++)
        if (!number32(parts[i], v[i]) || v[i] > 0xffff) return false;
    a = static_cast<uint16_t>(v[0]);
    b = static_cast<uint16_t>(v[1]);
    c = static_cast<uint16_t>(v[2]);
    return true;
}

// A list of names from `table` and/or numbers, ORed; `bits` turns table values into
// bit positions (rotation names).
template <size_t N>
bool flag_list(std::string_view s, const NamedValue (&table)[N], bool bits, uint32_t &out) {
    out = 0;
    for (auto item : split(s, ',')) {
        uint32_t v;
        if (number32(item, v)) {
            out |= v;
            continue;
        }
        bool found = false;
        for (const auto &nv : table)
            if (item == nv.name) {
                out |= bits ? (1u << nv.value) : nv.value;
                found = true;
            }
        if (!found) return false;
    }
    return true;
}

bool fourcc(std::string_view s, uint32_t &out) {
    if (s.size() != 4) return false;
    out = fourcc_code(s[0], s[1], s[2], s[3]);
    return true;
}

// key=value options after the positional words; a bare word is a key with "".
using Options = std::map<std::string, std::string, std::less<>>;

Options options(const std::vector<std::string_view> &w, size_t from) {
    Options o;
    for (size_t i = from; i < w.size(); i++) {
        size_t eq = w[i].find('=');
        if (eq == std::string_view::npos)
            o[std::string(w[i])] = "";
        else
            o[std::string(w[i].substr(0, eq))] = std::string(w[i].substr(eq + 1));
    }
    return o;
}

uint32_t mode_refresh(const Mode &m) {
    if (m.clock == 0 || m.htotal == 0 || m.vtotal == 0) return 0;
    uint64_t num = uint64_t(m.clock) * 1000, den = uint64_t(m.htotal) * m.vtotal;
    if (m.flags & DRM_MODE_FLAG_INTERLACE) num *= 2;
    if (m.flags & DRM_MODE_FLAG_DBLSCAN) den *= 2;
    if (m.vscan > 1) den *= m.vscan;
    return static_cast<uint32_t>((num + den / 2) / den);
}

struct Parser {
    CardDesc &card;
    std::string err;
    std::vector<std::pair<std::string, Mode>> pending_modes;  // target, mode
    std::map<uint32_t, std::string> conn_monitor;
    std::set<uint32_t> ids;

    bool fail(const std::string &why) {
        if (err.empty()) err = why;
        return false;
    }

    bool new_id(std::string_view s, uint32_t &id) {
        if (!number32(s, id) || id == 0) return fail("bad object id '" + std::string(s) + "'");
        if (!ids.insert(id).second) return fail("object id " + std::to_string(id) + " used twice");
        return true;
    }

    bool need(const Options &o, const char *key, std::string &val) {
        auto it = o.find(key);
        if (it == o.end()) return fail(std::string("missing ") + key + "=");
        val = it->second;
        return true;
    }

    bool driver(const std::vector<std::string_view> &w) {
        if (w.size() < 2) return fail("driver needs a name");
        card.driver = std::string(w[1]);
        Options o = options(w, 2);
        if (o.count("desc")) card.desc = o["desc"];
        if (o.count("date")) card.date = o["date"];
        if (o.count("version")) {
            auto p = split(o["version"], '.');
            for (size_t i = 0; i < 3 && i < p.size(); i++) {
                uint32_t v;
                if (!number32(p[i], v)) return fail("bad version");
                card.ver[i] = static_cast<int>(v);
            }
        }
        if (o.count("max")) {
            int mw, mh, hz;
            bool il;
            if (!parse_mode_name(o["max"], mw, mh, il, hz)) return fail("bad max=");
            card.max_w = mw;
            card.max_h = mh;
        }
        return true;
    }

    bool crtc(const std::vector<std::string_view> &w) {
        Crtc c;
        if (w.size() < 2 || !new_id(w[1], c.id)) return fail("crtc needs an id");
        Options o = options(w, 2);
        if (o.count("primary") && !number32(o["primary"], c.primary)) return fail("bad primary=");
        uint32_t g;
        if (o.count("gamma")) {
            if (!number32(o["gamma"], g)) return fail("bad gamma=");
            c.gamma = static_cast<int>(g);
        }
        c.index = static_cast<int>(card.crtcs.size());
        if (c.index >= 32) return fail("at most 32 CRTCs");
        card.crtcs.push_back(c);
        return true;
    }

    bool encoder(const std::vector<std::string_view> &w) {
        Encoder e;
        if (w.size() < 2 || !new_id(w[1], e.id)) return fail("encoder needs an id");
        Options o = options(w, 2);
        std::string v;
        if (!need(o, "crtcs", v) || !number32(v, e.crtcs)) return fail("bad crtcs=");
        if (o.count("clones") && !number32(o["clones"], e.clones)) return fail("bad clones=");
        if (o.count("type") && !flag_list(o["type"], kEncoderTypes, false, e.type))
            return fail("bad encoder type");
        card.encoders.push_back(e);
        return true;
    }

    // Every plane has "pixel blend mode" with all three modes unless told otherwise,
    // and one listing a YUV format "COLOR_ENCODING"/"COLOR_RANGE" at BT.709 limited,
    // as vc4_plane_init creates them.
    bool blend_and_color(Options &o, Plane &p) {
        p.blend_caps = 0x7;
        if (o.count("blend") && o["blend"] == "off")
            p.blend_caps = 0;
        else if (o.count("blend") && (!flag_list(o["blend"], kBlendModes, true, p.blend_caps) ||
                                      p.blend_caps > 7 || !(p.blend_caps >> kBlendPremulti & 1)))
            // drm_plane_create_blend_mode_property insists on "Pre-multiplied"
            return fail("bad blend= (off, or none,premulti,coverage with premulti)");
        bool yuv = std::any_of(p.formats.begin(), p.formats.end(), [](uint32_t f) {
            return f == DRM_FORMAT_NV12 || f == DRM_FORMAT_P010 || f == DRM_FORMAT_NV15 ||
                   f == DRM_FORMAT_P030;
        });
        if (o.count("color") && o["color"] != "off") return fail("bad color= (off)");
        p.color_props = yuv && !o.count("color");
        if (p.color_props) p.st.encoding = kEncBt709;
        return true;
    }

    bool plane(const std::vector<std::string_view> &w) {
        Plane p;
        if (w.size() < 2 || !new_id(w[1], p.id)) return fail("plane needs an id");
        Options o = options(w, 2);
        std::string v;
        if (!need(o, "type", v)) return false;
        if (v == "overlay")
            p.type = DRM_PLANE_TYPE_OVERLAY;
        else if (v == "primary")
            p.type = DRM_PLANE_TYPE_PRIMARY;
        else if (v == "cursor")
            p.type = DRM_PLANE_TYPE_CURSOR;
        else
            return fail("plane type must be overlay, primary or cursor");
        if (!need(o, "crtcs", v) || !number32(v, p.crtcs)) return fail("bad crtcs=");
        if (!need(o, "formats", v)) return false;
        for (auto f : split(v, ',')) {
            uint32_t code;
            if (!fourcc(f, code)) return fail("bad format '" + std::string(f) + "'");
            p.formats.push_back(code);
        }
        if (o.count("zpos")) {
            uint64_t z;
            if (!number(o["zpos"], z)) return fail("bad zpos=");
            p.has_zpos = true;
            p.st.zpos = z;
            p.zmin = 0;
            p.zmax = std::max<uint64_t>(7, z);
        }
        if (o.count("zpos_range")) {
            auto r = split(o["zpos_range"], '-');
            if (r.size() != 2 || !number(r[0], p.zmin) || !number(r[1], p.zmax) || p.zmin > p.zmax)
                return fail("bad zpos_range= (min-max)");
            p.has_zpos = true;
            p.st.zpos = std::clamp(p.st.zpos, p.zmin, p.zmax);
        }
        if (o.count("zpos_immutable")) {
            if (!p.has_zpos) return fail("zpos_immutable needs zpos=");
            p.zpos_immutable = true;
            p.zmin = p.zmax = p.st.zpos;
        }
        if (o.count("rotation")) {
            if (!flag_list(o["rotation"], kRotations, true, p.rot_caps) || p.rot_caps > 0x3f)
                return fail("bad rotation=");
            p.rot_caps |= DRM_MODE_ROTATE_0;
        }
        if (!blend_and_color(o, p)) return false;
        p.in_formats = o.count("in_formats") > 0;
        p.sand128 = o.count("sand128") > 0;
        if (o.count("scale")) {
            auto r = split(o["scale"], '-');
            if (r.size() != 2 || !scale_factor(r[0], p.scale_min) ||
                !scale_factor(r[1], p.scale_max) || p.scale_min > p.scale_max)
                return fail("bad scale= (min-max, e.g. 1/8-8)");
        }
        if (o.count("min") && !size(o["min"], p.min_w, p.min_h)) return fail("bad min= (WxH)");
        if (o.count("max_src") && !size(o["max_src"], p.max_src_w, p.max_src_h))
            return fail("bad max_src= (WxH)");
        p.yuv_even = o.count("yuv_even") > 0;
        p.afbc_only = o.count("afbc_only") > 0;
        p.yuv_no_reflect_y = o.count("yuv_no_reflect_y") > 0;
        if (p.afbc_only && p.sand128) return fail("afbc_only and sand128 exclude each other");
        p.index = static_cast<int>(card.planes.size());
        card.planes.push_back(p);
        return true;
    }

    // "8", "1/8": a factor in 16.16, as the drivers pass it to
    // drm_atomic_helper_check_plane_state.
    static bool scale_factor(std::string_view t, int64_t &v) {
        auto f = split(t, '/');
        uint64_t num = 0, den = 1;
        if (f.empty() || f.size() > 2 || !number(f[0], num) ||
            (f.size() == 2 && !number(f[1], den)) || num == 0 || den == 0 || num > 65535)
            return false;
        v = int64_t((num << 16) / den);
        return v > 0;
    }

    static bool size(std::string_view t, uint32_t &w, uint32_t &h) {
        auto f = split(t, 'x');
        return f.size() == 2 && number32(f[0], w) && number32(f[1], h);
    }

    bool connector(const std::vector<std::string_view> &w) {
        Connector c;
        if (w.size() < 3 || !new_id(w[1], c.id)) return fail("connector needs an id and a name");
        c.name = std::string(w[2]);
        size_t dash = c.name.rfind('-');
        if (dash == std::string::npos || dash == 0) return fail("connector name like HDMI-A-1");
        c.type = connector_type_from_name(std::string_view(c.name).substr(0, dash));
        if (!number32(std::string_view(c.name).substr(dash + 1), c.type_id))
            return fail("connector name must end in -<number>");
        Options o = options(w, 3);
        std::string v;
        if (o.count("type")) {
            c.type = connector_type_from_name(o["type"]);
            if (c.type == 0 && o["type"] != "Unknown") return fail("unknown connector type");
        }
        if (!need(o, "status", v)) return false;
        if (v != "connected" && v != "disconnected")
            return fail("status must be connected or disconnected");
        c.connected = v == "connected";
        if (!need(o, "encoders", v)) return false;
        for (auto e : split(v, ',')) {
            uint32_t id;
            if (!number32(e, id)) return fail("bad encoders=");
            c.encoders.push_back(id);
        }
        if (o.count("mm")) {
            int mw, mh, hz;
            bool il;
            if (!parse_mode_name(o["mm"], mw, mh, il, hz)) return fail("bad mm=");
            c.mm_w = mw;
            c.mm_h = mh;
        }
        if (o.count("modes_after_ms")) {
            uint64_t ms;
            if (!number(o["modes_after_ms"], ms)) return fail("bad modes_after_ms=");
            c.modes_after_ms = static_cast<int64_t>(ms);
        }
        if (o.count("monitor")) conn_monitor[c.id] = o["monitor"];
        card.connectors.push_back(c);
        return true;
    }

    bool mode(const std::vector<std::string_view> &w) {
        if (w.size() < 3) return fail("mode needs a target and a size");
        Mode m{};
        int mw, mh, hz;
        bool il;
        if (!parse_mode_name(w[2], mw, mh, il, hz) || mw <= 0 || mh <= 0 || mw > 0xffff ||
            mh > 0xffff)
            return fail("bad mode size '" + std::string(w[2]) + "'");
        m.hdisplay = static_cast<uint16_t>(mw);
        m.vdisplay = static_cast<uint16_t>(mh);
        Options o = options(w, 3);
        std::string v;
        if (!need(o, "clock", v) || !number32(v, m.clock)) return fail("bad clock=");
        if (!need(o, "h", v) || !triple(v, m.hsync_start, m.hsync_end, m.htotal))
            return fail("h= needs hsync_start,hsync_end,htotal");
        if (!need(o, "v", v) || !triple(v, m.vsync_start, m.vsync_end, m.vtotal))
            return fail("v= needs vsync_start,vsync_end,vtotal");
        if (!(m.hdisplay <= m.hsync_start && m.hsync_start <= m.hsync_end &&
              m.hsync_end <= m.htotal && m.vdisplay <= m.vsync_start &&
              m.vsync_start <= m.vsync_end && m.vsync_end <= m.vtotal))
            return fail("timings out of order");
        uint32_t x;
        if (o.count("hskew")) {
            if (!number32(o["hskew"], x)) return fail("bad hskew=");
            m.hskew = static_cast<uint16_t>(x);
        }
        if (o.count("vscan")) {
            if (!number32(o["vscan"], x)) return fail("bad vscan=");
            m.vscan = static_cast<uint16_t>(x);
        }
        m.flags = DRM_MODE_FLAG_PHSYNC | DRM_MODE_FLAG_PVSYNC;
        if (o.count("flags") && !flag_list(o["flags"], kModeFlags, false, m.flags))
            return fail("bad flags=");
        if (il) m.flags |= DRM_MODE_FLAG_INTERLACE;
        m.type = DRM_MODE_TYPE_DRIVER;
        if (o.count("type") && !flag_list(o["type"], kModeTypes, false, m.type))
            return fail("bad type=");
        m.vrefresh = hz >= 0 ? static_cast<uint32_t>(hz) : mode_refresh(m);
        std::string name = o.count("name") ? o["name"]
                                           : std::to_string(mw) + "x" + std::to_string(mh) +
                                                 ((m.flags & DRM_MODE_FLAG_INTERLACE) ? "i" : "");
        snprintf(m.name, sizeof m.name, "%s", name.c_str());
        pending_modes.emplace_back(std::string(w[1]), m);
        return true;
    }

    bool fault(const std::vector<std::string_view> &w) {
        static const std::set<std::string, std::less<>> kinds = {
            "mode", "atomic_modeset", "plane", "nonblock", "addfb", "vblank", "rotate", "import"};
        if (w.size() < 2 || !kinds.count(w[1])) return fail("unknown fault kind");
        Fault f;
        f.kind = std::string(w[1]);
        Options o = options(w, 2);
        for (auto &[k, v] : o) {
            uint32_t n;
            if (k == "mode") {
                bool il;
                if (!parse_mode_name(v, f.w, f.h, il, f.hz)) return fail("bad fault mode=");
                f.interlaced = il;
            } else if (k == "clock" || k == "plane" || k == "crtc" || k == "times" ||
                       k == "after") {
                if (!number32(v, n)) return fail("bad fault " + k + "=");
                if (k == "clock") f.clock = n;
                if (k == "plane") f.plane = n;
                if (k == "crtc") f.crtc = n;
                if (k == "times") f.times = static_cast<int>(n);
                if (k == "after") f.after = static_cast<int>(n);
            } else if (k == "format") {
                if (!fourcc(v, f.format)) return fail("bad fault format=");
            } else if (k == "errno") {
                uint32_t e = 0;
                if (!flag_list(v, kErrnos, false, e)) return fail("bad fault errno=");
                f.err = static_cast<int>(e);
            } else {
                return fail("unknown fault option " + k);
            }
        }
        card.faults.push_back(f);
        return true;
    }

    bool at(const std::vector<std::string_view> &w) {
        ScriptEvent e;
        uint64_t ms;
        if (w.size() < 4 || !number(w[1], ms)) return fail("at <ms> unplug|plug <connector>");
        e.at_ms = static_cast<int64_t>(ms);
        if (w[2] == "plug")
            e.plug = true;
        else if (w[2] != "unplug")
            return fail("at: unplug or plug");
        if (!number32(w[3], e.conn)) return fail("at: bad connector id");
        if (w.size() > 4) {
            if (!e.plug) return fail("unplug takes no monitor");
            e.monitor = std::string(w[4]);
        }
        card.script.push_back(e);
        return true;
    }

    // vblank_jitter <µs> [seed=<n>]
    bool vblank_jitter(const std::vector<std::string_view> &w) {
        uint64_t us = 0, seed = 0;
        bool ok = w.size() >= 2 && number(w[1], us) && us <= 1000000;
        for (auto &[k, v] : options(w, 2)) ok = ok && k == "seed" && number(v, seed);
        if (!ok) return fail("vblank_jitter <µs up to 1000000> [seed=<n>]");
        card.vblank_jitter_us = static_cast<int64_t>(us);
        card.vblank_jitter_seed = seed;
        return true;
    }

    // other_master [until=<ms>]
    bool other_master(const std::vector<std::string_view> &w) {
        card.other_master_until_ms = INT64_MAX;
        for (auto &[k, v] : options(w, 1)) {
            uint64_t ms;
            if (k != "until" || !number(v, ms)) return fail("other_master [until=<ms>]");
            card.other_master_until_ms = static_cast<int64_t>(ms);
        }
        return true;
    }

    // decoder v4l2|mpp [pipeline N] [pool N] [layout one|planes|mpp|sand128]
    bool decoder(const std::vector<std::string_view> &w) {
        if (w.size() < 2 || (w[1] != "v4l2" && w[1] != "mpp")) return fail("decoder v4l2|mpp");
        DecoderDesc &d = card.decoder;
        d.family = std::string(w[1]);
        for (size_t i = 2; i < w.size(); i += 2) {
            if (i + 1 >= w.size()) return fail("decoder: no value for " + std::string(w[i]));
            uint64_t n = 0;
            if (w[i] == "pipeline" || w[i] == "pool") {
                if (!number(w[i + 1], n) || n > 64) return fail("decoder: bad count");
                (w[i] == "pool" ? d.pool : d.pipeline) = int64_t(n);
            } else if (w[i] == "layout") {
                static const std::set<std::string_view> kLayouts = {"one", "planes", "mpp",
                                                                    "sand128"};
                if (!kLayouts.count(w[i + 1])) return fail("decoder: unknown layout");
                d.layout = std::string(w[i + 1]);
            } else {
                return fail("decoder: unknown key '" + std::string(w[i]) + "'");
            }
        }
        return true;
    }

    bool line(std::string_view raw) {
        size_t hash = raw.find('#');
        auto w = words(raw.substr(0, hash));
        if (w.empty()) return true;
        std::string_view k = w[0];
        if (k == "driver") return driver(w);
        if (k == "path") {
            if (w.size() < 2 || w[1].substr(0, 9) != "/dev/dri/") return fail("path /dev/dri/...");
            card.paths.push_back({std::string(w[1]), w.size() > 2 && w[2] == "empty"});
            return true;
        }
        if (k == "option") {
            if (w.size() == 2 && (w[1] == "setplane_blocks" || w[1] == "setplane_async")) {
                card.setplane_blocks = w[1] == "setplane_blocks";
                return true;
            }
            return fail("unknown option");
        }
        if (k == "other_master") return other_master(w);
        if (k == "vblank_jitter") return vblank_jitter(w);
        if (k == "crtc") return crtc(w);
        if (k == "encoder") return encoder(w);
        if (k == "plane") return plane(w);
        if (k == "connector") return connector(w);
        if (k == "mode") return mode(w);
        if (k == "fault") return fault(w);
        if (k == "decoder") return decoder(w);
        if (k == "at") return at(w);
        return fail("unknown keyword '" + std::string(k) + "'");
    }

    // Cross references, once every line is read.
    bool finish() {
        for (auto &[target, m] : pending_modes) {
            uint32_t id;
            if (number32(target, id)) {
                bool found = false;
                for (auto &c : card.connectors)
                    if (c.id == id) {
                        c.modes.push_back(m);
                        found = true;
                    }
                if (!found) return fail("mode for unknown connector " + target);
            } else {
                card.monitors[target].push_back(m);
            }
        }
        for (auto &[id, name] : conn_monitor) {
            auto it = card.monitors.find(name);
            if (it == card.monitors.end()) return fail("unknown monitor " + name);
            for (auto &c : card.connectors)
                if (c.id == id) {
                    c.modes.insert(c.modes.begin(), it->second.begin(), it->second.end());
                    c.monitor = name;
                }
        }
        uint32_t all = card.crtcs.size() >= 32 ? ~0u : (1u << card.crtcs.size()) - 1;
        for (auto &e : card.encoders)
            if (e.crtcs & ~all)
                return fail("encoder " + std::to_string(e.id) + " names a missing CRTC");
        for (auto &p : card.planes)
            if (p.crtcs & ~all)
                return fail("plane " + std::to_string(p.id) + " names a missing CRTC");
        for (auto &c : card.connectors)
            for (uint32_t e : c.encoders) {
                bool found = false;
                for (auto &enc : card.encoders) found |= enc.id == e;
                if (!found) return fail("connector " + c.name + " names a missing encoder");
            }
        for (auto &e : card.script) {
            bool found = false;
            for (auto &c : card.connectors) found |= c.id == e.conn;
            if (!found) return fail("at: unknown connector " + std::to_string(e.conn));
            if (!e.monitor.empty() && !card.monitors.count(e.monitor))
                return fail("at: unknown monitor " + e.monitor);
        }
        return resolve_primaries();
    }

    // Every CRTC gets one primary plane: named, or the first free primary plane that
    // can drive it, as a kernel driver pairs them at start.
    bool resolve_primaries() {
        std::set<uint32_t> taken;
        for (auto &c : card.crtcs)
            if (c.primary) {
                bool ok = false;
                for (auto &p : card.planes)
                    ok |= p.id == c.primary && p.type == DRM_PLANE_TYPE_PRIMARY;
                if (!ok)
                    return fail("crtc " + std::to_string(c.id) + ": primary= is no primary plane");
                taken.insert(c.primary);
            }
        for (auto &c : card.crtcs) {
            if (c.primary) continue;
            for (auto &p : card.planes)
                if (p.type == DRM_PLANE_TYPE_PRIMARY && (p.crtcs & (1u << c.index)) &&
                    !taken.count(p.id)) {
                    c.primary = p.id;
                    taken.insert(p.id);
                    break;
                }
        }
        std::sort(card.script.begin(), card.script.end(),
                  [](const ScriptEvent &a, const ScriptEvent &b) { return a.at_ms < b.at_ms; });
        return true;
    }
};

}  // namespace

bool parse_mode_name(std::string_view s, int &w, int &h, bool &interlaced, int &hz) {
    size_t x = s.find('x');
    if (x == std::string_view::npos) return false;
    uint32_t a, b;
    size_t end = x + 1;
    while (end < s.size() && s[end] >= '0' && s[end] <= '9') end++;
    if (!number32(s.substr(0, x), a) || !number32(s.substr(x + 1, end - x - 1), b)) return false;
    interlaced = false;
    if (end < s.size() && (s[end] == 'i' || s[end] == 'I')) {
        interlaced = true;
        end++;
    }
    hz = -1;
    if (end < s.size()) {
        uint32_t r;
        if (s[end] != '@' || !number32(s.substr(end + 1), r)) return false;
        hz = static_cast<int>(r);
    }
    w = static_cast<int>(a);
    h = static_cast<int>(b);
    return true;
}

uint32_t connector_type_from_name(std::string_view name) {
    for (uint32_t i = 0; i < kConnectorTypes.size(); i++)
        if (name == kConnectorTypes[i]) return i;
    return 0;
}

const char *connector_type_name(uint32_t type) {
    return type < kConnectorTypes.size() ? kConnectorTypes[type] : nullptr;
}

std::string parse_card(std::string_view text, CardDesc &out) {
    out = CardDesc{};
    Parser p{out, {}, {}, {}, {}};
    int n = 0;
    for (auto line : split(text, '\n')) {
        n++;
        if (!p.line(line)) return "line " + std::to_string(n) + ": " + p.err;
    }
    if (!p.finish()) return p.err;
    if (out.paths.empty())
        for (const char *path :
             {"/dev/dri/by-path/platform-gpu-card", "/dev/dri/card1", "/dev/dri/card0"})
            out.paths.push_back({path, false});
    return "";
}

}  // namespace vcard
