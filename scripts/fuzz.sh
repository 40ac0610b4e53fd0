#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan and UBSan) and runs each one on
# its seed corpus for a time budget; any crash, sanitizer report or broken property
# fails the run. Findings land in build-fuzz/findings/<target>/.
#   scripts/fuzz.sh              every target for 25 s
#   scripts/fuzz.sh 600          every target for 10 minutes
#   scripts/fuzz.sh 60 text_fuzz one target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-25}
shift || true
scripts/install-deps.sh

dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKITBASE_FUZZ=ON -DKITBASE_SANITIZE=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$dir"/fuzz/*_fuzz; do targets+=("$(basename "$t")"); done
fi

export KITBASE_ROOT
KITBASE_ROOT=$(mktemp -d)
trap 'rm -rf "$KITBASE_ROOT"' EXIT
export FUZZ_TRUST_ANCHORS="$PWD/$dir/stage/trust"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
for t in "${targets[@]}"; do
  seeds="fuzz/corpus/${t%_fuzz}"
  work="$dir/corpus/$t"
  findings="$dir/findings/$t"
  mkdir -p "$work" "$findings"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$work"/ 2>/dev/null || true
  # The signature check also gets the staged signed programs as seeds.
  if [ "$t" = signature_container_fuzz ]; then
    for f in "$dir"/stage/brandpack.dll "$dir"/stage/enumwick64.exe; do
      [ -f "$f" ] && { printf '\0' | cat - "$f" > "$work/$(basename "$f").seed"; }
    done
  fi
  echo "== $t ($seconds s)"
  if ! "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" -print_final_stats=0 "$work" >"$dir/$t.log" 2>&1; then
    echo "FINDING in $t (see $dir/$t.log and $findings):"
    grep -E "ERROR|SUMMARY|property broken|runtime error" "$dir/$t.log" | head -n 20 || true
    failed=1
  else
    grep -oE "#[0-9]+[[:space:]]+DONE.*" "$dir/$t.log" | tail -n 1 || true
  fi
done
exit $failed
