// The virtual hardware decoder. The decoder names of the board are answered with
// libavcodec's software decoders, wrapped so that the program sees what a V4L2
// memory-to-memory decoder gives it: one format negotiation with {DRM_PRIME, NV12},
// and pictures in DMA-BUF-like memory (a memfd) described by a DRM PRIME descriptor:
// NV12, or for 10-bit streams the packing of the board's decoder family. What real
// boards' decoders do besides (holding packets before the first picture, a fixed pool
// of capture buffers, software frames without negotiation, refusing to reopen while
// old pictures live) and the faults they are known for (going silent, refusing input,
// failing to reopen) are switched on through ZYL_SIM_DEC_* variables.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <drm_fourcc.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "sim/frame_origin.h"
#include "sim/sim.h"
#include "sim/vcard.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_drm.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

// ---- the real library entry points ----

template <typename Fn>
Fn real(const char *name) {
    void *p = dlsym(RTLD_NEXT, name);
    if (!p) {
        fprintf(stderr, "zyl-sim: %s not found in the libraries\n", name);
        abort();
    }
    return reinterpret_cast<Fn>(p);
}

#define ZYL_REAL(name)                                         \
    ([] {                                                      \
        static const auto fn = real<decltype(&::name)>(#name); \
        return fn;                                             \
    }())

// ---- settings and process-wide state ----

// How a capture buffer lays a picture out (sim/README.md).
enum class Layout { kOne, kPlanes, kMpp, kSand128 };

// What a capture buffer holds: NV12, or a 10-bit picture packed as the decoder family
// of the layout exports it (V4L2: P010, MPP: NV15, the Pi's HEVC block: P030).
enum class Pix { kNv12, kP010, kNv15, kP030 };

struct DecConfig {
    int64_t stall_after;  // 0: never
    bool stall_repeat;
    int64_t busy_every;  // 0: never
    int64_t busy_run;
    std::vector<int64_t> fail_open;  // 1-based open numbers that fail
    bool no_prime;
    bool drm_device_fail;
    int64_t pipeline;  // packets a picture waits behind before it comes out
    int64_t pool;      // capture buffers per context; 0: a fresh memfd per picture
    Layout layout;
    bool software;  // no negotiation, software NV12 frames
    enum class Reopen { kAny, kWait, kFail } reopen;
};

// What a decoder name found through the sim asked for, per codec.
enum class Kind { kSoftware, kM2m, kMpp, kRequest };

// A context's capture buffers. Shared by the context and the frames handed out over
// them, so it goes with the last of these.
// The luma and, with the two-object layout, the chroma memfd.
struct PoolBuf {
    int fd[2] = {-1, -1};
    ino_t ino = 0;  // the luma memfd's
    uint8_t *map[2] = {nullptr, nullptr};
    size_t size[2] = {0, 0};
    int w = 0, h = 0;  // the picture size it was made for
    Pix pix = Pix::kNv12;
    bool out = false;  // held by the program
};
struct Pool {
    int refs = 1;
    std::vector<PoolBuf> bufs;
};

// A decoded picture the decoder has not handed out yet, with the number of packets
// its context had been sent when it came out of the software decoder.
struct Held {
    AVFrame *pic;
    int64_t tag;
};

// One opened virtual decoder.
struct CtxState {
    AVPixelFormat chosen;
    bool silent;
    AVFrame *sw;
    SwsContext *sws;
    Kind kind;
    Pool *pool;     // null: no fixed pool
    int64_t sent;   // packets taken
    bool draining;  // the end-of-stream packet came
    bool drained;   // and the software decoder has given everything
    std::deque<Held> held;
};

struct DecState {
    std::mutex lock;
    bool loaded;
    DecConfig cfg;
    Kind h264_kind, hevc_kind;
    std::unordered_map<AVCodecContext *, CtxState> ctxs;
    bool stall_armed;
    int64_t next_stall;  // delivered count at which the next stall begins
    SimDecStats st;
    // Live PRIME frames by memfd inode: an inode is not reused while its file is open,
    // and the frame holds the file open until prime_free.
    std::unordered_map<ino_t, FrameOrigin> origins;
    uint64_t next_seq;
    // Frames over decoder memory the program still holds (PRIME frames, and software
    // frames over pool buffers), for the reopen rule; `freed` wakes a waiting open.
    int64_t frames_out;
    std::condition_variable freed;
};

// Never destroyed: the program exits without tearing its decoder down, and the
// contexts it still holds must stay reachable through this table until the end.
DecState &g_dec = *new DecState{};

int64_t env_int(const char *name) {
    const char *v = getenv(name);
    return v && v[0] ? strtoll(v, nullptr, 10) : 0;
}

std::vector<int64_t> env_list(const char *name) {
    std::vector<int64_t> out;
    const char *v = getenv(name);
    while (v && *v) {
        char *end;
        long long n = strtoll(v, &end, 10);
        if (end == v) break;
        if (n > 0) out.push_back(n);
        v = *end == ',' ? end + 1 : end;
    }
    return out;
}

// The decoder line of the board file, if any: what the board's decoder does unless
// the environment says otherwise. An unreadable file is the card's to report.
vcard::DecoderDesc board_decoder() {
    const char *path = getenv("ZYL_SIM_CARD");
    if (!path || !*path) return {};
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    vcard::CardDesc desc;
    if (!f || !vcard::parse_card(ss.str(), desc).empty()) return {};
    return desc.decoder;
}

int64_t env_or(const char *name, int64_t board) {
    const char *v = getenv(name);
    return v && v[0] ? env_int(name) : std::max<int64_t>(0, board);
}

// Call with g_dec.lock held.
void load_locked() {
    if (g_dec.loaded) return;
    DecConfig &c = g_dec.cfg;
    c.stall_after = env_int("ZYL_SIM_DEC_STALL_AFTER");
    c.stall_repeat = env_int("ZYL_SIM_DEC_STALL_REPEAT") != 0;
    c.busy_every = env_int("ZYL_SIM_DEC_BUSY_EVERY");
    c.busy_run = getenv("ZYL_SIM_DEC_BUSY_RUN") ? env_int("ZYL_SIM_DEC_BUSY_RUN") : 1;
    c.fail_open = env_list("ZYL_SIM_DEC_FAIL_OPEN");
    c.no_prime = env_int("ZYL_SIM_DEC_NO_PRIME") != 0;
    c.drm_device_fail = env_int("ZYL_SIM_DRM_DEVICE_FAIL") != 0;
    vcard::DecoderDesc board = board_decoder();
    c.pipeline = std::max<int64_t>(0, env_or("ZYL_SIM_DEC_PIPELINE", board.pipeline));
    c.pool = std::max<int64_t>(0, env_or("ZYL_SIM_DEC_POOL", board.pool));
    c.software = env_int("ZYL_SIM_DEC_SOFTWARE") != 0;
    const char *layout = getenv("ZYL_SIM_DEC_LAYOUT");
    std::string lay = layout && *layout ? layout : board.layout;
    c.layout = lay == "planes"    ? Layout::kPlanes
               : lay == "mpp"     ? Layout::kMpp
               : lay == "sand128" ? Layout::kSand128
                                  : Layout::kOne;
    const char *reopen = getenv("ZYL_SIM_DEC_REOPEN");
    c.reopen = !reopen                       ? DecConfig::Reopen::kAny
               : strcmp(reopen, "wait") == 0 ? DecConfig::Reopen::kWait
               : strcmp(reopen, "fail") == 0 ? DecConfig::Reopen::kFail
                                             : DecConfig::Reopen::kAny;
    g_dec.stall_armed = c.stall_after > 0;
    g_dec.next_stall = c.stall_after;
    g_dec.loaded = true;
}

DecState &locked_state(std::unique_lock<std::mutex> &l) {
    l = std::unique_lock(g_dec.lock);
    load_locked();
    return g_dec;
}

Kind *kind_slot(AVCodecID id) {
    if (id == AV_CODEC_ID_H264) return &g_dec.h264_kind;
    if (id == AV_CODEC_ID_HEVC) return &g_dec.hevc_kind;
    return nullptr;
}

// The codec a board decoder name stands for, or NONE for a name the sim leaves alone.
AVCodecID virtual_codec(const char *name, Kind *kind) {
    *kind = Kind::kM2m;
    if (strcmp(name, "h264_v4l2m2m") == 0) return AV_CODEC_ID_H264;
    if (strcmp(name, "hevc_v4l2m2m") == 0) return AV_CODEC_ID_HEVC;
    if (strstr(name, "rkmpp")) {
        *kind = Kind::kMpp;
        return strstr(name, "hevc") || strstr(name, "265") ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    }
    *kind = Kind::kRequest;
    if (strcmp(name, "hevc") == 0) return AV_CODEC_ID_HEVC;
    return AV_CODEC_ID_NONE;
}

// A silent decoder speaks again after a flush or when it is replaced; with the
// repeat switch it falls silent again after as many frames once more.
void end_silence_locked(CtxState *cs) {
    if (!cs->silent) return;
    cs->silent = false;
    if (g_dec.cfg.stall_repeat) {
        g_dec.stall_armed = true;
        g_dec.next_stall = g_dec.st.delivered + g_dec.cfg.stall_after;
    }
}

void drop_held(CtxState *cs) {
    for (Held &h : cs->held) av_frame_free(&h.pic);
    cs->held.clear();
}

void unmap_buf(PoolBuf *b) {
    for (int i = 0; i < 2; i++) {
        if (b->map[i]) munmap(b->map[i], b->size[i]);
        if (b->fd[i] >= 0) close(b->fd[i]);
    }
}

// Call with g_dec.lock held.
void pool_unref_locked(Pool *pool) {
    if (!pool || --pool->refs > 0) return;
    for (PoolBuf &b : pool->bufs) unmap_buf(&b);
    delete pool;
}

// Call with g_dec.lock held.
void free_ctx_state_locked(CtxState *cs) {
    drop_held(cs);
    av_frame_free(&cs->sw);
    sws_freeContext(cs->sws);
    cs->sws = nullptr;
    pool_unref_locked(cs->pool);
    cs->pool = nullptr;
}

// Software decoding must never reach the program's callback with the decoder's own
// list: a hardware decoder negotiates once, at open.
AVPixelFormat sw_get_format(AVCodecContext *, const AVPixelFormat *fmts) {
    for (const AVPixelFormat *p = fmts; *p != AV_PIX_FMT_NONE; p++) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(*p);
        if (d && !(d->flags & AV_PIX_FMT_FLAG_HWACCEL)) return *p;
    }
    return AV_PIX_FMT_NONE;
}

// ---- pictures ----

constexpr int kPitchAlign = 64;
constexpr int kHeightAlign = 16;

int align(int v, int a) {
    return (v + a - 1) / a * a;
}

// Writes the software picture as NV12: Y rows at `y`, interleaved UV rows at `uv`.
bool write_nv12(const AVFrame *src, uint8_t *y, int y_pitch, uint8_t *uv, int uv_pitch,
                SwsContext **sws) {
    int w = src->width, h = src->height;
    if (src->format == AV_PIX_FMT_YUV420P || src->format == AV_PIX_FMT_YUVJ420P) {
        for (int r = 0; r < h; r++)
            memcpy(y + size_t(r) * y_pitch, src->data[0] + size_t(r) * src->linesize[0], w);
        int cw = (w + 1) / 2, ch = (h + 1) / 2;
        for (int r = 0; r < ch; r++) {
            const uint8_t *u = src->data[1] + size_t(r) * src->linesize[1];
            const uint8_t *v = src->data[2] + size_t(r) * src->linesize[2];
            uint8_t *d = uv + size_t(r) * uv_pitch;
            for (int x = 0; x < cw; x++) {
                d[2 * x] = u[x];
                d[2 * x + 1] = v[x];
            }
        }
        return true;
    }
    *sws = sws_getCachedContext(*sws, w, h, AVPixelFormat(src->format), w, h, AV_PIX_FMT_NV12,
                                SWS_POINT, nullptr, nullptr, nullptr);
    if (!*sws) return false;
    uint8_t *dst[4] = {y, uv, nullptr, nullptr};
    int stride[4] = {y_pitch, uv_pitch, 0, 0};
    return sws_scale(*sws, src->data, src->linesize, 0, h, dst, stride) == h;
}

ino_t fd_ino(int fd) {
    struct stat sb;
    return fstat(fd, &sb) == 0 ? sb.st_ino : 0;
}

// The 10-bit layout a picture comes out in; 8-bit and software frames stay NV12.
Pix picture_pix(const AVFrame *pic, AVPixelFormat chosen, Layout layout) {
    if (chosen != AV_PIX_FMT_DRM_PRIME || pic->format != AV_PIX_FMT_YUV420P10LE) return Pix::kNv12;
    return layout == Layout::kMpp       ? Pix::kNv15
           : layout == Layout::kSand128 ? Pix::kP030
                                        : Pix::kP010;
}

uint32_t pix_fourcc(Pix pix) {
    switch (pix) {
        case Pix::kP010:
            return DRM_FORMAT_P010;
        case Pix::kNv15:
            return DRM_FORMAT_NV15;
        case Pix::kP030:
            return DRM_FORMAT_P030;
        case Pix::kNv12:
            break;
    }
    return DRM_FORMAT_NV12;
}

// Bytes a row of n samples takes.
int packed_bytes(Pix pix, int n) {
    switch (pix) {
        case Pix::kP010:
            return 2 * n;
        case Pix::kNv15:
            return (10 * n + 7) / 8;
        case Pix::kP030:
            return 4 * ((n + 2) / 3);
        case Pix::kNv12:
            break;
    }
    return n;
}

// Where a w x h picture lies in a capture buffer: luma rows, then chroma rows at
// uv_offset of the one object, or at 0 of the second.
struct Geom {
    int pitch;
    size_t uv_offset;
    size_t size[2];  // size[1] == 0: one object
    int ch = 0;      // SAND128: rows of 128 bytes a column holds; 0: linear
};

Geom frame_geom(int w, int h, Layout layout, Pix pix) {
    // An odd width still has a whole chroma pair at its end.
    const int row = packed_bytes(pix, align(w, 2));
    if (layout == Layout::kMpp) {
        // MPP's strides: the byte width and the height 16-aligned, chroma right after
        // the aligned luma.
        int pitch = align(row, 16);
        size_t y_size = size_t(pitch) * align(h, 16);
        return {pitch, y_size, {y_size + y_size / 2, 0}};
    }
    if (layout == Layout::kSand128) {
        // Columns of 128 bytes (128 pixels of NV12, 96 of P030), each holding its luma
        // rows then its chroma rows.
        int col_px = pix == Pix::kP030 ? 96 : 128;
        int cols = (w + col_px - 1) / col_px, rows = align(h, kHeightAlign);
        int ch = rows + rows / 2;
        return {cols * 128, size_t(rows) * 128, {size_t(cols) * 128 * ch, 0}, ch};
    }
    int pitch = align(row, kPitchAlign);
    size_t y_size = size_t(pitch) * align(h, kHeightAlign);
    if (layout == Layout::kPlanes) return {pitch, 0, {y_size, y_size / 2}};
    return {pitch, y_size, {y_size + y_size / 2, 0}};
}

// ---- 10-bit row packing: `n` samples (0..1023) into packed_bytes(pix, n) bytes ----

// 16-bit little-endian words, the sample in the top ten bits.
void pack_p010(const uint16_t *s, int n, uint8_t *d) {
    for (int i = 0; i < n; i++) {
        unsigned v = unsigned(s[i] & 0x3ff) << 6;
        d[2 * i] = uint8_t(v);
        d[2 * i + 1] = uint8_t(v >> 8);
    }
}

// No padding: four samples in five bytes, the first in the lowest bits.
void pack_nv15(const uint16_t *s, int n, uint8_t *d) {
    uint32_t acc = 0;
    int bits = 0;
    for (int i = 0; i < n; i++) {
        acc |= uint32_t(s[i] & 0x3ff) << bits;
        for (bits += 10; bits >= 8; bits -= 8, acc >>= 8) *d++ = uint8_t(acc);
    }
    if (bits > 0) *d = uint8_t(acc);
}

// Three samples in each 32-bit little-endian word, bits 30-31 unused.
void pack_p030(const uint16_t *s, int n, uint8_t *d) {
    for (int i = 0; i < n; i += 3) {
        uint32_t v = 0;
        for (int k = 0; k < 3 && i + k < n; k++) v |= uint32_t(s[i + k] & 0x3ff) << (10 * k);
        for (int b = 0; b < 4; b++) *d++ = uint8_t(v >> (8 * b));
    }
}

// Writes a YUV420P10 picture packed as `pix`: luma rows at `y`, rows of interleaved
// Cb/Cr at `uv`.
void write_10bit(const AVFrame *src, Pix pix, uint8_t *y, int y_pitch, uint8_t *uv, int uv_pitch) {
    void (*pack)(const uint16_t *, int, uint8_t *) = pix == Pix::kNv15   ? pack_nv15
                                                     : pix == Pix::kP030 ? pack_p030
                                                                         : pack_p010;
    int w = src->width, h = src->height, cw = (w + 1) / 2, chh = (h + 1) / 2;
    for (int r = 0; r < h; r++)
        pack(reinterpret_cast<const uint16_t *>(src->data[0] + size_t(r) * src->linesize[0]), w,
             y + size_t(r) * y_pitch);
    thread_local std::vector<uint16_t> row;
    row.resize(size_t(2 * cw));
    for (int r = 0; r < chh; r++) {
        const auto *u =
            reinterpret_cast<const uint16_t *>(src->data[1] + size_t(r) * src->linesize[1]);
        const auto *v =
            reinterpret_cast<const uint16_t *>(src->data[2] + size_t(r) * src->linesize[2]);
        for (int x = 0; x < cw; x++) {
            row[size_t(2 * x)] = u[x];
            row[size_t(2 * x + 1)] = v[x];
        }
        pack(row.data(), 2 * cw, uv + size_t(r) * uv_pitch);
    }
}

bool write_picture(const AVFrame *src, Pix pix, uint8_t *y, int y_pitch, uint8_t *uv, int uv_pitch,
                   SwsContext **sws) {
    if (pix == Pix::kNv12) return write_nv12(src, y, y_pitch, uv, uv_pitch, sws);
    write_10bit(src, pix, y, y_pitch, uv, uv_pitch);
    return true;
}

// A new memfd of `size` bytes, mapped.
int new_memfd(size_t size, int *fd, uint8_t **map) {
    *fd = memfd_create("zyl-sim-vdec", MFD_CLOEXEC);
    if (*fd < 0) return AVERROR(errno);
    void *m = MAP_FAILED;
    if (ftruncate(*fd, off_t(size)) == 0)
        m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, *fd, 0);
    if (m == MAP_FAILED) {
        int err = AVERROR(errno);
        close(*fd);
        *fd = -1;
        return err;
    }
    *map = static_cast<uint8_t *>(m);
    return 0;
}

// Fills an empty `b` with the memfds of a w x h picture.
int alloc_buf(PoolBuf *b, int w, int h, Layout layout, Pix pix) {
    Geom g = frame_geom(w, h, layout, pix);
    for (int i = 0; i < 2 && g.size[i]; i++) {
        if (int r = new_memfd(g.size[i], &b->fd[i], &b->map[i]); r < 0) {
            unmap_buf(b);
            *b = PoolBuf{};
            return r;
        }
        b->size[i] = g.size[i];
    }
    b->ino = fd_ino(b->fd[0]);
    b->w = w;
    b->h = h;
    b->pix = pix;
    return 0;
}

// The buffer of a frame handed out is back: recycled when it came from a pool.
// Call with g_dec.lock held.
void frame_back_locked(Pool *pool, ino_t ino, const uint8_t *map) {
    g_dec.frames_out--;
    g_dec.freed.notify_all();
    if (!pool) return;
    for (PoolBuf &b : pool->bufs)
        if (b.out && (ino ? b.ino == ino : b.map[0] == map)) b.out = false;
    pool_unref_locked(pool);
}

void prime_free(void *opaque, uint8_t *data) {
    auto *desc = reinterpret_cast<AVDRMFrameDescriptor *>(data);
    ino_t ino = fd_ino(desc->objects[0].fd);  // before close: the inode may be reused after
    for (int i = 0; i < desc->nb_objects; i++) close(desc->objects[i].fd);
    av_free(desc);
    std::lock_guard l(g_dec.lock);
    g_dec.st.live_frames--;
    if (ino) g_dec.origins.erase(ino);
    frame_back_locked(static_cast<Pool *>(opaque), ino, nullptr);
}

// A taken pool buffer that never made it into a frame.
void give_back(Pool *pool, PoolBuf *pb) {
    std::lock_guard l(g_dec.lock);
    pb->out = false;
    g_dec.frames_out--;
    g_dec.freed.notify_all();
    pool_unref_locked(pool);
}

void pool_sw_free(void *opaque, uint8_t *data) {
    std::lock_guard l(g_dec.lock);
    frame_back_locked(static_cast<Pool *>(opaque), 0, data);
}

// A pool buffer free for a w x h picture, marked as held by the program, or null
// when the program holds them all. Call with g_dec.lock held.
PoolBuf *take_pool_buf_locked(Pool *pool, int w, int h, Pix pix) {
    PoolBuf *pick = nullptr;
    for (PoolBuf &b : pool->bufs) {
        if (b.out) continue;
        if (b.fd[0] >= 0 && b.w == w && b.h == h && b.pix == pix) {
            pick = &b;
            break;
        }
        if (!pick) pick = &b;
    }
    if (!pick) return nullptr;
    pick->out = true;
    pool->refs++;
    g_dec.frames_out++;
    return pick;
}

// Makes `b` the size of a w x h picture; a buffer is reallocated only when the
// picture size or packing changes. `b` is held by the caller, so the lock is not needed.
int size_pool_buf(PoolBuf *b, int w, int h, Layout layout, Pix pix) {
    if (b->fd[0] >= 0 && b->w == w && b->h == h && b->pix == pix) return 0;
    unmap_buf(b);
    *b = PoolBuf{};
    b->out = true;
    return alloc_buf(b, w, h, layout, pix);
}

// Writes the picture linearly, then moves each 128-byte piece of a row into its column.
bool write_sand(const AVFrame *src, Pix pix, const Geom &g, uint8_t *base, SwsContext **sws) {
    int h = src->height, uv_rows = (h + 1) / 2;
    std::vector<uint8_t> lin(size_t(g.pitch) * (h + uv_rows));
    uint8_t *lin_uv = lin.data() + size_t(g.pitch) * h;
    if (!write_picture(src, pix, lin.data(), g.pitch, lin_uv, g.pitch, sws)) return false;
    size_t col_bytes = size_t(128) * g.ch;
    for (int c = 0; c < g.pitch / 128; c++) {
        uint8_t *col = base + c * col_bytes;
        for (int r = 0; r < h; r++)
            memcpy(col + size_t(r) * 128, lin.data() + size_t(r) * g.pitch + c * 128, 128);
        for (int r = 0; r < uv_rows; r++)
            memcpy(col + g.uv_offset + size_t(r) * 128, lin_uv + size_t(r) * g.pitch + c * 128,
                   128);
    }
    return true;
}

// The picture in memfds laid out as the board's decoder exports its capture buffer.
// With a pool they are one of its buffers, which comes back at the frame's free.
int make_prime_frame(const AVFrame *src, AVFrame *out, SwsContext **sws, Layout layout, Pool *pool,
                     PoolBuf *pb) {
    const Pix pix = picture_pix(src, AV_PIX_FMT_DRM_PRIME, layout);
    Geom g = frame_geom(src->width, src->height, layout, pix);
    PoolBuf own;
    PoolBuf *b = pb ? pb : &own;
    if (!pb) {
        if (int r = alloc_buf(&own, src->width, src->height, layout, pix); r < 0) return r;
    }
    int nb = g.size[1] ? 2 : 1;
    int fds[2] = {-1, -1};
    bool ok = true;
    for (int i = 0; i < nb; i++) {
        fds[i] = pb ? dup(b->fd[i]) : b->fd[i];
        ok = ok && fds[i] >= 0;
    }
    uint8_t *uv = nb == 2 ? b->map[1] : b->map[0] + g.uv_offset;
    if (g.ch) {
        ok = ok && write_sand(src, pix, g, b->map[0], sws);
    } else {
        ok = ok && write_picture(src, pix, b->map[0], g.pitch, uv, g.pitch, sws);
    }
    if (!pb) {
        for (int i = 0; i < nb; i++) munmap(own.map[i], own.size[i]);
    }
    auto *desc = static_cast<AVDRMFrameDescriptor *>(av_mallocz(sizeof(AVDRMFrameDescriptor)));
    if (!ok || !desc) {
        av_free(desc);
        for (int fd : fds)
            if (fd >= 0) close(fd);
        if (pb) give_back(pool, pb);
        return desc ? AVERROR_EXTERNAL : AVERROR(ENOMEM);
    }
    desc->nb_objects = nb;
    uint64_t mod =
        g.ch ? DRM_FORMAT_MOD_BROADCOM_SAND128_COL_HEIGHT(uint64_t(g.ch)) : DRM_FORMAT_MOD_LINEAR;
    for (int i = 0; i < nb; i++) desc->objects[i] = {fds[i], g.size[i], mod};
    desc->nb_layers = 1;
    AVDRMLayerDescriptor &layer = desc->layers[0];
    layer.format = pix_fourcc(pix);
    layer.nb_planes = 2;
    layer.planes[0] = {0, 0, g.pitch};
    layer.planes[1] = {nb - 1, ptrdiff_t(g.uv_offset), g.pitch};
    {
        std::lock_guard l(g_dec.lock);
        g_dec.st.live_frames++;
        g_dec.st.live_frames_max = std::max(g_dec.st.live_frames_max, g_dec.st.live_frames);
        if (!pb) g_dec.frames_out++;
    }
    // From here on prime_free undoes the counts, and gives the pool buffer back.
    out->buf[0] =
        av_buffer_create(reinterpret_cast<uint8_t *>(desc), sizeof(*desc), prime_free, pool, 0);
    if (!out->buf[0]) {
        prime_free(pool, reinterpret_cast<uint8_t *>(desc));
        return AVERROR(ENOMEM);
    }
    out->data[0] = reinterpret_cast<uint8_t *>(desc);
    out->format = AV_PIX_FMT_DRM_PRIME;
    return 0;
}

// Software NV12: in a pool buffer's memory as V4L2 maps its capture buffers, else in
// memory of its own.
int make_nv12_frame(const AVFrame *src, AVFrame *out, SwsContext **sws, Layout layout, Pool *pool,
                    PoolBuf *pb) {
    out->format = AV_PIX_FMT_NV12;
    out->width = src->width;
    out->height = src->height;
    if (!pb) {
        int r = av_frame_get_buffer(out, 0);
        if (r < 0) return r;
        return write_nv12(src, out->data[0], out->linesize[0], out->data[1], out->linesize[1], sws)
                   ? 0
                   : AVERROR_EXTERNAL;
    }
    // Software frames are linear whatever the decoder's own layout.
    Geom g = frame_geom(src->width, src->height, layout == Layout::kSand128 ? Layout::kOne : layout,
                        Pix::kNv12);
    out->buf[0] = av_buffer_create(pb->map[0], int(g.size[0]), pool_sw_free, pool, 0);
    if (!out->buf[0]) {
        pool_sw_free(pool, pb->map[0]);
        return AVERROR(ENOMEM);
    }
    out->data[0] = pb->map[0];
    out->data[1] = g.size[1] ? pb->map[1] : pb->map[0] + g.uv_offset;
    out->linesize[0] = out->linesize[1] = g.pitch;
    return write_nv12(src, out->data[0], g.pitch, out->data[1], g.pitch, sws) ? 0
                                                                              : AVERROR_EXTERNAL;
}

// The frame the program gets for one software picture, in the negotiated format, in
// buffer `pb` of `pool` when there is a pool (the frame then owns the buffer).
int deliver(const AVFrame *src, AVPixelFormat chosen, Layout layout, AVFrame *out, SwsContext **sws,
            Pool *pool, PoolBuf *pb) {
    int r = chosen == AV_PIX_FMT_DRM_PRIME ? make_prime_frame(src, out, sws, layout, pool, pb)
                                           : make_nv12_frame(src, out, sws, layout, pool, pb);
    if (r == 0) r = av_frame_copy_props(out, src);
    if (r < 0) {
        av_frame_unref(out);
        return r;
    }
    out->width = src->width;
    out->height = src->height;
    return 0;
}

void device_free(AVHWDeviceContext *dev) {
    close(static_cast<AVDRMDeviceContext *>(dev->hwctx)->fd);
    std::lock_guard l(g_dec.lock);
    g_dec.st.live_devices--;
}

}  // namespace

// ---- the wrapped entry points ----

extern "C" const AVCodec *avcodec_find_decoder_by_name(const char *name) {
    Kind kind;
    AVCodecID id = name ? virtual_codec(name, &kind) : AV_CODEC_ID_NONE;
    if (id == AV_CODEC_ID_NONE) {
        // The plain software decoder of a codec honestly offers no DRM PRIME; the
        // last name looked up decides what later opens of that codec are.
        const AVCodec *c = ZYL_REAL(avcodec_find_decoder_by_name)(name);
        std::unique_lock<std::mutex> l;
        locked_state(l);
        if (c && kind_slot(c->id)) *kind_slot(c->id) = Kind::kSoftware;
        return c;
    }
    const AVCodec *c = avcodec_find_decoder(id);
    if (c) {
        std::unique_lock<std::mutex> l;
        locked_state(l);
        *kind_slot(id) = kind;
    }
    return c;
}

extern "C" int av_hwdevice_ctx_create(AVBufferRef **device_ctx, enum AVHWDeviceType type,
                                      const char *device, AVDictionary *opts, int flags) {
    if (type != AV_HWDEVICE_TYPE_DRM)
        return ZYL_REAL(av_hwdevice_ctx_create)(device_ctx, type, device, opts, flags);
    *device_ctx = nullptr;
    {
        std::unique_lock<std::mutex> l;
        if (locked_state(l).cfg.drm_device_fail) return AVERROR(ENOENT);
    }
    AVBufferRef *ref = av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_DRM);
    if (!ref) return AVERROR(ENOMEM);
    // No card node here: the device only has to be a descriptor the library may close.
    auto *dev = reinterpret_cast<AVHWDeviceContext *>(ref->data);
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        av_buffer_unref(&ref);
        return AVERROR(errno);
    }
    static_cast<AVDRMDeviceContext *>(dev->hwctx)->fd = fd;
    dev->free = device_free;
    {
        std::lock_guard l(g_dec.lock);
        g_dec.st.live_devices++;
    }
    int r = av_hwdevice_ctx_init(ref);
    if (r < 0) {
        av_buffer_unref(&ref);
        return r;
    }
    *device_ctx = ref;
    return 0;
}

// Whether an open may go on while frames of earlier contexts live; with the wait
// rule it blocks until they are freed, for at most a bound so that nothing hangs.
bool reopen_allowed(std::unique_lock<std::mutex> &l) {
    DecState &d = g_dec;
    if (d.cfg.reopen == DecConfig::Reopen::kAny || d.frames_out == 0) return true;
    if (d.cfg.reopen == DecConfig::Reopen::kFail) return false;
    d.st.reopen_waits++;
    return d.freed.wait_for(l, std::chrono::seconds(2), [&] { return d.frames_out == 0; });
}

extern "C" int avcodec_open2(AVCodecContext *ctx, const AVCodec *codec, AVDictionary **options) {
    auto open = ZYL_REAL(avcodec_open2);
    AVCodecID id = codec ? codec->id : ctx->codec_id;
    std::unique_lock<std::mutex> l;
    DecState &d = locked_state(l);
    Kind *slot = kind_slot(id);
    if (!slot || *slot == Kind::kSoftware) {
        l.unlock();
        return open(ctx, codec, options);
    }
    Kind kind = *slot;
    int64_t n = ++d.st.opens;
    bool fail =
        std::find(d.cfg.fail_open.begin(), d.cfg.fail_open.end(), n) != d.cfg.fail_open.end();
    bool no_device = kind == Kind::kRequest && !ctx->hw_device_ctx;
    bool no_prime = d.cfg.no_prime;
    bool software = d.cfg.software;
    int64_t pool_size = d.cfg.pool;
    if (fail) return AVERROR(EIO);
    if (no_device) return AVERROR(EINVAL);
    if (!reopen_allowed(l)) return AVERROR(ENOMEM);
    l.unlock();

    AVPixelFormat chosen = AV_PIX_FMT_NV12;
    if (!software) {
        // What a V4L2 decoder offers for its capture queue, terminator included.
        static constexpr std::array<AVPixelFormat, 3> kOffered = {AV_PIX_FMT_DRM_PRIME,
                                                                  AV_PIX_FMT_NV12, AV_PIX_FMT_NONE};
        const AVPixelFormat *list = kOffered.data() + (no_prime ? 1 : 0);
        chosen = ctx->get_format ? ctx->get_format(ctx, list) : list[0];
        {
            std::lock_guard g(g_dec.lock);
            g_dec.st.format_calls++;
        }
        // Like libavcodec's own negotiation, a choice from outside the list fails the open.
        if (chosen == AV_PIX_FMT_NONE || std::find(list, kOffered.end(), chosen) == kOffered.end())
            return AVERROR(EINVAL);
    }

    ctx->get_format = sw_get_format;
    int r = open(ctx, codec, options);
    if (r < 0) return r;
    CtxState cs{chosen, false, av_frame_alloc(), nullptr, kind, nullptr, 0, false, false, {}};
    if (!cs.sw) return AVERROR(ENOMEM);
    if (pool_size > 0) {
        cs.pool = new Pool;
        cs.pool->bufs.resize(size_t(pool_size));
    }
    std::lock_guard g(g_dec.lock);
    g_dec.ctxs[ctx] = std::move(cs);
    return 0;
}

namespace {

// Moves what the software decoder has finished into the context's held pictures,
// tagged with the packet count now; a silent decoder loses them.
int pull(AVCodecContext *ctx, CtxState *cs) {
    auto receive = ZYL_REAL(avcodec_receive_frame);
    for (;;) {
        int r = receive(ctx, cs->sw);
        if (r == AVERROR(EAGAIN)) return 0;
        if (r == AVERROR_EOF) {
            cs->drained = true;
            return 0;
        }
        if (r < 0) return r;
        std::lock_guard g(g_dec.lock);
        if (cs->silent) {
            av_frame_unref(cs->sw);
            g_dec.st.discarded++;
            continue;
        }
        AVFrame *pic = av_frame_alloc();
        if (!pic) return AVERROR(ENOMEM);
        av_frame_move_ref(pic, cs->sw);
        cs->held.push_back({pic, cs->sent});
        g_dec.st.held_max = std::max(g_dec.st.held_max, int64_t(cs->held.size()));
    }
}

}  // namespace

extern "C" int avcodec_send_packet(AVCodecContext *ctx, const AVPacket *pkt) {
    CtxState *cs = nullptr;
    {
        std::unique_lock<std::mutex> l;
        DecState &d = locked_state(l);
        if (auto it = d.ctxs.find(ctx); it != d.ctxs.end()) {
            cs = &it->second;
            int64_t n = ++d.st.sends;
            const DecConfig &c = d.cfg;
            // The input queue is full for busy_run calls from every busy_every-th on,
            // and while the program leaves more pictures undrained than the pipeline
            // holds.
            bool busy = c.busy_every > 0 && n >= c.busy_every &&
                        (n - c.busy_every) % c.busy_every < c.busy_run;
            if (pkt && int64_t(cs->held.size()) > c.pipeline + 2) busy = true;
            if (busy) {
                d.st.busy++;
                return AVERROR(EAGAIN);
            }
        }
    }
    // The end-of-stream packet goes on too, so the software decoder gives up the
    // pictures it holds back for reordering.
    int r = ZYL_REAL(avcodec_send_packet)(ctx, pkt);
    if (!cs || r < 0) return r;
    if (pkt)
        cs->sent++;
    else
        cs->draining = true;
    int p = pull(ctx, cs);
    return p < 0 ? p : r;
}

extern "C" int avcodec_receive_frame(AVCodecContext *ctx, AVFrame *frame) {
    std::unique_lock<std::mutex> l;
    DecState &d = locked_state(l);
    auto it = d.ctxs.find(ctx);
    if (it == d.ctxs.end()) {
        l.unlock();
        return ZYL_REAL(avcodec_receive_frame)(ctx, frame);
    }
    // The record stays put: only this context's own free removes it.
    CtxState *cs = &it->second;
    if (!cs->silent && d.stall_armed && d.st.delivered >= d.next_stall) {
        cs->silent = true;
        d.stall_armed = false;
        d.st.stalls++;
    }
    if (cs->silent) {
        // A silent decoder still consumes its input; what it decodes is lost.
        d.st.discarded += int64_t(cs->held.size());
        l.unlock();
        drop_held(cs);
    } else {
        l.unlock();
    }
    if (int r = pull(ctx, cs); r < 0) return r;
    if (cs->held.empty()) return cs->drained ? AVERROR_EOF : AVERROR(EAGAIN);
    const Held &h = cs->held.front();
    if (!cs->draining && cs->sent - h.tag < d.cfg.pipeline) return AVERROR(EAGAIN);

    PoolBuf *pb = nullptr;
    const Pix pix = picture_pix(h.pic, cs->chosen, d.cfg.layout);
    if (cs->pool) {
        l.lock();
        pb = take_pool_buf_locked(cs->pool, h.pic->width, h.pic->height, pix);
        if (!pb) {
            // Every capture buffer is still with the program: the picture waits.
            d.st.pool_waits++;
            return AVERROR(EAGAIN);
        }
        l.unlock();
        if (int r = size_pool_buf(pb, h.pic->width, h.pic->height, d.cfg.layout, pix); r < 0) {
            give_back(cs->pool, pb);
            return r;
        }
        // A picture written into memory the card is scanning out shows half of each.
        if (cs->chosen == AV_PIX_FMT_DRM_PRIME && sim_card_inode_on_plane(pb->ino)) {
            std::lock_guard g(g_dec.lock);
            d.st.torn++;
        }
    }
    AVFrame *pic = h.pic;
    cs->held.pop_front();
    int r = deliver(pic, cs->chosen, d.cfg.layout, frame, &cs->sws, cs->pool, pb);
    av_frame_free(&pic);
    if (r < 0) return r;
    ino_t ino =
        frame->format == AV_PIX_FMT_DRM_PRIME
            ? fd_ino(reinterpret_cast<const AVDRMFrameDescriptor *>(frame->data[0])->objects[0].fd)
            : 0;
    std::lock_guard g(g_dec.lock);
    d.st.delivered++;
    if (ino) {
        // Taken last: the caller pushes the frame into its mailbox as soon as this
        // returns, so this stands for the push.
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        d.origins[ino] = {++d.next_seq, int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000};
    }
    return 0;
}

extern "C" void avcodec_flush_buffers(AVCodecContext *ctx) {
    {
        std::unique_lock<std::mutex> l;
        DecState &d = locked_state(l);
        auto it = d.ctxs.find(ctx);
        if (it != d.ctxs.end()) {
            d.st.flushes++;
            CtxState *cs = &it->second;
            end_silence_locked(cs);
            drop_held(cs);
            cs->draining = cs->drained = false;
        }
    }
    ZYL_REAL(avcodec_flush_buffers)(ctx);
}

extern "C" void avcodec_free_context(AVCodecContext **pctx) {
    if (pctx && *pctx) {
        std::unique_lock<std::mutex> l;
        DecState &d = locked_state(l);
        auto it = d.ctxs.find(*pctx);
        if (it != d.ctxs.end()) {
            end_silence_locked(&it->second);
            free_ctx_state_locked(&it->second);
            d.ctxs.erase(it);
        }
    }
    ZYL_REAL(avcodec_free_context)(pctx);
}

// Real V4L2 decoders have an option for their capture pool's size; MPP's have none.
extern "C" int av_opt_get_int(void *obj, const char *name, int search_flags, int64_t *out_val) {
    if (obj && name && strcmp(name, "num_capture_buffers") == 0) {
        std::unique_lock<std::mutex> l;
        DecState &d = locked_state(l);
        auto it = d.ctxs.find(static_cast<AVCodecContext *>(obj));
        if (it != d.ctxs.end() && it->second.kind == Kind::kMpp) return AVERROR_OPTION_NOT_FOUND;
        if (it != d.ctxs.end() && it->second.kind == Kind::kM2m) {
            *out_val = d.cfg.pool > 0 ? d.cfg.pool : 20;
            return 0;
        }
    }
    return ZYL_REAL(av_opt_get_int)(obj, name, search_flags, out_val);
}

// ---- for the virtual card ----

bool sim_frame_origin(ino_t ino, FrameOrigin *out) {
    std::lock_guard l(g_dec.lock);
    auto it = g_dec.origins.find(ino);
    if (it == g_dec.origins.end()) return false;
    *out = it->second;
    return true;
}

// ---- for the tests ----

SimDecStats sim_dec_stats() {
    std::unique_lock<std::mutex> l;
    return locked_state(l).st;
}

void sim_dec_reset() {
    std::lock_guard l(g_dec.lock);
    g_dec.loaded = false;
    g_dec.h264_kind = g_dec.hevc_kind = Kind::kSoftware;
    SimDecStats fresh{};
    fresh.live_frames = fresh.live_frames_max = g_dec.st.live_frames;
    fresh.live_devices = g_dec.st.live_devices;
    g_dec.st = fresh;
    load_locked();
}
