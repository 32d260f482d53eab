#!/usr/bin/env bash
# Builds the Debian packages for ARCH (default: this machine's) in OUTDIR (default
# build-pkg-ARCH/): zyl-mpp_<version>_<arch>.deb with the receiver, its service and
# settings file, and zyl-mpp-tools_<version>_<arch>.deb with the sim program, the
# feeder, spi-view when it exists, and the sim's board files. Dependencies come from
# the shared libraries the programs link (dpkg-shlibdeps).
#   tools/package.sh [amd64|arm64|armhf] [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
host_arch=$(dpkg --print-architecture)
arch=${1:-$host_arch}
out=$(realpath -m "${2:-build-pkg-$arch}")
toolchain=()
case $arch in
  "$host_arch") tools/install-deps.sh ;;
  arm64) tools/cross-build.sh arm64 --deps; toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake") ;;
  armhf) tools/cross-build.sh armhf --deps; toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/arm-linux-gnueabihf.cmake") ;;
  *) echo "usage: tools/package.sh [amd64|arm64|armhf] [OUTDIR]" >&2; exit 2 ;;
esac
for tool in dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool missing (dpkg-dev)" >&2; exit 1; }
done
export DEB_HOST_ARCH=$arch
build=$out/build
eval "$(dpkg-architecture -a"$arch" -s 2>/dev/null)"
# Debian's hardening and optimisation flags, as a package build would use them
# (through the environment, so that the toolchain file's own flags stay).
cppflags=$(dpkg-buildflags --get CPPFLAGS)
CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
  LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
  cmake -S . -B "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=None -DZYL_TESTS=OFF -DZYL_BENCH=OFF >/dev/null
tools_bins=(zyl-mpp-sim zyl-feeder)
grep -q '^spi-view:' <(cmake --build "$build" --target help | sed 's/^\.\.\. //;s/ .*//;s/$/:/') &&
  tools_bins+=(spi-view)
cmake --build "$build" -j"$(nproc)" --target zyl-mpp "${tools_bins[@]}"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")

maintainer="zyl-mpp developers <maintainers@zyl-mpp.example.org>"
# Times in the packages are the commit's, so the same commit gives the same files.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)

stage=$out/stage
rm -rf "$stage"
mkdir -p "$out"

# Documentation every package carries: copyright and a (native) changelog.
add_doc() {  # add_doc ROOT PACKAGE
  local doc=$1/usr/share/doc/$2
  install -d "$doc"
  install -m 0644 dist/copyright "$doc/copyright"
  {
    echo "$2 ($version) unstable; urgency=medium"
    echo
    echo "  * Built from commit $commit."
    echo
    echo " -- $maintainer  $(date -R -u -d "@$SOURCE_DATE_EPOCH")"
  } | gzip -9n >"$doc/changelog.gz"
}

# Each program with its manual page from dist/.
add_bin() {  # add_bin ROOT PROGRAM
  install -D -m 0755 "$build/$2" "$1/usr/bin/$2"
  "$strip" --strip-unneeded --remove-section=.comment --remove-section=.note "$1/usr/bin/$2"
  install -d "$1/usr/share/man/man1"
  gzip -9n <"dist/$2.1" >"$1/usr/share/man/man1/$2.1.gz"
  chmod 0644 "$1/usr/share/man/man1/$2.1.gz"
}

# make_deb ROOT PACKAGE "SUMMARY" "DESCRIPTION" [EXTRA DEPENDS]
make_deb() {
  local root=$1 pkg=$2 summary=$3 description=$4 extra=${5:-}
  local work=$out/shlibs-$pkg
  mkdir -p "$work/debian" "$root/DEBIAN"
  # dpkg-shlibdeps reads the source package's control file.
  printf 'Source: zyl-mpp\n\nPackage: %s\nArchitecture: any\n' "$pkg" >"$work/debian/control"
  local bins=()
  for f in "$root"/usr/bin/*; do bins+=("$(realpath "$f")"); done
  local depends
  depends=$(cd "$work" && dpkg-shlibdeps -O "${bins[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
  [ -z "$extra" ] || depends="$depends, $extra"
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0 md5sum >DEBIAN/md5sums)
  {
    echo "Package: $pkg"
    echo "Version: $version"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)"
    echo "Depends: $depends"
    echo "Section: video"
    echo "Priority: optional"
    echo "Description: $summary"
    sed 's/^$/./; s/^/ /' <<<"$description"
  } >"$root/DEBIAN/control"
  find "$root" -type d -exec chmod 0755 {} +
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${pkg}_${version}_${arch}.deb" >/dev/null
  echo "$out/${pkg}_${version}_${arch}.deb"
}

r=$stage/zyl-mpp
add_bin "$r" zyl-mpp
install -D -m 0755 dist/zyl-mpp-run "$r/usr/libexec/zyl-mpp/zyl-mpp-run"
install -D -m 0644 dist/zyl-mpp.service "$r/lib/systemd/system/zyl-mpp.service"
install -D -m 0644 dist/zyl-mpp.default "$r/etc/default/zyl-mpp"
add_doc "$r" zyl-mpp
gzip -9n <README.md >"$r/usr/share/doc/zyl-mpp/README.md.gz"
mkdir -p "$r/DEBIAN"
echo /etc/default/zyl-mpp >"$r/DEBIAN/conffiles"
make_deb "$r" zyl-mpp "low-latency FPV video receiver on KMS displays" \
  "Reads a live H.264 or H.265 Annex-B stream on standard input, decodes it
in hardware through libavcodec and shows it on one to four displays through
DRM/KMS planes without copying, with software overlays and an optional
OpenGL ES correction pass.

The zyl-mpp service runs it on a configured stream source
(/etc/default/zyl-mpp) and starts it again after every exit."

r=$stage/zyl-mpp-tools
for b in "${tools_bins[@]}"; do add_bin "$r" "$b"; done
install -d "$r/usr/share/zyl-mpp-tools/boards"
install -m 0644 sim/boards/*.card "$r/usr/share/zyl-mpp-tools/boards/"
add_doc "$r" zyl-mpp-tools
gzip -9n <sim/README.md >"$r/usr/share/doc/zyl-mpp-tools/README.sim.md.gz"
# The sim program draws through Mesa's llvmpipe, which EGL loads at run time.
make_deb "$r" zyl-mpp-tools "test bed of the zyl-mpp FPV video receiver" \
  "zyl-mpp-sim is the receiver built against a virtual board: a virtual
display card answering the libdrm calls and a virtual memory-to-memory
decoder, drawing its GPU pass with Mesa's llvmpipe. zyl-feeder plays stream
files into a pipe the way a radio link delivers them. Board files are in
/usr/share/zyl-mpp-tools/boards." \
  "libegl-mesa0, libgl1-mesa-dri"
