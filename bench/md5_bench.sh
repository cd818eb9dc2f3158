#!/bin/sh
# MD5 of a 1 GiB file: getFileMd5 (md5_bench) against md5sum, warm cache,
# both in one hyperfine run. Usage: bench/md5_bench.sh [build folder]
set -eu
build=${1:-build/release}
work=${GL_BENCH_DIR:-/tmp/gl-bench}
mkdir -p "$work"
file="$work/md5-1GiB.bin"
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -ne 1073741824 ]; then
    head -c 1073741824 /dev/urandom > "$file"
fi
# Same digest from both, or the timing means nothing.
a=$(md5sum "$file" | cut -d' ' -f1)
b=$("$build/bench/md5_bench" "$file" | cut -d' ' -f1)
[ "$a" = "$b" ] || { echo "digests differ: $a $b" >&2; exit 1; }
hyperfine --warmup 2 --runs 10 -N \
    --export-markdown "$work/md5_bench.md" \
    "md5sum $file" "$build/bench/md5_bench $file"
