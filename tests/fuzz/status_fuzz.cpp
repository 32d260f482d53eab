// The status-file parsers over any bytes, read from memory as the polls read files.
// Built once per parser (ZYL_STATUS_PARSER: 0 telemetry, 1 menu, 2 connect, 3 osd).
// Every text field must come out terminated inside its buffer without line ends,
// and every number inside the range its drawing relies on. The connect and osd
// records are then drawn as the receiver draws them (the connect screen on a small
// and a large standby picture, the pop-up tile on a panel and an SPI-sized read-back,
// in the 8x8 font), inside buffers of exactly their size.
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "overlay/overlay.h"
#include "overlay/status.h"
#include "tests/fuzz/naive.h"

namespace {

template <size_t N>
void check_text(const char (&field)[N]) {
    size_t n = strnlen(field, N);
    FUZZ_CHECK(n < N);
    FUZZ_CHECK(!memchr(field, '\r', n) && !memchr(field, '\n', n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = size ? fmemopen(const_cast<uint8_t *>(data), size, "r") : fopen("/dev/null", "r");
    if (!f) return 0;
#if ZYL_STATUS_PARSER == 0
    TelemetryState t = parse_telemetry(f);
    FUZZ_CHECK(t.valid == 1);
    FUZZ_CHECK(strnlen(t.net, sizeof t.net) <= 23);
    for (int has : {t.has_yaw, t.has_alt, t.has_spd, t.has_vs, t.has_pit, t.has_rol})
        FUZZ_CHECK(has == 0 || has == 1);
    // A float that was never given stays 0.
    FUZZ_CHECK(t.has_vs || t.vs == 0.0f);
    FUZZ_CHECK(t.has_alt || t.alt == 0.0f);
#elif ZYL_STATUS_PARSER == 1
    MenuState m = parse_menu(f);
    FUZZ_CHECK(m.nrows >= 0 && m.nrows <= 12);
    FUZZ_CHECK(m.open == 0 || m.open == 1);
    FUZZ_CHECK(!m.message || (!m.open && !m.nrows && !m.title[0]));
    check_text(m.title);
    check_text(m.msg);
    for (int i = 0; i < 12; i++) {
        check_text(m.rows[i]);
        FUZZ_CHECK(i < m.nrows || !m.rows[i][0]);
    }
#elif ZYL_STATUS_PARSER == 2
    ConnectInfo c = parse_connect(f);
    FUZZ_CHECK(c.qr_n >= 0 && c.qr_n <= 64);
    for (uint8_t module : c.qr) FUZZ_CHECK(module <= 1);
    check_text(c.ssid);
    check_text(c.push);
    for (auto [w, h] : {std::pair{320, 240}, {640, 1000}}) {
        std::vector<uint32_t> px(size_t(w) * h);
        ConnectSwitch on;
        draw_connect(on, {reinterpret_cast<uint8_t *>(px.data()), uint32_t(w) * 4, w, h}, c);
        // Nothing at all without a code; with one, the quiet zone's corner is white.
        const ConnectLayout l = connect_layout(w, h, c.qr_n);
        FUZZ_CHECK(c.qr_n ? px[size_t(l.y0) * w + l.x0] == 0xFFFFFFFF : px[size_t(h / 2) * w] == 0);
    }
#else
    OsdState o = parse_osd(f);
    FUZZ_CHECK(o.level >= 0 && o.level <= 2);
    FUZZ_CHECK(o.active == (o.text[0] != 0));
    check_text(o.text);
    static PopupTile tile;
    for (auto [w, h, rgba] : {std::tuple{800, 480, 0}, {320, 240, 1}, {150, 100, 0}}) {
        std::vector<uint32_t> px(size_t(w) * h);
        pu_blit(
            tile,
            {reinterpret_cast<uint8_t *>(px.data()), uint32_t(w) * 4, w, h, rgba, rgba, nullptr},
            o);
        FUZZ_CHECK(tile.w <= w && tile.h <= kPopupMaxH);
    }
#endif
    fclose(f);
    return 0;
}
