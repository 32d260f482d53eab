// The 3D LUT of the colour grade: a .cube file turned into the 8-bit atlas texture
// the shader samples, loaded at the pass start and again whenever the file changes.
#include <sys/stat.h>

#include <cstdio>

#include "gpu/gpu.h"
#include "gpu/parse.h"
#include "gpu/pass_state.h"

char g_lut_path[512];
int g_lut_on;
int g_lut_n;
time_t g_lut_mtime;
float g_lut_mix = 1.0f;
GLuint g_lut_tex;

namespace {

// The file version whose load failed last, so a broken file is read once per change
// instead of on every frame.
struct FileVersion {
    dev_t dev;
    ino_t ino;
    timespec mtim;
    off_t size;
};
FileVersion g_lut_failed;

bool same_version(const FileVersion &v, const struct stat &st) {
    return v.dev == st.st_dev && v.ino == st.st_ino && v.mtim.tv_sec == st.st_mtim.tv_sec &&
           v.mtim.tv_nsec == st.st_mtim.tv_nsec && v.size == st.st_size;
}

int parse_failed() {
    fprintf(stderr, "zyl-mpp: LUT parse failed: %s\n", g_lut_path);
    return -1;
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
    FILE *f = fopen(g_lut_path, "r");
    if (!f) return parse_failed();
    CubeParse p;
    char line[kCubeLineBuf];
    bool ok = true;
    while (ok && fgets(line, sizeof line, f)) ok = cube_line(p, line);
    fclose(f);
    if (!ok || !cube_complete(p)) return parse_failed();
    upload_atlas(cube_atlas(p), p.n);
    g_lut_n = p.n;
    struct stat st;
    if (stat(g_lut_path, &st) == 0) g_lut_mtime = st.st_mtime;
    fprintf(stderr, "zyl-mpp: LUT ready %s (N=%d, atlas %dx%d)\n", g_lut_path, p.n, p.n * p.n, p.n);
    return 0;
}

void lut_start() {
    static const uint8_t kBlack[4] = {};
    glGenTextures(1, &g_lut_tex);
    glBindTexture(GL_TEXTURE_2D, g_lut_tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 1, 1, 0, GL_RGB, GL_UNSIGNED_BYTE, kBlack);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    if (g_lut_path[0] && lut_load() == 0) g_lut_on = 1;
}

void lut_hot_reload() {
    struct stat st;
    if (!g_lut_on || !g_lut_path[0] || stat(g_lut_path, &st) != 0) return;
    if (st.st_mtime == g_lut_mtime || same_version(g_lut_failed, st)) return;
    if (lut_load() != 0) g_lut_failed = {st.st_dev, st.st_ino, st.st_mtim, st.st_size};
}
