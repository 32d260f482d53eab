// libavcodec's own messages. A decoder fed a damaged or unsupported stream
// complains for every picture, often for every macroblock row; on a board that
// logs to flash that costs CPU and wear and buries the receiver's own lines. So
// each kind of message is printed once with the receiver's prefix, and then at
// most one summary line per kind every 10 s says how many more there were.
#pragma once

#include <cstdint>
#include <string>

// Installs the callback. `verbose` (ZYL_KMS_AV_LOG=verbose) lets every message
// through, down to libavcodec's verbose level, for debugging.
void avlog_init(bool verbose);

// One kind of message: the text with every run of digits read as one '#', so that
// "error while decoding MB 7 2" and "... MB 9 4" are the same kind.
struct AvLogKind {
    std::string key;
    int64_t window_ms;   // start of its current 10 s
    int64_t suppressed;  // held back in it
    int64_t last_ms;     // last seen, for making room in the table
};
constexpr int64_t kAvLogWindowMs = 10000;
std::string avlog_key(const std::string &text);
// What to print for one more message of `kind` (text `text`, without prefix) at
// `now_ms`; "" for nothing. A new kind (`fresh`) is printed as it is, later ones
// are counted and summed up once the kind's 10 s have passed.
std::string avlog_step(AvLogKind *kind, bool fresh, const std::string &text, int64_t now_ms);
