#!/usr/bin/env bash
# Download benchmark: the segmented downloader (gl_download) against
# `curl -s -o` for the same URL, one after the other in one run, on loopback.
#
#   bench/download/run.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR is a release build holding bench/download/gl_download,
# bench/download/bench_file_server and tools/update-service/update-service
# (default build/release); RUNS per case
# (default 3, the median is reported). Wall time and peak RSS come from
# /usr/bin/time. The round-trip cases (RTTS, in ms: 20 and 100) run inside a
# network namespace with `tc netem` that the script creates and removes
# (needs root); when it cannot be made, the file server delays every answer
# instead (see below). BEFORE=DIR adds another build's downloader there.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build/release}
RUNS=${2:-3}
# SERVER picks what serves the files: update-service (the reference service's
# files/ route), bench_file_server (the same file serving without the service
# around it) or nginx (apt-get install nginx). The server-delay fallback of the
# round-trip case always uses bench_file_server, which can hold answers back.
SERVER=${SERVER:-update-service}
# Loopback sizes in MiB; RTT=0 skips the round-trip case.
SIZES=${SIZES:-64 512}
RTT=${RTT:-1}
DL=$BUILD/bench/download/gl_download
SRV=$BUILD/bench/download/bench_file_server
SVC=$BUILD/tools/update-service/update-service
for p in "$DL" "$SRV" "$SVC"; do
  [[ -x $p ]] || { echo "missing $p (build the gl_download, bench_file_server and update-service targets)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/gl-dlbench-XXXXXX)
NS=gldlbench$$
SERVER_PID=
NS_MADE=
cleanup() {
  [[ -n $SERVER_PID ]] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  [[ -n $NS_MADE ]] && ip netns del "$NS" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# The downloader writes its daily log under these.
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/config XDG_DATA_HOME=$WORK/home/data
mkdir -p "$WORK/files" "$WORK/out" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
head -c 64M /dev/urandom > "$WORK/files/pkg64.bin"
for size in $SIZES; do
  [[ -e $WORK/files/pkg$size.bin ]] || head -c "${size}M" /dev/urandom > "$WORK/files/pkg$size.bin"
done

start_server() {  # [netns-prefix...] -- server-args...
  local prefix=()
  while [[ $# -gt 0 && $1 != -- ]]; do prefix+=("$1"); shift; done
  [[ $# -gt 0 ]] && shift
  # The old file goes first: the background job truncates it only when it runs.
  rm -f "$WORK/url.txt.part"
  if [[ $SERVER == nginx && $# -eq 0 ]]; then
    local port
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    mkdir -p "$WORK/nginx/tmp"
    cat > "$WORK/nginx/nginx.conf" <<CONF
user root;
worker_processes 1;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  client_body_temp_path $WORK/nginx/tmp;
  proxy_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp;
  uwsgi_temp_path $WORK/nginx/tmp;
  scgi_temp_path $WORK/nginx/tmp;
  server { listen 127.0.0.1:$port; root $WORK/files; }
}
CONF
    ${prefix[@]+"${prefix[@]}"} nginx -c "$WORK/nginx/nginx.conf" &
    SERVER_PID=$!
    BASE=http://127.0.0.1:$port/
    for _ in $(seq 200); do ${prefix[@]+"${prefix[@]}"} curl -s -o /dev/null "$BASE" 2>/dev/null && return; sleep 0.05; done
    echo "nginx did not start" >&2; exit 1
  fi
  local files=
  if [[ $SERVER == update-service && $# -eq 0 ]]; then
    ${prefix[@]+"${prefix[@]}"} "$SVC" --files "$WORK/files" --quiet > "$WORK/url.txt.part" &
    files=files/
  else
    ${prefix[@]+"${prefix[@]}"} "$SRV" "$WORK/files" "$@" > "$WORK/url.txt.part" &
  fi
  SERVER_PID=$!
  for _ in $(seq 200); do grep -q '/$' "$WORK/url.txt.part" 2>/dev/null && break; sleep 0.05; done
  BASE=$(head -n1 "$WORK/url.txt.part")
  [[ $BASE == http://127.0.0.1:*/ ]] || { echo "file server did not start" >&2; exit 1; }
  BASE=$BASE$files
}
stop_server() { kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=; }

# measure NAME OUTPUT cmd... -> appends "NAME wall_s maxrss_kib" to $WORK/results
measure() {
  local name=$1 out=$2; shift 2
  # Each run starts with no other output file and no dirty pages left, so
  # that no run pays for the write-back of the one before.
  rm -f "$WORK/out/"*.bin
  sync
  /usr/bin/time -f "%e %M" -o "$WORK/time.txt" "$@" > /dev/null
  echo "$name $(cat "$WORK/time.txt")" >> "$WORK/results"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
field() { grep "^$1 " "$WORK/results" | awk -v f="$2" '{print $f}' | median; }
check() {  # file reference
  cmp -s "$1" "$2" || { echo "MISMATCH: $1 differs from $2" >&2; exit 1; }
}

echo "# $(date -u +%Y-%m-%dT%H:%MZ) $(uname -r), $(nproc) CPUs, runs per case: $RUNS (median), server: $SERVER"
: > "$WORK/results"
start_server
for size in $SIZES; do
  url="${BASE}pkg$size.bin"
  for _ in $(seq "$RUNS"); do
    measure "curl$size" "$WORK/out/curl.bin" curl -s -o "$WORK/out/curl.bin" "$url"
    check "$WORK/out/curl.bin" "$WORK/files/pkg$size.bin"
    measure "ours$size" "$WORK/out/ours.bin" "$DL" "$url" "$WORK/out/ours.bin"
    check "$WORK/out/ours.bin" "$WORK/files/pkg$size.bin"
  done
  rm -f "$WORK/out/"*.bin
done
stop_server

printf "%-28s %10s %10s %8s %14s %14s\n" case curl_s ours_s ratio curl_rss_MiB ours_rss_MiB
for size in $SIZES; do
  cw=$(field "curl$size" 2); ow=$(field "ours$size" 2)
  cr=$(field "curl$size" 3); orss=$(field "ours$size" 3)
  printf "%-28s %10s %10s %8s %14s %14s\n" "${size} MiB loopback" "$cw" "$ow" \
    "$(awk -v a="$ow" -v b="$cw" 'BEGIN{printf "%.2f", a/b}')" \
    "$(awk -v k="$cr" 'BEGIN{printf "%.1f", k/1024}')" "$(awk -v k="$orss" 'BEGIN{printf "%.1f", k/1024}')"
done

[[ $RTT == 1 ]] || exit 0

# Far players: every request pays a round trip. RTTS lists them in ms; each
# runs inside a network namespace with `tc netem` (half the delay each way)
# when the script can make one (needs root and netem), else the file server
# holds every answer back a whole round trip (bench_file_server DELAY_MS):
# one round trip per request, the cost the pieces pay; curl's single request
# pays it once, without TCP's slow start over a long path, so its figure is
# then only indicative. Each round trip compares curl, the default setting
# (2 pieces of 32 KiB), TUNED ("PIECE_KB THREADS", as DOWNLOAD_PIECE_KB and
# DOWNLOAD_THREADS give them) and, with BEFORE=DIR (another release build),
# that build's downloader at its default, run after run alternately.
RTTS=${RTTS:-20 100}
RTT_MIB=${RTT_MIB:-32}
TUNED=${TUNED:-1024 8}
read -r tuned_kb tuned_threads <<<"$TUNED"
BEFORE_DL=
if [[ -n ${BEFORE:-} ]]; then
  BEFORE_DL=$BEFORE/bench/download/gl_download
  [[ -x $BEFORE_DL ]] || { echo "missing $BEFORE_DL" >&2; exit 2; }
fi
[[ -e $WORK/files/pkg$RTT_MIB.bin ]] || head -c "${RTT_MIB}M" /dev/urandom > "$WORK/files/pkg$RTT_MIB.bin"
bytes=$((RTT_MIB * 1024 * 1024))
echo
echo "# round trips: $RTT_MIB MiB file, tuned = $tuned_kb KiB pieces on $tuned_threads threads; load: $(uptime | sed 's/.*load/load/')"
printf "%-30s %8s %8s %10s %14s %8s\n" case setting wall_s MB/s bound_MB/s rss_MiB
for rtt in $RTTS; do
  rtt_mode=netem
  in_ns=()
  if ! err=$(ip netns add "$NS" 2>&1); then
    rtt_mode=server-delay
  else
    NS_MADE=1
    in_ns=(ip netns exec "$NS")
    "${in_ns[@]}" ip link set lo up
    if ! err=$("${in_ns[@]}" tc qdisc add dev lo root netem delay "$((rtt / 2))ms" 2>&1); then
      ip netns del "$NS"; NS_MADE=
      in_ns=()
      rtt_mode=server-delay
    fi
  fi
  [[ $rtt_mode == netem ]] || echo "($rtt ms: netem not possible: $err; the server holds each answer $rtt ms)"
  : > "$WORK/results"
  if [[ $rtt_mode == netem ]]; then
    start_server "${in_ns[@]}" -- 0 0
  else
    start_server -- 0 "$rtt"
  fi
  url="${BASE}pkg$RTT_MIB.bin"
  ref=$WORK/files/pkg$RTT_MIB.bin
  for _ in $(seq "$RUNS"); do
    measure curl "$WORK/out/curl.bin" ${in_ns[@]+"${in_ns[@]}"} curl -s -o "$WORK/out/curl.bin" "$url"
    check "$WORK/out/curl.bin" "$ref"
    measure default "$WORK/out/ours.bin" ${in_ns[@]+"${in_ns[@]}"} "$DL" "$url" "$WORK/out/ours.bin" 120
    check "$WORK/out/ours.bin" "$ref"
    if [[ -n $BEFORE_DL ]]; then
      measure before "$WORK/out/ours.bin" ${in_ns[@]+"${in_ns[@]}"} "$BEFORE_DL" "$url" "$WORK/out/ours.bin" 120
      check "$WORK/out/ours.bin" "$ref"
    fi
    measure tuned "$WORK/out/ours.bin" ${in_ns[@]+"${in_ns[@]}"} "$DL" --piece-kb "$tuned_kb" --threads "$tuned_threads" \
      "$url" "$WORK/out/ours.bin" 120
    check "$WORK/out/ours.bin" "$ref"
  done
  stop_server
  if [[ -n $NS_MADE ]]; then ip netns del "$NS"; NS_MADE=; fi
  row() {  # name setting bound_bytes_per_round_trip
    local w r
    w=$(field "$1" 2); r=$(field "$1" 3)
    printf "%-30s %8s %8s %10s %14s %8s\n" "$RTT_MIB MiB, $rtt ms ($rtt_mode)" "$2" "$w" \
      "$(awk -v b="$bytes" -v w="$w" 'BEGIN{printf "%.2f", b/w/1e6}')" \
      "$(if [[ $3 == - ]]; then echo -; else awk -v p="$3" -v t="$rtt" 'BEGIN{printf "%.2f", p/(t/1000)/1e6}'; fi)" \
      "$(awk -v k="$r" 'BEGIN{printf "%.1f", k/1024}')"
  }
  row curl curl -
  row default 2x32K $((2 * 32768))
  [[ -z $BEFORE_DL ]] || row before before $((2 * 32768))
  row tuned "${tuned_threads}x${tuned_kb}K" $((tuned_threads * tuned_kb * 1024))
done
