// The shared frame and its two producers' common ground: settings, the object
// itself, the standby picture's path and the converter thread that turns read-back
// video pictures into RGB565.
//
// Every write of the frame happens under the tee's lock with seq odd, so the two
// producers never interleave and a reader in another process can tell a torn copy
// from a whole one. The converter holds the lock for a whole conversion: the main
// thread then waits only when it looks for a free staging buffer or publishes the
// standby picture, both rare next to the per-frame work.
#include "spitee/spitee.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

extern "C" {
#include <libswscale/swscale.h>
}

#include "base/log.h"
#include "overlay/status.h"

namespace {

// seq odd: a write is under way. The fences order the pixel writes against the seq
// updates for a reader in another process, which has no lock to go by.
void write_begin(SpiFrame *f) {
    __atomic_fetch_add(&f->seq, 1, __ATOMIC_SEQ_CST);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

void write_end(SpiFrame *f) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    __atomic_fetch_add(&f->seq, 1, __ATOMIC_SEQ_CST);
}

// Converts one staging buffer into the frame; the caller holds the lock.
void convert(SpiTee &tee, int i) {
    SpiFrame *f = tee.frame();
    const int W = tee.settings.w, H = tee.settings.h;
    write_begin(f);
    const uint8_t *src[4] = {tee.buf[i].data()};
    const int src_stride[4] = {W * 4};
    uint8_t *dst[4] = {reinterpret_cast<uint8_t *>(spi_frame_pixels(f))};
    const int dst_stride[4] = {W * 2};
    sws_scale(tee.sws.get(), src, src_stride, 0, H, dst, dst_stride);
    spi_tee_overlay_header(tee, spi_frame_pixels(f), tee.vals[i]);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    tee.busy[i] = false;
    write_end(f);
}

// The converter thread: the frames queued are written in order; once `running` is
// off, those still queued are written before it ends.
void converter_run(SpiTee &tee) {
    std::unique_lock lock(tee.lock);
    for (;;) {
        tee.cv.wait(lock, [&] { return !tee.running || tee.queued.size() > 0; });
        if (tee.queued.size() == 0) break;
        convert(tee, tee.queued.take());
    }
}

// The standby picture scaled into the rectangle `d` (bytes B, G, R, A, rows of d.w);
// null on failure. Scaled in 32 bits and packed by the caller: libswscale's scaler
// into RGB565 complains about its chroma filter on every call, once a second while
// the screen is idle. The scaler and its buffer are kept for the next publish: made
// anew every second, picture-sized blocks would pile up in the main heap.
const uint8_t *standby_scale(SpiTee &tee, const uint8_t *px, uint32_t stride, int w, int h,
                             const SpiRect &d) {
    tee.standby_sws.reset(sws_getCachedContext(tee.standby_sws.release(), w, h, AV_PIX_FMT_BGRA,
                                               d.w, d.h, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                                               nullptr, nullptr));
    if (!tee.standby_sws) return nullptr;
    const size_t bytes = size_t(d.w) * d.h * 4;
    if (tee.standby_capacity < bytes) {
        tee.standby_scaled.reset(new (std::nothrow) uint8_t[bytes]);
        tee.standby_capacity = tee.standby_scaled ? bytes : 0;
        if (!tee.standby_scaled) return nullptr;
    }
    const uint8_t *src[4] = {px};
    const int src_stride[4] = {int(stride)};
    uint8_t *dst[4] = {tee.standby_scaled.get()};
    const int dst_stride[4] = {d.w * 4};
    sws_scale(tee.standby_sws.get(), src, src_stride, 0, h, dst, dst_stride);
    return tee.standby_scaled.get();
}

// Digits only, read up to the first other character; 0 when there are none or the
// number is past the largest side. Counting stops early so that no length of digits
// can wrap around into range.
int side(const char *&s) {
    int n = 0;
    if (*s < '0' || *s > '9') return 0;
    for (; *s >= '0' && *s <= '9'; s++) n = n > kSpiMaxSide ? n : n * 10 + (*s - '0');
    return n <= kSpiMaxSide ? n : 0;
}

}  // namespace

bool spi_tee_parse_size(const char *s, int *w, int *h) {
    if (!s) return false;
    const int a = side(s);
    if (*s++ != 'x') return false;
    const int b = side(s);
    if (*s != '\0' || a < 1 || b < 1) return false;
    *w = a;
    *h = b;
    return true;
}

double spi_tee_min_interval(const char *fps) {
    if (!fps) return 0.047;
    const float f = strtof(fps, nullptr);
    // A display cannot take frames faster than it was asked for; 3 ms less than the
    // period keeps a frame that arrives a little early from being dropped.
    return f > 0 ? 1.0 / f - 0.003 : 0;
}

bool spi_tee_rate_pass(double min_dt, int64_t now_us, int64_t *last_us) {
    if (min_dt > 0) {
        if (double(now_us - *last_us) < min_dt * 1e6) return false;
        *last_us = now_us;
    }
    return true;
}

SpiRect spi_tee_video_rect(int W, int H, int w, int h, bool fit) {
    const double sx = double(W) / w, sy = double(H) / h;
    const double s = fit ? std::min(sx, sy) : std::max(sx, sy);
    const int vw = int(w * s + 0.5), vh = int(h * s + 0.5);
    return {(W - vw) / 2, (H - vh) / 2, vw, vh};
}

SpiRect spi_tee_standby_rect(int W, int H, int w, int h) {
    const double s = std::min(double(W) / w, double(H) / h);
    int dw = int(w * s + 0.5) & ~1, dh = int(h * s + 0.5) & ~1;
    if (dw < 1 || dh < 1 || dw > W || dh > H) {
        dw = W & ~1;
        dh = H & ~1;
    }
    return {(W - dw) / 2, (H - dh) / 2, dw, dh};
}

void SwsFree::operator()(SwsContext *c) const {
    sws_freeContext(c);
}

SpiTee::SpiTee(const SpiSettings &s) : settings(s), strip_on(s.strip) {}

SpiTee::~SpiTee() {
    {
        std::lock_guard hold(lock);
        running = false;
    }
    cv.notify_all();
    if (converter.joinable()) converter.join();
}

bool spi_tee_wanted(const SpiTee &tee) {
    return tee.settings.on;
}

// A reader may hold the object mapped across a restart at another size: a smaller
// object would cut its mapping short (SIGBUS), so the object only ever grows. The new
// header is written behind seq 0, so a reader copying a frame of the old size throws
// the copy away, and a reader finds the size in the header rather than the object's.
bool spi_tee_shm_init(SpiTee &tee) {
    if (tee.shm) return true;
    const int fd = shm_open(kSpiShmName, O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        say("zyl-mpp: spi-tee: shm_open: %s", strerror(errno));
        return false;
    }
    const int W = tee.settings.w, H = tee.settings.h;
    const size_t size = spi_frame_bytes(W, H);
    struct stat st;
    const bool room = fstat(fd, &st) == 0 && size_t(st.st_size) >= size;
    if (!room && ftruncate(fd, off_t(size)) != 0) {
        close(fd);
        return false;
    }
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return false;
    auto *f = static_cast<SpiFrame *>(map);
    __atomic_store_n(&f->seq, 0u, __ATOMIC_SEQ_CST);
    __atomic_store_n(&f->width, W, __ATOMIC_SEQ_CST);
    __atomic_store_n(&f->height, H, __ATOMIC_SEQ_CST);
    __atomic_store_n(&f->magic, kSpiMagic, __ATOMIC_SEQ_CST);
    tee.shm = Mapping(map, size);
    return true;
}

SpiStripValues spi_strip_values(const TelemetryState &t) {
    return {t.valid, t.gog, t.drn, t.tmp, t.rec, t.recs};
}

namespace {

SpiStripValues strip_values_now(const SpiTee &tee) {
    static const TelemetryState none{};
    return spi_strip_values(tee.overlays ? tee.overlays->telem : none);
}

}  // namespace

void spi_tee_publish_buffer(SpiTee &tee, const uint8_t *px, uint32_t stride, int w, int h) {
    if (!tee.settings.on || !px || w <= 0 || h <= 0 || !spi_tee_shm_init(tee)) return;
    const int W = tee.settings.w, H = tee.settings.h;
    const SpiRect d = spi_tee_standby_rect(W, H, w, h);
    const uint8_t *scaled = standby_scale(tee, px, stride, w, h, d);
    if (!scaled) return;

    const SpiStripValues v = strip_values_now(tee);
    std::lock_guard hold(tee.lock);
    SpiFrame *f = tee.frame();
    uint16_t *out = spi_frame_pixels(f);
    write_begin(f);
    memset(out, 0, size_t(W) * H * 2);
    for (int y = 0; y < d.h; y++) {
        const uint8_t *s = scaled + size_t(y) * d.w * 4;  // B, G, R, A
        uint16_t *o = out + size_t(d.y + y) * W + d.x;
        for (int x = 0; x < d.w; x++, s += 4) o[x] = spi_rgb565(s[2], s[1], s[0]);
    }
    spi_tee_overlay_header(tee, out, v);
    write_end(f);
}

bool spi_tee_converter_start(SpiTee &tee) {
    const int W = tee.settings.w, H = tee.settings.h;
    try {
        for (std::vector<uint8_t> &b : tee.buf) b.resize(size_t(W) * H * 4);
    } catch (const std::bad_alloc &) {
        return false;
    }
    // Same size, RGBA to RGB565: the unscaled converter keeps the top bits of each
    // channel, without dithering.
    tee.sws.reset(sws_getContext(W, H, AV_PIX_FMT_RGBA, W, H, AV_PIX_FMT_RGB565LE,
                                 SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!tee.sws) return false;
    tee.running = true;
    try {
        tee.converter = Thread([&tee] { converter_run(tee); });
    } catch (const std::system_error &) {
        tee.running = false;
        return false;
    }
    return true;
}

int spi_tee_take_buffer(SpiTee &tee) {
    std::lock_guard hold(tee.lock);
    int i = 0;
    while (i < kSpiStaging && tee.busy[i]) i++;
    if (i == kSpiStaging && tee.queued.size() > 0) {
        // Every buffer waits for the converter (none is converted while the lock is
        // held here): the newest waiting frame gives way to this newer one, so the
        // copy falls behind by dropping frames, never by ending on an old picture.
        i = tee.queued.take_back();
    }
    if (i == kSpiStaging) return -1;
    tee.busy[i] = true;
    tee.vals[i] = strip_values_now(tee);
    return i;
}

void spi_tee_queue(SpiTee &tee, int i) {
    {
        std::lock_guard hold(tee.lock);
        tee.queued.push(i);
    }
    tee.cv.notify_one();
}
