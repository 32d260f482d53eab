// The frame mailbox: drop-oldest with its capacity clamp, the arrival-interval
// estimate, the keyframe mark of a drain, and a concurrent producer and consumer.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "app/gate.h"
#include "app/mailbox.h"
#include "decode/decode.h"
#include "tests/test_util.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

FramePtr tagged(int64_t tag) {
    FramePtr f(av_frame_alloc());
    f->pts = tag;
    return f;
}

// Takes everything queued; returns the tags, oldest first.
std::vector<int64_t> take_all(Mailbox &mb) {
    std::vector<int64_t> tags;
    std::lock_guard lock(mb.lock);
    while (FramePtr f = mb_take_locked(mb)) {
        tags.push_back(f->pts);
    }
    return tags;
}

// Each test has a mailbox of its own, as a fresh process does.
class MailboxTest : public ::testing::Test {
  protected:
    Mailbox mb;
};
using DrainDecoder = MailboxTest;
using MailboxConcurrency = MailboxTest;

TEST(Mailbox, FullMailboxDropsTheOldestDownToOneBelowTheClampedCapacity) {
    // Pushes as (capacity, frames) steps; the capacity is clamped to 1..4 at each push,
    // and lowering it drops down to one below it.
    struct Case {
        std::vector<std::pair<int, int>> steps;
        std::vector<int64_t> left;
        uint64_t dropped;
    };
    const Case cases[] = {{{{2, 3}}, {2, 3}, 1},
                          {{{0, 3}}, {3}, 2},
                          {{{7, 6}}, {3, 4, 5, 6}, 2},
                          {{{4, 4}, {2, 1}}, {4, 5}, 3}};
    for (const Case &c : cases) {
        Mailbox mb;
        int tag = 1;
        for (auto [cap, n] : c.steps) {
            mb.cap = cap;
            for (int i = 0; i < n; i++) mb_push(mb, tagged(tag++));
        }
        EXPECT_EQ(take_all(mb), c.left) << c.steps[0].first;
        EXPECT_EQ(mb.drop_fifo, c.dropped) << c.steps[0].first;
    }
}

TEST_F(MailboxTest, FramesBeyondTheDecoderPoolBudgetDropTheOldest) {
    // The budget: the pool less the references and the picture being decoded; one
    // frame at the least, none without a known pool.
    EXPECT_EQ(frame_budget(20, 0), 15);
    EXPECT_EQ(frame_budget(20, 4), 15);
    EXPECT_EQ(frame_budget(16, 1), 11);
    EXPECT_EQ(frame_budget(20, 8), 11);
    EXPECT_EQ(frame_budget(6, 16), 1);
    EXPECT_EQ(frame_budget(0, 4), 0);
    EXPECT_EQ(budget_drops(3, 2, 0), 0);
    EXPECT_EQ(budget_drops(2, 2, 5), 0);
    EXPECT_EQ(budget_drops(3, 2, 5), 1);
    EXPECT_EQ(budget_drops(1, 6, 5), 1);

    // Through pushes: two frames on screen and one taken leave room for one queued.
    mb.cap = 4;
    mb.budget = 4;
    for (int tag = 1; tag <= 3; tag++) mb_push(mb, tagged(tag));
    {
        std::lock_guard lock(mb.lock);
        EXPECT_EQ(mb_take_locked(mb)->pts, 1);
    }
    mb.after = 3;
    mb_push(mb, tagged(4));
    EXPECT_EQ(take_all(mb), (std::vector<int64_t>{4}));
    EXPECT_EQ(mb.drop_budget, 2u);
    EXPECT_EQ(mb.drop_fifo, 0u);
}

TEST_F(MailboxTest, ArrivalIntervalEstimate) {
    EXPECT_EQ(mb_next_interval(0, 33333), 33333);
    EXPECT_EQ(mb_next_interval(33333, 49999), 34374);
    EXPECT_EQ(mb_next_interval(33333, 999), 33333);
    EXPECT_EQ(mb_next_interval(33333, 250001), 33333);
    EXPECT_EQ(mb_next_interval(0, 250000), 250000);

    // Through pushes: an out-of-range gap still moves the point the next one is measured from.
    mb.cap = 4;
    int64_t t = 5000000;
    mb_push_at(mb, tagged(1), t);
    EXPECT_EQ(mb.src_interval_us, 0);
    mb_push_at(mb, tagged(2), t += 33333);
    EXPECT_EQ(mb.src_interval_us, 33333);
    mb_push_at(mb, tagged(3), t += 999);
    EXPECT_EQ(mb.src_interval_us, 33333);
    mb_push_at(mb, tagged(4), t += 49999);
    EXPECT_EQ(mb.src_interval_us, 34374);
    take_all(mb);
}

TEST_F(MailboxTest, EndFlagWakesAWaitingConsumer) {
    std::thread producer([this] { mb_set_eof(mb); });
    std::unique_lock lock(mb.lock);
    mb.cv.wait(lock, [this] { return mb.eof; });
    EXPECT_EQ(mb_take_locked(mb), nullptr);
    lock.unlock();
    producer.join();
}

TEST_F(DrainDecoder, MarksOnlyTheLastFrameOfAKeyframeDrain) {
    // As long as the decoder has never flagged a keyframe itself; its flags are
    // kept from the drain here.
    bool flags_keys = false;
    Gate gate;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 4;
    ctx->thread_type = FF_THREAD_FRAME;
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    for (auto &unit : cut_units(read_file(stream_path("h264_bframes.h264")), AV_CODEC_ID_H264)) {
        pkt->data = unit.data();
        pkt->size = int(unit.size());
        ASSERT_EQ(avcodec_send_packet(ctx, pkt), 0);
        while (avcodec_receive_frame(ctx, f) == 0) av_frame_unref(f);
    }
    av_frame_free(&f);
    ASSERT_EQ(avcodec_send_packet(ctx, nullptr), 0);
    mb.cap = 4;
    int n = drain_decoder(ctx, 1, &flags_keys, mailbox_reader_hooks(mb, gate));
    ASSERT_GE(n, 3) << "the stream's reorder delay should leave several pictures";
    EXPECT_EQ(mb.dec_count, uint64_t(n));
    EXPECT_EQ(mb.drop_fifo, uint64_t(n > 4 ? n - 4 : 0));
    std::vector<int64_t> marks;
    {
        std::lock_guard lock(mb.lock);
        while (FramePtr t = mb_take_locked(mb)) {
            marks.push_back((t->flags & AV_FRAME_FLAG_KEY) != 0);
        }
    }
    EXPECT_EQ(marks.back(), 1);
    EXPECT_EQ(std::count(marks.begin(), marks.end(), 1), 1);
    EXPECT_FALSE(flags_keys);
    // Nothing left: no frame, no mark, no count.
    EXPECT_EQ(drain_decoder(ctx, 1, &flags_keys, mailbox_reader_hooks(mb, gate)), 0);
    EXPECT_EQ(mb.dec_count, uint64_t(n));
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
}

TEST_F(DrainDecoder, ADecoderThatFlagsKeyframesDecidesTheMark) {
    // Every unit drained as a keyframe unit: still only the decoder's own keyframes,
    // the three IDR pictures, are marked, late as the decoder hands them out.
    bool flags_keys = false;
    Gate gate;
    mb.cap = 4;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVPacket *pkt = av_packet_alloc();
    int frames = 0, marked = 0, intra_marked = 0;
    for (auto &unit : cut_units(read_file(stream_path("h264_live_b.h264")), AV_CODEC_ID_H264)) {
        pkt->data = unit.data();
        pkt->size = int(unit.size());
        ASSERT_EQ(avcodec_send_packet(ctx, pkt), 0);
        drain_decoder(ctx, 1, &flags_keys, mailbox_reader_hooks(mb, gate));
        std::lock_guard lock(mb.lock);
        while (FramePtr f = mb_take_locked(mb)) {
            bool mark = (f->flags & AV_FRAME_FLAG_KEY) != 0;
            frames++;
            marked += mark;
            intra_marked += mark && f->pict_type == AV_PICTURE_TYPE_I;
        }
    }
    EXPECT_GT(frames, 80);
    EXPECT_TRUE(flags_keys);
    EXPECT_EQ(marked, 3);
    EXPECT_EQ(intra_marked, 3);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
}

// Run under ThreadSanitizer too: the reader pushes while the main thread takes.
TEST_F(MailboxConcurrency, EveryFrameIsTakenOrDroppedInOrder) {
    constexpr int kFrames = 20000;
    std::thread producer([this] {
        for (int i = 0; i < kFrames; i++) {
            mb.cap = i % 1000 < 500 ? 2 : 4;  // capacity moves under the producer
            mb_push(mb, tagged(i));
        }
        mb_set_eof(mb);
    });
    int64_t last = -1, taken = 0;
    bool ordered = true;
    while (FramePtr f = take_next_frame(mb)) {
        ordered &= f->pts > last;
        last = f->pts;
        taken++;
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(last, kFrames - 1) << "the newest frame is never dropped";
    EXPECT_EQ(taken + int64_t(mb.drop_fifo), kFrames);
}

}  // namespace
