// The decoder context: a libavcodec context that delivers DRM PRIME frames.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "decode/decode.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {
std::atomic<bool> software_said{false};
}  // namespace

void say_software_frames() {
    say_once(software_said,
             "zyl-mpp: decoder did not offer DRM_PRIME — copying software frames into scan-out "
             "buffers");
}

// DMA-BUF frames go to the planes as they are; without them, a software format the
// display side copies into its own buffers beats failing every frame.
enum AVPixelFormat get_drm_prime(AVCodecContext *, const enum AVPixelFormat *fmts) {
    const enum AVPixelFormat *software = nullptr;
    for (const enum AVPixelFormat *p = fmts; *p != AV_PIX_FMT_NONE; p++) {
        if (*p == AV_PIX_FMT_DRM_PRIME) return *p;
        if (!software && (*p == AV_PIX_FMT_NV12 || *p == AV_PIX_FMT_YUV420P)) software = p;
    }
    if (software) {
        say_software_frames();
        return *software;
    }
    const char *name = av_get_pix_fmt_name(fmts[0]);
    say("zyl-mpp: decoder did not offer DRM_PRIME, NV12 or YUV420P (first offer %s) — its "
        "frames cannot be shown",
        name ? name : "none");
    return fmts[0];
}

// The v4l2-request HEVC path needs a DRM device to allocate its frames on.
static int attach_drm_device(AVCodecContext *ctx, const char *dev) {
    AVBufferRef *hw = nullptr;
    if (av_hwdevice_ctx_create(&hw, AV_HWDEVICE_TYPE_DRM, dev, nullptr, 0) < 0) {
        say("zyl-mpp: DRM hwdevice create failed (needed for v4l2-request HEVC)");
        return -1;
    }
    ctx->hw_device_ctx = hw;
    say("zyl-mpp: HEVC via v4l2-request DRM hwaccel (device %s)", dev ? dev : "auto");
    return 0;
}

AVCodecContext *new_decoder_ctx(const AVCodec *codec, const char *name, const char *drm_device) {
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx) {
        say("zyl-mpp: avcodec_alloc_context3 failed");
        return nullptr;
    }
    ctx->pix_fmt = AV_PIX_FMT_DRM_PRIME;
    ctx->get_format = get_drm_prime;
    if (strcmp(name, "hevc") == 0 && attach_drm_device(ctx, drm_device) < 0) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    // Units are stamped with their arrival in microseconds; a V4L2 decoder converts
    // the stamp through this time base and back.
    ctx->pkt_timebase = AVRational{1, 1000000};
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx->flags2 |= AV_CODEC_FLAG2_FAST;
    if (codec->id == AV_CODEC_ID_H264) ctx->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
    return ctx;
}

int decoder_pool_size(AVCodecContext *ctx, const char *name) {
    int64_t v = 0;
    if (av_opt_get_int(ctx, "num_capture_buffers", AV_OPT_SEARCH_CHILDREN, &v) >= 0)
        return v > 0 && v < 1024 ? int(v) : 0;
    // The rkmpp decoders have no option for it; their buffer group holds this many.
    return name && strstr(name, "rkmpp") ? 16 : 0;
}

int frame_budget(int pool, int refs) {
    if (pool <= 0) return 0;
    // Before the first frame the stream's reference count is unknown, and a hardware
    // decoder may leave it at the library's default of 1: never assume fewer than a
    // typical stream keeps.
    const int reserve = std::max(refs, 4) + 1;
    // One frame must always be allowed, or nothing could be shown at all.
    return std::max(pool - reserve, 1);
}
