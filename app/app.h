// What the other subsystems take from app/: the reader thread in decode/ pushes
// decoded frames into the mailbox and reports to its counters, arms the keyframe
// gate after a flush or rebuild, and reads the monotonic clock; gpu/ gives every
// output the global display settings or the panel's own. Everything else in app/
// has its own header beside its .cpp and is for app/ and the tests only.
#pragma once

#include "app/clock.h"
#include "app/gate.h"
#include "app/mailbox.h"
#include "app/settings.h"
