#!/usr/bin/env bash
# Builds and runs the whole test suite in the optimised build, then under the
# address and undefined-behaviour sanitizers. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in release asan; do
  # Quiet when it works; the whole build output when it does not.
  if ! scripts/build.sh "$preset" >"$log" 2>&1; then
    cat "$log"
    echo "build of preset $preset failed" >&2
    exit 1
  fi
done
ctest --preset release
ctest --preset asan
