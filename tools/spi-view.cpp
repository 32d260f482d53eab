// spi-view: what a process driving a small SPI display gets from the receiver. Maps
// the shared frame read-only, checks its header, copies a whole frame the way such a
// process must (seq even and unchanged around the copy) and writes it as a PNG; with
// -s it writes every new frame for a while as numbered PNGs; SIGINT or SIGTERM ends
// that watch early, after a last look at the frame.
//
//   spi-view [-n NAME] [-o FILE] [-s SECONDS] [-d DIR] [-x]
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

void usage() {
    fprintf(stderr,
            "usage: spi-view [-n NAME] [-o FILE] [-s SECONDS] [-d DIR] [-x]\n"
            "  -n NAME     shared-memory object (default %s)\n"
            "  -o FILE     the current frame as PNG (default spi.png)\n"
            "  -s SECONDS  instead, every new frame for that long (or until SIGINT or\n"
            "              SIGTERM) as DIR/<seq>.png\n"
            "  -d DIR      folder of the numbered frames (default .)\n"
            "  -x          remove the object once it is mapped (what a finished sim run left)\n",
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

// One whole frame into `out`: its seq, or -1 while a write is under way, when one
// began during the copy, or while nothing was written yet (seq 0: the object was just
// set up and holds whatever it held before).
int64_t copy_frame(const SpiFrame *f, std::vector<uint16_t> &out) {
    const uint32_t before = load_seq(f);
    if ((before & 1) || before == 0) return -1;
    memcpy(out.data(), spi_frame_pixels(f), out.size() * 2);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return load_seq(f) == before ? int64_t(before) : -1;
}

// RGB565 widened to 8 bits by repeating the top bits, so R >> 3, G >> 2 and B >> 3 of
// the PNG give the frame's values back exactly.
int write_png(const char *path, const std::vector<uint16_t> &px, int w, int h) {
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

// The object mapped read-only with a valid header, or null with the reason.
const SpiFrame *map_frame(const std::string &name, std::string *why) {
    char text[160];
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *why = strerror(errno);
        if (fd >= 0) close(fd);
        return nullptr;
    }
    const size_t size = size_t(st.st_size);
    void *map =
        size >= sizeof(SpiFrame) ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (map == MAP_FAILED) {
        snprintf(text, sizeof text, "%zu bytes, no header", size);
        *why = text;
        return nullptr;
    }
    const auto *f = static_cast<const SpiFrame *>(map);
    const int w = f->width, h = f->height;
    if (f->magic == kSpiMagic && w >= 1 && w <= kSpiMaxSide && h >= 1 && h <= kSpiMaxSide &&
        size == spi_frame_bytes(w, h))
        return f;
    snprintf(text, sizeof text, "bad header (magic 0x%08x, %dx%d, %zu bytes)", f->magic, w, h,
             size);
    *why = text;
    munmap(map, size);
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    std::string name = kSpiShmName, out = "spi.png", dir = ".";
    double watch = 0;
    bool remove = false;
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
            default:
                usage();
                return 2;
        }
    }
    if (optind != argc) {
        usage();
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
    const SpiFrame *f;
    while (!(f = map_frame(real, &why)) && now_s() < end && !g_stop) usleep(10000);
    if (!f) {
        fprintf(stderr, "spi-view: %s: %s\n", real.c_str(), why.c_str());
        return 1;
    }
    if (remove) shm_unlink(real.c_str());
    const int w = f->width, h = f->height;

    std::vector<uint16_t> px(size_t(w) * h);
    if (watch <= 0) {
        // A writer holds a frame for well under a millisecond; two seconds without a
        // whole frame means nobody is writing.
        const double give_up = now_s() + 2;
        int64_t seq;
        while ((seq = copy_frame(f, px)) < 0 && now_s() < give_up) usleep(200);
        if (seq < 0) {
            fprintf(stderr, "spi-view: no whole frame within 2 s (seq %u)\n", load_seq(f));
            return 1;
        }
        if (write_png(out.c_str(), px, w, h) != 0) return 1;
        printf("spi-view: %dx%d seq %lld -> %s\n", w, h, (long long)seq, out.c_str());
        return 0;
    }

    int64_t last = -1, first = -1;
    int written = 0, missed = 0;
    for (bool stopping = false; !stopping && now_s() < end;) {
        stopping = g_stop;
        const uint32_t s = load_seq(f);
        if ((s & 1) || s == 0 || int64_t(s) == last) {
            if (!stopping) usleep(500);
            continue;
        }
        const int64_t seq = copy_frame(f, px);
        if (seq < 0) {
            stopping = false;  // a write under way: its frame is the last one
            continue;
        }
        if (last >= 0 && seq > last + 2) missed += int((seq - last) / 2 - 1);
        if (first < 0) first = seq;
        last = seq;
        char path[4096];
        snprintf(path, sizeof path, "%s/%010lld.png", dir.c_str(), (long long)seq);
        if (write_png(path, px, w, h) != 0) return 1;
        written++;
    }
    printf("spi-view: %dx%d, %d frames written, %d missed, seq %lld to %lld\n", w, h, written,
           missed, (long long)first, (long long)last);
    return 0;
}
