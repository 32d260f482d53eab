// Owners of the kernel, GL and shared-memory objects the receiver makes. Each is
// move-only and releases its object when it goes out of scope or is reset, so a
// struct that holds several releases them in the reverse of their declaration
// order: declare what is made first (a buffer) before what is made over it (its
// framebuffer, its mapping).
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>
#include <utility>

struct gbm_bo;
struct gbm_device;

// One object of type T, released by `Release(context, value)` unless it is kNone.
template <typename T, typename Ctx, void (*Release)(Ctx, T), T kNone = T{}>
class Owned {
  public:
    Owned() = default;
    explicit Owned(T value, Ctx ctx = Ctx{}) : value_(value), ctx_(ctx) {}
    Owned(Owned &&o) noexcept : value_(std::exchange(o.value_, kNone)), ctx_(o.ctx_) {}
    Owned &operator=(Owned &&o) noexcept {
        if (this != &o) {
            reset();
            value_ = std::exchange(o.value_, kNone);
            ctx_ = o.ctx_;
        }
        return *this;
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { reset(); }

    T get() const { return value_; }
    Ctx context() const { return ctx_; }
    explicit operator bool() const { return value_ != kNone; }
    // Gives the object up without releasing it.
    T release() { return std::exchange(value_, kNone); }
    void reset() {
        if (value_ != kNone) Release(ctx_, std::exchange(value_, kNone));
    }

  private:
    T value_ = kNone;
    Ctx ctx_{};
};

namespace own_detail {
struct NoCtx {};
void close_fd(NoCtx, int fd);
void rm_fb(int drm_fd, uint32_t fb);
void destroy_dumb(int drm_fd, uint32_t handle);
void unmap(size_t bytes, void *addr);
void destroy_bo(NoCtx, gbm_bo *bo);
void destroy_gbm_device(NoCtx, gbm_device *dev);
void terminate_egl(NoCtx, void *display);
void destroy_egl_image(void *display, void *image);
void destroy_egl_context(void *display, void *context);
void delete_texture(NoCtx, unsigned name);
void delete_framebuffer(NoCtx, unsigned name);
void delete_shader(NoCtx, unsigned name);
void delete_program(NoCtx, unsigned name);
}  // namespace own_detail

// A file descriptor.
using Fd = Owned<int, own_detail::NoCtx, own_detail::close_fd, -1>;
// A framebuffer id on the card `context()` (drmModeRmFB).
using FbId = Owned<uint32_t, int, own_detail::rm_fb>;
// A dumb buffer's handle on the card `context()`.
using DumbHandle = Owned<uint32_t, int, own_detail::destroy_dumb>;
// A mapping of `context()` bytes (munmap).
using Mapping = Owned<void *, size_t, own_detail::unmap>;
using GbmBo = Owned<gbm_bo *, own_detail::NoCtx, own_detail::destroy_bo>;
// A GBM device over a card's fd, which must stay open while it lives.
using GbmDevice = Owned<gbm_device *, own_detail::NoCtx, own_detail::destroy_gbm_device>;
// An initialised EGL display (eglTerminate).
using EglDisplay = Owned<void *, own_detail::NoCtx, own_detail::terminate_egl>;
// An EGL image and a context of the display `context()`.
using EglImage = Owned<void *, void *, own_detail::destroy_egl_image>;
using EglContext = Owned<void *, void *, own_detail::destroy_egl_context>;
// GL objects of the context current on the calling thread.
using GlTexture = Owned<unsigned, own_detail::NoCtx, own_detail::delete_texture>;
using GlFramebuffer = Owned<unsigned, own_detail::NoCtx, own_detail::delete_framebuffer>;
using GlShader = Owned<unsigned, own_detail::NoCtx, own_detail::delete_shader>;
using GlProgram = Owned<unsigned, own_detail::NoCtx, own_detail::delete_program>;
// A thread, joined when its owner goes.
using Thread = std::jthread;

// Zeroed private memory whose pages are only touched when written: a mode-size
// drawing surface that is never drawn costs nothing (a vector would write it all).
struct ZeroedBytes {
    Mapping map;
    size_t bytes = 0;
    uint8_t *data() const { return static_cast<uint8_t *>(map.get()); }
    bool empty() const { return !map; }
};
// Empty when the memory cannot be had.
ZeroedBytes zeroed_bytes(size_t bytes);
