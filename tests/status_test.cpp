// The status files: what each parser makes of a file's text, and the polls' rules
// for changed, missing, broken and half-written files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/config.h"
#include "overlay/status.h"
#include "sim/sim.h"
#include "test_util.h"

namespace {

// Sets the file's modification time, so that a rewrite counts as a new version
// however fast the test runs.
void set_mtime(const std::string &path, long sec) {
    timespec ts[2] = {{sec, 0}, {sec, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

}  // namespace

TEST(StatusParse, Telemetry) {
    TelemetryState t = parse_text(parse_telemetry, "sat=7\n");
    EXPECT_EQ(1, t.valid);
    EXPECT_EQ(7, t.sat);
    for (int v : {t.gog, t.drn, t.sig, t.vtx}) EXPECT_EQ(-1, v);
    EXPECT_EQ(-1000, t.tmp);
    EXPECT_EQ(0, t.has_yaw + t.has_alt + t.has_spd + t.has_vs + t.has_pit + t.has_rol);

    t = parse_text(parse_telemetry,
                   "  vs = -1.5\nvsi=3\nVS=4\ngog=80\ngog=81\nnet=abcdefghijklmnopqrstuvwxyz\n"
                   "rec = 1 trailing\nbroken line\n=5\nalt=\n");
    EXPECT_FLOAT_EQ(-1.5f, t.vs);
    EXPECT_EQ(1, t.has_vs);
    EXPECT_EQ(0, t.has_alt) << "a key without a value is ignored";
    EXPECT_EQ(81, t.gog) << "a later line wins";
    EXPECT_STREQ("abcdefghijklmnopqrstuvw", t.net);
    EXPECT_EQ(1, t.rec);
    EXPECT_STREQ("home", parse_text(parse_telemetry, "net=home wifi\n").net);
    // An empty file is a valid record of defaults.
    EXPECT_EQ(1, parse_text(parse_telemetry, "").valid);
}

TEST(StatusParse, Menu) {
    MenuState m = parse_text(parse_menu, "opened\n2\n1\n3\nVideo\r\nBitrate: 8M\r\n");
    EXPECT_EQ((std::vector<int>{1, 2, 1, 3, 1}),
              (std::vector<int>{m.open, m.tab, m.focus, m.sel, m.nrows}));
    EXPECT_STREQ("Video", m.title);
    EXPECT_STREQ("Bitrate: 8M", m.rows[0]);
    EXPECT_EQ(0, parse_text(parse_menu, "Open\n").open);

    std::string many = "open\n0\n0\n0\nT\n";
    for (int i = 0; i < 15; i++) many += "row " + std::to_string(i) + "\n";
    m = parse_text(parse_menu, many);
    EXPECT_EQ(12, m.nrows);
    EXPECT_STREQ("row 11", m.rows[11]);

    m = parse_text(parse_menu, "message\n" + std::string(200, 'x') + "\n");
    EXPECT_EQ(1, m.message);
    EXPECT_EQ(0, m.open);
    EXPECT_EQ(95u, strlen(m.msg));
    // A long line is read in pieces: its rest becomes the next line.
    m = parse_text(parse_menu, "open\n1\n0\n0\n" + std::string(200, 't') + "\n");
    EXPECT_EQ(63u, strlen(m.title));
    EXPECT_EQ(1, m.nrows);
    // Binary junk gives terminated fields and no more rows than allowed.
    std::string junk;
    for (int i = 0; i < 4000; i++) junk += char((i * 7919) % 256);
    m = parse_text(parse_menu, "open\n" + junk);
    EXPECT_LE(m.nrows, 12);
    EXPECT_LT(strlen(m.title), 64u);
}

// The connect file's rules are read back from the screen with zbarimg in the overlay
// test (Screens.ConnectScreenCodeReadsBackOnMonitorAndPanel), bad files included.
TEST(StatusParse, Osd) {
    OsdState o = parse_text(parse_osd, "warning\nBattery low\n");
    EXPECT_EQ(1, o.level);
    EXPECT_EQ(1, o.active);
    EXPECT_STREQ("Battery low", o.text);
    EXPECT_EQ(2, parse_text(parse_osd, "error\nx\n").level);
    o = parse_text(parse_osd, "error\n\n");
    EXPECT_EQ(0, o.active);
}

class Polls : public testing::Test {
  protected:
    void SetUp() override {
        dir = test_dir();
        for (const char *v : {"TELEMETRY", "MENU", "CONNECT", "OSD"})
            setenv((std::string("ZYL_KMS_") + v).c_str(), (dir + "/" + v).c_str(), 1);
        overlays_configure(ov, config_read().overlays);
    }
    void TearDown() override {
        for (const char *v : {"TELEMETRY", "MENU", "CONNECT", "OSD"})
            unsetenv((std::string("ZYL_KMS_") + v).c_str());
        overlays_configure(ov, config_read().overlays);
    }
    std::string path(const char *name) { return dir + "/" + name; }
    void put(const char *name, const std::string &text, long sec) {
        write_file(path(name), text);
        set_mtime(path(name), sec);
    }
    std::string dir;
    Overlays ov;

  public:
    // The steps of tests/data/polls.txt.
    ScenarioStep step() {
        return [=, this](const std::string &word, const std::string &rest) mutable {
            std::istringstream words(rest);
            std::string name;
            long n = 0;
            words >> name >> n;
            if (word == "put") {
                size_t text = rest.find(' ', name.size() + 1);
                put(name.c_str(), unescaped(text == std::string::npos ? "" : rest.substr(text + 1)),
                    n);
            } else if (word == "remove") {
                unlink(path(name.c_str()).c_str());
            } else if (word == "swap") {
                // Armed against a poll that blocks for good: it ends the test program.
                alarm(120);
                std::string at = path(name.c_str()), fifo = at + ".fifo";
                sim_after_next_stat([at, fifo] {
                    mkfifo(fifo.c_str(), 0644);
                    rename(fifo.c_str(), at.c_str());
                });
            } else if (word == "poll") {
                testing::internal::CaptureStderr();
                EXPECT_EQ(n, name == "TELEMETRY" ? poll_telemetry(ov)
                             : name == "MENU"    ? poll_menu(ov)
                             : name == "CONNECT" ? poll_connect(ov)
                                                 : poll_osd(ov));
                alarm(0);
                return std::optional<std::string>(testing::internal::GetCapturedStderr());
            } else if (word == "records") {
                char s[200];
                snprintf(s, sizeof s, "valid=%d sat=%d open=%d msg=%s ssid=%s osd=%d",
                         ov.telem.valid, ov.telem.sat, ov.menu.open, ov.menu.msg, ov.connect.ssid,
                         ov.osd.active);
                EXPECT_EQ(rest, s);
            } else {
                ADD_FAILURE() << "unknown line";
            }
            return std::optional<std::string>();
        };
    }

  protected:
};

// The scenarios of tests/data/polls.txt, each a test from the state SetUp leaves.
[[maybe_unused]] const bool kScenarios =
    register_scenarios<Polls>("polls.txt", "", "Polls", [](Polls &t) { return t.step(); });

TEST_F(Polls, BrokenFilesKeepTheLastRecordAndAreReportedOnce) {
    put("MENU", "open\n2\n", 1000);
    ASSERT_EQ(1, poll_menu(ov));

    // One 10 MB line: not read at all.
    testing::internal::CaptureStderr();
    put("MENU", std::string(10 << 20, 'x'), 1001);
    EXPECT_EQ(0, poll_menu(ov));
    put("MENU", std::string(10 << 20, 'y'), 1002);
    EXPECT_EQ(0, poll_menu(ov));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("zyl-mpp: menu file " + path("MENU") +
                  ": 10485760 bytes, more than the 65536 allowed — ignored until it changes\n",
              err);
    EXPECT_EQ(1, ov.menu.open);
    EXPECT_EQ(2, ov.menu.tab);

    // A directory in its place.
    unlink(path("MENU").c_str());
    EXPECT_EQ(1, poll_menu(ov));  // missing: the open menu closes
    mkdir(path("MENU").c_str(), 0755);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, poll_menu(ov));
    EXPECT_EQ(1, count_lines(testing::internal::GetCapturedStderr(), ": not a regular file"));
    rmdir(path("MENU").c_str());

    // Empty, and binary: read as they are, without a word.
    testing::internal::CaptureStderr();
    put("OSD", "", 1000);
    EXPECT_EQ(1, poll_osd(ov));
    EXPECT_EQ(0, ov.osd.active);
    std::string bin("\x00\xff\x01\nwarn\x00\n\x80\x81", 13);
    put("TELEMETRY", bin, 1000);
    EXPECT_EQ(1, poll_telemetry(ov));
    EXPECT_EQ(1, ov.telem.valid);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    // Unreadable (root reads any file: not this thread, for now).
    put("TELEMETRY", "sat=3\n", 1001);
    chmod(path("TELEMETRY").c_str(), 0);
    testing::internal::CaptureStderr();
    {
        WithoutFileOverride as_a_user;
        EXPECT_EQ(0, poll_telemetry(ov));
        EXPECT_EQ(0, poll_telemetry(ov));
    }
    EXPECT_EQ(1, count_lines(testing::internal::GetCapturedStderr(), "cannot open"));
    EXPECT_EQ(-1, ov.telem.sat);
}

TEST_F(Polls, HalfWrittenFilesAreReadAgainWhenFinished) {
    // A writer that truncates and writes in two steps within one time tick: the
    // size tells the versions apart.
    put("MENU", "", 1000);
    EXPECT_EQ(1, poll_menu(ov));
    put("MENU", "open\n1\n", 1000);
    EXPECT_EQ(1, poll_menu(ov));
    EXPECT_EQ(1, ov.menu.open);

    // A writer rewriting the file in place while it is polled: once it stops, the
    // next two polls end on its last version.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; i++) {
            FILE *f = fopen(path("OSD").c_str(), "w");
            fputs("warn\n", f);
            fflush(f);
            fprintf(f, "message %d\n", i);
            fclose(f);
        }
        stop = true;
    });
    while (!stop) poll_osd(ov);
    writer.join();
    poll_osd(ov);
    poll_osd(ov);
    EXPECT_STREQ("message 299", ov.osd.text);
    EXPECT_EQ(1, ov.osd.level);
}
