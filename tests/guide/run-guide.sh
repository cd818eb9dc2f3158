#!/usr/bin/env bash
# Runs the command blocks of an operator's guide so that it cannot drift from
# what the programs do:
#
#   tests/guide/run-guide.sh docs/operating.md <build tree>
#
# The guide marks the blocks itself, on the line just before the fence:
#   <!-- guide-test: run -->          the block is shell commands: run
#   <!-- guide-test: file PATH -->    the block is the text of PATH: written
# Marked blocks run in the order they stand, in one bash shell (errexit,
# pipefail), so a later block sees the variables, files and background
# services of an earlier one. Unmarked blocks are read by people only.
#
# Everything runs here, on loopback, in a fresh folder that stands in for the
# operator's machine: HOME and the XDG folders are its own; the commands run
# in a copy of a checkout whose build/release is the given build tree; the
# example paths and hosts of the guide are replaced by stand-ins (the table
# below); `sudo` runs the command as it is; `nginx` is a private nginx with
# the system's layout under the stand-in /etc/nginx, already running, whose
# nginx.conf includes conf.d/*.conf inside http {}; `curl` reaches
# update.example.com (port 443) at the private nginx and trusts the
# stand-in CA that signed its certificate. No example host is ever resolved.
set -euo pipefail

guide=$(realpath "$1")
build=$(realpath "$2")
stage=$(mktemp -d "${TMPDIR:-/tmp}/guide-test.XXXXXX")
nginx_pid_file=$stage/etc/nginx/nginx.pid

cleanup() {
  local rc=$?
  # The services the guide started in the background, by their ids.
  if [ -f "$stage/pids" ]; then
    while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$stage/pids"
  fi
  if [ -f "$nginx_pid_file" ]; then kill "$(cat "$nginx_pid_file")" 2>/dev/null || true; fi
  if [ "$rc" -ne 0 ]; then
    echo "--- guide run failed (exit $rc); the script was $stage/guide.sh" >&2
    [ -f "$stage/etc/nginx/error.log" ] && tail -n 20 "$stage/etc/nginx/error.log" >&2
  fi
  # The sample launcher ends by itself (--exit-after); wait for it so that
  # nothing writes into the folder while it goes.
  for _ in $(seq 100); do
    pgrep -f "^$stage/" >/dev/null 2>&1 || break
    sleep 0.1
  done
  [ "$rc" -eq 0 ] && rm -rf "$stage"
  exit "$rc"
}
trap cleanup EXIT

# A loopback port nothing listens on (the services here bind it at once).
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    ss -Htln "sport = :$port" | grep -q . || break
  done
  echo "$port"
}
service_port=$(free_port)
tls_port=$(free_port)
while [ "$tls_port" = "$service_port" ]; do tls_port=$(free_port); done

# --- the stand-ins -----------------------------------------------------------
# Guide text on the left, what it becomes here on the right.
stand_ins=(
  "/srv/gamelauncher|$stage/srv/gamelauncher"
  "/var/lib/gamelauncher|$stage/var/lib/gamelauncher"
  "/etc/nginx|$stage/etc/nginx"
  "/etc/ssl/update.example.com|$stage/etc/ssl/update.example.com"
  "listen 443 ssl|listen 127.0.0.1:$tls_port ssl"
  "8431|$service_port"
)

mkdir -p "$stage/home" "$stage/checkout/build" "$stage/srv/gamelauncher/files" "$stage/var/lib/gamelauncher" \
  "$stage/etc/nginx/conf.d" "$stage/etc/nginx/temp" "$stage/etc/ssl/update.example.com" "$stage/run"
chmod 700 "$stage/run"
ln -s "$build" "$stage/checkout/build/release"

# A CA of our own and update.example.com's certificate signed by it.
ssl=$stage/etc/ssl/update.example.com
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=guide test CA" \
  -keyout "$stage/ca.key" -out "$stage/ca.pem" >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=update.example.com" \
  -keyout "$ssl/privkey.pem" -out "$stage/server.csr" >/dev/null 2>&1
printf 'subjectAltName=DNS:update.example.com\n' >"$stage/san.ext"
openssl x509 -req -in "$stage/server.csr" -CA "$stage/ca.pem" -CAkey "$stage/ca.key" -CAcreateserial -days 2 \
  -extfile "$stage/san.ext" -out "$ssl/fullchain.pem" >/dev/null 2>&1

# The system nginx's layout: the sites go inside http {} through conf.d.
n=$stage/etc/nginx
cat >"$n/nginx.conf" <<EOF
worker_processes 1;
pid $nginx_pid_file;
error_log $n/error.log info;
events { worker_connections 64; }
http {
  access_log $n/access.log;
  client_body_temp_path $n/temp/body;
  proxy_temp_path $n/temp/proxy;
  fastcgi_temp_path $n/temp/fastcgi;
  uwsgi_temp_path $n/temp/uwsgi;
  scgi_temp_path $n/temp/scgi;
  include $n/conf.d/*.conf;
}
EOF
if [ "$(id -u)" = 0 ]; then
  # Workers as root only here, where the stand-in files are root's own.
  sed -i "1i user root;" "$n/nginx.conf"
fi
command nginx -p "$n/" -c "$n/nginx.conf" -e "$n/error.log"

# --- the guide's blocks ------------------------------------------------------
substitute() {
  local text=$1 pair
  for pair in "${stand_ins[@]}"; do
    text=${text//"${pair%%|*}"/"${pair#*|}"}
  done
  printf '%s\n' "$text"
}

{
  cat <<EOF
set -eo pipefail
export HOME="$stage/home" XDG_CONFIG_HOME="$stage/home/.config" XDG_DATA_HOME="$stage/home/.local/share"
export XDG_RUNTIME_DIR="$stage/run" QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
cd "$stage/checkout"
sudo() { "\$@"; }
nginx() { command nginx -p "$n/" -c "$n/nginx.conf" -e "$n/error.log" "\$@"; }
curl() { command curl --connect-to update.example.com:443:127.0.0.1:$tls_port --cacert "$stage/ca.pem" "\$@"; }
# Every background job the guide starts is ended at the end of the run.
trap 'jobs -p >>"$stage/pids"' EXIT
EOF
} >"$stage/guide.sh"

awk -v stage="$stage" '
  /^<!-- guide-test: run -->$/ { mark = "run"; next }
  /^<!-- guide-test: file [^ ]+ -->$/ { mark = "file"; path = $4; next }
  /^```/ {
    if (inblock) { inblock = 0; print "\037end"; next }
    if (mark != "") { inblock = 1; print "\037" mark " " path; mark = ""; path = ""; next }
  }
  inblock { print; next }
  { if ($0 !~ /^[[:space:]]*$/) mark = "" }
' "$guide" >"$stage/blocks"

blocks=0
kind=""
body=""
while IFS= read -r line; do
  case $line in
    $'\037'end)
      body=$(substitute "$body")
      if [ "$kind" = run ]; then
        printf '\n# --- block %d\n%s\n' "$blocks" "$body" >>"$stage/guide.sh"
      else
        target=$(substitute "$kind")
        printf '\n# --- block %d: the file %s\nmkdir -p "%s"\ncat >"%s" <<'"'"'GUIDE_FILE_END'"'"'\n%s\nGUIDE_FILE_END\n' \
          "$blocks" "$target" "$(dirname "$target")" "$target" "$body" >>"$stage/guide.sh"
      fi
      blocks=$((blocks + 1))
      kind=""
      body=""
      ;;
    $'\037'run*) kind=run ;;
    $'\037'file*) kind=${line#$'\037'file } ;;
    *) body+="${body:+$'\n'}$line" ;;
  esac
done <"$stage/blocks"

if [ "$blocks" -eq 0 ]; then
  echo "the guide marks no blocks to run" >&2
  exit 1
fi
echo "running $blocks blocks of $guide" >&2
bash "$stage/guide.sh"
echo "all $blocks blocks ran" >&2
