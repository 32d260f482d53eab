// The wall clock of the virtual board. A board without a battery clock steps its
// wall clock when the network sets the time; ZYL_SIM_CLOCK_BACK_AT_MS=N steps
// CLOCK_REALTIME back by an hour N ms after the program started. The step lands in
// the middle of the first wall-clock wait begun after that moment (or, when nothing
// waits on the wall clock, one second later), and such a wait then ends when the
// stepped clock reaches its deadline, as the kernel's do: an hour late. Without the
// variable every call goes straight to the C library.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int64_t kStepNs = 3600LL * 1000000000;
// A deadline this far from the wall clock's now is on another clock (a condition
// variable made for the monotonic clock).
constexpr int64_t kFarNs = 86400LL * 1000000000;

using ClockGettime = int (*)(clockid_t, timespec *);
using CondTimedwait = int (*)(pthread_cond_t *, pthread_mutex_t *, const timespec *);
using CondClockwait = int (*)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *);

ClockGettime real_clock_gettime() {
    static auto f = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return f;
}

CondTimedwait real_timedwait() {
    static auto f = reinterpret_cast<CondTimedwait>(dlsym(RTLD_NEXT, "pthread_cond_timedwait"));
    return f;
}

CondClockwait real_clockwait() {
    static auto f = reinterpret_cast<CondClockwait>(dlsym(RTLD_NEXT, "pthread_cond_clockwait"));
    return f;
}

int64_t ns_of(const timespec &ts) {
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

timespec ts_of(int64_t ns) {
    return {time_t(ns / 1000000000), long(ns % 1000000000)};
}

int64_t mono_now() {
    timespec ts;
    real_clock_gettime()(CLOCK_MONOTONIC, &ts);
    return ns_of(ts);
}

int64_t g_step_at = -1;  // monotonic ns; -1: the wall clock is left alone
std::atomic<bool> g_stepped{false};

void step() {
    if (g_stepped.exchange(true)) return;
    static const char line[] = "zyl-sim: wall clock stepped back 3600 s\n";
    (void)!write(2, line, sizeof line - 1);
}

// The step for a program that never waits on the wall clock.
void *step_later(void *) {
    timespec at = ts_of(g_step_at + 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
    step();
    return nullptr;
}

struct StepSchedule {
    StepSchedule() {
        const char *v = getenv("ZYL_SIM_CLOCK_BACK_AT_MS");
        if (!v || !*v) return;
        g_step_at = mono_now() + int64_t(atol(v)) * 1000000;
        pthread_t t;
        if (pthread_create(&t, nullptr, step_later, nullptr) == 0) pthread_detach(t);
    }
} g_schedule;

int64_t wall_offset() {
    return g_stepped ? -kStepNs : 0;
}

// A wait until `deadline` on the wall clock, as a wait on the monotonic clock.
int wall_wait(pthread_cond_t *c, pthread_mutex_t *m, const timespec *deadline) {
    timespec now;
    real_clock_gettime()(CLOCK_REALTIME, &now);
    int64_t wall = ns_of(now) + wall_offset(), mono = mono_now();
    int64_t left = ns_of(*deadline) - wall;
    if (left > kFarNs || left < -kFarNs) return real_timedwait()(c, m, deadline);
    if (!g_stepped && mono >= g_step_at) {
        step();
        left += kStepNs;
    }
    timespec until = ts_of(mono + (left > 0 ? left : 0));
    return real_clockwait()(c, m, CLOCK_MONOTONIC, &until);
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec *ts) {
    int r = real_clock_gettime()(id, ts);
    if (r == 0 && g_stepped && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        *ts = ts_of(ns_of(*ts) - kStepNs);
    return r;
}

int gettimeofday(timeval *tv, void *) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *tv = {ts.tv_sec, suseconds_t(ts.tv_nsec / 1000)};
    return 0;
}

time_t time(time_t *out) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out) *out = ts.tv_sec;
    return ts.tv_sec;
}

int pthread_cond_timedwait(pthread_cond_t *c, pthread_mutex_t *m, const timespec *deadline) {
    if (g_step_at < 0) return real_timedwait()(c, m, deadline);
    return wall_wait(c, m, deadline);
}

int pthread_cond_clockwait(pthread_cond_t *c, pthread_mutex_t *m, clockid_t id,
                           const timespec *deadline) {
    if (g_step_at < 0 || id != CLOCK_REALTIME) return real_clockwait()(c, m, id, deadline);
    return wall_wait(c, m, deadline);
}
}
