# drovik-compare's block of scripts/bench.sh: its defaults end to end, what the harness adds to a
# direct download, broken, wrong and hanging clients, Ctrl-C, and its own memory over 100 runs.
# Sourced by scripts/bench.sh, whose helpers it uses. BENCH_ONLY=compare scripts/bench.sh runs it
# alone; the defaults' picture becomes docs/compare.png.

OVERHEAD_RUNS=${OVERHEAD_RUNS:-9}
MEMORY_RUNS=50 # on each of two paths
ZEROS="sh -c 'head -c {size} /dev/zero >{output}'"

# Starts drovik-compare with "$@" in a session of its own (the bench's shell leads no process
# group, so setsid runs it as it is), its table in compare-$1.md; sets compare_pid.
start_compare() {
  local key=$1
  shift
  setsid "$bin/drovik-compare" "$@" >"$out/compare-$key.md" 2>"$out/compare-$key.err" &
  compare_pid=$!
  started+=("$compare_pid")
}

# Waits for the drovik-compare started last: sets compare_status, and compare_left to the
# number of programs of its session still running.
wait_compare() {
  compare_status=0
  wait "$compare_pid" || compare_status=$?
  forget "$compare_pid"
  compare_left=$(ps -e -o sid= | awk -v s="$compare_pid" '$1 == s' | wc -l)
}

# Runs drovik-compare with "$@" to its end (see start_compare and wait_compare).
run_compare() {
  start_compare "$@"
  wait_compare
}

# Its own runs, from runs.csv in directory $1: "client seconds" of the ok ones on path direct.
direct_runs() { awk -F, 'NR > 1 && $2 == "direct" && $6 == "ok" { print $3, $8 }' "$1/runs.csv"; }

# One round of the harness's overhead: drovik-compare on the direct path, then each client alone
# against a fresh server; appends "client seconds" to compare-harness.txt and compare-alone.txt.
overhead_round() {
  local k=$1 client command
  run_compare "overhead-$k" --runs 1 --path direct --out "$out/compare-overhead-$k" fast fetch
  direct_runs "$out/compare-overhead-$k" >>"$out/compare-harness.txt"
  for client in fast fetch; do
    start_daemon "$bin/drovik-server" PORT
    command=("$bin/drovik-client-fast" 127.0.0.1 "$daemon_port" "$out/compare.bin" 1000000)
    [[ $client == fast ]] || command=("$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" "$out/compare.bin" 1000000)
    echo "$client $("$bin/bench/bench-run" --timeout 300 -- "${command[@]}" | cut -d' ' -f1)" >>"$out/compare-alone.txt"
    stop_daemon "$daemon_pid"
    "$bin/verify-download" "$out/compare.bin" 1000000 >/dev/null
    rm -f "$out/compare.bin"
  done
}

# drovik-compare's resident memory over MEMORY_RUNS runs on each of two paths, sampled twice a
# second: prints "runs first_kb last_kb", the largest samples of the first and the last fifth.
memory_runs() {
  local samples="$out/compare-memory.txt"
  start_compare memory --runs "$MEMORY_RUNS" --size 10000 --path direct --path relay fetch
  : >"$samples"
  while kill -0 "$compare_pid" 2>/dev/null; do
    awk '/^VmRSS/ { print $2 }' "/proc/$compare_pid/status" 2>/dev/null >>"$samples" || true
    sleep 0.5
  done
  wait_compare
  awk -v runs=$((2 * MEMORY_RUNS)) '{ v[NR] = $1 } END {
      n = int(NR / 5); if (n < 1) n = 1
      for (i = 1; i <= n; i++) { if (v[i] > a) a = v[i]; if (v[NR + 1 - i] > b) b = v[NR + 1 - i] }
      print runs, a, b }' "$samples"
}

# Ctrl-C while a client hangs, once it has started: prints "exit seconds_to_end left rows".
interrupted() {
  local fifo="$out/compare.fifo" begin hold
  rm -f "$fifo"
  mkfifo "$fifo"
  exec {hold}<>"$fifo" # opened both ways, so that opening it does not wait for a writer
  start_compare interrupted --runs 1 --path direct fetch "hang=sh -c 'echo >$fifo; exec sleep 1000'"
  read -r -t 60 -u "$hold" _
  exec {hold}<&-
  begin=$(date +%s.%N)
  kill -INT "$compare_pid"
  wait_compare
  echo "$compare_status $(awk -v b="$begin" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - b }')" \
    "$compare_left $(grep -c '| 1 / 1 |' "$out/compare-interrupted.md")"
  rm -f "$fifo"
}

bench_compare() {
  local k defaults_s begin reasons memory stop stop_status stop_s stop_left stop_rows runs first last
  local fast_harness fetch_harness fast_alone fetch_alone
  echo "Measuring drovik-compare..." >&2
  rm -f "$out"/compare-*.txt
  begin=$(date +%s.%N)
  run_compare defaults --seed 1 --out "$out/compare-defaults"
  defaults_s=$(awk -v b="$begin" -v e="$(date +%s.%N)" 'BEGIN { printf "%.0f", e - b }')
  cp "$out/compare-defaults/compare.png" docs/compare.png
  local defaults_status=$compare_status defaults_left=$compare_left
  for k in $(seq "$OVERHEAD_RUNS"); do overhead_round "$k"; done
  run_compare broken --runs 1 --timeout 5 --path direct --path relay fetch bad=false "zeros=$ZEROS" \
    "hang=sleep 1000"
  reasons=$(sed -n 's/^- [a-z]*, \(bad\|zeros\|hang\), run 1: /\1: /p' "$out/compare-broken.md" | sort -u | paste -sd ';' | sed 's/;/; /g')
  local broken_status=$compare_status broken_left=$compare_left
  stop=$(interrupted)
  memory=$(memory_runs)
  median_of() { awk -v c="$1" '$1 == c { print $2 }' "$out/$2" | summary %.3f; }
  fast_harness=$(median_of fast compare-harness.txt)
  fetch_harness=$(median_of fetch compare-harness.txt)
  fast_alone=$(median_of fast compare-alone.txt)
  fetch_alone=$(median_of fetch compare-alone.txt)
  echo
  cat "$out/compare-defaults.md"
  echo
  echo "drovik-compare's targets; the direct path against each client alone, $OVERHEAD_RUNS rounds taking" \
    "turns, median (min–max) in seconds:"
  echo
  echo "| Target | Measured | Met |"
  echo "|---|---|---|"
  target_row "Defaults, 1 MB, 3 runs: completes, table and picture, every built-in client ok" \
    "exit $defaults_status in $defaults_s s, $(grep -c '| 3 / 3 |' "$out/compare-defaults.md") of 10 cells 3 / 3, compare.png; $defaults_left left running" \
    "$defaults_status == 0 && $defaults_left == 0"
  target_row "The direct row's median within 5 % of the client timed alone" \
    "fast $fast_harness against $fast_alone alone; fetch $fetch_harness against $fetch_alone" \
    "${fast_harness%% *} <= 1.05 * ${fast_alone%% *} && ${fetch_harness%% *} <= 1.05 * ${fetch_alone%% *}"
  target_row "false, zeros and sleep 1000 (--timeout 5): each a failed run with its reason, the comparison completes, nothing left" \
    "$reasons; exit $broken_status; $broken_left left running" \
    "$broken_status == 1 && $broken_left == 0 && $(grep -c . <<<"${reasons//;/$'\n'}") == 3"
  read -r stop_status stop_s stop_left stop_rows <<<"$stop"
  target_row "Ctrl-C during a run: exit 130 within 1 s, the table of what was measured, nothing left" \
    "exit $stop_status after $stop_s s, $stop_rows run in the table, $stop_left left running" \
    "$stop_status == 130 && $stop_s <= 1 && $stop_rows == 1 && $stop_left == 0"
  read -r runs first last <<<"$memory"
  target_row "Its own memory over $runs runs: growth ≤ 1 MB" \
    "$first kB resident in the first fifth, $last kB in the last" "$last - $first <= 1024"
}
