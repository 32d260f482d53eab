// The keyframe gate and the video hide: what happens to frames after a gap in the
// feed. The reader thread (decode/) arms the gate after a flush or a rebuild; the
// presentation loop arms it after a gap, passes every frame through it and applies
// the gap rules on passes without a frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

struct AVFrame;
struct Health;
struct ScreenState;

// The gap rules' times, in ms.
struct GateSettings {
    int64_t arm_ms = 200;           // a gap this long arms the soft gate
    int64_t hide_ms = 1500;         // a gap this long hides the video
    std::optional<int64_t> max_ms;  // longest hard gate; none: by the codec
};

// The gate's state. The reader thread arms it (through its hooks) after a flush or
// a rebuild; the main thread arms, passes frames and opens it. The shared members
// are single atomic words: a stale read only lets one more frame through or drop
// one more, and arming stores the start, kind and `whole_before` before raising
// `wait_key`.
struct Gate {
    std::atomic<int> wait_key{0}, hard{0};  // both threads
    std::atomic<int64_t> since{0};          // monotonic microseconds; both threads
    // Pictures stamped (pts, monotonic microseconds) before this pass the armed gate
    // uncounted: their units came before the gap. INT64_MIN for a gate armed after a
    // flush or rebuild, which lost every older picture. Both threads.
    std::atomic<int64_t> whole_before{INT64_MIN};
    int64_t drops = 0;  // main thread only
    // When the last frame came (monotonic microseconds), the gap rules' start; main
    // thread only.
    int64_t last_frame_us = 0;
    // Settings, resolved for the stream's codec; main thread only.
    int64_t arm_ms = 200, hide_ms = 1500, max_ms = 2000;
    bool hevc = false;
};
// Takes the settings for a stream of this codec; before the first frame.
void gate_configure(Gate &g, const GateSettings &s, bool hevc);
// Arms the gate; the start, kind and `whole_before` are stored before the armed flag
// is raised.
void gate_arm(Gate &g, int hard, int64_t now_us, int64_t whole_before = INT64_MIN);
// False when the frame is to be dropped; a drop is counted and the state written in `h`.
bool gate_pass(Gate &g, Health &h, const ScreenState &screens, const AVFrame *frame);
bool gate_pass_at(Gate &g, Health &h, const ScreenState &screens, const AVFrame *frame,
                  int64_t now_us);
// On a pass without a frame: arms the gate after a gap, hides the video after a long one.
void gap_rules(Gate &g, Health &h, ScreenState &screens);
void gap_rules_at(Gate &g, Health &h, ScreenState &screens, int64_t now_us);

// A gate setting in ms: the variable's value when set and non-empty, else none.
std::optional<int64_t> gate_setting_ms(const char *v);
// One iteration without a frame, `gap_ms` after the last frame.
struct GapStep {
    bool arm;               // arm a soft gate
    const char *gate_word;  // state word for an armed gate, null when not armed
    bool hide;              // take the video off the screens
    bool hidden;            // then write "hidden"
};
GapStep gap_decide(int64_t gap_ms, int64_t arm_ms, int64_t hide_after_ms, bool armed, bool showing);
struct GateLimit {
    int64_t ms;         // time limit, <= 0 none
    int64_t min_drops;  // dropped frames needed before a timed release
};
GateLimit gate_limit(bool hard, bool hevc, int64_t max_ms);
// Whether the gate gives up after `drops` frames, `elapsed_ms` after arming.
bool gate_release_due(int64_t drops, int64_t elapsed_ms, GateLimit lim);
