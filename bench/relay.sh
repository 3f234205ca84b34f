# drovik-trace's block of scripts/bench.sh: does relaying slow the transfer down, and what
# does it add to a round trip? Sourced by scripts/bench.sh, whose helpers it uses.

# ---- drovik-trace: does relaying slow the transfer down? --------------------------
# One fast download of RELAY_BYTES from a fresh server, to it directly ($1 = direct) or
# through a fresh drovik-trace ($1 = relay) that writes its trace to a file: appends
# "path wall_s user_s sys_s peak_rss_kb exit relay_cpu_s" to relay.txt.
relay_download() {
  local path=$1 file="$out/relay.bin" target figures server relay= relay_cpu=0
  start_daemon "$bin/drovik-server" PORT
  server=$daemon_pid
  target=$daemon_port
  if [[ $path == relay ]]; then
    start_relay "$out/relay-trace.csv" "$daemon_port"
    relay=$relay_pid
    target=$relay_port
  fi
  figures=$("$bin/bench/bench-run" --timeout 300 -- \
    "$bin/drovik-client-fast" 127.0.0.1 "$target" "$file" "$RELAY_BYTES")
  if [[ -n $relay ]]; then
    relay_cpu=$(cpu_seconds "$relay")
    stop_daemon "$relay"
  fi
  echo "$path $figures $relay_cpu" >>"$out/relay.txt"
  stop_daemon "$server"
  "$bin/verify-download" "$file" "$RELAY_BYTES" >/dev/null
  rm -f "$file" "$out/relay-trace.csv"
}

# Round trips of one datagram at a time to an echo process, directly and through
# drovik-trace: appends "path median_us p90_us p99_us lost" to relay-latency.txt.
relay_latency() {
  local echo
  start_daemon "$bin/bench/bench-echo-latency" echo PORT
  echo=$daemon_pid
  echo "direct $("$bin/bench/bench-echo-latency" ping "$daemon_port" "$PING_COUNT")" >>"$out/relay-latency.txt"
  start_relay "$out/relay-latency.csv" "$daemon_port"
  echo "relay $("$bin/bench/bench-echo-latency" ping "$relay_port" "$PING_COUNT")" >>"$out/relay-latency.txt"
  stop_daemon "$relay_pid"
  stop_daemon "$echo"
  rm -f "$out/relay-latency.csv"
}

# Measures both, direct and relayed runs taking turns, and prints the tables.
bench_relay() {
  echo "Measuring drovik-trace..." >&2
  for _ in $(seq "$RELAY_RUNS"); do
    relay_download direct
    relay_download relay
  done
  for _ in $(seq "$PING_ROUNDS"); do relay_latency; done
  echo
  echo "drovik-client-fast, $RELAY_BYTES bytes, a fresh server (and relay) per run, direct and relayed" \
    "runs taking turns; median (min–max):"
  echo
  echo "| Path | Runs | Wall time (s) | Client CPU (s) | Relay CPU (s) |"
  echo "|---|---|---|---|---|"
  table_row relay.txt direct "client to server" '$2@count' '$2@%.2f' '$3 + $4@%.3f' '$7@none'
  table_row relay.txt relay "through drovik-trace" '$2@count' '$2@%.2f' '$3 + $4@%.3f' '$7@%.3f'
  echo
  echo "Round trip of one 1017-byte datagram to an echo, $PING_COUNT pings per round, $PING_ROUNDS rounds;" \
    "median (min–max) of the rounds' figures, µs:"
  echo
  echo "| Path | Median | 90th percentile | 99th percentile | Lost |"
  echo "|---|---|---|---|---|"
  for path in direct relay; do
    table_row relay-latency.txt "$path" "$([[ $path == direct ]] && echo "to the echo" || echo "through drovik-trace")" \
      '$2@%.1f' '$3@%.1f' '$4@%.1f' '$5@sum'
  done
}

