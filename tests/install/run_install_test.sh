#!/usr/bin/env bash
# run_install_test.sh <build dir>
# Installs the built project into a temporary prefix, then builds and runs two
# small consumers against that tree, each twice: through
# find_package(zvaclient) and through pkg-config. `consumer` uses the free
# functions of zva_accelerator.h, `class_consumer` the members of the
# accelerator class. They run against the build's zv-sim when there is one
# (on loopback), otherwise against a closed loopback port, where they find no
# accelerator. Nothing outside the prefix and a temporary directory is
# written.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }

libdir=$(dirname "$(find "$prefix" -name 'libzvaclient.so.1' -print -quit)")
[ -n "$libdir" ] && [ "$libdir" != "." ] || fail "libzvaclient.so.1 not installed"
[ -L "$libdir/libzvaclient.so" ] || fail "development link libzvaclient.so missing"
[ "$(readlink "$libdir/libzvaclient.so.1")" != "" ] || fail "soname link is not a link"
soname=$(objdump -p "$libdir/libzvaclient.so.1" | awk '/SONAME/ {print $2}')
[ "$soname" = "libzvaclient.so.1" ] || fail "soname is '$soname'"
for f in include/zva/zva_client.h include/zva/zva_tools.h \
         include/zva/zva_device_metadata.h include/zva/zvl_export.h \
         include/zva/zva_accelerator_class.h include/zva/zva_session_context.h \
         bin/zv bin/zv-health share/man/man1/zv.1 \
         share/man/man1/zv-health.1 share/man/man1/zv-sim.1; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
if [ -x "$build/sim/zv-sim" ]; then
  [ -x "$prefix/bin/zv-sim" ] || fail "bin/zv-sim not installed"
fi
[ -f "$libdir/pkgconfig/zvaclient.pc" ] || fail "zvaclient.pc not installed"
[ -f "$libdir/cmake/zvaclient/zvaclientConfig.cmake" ] || fail "package config not installed"

# The installed tools find the installed library on their own.
"$prefix/bin/zv" --help >"$work/help.txt" || fail "installed zv --help"
grep -q '^Usage: zv describe-accelerators \[options\]$' "$work/help.txt" ||
  fail "installed zv printed no usage text"

# The consumers' environment: loopback only, a fresh HOME, the library's
# log on standard error (standard output is compared), and waits for the
# session long enough for a loaded host; they end as soon as it is there.
export HOME=$work/home ZV_LOG_TO_STDERR=1
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"
export ZV_INSTANCE_METADATA_URI=http://127.0.0.1:1
unset CNS_CONTAINER_METADATA_URI ACCELERATOR_PROXYURI_OVERRIDE \
  ZV_VISIBLE_DEVICES QUERY_ACCELERATORS_RESPONSE_OVERRIDE \
  QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE
mkdir -p "$HOME/.zv"
echo '{"max_wait_for_server_timeout": 60000, "list_model_timeout": 60000}' \
  >"$HOME/.zv/zv_config.json"

versions=$'version 1.5.3\nhealth 2 not reachable\nunsupported 7'
if [ -x "$build/sim/zv-sim" ]; then
  coproc SIM {
    exec "$build/sim/zv-sim" --accelerator zva1.medium,id=zva-install
  }
  sim_pid=$SIM_PID
  # zv-sim prints its environment as export lines; the last one names the TLS
  # roots (or plain text), after which it only serves.
  while IFS= read -r -t 60 line <&"${SIM[0]}"; do
    case $line in
      export\ *) eval "$line" ;;
    esac
    case $line in
      export\ GRPC_DEFAULT_SSL_ROOTS_FILE_PATH=* | \
        export\ ZVL_TLS_OPTION_DISABLED=*) break ;;
    esac
  done
  [ "$ZV_INSTANCE_METADATA_URI" != http://127.0.0.1:1 ] ||
    fail "zv-sim printed no environment"
  expected_consumer=$versions$'\naccelerator zva-install\nhealth check 0'
  expected_consumer+=$'\nping 0\nlist models 0'
  expected_class_consumer=$'accelerator zva-install\nsession ready'
  expected_class_consumer+=$'\nchannel owner 1\nlist models 0\nping 0'
  expected_class_consumer+=$'\nreleased 1, channel dropped'
else
  expected_consumer=$versions$'\nno accelerator'
  expected_class_consumer='no accelerator'
fi

# check <label> <program> <expected output>
check() {
  local out
  out=$(timeout 300 "$2") || fail "$1 exited with $?: $out"
  [ "$out" = "$3" ] || fail "$1 printed: $out"
  echo "$out"
}

echo "--- find_package"
cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; fail "consumer configure"; }
cmake --build "$work/cmake-build" >"$work/build.log" ||
  { cat "$work/build.log" >&2; fail "consumer build"; }
check "find_package consumer" "$work/cmake-build/consumer" "$expected_consumer"
check "find_package class_consumer" "$work/cmake-build/class_consumer" \
  "$expected_class_consumer"

echo "--- pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
[ "$(pkg-config --modversion zvaclient)" = "1.5.3" ] || fail "pkg-config version"
for consumer in consumer class_consumer; do
  # shellcheck disable=SC2046
  c++ -std=c++17 -Wall -Wextra -Werror -o "$work/$consumer-pc" \
    "$here/consumer/$consumer.cc" \
    $(pkg-config --cflags --libs zvaclient) -Wl,-rpath,"$libdir" ||
    fail "pkg-config $consumer build"
  expected=expected_$consumer
  check "pkg-config $consumer" "$work/$consumer-pc" "${!expected}"
done
echo "install test passed"
