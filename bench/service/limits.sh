#!/usr/bin/env bash
# The reference update service under three hostile probes, one fresh service
# each: its peak memory (VmHWM) and what the client saw.
#   body:    a 512 MiB POST to log/startgame (declared length)
#   headers: 200 MB of short header lines on one request
#   slow:    8 clients sending a byte every 3 s, then one ordinary check
# Usage: bench/service/limits.sh [path/to/update-service]   (default: release build)
set -euo pipefail
cd "$(dirname "$0")/../.."
svc=${1:-build/release/tools/update-service/update-service}
work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

start() {
    rm -f "$work/url" "$work/events.jsonl"
    "$svc" --quiet --events "$work/events.jsonl" --url-file "$work/url" >/dev/null &
    pid=$!
    for _ in $(seq 100); do [ -s "$work/url" ] && break; sleep 0.1; done
    url=$(cat "$work/url")
}
stop() {
    local hwm rss
    hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
    kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
    local events=0
    [ -f "$work/events.jsonl" ] && events=$(stat -c %s "$work/events.jsonl")
    echo "  peak $((hwm / 1024)) MiB, resident after $((rss / 1024)) MiB, events.jsonl $events bytes"
}

echo "body: 512 MiB POST to log/startgame"
start
# Printable bytes: each is stored as one (a NUL would be escaped to six).
head -c 512M /dev/zero | tr '\0' x >"$work/big"
code=$(curl -s -o /dev/null -w '%{http_code}' -X POST -H 'Expect:' -H 'Content-Type: application/octet-stream' \
    -T "$work/big" "${url}log/startgame" || true)
echo "  answer: $code"
rm -f "$work/big"
stop

echo "headers: 200 MB of header lines"
start
python3 - "$url" <<'EOF'
import socket, sys
host, port = sys.argv[1].split("//")[1].rstrip("/").split(":")
s = socket.create_connection((host, int(port)))
s.sendall(b"GET /files/x HTTP/1.1\r\nHost: a\r\n")
lines, sent = b"X-A: b\r\n" * 8192, 0
try:
    while sent < 200_000_000:
        s.sendall(lines)
        sent += len(lines)
    s.sendall(b"\r\n")
    answer = s.recv(64).split(b"\r\n")[0].decode()
    print(f"  all {sent / 1e6:.0f} MB sent; answer: {answer}")
except OSError as e:
    print(f"  connection closed by the service after {sent / 1e6:.1f} MB sent ({e.strerror})")
EOF
stop

echo "slow: 8 clients sending a byte every 3 s, then an ordinary check"
start
python3 - "$url" <<'EOF'
import socket, subprocess, sys, threading, time
url = sys.argv[1]
host, port = url.split("//")[1].rstrip("/").split(":")
cut = []
def slow(i):
    s = socket.create_connection((host, int(port)))
    t0 = time.time()
    try:
        for b in b"POST /log/startgame HTTP/1.1\r\nHost: a\r\nX-Slow: " + b"y" * 10:
            s.sendall(bytes([b]))
            time.sleep(3)
    except OSError:
        cut.append(time.time() - t0)
threads = [threading.Thread(target=slow, args=(i,)) for i in range(8)]
for t in threads: t.start()
time.sleep(2)
t0 = time.time()
r = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "60",
                    "-d", "rnd=1&app=launcher&ver=0&cid=0&unid=0&qkey=", url + "launcher/check"],
                   capture_output=True, text=True)
print(f"  ordinary check: HTTP {r.stdout or '-'} after {time.time() - t0:.2f} s")
for t in threads: t.join()
print(f"  slow clients cut: {len(cut)} of 8" + (f", after {min(cut):.0f}-{max(cut):.0f} s" if cut else " (each sent its whole 57-byte head, one byte per 3 s)"))
EOF
stop
