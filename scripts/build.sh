#!/usr/bin/env bash
# Configures and builds one preset (default: release).
# Usage: scripts/build.sh [preset]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
