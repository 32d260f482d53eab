// The presentation loop: the main thread's life after start-up. Start-up runs it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "app/config.h"
#include "app/end.h"
#include "kms/files.h"
#include "kms/kms.h"

struct Gate;
struct Health;
struct Mailbox;
struct Pacer;
struct ScreenState;

// The loop's own state, made by the process entry (tests make their own); main thread
// only. The screens, the mailbox, the gate, the pacer and the health state it works
// with must outlive it.
struct Loop {
    Loop(ScreenState &screens, Mailbox &mb, Gate &gate, Pacer &pacer, Health &health,
         DetectSettings detect)
        : screens(screens),
          mb(mb),
          gate(gate),
          pacer(pacer),
          health(health),
          detect(std::move(detect)) {}
    ScreenState &screens;
    Mailbox &mb;
    Gate &gate;
    Pacer &pacer;
    Health &health;
    DetectSettings detect;  // which files the detection request uses
    WatchedFile detect_file{"detect", 4096, {}, 0};
    FileVersion snapshot_refused;  // a trigger that is no file, reported once
    bool video_hidden = false;     // the video planes show the standby picture (message mode)
    bool rot_done = false;         // the mirrored outputs' planes were rotated once
    uint32_t setplane_warned = 0;  // outputs whose failed present was reported
    // The largest enlargement each output's video plane took once it refused one with
    // ERANGE (0: none refused).
    std::array<int, kMaxOutputs> max_up{};
    // Outputs whose video plane refused the frame as placed (too large a reduction, too
    // large a source), so the GPU pass draws their picture at their mode size; where it
    // cannot, the largest reduction each plane took once it refused one (0: none).
    uint32_t fit_by_pass = 0;
    std::array<int, kMaxOutputs> max_down{};
    uint32_t video_failing = 0;  // outputs whose presents fail: the standby picture is up
    int64_t last_tick = 0;       // monotonic second of the last once-a-second step
    // Per output: monotonic us of the last frame committed atomically (0: none), and
    // since when an overlay update waits for the next (0: none waits).
    std::array<int64_t, kMaxOutputs> video_at{}, menu_since{};
    // The rotation each video plane accepted for the flip, and whether it is on now.
    uint64_t plane_rot[kMaxOutputs] = {};
    uint32_t plane_rot_on = 0;
    // Frames that cannot be shown as they come, each said once.
    struct {
        std::atomic<bool> unshowable{false};     // neither scanned out nor copied
        std::atomic<bool> software_pass{false};  // copied, so the correction is skipped
        std::atomic<bool> no_route{false};       // no plane takes them and the pass cannot
    } said;
};

// Runs until the input has ended and every queued frame was shown, a stop signal
// came or a display changed; returns how the process ends.
End presentation_loop(Loop &loop);
// After a stop signal: its exit status, the line and the last state ("stopped").
End stopped_end();
// One pass; the end once the input has ended and every frame was shown, or a display
// changed.
std::optional<End> loop_iteration(Loop &loop);
// Detection request file: true when detection was switched (the overlays then redraw).
bool detect_request_poll(Loop &loop);
