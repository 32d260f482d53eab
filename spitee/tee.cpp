// The shared frame and its two producers' common ground: settings, the object
// itself, the standby picture's path and the converter thread that turns read-back
// video pictures into RGB565.
//
// Every write of the frame happens under g_spi_tee_lock with seq odd, so the two
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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

extern "C" {
#include <libswscale/swscale.h>
}

#include "overlay/status.h"

int g_spi_tee_on;
int g_spi_tee_w, g_spi_tee_h;
int g_spi_tee_fit;
SpiFrame *g_spi_tee_shm;
int g_spi_tee_ready;
pthread_mutex_t g_spi_tee_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_spi_tee_cv = PTHREAD_COND_INITIALIZER;

// Three staging buffers and a FIFO of three: a buffer is free, or busy from the moment
// the main thread takes it until the converter has written it out, so the main thread
// never draws into one that waits or is being converted and the FIFO cannot overflow.
uint8_t *g_spi_tee_buf[kSpiStaging];
int g_spi_tee_state[kSpiStaging];
SpiStripValues g_spi_tee_vals[kSpiStaging];
int g_spi_tee_q[kSpiStaging], g_spi_tee_qh, g_spi_tee_qt, g_spi_tee_qn;
int g_spi_tee_running;
pthread_t g_spi_tee_thread;
SwsContext *g_spi_tee_sws;

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
void convert(int i) {
    SpiFrame *f = g_spi_tee_shm;
    write_begin(f);
    const uint8_t *src[4] = {g_spi_tee_buf[i]};
    const int src_stride[4] = {g_spi_tee_w * 4};
    uint8_t *dst[4] = {reinterpret_cast<uint8_t *>(spi_frame_pixels(f))};
    const int dst_stride[4] = {g_spi_tee_w * 2};
    sws_scale(g_spi_tee_sws, src, src_stride, 0, g_spi_tee_h, dst, dst_stride);
    spi_tee_overlay_header(spi_frame_pixels(f), g_spi_tee_vals[i]);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    g_spi_tee_state[i] = 0;
    write_end(f);
}

void *spi_tee_thread_fn(void *) {
    pthread_mutex_lock(&g_spi_tee_lock);
    for (;;) {
        while (g_spi_tee_running && g_spi_tee_qn == 0)
            pthread_cond_wait(&g_spi_tee_cv, &g_spi_tee_lock);
        if (g_spi_tee_qn == 0) break;
        const int i = g_spi_tee_q[g_spi_tee_qh];
        g_spi_tee_qh = (g_spi_tee_qh + 1) % kSpiStaging;
        g_spi_tee_qn--;
        convert(i);
        pthread_cond_broadcast(&g_spi_tee_cv);  // the end of the process may wait for it
    }
    pthread_mutex_unlock(&g_spi_tee_lock);
    return nullptr;
}

// The standby picture scaled into the rectangle `d` (bytes B, G, R, A, rows of d.w);
// null on failure. Scaled in 32 bits and packed by the caller: libswscale's scaler
// into RGB565 complains about its chroma filter on every call, once a second while
// the screen is idle. The scaler and its buffer are kept for the next publish (the
// main thread's only): made anew every second, picture-sized blocks would pile up
// in the main heap.
const uint8_t *standby_scale(const uint8_t *px, uint32_t stride, int w, int h, const SpiRect &d) {
    static SwsContext *sws;
    static std::unique_ptr<uint8_t[]> scaled;
    static size_t capacity;
    sws = sws_getCachedContext(sws, w, h, AV_PIX_FMT_BGRA, d.w, d.h, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                               nullptr, nullptr, nullptr);
    if (!sws) return nullptr;
    const size_t bytes = size_t(d.w) * d.h * 4;
    if (capacity < bytes) {
        scaled.reset(new (std::nothrow) uint8_t[bytes]);
        capacity = scaled ? bytes : 0;
        if (!scaled) return nullptr;
    }
    const uint8_t *src[4] = {px};
    const int src_stride[4] = {int(stride)};
    uint8_t *dst[4] = {scaled.get()};
    const int dst_stride[4] = {d.w * 4};
    sws_scale(sws, src, src_stride, 0, h, dst, dst_stride);
    return scaled.get();
}

// The process ends without stopping the thread, and exit() then destroys the glyph
// cache the strip draws with: the frames still queued are written first (the copy ends
// on the last picture shown), none starts after.
void hold_frame_at_exit() {
    pthread_mutex_lock(&g_spi_tee_lock);
    while (g_spi_tee_running && g_spi_tee_qn > 0) pthread_cond_wait(&g_spi_tee_cv, &g_spi_tee_lock);
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

void spi_tee_configure(const SpiSettings &s) {
    g_spi_tee_on = s.on;
    if (!s.on) return;
    g_spi_tee_w = s.w;
    g_spi_tee_h = s.h;
    g_spi_tee_fit = s.fit;
    spi_tee_video_configure(s.min_interval);
    spi_tee_strip_configure(s.strip);
}

bool spi_tee_wanted() {
    return g_spi_tee_on == 1;
}

// A reader may hold the object mapped across a restart at another size: a smaller
// object would cut its mapping short (SIGBUS), so the object only ever grows. The new
// header is written behind seq 0, so a reader copying a frame of the old size throws
// the copy away, and a reader finds the size in the header rather than the object's.
int spi_tee_shm_init() {
    if (g_spi_tee_shm) return 0;
    const int fd = shm_open(kSpiShmName, O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        fprintf(stderr, "zyl-mpp: spi-tee: shm_open: %m\n");
        return -1;
    }
    const size_t size = spi_frame_bytes(g_spi_tee_w, g_spi_tee_h);
    struct stat st;
    const bool room = fstat(fd, &st) == 0 && size_t(st.st_size) >= size;
    if (!room && ftruncate(fd, off_t(size)) != 0) {
        close(fd);
        return -1;
    }
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return -1;
    auto *f = static_cast<SpiFrame *>(map);
    __atomic_store_n(&f->seq, 0u, __ATOMIC_SEQ_CST);
    __atomic_store_n(&f->width, g_spi_tee_w, __ATOMIC_SEQ_CST);
    __atomic_store_n(&f->height, g_spi_tee_h, __ATOMIC_SEQ_CST);
    __atomic_store_n(&f->magic, kSpiMagic, __ATOMIC_SEQ_CST);
    g_spi_tee_shm = f;
    return 0;
}

SpiStripValues spi_strip_values() {
    return {g_telem.valid, g_telem.gog, g_telem.drn, g_telem.tmp, g_telem.rec, g_telem.recs};
}

void spi_tee_publish_buffer(const uint8_t *px, uint32_t stride, int w, int h) {
    if (!g_spi_tee_on || !px || w <= 0 || h <= 0 || spi_tee_shm_init() != 0) return;
    const int W = g_spi_tee_w, H = g_spi_tee_h;
    const SpiRect d = spi_tee_standby_rect(W, H, w, h);
    const uint8_t *scaled = standby_scale(px, stride, w, h, d);
    if (!scaled) return;

    const SpiStripValues v = spi_strip_values();
    pthread_mutex_lock(&g_spi_tee_lock);
    SpiFrame *f = g_spi_tee_shm;
    uint16_t *out = spi_frame_pixels(f);
    write_begin(f);
    memset(out, 0, size_t(W) * H * 2);
    for (int y = 0; y < d.h; y++) {
        const uint8_t *s = scaled + size_t(y) * d.w * 4;  // B, G, R, A
        uint16_t *o = out + size_t(d.y + y) * W + d.x;
        for (int x = 0; x < d.w; x++, s += 4) o[x] = spi_rgb565(s[2], s[1], s[0]);
    }
    spi_tee_overlay_header(out, v);
    write_end(f);
    pthread_mutex_unlock(&g_spi_tee_lock);
}

int spi_tee_converter_start() {
    const size_t bytes = size_t(g_spi_tee_w) * g_spi_tee_h * 4;
    for (uint8_t *&b : g_spi_tee_buf) {
        b = new (std::nothrow) uint8_t[bytes];
        if (!b) return -1;
    }
    // Same size, RGBA to RGB565: the unscaled converter keeps the top bits of each
    // channel, without dithering.
    g_spi_tee_sws =
        sws_getContext(g_spi_tee_w, g_spi_tee_h, AV_PIX_FMT_RGBA, g_spi_tee_w, g_spi_tee_h,
                       AV_PIX_FMT_RGB565LE, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (!g_spi_tee_sws) return -1;
    g_spi_tee_running = 1;
    if (pthread_create(&g_spi_tee_thread, nullptr, spi_tee_thread_fn, nullptr) != 0) {
        g_spi_tee_running = 0;
        return -1;
    }
    atexit(hold_frame_at_exit);
    return 0;
}

int spi_tee_take_buffer() {
    pthread_mutex_lock(&g_spi_tee_lock);
    int i = 0;
    while (i < kSpiStaging && g_spi_tee_state[i] != 0) i++;
    if (i == kSpiStaging && g_spi_tee_qn > 0) {
        // Every buffer waits for the converter (none is converted while the lock is
        // held here): the newest waiting frame gives way to this newer one, so the
        // copy falls behind by dropping frames, never by ending on an old picture.
        g_spi_tee_qt = (g_spi_tee_qt + kSpiStaging - 1) % kSpiStaging;
        g_spi_tee_qn--;
        i = g_spi_tee_q[g_spi_tee_qt];
    }
    if (i < kSpiStaging) {
        g_spi_tee_state[i] = 1;
        g_spi_tee_vals[i] = spi_strip_values();
    }
    pthread_mutex_unlock(&g_spi_tee_lock);
    return i < kSpiStaging ? i : -1;
}

void spi_tee_queue(int i) {
    pthread_mutex_lock(&g_spi_tee_lock);
    g_spi_tee_q[g_spi_tee_qt] = i;
    g_spi_tee_qt = (g_spi_tee_qt + 1) % kSpiStaging;
    g_spi_tee_qn++;
    pthread_cond_signal(&g_spi_tee_cv);
    pthread_mutex_unlock(&g_spi_tee_lock);
}
