# drovik-fetch's block of scripts/bench.sh: drovik-fetch against drovik-client-fast in the same
# run, several fetches sharing a server, mirrors, a server with other constants, memory at the
# largest size, and two pictures. Sourced by scripts/bench.sh, whose helpers it uses.
# The run counts may be set from the environment for a quick look (FETCH_RUNS=1 ...).

FETCH_SIZES=(100000 1000000 5000000)
FETCH_RUNS=${FETCH_RUNS:-5}
FETCH_LARGE=${FETCH_LARGE:-20000000}
SHARED_RUNS=${SHARED_RUNS:-3}
MIRROR_RUNS=${MIRROR_RUNS:-5}
OTHER_RUNS=${OTHER_RUNS:-3}
OTHER_PATH=(--loss 20 --dup 10 --delay 100-300 --cap 500)
CEILING_KBPS=800  # what the reference server can deliver to anyone

# One measured download into $out/fetch-KEY.bin: client $1 (fetch, fast or slow) fetches $2
# bytes from the server on port $3, fetch with the ports after it as mirrors. Prints
# "wall_s user_s sys_s peak_rss_kb exit gets_per_chunk" (gets_per_chunk: - but for fetch).
measured_download() {
  local client=$1 bytes=$2 port=$3 file="$out/fetch-$BASHPID.bin" log="$out/fetch-$BASHPID.log" gets=-
  local command=("$bin/drovik-client-$client" 127.0.0.1 "$port" "$file" "$bytes") mirror figures
  shift 3
  if [[ $client == fetch ]]; then
    command=("$bin/drovik-fetch" --quiet --stats)
    for mirror in "$@"; do command+=(--mirror "127.0.0.1:$mirror"); done
    command+=(127.0.0.1 "$port" "$file" "$bytes")
  fi
  figures=$("$bin/bench/bench-run" --timeout 300 -- "${command[@]}" 2>"$log")
  if [[ $client == fetch ]]; then
    gets=$(sed -n 's/.* \([0-9.]*\) GETs per chunk.*/\1/p' "$log")
  fi
  "$bin/verify-download" "$file" "$bytes" >/dev/null
  rm -f "$file" "$log"
  echo "$figures $gets"
}

# Starts a fresh server: drovik-server ($1 = reference) or bench-path-server on OTHER_PATH ($1 = other).
start_server() {
  if [[ $1 == other ]]; then
    start_daemon "$bin/bench/bench-path-server" "${OTHER_PATH[@]}" PORT
  else
    start_daemon "$bin/drovik-server" PORT
  fi
}

# One download against fresh servers: $1 is the row's key in fetch.txt, $2 the client, $3 the
# bytes, $4 the kind of server (reference or other), then "mirror" for a second such server or
# "dead" for a mirror where nothing listens.
fetch_row() {
  local key=$1 client=$2 bytes=$3 kind=$4 mirror=${5:-} servers=() ports=() pid
  start_server "$kind"
  servers+=("$daemon_pid")
  ports+=("$daemon_port")
  if [[ $mirror == mirror ]]; then
    start_server "$kind"
    servers+=("$daemon_pid")
    ports+=("$daemon_port")
  elif [[ $mirror == dead ]]; then
    ports+=("$(free_udp_port)")
  fi
  echo "$key $(measured_download "$client" "$bytes" "${ports[@]}")" >>"$out/fetch.txt"
  for pid in "${servers[@]}"; do stop_daemon "$pid"; done
}

# Four fetches of 5 MB against one fresh server, started $2 s apart: appends
# "MODE-RUN seconds" for each to fetch-shared.txt, where MODE is $1.
shared_run() {
  local mode=$1 gap=$2 run=$3 pids=() k
  start_daemon "$bin/drovik-server" PORT
  for k in 0 1 2 3; do
    (measured_download fetch 5000000 "$daemon_port" >"$out/shared-$k.txt") &
    pids+=($!)
    started+=($!)
    sleep "$gap"
  done
  wait "${pids[@]}"
  for k in 0 1 2 3; do
    echo "$mode-$run $(cut -d' ' -f1 "$out/shared-$k.txt")" >>"$out/fetch-shared.txt"
  done
  stop_daemon "$daemon_pid"
  rm -f "$out"/shared-*.txt
}

# Rate, Jain's index of the rates, and slowest over fastest for the lines of fetch-shared.txt
# with key $1; the sharing started $2 s apart: "each_s... all_done_s total_kBps jain spread".
shared_figures() {
  awk -v key="$1" -v gap="$2" 'BEGIN { n = 0 } $1 == key { t[n] = $2; done = t[n] + n * gap; if (done > all) all = done
      r = 5000 / t[n]; sum += r; squares += r * r; if (!n || t[n] > slow) slow = t[n]
      if (!n || t[n] < fast) fast = t[n]; n++ }
    END { for (i = 0; i < n; i++) printf "%.1f ", t[i]
          printf "%.1f %.0f %.3f %.2f\n", all, 4 * 5000 / all, sum * sum / (n * squares), slow / fast }' \
    "$out/fetch-shared.txt"
}

# A fresh server behind a fresh relay tracing to $1 (see start_relay).
start_traced_server() {
  start_daemon "$bin/drovik-server" PORT
  start_relay "$1" "$daemon_port"
}

# The two pictures: useful bytes over time for fast and fetch (from traces), and the
# four fetches started a second apart, through one relay, drawn by drovik-trace-plot.
fetch_pictures() {
  local client pids=() k
  for client in fast fetch; do
    start_traced_server "$out/trace-$client.csv"
    measured_download "$client" 5000000 "$relay_port" >/dev/null
    stop_daemon "$relay_pid"
    stop_daemon "$daemon_pid"
    awk -F, -v c="$client" 'NR > 1 && $8 == 1 { n++; print $1, n / 1000 }' "$out/trace-$client.csv" \
      >"$out/progress-$client-5mb.dat"
  done
  gnuplot -e "fast='$out/progress-fast-5mb.dat'; fetch='$out/progress-fetch-5mb.dat'; output='docs/fetch-progress.png'" \
    bench/fetch_progress.gp
  start_traced_server "$out/trace-four.csv"
  for k in 0 1 2 3; do
    (measured_download fetch 5000000 "$relay_port" >/dev/null) &
    pids+=($!)
    started+=($!)
    sleep 1
  done
  wait "${pids[@]}"
  stop_daemon "$relay_pid"
  stop_daemon "$daemon_pid"
  src/trace/drovik-trace-plot "$out/trace-four.csv" docs/fetch-sharing.png
}

# drovik-fetch's resident memory at the largest size, waiting on a silent peer.
fetch_largest_rss_kb() {
  local peer client
  start_daemon "$bin/bench/bench-silent-peer" PORT
  peer=$daemon_pid
  "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" "$out/largest.bin" "$LARGEST_SIZE" 2>/dev/null &
  client=$!
  started+=("$client")
  wait_udp_queued "$daemon_port"
  sleep 2  # the record and the engine are allocated at the start; let the loop settle
  awk '/^VmRSS/ { print $2 }' "/proc/$client/status"
  stop_daemon "$client"
  stop_daemon "$peer"
  rm -f "$out/largest.bin" "$out/largest.bin.part" "$out/largest.bin.part.map"
}

measure_fetch() {
  local bytes run client
  echo "Measuring drovik-fetch against drovik-client-fast..." >&2
  for bytes in "${FETCH_SIZES[@]}"; do
    for run in $(seq "$FETCH_RUNS"); do
      for client in fetch fast; do fetch_row "$client:$bytes" "$client" "$bytes" reference; done
    done
  done
  for client in fetch fast; do fetch_row "$client:$FETCH_LARGE" "$client" "$FETCH_LARGE" reference; done
  echo "Measuring fetches that share a server..." >&2
  for run in $(seq "$SHARED_RUNS"); do
    shared_run together 0 "$run"
    shared_run apart 1 "$run"
  done
  echo "Measuring mirrors and a server with other constants..." >&2
  for run in $(seq "$MIRROR_RUNS"); do
    fetch_row two:5000000 fetch 5000000 reference mirror
    fetch_row alone:2000000 fetch 2000000 reference
    fetch_row dead:2000000 fetch 2000000 reference dead
  done
  for run in $(seq "$OTHER_RUNS"); do
    for client in fetch fast; do
      fetch_row "other-$client:5000000" "$client" 5000000 other
    done
  done
  echo "Measuring memory at the largest size and drawing..." >&2
  fetch_largest_rss_kb >"$out/fetch-largest.txt"
  fetch_pictures
}

# The median of column $2 of fetch.txt for key $1.
fetch_median() { awk -v k="$1" "\$1 == k { print \$$2 }" "$out/fetch.txt" | summary %.6f | cut -d' ' -f1; }

fetch_tables() {
  local bytes client key
  echo
  echo "drovik-fetch and drovik-client-fast taking turns, a fresh server per download;" \
    "median (min–max):"
  echo
  echo "| Download | Runs | Wall time (s) | GETs per chunk | Client CPU (s) | Client CPU / wall | Peak RSS (MB) |"
  echo "|---|---|---|---|---|---|---|"
  for bytes in "${FETCH_SIZES[@]}" "$FETCH_LARGE"; do
    for client in fetch fast; do
      key="$client:$bytes"
      table_row fetch.txt "$key" "drovik-$([[ $client == fast ]] && echo client-)$client, $bytes bytes" \
        '$2@count' '$2@%.2f' "$([[ $client == fetch ]] && echo '$7@%.2f' || echo '$7@none')" \
        '$3 + $4@%.3f' '100 * ($3 + $4) / $2@%.1f%%' '$5 * 1024 / 1e6@%.1f'
    done
  done
  echo
  echo "Four drovik-fetch downloads of 5 MB from one server, $SHARED_RUNS runs each way:"
  echo
  echo "| Started | Run | Each download (s) | All done (s) | Total rate (kB/s) | Jain's index | Slowest / fastest |"
  echo "|---|---|---|---|---|---|---|"
  for key in together apart; do
    for run in $(seq "$SHARED_RUNS"); do
      read -r a b c d all rate jain spread <<<"$(shared_figures "$key-$run" "$([[ $key == apart ]] && echo 1 || echo 0)")"
      printf '| %s | %s | %s, %s, %s, %s | %s | %s | %s | %s |\n' \
        "$([[ $key == apart ]] && echo "one second apart" || echo together)" "$run" "$a" "$b" "$c" "$d" \
        "$all" "$rate" "$jain" "$spread"
    done
  done
  echo
  echo "Several servers and other constants, a fresh server (or two) per run; median (min–max):"
  echo
  echo "| Download | Runs | Wall time (s) | GETs per chunk | Client CPU (s) | Peak RSS (MB) |"
  echo "|---|---|---|---|---|---|"
  table_row fetch.txt fetch:5000000 "5 MB, one server" '$2@count' '$2@%.2f' '$7@%.2f' '$3 + $4@%.3f' '$5 * 1024 / 1e6@%.1f'
  table_row fetch.txt two:5000000 "5 MB, two servers (--mirror)" '$2@count' '$2@%.2f' '$7@%.2f' '$3 + $4@%.3f' '$5 * 1024 / 1e6@%.1f'
  table_row fetch.txt alone:2000000 "2 MB, one server" '$2@count' '$2@%.2f' '$7@%.2f' '$3 + $4@%.3f' '$5 * 1024 / 1e6@%.1f'
  table_row fetch.txt dead:2000000 "2 MB, one server and a mirror where nothing listens" '$2@count' '$2@%.2f' '$7@%.2f' '$3 + $4@%.3f' '$5 * 1024 / 1e6@%.1f'
  table_row fetch.txt other-fetch:5000000 "5 MB from bench-path-server ${OTHER_PATH[*]}, drovik-fetch" '$2@count' '$2@%.2f' '$7@%.2f' '$3 + $4@%.3f' '$5 * 1024 / 1e6@%.1f'
  table_row fetch.txt other-fast:5000000 "the same, drovik-client-fast" '$2@count' '$2@%.2f' '$7@none' '$3 + $4@%.3f' '$5 * 1024 / 1e6@%.1f'
  fetch_targets
}

# Each target of drovik-fetch with what was measured and whether it holds.
fetch_targets() {
  local m5 f5 m20 f20 g5 g20 m1 f1 m100 f100 two dead alone ofetch ofast cpu rss together apart
  m100=$(fetch_median fetch:100000 2) f100=$(fetch_median fast:100000 2)
  m1=$(fetch_median fetch:1000000 2) f1=$(fetch_median fast:1000000 2)
  m5=$(fetch_median fetch:5000000 2) f5=$(fetch_median fast:5000000 2)
  m20=$(fetch_median "fetch:$FETCH_LARGE" 2) f20=$(fetch_median "fast:$FETCH_LARGE" 2)
  g5=$(fetch_median fetch:5000000 7) g20=$(fetch_median "fetch:$FETCH_LARGE" 7)
  two=$(fetch_median two:5000000 2) alone=$(fetch_median alone:2000000 2) dead=$(fetch_median dead:2000000 2)
  ofetch=$(fetch_median other-fetch:5000000 2) ofast=$(fetch_median other-fast:5000000 2)
  cpu=$(awk '$1 ~ /fetch|two|alone|dead/ { c = 100 * ($3 + $4) / $2; if (c > m) m = c } END { print m }' "$out/fetch.txt")
  rss=$(awk '{ printf "%.1f", $1 * 1024 / 1e6 }' "$out/fetch-largest.txt")
  together=$(for run in $(seq "$SHARED_RUNS"); do shared_figures "together-$run" 0; done)
  apart=$(for run in $(seq "$SHARED_RUNS"); do shared_figures "apart-$run" 1; done)
  echo
  echo "drovik-fetch's targets:"
  echo
  echo "| Target | Measured | Met |"
  echo "|---|---|---|"
  target_row "5 MB: median ≤ 9.5 s, ≥ 2.5 × faster than drovik-client-fast" \
    "$(printf '%.2f s, %.2f × faster' "$m5" "$(awk -v a="$f5" -v b="$m5" 'BEGIN { print a / b }')")" \
    "$m5 <= 9.5 && $f5 / $m5 >= 2.5"
  target_row "20 MB: ≥ 75 % of $CEILING_KBPS kB/s (≤ 33 s)" \
    "$(printf '%.2f s, %.0f %%' "$m20" "$(awk -v t="$m20" -v c="$CEILING_KBPS" 'BEGIN { print 100 * 20000 / t / c }')")" \
    "$m20 <= 33.3"
  target_row "1 MB / 100 kB: median ≤ 3.6 s / ≤ 1.5 s, never slower than drovik-client-fast" \
    "$(printf '%.2f s (fast %.2f) / %.2f s (fast %.2f)' "$m1" "$f1" "$m100" "$f100")" \
    "$m1 <= 3.6 && $m100 <= 1.5 && $m100 <= $f100 && $m1 <= $f1 && $m5 <= $f5 && $m20 <= $f20"
  target_row "GETs per chunk at 5 MB and above ≤ 4" "$(printf '%.2f at 5 MB, %.2f at 20 MB' "$g5" "$g20")" \
    "$g5 <= 4 && $g20 <= 4"
  target_row "Four fetches of 5 MB together: Jain ≥ 0.95, all done ≤ 35 s" \
    "$(awk '{ printf "%s%s s, Jain %s", (NR > 1 ? "; " : ""), $5, $7 }' <<<"$together")" \
    "$(awk '{ ok = ok && $5 <= 35 && $7 >= 0.95 } BEGIN { ok = 1 } END { print ok }' <<<"$together") == 1"
  target_row "Four fetches of 5 MB one second apart: Jain ≥ 0.95, slowest ≤ 1.5 × fastest" \
    "$(awk '{ printf "%sJain %s, %s ×", (NR > 1 ? "; " : ""), $7, $8 }' <<<"$apart")" \
    "$(awk '{ ok = ok && $7 >= 0.95 && $8 <= 1.5 } BEGIN { ok = 1 } END { print ok }' <<<"$apart") == 1"
  target_row "Two servers, 5 MB: ≥ 1.7 × faster than one" \
    "$(printf '%.2f s, %.2f × faster' "$two" "$(awk -v a="$m5" -v b="$two" 'BEGIN { print a / b }')")" \
    "$m5 / $two >= 1.7"
  target_row "A live server and a dead mirror, 2 MB: ≤ 1.5 × the live server alone" \
    "$(printf '%.2f s against %.2f s, %.2f ×' "$dead" "$alone" "$(awk -v a="$dead" -v b="$alone" 'BEGIN { print a / b }')")" \
    "$dead / $alone <= 1.5"
  target_row "Server with other constants, 5 MB: ≥ 1.5 × faster than drovik-client-fast" \
    "$(printf '%.2f s against %.2f s, %.2f ×' "$ofetch" "$ofast" "$(awk -v a="$ofast" -v b="$ofetch" 'BEGIN { print a / b }')")" \
    "$ofast / $ofetch >= 1.5"
  target_row "Client CPU ≤ 10 % of wall time; ≤ 80 MB resident at $LARGEST_SIZE bytes" \
    "$(printf '%.1f %% at worst; %s MB' "$cpu" "$rss")" "$cpu <= 10 && $rss <= 80"
}

bench_fetch() {
  measure_fetch
  fetch_tables
}
