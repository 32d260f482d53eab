// The keyframe gate and the video hide: what happens to frames after a gap in the
// feed. The reader thread (decode/) arms the gate after a flush or a rebuild; the
// presentation loop arms it after a gap, passes every frame through it and applies
// the gap rules on passes without a frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

struct AVFrame;

// Single words, a stale read is harmless.
extern std::atomic<int> g_wait_key, g_gate_hard;
extern std::atomic<int64_t> g_gate_since;  // monotonic microseconds
extern int64_t g_gate_drops;
// Pictures stamped (pts, monotonic microseconds) before this pass the armed gate
// uncounted: their units came before the gap. INT64_MIN for a gate armed after a
// flush or rebuild, which lost every older picture.
extern std::atomic<int64_t> g_gate_whole_before;
// The gap rules' times, in ms.
struct GateSettings {
    int64_t arm_ms = 200;           // a gap this long arms the soft gate
    int64_t hide_ms = 1500;         // a gap this long hides the video
    std::optional<int64_t> max_ms;  // longest hard gate; none: by the codec
};
// Takes the settings for a stream of this codec; before the first frame.
void gate_configure(const GateSettings &s, bool hevc);
extern int64_t gate_arm_ms, hide_ms, gate_max_ms;
// Arms the gate; the start, kind and `whole_before` are stored before the armed flag
// is raised.
void gate_arm(int hard, int64_t now_us, int64_t whole_before = INT64_MIN);
// False when the frame is to be dropped.
bool gate_pass(const AVFrame *frame);
bool gate_pass_at(const AVFrame *frame, int64_t now_us);
void gap_rules();
void gap_rules_at(int64_t now_us);

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
