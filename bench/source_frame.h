// What the GPU benchmarks feed the pass: a decoded frame as the virtual decoder lays
// it out, and the clock they time it with.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

extern "C" {
#include <libavutil/hwcontext_drm.h>
}
#include <drm_fourcc.h>

inline int64_t clock_ns(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A w x h NV12 frame of the virtual decoder's layout: gradients and bars.
inline AVDRMFrameDescriptor make_source(int w, int h) {
    int pitch = (w + 63) & ~63, uv_off = pitch * ((h + 15) & ~15);
    size_t size = size_t(uv_off) + size_t(pitch) * h / 2;
    int fd = memfd_create("gpu-bench-frame", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(size)) != 0) exit(1);
    auto *m = static_cast<uint8_t *>(mmap(nullptr, size, PROT_WRITE, MAP_SHARED, fd, 0));
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            m[y * pitch + x] = uint8_t(16 + (x * 219 / w + (y / 64 % 2) * 40) % 220);
            if (!(x % 2) && !(y % 2)) {
                m[uv_off + (y / 2) * pitch + x] = uint8_t(64 + x * 128 / w);
                m[uv_off + (y / 2) * pitch + x + 1] = uint8_t(64 + y * 128 / h);
            }
        }
    munmap(m, size);
    AVDRMFrameDescriptor d{};
    d.nb_objects = 1;
    d.objects[0] = {fd, size, 0};
    d.nb_layers = 1;
    d.layers[0].format = DRM_FORMAT_NV12;
    d.layers[0].nb_planes = 2;
    d.layers[0].planes[0] = {0, 0, pitch};
    d.layers[0].planes[1] = {0, uv_off, pitch};
    return d;
}
