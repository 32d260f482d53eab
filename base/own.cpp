// How each owned object is released.
#include <sys/mman.h>
#include <unistd.h>

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <gbm.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "base/own.h"

namespace own_detail {

void close_fd(NoCtx, int fd) {
    close(fd);
}

void rm_fb(int drm_fd, uint32_t fb) {
    drmModeRmFB(drm_fd, fb);
}

void destroy_dumb(int drm_fd, uint32_t handle) {
    drm_mode_destroy_dumb d{};
    d.handle = handle;
    drmIoctl(drm_fd, DRM_IOCTL_MODE_DESTROY_DUMB, &d);
}

void unmap(size_t bytes, void *addr) {
    munmap(addr, bytes);
}

void destroy_bo(NoCtx, gbm_bo *bo) {
    gbm_bo_destroy(bo);
}

void destroy_gbm_device(NoCtx, gbm_device *dev) {
    gbm_device_destroy(dev);
}

void terminate_egl(NoCtx, void *display) {
    eglTerminate(display);
}

void destroy_egl_image(void *display, void *image) {
    // An extension entry point: looked up once, where the image was made it was found.
    static const auto destroy =
        reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(eglGetProcAddress("eglDestroyImageKHR"));
    if (destroy) destroy(display, image);
}

void destroy_egl_context(void *display, void *context) {
    if (eglGetCurrentContext() == context)
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(display, context);
}

void delete_texture(NoCtx, unsigned name) {
    glDeleteTextures(1, &name);
}

void delete_framebuffer(NoCtx, unsigned name) {
    glDeleteFramebuffers(1, &name);
}

void delete_shader(NoCtx, unsigned name) {
    glDeleteShader(name);
}

void delete_program(NoCtx, unsigned name) {
    glDeleteProgram(name);
}

}  // namespace own_detail

ZeroedBytes zeroed_bytes(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return {};
    return {Mapping(p, bytes), bytes};
}
