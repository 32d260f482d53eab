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
#include "kms/files.h"

char g_lut_path[512];
int g_lut_on;
int g_lut_n;
GLuint g_lut_tex;

namespace {

// The version of g_lut_path last tried, loaded or not: a file is read once per change
// (a rewrite within one second included), and one missing at the start is loaded when
// it appears. A table of 64 points written out in full with comments stays far below
// the bound; anything larger is not a .cube file.
FileVersion g_lut_seen;
constexpr size_t kLutFileMax = size_t(128) << 20;

int load_failed(const std::string &why) {
    fprintf(stderr, "zyl-mpp: LUT parse failed: %s (%s)\n", g_lut_path, why.c_str());
    return -1;
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

void upload_atlas(const std::vector<uint8_t> &atlas, int n) {
    if (!g_lut_tex) glGenTextures(1, &g_lut_tex);
    glBindTexture(GL_TEXTURE_2D, g_lut_tex);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, n * n, n, 0, GL_RGB, GL_UNSIGNED_BYTE, atlas.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

}  // namespace

int lut_load() {
    OpenedFile of = open_regular(g_lut_path, kLutFileMax);
    g_lut_seen = of.fault == FileFault::kSystem ? version_at(g_lut_path) : version_of(of.st);
    if (of.fd < 0)
        return load_failed(file_fault_text(of.fault, of.err, of.st.st_size, kLutFileMax));
    FILE *f = fdopen(of.fd, "r");
    if (!f) {
        close(of.fd);
        return load_failed(strerror(errno));
    }
    CubeParse p;
    std::string why;
    bool ok = parse_file(f, p, &why);
    fclose(f);
    if (!ok) return load_failed(why);
    upload_atlas(cube_atlas(p), p.n);
    g_lut_n = p.n;
    fprintf(stderr, "zyl-mpp: LUT ready %s (N=%d, atlas %dx%d)\n", g_lut_path, p.n, p.n * p.n, p.n);
    return 0;
}

// The table loaded last stays in use until the new file gives one.
void lut_path_changed() {
    g_lut_seen = {};
    g_lut_seen.err = -1;  // no file looks like this
}

void lut_start() {
    static const uint8_t kBlack[4] = {};
    glGenTextures(1, &g_lut_tex);
    glBindTexture(GL_TEXTURE_2D, g_lut_tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 1, 1, 0, GL_RGB, GL_UNSIGNED_BYTE, kBlack);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    if (!g_lut_path[0]) return;
    g_lut_on = 1;
    lut_load();
}

void lut_hot_reload() {
    if (g_lut_on && g_lut_path[0] && !(version_at(g_lut_path) == g_lut_seen)) lut_load();
}
