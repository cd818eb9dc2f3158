#!/usr/bin/env bash
# The crash sender against the tools a maker would otherwise use on a report:
# symbolising (crashsender --no-send --no-dialog) against addr2line and
# eu-addr2line over the same addresses, and the upload (crashsender --send
# --no-dialog) against curl -F sending the same parts to the same service.
#
#   bench/crashsender/run.sh <build with test hooks, e.g. build/debug> <build to measure, e.g. build/release> [runs]
#
# The report comes from the program crashed on purpose (a test-hook build);
# the sender measured is the second build's.
set -euo pipefail
hooks=$(realpath "$1")
build=$(realpath "$2")
runs=${3:-20}
work=$(mktemp -d)
trap 'kill "${service_pid:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/game" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
cp "$hooks/gamelauncher" "$work/game/"
cp "$build/tools/crashsender/crashsender" "$work/game/"

"$build/tools/update-service/update-service" --quiet --crash-dir "$work/uploads" --url-file "$work/url.txt" \
  >/dev/null 2>&1 &
service_pid=$!
for _ in $(seq 100); do [ -s "$work/url.txt" ] && break; sleep 0.1; done
base=$(cat "$work/url.txt")
host=${base#http://}
printf '[CrashReport]\nUploadHost=%s\n' "${host%/}" > "$work/game/setting.ini"

(cd "$work/game" && env -u DISPLAY HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
  XDG_DATA_HOME="$work/home/.local/share" XDG_RUNTIME_DIR="$work/runtime" GL_TEST_CRASH=segv \
  GL_CRASHSENDER_ARGS="--no-send --no-dialog" ./gamelauncher >/dev/null 2>&1) || true
report=$(ls -d "$work"/home/.config/Keltora/morvel3/CrashReports/*)
for _ in $(seq 100); do [ -s "$report/symbolized.txt" ] && break; sleep 0.1; done

# The same addresses, per module, for the addr2line tools (return addresses
# less one, as the sender looks them up).
perl -F'\t' -lane 'next unless ($F[0] eq "frame" || $F[0] eq "scan") && $F[5] ne "-";
  my $off = hex($F[4]); $off -= 1 unless $F[0] eq "frame" && $F[1] == 0;
  printf "%s\t0x%x\n", $F[5], $off' "$report/crash.txt" > "$work/addrs"
cat > "$work/addr2line.sh" <<SH
#!/bin/sh
cut -f1 "$work/addrs" | sort -u | while read -r m; do
  awk -F'\t' -v m="\$m" '\$1==m {print \$2}' "$work/addrs" | xargs \$1 -f -C -e "\$m" >/dev/null
done
SH
chmod +x "$work/addr2line.sh"
echo "addresses: $(wc -l < "$work/addrs") in $(cut -f1 "$work/addrs" | sort -u | wc -l) modules"

hyperfine -N -w 3 -r "$runs" \
  "$work/game/crashsender --no-send --no-dialog $report" \
  "$work/addr2line.sh addr2line" \
  "$work/addr2line.sh eu-addr2line"

url="${base}index.php/crashReport/uploadExternal"
log=$(ls "$report"/files/*)
hyperfine -N -w 3 -r "$runs" \
  "$work/game/crashsender --send --no-dialog $report" \
  "curl -s -o /dev/null -F app=morvel3_launcher -F version=1.0.0.15 -F report=x -F crash=@$report/crash.txt -F symbolized=@$report/symbolized.txt -F maps=@$report/maps -F attachment=@$log $url"
