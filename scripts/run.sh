#!/usr/bin/env bash
# Builds the service and runs it in the foreground on its bundled stand-in engine,
# with all machine-wide state below a local data root (default: ./.local-root).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

export KITBASE_ROOT="${KITBASE_ROOT:-$PWD/.local-root}"
mkdir -p "$KITBASE_ROOT"
program=build/stage/scanwarden.exe
if [ ! -x "$program" ]; then
  echo "The service program is not part of this build yet; the library and its tests are built in build/stage." >&2
  exit 1
fi
exec "$program" -console "$@"
