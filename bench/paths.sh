# The block of scripts/bench.sh behind docs/paths.md: drovik-client-fast and drovik-fetch
# through drovik-trace playing a few paths in front of drovik-server, raced by drovik-compare,
# whose table it prints and whose picture becomes docs/paths.png, and the trace of one download
# on a path, drawn. Sourced by scripts/bench.sh, whose helpers (and relay.sh's start_relay_with)
# it uses.
# The run count and size may be set from the environment for a quick look (PATHS_RUNS=1 ...).

PATHS_BYTES=${PATHS_BYTES:-1000000}
PATHS_RUNS=${PATHS_RUNS:-3}

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
  local status=0
  echo "Measuring shaped paths..." >&2
  "$bin/drovik-compare" --runs "$PATHS_RUNS" --size "$PATHS_BYTES" --seed 1 --out "$out/paths" \
    --path "no path of its own=" --path "loss 10 %=--loss 0.1" --path "loss 10 %, up only=--loss 0.1 --shape up" \
    --path "delay 50–200 ms=--delay 50-200" --path "600 a second=--rate 600" fast fetch || status=$?
  cp "$out/paths/compare.png" docs/paths.png
  ((status == 0)) || echo "drovik-compare: some runs failed (exit $status)" >&2
  path_trace
}
