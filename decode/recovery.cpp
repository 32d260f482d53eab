// Decoder stall and reopen policy. Hardware decoders go silent while still taking
// input, and some cannot follow new parameter sets without being rebuilt; when
// neither a flush nor a rebuild can help, the reader ends as dead, so that the
// process ends and the supervisor starts it again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/log.h"
#include "decode/reader_state.h"

namespace {

// The library reads past the end of extradata; these bytes must be zero.
constexpr int kExtradataPad = 64;
static_assert(kExtradataPad >= AV_INPUT_BUFFER_PADDING_SIZE);

bool switch_on(const char *v) {
    return v && v[0] && strtol(v, nullptr, 10) != 0;
}

const char *cause_text(Reopen why) {
    return why == Reopen::kRebuildStall ? "IDR during a stall" : "parameter set CHANGED";
}

// The decoder is gone: only the supervisor can help now.
bool reopen_failed(ReaderState *st, const char *cause) {
    say("zyl-mpp: %s but decoder reopen FAILED — exiting for respawn", cause);
    st->dead = true;
    return false;
}

// The tracked sets, slot order, with the zero padding after them.
uint8_t *make_extradata(const ParamSetStore &ps, int hevc, int len) {
    auto *extra = static_cast<uint8_t *>(av_malloc(size_t(len) + kExtradataPad));
    if (!extra) return nullptr;
    uint8_t *p = extra;
    for (int slot = hevc ? 0 : 1; slot < 3; slot++) {
        memcpy(p, ps.unit[slot], size_t(ps.len[slot]));
        p += ps.len[slot];
    }
    memset(p, 0, kExtradataPad);
    return extra;
}

// Returns true when the decoder in `st->ra` is a new one; false leaves the old one
// in place untouched, or (past the point of no return) sets `dead`.
bool rebuild(ReaderState *st, Reopen why) {
    const char *cause = cause_text(why);
    const bool hevc = st->ra->facts->hevc;
    int len = rebuild_extradata_len(st->ps, hevc);
    uint8_t *extra = len < 0 ? nullptr : make_extradata(st->ps, hevc, len);
    if (!extra) {
        say("zyl-mpp: %s but the tracked parameter set is incomplete — no reopen", cause);
        return false;
    }
    ReaderArgs *ra = st->ra;
    // A hardware decoder's buffers come from a pool the next one may need: every
    // frame of the old one goes (the pictures it still holds with it) before the new
    // one opens. This is the point of no return.
    if (st->hooks->release_frames) st->hooks->release_frames();
    avcodec_free_context(&ra->avctx);
    const std::optional<std::string> &dev = st->settings->drm_device;
    AVCodecContext *ctx =
        new_decoder_ctx(ra->codec, ra->decoder_name, dev ? dev->c_str() : nullptr);
    if (!ctx) {
        av_free(extra);
        return reopen_failed(st, cause);
    }
    ctx->extradata = extra;
    ctx->extradata_size = len;
    if (avcodec_open2(ctx, ra->codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return reopen_failed(st, cause);
    }
    ra->avctx = ctx;
    budget_after_open(st);

    int64_t now_us = mono_us();
    st->hooks->arm_gate(now_us, false, INT64_MIN);
    st->last_frame_ms = now_us / 1000;
    if (why == Reopen::kRebuildStall) {
        st->stalled = false;
        st->stall_reopens++;
        say("zyl-mpp: IDR arrived during a stall (after %lld flush(es)) — decoder rebuilt on it "
            "(extradata %d B, stall reopen #%lld)",
            (long long)st->flushes, len, (long long)st->stall_reopens);
    } else {
        st->reopens++;
        ra->facts->reopens = uint64_t(st->reopens);
        say("zyl-mpp: parameter set CHANGED mid-stream (extradata %d B) — decoder reopened "
            "(#%lld)",
            len, (long long)st->reopens);
    }
    st->pkts_since_frame = 0;
    return true;
}

void declare_stall(ReaderState *st, int64_t elapsed_ms) {
    st->flushes++;
    say("zyl-mpp: decoder STALLED — %lld packets / %lld ms without a frame (dec=%lld shown=%lld "
        "drops=%lld) — flushing, waiting for a keyframe (#%lld)",
        (long long)st->pkts_since_frame, (long long)elapsed_ms, (long long)st->decoded,
        (long long)st->hooks->shown_count(), (long long)st->drops, (long long)st->flushes);
    avcodec_flush_buffers(st->ra->avctx);
    st->held = 0;
    int64_t now_us = mono_us();
    // An armed gate keeps its start: the broken pictures began before this flush.
    st->hooks->arm_gate(now_us, true, INT64_MIN);
    st->stalled = true;
    st->last_frame_ms = now_us / 1000;
    st->pkts_since_frame = 0;
}

}  // namespace

RecoverySettings recovery_settings(const char *dead_ms, const char *param_reopen,
                                   const char *dead_exit, const char *decoder_name) {
    RecoverySettings rs;
    rs.dead_ms = dead_ms && dead_ms[0] ? strtol(dead_ms, nullptr, 10) : 3000;
    // rkmpp decoders follow new parameter sets in-band; rebuilding one only costs time.
    rs.param_reopen = param_reopen && param_reopen[0]
                          ? strtol(param_reopen, nullptr, 10) != 0
                          : !(decoder_name && strstr(decoder_name, "rkmpp"));
    rs.dead_exit = switch_on(dead_exit);
    return rs;
}

Reopen reopen_decision(bool reopen_on, bool changed, bool random_access, bool stalled) {
    // A stalled decoder is rebuilt on any random-access unit: the setting is about
    // parameter changes only.
    if (!reopen_on && changed && !(random_access && stalled)) return Reopen::kAbsorb;
    if (changed && !random_access) return Reopen::kInBand;
    if (random_access && stalled) return Reopen::kRebuildStall;
    if (random_access && changed) return Reopen::kRebuildChanged;
    return Reopen::kSend;
}

bool stall_watched(int64_t pkts, int64_t dead_ms, uint64_t dec_count) {
    return dec_count > 0 && pkts >= kStallPackets && dead_ms > 0;
}

Stall stall_decision(int64_t pkts, int64_t elapsed_ms, int64_t dead_ms, uint64_t dec_count,
                     int64_t reopens, bool dead_exit) {
    if (!stall_watched(pkts, dead_ms, dec_count) || elapsed_ms < dead_ms) return Stall::kNone;
    // A decoder rebuilt for new parameter sets that falls silent again will not recover.
    return reopens > 0 || dead_exit ? Stall::kDead : Stall::kFlush;
}

int rebuild_extradata_len(const ParamSetStore &ps, int hevc) {
    int len = 0;
    for (int slot = hevc ? 0 : 1; slot < 3; slot++) {
        if (!ps.unit[slot] || ps.len[slot] <= 0) return -1;
        len += ps.len[slot];
    }
    return len;
}

bool recovery_before_send(ReaderState *st, const UnitFindings &f) {
    Reopen why = reopen_decision(st->rs.param_reopen, f.changed, f.random_access, st->stalled);
    switch (why) {
        case Reopen::kSend:
            return false;
        case Reopen::kAbsorb:
            say("zyl-mpp: parameter set CHANGED mid-stream — reopen off (rkmpp in-band or "
                "ZYL_KMS_PARAM_REOPEN=0); absorbing without a rebuild");
            return false;
        case Reopen::kInBand:
            say("zyl-mpp: parameter set CHANGED in a non-keyframe AU — in-band, no reopen");
            return false;
        case Reopen::kRebuildStall:
        case Reopen::kRebuildChanged:
            return rebuild(st, why);
    }
    return false;
}

void recovery_frames_flowing(ReaderState *st) {
    if (!st->stalled) return;
    say("zyl-mpp: decoder recovered after %lld flush(es) — frames flowing again",
        (long long)st->flushes);
    st->stalled = false;
}

// The old parser may hold state from the old parameter sets; the rest of the
// input is cut by a fresh one.
void recovery_after_rebuild(ReaderState *st) {
    ReaderArgs *ra = st->ra;
    av_parser_close(ra->parser);
    ra->parser = av_parser_init(ra->codec->id);
    if (!ra->parser) {
        say("zyl-mpp: av_parser_init failed after reopen — exiting for respawn");
        st->dead = true;
    }
}

void stall_check(ReaderState *st) {
    const RecoverySettings &rs = st->rs;
    uint64_t dec = st->decoded;
    if (!stall_watched(st->pkts_since_frame, rs.dead_ms, dec)) return;
    int64_t elapsed_ms = mono_ms() - st->last_frame_ms;
    switch (stall_decision(st->pkts_since_frame, elapsed_ms, rs.dead_ms, dec, st->reopens,
                           rs.dead_exit)) {
        case Stall::kNone:
            return;
        case Stall::kDead:
            say("zyl-mpp: decoder DEAD — %lld packets / %lld ms without a frame (dec=%lld "
                "shown=%lld reopens=%lld drops=%lld) — exiting for respawn",
                (long long)st->pkts_since_frame, (long long)elapsed_ms, (long long)dec,
                (long long)st->hooks->shown_count(), (long long)st->reopens, (long long)st->drops);
            st->dead = true;
            return;
        case Stall::kFlush:
            declare_stall(st, elapsed_ms);
            return;
    }
}
