// File-system view of the sim: /dev/dri paths open the virtual card (or do not exist
// without one), and with ZYL_SIM_ROOT the program's fixed paths under /run/zyl-fpv,
// /opt/zyl-fpv, /tmp/zyl-*, /sys/class/devfreq, /sys/class/thermal and /proc/uptime
// (and its shared-memory names) land in a directory of their own, so test runs never
// meet each other or the machine's real files, and a test decides the board's
// uptime, temperature and GPU governor by writing them there. The libc calls are interposed and
// forward with dlsym(RTLD_NEXT), which also keeps sanitizer interceptors in the chain.
#include "sim/sim.h"
#include "sim/vcard.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
int __open_2(const char *, int);
int __open64_2(const char *, int);
int __openat_2(int, const char *, int);
int __openat64_2(int, const char *, int);
}

namespace {

template <typename F>
F next_fn(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(name) static const auto real = next_fn<decltype(&::name)>(#name)

bool starts_with(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

bool is_dri(const char *path) {
    return path && starts_with(path, "/dev/dri/");
}

void make_parents(const std::string &path) {
    static const auto real_mkdir = next_fn<decltype(&::mkdir)>("mkdir");
    for (size_t i = 1; i < path.size(); i++)
        if (path[i] == '/') real_mkdir(path.substr(0, i).c_str(), 0755);
}

// ThreadSanitizer symbolizes a report in the process and meanwhile opens debug files
// through these interposers: were their reads checked, a report would start inside the
// report, which deadlocks (a suppressed race in llvmpipe is enough to get there). The
// path handling is left unchecked.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
struct Unchecked {
    Unchecked() { __tsan_ignore_thread_begin(); }
    ~Unchecked() { __tsan_ignore_thread_end(); }
};
#else
struct Unchecked {};
#endif

std::function<void()> g_after_stat;

// Runs a hook set by sim_after_next_stat once; the hook may stat files itself.
int after_stat(int result) {
    if (result != 0 || !g_after_stat) return result;
    std::function<void()> hook = std::move(g_after_stat);
    g_after_stat = nullptr;
    hook();
    return result;
}

// The path the call really uses; `buf` holds a rewritten one.
const char *mapped(const char *path, std::string &buf) {
    [[maybe_unused]] Unchecked unchecked;
    const char *root = getenv("ZYL_SIM_ROOT");
    if (!path || !root || !*root || path[0] != '/') return path;
    buf = sim_root_path(path, root);
    if (buf == path) return path;
    make_parents(buf);
    return buf.c_str();
}

mode_t mode_arg(int flags, va_list ap) {
    return __OPEN_NEEDS_MODE(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

int dri_stat(const char *path, struct stat *sb) {
    return vcard_stat_path(path, sb);
}

}  // namespace

void sim_after_next_stat(std::function<void()> hook) {
    g_after_stat = std::move(hook);
}

std::string sim_root_path(std::string_view path, std::string_view root) {
    while (!root.empty() && root.back() == '/') root.remove_suffix(1);
    if (root.empty() || path.empty() || path[0] != '/') return std::string(path);
    auto under = [&](std::string_view dir) {
        return starts_with(path, dir) && (path.size() == dir.size() || path[dir.size()] == '/');
    };
    if (under(root)) return std::string(path);  // already rewritten
    if (under("/run/zyl-fpv") || under("/opt/zyl-fpv") || starts_with(path, "/tmp/zyl-") ||
        under("/sys/class/devfreq") || under("/sys/class/thermal") || path == "/proc/uptime")
        return std::string(root) + std::string(path);
    return std::string(path);
}

extern "C" {

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_dri(path)) return vcard_open_path(path, flags);
    REAL(open);
    std::string buf;
    return real(mapped(path, buf), flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_dri(path)) return vcard_open_path(path, flags);
    REAL(open64);
    std::string buf;
    return real(mapped(path, buf), flags, mode);
}

int __open_2(const char *path, int flags) {
    return open(path, flags);
}
int __open64_2(const char *path, int flags) {
    return open64(path, flags);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_dri(path)) return vcard_open_path(path, flags);
    REAL(openat);
    std::string buf;
    return real(dirfd, mapped(path, buf), flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_dri(path)) return vcard_open_path(path, flags);
    REAL(openat64);
    std::string buf;
    return real(dirfd, mapped(path, buf), flags, mode);
}

int __openat_2(int dirfd, const char *path, int flags) {
    return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char *path, int flags) {
    return openat64(dirfd, path, flags);
}

int creat(const char *path, mode_t mode) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}
int creat64(const char *path, mode_t mode) {
    return open64(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

FILE *fopen(const char *path, const char *mode) {
    REAL(fopen);
    std::string buf;
    return real(mapped(path, buf), mode);
}

FILE *fopen64(const char *path, const char *mode) {
    REAL(fopen64);
    std::string buf;
    return real(mapped(path, buf), mode);
}

FILE *freopen(const char *path, const char *mode, FILE *stream) {
    REAL(freopen);
    std::string buf;
    return real(mapped(path, buf), mode, stream);
}

FILE *freopen64(const char *path, const char *mode, FILE *stream) {
    REAL(freopen64);
    std::string buf;
    return real(mapped(path, buf), mode, stream);
}

int access(const char *path, int how) noexcept {
    struct stat sb;
    if (is_dri(path)) return dri_stat(path, &sb);
    REAL(access);
    std::string buf;
    return real(mapped(path, buf), how);
}

int faccessat(int dirfd, const char *path, int how, int flags) noexcept {
    struct stat sb;
    if (is_dri(path)) return dri_stat(path, &sb);
    REAL(faccessat);
    std::string buf;
    return real(dirfd, mapped(path, buf), how, flags);
}

int stat(const char *path, struct stat *sb) noexcept {
    if (is_dri(path)) return dri_stat(path, sb);
    REAL(stat);
    std::string buf;
    return after_stat(real(mapped(path, buf), sb));
}

int stat64(const char *path, struct stat64 *sb) noexcept {
    if (is_dri(path)) return dri_stat(path, reinterpret_cast<struct stat *>(sb));
    REAL(stat64);
    std::string buf;
    return after_stat(real(mapped(path, buf), sb));
}

int lstat(const char *path, struct stat *sb) noexcept {
    if (is_dri(path)) return dri_stat(path, sb);
    REAL(lstat);
    std::string buf;
    return real(mapped(path, buf), sb);
}

int lstat64(const char *path, struct stat64 *sb) noexcept {
    if (is_dri(path)) return dri_stat(path, reinterpret_cast<struct stat *>(sb));
    REAL(lstat64);
    std::string buf;
    return real(mapped(path, buf), sb);
}

int fstatat(int dirfd, const char *path, struct stat *sb, int flags) noexcept {
    if (is_dri(path)) return dri_stat(path, sb);
    REAL(fstatat);
    std::string buf;
    return real(dirfd, mapped(path, buf), sb, flags);
}

int fstatat64(int dirfd, const char *path, struct stat64 *sb, int flags) noexcept {
    if (is_dri(path)) return dri_stat(path, reinterpret_cast<struct stat *>(sb));
    REAL(fstatat64);
    std::string buf;
    return real(dirfd, mapped(path, buf), sb, flags);
}

int rename(const char *from, const char *to) noexcept {
    REAL(rename);
    std::string a, b;
    return real(mapped(from, a), mapped(to, b));
}

int renameat(int fromfd, const char *from, int tofd, const char *to) noexcept {
    REAL(renameat);
    std::string a, b;
    return real(fromfd, mapped(from, a), tofd, mapped(to, b));
}

int unlink(const char *path) noexcept {
    REAL(unlink);
    std::string buf;
    return real(mapped(path, buf));
}

int unlinkat(int dirfd, const char *path, int flags) noexcept {
    REAL(unlinkat);
    std::string buf;
    return real(dirfd, mapped(path, buf), flags);
}

int remove(const char *path) noexcept {
    REAL(remove);
    std::string buf;
    return real(mapped(path, buf));
}

int rmdir(const char *path) noexcept {
    REAL(rmdir);
    std::string buf;
    return real(mapped(path, buf));
}

int mkdir(const char *path, mode_t mode) noexcept {
    REAL(mkdir);
    std::string buf;
    return real(mapped(path, buf), mode);
}

int truncate(const char *path, off_t len) noexcept {
    REAL(truncate);
    std::string buf;
    return real(mapped(path, buf), len);
}

DIR *opendir(const char *path) {
    REAL(opendir);
    std::string buf;
    return real(mapped(path, buf));
}

int shm_open(const char *name, int flags, mode_t mode) {
    REAL(shm_open);
    const char *root = getenv("ZYL_SIM_ROOT");
    std::string n = sim_shm_name(name, root ? root : "");
    return real(n.c_str(), flags, mode);
}

int shm_unlink(const char *name) {
    REAL(shm_unlink);
    const char *root = getenv("ZYL_SIM_ROOT");
    std::string n = sim_shm_name(name, root ? root : "");
    return real(n.c_str());
}

}  // extern "C"
