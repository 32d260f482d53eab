// Files other processes or the user put in place: status files, tuning, the LUT, the
// font, the standby picture, trigger files and the reports this program writes. Any
// of them may be a FIFO, a device, a directory or a link to one, and none of that may
// block or spin the presentation loop, so every open goes through here: it never
// blocks, looks at what it opened (not at what a path named a moment earlier) and
// reads no more than a bound.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

enum class FileFault {
    kNone,
    kNotRegular,  // a FIFO, device, directory or socket
    kTooLarge,    // more than the reader's bound
    kSystem,      // the call failed: `err` says why
};

// Which version of a file a reader saw. The time is not enough: it moves in coarse
// ticks, so a truncation and the rewrite after it can share one, and a replacement
// can carry an old one. `err` is set when the file could not be looked at (ENOENT:
// missing), so that a file that appears counts as a change too.
struct FileVersion {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtim{};
    off_t size = 0;
    int err = 0;
    bool operator==(const FileVersion &o) const;
};
FileVersion version_of(const struct stat &st);
// The version at `path` now, following links (stat never blocks).
FileVersion version_at(const char *path);

struct OpenedFile {
    int fd = -1;  // a regular file open for reading, or -1
    struct stat st {};
    FileFault fault = FileFault::kNone;
    int err = 0;
};
constexpr int kFollowLinks = 0, kNoFollow = 1;
// Opens `path` for reading without blocking (a FIFO with no writer, a device) and
// keeps it only when the descriptor itself is a regular file of at most `max` bytes.
OpenedFile open_regular(const char *path, size_t max, int link_rule = kFollowLinks);

struct FileBytes {
    std::vector<char> data;  // the whole file (no terminating NUL)
    struct stat st {};       // of the descriptor read; zero when it could not be opened
    long long size = 0;      // bytes found, also when more than the bound
    FileFault fault = FileFault::kNone;
    int err = 0;
};
// Reads `path` whole when it is a regular file of at most `max` bytes. Files whose
// size says 0 (/proc, sysfs) are read up to the bound as well.
FileBytes read_regular(const char *path, size_t max, int link_rule = kFollowLinks);

// Why a read was refused, in a few words: "not a regular file", "70000 bytes, more
// than the 65536 allowed", or strerror.
std::string file_fault_text(FileFault fault, int err, long long size, size_t max);
std::string file_fault_text(const FileBytes &b, size_t max);

// A file the loop polls for changes: the version last read, and the cause of the
// refusal last reported, so that a file that stays broken is reported once.
struct WatchedFile {
    const char *what;  // its kind, for the line about a refusal: "menu", "dewarp", …
    size_t max;        // bytes it may have
    FileVersion seen;
    int cause;  // 0 none, 1 not a regular file, 2 too large, else 100 + errno of the open
};
enum class Fresh { kMissing, kUnchanged, kRefused, kRead };
// Reads the file into `out` when it changed. The version kept is the one of what was
// opened, not of what the path named a moment earlier, and it is kept before the
// contents are looked at, so a version that cannot be used is not tried again; a
// refusal prints "zyl-mpp: WHAT file PATH: why — ignored until it changes" once while
// its cause stays. A missing file forgets its version, so one put back as it was is
// read again.
Fresh read_if_changed(WatchedFile &w, const char *path, FileBytes *out);

// Replaces `path` with `data` through `path`.tmp, so a reader sees the old or the new
// contents and never half of them. The temporary is created fresh; a stale regular one
// left by a crash is removed first, anything else there makes the write fail. False
// with `why` set.
[[nodiscard]] bool write_atomic(const char *path, const void *data, size_t size, std::string *why);
