#!/usr/bin/env bash
# scripts/bench.sh [zv-bench options...]
# The benchmark: builds Release into build/bench (log: build/bench.log) and
# runs zv-bench, which starts zv-sim on loopback (plaintext, then TLS) and
# prints one table: wall time and client CPU time per Infer of the MXNet
# adapter, the PyTorch adapter, a raw generated stub and a lean floor, as
# ratios to the raw stub; the peak memory of one 16 MiB Infer; what an idle
# process holding an accelerator costs. The table also goes to
# bench/results/<UTC time>.md, with every figure in a .json beside it.
# About 4 minutes on 2 cores once built. Options go to zv-bench, e.g.
#   bash scripts/bench.sh --idle-seconds 5 --rounds 5    (a quicker look)
#   bash scripts/bench.sh --transports plaintext --sizes 1024,16777216
# BENCH_BUILD_DIR names another build directory with the bench built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ -n "${BENCH_BUILD_DIR:-}" ]; then
  build=$BENCH_BUILD_DIR
else
  build=build/bench
  bash scripts/setup.sh
  echo "bench: building Release into $build (log: $build.log)"
  mkdir -p build
  if ! ZV_BUILD_TARGET=zv-bench bash scripts/build.sh "$build" \
    -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_BENCH=ON -DZV_BUILD_TESTS=OFF \
    >"$build.log" 2>&1; then
    tail -n 40 "$build.log" >&2
    echo "bench: the build failed; see $build.log" >&2
    exit 1
  fi
fi
for f in "$build/bench/zv-bench" "$build/sim/zv-sim"; do
  if [ ! -x "$f" ]; then
    echo "bench: $f is missing; build the target zv-bench in $build" >&2
    exit 1
  fi
done

note="built $(grep -m1 '^CMAKE_BUILD_TYPE:' "$build/CMakeCache.txt" | cut -d= -f2)"
if commit=$(git rev-parse --short HEAD 2>/dev/null); then
  git diff --quiet HEAD 2>/dev/null || commit="$commit with local changes"
  note="commit $commit, $note"
fi
exec "$build/bench/zv-bench" --sim "$build/sim/zv-sim" \
  --out-dir bench/results --note "$note" "$@"
