#!/usr/bin/env bash
# Builds both programs, the feeder, the tests and the benchmarks for an ARM board
# in build-ARCH/ with Debian's cross toolchain and the multiarch -dev packages
# (cmake/<triplet>.cmake), installing whatever is missing first.
#   tools/cross-build.sh arm64|armhf [--deps | --test [CTEST ARGS...]]
# --test then runs the test suite under qemu-user (arm64 and armhf alike); --deps
# only installs.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
case $arch in
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *) echo "usage: tools/cross-build.sh arm64|armhf [--deps | --test [CTEST ARGS...]]" >&2; exit 2 ;;
esac
shift
run_tests=0 deps_only=0
case ${1:-} in
  --test) run_tests=1; shift ;;
  --deps) deps_only=1; shift ;;
esac

tools/install-deps.sh  # the build machine's side: cmake, ffmpeg for the test streams
target_packages=(
  libavcodec-dev libavutil-dev libswscale-dev libdrm-dev libgbm-dev libegl-dev libgles-dev
  libfreetype-dev libgtest-dev
  # the virtual board draws with Mesa's llvmpipe of the target
  libegl-mesa0 libgl1-mesa-dri
)
wanted=(crossbuild-essential-"$arch" qemu-user "${target_packages[@]/%/:$arch}")
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx "$arch" || "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
  "${sudo_cmd[@]}" apt-get update -q
  # --no-remove: a multiarch library whose version differs from the build
  # machine's must fail here, not replace the machine's own packages.
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends --no-remove "${missing[@]}" </dev/null
fi
[ "$deps_only" = 0 ] || exit 0

build=build-$arch
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$triplet.cmake" \
  -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ "$run_tests" = 1 ]; then
  ctest --test-dir "$build" -j"$(nproc)" --output-on-failure "$@"
fi
