// The virtual board: stands in for the display card and the hardware decoder so the
// receiver runs, end to end, on a machine that has neither.
#pragma once

// ---- virtual decoder ----
#include <cstdint>
#include <functional>

// What the virtual hardware decoder did since the last sim_dec_reset().
struct SimDecStats {
    int64_t live_frames;      // DRM PRIME frames whose memfd is still open (not reset)
    int64_t live_frames_max;  // the most there ever were at once
    int64_t live_devices;     // DRM device contexts not yet freed (not reset)
    int64_t opens;            // avcodec_open2 calls on a virtual decoder, failed ones included
    int64_t format_calls;     // negotiations through the program's get_format
    int64_t delivered;        // frames handed to the program
    int64_t discarded;        // frames decoded and thrown away while silent
    int64_t stalls;           // times a decoder fell silent
    int64_t flushes;          // avcodec_flush_buffers on a virtual decoder
    int64_t sends;            // avcodec_send_packet calls on a virtual decoder
    int64_t busy;             // of those, refused as "input full"
    int64_t held_max;         // most pictures one context's pipeline held at once
    int64_t pool_waits;       // receives answered EAGAIN: every pool buffer with the program
    int64_t torn;             // pool buffers rewritten while on a plane of the card
    int64_t reopen_waits;     // opens that waited for an earlier context's frames
};
SimDecStats sim_dec_stats();
// Re-reads the ZYL_SIM_DEC_* variables, forgets which names were looked up and
// zeroes the counters, so one test process can try several fault settings.
void sim_dec_reset();

// ---- virtual display card ----
#include <string>
#include <string_view>

// Loads a card file (format in sim/README.md) as the virtual card, as ZYL_SIM_CARD
// does at the first open of a /dev/dri path. 0, or -1 with the reason in
// sim_card_error() (the card is then unloaded).
int sim_card_load(const char *path);
int sim_card_load_text(const char *text);
std::string sim_card_error();
// Forgets the card and everything made on it; the next open of a /dev/dri path loads
// ZYL_SIM_CARD again. Faults, clock, counters and log start over.
void sim_card_reset();
// Drives the card clock (time since the card was first opened) by hand from now on:
// scripted connector changes follow it, and vblank waits and blocking commits
// advance it instead of sleeping.
void sim_card_set_time_ms(int64_t ms);
void sim_card_advance_ms(int64_t ms);
int64_t sim_card_time_ms();
// Writes <dir>/<connector name>.png, the composed picture of every connected connector
// driven by an active CRTC. Returns the number of files written, -1 on error.
int sim_card_write_pngs(const char *dir);

struct SimCardCounters {
    int fbs;           // live framebuffers
    int fbs_max;       // the most there ever were at once
    int dumb_buffers;  // dumb buffers not destroyed
    int imported;      // live PRIME-imported handles
    // Imported memory the card holds through handles or framebuffers: now and at most.
    uint64_t imported_bytes, imported_bytes_max;
    int blobs;  // property blobs made by the program (and legacy modesets)
    uint64_t plane_updates, commits, setcrtcs;  // accepted requests
    uint64_t failures;                          // refused requests of any kind
};
SimCardCounters sim_card_counters();
// One line per modeset, plane update, commit and scripted change, with its result.
std::string sim_card_log();

struct SimPlaneInfo {
    uint32_t fb, crtc;
    int32_t crtc_x, crtc_y;
    uint32_t crtc_w, crtc_h;
    uint32_t src_x, src_y, src_w, src_h;  // 16.16
    uint64_t rotation, zpos;
    uint32_t format;  // fourcc of the framebuffer shown, 0 when off
};
int sim_card_plane_state(uint32_t plane_id, SimPlaneInfo *out);
struct SimCrtcInfo {
    int active;
    uint32_t w, h, vrefresh, clock, flags;
    uint32_t primary_fb;
    uint64_t vblank_seq;  // at the card clock's now
};
int sim_card_crtc_state(uint32_t crtc_id, SimCrtcInfo *out);

// With ZYL_SIM_STATS=<file>, a normal exit writes the counters above to <file>, one
// "name=value" a line (sim/README.md lists them), so tests of the whole program can
// check what it left behind.

// Where the program's `path` lands with ZYL_SIM_ROOT = `root` (unchanged for an empty
// root or a path outside /run/zyl-fpv, /opt/zyl-fpv, /tmp/zyl-* and /sys/class/devfreq).
std::string sim_root_path(std::string_view path, std::string_view root);
// The shared-memory name used for `name` with ZYL_SIM_ROOT = `root`.
std::string sim_shm_name(std::string_view name, std::string_view root);
// Runs `hook` once, right after the next stat() in this process that succeeds: a test
// puts something else in a file's place between a look at the file and its open.
void sim_after_next_stat(std::function<void()> hook);

// ---- virtual GPU ----
// The work the virtual board adds to each GPU frame, which a real board does not do:
// converting and uploading the decoder's NV12 frames, and copying rendered pictures
// back into the scan-out buffers.
struct SimGpuStats {
    int64_t uploads, upload_ns;      // NV12 frames imported as images
    int64_t readbacks, readback_ns;  // pictures copied into ring buffers by glFinish
    int64_t live_images;             // images made by the sim and not yet destroyed
};
SimGpuStats sim_gpu_stats();
