#!/usr/bin/env bash
# Runs every test: installs what is missing, builds under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the whole suite, and runs the threaded parts
# (mailbox, reader) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc)

echo "== ThreadSanitizer: mailbox and reader"
cmake -S . -B build-tsan -DZYL_SANITIZE=thread -DZYL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j"$jobs" --target mailbox_test reader_test
tools/make-streams.sh build-tsan/streams
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tools/tsan.supp"
build-tsan/tests/mailbox_test --gtest_brief=1
build-tsan/tests/reader_test --gtest_brief=1

tools/fuzz.sh

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake -S . -B build-asan -DZYL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-asan -j"$jobs" --output-on-failure
