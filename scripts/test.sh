#!/usr/bin/env bash
# Builds and runs the whole test suite in the optimised build, then under the
# address and undefined-behaviour sanitizers. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
# The plot test draws with gnuplot; without it that test is skipped.
scripts/deps.sh gnuplot-nox
quiet_build release
quiet_build asan
ctest --preset release
ctest --preset asan
