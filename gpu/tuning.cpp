// The live tuning file through which another process adjusts the correction and the
// outputs' looks while the video runs, as a pure step from one tuning to the next;
// and each output's look worked out from the settings.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "gpu/gpu.h"
#include "gpu/parse.h"
#include "kms/files.h"

namespace {

struct NumberKey {
    const char *key;
    float &(*at)(Tuning &);
};
#define KEY(name, member)                                   \
    {                                                       \
        name, [](Tuning &t) -> float & { return t.member; } \
    }
const NumberKey kNumberKeys[] = {
    KEY("strength", lens.strength),
    KEY("k1", lens.k1),
    KEY("k2", lens.k2),
    KEY("k3", lens.k3),
    KEY("cx", lens.cx),
    KEY("cy", lens.cy),
    KEY("zoom", lens.zoom),
    KEY("vscale", lens.vscale),
    KEY("bright", grade.bright),
    KEY("contrast", grade.contrast),
    KEY("sat", grade.sat),
    KEY("temp", grade.temp),
    KEY("lutmix", lut_mix),
};
#undef KEY

// The first `keep` characters of `value`.
std::string first(const char *value, size_t keep) {
    return std::string(value, strnlen(value, keep));
}

std::string printed(const char *fmt, auto... args) {
    std::string line(size_t(snprintf(nullptr, 0, fmt, args...)), '\0');
    snprintf(line.data(), line.size() + 1, fmt, args...);
    return line;
}

void set_lut(TuningStep &s, const char *value) {
    Tuning &t = s.next;
    if (strcmp(value, "-") == 0) {
        t.lut_on = false;  // the path and the loaded table stay for a later "on"
        return;
    }
    std::string path = first(value, 511);
    if (path != t.lut_path) {
        t.lut_path = std::move(path);
        s.lut_changed = true;  // the next frame loads it
    }
    t.lut_on = true;
}

// An infinite or NaN value would turn the whole picture into one colour.
void set_number(TuningStep &s, const NumberKey &k, const char *text, float v) {
    float &value = k.at(s.next);
    if (std::isfinite(v)) {
        value = v;
        return;
    }
    s.refused.push_back(
        printed("zyl-mpp: dewarp LIVE %s = %s refused (not a finite number), keeps %g", k.key, text,
                double(value)));
}

// One "key = value" line; true when it changes an output's look.
bool apply_line(TuningStep &s, const char *key, const char *value) {
    LookSettings &look = s.next.look;
    if (strcmp(key, "aspect") == 0) {
        look.aspect = first(value, 15);
    } else if (strcmp(key, "fit") == 0) {
        look.fit = first(value, 15);
    } else if (strcmp(key, "flip") == 0) {
        look.flip = first(value, 7);
    } else if (strcmp(key, "dsiflip") == 0) {
        look.flip_dsi = strcmp(value, "-") == 0 ? std::nullopt : std::optional(first(value, 7));
    } else {
        if (strcmp(key, "lut") == 0) {
            set_lut(s, value);
            return false;
        }
        float v = strtof(value, nullptr);  // not a number reads as 0
        for (const NumberKey &k : kNumberKeys)
            if (strcmp(key, k.key) == 0) set_number(s, k, value, v);
        // As ZYL_SMOOTH: "phase" paces without the reserve frame, 0 on arrival.
        if (strcmp(key, "smooth") == 0)
            s.next.pacing = value[0] == 'p' ? Pacing::kPhase
                            : v != 0.0f     ? Pacing::kVblank
                                            : Pacing::kOnArrival;
        return false;
    }
    return true;
}

std::string summary(const Tuning &t) {
    const LensTuning &l = t.lens;
    const GradeTuning &g = t.grade;
    return printed(
        "zyl-mpp: dewarp LIVE s=%.2f k1=%.3f k2=%.3f cx=%.2f cy=%.2f zoom=%.2f vscale=%.2f | "
        "cg b=%.2f c=%.2f sat=%.2f temp=%.2f | aspect=%s fit=%s flip=%s dsiflip=%s smooth=%s",
        l.strength, l.k1, l.k2, l.cx, l.cy, l.zoom, l.vscale, g.bright, g.contrast, g.sat, g.temp,
        t.look.aspect.c_str(), t.look.fit.c_str(), t.look.flip.c_str(),
        t.look.flip_dsi ? t.look.flip_dsi->c_str() : "-",
        t.pacing == Pacing::kOnArrival ? "0"
        : t.pacing == Pacing::kPhase   ? "phase"
                                       : "1");
}

}  // namespace

TuningStep tuning_step(const Tuning &now, std::string_view text) {
    TuningStep s{now, false, false, {}, {}};
    char line[kTuningLineBuf];
    TuningLine t;
    for (size_t pos = 0, next; (next = next_line(text, pos, line, sizeof line)) != pos; pos = next)
        if (tuning_line(line, &t)) s.outputs |= apply_line(s, t.key, t.value);
    s.summary = summary(s.next);
    return s;
}

WatchedFile tuning_file_watch() {
    return {"dewarp", 64 * 1024, {}, 0};
}

std::optional<std::string> tuning_file_poll(WatchedFile &file, const std::string &path) {
    FileBytes b;
    if (read_if_changed(file, path.c_str(), &b) != Fresh::kRead) return std::nullopt;
    return std::string(b.data.data(), b.data.size());
}

OutputLook output_look(const LookSettings &s, int i, bool is_dsi) {
    const char *aspect = s.aspect.c_str(), *fit = s.fit.c_str(), *flip = s.flip.c_str();
    OutputLook out;
    if (is_dsi) {
        bool overridden = false;
        for (auto [value, field] : {std::pair{&s.aspect_dsi, &aspect}, std::pair{&s.fit_dsi, &fit},
                                    std::pair{&s.flip_dsi, &flip}}) {
            if (*value && !(*value)->empty()) {
                *field = (*value)->c_str();
                overridden = true;
            }
        }
        out.look.telemetry = s.telemetry_dsi;
        if (overridden)
            out.line = printed("zyl-mpp: output %d (DSI) aspect %s fit %s flip %s (override)", i,
                               aspect, fit, flip);
    }
    out.look.aspect = parse_aspect(aspect);
    out.look.fit = parse_fit(fit);
    out.look.flip = parse_flip(flip);
    return out;
}
