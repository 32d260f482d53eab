// The handler only records the signal and writes one byte into a pipe that nobody
// empties: the pipe then stays readable, so a poll() anywhere sees the request, and
// one thread turns it into a wake-up of the mailbox's waits, which a handler may not
// touch.
#include "app/stop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "app/mailbox.h"

namespace {

std::atomic<int> g_stop_signo;
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
int g_stop_pipe[2] = {-1, -1};
pthread_t g_waker;
Mailbox *g_wakes;  // set before the waker starts, which then only reads it
bool g_waker_running;

void make_readable() {
    const char byte = 1;
    if (write(g_stop_pipe[1], &byte, 1) < 0) {
        // Full or missing: the flag alone is still looked at on every loop pass.
    }
}

void on_stop(int signo) {
    const int saved = errno;
    int none = 0;
    g_stop_signo.compare_exchange_strong(none, signo);
    make_readable();
    errno = saved;
}

void *wake_loop(void *) {
    pollfd p{g_stop_pipe[0], POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    // A loop that looked at the flag just before this misses the wake-up; its wait
    // then ends on its own deadline, a tenth of a second at most.
    g_wakes->cv.notify_all();
    return nullptr;
}

}  // namespace

void stop_signals_install(Mailbox &wakes) {
    static bool done;
    if (done) return;
    done = true;
    g_wakes = &wakes;
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_stop_pipe[0] = g_stop_pipe[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    g_waker_running =
        g_stop_pipe[0] >= 0 && pthread_create(&g_waker, nullptr, wake_loop, nullptr) == 0;
}

void stop_leave() {
    if (g_stop_pipe[1] >= 0) make_readable();
}

void stop_waker_join() {
    if (!g_waker_running) return;
    g_waker_running = false;
    pthread_join(g_waker, nullptr);
}

int stop_status() {
    const int signo = g_stop_signo.load();
    return signo ? 128 + signo : 0;
}

int stop_fd() {
    return g_stop_pipe[0];
}
