// spi-view: what a process driving a small SPI display gets from the receiver. Maps
// the shared frame read-only, checks its header, copies a whole frame the way such a
// process must (seq even and unchanged around the copy) and writes it as a PNG; with
// -s it writes every new frame for a while as numbered PNGs; SIGINT or SIGTERM ends
// that watch early, after a last look at the frame. The receiver may restart at
// another size while it watches: the size is taken from the header for every frame,
// and the object mapped again when it grew or was replaced.
//
//   spi-view [-n NAME] [-o FILE] [-s SECONDS] [-d DIR] [-x] [--help]
//
// With ZYL_SIM_ROOT set it looks at the object of the sim program run with the same
// root, as the sim program itself would name it.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "sim/sim.h"
#include "spitee/spitee.h"

namespace {

void usage(FILE *out) {
    fprintf(out,
            "usage: spi-view [-n NAME] [-o FILE] [-s SECONDS] [-d DIR] [-x]\n"
            "  -n NAME     shared-memory object (default %s)\n"
            "  -o FILE     the current frame as PNG (default spi.png)\n"
            "  -s SECONDS  instead, every new frame for that long (or until SIGINT or\n"
            "              SIGTERM) as DIR/<seq>.png\n"
            "  -d DIR      folder of the numbered frames (default .)\n"
            "  -x          remove the object once it is mapped (what a finished sim run left)\n"
            "  -h, --help  print this text and exit\n",
            kSpiShmName);
}

volatile sig_atomic_t g_stop;

void on_stop(int) {
    g_stop = 1;
}

double now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

uint32_t load_seq(const SpiFrame *f) {
    return __atomic_load_n(&f->seq, __ATOMIC_ACQUIRE);
}

// The object as mapped: all of it, which may be more than the header's size.
struct View {
    const SpiFrame *f = nullptr;
    size_t size = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};

struct Frame {
    int w = 0, h = 0;
    std::vector<uint16_t> px;
};

bool fits(int w, int h, size_t size) {
    return w >= 1 && w <= kSpiMaxSide && h >= 1 && h <= kSpiMaxSide &&
           spi_frame_bytes(w, h) <= size;
}

// One whole frame into `out`: its seq; -1 while a write is under way, when one began
// during the copy, or while nothing was written yet (seq 0: the object was just set
// up and holds whatever it held before); -2 when the header's size is more than the
// mapping holds (the object grew: map it again).
int64_t copy_frame(const View &v, Frame &out) {
    const SpiFrame *f = v.f;
    const uint32_t before = load_seq(f);
    if ((before & 1) || before == 0) return -1;
    const int w = __atomic_load_n(&f->width, __ATOMIC_ACQUIRE);
    const int h = __atomic_load_n(&f->height, __ATOMIC_ACQUIRE);
    if (!fits(w, h, v.size)) return load_seq(f) == before ? -2 : -1;
    out.px.resize(size_t(w) * h);
    memcpy(out.px.data(), spi_frame_pixels(f), out.px.size() * 2);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (load_seq(f) != before) return -1;
    out.w = w;
    out.h = h;
    return int64_t(before);
}

// RGB565 widened to 8 bits by repeating the top bits, so R >> 3, G >> 2 and B >> 3 of
// the PNG give the frame's values back exactly.
int write_png(const char *path, const Frame &fr) {
    const std::vector<uint16_t> &px = fr.px;
    const int w = fr.w, h = fr.h;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    int ok = -1;
    if (ctx && frame && pkt) {
        ctx->width = frame->width = w;
        ctx->height = frame->height = h;
        ctx->pix_fmt = AV_PIX_FMT_RGB24;
        frame->format = AV_PIX_FMT_RGB24;
        ctx->time_base = {1, 1};
        if (avcodec_open2(ctx, codec, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0) {
            for (int y = 0; y < h; y++) {
                uint8_t *row = frame->data[0] + y * frame->linesize[0];
                for (int x = 0; x < w; x++) {
                    const uint16_t v = px[size_t(y) * w + x];
                    const int r = v >> 11, g = v >> 5 & 0x3F, b = v & 0x1F;
                    row[x * 3] = uint8_t(r << 3 | r >> 2);
                    row[x * 3 + 1] = uint8_t(g << 2 | g >> 4);
                    row[x * 3 + 2] = uint8_t(b << 3 | b >> 2);
                }
            }
            if (avcodec_send_frame(ctx, frame) == 0 && avcodec_receive_packet(ctx, pkt) == 0) {
                FILE *out = fopen(path, "wb");
                if (out) {
                    bool written =
                        fwrite(pkt->data, 1, size_t(pkt->size), out) == size_t(pkt->size);
                    if (fclose(out) == 0 && written) ok = 0;
                }
            }
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    if (ok != 0) fprintf(stderr, "spi-view: cannot write %s\n", path);
    return ok;
}

void unmap(View &v) {
    if (v.f) munmap(const_cast<SpiFrame *>(v.f), v.size);
    v = View{};
}

// The object mapped read-only with a valid header, or an empty view with the reason.
View map_frame(const std::string &name, std::string *why) {
    char text[160];
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *why = strerror(errno);
        if (fd >= 0) close(fd);
        return {};
    }
    const size_t size = size_t(st.st_size);
    void *map =
        size >= sizeof(SpiFrame) ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (map == MAP_FAILED) {
        snprintf(text, sizeof text, "%zu bytes, no header", size);
        *why = text;
        return {};
    }
    View v{static_cast<const SpiFrame *>(map), size, st.st_dev, st.st_ino};
    const int w = v.f->width, h = v.f->height;
    if (v.f->magic == kSpiMagic && fits(w, h, size)) return v;
    snprintf(text, sizeof text, "bad header (magic 0x%08x, %dx%d, %zu bytes)", v.f->magic, w, h,
             size);
    *why = text;
    unmap(v);
    return {};
}

// Maps the object again when the name now stands for another object or a larger one;
// the old mapping stays when the name is gone or the new object is not set up yet.
void follow_object(const std::string &name, View &v) {
    struct stat st;
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    const bool same = fd < 0 || (fstat(fd, &st) == 0 && st.st_dev == v.dev && st.st_ino == v.ino &&
                                 size_t(st.st_size) == v.size);
    if (fd >= 0) close(fd);
    if (same) return;
    std::string why;
    View next = map_frame(name, &why);
    if (!next.f) return;
    unmap(v);
    v = next;
}

// The current frame as one PNG.
int snapshot(const View &v, const std::string &real, const std::string &out) {
    View view = v;
    Frame fr;
    // A writer holds a frame for well under a millisecond; two seconds without a
    // whole frame means nobody is writing.
    const double give_up = now_s() + 2;
    int64_t seq;
    while ((seq = copy_frame(view, fr)) < 0 && now_s() < give_up) {
        if (seq == -2) follow_object(real, view);
        usleep(200);
    }
    if (seq < 0) {
        fprintf(stderr, "spi-view: no whole frame within 2 s (seq %u)\n", load_seq(view.f));
        return 1;
    }
    if (write_png(out.c_str(), fr) != 0) return 1;
    printf("spi-view: %dx%d seq %lld -> %s\n", fr.w, fr.h, (long long)seq, out.c_str());
    return 0;
}

// Whether the frame in the object may differ from the last one written: seq moved,
// or a restart brought seq back to the same number at another size.
bool news(const SpiFrame *f, int64_t last, const Frame &fr) {
    const uint32_t s = load_seq(f);
    if ((s & 1) || s == 0) return false;
    return int64_t(s) != last || __atomic_load_n(&f->width, __ATOMIC_ACQUIRE) != fr.w ||
           __atomic_load_n(&f->height, __ATOMIC_ACQUIRE) != fr.h;
}

// Every new frame until `end` or a stop signal, as DIR/<seq>.png.
int watch_frames(View v, const std::string &real, const std::string &dir, double end) {
    Frame fr;
    int64_t last = -1, first = -1;
    int written = 0, missed = 0;
    double looked = now_s();
    for (bool stopping = false; !stopping && now_s() < end;) {
        stopping = g_stop;
        // A receiver started again counts from 0.
        if (last >= 0 && int64_t(load_seq(v.f)) < last) last = -1;
        if (!news(v.f, last, fr)) {
            // Now and then, and once at the end: has the name another object now?
            if (stopping || now_s() - looked > 0.25) {
                follow_object(real, v);
                looked = now_s();
                stopping = stopping && !news(v.f, last, fr);
            }
            if (!stopping) usleep(500);
            continue;
        }
        const int prev_w = fr.w, prev_h = fr.h;
        const int64_t seq = copy_frame(v, fr);
        if (seq == -2) follow_object(real, v);
        if (seq < 0) {
            stopping = false;  // a write under way: its frame is the last one
            continue;
        }
        if (prev_w && (fr.w != prev_w || fr.h != prev_h)) {
            printf("spi-view: now %dx%d (seq %lld)\n", fr.w, fr.h, (long long)seq);
            fflush(stdout);
        }
        if (last >= 0 && seq > last + 2) missed += int((seq - last) / 2 - 1);
        if (first < 0) first = seq;
        last = seq;
        char path[4096];
        snprintf(path, sizeof path, "%s/%010lld.png", dir.c_str(), (long long)seq);
        if (write_png(path, fr) != 0) return 1;
        written++;
    }
    printf("spi-view: %dx%d, %d frames written, %d missed, seq %lld to %lld\n", fr.w, fr.h, written,
           missed, (long long)first, (long long)last);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string name = kSpiShmName, out = "spi.png", dir = ".";
    double watch = 0;
    bool remove = false;
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    for (int c; (c = getopt(argc, argv, "n:o:s:d:xh")) != -1;) {
        switch (c) {
            case 'n':
                name = optarg;
                break;
            case 'o':
                out = optarg;
                break;
            case 's':
                watch = atof(optarg);
                break;
            case 'd':
                dir = optarg;
                break;
            case 'x':
                remove = true;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }
    if (watch > 0) {
        // Whoever started a watch may end it early, once the writer is gone: its last
        // frame is still taken.
        struct sigaction sa {};
        sa.sa_handler = on_stop;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    const char *root = getenv("ZYL_SIM_ROOT");
    const std::string real = sim_shm_name(name, root ? root : "");

    // A viewer may be started before the receiver, and the receiver sizes the object
    // before it writes the header: wait a little for both, longer while watching.
    const double end = now_s() + std::max(watch, 1.0);
    std::string why;
    View v;
    while (!(v = map_frame(real, &why)).f && now_s() < end && !g_stop) usleep(10000);
    if (!v.f) {
        fprintf(stderr, "spi-view: %s: %s\n", real.c_str(), why.c_str());
        return 1;
    }
    if (remove) shm_unlink(real.c_str());
    return watch > 0 ? watch_frames(v, real, dir, end) : snapshot(v, real, out);
}
