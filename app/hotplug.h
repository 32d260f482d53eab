// Display-change supervision, polled by the presentation loop about once a second
// (the first pass in each new monotonic second): a different monitor, or the same
// one back after an unplug, must end the process with status 0 so that the
// supervisor sets the displays up from scratch.
//
// A monitor exchanged between two looks at the connector leaves its status
// "connected", and the kernel reads the new monitor's modes and EDID only on a full
// probe, which on many drivers reads the EDID over DDC for tens of milliseconds
// while holding the card's mode-config lock (which every connector read takes as
// well). So a thread of its own probes the outputs' connectors and hands the loop
// what it found; the loop never reads a connector itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct Display;
struct Health;
struct KmsOutput;
class ConnectorProber;

// What one full probe of an output's connector found.
struct ConnectorSeen {
    bool connected = false;
    int nmodes = 0;
    int w = 0, h = 0, hz = 0;   // its first mode
    std::vector<uint8_t> edid;  // the EDID blob; empty: none
};

// When the connectors were last polled, and whether they are (the start-up settings
// say); main thread only.
struct HotplugPoll {
    int64_t last_us = 0;
    bool started = false;
    bool on = true;
    std::unique_ptr<ConnectorProber> prober;  // probes the outputs of the display in use
    uint64_t generation = 0;                  // of the prober's last findings looked at
    HotplugPoll();
    ~HotplugPoll();  // stops the prober, before the display it probes is closed
};
// The line to end the process with when an output's monitor changed; empty otherwise.
// The poll's time goes to the cadence report.
std::optional<std::string> hotplug_check(Display &d, HotplugPoll &poll, Health &health);
bool hotplug_poll_due(int64_t now_us, int64_t *last_us, bool *started);
enum class MonitorSeen { kSame, kUnplugged, kReplugged, kChanged };
// What one probe of an output's connector says, against the monitor seen when the
// output was lit: its first mode (in the output) and its EDID (`lit_edid`, empty when
// the connector had none, as DSI panels).
MonitorSeen monitor_seen(const ConnectorSeen &now, const std::vector<uint8_t> &lit_edid,
                         const KmsOutput &o);
