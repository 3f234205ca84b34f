#!/usr/bin/env bash
# Static checks: formatting (.clang-format) of every C++ source, and clang-tidy
# (.clang-tidy) over src and tools with a build directory's compile database.
# Any finding fails the script.
# Usage: scripts/lint.sh [build-dir]   (default build/lint, configured from the release preset)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/lint}
scripts/deps.sh clang-format clang-tidy

sources() {
  local dirs=()
  for dir in "$@"; do [[ -d $dir ]] && dirs+=("$dir"); done
  find "${dirs[@]}" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | sort
}

status=0
mapfile -t formatted < <(sources src tools tests fuzz bench)
if clang-format --dry-run -Werror "${formatted[@]}"; then
  echo "clang-format: ${#formatted[@]} files as .clang-format wants them"
else
  echo "clang-format: FAILED (clang-format -i the files above)"
  status=1
fi

# Configured every time: a database older than the CMake files would miss or misplace sources.
cmake --preset release -B "$build" >/dev/null
mapfile -t tidied < <(sources src tools | grep '\.cpp$')
if printf '%s\0' "${tidied[@]}" | xargs -0 -n 1 -P 2 clang-tidy --quiet -p "$build" 2>/dev/null; then
  echo "clang-tidy: ${#tidied[@]} files without a finding"
else
  echo "clang-tidy: FAILED (findings above)"
  status=1
fi
exit "$status"
