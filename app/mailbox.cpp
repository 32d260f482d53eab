// The hand-off of decoded frames from the reader thread to the presentation loop.
// Freshness wins over completeness: a full mailbox drops its oldest frame rather
// than making the producer wait.
#include <algorithm>
#include <chrono>

#include "app/clock.h"
#include "app/gate.h"
#include "app/mailbox.h"
#include "base/log.h"
#include "decode/decode.h"

int64_t mb_next_interval(int64_t current, int64_t interval_us) {
    if (interval_us < 1000 || interval_us > 250000) return current;
    if (current == 0) return interval_us;
    return (interval_us + 15 * current) / 16;
}

void mb_push_at(Mailbox &mb, FramePtr frame, int64_t now_us) {
    if (mb.last_arrival_us != 0) {
        mb.src_interval_us = mb_next_interval(mb.src_interval_us, now_us - mb.last_arrival_us);
    }
    mb.last_arrival_us = now_us;

    std::lock_guard lock(mb.lock);
    // A decoder out of buffers stops: frames the screen has not taken yet go first.
    for (int n = budget_drops(mb.q.size(), mb.after, mb.budget); n > 0; n--) {
        mb.q.take();
        mb.drop_budget++;
    }
    mb.drop_fifo += uint64_t(mb.q.push({std::move(frame), now_us}, mb.cap));
    mb.cv.notify_one();
}

void mb_push(Mailbox &mb, FramePtr frame) {
    mb_push_at(mb, std::move(frame), mono_us());
}

void mb_push_in_turn(Mailbox &mb, FramePtr frame, int limit_ms) {
    {
        std::unique_lock lock(mb.lock);
        mb.room.wait_for(lock, std::chrono::milliseconds(limit_ms), [&mb] {
            return mb.q.size() < mb.cap && budget_drops(mb.q.size(), mb.after, mb.budget) == 0;
        });
    }
    mb_push(mb, std::move(frame));
}

FramePtr mb_take_locked(Mailbox &mb) {
    FramePtr f = mb.q.take().frame;
    if (f) {
        mb.after++;
        mb.room.notify_one();
    }
    return f;
}

int budget_drops(int queued, int after, int budget) {
    if (budget <= 0) return 0;
    return std::clamp(queued + after + 1 - budget, 0, queued);
}

int64_t mb_head_arrival_locked(const Mailbox &mb) {
    return mb.q.size() > 0 ? mb.q.front().at : 0;
}

void mb_set_eof(Mailbox &mb, int status) {
    std::lock_guard lock(mb.lock);
    // Nothing more is shown after a fatal end.
    if (status != 0)
        while (mb.q.take().frame) continue;
    mb.status = status;
    mb.eof = true;
    mb.cv.notify_all();
}

void mb_release_frames(Mailbox &mb, int limit_ms) {
    std::unique_lock lock(mb.lock);
    while (mb.q.take().frame) mb.drop_fifo++;
    if (!mb.keeps_frames) return;
    mb.release_asked = true;
    mb.cv.notify_all();
    // A main thread that is gone or stuck must not stop the reader for good.
    if (!mb.released.wait_for(lock, std::chrono::milliseconds(limit_ms),
                              [&mb] { return !mb.release_asked; })) {
        mb.release_asked = false;
        say("zyl-mpp: frames on screen not released within %d ms — rebuilding the decoder "
            "anyway",
            limit_ms);
    }
}

bool mb_release_asked(Mailbox &mb) {
    std::lock_guard lock(mb.lock);
    return mb.release_asked;
}

void mb_release_done(Mailbox &mb) {
    std::lock_guard lock(mb.lock);
    mb.release_asked = false;
    mb.released.notify_all();
}

int mailbox_end_status(Mailbox &mb) {
    std::lock_guard lock(mb.lock);
    return mb.status;
}

ReaderHooks mailbox_reader_hooks(Mailbox &mb, Gate &gate) {
    ReaderHooks h;
    h.frame = [&mb](FramePtr f) {
        mb_push(mb, std::move(f));
        mb.dec_count++;
    };
    h.last_frame = [&mb](FramePtr f) {
        mb_push_in_turn(mb, std::move(f));
        mb.dec_count++;
    };
    h.arm_gate = [&gate](int64_t now_us, bool keep_armed, int64_t whole_before) {
        if (!keep_armed || gate.wait_key == 0) gate_arm(gate, 1, now_us, whole_before);
    };
    h.shown_count = [&mb] { return mb.shown_count.load(); };
    h.frame_budget = [&mb](int budget) { mb.budget = budget; };
    h.release_frames = [&mb] { mb_release_frames(mb); };
    return h;
}
