#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Safe to run again: packages already present are left alone and apt is only
# asked when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libavcodec-dev libavutil-dev libswscale-dev ffmpeg libjpeg-turbo-progs
  libdrm-dev libgbm-dev libegl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri
  libfreetype-dev fonts-dejavu-core
  libgtest-dev googletest libpng-dev valgrind
  qrencode zbar-tools  # the connect screen's QR round trip in the tests
  dpkg-dev lintian systemd  # the packages and the service's checks
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
