# Shell helpers shared by the scripts. Source it; do not run it.

# Prints a UDP port in 20000..59999 that nothing on this machine has bound.
free_udp_port() {
  local port hex
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    printf -v hex '%04X' "$port"
    if ! grep -q ":$hex " /proc/net/udp; then
      echo "$port"
      return 0
    fi
  done
  echo "no free UDP port found" >&2
  return 1
}

# Waits (at most 5 s) until something has bound UDP port $1.
wait_udp_bound() {
  local hex
  printf -v hex '%04X' "$1"
  for _ in $(seq 1 500); do
    grep -q ":$hex " /proc/net/udp && return 0
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
