// What each display of the virtual card shows: the planes of its CRTC composed over
// black in zpos order, written as PNG pictures named after the connectors.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "sim/vcard.h"

#include <drm_fourcc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace vcard {

namespace {

struct Rgba {
    int r, g, b, a;
};

int clamp8(int v) {
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

// Integer YCbCr -> RGB factors (x256) of a plane's COLOR_ENCODING and COLOR_RANGE.
struct Yuv2Rgb {
    int y, rv, gu, gv, bu, y0, ymax;
};

Yuv2Rgb yuv_factors(uint64_t encoding, uint64_t range) {
    static const double kr[] = {0.299, 0.2126, 0.2627}, kb[] = {0.114, 0.0722, 0.0593};
    double r = kr[encoding > 2 ? 0 : encoding], b = kb[encoding > 2 ? 0 : encoding];
    bool full = range == kRangeFull;
    double ys = full ? 1.0 : 255.0 / 219, cs = full ? 1.0 : 255.0 / 224;
    auto k = [](double v) { return int(std::lround(v * 256)); };
    return {k(ys),
            k(cs * 2 * (1 - r)),
            k(cs * 2 * (1 - b) * b / (1 - r - b)),
            k(cs * 2 * (1 - r) * r / (1 - r - b)),
            k(cs * 2 * (1 - b)),
            full ? 0 : 16,
            255};
}

Rgba yuv_to_rgb(const Yuv2Rgb &m, int y, int u, int v) {
    int c = y - m.y0, d = u - 128, e = v - 128;
    return {clamp8((m.y * c + m.rv * e + 128) >> 8),
            clamp8((m.y * c - m.gu * d - m.gv * e + 128) >> 8),
            clamp8((m.y * c + m.bu * d + 128) >> 8), 255};
}

// Sample k (0 the first) of a row of 10-bit samples, scaled to 8 bits.
unsigned sample8(uint32_t format, const uint8_t *row, uint32_t k) {
    switch (format) {
        case DRM_FORMAT_P010:  // the value in the top ten bits of a 16-bit word
            return unsigned(row[2 * k + 1]);
        case DRM_FORMAT_NV15: {  // no padding: sample k starts at bit 10k
            uint32_t bit = 10 * k;
            unsigned v = unsigned(row[bit / 8] | row[bit / 8 + 1] << 8) >> (bit % 8);
            return (v & 0x3ff) >> 2;
        }
        case DRM_FORMAT_P030: {  // three samples in each 32-bit word
            const uint8_t *w = row + 4 * (k / 3);
            uint32_t v = uint32_t(w[0] | w[1] << 8 | w[2] << 16) | uint32_t(w[3]) << 24;
            return ((v >> (10 * (k % 3))) & 0x3ff) >> 2;
        }
    }
    return row[k];  // NV12
}

// Pixel x of a luma row and of the chroma row beside it (interleaved Cb, Cr).
Rgba yuv_at(const Yuv2Rgb &m, uint32_t format, const uint8_t *luma, const uint8_t *uv, uint32_t x) {
    uint32_t c = x / 2 * 2;
    return yuv_to_rgb(m, int(sample8(format, luma, x)), int(sample8(format, uv, c)),
                      int(sample8(format, uv, c + 1)));
}

// SAND128 columns (128 pixels of NV12, 96 of P030 in each): column c starts at
// c * 128 * ch, and a plane's row r of it at the plane's offset + r * 128.
Rgba fetch_sand(const Yuv2Rgb &m, const Fb &fb, uint32_t x, uint32_t y) {
    uint32_t col_px = fb.format == DRM_FORMAT_P030 ? 96 : 128;
    uint64_t col = uint64_t(x / col_px) * 128 * uint64_t(fourcc_mod_broadcom_param(fb.modifier));
    const uint8_t *luma = fb.bo[0]->map + fb.offsets[0] + col + uint64_t(y) * 128;
    const uint8_t *uv = fb.bo[1]->map + fb.offsets[1] + col + uint64_t(y / 2) * 128;
    return yuv_at(m, fb.format, luma, uv, x % col_px);
}

Rgba fetch(const Yuv2Rgb &m, const Fb &fb, uint32_t x, uint32_t y) {
    if (fb.modifier != DRM_FORMAT_MOD_LINEAR) return fetch_sand(m, fb, x, y);
    const uint8_t *p0 = fb.bo[0]->map + fb.offsets[0] + uint64_t(y) * fb.pitches[0];
    switch (fb.format) {
        case DRM_FORMAT_NV12:
        case DRM_FORMAT_P010:
        case DRM_FORMAT_NV15:
            return yuv_at(m, fb.format, p0,
                          fb.bo[1]->map + fb.offsets[1] + uint64_t(y / 2) * fb.pitches[1], x);
        case DRM_FORMAT_XRGB8888:
            return {p0[x * 4 + 2], p0[x * 4 + 1], p0[x * 4], 255};
        case DRM_FORMAT_ARGB8888:
            return {p0[x * 4 + 2], p0[x * 4 + 1], p0[x * 4], p0[x * 4 + 3]};
        case DRM_FORMAT_XBGR8888:
            return {p0[x * 4], p0[x * 4 + 1], p0[x * 4 + 2], 255};
        case DRM_FORMAT_ABGR8888:
            return {p0[x * 4], p0[x * 4 + 1], p0[x * 4 + 2], p0[x * 4 + 3]};
        case DRM_FORMAT_RGB565: {
            unsigned v = p0[x * 2] | (p0[x * 2 + 1] << 8);
            return {int((v >> 11) & 31) * 255 / 31, int((v >> 5) & 63) * 255 / 63,
                    int(v & 31) * 255 / 31, 255};
        }
    }
    return {0, 0, 0, 255};
}

// Source position (0..1 each way) of a destination position under a plane rotation:
// rotations turn counter-clockwise, reflections mirror the source.
void unrotate(uint64_t rot, double u, double v, double &su, double &sv) {
    switch (rot & DRM_MODE_ROTATE_MASK) {
        case DRM_MODE_ROTATE_90:
            su = 1 - v, sv = u;
            break;
        case DRM_MODE_ROTATE_180:
            su = 1 - u, sv = 1 - v;
            break;
        case DRM_MODE_ROTATE_270:
            su = v, sv = 1 - u;
            break;
        default:
            su = u, sv = v;
    }
    if (rot & DRM_MODE_REFLECT_X) su = 1 - su;
    if (rot & DRM_MODE_REFLECT_Y) sv = 1 - sv;
}

// The plane's "pixel blend mode" over what is below: pre-multiplied adds the colour
// as it is, coverage multiplies it by alpha first, none ignores alpha.
void blend(Rgba c, uint64_t mode, uint8_t *d) {
    if (mode == kBlendNone) c.a = 255;
    int s[3] = {c.r, c.g, c.b};
    for (int i = 0; i < 3; i++) {
        int fg = mode == kBlendPremulti ? s[i] * 255 : s[i] * c.a;
        d[i] = static_cast<uint8_t>(clamp8((fg + d[i] * (255 - c.a)) / 255));
    }
}

// Nearest-sample scaling: a sample point in the middle of an area of one colour gives
// exactly that colour, which is what tests read back.
void draw_plane(std::vector<uint8_t> &rgb, int w, int h, const Fb &fb, const PlaneState &ps) {
    if (!ps.crtc_w || !ps.crtc_h || !ps.src_w || !ps.src_h) return;
    double sx = ps.src_x / 65536.0, sy = ps.src_y / 65536.0;
    double sw = ps.src_w / 65536.0, sh = ps.src_h / 65536.0;
    int64_t x0 = std::max<int64_t>(0, ps.crtc_x), y0 = std::max<int64_t>(0, ps.crtc_y);
    int64_t x1 = std::min<int64_t>(w, int64_t(ps.crtc_x) + ps.crtc_w);
    int64_t y1 = std::min<int64_t>(h, int64_t(ps.crtc_y) + ps.crtc_h);
    uint32_t maxx = static_cast<uint32_t>(std::ceil(sx + sw)) - 1;
    uint32_t maxy = static_cast<uint32_t>(std::ceil(sy + sh)) - 1;
    const Yuv2Rgb m = yuv_factors(ps.encoding, ps.range);
    for (int64_t dy = y0; dy < y1; dy++)
        for (int64_t dx = x0; dx < x1; dx++) {
            double su, sv;
            unrotate(ps.rotation, (dx - ps.crtc_x + 0.5) / ps.crtc_w,
                     (dy - ps.crtc_y + 0.5) / ps.crtc_h, su, sv);
            uint32_t px = std::min(maxx, static_cast<uint32_t>(sx + su * sw));
            uint32_t py = std::min(maxy, static_cast<uint32_t>(sy + sv * sh));
            blend(fetch(m, fb, px, py), ps.blend, &rgb[(size_t(dy) * w + dx) * 3]);
        }
}

int stack_rank(const Plane &p) {
    if (p.has_zpos) return static_cast<int>(p.st.zpos);
    return p.type == DRM_PLANE_TYPE_PRIMARY ? 0 : p.type == DRM_PLANE_TYPE_OVERLAY ? 1 : 2;
}

int write_png(const std::string &path, const std::vector<uint8_t> &rgb, int w, int h) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) return -1;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    int rc = -1;
    if (ctx && frame && pkt) {
        ctx->width = w;
        ctx->height = h;
        ctx->pix_fmt = AV_PIX_FMT_RGB24;
        ctx->time_base = {1, 25};
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = w;
        frame->height = h;
        if (avcodec_open2(ctx, codec, nullptr) >= 0 && av_frame_get_buffer(frame, 0) >= 0) {
            for (int y = 0; y < h; y++)
                std::copy_n(&rgb[size_t(y) * w * 3], size_t(w) * 3,
                            frame->data[0] + size_t(y) * frame->linesize[0]);
            if (avcodec_send_frame(ctx, frame) >= 0 && avcodec_receive_packet(ctx, pkt) >= 0) {
                if (FILE *f = fopen(path.c_str(), "wb")) {
                    rc = fwrite(pkt->data, 1, pkt->size, f) == size_t(pkt->size) ? 0 : -1;
                    if (fclose(f) != 0) rc = -1;
                }
            }
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return rc;
}

}  // namespace

int compose_connector(const Connector &c, std::vector<uint8_t> &rgb, int &w, int &h) {
    State &s = st();
    const Crtc *crtc = find_crtc(c.crtc);
    if (!crtc || !crtc->active) return -1;
    w = crtc->mode.hdisplay;
    h = crtc->mode.vdisplay;
    rgb.assign(size_t(w) * h * 3, 0);
    std::vector<const Plane *> planes;
    for (const auto &p : s.card.planes)
        if (p.st.crtc == crtc->id && p.st.fb && s.fbs.count(p.st.fb) && !plane_too_small(p, p.st))
            planes.push_back(&p);
    std::stable_sort(planes.begin(), planes.end(), [](const Plane *a, const Plane *b) {
        if (stack_rank(*a) != stack_rank(*b)) return stack_rank(*a) < stack_rank(*b);
        return (a->type == DRM_PLANE_TYPE_PRIMARY) > (b->type == DRM_PLANE_TYPE_PRIMARY);
    });
    for (const Plane *p : planes) draw_plane(rgb, w, h, s.fbs.at(p->st.fb), p->st);
    return 0;
}

int write_pngs_locked(const std::string &dir) {
    run_script();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    int n = 0;
    for (const auto &c : st().card.connectors) {
        std::vector<uint8_t> rgb;
        int w, h;
        if (!c.connected || compose_connector(c, rgb, w, h) != 0) continue;
        std::string path = dir + "/" + c.name + ".png";
        if (write_png(path, rgb, w, h) != 0) {
            fprintf(stderr, "zyl-sim: cannot write %s\n", path.c_str());
            return -1;
        }
        n++;
    }
    return n;
}

}  // namespace vcard
