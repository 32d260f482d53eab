// A byte-at-a-time reading of the NAL unit rules, written plainly so the fast
// scans in decode/nal.cpp can be checked against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// Failing checks abort, which libFuzzer reports as a crash with the input saved.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

struct NaiveUnit {
    size_t begin;  // the start code, or the zero byte before it
    size_t sc;     // the 00 00 01
    size_t end;    // where the next unit begins, or the end of the bytes
    int type;      // -1 when the header byte lies past the end
};

inline int naive_type(uint8_t header, int hevc) {
    return hevc ? (header >> 1) & 0x3F : header & 0x1F;
}

inline std::vector<NaiveUnit> naive_units(const uint8_t *d, size_t n, int hevc) {
    std::vector<NaiveUnit> u;
    for (size_t i = 0; i + 2 < n; i++) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
        size_t begin = i > 0 && d[i - 1] == 0 ? i - 1 : i;
        if (!u.empty()) u.back().end = begin;
        u.push_back({begin, i, n, i + 3 < n ? naive_type(d[i + 3], hevc) : -1});
    }
    return u;
}
