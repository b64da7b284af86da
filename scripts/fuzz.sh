#!/usr/bin/env bash
# scripts/fuzz.sh [seconds]
# Builds the libFuzzer targets of fuzz/ with clang under AddressSanitizer +
# UndefinedBehaviorSanitizer into build/fuzz and runs each for `seconds`
# (default 60) from its seed corpus fuzz/corpus/<target>/ (with the
# dictionary fuzz/<target>.dict where there is one), printing one line per
# target with its executions and result. Inputs a run discovers go to
# build/fuzz/corpus/<target>/, so the seeds in the tree stay as they are. A
# crashing input is kept in build/fuzz/crashes/<target>/ and its report is
# printed; the script then exits non-zero.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
seconds=${1:-60}
build=build/fuzz
jobs=$(nproc 2>/dev/null || echo 2)

echo "=== fuzz: build"
cmake -S "$root" -B "$build" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DZV_BUILD_FUZZ=ON -DZV_BUILD_TESTS=OFF -DZV_BUILD_SIM=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target zv_fuzz

# The system libraries are not instrumented; their process-lifetime
# allocations are not leaks of ours.
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:${LSAN_OPTIONS:-}"

echo "=== fuzz: $seconds s per target"
passed=0
failed=0
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  program="$build/fuzz/${target}_fuzzer"
  corpus="$build/corpus/$target"
  crashes="$build/crashes/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
    -artifact_prefix="$crashes/")
  if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
  status=0
  "$program" "${options[@]}" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    result="ok"
    passed=$((passed + 1))
  else
    result="FAILED (exit $status)${artifact:+, input kept in $artifact}"
    failed=$((failed + 1))
  fi
  printf 'fuzz: %-20s %12s executions  %s\n' "$target" "${runs:-?}" "$result"
  if [ "$status" -ne 0 ]; then
    # The report, from the sanitizer's or libFuzzer's first word about it.
    first=$(grep -n -m 1 -E 'ERROR|runtime error|ALARM|out-of-memory' "$log" |
      cut -d: -f1 || true)
    sed -n "${first:-1},\$p" "$log" | head -n 60 | sed 's/^/    /' || true
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
