// The one way out of the receiver: every end (the input's, a stop signal, a display
// change, a dead decoder, a failed start-up) returns through process_end to main().
#pragma once

#include <string>

#include "base/own.h"

// Why the process ends.
struct End {
    int status = 0;
    std::string reason;                // the line that says why; empty: none
    const char *last_state = nullptr;  // state word written after the reason; null: none
};

struct Health;

// Lets a running reader leave and joins it, says the reason and writes the last
// state into `h`'s file; returns the exit status for main(). A reader that cannot be
// told to leave may be blocked in a read for ever and is left to the process's end.
[[nodiscard]] int process_end(const End &end, Health &h, Thread *reader = nullptr);
