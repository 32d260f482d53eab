#include "app/end.h"

#include <cstdio>

#include "app/health.h"
#include "app/stop.h"
#include "base/log.h"

int process_end(const End &end, Health &h, Thread *reader) {
    stop_leave();
    if (reader && reader->joinable()) {
        if (stop_fd() >= 0)
            reader->join();
        else
            reader->detach();
    }
    // Before the mailbox, whose condition variable the waker touches, goes.
    stop_waker_join();
    if (!end.reason.empty()) say("%s", end.reason.c_str());
    if (end.last_state) hdmi_state_write(h, end.last_state);
    return end.status;
}
