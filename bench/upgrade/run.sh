#!/usr/bin/env bash
# Whole-program benchmarks of the update workflow, on loopback with the real
# update service and the real sample launcher:
#
#   bench/upgrade/run.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR is a release build with gamelauncher, tools/update-service,
# tools/mkpackage and tools/sample-launcher (default build/release); RUNS per
# case (default 3; medians are reported). CASES picks the cases (default
# "uptodate update"):
#
# uptodate  The installed launcher is current and FILECMP is on (the default):
#           a 200-file launcher of 100 MiB. Time from the bootstrapper's
#           process start to its launcher's start, against the floor (the
#           bar's animation, about 1.18 s, plus two service round trips), with
#           the run's own breakdown from its log, and the installed-file check
#           against `md5sum` over the same 200 files.
# update    Nothing installed; the service offers a 64 MiB package. Time from
#           process start to the launcher's start, against the sum of its parts
#           measured alone in the same run: `curl` download of the package +
#           `md5sum` of it + `unzip -o -q` of it + `md5sum` of every unpacked
#           file.
# over      A 64 MiB launcher installed and intact; the service offers another
#           version of it whose every file differs. The parts alone: `md5sum`
#           of the installed files (the check) + the four parts of "update",
#           with `unzip -o -q` writing over an installed copy.
# signed    The "update" case's package, signed (mkpackage --sign KEY), run in
#           turns by the program of BUILD_DIR (no key: the statement is not
#           fetched) and by SIGNED_BUILD's program, which has KEY's public key
#           built in (it fetches the statement, and hashes the package with
#           SHA-256 besides its MD5). Defaults: the demo's signed build and
#           key (build/demo-release-signed, build/demo-update.key; scripts/demo
#           makes both). Goal: the signed run at most 5 % slower.
#
# BEFORE=DIR names another release build (the tree before a change): its
# gamelauncher then runs in the "uptodate" case too, alternating run by run
# with BUILD_DIR's in the same game folder setting, so that both meet the same
# load; its figures are printed beside.
#
# Everything runs in a private HOME/XDG under a temporary folder; the service
# binds a free loopback port; every wait has a time-out and the service and
# any launcher are stopped however the script ends. Files are in the page
# cache (warm) for every tool alike.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build/release}
RUNS=${2:-3}
CASES=${CASES:-uptodate update}
# Sizes in MiB (smaller ones only to try the script out).
UPTODATE_MIB=${UPTODATE_MIB:-100}
UPDATE_MIB=${UPDATE_MIB:-64}
GL=$BUILD/gamelauncher
SVC=$BUILD/tools/update-service/update-service
MK=$BUILD/tools/mkpackage/mkpackage
SL=$BUILD/tools/sample-launcher/sample-launcher
for p in "$GL" "$SVC" "$MK" "$SL"; do
  [[ -x $p ]] || { echo "missing $p (build gamelauncher update-service mkpackage sample-launcher)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/gl-upbench-XXXXXX)
SERVICE_PID=
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/config XDG_DATA_HOME=$WORK/data XDG_RUNTIME_DIR=$WORK/run
unset SAMPLE_LAUNCHER_OPTIONS
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$WORK/packages" "$WORK/game"
chmod 700 "$XDG_RUNTIME_DIR"
INSTALL=$XDG_DATA_HOME/Keltora/morvel3
LOGDIR=$XDG_CONFIG_HOME/Keltora/morvel3/GameLauncher

last_launcher_pid() { [[ -f $INSTALL/client/launcher.args ]] && sed -n 's/^start pid=\([0-9]*\).*/\1/p' "$INSTALL/client/launcher.args" | tail -n 1; }
stop_launcher() {
  local pid
  pid=$(last_launcher_pid || true)
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.025; done
  kill -KILL "$pid" 2>/dev/null || true
}
stop_service() {
  [[ -n $SERVICE_PID ]] || return 0
  kill "$SERVICE_PID" 2>/dev/null || true
  wait "$SERVICE_PID" 2>/dev/null || true
  SERVICE_PID=
}
cleanup() { stop_launcher || true; stop_service; rm -rf "$WORK"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ns() { date +%s%N; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.0f\n", (b - a) / 1e6}'; }
median() { sort -n | awk '{a[NR]=$1} END {if (NR) print a[int((NR+1)/2)]; else print "-"}'; }
# Wall time of a command in ms.
time_ms() { local t0; t0=$(now_ns); "$@" >/dev/null; ms_between "$t0" "$(now_ns)"; }

# start_service PACKAGE VERSION MD5: the service answers that package; BASE
# is its URL. The MD5 is given: left to itself the reference service digests
# the package at every check (100 MiB: 0.3 s per check), which a production
# service answers from a stored value.
start_service() {
  stop_service
  rm -f "$WORK/url.txt"
  "$SVC" --files "$WORK/packages" --package "$1" --version "$2" --md5 "$3" --events "$WORK/events.jsonl" --quiet \
    --url-file "$WORK/url.txt" >/dev/null 2>"$WORK/service.log" &
  SERVICE_PID=$!
  for _ in $(seq 200); do [[ -s $WORK/url.txt ]] && break; sleep 0.025; done
  BASE=$(cat "$WORK/url.txt" 2>/dev/null || true)
  [[ $BASE == http://127.0.0.1:*/ ]] || { cat "$WORK/service.log" >&2; echo "update service did not start" >&2; exit 1; }
  printf '[UPGRADE]\r\nSERVER_UPGRADE_0=%s\r\n' "$BASE" >"$WORK/game/launcher.ini"
  [[ -z ${BEFORE:-} ]] || cp "$WORK/game/launcher.ini" "$WORK/game-before/launcher.ini"
}

cp "$GL" "$WORK/game/gamelauncher"
printf '{"version":"1.0.0.15"}\r\n' >"$WORK/game/gamelauncher.db"
if [[ -n ${BEFORE:-} ]]; then
  [[ -x $BEFORE/gamelauncher ]] || { echo "missing $BEFORE/gamelauncher" >&2; exit 2; }
  mkdir -p "$WORK/game-before"
  cp "$BEFORE/gamelauncher" "$WORK/game-before/gamelauncher"
  cp "$WORK/game/gamelauncher.db" "$WORK/game-before/"
fi

# make_launcher DIR FILES TOTAL_BYTES: the sample launcher plus FILES-1 data
# files of random bytes, TOTAL_BYTES in all.
make_launcher() {
  local dir=$1 files=$2 total=$3 exe_size each i
  rm -rf "$dir"
  mkdir -p "$dir/client/data"
  cp "$SL" "$dir/client/launcher.exe"
  exe_size=$(stat -c %s "$SL")
  each=$(((total - exe_size) / (files - 1)))
  for ((i = 0; i < files - 1; i++)); do
    head -c "$each" /dev/urandom >"$dir/client/data/f$(printf %03d "$i").bin"
  done
}

log_text() { cat "$LOGDIR"/log_glauncher_*.log 2>/dev/null || true; }
starts() { if [[ -f $INSTALL/client/launcher.log ]]; then grep -c '^start pid=' "$INSTALL/client/launcher.log" || true; else echo 0; fi; }

# run_once: one bootstrapper run up to its launcher's start. Sets TOTAL_MS
# (process start to launcher start) and RUNLOG (this run's log lines).
run_once() {
  local lines_before starts_before t0 code started
  lines_before=$(log_text | wc -l)
  starts_before=$(starts)
  t0=$(now_ns)
  set +e
  (cd "${GAME_DIR:-$WORK/game}" && timeout -k 5 120 ./gamelauncher >/dev/null 2>&1)
  code=$?
  set -e
  [[ $code -eq 0 ]] || { echo "gamelauncher exit code $code" >&2; log_text | tail -n 30 >&2; exit 1; }
  for _ in $(seq 400); do (($(starts) > starts_before)) && break; sleep 0.025; done
  (($(starts) > starts_before)) || { echo "the launcher did not start" >&2; log_text | tail -n 30 >&2; exit 1; }
  started=$(grep '^start pid=' "$INSTALL/client/launcher.log" | tail -n 1 | sed 's/.* time=\([0-9]*\)\.\([0-9]*\)/\1\2/')
  TOTAL_MS=$(ms_between "$t0" "$started")
  RUNLOG=$(log_text | tail -n +"$((lines_before + 1))")
  T0_NS=$t0
  stop_launcher
}

# log_ms PATTERN: this run's first log line matching PATTERN, as ms after the
# process start (the log's clock is local time with ms).
log_ms() {
  local line
  line=$(grep -m 1 -- "$1" <<<"$RUNLOG" || true)
  [[ -n $line ]] || { echo "-"; return; }
  local stamp=${line%% *}  # 2026-12-10_12:07:40:240
  local day=${stamp%%_*} tod=${stamp#*_}
  local secs ms
  secs=$(date -d "$day ${tod%:*}" +%s)
  ms=${tod##*:}
  awk -v s="$secs" -v m="$ms" -v t0="$T0_NS" 'BEGIN{printf "%.0f", s * 1000 + m - t0 / 1e6}'
}

# The runs' totals against the sums of the tools' parts, from $WORK/totals
# and $WORK/sums; $1 names the parts.
report_ratio() {
  local total sum
  total=$(median <"$WORK/totals")
  sum=$(awk '{print $1}' "$WORK/sums" | median)
  echo "  runs (ms): $(tr '\n' ' ' <"$WORK/totals")"
  echo "  parts per run ($1, ms):"
  sed 's/^/    /' "$WORK/sums"
  echo "  process start -> launcher start: $total ms (median); sum of parts $sum ms (median)"
  echo "  ratio: $(awk -v a="$total" -v b="$sum" 'BEGIN{printf "%.2f", a / b}')x (goal: at most 1.2x)"
}

report_breakdown() {
  local name
  for name in "$@"; do printf "  %-44s %s ms\n" "${name%%|*}" "$(log_ms "${name#*|}")"; done
}

echo "# $(date -u +%Y-%m-%dT%H:%MZ) $(uname -r), $(nproc) CPUs, runs per case: $RUNS (median)"

if [[ " $CASES " == *" uptodate "* ]]; then
  echo
  echo "== up to date: 200-file launcher of $UPTODATE_MIB MiB installed and current, FILECMP on"
  make_launcher "$WORK/src100" 200 $((UPTODATE_MIB * 1024 * 1024))
  md5=$("$MK" "$WORK/src100" 2.0.0.1 "$WORK/packages/launcher100.zip" --level 1)
  start_service launcher100.zip 2.0.0.1 "$md5"
  run_once  # installs it
  [[ -f $INSTALL/client/launcher.db ]] || { echo "installation failed" >&2; exit 1; }
  listed=$(grep -o '"client/[^"]*":' "$INSTALL/client/launcher.db" | sed 's/^"\(.*\)":$/\1/' | sed "s|^|$INSTALL/|")
  echo "  installed files listed: $(wc -l <<<"$listed"), bytes: $(du -cb $listed | tail -n 1 | cut -f1)"
  : >"$WORK/totals"
  : >"$WORK/md5sum"
  : >"$WORK/rt_report"
  : >"$WORK/rt_check"
  : >"$WORK/checks"
  : >"$WORK/totals_before"
  : >"$WORK/checks_before"
  for _ in $(seq "$RUNS"); do
    run_once
    echo "$TOTAL_MS" >>"$WORK/totals"
    # The installed-file check: worker start -> LHR_CHK.
    awk -v a="$(log_ms '_ThreadCheckVersion Start')" -v b="$(log_ms 'event=LHR_CHK')" 'BEGIN{print b - a}' >>"$WORK/checks"
    if [[ -n ${BEFORE:-} ]]; then
      LAST_RUNLOG=$RUNLOG LAST_T0=$T0_NS
      GAME_DIR=$WORK/game-before run_once
      echo "$TOTAL_MS" >>"$WORK/totals_before"
      awk -v a="$(log_ms '_ThreadCheckVersion Start')" -v b="$(log_ms 'event=LHR_CHK')" 'BEGIN{print b - a}' >>"$WORK/checks_before"
      RUNLOG=$LAST_RUNLOG T0_NS=$LAST_T0
    fi
    # The same files through md5sum, in the same run.
    (cd / && time_ms xargs -d '\n' md5sum <<<"$listed") >>"$WORK/md5sum"
    # One service round trip each: the report and the check.
    curl -s -o /dev/null -w '%{time_total}\n' --data 'event=BENCH' "${BASE}log/startgame" |
      awk '{printf "%.1f\n", $1 * 1000}' >>"$WORK/rt_report"
    curl -s -o /dev/null -w '%{time_total}\n' --data 'rnd=1&ver=0' "${BASE}launcher/check" |
      awk '{printf "%.1f\n", $1 * 1000}' >>"$WORK/rt_check"
  done
  total=$(median <"$WORK/totals")
  md5=$(median <"$WORK/md5sum")
  rt_report=$(median <"$WORK/rt_report")
  rt_check=$(median <"$WORK/rt_check")
  floor=$(awk -v a="$rt_report" -v b="$rt_check" 'BEGIN{printf "%.0f", 1180 + a + b}')
  echo "  runs (ms): $(tr '\n' ' ' <"$WORK/totals")"
  echo "  process start -> launcher start: $total ms (median)"
  echo "  floor: bar 1180 ms + round trips (curl: report $rt_report ms, check $rt_check ms) = $floor ms; over the floor: $((total - floor)) ms"
  echo "  md5sum of the same 200 files: $md5 ms (median)"
  echo "  last run, from its log (ms after process start):"
  report_breakdown \
    "GameLauncher Start|GameLauncher Start" \
    "GLHR_STR sent|event=GLHR_STR" \
    "worker start|_ThreadCheckVersion Start" \
    "LHR_CHK sent (file list read and checked)|event=LHR_CHK" \
    "launcher/check sent|launcher/check" \
    "bar wait start|wait progress Start" \
    "bar wait end|wait progress End" \
    "StartLauncher|StartLauncher Arg"
  chk=$(median <"$WORK/checks")
  echo "  installed-file check (worker start -> LHR_CHK): runs $(tr '\n' ' ' <"$WORK/checks")ms, median $chk ms against md5sum $md5 ms:" \
    "$(awk -v a="$md5" -v b="$chk" 'BEGIN{printf "%.2f", a / b}')x faster than md5sum (goal: at least 1.7x)"
  if [[ -n ${BEFORE:-} ]]; then
    total_b=$(median <"$WORK/totals_before")
    chk_b=$(median <"$WORK/checks_before")
    echo "  before ($BEFORE), alternating with the runs above:"
    echo "    runs (ms): $(tr '\n' ' ' <"$WORK/totals_before")"
    echo "    process start -> launcher start: $total_b ms (median); over the floor: $((total_b - floor)) ms"
    echo "    installed-file check: runs $(tr '\n' ' ' <"$WORK/checks_before")ms, median $chk_b ms:" \
      "$(awk -v a="$md5" -v b="$chk_b" 'BEGIN{printf "%.2f", a / b}')x of md5sum"
  fi
  rm -rf "$INSTALL" "$WORK/src100" "$WORK/packages/launcher100.zip"
fi

if [[ " $CASES " == *" update "* ]]; then
  echo
  echo "== update: nothing installed, a $UPDATE_MIB MiB package"
  make_launcher "$WORK/src64" 65 $((UPDATE_MIB * 1024 * 1024))
  pkg=$WORK/packages/launcher64.zip
  md5=$("$MK" "$WORK/src64" 3.0.0.1 "$pkg")
  echo "  package: $(stat -c %s "$pkg") bytes, $(unzip -Z1 "$pkg" | wc -l) members"
  start_service launcher64.zip 3.0.0.1 "$md5"
  : >"$WORK/totals"
  : >"$WORK/sums"
  mkdir -p "$WORK/parts"
  for _ in $(seq "$RUNS"); do
    rm -rf "$INSTALL" "$XDG_CONFIG_HOME/Keltora/morvel3/temp"
    sync
    run_once
    echo "$TOTAL_MS" >>"$WORK/totals"
    # The parts alone, in the same run.
    rm -rf "$WORK/parts/"*
    sync
    d=$(time_ms curl -s -o "$WORK/parts/pkg.zip" "${BASE}files/launcher64.zip")
    m=$(time_ms md5sum "$WORK/parts/pkg.zip")
    u=$(time_ms unzip -o -q "$WORK/parts/pkg.zip" -d "$WORK/parts/unz")
    f=$(cd "$WORK/parts/unz" && time_ms find . -type f -exec md5sum {} +)
    cmp -s "$WORK/parts/pkg.zip" "$pkg" || { echo "curl download differs" >&2; exit 1; }
    echo "$((d + m + u + f)) $d $m $u $f" >>"$WORK/sums"
  done
  report_ratio "sum curl md5sum unzip md5sum-files"
  echo "  last run, from its log (ms after process start):"
  report_breakdown \
    "GameLauncher Start|GameLauncher Start" \
    "worker start|_ThreadCheckVersion Start" \
    "LHR_CHK sent|event=LHR_CHK" \
    "launcher/check sent|launcher/check" \
    "package URL (download starts)|launcherURL:" \
    "download pieces done|_threadCompare quit" \
    "LHR_UPD sent (verified, unpacked, checked)|event=LHR_UPD" \
    "bar wait start|wait progress Start" \
    "bar wait end|wait progress End" \
    "StartLauncher|StartLauncher Arg"
fi

if [[ " $CASES " == *" over "* ]]; then
  echo
  echo "== over: a $UPDATE_MIB MiB launcher installed, every file of the new one differs"
  make_launcher "$WORK/srcA" 65 $((UPDATE_MIB * 1024 * 1024))
  make_launcher "$WORK/srcB" 65 $((UPDATE_MIB * 1024 * 1024))
  pkgA=$WORK/packages/launcherA.zip
  pkgB=$WORK/packages/launcherB.zip
  "$MK" "$WORK/srcA" 3.0.0.1 "$pkgA" >/dev/null
  md5=$("$MK" "$WORK/srcB" 3.0.0.2 "$pkgB")
  start_service launcherB.zip 3.0.0.2 "$md5"
  : >"$WORK/totals"
  : >"$WORK/sums"
  mkdir -p "$WORK/parts"
  for _ in $(seq "$RUNS"); do
    rm -rf "$INSTALL" "$XDG_CONFIG_HOME/Keltora/morvel3/temp"
    mkdir -p "$INSTALL"
    unzip -o -q "$pkgA" -d "$INSTALL"
    sync
    run_once
    echo "$TOTAL_MS" >>"$WORK/totals"
    rm -rf "$WORK/parts/"*
    unzip -o -q "$pkgA" -d "$WORK/parts/unz"
    sync
    c=$(cd "$WORK/parts/unz" && time_ms find . -type f -exec md5sum {} +)
    d=$(time_ms curl -s -o "$WORK/parts/pkg.zip" "${BASE}files/launcherB.zip")
    m=$(time_ms md5sum "$WORK/parts/pkg.zip")
    u=$(time_ms unzip -o -q "$WORK/parts/pkg.zip" -d "$WORK/parts/unz")
    f=$(cd "$WORK/parts/unz" && time_ms find . -type f -exec md5sum {} +)
    echo "$((c + d + m + u + f)) $c $d $m $u $f" >>"$WORK/sums"
  done
  report_ratio "sum md5sum-installed curl md5sum unzip-over md5sum-files"
  echo "  last run, from its log (ms after process start):"
  report_breakdown \
    "worker start|_ThreadCheckVersion Start" \
    "LHR_CHK sent (installed files checked)|event=LHR_CHK" \
    "package URL (download starts)|launcherURL:" \
    "download pieces done|_threadCompare quit" \
    "LHR_UPD sent (verified, staged, checked, moved)|event=LHR_UPD" \
    "bar wait end|wait progress End" \
    "StartLauncher|StartLauncher Arg"
fi

if [[ " $CASES " == *" signed "* ]]; then
  SIGNED_BUILD=${SIGNED_BUILD:-$ROOT/build/demo-release-signed}
  KEY=${KEY:-$ROOT/build/demo-update.key}
  [[ -x $SIGNED_BUILD/gamelauncher && -f $KEY ]] || {
    echo "missing $SIGNED_BUILD/gamelauncher or $KEY (scripts/demo makes both)" >&2; exit 2; }
  echo
  echo "== signed: nothing installed, a $UPDATE_MIB MiB signed package; no key against a key built in"
  make_launcher "$WORK/srcS" 65 $((UPDATE_MIB * 1024 * 1024))
  pkg=$WORK/packages/launcherS.zip
  md5=$("$MK" "$WORK/srcS" 3.0.0.3 "$pkg" --sign "$KEY")
  echo "  package: $(stat -c %s "$pkg") bytes, statement $(stat -c %s "$pkg.sig") bytes"
  start_service launcherS.zip 3.0.0.3 "$md5"
  : >"$WORK/plain"
  : >"$WORK/signed"
  for _ in $(seq "$RUNS"); do
    for kind in plain signed; do
      if [[ $kind == plain ]]; then cp "$GL" "$WORK/game/gamelauncher"; else cp "$SIGNED_BUILD/gamelauncher" "$WORK/game/gamelauncher"; fi
      rm -rf "$INSTALL" "$INSTALL.sig" "$XDG_CONFIG_HOME/Keltora/morvel3/temp"
      sync
      run_once
      if [[ $kind == signed ]] && ! grep -q 'Package signature verified' <<<"$RUNLOG"; then
        echo "the signed run did not verify the package" >&2; grep -i signature <<<"$RUNLOG" >&2; exit 1
      fi
      echo "$TOTAL_MS" >>"$WORK/$kind"
    done
  done
  cp "$GL" "$WORK/game/gamelauncher"
  plain=$(median <"$WORK/plain")
  signed=$(median <"$WORK/signed")
  echo "  runs without a key (ms): $(tr '\n' ' ' <"$WORK/plain")"
  echo "  runs with a key (ms):    $(tr '\n' ' ' <"$WORK/signed")"
  echo "  process start -> launcher start: $plain ms without, $signed ms with a key (medians)"
  echo "  with/without: $(awk -v a="$signed" -v b="$plain" 'BEGIN{printf "%.3f", a / b}') (goal: at most 1.05)"
  echo "  sha256sum of the package alone: $(time_ms sha256sum "$pkg") ms"
fi
