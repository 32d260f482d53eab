// Display-change supervision, polled by the presentation loop about once a second
// (the first pass in each new monotonic second): a different monitor, or the same
// one back after an unplug, must end the process with status 0 so that the
// supervisor sets the displays up from scratch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct Display;
struct Health;
struct KmsOutput;

// When the connectors were last polled, and whether they are (the start-up settings
// say); main thread only.
struct HotplugPoll {
    int64_t last_us = 0;
    bool started = false;
    bool on = true;
};
// The line to end the process with when an output's monitor changed; empty otherwise.
// The poll's time goes to the cadence report.
std::optional<std::string> hotplug_check(Display &d, HotplugPoll &poll, Health &health);
bool hotplug_poll_due(int64_t now_us, int64_t *last_us, bool *started);
enum class MonitorSeen { kSame, kUnplugged, kReplugged, kChanged };
// What one poll of an output's connector says, against the monitor seen at start-up.
MonitorSeen monitor_seen(bool connected, int nmodes, int w, int h, int hz, const KmsOutput &o);
