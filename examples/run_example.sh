#!/usr/bin/env bash
# Runs one example program against a fresh zv-sim and checks that it printed
# each expected line.
#   run_example.sh <zv-sim> <example> <expected line>...
set -euo pipefail
sim=$1 example=$2
shift 2

home=$(mktemp -d)
coproc SIM { exec "$sim"; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; rm -rf "$home"' EXIT

# zv-sim prints its environment as export lines; the last one names the TLS
# roots (or plain text), after which it only serves.
while IFS= read -r -t 30 line <&"${SIM[0]}"; do
  case $line in
    export\ *) eval "$line" ;;
  esac
  case $line in
    export\ GRPC_DEFAULT_SSL_ROOTS_FILE_PATH=* | export\ ZVL_TLS_OPTION_DISABLED=*) break ;;
  esac
done
export HOME=$home

output=$(timeout 60 "$example")
echo "$output"
for expected in "$@"; do
  if ! grep -qF -- "$expected" <<<"$output"; then
    echo "missing from the output: $expected" >&2
    exit 1
  fi
done
