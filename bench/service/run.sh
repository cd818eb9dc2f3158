#!/usr/bin/env bash
# The event report in-process (service_report_bench) and the same POST made
# with the curl command line against the reference update service, per
# request. Run from the repository root after a release build.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}
"$build/bench/service/service_report_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

work=$(mktemp -d)
"$build/tools/update-service/update-service" --quiet --events "$work/events.jsonl" --url-file "$work/url" >/dev/null &
pid=$!
trap 'kill "$pid"; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/url" ] && break; sleep 0.1; done
url="$(cat "$work/url")log/startgame"
body='cid=02ab0010fe01&unid=0&appid=0&event=GLHR_STR&sid=0&ver=1.0.0.15&user=0&ext='
hyperfine --warmup 20 --runs 300 -N "curl -s -o /dev/null -d $body $url"
