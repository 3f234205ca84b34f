# The block of scripts/bench.sh behind docs/paths.md: drovik-client-fast and drovik-fetch
# through drovik-trace playing a few paths in front of drovik-server, a table and a picture,
# and the trace of one download on a path, drawn.
# Sourced by scripts/bench.sh, whose helpers (and relay.sh's start_relay_with) it uses.
# The run count and size may be set from the environment for a quick look (PATHS_RUNS=1 ...).

PATHS_BYTES=${PATHS_BYTES:-1000000}
PATHS_RUNS=${PATHS_RUNS:-3}
# A label and drovik-trace's options, one path each.
SHAPED_PATHS=(
  "no path of its own|"
  "loss 10 %|--loss 0.1"
  "loss 10 %, up only|--loss 0.1 --shape up"
  "delay 50–200 ms|--delay 50-200"
  "600 a second|--rate 600"
)

# One download of PATHS_BYTES by client $2 (fast or fetch) through a fresh relay playing path
# number $1 in front of a fresh server: appends "path client wall_s exit gets_per_chunk
# useful_percent overflow_up" to paths.txt, the last the datagrams the played path's queue
# dropped on the way up.
path_download() {
  local k=$1 client=$2 options command figures summary file="$out/paths.bin"
  IFS='|' read -r _ options <<<"${SHAPED_PATHS[$k]}"
  start_daemon "$bin/drovik-server" PORT
  server_port=$daemon_port
  # shellcheck disable=SC2086  # the options are words
  start_relay_with path -o /dev/null $options
  command=("$bin/drovik-client-fast" 127.0.0.1 "$relay_port" "$file" "$PATHS_BYTES")
  [[ $client == fast ]] || command=("$bin/drovik-fetch" --quiet 127.0.0.1 "$relay_port" "$file" "$PATHS_BYTES")
  figures=$("$bin/bench/bench-run" --timeout 300 -- "${command[@]}")
  "$bin/verify-download" "$file" "$PATHS_BYTES" >/dev/null
  stop_daemon "$relay_pid"
  stop_daemon "$daemon_pid"
  summary=$(head -n 1 "$out/relay-path.err")
  echo "$k $client $(cut -d' ' -f1,5 <<<"$figures")" \
    "$(sed -n 's/.*), \([0-9.-]*\) GETs per chunk, \([0-9.-]*\) % useful.*/\1 \2/p' <<<"$summary")" \
    "$(sed -n 's/.*; up: lost [0-9]*, copied [0-9]*, overflow \([0-9]*\);.*/\1/p' <<<"$summary" | grep . || echo 0)" \
    >>"$out/paths.txt"
  rm -f "$file" "$file.part" "$file.part.map"
}

# The table, and paths.dat for the picture: label, then median, min and max of each client.
paths_table() {
  local k label client
  echo
  echo "drovik-client-fast and drovik-fetch, $PATHS_BYTES bytes through drovik-trace playing each path" \
    "in front of drovik-server, a fresh server and relay per run; median (min–max):"
  echo
  echo "| Path | drovik-trace options | Client | Runs | Wall time (s) | GETs per chunk | Useful replies (%) | GETs dropped by the path's queue |"
  echo "|---|---|---|---|---|---|---|---|"
  : >"$out/paths.dat"
  for k in "${!SHAPED_PATHS[@]}"; do
    IFS='|' read -r label options <<<"${SHAPED_PATHS[$k]}"
    printf '"%s"' "$label" >>"$out/paths.dat"
    for client in fast fetch; do
      awk -v k="$k" -v c="$client" '$1 == k && $2 == c { print $3 }' "$out/paths.txt" | summary %.2f |
        awk '{ gsub(/[()–]/, " "); printf "\t%s\t%s\t%s", $1, $2, $3 }' >>"$out/paths.dat"
      printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "${options:-(none)}" \
        "$([[ $client == fast ]] && echo drovik-client-fast || echo drovik-fetch)" \
        "$(awk -v k="$k" -v c="$client" '$1 == k && $2 == c' "$out/paths.txt" | wc -l)" \
        "$(awk -v k="$k" -v c="$client" '$1 == k && $2 == c { print $3 }' "$out/paths.txt" | summary %.2f)" \
        "$(awk -v k="$k" -v c="$client" '$1 == k && $2 == c { print $5 }' "$out/paths.txt" | summary %.2f)" \
        "$(awk -v k="$k" -v c="$client" '$1 == k && $2 == c { print $6 }' "$out/paths.txt" | summary %.1f)" \
        "$(awk -v k="$k" -v c="$client" '$1 == k && $2 == c { print $7 }' "$out/paths.txt" | summary %.0f)"
    done
    echo >>"$out/paths.dat"
  done
}

# The trace of one fast download of PATHS_BYTES through --loss 0.1 --delay 50-200 --seed 1,
# drawn as docs/trace-shaped.png; its summary line in paths-trace.txt.
path_trace() {
  start_daemon "$bin/drovik-server" PORT
  server_port=$daemon_port
  start_relay_with trace --seed 1 --loss 0.1 --delay 50-200 -o "$out/paths-trace.csv"
  "$bin/drovik-client-fast" 127.0.0.1 "$relay_port" "$out/paths.bin" "$PATHS_BYTES" >/dev/null
  "$bin/verify-download" "$out/paths.bin" "$PATHS_BYTES" >/dev/null
  stop_daemon "$relay_pid"
  stop_daemon "$daemon_pid"
  cp "$out/relay-trace.err" "$out/paths-trace.txt"
  src/trace/drovik-trace-plot "$out/paths-trace.csv" docs/trace-shaped.png
  rm -f "$out/paths.bin"
}

bench_paths() {
  local run k client
  echo "Measuring shaped paths..." >&2
  rm -f "$out/paths.txt"
  for run in $(seq "$PATHS_RUNS"); do
    for k in "${!SHAPED_PATHS[@]}"; do
      for client in fast fetch; do path_download "$k" "$client"; done
    done
  done
  paths_table
  gnuplot -e "data='$out/paths.dat'; bytes=$PATHS_BYTES; output='docs/paths.png'" bench/paths.gp
  path_trace
}
