#!/usr/bin/env bash
# scripts/build.sh <build dir> [extra cmake arguments...]
# Configures and builds the project into <build dir>. ZV_BUILD_TARGET, when
# set, builds only that target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" "$@" >/dev/null
cmake --build "$dir" -j "$jobs" ${ZV_BUILD_TARGET:+--target "$ZV_BUILD_TARGET"}
