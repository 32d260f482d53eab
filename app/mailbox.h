// The frame mailbox: decoded frames handed from the reader thread (decode/) to the
// presentation loop, with the frame counters both sides report. The reader thread
// owns the producer side; the main thread owns the consumer side and everything
// else here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

struct AVCodecContext;
struct AVFrame;

// A decoded frame has one owner at a time; a frame that is dropped is freed by
// going out of scope.
struct FrameFree {
    void operator()(AVFrame *f) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

constexpr int kMailboxSlots = 4;
// Owned by the mailbox, but not destroyed with the process: the reader thread may
// still be pushing when the main thread exits.
extern AVFrame *g_mb_q[kMailboxSlots];
extern int64_t g_mb_at[kMailboxSlots];  // monotonic push time of each queued frame
extern int g_mb_head;
extern int g_mb_n;
extern std::atomic<int> g_mb_cap;
extern int g_mb_eof;
extern std::mutex g_mb_lock;
extern std::condition_variable g_mb_cv;
extern std::atomic<uint64_t> g_drop_fifo;
extern std::atomic<int64_t> g_src_interval_us;
extern std::atomic<uint64_t> g_dec_count;
extern std::atomic<uint64_t> g_shown_count;

// Producer side (reader thread). `now_us` is the monotonic arrival time.
void mb_push(FramePtr frame);
void mb_push_at(FramePtr frame, int64_t now_us);
// Pushes every frame the decoder has ready. Frames the decoder calls keyframes get
// the keyframe mark; so does the last frame of a drain with `keyframe` set, as long
// as the decoder has never flagged a keyframe itself (g_dec_flags_keys).
int drain_decoder(AVCodecContext *ctx, int keyframe);
extern std::atomic<bool> g_dec_flags_keys;
void mb_set_eof();
// Consumer side: call with g_mb_lock held. Null when empty.
FramePtr mb_take_locked();
// Push time of the oldest queued frame (0 when empty).
int64_t mb_head_arrival_locked();
// Interval estimate update: the next smoothed value for one measured interval.
int64_t mb_next_interval(int64_t current, int64_t interval_us);
