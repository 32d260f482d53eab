// The standby picture. It is whatever file the appliance put in place, so anything
// may be there: nothing, a directory, a half-copied file, another format, a photo far
// larger than the screen. None of it may crash the receiver or leave garbage on the
// screen: the buffer is black unless a picture was painted into it.
#include "standby/standby.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "kms/files.h"
#include "kms/kms.h"
#include "kms/present.h"
#include "overlay/overlay.h"

namespace {

// A picture whose decoded pixels would take more than this is refused before it is
// decoded; so is a file larger than this.
constexpr int64_t kMaxPictureBytes = 64ll << 20;

__attribute__((format(printf, 2, 3))) void failure(std::string &last, const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (last == line) return;
    last = line;
    fprintf(stderr, "%s\n", line);
}

void clear_buffer(uint8_t *px, uint32_t stride, int w, int h) {
    for (int y = 0; y < h; y++) memset(px + size_t(y) * stride, 0, size_t(w) * 4);
}

uint32_t be16(const uint8_t *p) {
    return uint32_t(p[0]) << 8 | p[1];
}
uint32_t be32(const uint8_t *p) {
    return be16(p) << 16 | be16(p + 2);
}

bool is_jpeg(const uint8_t *buf, size_t len) {
    return len > 2 && buf[0] == 0xFF && buf[1] == 0xD8 && buf[2] == 0xFF;
}

// The picture's size from its header, read before decoding so that a huge picture is
// refused before it takes memory; false when the header does not say.
bool header_size(const uint8_t *buf, size_t len, int64_t *w, int64_t *h) {
    static const uint8_t png_sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (len >= 24 && memcmp(buf, png_sig, 8) == 0 && memcmp(buf + 12, "IHDR", 4) == 0) {
        *w = be32(buf + 16);
        *h = be32(buf + 20);
        return true;
    }
    if (!is_jpeg(buf, len)) return false;
    // JPEG: walk the marker segments to the first start-of-frame.
    for (size_t i = 2; i + 4 <= len;) {
        if (buf[i] != 0xFF) return false;
        uint8_t m = buf[i + 1];
        if (m == 0xFF) {  // fill byte
            i++;
            continue;
        }
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {  // no length
            i += 2;
            continue;
        }
        uint32_t seg = be16(buf + i + 2);
        bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (sof && seg >= 7 && i + 9 <= len) {
            *h = be16(buf + i + 5);
            *w = be16(buf + i + 7);
            return true;
        }
        i += 2 + seg;
    }
    return false;
}

// The full-range JPEG formats are deprecated in swscale: their plain twins with the
// range given separately convert the same without a warning at every repaint.
AVPixelFormat plain_format(AVPixelFormat f, bool *full_range) {
    *full_range = true;
    switch (f) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            *full_range = false;
            return f;
    }
}

struct CodecFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
    void operator()(AVFrame *f) const { av_frame_free(&f); }
    void operator()(AVPacket *p) const { av_packet_free(&p); }
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};
template <typename T>
using Owned = std::unique_ptr<T, CodecFree>;

// The whole file, or empty with the failure printed.
std::vector<char> read_picture(std::string &last, const char *path) {
    FileBytes f = read_regular(path, size_t(kMaxPictureBytes));
    switch (f.fault) {
        case FileFault::kNone:
            break;
        case FileFault::kSystem:
            failure(last, "zyl-mpp: standby %s: open failed: %s", path, strerror(f.err));
            return {};
        case FileFault::kNotRegular:
            failure(last, "zyl-mpp: standby %s: not a regular file", path);
            return {};
        case FileFault::kTooLarge:
            failure(last, "zyl-mpp: standby %s: %lld B, larger than the 64 MB a picture may take",
                    path, f.size);
            return {};
    }
    if (f.data.empty()) failure(last, "zyl-mpp: standby %s: empty file", path);
    return std::move(f.data);
}

// Decodes one picture; null with the failure printed.
Owned<AVFrame> decode_picture(std::string &last, const char *path, uint8_t *buf, long size) {
    const bool jpeg = is_jpeg(buf, size_t(size));
    int64_t hw = 0, hh = 0;
    if (header_size(buf, size_t(size), &hw, &hh) && hw * hh * 4 > kMaxPictureBytes) {
        failure(last,
                "zyl-mpp: standby %s: %lldx%lld needs %lld MB decoded, more than 64 MB — not "
                "shown",
                path, (long long)hw, (long long)hh, (long long)(hw * hh * 4 >> 20));
        return nullptr;
    }
    const AVCodec *codec = avcodec_find_decoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    if (!codec) {
        failure(last, "zyl-mpp: standby %s: no %s decoder in this libavcodec", path,
                jpeg ? "JPEG" : "PNG");
        return nullptr;
    }
    Owned<AVCodecContext> ctx(avcodec_alloc_context3(codec));
    Owned<AVPacket> pkt(av_packet_alloc());
    Owned<AVFrame> frame(av_frame_alloc());
    // A header that lied about its size is still held to the limit.
    if (ctx) ctx->max_pixels = kMaxPictureBytes / 4;
    if (!ctx || !pkt || !frame || avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        failure(last, "zyl-mpp: standby %s: decoder open failed", path);
        return nullptr;
    }
    // The packet borrows the file buffer; the loader alone frees it.
    pkt->data = buf;
    pkt->size = int(size);
    int sent = avcodec_send_packet(ctx.get(), pkt.get());
    int got = sent < 0 ? -1 : avcodec_receive_frame(ctx.get(), frame.get());
    pkt->data = nullptr;
    pkt->size = 0;
    if (sent < 0 || got < 0) {
        failure(last, "zyl-mpp: standby %s: decode failed (send=%d recv=%d)", path,
                sent < 0 ? sent : 0, got);
        return nullptr;
    }
    return frame;
}

void make_scaled(std::string &last, ScaledStandby &s, const char *path, Fit fit) {
    std::vector<char> buf = read_picture(last, path);
    if (buf.empty()) return;
    const long size = long(buf.size());
    buf.resize(buf.size() +
               AV_INPUT_BUFFER_PADDING_SIZE);  // zeros libavcodec may read past the end
    Owned<AVFrame> frame =
        decode_picture(last, path, reinterpret_cast<uint8_t *>(buf.data()), size);
    if (!frame) return;
    const double aspect = frame->height > 0 ? double(frame->width) / frame->height : 1.0;
    const Rect d = s.stretch ? Rect{0, 0, s.w, s.h} : fit_dest(s.w, s.h, aspect);
    bool full_range = false;
    const AVPixelFormat fmt = plain_format(AVPixelFormat(frame->format), &full_range);
    Owned<SwsContext> sws(sws_getContext(frame->width, frame->height, fmt, d.w, d.h,
                                         AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws) {
        failure(last, "zyl-mpp: standby %s: cannot scale %dx%d fmt %d → %dx%d BGRA", path,
                frame->width, frame->height, frame->format, d.w, d.h);
        return;
    }
    if (full_range) {
        const int *coefs = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(sws.get(), coefs, 1, coefs, 1, 0, 1 << 16, 1 << 16);
    }
    s.px.assign(size_t(d.w) * d.h * 4, 0);
    uint8_t *dst[4] = {s.px.data()};
    int dst_stride[4] = {d.w * 4};
    int rows =
        sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, dst_stride);
    s.d = d;
    last.clear();
    fprintf(stderr,
            "zyl-mpp: standby %s: %dx%d fmt %d → %dx%d at %d,%d (fit %s), %d rows painted\n", path,
            frame->width, frame->height, frame->format, d.w, d.h, d.x, d.y, fit_word(fit), rows);
}

const ScaledStandby &scaled_for(Standby &sb, int w, int h, Fit fit) {
    const char *path = sb.settings.path.c_str();
    const FileVersion v = version_at(path);
    const bool stretch = fit == Fit::kStretch;
    ScaledStandby *e = nullptr;
    for (ScaledStandby &s : sb.scaled)
        if (s.made && s.w == w && s.h == h && s.stretch == stretch) e = &s;
    if (e && e->version == v) return *e;
    if (!e) {
        e = &sb.scaled[sb.scaled_next];
        sb.scaled_next = (sb.scaled_next + 1) % sb.scaled.size();
    }
    e->version = v, e->w = w, e->h = h, e->stretch = stretch, e->made = true;
    e->px.clear();
    make_scaled(sb.last_failure, *e, path, fit);
    return *e;
}

}  // namespace

void load_standby(Standby &sb, uint8_t *px, uint32_t stride, int w, int h, Fit fit) {
    // Whatever happens below, nothing of an earlier picture or flip stays.
    clear_buffer(px, stride, w, h);
    const ScaledStandby &s = scaled_for(sb, w, h, fit);
    if (s.px.empty()) return;
    for (int y = 0; y < s.d.h; y++)
        memcpy(px + size_t(s.d.y + y) * stride + size_t(s.d.x) * 4, &s.px[size_t(y) * s.d.w * 4],
               size_t(s.d.w) * 4);
}

void paint_standby(Standby &sb, const ConnectInfo &connect, ConnectSwitch &sw, Font *font,
                   uint8_t *px, uint32_t stride, int w, int h, Look look) {
    if (!px) return;
    load_standby(sb, px, stride, w, h, look.fit);
    // The connect screen goes over the picture before the flip mirrors both, so that
    // it reads correctly on a mirrored screen.
    draw_connect(sw, {px, stride, w, h, font}, connect);
    flip_buffer_argb(px, stride, w, h, look.flip);
}

bool repaint_standby(Standby &sb, const ConnectInfo &connect, ConnectSwitch &sw, Font *font,
                     KmsOutput &o, bool video_shown) {
    o.standby_look = o.look;
    if (video_shown) return false;
    paint_standby(sb, connect, sw, font, o.standby.px(), o.standby.pitch, o.mode.hdisplay,
                  o.mode.vdisplay, o.look);
    return true;
}
