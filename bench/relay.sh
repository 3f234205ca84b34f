# drovik-trace's block of scripts/bench.sh: does relaying slow the transfer down, and what
# does it add to a round trip? Then its targets: a reader that never reads, many source ports,
# the path it plays, a flood, junk from thousands of ports. Sourced by scripts/bench.sh, whose
# helpers it uses. RELAY_BASELINE, the path of another build of drovik-trace (main's, say),
# adds its figures for comparison.

# ---- drovik-trace: does relaying slow the transfer down? --------------------------
# One fast download of RELAY_BYTES from a fresh server, to it directly ($1 = direct) or
# through a fresh drovik-trace ($1 = relay, or baseline for RELAY_BASELINE) that writes its
# trace to a file: appends "path wall_s user_s sys_s peak_rss_kb exit relay_cpu_s" to relay.txt.
relay_download() {
  local path=$1 file="$out/relay.bin" target figures server relay= relay_cpu=0
  start_daemon "$bin/drovik-server" PORT
  server=$daemon_pid
  target=$daemon_port
  if [[ $path != direct ]]; then
    start_relay "$out/relay-trace.csv" "$daemon_port" "$([[ $path == baseline ]] && echo "$RELAY_BASELINE")"
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
# drovik-trace (and the baseline): appends "path median_us p90_us p99_us lost relay_cpu_us"
# to relay-latency.txt, the last the relay's CPU time per datagram passed.
relay_latency() {
  local echo path
  start_daemon "$bin/bench/bench-echo-latency" echo PORT
  echo=$daemon_pid
  echo "direct $("$bin/bench/bench-echo-latency" ping "$daemon_port" "$PING_COUNT") -" >>"$out/relay-latency.txt"
  for path in relay ${RELAY_BASELINE:+baseline}; do
    start_relay "$out/relay-latency.csv" "$daemon_port" "$([[ $path == baseline ]] && echo "$RELAY_BASELINE")"
    # Two datagrams a ping, the 200 of warm-up included.
    echo "$path $("$bin/bench/bench-echo-latency" ping "$relay_port" "$PING_COUNT")" \
      "$(awk -v c="$(cpu_seconds "$relay_pid")" -v n="$PING_COUNT" 'BEGIN { printf "%.3f", 1e6 * c / (2 * (n + 200)) }')" \
      >>"$out/relay-latency.txt"
    stop_daemon "$relay_pid"
  done
  stop_daemon "$echo"
  rm -f "$out/relay-latency.csv"
}

# Measures both, direct and relayed runs taking turns, and prints the tables.
bench_relay() {
  echo "Measuring drovik-trace..." >&2
  for _ in $(seq "$RELAY_RUNS"); do
    relay_download direct
    relay_download relay
    [[ -z ${RELAY_BASELINE:-} ]] || relay_download baseline
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
  [[ -z ${RELAY_BASELINE:-} ]] ||
    table_row relay.txt baseline "through $RELAY_BASELINE" '$2@count' '$2@%.2f' '$3 + $4@%.3f' '$7@%.3f'
  echo
  echo "Round trip of one 1017-byte datagram to an echo, $PING_COUNT pings per round, $PING_ROUNDS rounds;" \
    "median (min–max) of the rounds' figures, µs:"
  echo
  echo "| Path | Median | 90th percentile | 99th percentile | Lost | Relay CPU per datagram |"
  echo "|---|---|---|---|---|---|"
  for path in direct relay ${RELAY_BASELINE:+baseline}; do
    table_row relay-latency.txt "$path" \
      "$(case $path in direct) echo "to the echo" ;; relay) echo "through drovik-trace" ;; *) echo "through $RELAY_BASELINE" ;; esac)" \
      '$2@%.1f' '$3@%.1f' '$4@%.1f' '$5@sum' "\$6@$([[ $path == direct ]] && echo none || echo %.2f)"
  done
  measure_relay_targets
  relay_targets
  unshaped_target
}

# Without shaping options, as fast as before: a relayed download no slower than a direct one,
# and per datagram the round trip added and the relay's CPU within 10 % of the baseline's
# when there is one, else at most the 60 µs added before.
unshaped_target() {
  local direct relayed added cpu base_added base_cpu verdict bound="at most 60 µs added"
  median_of() { awk -v p="$2" '$1 == p { print $'"$3"' }' "$out/$1" | summary %.6f | cut -d' ' -f1; }
  direct=$(median_of relay.txt direct 2)
  relayed=$(median_of relay.txt relay 2)
  added=$(awk -v r="$(median_of relay-latency.txt relay 2)" -v d="$(median_of relay-latency.txt direct 2)" 'BEGIN { print r - d }')
  cpu=$(median_of relay-latency.txt relay 6)
  verdict="$relayed <= 1.1 * $direct && $added <= 60"
  if [[ -n ${RELAY_BASELINE:-} ]]; then
    base_added=$(awk -v r="$(median_of relay-latency.txt baseline 2)" -v d="$(median_of relay-latency.txt direct 2)" 'BEGIN { print r - d }')
    base_cpu=$(median_of relay-latency.txt baseline 6)
    verdict="$relayed <= 1.1 * $direct && $added <= 1.1 * $base_added && $cpu <= 1.1 * $base_cpu"
    bound="within 10 % of the baseline's"
  fi
  target_row "No shaping options: a relayed download within 10 % of the direct one; per datagram, the round trip added and the relay's CPU $bound" \
    "$(printf '%.2f s against %.2f s; %.1f µs added, %.2f µs of CPU' "$relayed" "$direct" "$added" "$cpu")${base_added:+ (the baseline $(printf '%.1f µs and %.2f µs' "$base_added" "$base_cpu"))}" \
    "$verdict"
}

# ---- drovik-trace's targets: a stuck reader, many source ports, the played path ----------
# Junk sources a second for the many-ports targets: about what the relay takes in on this
# machine while it opens a socket for each.
JUNK_RATE=${JUNK_RATE:-10000}
# Each appends one line to bench/out/relay-targets.txt; relay_targets prints the table.

# Starts drovik-trace (or RELAY_PROGRAM) with options "$@" (before its ports) in front of the
# server on port $server_port, its summary in relay-$key.err; sets relay_pid and relay_port
# once it is bound.
start_relay_with() {
  local key=$1
  shift
  relay_port=$(free_udp_port)
  "${RELAY_PROGRAM:-$bin/drovik-trace}" "$@" "$relay_port" 127.0.0.1 "$server_port" 2>"$out/relay-$key.err" &
  relay_pid=$!
  started+=("$relay_pid")
  wait_udp_bound "$relay_port"
}

# A fast download of RELAY_BYTES through a relay whose CSV goes to a pipe nobody reads (the
# bench holds the pipe's other end and never reads it), then SIGTERM: appends
# "stuck wall_s exit verified end_s relay_status".
relay_stuck() {
  local fifo="$out/relay-stuck.fifo" hold figures verified=yes begin status=0
  start_daemon "$bin/drovik-server" PORT
  server_port=$daemon_port
  rm -f "$fifo"
  mkfifo "$fifo"
  exec {hold}<>"$fifo"
  start_relay_with stuck >"$fifo"
  figures=$("$bin/bench/bench-run" --timeout 120 -- \
    "$bin/drovik-client-fast" 127.0.0.1 "$relay_port" "$out/relay.bin" "$RELAY_BYTES")
  "$bin/verify-download" "$out/relay.bin" "$RELAY_BYTES" >/dev/null || verified=no
  begin=$(date +%s.%N)
  kill -TERM "$relay_pid"
  wait "$relay_pid" || status=$?
  forget "$relay_pid"
  echo "stuck $(cut -d' ' -f1,5 <<<"$figures") $verified" \
    "$(awk -v b="$begin" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - b }') $status" >>"$out/relay-targets.txt"
  exec {hold}>&-
  stop_daemon "$daemon_pid"
  rm -f "$fifo" "$out/relay.bin"
}

# 600 source ports each send one GET through a relay, then a real fast download of 300000
# bytes: appends "crowded wall_s exit verified clients_forgotten_early".
relay_crowded() {
  local figures verified=yes
  start_daemon "$bin/drovik-server" PORT
  server_port=$daemon_port
  start_relay_with crowded -o /dev/null
  # Each redirection is a socket of its own, with a port of its own.
  for _ in $(seq 600); do printf 'GET 0 1000\n' >"/dev/udp/127.0.0.1/$relay_port"; done
  figures=$("$bin/bench/bench-run" --timeout 60 -- \
    "$bin/drovik-client-fast" 127.0.0.1 "$relay_port" "$out/relay.bin" 300000)
  "$bin/verify-download" "$out/relay.bin" 300000 >/dev/null || verified=no
  stop_daemon "$relay_pid"
  echo "crowded $(cut -d' ' -f1,5 <<<"$figures") $verified" \
    "$(sed -n 's/^\([0-9]*\) clients forgotten early.*/\1/p' "$out/relay-crowded.err")" >>"$out/relay-targets.txt"
  stop_daemon "$daemon_pid"
  rm -f "$out/relay.bin"
}

# Per direction from trace $1, "arrived lost relayed copies overflow most_in_a_second": every
# datagram the relay took in, what became of them, and the most that left in any one second.
fates() {
  awk -F, -v d="$2" 'NR > 1 && $3 == d {
      if ($9 == "lost") lost++; else if ($9 == "overflow") over++
      else { if ($9 == "copy") copies++; else relayed++; left[++n] = $1 }
    }
    END { for (i = 1; i <= n; i++) { while (left[i] - left[j + 1] >= 1) j++; if (i - j > most) most = i - j }
          printf "%d %d %d %d %d %d", lost + over + relayed, lost, relayed, copies, over, most }' "$1"
}

# An echo exchange of 2000 datagrams, 2 ms apart, through a relay playing options "$@":
# appends "exchange-KEY echo_figures up_fates down_fates" (see bench-echo-latency, fates).
relay_exchange() {
  local key=$1 figures
  shift
  start_daemon "$bin/bench/bench-echo-latency" echo PORT
  server_port=$daemon_port
  start_relay_with "exchange-$key" --idle 2 -o "$out/relay-exchange-$key.csv" "$@"
  figures=$("$bin/bench/bench-echo-latency" exchange "$relay_port" "${EXCHANGE_COUNT:-2000}" "${EXCHANGE_SPACING_US:-2000}")
  wait "$relay_pid"
  forget "$relay_pid"
  echo "exchange-$key $figures $(fates "$out/relay-exchange-$key.csv" up) $(fates "$out/relay-exchange-$key.csv" down)" \
    >>"$out/relay-targets.txt"
  # The datagrams lost each way, for comparing two runs with the same seed.
  for direction in up down; do
    awk -F, -v d="$direction" '$3 == d && $9 == "lost" { print $5 }' "$out/relay-exchange-$key.csv" | sort \
      >"$out/relay-lost-$key-$direction.txt"
  done
  stop_daemon "$daemon_pid"
}

# Junk from one socket at full speed through drovik-trace (or the baseline, $1 = baseline)
# with -o /dev/null in front of a peer that never reads (so that the flood has the other
# core), SIGTERM after a second of it: appends
# "flood-KEY end_s status sent relayed rows_not_written", the first the time from SIGTERM to
# the relay's exit.
relay_flood() {
  local key=$1 flood begin end status=0 program
  program=$([[ $key == baseline ]] && echo "$RELAY_BASELINE" || echo "$bin/drovik-trace")
  start_daemon "$bin/bench/bench-silent-peer" PORT
  server_port=$daemon_port
  RELAY_PROGRAM=$program start_relay_with "flood-$key" -o /dev/null
  "$bin/bench/bench-junk" flood "$relay_port" 5 >"$out/relay-flood.sent" &
  flood=$!
  started+=("$flood")
  sleep 1
  begin=$(date +%s.%N)
  kill -TERM "$relay_pid"
  wait "$relay_pid" || status=$?
  end=$(date +%s.%N)
  wait "$flood"
  echo "flood-$key $(awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.3f", e - b }') $status $(cat "$out/relay-flood.sent")" \
    "$(sed -n 's/^127.0.0.1:[0-9]*: up \([0-9]*\) .*/\1/p' "$out/relay-flood-$key.err")" \
    "$(sed -n 's/^\([0-9]*\) trace rows not written.*/\1/p' "$out/relay-flood-$key.err" | grep . || echo 0)" \
    >>"$out/relay-targets.txt"
  forget "$relay_pid"
  forget "$flood"
  stop_daemon "$daemon_pid"
}

# One datagram from each of $2 source ports, JUNK_RATE a second, through drovik-trace (or the
# baseline) with -o /dev/null: appends "ports-COUNT-KEY sent relayed summary_lines rss_kb
# peak_rss_kb", the memory when the relay was bound and its peak, read before SIGTERM.
relay_ports() {
  local key=$1 count=$2 program sent rss
  program=$([[ $key == baseline ]] && echo "$RELAY_BASELINE" || echo "$bin/drovik-trace")
  start_daemon "$bin/drovik-server" PORT
  server_port=$daemon_port
  RELAY_PROGRAM=$program start_relay_with "ports-$key" -o /dev/null
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$relay_pid/status")
  sent=$("$bin/bench/bench-junk" ports "$relay_port" "$count" "$JUNK_RATE")
  sleep 1
  echo "ports-$count-$key $sent $(awk '/^VmHWM/ { peak = $2 } END { print peak }' "/proc/$relay_pid/status") $rss" \
    >"$out/relay-ports.txt"
  stop_daemon "$relay_pid"
  awk -v f="$out/relay-ports.txt" '{ if (match($0, /: up [0-9]+ /)) up += substr($0, RSTART + 5, RLENGTH - 6); lines++ }
    END { getline line < f; split(line, p, " "); print p[1], p[2], up, lines, p[4], p[3] }' \
    "$out/relay-ports-$key.err" >>"$out/relay-targets.txt"
  stop_daemon "$daemon_pid"
}

# A fast download of RELAY_BYTES through drovik-trace (or the baseline), and 1.5 s into it one
# datagram from each of 2000 source ports, as fast as they go: appends "burst-KEY exit verified client_lines
# forgotten_early", the client lines those of the downloading client's address.
relay_burst() {
  local key=$1 program client verified=yes status=0
  program=$([[ $key == baseline ]] && echo "$RELAY_BASELINE" || echo "$bin/drovik-trace")
  start_daemon "$bin/drovik-server" PORT
  server_port=$daemon_port
  RELAY_PROGRAM=$program start_relay_with "burst-$key" -o /dev/null
  "$bin/drovik-client-fast" 127.0.0.1 "$relay_port" "$out/relay.bin" "$RELAY_BYTES" >/dev/null &
  client=$!
  started+=("$client")
  sleep 1.5
  "$bin/bench/bench-junk" ports "$relay_port" 2000 1000000 >/dev/null
  wait "$client" || status=$?
  forget "$client"
  "$bin/verify-download" "$out/relay.bin" "$RELAY_BYTES" >/dev/null || verified=no
  stop_daemon "$relay_pid"
  echo "burst-$key $status $verified $(grep -c '^127\.0\.0\.1:' "$out/relay-burst-$key.err")" \
    "$(sed -n 's/^\([0-9]*\) clients forgotten early.*/\1/p' "$out/relay-burst-$key.err" | grep . || echo 0)" \
    >>"$out/relay-targets.txt"
  stop_daemon "$daemon_pid"
  rm -f "$out/relay.bin"
}

measure_relay_targets() {
  echo "Measuring drovik-trace's targets..." >&2
  local _ key
  rm -f "$out/relay-targets.txt"
  for _ in 1 2 3; do relay_stuck; done
  relay_crowded
  relay_exchange shaped-1 --loss 0.3 --dup 0.2 --delay 50-150 --seed 42
  relay_exchange shaped-2 --loss 0.3 --dup 0.2 --delay 50-150 --seed 42
  EXCHANGE_COUNT=1000 EXCHANGE_SPACING_US=1000 relay_exchange rate --rate 100 --queue 100
  for key in relay ${RELAY_BASELINE:+baseline}; do
    relay_flood "$key"
    relay_ports "$key" 20000
    relay_ports "$key" 60000
    relay_burst "$key"
  done
}

# The field $2 of the line of relay-targets.txt whose key is $1.
target_field() { awk -v k="$1" -v f="$2" '$1 == k { print $f }' "$out/relay-targets.txt"; }

relay_targets() {
  local direct relayed stuck_ok shaped same_up same_down lost_up lost_down
  direct=$(awk '$1 == "direct" { print $2 }' "$out/relay.txt" | summary %.2f | cut -d' ' -f1)
  echo
  echo "drovik-trace's targets ($(cut -d' ' -f1-3 /proc/loadavg) load average at the end):"
  echo
  echo "| Target | Measured | Met |"
  echo "|---|---|---|"
  stuck_ok=$(awk -v d="$direct" '$1 == "stuck" { n++; if ($2 <= 2 * d + 3 && $3 == 0 && $4 == "yes" && $6 == 0) ok++ }
    END { print (ok == n && n > 0) ? 1 : 0 }' "$out/relay-targets.txt")
  target_row "CSV to a pipe nobody reads, $RELAY_BYTES bytes fast: within 2 × the direct time + 3 s; the relay ends with 0 on SIGTERM" \
    "$(awk '$1 == "stuck" { printf "%s%.2f s (%s, status %d after %.2f s)", (n++ ? "; " : ""), $2, $4 == "yes" ? "exact" : "DIFFERS", $6, $5 }' \
      "$out/relay-targets.txt") against $direct s direct" "$stuck_ok == 1"
  target_row "600 source ports each send one GET, then a real client (300000 bytes): it completes exact" \
    "$(awk '$1 == "crowded" { printf "%s in %.2f s, status %d; %s clients forgotten early", $4 == "yes" ? "exact" : "DIFFERS", $2, $3, $5 }' \
      "$out/relay-targets.txt")" \
    "\"$(target_field crowded 4)\" == \"yes\" && $(target_field crowded 3) == 0"
  # Fields: key sent echoes distinct mean min max, then per direction arrived lost relayed copies overflow most.
  shaped=$(awk '$1 == "exchange-shaped-1" {
      lu = $9 / $8; ld = $15 / $14; cu = $11 / $10; cd = $17 / $16
      # Three standard errors: of a share, of copies per datagram (geometric, p 0.2), of the mean
      # of two uniform delays of 50 to 150 ms over the echoes, plus a millisecond of wake-up.
      el = 3 * sqrt(0.21 / $8); ec = 3 * sqrt(0.3125 / $10); em = 3 * sqrt(2 * 10000 / 12 / $3) + 1
      ok = (lu - 0.3) ^ 2 <= el ^ 2 && (ld - 0.3) ^ 2 <= (3 * sqrt(0.21 / $14)) ^ 2 && (cu - 0.25) ^ 2 <= ec ^ 2 &&
           (cd - 0.25) ^ 2 <= (3 * sqrt(0.3125 / $16)) ^ 2 && ($5 - 200) ^ 2 <= em ^ 2
      printf "lost %.1f %% up, %.1f %% down (0.3 ± %.3f); copies per datagram %.3f up, %.3f down (0.25 ± %.3f); round trip %.1f ms on average (200 ± %.1f), %.1f to %.1f\t%d",
        100 * lu, 100 * ld, el, cu, cd, ec, $5, em, $6, $7, ok }' "$out/relay-targets.txt")
  target_row "--loss 0.3 --dup 0.2 --delay 50-150, an echo exchange of 2000 datagrams: loss, copies and delays within three standard errors" \
    "${shaped%$'\t'*}" "${shaped##*$'\t'} == 1"
  lost_up=$(wc -l <"$out/relay-lost-shaped-1-up.txt")
  lost_down=$(wc -l <"$out/relay-lost-shaped-1-down.txt")
  same_up=$(comm -12 "$out/relay-lost-shaped-1-up.txt" "$out/relay-lost-shaped-2-up.txt" | wc -l)
  same_down=$(comm -12 "$out/relay-lost-shaped-1-down.txt" "$out/relay-lost-shaped-2-down.txt" | wc -l)
  target_row "The same again with the same --seed: the same datagrams lost" \
    "up (the order the sender gave): $same_up of $lost_up and $(wc -l <"$out/relay-lost-shaped-2-up.txt") the same; down (the order the up delays gave, which differs): $same_down of $lost_down" \
    "$same_up == $lost_up && $lost_up == $(wc -l <"$out/relay-lost-shaped-2-up.txt")"
  target_row "--rate 100 --queue 100, 1000 datagrams a second for a second: about 100 a second leave; beyond the queue, overflow" \
    "$(awk '$1 == "exchange-rate" { printf "at most %d up and %d down in any second; overflow %d of %d up", $13, $19, $12, $8 }' "$out/relay-targets.txt")" \
    "$(target_field exchange-rate 13) <= 102 && $(target_field exchange-rate 19) <= 102 && $(target_field exchange-rate 12) > 0"
  junk_targets
}

# The figures of key $1 (relay or baseline) for the row of target $2, with the baseline's after
# ours when there is one.
junk_figures() {
  local format=$2 key
  for key in relay ${RELAY_BASELINE:+baseline}; do
    [[ $key == relay ]] || printf '; the baseline: '
    awk -v k="$1-$key" "\$1 == k { $format }" "$out/relay-targets.txt"
  done
}

junk_targets() {
  local count
  target_row "A flood of junk from one socket at full speed, SIGTERM after a second of it: the relay ends within 0.5 s; with -o /dev/null, every row written" \
    "$(junk_figures flood 'printf "ends %.2f s after SIGTERM, status %d; %d sent, %d relayed, %d rows not written", $2, $3, $4, $5, $6')" \
    "$(target_field flood-relay 2) <= 0.5 && $(target_field flood-relay 3) == 0 && $(target_field flood-relay 6) == 0"
  for count in 20000 60000; do
    target_row "One datagram from each of $count source ports, $JUNK_RATE a second: at most 1000 summary lines, at most 4 MB more memory" \
      "$(junk_figures "ports-$count" 'printf "%d summary lines, counting %d of %d datagrams sent; %.1f MB resident at the start, +%.1f MB at the peak", $4, $3, $2, $5 * 1024 / 1e6, ($6 - $5) * 1024 / 1e6')" \
      "$(target_field "ports-$count-relay" 4) <= 1000 && $(target_field "ports-$count-relay" 6) - $(target_field "ports-$count-relay" 5) <= 4000000 / 1024"
  done
  target_row "One datagram from each of 2000 source ports at full speed 1.5 s into a fast download of $RELAY_BYTES bytes: the download exact, its summary in one line" \
    "$(junk_figures burst 'printf "status %d, %s; %d summary lines for the downloading client; %d clients forgotten early", $2, $3 == "yes" ? "exact" : "DIFFERS", $4, $5')" \
    "$(target_field burst-relay 2) == 0 && \"$(target_field burst-relay 3)\" == \"yes\" && $(target_field burst-relay 4) == 1"
}
