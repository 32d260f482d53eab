// libavcodec's messages, each kind printed once and then summed up every 10 s.
#include "app/avlog.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "app/clock.h"
#include "base/log.h"

namespace {

constexpr char kPrefix[] = "zyl-mpp: libav: ";
// Kinds remembered at once; the one seen longest ago makes room for a new one.
constexpr size_t kKinds = 64;

std::mutex g_avlog_lock;
std::vector<AvLogKind> g_avlog_kinds;

// A line can come in several calls (a sample request is two); the pieces wait here
// until the one that ends in a newline.
thread_local std::string t_partial;
thread_local size_t t_name_len;  // the context's name in front of the pieces

// The message as one line: its context's name, then the text without line breaks;
// "" while the line is not complete.
std::string format_line(void *ptr, const char *fmt, va_list vl) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, vl);
    size_t n = strlen(text);
    bool complete = n > 0 && text[n - 1] == '\n';
    if (t_partial.empty()) {
        const AVClass *avc = ptr ? *static_cast<AVClass **>(ptr) : nullptr;
        if (avc) {
            t_partial = avc->item_name ? avc->item_name(ptr) : avc->class_name;
            t_partial += ": ";
        }
        t_name_len = t_partial.size();
    }
    for (size_t i = 0; i < n; i++) t_partial += text[i] == '\n' || text[i] == '\r' ? ' ' : text[i];
    if (!complete && t_partial.size() < sizeof text) return "";
    std::string line;
    line.swap(t_partial);
    while (line.size() > t_name_len && line.back() == ' ') line.pop_back();
    return line.size() > t_name_len ? line : "";
}

AvLogKind *find_kind(const std::string &key, int64_t now_ms, bool *fresh) {
    for (AvLogKind &k : g_avlog_kinds) {
        if (k.key != key) continue;
        *fresh = false;
        return &k;
    }
    *fresh = true;
    if (g_avlog_kinds.size() < kKinds)
        return &g_avlog_kinds.emplace_back(AvLogKind{key, now_ms, 0, now_ms});
    AvLogKind *oldest = &g_avlog_kinds[0];
    for (AvLogKind &k : g_avlog_kinds)
        if (k.last_ms < oldest->last_ms) oldest = &k;
    *oldest = AvLogKind{key, now_ms, 0, now_ms};
    return oldest;
}

void thinned(void *ptr, int level, const char *fmt, va_list vl) {
    if (level > av_log_get_level()) return;
    std::string line = format_line(ptr, fmt, vl);
    if (line.empty()) return;
    int64_t now = mono_ms();
    std::lock_guard lock(g_avlog_lock);
    bool fresh;
    AvLogKind *kind = find_kind(avlog_key(line), now, &fresh);
    std::string out = avlog_step(kind, fresh, line, now);
    if (!out.empty()) say("%s%s", kPrefix, out.c_str());
}

void everything(void *ptr, int level, const char *fmt, va_list vl) {
    if (level > av_log_get_level()) return;
    std::string line = format_line(ptr, fmt, vl);
    if (!line.empty()) say("%s%s", kPrefix, line.c_str());
}

}  // namespace

std::string avlog_key(const std::string &text) {
    std::string key;
    for (size_t i = 0; i < text.size(); i++) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) {
            key += text[i];
        } else if (key.empty() || key.back() != '#' ||
                   !isdigit(static_cast<unsigned char>(text[i - 1]))) {
            key += '#';
        }
    }
    return key;
}

std::string avlog_step(AvLogKind *kind, bool fresh, const std::string &text, int64_t now_ms) {
    kind->last_ms = now_ms;
    if (fresh) {
        kind->window_ms = now_ms;
        kind->suppressed = 0;
        return text;
    }
    kind->suppressed++;
    if (now_ms - kind->window_ms < kAvLogWindowMs) return "";
    std::string out = std::to_string(kind->suppressed) + " more like: " + text;
    kind->window_ms = now_ms;
    kind->suppressed = 0;
    return out;
}

void avlog_init(bool verbose) {
    av_log_set_level(verbose ? AV_LOG_VERBOSE : AV_LOG_WARNING);
    av_log_set_callback(verbose ? everything : thinned);
}
