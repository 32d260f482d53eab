#include "kms/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"

bool FileVersion::operator==(const FileVersion &o) const {
    return dev == o.dev && ino == o.ino && mtim.tv_sec == o.mtim.tv_sec &&
           mtim.tv_nsec == o.mtim.tv_nsec && size == o.size && err == o.err;
}

FileVersion version_of(const struct stat &st) {
    FileVersion v;
    v.dev = st.st_dev;
    v.ino = st.st_ino;
    v.mtim = st.st_mtim;
    v.size = st.st_size;
    return v;
}

FileVersion version_at(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0) return version_of(st);
    FileVersion v;
    v.err = errno ? errno : EIO;
    return v;
}

OpenedFile open_regular(const char *path, size_t max, int link_rule) {
    OpenedFile f;
    // Some devices act on an open alone (a watchdog starts): what is plainly no regular
    // file is not opened at all. The descriptor's own fstat below still decides, since
    // the path may be swapped in between.
    int pre = link_rule == kNoFollow ? lstat(path, &f.st) : stat(path, &f.st);
    if (pre == 0 && !S_ISREG(f.st.st_mode)) {
        f.fault = FileFault::kNotRegular;
        return f;
    }
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (link_rule == kNoFollow ? O_NOFOLLOW : 0);
    int fd = open(path, flags);
    if (fd < 0 || fstat(fd, &f.st) != 0) {
        f.fault = FileFault::kSystem;
        f.err = errno;
    } else if (!S_ISREG(f.st.st_mode)) {
        f.fault = FileFault::kNotRegular;
    } else if (f.st.st_size < 0 || size_t(f.st.st_size) > max) {
        f.fault = FileFault::kTooLarge;
    } else {
        f.fd = fd;
        return f;
    }
    if (fd >= 0) close(fd);
    return f;
}

namespace {

// Reads to the end, or until one byte more than `max` shows that the file is larger
// than its size said (a writer still appending, a /proc file).
int read_bounded(int fd, size_t max, std::vector<char> *out) {
    size_t hint = out->capacity();
    out->resize(hint > 0 ? hint : 4096);
    size_t got = 0;
    for (;;) {
        if (got == out->size()) {
            if (got > max) break;
            out->resize(std::min(out->size() * 2, max + 1));
        }
        ssize_t n = read(fd, out->data() + got, out->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        got += size_t(n);
    }
    out->resize(got);
    return 0;
}

}  // namespace

FileBytes read_regular(const char *path, size_t max, int link_rule) {
    FileBytes b;
    OpenedFile f = open_regular(path, max, link_rule);
    b.st = f.st;
    b.size = f.st.st_size;
    b.fault = f.fault;
    b.err = f.err;
    if (f.fd < 0) return b;
    b.data.reserve(std::min(size_t(f.st.st_size) + 1, max + 1));
    int err = read_bounded(f.fd, max, &b.data);
    close(f.fd);
    if (err != 0) {
        b.fault = FileFault::kSystem;
        b.err = err;
    } else if (b.data.size() > max) {
        b.fault = FileFault::kTooLarge;
        b.size = static_cast<long long>(b.data.size());
    }
    if (b.fault != FileFault::kNone) b.data.clear();
    return b;
}

std::string file_fault_text(FileFault fault, int err, long long size, size_t max) {
    switch (fault) {
        case FileFault::kNone:
            return "";
        case FileFault::kNotRegular:
            return "not a regular file";
        case FileFault::kTooLarge: {
            char why[96];
            snprintf(why, sizeof why, "%lld bytes, more than the %zu allowed", size, max);
            return why;
        }
        case FileFault::kSystem:
            break;
    }
    return strerror(err);
}

std::string file_fault_text(const FileBytes &b, size_t max) {
    return file_fault_text(b.fault, b.err, b.size, max);
}

namespace {

int create_fresh(const std::string &tmp, std::string *why) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(tmp.c_str(), flags, 0644);
    struct stat st;
    // Only a regular file can be a temporary of ours left behind by a crash.
    if (fd < 0 && errno == EEXIST && lstat(tmp.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        unlink(tmp.c_str()) == 0)
        fd = open(tmp.c_str(), flags, 0644);
    if (fd >= 0) return fd;
    *why = tmp + (errno == EEXIST ? ": something other than a regular file is in the way"
                                  : ": " + std::string(strerror(errno)));
    return -1;
}

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

}  // namespace

bool write_atomic(const char *path, const void *data, size_t size, std::string *why) {
    const std::string tmp = std::string(path) + ".tmp";
    int fd = create_fresh(tmp, why);
    if (fd < 0) return false;
    bool ok = write_all(fd, static_cast<const char *>(data), size);
    int err = errno;
    if (close(fd) != 0 && ok) ok = false, err = errno;
    if (ok && rename(tmp.c_str(), path) == 0) return true;
    if (ok) err = errno;
    unlink(tmp.c_str());
    *why = std::string(ok ? path : tmp.c_str()) + ": " + strerror(err);
    return false;
}

namespace {

void refuse(WatchedFile &w, int cause, const char *path, const std::string &why) {
    if (w.cause == cause) return;
    w.cause = cause;
    say("zyl-mpp: %s file %s: %s — ignored until it changes", w.what, path, why.c_str());
}

}  // namespace

// A writer still at work while the file was read changes it again: the next poll
// reads the finished one.
Fresh read_if_changed(WatchedFile &w, const char *path, FileBytes *out) {
    FileVersion now = version_at(path);
    if (now.err != 0) {
        w.seen = {};
        return Fresh::kMissing;
    }
    if (now == w.seen) return Fresh::kUnchanged;
    *out = read_regular(path, w.max);
    w.seen = out->fault == FileFault::kSystem ? now : version_of(out->st);
    switch (out->fault) {
        case FileFault::kNone:
            w.cause = 0;
            return Fresh::kRead;
        case FileFault::kNotRegular:
            refuse(w, 1, path, "not a regular file");
            break;
        case FileFault::kTooLarge:
            refuse(w, 2, path, file_fault_text(*out, w.max));
            break;
        case FileFault::kSystem:
            refuse(w, 100 + out->err, path, "cannot open (" + file_fault_text(*out, 0) + ")");
            break;
    }
    return Fresh::kRefused;
}
