// The one way the receiver ends itself from inside the presentation loop rather than
// by returning from receiver_main.
#pragma once

// Says `reason` (one line; null: nothing to say) and ends the process at once with
// `status`, without running destructors: the pictures stay on screen until the
// supervisor starts the receiver again.
[[noreturn]] void process_end(int status, const char *reason);
