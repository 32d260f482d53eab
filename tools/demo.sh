#!/usr/bin/env bash
# The demo: installs what is missing, builds, makes a short test stream and plays
# it through zyl-mpp-sim on a virtual board with an HDMI monitor and a DSI panel,
# leaving a PNG picture of each display in demo-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zyl-mpp zyl-mpp-sim

out=$PWD/demo-out
rm -rf "$out" && mkdir -p "$out/root"
stream=$out/demo.h264
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=1280x720:rate=30 \
  -frames:v 150 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 30 -f h264 "$stream"

board=sim/boards/two-display.card
if [ ! -f "$board" ]; then
  echo "demo: the virtual display card is not built yet; decoding the stream without a display"
  board=
fi
echo "demo: playing $stream (5 s of 1280x720 at 30 fps) on ${board:-no display}"
ZYL_SIM_CARD=$board ZYL_SIM_ROOT=$out/root ZYL_SIM_PNG_DIR=$out \
  build/zyl-mpp-sim < "$stream" 2> "$out/stderr.txt" || true
cat "$out/stderr.txt"
shopt -s nullglob
pngs=("$out"/*.png)
if [ ${#pngs[@]} -eq 0 ]; then
  echo "demo: no display pictures yet (video on screen comes with the presentation loop)"
else
  echo "demo: what each display showed when the stream ended (its last picture, placed by"
  echo "      ZYL_KMS_ASPECT/ZYL_KMS_FIT; the stream's frame counter is in the top left):"
  printf '  %s\n' "${pngs[@]}"
  echo "  HDMI-A-1.png: the 1920x1080 monitor, 16:9 video filling it"
  echo "  DSI-1.png:    the 800x480 panel, the same picture fitted with black bars"
  echo "demo: try e.g. ZYL_KMS_FIT=cover or ZYL_KMS_ASPECT=4:3 tools/demo.sh"
  echo "      or ZYL_KMS_DEWARP=1 ZYL_KMS_CG_ENABLE=1 ZYL_KMS_CG_SAT=1.3 tools/demo.sh (GPU pass)"
fi
