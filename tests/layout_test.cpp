// Screen layouts over the cases of tests/data/layouts.txt (its format is described
// there): each item's box as listed, none off the screen, none over another; and
// the connect screen's code read back by zbarimg at every size.
#include <sstream>
#include <vector>
#include <string>

#include <gtest/gtest.h>

#include "overlay/overlay.h"
#include "test_util.h"

namespace {

bool meet(const LayoutBox &a, const LayoutBox &b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}
// What zbarimg reads off the connect screen drawn over a white standby picture, the
// worst one for a code that has to stand out from its surroundings.
std::string code_read_back(const ConnectInfo &c, int W, int H) {
    std::vector<uint32_t> px(size_t(W) * H, 0xFFFFFFFF);
    ConnectSwitch on;
    draw_connect(on, {reinterpret_cast<uint8_t *>(px.data()), uint32_t(W) * 4, W, H}, c);
    const std::string path = test_dir() + "/connect.ppm";
    std::string ppm = "P6\n" + std::to_string(W) + " " + std::to_string(H) + "\n255\n";
    for (uint32_t v : px) ppm += {char(v >> 16), char(v >> 8), char(v)};
    write_file(path, ppm);
    return zbar_read(path);
}

bool holds(const LayoutBox &a, const LayoutBox &b) {
    return a.name[0] == '#' && a.x <= b.x && a.y <= b.y && b.x + b.w <= a.x + a.w &&
           b.y + b.h <= a.y + a.h;
}

// Lays out one case: "key=value" words, '_' standing for a blank.
void lay_out(const std::string &screen, int W, int H, std::istringstream &words, ScreenLayout &l,
             ConnectInfo &connect) {
    std::string telem, word, lut, mode, codec, up, osd, ssid, push;
    MenuState m{};
    bool menu = screen == "menu";
    while (words >> word && word != "->") {
        for (char &c : word) c = c == '_' ? ' ' : c;
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq), v = word.substr(eq + 1);
        if (key == "lut")
            lut = v;
        else if (key == "mode")
            mode = v;
        else if (key == "codec")
            codec = v;
        else if (key == "up")
            up = v;
        else if (key == "osd")
            osd = v;
        else if (key == "menu")
            menu = true;
        else if (key == "title")
            snprintf(m.title, sizeof m.title, "%s", v.c_str());
        else if (key == "tab")
            m.tab = std::stoi(v);
        else if (key == "ssid")
            ssid = v;
        else if (key == "push")
            push = v;
        else if (key == "msg")
            snprintf(m.msg, sizeof m.msg, "%s", v.c_str());
        else if (key == "sel")
            m.sel = std::stoi(v), m.focus = 1;
        else if (key == "row")
            snprintf(m.rows[m.nrows++ % 12], 64, "%s", v.c_str());
        else
            telem += word + "\n";
    }
    ScreenLayout head;
    if (screen == "menu") menu_boxes(nullptr, W, H, m, l);
    if (screen == "message" || screen == "sidebar-message")
        message_boxes(nullptr, W, H, m, screen == "sidebar-message", l);
    if (screen == "connect") {
        connect = parse_text(parse_connect,
                             "ssid=" + ssid + "\npush=" + push + "\nqr=29\n" + qr_rows(push));
        connect_boxes(nullptr, W, H, connect, l);
    }
    if (screen == "hud") {
        const TelemetryState t = parse_text(parse_telemetry, telem);
        hud_layout(nullptr, W, H, t, {lut.c_str(), mode.c_str(), codec.c_str(), up.c_str(), t.tmp},
                   l);
        // An open menu under the bars: its panel and heading keep off them.
        if (menu) {
            int top = 0, bottom = 0;
            hud_bars(nullptr, W, H, t, &top, &bottom);
            menu_boxes(nullptr, W, H, m, head, top, bottom);
            for (const char *bar : {"#top", "#bottom"})
                for (const char *item : {"#panel", "head"}) {
                    const LayoutBox *b = layout_find(l, bar), *i = layout_find(head, item);
                    EXPECT_TRUE(!b || !meet(*i, *b))
                        << bar << " meets " << item << " " << W << "x" << H;
                }
        }
    }
    if (!osd.empty()) {
        static PopupTile tile;
        OsdState o{};
        o.active = 1;
        snprintf(o.text, sizeof o.text, "%s", osd.c_str());
        pu_render_tile(tile, nullptr, o, W, H);
        const LayoutBox *top = layout_find(l, "#top");
        const LayoutBox p = popup_box(W, H, tile.w, tile.h, top ? top->y + top->h : 0,
                                      layout_find(screen == "menu" ? l : head, "head"));
        layout_add(l, p.name, p.x, p.y, p.w, p.h);
    }
}

TEST(Layouts, ItemsStayOnScreenAndApart) {
    std::istringstream in(read_file(std::string(ZYL_SOURCE_DIR) + "/tests/data/layouts.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string screen;
        int W = 0, H = 0;
        char x;
        words >> screen >> W >> x >> H;
        ScreenLayout l;
        ConnectInfo connect{};
        lay_out(screen, W, H, words, l, connect);
        if (screen == "connect") {
            ASSERT_EQ(29, connect.qr_n) << "qrencode is missing: tools/install-deps.sh installs it";
            EXPECT_EQ(std::string(connect.push) + "\n", code_read_back(connect, W, H)) << line;
        }
        std::string got;
        for (int i = 0; i < l.n; i++) {
            const LayoutBox &b = l.box[i];
            got += std::string(" ") + b.name + " " + std::to_string(b.x) + "," +
                   std::to_string(b.y) + "," + std::to_string(b.w) + "," + std::to_string(b.h);
            EXPECT_TRUE(b.x >= 0 && b.y >= 0 && b.x + b.w <= W && b.y + b.h <= H)
                << b.name << " leaves the screen: " << line;
            for (int j = 0; j < i; j++)
                EXPECT_TRUE(!meet(l.box[j], b) || holds(l.box[j], b) || holds(b, l.box[j]))
                    << l.box[j].name << " meets " << b.name << ": " << line;
        }
        const size_t arrow = line.find(" ->");
        EXPECT_EQ(arrow == std::string::npos ? "" : line.substr(arrow + 3), got) << line;
    }
}

}  // namespace
