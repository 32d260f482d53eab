// The monotonic clock the receiver measures everything with: frame arrivals, gaps,
// gate ages, stalls and present times.
#pragma once

#include <cstdint>

int64_t mono_us();
int64_t mono_ms();
