// The reader's per-unit walk (SEI removal, keyframe and random-access findings,
// parameter-set tracking) against a byte-at-a-time model of the same rules.
//
// Input: one byte whose low bit picks H.265 over H.264, then access units, each a
// 2-byte big-endian length and its bytes (the last may be cut short). The units
// share one ParamSetStore in order, as the reader's stream does.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "decode/decode.h"
#include "tests/fuzz/naive.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool is_sei(int t, int hevc) {
    return hevc ? t == 39 || t == 40 : t == 6;
}
bool is_key(int t, int hevc) {
    return hevc ? t == 19 || t == 20 || t == 21 || t == 32 || t == 33 : t == 5 || t == 7;
}
bool is_ra(int t, int hevc) {
    return hevc ? t >= 16 && t <= 21 : t == 5;
}
int slot_of(int t, int hevc) {
    if (hevc) return t == 32 ? 0 : t == 33 ? 1 : t == 34 ? 2 : -1;
    return t == 7 ? 1 : t == 8 ? 2 : -1;
}

struct ModelStore {
    std::array<Bytes, 3> unit;
    std::array<size_t, 3> header{};  // where the NAL header is in `unit`
    std::array<bool, 3> set{};
};

// Findings of a walk over every unit of `d`, the model store updated as it goes.
UnitFindings model_walk(const Bytes &d, int hevc, ModelStore *st) {
    UnitFindings f{};
    for (const NaiveUnit &u : naive_units(d.data(), d.size(), hevc)) {
        if (u.type < 0) continue;
        f.keyframe |= is_key(u.type, hevc);
        f.random_access |= is_ra(u.type, hevc);
        int slot = slot_of(u.type, hevc);
        if (slot < 0) continue;
        // From the NAL header on; a repeat that differs only in its start code stays stored as it
        // was.
        Bytes body(d.begin() + u.sc + 3, d.begin() + u.end);
        if (st->set[slot] &&
            Bytes(st->unit[slot].begin() + st->header[slot], st->unit[slot].end()) == body)
            continue;
        f.changed |= st->set[slot];
        st->unit[slot] = Bytes(d.begin() + u.begin, d.begin() + u.end);
        st->header[slot] = u.sc + 3 - u.begin;
        st->set[slot] = true;
    }
    return f;
}

void check_same(const UnitFindings &a, const UnitFindings &b) {
    FUZZ_CHECK(a.keyframe == b.keyframe);
    FUZZ_CHECK(a.random_access == b.random_access);
    FUZZ_CHECK(a.changed == b.changed);
}

void check_store(const ParamSetStore &ps, const ModelStore &m) {
    for (int i = 0; i < 3; i++) {
        FUZZ_CHECK((ps.unit[i] != nullptr) == m.set[i]);
        if (!m.set[i]) continue;
        FUZZ_CHECK(ps.len[i] == int(m.unit[i].size()));
        FUZZ_CHECK(memcmp(ps.unit[i], m.unit[i].data(), m.unit[i].size()) == 0);
    }
}

// What stripping must leave: the bytes before the first start code, then every
// unit that is not an SEI, in order and unchanged.
Bytes model_strip(const Bytes &in, int hevc, int *removed) {
    auto units = naive_units(in.data(), in.size(), hevc);
    Bytes out(in.begin(), in.begin() + (units.empty() ? in.size() : units[0].begin));
    *removed = 0;
    for (const NaiveUnit &u : units) {
        if (u.type >= 0 && is_sei(u.type, hevc)) {
            ++*removed;
        } else {
            out.insert(out.end(), in.begin() + u.begin, in.begin() + u.end);
        }
    }
    return out;
}

// Runs `fn` on a heap copy of exactly `in.size()` bytes, so any touch past the
// unit is an overflow the address sanitizer sees; returns the kept bytes.
template <class Fn>
Bytes in_place(const Bytes &in, Fn fn) {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[in.size()]);
    if (!in.empty()) memcpy(buf.get(), in.data(), in.size());
    uint8_t *p = buf.get();
    int size = int(in.size());
    fn(&p, &size);
    FUZZ_CHECK(size >= 0);
    FUZZ_CHECK(p >= buf.get() && p + size <= buf.get() + in.size());
    return Bytes(p, p + size);
}

struct Stores {
    ParamSetStore plain{}, stripped{};
    ModelStore plain_model, stripped_model;
    ~Stores() {
        param_sets_free(&plain);
        param_sets_free(&stripped);
    }
};

void one_unit(const Bytes &in, int hevc, Stores *s) {
    // Without stripping nothing moves and the findings are the model's.
    Bytes before = in;
    UnitFindings f = scan_unit({in.data(), in.size()}, hevc, &s->plain);
    FUZZ_CHECK(in == before);
    check_same(f, model_walk(in, hevc, &s->plain_model));
    check_store(s->plain, s->plain_model);
    ModelStore scratch;
    UnitFindings no_store = scan_unit({in.data(), in.size()}, hevc, nullptr);
    UnitFindings want = model_walk(in, hevc, &scratch);
    FUZZ_CHECK(no_store.keyframe == want.keyframe && no_store.random_access == want.random_access);
    FUZZ_CHECK(!no_store.changed);

    // With stripping: exactly the SEI units go, and the findings and stored sets
    // are those of a plain walk over the bytes the decoder will get.
    int want_removed = 0;
    Bytes want_kept = model_strip(in, hevc, &want_removed);
    int removed = -1;
    UnitFindings g{};
    Bytes kept = in_place(
        in, [&](uint8_t **p, int *n) { removed = walk_unit(p, n, hevc, true, &s->stripped, &g); });
    FUZZ_CHECK(removed == want_removed);
    FUZZ_CHECK(kept == want_kept);
    for (const NaiveUnit &u : naive_units(kept.data(), kept.size(), hevc)) {
        FUZZ_CHECK(u.type < 0 || !is_sei(u.type, hevc));
    }
    check_same(g, model_walk(kept, hevc, &s->stripped_model));
    check_store(s->stripped, s->stripped_model);

    // strip_sei is the same walk without findings, and a second pass finds nothing.
    int removed2 = -1;
    Bytes kept2 = in_place(in, [&](uint8_t **p, int *n) { removed2 = strip_sei(p, n, hevc); });
    FUZZ_CHECK(removed2 == removed && kept2 == kept);
    Bytes again =
        in_place(kept, [&](uint8_t **p, int *n) { FUZZ_CHECK(strip_sei(p, n, hevc) == 0); });
    FUZZ_CHECK(again == kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int hevc = data[0] & 1;
    Stores stores;
    size_t pos = 1;
    while (pos < size) {
        size_t len = 0;
        if (size - pos >= 2) len = size_t(data[pos]) << 8 | data[pos + 1];
        pos += std::min<size_t>(2, size - pos);
        len = std::min(len, size - pos);
        one_unit(Bytes(data + pos, data + pos + len), hevc, &stores);
        pos += len;
    }
    return 0;
}
