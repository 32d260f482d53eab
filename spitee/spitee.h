// SPI tee: a small RGB565 copy of what the receiver shows, published in POSIX shared
// memory for another process that drives a small SPI display. While video is shown
// the GPU pass draws each frame a second time at the tee size and reads it back; a
// converter thread turns it into RGB565 in the shared frame. While no video is shown
// the first output's standby picture is scaled in instead. Both write a status strip
// over the top rows. The receiver only writes the object; it never learns whether
// anybody reads it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/own.h"
#include "base/ring.h"

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

// What the strip shows besides the uptime: the telemetry values and the board's
// temperature when no telemetry temperature is given.
struct SpiStripValues {
    int valid;     // a telemetry record was read
    int gog, drn;  // battery percent, -1 absent
    int tmp;       // degrees C, below -99 absent
    int rec, recs;
};

// ---- settings and state ----
struct SpiSettings {
    bool on = false;  // ZYL_KMS_SPI_TEE is a valid size
    int w = 0, h = 0;
    bool fit = false;             // ZYL_KMS_SPI_ASPECT fit or off (the video path only)
    double min_interval = 0.047;  // seconds between video frames, from ZYL_KMS_SPI_FPS
    bool strip = true;            // ZYL_KMS_SPI_TELEMETRY is not 0
};
struct SwsContext;
struct SwsFree {
    void operator()(SwsContext *c) const;
};
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
constexpr int kSpiStaging = 3;

// The copy's state, made by the process entry before the first display comes up (its
// modeset publishes). The main thread does everything but the RGB565 conversion; the
// converter thread touches only what is marked "under lock", and only holding `lock`.
// Going, it waits for the frames still queued to be written (the copy ends on the last
// picture shown), then joins the converter.
struct Overlays;
struct PopupTile;
struct Font;
struct TelemetryState;

struct SpiTee {
    explicit SpiTee(const SpiSettings &s = {});
    ~SpiTee();
    SpiTee(const SpiTee &) = delete;
    SpiTee &operator=(const SpiTee &) = delete;

    // Settings: read by both threads, written only before the converter starts (or
    // under lock).
    SpiSettings settings;
    bool strip_on = true;  // the status strip; off for good when its buffer cannot be had

    // Main thread only.
    int ready = 0;        // video path: 0 not set up, 1 ready, -1 off for good
    int64_t last_us = 0;  // when the last video frame passed the rate limit
    GlTexture tex;        // the video path's render target (the pass's GL context)
    GlFramebuffer fbo;
    // Software frames' path: 0 not set up, 1 ready, -1 off for good; their scaler and
    // the picture scaled to its place, kept between frames.
    int soft_ready = 0;
    SwsPtr soft_sws;
    std::vector<uint8_t> soft_scaled;
    SwsPtr standby_sws;  // the standby picture's scaler and buffer, kept between publishes
    std::unique_ptr<uint8_t[]> standby_scaled;
    size_t standby_capacity = 0;
    // The records the strip and the pop-up show, set by the process entry; none:
    // neither shows.
    const Overlays *overlays = nullptr;
    PopupTile *popup = nullptr;  // the pop-up's tile, with the records
    Font *font = nullptr;        // the overlays' font; null: the 8x8 bitmap font

    // Every write of the frame, the staging buffers' states and the FIFO: under lock.
    // Three staging buffers and a FIFO of three: a buffer is free, or busy from the
    // moment the main thread takes it until the converter has written it out, so the
    // main thread never draws into one that waits or is being converted and the FIFO
    // cannot overflow. A busy buffer's pixels belong to whoever took or dequeued it.
    std::mutex lock;
    std::condition_variable cv;
    Mapping shm;                            // the SpiFrame; empty until the object is mapped
    std::vector<uint8_t> buf[kSpiStaging];  // RGBA, W x H, rows top first
    bool busy[kSpiStaging] = {};
    SpiStripValues vals[kSpiStaging] = {};
    DropOldest<int, kSpiStaging> queued;  // buffers waiting for the converter, oldest first
    bool running = false;
    SwsPtr sws;                       // the converter's RGBA to RGB565
    std::vector<uint32_t> strip_buf;  // the strip's ARGB scratch rows
    Thread converter;                 // last: stopped and joined before anything above goes

    SpiFrame *frame() const { return static_cast<SpiFrame *>(shm.get()); }
};

// Creates or opens the shared object, grows it to the tee size when it is smaller,
// maps it and writes the header; true when mapped (at once when it already is).
[[nodiscard]] bool spi_tee_shm_init(SpiTee &tee);
// Publishes a 0xAARRGGBB picture (bytes B, G, R, A): fitted into the frame with black
// around it, strip on top. The standby path: the modeset, the first output's repaint
// and the loop's once-a-second tick while no video is shown.
void spi_tee_publish_buffer(SpiTee &tee, const uint8_t *px, uint32_t stride, int w, int h);
struct GpuPass;
// The video path, after the GPU pass drew a frame (its PassFrame still held): draws
// the same source with the pass's program for `t`, mirrored by `flip`, at the tee size,
// reads it back and queues it for the converter thread. `now_us` (monotonic) is for
// the rate limit. The framebuffer binding and viewport are left changed.
void spi_tee_video_frame(SpiTee &tee, GpuPass &pass, const Tuning &t, Flip flip, int64_t now_us);
struct AVFrame;
// The video path for a software frame (NV12 or YUV420P), which never reaches the GPU
// pass: its own pixels scaled to the tee size on the main thread, uncorrected as on
// the planes, mirrored by `flip`, then queued like a drawn frame.
void spi_tee_software_frame(SpiTee &tee, const AVFrame &frame, Flip flip, int64_t now_us);
// Whether frames must go through the GPU pass for the tee.
bool spi_tee_wanted(const SpiTee &tee);

// ---- the video path's hand-over to the converter thread ----
// Allocates the staging buffers and starts the converter thread; false (silent) when
// it cannot.
[[nodiscard]] bool spi_tee_converter_start(SpiTee &tee);
// A free staging buffer, now busy, with the strip's values of this moment; with none
// free, the buffer of the newest frame still waiting for the converter, which this one
// replaces. -1 when there is neither.
int spi_tee_take_buffer(SpiTee &tee);
// Hands a filled buffer to the converter thread.
void spi_tee_queue(SpiTee &tee, int i);

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
// The values of the telemetry record now; the main thread takes them for each frame
// it hands on, so the converter thread never reads the record itself.
SpiStripValues spi_strip_values(const TelemetryState &t);
// Draws the strip into an ARGB surface of width W and height kSpiStripH.
struct OverlaySurface;
void spi_strip_draw(const OverlaySurface &s, const SpiStripValues &v, int board_temp,
                    const char *uptime);
// Blends the ARGB strip (W x kSpiStripH, stride W x 4) into the top rows of an RGB565
// frame of W x H.
void spi_strip_blend(uint16_t *px, int W, int H, const uint32_t *strip);
// The strip over the frame's pixels (ZYL_KMS_SPI_TELEMETRY=0: none). The caller holds
// tee.lock.
void spi_tee_overlay_header(SpiTee &tee, uint16_t *px, const SpiStripValues &v);
