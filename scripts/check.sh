#!/usr/bin/env bash
# The fast checks that run before the tests; exits non-zero when one fails.
#
# 1. Locks: builds the library alone (no tests, tools or simulator) with
#    clang, whose -Wthread-safety, an error like every warning of our code,
#    refuses a member declared ZV_GUARDED_BY a mutex that is used without it.
#    Only the diagnostics matter here, so the code is built without
#    optimisation. Build directory: CHECK_BUILD_DIR, default build/check.
# 2. Formatting: clang-format with the root .clang-format on the C++ lines
#    changed since ZV_FORMAT_BASE (default HEAD~1, the last commit; changes
#    not yet committed count too). Lines nobody touched are left as they are,
#    so a change is never held up by old code around it. ZV_FORMAT_FILES=1
#    checks the changed files whole instead. Skipped, with a note, when the
#    checkout has no such commit (a single-commit clone, an export).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

failed=()

echo "=== check: lock annotations (clang -Wthread-safety, library only)"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if ! ZV_BUILD_TARGET=zvaclient bash scripts/build.sh "${CHECK_BUILD_DIR:-build/check}" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O0 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -DNDEBUG" \
    -DZV_BUILD_TESTS=OFF -DZV_BUILD_SIM=OFF "${launcher[@]}"; then
  failed+=("lock annotations")
fi

echo "=== check: formatting of the changed C++ code"
base=${ZV_FORMAT_BASE:-HEAD~1}
if ! git rev-parse -q --verify "${base}^{commit}" >/dev/null 2>&1; then
  echo "check: no commit '$base' in this checkout; formatting not checked"
elif [ "${ZV_FORMAT_FILES:-0}" = 1 ]; then
  mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- '*.cc' '*.h')
  if [ ${#files[@]} -gt 0 ] && ! clang-format --dry-run -Werror "${files[@]}"; then
    failed+=("formatting")
  fi
else
  # git-clang-format prints the changes clang-format would make to the
  # changed lines, and exits 0 whether or not there are any.
  if ! out=$(git clang-format --binary clang-format --extensions cc,h --diff "$base"); then
    echo "$out"
    failed+=("formatting")
  elif grep -q '^diff --git' <<<"$out"; then
    echo "$out"
    echo "check: the lines above need clang-format;" \
      "'git clang-format $base' applies it to the changed lines only"
    failed+=("formatting")
  else
    echo "$out"
  fi
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "=== check failed: ${failed[*]}"
  exit 1
fi
echo "=== checks passed"
