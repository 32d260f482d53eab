// Scans over the NAL units of one access unit. All of them are single linear
// passes: they run on every unit of a live stream.
#include <cstdlib>
#include <cstring>

#include "decode/decode.h"

namespace {

// Position of the next 00 00 01 at or after `from`, or `size`. Sixteen positions
// are tested at once (SSE2 or NEON through the compiler's vector types): low-bitrate
// CAVLC slices are full of zero and one bytes, so byte-wise searches stall on them.
size_t find_start(const uint8_t *d, size_t from, size_t size) {
    using V16 = uint8_t __attribute__((vector_size(16)));
    size_t i = from;
    for (; i + 18 <= size; i += 16) {
        V16 a, b, c;
        memcpy(&a, d + i, 16);
        memcpy(&b, d + i + 1, 16);
        memcpy(&c, d + i + 2, 16);
        auto hit = (a == 0) & (b == 0) & (c == 1);
        uint64_t lo, hi;
        memcpy(&lo, &hit, 8);
        memcpy(&hi, reinterpret_cast<const char *>(&hit) + 8, 8);
        if (lo) return i + __builtin_ctzll(lo) / 8;
        if (hi) return i + 8 + __builtin_ctzll(hi) / 8;
    }
    for (; i + 2 < size; i++)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) return i;
    return size;
}

// A unit begins one byte before its start code in the four-byte form.
size_t unit_begin(const uint8_t *d, size_t sc) {
    return sc > 0 && d[sc - 1] == 0 ? sc - 1 : sc;
}

int tracked_slot(int type, int hevc) {
    if (hevc) return type >= 32 && type <= 34 ? type - 32 : -1;
    return type == 7 ? 1 : type == 8 ? 2 : -1;
}

// A stored unit begins with 00 00 01 or 00 00 00 01 and holds its header byte.
int start_code_len(const uint8_t *unit) {
    return unit[2] == 1 ? 3 : 4;
}

// Stores one parameter-set unit in its slot; true when it differs from the last one.
// Units are compared from their NAL header on: the parser hands the same set out
// with a 4-byte start code at the start of a stream and a 3-byte one later (its
// leading zero ends the packet before), and that alone is no change. The stored
// copy keeps its start code, for it becomes the extradata of a rebuilt decoder.
bool store_param_set(ParamSetStore *ps, int slot, const uint8_t *unit, int len) {
    uint8_t *&s = ps->unit[slot];
    int sc = start_code_len(unit);
    if (s) {
        int old_sc = start_code_len(s);
        if (ps->len[slot] - old_sc == len - sc && memcmp(s + old_sc, unit + sc, len - sc) == 0)
            return false;
        if (ps->len[slot] == len) {
            memcpy(s, unit, len);
            return true;
        }
    }
    bool changed = s != nullptr;
    auto *copy = static_cast<uint8_t *>(malloc(len));
    if (!copy) return changed;
    memcpy(copy, unit, len);
    free(s);
    s = copy;
    ps->len[slot] = len;
    return changed;
}

}  // namespace

int nal_type(uint8_t header, int hevc) {
    return hevc ? (header >> 1) & 0x3F : header & 0x1F;
}

bool nal_is(NalClass c, int type, int hevc) {
    switch (c) {
        case NalClass::kSei:
            return hevc ? type == 39 || type == 40 : type == 6;
        case NalClass::kKeyframe:
            return hevc ? (type >= 19 && type <= 21) || type == 32 || type == 33
                        : type == 5 || type == 7;
        case NalClass::kRandomAccess:
            return hevc ? type >= 16 && type <= 21 : type == 5;
        case NalClass::kDecodable:
            return hevc ? type >= 0 && type <= 34
                        : (type >= 1 && type <= 5) || type == 7 || type == 8 || type == 15;
    }
    return false;
}

int walk_unit(uint8_t **unit, int *size, int hevc, bool strip, ParamSetStore *ps, UnitFindings *f) {
    uint8_t *data = *unit;
    const size_t n = *size;
    size_t sc = find_start(data, 0, n);
    // Unit bounds are read from the bytes as they came in, one unit ahead of the
    // moves: a move can put a kept zero byte in front of the next start code.
    size_t begin = sc < n ? unit_begin(data, sc) : n;
    // The kept bytes are [start, out). An SEI is usually in front of the slices, so
    // its gap is closed by moving the few bytes before it up, not the slices down.
    size_t start = 0, out = begin;
    int removed = 0;
    // A parameter set is stored once the next kept unit is in place, since that one
    // decides where it ends; kept at an offset from `start`, which may still move.
    int pending = -1;
    size_t pending_at = 0;
    while (sc < n) {
        size_t next = find_start(data, sc + 3, n);
        size_t end = next < n ? unit_begin(data, next) : n;
        int type = sc + 3 < n ? nal_type(data[sc + 3], hevc) : -1;
        if (strip && type >= 0 && nal_is(NalClass::kSei, type, hevc)) {
            removed++;
            if (out == begin && out - start < n - end) {
                memmove(data + start + (end - begin), data + start, out - start);
                start += end - begin;
                out = end;
            }
        } else {
            if (out != begin) memmove(data + out, data + begin, end - begin);
            // Once an SEI is gone a three-byte start code can follow a kept zero byte:
            // the unit then begins one byte earlier, as the decoder sees it.
            size_t at = out - (begin == sc && out > start && data[out - 1] == 0);
            if (pending >= 0) {
                f->changed |= store_param_set(ps, pending, data + start + pending_at,
                                              int(at - start - pending_at));
                pending = -1;
            }
            out += end - begin;
            if (f && type >= 0) {
                f->keyframe |= nal_is(NalClass::kKeyframe, type, hevc);
                f->random_access |= nal_is(NalClass::kRandomAccess, type, hevc);
                f->decodable |= nal_is(NalClass::kDecodable, type, hevc);
                pending = ps ? tracked_slot(type, hevc) : -1;
                pending_at = at - start;
            }
        }
        sc = next;
        begin = end;
    }
    if (pending >= 0) {
        f->changed |=
            store_param_set(ps, pending, data + start + pending_at, int(out - start - pending_at));
    }
    *unit = data + start;
    *size = static_cast<int>(out - start);
    return removed;
}

int strip_sei(uint8_t **unit, int *size, int hevc) {
    return walk_unit(unit, size, hevc, true, nullptr, nullptr);
}

bool holds_decodable(std::span<const uint8_t> bytes, int hevc) {
    const size_t n = bytes.size();
    for (size_t sc = find_start(bytes.data(), 0, n); sc + 3 < n;
         sc = find_start(bytes.data(), sc + 3, n))
        if (nal_is(NalClass::kDecodable, nal_type(bytes[sc + 3], hevc), hevc)) return true;
    return false;
}

UnitFindings scan_unit(std::span<const uint8_t> unit, int hevc, ParamSetStore *ps) {
    UnitFindings f{};
    auto *data = const_cast<uint8_t *>(unit.data());  // nothing is written without stripping
    int size = int(unit.size());
    walk_unit(&data, &size, hevc, false, ps, &f);
    return f;
}

void param_sets_free(ParamSetStore *ps) {
    for (int i = 0; i < 3; i++) {
        free(ps->unit[i]);
        ps->unit[i] = nullptr;
        ps->len[i] = 0;
    }
}

// Where the deferred-open scan stops: the first slice-type start code, and
// whether an SPS and a PPS came before it.
struct HevcScan {
    size_t slice;  // buffer size when none
    bool sps, pps;
};

static HevcScan hevc_scan(std::span<const uint8_t> buf) {
    const uint8_t *d = buf.data();
    const size_t n = buf.size();
    HevcScan s{n, false, false};
    if (n < 5) return s;
    // Only start codes with at least 5 bytes to the end are looked at.
    const size_t limit = n - 5 + 3;  // find_start needs 3 bytes for the code itself
    for (size_t sc = find_start(d, 0, limit); sc < limit; sc = find_start(d, sc + 3, limit)) {
        int type = nal_type(d[sc + 3], 1);
        if (type < 32) {
            s.slice = sc;
            return s;
        }
        s.sps |= type == 33;
        s.pps |= type == 34;
    }
    return s;
}

int hevc_extradata_len(std::span<const uint8_t> buf) {
    HevcScan s = hevc_scan(buf);
    return s.slice < buf.size() && s.sps && s.pps ? int(s.slice) : -1;
}

size_t hevc_discardable(std::span<const uint8_t> buf, size_t max_wait) {
    HevcScan s = hevc_scan(buf);
    const size_t n = buf.size();
    const uint8_t *d = buf.data();
    if (s.slice < n && !(s.sps && s.pps)) {
        // Slices before the parameter sets can never be decoded: skip to the next
        // parameter set after them, keeping a tail that may hold a split start code.
        for (size_t sc = find_start(d, s.slice + 3, n); sc + 3 < n; sc = find_start(d, sc + 3, n)) {
            int type = nal_type(d[sc + 3], 1);
            if (type >= 32 && type <= 34) return unit_begin(d, sc);
        }
        return n > 4 ? n - 4 : 0;
    }
    if (s.slice == n && n > max_wait && n > 4) return n - 4;
    return 0;
}
