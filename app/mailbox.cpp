// The hand-off of decoded frames from the reader thread to the presentation loop.
// Freshness wins over completeness: a full mailbox drops its oldest frame rather
// than making the producer wait.
#include "app/clock.h"
#include "app/gate.h"
#include "app/mailbox.h"
#include "decode/decode.h"

AVFrame *g_mb_q[kMailboxSlots];
int64_t g_mb_at[kMailboxSlots];
int g_mb_head;
int g_mb_n;
std::atomic<int> g_mb_cap{2};
int g_mb_eof;
int g_mb_status;
std::mutex g_mb_lock;
std::condition_variable g_mb_cv;
std::atomic<uint64_t> g_drop_fifo;
std::atomic<int64_t> g_src_interval_us;
std::atomic<uint64_t> g_dec_count;
std::atomic<uint64_t> g_shown_count;

// Written only by the producer, before it locks.
static int64_t g_last_arrival_us;

int64_t mb_next_interval(int64_t current, int64_t interval_us) {
    if (interval_us < 1000 || interval_us > 250000) return current;
    if (current == 0) return interval_us;
    return (interval_us + 15 * current) / 16;
}

void mb_push_at(FramePtr frame, int64_t now_us) {
    if (g_last_arrival_us != 0) {
        g_src_interval_us = mb_next_interval(g_src_interval_us, now_us - g_last_arrival_us);
    }
    g_last_arrival_us = now_us;

    std::lock_guard lock(g_mb_lock);
    int cap = g_mb_cap;
    cap = cap < 1 ? 1 : cap > kMailboxSlots ? kMailboxSlots : cap;
    while (g_mb_n >= cap) {
        FramePtr dropped(g_mb_q[g_mb_head]);
        g_mb_q[g_mb_head] = nullptr;
        g_mb_head = (g_mb_head + 1) % kMailboxSlots;
        g_mb_n--;
        g_drop_fifo++;
    }
    int slot = (g_mb_head + g_mb_n) % kMailboxSlots;
    g_mb_q[slot] = frame.release();
    g_mb_at[slot] = now_us;
    g_mb_n++;
    g_mb_cv.notify_one();
}

void mb_push(FramePtr frame) {
    mb_push_at(std::move(frame), mono_us());
}

FramePtr mb_take_locked() {
    if (g_mb_n == 0) return nullptr;
    FramePtr f(g_mb_q[g_mb_head]);
    g_mb_q[g_mb_head] = nullptr;
    g_mb_head = (g_mb_head + 1) % kMailboxSlots;
    g_mb_n--;
    return f;
}

int64_t mb_head_arrival_locked() {
    return g_mb_n > 0 ? g_mb_at[g_mb_head] : 0;
}

void mb_set_eof(int status) {
    std::lock_guard lock(g_mb_lock);
    // Nothing more is shown after a fatal end.
    if (status != 0)
        while (mb_take_locked()) continue;
    g_mb_status = status;
    g_mb_eof = 1;
    g_mb_cv.notify_all();
}

int mailbox_end_status() {
    std::lock_guard lock(g_mb_lock);
    return g_mb_status;
}

ReaderHooks mailbox_reader_hooks(Gate &gate) {
    ReaderHooks h;
    h.frame = [](FramePtr f) {
        mb_push(std::move(f));
        g_dec_count++;
    };
    h.arm_gate = [&gate](int64_t now_us, bool keep_armed) {
        if (!keep_armed || gate.wait_key == 0) gate_arm(gate, 1, now_us);
    };
    h.shown_count = [] { return g_shown_count.load(); };
    return h;
}
