#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the ordinary Release build (the
# one users and packagers make first), runs the whole suite under ThreadSanitizer,
# runs the fuzz targets for a minute each, then the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer (its summary comes last).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc)

echo "== Release: everything builds"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$jobs"

echo "== ThreadSanitizer: every test, the whole program included"
cmake -S . -B build-tsan -DZYL_SANITIZE=thread -DZYL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j"$jobs"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tools/tsan.supp"
ctest --test-dir build-tsan -j"$jobs" --output-on-failure

echo "== libFuzzer: the reader's unit work"
tools/fuzz.sh

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake -S . -B build-asan -DZYL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-asan -j"$jobs" --output-on-failure
