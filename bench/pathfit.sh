# The block of scripts/bench.sh behind drovik-fetch's fit to other paths: drovik-fetch and
# drovik-client-fast on a server with short delays (bench-path-server) and through drovik-trace
# playing long delays, a rate both ways or down only, a short queue and extra loss in front of
# drovik-server, then three drovik-fetch through one narrow down link; each case against its
# bound (the chunks over the path's ceiling, plus two mean round trips); and docs/fetch-path.png
# from the simulation (bench-fetch-sim --series rate600). Sourced by
# scripts/bench.sh after bench/fetch.sh, bench/relay.sh and bench/servers.sh, whose helpers it
# uses. PATHFIT_RUNS=1 for a quick look; PATHFIT_CASES="rate600 down400" runs only those.

PATHFIT_RUNS=${PATHFIT_RUNS:-3}
PATHFIT_GAP=2  # seconds between the starts of the three shared downloads
# name|where (server options, or relay options in front of drovik-server)|ceiling chunks/s|mean
# round trip s|sizes for drovik-fetch|sizes for drovik-client-fast
PATHFIT_TABLE=(
  "short|server --delay 20-60|-|0.04|5000000|5000000"
  "long|relay --delay 1000-2000 --queue 5000|800|4|5000000 1000000|1000000"
  "rate600|relay --rate 600|300|1|5000000|1000000"
  "down400|relay --rate 400 --shape down|320|1|5000000 1000000|1000000"
  "down500q50|relay --rate 500 --shape down --queue 50|400|1|5000000|"
  "loss20|relay --loss 0.2|640|1|5000000|"
)
PATHFIT_SHARED=(--rate 900 --shape down)
PATHFIT_SHARED_KBPS=720  # 900 replies a second down, four in five of them new
PATHFIT_CASES=${PATHFIT_CASES:-short long rate600 down400 down500q50 loss20 shared}

# From relay summary lines on stdin: what the path's queue dropped, either way, of what met it.
queue_dropped() {
  sed -n 's/.*: up \([0-9]*\) down \([0-9]*\),.*; up: lost \([0-9]*\), copied \([0-9]*\), overflow \([0-9]*\); down: lost \([0-9]*\), copied \([0-9]*\), overflow \([0-9]*\).*/\1 \2 \3 \4 \5 \6 \7 \8/p' |
    awk '{ up += $1; over_up += $5; down += $2 - $7 + $6 + $8; over_down += $8 }
         END { u = up ? over_up / up : 0; d = down ? over_down / down : 0; printf "%.4f\n", (u > d ? u : d) }'
}

# From the relay's summary on stdin: the longer median wait for the rate, either way (ms; 0 without).
queue_wait() {
  sed -n 's/^wait for the rate: //p' | tr ';' '\n' |
    awk '{ for (i = 1; i <= NF; i++) if ($i == "median") m = ($(i + 1) > m ? $(i + 1) : m) } END { print m + 0 }'
}

# One download of $3 bytes by client $2 (fetch or fast) in case $1 against fresh processes:
# appends "case client bytes wall_s exit gets_per_chunk dropped wait_ms" to pathfit.txt.
pathfit_download() {
  local key=$1 client=$2 bytes=$3 where options figures port dropped=0 wait=0 relay=
  IFS='|' read -r _ where _ <<<"$(printf '%s\n' "${PATHFIT_TABLE[@]}" | grep "^$key|")"
  read -r where options <<<"$where"
  # shellcheck disable=SC2086  # the options are words
  if [[ $where == server ]]; then
    start_daemon "$bin/bench/bench-path-server" $options PORT
    port=$daemon_port
  else
    start_daemon "$bin/drovik-server" PORT
    server_port=$daemon_port
    start_relay_with pathfit -o /dev/null $options
    relay=$relay_pid
    port=$relay_port
  fi
  figures=$(measured_download "$client" "$bytes" "$port")
  if [[ -n $relay ]]; then
    stop_daemon "$relay"
    dropped=$(queue_dropped <"$out/relay-pathfit.err")
    wait=$(queue_wait <"$out/relay-pathfit.err")
  fi
  stop_daemon "$daemon_pid"
  echo "$key $client $bytes $(cut -d' ' -f1,5,6 <<<"$figures") $dropped $wait" >>"$out/pathfit.txt"
}

# Three fetches of 5 MB started PATHFIT_GAP apart through one relay tracing to
# pathfit-shared-$1.csv: appends "shared-$1 jain worst_window_% dropped" to pathfit.txt.
pathfit_shared() {
  local run=$1 trace="$out/pathfit-shared-$1.csv"
  start_daemon "$bin/drovik-server" PORT
  server_port=$daemon_port
  start_relay_with pathfit -o "$trace" "${PATHFIT_SHARED[@]}"
  staggered_fetches 3 5000000 "$relay_port" "$PATHFIT_GAP" pathfit-shared
  stop_daemon "$relay_pid"
  stop_daemon "$daemon_pid"
  echo "shared-$run $(awk '{ r = 5000 / $1; s += r; q += r * r; n++ } END { printf "%.3f", s * s / (n * q) }' \
    "$out"/pathfit-shared-?.txt)" \
    "$(CEILING_KBPS=$PATHFIT_SHARED_KBPS share_windows <"$trace" | awk '{ printf "%.0f", 100 * $1 }')" \
    "$(queue_dropped <"$out/relay-pathfit.err")" >>"$out/pathfit.txt"
  rm -f "$out"/pathfit-shared-?.txt
}

measure_pathfit() {
  local run key fetch_sizes fast_sizes bytes entry
  echo "Measuring drovik-fetch and drovik-client-fast on other paths..." >&2
  for run in $(seq "$PATHFIT_RUNS"); do
    for entry in "${PATHFIT_TABLE[@]}"; do
      IFS='|' read -r key _ _ _ fetch_sizes fast_sizes <<<"$entry"
      [[ " $PATHFIT_CASES " == *" $key "* ]] || continue
      for bytes in $fetch_sizes; do pathfit_download "$key" fetch "$bytes"; done
      for bytes in $fast_sizes; do pathfit_download "$key" fast "$bytes"; done
    done
    [[ " $PATHFIT_CASES " != *" shared "* ]] || pathfit_shared "$run"
  done
}

# The median of column $4 of pathfit.txt for case $1, client $2 and size $3; nothing when none ran.
pathfit_median() {
  local values
  values=$(awk -v k="$1" -v c="$2" -v b="$3" "\$1 == k && \$2 == c && \$3 == b { print \$$4 }" "$out/pathfit.txt")
  [[ -z $values ]] || summary %.6f <<<"$values" | cut -d' ' -f1
}

pathfit_tables() {
  local entry key where ceiling trip fetch_sizes fast_sizes bytes client bound
  echo
  echo "drovik-fetch and drovik-client-fast on other paths, fresh processes per run; median (min–max):"
  echo
  echo "| Case | Path | Client | Bytes | Runs | Wall time (s) | Bound (s) | GETs per chunk | Dropped by the path's queue (%) | Median wait for the rate (ms) |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for entry in "${PATHFIT_TABLE[@]}"; do
    IFS='|' read -r key where ceiling trip fetch_sizes fast_sizes <<<"$entry"
    for client in fetch fast; do
      for bytes in $([[ $client == fetch ]] && echo "$fetch_sizes" || echo "$fast_sizes"); do
        grep -q "^$key $client $bytes " "$out/pathfit.txt" 2>/dev/null || continue
        bound=$([[ $ceiling == - ]] && echo – || awk -v b="$bytes" -v c="$ceiling" -v t="$trip" \
          'BEGIN { printf "%.2f", b / 1000 / c + 2 * t }')
        printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$key" "$where" \
          "$([[ $client == fast ]] && echo drovik-client-fast || echo drovik-fetch)" "$bytes" \
          "$(awk -v k="$key" -v c="$client" -v b="$bytes" '$1 == k && $2 == c && $3 == b' "$out/pathfit.txt" | wc -l)" \
          "$(awk -v k="$key" -v c="$client" -v b="$bytes" '$1 == k && $2 == c && $3 == b { print $4 }' "$out/pathfit.txt" | summary %.2f)" \
          "$bound" \
          "$([[ $client == fast ]] && echo – || awk -v k="$key" -v c="$client" -v b="$bytes" '$1 == k && $2 == c && $3 == b { print $6 }' "$out/pathfit.txt" | summary %.2f)" \
          "$(awk -v k="$key" -v c="$client" -v b="$bytes" '$1 == k && $2 == c && $3 == b { print 100 * $7 }' "$out/pathfit.txt" | summary %.1f)" \
          "$(awk -v k="$key" -v c="$client" -v b="$bytes" '$1 == k && $2 == c && $3 == b { print $8 }' "$out/pathfit.txt" | summary %.0f)"
      done
    done
  done
  if grep -q '^shared-' "$out/pathfit.txt" 2>/dev/null; then
    echo
    echo "Three drovik-fetch downloads of 5 MB started $PATHFIT_GAP s apart through one drovik-trace" \
      "${PATHFIT_SHARED[*]} (worst window: the worst 2 s of any one, from 3 s after its start while a tenth of its" \
      "file is missing, against its fair share of $PATHFIT_SHARED_KBPS kB/s):"
    echo
    echo "| Run | Jain's index | Worst window (% of fair share) | Dropped by the path's queue (%) |"
    echo "|---|---|---|---|"
    awk '$1 ~ /^shared-/ { sub(/shared-/, "", $1); printf "| %s | %s | %s | %.1f |\n", $1, $2, $3, 100 * $4 }' "$out/pathfit.txt"
  fi
  pathfit_targets
}

# Each target with what was measured and whether it holds (only the cases that ran).
pathfit_targets() {
  local m f
  echo
  echo "drovik-fetch's targets on other paths:"
  echo
  echo "| Target | Measured | Met |"
  echo "|---|---|---|"
  pathfit_bound_row() {
    m=$(pathfit_median "$1" fetch 5000000 4)
    [[ -n $m ]] || return 0
    target_row "$2, 5 MB: ≤ the bound, $3 s" "$(printf '%.2f s' "$m")" "$m <= $3"
  }
  m=$(pathfit_median short fetch 5000000 4) f=$(pathfit_median short fast 5000000 4)
  [[ -z $m || -z $f ]] || target_row "Server with delays 20–60 ms, 5 MB: no slower than drovik-client-fast" \
    "$(printf '%.2f s against %.2f s' "$m" "$f")" "$m <= $f"
  pathfit_bound_row long "--delay 1000-2000 --queue 5000" 14.25
  m=$(pathfit_median long fetch 1000000 4) f=$(pathfit_median long fast 1000000 4)
  [[ -z $m || -z $f ]] || target_row "The same, 1 MB: ≥ 1.0 × drovik-client-fast" \
    "$(awk -v a="$f" -v b="$m" 'BEGIN { printf "%.2f s against %.2f s, %.2f ×", b, a, a / b }')" "$f / $m >= 1.0"
  pathfit_bound_row rate600 "--rate 600" 18.67
  pathfit_bound_row down400 "--rate 400 --shape down" 17.63
  m=$(pathfit_median down400 fetch 1000000 4) f=$(pathfit_median down400 fast 1000000 4)
  [[ -z $m || -z $f ]] || target_row "The same, 1 MB: ≥ 1.5 × drovik-client-fast" \
    "$(awk -v a="$f" -v b="$m" 'BEGIN { printf "%.2f s against %.2f s, %.2f ×", b, a, a / b }')" "$f / $m >= 1.5"
  pathfit_bound_row down500q50 "--rate 500 --shape down --queue 50 (no worse than 14.3 s)" 14.5
  pathfit_bound_row loss20 "--loss 0.2" 9.81
  m=$(pathfit_median rate600 fetch 5000000 7)
  [[ -z $m ]] || target_row "What --rate 600's queue drops of what drovik-fetch sends into it: ≤ 5 %" \
    "$(awk -v d="$m" 'BEGIN { printf "%.1f %%", 100 * d }')" "$m <= 0.05"
  m=$(pathfit_median rate600 fetch 5000000 8)
  [[ -z $m ]] || target_row "The median wait in --rate 600's queue (--queue 1000) with drovik-fetch: ≤ 200 ms" \
    "$(printf '%.0f ms' "$m")" "$m <= 200"
  if grep -q '^shared-' "$out/pathfit.txt" 2>/dev/null; then
    target_row "Three fetches through one ${PATHFIT_SHARED[*]} relay: Jain ≥ 0.95, worst window ≥ 40 %" \
      "$(awk '$1 ~ /^shared-/ { printf "%s%s / %s %%", (n++ ? "; " : ""), $2, $3 }' "$out/pathfit.txt")" \
      "$(awk 'BEGIN { ok = 1 } $1 ~ /^shared-/ { ok = ok && $2 >= 0.95 && $3 >= 40 } END { print ok }' "$out/pathfit.txt") == 1"
  fi
}

# The picture of docs/fetch-policy.md: the simulation's first run of 5 MB behind --rate 600.
pathfit_picture() {
  cmake --build "$bin" --target bench-fetch-sim >/dev/null
  "$bin/bench/bench-fetch-sim" --series rate600 >"$out/pathfit-rate600.dat"
  gnuplot -e "data='$out/pathfit-rate600.dat'; output='docs/fetch-path.png'; rate=600; way=5; label='--rate 600'" \
    bench/fetch_path.gp
}

bench_pathfit() {
  rm -f "$out/pathfit.txt"
  measure_pathfit
  pathfit_picture
  pathfit_tables
}
