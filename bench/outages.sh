# drovik-fetch's outages block of scripts/bench.sh: a server that answers only from 4 s on
# (behind drovik-trace, which hides the refusals), one frozen for 10 s in the middle of
# 20 MB, one ICMP "administratively prohibited" for the main server's and a mirror's socket,
# and drovik-fetch itself suspended for longer than its stall limit. Sourced by
# scripts/bench.sh, whose helpers it uses. OUTAGE_RUNS=1 for a quick look.

OUTAGE_RUNS=${OUTAGE_RUNS:-3}
OUTAGE_LARGE=20000000

now_s() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now_s)" 'BEGIN { printf "%.2f", b - a }'; }

# Starts drovik-fetch in the background with "$@"; sets fetch_pid and outage_start.
start_fetch() {
  "$bin/drovik-fetch" --quiet "$@" 2>>"$out/outages.log" &
  fetch_pid=$!
  started+=("$fetch_pid")
  outage_start=$(now_s)
}

# Waits for drovik-fetch and checks its file ($1, $2 bytes); appends "KEY seconds status
# exact" to outages.txt, the seconds counted from $4 (default: its start).
finish_fetch() {
  local file=$1 bytes=$2 key=$3 from=${4:-$outage_start} status=0 exact=no seconds
  wait "$fetch_pid" || status=$?
  seconds=$(since "$from")
  forget "$fetch_pid"
  "$bin/verify-download" "$file" "$bytes" >/dev/null 2>&1 && exact=yes
  echo "$key $seconds $status $exact" >>"$out/outages.txt"
  rm -f "$file" "$file.part" "$file.part.map"
}

# The server on a port chosen in advance starts 4 s after drovik-fetch, behind a relay.
outage_late() {
  local port relay
  port=$(free_udp_port)
  start_relay /dev/null "$port"
  relay=$relay_pid
  start_fetch 127.0.0.1 "$relay_port" "$out/late.bin" 300000
  sleep 4
  "$bin/drovik-server" "$port" &
  local server=$! up
  started+=("$server")
  up=$(now_s)
  finish_fetch "$out/late.bin" 300000 late "$up"
  stop_daemon "$server"
  stop_daemon "$relay"
}

# 20 MB, the server frozen (SIGSTOP) from 8 s to 18 s; $1 = frozen or normal.
outage_frozen() {
  start_daemon "$bin/drovik-server" PORT
  start_fetch 127.0.0.1 "$daemon_port" "$out/frozen.bin" "$OUTAGE_LARGE"
  if [[ $1 == frozen ]]; then
    sleep 8
    kill -STOP "$daemon_pid"
    sleep 10
    kill -CONT "$daemon_pid"
  fi
  finish_fetch "$out/frozen.bin" "$OUTAGE_LARGE" "$1"
  stop_daemon "$daemon_pid"
}

# 5 MB from a server and a mirror; at 2 s each of drovik-fetch's sockets hears one ICMP
# "administratively prohibited" about its server.
outage_icmp() {
  local servers=() flow pid
  start_daemon "$bin/drovik-server" PORT
  servers+=("$daemon_pid")
  local main=$daemon_port
  start_daemon "$bin/drovik-server" PORT
  servers+=("$daemon_pid")
  start_fetch --mirror "127.0.0.1:$daemon_port" 127.0.0.1 "$main" "$out/icmp.bin" 5000000
  sleep 2
  while read -r flow; do
    "$bin/bench/bench-icmp-unreachable" ${flow/:/ } 13
  done < <(ss -uanpH | awk -v p="pid=$fetch_pid," 'index($0, p) { sub(/.*:/, "", $4); sub(/.*:/, "", $5); print $4 ":" $5 }')
  finish_fetch "$out/icmp.bin" 5000000 icmp
  for pid in "${servers[@]}"; do stop_daemon "$pid"; done
}

# 2 MB with --stall-timeout 3, drovik-fetch stopped (SIGSTOP) from 1.5 s to 6.5 s.
outage_suspended() {
  start_daemon "$bin/drovik-server" PORT
  start_fetch --stall-timeout 3 127.0.0.1 "$daemon_port" "$out/suspended.bin" 2000000
  sleep 1.5
  kill -STOP "$fetch_pid"
  sleep 5
  kill -CONT "$fetch_pid"
  finish_fetch "$out/suspended.bin" 2000000 suspended
  stop_daemon "$daemon_pid"
}

# One row: the case $1's runs from outages.txt, what it means ($2), the target ($3).
outage_row() {
  local key=$1 times statuses
  times=$(awk -v k="$key" '$1 == k { print $2 }' "$out/outages.txt" | summary %.2f)
  statuses=$(awk -v k="$key" '$1 == k { s = s (s ? ", " : "") $3 (($4 == "yes") ? " exact" : " NOT exact") }
                              END { print s }' "$out/outages.txt")
  printf '| %s | %s s | %s | %s |\n' "$2" "$times" "$statuses" "$3"
}

bench_outages() {
  local run
  rm -f "$out/outages.txt" "$out/outages.log"
  echo "Measuring drovik-fetch through outages..." >&2
  for run in $(seq "$OUTAGE_RUNS"); do
    outage_late
    outage_frozen normal
    outage_frozen frozen
    if ((EUID == 0)); then outage_icmp; fi
    outage_suspended
  done
  echo
  echo "drovik-fetch through outages, $OUTAGE_RUNS runs each; time median (min–max), exit status of each run:"
  echo
  echo "| Case | Time | Exit status, file | Target |"
  echo "|---|---|---|---|"
  outage_row late "Server silent (behind drovik-trace) until 4 s, 300000 bytes: from the server's start" \
    "done within 10 s of the server's start"
  outage_row normal "20 MB, nothing happens" "(the normal time)"
  outage_row frozen "20 MB, the server frozen from 8 s to 18 s" "at most the normal time + 15 s"
  if ((EUID == 0)); then
    outage_row icmp "5 MB from a server and a mirror, one ICMP prohibited for each socket at 2 s" "exit 0, exact"
  else
    echo "| One ICMP prohibited for each socket | – | (needs root) | exit 0, exact |"
  fi
  outage_row suspended "2 MB, --stall-timeout 3, drovik-fetch suspended for 5 s" "exit 0, exact"
}
