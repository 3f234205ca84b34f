# drovik-fetch's servers block of scripts/bench.sh: how several servers add up (20 MB from 1,
# 2, 4 and 8 fresh servers; 5 MB from one and two), the same server given twice, and four
# downloads of 5 MB started 2 s apart through one drovik-trace, judged from the trace by each
# one's useful rate along the way. Draws docs/fetch-scaling.png and docs/fetch-shares.png.
# Sourced by scripts/bench.sh after bench/fetch.sh, whose helpers it uses. SERVERS_RUNS=1
# SHARE_RUNS=1 for a quick look.

SERVERS_RUNS=${SERVERS_RUNS:-3}
SHARE_RUNS=${SHARE_RUNS:-3}
SERVERS_LARGE=20000000
SERVERS_SMALL=5000000
SERVER_COUNTS=(1 2 4 8)
SHARE_GAP=2  # seconds between the starts of the four shared downloads

# One download of $2 bytes from $3 fresh servers, or from one given twice ($3 = twice):
# appends "$1 wall_s gets_per_chunk" to servers.txt.
servers_row() {
  local key=$1 bytes=$2 count=$3 pids=() ports=() k figures
  [[ $count == twice ]] && count=1
  for ((k = 0; k < count; k++)); do
    start_daemon "$bin/drovik-server" PORT
    pids+=("$daemon_pid")
    ports+=("$daemon_port")
  done
  [[ $3 == twice ]] && ports+=("${ports[0]}")
  figures=$(measured_download fetch "$bytes" "${ports[@]}")
  echo "$key $(cut -d' ' -f1,6 <<<"$figures")" >>"$out/servers.txt"
  for k in "${pids[@]}"; do stop_daemon "$k"; done
}

# $1 downloads by drovik-fetch of $2 bytes from port $3, started $4 s apart: each one's
# figures go to $out/$5-K.txt, K from 0. Returns once all are done.
staggered_fetches() {
  local count=$1 bytes=$2 port=$3 gap=$4 prefix=$5 pids=() k
  for ((k = 0; k < count; k++)); do
    ((k == 0)) || sleep "$gap"
    (measured_download fetch "$bytes" "$port" >"$out/$prefix-$k.txt") &
    pids+=($!)
    started+=($!)
  done
  wait "${pids[@]}"
}

# Four downloads of 5 MB started SHARE_GAP apart through one relay tracing to
# servers-share-$1.csv: appends "share-$1 wall_s gets_per_chunk" for each to servers.txt.
share_run() {
  local run=$1 k
  start_traced_server "$out/servers-share-$run.csv"
  staggered_fetches 4 "$SERVERS_SMALL" "$relay_port" "$SHARE_GAP" share
  stop_daemon "$relay_pid"
  stop_daemon "$daemon_pid"
  for k in 0 1 2 3; do
    echo "share-$run $(cut -d' ' -f1,6 "$out/share-$k.txt")" >>"$out/servers.txt"
  done
  rm -f "$out"/share-?.txt
}

# From a trace on stdin: the worst 2 s window of any client, from 3 s after its first GET
# while a tenth of its data is still missing, as a share of its fair share (CEILING_KBPS
# over the clients running then): "share at_s client". With $1 = rates, instead each
# client's useful kB/s and the fair share in 0.5 s steps, for the picture.
share_windows() {
  awk -F, -v mode="${1:-worst}" -v cap="$CEILING_KBPS" '
    BEGIN { bin = 0.1; span = 20 }
    NR == 1 { next }
    !($2 in id) { id[$2] = ++n }
    { c = id[$2]; t = $1 + 0; b = int(t / bin); if (b > last) last = b }
    $3 == "up" && $4 == "GET" && !(c in start) { start[c] = t }
    $3 == "down" && $8 == "1" { got[c, b] += $6 / 1000; total[c] += $6 / 1000; if (t > end[c]) end[c] = t }
    END {
      for (b = 0; b <= last; b++) {
        for (c = 1; c <= n; c++) running[b] += b * bin >= start[c] && b * bin < end[c]
        due[b] = cap * bin / (running[b] ? running[b] : 1)
      }
      if (mode == "rates") {
        for (b = 0; b + 5 <= last; b += 5) {
          line = sprintf("%.1f", b * bin)
          for (c = 1; c <= n; c++) { s = 0; for (k = b; k < b + 5; k++) s += got[c, k]; line = line sprintf(" %.1f", s / (5 * bin)) }
          print line, (running[b] ? cap / running[b] : "NaN")
        }
        exit
      }
      worst = -1
      for (c = 1; c <= n; c++) {
        before = 0
        for (b = 0; b + span <= last; before += got[c, b++]) {
          if (b * bin < start[c] + 3) continue
          inside = 0; fair = 0
          for (k = b; k < b + span; k++) { inside += got[c, k]; fair += due[k] }
          if (before + inside > 0.9 * total[c]) break
          if (worst < 0 || inside / fair < worst) { worst = inside / fair; at = b * bin; who = c }
        }
      }
      printf "%.3f %.1f %d\n", worst, at, who
    }'
}

measure_servers() {
  local run count
  echo "Measuring drovik-fetch on several servers..." >&2
  for run in $(seq "$SERVERS_RUNS"); do
    for count in "${SERVER_COUNTS[@]}"; do servers_row "scale-$count" "$SERVERS_LARGE" "$count"; done
    servers_row one "$SERVERS_SMALL" 1
    servers_row two "$SERVERS_SMALL" 2
    servers_row twice "$SERVERS_SMALL" twice
  done
  echo "Measuring four drovik-fetch downloads sharing a server..." >&2
  for run in $(seq "$SHARE_RUNS"); do share_run "$run"; done
  servers_pictures
}

# The median of column $2 of servers.txt for key $1.
servers_median() { awk -v k="$1" "\$1 == k { print \$$2 }" "$out/servers.txt" | summary %.6f | cut -d' ' -f1; }

servers_pictures() {
  local count median
  for count in "${SERVER_COUNTS[@]}"; do
    median=$(servers_median "scale-$count" 2)
    echo "$count $median $(awk -v n="$count" -v t="$median" -v c="$CEILING_KBPS" \
      'BEGIN { printf "%.1f %.1f", 100 * 20000 / t / (n * c), 20000 / (n * c) }')"
  done >"$out/servers-scaling.dat"
  gnuplot -e "data='$out/servers-scaling.dat'; output='docs/fetch-scaling.png'" bench/fetch_scaling.gp
  share_windows rates <"$out/servers-share-1.csv" >"$out/servers-shares.dat"
  gnuplot -e "data='$out/servers-shares.dat'; output='docs/fetch-shares.png'; gap=$SHARE_GAP" bench/fetch_shares.gp
}

# "each_s... jain gets_per_chunk worst_window_% at_s client" for shared run $1.
share_figures() {
  awk -v key="share-$1" 'BEGIN { n = 0 } $1 == key { t[n] = $2; g += $3; r = 5000 / $2; sum += r; squares += r * r; n++ }
    END { for (i = 0; i < n; i++) printf "%.1f ", t[i]; printf "%.3f %.2f ", sum * sum / (n * squares), g / n }' \
    "$out/servers.txt"
  share_windows <"$out/servers-share-$1.csv" | awk '{ printf "%.0f %.1f %d\n", 100 * $1, $2, $3 }'
}

servers_tables() {
  local count one run plural
  one=$(servers_median scale-1 2)
  echo
  echo "drovik-fetch from several fresh servers, $SERVERS_RUNS runs each; median (min–max):"
  echo
  echo "| Download | Runs | Wall time (s) | GETs per chunk | × as fast as one server | % of what the servers can deliver |"
  echo "|---|---|---|---|---|---|"
  for count in "${SERVER_COUNTS[@]}"; do
    plural=$( ((count == 1)) || echo s)
    table_row servers.txt "scale-$count" "20 MB, $count server$plural" '$2@count' '$2@%.2f' '$3@%.2f' \
      "$one / \$2@%.2f" "100 * 20000 / \$2 / ($count * $CEILING_KBPS)@%.0f"
  done
  one=$(servers_median one 2)
  table_row servers.txt one "5 MB, one server" '$2@count' '$2@%.2f' '$3@%.2f' "$one / \$2@%.2f" \
    "100 * 5000 / \$2 / $CEILING_KBPS@%.0f"
  table_row servers.txt two "5 MB, two servers" '$2@count' '$2@%.2f' '$3@%.2f' "$one / \$2@%.2f" \
    "100 * 5000 / \$2 / (2 * $CEILING_KBPS)@%.0f"
  table_row servers.txt twice "5 MB, the same server given twice" '$2@count' '$2@%.2f' '$3@%.2f' \
    "$one / \$2@%.2f" "100 * 5000 / \$2 / $CEILING_KBPS@%.0f"
  echo
  echo "Four downloads of 5 MB started $SHARE_GAP s apart through one drovik-trace (each one's time"
  echo "from its own start; worst window: the worst 2 s of any one, from 3 s after its start while a"
  echo "tenth of its file is missing, against its fair share of $CEILING_KBPS kB/s):"
  echo
  echo "| Run | Each download (s) | Jain's index | GETs per chunk | Worst window (of fair share, at, client) |"
  echo "|---|---|---|---|---|"
  for run in $(seq "$SHARE_RUNS"); do
    read -r a b c d jain gets worst at who <<<"$(share_figures "$run")"
    printf '| %s | %s, %s, %s, %s | %s | %s | %s %% at %s s, client %s |\n' "$run" "$a" "$b" "$c" "$d" "$jain" \
      "$gets" "$worst" "$at" "$who"
  done
  servers_targets
}

# Each target of the servers block with what was measured and whether it holds.
servers_targets() {
  local one20 one5 ratio shares n
  one20=$(servers_median scale-1 2)
  one5=$(servers_median one 2)
  shares=$(for run in $(seq "$SHARE_RUNS"); do share_figures "$run"; done)
  echo
  echo "drovik-fetch's targets for several servers and a shared server:"
  echo
  echo "| Target | Measured | Met |"
  echo "|---|---|---|"
  for n in 2:1.85 4:3.3 8:5; do
    ratio=$(awk -v a="$one20" -v b="$(servers_median "scale-${n%:*}" 2)" 'BEGIN { printf "%.2f", a / b }')
    target_row "20 MB, ${n%:*} servers against one: ≥ ${n#*:} ×" "$ratio ×" "$ratio >= ${n#*:}"
  done
  ratio=$(awk -v a="$one5" -v b="$(servers_median two 2)" 'BEGIN { printf "%.2f", a / b }')
  target_row "5 MB, two servers against one: ≥ 1.6 ×" "$ratio ×" "$ratio >= 1.6"
  target_row "Four of 5 MB $SHARE_GAP s apart: worst window ≥ 40 % of the fair share" \
    "$(awk '{ printf "%s%s %%", (NR > 1 ? ", " : ""), $7 }' <<<"$shares")" \
    "$(awk 'BEGIN { ok = 1 } { ok = ok && $7 >= 40 } END { print ok }' <<<"$shares") == 1"
  target_row "The same: Jain's index ≥ 0.95, GETs per chunk ≤ 8" \
    "$(awk '{ printf "%s%s / %s", (NR > 1 ? "; " : ""), $5, $6 }' <<<"$shares")" \
    "$(awk 'BEGIN { ok = 1 } { ok = ok && $5 >= 0.95 && $6 <= 8 } END { print ok }' <<<"$shares") == 1"
  target_row "One server, 5 MB / 20 MB: ≤ 9.2 s / ≥ 82 % of $CEILING_KBPS kB/s" \
    "$(awk -v a="$one5" -v b="$one20" -v c="$CEILING_KBPS" 'BEGIN { printf "%.2f s / %.0f %%", a, 100 * 20000 / b / c }')" \
    "$one5 <= 9.2 && 20000 / $one20 / $CEILING_KBPS >= 0.82"
  target_row "The same server given twice, 5 MB: ≤ 4 GETs per chunk" \
    "$(printf '%.2f' "$(servers_median twice 3)") GETs per chunk" "$(servers_median twice 3) <= 4"
}

bench_servers() {
  measure_servers
  servers_tables
}
