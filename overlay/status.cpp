// Status records that other processes feed through small text files. Each poll
// rereads its file only when the modification time changed and replaces its
// record as a whole.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "overlay/overlay.h"

MenuState g_menu;

namespace {

// A text field: the line without its CR/LF, cut to the field.
void copy_field(char *dst, size_t cap, const char *line) {
    size_t n = strcspn(line, "\r\n");
    if (n >= cap) n = cap - 1;
    memcpy(dst, line, n);
    dst[n] = 0;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

timespec g_menu_mtime;

}  // namespace

MenuState parse_menu(FILE *f) {
    MenuState m{};
    char line[128];
    if (!fgets(line, sizeof line, f)) return m;
    if (strncmp(line, "message", 7) == 0) {
        m.message = 1;
        if (fgets(line, sizeof line, f)) copy_field(m.msg, sizeof m.msg, line);
        return m;
    }
    m.open = strncmp(line, "open", 4) == 0;
    int *numbers[] = {&m.tab, &m.focus, &m.sel};
    for (int *n : numbers) {
        if (!fgets(line, sizeof line, f)) return m;
        *n = int(strtol(line, nullptr, 10));
    }
    if (!fgets(line, sizeof line, f)) return m;
    copy_field(m.title, sizeof m.title, line);
    while (m.nrows < 12 && fgets(line, sizeof line, f))
        copy_field(m.rows[m.nrows++], sizeof m.rows[0], line);
    return m;
}

int poll_menu() {
    const char *env = getenv("ZYL_KMS_MENU");
    const char *path = env ? env : "/run/zyl-fpv/menu";
    struct stat st;
    if (stat(path, &st) != 0) {
        if (!g_menu.open && !g_menu.nrows) return 0;
        g_menu = MenuState{};
        return 1;
    }
    if (same_time(st.st_mtim, g_menu_mtime)) return 0;
    g_menu_mtime = st.st_mtim;
    FILE *f = fopen(path, "r");
    if (!f) return 0;
    g_menu = parse_menu(f);
    fclose(f);
    return 1;
}
