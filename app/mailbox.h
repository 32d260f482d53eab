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

#include "base/ring.h"
#include "decode/decode.h"

constexpr int kMailboxSlots = 4;

// One per process, made by the process entry; tests make their own. The reader
// thread pushes, the main thread takes; the stop waker only notifies `cv`.
struct Mailbox {
    // Guards the queue, `eof` and `status`; `cv` is notified on a push and at the end,
    // `room` on a take.
    std::mutex lock;
    std::condition_variable cv, room;
    // The queued frames, each with its monotonic push time. The process's mailbox is
    // never destroyed: a reader the process could not stop may still be pushing when
    // the main thread leaves.
    struct Queued {
        FramePtr frame;
        int64_t at = 0;
    };
    DropOldest<Queued, kMailboxSlots> q;
    bool eof = false;
    int status = 0;  // the exit status the end asks for, 0 for the input's end
    // Main thread only: the menu is open, so an empty mailbox is waited on briefly and
    // the menu answers its remote sooner. Copied from the overlays after each menu poll.
    bool menu_open = false;

    // Lock-free counters and estimates, each one word: a reader of a slightly stale
    // value only reports or decides one frame late.
    std::atomic<int> cap{2};                  // written by the main thread, read at a push
    std::atomic<uint64_t> drop_fifo{0};       // both threads add
    std::atomic<int64_t> src_interval_us{0};  // reader thread writes, main thread reads
    std::atomic<uint64_t> dec_count{0};       // reader thread writes, main thread reads
    std::atomic<uint64_t> shown_count{0};     // main thread writes, reader's stall lines read
    // The decoder recycles a fixed pool of buffers: at most `budget` of its frames may
    // be alive outside it (0: no limit), in the queue and `after` it (taken by the main
    // thread and not yet freed). The reader thread writes the budget; `after` goes up
    // at a take and the main thread stores it once the frames it let go are freed.
    std::atomic<int> budget{0};
    std::atomic<int> after{0};
    std::atomic<uint64_t> drop_budget{0};  // reader thread adds, main thread reads
    // Set by the presentation loop: it keeps frames on screen and lets them go when
    // asked. Without it a release only empties the queue.
    std::atomic<bool> keeps_frames{false};
    // Under `lock`: the reader asks for every frame to be let go; the main thread
    // clears it once done and notifies `released`.
    bool release_asked = false;
    std::condition_variable released;
    int64_t last_arrival_us = 0;  // reader thread only
    // Frames the display cap and the keyframe gate dropped after the mailbox; main thread only.
    uint64_t drop_throttle = 0, drop_gate = 0;
    // The reader's facts and counters; each member says which thread touches it.
    StreamFacts stream;
};

// Producer side (reader thread). `now_us` is the monotonic arrival time.
void mb_push(Mailbox &mb, FramePtr frame);
void mb_push_at(Mailbox &mb, FramePtr frame, int64_t now_us);
// The same once the queue has room for it without dropping an older frame, or after
// `limit_ms` (a main thread that has stopped taking frames must not hold the reader).
void mb_push_in_turn(Mailbox &mb, FramePtr frame, int limit_ms = 250);
// No more frames will come; a non-zero `status` (the process must end with it)
// also discards the queued ones.
void mb_set_eof(Mailbox &mb, int status = 0);
// Reader thread, before its decoder is rebuilt: empties the queue (counted as
// mailbox drops) and waits (up to
// `limit_ms`) until the main thread has let go of every frame it keeps.
void mb_release_frames(Mailbox &mb, int limit_ms = 1000);
// Main thread: whether a release was asked for; then, after letting go, done.
bool mb_release_asked(Mailbox &mb);
void mb_release_done(Mailbox &mb);
// After the end: the status it asked for.
int mailbox_end_status(Mailbox &mb);
struct Gate;
// The reader's hooks into `mb`, its counters and `gate`, which must outlive the reader.
ReaderHooks mailbox_reader_hooks(Mailbox &mb, Gate &gate);
// Consumer side: call with `mb.lock` held. Null when empty.
FramePtr mb_take_locked(Mailbox &mb);
// Push time of the oldest queued frame (0 when empty).
int64_t mb_head_arrival_locked(const Mailbox &mb);
// How many of the oldest of `queued` frames go before one more is queued, so that
// `queued` + `after` + the new one stay within `budget` (0: no limit). The queue may
// not hold enough: the newest frame is queued anyway.
int budget_drops(int queued, int after, int budget);
// Interval estimate update: the next smoothed value for one measured interval.
int64_t mb_next_interval(int64_t current, int64_t interval_us);
