#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds, starts the
# simulator zv-sim on loopback with two accelerators of different types, runs
# the tools and the example programs against it, and stops the simulator.
# Every command is shown before its output. Nothing leaves this machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=build/demo
say() { printf '\n=== %s\n' "$*"; }
# Shows a command, runs it, and reports a non-zero exit code without
# stopping the demo (zv-health exits 1 by design when a device is unwell).
show() {
  printf '\n$ %s\n' "$*"
  local rc=0
  "$@" || rc=$?
  [ "$rc" -eq 0 ] || printf '(exit code %d)\n' "$rc"
  return 0
}

say "Installing what is missing"
bash scripts/setup.sh

say "Building into $build (log: $build.log)"
mkdir -p build
if ! bash scripts/build.sh "$build" -DZV_BUILD_TESTS=OFF >"$build.log" 2>&1; then
  tail -n 40 "$build.log" >&2
  echo "demo: the build failed; see $build.log" >&2
  exit 1
fi
echo "built: library, zv, zv-health, zv-sim and the examples"

work=$(mktemp -d /tmp/zv-demo.XXXXXX)
sim_pid=""
stop_simulator() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid"
    local rc=0
    wait "$sim_pid" || rc=$?
    echo "zv-sim stopped (exit code $rc)"
  fi
  sim_pid=""
}
trap 'stop_simulator; rm -rf "$work"' EXIT

# A fresh HOME for configuration and logs, no proxies, and nothing from the
# caller's environment that would send the library elsewhere.
export HOME="$work/home"
mkdir -p "$HOME"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY \
  ZV_VISIBLE_DEVICES CNS_CONTAINER_METADATA_URI ACCELERATOR_PROXYURI_OVERRIDE \
  QUERY_ACCELERATORS_RESPONSE_OVERRIDE QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE \
  ZVL_TLS_OPTION_DISABLED ZV_ENABLE_LOGGING ZV_LOG_TO_STDERR || true
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"

say "Starting the simulator: one zva1.medium and one zva2.large accelerator"
sim_cmd=("$build/sim/zv-sim" --accelerator zva1.medium --accelerator zva2.large
  --env-file "$work/sim.env")
printf '$ %s &\n' "${sim_cmd[*]}"
mkfifo "$work/sim.out"
"${sim_cmd[@]}" >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
# zv-sim writes the env file whole, then prints the same export lines once
# both servers serve: the first line on its standard output means ready.
exec 3<"$work/sim.out"
if IFS= read -r -t 60 _ <&3; then
  # Keep draining what zv-sim prints so it never blocks on the pipe.
  cat <&3 >/dev/null &
  exec 3<&-
  cat "$work/sim.env"
else
  exec 3<&-
  echo "zv-sim did not start:" >&2
  cat "$work/sim.log" >&2
  exit 1
fi
# shellcheck disable=SC1091
source "$work/sim.env"
export PATH="$root/$build/tools:$PATH"

say "The tools"
show zv describe-accelerators
show zv describe-accelerators --json
show zv-health

say "The example programs (inference through the adapters)"
examples=()
if [ -d "$build/examples" ]; then
  while IFS= read -r f; do examples+=("$f"); done < <(
    find "$build/examples" -maxdepth 1 -type f -perm -u+x | sort)
fi
if [ ${#examples[@]} -eq 0 ]; then
  echo "(no example programs in this build yet; skipped)"
else
  for example in "${examples[@]}"; do show "$example"; done
fi

say "Stopping the simulator"
stop_simulator
say "Demo finished"
