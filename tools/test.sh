#!/usr/bin/env bash
# Runs every test: installs what is missing, checks what each folder includes and
# that only the configuration reads the environment, builds the Release build (the
# one users and packagers make first), runs the whole suite under ThreadSanitizer,
# runs the fuzz targets for a minute each, builds for arm64 and runs its suite under
# qemu-user, builds and checks the Debian packages, then the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer (its summary comes last). Each
# stage says how long the one before it took.
#
# --busy (or ZYL_TEST_BUSY=1) runs it all beside two processes that keep both cores
# busy, as CI's machine may be: no test's verdict may depend on the machine's speed.
set -euo pipefail
cd "$(dirname "$0")/.."
busy=${ZYL_TEST_BUSY:-0}
for arg in "$@"; do
  case $arg in
    --busy) busy=1 ;;
    *) echo "usage: tools/test.sh [--busy]" >&2; exit 2 ;;
  esac
done
if [ "$busy" = 1 ]; then
  busy_pids=()
  for _ in 1 2; do
    (trap - INT TERM; while :; do :; done) &
    busy_pids+=($!)
  done
  trap 'kill "${busy_pids[@]}" 2>/dev/null || true' EXIT
  echo "== two busy loops run beside every stage (pids ${busy_pids[*]})"
fi
tools/install-deps.sh
jobs=$(nproc)
stage_start=$SECONDS stage_name=
stage() {
  [ -z "$stage_name" ] || echo "== $stage_name took $((SECONDS - stage_start)) s"
  stage_start=$SECONDS stage_name=$1
  echo "== $1"
}

stage "Layout: what each folder includes, who reads the environment"
tools/check-layout.sh

stage "Release: everything builds"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$jobs"

stage "ThreadSanitizer: every test, the whole program included"
cmake -S . -B build-tsan -DZYL_SANITIZE=thread -DZYL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tools/tsan.supp" \
  ctest --test-dir build-tsan -j"$jobs" --output-on-failure

stage "libFuzzer: the reader's unit work"
tools/fuzz.sh

stage "arm64: cross build, every test under qemu-user but the slowest"
# Left out under emulation (tools/cross-build.sh arm64 --test runs them too): the GPU
# pass's picture tests, whose shaders llvmpipe runs emulated for over ten minutes,
# and the SPI copy's video tests, whose counts assume the pass keeps up with 60 fps.
tools/cross-build.sh arm64 --test -E '^(Pass|PassStart)\.|^LiveSpi\.(Video|AReader|Strip|RateLimit)'

stage "Debian packages: build, install into a scratch root, unit check, lintian"
tools/package.sh amd64 build-pkg-amd64
tests/dist_test.sh package build-pkg-amd64

stage "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake -S . -B build-asan -DZYL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$jobs"
echo "== (all stages before this one: $SECONDS s)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The leak checker stops every thread from a tracer of its own at exit; on a busy
# machine that tracer, once in a few thousand runs, crashes by itself ("Tracer caught
# signal") and the program's status is lost with it. Tests whose only failure is that
# crash run once more; any other failure fails the stage.
if ! ctest --test-dir build-asan -j"$jobs" --output-on-failure 2>&1 | tee build-asan/ctest.out; then
  failed=$(grep -c . build-asan/Testing/Temporary/LastTestsFailed.log || true)
  tracer=$(grep -c "LeakSanitizer has encountered a fatal error" build-asan/ctest.out || true)
  [ "$failed" -gt 0 ] && [ "$tracer" -ge "$failed" ] || exit 1
  echo "== $failed test(s) lost to the leak checker's tracer; once more"
  ctest --test-dir build-asan --rerun-failed --output-on-failure
fi
