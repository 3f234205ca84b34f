#!/usr/bin/env bash
# Builds and runs the whole test suite under the address and undefined-behaviour
# sanitizers, then in the optimised build. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in release asan; do
  scripts/build.sh "$preset" >/dev/null
done
ctest --preset release
ctest --preset asan
