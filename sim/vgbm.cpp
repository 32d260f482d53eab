// GBM on the virtual board: buffer objects are memfds, registered with the virtual
// card through drmPrimeFDToHandle, so a framebuffer made from a buffer's handle
// shows whatever was written into the memfd.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <drm_fourcc.h>
#include <gbm.h>
#include <xf86drm.h>

#include <mutex>
#include <set>

#include "sim/vgpu.h"

struct gbm_device {
    int fd;
};

struct gbm_bo {
    int dev_fd, memfd;
    uint32_t width, height, format, stride, handle;
};

namespace {

std::mutex g_devices_mu;
std::set<const void *> &devices() {
    static auto *s = new std::set<const void *>;
    return *s;
}

}  // namespace

bool vgbm_is_device(const void *dev) {
    std::lock_guard lk(g_devices_mu);
    return dev && devices().count(dev);
}

gbm_device *gbm_create_device(int fd) {
    if (vgpu_fails("gbm_device")) return nullptr;
    auto *dev = new gbm_device{fd};
    std::lock_guard lk(g_devices_mu);
    devices().insert(dev);
    return dev;
}

void gbm_device_destroy(gbm_device *dev) {
    {
        std::lock_guard lk(g_devices_mu);
        devices().erase(dev);
    }
    delete dev;
}

int gbm_device_get_fd(gbm_device *dev) {
    return dev->fd;
}

gbm_bo *gbm_bo_create(gbm_device *dev, uint32_t width, uint32_t height, uint32_t format, uint32_t) {
    if (vgpu_fails("bo_create") || !width || !height) return nullptr;
    if (format != DRM_FORMAT_XRGB8888 && format != DRM_FORMAT_ARGB8888) return nullptr;
    uint32_t stride = (width * 4 + 63) & ~63u;
    int fd = memfd_create("zyl-sim-gbm", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    uint32_t handle = 0;
    if (ftruncate(fd, off_t(stride) * height) != 0 || drmPrimeFDToHandle(dev->fd, fd, &handle)) {
        close(fd);
        return nullptr;
    }
    return new gbm_bo{dev->fd, fd, width, height, format, stride, handle};
}

void gbm_bo_destroy(gbm_bo *bo) {
    if (!bo) return;
    // Framebuffers made from the buffer keep its memory on the card.
    drmCloseBufferHandle(bo->dev_fd, bo->handle);
    close(bo->memfd);
    delete bo;
}

uint32_t gbm_bo_get_width(gbm_bo *bo) {
    return bo->width;
}

uint32_t gbm_bo_get_height(gbm_bo *bo) {
    return bo->height;
}

uint32_t gbm_bo_get_stride(gbm_bo *bo) {
    return bo->stride;
}

uint32_t gbm_bo_get_format(gbm_bo *bo) {
    return bo->format;
}

union gbm_bo_handle gbm_bo_get_handle(gbm_bo *bo) {
    gbm_bo_handle h{};
    h.u32 = bo->handle;
    return h;
}

int gbm_bo_get_fd(gbm_bo *bo) {
    return fcntl(bo->memfd, F_DUPFD_CLOEXEC, 0);
}
