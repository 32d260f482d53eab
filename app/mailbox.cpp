// The hand-off of decoded frames from the reader thread to the presentation loop.
// Freshness wins over completeness: a full mailbox drops its oldest frame rather
// than making the producer wait.
#include "app/clock.h"
#include "app/mailbox.h"
#include "decode/decode.h"

AVFrame *g_mb_q[kMailboxSlots];
int64_t g_mb_at[kMailboxSlots];
int g_mb_head;
int g_mb_n;
std::atomic<int> g_mb_cap{2};
int g_mb_eof;
std::mutex g_mb_lock;
std::condition_variable g_mb_cv;
std::atomic<uint64_t> g_drop_fifo;
std::atomic<int64_t> g_src_interval_us;
std::atomic<uint64_t> g_dec_count;
std::atomic<uint64_t> g_shown_count;

void FrameFree::operator()(AVFrame *f) const {
    av_frame_free(&f);
}

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

void mb_set_eof() {
    std::lock_guard lock(g_mb_lock);
    g_mb_eof = 1;
    g_mb_cv.notify_all();
}

std::atomic<bool> g_dec_flags_keys;

namespace {

// Whether the decoder itself calls the picture a keyframe.
bool decoder_says_key(const AVFrame *f) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    return f->flags & AV_FRAME_FLAG_KEY;
#else
    return f->key_frame;
#endif
}

}  // namespace

// A decoder that reorders or pipelines hands a keyframe's picture out one or more
// drains after its unit, so the last frame of the keyframe unit's drain is an older
// picture or none. Once the decoder has shown that it flags its keyframes, its word
// decides; until then the drain's mark stands in for it.
int drain_decoder(AVCodecContext *ctx, int keyframe) {
    FramePtr held;
    int pushed = 0;
    for (;;) {
        FramePtr f(av_frame_alloc());
        // Out of memory ends the drain; what was received is still pushed.
        if (!f || avcodec_receive_frame(ctx, f.get()) != 0) break;
        if (decoder_says_key(f.get())) {
            g_dec_flags_keys = true;
            f->flags |= AV_FRAME_FLAG_KEY;
        }
        if (held) {
            mb_push(std::move(held));
            pushed++;
        }
        held = std::move(f);
    }
    if (!held) return 0;
    if (keyframe && !g_dec_flags_keys) held->flags |= AV_FRAME_FLAG_KEY;
    mb_push(std::move(held));
    pushed++;
    g_dec_count += pushed;
    return pushed;
}
