#!/usr/bin/env bash
# run_install_test.sh <build dir>
# Installs the built project into a temporary prefix, then builds and runs a
# small consumer against that tree twice: through find_package(zvaclient) and
# through pkg-config. Nothing outside the prefix and a temporary directory is
# written.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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

expected=$'version 1.5.3\nhealth 2 not reachable\nunsupported 7'

echo "--- find_package"
cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; fail "consumer configure"; }
cmake --build "$work/cmake-build" >"$work/build.log" ||
  { cat "$work/build.log" >&2; fail "consumer build"; }
out=$("$work/cmake-build/consumer")
[ "$out" = "$expected" ] || fail "find_package consumer printed: $out"
echo "$out"

echo "--- pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
[ "$(pkg-config --modversion zvaclient)" = "1.5.3" ] || fail "pkg-config version"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/consumer-pc" "$here/consumer/consumer.cc" \
  $(pkg-config --cflags --libs zvaclient) -Wl,-rpath,"$libdir" ||
  fail "pkg-config consumer build"
out=$("$work/consumer-pc")
[ "$out" = "$expected" ] || fail "pkg-config consumer printed: $out"
echo "$out"
echo "install test passed"
