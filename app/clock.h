// The monotonic clock lives in base/ so that every subsystem can read it.
#pragma once

#include "base/clock.h"
