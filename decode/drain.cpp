// Taking decoded pictures out of the decoder, with the keyframe mark the gate
// relies on.
#include <cerrno>

#include "decode/decode.h"

void FrameFree::operator()(AVFrame *f) const {
    av_frame_free(&f);
}

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
int drain_decoder(AVCodecContext *ctx, int keyframe, bool *flags_keys, const ReaderHooks &hooks,
                  int *last) {
    FramePtr held;
    int pushed = 0;
    for (;;) {
        FramePtr f(av_frame_alloc());
        // Out of memory ends the drain; what was received is still handed on.
        int r = f ? avcodec_receive_frame(ctx, f.get()) : AVERROR(ENOMEM);
        if (last) *last = r;
        if (r != 0) break;
        if (decoder_says_key(f.get())) {
            *flags_keys = true;
            f->flags |= AV_FRAME_FLAG_KEY;
        }
        if (held) {
            hooks.frame(std::move(held));
            pushed++;
        }
        held = std::move(f);
    }
    if (!held) return 0;
    if (keyframe && !*flags_keys) held->flags |= AV_FRAME_FLAG_KEY;
    hooks.frame(std::move(held));
    return pushed + 1;
}
