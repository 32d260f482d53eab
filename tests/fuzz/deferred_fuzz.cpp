// The deferred HEVC open: where the extradata ends, and what the reader may throw
// away while it waits for parameter sets.
//
// Input: one byte that sets the wait bound (its value times 16 bytes), then the
// accumulated stream buffer.
#include <algorithm>
#include <span>

#include "decode/decode.h"
#include "tests/fuzz/naive.h"

namespace {

bool is_param_set(int t) {
    return t >= 32 && t <= 34;
}

// The open rule read literally: scan start codes with at least 5 bytes to the end;
// the first one below type 32 ends the extradata if an SPS and a PPS came before.
int model_extradata_len(std::span<const uint8_t> buf) {
    bool sps = false, pps = false;
    for (const NaiveUnit &u : naive_units(buf.data(), buf.size(), 1)) {
        if (u.sc + 5 > buf.size()) break;
        if (u.type < 32) return sps && pps ? int(u.sc) : -1;
        sps |= u.type == 33;
        pps |= u.type == 34;
    }
    return -1;
}

// True when some parameter-set unit of `buf` starts a run that opens the decoder:
// from there an SPS and a PPS come before the first slice.
bool openable_somewhere(std::span<const uint8_t> buf) {
    auto units = naive_units(buf.data(), buf.size(), 1);
    // Walking backwards, remember whether an SPS and a PPS lie between here and the
    // next slice.
    bool sps = false, pps = false, slice_ahead = false;
    for (size_t i = units.size(); i-- > 0;) {
        const NaiveUnit &u = units[i];
        if (u.sc + 5 > buf.size()) continue;
        if (u.type < 32) {
            sps = pps = false;
            slice_ahead = true;
            continue;
        }
        sps |= u.type == 33;
        pps |= u.type == 34;
        if (is_param_set(u.type) && slice_ahead && sps && pps) return true;
    }
    return false;
}

bool starts_with_param_set(std::span<const uint8_t> b) {
    size_t sc = b.size() >= 3 && b[0] == 0 && b[1] == 0 && b[2] == 0 ? 1 : 0;
    return b.size() >= sc + 4 && b[sc] == 0 && b[sc + 1] == 0 && b[sc + 2] == 1 &&
           is_param_set(naive_type(b[sc + 3], 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t max_wait = size_t(data[0]) * 16;
    const std::span<const uint8_t> buf(data + 1, size - 1);
    const size_t n = buf.size();

    int len = hevc_extradata_len(buf);
    FUZZ_CHECK(len == model_extradata_len(buf));
    if (len >= 0) {
        FUZZ_CHECK(size_t(len) + 5 <= n);
        FUZZ_CHECK(buf[len] == 0 && buf[len + 1] == 0 && buf[len + 2] == 1);
    }

    size_t skip = hevc_discardable(buf, max_wait);
    FUZZ_CHECK(skip <= n);
    if (len >= 0) FUZZ_CHECK(skip == 0);
    // A skip either keeps only a tail that may hold a split start code, or lands
    // on a parameter set.
    if (skip > 0) FUZZ_CHECK(skip + 4 == n || starts_with_param_set(buf.subspan(skip)));

    // The reader's loop: discard until the decoder can open or nothing more may go.
    // It ends, it never throws away a run that would have opened the decoder, and
    // when it waits, what it waits on is bounded.
    std::span<const uint8_t> cur = buf;
    int opened = -1;
    for (size_t steps = 0; (opened = hevc_extradata_len(cur)) < 0; steps++) {
        FUZZ_CHECK(steps <= n);
        size_t s = hevc_discardable(cur, max_wait);
        FUZZ_CHECK(s <= cur.size());
        if (s == 0) break;
        cur = cur.subspan(s);
    }
    if (openable_somewhere(buf)) FUZZ_CHECK(opened >= 0);
    if (opened < 0) FUZZ_CHECK(cur.size() <= std::max<size_t>(max_wait, 4));
    return 0;
}
