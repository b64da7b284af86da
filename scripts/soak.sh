#!/usr/bin/env bash
# scripts/soak.sh [seconds] [threads] [zv-soak options...]
# The chaos soak: starts zv-sim on loopback with two accelerators and runs
# zv-soak against it, which checks every inference output while it rotates
# faults through zv-sim, then prints one table. Defaults: 60 s, 8 threads.
# Extra options go to zv-soak, e.g. --min-success 0.999 to enforce a ratio.
#
# Builds zv-soak and zv-sim into build/soak unless SOAK_BUILD_DIR names a
# build that has them. Exits non-zero when the soak fails, the driver dies
# by a signal (a hang aborts it), or zv-sim does not start. The logs stay in
# a directory under /tmp, printed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-60}
threads=${2:-8}
shift $(($# < 2 ? $# : 2))

if [ -n "${SOAK_BUILD_DIR:-}" ]; then
  build=$SOAK_BUILD_DIR
else
  build=build/soak
  bash scripts/setup.sh
  echo "soak: building zv-soak and zv-sim into $build (log: $build.log)"
  mkdir -p build
  if ! ZV_BUILD_TARGET=zv-soak bash scripts/build.sh "$build" \
    -DZV_BUILD_TESTS=ON >"$build.log" 2>&1; then
    tail -n 40 "$build.log" >&2
    echo "soak: the build failed; see $build.log" >&2
    exit 1
  fi
fi
driver=$build/tests/soak/zv-soak
simulator=$build/sim/zv-sim
for f in "$driver" "$simulator"; do
  if [ ! -x "$f" ]; then
    echo "soak: $f is missing; build the target zv-soak in $build" >&2
    exit 1
  fi
done

logs=$(mktemp -d /tmp/zv-soak.XXXXXX)
sim_pid=""
driver_pid=""
finish() {
  local rc=$?
  trap - EXIT INT TERM
  if [ -n "$driver_pid" ] && kill -0 "$driver_pid" 2>/dev/null; then
    kill -TERM "$driver_pid" 2>/dev/null || true
    wait "$driver_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid"
    local sim_rc=0
    wait "$sim_pid" || sim_rc=$?
    if [ "$sim_rc" -ne 0 ]; then
      echo "soak: zv-sim exited with code $sim_rc" >&2
      [ "$rc" -ne 0 ] || rc=1
    fi
  fi
  echo "soak: logs in $logs (soak.log: the driver's standard error;" \
    "sim.log: zv-sim's; home/.zv/logs: the library's)"
  exit "$rc"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A fresh HOME for configuration and logs, no proxies, and nothing from the
# caller's environment that would send the library elsewhere.
export HOME="$logs/home"
mkdir -p "$HOME"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY \
  ZV_VISIBLE_DEVICES CNS_CONTAINER_METADATA_URI ACCELERATOR_PROXYURI_OVERRIDE \
  QUERY_ACCELERATORS_RESPONSE_OVERRIDE QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE \
  ZVL_TLS_OPTION_DISABLED ZV_LOG_TO_STDERR ZV_INFER_TIMEOUT \
  ZV_LOADMODEL_TIMEOUT ZVA_API_TIMEOUT_DEADLINE || true
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"
# The library logs into files under HOME, and glog copies nothing to the
# driver's standard error, so that soak.log holds only the driver's notes.
export ZV_ENABLE_LOGGING=1 GLOG_stderrthreshold=3

echo "soak: starting zv-sim with a zva1.medium and a zva2.large accelerator"
plan=$logs/fault-plan
echo clear >"$plan"
mkfifo "$logs/sim.out"
"$simulator" --accelerator zva1.medium --accelerator zva2.large \
  --env-file "$logs/sim.env" --fault-plan "$plan" \
  >"$logs/sim.out" 2>"$logs/sim.log" &
sim_pid=$!
# zv-sim writes the env file whole, then prints the same export lines once
# it serves: the first line on its standard output means ready.
exec 3<"$logs/sim.out"
if ! IFS= read -r -t 60 _ <&3; then
  exec 3<&-
  echo "soak: zv-sim did not start:" >&2
  cat "$logs/sim.log" >&2
  exit 1
fi
# Keep draining what zv-sim prints so it never blocks on the pipe.
cat <&3 >/dev/null &
exec 3<&-
# shellcheck disable=SC1091
source "$logs/sim.env"

echo "soak: $seconds s, $threads threads, a fault every 2 s"
driver_rc=0
"$driver" --seconds "$seconds" --threads "$threads" --sim-pid "$sim_pid" \
  --fault-plan "$plan" --sim-log "$logs/sim.log" "$@" \
  2>"$logs/soak.log" &
driver_pid=$!
wait "$driver_pid" || driver_rc=$?
driver_pid=""
if [ "$driver_rc" -gt 128 ]; then
  echo "soak: FAIL: zv-soak died by signal $((driver_rc - 128))" >&2
  grep -h "HANG" "$logs/soak.log" >&2 || tail -n 20 "$logs/soak.log" >&2
elif [ "$driver_rc" -ne 0 ]; then
  echo "soak: FAIL (exit code $driver_rc)" >&2
fi
exit "$driver_rc"
