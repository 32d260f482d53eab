// zyl-feeder: plays Annex-B H.264/H.265 files into a pipe the way a radio link
// delivers them — one access unit at a time at a fixed rate — and scripts the
// link's faults: dropouts (pauses), lost units, damaged units, arrival jitter,
// bursts, and a sender that switches streams (new parameter sets). Pacing uses
// absolute deadlines on the monotonic clock, so a late write does not shift every
// later unit.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

enum class Aud { kNone, kEnd, kPause, kEach };

struct Range {
    long first, last;
};

struct Script {
    double fps = 30;
    int loops = 1;
    long max_units = -1;  // -1: all
    Aud aud = Aud::kNone;
    std::map<long, long> pause_ms;  // unit index (-1: after the last unit) -> ms
    std::vector<Range> drop, corrupt;
    std::vector<std::string> files;
    std::string log_path;
    bool quiet = false;
    int64_t jitter_us = 0;  // each write moved by up to this much either way
    uint32_t seed = 1;
    long burst = 1;  // units written together, at the due time of the group's last
};

struct Unit {
    std::vector<uint8_t> data;
    bool hevc;
};

void usage(FILE *out) {
    fprintf(out,
            "usage: zyl-feeder [options] FILE...\n"
            "  -r FPS          units per second (default 30; 0: as fast as the pipe takes them)\n"
            "  -l N            play the file list N times\n"
            "  -n N            stop after N units (counted like K below)\n"
            "  -p K:MS         wait MS ms before unit K (K = end: after the last unit)\n"
            "  -d K[-L]        leave out unit K (or K..L)\n"
            "  -c K[-L]        damage the slice data of unit K (or K..L), headers kept\n"
            "  -a MODE         access unit delimiters: none, end, pause (before every pause and\n"
            "                  at the end) or each (after every unit)\n"
            "  -j MS[:SEED]    move each write by a random amount within +-MS ms (seed 1)\n"
            "  -b N            deliver units N at a time, when the last of them is due\n"
            "  -L FILE         log 'unit index, monotonic us after the write, bytes' per unit\n"
            "  -q              no summary line\n"
            "  -h, --help      print this text and exit\n"
            "Units are counted from 0 over everything fed: all files, all loops.\n");
}

bool parse_range(const char *s, Range *r) {
    char *end = nullptr;
    r->first = strtol(s, &end, 10);
    r->last = r->first;
    if (end == s) return false;
    if (*end == '-') r->last = strtol(end + 1, &end, 10);
    return *end == 0 && r->first >= 0 && r->last >= r->first;
}

bool parse_pause(const char *s, Script *sc) {
    const char *colon = strchr(s, ':');
    if (!colon) return false;
    const std::string k(s, size_t(colon - s));
    char *end = nullptr;
    long ms = strtol(colon + 1, &end, 10);
    if (*end || ms < 0 || k.empty()) return false;
    long idx = -1;
    if (k != "end") {
        idx = strtol(k.c_str(), &end, 10);
        if (*end || idx < 0) return false;
    }
    sc->pause_ms[idx] += ms;
    return true;
}

bool parse_jitter(const char *s, Script *sc) {
    char *end = nullptr;
    double ms = strtod(s, &end);
    if (end == s || ms < 0) return false;
    sc->jitter_us = int64_t(ms * 1000);
    if (*end == ':') {
        const char *seed = end + 1;
        sc->seed = uint32_t(strtoul(seed, &end, 10));
        if (end == seed) return false;
    }
    return *end == 0;
}

bool parse_args(int argc, char **argv, Script *sc) {
    int opt;
    Range r;
    while ((opt = getopt(argc, argv, "r:l:n:p:d:c:a:j:b:L:qh")) != -1) {
        switch (opt) {
            case 'r':
                sc->fps = strtod(optarg, nullptr);
                break;
            case 'l':
                sc->loops = atoi(optarg);
                break;
            case 'n':
                sc->max_units = atol(optarg);
                break;
            case 'p':
                if (!parse_pause(optarg, sc)) return false;
                break;
            case 'd':
            case 'c':
                if (!parse_range(optarg, &r)) return false;
                (opt == 'd' ? sc->drop : sc->corrupt).push_back(r);
                break;
            case 'a': {
                std::string_view m(optarg);
                if (m == "none")
                    sc->aud = Aud::kNone;
                else if (m == "end")
                    sc->aud = Aud::kEnd;
                else if (m == "pause")
                    sc->aud = Aud::kPause;
                else if (m == "each")
                    sc->aud = Aud::kEach;
                else
                    return false;
                break;
            }
            case 'j':
                if (!parse_jitter(optarg, sc)) return false;
                break;
            case 'b':
                sc->burst = atol(optarg);
                break;
            case 'L':
                sc->log_path = optarg;
                break;
            case 'q':
                sc->quiet = true;
                break;
            default:
                return false;
        }
    }
    for (int i = optind; i < argc; i++) sc->files.emplace_back(argv[i]);
    return !sc->files.empty() && sc->loops >= 1 && sc->fps >= 0 && sc->burst >= 1;
}

bool in_ranges(const std::vector<Range> &rs, long k) {
    for (const Range &r : rs)
        if (k >= r.first && k <= r.last) return true;
    return false;
}

bool read_whole(const std::string &path, std::vector<uint8_t> *out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + n);
    fclose(f);
    return true;
}

// The codec from the name, or else from the first NAL header: an H.264 stream starts
// with an SPS (7) or a delimiter (9); an H.265 one with a VPS (32) or a delimiter (35).
bool looks_hevc(const std::string &path, const std::vector<uint8_t> &b) {
    for (std::string_view ext : {".h265", ".hevc", ".265"})
        if (path.size() > ext.size() &&
            path.compare(path.size() - ext.size(), ext.size(), ext) == 0)
            return true;
    for (size_t i = 0; i + 3 < b.size(); i++) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            int t264 = b[i + 3] & 0x1f, t265 = (b[i + 3] >> 1) & 0x3f;
            if (t264 == 7 || t264 == 9 || t264 == 6) return false;
            return t265 == 32 || t265 == 35 || t265 == 39;
        }
    }
    return false;
}

struct CtxFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct ParserFree {
    void operator()(AVCodecParserContext *p) const { av_parser_close(p); }
};

// Cuts a file into access units with the library's parser; the final flush hands
// over the last unit, which the parser otherwise keeps waiting for a successor.
bool cut_units(const std::string &path, std::vector<Unit> *units) {
    std::vector<uint8_t> bytes;
    if (!read_whole(path, &bytes)) return false;
    bool hevc = looks_hevc(path, bytes);
    AVCodecID id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    std::unique_ptr<AVCodecParserContext, ParserFree> parser(av_parser_init(id));
    std::unique_ptr<AVCodecContext, CtxFree> ctx(avcodec_alloc_context3(nullptr));
    if (!parser || !ctx) return false;
    bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    size_t len = bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE, pos = 0;
    for (;;) {
        uint8_t *out = nullptr;
        int out_size = 0;
        int n = int(len - pos);
        int used = av_parser_parse2(parser.get(), ctx.get(), &out, &out_size,
                                    n ? bytes.data() + pos : nullptr, n, AV_NOPTS_VALUE,
                                    AV_NOPTS_VALUE, 0);
        if (used < 0) return false;
        pos += size_t(used);
        if (out_size > 0) units->push_back({std::vector<uint8_t>(out, out + out_size), hevc});
        if (n == 0 && out_size == 0) break;
    }
    return true;
}

bool is_slice(const uint8_t *nal, bool hevc) {
    if (hevc) return ((nal[0] >> 1) & 0x3f) < 32;
    int t = nal[0] & 0x1f;
    return t >= 1 && t <= 5;
}

// Damages every slice NAL of the unit past its first bytes (the slice header stays
// readable). No zero byte is ever made, so no start code appears and the unit keeps
// its boundaries; what the decoder gets is wrong picture data, as after bit errors.
void corrupt_unit(std::vector<uint8_t> *u, bool hevc) {
    std::vector<uint8_t> &b = *u;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < b.size(); i++)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) starts.push_back(i + 3);
    starts.push_back(b.size() + 3);
    for (size_t s = 0; s + 1 < starts.size(); s++) {
        size_t begin = starts[s], end = starts[s + 1] - 3;
        if (begin >= end || !is_slice(&b[begin], hevc)) continue;
        size_t size = end - begin;
        for (size_t i = begin + std::max<size_t>(8, size / 4); i < end; i += 8)
            if (b[i] != 0 && b[i] != 0x5a) b[i] ^= 0x5a;
    }
}

int64_t mono_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleep_until_ns(int64_t when) {
    timespec t{time_t(when / 1000000000), long(when % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// False when the reader has gone away (EPIPE) or the write failed otherwise.
bool write_all(const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool write_aud(bool hevc) {
    static constexpr uint8_t kAud264[] = {0, 0, 0, 1, 0x09, 0xf0};
    static constexpr uint8_t kAud265[] = {0, 0, 0, 1, 0x46, 0x01, 0x50};
    return hevc ? write_all(kAud265, sizeof kAud265) : write_all(kAud264, sizeof kAud264);
}

// A pause is a silence on the receiver's side: it starts once the receiver has read
// everything before it, even when it is still busy starting up. Bounded, so a stuck
// receiver cannot hold the feed for ever.
void wait_until_read() {
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    const int64_t give_up = mono_ns() + int64_t(20) * 1000000000;
    int queued = 0;
    while (ioctl(STDOUT_FILENO, FIONREAD, &queued) == 0 && queued > 0 && mono_ns() < give_up)
        usleep(1000);
}

struct Counts {
    long written = 0, dropped = 0, corrupted = 0;
};

// Plays `units` (already looped and concatenated). Returns false when the reader
// went away before the end.
bool play(const Script &sc, const std::vector<Unit> &units, FILE *log, Counts *c) {
    // Unit k is due at anchor + k / fps; a pause moves the anchor so that the units
    // after it keep the rate instead of catching up.
    int64_t anchor = mono_ns();
    bool last_hevc = false;
    std::mt19937 rng(sc.seed);
    std::uniform_int_distribution<int64_t> jitter(-sc.jitter_us, sc.jitter_us);
    int64_t shift_ns = 0;
    for (size_t k = 0; k < units.size(); k++) {
        const Unit &u = units[k];
        auto p = sc.pause_ms.find(long(k));
        if (p != sc.pause_ms.end()) {
            // The unit before the pause reaches the receiver now, not after it.
            if ((sc.aud == Aud::kPause) && k > 0 && !write_aud(last_hevc)) return false;
            wait_until_read();
            sleep_until_ns(mono_ns() + int64_t(p->second) * 1000000);
            anchor = mono_ns() - int64_t(double(k) * 1e9 / std::max(sc.fps, 1.0));
        }
        // A burst goes out when its last unit is due; jitter moves each write (each
        // burst) on its own, never before the write that precedes it.
        size_t due = std::min((k / size_t(sc.burst) + 1) * size_t(sc.burst) - 1, units.size() - 1);
        if (k % size_t(sc.burst) == 0) shift_ns = jitter(rng) * 1000;
        if (sc.fps > 0) sleep_until_ns(anchor + int64_t(double(due) * 1e9 / sc.fps) + shift_ns);
        if (in_ranges(sc.drop, long(k))) {
            c->dropped++;
            continue;
        }
        bool ok;
        if (in_ranges(sc.corrupt, long(k))) {
            std::vector<uint8_t> bad = u.data;
            corrupt_unit(&bad, u.hevc);
            ok = write_all(bad.data(), bad.size());
            c->corrupted++;
        } else {
            ok = write_all(u.data.data(), u.data.size());
        }
        if (ok && sc.aud == Aud::kEach) ok = write_aud(u.hevc);
        if (!ok) return false;
        last_hevc = u.hevc;
        c->written++;
        if (log) fprintf(log, "%zu %lld %zu\n", k, (long long)(mono_ns() / 1000), u.data.size());
    }
    bool end_aud = sc.aud == Aud::kEnd || sc.aud == Aud::kPause;
    if (end_aud && c->written > 0 && !write_aud(last_hevc)) return false;
    auto p = sc.pause_ms.find(-1);
    if (p != sc.pause_ms.end()) {
        wait_until_read();
        sleep_until_ns(mono_ns() + int64_t(p->second) * 1000000);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Script sc;
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (!parse_args(argc, argv, &sc)) {
        usage(stderr);
        return 1;
    }
    // A receiver that exits must end the feed with an error, not a signal or a hang.
    signal(SIGPIPE, SIG_IGN);
    std::vector<Unit> one_pass;
    for (const std::string &f : sc.files) {
        if (!cut_units(f, &one_pass)) {
            fprintf(stderr, "zyl-feeder: cannot read %s as an H.264/H.265 stream\n", f.c_str());
            return 1;
        }
    }
    std::vector<Unit> units;
    for (int i = 0; i < sc.loops; i++) units.insert(units.end(), one_pass.begin(), one_pass.end());
    if (sc.max_units >= 0 && size_t(sc.max_units) < units.size())
        units.resize(size_t(sc.max_units));
    FILE *log = nullptr;
    if (!sc.log_path.empty() && !(log = fopen(sc.log_path.c_str(), "w"))) {
        fprintf(stderr, "zyl-feeder: cannot write %s\n", sc.log_path.c_str());
        return 1;
    }
    Counts c;
    bool done = play(sc, units, log, &c);
    // The end of input is the moment the last unit is out, not when this process has
    // finished exiting (freeing, leak checks): the receiver times gaps from it.
    close(STDOUT_FILENO);
    if (log) fclose(log);
    if (!done) {
        fprintf(stderr, "zyl-feeder: reader gone after %ld of %zu units\n", c.written,
                units.size());
        return 2;
    }
    if (!sc.quiet)
        fprintf(stderr, "zyl-feeder: %ld units written, %ld dropped, %ld damaged\n", c.written,
                c.dropped, c.corrupted);
    return 0;
}
