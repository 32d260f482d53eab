// The reader thread: the only consumer of stdin and the only owner of the decoder.
// It cuts the byte stream into access units, feeds the decoder and drains every
// decoded frame into the mailbox.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <mutex>
#include <condition_variable>

#include "base/clock.h"
#include "base/log.h"
#include "decode/reader_state.h"

void PacketFree::operator()(AVPacket *p) const {
    av_packet_free(&p);
}

void DetectQueue::add(const AVPacket *pkt) {
    PacketPtr copy(av_packet_clone(pkt));
    if (!copy) return;
    std::lock_guard hold(lock);
    units.push(std::move(copy));
    cv.notify_one();
}

namespace {

// A deferred HEVC open waits at most this long for a slice after its parameter sets.
constexpr size_t kDeferredMaxWait = 1 << 20;
constexpr int kChunkMax = 65536;

// Makes room for one more read; the buffer doubles past the length it needs.
bool reserve(ReaderState *st, size_t n) {
    if (st->len + n <= st->cap) return true;
    size_t cap = 2 * (st->len + n);
    auto *b = static_cast<uint8_t *>(realloc(st->buf, cap + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!b) return false;
    st->buf = b;
    st->cap = cap;
    return true;
}

void drop_front(ReaderState *st, size_t n) {
    memmove(st->buf, st->buf + n, st->len - n);
    st->len -= n;
}

enum class Deferred { kWait, kOpened, kFailed };

Deferred deferred_open(ReaderState *st) {
    if (st->len <= 4) return Deferred::kWait;
    int n;
    while ((n = hevc_extradata_len({st->buf, st->len})) < 0) {
        size_t skip = hevc_discardable({st->buf, st->len}, kDeferredMaxWait);
        if (skip == 0) return Deferred::kWait;
        if (!st->warned_discard) {
            say("zyl-mpp: HEVC input before its VPS/SPS/PPS cannot be decoded — skipping to "
                "the next parameter sets");
            st->warned_discard = true;
        }
        drop_front(st, skip);
    }
    auto *extra = static_cast<uint8_t *>(av_malloc(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!extra) return Deferred::kWait;
    memcpy(extra, st->buf, n);
    memset(extra + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    AVCodecContext *ctx = st->ra->avctx;
    av_freep(&ctx->extradata);
    ctx->extradata = extra;
    ctx->extradata_size = n;
    if (avcodec_open2(ctx, st->ra->codec, nullptr) < 0) {
        say("zyl-mpp: deferred HEVC open failed");
        return Deferred::kFailed;
    }
    say("zyl-mpp: HEVC decoder opened with %d-byte extradata (VPS/SPS/PPS)", n);
    return Deferred::kOpened;
}

void send_and_drain(ReaderState *st, int key) {
    AVCodecContext *ctx = st->ra->avctx;
    st->may_hold = true;
    if (avcodec_send_packet(ctx, st->pkt) != 0) {
        drain(st, key);
        if (avcodec_send_packet(ctx, st->pkt) != 0) {
            st->drops++;
            if (st->drops % 30 == 1) {
                say("zyl-mpp: send_packet busy #%lld (dropped) dec=%lld shown=%lld",
                    (long long)st->drops, (long long)st->decoded,
                    (long long)st->hooks->shown_count());
            }
            st->pkts_since_frame++;
            return;
        }
    }
    st->held++;
    if (drain(st, key) > 0) {
        st->last_frame_ms = mono_ms();
        recovery_frames_flowing(st);
        st->pkts_since_frame = 0;
    } else {
        st->pkts_since_frame++;
    }
}

void on_unit(ReaderState *st, uint8_t *data, int size, int64_t arrived_us) {
    // SEI removal and the scans share one walk; a unit left under 4 bytes holds no
    // NAL header, so its findings are empty as the scans would have found them.
    UnitFindings f{};
    StreamFacts &facts = *st->ra->facts;
    if (st->strip_sei && size > 2) {
        facts.sei_stripped += walk_unit(&data, &size, facts.hevc, true, &st->ps, &f);
        if (size == 0) return;
    } else if (size >= 4) {
        walk_unit(&data, &size, facts.hevc, false, &st->ps, &f);
    }
    st->pkt->data = data;
    st->pkt->size = size;
    // The decoder carries the stamp through its reordering onto the picture, so the
    // keyframe gate can tell pictures of units that came before a gap.
    st->pkt->pts = arrived_us;
    if (facts.detect && st->ra->detect) st->ra->detect->add(st->pkt);

    // A delimiter that a pause or the end cut off alone would only make the decoder
    // complain of a missing picture.
    if (size >= 4 && !f.decodable) return;
    int key = size >= 4 && f.keyframe;
    bool rebuilt = size >= 4 && st->decode && recovery_before_send(st, f);
    if (!st->decode || st->dead) return;
    send_and_drain(st, key);
    if (rebuilt) recovery_after_rebuild(st);
    if (!st->dead) stall_check(st);
}

// Cuts the buffer into units; what the parser did not consume stays for the next read.
// Input without a start code (a dead link sending zeros, say) would pile up inside
// the parser for ever; past this much without a unit the parser starts afresh.
constexpr size_t kMaxUnitBytes = 16 << 20;

// False when no new parser could be made: the input then ends here.
bool new_parser(ReaderState *st) {
    av_parser_close(st->ra->parser);
    st->ra->parser = av_parser_init(st->ra->codec->id);
    st->since_unit = 0;
    st->pending_decodable = false;
    if (!st->ra->parser)
        say("zyl-mpp: av_parser_init failed on a parser restart — ending the input");
    return st->ra->parser != nullptr;
}

bool restart_parser(ReaderState *st) {
    if (!new_parser(st)) return false;
    if (st->parser_restarts++ % 100 == 0) {
        say("zyl-mpp: no access unit in %zu MiB of input — parser restarted (#%lld)",
            kMaxUnitBytes >> 20, (long long)st->parser_restarts);
    }
    return true;
}

// A unit is cut when the next one's start code is seen, often in a later read than
// its own last byte: a unit that ends where the last read's bytes begin came with
// the read before. The last zero of a 4-byte start code may stay on the unit.
int64_t unit_arrival(const ReaderState *st, size_t end) {
    return end <= st->fresh_from + 1 && st->prev_read_us ? st->prev_read_us : st->read_us;
}

// False when the input has to end.
bool parse_buffer(ReaderState *st) {
    size_t pos = 0;
    while (pos < st->len) {
        uint8_t *out = nullptr;
        int out_size = 0;
        int used = av_parser_parse2(st->ra->parser, st->ra->avctx, &out, &out_size, st->buf + pos,
                                    int(st->len - pos), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) break;
        // What the parser keeps back until the next start code: whether a pause has
        // anything in it worth sending.
        const std::span<const uint8_t> kept{st->buf + pos, size_t(used)};
        pos += used;
        st->since_unit += used;
        if (out_size == 0) {
            st->pending_decodable =
                st->pending_decodable || holds_decodable(kept, st->ra->facts->hevc);
            break;
        }
        st->since_unit = 0;
        st->pending_decodable = false;
        on_unit(st, out, out_size, unit_arrival(st, pos));
        if (st->dead) return false;
    }
    drop_front(st, pos);
    if (st->since_unit > kMaxUnitBytes || st->len > kMaxUnitBytes) {
        if (!restart_parser(st)) return false;
        if (st->len > 4) drop_front(st, st->len - 4);
    }
    return true;
}

void reader_init(ReaderState *st, ReaderArgs *ra, const DecodeSettings &settings,
                 const ReaderHooks &hooks, int stop_fd, bool decode) {
    *st = ReaderState{};
    st->ra = ra;
    st->hooks = &hooks;
    st->settings = &settings;
    st->stop_fd = stop_fd;
    st->decode = decode;
    st->read_bytes = settings.read_bytes;
    st->strip_sei = settings.strip_sei;
    if (st->strip_sei) {
        say("zyl-kms: stripping SEI NAL units before the decoder (ZYL_KMS_STRIP_SEI=0 to keep "
            "them)");
    }
    st->decoder_open = !ra->deferred_open;
    st->rs = settings.recovery;
    st->pkt = av_packet_alloc();
    st->last_frame_ms = mono_ms();
}

}  // namespace

int reader_read_bytes(const char *value) {
    if (!value || !value[0]) return 24576;
    long n = strtol(value, nullptr, 10);
    return n >= 4096 && n <= kChunkMax ? int(n) : 24576;
}

namespace {

// A pipelining decoder hands out its last pictures only when asked again: while it
// may hold some, the wait for input is cut this short to drain it.
constexpr int kIdleDrainMs = 2;

enum class Input { kReady, kIdle, kStop };

// kStop once a stop was requested: a read with nothing to come would never return.
// kIdle when `timeout_ms` (-1: none) passed without input.
Input wait_input(int fd, int stop, int timeout_ms) {
    if (stop < 0 && timeout_ms < 0) return Input::kReady;
    pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    const nfds_t n = stop < 0 ? 1 : 2;
    int r;
    while ((r = poll(p, n, timeout_ms)) < 0)
        if (errno != EINTR) return Input::kReady;
    if (n == 2 && (p[1].revents & POLLIN)) return Input::kStop;
    return r == 0 ? Input::kIdle : Input::kReady;
}

// The input is quiet: what the decoder finished meanwhile goes out now rather than
// with the next unit. A drain that finds nothing ends the short waits.
void idle_drain(ReaderState *st) {
    if (drain(st, 0) > 0) {
        st->last_frame_ms = mono_ms();
        recovery_frames_flowing(st);
        st->pkts_since_frame = 0;
    } else {
        st->may_hold = false;
    }
}

// The parser holds a unit until the next one's start code comes: at the end of the
// input, or in a pause, it goes in now.
void unit_from_parser(ReaderState *st) {
    uint8_t *out = nullptr;
    int out_size = 0;
    av_parser_parse2(st->ra->parser, st->ra->avctx, &out, &out_size, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (out_size > 0) on_unit(st, out, out_size, st->read_us);
}

// The end-of-stream packet, then every picture the decoder still holds comes out.
void drain_to_end(ReaderState *st) {
    AVCodecContext *ctx = st->ra->avctx;
    int r = avcodec_send_packet(ctx, nullptr);
    if (r == AVERROR(EAGAIN)) {
        drain(st, 0);
        r = avcodec_send_packet(ctx, nullptr);
    }
    if (r < 0) return;
    // A hardware decoder may answer "not yet" while it finishes; it gets a bounded while.
    for (int tries = 0; tries < 250; tries++) {
        int last = 0;
        drain(st, 0, &last);
        if (last != AVERROR(EAGAIN)) return;
        poll(nullptr, 0, kIdleDrainMs);
    }
}

void end_of_stream(ReaderState *st) {
    ReaderHooks last = *st->hooks;
    if (last.last_frame) last.frame = last.last_frame;
    const ReaderHooks *hooks = std::exchange(st->hooks, &last);
    if (st->pending_decodable) unit_from_parser(st);
    if (!st->dead) drain_to_end(st);
    st->hooks = hooks;
}

// Pictures a reordering decoder keeps back for the stream's B-frames come out with
// the next units; a flush for them would lose every picture up to the next keyframe.
// Only what pipelining holds beyond that is worth the flush.
bool holds_beyond_reorder(const ReaderState *st) {
    return st->held > st->ra->avctx->has_b_frames;
}

// A decoder that holds pictures until more units come (MPP's keeps its input
// slots full before it answers) would keep the last pictures before a pause for
// the whole pause. After the gate's gap nothing is lost by ending the stream there:
// the gate waits for a keyframe anyway, and the flushed decoder starts from one.
void pause_drain(ReaderState *st) {
    if (st->pending_decodable) {
        unit_from_parser(st);
        // A fresh parser: the old one would cut the next unit at a start it already saw.
        if (!st->dead && !new_parser(st)) st->dead = true;
        if (st->dead) return;
    }
    if (!holds_beyond_reorder(st)) return;
    const int64_t now_us = mono_us();
    drain_to_end(st);
    avcodec_flush_buffers(st->ra->avctx);
    st->held = 0;
    st->hooks->arm_gate(now_us, false, now_us);
    st->last_frame_ms = now_us / 1000;
    st->pkts_since_frame = 0;
    if (!st->said_pause_drain) {
        say("zyl-mpp: input quiet for %lld ms — the decoder gave up the pictures it held and "
            "waits for a keyframe",
            (long long)st->settings->pause_drain_ms);
        st->said_pause_drain = true;
    }
}

// How long the wait for input may be before the pause drain is due; -1: none due.
int pause_wait_ms(const ReaderState *st) {
    if (!st->decoder_open || !st->decode || st->dead) return -1;
    if (!st->pending_decodable && !holds_beyond_reorder(st)) return -1;
    const int64_t left = st->settings->pause_drain_ms - (mono_us() - st->read_us) / 1000;
    return int(left < 0 ? 0 : left);
}

}  // namespace

namespace {

void tell_budget(ReaderState *st, int refs) {
    const int pool = decoder_pool_size(st->ra->avctx, st->ra->decoder_name);
    const int budget = frame_budget(pool, refs);
    if (budget == st->budget) return;
    st->budget = budget;
    if (pool > 0) {
        say("zyl-mpp: decoder recycles %d capture buffers — at most %d of its frames held "
            "outside it",
            pool, budget);
    }
    if (st->hooks->frame_budget) st->hooks->frame_budget(budget);
}

}  // namespace

void budget_after_open(ReaderState *st) {
    st->refs_known = false;
    st->held = 0;
    tell_budget(st, 0);
}

int drain(ReaderState *st, int keyframe, int *last) {
    int n = drain_decoder(st->ra->avctx, keyframe, &st->flags_keys, *st->hooks, last);
    st->decoded += uint64_t(n);
    st->held = st->held > n ? st->held - n : 0;
    // The stream's reference count is known once the decoder has made a picture.
    if (n > 0 && !st->refs_known) {
        st->refs_known = true;
        tell_budget(st, st->ra->avctx->refs);
    }
    return n;
}

ReaderEnd reader_run(ReaderArgs *ra, const DecodeSettings &settings, const ReaderHooks &hooks,
                     int fd, int stop_fd, bool decode) {
    ReaderState st;
    reader_init(&st, ra, settings, hooks, stop_fd, decode);
    if (st.decoder_open && decode) budget_after_open(&st);
    bool input_ended = false;
    for (;;) {
        // Read straight into the accumulation buffer: the stream is copied once less.
        if (!reserve(&st, st.read_bytes)) break;
        Input in = wait_input(fd, st.stop_fd, st.may_hold ? kIdleDrainMs : pause_wait_ms(&st));
        if (in == Input::kStop) break;
        if (in == Input::kIdle) {
            if (st.may_hold)
                idle_drain(&st);
            else
                pause_drain(&st);
            if (st.dead) break;
            continue;
        }
        ssize_t r = read(fd, st.buf + st.len, st.read_bytes);
        if (r <= 0) {
            input_ended = true;
            break;
        }
        st.fresh_from = st.len;
        st.prev_read_us = st.read_us;
        st.read_us = mono_us();
        st.len += size_t(r);
        memset(st.buf + st.len, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        if (!st.decoder_open) {
            Deferred d = deferred_open(&st);
            if (d == Deferred::kFailed) break;
            if (d == Deferred::kWait) continue;
            budget_after_open(&st);
        }
        if (!parse_buffer(&st)) break;
        st.decoder_open = true;
    }
    if (input_ended && st.decoder_open && st.decode && !st.dead) end_of_stream(&st);
    param_sets_free(&st.ps);
    free(st.buf);
    av_packet_free(&st.pkt);
    return st.dead ? ReaderEnd::kDead : ReaderEnd::kInput;
}
