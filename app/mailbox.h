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

#include "decode/decode.h"

constexpr int kMailboxSlots = 4;
// Owned by the mailbox, but not destroyed with the process: the reader thread may
// still be pushing when the main thread exits.
extern AVFrame *g_mb_q[kMailboxSlots];
extern int64_t g_mb_at[kMailboxSlots];  // monotonic push time of each queued frame
extern int g_mb_head;
extern int g_mb_n;
extern std::atomic<int> g_mb_cap;
extern int g_mb_eof;
extern int g_mb_status;  // the exit status the end asks for, 0 for the input's end
extern std::mutex g_mb_lock;
extern std::condition_variable g_mb_cv;
extern std::atomic<uint64_t> g_drop_fifo;
extern std::atomic<int64_t> g_src_interval_us;
extern std::atomic<uint64_t> g_dec_count;
extern std::atomic<uint64_t> g_shown_count;

// Producer side (reader thread). `now_us` is the monotonic arrival time.
void mb_push(FramePtr frame);
void mb_push_at(FramePtr frame, int64_t now_us);
// No more frames will come; a non-zero `status` (the process must end with it)
// also discards the queued ones.
void mb_set_eof(int status = 0);
// After the end: the status it asked for.
int mailbox_end_status();
struct Gate;
// The reader's hooks into the mailbox, its counters and `gate`, which must outlive
// the reader.
ReaderHooks mailbox_reader_hooks(Gate &gate);
// Consumer side: call with g_mb_lock held. Null when empty.
FramePtr mb_take_locked();
// Push time of the oldest queued frame (0 when empty).
int64_t mb_head_arrival_locked();
// Interval estimate update: the next smoothed value for one measured interval.
int64_t mb_next_interval(int64_t current, int64_t interval_us);
