# Shell helpers shared by the scripts. Source it; do not run it.

# True when a UDP socket has port $1 as its local port (one only connected to it does not count).
udp_bound() {
  local hex
  printf -v hex '%04X' "$1"
  awk -v suffix=":$hex" 'NR > 1 && substr($2, length($2) - 4) == suffix { found = 1 } END { exit !found }' \
    /proc/net/udp
}

# Prints a UDP port in 20000..59999 that nothing on this machine has bound.
free_udp_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    if ! udp_bound "$port"; then
      echo "$port"
      return 0
    fi
  done
  echo "no free UDP port found" >&2
  return 1
}

# Waits (at most 5 s) until something has bound UDP port $1.
wait_udp_bound() {
  for _ in $(seq 1 500); do
    udp_bound "$1" && return 0
    sleep 0.01
  done
  echo "nothing bound UDP port $1" >&2
  return 1
}

# Builds preset $1 quietly; on failure shows the whole build output and fails.
quiet_build() {
  local log status=0
  log=$(mktemp)
  scripts/build.sh "$1" >"$log" 2>&1 || status=$?
  if ((status != 0)); then
    cat "$log"
    echo "build of preset $1 failed" >&2
  fi
  rm -f "$log"
  return "$status"
}

# ---- processes started here, killed by pid only ----------------------------------
started=()

# Starts "$@" with the argument PORT replaced by a free UDP port and waits until it is
# bound; sets daemon_pid and daemon_port.
start_daemon() {
  daemon_port=$(free_udp_port)
  "${@/#PORT/$daemon_port}" &
  daemon_pid=$!
  started+=("$daemon_pid")
  wait_udp_bound "$daemon_port"
}

# Drops pid $1 from the started ones, so that it is never signalled again.
forget() {
  local pid kept=()
  for pid in "${started[@]}"; do [[ $pid == "$1" ]] || kept+=("$pid"); done
  started=("${kept[@]}")
}

# Kills process $1, started here, waits for it and forgets it.
stop_daemon() {
  kill "$1"
  wait "$1" 2>/dev/null || true
  forget "$1"
}

# Kills every process started here that is still known, then waits for them; for a trap on EXIT.
stop_started() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
}
