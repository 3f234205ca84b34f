#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset fuzz, in build/fuzz) and runs each one
# for a bounded number of executions, starting from its seed corpus in fuzz/.
# Any crash, sanitizer report, leak or broken property fails the script.
# Usage: scripts/fuzz.sh [executions-per-harness]
#   FUZZ_MAX_SECONDS caps each run's time as well (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-}
max_seconds=${FUZZ_MAX_SECONDS:-60}
scripts/deps.sh clang clang-14 libclang-rt-14-dev
source scripts/lib.sh
quiet_build fuzz

# harness, default executions, extra libFuzzer options
harnesses=(
  "request 5000000 -max_len=4096"
  "reply 10000000 -max_len=65543"
  "chunk_map 5000000 -max_len=4096"
)
failed=0
for entry in "${harnesses[@]}"; do
  read -r name default_runs options <<<"$entry"
  work=build/fuzz/corpus/$name
  log=build/fuzz/$name.log
  mkdir -p "$work"
  # New inputs go to the first directory; the checked-in seeds stay untouched.
  if build/fuzz/fuzz/fuzz_$name -runs="${runs:-$default_runs}" -max_total_time="$max_seconds" \
      -artifact_prefix="build/fuzz/$name-" -print_final_stats=1 $options "$work" "fuzz/corpus/$name" \
      >"$log" 2>&1; then
    done_line=$(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1)
    executions=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) .*/\1/' <<<"$done_line")
    seconds=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) .*/\2/' <<<"$done_line")
    coverage=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1)
    echo "fuzz $name: ok, $executions executions in $seconds s, $coverage, corpus $(ls "$work" | wc -l) inputs, no finding"
  else
    failed=1
    tail -n 40 "$log"
    echo "fuzz $name: FAILED, see $log and the artifact build/fuzz/$name-*"
  fi
done
exit "$failed"
