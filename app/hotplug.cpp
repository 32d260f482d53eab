// Display-change supervision: a different monitor, or the same one plugged back in,
// ends the process so that the supervisor sets the displays up from scratch.
#include <cstdio>

#include <xf86drmMode.h>

#include "app/clock.h"
#include "app/health.h"
#include "app/hotplug.h"
#include "app/settings.h"
#include "kms/kms.h"

bool hotplug_poll_due(int64_t now_us, int64_t *last_us, bool *started) {
    if (!*started) {
        *started = true;
        *last_us = now_us;
    }
    if (now_us / 1000000 <= *last_us / 1000000) return false;
    *last_us = now_us;
    return true;
}

MonitorSeen monitor_seen(bool connected, int nmodes, int w, int h, int hz, const KmsOutput &o) {
    if (!connected || nmodes == 0) return MonitorSeen::kUnplugged;
    if (w != o.native_w || h != o.native_h || hz != o.native_hz) return MonitorSeen::kChanged;
    return o.unplugged ? MonitorSeen::kReplugged : MonitorSeen::kSame;
}

std::optional<std::string> hotplug_check(Display &d, HotplugPoll &poll, Health &health) {
    int64_t now = mono_us();
    if (!hotplug_poll_due(now, &poll.last_us, &poll.started)) return std::nullopt;
    int64_t t0 = mono_us();
    for (int i = 0; poll.on && d.fd && i < d.nout; i++) {
        KmsOutput &o = d.outs[i];
        DrmPtr<drmModeConnector> c(drmModeGetConnectorCurrent(d.card(), o.conn_id));
        if (!c) continue;
        bool connected = c->connection == DRM_MODE_CONNECTED;
        int w = 0, h = 0, hz = 0;
        if (c->count_modes > 0) {
            w = c->modes[0].hdisplay, h = c->modes[0].vdisplay, hz = c->modes[0].vrefresh;
        }
        MonitorSeen seen = monitor_seen(connected, connected ? c->count_modes : 0, w, h, hz, o);
        if (seen == MonitorSeen::kUnplugged) o.unplugged = 1;
        if (seen != MonitorSeen::kChanged && seen != MonitorSeen::kReplugged) continue;
        char line[200];
        snprintf(line, sizeof line,
                 "zyl-mpp: output %d display changed (%ux%u@%u → %ux%u@%u%s) — exiting so the "
                 "supervisor respawns us against the new panel",
                 i, o.native_w, o.native_h, o.native_hz, w, h, hz,
                 seen == MonitorSeen::kReplugged ? ", replugged" : "");
        stage_sample(&health, kStageHotplugPoll, t0, mono_us());
        return line;
    }
    stage_sample(&health, kStageHotplugPoll, t0, mono_us());
    return std::nullopt;
}
