// Messages on standard error. Every line the receiver prints goes through say():
// the caller gives the whole text as it stands (its "zyl-mpp: " or "zyl-kms: "
// prefix included, no newline) and the line leaves in one write, so lines from the
// reader, converter and main threads never interleave.
#pragma once

#include <atomic>

[[gnu::format(printf, 1, 2)]] void say(const char *fmt, ...);
// The same, the first time `said` is false (it is then set): for a failure that
// may repeat on every frame.
[[gnu::format(printf, 2, 3)]] void say_once(std::atomic<bool> &said, const char *fmt, ...);
