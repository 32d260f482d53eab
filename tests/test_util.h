// Helpers shared by the test programs: a private directory per test, the
// generated streams, and running the sim program as a child process.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/mailbox.h"

// A fresh, empty directory that belongs to the running test only.
std::string test_dir();
// Path of a stream made by tools/make-streams.sh.
std::string stream_path(const std::string &name);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);

struct RunResult {
    int status;  // exit status, or 128 + signal
    std::string out, err;
};
// A board file shipped in sim/boards/ ("two-display" or "two-display.card"), and the
// environment entry that puts the sim program on it.
std::string board_path(const std::string &name);
std::string card_env(const std::string &name);
// A shipped board with `extra` lines (faults) added, in a file beside the running
// test's directory.
std::string board_with(const std::string &name, const std::string &extra);

// A decoded PNG picture (the virtual card's pictures), RGB.
struct Picture {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    std::array<int, 3> at(int x, int y) const {
        const uint8_t *p = &rgb[(size_t(y) * w + x) * 3];
        return {p[0], p[1], p[2]};
    }
};
// Empty (w = 0) when the file is missing or not a PNG.
Picture read_png(const std::string &path);
// A pixel of a picture: near black, or the streams' solid red.
bool is_black(const Picture &p, int x, int y);
bool is_red(const Picture &p, int x, int y);
// The virtual board's counters file (ZYL_SIM_STATS), name=value a line.
std::map<std::string, long> read_stats(const std::string &path);
// Runs zyl-mpp-sim with `args`, the extra environment `env` (NAME=value), stdin
// from `stdin_path` ("" for an empty stdin) and cwd `dir`. The program's fixed paths
// land under `dir`/root (ZYL_SIM_ROOT) unless `env` says otherwise. A child still running
// after `limit_s` seconds is killed (the run then reports 128 + SIGKILL).
RunResult run_sim(const std::vector<std::string> &args, const std::vector<std::string> &env,
                  const std::string &stdin_path, const std::string &dir, int limit_s = 240);
// Replaces the child process with `argv` (argv[0] a program of this build), started
// through the emulator of a cross build so that programs for another CPU run too.
[[noreturn]] void exec_built(std::vector<char *> argv);
// The same in two halves, for tests that act while the program runs: the child's pid,
// then its result once it has ended.
int start_sim(const std::vector<std::string> &args, const std::vector<std::string> &env,
              const std::string &stdin_path, const std::string &dir, int limit_s = 240);
RunResult finish_sim(int pid, const std::string &dir);
// Starts a program of this build with its stdout on `out_fd` (`close_fd`, the other end
// of its pipe, closed in the child) and its stderr appended to `err_path`, and the
// NAME=value entries of `env` added.
int spawn_built(const char *bin, const std::vector<std::string> &args, int out_fd, int close_fd,
                const std::string &err_path, const std::vector<std::string> &env = {});
// Waits for a child: its exit status, or 128 + signal.
int wait_status(int pid);
// Waits up to `limit_s` seconds for a file to contain `needle`.
bool wait_for_line(const std::string &path, const std::string &needle, int limit_s);
// Closes `fd`, the receiver's input, once the silence after the feed has armed the gate
// and the state file at `state_path` holds `until` (the final counts): every frame was
// shown by then, however long a slow machine took. (A hard gate after a rebuild writes
// "gated" too, before the last frames.) An `until` starting "state=" waits for the state
// file to begin with it instead (the silence has hidden the video, say). Gives up after
// two minutes.
void close_input_when_gated(int fd, const std::string &state_path, const std::string &until);
struct GpuPass;
// The correction pass and the SPI copy (off) that the receiver's main-thread code
// draws with in a test process, attached: made on the first call and kept for the
// whole process, as the pass's buffers stay on the first card it drew on.
GpuPass &test_pass();
struct ScreenState;
// The display's state of this test process, as the receiver's process entry keeps it.
ScreenState &test_screens();
// Releases the outputs' buffers, closes the card drm_init opened and forgets the
// virtual card, so the next drm_init in this process starts afresh.
void forget_card();
// drm_init in this process on a card file (a path, or a shipped board's name), the
// card before it forgotten; what it printed goes to `err`. With `card_ms` the card's
// clock stands at that time instead of running.
int drm_init_on(const std::string &card, std::string *err, int64_t card_ms = -1);
// The main thread's side of the mailbox: waits for the next frame; null once the
// input has ended and nothing is queued.
FramePtr take_next_frame(Mailbox &mb);

// The access units of an Annex-B stream as libavcodec's parser cuts them (`codec_id`
// an AVCodecID), the one it still holds at the end included.
std::vector<std::vector<uint8_t>> cut_units(const std::string &stream, int codec_id);

// Every NAL unit of an Annex-B stream, by the simplest possible walk, which shares no
// code with the reader: `sc` is its 00 00 01, [begin, end) the unit with its start code
// (one zero earlier in the four-byte form); `first_slice` marks a new picture.
struct Nal {
    size_t sc, begin, end;
    int type;
    bool first_slice;
};
std::vector<Nal> walk_units(const std::string &s, bool hevc);
// An access unit delimiter at the end lets the parser hand over the last picture.
std::string with_trailing_aud(std::string s, bool hevc = false);

// The module rows of a QR code of `text` for a connect file ("#" dark, "." light, one
// row a line), made by the qrencode tool; empty when it is missing.
std::string qr_rows(const std::string &text);
// What the zbarimg tool reads from a picture file, one symbol a line.
std::string zbar_read(const std::string &png);

// What one of the status file parsers makes of `text`.
template <typename T>
T parse_text(T (*parser)(FILE *), const std::string &text) {
    FILE *f = text.empty() ? fopen("/dev/null", "r")
                           : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    T t = parser(f);
    fclose(f);
    return t;
}

// Runs the scenario `name` of tests/data/`file`, a line at a time. "[name]" starts a
// scenario; "env NAME=value" sets a variable for the rest of it ("{streams}/NAME" a
// generated stream); consecutive "say" lines must appear together, in order, in what
// the last action printed, consecutive "first" lines must begin it and consecutive
// "only" lines must be all of it; "silent": it printed nothing; "count N TEXT": N of
// its lines contain TEXT; "order A >> B": it printed B after A. `step` gets every other
// line as its first word and the rest, and returns what an action printed (nullopt for
// a check). Empty lines and lines starting with "#" end a block.
using ScenarioStep =
    std::function<std::optional<std::string>(const std::string &word, const std::string &rest)>;
void run_scenarios(const std::string &file, const std::string &name, const ScenarioStep &step);
// The names of the scenarios of tests/data/`file` that start with `prefix`.
std::vector<std::string> scenario_names(const std::string &file, const std::string &prefix);

// Makes each scenario of tests/data/`file` whose name starts with `prefix` a test of its
// own, run with the step `step_for` makes for it (a `Fixture`, set up as for TEST_F):
// in `suite`, named after the scenario, or with no suite given, "Suite.Name" scenarios.
template <typename Fixture = testing::Test>
bool register_scenarios(const std::string &file, const std::string &prefix, const char *suite,
                        std::type_identity_t<std::function<ScenarioStep(Fixture &)>> step_for) {
    struct Scenario : Fixture {
        std::string file, name;
        std::function<ScenarioStep(Fixture &)> step_for;
        void TestBody() override { run_scenarios(file, name, step_for(*this)); }
    };
    for (const std::string &name : scenario_names(file, prefix)) {
        size_t dot = suite ? std::string::npos : name.find('.');
        testing::RegisterTest(suite ? suite : name.substr(0, dot).c_str(),
                              name.substr(dot + 1).c_str(), nullptr, nullptr, __FILE__, __LINE__,
                              [=]() -> Fixture * {
                                  auto *t = new Scenario;
                                  t->file = file, t->name = name, t->step_for = step_for;
                                  return t;
                              });
    }
    return true;
}

// A scenario file's text with each "\\n" a line end.
std::string unescaped(const std::string &text);

// The whole program for run_scenarios, on the virtual board. Before a run: "board NAME"
// (two-display unless given, "-" for no card), "card LINE" adds a line to it (a fault), "file PATH
// TEXT" puts a file under the program's root ("\\n" in TEXT a line end), "fifo PATH" a FIFO,
// "dir PATH" a directory and "link PATH TARGET" a symbolic link (TARGET as given); "every
// MS PATH TEXT|TEXT..." replaces the file whole every MS ms while the program runs, with
// each TEXT in turn (a pilot navigating the menu, telemetry coming in). "run STREAM
// [SECONDS]" runs it on a generated stream ("-" for no input, a path as it is),
// killed after SECONDS; "feed ARGS" runs it behind zyl-feeder ARGS (streams by name),
// "until TEXT" before it keeping the input open after the feed until the gate armed by
// the silence has written a state file holding TEXT (the final counts).
// Either prints what the program did on stderr; "from TEXT" prints it from the first
// line containing TEXT on; "card_log" prints the card's log of the run instead
// (ZYL_SIM_CARD_LOG). After them: "status N";
// "black", "video", "red" or "notred" (video of another colour) "CONNECTOR X Y" for a
// pixel of a display's last picture;
// "stat NAME OP N" for a counter of the board (OP one of = <= >=); "contents PATH
// TEXT", "contains PATH TEXT" and "absent PATH" for files under the root.
ScenarioStep sim_step();
// The "Suite.Name" scenarios of tests/data/runs.txt that start with `prefix`, each a
// test of its own running sim_step.
bool register_runs(const std::string &prefix);

// While it lives, this thread runs without the capabilities that let root open any
// file (from its effective set only, so they come back), so that a file's permissions
// are tested as root too.
class WithoutFileOverride {
  public:
    WithoutFileOverride();
    ~WithoutFileOverride();
    WithoutFileOverride(const WithoutFileOverride &) = delete;
    WithoutFileOverride &operator=(const WithoutFileOverride &) = delete;

  private:
    uint32_t saved_[6];  // the thread's capability sets as capget gave them
};

// Number of lines of `text` that contain `needle`.
int count_lines(const std::string &text, const std::string &needle);

// The receiver's lines from its first "live" state on. A slow start (an emulated
// board) takes over 200 ms to its first picture, which arms the gate once before it.
std::string from_first_live(const std::string &err);
