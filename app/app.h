// Process control: settings, the frame mailbox and start-up.
// The main thread owns everything here except the producer side of the mailbox,
// which belongs to the reader thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>

struct AVCodecContext;
struct AVFrame;

// ---- settings read at start-up ----
extern int g_hotplug_on;
extern int g_smooth;
extern char g_aspect[32];
extern char g_fit[32];
extern char g_flip[32];
extern const char *g_aspect_dsi;  // raw values, null when unset
extern const char *g_fit_dsi;
extern const char *g_flip_dsi;
extern int g_telem_dsi;

// Reads the start-up settings in their fixed order and prints their lines.
// `interlaced` is whether any output's mode is interlaced.
void read_settings(bool interlaced);
// DRM plane rotation value for a flip word ("h", "v", "180", anything else: 0).
uint64_t rot_from_flip(const char *flip);

// ---- frame mailbox ----
constexpr int kMailboxSlots = 4;
extern AVFrame *g_mb_q[kMailboxSlots];
extern int g_mb_head;
extern int g_mb_n;
extern std::atomic<int> g_mb_cap;
extern int g_mb_eof;
extern std::mutex g_mb_lock;
extern std::condition_variable g_mb_cv;
extern std::atomic<uint64_t> g_drop_fifo;
extern std::atomic<int64_t> g_src_interval_us;
extern std::atomic<uint64_t> g_dec_count;
extern std::atomic<uint64_t> g_shown_count;

// Producer side (reader thread). `now_us` is the monotonic arrival time.
void mb_push(AVFrame *frame);
void mb_push_at(AVFrame *frame, int64_t now_us);
int drain_decoder(AVCodecContext *ctx, int keyframe);
void mb_set_eof();
// Consumer side: call with g_mb_lock held. Null when empty.
AVFrame *mb_take_locked();
// Interval estimate update: the next smoothed value for one measured interval.
int64_t mb_next_interval(int64_t current, int64_t interval_us);

// ---- video placement ----
struct Rect {
    int x, y, w, h;
    bool operator==(const Rect &) const = default;
};
struct Placement {
    Rect dst;  // screen pixels
    Rect src;  // picture pixels
};
struct PlaceInput {
    int width, height;                // the output's mode
    bool sidebar_shown;               // sidebar output with the menu or a message up
    const char *aspect, *fit, *flip;  // the output's settings; a null fit reads g_fit
    int sw, sh;                       // picture size
};
// Largest rectangle of aspect `A` centred in W x H; the whole area when A is not positive.
Rect fit_dest(int W, int H, double A);
Placement place_video(const PlaceInput &in);

// ---- start-up ----
// Back-off before display attempt n (0-based) while no display can be driven, in ms.
int display_retry_delay_ms(int attempt);
// Finds and prepares the decoder; fills ReaderArgs. Returns 0, or the exit status.
struct ReaderArgs;
int prepare_decoder(ReaderArgs *ra);
// Loads the first TrueType face of the candidate list into g_face.
void load_font();

// ---- time ----
int64_t mono_us();
int64_t mono_ms();
