#!/usr/bin/env bash
# Builds the project and runs every test three times: a normal build with warnings as
# errors, a build under AddressSanitizer and UndefinedBehaviorSanitizer, and one under
# ThreadSanitizer; then runs every fuzz target for a short budget (scripts/fuzz.sh).
#   scripts/test.sh            all of it
#   scripts/test.sh --fast     the normal run only
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DKITBASE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300
}

echo "== normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ "${1:-}" != "--fast" ]; then
  echo "== sanitizer build"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKITBASE_SANITIZE=ON
  unset ASAN_OPTIONS UBSAN_OPTIONS

  echo "== thread sanitizer build"
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DKITBASE_TSAN=ON
  unset TSAN_OPTIONS

  echo "== fuzzing"
  scripts/fuzz.sh 20
fi
