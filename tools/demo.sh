#!/usr/bin/env bash
# The demo: installs what is missing, builds, makes a short test stream and a
# standby picture, writes the status files other processes would write (the connect
# information with its QR code, telemetry for the panel's HUD, a pop-up message), and
# runs zyl-mpp-sim on a virtual board with an HDMI monitor and a DSI panel four
# times: without a stream (the standby screen with the connect screen), with the
# stream, with the stream while the menu file is written, and with a message; then the
# same on a board with the smallest screens, and the menu and message on a 4K monitor
# and on a monitor that draws them beside the video. Leaves PNG pictures of each
# display in demo-out/: standby-*.png, video-*.png, menu-*.png and message-*.png
# (small-*, 4k-* and sidebar-* for the other boards), and of the SPI display's shared
# frame: *-SPI.png.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zyl-mpp zyl-mpp-sim zyl-feeder spi-view

out=$PWD/demo-out
rm -rf "$out" && mkdir -p "$out/root"
stream=$out/demo.h264
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=1280x720:rate=30 \
  -frames:v 150 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 30 -f h264 "$stream"

board=sim/boards/two-display.card
sim() {  # sim NAME STDIN [VAR=value...]: one run; its display pictures become NAME-<display>.png
  local name=$1 input=$2; shift 2
  rm -f "$out/HDMI-A-1.png" "$out/DSI-1.png"
  env ZYL_SIM_CARD=$board ZYL_SIM_ROOT=$out/root ZYL_SIM_PNG_DIR=$out "$@" \
    build/zyl-mpp-sim < "$input" 2> "$out/stderr-$name.txt" || true
  for p in "$out"/HDMI-A-1.png "$out"/DSI-1.png; do
    [ -f "$p" ] && mv "$p" "$out/$name-$(basename "$p")"
  done
  ZYL_SIM_ROOT=$out/root build/spi-view -x -o "$out/$name-SPI.png" >/dev/null || true
}

# The standby picture every display shows while no video arrives.
mkdir -p "$out/root/opt/zyl-fpv" "$out/root/run/zyl-fpv"
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i mandelbrot=size=1280x720:rate=1 \
  -frames:v 1 -update 1 "$out/root/opt/zyl-fpv/standby.png"
# The connect screen: Wi-Fi name, push address and its QR code as module rows.
push=rtmp://192.168.4.1:1935/live/goggles
{ echo "ssid=FPV-Goggles-7F3A"; echo "push=$push"
  rows=$(qrencode -t ASCII -m 0 "$push" | sed 's/  /./g; s/##/#/g')
  echo "qr=$(wc -l <<<"$rows")"; echo "$rows"; } > "$out/root/run/zyl-fpv/connect"
# The flight values the panel's HUD shows, and the board's uptime and temperature.
printf 'gog=82\ndrn=14\nsig=4\nsat=11\nrec=1\nrecs=754\nvpn=1\nnet=FieldLink\nyaw=184\nalt=42.5\nspd=11.2\nvs=-0.8\npit=-3\nrol=2\n' \
  > "$out/root/run/zyl-fpv/telemetry"
mkdir -p "$out/root/proc" "$out/root/sys/class/thermal/thermal_zone0"
echo "273900.12 100.00" > "$out/root/proc/uptime"
echo 52300 > "$out/root/sys/class/thermal/thermal_zone0/temp"
export ZYL_KMS_TELEMETRY_DSI=1
# A 320x240 SPI display beside them: the shared frame with its status strip.
export ZYL_KMS_SPI_TEE=${ZYL_KMS_SPI_TEE-320x240}
# Three runs on one board: the standby screen before any stream, the stream with a
# warning pop-up on the panel, the stream with the menu opened 2 s in. PREFIX names
# their pictures.
three_runs() {
  local prefix=$1
  rm -f "$out/root/run/zyl-fpv/menu" "$out/root/run/zyl-fpv/osd"
  echo "demo: standby screen before any stream ($board)"
  sim "${prefix}standby" /dev/null

  echo "demo: playing $stream (5 s of 1280x720 at 30 fps) on $board, a warning pop-up on the panel"
  printf 'warn\nAircraft battery low: 14%%, land soon\n' > "$out/root/run/zyl-fpv/osd"
  sim "${prefix}video" "$stream"
  rm -f "$out/root/run/zyl-fpv/osd"
  cat "$out/stderr-${prefix}video.txt"

  overlay_runs "$prefix"
}
# The stream with the menu opened 2 s in, then with a message instead. The menu file
# is written while the stream plays, at the live rate of the feeder.
overlay_runs() {  # overlay_runs PREFIX [VAR=value...]
  local prefix=$1 menu=$out/root/run/zyl-fpv/menu; shift
  echo "demo: the same stream with the menu opened 2 s in ($board)"
  ( sleep 2; printf 'open\n1\n1\n2\nDisplay\nResolution: 1920x1080\nRefresh: 60 Hz\nAspect: keep\nFit: fit\nFlip: none\nBrightness: 0\n' \
      > "$menu.tmp" && mv "$menu.tmp" "$menu" ) &
  sim "${prefix}menu" <(build/zyl-feeder -r 30 "$stream") "$@"
  wait
  echo "demo: the same stream with a message 2 s in ($board)"
  rm -f "$menu"
  ( sleep 2; printf 'message\nVideo signal lost - waiting for the stream\n' > "$menu.tmp" &&
      mv "$menu.tmp" "$menu" ) &
  sim "${prefix}message" <(build/zyl-feeder -r 30 "$stream") "$@"
  wait
  rm -f "$menu"
}
three_runs ""
# The same on the smallest screens: a 480x320 HDMI screen and a 320x240 panel.
board=sim/boards/small-panels.card
three_runs small-
# A 4K monitor beside a 1080p one, and a monitor whose menu shares the primary plane
# with the video: without a GPU pass to draw it over the video, it is drawn in a
# column the narrowed video leaves free.
board=sim/boards/rk3588-vop2.card
overlay_runs 4k-
board=sim/boards/rk-vop-sidebar.card
overlay_runs sidebar- ZYL_SIM_GPU_FAIL=context
echo "demo: what each display showed (the stream's frame counter is in the top left):"
echo "  standby-*.png: the standby picture, letterboxed, with the connect screen (QR code, Wi-Fi, push address)"
echo "  video-*.png:   the last picture when the stream ended, placed by ZYL_KMS_ASPECT/ZYL_KMS_FIT;"
echo "                 on the panel the HUD from demo-out/root/run/zyl-fpv/telemetry and a pop-up"
echo "  menu-*.png:    the menu on the overlay plane over the playing video"
echo "  *-SPI.png:     the SPI display's frame (spi-view), status strip on top"
echo "  message-*.png: a message over the stream"
echo "  small-*.png:   the same on a 480x320 HDMI screen and a 320x240 panel"
echo "  4k-*.png:      the menu and a message on a 3840x2160 monitor (HDMI-A-1) beside a 1080p one"
echo "  sidebar-*.png: the same on a monitor without an overlay plane: in a column beside the video"
ls "$out"/*.png | sed 's/^/  /'
echo "demo: try e.g. ZYL_KMS_FIT=cover or ZYL_KMS_ASPECT=4:3 tools/demo.sh"
echo "      or ZYL_KMS_DEWARP=1 ZYL_KMS_CG_ENABLE=1 ZYL_KMS_CG_SAT=1.3 tools/demo.sh (GPU pass)"
