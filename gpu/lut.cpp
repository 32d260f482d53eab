// The 3D LUT of the colour grade: a .cube file turned into the 8-bit atlas texture
// the shader samples, loaded at the pass start and again whenever the file changes.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gpu/gpu.h"
#include "gpu/parse.h"
#include "gpu/pass_state.h"
#include "base/log.h"
#include "kms/files.h"

namespace {

// A table of 64 points written out in full with comments stays far below the bound;
// anything larger is not a .cube file.
constexpr size_t kLutFileMax = size_t(128) << 20;

bool load_failed(const GpuPass &p, const std::string &why) {
    say("zyl-mpp: LUT parse failed: %s (%s)", p.lut_path.c_str(), why.c_str());
    return false;
}

bool looks_like_entry(const char *line) {
    const char *s = line + strspn(line, " \t");
    return strchr("0123456789+-.", *s) && *s;
}

// Parses the open file; false with the reason when it makes no table.
bool parse_file(FILE *f, CubeParse &p, std::string *why) {
    char line[kCubeLineBuf];
    int no = 0, first_bad = 0;
    while (fgets(line, sizeof line, f)) {
        no++;
        size_t had = p.rgb.size();
        if (!cube_line(p, line)) {
            const char *size = strstr(line, "LUT_3D_SIZE");
            long n = size ? strtol(size + 11, nullptr, 10) : 0;
            *why = "line " + std::to_string(no) + ": size " + std::to_string(n) + " out of range";
            return false;
        }
        if (!first_bad && p.n && p.rgb.size() == had && looks_like_entry(line)) first_bad = no;
    }
    if (cube_complete(p)) return true;
    if (!p.n)
        *why = "no LUT_3D_SIZE line";
    else if (first_bad)
        *why = "line " + std::to_string(first_bad) + ": not an entry of three numbers";
    else
        *why = std::to_string(p.rgb.size() / 3) + " entries, " +
               std::to_string(long(p.n) * p.n * p.n) + " wanted";
    return false;
}

GlTexture new_texture() {
    GLuint name = 0;
    glGenTextures(1, &name);
    return GlTexture(name);
}

void upload_atlas(GpuGl &gl, const std::vector<uint8_t> &atlas, int n) {
    if (!gl.lut_tex) gl.lut_tex = new_texture();
    glBindTexture(GL_TEXTURE_2D, gl.lut_tex.get());
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, n * n, n, 0, GL_RGB, GL_UNSIGNED_BYTE, atlas.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

}  // namespace

void lut_set_path(GpuPass &p, const std::string &path) {
    p.lut_path = path.substr(0, 511);
}

bool lut_load(GpuPass &p) {
    const char *path = p.lut_path.c_str();
    OpenedFile of = open_regular(path, kLutFileMax);
    p.lut_seen = of.fault == FileFault::kSystem ? version_at(path) : version_of(of.st);
    if (of.fd < 0)
        return load_failed(p, file_fault_text(of.fault, of.err, of.st.st_size, kLutFileMax));
    FILE *f = fdopen(of.fd, "r");
    if (!f) {
        close(of.fd);
        return load_failed(p, strerror(errno));
    }
    CubeParse cube;
    std::string why;
    bool ok = parse_file(f, cube, &why);
    fclose(f);
    if (!ok) return load_failed(p, why);
    upload_atlas(*p.gl, cube_atlas(cube), cube.n);
    p.lut_n = cube.n;
    say("zyl-mpp: LUT ready %s (N=%d, atlas %dx%d)", path, cube.n, cube.n * cube.n, cube.n);
    return true;
}

// The table loaded last stays in use until the new file gives one.
void lut_path_changed(GpuPass &p) {
    p.lut_seen = {};
    p.lut_seen.err = -1;  // no file looks like this
}

void lut_start(GpuPass &p) {
    static const uint8_t kBlack[4] = {};
    GpuGl &gl = *p.gl;
    gl.lut_tex = new_texture();
    glBindTexture(GL_TEXTURE_2D, gl.lut_tex.get());
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 1, 1, 0, GL_RGB, GL_UNSIGNED_BYTE, kBlack);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    if (p.lut_path.empty()) return;
    p.lut_on = true;
    (void)lut_load(p);  // a failure is said; the next change of the file is tried
}

void lut_hot_reload(GpuPass &p) {
    if (p.lut_on && !p.lut_path.empty() && !(version_at(p.lut_path.c_str()) == p.lut_seen))
        (void)lut_load(p);
}
