#!/usr/bin/env bash
# What the board gets besides the program: the settings file and the command line,
# the service's launcher playing the supervisor's part, and the Debian packages.
#   dist_test.sh settings SIM_BIN [EMULATOR...]
#   dist_test.sh supervisor WORK_DIR STREAMS_DIR SIM_BIN FEEDER_BIN [EMULATOR...]
#   dist_test.sh package PACKAGE_DIR          (after tools/package.sh amd64 PACKAGE_DIR)
# Prints "N passed, N failed" and fails when a check failed.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
passed=0 failed=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}
has() { grep -qF -- "$2" "$1"; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

settings_case() {
  local sim=$1; shift
  local emu=("$@") dir
  dir=$(mktemp -d)
  # Every variable the receiver reads is in the settings file, and nothing else.
  grep -rhoE 'getenv\("ZYL_[A-Z0-9_]+"\)|"ZYL_(KMS_[A-Z0-9_]+|SMOOTH)"' "$src"/{app,decode,kms,gpu,overlay,standby,spitee} |
    grep -oE 'ZYL_[A-Z0-9_]+' | sort -u >"$dir/read"
  grep -oE '^#ZYL_(KMS_[A-Z0-9_]+|SMOOTH)=' "$src/dist/zyl-mpp.default" | tr -d '#=' | sort -u >"$dir/listed"
  check "settings the receiver reads but the settings file lacks, or the reverse: $(comm -3 "$dir/read" "$dir/listed" | tr -d '\t' | xargs)" \
    cmp -s "$dir/read" "$dir/listed"
  # The file only comments: installed as it is, it changes nothing.
  check "uncommented line in the settings file" \
    bash -c '! grep -vE "^(#.*)?$" "$1"' _ "$src/dist/zyl-mpp.default"

  "${emu[@]}" "$sim" --help >"$dir/help" 2>"$dir/help.err"
  check "--help exits 0" [ $? -eq 0 ]
  check "--help shows the usage, the exit statuses and every setting" \
    bash -c 'grep -q "^usage: zyl-mpp" "$1" && grep -q "^  3  the decoder is dead" "$1" &&
             while read -r v; do grep -q "^#$v=" "$1" || exit 1; done <"$2"' _ "$dir/help" "$dir/listed"
  # The manual page's settings and exit statuses are those of --help, both ways.
  grep -oE '^#ZYL_[A-Z0-9_]+=' "$dir/help" | tr -d '#' | sort -u >"$dir/help-vars"
  grep -oE '^\.B ZYL_[A-Z0-9_]+=' "$src/dist/zyl-mpp.1" | cut -c4- | sort -u >"$dir/man-vars"
  check "settings of --help missing from zyl-mpp.1, or the reverse: $(comm -3 "$dir/help-vars" "$dir/man-vars" | tr -d '\t' | xargs)" \
    cmp -s "$dir/help-vars" "$dir/man-vars"
  sed -n '/^Exit statuses:/,/^$/p' "$dir/help" | grep -oE '^  [0-9]+(, [0-9]+)*' | tr -s ', ' '\n\n' |
    grep . >"$dir/help-statuses"
  check "exit statuses of --help missing from zyl-mpp.1" \
    bash -c '[ -s "$1" ] && while read -r s; do
               sed -n "/^\.SH EXIT STATUS/,/^\.SH [^E]/p" "$2" | grep -qE "^\.BR? (.* )?\"?$s\"?( |$)" || exit 1
             done <"$1"' _ "$dir/help-statuses" "$src/dist/zyl-mpp.1"
  # The tools beside it: --help on stdout, and every option of it in their pages.
  local tool
  for tool in zyl-feeder spi-view; do
    "${emu[@]}" "$(dirname "$sim")/$tool" --help >"$dir/$tool.help" 2>"$dir/$tool.err"
    check "$tool --help exits 0 with the usage on stdout only" \
      bash -c '[ $2 -eq 0 ] && [ ! -s "$1.err" ] && grep -q "^usage: $3 " "$1.help"' _ "$dir/$tool" $? "$tool"
    check "$tool.1 has every option of its --help" \
      bash -c 'for o in $(grep -oE "^  -[a-zA-Z]" "$1" | tr -d " -"); do
                 grep -qE "^\.B[IR]? \\\\-$o( |$)" "$2" || exit 1; done' _ "$dir/$tool.help" "$src/dist/$tool.1"
  done
  grep -rhoE '"ZYL_SIM_[A-Z0-9_]+' "$src/sim" | tr -d '"' | sort -u >"$dir/sim-vars"
  check "zyl-mpp-sim.1 has every ZYL_SIM_ variable" \
    bash -c 'while read -r v; do grep -qE "^\.BI? $v=" "$2" || exit 1; done <"$1"' _ "$dir/sim-vars" "$src/dist/zyl-mpp-sim.1"
  "${emu[@]}" "$sim" --version >"$dir/version"
  check "--version" grep -qE '^zyl-mpp [0-9]+\.[0-9]+\.[0-9]+$' "$dir/version"
  "${emu[@]}" "$sim" --frobnicate >"$dir/out" 2>"$dir/err"
  check "an unknown option exits 2" [ $? -eq 2 ]
  check "an unknown option prints the usage on stderr only" \
    bash -c '[ ! -s "$1" ] && grep -q "^zyl-mpp: unknown option --frobnicate" "$2" &&
             grep -q "^usage: zyl-mpp" "$2"' _ "$dir/out" "$dir/err"
  "${emu[@]}" "$sim" --caps >"$dir/caps" 2>&1
  check "--caps unchanged" [ "$(cat "$dir/caps")" = "caps gles=1 encode=0" ]
  rm -rf "$dir"
}

# ---- the supervisor's part ----
# One start of the service: the launcher with the settings file loaded the way
# systemd loads it, the board and the faults of this start on top. Every process
# of the service has this run's ZYL_SIM_ROOT in its environment, which stands in
# for the service's control group.
launch() {  # launch NAME [VAR=value...]
  local name=$1; shift
  (
    set -a
    . "$work/default"
    set +a
    export ZYL_SIM_ROOT=$work/root ZYL_SIM_CARD_LOG=$work/$name.card ZYL_SMOOTH=0
    export "$@"
    exec "$src/dist/zyl-mpp-run" "$work/state" "${emu[@]}" "$sim"
  ) </dev/null >"$work/$name.out" 2>"$work/$name.err"
}

service_pids() {
  local p
  for p in /proc/[0-9]*; do
    grep -qzx "ZYL_SIM_ROOT=$work/root" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
  done
}

start() {  # start NAME [VAR=value...]; sets status and log
  launch "$@"
  status=$? log=$work/$1.err
  check "$1: nothing of the service is left" [ -z "$(service_pids)" ]
}

# Starts the service, waits (bounded) until it shows video, then stops it the way
# systemctl stop does: SIGTERM to every process of the service.
start_and_stop() {  # start_and_stop NAME [VAR=value...]
  local name=$1 i
  launch "$@" &
  local pid=$!
  for ((i = 0; i < 1200; i++)); do
    grep -q '^present ' "$work/$name.card" 2>/dev/null && break
    sleep 0.25
  done
  check "$name: video shown" grep -q '^present ' "$work/$name.card"
  kill -TERM $(service_pids) 2>/dev/null
  { wait "$pid"; } 2>/dev/null
  status=$?
  check "$name: the stop ends the service by SIGTERM, as systemd expects (got $status)" \
    [ "$status" -eq 143 ]
  check "$name: nothing of the service is left" [ -z "$(service_pids)" ]
}

board() { echo "ZYL_SIM_CARD=$src/sim/boards/$1.card"; }

supervisor_case() {
  work=$1 streams=$2 sim=$3 feeder=$4
  shift 4
  emu=("$@")
  rm -rf "$work"
  mkdir -p "$work/root/run/zyl-fpv"
  # The administrator's choice: a link command that plays for a long time.
  { cat "$src/dist/zyl-mpp.default"
    echo "ZYL_MPP_SOURCE=\"${emu[*]} $feeder -q -r 30 -l 200 -a each $streams/h264_nosei.h264\""
    echo "ZYL_KMS_DEAD_MS=1000"
  } >"$work/default"

  # A decoder that cannot be found: 1, and each failed start in a row waits longer.
  start nodecoder1 ZYL_KMS_DECODER=nosuch "$(board two-display)"
  check "missing decoder exits 1 (got $status)" [ "$status" -eq 1 ]
  check "first failed start waits 2 s" has "$log" "failed start 1 in a row — next start in 2 s"
  start nodecoder2 ZYL_KMS_DECODER=nosuch "$(board two-display)"
  check "second failed start waits 4 s" has "$log" "failed start 2 in a row — next start in 4 s"

  # The monitor is exchanged while the video plays: 0, at once.
  start swap "$(board hdmi-swap)"
  check "monitor swap exits 0 (got $status)" [ "$status" -eq 0 ]
  check "monitor swap says why" has "$log" "display changed (1920x1080@60 → 1280x720@60"
  check "a clean exit ends the failure count" [ ! -e "$work/state/failed-starts" ]
  check "no back-off after a monitor swap" bash -c '! grep -q "next start" "$1"' _ "$log"

  # The decoder dies: 3.
  start dead "$(board two-display)" ZYL_SIM_DEC_STALL_AFTER=20 ZYL_SIM_DEC_STALL_REPEAT=1 \
    ZYL_KMS_DEAD_EXIT=1
  check "dead decoder exits 3 (got $status)" [ "$status" -eq 3 ]
  check "dead decoder says why" has "$log" "— exiting for respawn"
  check "no back-off after a dead decoder" bash -c '! grep -q "next start" "$1"' _ "$log"

  # Started again on the same source, the video is back.
  start_and_stop again "$(board two-display)"

  # A FIFO that the link process writes: made by the launcher, read from the start.
  sed -i '/^ZYL_MPP_SOURCE=/d' "$work/default"
  echo "ZYL_MPP_FIFO=$work/video.fifo" >>"$work/default"
  (
    for ((i = 0; i < 1200; i++)); do [ -p "$work/video.fifo" ] && break; sleep 0.25; done
    exec "${emu[@]}" "$feeder" -q -r 30 -l 200 "$streams/h264_nosei.h264" >"$work/video.fifo"
  ) 2>/dev/null &
  local writer=$!
  start_and_stop fifo "$(board two-display)"
  check "the launcher made the FIFO" [ -p "$work/video.fifo" ]
  # The link process sees the receiver go away.
  { wait "$writer"; } 2>/dev/null
  check "the writer was told the reader went away" [ $? -eq 2 ]
  rm -rf "$work"
}

package_case() {
  local dir=$1 root deb tools_deb
  deb=$(ls "$dir"/zyl-mpp_*_amd64.deb) tools_deb=$(ls "$dir"/zyl-mpp-tools_*_amd64.deb) || return
  root=$(mktemp -d)
  dpkg -x "$deb" "$root"
  dpkg -x "$tools_deb" "$root"
  local control
  control=$(dpkg-deb -f "$deb")
  check "Depends from the shared libraries" \
    grep -qE '^Depends: .*libavcodec[0-9]+ .*libdrm2 .*libgbm1' <<<"$control"
  check "the settings file is a conffile" \
    grep -qx /etc/default/zyl-mpp <(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
  check "nothing under /run" bash -c '! { dpkg-deb -c "$1" && dpkg-deb -c "$2"; } | grep -q " \./run/"' \
    _ "$deb" "$tools_deb"
  for f in usr/bin/zyl-mpp usr/libexec/zyl-mpp/zyl-mpp-run etc/default/zyl-mpp \
    usr/share/doc/zyl-mpp/copyright usr/share/doc/zyl-mpp/README.md.gz \
    usr/bin/zyl-mpp-sim usr/bin/zyl-feeder usr/share/doc/zyl-mpp-tools/copyright \
    usr/share/man/man1/zyl-mpp.1.gz usr/share/man/man1/zyl-mpp-sim.1.gz \
    usr/share/man/man1/zyl-feeder.1.gz usr/share/man/man1/spi-view.1.gz; do
    check "$f installed" [ -e "$root/$f" ]
  done
  check "the settings file as shipped" cmp -s "$root/etc/default/zyl-mpp" "$src/dist/zyl-mpp.default"
  check "installed zyl-mpp --caps" [ "$("$root/usr/bin/zyl-mpp" --caps)" = "caps gles=1 encode=0" ]
  check "installed zyl-mpp-sim --version" grep -q '^zyl-mpp ' <("$root/usr/bin/zyl-mpp-sim" --version)

  # The unit, against the installed files and the system's own targets.
  mkdir -p "$root/lib/systemd/system"
  cp -n /lib/systemd/system/*.target "$root/lib/systemd/system/"
  systemd-analyze verify --root="$root" /lib/systemd/system/zyl-mpp.service >"$root/verify" 2>&1
  check "systemd-analyze verify: $(cat "$root/verify")" [ $? -eq 0 ] && [ ! -s "$root/verify" ]

  lintian --tag-display-limit 0 "$deb" "$tools_deb" >"$root/lintian" 2>&1
  cat "$root/lintian"
  check "lintian reports no errors" bash -c '! grep -q "^E: " "$1"' _ "$root/lintian"
  check "lintian finds a manual page for every program" \
    bash -c '! grep -q "no-manual-page" "$1"' _ "$root/lintian"
  rm -rf "$root"
}

case ${1:-} in
  settings) shift; settings_case "$@" ;;
  supervisor) shift; supervisor_case "$@" ;;
  package) shift; package_case "$@" ;;
  *) echo "usage: dist_test.sh settings|supervisor|package ARGS..." >&2; exit 2 ;;
esac
finish
