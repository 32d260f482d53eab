// The whole receiver on the virtual board: streams made by the ffmpeg tool go in
// on stdin, and the displays' pictures, the board's counters and the program's
// lines come out.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <array>
#include <map>
#include <sstream>

#include "tests/test_util.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

namespace fs = std::filesystem;

struct Played {
    RunResult r;
    std::string dir;
    Picture png(const std::string &connector) const {
        return read_png(dir + "/png/" + connector + ".png");
    }
    std::string run_path(const std::string &name) const {
        return dir + "/root/run/zyl-fpv/" + name;
    }
};

// Files the program will find under /run/zyl-fpv/ are made before it starts;
// `card_lines` are added to the board file (faults, say).
Played play(const std::string &stream, std::vector<std::string> env,
            const std::map<std::string, std::string> &run_files = {},
            const std::string &card_lines = "", const std::string &board = "two-display") {
    Played run;
    run.dir = test_dir();
    fs::create_directories(run.dir + "/root/run/zyl-fpv");
    for (const auto &[name, text] : run_files) write_file(run.run_path(name), text);
    std::string card = run.dir + "/board.card";
    write_file(card, read_file(board_path(board)) + card_lines);
    env.push_back("ZYL_SIM_CARD=" + card);
    env.push_back("ZYL_SIM_PNG_DIR=" + run.dir + "/png");  // made by the board
    env.push_back("ZYL_SMOOTH=0");
    // The gap rules are the live tests' subject: a loaded machine or a sanitizer build
    // that leaves 200 ms between two frames of a file must not gate or hide them here.
    env.push_back("ZYL_KMS_GATE_MS=30000");
    env.push_back("ZYL_KMS_HIDE_MS=30000");
    run.r = run_sim({}, env, stream.empty() ? "" : stream_path(stream), run.dir);
    return run;
}

// The testsrc2 picture is bright almost everywhere.
bool video(const Picture &p, int x, int y) {
    return !is_black(p, x, y);
}

// The Video runs of tests/data/runs.txt.
[[maybe_unused]] const bool kRuns = register_runs("Video.");
// Files that are not what they should be, in place of those the program reads or writes.
[[maybe_unused]] const bool kFileRuns = register_runs("Files.");

TEST(Video, OpenMenuOverPlayingVideoKeepsTheWholeArea) {
    // Tab 1 selected with the focus on the tab bar: on 1920x1080 its filled
    // background starts at 379,484; the panel spans 365..1555 x 227..853.
    Played run =
        play("h264_sei.h264", {}, {{"menu", "open\n1\n0\n0\nVideo\nBitrate: 8M\nFit: fit\n"}});
    ASSERT_EQ(run.r.status, 0) << run.r.err;
    Picture hdmi = run.png("HDMI-A-1");
    auto c = hdmi.at(385, 510);
    EXPECT_EQ((std::array<int, 3>{0x36, 0xD3, 0x99}), c);
    // The video under the veil starts at 240, as without the menu: not narrowed.
    EXPECT_TRUE(is_black(hdmi, 230, 540));
    EXPECT_TRUE(video(hdmi, 250, 540));
    EXPECT_LT(hdmi.at(250, 540)[0], 120) << "behind the veil";
    EXPECT_EQ(count_lines(run.r.err, "menu → ARGB plane"), 2);
}

TEST(Video, BrokenInputFilesNeitherStopNorFloodThePlayer) {
    std::string big(10 << 20, 'x');
    std::string binary;
    for (int i = 0; i < 5000; i++) binary += char((i * 7919) % 256);
    Played run = play("h264_sei.h264", {"ZYL_KMS_STANDBY=/opt/zyl-fpv/standby.png"},
                      {{"menu", big}, {"telemetry", binary}, {"connect", ""}});
    ASSERT_EQ(run.r.status, 0) << run.r.err;
    EXPECT_EQ(count_lines(run.r.err, "zyl-mpp: menu file"), 1) << run.r.err;
    EXPECT_EQ(count_lines(run.r.err, "more than the 65536 allowed"), 1);
    EXPECT_EQ(count_lines(run.r.err, "zyl-mpp: telemetry file"), 0);
    EXPECT_EQ(count_lines(run.r.err, "zyl-mpp: hdmi_state=live"), 1);
    EXPECT_TRUE(video(run.png("HDMI-A-1"), 960, 540));
}

// libavcodec's complaints come once per kind, behind the receiver's prefix.
TEST(Video, DecoderComplaintsAreThinned) {
    auto libav_lines = [](const RunResult &r) {
        int n = 0;
        std::istringstream in(r.err);
        for (std::string line; std::getline(in, line);) {
            n += line.rfind("zyl-mpp: libav: ", 0) == 0;
            EXPECT_TRUE(line.rfind("zyl-mpp: ", 0) == 0 || line.rfind("zyl-kms: ", 0) == 0) << line;
        }
        return n;
    };
    // H.265 into the H.264 decoder: the same sample request for nearly every unit.
    Played wrong = play("hevc_live.h265", {});
    ASSERT_EQ(wrong.r.status, 0) << wrong.r.err;
    EXPECT_EQ(
        count_lines(wrong.r.err, "zyl-mpp: libav: h264: data partitioning is not implemented."), 1)
        << wrong.r.err;
    EXPECT_LE(libav_lines(wrong.r), 8);
    // A damaged link: some 2,000 complaints about 600 pictures, a few dozen kinds.
    Played noisy = play("h264_noise.h264", {});
    ASSERT_EQ(noisy.r.status, 0);
    int lines = libav_lines(noisy.r);
    EXPECT_GT(lines, 0);
    EXPECT_LE(lines, 100);
    // For debugging, everything.
    Played all = play("hevc_live.h265", {"ZYL_KMS_AV_LOG=verbose"});
    EXPECT_GT(count_lines(all.r.err, "data partitioning is not implemented"), 50);
    libav_lines(all.r);
}

TEST(Video, WallClockStepBackDoesNotStopTheLoop) {
    // No video: an open pipe with nothing in it, so the loop waits for frames on the
    // mailbox (presenting on arrival). The wall clock goes back an hour
    // while the loop waits; a detection request written afterwards is still read.
    std::string dir = test_dir();
    fs::create_directories(dir + "/root/run/zyl-fpv");
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    int pid =
        start_sim({}, {card_env("two-display"), "ZYL_SMOOTH=0", "ZYL_SIM_CLOCK_BACK_AT_MS=300"},
                  "/proc/self/fd/" + std::to_string(p[0]), dir, 120);
    close(p[0]);
    std::string err = dir + "/stderr.txt";
    bool stepped = wait_for_line(err, "zyl-sim: wall clock stepped back 3600 s", 60);
    write_file(dir + "/root/run/zyl-fpv/detect", "1\n");
    // A loop stuck in the stretched wait would read it an hour later.
    bool polled = wait_for_line(err, "zyl-mpp: yolo_init failed", 30);
    close(p[1]);
    RunResult r = finish_sim(pid, dir);
    EXPECT_TRUE(stepped) << r.err;
    EXPECT_TRUE(polled) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
}

// Mean colour of the 9x9 block around (x, y): nearest-sample scaling may land a
// mirrored edge one pixel away.
std::array<int, 3> block(const Picture &p, int x, int y) {
    std::array<int, 3> sum{};
    for (int dy = -4; dy <= 4; dy++)
        for (int dx = -4; dx <= 4; dx++)
            for (int c = 0; c < 3; c++) sum[c] += p.at(x + dx, y + dy)[c];
    for (int &v : sum) v /= 81;
    return sum;
}

bool near(std::array<int, 3> a, std::array<int, 3> b) {
    for (int c = 0; c < 3; c++)
        if (std::abs(a[c] - b[c]) > 24) return false;
    return true;
}

// Points of `flipped` against `plain` mirrored (mx, my) about the picture's centre;
// the video is centred on both displays.
int mirrored_matches(const Picture &flipped, const Picture &plain, bool mx, bool my) {
    int n = 0;
    for (int i = 1; i <= 4; i++)
        for (int j = 1; j <= 3; j++) {
            int x = plain.w * (2 * i - 1) / 10 + plain.w / 20, y = plain.h * j / 4;
            n += near(block(flipped, mx ? plain.w - 1 - x : x, my ? plain.h - 1 - y : y),
                      block(plain, x, y));
        }
    return n;
}

TEST(Video, FlipRotatesEveryPlaneThatCanOnceAndSaysWhyOthersCannot) {
    // Without the GPU pass (it cannot start here) the video planes flip the picture.
    const std::vector<std::string> no_gpu{"ZYL_SIM_GPU_FAIL=gbm_device"};
    Played run = play("h264_sei.h264", no_gpu);
    ASSERT_EQ(run.r.status, 0) << run.r.err;
    Picture hdmi = run.png("HDMI-A-1"), dsi = run.png("DSI-1");
    ASSERT_GT(hdmi.w, 0);
    ASSERT_EQ(mirrored_matches(hdmi, hdmi, false, false), 12);
    struct Case {
        const char *flip, *rot;
        bool mx, my;
    };
    for (Case c : {Case{"h", "0x11", true, false}, Case{"v", "0x21", false, true},
                   Case{"180", "0x4", true, true}}) {
        run = play("h264_sei.h264", {"ZYL_KMS_FLIP=" + std::string(c.flip), no_gpu[0]});
        ASSERT_EQ(run.r.status, 0) << run.r.err;
        for (const char *plane : {"63", "64"})
            EXPECT_EQ(
                count_lines(run.r.err, std::string("zyl-kms: flip ") + c.flip +
                                           " applied on plane " + plane + " (rot " + c.rot + ")"),
                1)
                << run.r.err;
        EXPECT_EQ(count_lines(run.r.err, "zyl-kms: flip"), 2);
        EXPECT_EQ(mirrored_matches(run.png("HDMI-A-1"), hdmi, c.mx, c.my), 12) << c.flip;
        EXPECT_EQ(mirrored_matches(run.png("DSI-1"), dsi, c.mx, c.my), 12) << c.flip;
        EXPECT_LT(mirrored_matches(run.png("HDMI-A-1"), hdmi, false, false), 12) << c.flip;
    }

    // Video planes without a rotation property: each output says so once.
    run = play("h264_sei.h264", {"ZYL_KMS_FLIP=h", no_gpu[0]}, {}, "", "five-monitors");
    ASSERT_EQ(run.r.status, 0) << run.r.err;
    EXPECT_EQ(count_lines(run.r.err, "zyl-kms: flip: plane "), 4) << run.r.err;
    EXPECT_EQ(count_lines(run.r.err, " has no rotation property"), 4);
    EXPECT_EQ(count_lines(run.r.err, "applied"), 0);

    // A rotation the plane lists but cannot do for NV12: refused once, video on.
    run = play("h264_sei.h264", {"ZYL_KMS_FLIP=v", no_gpu[0]}, {}, "", "rk-vopl-dsi");
    ASSERT_EQ(run.r.status, 0) << run.r.err;
    EXPECT_EQ(count_lines(run.r.err,
                          "zyl-kms: flip v NOT applied on plane 110: Invalid argument (HW can't "
                          "rotate this pixel format"),
              1)
        << run.r.err;
    EXPECT_TRUE(video(run.png("DSI-1"), 360, 640));
}

TEST(Video, MessageOnAnAtomicPrimaryPanelShowsTheStandbyUntilItEnds) {
    // The VOPL panel's video plane is its primary: in message mode the standby buffer,
    // holding the message screen, goes on it instead of the video.
    Played msg = play("h264_sei.h264", {}, {{"menu", "message\nLanding\n"}}, "", "rk-vopl-dsi");
    ASSERT_EQ(msg.r.status, 0) << msg.r.err;
    Picture panel = msg.png("DSI-1");
    ASSERT_EQ(panel.w, 720);
    EXPECT_EQ(panel.at(360, 640), panel.at(20, 1260));  // the message screen's background
    EXPECT_EQ(count_lines(msg.r.err, "FAILED"), 0);

    // The message ends between two streams: the next frames are on the panel.
    std::string dir = test_dir(), card_log = dir + "/card.log";
    fs::create_directories(dir + "/root/run/zyl-fpv");
    std::string menu = dir + "/root/run/zyl-fpv/menu";
    write_file(menu, "message\nLanding\n");
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    int pid = start_sim({},
                        {card_env("rk-vopl-dsi"), "ZYL_SMOOTH=0", "ZYL_SIM_PNG_DIR=" + dir,
                         "ZYL_SIM_CARD_LOG=" + card_log},
                        "/proc/self/fd/" + std::to_string(p[0]), dir, 120);
    close(p[0]);
    // An access unit delimiter hands the first stream's last unit over at once.
    std::string a = read_file(stream_path("h264_nosei.h264")) + std::string("\0\0\0\1\x09\xf0", 6);
    bool wrote = write(p[1], a.data(), a.size()) == ssize_t(a.size());
    // Every frame of the first stream went through the loop (the gap then arms the gate).
    bool seen = wait_for_line(dir + "/root/run/zyl-fpv/hdmi_state", " dec=60 ", 60);
    std::string during = read_file(card_log);
    write_file(menu, "closed\n");  // a message stays until the file says something else
    // The second stream comes at its frame rate, so the gate armed by the gap meets
    // its keyframe.
    for (const auto &unit :
         cut_units(read_file(stream_path("h264_endred.h264")), AV_CODEC_ID_H264)) {
        wrote &= write(p[1], unit.data(), unit.size()) == ssize_t(unit.size());
        usleep(33000);
    }
    close(p[1]);
    RunResult r = finish_sim(pid, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wrote && seen) << r.err;
    EXPECT_EQ(count_lines(during, "present t="), 0) << during;
    EXPECT_GE(count_lines(read_file(card_log), " plane=110 frame="), 1);
    EXPECT_TRUE(is_red(read_png(dir + "/DSI-1.png"), 360, 640));
}

}  // namespace
