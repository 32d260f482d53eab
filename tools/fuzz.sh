#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded
# time: SECONDS per target (default 60). Exits non-zero on any crash, failed check,
# sanitizer report, leak, timeout or memory blow-up; the input that caused it is
# left in build-fuzz/fuzz/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
[[ $secs =~ ^[1-9][0-9]*$ ]] || { echo "usage: tools/fuzz.sh [SECONDS]" >&2; exit 2; }
tools/install-deps.sh

echo "== libFuzzer: reader unit walk, deferred HEVC open, .cube and tuning text, status files (connect and osd drawn too), ${secs} s each"
export CC=clang CXX=clang++
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZYL_FUZZ=ON -DZYL_TESTS=OFF -DZYL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target unit_fuzz deferred_fuzz cube_fuzz tuning_fuzz \
  telemetry_fuzz menu_fuzz connect_fuzz osd_fuzz >/dev/null

# Leaks must fail the run whatever the caller's sanitizer options say.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"
failed=0
for name in unit deferred cube tuning telemetry menu connect osd; do
  bin=build-fuzz/tests/fuzz/${name}_fuzz
  work=build-fuzz/fuzz/$name
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
  # New inputs go to the scratch corpus; the committed seeds are only read.
  rc=0
  "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -detect_leaks=1 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "tests/fuzz/corpus_$name" \
    </dev/null >"$work/log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | tail -n1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+)\/([^ ]+).*/cov \1, features \2, corpus \3 inputs (\4)/p' <<<"$done_line")
  if [ "$rc" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|check failed:' "$work/log"; then
    failed=1
    echo "fuzz ${name}_fuzz: FAILED (exit $rc) after ${runs:-?} runs; log $work/log"
    grep -E 'check failed:|ERROR:|runtime error:|SUMMARY:|Test unit written' "$work/log" | head -n 20 || true
  else
    echo "fuzz ${name}_fuzz: ${runs:-?} runs in ${secs} s, ${cov:-no final stats}"
  fi
done
exit "$failed"
