#include "test_util.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "app/config.h"
#include "app/mailbox.h"
#include "app/pacing.h"
#include "app/screens.h"
#include "app/settings.h"
#include "gpu/gpu.h"
#include "kms/kms.h"
#include "overlay/status.h"
#include "standby/standby.h"
#include "sim/sim.h"
#include "spitee/spitee.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace fs = std::filesystem;

// The running test's directory, as it is.
static fs::path test_path() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/') c = '_';
    return fs::path(ZYL_STREAMS_DIR).parent_path() / "testtmp" /
           (name + "." + std::to_string(getpid()));
}

std::string test_dir() {
    fs::path dir = test_path();
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

std::string stream_path(const std::string &name) {
    return std::string(ZYL_STREAMS_DIR) + "/" + name;
}

std::string board_path(const std::string &name) {
    bool has_ext = name.size() > 5 && name.compare(name.size() - 5, 5, ".card") == 0;
    return std::string(ZYL_SOURCE_DIR) + "/sim/boards/" + name + (has_ext ? "" : ".card");
}

std::string card_env(const std::string &name) {
    return "ZYL_SIM_CARD=" + board_path(name);
}

std::string board_with(const std::string &name, const std::string &extra) {
    std::string card = test_path().string() + "." + name + ".card";
    write_file(card, read_file(board_path(name)) + "\n" + extra + "\n");
    return card;
}

Picture read_png(const std::string &path) {
    std::string data = read_file(path);
    Picture pic;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    if (!data.empty() && avcodec_open2(ctx, codec, nullptr) == 0 &&
        av_new_packet(pkt, int(data.size())) == 0) {
        memcpy(pkt->data, data.data(), data.size());
        int bpp = 0;
        if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, frame) == 0)
            bpp = frame->format == AV_PIX_FMT_RGB24 ? 3 : frame->format == AV_PIX_FMT_RGBA ? 4 : 0;
        if (bpp) {
            pic.w = frame->width;
            pic.h = frame->height;
            pic.rgb.resize(size_t(pic.w) * pic.h * 3);
            for (int y = 0; y < pic.h; y++)
                for (int x = 0; x < pic.w; x++)
                    memcpy(&pic.rgb[(size_t(y) * pic.w + x) * 3],
                           frame->data[0] + y * frame->linesize[0] + x * bpp, 3);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return pic;
}

bool is_black(const Picture &p, int x, int y) {
    auto c = p.at(x, y);
    return c[0] < 20 && c[1] < 20 && c[2] < 20;
}

bool is_red(const Picture &p, int x, int y) {
    auto c = p.at(x, y);
    return c[0] > 200 && c[1] < 60 && c[2] < 60;
}

std::map<std::string, long> read_stats(const std::string &path) {
    std::map<std::string, long> stats;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        auto eq = line.find('=');
        if (eq != std::string::npos) stats[line.substr(0, eq)] = std::stol(line.substr(eq + 1));
    }
    return stats;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary);
    f << data;
}

int start_sim(const std::vector<std::string> &args, const std::vector<std::string> &env,
              const std::string &stdin_path, const std::string &dir, int limit_s) {
    std::string out_path = dir + "/stdout.txt", err_path = dir + "/stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        putenv(strdup(("ZYL_SIM_ROOT=" + dir + "/root").c_str()));
        for (const auto &e : env) putenv(strdup(e.c_str()));
        std::vector<char *> argv{const_cast<char *>(ZYL_SIM_BIN)};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        alarm(limit_s);  // a hang becomes a failure, not a stuck test run
        exec_built(argv);
    }
    return pid;
}

int spawn_built(const char *bin, const std::vector<std::string> &args, int out_fd, int close_fd,
                const std::string &err_path, const std::vector<std::string> &env) {
    pid_t pid = fork();
    if (pid == 0) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (err < 0) _exit(126);
        if (close_fd >= 0) close(close_fd);  // the reader's end: EPIPE must reach us
        dup2(out_fd, 1);
        dup2(err, 2);
        // Only stdout may hold the pipe: its close is the end of input.
        if (out_fd > 2) close(out_fd);
        for (const auto &e : env) putenv(strdup(e.c_str()));
        std::vector<char *> argv{const_cast<char *>(bin)};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        alarm(240);
        exec_built(argv);
    }
    return pid;
}

int wait_status(int pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

RunResult finish_sim(int pid, const std::string &dir) {
    RunResult r;
    r.status = wait_status(pid);
    r.out = read_file(dir + "/stdout.txt");
    r.err = read_file(dir + "/stderr.txt");
    return r;
}

void exec_built(std::vector<char *> argv) {
    std::vector<std::string> emulator;
    std::istringstream words(ZYL_EMULATOR);
    for (std::string w; words >> w;) emulator.push_back(w);
    std::vector<char *> full;
    for (auto &w : emulator) full.push_back(w.data());
    full.insert(full.end(), argv.begin(), argv.end());
    if (full.back() != nullptr) full.push_back(nullptr);
    execvp(full[0], full.data());
    _exit(127);
}

RunResult run_sim(const std::vector<std::string> &args, const std::vector<std::string> &env,
                  const std::string &stdin_path, const std::string &dir, int limit_s) {
    return finish_sim(start_sim(args, env, stdin_path, dir, limit_s), dir);
}

bool wait_for_line(const std::string &path, const std::string &needle, int limit_s) {
    for (int i = 0; i < limit_s * 20; i++) {
        if (read_file(path).find(needle) != std::string::npos) return true;
        usleep(50000);
    }
    return false;
}

void close_input_when_gated(int fd, const std::string &state_path, const std::string &until) {
    for (int i = 0; i < 2400; i++) {
        std::string s = read_file(state_path);
        const bool done = until.rfind("state=", 0) == 0 ? s.rfind(until, 0) == 0
                                                        : s.rfind("state=gated ", 0) == 0 &&
                                                              s.find(until) != std::string::npos;
        if (done) break;
        usleep(50000);
    }
    close(fd);
}

ScreenState &test_screens() {
    static ScreenState screens;
    return screens;
}

void forget_card() {
    ScreenState &s = test_screens();
    shown_clear(s.shown);
    {
        // The buffers go before the card they are on.
        Display gone = std::move(s.display);
    }
    s.display = Display{};
    s.overlays = Overlays{};
    sim_card_reset();
}

GpuPass &test_pass() {
    static GpuPass *pass = new GpuPass;
    static SpiTee *tee = new SpiTee;
    attach_pass_and_tee(test_screens(), *pass, *tee);
    return *pass;
}

int drm_init_on(const std::string &card, std::string *err, int64_t card_ms) {
    forget_card();
    test_pass();
    if (card_ms >= 0) sim_card_set_time_ms(card_ms);
    setenv("ZYL_SIM_CARD",
           card.find('/') == std::string::npos ? board_path(card).c_str() : card.c_str(), 1);
    testing::internal::CaptureStderr();
    // Started as the receiver would be, with the environment as it is now.
    const Config config = config_read();
    ScreenState &s = test_screens();
    s.standby.settings = config.standby;
    overlays_configure(s.overlays, config.overlays);
    connect_screen_enable(s.drawing.connect, config.overlays.show_connect);
    int rc = drm_init(s.display, config.display, standby_painter(s)) ? 0 : -1;
    if (rc == 0) test_pass().card = s.display.card();
    *err = testing::internal::GetCapturedStderr();
    return rc;
}

FramePtr take_next_frame(Mailbox &mb) {
    std::unique_lock lock(mb.lock);
    mb.cv.wait(lock, [&mb] { return mb.q.size() > 0 || mb.eof; });
    return mb_take_locked(mb);
}

std::vector<std::vector<uint8_t>> cut_units(const std::string &stream, int codec_id) {
    AVCodecParserContext *parser = av_parser_init(codec_id);
    AVCodecContext *ctx = avcodec_alloc_context3(nullptr);
    std::vector<uint8_t> in(stream.begin(), stream.end());
    in.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    std::vector<std::vector<uint8_t>> units;
    for (size_t pos = 0;;) {
        uint8_t *out;
        int out_size;
        int left = int(stream.size() - pos);
        int used = av_parser_parse2(parser, ctx, &out, &out_size, left ? in.data() + pos : nullptr,
                                    left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        pos += used;
        if (out_size > 0) units.emplace_back(out, out + out_size);
        if (left == 0 && out_size == 0) break;
    }
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    return units;
}

std::vector<Nal> walk_units(const std::string &s, bool hevc) {
    std::vector<Nal> out;
    for (size_t i = 0; i + 3 < s.size(); i++) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
        size_t begin = i > 0 && s[i - 1] == 0 ? i - 1 : i;
        if (!out.empty()) out.back().end = begin;
        auto h = uint8_t(s[i + 3]);
        int type = hevc ? (h >> 1) & 0x3F : h & 0x1F;
        bool vcl = hevc ? type < 32 : type == 1 || type == 5;
        size_t flag_at = i + (hevc ? 5 : 4);
        bool first = vcl && flag_at < s.size() && (uint8_t(s[flag_at]) & 0x80);
        out.push_back({i, begin, s.size(), type, first});
        i += 2;
    }
    return out;
}

std::string with_trailing_aud(std::string s, bool hevc) {
    return s + (hevc ? std::string("\0\0\0\1\x46\x01\x50", 7) : std::string("\0\0\0\1\x09\xf0", 6));
}

std::string from_first_live(const std::string &err) {
    size_t at = err.find("zyl-mpp: hdmi_state=live");
    return at == std::string::npos ? err : err.substr(at);
}

std::vector<std::string> scenario_names(const std::string &file, const std::string &prefix) {
    std::istringstream in(read_file(std::string(ZYL_SOURCE_DIR) + "/tests/data/" + file));
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("[" + prefix, 0) == 0) names.push_back(line.substr(1, line.find(']') - 1));
    return names;
}

void run_scenarios(const std::string &file, const std::string &name, const ScenarioStep &step) {
    std::istringstream in(read_file(std::string(ZYL_SOURCE_DIR) + "/tests/data/" + file));
    std::string printed, block, kind, current;
    std::vector<std::string> env;
    bool found = false;
    auto end_block = [&] {
        EXPECT_TRUE(kind != "say" || printed.find(block) != std::string::npos)
            << block << "not in:\n"
            << printed;
        EXPECT_TRUE(kind != "first" || printed.rfind(block, 0) == 0) << block;
        EXPECT_TRUE(kind != "only" || printed == block) << block << "not:\n" << printed;
        block.clear();
        kind.clear();
    };
    for (std::string line; std::getline(in, line);) {
        const std::string word = line.substr(0, line.find(' ')),
                          rest = line.substr(std::min(line.size(), word.size() + 1));
        if (word != kind) end_block();
        if (line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
            found |= current == name;
        }
        if (line.empty() || line[0] == '#' || line[0] == '[' || current != name) continue;
        SCOPED_TRACE(name + ": " + line);
        if (word == "env") {
            std::string value = rest.substr(rest.find('=') + 1);
            if (value.rfind("{streams}", 0) == 0) value = stream_path(value.substr(10));
            env.push_back(rest.substr(0, rest.find('=')));
            setenv(env.back().c_str(), value.c_str(), 1);
        } else if (word == "say" || word == "only" || word == "first") {
            kind = word;
            block += rest + "\n";
        } else if (word == "order") {
            size_t gt = rest.find(" >> "), at = printed.find(rest.substr(0, gt));
            EXPECT_NE(at, std::string::npos) << printed;
            EXPECT_NE(printed.find(rest.substr(gt + 4), at), std::string::npos) << printed;
        } else if (word == "silent") {
            EXPECT_EQ("", printed);
        } else if (word == "count") {
            EXPECT_EQ(std::stoi(rest), count_lines(printed, rest.substr(rest.find(' ') + 1)))
                << printed;
        } else if (std::optional<std::string> out = step(word, rest)) {
            printed = *out;
        }
    }
    end_block();
    for (const std::string &e : env) unsetenv(e.c_str());
    EXPECT_TRUE(found) << "no scenario " << name << " in " << file;
}

std::string unescaped(const std::string &text) {
    // Built anew rather than replaced in place: GCC 12's -Wrestrict misreads the
    // in-place replace in Release builds.
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        bool escape = text.compare(i, 2, "\\n") == 0;
        out += escape ? '\n' : text[i];
        i += escape;
    }
    return out;
}

bool register_runs(const std::string &prefix) {
    return register_scenarios("runs.txt", prefix, nullptr,
                              [](testing::Test &) { return sim_step(); });
}

ScenarioStep sim_step() {
    struct Run {
        std::string board = "two-display", card, dir, until;
        std::vector<std::array<std::string, 3>> files;  // kind, path, text or link target
        // Files rewritten while the program runs: path, period, the texts in turn.
        std::vector<std::tuple<std::string, int, std::vector<std::string>>> every;
        RunResult r;
    };
    auto run = std::make_shared<Run>();
    return [=](const std::string &word, const std::string &rest) -> std::optional<std::string> {
        std::istringstream words(rest);
        std::string a, b;
        long n = 0;
        words >> a >> b >> n;
        if (word == "board") {
            run->board = rest;
        } else if (word == "card") {
            run->card += rest + "\n";
        } else if (word == "until") {
            run->until = rest;
        } else if (word == "file") {
            run->files.push_back(
                {word, a, unescaped(rest.substr(std::min(rest.size(), a.size() + 1)))});
        } else if (word == "fifo" || word == "link" || word == "dir") {
            run->files.push_back({word, a, b});
        } else if (word == "every") {  // every <ms> <path> <text>|<text>...
            std::vector<std::string> texts;
            std::istringstream all(unescaped(rest.substr(rest.find(b) + b.size() + 1)));
            for (std::string t; std::getline(all, t, '|');) texts.push_back(t);
            run->every.emplace_back(b, std::stoi(a), texts);
        } else if (word == "run" || word == "feed") {
            run->dir = test_dir();
            for (const auto &[kind, path, text] : run->files) {
                std::string at = run->dir + "/root" + path;
                fs::create_directories(fs::path(at).parent_path());
                if (kind == "fifo")
                    EXPECT_EQ(0, mkfifo(at.c_str(), 0644)) << at;
                else if (kind == "link")
                    fs::create_symlink(text, at);
                else if (kind == "dir")
                    fs::create_directories(at);
                else
                    write_file(at, text);
            }
            std::string card = run->dir + "/board.card", in = a == "-" ? "" : a;
            write_file(card, read_file(board_path(run->board)) + run->card);
            // A feed keeps its rate from the moment the receiver takes the first unit (a
            // pause after it): a slow start (an emulated board, a sanitizer build) would
            // otherwise find a backlog that the feeder writes as fast as it is read.
            std::vector<std::string> args;
            if (word == "feed") args = {"-p", "1:0"};
            for (std::istringstream all(rest); all >> b;)
                args.push_back(b.find(".h26") != std::string::npos ? stream_path(b) : b);
            int p[2] = {-1, -1}, feeder = -1;
            if (word == "feed" && pipe2(p, O_CLOEXEC) == 0) {
                feeder = spawn_built(ZYL_FEEDER_BIN, args, p[1], p[0], run->dir + "/feeder.txt");
                if (run->until.empty()) close(p[1]);
                in = "/proc/self/fd/" + std::to_string(p[0]);  // opened again by the child
            } else if (a[0] != '/' && a != "-") {
                in = stream_path(a);
            }
            int pid = start_sim(
                {},
                {"ZYL_SIM_CARD=" + (run->board == "-" ? "" : card), "ZYL_SIM_PNG_DIR=" + run->dir,
                 "ZYL_SIM_STATS=" + run->dir + "/stats.txt",
                 "ZYL_SIM_CARD_LOG=" + run->dir + "/card.log"},
                in, run->dir, word == "run" && args.size() > 1 ? std::stoi(args[1]) : 240);
            std::atomic<bool> done{false};
            std::vector<std::thread> writers;
            for (const auto &e : run->every) {
                const std::string at = run->dir + "/root" + std::get<0>(e);
                fs::create_directories(fs::path(at).parent_path());
                writers.emplace_back([&done, at, ms = std::get<1>(e), texts = std::get<2>(e)] {
                    for (size_t k = 0; !done; k++) {
                        write_file(at + ".new", texts[k % texts.size()]);
                        rename((at + ".new").c_str(), at.c_str());
                        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                    }
                });
            }
            if (feeder > 0) {
                close(p[0]);
                EXPECT_EQ(0, wait_status(feeder)) << read_file(run->dir + "/feeder.txt");
            }
            if (feeder > 0 && !run->until.empty())
                close_input_when_gated(p[1], run->dir + "/root/run/zyl-fpv/hdmi_state", run->until);
            run->r = finish_sim(pid, run->dir);
            done = true;
            for (std::thread &t : writers) t.join();
            *run = Run{"two-display", "", run->dir, "", {}, {}, run->r};
            return run->r.err;
        } else if (word == "card_log") {
            return read_file(run->dir + "/card.log");
        } else if (word == "from") {
            size_t at = run->r.err.find(rest);
            return at == std::string::npos ? run->r.err : run->r.err.substr(at);
        } else if (word == "status") {
            EXPECT_EQ(std::stoi(rest), run->r.status) << run->r.err;
        } else if (word == "black" || word == "video" || word == "red" || word == "notred") {
            Picture p = read_png(run->dir + "/" + a + ".png");
            int x = std::stoi(b), y = int(n);
            bool ok = x < p.w && y < p.h &&
                      (word == "red"      ? is_red(p, x, y)
                       : word == "notred" ? !is_red(p, x, y) && !is_black(p, x, y)
                                          : is_black(p, x, y) == (word == "black"));
            EXPECT_TRUE(ok) << (x < p.w && y < p.h ? "" : "no such pixel");
        } else if (word == "rgb") {  // rgb <connector> x y r,g,b: each within 8
            Picture p = read_png(run->dir + "/" + a + ".png");
            int x = std::stoi(b), y = int(n), want[3] = {};
            sscanf(rest.substr(rest.rfind(' ') + 1).c_str(), "%d,%d,%d", &want[0], &want[1],
                   &want[2]);
            EXPECT_TRUE(x < p.w && y < p.h) << "no such pixel";
            for (int i = 0; i < 3 && x < p.w && y < p.h; i++)
                EXPECT_NEAR(int(p.at(x, y)[i]), want[i], 8)
                    << "channel " << i << " at " << x << "," << y;
        } else if (word == "stat") {
            long got = read_stats(run->dir + "/stats.txt")[a];
            EXPECT_TRUE(b == "=" ? got == n : b == "<=" ? got <= n : b == ">=" && got >= n) << got;
        } else if (word == "contents") {
            EXPECT_EQ(unescaped(rest.substr(a.size() + 1)), read_file(run->dir + "/root" + a));
        } else if (word == "contains") {
            std::string text = read_file(run->dir + "/root" + a);
            EXPECT_NE(text.find(rest.substr(a.size() + 1)), std::string::npos) << text;
        } else if (word == "absent") {
            EXPECT_FALSE(fs::exists(run->dir + "/root" + a));
        } else {
            ADD_FAILURE() << "unknown line";
        }
        return std::nullopt;
    };
}

int count_lines(const std::string &text, const std::string &needle) {
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos) n++;
    return n;
}

// The module rows of a QR code as the connect file carries them, made by the qrencode
// tool ("##" a dark module, two blanks a light one, no margin).
std::string qr_rows(const std::string &text) {
    std::string cmd = "qrencode -t ASCII -m 0 '" + text + "'", rows;
    FILE *p = popen(cmd.c_str(), "r");
    char line[256];
    while (p && fgets(line, sizeof line, p)) {
        for (size_t i = 0; line[i] && line[i] != '\n'; i += 2) rows += line[i] == '#' ? '#' : '.';
        rows += '\n';
    }
    if (p) pclose(p);
    return rows;
}

// What zbarimg reads from a picture, one symbol a line.
std::string zbar_read(const std::string &png) {
    std::string cmd = "zbarimg -q --raw '" + png + "' 2>/dev/null", out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    return out;
}

WithoutFileOverride::WithoutFileOverride() {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2];
    syscall(SYS_capget, &hdr, caps);
    memcpy(saved_, caps, sizeof caps);
    caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &hdr, caps);
}

WithoutFileOverride::~WithoutFileOverride() {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2];
    memcpy(caps, saved_, sizeof caps);
    syscall(SYS_capset, &hdr, caps);
}
