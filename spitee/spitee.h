// SPI tee: a small RGB565 copy of what the receiver shows, published in POSIX shared
// memory for another process that drives a small SPI display. While video is shown
// the GPU pass draws each frame a second time at the tee size and reads it back; a
// converter thread turns it into RGB565 in the shared frame. While no video is shown
// the first output's standby picture is scaled in instead. Both write a status strip
// over the top rows. The receiver only writes the object; it never learns whether
// anybody reads it.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "kms/look.h"

struct Tuning;

// ---- the shared frame: a wire format, all fields little-endian ----
// Pixels follow the header: W x H u16, bits 15-11 red, 10-5 green, 4-0 blue, rows
// top first, no padding. `seq` is odd while a frame is being written and even when
// the frame is whole; every frame adds 2; 0 means set up with nothing written yet. A
// reader copies the pixels between two reads of `seq` and keeps the copy when both
// are equal, even and not 0. A magic of 0 means the object is still being set up. The
// object may be larger than the header's size: it never shrinks, so that a reader's
// mapping stays whole when the receiver starts again at a smaller size.
struct SpiFrame {
    uint32_t magic;  // kSpiMagic, the bytes "SPIT"
    int32_t width, height;
    uint32_t seq;
};
constexpr uint32_t kSpiMagic = 0x54495053;
constexpr const char *kSpiShmName = "/zyl-spi.frame";
constexpr int kSpiMaxSide = 1024;
inline uint16_t *spi_frame_pixels(SpiFrame *f) {
    return reinterpret_cast<uint16_t *>(f + 1);
}
inline const uint16_t *spi_frame_pixels(const SpiFrame *f) {
    return reinterpret_cast<const uint16_t *>(f + 1);
}
inline size_t spi_frame_bytes(int w, int h) {
    return (size_t(w) * size_t(h) + 8) * 2;
}

// ---- settings and state ----
struct SpiSettings {
    bool on = false;  // ZYL_KMS_SPI_TEE is a valid size
    int w = 0, h = 0;
    bool fit = false;             // ZYL_KMS_SPI_ASPECT fit or off (the video path only)
    double min_interval = 0.047;  // seconds between video frames, from ZYL_KMS_SPI_FPS
    bool strip = true;            // ZYL_KMS_SPI_TELEMETRY is not 0
};
// Takes the settings; before the first display comes up (its modeset publishes).
void spi_tee_configure(const SpiSettings &s);
// Its parts for the video path's rate limit and for the status strip.
void spi_tee_video_configure(double min_interval);
void spi_tee_strip_configure(bool on);
extern int g_spi_tee_on;  // 0 or 1
extern int g_spi_tee_w, g_spi_tee_h;
extern int g_spi_tee_fit;               // 1 fit, 0 fill (the video path only)
extern SpiFrame *g_spi_tee_shm;         // null until the object is mapped
extern int g_spi_tee_ready;             // video path: 0 not set up, 1 ready, -1 off for good
extern pthread_mutex_t g_spi_tee_lock;  // buffer states, FIFO, every write of the frame

// Creates or opens the shared object, grows it to the tee size when it is smaller,
// maps it and writes the header; 0 when mapped (at once when it already is), -1
// otherwise.
int spi_tee_shm_init();
// Publishes a 0xAARRGGBB picture (bytes B, G, R, A): fitted into the frame with black
// around it, strip on top. The standby path: the modeset, the first output's repaint
// and the loop's once-a-second tick while no video is shown.
void spi_tee_publish_buffer(const uint8_t *px, uint32_t stride, int w, int h);
// The video path, after the GPU pass drew a frame (its PassFrame still held): draws
// the same source with the pass's program for `t`, mirrored by `flip`, at the tee size, reads
// it back and queues it for the converter thread. `now_us` (monotonic) is for the
// rate limit. The framebuffer binding and viewport are left changed.
void spi_tee_video_frame(const Tuning &t, Flip flip, int64_t now_us);
// Whether frames must go through the GPU pass for the tee.
bool spi_tee_wanted();

// ---- the video path's hand-over to the converter thread ----
constexpr int kSpiStaging = 3;
extern uint8_t *g_spi_tee_buf[kSpiStaging];  // RGBA, W x H, rows top first
// Allocates the staging buffers and starts the converter thread; 0, or -1 (silent).
int spi_tee_converter_start();
// A free staging buffer, now busy, with the strip's values of this moment; with none
// free, the buffer of the newest frame still waiting for the converter, which this one
// replaces. -1 when there is neither.
int spi_tee_take_buffer();
// Hands a filled buffer to the converter thread.
void spi_tee_queue(int i);

// ---- pure parts ----
// "WxH" with both sides 1..1024; false for anything else.
bool spi_tee_parse_size(const char *s, int *w, int *h);
// The video path's shortest interval between frames in seconds, 0 for none, from
// ZYL_KMS_SPI_FPS (null when unset).
double spi_tee_min_interval(const char *fps);
// Rate limit: whether a frame at `now_us` passes when the last one passed at
// `*last_us` (which then becomes now).
bool spi_tee_rate_pass(double min_dt, int64_t now_us, int64_t *last_us);
struct SpiRect {
    int x, y, w, h;
};
// Where the pass's w x h picture lands in the W x H tee: fitted inside (bars) or
// filling it (cut at two sides, so x or y is negative).
SpiRect spi_tee_video_rect(int W, int H, int w, int h, bool fit);
// Where a w x h standby picture lands: fitted, even sides.
SpiRect spi_tee_standby_rect(int W, int H, int w, int h);
// Bytes R, G, B, A to RGB565: top bits of each channel, alpha dropped.
inline uint16_t spi_rgb565(uint8_t r, uint8_t g, uint8_t b) {
    return uint16_t((r & 0xF8) << 8 | (g & 0xFC) << 3 | b >> 3);
}

// ---- status strip ----
constexpr int kSpiStripH = 26;
// What the strip shows besides the uptime: the telemetry values and the board's
// temperature when no telemetry temperature is given.
struct SpiStripValues {
    int valid;     // a telemetry record was read
    int gog, drn;  // battery percent, -1 absent
    int tmp;       // degrees C, below -99 absent
    int rec, recs;
};
// The values of the telemetry record now; the main thread takes them for each frame
// it hands on, so the converter thread never reads the record itself.
SpiStripValues spi_strip_values();
// Draws the strip into an ARGB surface of width W and height kSpiStripH.
struct OverlaySurface;
void spi_strip_draw(const OverlaySurface &s, const SpiStripValues &v, int board_temp,
                    const char *uptime);
// Blends the ARGB strip (W x kSpiStripH, stride W x 4) into the top rows of an RGB565
// frame of W x H.
void spi_strip_blend(uint16_t *px, int W, int H, const uint32_t *strip);
// The strip over the frame's pixels (ZYL_KMS_SPI_TELEMETRY=0: none). The caller holds
// g_spi_tee_lock.
void spi_tee_overlay_header(uint16_t *px, const SpiStripValues &v);
