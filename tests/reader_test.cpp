// The reader thread over real streams made by the ffmpeg tool. What reaches the
// mailbox is checked against figures counted here by a plain byte walk, which
// shares no code with the reader.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>
#include <utility>

#include "app/config.h"
#include "app/gate.h"
#include "app/mailbox.h"
#include "decode/decode.h"
#include "decode/reader_state.h"
#include "tests/test_util.h"

namespace {

using Bytes = std::string;

int count_if(const std::vector<Nal> &nals, auto pred) {
    return int(std::count_if(nals.begin(), nals.end(), pred));
}
const auto is_first_slice = [](const Nal &n) { return n.first_slice; };

struct Seen {
    int frames = 0, marked = 0;
    uint64_t decoded = 0, dropped = 0, sei_stripped = 0;  // the mailbox's counters
    std::set<std::pair<int, int>> sizes;
    std::string err;
};

// Runs the reader over `data` on its own thread while this thread takes frames;
// with `detect`, detection is on and its units go there.
Seen run_reader(const Bytes &data, const char *decoder, bool deferred,
                DetectQueue *detect = nullptr) {
    std::string path = test_dir() + "/input";
    write_file(path, data);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);

    const AVCodec *codec = avcodec_find_decoder_by_name(decoder);
    AVCodecContext *ctx = new_decoder_ctx(codec, decoder);
    if (!deferred) {
        EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    }
    Mailbox mb;
    mb.cap = 4;
    mb.stream.hevc = codec->id == AV_CODEC_ID_HEVC;
    mb.stream.detect = detect != nullptr;
    ReaderArgs ra{ctx, av_parser_init(codec->id), codec, decoder, deferred, &mb.stream, detect};
    Gate gate;
    testing::internal::CaptureStderr();
    std::thread reader([&] {
        EXPECT_EQ(reader_run(&ra, config_read().decode, mailbox_reader_hooks(mb, gate), fd),
                  ReaderEnd::kInput);
        mb_set_eof(mb);
    });
    Seen seen;
    while (FramePtr f = take_next_frame(mb)) {
        seen.frames++;
        seen.marked += (f->flags & AV_FRAME_FLAG_KEY) != 0;
        seen.sizes.insert({f->width, f->height});
    }
    reader.join();
    seen.err = testing::internal::GetCapturedStderr();
    close(fd);
    av_parser_close(ra.parser);
    avcodec_free_context(&ra.avctx);
    EXPECT_TRUE(mb.eof);
    seen.decoded = mb.dec_count;
    seen.dropped = mb.drop_fifo;
    seen.sei_stripped = mb.stream.sei_stripped;
    EXPECT_EQ(uint64_t(seen.frames) + seen.dropped, seen.decoded);
    return seen;
}

// Each test starts as a fresh process would, also when the tests share one.
class Reader : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *v : {"ZYL_KMS_STRIP_SEI", "ZYL_KMS_READ_BYTES"}) unsetenv(v);
    }
};
using ReaderBadInput = Reader;

TEST_F(Reader, H264WithSeiStrippedEveryPictureArrives) {
    Bytes s = read_file(stream_path("h264_sei.h264"));
    auto nals = walk_units(s, false);
    int pictures = count_if(nals, is_first_slice);
    int seis = count_if(nals, [](const Nal &n) { return n.type == 6; });
    ASSERT_EQ(pictures, 60);
    ASSERT_GT(seis, 60) << "the stream should carry SEI in every unit";

    setenv("ZYL_KMS_STRIP_SEI", "1", 1);
    Seen seen = run_reader(with_trailing_aud(s, false), "h264", false);
    EXPECT_EQ(seen.decoded, uint64_t(pictures));
    EXPECT_EQ(seen.sei_stripped, uint64_t(seis));
    EXPECT_EQ(count_lines(seen.err,
                          "zyl-kms: stripping SEI NAL units before the decoder "
                          "(ZYL_KMS_STRIP_SEI=0 to keep them)"),
              1);
    // Each IDR unit carries an SPS; its frame is the one marked. A dropped frame
    // takes its mark with it, so only a run without drops can count them all.
    if (seen.dropped == 0) {
        EXPECT_EQ(seen.marked, count_if(nals, [](const Nal &n) { return n.type == 7; }));
    }
    EXPECT_EQ(seen.sizes, (std::set<std::pair<int, int>>{{320, 240}}));
}

TEST_F(Reader, DetectionQueueKeepsTheNewest64UnitsAsDecoded) {
    Bytes one = read_file(stream_path("h264_sei.h264"));
    Bytes s = one + one;  // 120 units: the queue overflows; the last is cut by the input's end
    auto nals = walk_units(s, false);
    // The last picture's unit, as the decoder gets it: from its first NAL to the end, SEI removed.
    size_t last_first = 0;
    for (const auto &n : nals)
        if (n.first_slice) last_first = n.sc;
    size_t unit_start = last_first;
    for (size_t i = nals.size(); i-- > 0;) {
        if (nals[i].sc >= last_first) continue;
        if (nals[i].type == 1 || nals[i].type == 5) break;
        unit_start = nals[i].sc;  // SEI, AUD or parameter sets in front of the slice
    }
    Bytes expected;
    for (size_t i = 0; i < nals.size(); i++)
        if (nals[i].sc >= unit_start && nals[i].type != 6)
            expected += s.substr(nals[i].begin, nals[i].end - nals[i].begin);
    setenv("ZYL_KMS_STRIP_SEI", "1", 1);
    DetectQueue q;
    run_reader(s, "h264", false, &q);
    EXPECT_EQ(q.units.size(), DetectQueue::kSlots);
    const AVPacket *newest = q.units.back().get();
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(newest->data), newest->size), expected);
}

TEST_F(Reader, SeiIsKeptWhenStrippingIsOff) {
    for (const char *v : {"0", ""}) {
        SetUp();  // before the variable: it unsets it
        setenv("ZYL_KMS_STRIP_SEI", v, 1);
        Seen seen = run_reader(read_file(stream_path("h264_sei.h264")), "h264", false);
        EXPECT_EQ(seen.sei_stripped, 0u);
        EXPECT_EQ(seen.err.find("stripping"), std::string::npos);
    }
}

TEST_F(Reader, DeferredHevcOpenInSmallReads) {
    Bytes s = read_file(stream_path("hevc.h265"));
    auto nals = walk_units(s, true);
    size_t first_vcl = 0;
    for (const auto &n : nals)
        if (n.type < 32) {
            first_vcl = n.sc;
            break;
        }
    ASSERT_GT(first_vcl, 0u);
    int pictures = count_if(nals, is_first_slice);

    setenv("ZYL_KMS_READ_BYTES", "4096", 1);
    Seen seen = run_reader(with_trailing_aud(s, true), "hevc", true);
    EXPECT_EQ(
        count_lines(seen.err, "zyl-mpp: HEVC decoder opened with " + std::to_string(first_vcl) +
                                  "-byte extradata (VPS/SPS/PPS)"),
        1)
        << seen.err;
    EXPECT_EQ(seen.decoded, uint64_t(pictures));
}

TEST_F(Reader, DeferredHevcSkipsInputBeforeItsParameterSets) {
    Bytes s = read_file(stream_path("hevc.h265"));
    auto nals = walk_units(s, true);
    // Start in the middle of the first GOP; the second GOP brings parameter sets again.
    size_t cut = 0, second_vps = 0;
    int seen_vcl = 0;
    for (const auto &n : nals) {
        if (n.type < 32 && n.first_slice && ++seen_vcl == 5) cut = n.sc;
        if (n.type == 32 && n.sc > 0) second_vps = n.sc;
    }
    ASSERT_GT(second_vps, cut);
    int pictures_after = 0;
    for (const auto &n : nals) pictures_after += n.sc >= second_vps && n.first_slice;

    Seen seen = run_reader(with_trailing_aud(s.substr(cut), true), "hevc", true);
    EXPECT_EQ(count_lines(seen.err, "before its VPS/SPS/PPS"), 1) << seen.err;
    EXPECT_EQ(count_lines(seen.err, "HEVC decoder opened"), 1) << seen.err;
    EXPECT_EQ(seen.decoded, uint64_t(pictures_after));
}

// None of these may crash, hang or grow without bound; the end flag is always set.
TEST_F(ReaderBadInput, RandomBytes) {
    std::mt19937 rng(1234);
    Bytes noise(3 << 20, '\0');
    for (char &c : noise) c = char(rng());
    run_reader(noise, "h264", false);
    SetUp();
    Seen hevc = run_reader(noise, "hevc", true);
    EXPECT_EQ(count_lines(hevc.err, "HEVC decoder opened"), 0);
}

TEST_F(ReaderBadInput, EndlessZerosDoNotPileUp) {
    Bytes zeros(40 << 20, '\0');
    Seen seen = run_reader(zeros, "h264", false);
    EXPECT_EQ(seen.decoded, 0u);
    EXPECT_EQ(
        count_lines(seen.err, "zyl-mpp: no access unit in 16 MiB of input — parser restarted (#1)"),
        1)
        << seen.err;
    // A real stream after the zeros still decodes.
    SetUp();
    Bytes s = read_file(stream_path("h264_nosei.h264"));
    EXPECT_GT(run_reader(Bytes(20 << 20, '\0') + s, "h264", false).decoded, 30u);
}

TEST_F(ReaderBadInput, StreamCutInsideANalUnit) {
    Bytes s = read_file(stream_path("h264_sei.h264"));
    auto nals = walk_units(s, false);
    size_t cut = nals[nals.size() / 2].sc + 7;
    EXPECT_GT(run_reader(s.substr(0, cut), "h264", false).decoded, 0u);
    SetUp();
    Bytes h = read_file(stream_path("hevc.h265"));
    run_reader(h.substr(0, 200), "hevc", true);  // inside the parameter sets
}

TEST_F(ReaderBadInput, StreamWithoutParameterSets) {
    Bytes s = read_file(stream_path("h264_nosei.h264"));
    Bytes stripped;
    for (const Nal &n : walk_units(s, false))
        if (n.type != 7 && n.type != 8) stripped += s.substr(n.begin, n.end - n.begin);
    av_log_set_level(AV_LOG_QUIET);
    EXPECT_EQ(run_reader(stripped, "h264", false).decoded, 0u);
}

TEST(ReaderSettings, ReadSize) {
    EXPECT_EQ(reader_read_bytes(nullptr), 24576);
    EXPECT_EQ(reader_read_bytes("4096"), 4096);
    EXPECT_EQ(reader_read_bytes("65536"), 65536);
    for (const char *bad : {"4095", "65537", "-5000", "abc", ""})
        EXPECT_EQ(reader_read_bytes(bad), 24576) << bad;
}

}  // namespace
