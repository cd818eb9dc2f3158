#!/bin/sh
# UnZipFile (unzip_bench) against `unzip -o -q` on a package of 2,000 files
# and 200 MiB made with `zip`, warm cache, both in one hyperfine run; each
# run extracts over the files of the one before, as an update does.
# Usage: bench/unzip_bench.sh [build folder]
set -eu
build=${1:-build/release}
work=${GL_BENCH_DIR:-/tmp/gl-bench}
pkg="$work/package.zip"
mkdir -p "$work"
if [ ! -f "$pkg" ]; then
    rm -rf "$work/src"
    # 20 folders of 100 files of 104,857 bytes: half random bytes, half text,
    # so that deflate has work of both kinds to undo.
    python3 - "$work/src" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(3)
words = [b"launcher", b"resource", b"texture", b"0123456789", b"\n", b"config=", b"value"]
for d in range(20):
    folder = os.path.join(root, "client", f"data{d:02d}")
    os.makedirs(folder, exist_ok=True)
    for f in range(100):
        half = 104857 // 2
        text = bytearray()
        while len(text) < 104857 - half:
            text += rng.choice(words)
        with open(os.path.join(folder, f"file{f:03d}.bin"), "wb") as out:
            out.write(rng.randbytes(half) + bytes(text[:104857 - half]))
PY
    (cd "$work/src" && zip -q -r "$pkg" client)
fi
rm -rf "$work/out-unzip" "$work/out-gl"
mkdir -p "$work/out-unzip" "$work/out-gl"
hyperfine --warmup 2 --runs 10 -N \
    --export-markdown "$work/unzip_bench.md" \
    "unzip -o -q $pkg -d $work/out-unzip" "$build/bench/unzip_bench $pkg $work/out-gl"
diff -r "$work/out-unzip" "$work/out-gl" && echo "extracted trees are identical"
