#!/usr/bin/env bash
# Fails when a folder includes a folder it may not (dependencies point down, from
# app/, which orchestrates, to the subsystems and base/; lower folders reach upward
# only through callbacks or return values), or when anything but the configuration
# reader and the virtual board reads the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A may=(
  [base]="base"
  [decode]="base decode"
  [kms]="base kms"
  [gpu]="base kms gpu"
  [standby]="base kms overlay standby"
  [overlay]="base kms standby overlay"
  [spitee]="base kms gpu overlay spitee"
  [sim]="sim"
)
bad=0
for dir in "${!may[@]}"; do
  for f in "$dir"/*.h "$dir"/*.cpp; do
    [ -e "$f" ] || continue
    while IFS=: read -r line inc; do
      top=${inc%%/*}
      [[ " ${may[$dir]} " == *" $top "* ]] && continue
      echo "$f:$line: includes $inc (a $dir/ file may include: ${may[$dir]})"
      bad=1
    done < <(grep -n '^#include "[a-z_]*/' "$f" | sed 's/^\([0-9]*\):#include "\([^"]*\)".*/\1:\2/')
  done
done
for f in $(grep -l 'getenv *(' base/* app/* decode/* kms/* gpu/* overlay/* standby/* spitee/* 2>/dev/null); do
  [ "$f" = app/config.cpp ] && continue
  grep -n 'getenv *(' "$f" | sed "s|^|$f:|; s|\$| (only app/config.cpp reads the environment)|"
  bad=1
done
[ $bad = 0 ] && echo "layout: every folder includes only what it may; only app/config.cpp reads the environment"
exit $bad
