// The one reader of the environment. The reading rules are deliberately lenient
// (first-character switches, strtof/strtol without end checks) because the
// supervisor's scripts rely on exactly that behaviour.
#include <cstdlib>

#include "app/config.h"

namespace {

// ---- decode ----

void read_decode(Config &) {}

// ---- display: outputs, standby ----

void read_display(Config &) {}

// ---- GPU pass, SPI copy, per-output look ----

void read_gpu(Config &) {}

// ---- overlays ----

void read_overlays(Config &) {}

// ---- presentation loop, health ----

void read_loop(Config &) {}

}  // namespace

Config config_read() {
    Config c;
    read_decode(c);
    read_display(c);
    read_gpu(c);
    read_overlays(c);
    read_loop(c);
    return c;
}
