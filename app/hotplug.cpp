// Display-change supervision: a different monitor, or the same one plugged back in,
// ends the process so that the supervisor sets the displays up from scratch.
#include "app/hotplug.h"

#include <cstdio>
#include <cstring>

#include <condition_variable>
#include <mutex>

#include <xf86drmMode.h>

#include "app/clock.h"
#include "app/health.h"
#include "app/settings.h"
#include "base/own.h"
#include "kms/kms.h"

namespace {

constexpr auto kProbeEvery = std::chrono::seconds(1);

std::vector<uint8_t> edid_of(int fd, const drmModeConnector &c) {
    for (int i = 0; i < c.count_props; i++) {
        DrmPtr<drmModePropertyRes> p(drmModeGetProperty(fd, c.props[i]));
        if (!p || strcmp(p->name, "EDID") != 0 || !c.prop_values[i]) continue;
        drmModePropertyBlobRes *b = drmModeGetPropertyBlob(fd, uint32_t(c.prop_values[i]));
        if (!b) return {};
        const uint8_t *data = static_cast<const uint8_t *>(b->data);
        std::vector<uint8_t> out(data, data + b->length);
        drmModeFreePropertyBlob(b);
        return out;
    }
    return {};
}

// `full`: a full probe, as only the master's drmModeGetConnector makes; otherwise
// what the last one found.
std::optional<ConnectorSeen> read_connector(int fd, uint32_t id, bool full) {
    DrmPtr<drmModeConnector> c(full ? drmModeGetConnector(fd, id)
                                    : drmModeGetConnectorCurrent(fd, id));
    if (!c) return std::nullopt;
    ConnectorSeen s;
    s.connected = c->connection == DRM_MODE_CONNECTED;
    s.nmodes = c->count_modes;
    if (c->count_modes > 0)
        s.w = c->modes[0].hdisplay, s.h = c->modes[0].vdisplay, s.hz = c->modes[0].vrefresh;
    s.edid = edid_of(fd, *c);
    return s;
}

}  // namespace

// Probes the connectors of one display's outputs on its own thread. The card's
// descriptor stays the display's (a copy of it would keep the card open, and its DRM
// master with it, after the display let go): the screen state stops the prober before
// it closes the display.
class ConnectorProber {
  public:
    ConnectorProber(int fd, std::vector<uint32_t> ids)
        : fd_(fd), ids_(std::move(ids)), seen_(ids_.size()), lit_(ids_.size()) {
        // What discovery's probe found when the outputs were lit, before any other.
        for (size_t i = 0; i < ids_.size(); i++)
            if (std::optional<ConnectorSeen> s = read_connector(fd_, ids_[i], false))
                lit_[i] = std::move(s->edid);
        thread_ = Thread([this] { run(); });
    }
    ~ConnectorProber() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            stop_ = true;
        }
        cv_.notify_all();
    }  // the thread, declared last, is joined first
    bool probes(int fd, const std::vector<uint32_t> &ids) const { return fd == fd_ && ids == ids_; }
    const std::vector<uint8_t> &lit_edid(size_t i) const { return lit_[i]; }
    // The findings of the last probe when newer than `*generation`.
    bool take(uint64_t *generation, std::vector<std::optional<ConnectorSeen>> *out) {
        std::lock_guard<std::mutex> lk(mu_);
        if (gen_ == *generation) return false;
        *generation = gen_;
        *out = seen_;
        return true;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lk(mu_);
        while (!cv_.wait_for(lk, kProbeEvery, [this] { return stop_; })) {
            lk.unlock();
            std::vector<std::optional<ConnectorSeen>> seen;
            for (uint32_t id : ids_) seen.push_back(read_connector(fd_, id, true));
            lk.lock();
            seen_ = std::move(seen);
            gen_++;
        }
    }

    const int fd_;
    const std::vector<uint32_t> ids_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    uint64_t gen_ = 0;
    std::vector<std::optional<ConnectorSeen>> seen_;
    std::vector<std::vector<uint8_t>> lit_;
    Thread thread_;
};

HotplugPoll::HotplugPoll() = default;
HotplugPoll::~HotplugPoll() = default;

bool hotplug_poll_due(int64_t now_us, int64_t *last_us, bool *started) {
    if (!*started) {
        *started = true;
        *last_us = now_us;
    }
    if (now_us / 1000000 <= *last_us / 1000000) return false;
    *last_us = now_us;
    return true;
}

MonitorSeen monitor_seen(const ConnectorSeen &now, const std::vector<uint8_t> &lit_edid,
                         const KmsOutput &o) {
    if (!now.connected || now.nmodes == 0) return MonitorSeen::kUnplugged;
    if (now.w != o.native_w || now.h != o.native_h || now.hz != o.native_hz)
        return MonitorSeen::kChanged;
    // Two monitors can share a first mode; their EDIDs differ (serial, name, timings).
    if (!lit_edid.empty() && !now.edid.empty() && now.edid != lit_edid)
        return MonitorSeen::kChanged;
    return o.unplugged ? MonitorSeen::kReplugged : MonitorSeen::kSame;
}

namespace {

// Starts a prober for the display's outputs unless one already probes them.
void keep_prober(const Display &d, HotplugPoll &poll) {
    std::vector<uint32_t> ids;
    for (const KmsOutput &o : d.outputs()) ids.push_back(o.conn_id);
    if (!poll.on || !d.fd || ids.empty()) {
        poll.prober.reset();
        return;
    }
    if (poll.prober && poll.prober->probes(d.card(), ids)) return;
    poll.prober.reset();
    poll.prober = std::make_unique<ConnectorProber>(d.card(), std::move(ids));
    poll.generation = 0;
}

std::string change_line(int i, const KmsOutput &o, const ConnectorSeen &s, MonitorSeen seen) {
    bool same_mode = s.w == o.native_w && s.h == o.native_h && s.hz == o.native_hz;
    char line[220];
    snprintf(line, sizeof line,
             "zyl-mpp: output %d display changed (%ux%u@%u → %ux%u@%u%s) — exiting so the "
             "supervisor respawns us against the new panel",
             i, o.native_w, o.native_h, o.native_hz, s.w, s.h, s.hz,
             seen == MonitorSeen::kReplugged ? ", replugged"
             : same_mode                     ? ", another monitor"
                                             : "");
    return line;
}

}  // namespace

std::optional<std::string> hotplug_check(Display &d, HotplugPoll &poll, Health &health) {
    int64_t now = mono_us();
    if (!hotplug_poll_due(now, &poll.last_us, &poll.started)) return std::nullopt;
    int64_t t0 = mono_us();
    keep_prober(d, poll);
    std::vector<std::optional<ConnectorSeen>> found;
    if (poll.prober && poll.prober->take(&poll.generation, &found)) {
        for (int i = 0; i < d.nout && i < int(found.size()); i++) {
            if (!found[i]) continue;
            KmsOutput &o = d.outs[i];
            MonitorSeen seen = monitor_seen(*found[i], poll.prober->lit_edid(i), o);
            if (seen == MonitorSeen::kUnplugged) o.unplugged = 1;
            if (seen != MonitorSeen::kChanged && seen != MonitorSeen::kReplugged) continue;
            stage_sample(&health, kStageHotplugPoll, t0, mono_us());
            return change_line(i, o, *found[i], seen);
        }
    }
    stage_sample(&health, kStageHotplugPoll, t0, mono_us());
    return std::nullopt;
}
