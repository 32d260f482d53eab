#!/usr/bin/env bash
# Fails when a folder includes a folder it may not: dependencies point down, from
# app/ (which orchestrates) to the subsystems and base/; lower folders reach upward
# only through callbacks or return values.
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
[ $bad = 0 ] && echo "includes: every folder includes only what it may"
exit $bad
