// Stream intake: the decoder context and the reader thread that feeds it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "base/ring.h"

// The keyframe mark on a decoded frame; older libavutil has the bit but no name.
#ifndef AV_FRAME_FLAG_KEY
#define AV_FRAME_FLAG_KEY (1 << 1)
#endif

// A decoded frame has one owner at a time; a frame that is dropped is freed by
// going out of scope.
struct FrameFree {
    void operator()(AVFrame *f) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
// The same for a unit kept beside the decoder.
struct PacketFree {
    void operator()(AVPacket *p) const;
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// Units copied for object detection while detection is on: the newest kSlots. The
// reader thread adds under `lock` and signals `cv`; nothing in this system takes them
// out yet.
struct DetectQueue {
    static constexpr int kSlots = 64;
    std::mutex lock;
    std::condition_variable cv;
    DropOldest<PacketPtr, kSlots> units;

    // Keeps a copy of `pkt`, dropping the oldest when full.
    void add(const AVPacket *pkt);
};

// What the reader tells the rest of the receiver. Every hook runs on the reader
// thread; app/ fills them before the thread starts.
struct ReaderHooks {
    // A decoded frame, in decoding order.
    std::function<void(FramePtr)> frame;
    // One of the pictures the decoder hands out at the end of the input: nothing
    // newer follows, so it may wait its turn rather than push an older one out
    // (unset: as `frame`).
    std::function<void(FramePtr)> last_frame;
    // After a flush or a rebuild lost the decoder's references: arm the hard
    // keyframe gate from `now_us`. With `keep_armed`, a gate already armed keeps
    // its start (its broken pictures began before this). Pictures of units that came
    // before `whole_before` (monotonic microseconds) still pass.
    std::function<void(int64_t now_us, bool keep_armed, int64_t whole_before)> arm_gate;
    // Frames shown so far, for the stall lines.
    std::function<uint64_t()> shown_count;
    // How many of the decoder's frames may be alive at once outside it (0: no
    // limit), whenever that changes: after an open and after the first frame.
    std::function<void(int budget)> frame_budget;
    // Before the decoder is rebuilt: every frame of it that is alive outside it is
    // freed when this returns (or after a bounded wait for the screen to let go).
    std::function<void()> release_frames;
};

// Why the reader stopped.
enum class ReaderEnd {
    kInput,  // the input ended, failed or a stop was requested
    kDead,   // the decoder is dead or could not be rebuilt: only a restart helps
};

// Stall and reopen settings.
struct RecoverySettings {
    int64_t dead_ms;    // this long without a frame is a stall; 0 or less: never
    bool param_reopen;  // rebuild when the parameter sets change at a random-access unit
    bool dead_exit;     // the first stall ends the process instead of flushing
};

// The decoder's and the reader's settings, read once at start-up.
struct DecodeSettings {
    std::string decoder = "h264_v4l2m2m";   // libavcodec decoder name
    std::optional<std::string> drm_device;  // for the hevc decoder; none: the library's choice
    int read_bytes = 24576;                 // bytes per read of the input
    bool strip_sei = false;                 // remove SEI units before the decoder
    RecoverySettings recovery{3000, true, false};
    // Input quiet this long: the parser's last unit goes in and a decoder that still
    // holds pictures gives them up (end of stream, then a flush).
    int64_t pause_drain_ms = 200;
};

// The rules of the settings; null stands for an unset variable.
// Read size: 4096..65536 taken as it is, anything else the default.
int reader_read_bytes(const char *value);
RecoverySettings recovery_settings(const char *dead_ms, const char *param_reopen,
                                   const char *dead_exit, const char *decoder_name);

// What the reader and the main thread know of the stream, one per process: the
// process entry keeps it where a reader it could not stop may still reach it.
struct StreamFacts {
    // The stream is H.265. Set at start-up from the codec before the reader starts;
    // read-only afterwards, by both threads.
    bool hevc = false;
    // SEI units removed before the decoder: the reader thread adds, the main thread's
    // health line reads.
    std::atomic<uint64_t> sei_stripped{0};
    // Decoder rebuilds for a parameter-set change: the reader thread stores its count,
    // the main thread's state file reads it.
    std::atomic<uint64_t> reopens{0};
    // Units are copied for detection: the main thread switches it from the request
    // file, the reader thread reads it for every unit.
    std::atomic<bool> detect{false};
};

struct ReaderArgs {
    AVCodecContext *avctx;
    AVCodecParserContext *parser;
    const AVCodec *codec;
    const char *decoder_name;
    int deferred_open;
    StreamFacts *facts = nullptr;   // must be set before the reader runs
    DetectQueue *detect = nullptr;  // where units go while detection is on; null: nowhere
};

// `drm_device` (null: the library's choice) is for the hevc decoder only.
AVCodecContext *new_decoder_ctx(const AVCodec *codec, const char *name,
                                const char *drm_device = nullptr);
enum AVPixelFormat get_drm_prime(AVCodecContext *ctx, const enum AVPixelFormat *fmts);
// Says once per process that frames come in software and are copied; get_drm_prime
// says it when it picks a software format, the display at the first such frame.
void say_software_frames();
// The capture buffers the opened decoder `name` recycles: what it says, else 16 for
// rkmpp, else 0 (unknown, as for a software decoder that allocates as it goes).
int decoder_pool_size(AVCodecContext *ctx, const char *name);
// Of a pool of `pool` buffers (0: unknown) the decoder keeps its `refs` references
// (0 or less: not known yet) and one to decode into; the rest may be held outside.
// 0: no limit.
int frame_budget(int pool, int refs);

// Reads `fd` until it ends (or `stop_fd`, when not -1, becomes readable), feeding
// the decoder and handing its frames to `hooks`. With `decode` false units are
// prepared but never sent (to measure the reader's own cost).
ReaderEnd reader_run(ReaderArgs *ra, const DecodeSettings &settings, const ReaderHooks &hooks,
                     int fd, int stop_fd = -1, bool decode = true);
// Hands every frame the decoder has ready to `hooks.frame`; returns how many.
// Frames the decoder calls keyframes get the keyframe mark; so does the last frame
// of a drain with `keyframe` set, as long as the decoder has never flagged a
// keyframe itself (`*flags_keys`, which the first such frame sets). `last`, when
// given, gets the answer that ended the drain (AVERROR_EOF after the end of stream).
int drain_decoder(AVCodecContext *ctx, int keyframe, bool *flags_keys, const ReaderHooks &hooks,
                  int *last = nullptr);

// ---- NAL unit scans (pure, over one access unit) ----
// kDecodable: a slice or a parameter set, what a decoder can do anything with.
enum class NalClass { kSei, kKeyframe, kRandomAccess, kDecodable };
int nal_type(uint8_t header, int hevc);
bool nal_is(NalClass c, int type, int hevc);
// Removes SEI units in place; returns how many were removed. The kept bytes, in
// their order, are then `size` bytes from `*unit`, which may have moved forward.
int strip_sei(uint8_t **unit, int *size, int hevc);

// The last VPS, SPS and PPS seen, each with its start code.
struct ParamSetStore {
    uint8_t *unit[3];
    int len[3];
};

struct UnitFindings {
    bool keyframe;       // the frame drained for this unit gets the keyframe mark
    bool random_access;  // holds a slice a rebuilt decoder can start from
    bool changed;        // a tracked parameter set differs from the one stored
    bool decodable;      // holds a slice or a parameter set
};
// Whether `bytes` start a slice or a parameter set anywhere.
bool holds_decodable(std::span<const uint8_t> bytes, int hevc);
// One pass over a unit: its findings, with its parameter sets stored in `ps`.
UnitFindings scan_unit(std::span<const uint8_t> unit, int hevc, ParamSetStore *ps);
// Both in one walk: with `strip`, SEI units are removed first (returns how many)
// and `f` gets the findings of the units kept.
int walk_unit(uint8_t **unit, int *size, int hevc, bool strip, ParamSetStore *ps, UnitFindings *f);
void param_sets_free(ParamSetStore *ps);

// Deferred HEVC open: length of the extradata before the first slice of `buf`,
// or -1 while the buffer does not yet hold an SPS and PPS followed by a slice.
int hevc_extradata_len(std::span<const uint8_t> buf);
// Bytes at the front of a still-unopened buffer that can never satisfy the
// deferred open: slices that came before their parameter sets, or more than
// `max_wait` bytes without any slice at all.
size_t hevc_discardable(std::span<const uint8_t> buf, size_t max_wait);
