// The virtual hardware decoder: the program must meet it exactly as it meets a V4L2
// decoder on the board (one negotiation, NV12 in one DMA-BUF-like object), the
// pictures must really be the stream's, and each switchable fault must appear.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <drm_fourcc.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "decode/decode.h"
#include "sim/sim.h"
#include "tests/test_util.h"

extern "C" {
#include <libavutil/hwcontext_drm.h>
#include <libavutil/opt.h>
}

namespace {

using Bytes = std::vector<uint8_t>;

// One picture as tight NV12: width x height luma, then interleaved chroma.
struct Picture {
    int w = 0, h = 0;
    Bytes y, uv;
};

std::vector<Bytes> stream_units(const std::string &name, AVCodecID id) {
    return cut_units(read_file(stream_path(name)), id);
}

int send_unit(AVCodecContext *ctx, const Bytes &unit) {
    AVPacket *pkt = av_packet_alloc();
    pkt->data = const_cast<uint8_t *>(unit.data());
    pkt->size = int(unit.size());
    int r = avcodec_send_packet(ctx, pkt);
    av_packet_free(&pkt);
    return r;
}

std::vector<AVFrame *> receive_all(AVCodecContext *ctx) {
    std::vector<AVFrame *> frames;
    for (;;) {
        AVFrame *f = av_frame_alloc();
        if (avcodec_receive_frame(ctx, f) != 0) {
            av_frame_free(&f);
            return frames;
        }
        frames.push_back(f);
    }
}

// Sends units [from, to) and returns every frame they gave.
std::vector<AVFrame *> decode_units(AVCodecContext *ctx, const std::vector<Bytes> &units,
                                    size_t from, size_t to) {
    std::vector<AVFrame *> frames;
    for (size_t i = from; i < to && i < units.size(); i++) {
        EXPECT_EQ(send_unit(ctx, units[i]), 0) << "unit " << i;
        for (AVFrame *f : receive_all(ctx)) frames.push_back(f);
    }
    return frames;
}

// End of input: the decoder gives up the pictures it held back for reordering.
std::vector<AVFrame *> finish(AVCodecContext *ctx) {
    EXPECT_EQ(avcodec_send_packet(ctx, nullptr), 0);
    return receive_all(ctx);
}

void free_all(std::vector<AVFrame *> &frames) {
    for (AVFrame *&f : frames) av_frame_free(&f);
    frames.clear();
}

Picture from_planes(int w, int h, const uint8_t *y, int y_stride, const uint8_t *uv,
                    int uv_stride) {
    Picture p{w, h, {}, {}};
    for (int r = 0; r < h; r++) p.y.insert(p.y.end(), y + r * y_stride, y + r * y_stride + w);
    int cw = (w + 1) / 2 * 2;
    for (int r = 0; r < (h + 1) / 2; r++)
        p.uv.insert(p.uv.end(), uv + r * uv_stride, uv + r * uv_stride + cw);
    return p;
}

Picture from_yuv420p(const AVFrame *f) {
    Picture p{f->width, f->height, {}, {}};
    for (int r = 0; r < f->height; r++)
        p.y.insert(p.y.end(), f->data[0] + r * f->linesize[0],
                   f->data[0] + r * f->linesize[0] + f->width);
    for (int r = 0; r < (f->height + 1) / 2; r++)
        for (int x = 0; x < (f->width + 1) / 2; x++) {
            p.uv.push_back(f->data[1][r * f->linesize[1] + x]);
            p.uv.push_back(f->data[2][r * f->linesize[2] + x]);
        }
    return p;
}

const AVDRMFrameDescriptor *desc_of(const AVFrame *f) {
    return reinterpret_cast<const AVDRMFrameDescriptor *>(f->data[0]);
}

// Reads a DRM PRIME frame the way a display importer would: through its descriptor.
Picture from_prime(const AVFrame *f) {
    const AVDRMFrameDescriptor *d = desc_of(f);
    const uint8_t *base[2] = {};
    for (int i = 0; i < d->nb_objects && i < 2; i++) {
        void *map = mmap(nullptr, d->objects[i].size, PROT_READ, MAP_SHARED, d->objects[i].fd, 0);
        base[i] = map == MAP_FAILED ? nullptr : static_cast<const uint8_t *>(map);
    }
    const AVDRMPlaneDescriptor *pl = d->layers[0].planes;
    const uint8_t *y = base[pl[0].object_index], *uv = base[pl[1].object_index];
    Picture p = y && uv ? from_planes(f->width, f->height, y + pl[0].offset, int(pl[0].pitch),
                                      uv + pl[1].offset, int(pl[1].pitch))
                        : Picture{};
    for (int i = 0; i < d->nb_objects && i < 2; i++)
        if (base[i]) munmap(const_cast<uint8_t *>(base[i]), d->objects[i].size);
    return p;
}

// Every picture of the stream from the plain software decoder, with the program's
// flags: the truth the virtual decoder is held to.
std::vector<AVFrame *> software_pictures(const std::string &name, AVCodecID id) {
    sim_dec_reset();  // every codec is plain software again
    const AVCodec *codec = avcodec_find_decoder(id);
    AVCodecContext *ctx = new_decoder_ctx(codec, id == AV_CODEC_ID_HEVC ? "hevc_sw" : "h264");
    ctx->get_format = avcodec_default_get_format;
    EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    auto units = stream_units(name, id);
    auto frames = decode_units(ctx, units, 0, units.size());
    for (AVFrame *f : finish(ctx)) frames.push_back(f);
    avcodec_free_context(&ctx);
    return frames;
}

const std::vector<Picture> &reference(const std::string &name, AVCodecID id) {
    static std::map<std::string, std::vector<Picture>> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    auto frames = software_pictures(name, id);
    std::vector<Picture> pics;
    for (AVFrame *f : frames) {
        EXPECT_EQ(f->format, AV_PIX_FMT_YUV420P);
        pics.push_back(from_yuv420p(f));
    }
    free_all(frames);
    return cache[name] = pics;
}

int open_fds() {
    int n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator("/proc/self/fd")) n++;
    return n;
}

// The program's callback, watched: what it was offered and what it chose.
std::vector<std::vector<AVPixelFormat>> g_offers;
AVPixelFormat watched_get_drm_prime(AVCodecContext *ctx, const AVPixelFormat *fmts) {
    std::vector<AVPixelFormat> offer;
    for (const AVPixelFormat *p = fmts; *p != AV_PIX_FMT_NONE; p++) offer.push_back(*p);
    g_offers.push_back(offer);
    return get_drm_prime(ctx, fmts);
}

// A decoder as start-up makes it, for a board decoder name.
AVCodecContext *open_board_decoder(const char *name, const AVCodec **codec_out = nullptr) {
    const AVCodec *codec = avcodec_find_decoder_by_name(name);
    if (!codec) return nullptr;
    if (codec_out) *codec_out = codec;
    AVCodecContext *ctx = new_decoder_ctx(codec, name);
    if (!ctx) return nullptr;
    ctx->get_format = watched_get_drm_prime;
    if (avcodec_open2(ctx, codec, nullptr) < 0) avcodec_free_context(&ctx);
    return ctx;
}

constexpr const char *kSimVars[] = {
    "ZYL_SIM_DEC_STALL_AFTER", "ZYL_SIM_DEC_STALL_REPEAT", "ZYL_SIM_DEC_BUSY_EVERY",
    "ZYL_SIM_DEC_BUSY_RUN",    "ZYL_SIM_DEC_FAIL_OPEN",    "ZYL_SIM_DEC_NO_PRIME",
    "ZYL_SIM_DRM_DEVICE_FAIL", "ZYL_KMS_DRM_DEVICE",       "ZYL_KMS_DECODER",
    "ZYL_SIM_DEC_PIPELINE",    "ZYL_SIM_DEC_POOL",         "ZYL_SIM_DEC_SOFTWARE",
    "ZYL_SIM_DEC_REOPEN",      "ZYL_SIM_DEC_LAYOUT",       "ZYL_SIM_CARD",
};

class Vdec : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *v : kSimVars) unsetenv(v);
        sim_dec_reset();
        g_offers.clear();
        live_ = sim_dec_stats();
        h264_ = stream_units("h264_nosei.h264", AV_CODEC_ID_H264);
        ASSERT_EQ(h264_.size(), 60u);
    }
    void TearDown() override {
        if (HasFailure()) return;  // an early failure leaves its frames behind
        EXPECT_EQ(sim_dec_stats().live_frames, live_.live_frames) << "a frame was never released";
        EXPECT_EQ(sim_dec_stats().live_devices, live_.live_devices)
            << "a device was never released";
        for (const char *v : kSimVars) unsetenv(v);
    }
    // Sets variables, then lets the sim read them as a new process would.
    static void with_env(std::initializer_list<std::pair<const char *, const char *>> vars) {
        for (auto [k, v] : vars) setenv(k, v, 1);
        sim_dec_reset();
    }
    std::vector<Bytes> h264_;
    SimDecStats live_;  // what earlier tests of this process left alive
};

TEST_F(Vdec, NegotiatesPrimeOnceAndHandsOutTheStreamAsNv12InOneMemfd) {
    const auto &ref = reference("h264_nosei.h264", AV_CODEC_ID_H264);
    int fds_before = open_fds();
    testing::internal::CaptureStderr();
    AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
    ASSERT_TRUE(ctx);
    auto frames = decode_units(ctx, h264_, 0, h264_.size());
    std::string err = testing::internal::GetCapturedStderr();

    // One negotiation, with the V4L2 list, however often the stream's SPS is parsed.
    ASSERT_EQ(g_offers.size(), 1u);
    EXPECT_EQ(g_offers[0], (std::vector{AV_PIX_FMT_DRM_PRIME, AV_PIX_FMT_NV12}));
    EXPECT_EQ(count_lines(err, "did not offer DRM_PRIME"), 0) << err;
    ASSERT_EQ(frames.size(), ref.size());
    EXPECT_TRUE(frames[0]->key_frame);
    EXPECT_TRUE(frames[30]->key_frame);
    EXPECT_FALSE(frames[1]->key_frame);
    EXPECT_EQ(sim_dec_stats().live_frames, live_.live_frames + 60);

    // A rebuild frees the context while its pictures are still on screen.
    avcodec_free_context(&ctx);
    EXPECT_TRUE(from_prime(frames[59]).y == ref[59].y);
    EXPECT_EQ(open_fds(), fds_before + 60);
    free_all(frames);
    EXPECT_EQ(open_fds(), fds_before);
    EXPECT_EQ(sim_dec_stats().live_frames, live_.live_frames);
}

// Every picture, of either size across a resolution change, is the stream's, as NV12
// in one linear object with 64-byte aligned rows and the chroma right after the luma.
TEST_F(Vdec, ResolutionChangeGivesPrimeFramesOfBothSizes) {
    const auto &ref = reference("h264_reschange.h264", AV_CODEC_ID_H264);
    auto units = stream_units("h264_reschange.h264", AV_CODEC_ID_H264);
    AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
    ASSERT_TRUE(ctx);
    auto frames = decode_units(ctx, units, 0, units.size());
    avcodec_free_context(&ctx);
    ASSERT_EQ(frames.size(), 90u);
    ASSERT_EQ(ref.size(), 90u);
    for (size_t i = 0; i < frames.size(); i++) {
        const AVFrame *f = frames[i];
        const int w = i < 60 ? 320 : 480, h = i < 60 ? 240 : 272;
        ASSERT_EQ(f->format, AV_PIX_FMT_DRM_PRIME);
        ASSERT_EQ(f->width, w) << i;
        ASSERT_EQ(f->height, h) << i;
        const AVDRMFrameDescriptor *d = desc_of(f);
        ASSERT_EQ(d->nb_objects, 1);
        ASSERT_EQ(d->nb_layers, 1);
        const AVDRMLayerDescriptor &l = d->layers[0];
        EXPECT_EQ(l.format, DRM_FORMAT_NV12);
        ASSERT_EQ(l.nb_planes, 2);
        EXPECT_EQ(l.planes[0].object_index, 0);
        EXPECT_EQ(l.planes[1].object_index, 0);
        EXPECT_EQ(l.planes[0].offset, 0);
        EXPECT_EQ(l.planes[0].pitch % 64, 0);
        EXPECT_GE(l.planes[0].pitch, w);
        EXPECT_EQ(l.planes[1].pitch, l.planes[0].pitch);
        EXPECT_EQ(l.planes[1].offset, l.planes[0].pitch * h);
        EXPECT_EQ(d->objects[0].format_modifier, DRM_FORMAT_MOD_LINEAR);
        EXPECT_GE(d->objects[0].size, size_t(l.planes[1].offset + l.planes[0].pitch * h / 2));
        Picture p = from_prime(f);
        ASSERT_TRUE(p.y == ref[i].y && p.uv == ref[i].uv) << "picture " << i << " differs";
    }
    EXPECT_EQ(g_offers.size(), 1u);
    free_all(frames);
}

// A SAND128 picture read back into tight NV12: 128-byte columns of ch rows each, the
// luma rows from the top of each column, the chroma rows from the chroma offset.
Picture from_sand(const AVFrame *f) {
    const AVDRMFrameDescriptor *d = desc_of(f);
    void *map = mmap(nullptr, d->objects[0].size, PROT_READ, MAP_SHARED, d->objects[0].fd, 0);
    if (map == MAP_FAILED) return {};
    auto *base = static_cast<const uint8_t *>(map);
    size_t col = 128 * size_t(fourcc_mod_broadcom_param(d->objects[0].format_modifier));
    size_t uv_off = size_t(d->layers[0].planes[1].offset);
    Picture p{f->width, f->height, {}, {}};
    for (int r = 0; r < f->height; r++)
        for (int x = 0; x < f->width; x++) p.y.push_back(base[x / 128 * col + r * 128 + x % 128]);
    for (int r = 0; r < (f->height + 1) / 2; r++)
        for (int x = 0; x < (f->width + 1) / 2 * 2; x++)
            p.uv.push_back(base[uv_off + x / 128 * col + r * 128 + x % 128]);
    munmap(map, d->objects[0].size);
    return p;
}

// Luma and chroma in two objects, MPP's 16-aligned strides with the chroma after the
// aligned luma, and Broadcom's SAND128 columns.
TEST_F(Vdec, OtherBuffersLayoutsHoldTheSamePictures) {
    const auto &ref = reference("h264_reschange.h264", AV_CODEC_ID_H264);
    auto units = stream_units("h264_reschange.h264", AV_CODEC_ID_H264);
    for (const char *layout : {"planes", "mpp", "sand128"}) {
        SCOPED_TRACE(layout);
        with_env({{"ZYL_SIM_DEC_LAYOUT", layout}});
        AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
        ASSERT_TRUE(ctx);
        // Both sizes (480 wide from picture 60: no multiple of 64, so the strides differ).
        auto frames = decode_units(ctx, units, 0, 65);
        avcodec_free_context(&ctx);
        ASSERT_EQ(frames.size(), 65u);
        for (size_t i = 55; i < frames.size(); i++) {
            const AVFrame *f = frames[i];
            bool sand = strcmp(layout, "sand128") == 0;
            Picture p = sand ? from_sand(f) : from_prime(f);
            ASSERT_TRUE(p.y == ref[i].y && p.uv == ref[i].uv) << "picture " << i << " differs";
            const AVDRMFrameDescriptor *d = desc_of(f);
            const AVDRMPlaneDescriptor *pl = d->layers[0].planes;
            uint64_t mod = d->objects[0].format_modifier;
            EXPECT_EQ(fourcc_mod_broadcom_mod(mod),
                      sand ? DRM_FORMAT_MOD_BROADCOM_SAND128 : DRM_FORMAT_MOD_LINEAR);
            if (sand) {
                ASSERT_EQ(d->nb_objects, 1);
                EXPECT_GE(size_t(fourcc_mod_broadcom_param(mod)) * 128,
                          size_t(pl[1].offset) + size_t(f->height + 1) / 2 * 128);
            } else if (strcmp(layout, "planes") == 0) {
                ASSERT_EQ(d->nb_objects, 2);
                EXPECT_EQ(pl[1].object_index, 1);
                EXPECT_EQ(pl[1].offset, 0);
            } else {
                ASSERT_EQ(d->nb_objects, 1);
                EXPECT_EQ(pl[0].pitch, (f->width + 15) / 16 * 16);
                EXPECT_EQ(pl[1].offset, pl[0].pitch * ((f->height + 15) / 16 * 16));
            }
        }
        free_all(frames);
    }
}

// A 10-bit picture as samples: luma rows, then rows of interleaved Cb, Cr.
struct Samples {
    int w = 0, h = 0;
    std::vector<uint16_t> y, uv;
    bool operator==(const Samples &) const = default;
};

// The software decoder's Main10 pictures.
std::vector<Samples> reference10(const std::string &name) {
    auto frames = software_pictures(name, AV_CODEC_ID_HEVC);
    std::vector<Samples> pics;
    for (AVFrame *f : frames) {
        EXPECT_EQ(f->format, AV_PIX_FMT_YUV420P10LE);
        Samples s{f->width, f->height, {}, {}};
        auto at = [&](int plane, int r, int x) {
            return reinterpret_cast<const uint16_t *>(f->data[plane] + r * f->linesize[plane])[x];
        };
        for (int r = 0; r < f->height; r++)
            for (int x = 0; x < f->width; x++) s.y.push_back(at(0, r, x));
        for (int r = 0; r < (f->height + 1) / 2; r++)
            for (int x = 0; x < (f->width + 1) / 2; x++) {
                s.uv.push_back(at(1, r, x));
                s.uv.push_back(at(2, r, x));
            }
        pics.push_back(std::move(s));
    }
    free_all(frames);
    return pics;
}

// Sample k of a row as drm_fourcc.h describes the formats: P010 16-bit little-endian
// words with the value in bits 15:6; NV15 four samples in 40 bits, the first lowest;
// P030 three samples in bits 29:0 of each 32-bit little-endian word.
uint16_t sample_of(uint32_t format, const uint8_t *row, int k) {
    if (format == DRM_FORMAT_P010) return uint16_t((row[2 * k] | row[2 * k + 1] << 8) >> 6);
    const uint8_t *b = format == DRM_FORMAT_NV15 ? row + k / 4 * 5 : row + k / 3 * 4;
    uint64_t v = 0;
    for (int i = format == DRM_FORMAT_NV15 ? 4 : 3; i >= 0; i--) v = v << 8 | b[i];
    return uint16_t(v >> (10 * (format == DRM_FORMAT_NV15 ? k % 4 : k % 3)) & 0x3ff);
}

// A 10-bit frame read back through its descriptor; P030 in SAND128 columns of 96
// pixels, each 128 bytes wide and ch rows high.
Samples from_prime10(const AVFrame *f) {
    const AVDRMFrameDescriptor *d = desc_of(f);
    const AVDRMLayerDescriptor &l = d->layers[0];
    const uint8_t *base[2] = {};
    for (int i = 0; i < d->nb_objects && i < 2; i++) {
        void *map = mmap(nullptr, d->objects[i].size, PROT_READ, MAP_SHARED, d->objects[i].fd, 0);
        base[i] = map == MAP_FAILED ? nullptr : static_cast<const uint8_t *>(map);
    }
    const uint64_t mod = d->objects[0].format_modifier;
    const size_t col = 128 * size_t(fourcc_mod_broadcom_param(mod));
    const bool sand = mod != DRM_FORMAT_MOD_LINEAR;
    Samples s{f->width, f->height, {}, {}};
    auto read_plane = [&](int i, int rows, int n, std::vector<uint16_t> &out) {
        const uint8_t *p = base[l.planes[i].object_index] + l.planes[i].offset;
        for (int r = 0; r < rows; r++)
            for (int k = 0; k < n; k++) {
                // In a column, pixel x / 2's pair of chroma samples sits where pixel x's
                // luma sample does.
                int px = i == 0 ? k : k / 2 * 2;
                out.push_back(
                    sand ? sample_of(l.format, p + px / 96 * col + r * 128, k - px / 96 * 96)
                         : sample_of(l.format, p + r * l.planes[i].pitch, k));
            }
    };
    if (base[0] && (d->nb_objects == 1 || base[1])) {
        read_plane(0, f->height, f->width, s.y);
        read_plane(1, (f->height + 1) / 2, (f->width + 1) / 2 * 2, s.uv);
    }
    for (int i = 0; i < d->nb_objects && i < 2; i++)
        if (base[i]) munmap(const_cast<uint8_t *>(base[i]), d->objects[i].size);
    return s;
}

// Main10 comes out in the 10-bit packing of the decoder family the layout stands for,
// holding the stream's samples exactly; software frames stay 8-bit NV12.
TEST_F(Vdec, TenBitPicturesComeOutPackedAsTheirDecoderFamilyExportsThem) {
    const std::vector<Samples> ref = reference10("hevc_main10.h265");
    ASSERT_EQ(ref.size(), 60u);
    auto units = stream_units("hevc_main10.h265", AV_CODEC_ID_HEVC);
    struct Case {
        const char *layout, *pool;
        uint32_t format;
        int objects;
    };
    for (const Case &c :
         {Case{"one", "0", DRM_FORMAT_P010, 1}, Case{"planes", "0", DRM_FORMAT_P010, 2},
          Case{"mpp", "4", DRM_FORMAT_NV15, 1}, Case{"sand128", "4", DRM_FORMAT_P030, 1}}) {
        SCOPED_TRACE(c.layout);
        with_env({{"ZYL_SIM_DEC_LAYOUT", c.layout}, {"ZYL_SIM_DEC_POOL", c.pool}});
        AVCodecContext *ctx = open_board_decoder("hevc_v4l2m2m");
        ASSERT_TRUE(ctx);
        // With a pool, each frame is freed before the next comes, so buffers are reused.
        for (size_t i = 0; i < units.size(); i++) {
            ASSERT_EQ(send_unit(ctx, units[i]), 0);
            for (AVFrame *f : receive_all(ctx)) {
                const AVDRMFrameDescriptor *d = desc_of(f);
                const AVDRMLayerDescriptor &l = d->layers[0];
                const uint64_t mod = d->objects[0].format_modifier;
                EXPECT_EQ(l.format, c.format);
                EXPECT_EQ(d->nb_objects, c.objects);
                if (c.format == DRM_FORMAT_P030) {
                    EXPECT_EQ(fourcc_mod_broadcom_mod(mod), DRM_FORMAT_MOD_BROADCOM_SAND128);
                    // 320 pixels are four columns; chroma rows end within the height.
                    EXPECT_EQ(l.planes[0].pitch, 4 * 128);
                    EXPECT_GE(size_t(fourcc_mod_broadcom_param(mod)) * 128,
                              size_t(l.planes[1].offset) + size_t(f->height + 1) / 2 * 128);
                } else {
                    EXPECT_EQ(mod, DRM_FORMAT_MOD_LINEAR);
                }
                if (c.format == DRM_FORMAT_NV15) {
                    // MPP's strides: the 400 bytes of a row and the height 16-aligned.
                    EXPECT_EQ(l.planes[0].pitch, 400);
                    EXPECT_EQ(l.planes[1].offset, 400 * 240);
                }
                Samples p = from_prime10(f);
                int64_t n = sim_dec_stats().delivered - 1;
                ASSERT_TRUE(n < int64_t(ref.size()) && p == ref[size_t(n)])
                    << "picture " << n << " differs";
                av_frame_free(&f);
            }
        }
        avcodec_free_context(&ctx);
        EXPECT_EQ(sim_dec_stats().delivered, 60);
    }
    with_env({{"ZYL_SIM_DEC_SOFTWARE", "1"}, {"ZYL_SIM_DEC_LAYOUT", "mpp"}});
    AVCodecContext *ctx = open_board_decoder("hevc_v4l2m2m");
    ASSERT_TRUE(ctx);
    auto frames = decode_units(ctx, units, 0, 5);
    avcodec_free_context(&ctx);
    ASSERT_FALSE(frames.empty());
    for (const AVFrame *f : frames) EXPECT_EQ(f->format, AV_PIX_FMT_NV12);
    free_all(frames);
}

// Without DRM PRIME on offer the program warns; a decoder that never negotiates (as
// upstream FFmpeg's V4L2 one) leaves its callback uncalled. Both give software NV12.
TEST_F(Vdec, WithoutPrimeTheProgramGetsSoftwareNv12) {
    const auto &ref = reference("h264_nosei.h264", AV_CODEC_ID_H264);
    for (const char *var : {"ZYL_SIM_DEC_NO_PRIME", "ZYL_SIM_DEC_SOFTWARE"}) {
        SCOPED_TRACE(var);
        unsetenv("ZYL_SIM_DEC_NO_PRIME");
        with_env({{var, "1"}});
        g_offers.clear();
        testing::internal::CaptureStderr();
        AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ctx);
        bool software = strcmp(var, "ZYL_SIM_DEC_SOFTWARE") == 0;
        EXPECT_EQ(count_lines(err, "zyl-mpp: decoder did not offer DRM_PRIME"), software ? 0 : 1)
            << err;
        if (software) {
            EXPECT_TRUE(g_offers.empty());
            EXPECT_EQ(sim_dec_stats().format_calls, 0);
        } else {
            ASSERT_EQ(g_offers.size(), 1u);
            EXPECT_EQ(g_offers[0], std::vector{AV_PIX_FMT_NV12});
        }

        auto frames = decode_units(ctx, h264_, 0, 10);
        avcodec_free_context(&ctx);
        ASSERT_EQ(frames.size(), 10u);
        for (size_t i = 0; i < frames.size(); i++) {
            const AVFrame *f = frames[i];
            ASSERT_EQ(f->format, AV_PIX_FMT_NV12);
            Picture p = from_planes(f->width, f->height, f->data[0], f->linesize[0], f->data[1],
                                    f->linesize[1]);
            ASSERT_TRUE(p.y == ref[i].y && p.uv == ref[i].uv) << "picture " << i << " differs";
        }
        EXPECT_EQ(sim_dec_stats().live_frames, live_.live_frames) << "NV12 frames use no memfd";
        free_all(frames);
    }
}

TEST_F(Vdec, BoardNamesAreVirtualOthersAreLeftAlone) {
    struct Case {
        const char *name;
        AVCodecID id;
    };
    for (Case c : {Case{"h264_v4l2m2m", AV_CODEC_ID_H264}, Case{"hevc_v4l2m2m", AV_CODEC_ID_HEVC},
                   Case{"h264_rkmpp", AV_CODEC_ID_H264}, Case{"hevc_rkmpp", AV_CODEC_ID_HEVC},
                   Case{"h265_rkmpp", AV_CODEC_ID_HEVC}}) {
        SCOPED_TRACE(c.name);
        sim_dec_reset();
        g_offers.clear();
        const AVCodec *codec = nullptr;
        AVCodecContext *ctx = open_board_decoder(c.name, &codec);
        ASSERT_TRUE(ctx);
        EXPECT_EQ(codec->id, c.id);
        EXPECT_EQ(g_offers.size(), 1u);
        EXPECT_EQ(sim_dec_stats().opens, 1);
        avcodec_free_context(&ctx);
    }
    EXPECT_EQ(avcodec_find_decoder_by_name("nosuch"), nullptr);
    // Plain "h264" stays software: reference() above takes its YUV420P pictures.
}

TEST_F(Vdec, HevcRequestPathNeedsTheDrmDevice) {
    const auto &ref = reference("hevc.h265", AV_CODEC_ID_HEVC);
    auto units = stream_units("hevc.h265", AV_CODEC_ID_HEVC);
    sim_dec_reset();
    int fds_before = open_fds();
    const AVCodec *codec = avcodec_find_decoder_by_name("hevc");
    ASSERT_TRUE(codec);
    EXPECT_EQ(codec->id, AV_CODEC_ID_HEVC);

    AVCodecContext *bare = avcodec_alloc_context3(codec);
    EXPECT_EQ(avcodec_open2(bare, codec, nullptr), AVERROR(EINVAL));
    avcodec_free_context(&bare);

    AVCodecContext *ctx = new_decoder_ctx(codec, "hevc");
    ASSERT_TRUE(ctx);
    EXPECT_EQ(sim_dec_stats().live_devices, 1);
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    auto frames = decode_units(ctx, units, 0, units.size());
    for (AVFrame *f : finish(ctx)) frames.push_back(f);
    avcodec_free_context(&ctx);
    ASSERT_EQ(frames.size(), 60u);
    for (size_t i = 0; i < frames.size(); i++) {
        ASSERT_EQ(frames[i]->format, AV_PIX_FMT_DRM_PRIME);
        Picture p = from_prime(frames[i]);
        ASSERT_TRUE(p.y == ref[i].y && p.uv == ref[i].uv) << "picture " << i << " differs";
    }
    free_all(frames);
    EXPECT_EQ(open_fds(), fds_before);
}

TEST_F(Vdec, FallsSilentAfterNFramesUntilFlushed) {
    // How many frames units [from, to) gave, and whether the first is a keyframe.
    auto decoded = [&](AVCodecContext *ctx, size_t from, size_t to) {
        auto frames = decode_units(ctx, h264_, from, to);
        std::string got = std::to_string(frames.size()) +
                          (!frames.empty() && frames[0]->key_frame ? " from a keyframe" : "");
        free_all(frames);
        return got;
    };
    with_env({{"ZYL_SIM_DEC_STALL_AFTER", "10"}});
    AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
    ASSERT_TRUE(ctx);
    EXPECT_EQ(decoded(ctx, 0, 30), "10 from a keyframe");
    EXPECT_EQ(sim_dec_stats().discarded, 20);
    avcodec_flush_buffers(ctx);
    EXPECT_EQ(decoded(ctx, 30, 60), "30 from a keyframe") << "a flushed decoder decodes again";
    avcodec_free_context(&ctx);

    // A dead decoder: silent again after every flush and in every new context.
    with_env({{"ZYL_SIM_DEC_STALL_REPEAT", "1"}});
    ctx = open_board_decoder("h264_v4l2m2m");
    EXPECT_EQ(decoded(ctx, 0, 30), "10 from a keyframe");
    avcodec_flush_buffers(ctx);
    EXPECT_EQ(decoded(ctx, 30, 60), "10 from a keyframe");
    avcodec_free_context(&ctx);
    ctx = open_board_decoder("h264_v4l2m2m");
    EXPECT_EQ(decoded(ctx, 0, 30), "10 from a keyframe");
    avcodec_free_context(&ctx);
    EXPECT_EQ(sim_dec_stats().stalls, 3);
}

TEST_F(Vdec, BusyRefusesEveryNthSendWithoutTakingThePacket) {
    with_env({{"ZYL_SIM_DEC_BUSY_EVERY", "7"}});
    const auto &ref = reference("h264_nosei.h264", AV_CODEC_ID_H264);
    sim_dec_reset();
    AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
    ASSERT_TRUE(ctx);
    std::vector<int> refused;
    std::vector<AVFrame *> frames;
    int call = 0;
    for (const Bytes &u : h264_) {
        while (call++, send_unit(ctx, u) == AVERROR(EAGAIN)) refused.push_back(call);
        for (AVFrame *f : receive_all(ctx)) frames.push_back(f);
    }
    avcodec_free_context(&ctx);
    // 60 units and a retry for each refusal: 68 calls.
    EXPECT_EQ(refused, (std::vector{7, 14, 21, 28, 35, 42, 49, 56, 63}));
    // A refused packet that had been consumed anyway would show up as a wrong picture.
    ASSERT_EQ(frames.size(), 60u);
    EXPECT_TRUE(from_prime(frames[59]).y == ref[59].y);
    free_all(frames);
}

TEST_F(Vdec, TheNthOpenFails) {
    auto opens = [] {
        std::string ok;
        for (int i = 0; i < 4; i++) {
            AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
            ok += ctx ? 'o' : 'x';
            avcodec_free_context(&ctx);
        }
        return ok;
    };
    with_env({{"ZYL_SIM_DEC_FAIL_OPEN", "2"}});
    EXPECT_EQ(opens(), "oxoo") << "the first rebuilt decoder fails";
    with_env({{"ZYL_SIM_DEC_FAIL_OPEN", "2,3"}});
    EXPECT_EQ(opens(), "oxxo");
}

// A picture comes out N packets after its own; the end-of-stream packet lets the held
// ones out, then the decoder ends. A program that stops receiving fills its input.
TEST_F(Vdec, PipelineHoldsPicturesBackUntilEndOfStream) {
    with_env({{"ZYL_SIM_DEC_PIPELINE", "3"}});
    AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
    ASSERT_TRUE(ctx);
    std::string got;
    for (size_t i = 0; i < 6; i++) {
        EXPECT_EQ(send_unit(ctx, h264_[i]), 0);
        auto frames = receive_all(ctx);
        got += std::to_string(frames.size());
        free_all(frames);
    }
    EXPECT_EQ(got, "000111");
    auto rest = finish(ctx);
    EXPECT_EQ(rest.size(), 3u);
    free_all(rest);
    AVFrame *f = av_frame_alloc();
    EXPECT_EQ(avcodec_receive_frame(ctx, f), AVERROR_EOF);
    av_frame_free(&f);
    EXPECT_EQ(sim_dec_stats().held_max, 4);

    // Flushed, it takes input again; never drained, it takes N + 3 packets, no more.
    avcodec_flush_buffers(ctx);
    size_t taken = 0;
    while (taken < 20 && send_unit(ctx, h264_[taken]) == 0) taken++;
    EXPECT_EQ(taken, 6u);
    avcodec_free_context(&ctx);
}

ino_t frame_ino(const AVFrame *f) {
    struct stat sb;
    return fstat(desc_of(f)->objects[0].fd, &sb) == 0 ? sb.st_ino : 0;
}

// The pool's buffers come back when the program frees a frame, and the next picture
// is written into one of them; while the program holds them all, nothing comes out.
TEST_F(Vdec, PoolRecyclesItsBuffersAndWaitsWhileAllAreHeld) {
    with_env({{"ZYL_SIM_DEC_POOL", "3"}});
    const auto &ref = reference("h264_nosei.h264", AV_CODEC_ID_H264);
    sim_dec_reset();
    AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
    ASSERT_TRUE(ctx);
    int64_t n = 0;
    EXPECT_EQ(av_opt_get_int(ctx, "num_capture_buffers", AV_OPT_SEARCH_CHILDREN, &n), 0);
    EXPECT_EQ(n, 3);

    auto held = decode_units(ctx, h264_, 0, 3);
    ASSERT_EQ(held.size(), 3u);
    EXPECT_EQ(send_unit(ctx, h264_[3]), 0);
    EXPECT_TRUE(receive_all(ctx).empty());
    EXPECT_GE(sim_dec_stats().pool_waits, 1);
    std::set<ino_t> inodes;
    for (AVFrame *f : held) inodes.insert(frame_ino(f));
    av_frame_free(&held[1]);
    auto next = receive_all(ctx);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(inodes.count(frame_ino(next[0])), 1u) << "a new buffer instead of a recycled one";
    EXPECT_TRUE(from_prime(next[0]).y == ref[3].y);
    free_all(next);
    free_all(held);

    for (size_t i = 4; i < h264_.size(); i++) {
        auto frames = decode_units(ctx, h264_, i, i + 1);
        for (AVFrame *f : frames) {
            inodes.insert(frame_ino(f));
            ASSERT_TRUE(from_prime(f).y == ref[i].y) << "picture " << i;
        }
        free_all(frames);
    }
    EXPECT_EQ(inodes.size(), 3u);
    avcodec_free_context(&ctx);

    // Unset, a V4L2 decoder tells FFmpeg's default; MPP decoders have no such option.
    with_env({{"ZYL_SIM_DEC_POOL", ""}});
    for (auto [name, want] :
         {std::pair{"h264_v4l2m2m", 0}, {"h264_rkmpp", AVERROR_OPTION_NOT_FOUND}}) {
        ctx = open_board_decoder(name);
        ASSERT_TRUE(ctx);
        n = 0;
        EXPECT_EQ(av_opt_get_int(ctx, "num_capture_buffers", AV_OPT_SEARCH_CHILDREN, &n), want);
        EXPECT_EQ(n, want == 0 ? 20 : 0);
        avcodec_free_context(&ctx);
    }

    // A board file's decoder line sets the defaults; the variables still win.
    std::string card = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vdec-board-" +
                       std::to_string(getpid()) + ".card";
    write_file(card, read_file(board_path("two-display")) + "decoder v4l2 pool 5 pipeline 1\n");
    for (auto [pool, want] : {std::pair{"", 5}, {"7", 7}}) {
        with_env({{"ZYL_SIM_CARD", card.c_str()}, {"ZYL_SIM_DEC_POOL", pool}});
        ctx = open_board_decoder("h264_v4l2m2m");
        ASSERT_TRUE(ctx);
        EXPECT_EQ(av_opt_get_int(ctx, "num_capture_buffers", AV_OPT_SEARCH_CHILDREN, &n), 0);
        EXPECT_EQ(n, want);
        avcodec_free_context(&ctx);
    }
    std::filesystem::remove(card);
}

// A decoder that cannot open while pictures of an earlier one live: refused, or
// opened once the last of them is freed.
TEST_F(Vdec, ReopenWaitsForOrFailsOnLiveFrames) {
    for (const char *rule : {"fail", "wait"}) {
        SCOPED_TRACE(rule);
        with_env({{"ZYL_SIM_DEC_REOPEN", rule}});
        AVCodecContext *ctx = open_board_decoder("h264_v4l2m2m");
        ASSERT_TRUE(ctx);
        auto frames = decode_units(ctx, h264_, 0, 2);
        ASSERT_EQ(frames.size(), 2u);
        avcodec_free_context(&ctx);
        if (strcmp(rule, "fail") == 0) {
            EXPECT_FALSE(open_board_decoder("h264_v4l2m2m"));
            free_all(frames);
        } else {
            std::thread later([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                free_all(frames);
            });
            ctx = open_board_decoder("h264_v4l2m2m");
            later.join();
            EXPECT_TRUE(ctx);
            EXPECT_EQ(sim_dec_stats().reopen_waits, 1);
            avcodec_free_context(&ctx);
        }
        ctx = open_board_decoder("h264_v4l2m2m");
        EXPECT_TRUE(ctx) << "no frames left";
        avcodec_free_context(&ctx);
    }
}

}  // namespace
