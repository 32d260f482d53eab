// NAL unit scans over hand-built units: SEI removal, keyframe and random-access
// findings, parameter-set tracking and the deferred HEVC open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/decode.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A NAL unit with a 4-byte start code (or 3 with `short_sc`) and a payload.
Bytes nal(uint8_t header, Bytes payload = {0xAA, 0xBB}, bool short_sc = false) {
    Bytes b = short_sc ? Bytes{0, 0, 1} : Bytes{0, 0, 0, 1};
    b.push_back(header);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}
// H.265 header byte for a type.
uint8_t h5(int type) {
    return uint8_t(type << 1);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Strips `unit` and returns how many SEI units went; `unit` becomes what was kept.
int strip(Bytes &unit, int hevc) {
    uint8_t *p = unit.data();
    int size = int(unit.size());
    int removed = strip_sei(&p, &size, hevc);
    unit = Bytes(p, p + size);
    return removed;
}

UnitFindings scan(const Bytes &b, int hevc, ParamSetStore *ps = nullptr) {
    return scan_unit({b.data(), b.size()}, hevc, ps);
}

TEST(StripSei, RemovesOnlySeiUnitsAndKeepsOrder) {
    Bytes sps = nal(0x67, {1, 2, 3}), sei = nal(0x06, {9, 9, 9, 9}), idr = nal(0x65, {4, 5});
    Bytes unit = cat({sps, sei, idr, sei});
    EXPECT_EQ(strip(unit, 0), 2);
    EXPECT_EQ(unit, cat({sps, idr}));
    // A long slice after the SEI: the short head moves instead, the result is the same.
    Bytes slice = nal(0x65, Bytes(500, 0x33));
    unit = cat({sps, sei, slice, sei, nal(0x41)});
    EXPECT_EQ(strip(unit, 0), 2);
    EXPECT_EQ(unit, cat({sps, slice, nal(0x41)}));
}

TEST(StripSei, HevcPrefixAndSuffixSei) {
    Bytes vcl = nal(h5(1)), pre = nal(h5(39)), suf = nal(h5(40)), aud = nal(h5(35));
    Bytes unit = cat({aud, pre, vcl, suf});
    EXPECT_EQ(strip(unit, 1), 2);
    EXPECT_EQ(unit, cat({aud, vcl}));
    // Type 6 is a slice type in H.265, not an SEI.
    Bytes h = nal(0x06 << 1);
    EXPECT_EQ(strip(h, 1), 0);
    EXPECT_EQ(h, nal(0x06 << 1));
}

TEST(StripSei, LeadingBytesStayAndOnlySeiLeavesNothing) {
    Bytes unit = cat({Bytes{0x11, 0x22}, nal(0x06, {1}, true)});
    EXPECT_EQ(strip(unit, 0), 1);
    EXPECT_EQ(unit, (Bytes{0x11, 0x22}));

    Bytes only = cat({nal(0x06), nal(0x06)});
    EXPECT_EQ(strip(only, 0), 2);
    EXPECT_TRUE(only.empty());
}

TEST(StripSei, MovedLeadingZeroDoesNotStretchTheNextUnit) {
    // A zero in front of an SEI moves up next to a 3-byte start code; that code's
    // unit must still begin where it began in the incoming bytes.
    Bytes unit{0, 0, 0, 0, 1, 6, 0, 0, 1};
    EXPECT_EQ(strip(unit, 0), 1);
    EXPECT_EQ(unit, (Bytes{0, 0, 0, 1}));
}

TEST(StripSei, StartCodeWithHeaderPastTheEndStays) {
    Bytes unit = cat({nal(0x06), Bytes{0, 0, 1}});
    EXPECT_EQ(strip(unit, 0), 1);
    EXPECT_EQ(unit, (Bytes{0, 0, 1}));
}

TEST(ScanUnit, KeyframeAndRandomAccessClasses) {
    struct Case {
        Bytes unit;
        int hevc;
        bool keyframe, random_access;
    };
    const Case cases[] = {
        // H.264: an SPS without an IDR is a keyframe mark, but no random access.
        {cat({nal(0x67), nal(0x68), nal(0x41)}), 0, true, false},
        {nal(0x65), 0, true, true},
        {cat({nal(0x06), nal(0x41)}), 0, false, false},
        // H.265: CRA, BLA, VPS, PPS.
        {nal(h5(21)), 1, true, true},
        {nal(h5(16)), 1, false, true},
        {nal(h5(32)), 1, true, false},
        {nal(h5(34)), 1, false, false},
    };
    for (const Case &c : cases) {
        UnitFindings f = scan(c.unit, c.hevc);
        EXPECT_EQ(f.keyframe, c.keyframe) << &c - cases;
        EXPECT_EQ(f.random_access, c.random_access) << &c - cases;
    }
}

TEST(ScanUnit, StartCodeMustLeaveRoomForItsHeader) {
    // 00 00 01 as the last three bytes has no header inside the unit.
    Bytes b = cat({Bytes{0x11, 0x22}, Bytes{0, 0, 1}});
    EXPECT_FALSE(scan(b, 0).keyframe);
    b.push_back(0x65);
    EXPECT_TRUE(scan(b, 0).keyframe);
}

TEST(ParamSets, FirstStoreIsNoChangeRepeatIsNoChangeOneByteIs) {
    ParamSetStore ps{};
    Bytes sps = nal(0x67, {0x42, 0x00, 0x1e}), pps = nal(0x68, {0xce});
    EXPECT_FALSE(scan(cat({sps, pps, nal(0x65)}), 0, &ps).changed);
    EXPECT_EQ(ps.len[1], int(sps.size()));
    EXPECT_EQ(ps.len[2], int(pps.size()));
    EXPECT_EQ(ps.len[0], 0);
    EXPECT_FALSE(scan(cat({sps, pps}), 0, &ps).changed);

    Bytes sps2 = nal(0x67, {0x42, 0x00, 0x1f});
    EXPECT_TRUE(scan(sps2, 0, &ps).changed);
    EXPECT_EQ(Bytes(ps.unit[1], ps.unit[1] + ps.len[1]), sps2);
    // A different length is a change too.
    Bytes pps2 = nal(0x68, {0xce, 0x01});
    EXPECT_TRUE(scan(pps2, 0, &ps).changed);
    // The same set behind a 3-byte start code is none; the stored copy stays as it was.
    EXPECT_FALSE(scan(cat({nal(0x41), nal(0x68, {0xce, 0x01}, true)}), 0, &ps).changed);
    EXPECT_EQ(Bytes(ps.unit[2], ps.unit[2] + ps.len[2]), pps2);
    EXPECT_TRUE(scan(nal(0x68, {0xce, 0x02}, true), 0, &ps).changed);
    EXPECT_EQ(Bytes(ps.unit[2], ps.unit[2] + ps.len[2]), nal(0x68, {0xce, 0x02}, true));
    param_sets_free(&ps);
}

TEST(ParamSets, HevcSlotsAndUnitBoundaries) {
    ParamSetStore ps{};
    Bytes vps = nal(h5(32), {1}), sps = nal(h5(33), {2, 2}), pps = nal(h5(34), {3, 3, 3});
    Bytes slice = nal(h5(19), {7, 7, 7, 7, 7});
    scan(cat({vps, sps, pps, slice}), 1, &ps);
    EXPECT_EQ(Bytes(ps.unit[0], ps.unit[0] + ps.len[0]), vps);
    EXPECT_EQ(Bytes(ps.unit[1], ps.unit[1] + ps.len[1]), sps);
    EXPECT_EQ(Bytes(ps.unit[2], ps.unit[2] + ps.len[2]), pps);
    param_sets_free(&ps);
}

TEST(DeferredOpen, ExtradataIsEverythingBeforeTheFirstSlice) {
    Bytes head = cat({nal(h5(35)), nal(h5(32)), nal(h5(33)), nal(h5(39)), nal(h5(34))});
    Bytes buf = cat({head, nal(h5(19), {1, 2, 3, 4})});
    // The slice's own leading zero of the 4-byte form belongs to the extradata.
    EXPECT_EQ(hevc_extradata_len({buf.data(), buf.size()}), int(head.size()) + 1);
}

TEST(DeferredOpen, WaitsUntilTheSliceHeaderHasArrived) {
    Bytes ps = cat({nal(h5(32)), nal(h5(33)), nal(h5(34))});
    Bytes buf = cat({ps, Bytes{0, 0, 0, 1, h5(19)}});
    // Start code and header present but fewer than 5 bytes from the start code to the end.
    EXPECT_EQ(hevc_extradata_len({buf.data(), buf.size()}), -1);
    buf.push_back(0x01);
    EXPECT_EQ(hevc_extradata_len({buf.data(), buf.size()}), int(ps.size()) + 1);
}

TEST(DeferredOpen, NeedsBothSpsAndPpsBeforeTheSlice) {
    Bytes buf = cat({nal(h5(32)), nal(h5(33)), nal(h5(1), {1, 2, 3}), nal(h5(34)), nal(h5(1))});
    EXPECT_EQ(hevc_extradata_len({buf.data(), buf.size()}), -1);
}

TEST(DeferredOpen, SlicesBeforeParameterSetsAreDiscarded) {
    Bytes lead = cat({nal(h5(1), {5, 5, 5}), nal(h5(0), {6, 6})});
    Bytes ps = cat({nal(h5(32)), nal(h5(33)), nal(h5(34))});
    Bytes buf = cat({lead, ps, nal(h5(19), {1, 2, 3})});
    size_t skip = hevc_discardable({buf.data(), buf.size()}, 1 << 20);
    EXPECT_EQ(skip, lead.size());
    Bytes rest(buf.begin() + skip, buf.end());
    EXPECT_EQ(hevc_extradata_len({rest.data(), rest.size()}), int(ps.size()) + 1);
}

TEST(DeferredOpen, WaitingBufferIsBounded) {
    Bytes ps = cat({nal(h5(32)), nal(h5(33)), nal(h5(34))});
    EXPECT_EQ(hevc_discardable({ps.data(), ps.size()}, 1 << 20), 0u);
    Bytes noise(5000, 0x5A);
    EXPECT_EQ(hevc_discardable({noise.data(), noise.size()}, 4096), noise.size() - 4);
    // Slices with no parameter set after them: only a tail that may hold a split start code stays.
    Bytes slices = cat({nal(h5(1)), nal(h5(1))});
    EXPECT_EQ(hevc_discardable({slices.data(), slices.size()}, 1 << 20), slices.size() - 4);
}

}  // namespace
