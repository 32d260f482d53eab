// Decoder stall and reopen policy: the decisions on plain data, then the reader
// over generated streams on the virtual decoder with its faults switched on. Cases
// that end the process run in a child. Extradata sizes are counted here by a plain
// byte walk that shares no code with the reader.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "app/clock.h"
#include "app/config.h"
#include "app/gate.h"
#include "app/mailbox.h"
#include "decode/decode.h"
#include "decode/reader_state.h"
#include "sim/sim.h"
#include "tests/test_util.h"

namespace {

using Bytes = std::string;

// ---- the decisions ----

TEST(ReopenDecision, EveryCombination) {
    // The verdict for (changed, random access, stalled) from 000 to 111, reopening on
    // then off: Send, Rebuild for the stall, rebuild for the Change, In band, Absorb.
    // Reopening off, only a stall with a random-access unit rebuilds.
    const char *want[2] = {"SSSRIICR", "SSSRAAAR"};
    for (bool on : {true, false})
        for (int i = 0; i < 8; i++) {
            const char w = want[on ? 0 : 1][i];
            const Reopen r = w == 'S'   ? Reopen::kSend
                             : w == 'R' ? Reopen::kRebuildStall
                             : w == 'C' ? Reopen::kRebuildChanged
                             : w == 'I' ? Reopen::kInBand
                                        : Reopen::kAbsorb;
            EXPECT_EQ(reopen_decision(on, i & 4, i & 2, i & 1), r) << "on=" << on << " " << i;
        }
}

TEST(StallDecision, ThresholdsAndTheFatalCases) {
    // pkts, elapsed, dead_ms, dec, reopens, dead_exit
    EXPECT_EQ(stall_decision(45, 3000, 3000, 1, 0, false), Stall::kFlush);
    EXPECT_EQ(stall_decision(44, 1000000, 3000, 1, 0, false), Stall::kNone) << "too few units";
    EXPECT_EQ(stall_decision(45, 2999, 3000, 1, 0, false), Stall::kNone) << "not long enough";
    EXPECT_EQ(stall_decision(100000, 1000000, 3000, 0, 0, false), Stall::kNone)
        << "no frame decoded yet";
    for (int64_t off : {0, -1, -3000}) {
        EXPECT_EQ(stall_decision(100000, 1000000, off, 5, 0, false), Stall::kNone) << off;
        EXPECT_EQ(stall_decision(100000, 1000000, off, 5, 1, true), Stall::kNone) << off;
    }
    EXPECT_EQ(stall_decision(45, 3000, 3000, 1, 0, true), Stall::kDead) << "DEAD_EXIT";
    EXPECT_EQ(stall_decision(45, 3000, 3000, 1, 1, false), Stall::kDead) << "after a reopen";
    EXPECT_EQ(stall_decision(44, 3000, 3000, 1, 1, true), Stall::kNone);
    // The clock is read only when the other conditions hold.
    EXPECT_TRUE(stall_watched(45, 1, 1));
    EXPECT_FALSE(stall_watched(44, 1, 1));
    EXPECT_FALSE(stall_watched(45, 0, 1));
    EXPECT_FALSE(stall_watched(45, 1, 0));
}

TEST(RecoverySettings, DefaultsAndOverrides) {
    RecoverySettings d = recovery_settings(nullptr, nullptr, nullptr, "h264_v4l2m2m");
    EXPECT_EQ(d.dead_ms, 3000);
    EXPECT_TRUE(d.param_reopen);
    EXPECT_FALSE(d.dead_exit);
    EXPECT_EQ(recovery_settings("", nullptr, "", "h264_v4l2m2m").dead_ms, 3000);
    EXPECT_EQ(recovery_settings("250", nullptr, nullptr, "x").dead_ms, 250);
    EXPECT_EQ(recovery_settings("-7", nullptr, nullptr, "x").dead_ms, -7);
    EXPECT_EQ(recovery_settings("0", nullptr, nullptr, "x").dead_ms, 0);

    // rkmpp follows new parameter sets in-band: off by default, the variable decides alone.
    EXPECT_FALSE(recovery_settings(nullptr, nullptr, nullptr, "hevc_rkmpp").param_reopen);
    EXPECT_FALSE(recovery_settings(nullptr, "", nullptr, "h264_rkmpp").param_reopen);
    EXPECT_TRUE(recovery_settings(nullptr, "1", nullptr, "h264_rkmpp").param_reopen);
    EXPECT_FALSE(recovery_settings(nullptr, "yes", nullptr, "h264_v4l2m2m").param_reopen)
        << "a non-number reads as 0";
    EXPECT_FALSE(recovery_settings(nullptr, "0", nullptr, "h264_v4l2m2m").param_reopen);
    EXPECT_TRUE(recovery_settings(nullptr, "2", nullptr, "hevc").param_reopen);

    EXPECT_TRUE(recovery_settings(nullptr, nullptr, "1", "x").dead_exit);
    EXPECT_FALSE(recovery_settings(nullptr, nullptr, "0", "x").dead_exit);
}

// ---- streams ----

// The first unit of `type` at or after `from`.
Bytes first_of(const Bytes &s, int type, size_t from = 0) {
    for (const Nal &n : walk_units(s, false))
        if (n.type == type && n.begin >= from) return s.substr(n.begin, n.end - n.begin);
    return {};
}

Bytes nosei() {
    return read_file(stream_path("h264_nosei.h264"));
}

// A P slice naming a picture parameter set the stream never sent: the decoder refuses
// it, so no frame comes before the next IDR, flushed or not.
Bytes dead_units(int n) {
    Bytes out;
    for (int i = 0; i < n; i++) out += Bytes("\0\0\0\1\x41\xcd", 6);  // first_mb 0, P, pps 5
    return out;
}

// The stream's PPS made to carry id 1. No slice refers to it, so the pictures stay
// the same while the tracked PPS has changed.
Bytes pps_with_id_1(const Bytes &unit) {
    size_t hdr = unit.find(Bytes("\0\0\1", 3)) + 3;
    EXPECT_EQ(unit.find(Bytes("\0\0\3", 3), hdr), Bytes::npos) << "no emulation bytes expected";
    std::vector<int> bits;
    for (size_t i = hdr + 1; i < unit.size(); i++)
        for (int b = 7; b >= 0; b--) bits.push_back(uint8_t(unit[i]) >> b & 1);
    while (!bits.empty() && bits.back() == 0) bits.pop_back();
    bits.pop_back();  // the stop bit
    EXPECT_TRUE(bits.size() > 2 && bits[0] == 1 && bits[1] == 1) << "pps 0 of sps 0";
    std::vector<int> out = {0, 1, 0, 1};  // ue(1), ue(0)
    out.insert(out.end(), bits.begin() + 2, bits.end());
    out.push_back(1);
    while (out.size() % 8) out.push_back(0);
    Bytes r = unit.substr(0, hdr + 1);
    for (size_t i = 0; i < out.size(); i += 8) {
        int v = 0;
        for (int b = 0; b < 8; b++) v = v << 1 | out[i + b];
        r += char(v);
    }
    EXPECT_EQ(r.find(Bytes("\0\0", 2), hdr), Bytes::npos);
    return r;
}

// ---- the reader on the virtual decoder ----

constexpr const char *kVars[] = {
    "ZYL_KMS_DEAD_MS",         "ZYL_KMS_PARAM_REOPEN",     "ZYL_KMS_DEAD_EXIT",
    "ZYL_SIM_DEC_STALL_AFTER", "ZYL_SIM_DEC_STALL_REPEAT", "ZYL_SIM_DEC_FAIL_OPEN",
    "ZYL_SIM_DEC_BUSY_EVERY",  "ZYL_SIM_DEC_BUSY_RUN",     "ZYL_KMS_STRIP_SEI",
    "ZYL_KMS_READ_BYTES",      "ZYL_KMS_DECODER",
};

struct ReaderRun {
    std::string err;
    ReaderEnd end;
    Bytes extradata;  // of the decoder the reader ended with
};

class Recovery : public ::testing::Test {
  protected:
    Gate gate;
    std::optional<Mailbox> mb;
    void SetUp() override {
        for (const char *v : kVars) unsetenv(v);
        av_log_set_level(AV_LOG_QUIET);  // the dead units make the decoder complain
        reset();
    }
    void TearDown() override {
        for (const char *v : kVars) unsetenv(v);
        av_log_set_level(AV_LOG_INFO);
    }
    // As a fresh process starts, with the faults of the environment.
    void reset() {
        sim_dec_reset();
        mb.emplace();
        gate.wait_key = gate.hard = 0;
        gate.since = 0;
    }
    void with_env(std::initializer_list<std::pair<const char *, const char *>> vars) {
        for (const char *v : kVars) unsetenv(v);
        for (auto [k, v] : vars) setenv(k, v, 1);
        reset();
    }

    // The reader over `data` as start-up hands it a decoder. Nothing takes frames
    // from the mailbox: it drops the oldest, which is all these cases need.
    ReaderRun run(const Bytes &data, const char *decoder = "h264_v4l2m2m") {
        std::string path = test_dir() + "/input";
        write_file(path, data);
        int fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        setenv("ZYL_KMS_DECODER", decoder, 1);
        const DecodeSettings settings = config_read().decode;
        ReaderArgs ra = open_decoder(decoder, mb->stream);
        testing::internal::CaptureStderr();
        ReaderRun r;
        r.end = reader_run(&ra, settings, mailbox_reader_hooks(*mb, gate), fd);
        r.err = testing::internal::GetCapturedStderr();
        close(fd);
        if (ra.avctx && ra.avctx->extradata)
            r.extradata.assign(reinterpret_cast<char *>(ra.avctx->extradata),
                               size_t(ra.avctx->extradata_size));
        av_parser_close(ra.parser);
        avcodec_free_context(&ra.avctx);
        std::lock_guard lock(mb->lock);
        while (mb_take_locked(*mb)) continue;
        return r;
    }

    static ReaderArgs open_decoder(const char *decoder, StreamFacts &facts) {
        const AVCodec *codec = avcodec_find_decoder_by_name(decoder);
        facts.hevc = codec->id == AV_CODEC_ID_HEVC;
        AVCodecContext *ctx = new_decoder_ctx(codec, decoder);
        EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
        return ReaderArgs{ctx, av_parser_init(codec->id), codec, decoder, 0, &facts};
    }

  public:
    // The steps of tests/data/recovery.txt.
    ScenarioStep step() {
        return [this, input = Bytes(), soft = false, end = ReaderEnd::kInput](
                   const std::string &word, const std::string &rest) mutable {
            std::optional<std::string> printed;
            std::istringstream words(rest);
            if (word == "input") {
                input.clear();
                for (std::string w; words >> w;) {
                    size_t star = w.find('*');
                    int n = star == std::string::npos ? 1 : std::stoi(w.substr(star + 1));
                    for (int i = 0; i < n; i++)
                        input += w == "aud" ? with_trailing_aud("")
                                            : read_file(stream_path(w.substr(0, star)));
                }
            } else if (word == "soft") {
                soft = true;
            } else if (word == "read") {
                reset();
                if (soft) gate.wait_key = 1, gate.since = 12345;
                soft = false;
                ReaderRun r = run(input, rest.empty() ? "h264_v4l2m2m" : rest.c_str());
                end = r.end;
                printed = r.err;
            } else if (word == "ends") {
                EXPECT_EQ(rest, end == ReaderEnd::kDead ? "dead" : "input");
            } else if (word == "decoder") {
                char s[200];
                SimDecStats d = sim_dec_stats();
                snprintf(s, sizeof s,
                         "opens=%d flushes=%d busy=%d dec=%llu reopens=%llu wait_key=%d hard=%d "
                         "since=%s",
                         int(d.opens), int(d.flushes), int(d.busy),
                         (unsigned long long)mb->dec_count.load(),
                         (unsigned long long)mb->stream.reopens.load(), int(gate.wait_key),
                         int(gate.hard),
                         gate.since == 12345 ? "kept"
                         : gate.since        ? "set"
                                             : "none");
                EXPECT_EQ(rest, s);
            } else {
                ADD_FAILURE() << "unknown line";
            }
            return printed;
        };
    }
};

const char kStalledEnd[] = "— flushing, waiting for a keyframe (#";

TEST_F(Recovery, RefusedUnitsAreDroppedCountedAndEndInAStall) {
    // From the 20th send on the decoder's input stays full: the retry after a drain
    // is refused too, so every unit from the 20th is dropped (221 of 240), and so is
    // the end-of-stream packet the input's end sends. The trailing delimiter alone is
    // no unit the decoder is offered.
    with_env({{"ZYL_KMS_DEAD_MS", "1"},
              {"ZYL_SIM_DEC_BUSY_EVERY", "20"},
              {"ZYL_SIM_DEC_BUSY_RUN", "20"}});
    Bytes s = nosei();
    ReaderRun r = run(with_trailing_aud(s + s + s + s));
    EXPECT_EQ(sim_dec_stats().busy, 2 * 221 + 2);
    // A line for the 1st, 31st, 61st ... drop.
    EXPECT_EQ(count_lines(r.err, "zyl-mpp: send_packet busy #"), 8) << r.err;
    for (const char *n : {"#1 ", "#31 ", "#61 ", "#211 "})
        EXPECT_EQ(count_lines(r.err, std::string("zyl-mpp: send_packet busy ") + n +
                                         "(dropped) dec=19 shown=0"),
                  1)
            << n;
    // Dropped units count toward a stall, and its line says how many were dropped.
    size_t stalled = r.err.find("zyl-mpp: decoder STALLED — ");
    ASSERT_NE(stalled, std::string::npos) << r.err;
    size_t drops_at = r.err.find(" drops=", stalled);
    ASSERT_NE(drops_at, std::string::npos);
    EXPECT_GE(strtol(r.err.c_str() + drops_at + 7, nullptr, 10), 45) << r.err.substr(stalled, 200);
    EXPECT_EQ(mb->dec_count.load(), 19u);
}

TEST_F(Recovery, IdrDuringAStallRebuildsTheDecoderWhateverTheReopenSetting) {
    Bytes s = nosei();
    int extradata = int(first_of(s, 7).size() + first_of(s, 8).size());
    // Silent after frame 31; then units that give nothing even after a flush, until the
    // stream starts again at an IDR with the same parameter sets.
    Bytes input = with_trailing_aud(s + dead_units(1000) + s);
    for (const char *reopen : {"", "0"}) {
        SCOPED_TRACE(reopen);
        with_env({{"ZYL_KMS_DEAD_MS", "1"},
                  {"ZYL_SIM_DEC_STALL_AFTER", "31"},
                  {"ZYL_KMS_PARAM_REOPEN", reopen}});
        ReaderRun r = run(input);
        int flushes = count_lines(r.err, kStalledEnd);
        EXPECT_GE(flushes, 1) << r.err;
        std::string rebuilt = "zyl-mpp: IDR arrived during a stall (after " +
                              std::to_string(flushes) +
                              " flush(es)) — decoder rebuilt on it (extradata " +
                              std::to_string(extradata) + " B, stall reopen #1)";
        EXPECT_EQ(count_lines(r.err, rebuilt), 1) << r.err;
        EXPECT_EQ(count_lines(r.err, "recovered"), 0) << r.err;
        EXPECT_EQ(count_lines(r.err, "CHANGED"), 0) << r.err;
        EXPECT_EQ(sim_dec_stats().opens, 2);
        EXPECT_EQ(mb->stream.reopens, 0u) << "a stall rebuild is no parameter-change reopen";
        // The IDR went to the new decoder: the whole second copy decodes.
        EXPECT_EQ(mb->dec_count.load(), 31u + 60u);
        EXPECT_EQ(gate.wait_key, 1);
        EXPECT_EQ(gate.hard, 1);
    }
}

TEST_F(Recovery, ParameterChangeAtAnIdrReopensTheDecoder) {
    Bytes s = read_file(stream_path("h264_reschange.h264"));
    size_t second = nosei().size();
    Bytes sets = first_of(s, 7, second) + first_of(s, 8, second);
    ASSERT_NE(first_of(s, 7), first_of(s, 7, second)) << "the stream should change its SPS";
    // A soft gate becomes hard and starts anew on a rebuild.
    gate.wait_key = 1;
    gate.since = 12345;
    ReaderRun r = run(with_trailing_aud(s));
    EXPECT_EQ(count_lines(r.err, "zyl-mpp: parameter set CHANGED mid-stream (extradata " +
                                     std::to_string(sets.size()) + " B) — decoder reopened (#1)"),
              1)
        << r.err;
    EXPECT_EQ(count_lines(r.err, "CHANGED"), 1) << r.err;
    EXPECT_EQ(r.extradata, sets);
    EXPECT_EQ(mb->stream.reopens, 1u);
    EXPECT_EQ(sim_dec_stats().opens, 2);
    EXPECT_EQ(mb->dec_count.load(), 90u);
    EXPECT_EQ(gate.hard, 1);
    EXPECT_GT(gate.since, 12345);
}

TEST_F(Recovery, ChangedPpsWithoutAnIdrStaysInBand) {
    Bytes s = nosei();
    auto nals = walk_units(s, false);
    // In front of the 46th picture, after the last IDR of the stream.
    int pictures = 0;
    size_t at = 0;
    for (const Nal &n : nals)
        if (n.first_slice && ++pictures == 46) at = n.begin;
    ASSERT_GT(at, 0u);
    Bytes input = with_trailing_aud(s.substr(0, at) + pps_with_id_1(first_of(s, 8)) + s.substr(at));
    for (auto [decoder, on] : {std::pair{"h264_v4l2m2m", true}, std::pair{"h264_rkmpp", false}}) {
        SCOPED_TRACE(decoder);
        with_env({});
        ReaderRun r = run(input, decoder);
        EXPECT_EQ(count_lines(r.err,
                              "zyl-mpp: parameter set CHANGED in a non-keyframe AU — "
                              "in-band, no reopen"),
                  on ? 1 : 0)
            << r.err;
        EXPECT_EQ(count_lines(r.err, "absorbing without a rebuild"), on ? 0 : 1) << r.err;
        EXPECT_EQ(sim_dec_stats().opens, 1);
        EXPECT_EQ(mb->dec_count.load(), 60u);
    }
}

// A random-access unit during a stall with no PPS ever seen: nothing to rebuild from.
TEST_F(Recovery, IncompleteParameterSetsKeepTheStalledDecoder) {
    Bytes s = nosei();
    Bytes sps = first_of(s, 7);
    ReaderArgs ra{};
    ra.facts = &mb->stream;
    ReaderState st{};
    st.ra = &ra;
    const ReaderHooks hooks = mailbox_reader_hooks(*mb, gate);
    st.hooks = &hooks;
    st.rs = recovery_settings(nullptr, nullptr, nullptr, "h264_v4l2m2m");
    st.stalled = true;
    st.ps.unit[1] = reinterpret_cast<uint8_t *>(sps.data());
    st.ps.len[1] = int(sps.size());
    EXPECT_EQ(rebuild_extradata_len(st.ps, 0), -1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(recovery_before_send(&st, UnitFindings{true, true, false, true}));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "zyl-mpp: IDR during a stall but the tracked parameter set is incomplete — no "
              "reopen\n");
    EXPECT_TRUE(st.stalled);
    EXPECT_EQ(st.stall_reopens, 0);
    EXPECT_EQ(gate.wait_key, 0);

    // H.265 needs its VPS as well; H.264 has no use for one.
    Bytes pps = first_of(s, 8);
    st.ps.unit[2] = reinterpret_cast<uint8_t *>(pps.data());
    st.ps.len[2] = int(pps.size());
    EXPECT_EQ(rebuild_extradata_len(st.ps, 0), int(sps.size() + pps.size()));
    EXPECT_EQ(rebuild_extradata_len(st.ps, 1), -1);
}

// The scenarios of tests/data/recovery.txt and the Recovery runs of tests/data/runs.txt,
// each a test from the state SetUp leaves.
[[maybe_unused]] const bool kScenarios = register_scenarios<Recovery>(
    "recovery.txt", "", "Recovery", [](Recovery &t) { return t.step(); });
[[maybe_unused]] const bool kRuns = register_scenarios<Recovery>(
    "runs.txt", "Recovery.", nullptr, [](Recovery &) { return sim_step(); });

}  // namespace
